// The cryptography calls of the PDF library over real PDFs, with the local PKI, TSA,
// OCSP responder and CRL server of the signing library's tests; and the host stores.
#include "pdf_builder.h"
#include "pdf_check.h"
#include "pdf_crypto_common.h"
#include "pdf_crypto_kvsxades.h"
#include "pdf_mem.h"
#include "test_servers.h"
#include "test_support.h"

#include "kvsxades.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

using namespace kvpdf;

using kvsx_test::TestWorld;

namespace {

std::string Pdf() {
    return kvtest::OnePagePdf();
}

class Crypto : public ::testing::Test {
protected:
    void SetUp() override {
        world().set_tsa_mode(kvsx_test::TsaMode::Normal);
        world().set_ocsp_mode(kvsx_test::OcspMode::Normal);
        KvPDF_CryptoInitGlobal();
        KvPDF_CleanKVSXADESStores();
        KvPDF_SetUseCDP(0);
        kvsx_set_http_timeout(3);
        ASSERT_EQ(KvPDF_SetLog(dir_.file("kvsx.log").c_str(), 1), 0);
        ASSERT_EQ(KvPDF_CryptoInit(&context_), 0);
        src_ = dir_.file("in.pdf");
        kvtest::WriteFile(src_, Pdf());
    }
    void TearDown() override {
        KvPDF_CryptoCleanup(context_);
        KvPDF_CryptoCleanupGlobal();
    }
    TestWorld &world() { return TestWorld::get(); }
    kvsx_test::TestPki &pki() { return world().pki(); }

    // The host flow through KvPDF_CreateSignatureAdv, the two byte ranges handed over as
    // two memory items. Returns the facade's result; *ring gets the handle's errors.
    int32_t SignPdf(const std::string &out, const SigningParameters &params,
                    std::vector<int> *ring = nullptr) {
        KvPdfHandle h = KvPDFInit(src_.c_str(), out.c_str(), 12000);
        if (params.flags & KVPDF_SIGN_CADES)
            KvPDFSetProperty(h, KVPDF_PROP_SUBFILTER_SELECT, KVPDF_SUBFILTER_CADES);
        EXPECT_EQ(KvPdfWritePDFWithoutSignature(h, 0), 1);
        uint32_t start = 0;
        EXPECT_EQ(KvPdfWriteDummySignatureAndAddedContent(h, &start), 1);
        const std::string file = kvtest::ReadFile(out);
        const uint32_t second = start + 2 * 12000 + 2;
        std::string first_range = file.substr(0, start), second_range = file.substr(second);
        SignedDataItem items[2] = {
            {first_range.data(), int32_t(first_range.size()), "application/pdf", &items[1]},
            {second_range.data(), int32_t(second_range.size()), "application/pdf", nullptr}};
        uint8_t *signature = nullptr;
        uint32_t length = 0;
        int32_t rc =
            KvPDF_CreateSignatureAdv(h, context_, &params, items, &signature, &length, 0, 0);
        if (rc == 0) {
            EXPECT_EQ(KvPdfWriteSignature(h, signature, length), 1);
        } else {
            EXPECT_EQ(signature, nullptr);
        }
        KvPDF_FreeData(signature);
        if (ring) *ring = kvtest::RingCodes(h);
        KvPDFClose(h);
        return rc;
    }
    // Verifies signature 0 of file through the extraction and the facade; flip: 1 flips a
    // byte of the first signed range, 2 one of the second.
    int32_t Verify(const std::string &file, int flip = 0) {
        KvPdfHandle h = KvPDFInit(file.c_str(), nullptr, 0);
        EXPECT_EQ(KvPdfFindSignatures(h), 1);
        uint32_t length = 0;
        int32_t error = 0;
        const std::string ranges = dir_.file("ranges.bin");
        uint8_t *value =
            KvPdfWritePDFForVerify(h, file.c_str(), ranges.c_str(), 0, &length, &error);
        EXPECT_NE(value, nullptr);
        if (flip) {
            std::string bytes = kvtest::ReadFile(ranges);
            bytes[flip == 1 ? 100 : bytes.size() - 10] ^= 0x01;
            kvtest::WriteFile(ranges, bytes);
        }
        int32_t valid =
            KvPDF_CryptoVerifiySignature(h, context_, ranges.c_str(), value, length, 0, 0);
        void *block = value;
        KvPDFDestroyer(&block);
        KvPDFClose(h);
        return valid;
    }
    SigningParameters P12(const kvsx_test::Entity &e, uint32_t flags = 0) {
        SigningParameters p{};
        p.key = e.p12.c_str();
        p.secret = kvsx_test::TestPki::kPassword;
        p.flags = flags;
        return p;
    }
    // openssl's printout of the CMS in a signed file's /Contents.
    std::string CmsPrint(const std::string &pdf) {
        KvPdfHandle h = KvPDFInit(pdf.c_str(), nullptr, 0);
        KvPdfFindSignatures(h);
        uint32_t length = 0;
        int32_t error = 0;
        uint8_t *value =
            KvPdfWritePDFSignatureByteRange(h, dir_.file("r.bin").c_str(), &length, 0, &error);
        // The value is the DER object followed by the reserved zeros.
        uint32_t der =
            value && length > 4 && value[1] == 0x82 ? 4u + (value[2] << 8 | value[3]) : 0;
        kvtest::WriteFile(dir_.file("cms.der"), std::string(reinterpret_cast<char *>(value), der));
        void *block = value;
        KvPDFDestroyer(&block);
        KvPDFClose(h);
        std::string out;
        kvtest::Run("openssl cms -cmsout -print -inform DER -in '" + dir_.file("cms.der") + "'",
                    &out);
        return out;
    }

    kvtest::TempDir dir_;
    std::string src_;
    void *context_ = nullptr;
};

TEST_F(Crypto, EachKeySourceAndProfileMakesASignaturePdfsigAccepts) {
    ASSERT_EQ(kvsx_add_cert(pki().root.pem.c_str(), -1), 0);
    SigningParameters pem{};
    pem.key = pki().signer.key_pem.c_str();
    pem.certs = pki().signer.chain_pem.c_str();
    for (uint32_t flags : {0u, KVPDF_SIGN_CADES}) {
        for (const SigningParameters &base : {P12(pki().signer), pem}) {
            SigningParameters p = base;
            p.flags = flags;
            const std::string out = dir_.file(flags ? "cades.pdf" : "pkcs7.pdf");
            ASSERT_EQ(SignPdf(out, p), 0);
            auto sigs = kvtest::RunPdfsig(out);
            ASSERT_EQ(sigs.size(), 1u);
            EXPECT_TRUE(sigs[0].valid) << sigs[0].raw;
            EXPECT_EQ(sigs[0].subfilter, flags ? "ETSI.CAdES.detached" : "adbe.pkcs7.detached");
            EXPECT_EQ(Verify(out), 1);
            EXPECT_EQ(KvPDF_SignatureHasTimeStamp(context_), 0);
        }
        // The CMS itself: signing-certificate-v2 and no signing time for CAdES.
        std::string printed = CmsPrint(dir_.file(flags ? "cades.pdf" : "pkcs7.pdf"));
        EXPECT_EQ(printed.find("id-smime-aa-signingCertificateV2") != std::string::npos, flags != 0)
            << printed;
        EXPECT_EQ(printed.find("signingTime") != std::string::npos, flags == 0) << printed;
    }
}

TEST_F(Crypto, SignatureTimestampAndTheChainsReadBack) {
    ASSERT_EQ(kvsx_add_cert(pki().root.pem.c_str(), -1), 0);
    SigningParameters p = P12(pki().signer, KVPDF_SIGN_CADES);
    const std::string tsa = world().tsa_url();
    p.tsa_url = tsa.c_str();
    const std::string out = dir_.file("stamped.pdf");
    ASSERT_EQ(SignPdf(out, p), 0);
    KvPDF_SetUseCDP(1);
    ASSERT_EQ(Verify(out), 1);
    EXPECT_EQ(KvPDF_SignatureHasTimeStamp(context_), 1);
    // Signer, intermediate, root; the signer's status came from the OCSP responder.
    CertDataChain *chain = nullptr;
    ASSERT_EQ(KvPDF_GetSignerCertDataChain(context_, &chain), 1);
    int nodes = 0;
    for (CertDataChain *n = chain; n; n = n->next)
        ++nodes;
    EXPECT_EQ(nodes, 3);
    EXPECT_NE(chain->ocsp, nullptr);
    kvsx_test::Bytes signer = pki().signer.cert_der();
    EXPECT_EQ(std::vector<uint8_t>(chain->cert, chain->cert + chain->cert_length), signer);
    uint32_t certs = 0, crls = 0, ocsps = 0;
    CertDataChain *counted = nullptr;
    EXPECT_EQ(CryptoSignerChain(context_, &counted, &certs, &crls, &ocsps), KVSX_OK);
    EXPECT_EQ(certs, 3u);
    EXPECT_GE(ocsps + crls, 1u);
    KvPDF_FreeCertDataChain(counted);
    KvPDF_FreeCertDataChain(chain);
    // Short of memory, the host gets the whole chain or the memory code, never a part.
    for (uint64_t nth = 1; nth <= 12; ++nth) {
        CertDataChain *copy = nullptr;
        TSChain *copies = nullptr;
        kvpdf::TrackedFailAt(nth);
        int32_t signer_rc = KvPDF_GetSignerCertDataChain(context_, &copy);
        kvpdf::TrackedFailAt(nth);
        int32_t stamps_rc = KvPDF_GetTSChainInfo(context_, &copies);
        kvpdf::TrackedFailAt(0);
        int copied = 0;
        for (CertDataChain *n = copy; n; n = n->next)
            ++copied;
        EXPECT_TRUE((signer_rc == 1 && copied == 3) || (signer_rc == KVSX_E_NO_MEMORY && !copy))
            << "allocation " << nth << ": " << signer_rc << ", " << copied << " nodes";
        EXPECT_TRUE(stamps_rc == 1 || (stamps_rc == KVSX_E_NO_MEMORY && !copies)) << nth;
        KvPDF_FreeCertDataChain(copy);
        KvPDF_FreeTSChain(copies);
    }
    TSChain *stamps = nullptr;
    ASSERT_EQ(KvPDF_GetTSChainInfo(context_, &stamps), 1);
    ASSERT_NE(stamps, nullptr);
    EXPECT_EQ(stamps->next, nullptr);
    int64_t when = int64_t(stamps->time_high) << 32 | stamps->time_low;
    EXPECT_LT(std::llabs(when - time(nullptr)), 600);
    EXPECT_EQ(when, CryptoFirstTimestampTime(context_));
    EXPECT_GT(stamps->data_length, 500u);
    ASSERT_NE(stamps->chain, nullptr);
    EXPECT_EQ(
        std::vector<uint8_t>(stamps->chain->cert, stamps->chain->cert + stamps->chain->cert_length),
        pki().tsa.cert_der());
    KvPDF_FreeTSChain(stamps);
    // The log names what the verification did.
    EXPECT_NE(kvtest::ReadFile(dir_.file("kvsx.log")).find("verif"), std::string::npos);
}

TEST_F(Crypto, VerificationOutcomes) {
    ASSERT_EQ(kvsx_add_cert(pki().root.pem.c_str(), -1), 0);
    const std::string good = dir_.file("good.pdf");
    ASSERT_EQ(SignPdf(good, P12(pki().signer)), 0);
    EXPECT_EQ(Verify(good), 1);
    EXPECT_EQ(Verify(good, 1), 0); // a byte of the first range flipped
    EXPECT_EQ(Verify(good, 2), 0); // of the second
    // Without the root in the stores the chain leads nowhere.
    KvPDF_CleanKVSXADESStores();
    EXPECT_EQ(Verify(good), 0);
    ASSERT_EQ(kvsx_add_cert(pki().root.pem.c_str(), -1), 0);
    // Revoked: found through the OCSP responder, and through a fetched CRL when the
    // responder cannot answer.
    const std::string revoked = dir_.file("revoked.pdf");
    ASSERT_EQ(SignPdf(revoked, P12(pki().revoked)), 0);
    KvPDF_SetUseCDP(1);
    EXPECT_EQ(Verify(revoked), 0);
    CertDataChain *chain = nullptr;
    KvPDF_GetSignerCertDataChain(context_, &chain);
    ASSERT_NE(chain, nullptr);
    EXPECT_NE(chain->ocsp, nullptr);
    KvPDF_FreeCertDataChain(chain);
    world().set_ocsp_mode(kvsx_test::OcspMode::TryLater);
    int before = world().crl_requests();
    EXPECT_EQ(Verify(revoked), 0);
    EXPECT_GT(world().crl_requests(), before);
    KvPDF_SetUseCDP(0);
    // Expired.
    const std::string expired = dir_.file("expired.pdf");
    ASSERT_EQ(SignPdf(expired, P12(pki().expired)), 0);
    EXPECT_EQ(Verify(expired), 0);
}

TEST_F(Crypto, DocumentTimestampThroughTheFacade) {
    ASSERT_EQ(kvsx_add_cert(pki().root.pem.c_str(), -1), 0);
    const std::string out = dir_.file("dts.pdf");
    KvPdfHandle h = KvPDFInit(src_.c_str(), out.c_str(), 8000);
    KvPdfCreateDocTimeStamp(h);
    ASSERT_EQ(KvPdfWritePDFWithoutTimestamp(h, 0), 1);
    uint32_t start = 0;
    ASSERT_EQ(KvPdfWriteDummySignatureAndAddedContent(h, &start), 1);
    const std::string ranges = dir_.file("ranges.bin");
    const uint32_t second = start + 16002;
    uint32_t length = 0;
    int32_t error = 0;
    uint8_t *zeros =
        KvPdfWritePDFByteRange(h, out.c_str(), ranges.c_str(), &length, &error, start, second,
                               uint32_t(kvtest::ReadFile(out).size()) - second);
    void *block = zeros;
    KvPDFDestroyer(&block);
    uint8_t *token = nullptr;
    const std::string tsa = world().tsa_url();
    ASSERT_EQ(KvPDF_CreateTimeStamp(h, context_, ranges.c_str(), &token, &length, tsa.c_str()), 0);
    ASSERT_EQ(KvPdfWriteTimestamp(h, token, length), 1);
    EXPECT_EQ(KvPDF_VerifiyTimestamp(h, context_, ranges.c_str(), token, length), 1);
    std::string changed = kvtest::ReadFile(ranges);
    changed[10] ^= 1;
    kvtest::WriteFile(ranges, changed);
    EXPECT_EQ(KvPDF_VerifiyTimestamp(h, context_, ranges.c_str(), token, length), 0);
    // A corrupted token is refused, never crashes.
    std::vector<uint8_t> broken(token, token + length);
    broken[length / 2] ^= 0x40;
    EXPECT_EQ(KvPDF_VerifiyTimestamp(h, context_, ranges.c_str(), broken.data(), length), 0);
    KvPDF_FreeData(token);
    KvPDFClose(h);
}

TEST_F(Crypto, BadKeysAndServicesFailCleanlyAndLeaveTheFileUnsigned) {
    SigningParameters wrong = P12(pki().signer);
    wrong.secret = "not the password";
    std::vector<int> ring;
    EXPECT_EQ(SignPdf(dir_.file("1.pdf"), wrong, &ring), KVSX_WRONG_PASSWORD); // a definite "no"
    EXPECT_TRUE(ring.empty());
    SigningParameters missing{};
    missing.key = "/nonexistent/key.pem";
    EXPECT_EQ(SignPdf(dir_.file("2.pdf"), missing, &ring), -155);
    EXPECT_EQ(ring, std::vector<int>{-155});
    SigningParameters mismatch{};
    mismatch.key = pki().signer.key_pem.c_str();
    mismatch.certs = pki().revoked.pem.c_str(); // a certificate without this private key
    EXPECT_EQ(SignPdf(dir_.file("3.pdf"), mismatch), -155);
    // The reserved value of a failed signing stays all zeros.
    std::string unsigned_file = kvtest::ReadFile(dir_.file("3.pdf"));
    EXPECT_NE(unsigned_file.find("/Contents<" + std::string(24000, '0') + ">"), std::string::npos);
    SigningParameters stamped = P12(pki().signer);
    const std::string unreachable =
        "http://127.0.0.1:" + std::to_string(kvsx_test::unused_port()) + "/tsa";
    stamped.tsa_url = unreachable.c_str();
    kvsx_set_http_timeout(2);
    time_t t0 = time(nullptr);
    EXPECT_EQ(SignPdf(dir_.file("4.pdf"), stamped), -155);
    EXPECT_LE(time(nullptr) - t0, 30); // bounded, not hanging
    world().set_tsa_mode(kvsx_test::TsaMode::Garbage);
    const std::string tsa = world().tsa_url();
    stamped.tsa_url = tsa.c_str();
    EXPECT_EQ(SignPdf(dir_.file("5.pdf"), stamped), -155);
    KvPdfHandle h = KvPDFInit(src_.c_str(), nullptr, 0);
    uint8_t *token = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(KvPDF_CreateTimeStamp(h, context_, src_.c_str(), &token, &length, tsa.c_str()), -156);
    EXPECT_EQ(token, nullptr);
    EXPECT_EQ(kvtest::RingCodes(h), std::vector<int>{-156});
    KvPDFClose(h);
    // Nothing to sign: the library refuses a missing chain.
    EXPECT_EQ(KvPDF_CreateSignatureAdv(0, context_, &wrong, nullptr, &token, &length, 0, 0), -155);
    EXPECT_NE(kvtest::ReadFile(dir_.file("kvsx.log")).find("password"), std::string::npos);
}

TEST_F(Crypto, CertificateInfoBase64AndDigests) {
    CertificateInfo *info = KvPDF_AllocCertificate();
    ASSERT_NE(info, nullptr);
    ASSERT_EQ(KvPDF_GetCertInfo(pki().signer.pem.c_str(), -1, info), 1);
    EXPECT_NE(std::string(info->subject).find("CN="), std::string::npos);
    EXPECT_STREQ(info->issuer, "CN=kvsx Test Issuing CA,O=kvsx test,C=HU");
    EXPECT_STREQ(info->serial, "1A2B3C");
    EXPECT_EQ(std::string(info->not_after).size(), 20u); // 2036-12-05T10:00:00Z
    EXPECT_EQ(info->is_ca, 0);
    KvPDF_FreeCertificate(info);
    info = KvPDF_AllocCertificate();
    kvsx_test::Bytes root = pki().root.cert_der();
    ASSERT_EQ(KvPDF_GetCertInfo(root.data(), int32_t(root.size()), info), 1);
    EXPECT_STREQ(info->subject, info->issuer);
    EXPECT_EQ(info->is_ca, 1);
    EXPECT_EQ(KvPDF_GetCertInfo("not a certificate", 0, info), 0);
    KvPDF_FreeCertificate(info);
    KvPDF_FreeCertificate(nullptr);
    EXPECT_EQ(CryptoSelfIssued(root.data(), int32_t(root.size())), 1);
    const std::string padded = "  " + pki().root.der + " \n";
    EXPECT_EQ(CryptoSelfIssued(padded.c_str(), -1), 1);
    EXPECT_EQ(CryptoSelfIssued(pki().signer.der.c_str(), -1), 0);

    uint8_t *bytes = nullptr;
    uint32_t n = 0;
    ASSERT_EQ(KvPDF_DecodeBase64("aGVsbG8=", 0, &n, &bytes), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(bytes), n), "hello");
    KvPDF_FreeData(bytes);
    uint8_t *digest = CryptoDigest("abc", 3, &n);
    ASSERT_NE(digest, nullptr);
    EXPECT_EQ(n, 32u);
    EXPECT_EQ(digest[0], 0xba); // SHA-256("abc") = ba7816bf...
    KvPDF_FreeData(digest);
    EXPECT_EQ(KvPDF_GetOcspCertDataChain(&n, &n, &n, &n), 0);
}

TEST(Stores, HandleAndProcessWideStoresCopyAndEmpty) {
    KvPdfHandle keep = KvPDFInit("a.pdf", nullptr, 0); // another open handle
    KvPdfHandle h = KvPDFInit("b.pdf", nullptr, 0);
    PdfDocument *doc = HandleLookup(h);
    const uint8_t der[3] = {0x30, 0x01, 0x00};
    EXPECT_EQ(KvPDF_AddCert(h, der, 3), 0);
    EXPECT_EQ(KvPDF_AddCert(h, "-----BEGIN CERTIFICATE-----", 0), 0);
    EXPECT_EQ(KvPDF_AddCrl(h, "/path/to.crl", -1), 0);
    EXPECT_EQ(KvPDF_AddOcsp(0, der, 3), 0);
    EXPECT_EQ(KvPDF_AddOcsp(h + 8, der, 3), 0); // not a handle: nothing happens
    StoreHeads mine = StoresOf(&doc->stores), global = StoresOf(nullptr);
    ASSERT_NE(*mine.certs, nullptr);
    EXPECT_EQ((*mine.certs)->length, 3);
    EXPECT_EQ((*mine.certs)->no_length, 0);
    EXPECT_EQ((*mine.certs)->self_issued, -1);
    EXPECT_EQ(memcmp((*mine.certs)->data, der, 3), 0);
    ASSERT_NE((*mine.certs)->next, nullptr);
    EXPECT_EQ((*mine.certs)->next->no_length, 1);
    EXPECT_STREQ(reinterpret_cast<char *>((*mine.certs)->next->data),
                 "-----BEGIN CERTIFICATE-----");
    EXPECT_EQ((*mine.crls)->no_length, 0); // -1: a path, copied as text
    EXPECT_STREQ(reinterpret_cast<char *>((*mine.crls)->data), "/path/to.crl");
    EXPECT_EQ(*mine.ocsps, nullptr);
    ASSERT_NE(*global.ocsps, nullptr);
    EXPECT_EQ((*global.ocsps)->kind, 1);
    EXPECT_EQ((*global.ocsps)->next, nullptr);
    KvPDF_CleanCRLOCSPStore(h);
    EXPECT_EQ(*mine.crls, nullptr);
    EXPECT_NE(*mine.certs, nullptr);
    EXPECT_NE(*global.ocsps, nullptr);
    KvPDF_CleanStores(h);
    EXPECT_EQ(*mine.certs, nullptr);
    // Closing a handle that is not the last one leaves the process-wide stores.
    KvPDFClose(h);
    EXPECT_NE(*global.ocsps, nullptr);
    // The last handle, after reading only, leaves them too; after a write it empties them.
    HandleLookup(keep)->mode = kModeFindSignatures;
    KvPDFClose(keep);
    EXPECT_NE(*global.ocsps, nullptr);
    keep = KvPDFInit("a.pdf", nullptr, 0);
    KvPDFClose(keep);
    EXPECT_EQ(*global.ocsps, nullptr);
    KvPDF_CleanStores(0);
}

} // namespace
