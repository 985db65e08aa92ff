// SPDX-License-Identifier: Apache-2.0
// The cryptography calls of the PDF library over real PDFs, with the local PKI, TSA,
// OCSP responder and CRL server: what the facade adds to the signing library.
#include "kvsxades.h"
#include "kvtest.h"

namespace {

using kvtest::World;

class Crypto : public ::testing::Test {
protected:
    void SetUp() override {
        world().SetTsaMode(kvtest::TsaMode::Normal);
        world().SetOcspMode(kvtest::OcspMode::Normal);
        KvPDF_CryptoInitGlobal();
        KvPDF_CleanKVSXADESStores();
        KvPDF_SetUseCDP(0);
        kvsx_set_http_timeout(3);
        ASSERT_EQ(KvPDF_SetLog(dir_.file("kvsx.log").c_str(), 1), 0);
        ASSERT_EQ(KvPDF_CryptoInit(&context_), 0);
        ASSERT_EQ(kvsx_add_cert(pki().root.pem.c_str(), -1), 0);
        kvtest::WriteFile(src_, kvtest::OnePagePdf());
    }
    void TearDown() override {
        KvPDF_CryptoCleanup(context_);
        KvPDF_CryptoCleanupGlobal();
    }
    World &world() { return World::Get(); }
    kvtest::Pki &pki() { return world().pki(); }

    // The host flow through KvPDF_CreateSignatureAdv, the two byte ranges handed over as
    // two memory items. Returns the facade's result; *ring gets the handle's errors.
    int32_t SignPdf(const std::string &out, const SigningParameters &params,
                    std::vector<int> *ring = nullptr) {
        KvPdfHandle h = KvPDFInit(src_.c_str(), out.c_str(), 12000);
        if (params.flags & KVPDF_SIGN_CADES)
            KvPDFSetProperty(h, KVPDF_PROP_SUBFILTER_SELECT, KVPDF_SUBFILTER_CADES);
        EXPECT_EQ(KvPdfWritePDFWithoutSignature(h, 0), 1);
        EXPECT_EQ(KvPdfWriteDummySignatureAndAddedContent(h, nullptr), 1);
        const std::string file = kvtest::ReadFile(out);
        const std::vector<uint32_t> r = kvtest::LastByteRange(out);
        std::string first = file.substr(0, r[1]), second = file.substr(r[2]);
        SignedDataItem items[2] = {
            {first.data(), int32_t(first.size()), "application/pdf", &items[1]},
            {second.data(), int32_t(second.size()), "application/pdf", nullptr}};
        uint8_t *signature = nullptr;
        uint32_t length = 0;
        int32_t rc =
            KvPDF_CreateSignatureAdv(h, context_, &params, items, &signature, &length, 0, 0);
        EXPECT_EQ(rc == 0 ? KvPdfWriteSignature(h, signature, length) : signature == nullptr, 1);
        KvPDF_FreeData(signature);
        if (ring) *ring = kvtest::RingCodes(h);
        KvPDFClose(h);
        return rc;
    }
    // Verifies the signature of file through the extraction and the facade; flip: 1 flips
    // a byte of the first signed range, 2 one of the second.
    int32_t Verify(const std::string &file, int flip = 0) {
        KvPdfHandle h = KvPDFInit(file.c_str(), nullptr, 0);
        EXPECT_EQ(KvPdfFindSignatures(h), 1);
        uint32_t length = 0;
        const std::string ranges = dir_.file("ranges.bin");
        uint8_t *value = KvPdfWritePDFForVerify(h, file.c_str(), ranges.c_str(), 0, &length, 0);
        value_ = kvtest::Str(value, length);
        std::string bytes = kvtest::ReadFile(ranges);
        if (flip) bytes[flip == 1 ? 100 : bytes.size() - 10] ^= 0x01;
        kvtest::WriteFile(ranges, bytes);
        int32_t valid =
            KvPDF_CryptoVerifiySignature(h, context_, ranges.c_str(), value, length, 0, 0);
        void *block = value;
        KvPDFDestroyer(&block);
        KvPDFClose(h);
        return valid;
    }
    SigningParameters P12(const kvtest::Entity &e, uint32_t flags = 0) {
        return {e.p12.c_str(), kvtest::Pki::kPassword, nullptr, nullptr, flags};
    }

    kvtest::TempDir dir_;
    const std::string src_ = dir_.file("in.pdf");
    void *context_ = nullptr;
    std::string value_; // the signature value the last Verify extracted
};

TEST_F(Crypto, EachKeySourceAndProfileMakesASignaturePdfsigAccepts) {
    const SigningParameters pem{pki().signer.key_pem.c_str(), nullptr,
                                pki().signer.chain_pem.c_str(), nullptr, KVPDF_SIGN_CADES};
    const std::string out = dir_.file("out.pdf");
    for (const SigningParameters &p : {P12(pki().signer), pem}) {
        const bool cades = p.flags & KVPDF_SIGN_CADES;
        ASSERT_EQ(SignPdf(out, p), 0);
        EXPECT_TRUE(kvtest::CheckersAccept(out, 1));
        EXPECT_EQ(kvtest::RunPdfsig(out)[0].subfilter,
                  cades ? "ETSI.CAdES.detached" : "adbe.pkcs7.detached");
        EXPECT_EQ(Verify(out), 1);
        EXPECT_EQ(KvPDF_SignatureHasTimeStamp(context_), 0);
        // The profile reaches the CMS: signing-certificate-v2 instead of signingTime.
        kvtest::CmsPtr cms = kvtest::ParseCms(value_);
        CMS_SignerInfo *si = kvtest::FirstSigner(cms.get());
        EXPECT_EQ(CMS_signed_get_attr_by_NID(si, NID_pkcs9_signingTime, -1) < 0, cades);
    }
    // A byte changed in either range, or no trust anchor: 0.
    EXPECT_EQ(Verify(out, 1), 0);
    EXPECT_EQ(Verify(out, 2), 0);
    KvPDF_CleanKVSXADESStores();
    EXPECT_EQ(Verify(out), 0);
}

TEST_F(Crypto, TimestampsAndTheChainsReadBack) {
    SigningParameters p = P12(pki().signer, KVPDF_SIGN_CADES);
    const std::string tsa = world().TsaUrl(), out = dir_.file("stamped.pdf");
    p.tsa_url = tsa.c_str();
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
    EXPECT_EQ(kvtest::Str(chain->cert, chain->cert_length), pki().signer.CertDer());
    KvPDF_FreeCertDataChain(chain);
    // Short of memory, the host gets the whole chain or the memory code, never a part.
    kvtest::OutOfMemorySweep(
        [&]() {
            CertDataChain *copy = nullptr;
            TSChain *copies = nullptr;
            const int32_t a = KvPDF_GetSignerCertDataChain(context_, &copy);
            const int32_t b = KvPDF_GetTSChainInfo(context_, &copies);
            int copied = 0;
            for (CertDataChain *n = copy; n; n = n->next)
                ++copied;
            const bool whole = (a == 1 && copied == 3) || (a == KVSX_E_NO_MEMORY && !copy);
            const bool stamps = b == 1 || (b == KVSX_E_NO_MEMORY && !copies);
            KvPDF_FreeCertDataChain(copy);
            KvPDF_FreeTSChain(copies);
            return whole && stamps ? std::min(a, b) : 1000;
        },
        4);
    TSChain *stamps = nullptr;
    ASSERT_EQ(KvPDF_GetTSChainInfo(context_, &stamps), 1);
    ASSERT_NE(stamps, nullptr);
    EXPECT_EQ(stamps->next, nullptr);
    const int64_t when = int64_t(stamps->time_high) << 32 | stamps->time_low;
    EXPECT_LT(std::llabs(when - time(nullptr)), 600);
    EXPECT_GT(stamps->data_length, 500u);
    ASSERT_NE(stamps->chain, nullptr);
    EXPECT_EQ(kvtest::Str(stamps->chain->cert, stamps->chain->cert_length), pki().tsa.CertDer());
    KvPDF_FreeTSChain(stamps);
    // A document timestamp over a file: 1, and 0 for changed data.
    uint8_t *token = nullptr;
    uint32_t length = 0;
    KvPdfHandle h = KvPDFInit(src_.c_str(), nullptr, 0);
    ASSERT_EQ(KvPDF_CreateTimeStamp(h, context_, src_.c_str(), &token, &length, tsa.c_str()), 0);
    EXPECT_EQ(KvPDF_VerifiyTimestamp(h, context_, src_.c_str(), token, length), 1);
    kvtest::WriteFile(src_, kvtest::ReadFile(src_) + " ");
    EXPECT_EQ(KvPDF_VerifiyTimestamp(h, context_, src_.c_str(), token, length), 0);
    KvPDF_FreeData(token);
    KvPDFClose(h);
    // A revoked signer is found through the responder: 0.
    const std::string revoked = dir_.file("revoked.pdf");
    ASSERT_EQ(SignPdf(revoked, P12(pki().revoked)), 0);
    EXPECT_EQ(Verify(revoked), 0);
    EXPECT_NE(kvtest::ReadFile(dir_.file("kvsx.log")).find("was revoked"), std::string::npos);
}

TEST_F(Crypto, BadKeysAndServicesFailCleanlyAndLeaveTheFileUnsigned) {
    SigningParameters wrong = P12(pki().signer);
    wrong.secret = "not the password";
    std::vector<int> ring;
    EXPECT_EQ(SignPdf(dir_.file("1.pdf"), wrong, &ring), KVSX_WRONG_PASSWORD); // a definite "no"
    EXPECT_TRUE(ring.empty());
    const SigningParameters missing{"/nonexistent/key.pem", nullptr, nullptr, nullptr, 0};
    EXPECT_EQ(SignPdf(dir_.file("2.pdf"), missing, &ring), -155);
    EXPECT_EQ(ring, std::vector<int>{-155});
    // The reserved value of a failed signing stays all zeros.
    EXPECT_NE(kvtest::ReadFile(dir_.file("2.pdf")).find("/Contents<" + std::string(24000, '0')),
              std::string::npos);
    const std::string tsa = world().TsaUrl();
    SigningParameters stamped = P12(pki().signer);
    world().SetTsaMode(kvtest::TsaMode::Garbage);
    stamped.tsa_url = tsa.c_str();
    EXPECT_EQ(SignPdf(dir_.file("4.pdf"), stamped), -155);
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

} // namespace
