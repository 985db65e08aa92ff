// SPDX-License-Identifier: Apache-2.0
// Times complete signature discovery and the check of every signature found (/ByteRange
// and later changes, no cryptography) on one file, and reports the peak memory.
//
// usage: kvpdf_bench_check FILE [RUNS]
#include "kvpdf.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s FILE [RUNS]\n", argv[0]);
        return 2;
    }
    const int runs = argc > 2 ? atoi(argv[2]) : 3;
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        KvPdfHandle h = KvPDFInit(argv[1], nullptr, 0);
        KvPDFSetProperty(h, KVPDF_PROP_FIND_ALL_SIGNATURES, 1);
        const int32_t found = KvPdfFindSignatures(h);
        const int32_t count = KvPDFGetSignatureCount(h);
        int strongest = 0;
        for (int32_t k = 0; k < count; ++k) {
            KvPdfSignatureCheck check;
            if (KvPdfCheckSignature(h, k, &check) == 1 && check.changes > strongest)
                strongest = check.changes;
        }
        KvPDFClose(h);
        const double s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (found < 1) {
            fprintf(stderr, "search failed: %d\n", found);
            return 1;
        }
        if (s < best) best = s;
        printf("run %d: %.3f s, %d signatures, strongest later change %d\n", i + 1, s, count,
               strongest);
    }
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    printf("best %.3f s, peak RSS %.1f MiB\n", best, ru.ru_maxrss / 1024.0);
    return 0;
}
