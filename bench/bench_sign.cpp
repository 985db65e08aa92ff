// SPDX-License-Identifier: Apache-2.0
// The host flow of one signature, timed: the library copies the source and writes the
// revision, the host hashes the two byte ranges (SHA-256, streamed from the file) and
// signs the digest, the library writes the value. Also times finding the signatures.
//
// usage: kvpdf_bench_sign sign IN.pdf OUT.pdf [RUNS]
//        kvpdf_bench_sign find FILE.pdf [RUNS]
#include "kvpdf.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int32_t kReserve = 8192;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// SHA-256 of bytes [from, from + n) of fd, read in large blocks.
bool HashRange(EVP_MD_CTX *ctx, int fd, off_t from, off_t n, std::vector<unsigned char> &block) {
    while (n > 0) {
        ssize_t got =
            pread(fd, block.data(), n < off_t(block.size()) ? size_t(n) : block.size(), from);
        if (got <= 0) return false;
        EVP_DigestUpdate(ctx, block.data(), size_t(got));
        from += got;
        n -= got;
    }
    return true;
}

int Sign(const char *in, const char *out, EVP_PKEY *key) {
    KvPdfHandle h = KvPDFInit(in, out, kReserve);
    KvPDFSetProperty(h, KVPDF_PROP_VISIBLE, 0);
    if (KvPdfWritePDFWithoutSignature(h, 0) != 1) return 1;
    uint32_t start = 0;
    if (KvPdfWriteDummySignatureAndAddedContent(h, &start) != 1) return 1;
    int fd = open(out, O_RDONLY);
    struct stat st;
    fstat(fd, &st);
    off_t second = off_t(start) + 2 * kReserve + 2;
    std::vector<unsigned char> block(1 << 20);
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    bool ok = HashRange(ctx, fd, 0, start, block) &&
              HashRange(ctx, fd, second, st.st_size - second, block);
    unsigned char digest[32];
    unsigned int digest_length = 0;
    EVP_DigestFinal_ex(ctx, digest, &digest_length);
    EVP_MD_CTX_free(ctx);
    close(fd);
    // The value: an RSA signature over the digest (the CMS around it does not change
    // the cost).
    EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new(key, nullptr);
    unsigned char value[512];
    size_t value_length = sizeof value;
    ok = ok && EVP_PKEY_sign_init(pctx) == 1 &&
         EVP_PKEY_CTX_set_signature_md(pctx, EVP_sha256()) == 1 &&
         EVP_PKEY_sign(pctx, value, &value_length, digest, digest_length) == 1;
    EVP_PKEY_CTX_free(pctx);
    int rc = ok && KvPdfWriteSignature(h, value, uint32_t(value_length)) == 1 ? 0 : 1;
    KvPDFClose(h);
    return rc;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3 || (strcmp(argv[1], "sign") == 0 && argc < 4)) {
        fprintf(stderr, "usage: %s sign IN OUT [RUNS] | find FILE [RUNS]\n", argv[0]);
        return 2;
    }
    const bool sign = strcmp(argv[1], "sign") == 0;
    int runs = atoi(argv[sign ? 4 : 3] ? argv[sign ? 4 : 3] : "1");
    if (argc <= (sign ? 4 : 3)) runs = 1;
    EVP_PKEY *key = sign ? EVP_RSA_gen(2048) : nullptr;
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        double t = Now();
        if (sign) {
            if (Sign(argv[2], argv[3], key) != 0) {
                fprintf(stderr, "signing failed\n");
                return 1;
            }
        } else {
            KvPdfHandle h = KvPDFInit(argv[2], nullptr, 0);
            int32_t rc = KvPdfFindSignatures(h);
            printf("found %d signatures (rc %d)\n", KvPDFGetSignatureCount(h), rc);
            KvPDFClose(h);
        }
        t = Now() - t;
        if (t < best) best = t;
        printf("run %d: %.3f s\n", i + 1, t);
    }
    EVP_PKEY_free(key);
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    printf("best %.3f s, peak RSS %.1f MiB\n", best, ru.ru_maxrss / 1024.0);
    return 0;
}
