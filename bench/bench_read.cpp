// SPDX-License-Identifier: Apache-2.0
// Times the document-processing run (header, linearization probe, whole
// cross-reference chain) on one file and reports the process's peak memory.
//
// usage: kvpdf_bench_read FILE [RUNS]
#include "pdfsign_inspect.h"

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
        kvpdf::DocumentInfo info;
        std::string message;
        int32_t rc = kvpdf::InspectDocument(argv[1], KVPDF_LOCALE_EN, &info, &message);
        uint32_t objects = info.objects_in_use;
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (rc != 1) {
            fprintf(stderr, "read failed: %d\n%s\n", rc, message.c_str());
            return 1;
        }
        if (s < best) best = s;
        printf("run %d: %.3f s, %u objects\n", i + 1, s, objects);
    }
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    printf("best %.3f s, peak RSS %.1f MiB\n", best, ru.ru_maxrss / 1024.0);
    return 0;
}
