// SPDX-License-Identifier: Apache-2.0
// Handles on several threads at once, one handle and one signing context per thread:
// writing, signing through the signing library, completing and finding; half the threads
// hash while copying (on a second thread each) and sign with one key loaded for all. The
// tsan preset runs it under ThreadSanitizer.
#include "kvtest.h"

#include "kvsxades.h"

#include <thread>

namespace {

// One signature from start to end, then a find on the result: 1 when it found it. With
// shared, the library's digest signed with that key; else the file's bytes through the
// facade.
int SignAndFind(const std::string &src, const std::string &out, void *context,
                const SigningParameters &params, const KvsSigner *shared) {
    KvPdfHandle h = KvPDFInit(src.c_str(), out.c_str(), 12000);
    KvPDFSetProperty(h, KVPDF_PROP_SUBFILTER_SELECT, KVPDF_SUBFILTER_CADES);
    KvPDFSetKontirProperties(h, "note", nullptr, nullptr, 1, 1, 2, 3, 4, 5, 6, 7, 8);
    if (shared) KvPDFSetProperty(h, KVPDF_PROP_COPY_DIGEST, 256);
    int ok = KvPdfWritePDFWithoutSignature(h, 0) == 1 &&
             KvPdfWriteDummySignatureAndAddedContent(h, nullptr) == 1;
    const std::string file = kvtest::ReadFile(out);
    const std::vector<uint32_t> r = kvtest::LastByteRange(out);
    std::string first = file.substr(0, r[1]), second = file.substr(r[2]);
    SignedDataItem items[2] = {{first.data(), int32_t(first.size()), "application/pdf", &items[1]},
                               {second.data(), int32_t(second.size()), "application/pdf", nullptr}};
    uint8_t *signature = nullptr, digest[32];
    uint32_t length = 0;
    const KvsSigningParameters cades = {nullptr, nullptr, nullptr, nullptr, KVS_CADES};
    if (shared)
        ok = ok && KvPdfGetSignedDigest(h, digest, sizeof digest) == 32 &&
             kvsx_sign_digest(nullptr, shared, &cades, KVS_HASH_SHA256, digest, 32, &signature,
                              &length) == 0;
    else
        ok = ok &&
             KvPDF_CreateSignatureAdv(h, context, &params, items, &signature, &length, 0, 0) == 0;
    ok = ok && KvPdfWriteSignature(h, signature, length) == 1;
    KvPDF_FreeData(signature);
    KvPDFClose(h);
    h = KvPDFInit(out.c_str(), nullptr, 0);
    // The note after the widget ends the search (-32), with the signature found.
    ok = ok && KvPdfFindSignatures(h) == -32 && KvPDFGetSignatureCount(h) == 1;
    KvPDFClose(h);
    return ok;
}

TEST(Threads, EightHandlesSignAndFindAtOnce) {
    const kvtest::Entity &signer = kvtest::World::Get().pki().signer;
    kvtest::TempDir dir;
    const std::string src = dir.file("in.pdf");
    // Several copy blocks: each copy that hashes starts a thread of its own.
    kvtest::WriteFile(src, kvtest::OnePagePdfOfSize((size_t{5} << 19) + 77));
    ASSERT_EQ(KvPDF_CryptoInitGlobal(), 0);
    const SigningParameters params = {signer.p12.c_str(), kvtest::Pki::kPassword, nullptr, nullptr,
                                      KVPDF_SIGN_CADES};
    const KvsSigningParameters key = {signer.p12.c_str(), kvtest::Pki::kPassword, nullptr, nullptr,
                                      0};
    KvsSigner *shared = nullptr;
    ASSERT_EQ(kvsx_load_signer(&key, &shared), 0);
    constexpr int kThreads = 8, kEach = 3;
    std::atomic<int> found{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            void *context = nullptr;
            if (KvPDF_CryptoInit(&context) != 0) return;
            for (int i = 0; i < kEach; ++i)
                found += SignAndFind(src, dir.file(std::to_string(t * kEach + i) + ".pdf"), context,
                                     params, t % 2 ? shared : nullptr);
            KvPDF_CryptoCleanup(context);
        });
    for (std::thread &t : threads)
        t.join();
    kvsx_free_signer(shared);
    KvPDF_CryptoCleanupGlobal();
    EXPECT_EQ(found, kThreads * kEach);
    EXPECT_TRUE(kvtest::CheckersAccept(dir.file("0.pdf"), 1));
    EXPECT_TRUE(kvtest::CheckersAccept(dir.file("23.pdf"), 1));
    EXPECT_EQ(kvtest::ReadFile(dir.file("0.pdf")).substr(0, 300),
              kvtest::ReadFile(dir.file("23.pdf")).substr(0, 300));
}

// A key just loaded signs on eight threads at once: the first signatures are where
// OpenSSL would fill the certificates' caches, so each round loads the key afresh.
TEST(Threads, AKeyJustLoadedSignsOnEightThreadsAtOnce) {
    const kvtest::Entity &signer = kvtest::World::Get().pki().signer;
    const KvsSigningParameters key = {signer.p12.c_str(), kvtest::Pki::kPassword, nullptr, nullptr,
                                      KVS_CADES};
    const uint8_t digest[32] = {1, 2, 3};
    std::atomic<int> made{0};
    for (int round = 0; round < 20; ++round) {
        KvsSigner *shared = nullptr;
        ASSERT_EQ(kvsx_load_signer(&key, &shared), 0);
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&] {
                uint8_t *out = nullptr;
                uint32_t n = 0;
                made += kvsx_sign_digest(nullptr, shared, &key, KVS_HASH_SHA256, digest, 32, &out,
                                         &n) == 0;
                kvsx_free(out);
            });
        for (std::thread &t : threads)
            t.join();
        kvsx_free_signer(shared);
    }
    EXPECT_EQ(made, 20 * 8);
}

} // namespace
