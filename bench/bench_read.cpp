// Times the document-processing run (header, linearization probe, whole
// cross-reference chain) on one file and reports the process's peak memory.
//
// usage: kvpdf_bench_read FILE [RUNS]
#include "pdf_document.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s FILE [RUNS]\n", argv[0]);
        return 2;
    }
    int runs = argc > 2 ? atoi(argv[2]) : 3;
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        auto start = std::chrono::steady_clock::now();
        KvPdfHandle h = KvPDFInit(argv[1], nullptr, 0);
        PdfDocument *doc = HandleLookup(h);
        doc->mode = kModeReadAttachments;
        int32_t rc = ProcessPdf(doc);
        uint32_t objects = doc->object_offsets_count;
        KvPDFClose(h);
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (rc != 1) {
            fprintf(stderr, "read failed: %d\n", rc);
            return 1;
        }
        if (s < best) best = s;
        printf("run %d: %.3f s, %u table entries\n", i + 1, s, objects);
    }
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    printf("best %.3f s, peak RSS %.1f MiB\n", best, ru.ru_maxrss / 1024.0);
    return 0;
}
