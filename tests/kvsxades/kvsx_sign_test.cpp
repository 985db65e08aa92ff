// SPDX-License-Identifier: Apache-2.0
// Signatures and timestamps made by kvsxades, checked byte by byte and by `openssl`.
#include "kvsx_fixture.h"

#include <set>

namespace kvtest {
namespace {

using Signing = PkiTest;

std::set<int> SignedAttributeNids(CMS_SignerInfo *si) {
    std::set<int> nids;
    for (int i = 0; i < CMS_signed_get_attr_count(si); ++i)
        nids.insert(OBJ_obj2nid(X509_ATTRIBUTE_get0_object(CMS_signed_get_attr(si, i))));
    return nids;
}

// The digest (digest=true) or signature algorithm of a signer.
int AlgorithmNid(CMS_SignerInfo *si, bool digest) {
    X509_ALGOR *alg = nullptr;
    CMS_SignerInfo_get0_algs(si, nullptr, nullptr, digest ? &alg : nullptr,
                             digest ? nullptr : &alg);
    const ASN1_OBJECT *oid = nullptr;
    X509_ALGOR_get0(&oid, nullptr, nullptr, alg);
    return OBJ_obj2nid(oid);
}

// `openssl cms -verify` of a signature over content, trusting the PKI's root.
::testing::AssertionResult OpensslVerify(const std::string &sig, const std::string &content,
                                         const Pki &pki) {
    TempDir dir;
    WriteFile(dir.file("sig.der"), sig);
    return Openssl("cms -verify -binary -inform DER -in " + dir.file("sig.der") + " -content " +
                   Quote(content) + " -CAfile " + pki.root.pem + " -purpose any -out /dev/null");
}

TEST_F(Signing, Pkcs12CadesSignatureIsDetachedAndAcceptedByOpenssl) {
    static const char kHeader[] = "%PDF-1.7 first byte range";
    KvsDataObject second = FileItem(data_), first{};
    first.data = kHeader;
    first.length = static_cast<int32_t>(strlen(kHeader));
    first.next = &second;
    std::string sig;
    ASSERT_EQ(Sign(P12(pki().signer), sig, &first), KVSX_OK);
    CmsPtr cms = ParseCms(sig);
    ASSERT_TRUE(cms);
    EXPECT_EQ(OBJ_obj2nid(CMS_get0_type(cms.get())), NID_pkcs7_signed);
    EXPECT_EQ(*CMS_get0_content(cms.get()), nullptr) << "content must be detached";
    CMS_SignerInfo *si = FirstSigner(cms.get());
    EXPECT_EQ(AlgorithmNid(si, true), NID_sha256);
    EXPECT_EQ(SignedAttributeNids(si),
              (std::set<int>{NID_pkcs9_contentType, NID_pkcs9_messageDigest,
                             NID_id_smime_aa_signingCertificateV2}));
    EXPECT_EQ(CMS_unsigned_get_attr_count(si), -1);
    // Signer and intermediate from the PKCS#12, the root completed from the store.
    STACK_OF(X509) *certs = CMS_get1_certs(cms.get());
    EXPECT_EQ(sk_X509_num(certs), 3);
    sk_X509_pop_free(certs, X509_free);

    WriteFile(work("content.bin"), kHeader + ReadFile(data_));
    EXPECT_TRUE(OpensslVerify(sig, work("content.bin"), pki()));
    EXPECT_EQ(kvsx_verify_signature(ctx_, &first, U8(sig), uint32_t(sig.size()), 0, 0, nullptr),
              KVSX_OK);
}

// Every key source signs, in the profile asked for: PKCS#7 carries signingTime, CAdES
// signing-certificate-v2 instead.
TEST_F(Signing, KeySourcesAndProfiles) {
    // RC2-40 / 3DES, as older Windows exports are; needs OpenSSL's legacy provider.
    const std::string legacy = work("legacy.p12");
    ASSERT_TRUE(Openssl("pkcs12 -export -legacy -in " + pki().signer.pem + " -inkey " +
                        pki().signer.key_pem + " -certfile " + pki().inter.pem +
                        " -passout pass:" + Pki::kPassword + " -out " + legacy));
    const Pki &p = pki();
    const struct {
        const char *what;
        KvsSigningParameters params;
    } cases[] = {
        {"legacy PKCS#12", {legacy.c_str(), Pki::kPassword, nullptr, nullptr, 0}},
        {"PEM key and chain",
         {p.signer.key_pem.c_str(), nullptr, p.signer.chain_pem.c_str(), nullptr, 0}},
        {"encrypted PKCS#8, CAdES",
         {p.signer_enc_key.c_str(), Pki::kPassword, p.signer.chain_pem.c_str(), nullptr,
          KVS_CADES}},
        {"EC key, CAdES",
         {p.ec_signer.key_pem.c_str(), nullptr, p.ec_signer.chain_pem.c_str(), nullptr, KVS_CADES}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string sig = Signed(c.params);
        EXPECT_TRUE(OpensslVerify(sig, data_, pki()));
        EXPECT_EQ(Verify(sig, data_), KVSX_OK);
        const bool cades = c.params.flags & KVS_CADES;
        const std::set<int> nids = SignedAttributeNids(FirstSigner(ParseCms(sig).get()));
        EXPECT_EQ(nids.count(NID_pkcs9_signingTime), cades ? 0u : 1u);
        EXPECT_EQ(nids.count(NID_id_smime_aa_signingCertificateV2), cades ? 1u : 0u);
        EXPECT_EQ(AlgorithmNid(FirstSigner(ParseCms(sig).get()), false) == NID_ecdsa_with_SHA256,
                  c.params.key == p.ec_signer.key_pem);
    }
}

TEST_F(Signing, HashTypeSelectsTheDigestAndSha1IsVerifyOnly) {
    for (auto [type, nid] : {std::pair<int, int>{KVS_HASH_SHA384, NID_sha384},
                             {KVS_HASH_SHA512, NID_sha512},
                             {KVS_HASH_SHA256, NID_sha256}}) {
        ASSERT_EQ(kvsx_set_hash_type(type), KVSX_OK);
        const std::string sig = Signed(P12(pki().signer));
        EXPECT_EQ(AlgorithmNid(FirstSigner(ParseCms(sig).get()), true), nid);
        EXPECT_EQ(Verify(sig, data_), KVSX_OK);
    }
    ASSERT_EQ(kvsx_set_hash_type(KVS_HASH_SHA1), KVSX_OK);
    std::string sig;
    NewLogLines();
    EXPECT_EQ(Sign(P12(pki().signer), sig), KVSX_E_UNSUPPORTED);
    EXPECT_NE(NewLogLines().find("KVSX_E_UNSUPPORTED"), std::string::npos);
    EXPECT_EQ(kvsx_set_hash_type(4), KVSX_E_INVALID_ARG);
    EXPECT_EQ(kvsx_set_hash_type(-1), KVSX_E_INVALID_ARG);
}

TEST_F(Signing, FileRangesSignOnlyTheSelectedBytes) {
    // The two byte ranges of a signed PDF: before and after the /Contents hole.
    KvsDataObject after = FileItem(data_), before = FileItem(data_);
    after.range_offset = 150000;
    after.range_length = 0; // to the end
    before.range_length = 100000;
    before.next = &after;
    std::string sig;
    std::vector<uint64_t> reported; // one report per block read, counting both ranges
    kvsx_set_progress(
        [](uint64_t done, void *user) {
            static_cast<std::vector<uint64_t> *>(user)->push_back(done);
        },
        &reported);
    ASSERT_EQ(Sign(P12(pki().signer), sig, &before), KVSX_OK);
    kvsx_set_progress(nullptr, nullptr);
    const std::string file = ReadFile(data_);
    EXPECT_EQ(reported, (std::vector<uint64_t>{100000, file.size() - 50000}));
    WriteFile(work("ranges.bin"), file.substr(0, 100000) + file.substr(150000));
    EXPECT_TRUE(OpensslVerify(sig, work("ranges.bin"), pki()));
    EXPECT_EQ(kvsx_verify_signature(ctx_, &before, U8(sig), uint32_t(sig.size()), 0, 0, nullptr),
              KVSX_OK);
    EXPECT_EQ(Verify(sig, data_), KVSX_DIGEST_MISMATCH);

    after.range_offset = static_cast<uint32_t>(file.size() - 1000);
    after.range_length = 2000; // 1 KB past the end
    NewLogLines();
    EXPECT_EQ(Sign(P12(pki().signer), sig, &before), KVSX_E_DATA_RANGE);
    EXPECT_NE(NewLogLines().find("outside"), std::string::npos);
}

TEST_F(Signing, KeyProblemsGiveDistinctCodesAndLogLines) {
    const std::string missing = work("missing.p12"), garbage = work("garbage.key");
    WriteFile(garbage, std::string(300, 0x5a));
    const Pki &p = pki();
    const struct {
        const char *what;
        std::string key;
        const char *secret;
        std::string certs;
        int code;
    } cases[] = {
        {"p12 wrong password", p.signer.p12, "wrong", "", KVSX_WRONG_PASSWORD},
        {"p12 no password", p.signer.p12, nullptr, "", KVSX_WRONG_PASSWORD},
        {"encrypted PEM wrong password", p.signer_enc_key, "wrong", p.signer.pem,
         KVSX_WRONG_PASSWORD},
        {"encrypted PEM no password", p.signer_enc_key, nullptr, p.signer.pem, KVSX_WRONG_PASSWORD},
        {"missing key file", missing, "secret", "", KVSX_E_KEY_LOAD},
        {"garbage key file", garbage, nullptr, p.signer.pem, KVSX_E_KEY_LOAD},
        {"certificate as key", p.signer.pem, nullptr, "", KVSX_E_KEY_LOAD},
        {"key of another certificate", p.ec_signer.key_pem, nullptr, p.signer.pem,
         KVSX_E_KEY_MISMATCH},
        {"key without certificate", p.signer.key_pem, nullptr, "", KVSX_E_NO_CERT},
        {"PKCS#11 URI", "pkcs11:token=card;object=sig", "1234", "", KVSX_E_UNSUPPORTED},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        NewLogLines();
        std::string sig;
        KvsSigningParameters params{c.key.c_str(), c.secret,
                                    c.certs.empty() ? nullptr : c.certs.c_str(), nullptr, 0};
        EXPECT_EQ(Sign(params, sig), c.code);
        EXPECT_TRUE(sig.empty());
        std::string lines = NewLogLines();
        EXPECT_NE(lines.find(kvsx_code_text(c.code)), std::string::npos) << lines;
        EXPECT_NE(lines.find("ERROR kvsx_create_signature"), std::string::npos) << lines;
    }
}

TEST_F(Signing, TsaFailuresGiveTheirCodesForSignaturesAndDocumentTimestamps) {
    ASSERT_EQ(kvsx_set_http_timeout(2), KVSX_OK);
    const std::string tsa = world().TsaUrl();
    const HttpServer refused; // never started
    const struct {
        const char *what;
        std::string url;
        TsaMode mode;
        int code;
    } cases[] = {
        {"garbage answer", tsa, TsaMode::Garbage, KVSX_E_TSA_RESPONSE},
        {"rejection", tsa, TsaMode::Reject, KVSX_TSA_NOT_GRANTED},
        {"other imprint", tsa, TsaMode::WrongImprint, KVSX_E_TSA_MISMATCH},
        {"silent server", tsa, TsaMode::Silent, KVSX_E_NETWORK},
        {"nobody listening", refused.Url("/tsa"), TsaMode::Normal, KVSX_E_NETWORK},
        {"https", "https://127.0.0.1:1/tsa", TsaMode::Normal, KVSX_E_UNSUPPORTED},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        world().SetTsaMode(c.mode);
        std::string sig;
        NewLogLines();
        EXPECT_EQ(Sign(P12(pki().signer, KVS_CADES, c.url.c_str()), sig), c.code);
        EXPECT_NE(NewLogLines().find(kvsx_code_text(c.code)), std::string::npos);
        uint8_t *token = nullptr;
        uint32_t length = 0;
        EXPECT_EQ(kvsx_create_timestamp(ctx_, -1, KVS_TS_RFC3161, data_.c_str(), &token, &length,
                                        c.url.c_str(), 0),
                  c.code);
        EXPECT_EQ(token, nullptr);
        EXPECT_NE(NewLogLines().find("ERROR kvsx_create_timestamp"), std::string::npos);
    }
}

TEST_F(Signing, ProxyCarriesTheTsaRequest) {
    ASSERT_EQ(kvsx_set_http_timeout(2), KVSX_OK);
    const std::string tsa = world().TsaUrl(); // http://127.0.0.1:PORT/tsa
    const std::string proxy = tsa.substr(7, tsa.find('/', 7) - 7);
    const HttpServer refused; // never started
    const std::string behind = refused.Url("/tsa");
    ASSERT_EQ(kvsx_set_proxy(proxy.c_str()), KVSX_OK);
    const int before = world().TsaRequests();
    std::string sig;
    EXPECT_EQ(Sign(P12(pki().signer, KVS_CADES, behind.c_str()), sig), KVSX_OK);
    EXPECT_EQ(world().TsaRequests(), before + 1) << "the request went through the proxy";
    EXPECT_NE(NewLogLines().find("proxy http://" + proxy), std::string::npos);
    ASSERT_EQ(kvsx_set_proxy(""), KVSX_OK);
    EXPECT_EQ(Sign(P12(pki().signer, KVS_CADES, behind.c_str()), sig), KVSX_E_NETWORK);
}

TEST_F(Signing, BadArgumentsAreRefused) {
    const KvsSigningParameters params = P12(pki().signer);
    const std::string missing_path = work("missing.pdf");
    KvsDataObject item = FileItem(data_), missing = FileItem(missing_path);
    KvsDataObject negative{}, unnamed{}, loop{};
    negative.length = -2;
    unnamed.length = -1; // a file item without a name
    loop.data = "x";
    loop.length = 1;
    loop.next = &loop;
    auto *stale = reinterpret_cast<KvsContext *>(&item);
    uint8_t *out = reinterpret_cast<uint8_t *>(&item); // must be reset to NULL
    uint32_t length = 7;
    const struct {
        KvsContext *ctx;
        const KvsSigningParameters *params;
        const KvsDataObject *item;
        uint8_t **out;
        int code;
    } cases[] = {
        {ctx_, nullptr, &item, &out, KVSX_E_INVALID_ARG},
        {ctx_, &params, &item, nullptr, KVSX_E_INVALID_ARG},
        {ctx_, &params, nullptr, &out, KVSX_E_INVALID_ARG},
        {stale, &params, &item, &out, KVSX_E_BAD_CONTEXT},
        {nullptr, &params, &negative, &out, KVSX_E_INVALID_ARG},
        {nullptr, &params, &unnamed, &out, KVSX_E_INVALID_ARG},
        {nullptr, &params, &loop, &out, KVSX_E_INVALID_ARG},
        {nullptr, &params, &missing, &out, KVSX_E_IO},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(kvsx_create_signature(c.ctx, c.params, c.item, c.out, &length, 0, 0), c.code);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(length, 0u);
    }
    // An unknown kind of timestamp.
    EXPECT_EQ(kvsx_create_timestamp(ctx_, -1, 3, data_.c_str(), &out, &length, "http://x/", 0),
              KVSX_E_UNSUPPORTED);
}

// A key loaded once signs a digest fed piece by piece: the same signature as over the
// data, for each hash; and every argument that cannot work is refused without output.
TEST_F(Signing, ALoadedKeySignsAGivenDigestAsItSignsTheData) {
    const KvsSigningParameters params = P12(pki().signer);
    KvsSigner *signer = nullptr;
    ASSERT_EQ(kvsx_load_signer(&params, &signer), KVSX_OK);
    const std::string data = ReadFile(data_);
    for (const int type : {KVS_HASH_SHA256, KVS_HASH_SHA384, KVS_HASH_SHA512}) {
        KvsDigest *state = nullptr;
        ASSERT_EQ(kvsx_digest_begin(type, &state), KVSX_OK);
        for (size_t at = 0; at < data.size(); at += 65536)
            ASSERT_EQ(kvsx_digest_update(state, data.data() + at,
                                         uint32_t(std::min<size_t>(65536, data.size() - at))),
                      KVSX_OK);
        uint8_t digest[KVSX_MAX_DIGEST];
        uint32_t n = 0;
        ASSERT_EQ(kvsx_digest_end(state, digest, &n), KVSX_OK);
        EXPECT_EQ(kvsx_digest_update(state, "x", 1), KVSX_E_INVALID_ARG);
        EXPECT_EQ(kvsx_digest_end(state, digest, &n), KVSX_E_INVALID_ARG);
        kvsx_digest_free(state);
        uint8_t *out = nullptr;
        uint32_t length = 0;
        ASSERT_EQ(kvsx_sign_digest(ctx_, signer, &params, type, digest, n, &out, &length), KVSX_OK);
        const std::string sig(reinterpret_cast<char *>(out), length);
        kvsx_free(out);
        ASSERT_EQ(kvsx_set_hash_type(type), KVSX_OK);
        EXPECT_EQ(sig, Signed(params)) << type;
        EXPECT_EQ(Verify(sig, data_), KVSX_OK);
        EXPECT_TRUE(OpensslVerify(sig, data_, pki()));
    }
    ASSERT_EQ(kvsx_set_hash_type(KVS_HASH_SHA256), KVSX_OK);

    uint8_t digest[64] = {1}, *out = digest;
    uint32_t length = 9;
    auto *stale = reinterpret_cast<KvsContext *>(&length);
    const struct {
        KvsContext *ctx;
        const KvsSigner *signer;
        const KvsSigningParameters *params;
        int32_t type;
        const uint8_t *digest;
        uint32_t n;
        int code;
    } cases[] = {
        {nullptr, nullptr, &params, KVS_HASH_SHA256, digest, 32, KVSX_E_INVALID_ARG},
        {nullptr, signer, nullptr, KVS_HASH_SHA256, digest, 32, KVSX_E_INVALID_ARG},
        {nullptr, signer, &params, KVS_HASH_SHA256, nullptr, 32, KVSX_E_INVALID_ARG},
        {nullptr, signer, &params, KVS_HASH_SHA256, digest, 31, KVSX_E_INVALID_ARG},
        {nullptr, signer, &params, KVS_HASH_SHA512, digest, 48, KVSX_E_INVALID_ARG},
        {nullptr, signer, &params, KVS_HASH_SHA1, digest, 20, KVSX_E_UNSUPPORTED},
        {nullptr, signer, &params, 7, digest, 32, KVSX_E_UNSUPPORTED},
        {stale, signer, &params, KVS_HASH_SHA256, digest, 32, KVSX_E_BAD_CONTEXT},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(kvsx_sign_digest(c.ctx, c.signer, c.params, c.type, c.digest, c.n, &out, &length),
                  c.code);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(length, 0u);
    }
    kvsx_free_signer(signer);
    KvsDigest *state = nullptr;
    EXPECT_EQ(kvsx_digest_begin(KVS_HASH_SHA1, &state), KVSX_E_INVALID_ARG);
    EXPECT_EQ(state, nullptr);
    KvsSigningParameters wrong = params;
    wrong.secret = "not the password";
    EXPECT_EQ(kvsx_load_signer(&wrong, &signer), KVSX_WRONG_PASSWORD);
    EXPECT_EQ(signer, nullptr);
}

} // namespace
} // namespace kvtest
