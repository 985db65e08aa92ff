// SPDX-License-Identifier: Apache-2.0
// Copies made beside other work. The digest computed while the source is copied is the
// digest of the bytes the default path signs, a signature over it gives the default
// path's file, and a copy that fails or a source that changes under it never gives a
// signature over other bytes. The copy made while validation data is collected is
// checked before anything is written into it.
#include "kvtest.h"
#include "pdf_document.h"

#include "kvsxades.h"

#include <openssl/evp.h>
#include <unistd.h>

namespace {

constexpr size_t kCopyBlock = size_t{1} << 20;

std::string Source(size_t stream_bytes) {
    return stream_bytes ? kvtest::OnePagePdfOfSize(stream_bytes) : kvtest::OnePagePdf();
}

const EVP_MD *Md(int bits) {
    return bits == 384 ? EVP_sha384() : bits == 512 ? EVP_sha512() : EVP_sha256();
}

int32_t HashType(int bits) {
    return bits == 384 ? KVS_HASH_SHA384 : bits == 512 ? KVS_HASH_SHA512 : KVS_HASH_SHA256;
}

// The digest of the bytes the last /ByteRange of path names.
std::string RangeDigest(const std::string &path, int bits) {
    const std::string file = kvtest::ReadFile(path);
    const std::vector<uint32_t> r = kvtest::LastByteRange(path);
    const std::string signed_bytes = file.substr(0, r[1]) + file.substr(r[2], r[3]);
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(signed_bytes.data(), signed_bytes.size(), out, &n, Md(bits), nullptr);
    return std::string(reinterpret_cast<char *>(out), n);
}

// The library's digest after the revision is written; "" when it gives none.
std::string LibraryDigest(KvPdfHandle h) {
    uint8_t digest[64];
    const int32_t n = KvPdfGetSignedDigest(h, digest, sizeof digest);
    return n > 0 ? std::string(reinterpret_cast<char *>(digest), static_cast<size_t>(n)) : "";
}

struct Signed {
    int32_t rc = 0;
    std::string digest; // what was signed
};

// One CAdES signature of src into out (nullptr: in place). bits 0: the default copy, the
// host hashing the laid-out file; else the library's digest with that opt-in.
Signed SignFile(const std::string &src, const char *out, int bits, int hash_bits,
                const KvsSigner *signer) {
    Signed s;
    KvPdfHandle h = KvPDFInit(src.c_str(), out, 8192);
    KvPDFSetProperty(h, KVPDF_PROP_FIXED_TIME, KVPDF_TEXT("1767225600"));
    if (bits) KvPDFSetProperty(h, KVPDF_PROP_COPY_DIGEST, bits);
    s.rc = KvPdfWritePDFWithoutSignature(h, 0);
    if (s.rc == 1 && bits) {
        s.digest = LibraryDigest(h);
    } else if (s.rc == 1) {
        s.rc = KvPdfWriteDummySignatureAndAddedContent(h, nullptr);
        s.digest = RangeDigest(out ? out : src, hash_bits);
    }
    const KvsSigningParameters params = {nullptr, nullptr, nullptr, nullptr, KVS_CADES};
    uint8_t *value = nullptr;
    uint32_t length = 0;
    if (s.rc == 1 &&
        kvsx_sign_digest(nullptr, signer, &params, HashType(hash_bits), kvtest::U8(s.digest),
                         static_cast<uint32_t>(s.digest.size()), &value, &length) != 0)
        s.rc = 0;
    if (s.rc == 1) s.rc = KvPdfWriteSignature(h, value, length);
    kvsx_free(value);
    KvPDFClose(h);
    return s;
}

class SignerKey {
public:
    SignerKey() {
        const kvtest::Entity &e = kvtest::World::Get().pki().signer;
        const KvsSigningParameters params = {e.p12.c_str(), kvtest::Pki::kPassword, nullptr,
                                             nullptr, 0};
        EXPECT_EQ(kvsx_load_signer(&params, &signer_), 0);
    }
    ~SignerKey() { kvsx_free_signer(signer_); }
    const KvsSigner *get() const { return signer_; }

private:
    KvsSigner *signer_ = nullptr;
};

TEST(Copies, IsTheDigestOfTheDefaultPathsSignedBytesAndGivesItsFile) {
    kvtest::TempDir dir;
    SignerKey signer;
    for (const size_t stream : {size_t{0}, 3 * kCopyBlock + 12345}) {
        const std::string pdf = Source(stream);
        for (const bool in_place : {false, true}) {
            for (const int bits : {256, 384, 512}) {
                SCOPED_TRACE(std::to_string(pdf.size()) + " bytes, SHA-" + std::to_string(bits) +
                             (in_place ? ", in place" : ""));
                const std::string a = dir.file("a.pdf"), b = dir.file("b.pdf");
                kvtest::WriteFile(a, pdf);
                kvtest::WriteFile(b, pdf);
                const std::string src = dir.file("src.pdf");
                kvtest::WriteFile(src, pdf);
                const Signed plain = SignFile(in_place ? a : src, in_place ? nullptr : a.c_str(), 0,
                                              bits, signer.get());
                const Signed copied = SignFile(in_place ? b : src, in_place ? nullptr : b.c_str(),
                                               bits, bits, signer.get());
                ASSERT_EQ(plain.rc, 1);
                ASSERT_EQ(copied.rc, 1);
                EXPECT_EQ(copied.digest.size(), size_t(bits / 8));
                EXPECT_EQ(copied.digest, plain.digest);
                EXPECT_EQ(RangeDigest(b, bits), copied.digest);
                EXPECT_TRUE(kvtest::ReadFile(a) == kvtest::ReadFile(b));
                EXPECT_EQ(kvtest::ReadFile(src), pdf);
            }
            EXPECT_TRUE(kvtest::CheckersAccept(dir.file("b.pdf"), 1));
        }
    }

    // The property takes the three sizes or 0; the digest exists only after such a write.
    const std::string src = dir.file("src.pdf");
    KvPdfHandle h = KvPDFInit(src.c_str(), dir.file("c.pdf").c_str(), 8192);
    for (const int refused : {1, 128, 255, 1024, -256})
        EXPECT_EQ(KvPDFSetProperty(h, KVPDF_PROP_COPY_DIGEST, refused), 0) << refused;
    uint8_t digest[64];
    EXPECT_EQ(KvPdfGetSignedDigest(h, digest, sizeof digest), KVPDF_ERR_NO_DIGEST);
    EXPECT_EQ(kvtest::RingCodes(h), std::vector<int>{KVPDF_ERR_NO_DIGEST});
    ASSERT_EQ(KvPDFSetProperty(h, KVPDF_PROP_COPY_DIGEST, 0), 1);
    ASSERT_EQ(KvPdfWritePDFWithoutSignature(h, 0), 1);
    EXPECT_EQ(KvPdfGetSignedDigest(h, digest, sizeof digest), KVPDF_ERR_NO_DIGEST);
    ASSERT_EQ(KvPDFSetProperty(h, KVPDF_PROP_COPY_DIGEST, 384), 1);
    ASSERT_EQ(KvPdfWritePDFWithoutSignature(h, 0), 1);
    EXPECT_EQ(KvPdfGetSignedDigest(h, digest, 47), 0);
    EXPECT_EQ(KvPdfGetSignedDigest(h, nullptr, 64), 0);
    EXPECT_EQ(KvPdfGetSignedDigest(h, digest, 48), 48);
    KvPDFClose(h);
    EXPECT_EQ(KvPdfGetSignedDigest(h, digest, sizeof digest), KVPDF_ERR_NULL_HANDLE);
}

// The k-th copy block read or written comes up half done; with change, the source is
// changed on disk before the second block is read instead.
int g_fault_read = 0, g_fault_write = 0, g_reads = 0, g_writes = 0;
std::function<void()> g_change;

size_t BlockRead(kvpdf::PdfDocument *, void *buffer, size_t size, size_t count, FILE *f) {
    if (size * count == kCopyBlock) {
        ++g_reads;
        if (g_reads == 2 && g_change) g_change();
        if (g_reads == g_fault_read) return fread(buffer, size, count / 2, f);
    }
    return fread(buffer, size, count, f);
}

size_t BlockWrite(kvpdf::PdfDocument *, const void *buffer, size_t size, size_t count, FILE *f) {
    if (size * count == kCopyBlock && ++g_writes == g_fault_write)
        return fwrite(buffer, size, count / 2, f);
    return fwrite(buffer, size, count, f);
}

TEST(Copies, AFailedCopyOrAChangedSourceNeverSignsOtherBytes) {
    kvtest::TempDir dir;
    SignerKey signer;
    const std::string src = dir.file("in.pdf"), out = dir.file("out.pdf");
    const std::string pdf = Source(3 * kCopyBlock + 999);
    const auto run = [&](int read, int write) {
        g_fault_read = read;
        g_fault_write = write;
        g_reads = g_writes = 0;
        KvPdfHandle h = KvPDFInit(src.c_str(), out.c_str(), 8192);
        kvpdf::HandleLookup(h)->file_ops.read = BlockRead;
        kvpdf::HandleLookup(h)->file_ops.write = BlockWrite;
        KvPDFSetProperty(h, KVPDF_PROP_COPY_DIGEST, 256);
        int32_t rc = KvPdfWritePDFWithoutSignature(h, 0);
        std::string digest = LibraryDigest(h);
        const std::vector<int> ring = kvtest::RingCodes(h);
        const KvsSigningParameters params = {nullptr, nullptr, nullptr, nullptr, KVS_CADES};
        uint8_t *value = nullptr;
        uint32_t length = 0;
        if (rc == 1)
            rc = kvsx_sign_digest(nullptr, signer.get(), &params, KVS_HASH_SHA256,
                                  kvtest::U8(digest), 32, &value, &length) == 0
                     ? KvPdfWriteSignature(h, value, length)
                     : 0;
        kvsx_free(value);
        KvPDFClose(h);
        return std::make_tuple(rc, digest, ring);
    };
    const struct { int read, write; } faults[] = {{1, 0}, {3, 0}, {0, 1}, {0, 3}};
    for (const auto &f : faults) {
        SCOPED_TRACE("read " + std::to_string(f.read) + ", write " + std::to_string(f.write));
        kvtest::WriteFile(src, pdf);
        kvtest::WriteFile(out, "an old output");
        const auto [rc, digest, ring] = run(f.read, f.write);
        EXPECT_EQ(rc, KVPDF_ERR_COPY);
        EXPECT_EQ(digest, "");
        EXPECT_EQ(ring.front(), KVPDF_ERR_COPY);
        EXPECT_EQ(access(out.c_str(), F_OK), -1);
        EXPECT_EQ(kvtest::ReadFile(src), pdf);
    }

    // Bytes overwritten ahead of the copy, a line appended, or the source cut short: what
    // the output holds is what was read, and a digest is only ever that of the output.
    const struct {
        const char *what;
        std::function<void(std::string &)> change;
        bool signs;
    } changes[] = {
        {"overwritten", [](std::string &b) { b.replace(2 * kCopyBlock + 100, 5, "XXXXX"); }, true},
        {"appended", [](std::string &b) { b += "% a line more\n"; }, true},
        {"cut", [](std::string &b) { b.resize(2 * kCopyBlock); }, false},
    };
    for (const auto &c : changes) {
        SCOPED_TRACE(c.what);
        kvtest::WriteFile(src, pdf);
        std::string changed = pdf;
        c.change(changed);
        g_change = [&] { kvtest::WriteFile(src, changed); };
        const auto [rc, digest, ring] = run(0, 0);
        g_change = nullptr;
        if (!c.signs) {
            EXPECT_LT(rc, 0);
            EXPECT_EQ(digest, "");
            continue;
        }
        ASSERT_EQ(rc, 1) << ::testing::PrintToString(ring);
        EXPECT_EQ(kvtest::ReadFile(out).substr(0, changed.size()), changed);
        EXPECT_EQ(digest, RangeDigest(out, 256));
        EXPECT_TRUE(kvtest::CheckersAccept(out, 1));
    }
}

// The copy behind a collection of validation data fails, or copies a source that changed
// after it was read: the collection fails with -9 and leaves no output.
int FailingCopy(kvpdf::PdfDocument *, const char *target, const char *, const char *) {
    kvtest::WriteFile(target, "half");
    return -1;
}

int ChangedCopy(kvpdf::PdfDocument *, const char *target, const char *source, const char *) {
    std::string bytes = kvtest::ReadFile(source);
    bytes[bytes.size() - 10] ^= 1;
    kvtest::WriteFile(target, bytes);
    return 0;
}

TEST(Copies, TheCopyBesideTheValidationDataIsCheckedBeforeUse) {
    kvtest::TempDir dir;
    const std::string src = dir.file("in.pdf"), signed_pdf = dir.file("signed.pdf");
    kvtest::WriteFile(src, kvtest::OnePagePdf());
    const kvtest::Pki &pki = kvtest::World::Get().pki();
    ASSERT_EQ(kvtest::Run(kvtest::Quote(KVPDF_CLI) + " sign " + src + " " + signed_pdf +
                          " --invisible --password secret --p12 " + pki.signer.p12 + " >/dev/null"),
              0);
    const std::string bytes = kvtest::ReadFile(signed_pdf);
    for (const auto copy : {FailingCopy, ChangedCopy, kvpdf::kStdioFileOps.copy}) {
        const std::string out = dir.file("ltv.pdf");
        void *context = nullptr;
        ASSERT_EQ(KvPDF_CryptoInit(&context), 0);
        KvPdfHandle h = KvPDFInit(signed_pdf.c_str(), out.c_str(), 0);
        kvpdf::HandleLookup(h)->file_ops.copy = copy;
        KvPDFSetProperty(h, KVPDF_PROP_FIND_ALL_SIGNATURES, 1);
        KvPDF_AddCert(h, pki.root.pem.c_str(), -1);
        KvPDF_AddCrl(h, pki.inter_crl.c_str(), -1);
        KvPDF_AddCrl(h, pki.root_crl.c_str(), -1);
        const int32_t added = KvPDF_AddRevocationInformation(h, context, -1, 0);
        if (copy == kvpdf::kStdioFileOps.copy) {
            EXPECT_GT(added, 0);
            EXPECT_EQ(KvPdfWritePDFWithRevocationInformation(h), 1);
            EXPECT_TRUE(kvtest::QpdfCheck(out));
            const std::vector<kvtest::PdfsigSignature> sigs = kvtest::RunPdfsig(out);
            EXPECT_TRUE(sigs.size() == 1 && sigs[0].valid && !sigs[0].whole_file);
        } else {
            EXPECT_EQ(added, KVPDF_ERR_COPY);
            EXPECT_EQ(kvtest::RingCodes(h).back(), KVPDF_ERR_COPY);
            EXPECT_EQ(access(out.c_str(), F_OK), -1);
        }
        KvPDFClose(h);
        KvPDF_CryptoCleanup(context);
        EXPECT_EQ(kvtest::ReadFile(signed_pdf), bytes);
    }
}

} // namespace
