// SPDX-License-Identifier: Apache-2.0
// Times adding the validation data of every signature of a file (verification with the
// trust anchor given, collection, the DSS update) and reports the peak memory.
//
// usage: kvpdf_bench_ltv IN.pdf OUT.pdf ROOT.pem [last]
//        last: only the last signature's (every-entry collection, index -2)
#include "kvpdf.h"

#include <chrono>
#include <cstdio>
#include <sys/resource.h>

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: %s IN.pdf OUT.pdf ROOT.pem\n", argv[0]);
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    void *context = nullptr;
    KvPDF_CryptoInitGlobal();
    KvPDF_CryptoInit(&context);
    KvPdfHandle h = KvPDFInit(argv[1], argv[2], 0);
    if (h <= 0) return 1;
    KvPDFSetProperty(h, KVPDF_PROP_FIND_ALL_SIGNATURES, 1);
    KvPDF_AddCert(h, argv[3], -1);
    const bool last = argc > 4;
    if (last) KvPDFSetProperty(h, KVPDF_PROP_LTV_EVERY_ENTRY, 1);
    const int32_t add = KvPDF_AddRevocationInformation(h, context, last ? -2 : -1, 0);
    const int32_t write = add > 0 ? KvPdfWritePDFWithRevocationInformation(h) : 0;
    KvPDFClose(h);
    KvPDF_CryptoCleanup(context);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("add %d write %d: %.3f s, peak RSS %.1f MiB\n", add, write, seconds,
           static_cast<double>(usage.ru_maxrss) / 1024.0);
    return add > 0 && write == 1 ? 0 : 1;
}
