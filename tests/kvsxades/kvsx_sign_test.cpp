// Signatures and timestamps made by kvsxades, checked byte by byte and by `openssl`.
#include "kvsx_test_util.h"

#include <ctime>
#include <set>

namespace kvsx_test {
namespace {

using Signing = PkiTest;

std::set<int> signed_attribute_nids(CMS_SignerInfo *si) {
    std::set<int> nids;
    for (int i = 0; i < CMS_signed_get_attr_count(si); ++i)
        nids.insert(OBJ_obj2nid(X509_ATTRIBUTE_get0_object(CMS_signed_get_attr(si, i))));
    return nids;
}

int digest_nid(CMS_SignerInfo *si) {
    X509_ALGOR *alg = nullptr;
    CMS_SignerInfo_get0_algs(si, nullptr, nullptr, &alg, nullptr);
    const ASN1_OBJECT *oid = nullptr;
    X509_ALGOR_get0(&oid, nullptr, nullptr, alg);
    return OBJ_obj2nid(oid);
}

std::string openssl_cms_verify(const std::string &sig, const std::string &content,
                               const TestPki &pki) {
    std::string out;
    int rc = run_command(std::string(KVSX_OPENSSL) + " cms -verify -binary -inform DER -in " + sig +
                             " -content " + content + " -CAfile " + pki.root.pem +
                             " -purpose any -out /dev/null",
                         &out);
    return rc == 0 ? out : "exit " + std::to_string(rc) + ": " + out;
}

std::string openssl_cms_print(const std::string &sig) {
    std::string out;
    run_command(std::string(KVSX_OPENSSL) + " cms -cmsout -print -inform DER -in " + sig, &out);
    return out;
}

TEST_F(Signing, Pkcs12CadesSignatureIsDetachedAndAcceptedByOpenssl) {
    static const char kHeader[] = "%PDF-1.7 first byte range";
    KvsDataObject second = file_item(data_);
    KvsDataObject first{};
    first.data = kHeader;
    first.length = static_cast<int32_t>(strlen(kHeader));
    first.next = &second;
    KvsSigningParameters params = p12(pki().signer);
    uint8_t *out = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(kvsx_create_signature(ctx_, &params, &first, &out, &length, 0, 0), KVSX_OK);
    Bytes sig(out, out + length);
    kvsx_free(out);

    CmsPtr cms = parse_cms(sig);
    ASSERT_TRUE(cms);
    EXPECT_EQ(OBJ_obj2nid(CMS_get0_type(cms.get())), NID_pkcs7_signed);
    EXPECT_EQ(*CMS_get0_content(cms.get()), nullptr) << "content must be detached";
    CMS_SignerInfo *si = first_signer(cms.get());
    EXPECT_EQ(digest_nid(si), NID_sha256);
    EXPECT_EQ(signed_attribute_nids(si),
              (std::set<int>{NID_pkcs9_contentType, NID_pkcs9_messageDigest,
                             NID_id_smime_aa_signingCertificateV2}));
    EXPECT_EQ(CMS_unsigned_get_attr_count(si), -1);
    // Signer and intermediate from the PKCS#12, the root completed from the store.
    STACK_OF(X509) *certs = CMS_get1_certs(cms.get());
    EXPECT_EQ(sk_X509_num(certs), 3);
    sk_X509_pop_free(certs, X509_free);

    Bytes content(kHeader, kHeader + strlen(kHeader));
    Bytes file = read_file(data_);
    content.insert(content.end(), file.begin(), file.end());
    write_file(work("content.bin"), content);
    write_file(work("sig.der"), sig);
    EXPECT_NE(openssl_cms_verify(work("sig.der"), work("content.bin"), pki())
                  .find("Verification successful"),
              std::string::npos);
    std::string printed = openssl_cms_print(work("sig.der"));
    EXPECT_NE(printed.find("signingCertificateV2"), std::string::npos);
    EXPECT_EQ(printed.find("signingTime"), std::string::npos);

    char *report = nullptr;
    EXPECT_EQ(kvsx_verify_signature(ctx_, &first, sig.data(), length, 0, 0, &report), KVSX_OK);
    kvsx_free(report);
}

TEST_F(Signing, PemKeysSignWithThePkcs7ProfileAndEcdsa) {
    KvsSigningParameters pem{};
    pem.key = pki().signer.key_pem.c_str();
    pem.certs = pki().signer.chain_pem.c_str();
    Bytes sig;
    ASSERT_EQ(sign(pem, data_, sig), KVSX_OK);
    write_file(work("pkcs7.der"), sig);
    std::string printed = openssl_cms_print(work("pkcs7.der"));
    EXPECT_NE(printed.find("signingTime"), std::string::npos);
    EXPECT_EQ(printed.find("signingCertificateV2"), std::string::npos);
    EXPECT_NE(openssl_cms_verify(work("pkcs7.der"), data_, pki()).find("successful"),
              std::string::npos);

    pem.key = pki().signer_enc_key.c_str();
    pem.secret = TestPki::kPassword;
    pem.flags = KVS_CADES;
    ASSERT_EQ(sign(pem, data_, sig), KVSX_OK);
    EXPECT_EQ(verify(sig, data_), KVSX_OK);

    KvsSigningParameters ec{};
    ec.key = pki().ec_signer.key_pem.c_str();
    ec.certs = pki().ec_signer.chain_pem.c_str();
    ec.flags = KVS_CADES;
    ASSERT_EQ(sign(ec, data_, sig), KVSX_OK);
    CmsPtr cms = parse_cms(sig);
    X509_ALGOR *sig_alg = nullptr;
    CMS_SignerInfo_get0_algs(first_signer(cms.get()), nullptr, nullptr, nullptr, &sig_alg);
    const ASN1_OBJECT *oid = nullptr;
    X509_ALGOR_get0(&oid, nullptr, nullptr, sig_alg);
    EXPECT_EQ(OBJ_obj2nid(oid), NID_ecdsa_with_SHA256);
    write_file(work("ec.der"), sig);
    EXPECT_NE(openssl_cms_verify(work("ec.der"), data_, pki()).find("successful"),
              std::string::npos);
}

TEST_F(Signing, LegacyEncryptedPkcs12OpensToo) {
    // RC2-40 / 3DES, as older Windows exports are; needs OpenSSL's legacy provider.
    std::string legacy = work("legacy.p12");
    std::string out;
    ASSERT_EQ(run_command(std::string(KVSX_OPENSSL) + " pkcs12 -export -legacy -in " +
                              pki().signer.pem + " -inkey " + pki().signer.key_pem + " -certfile " +
                              pki().inter.pem + " -passout pass:" + TestPki::kPassword + " -out " +
                              legacy,
                          &out),
              0)
        << out;
    KvsSigningParameters params{};
    params.key = legacy.c_str();
    params.secret = TestPki::kPassword;
    Bytes sig;
    ASSERT_EQ(sign(params, data_, sig), KVSX_OK);
    EXPECT_EQ(verify(sig, data_), KVSX_OK);
}

TEST_F(Signing, HashTypeSelectsTheDigestAndSha1IsVerifyOnly) {
    const std::pair<int, int> types[] = {{KVS_HASH_SHA384, NID_sha384},
                                         {KVS_HASH_SHA512, NID_sha512},
                                         {KVS_HASH_SHA256, NID_sha256}};
    for (const auto &type : types) {
        ASSERT_EQ(kvsx_set_hash_type(type.first), KVSX_OK);
        Bytes sig;
        ASSERT_EQ(sign(p12(pki().signer), data_, sig), KVSX_OK);
        CmsPtr cms = parse_cms(sig);
        EXPECT_EQ(digest_nid(first_signer(cms.get())), type.second);
        EXPECT_EQ(verify(sig, data_), KVSX_OK);
    }
    ASSERT_EQ(kvsx_set_hash_type(KVS_HASH_SHA1), KVSX_OK);
    Bytes sig;
    new_log_lines();
    EXPECT_EQ(sign(p12(pki().signer), data_, sig), KVSX_E_UNSUPPORTED);
    EXPECT_NE(new_log_lines().find("KVSX_E_UNSUPPORTED"), std::string::npos);
    EXPECT_EQ(kvsx_set_hash_type(4), KVSX_E_INVALID_ARG);
    EXPECT_EQ(kvsx_set_hash_type(-1), KVSX_E_INVALID_ARG);
}

TEST_F(Signing, FileRangesSignOnlyTheSelectedBytes) {
    // The two byte ranges of a signed PDF: before and after the /Contents hole.
    KvsDataObject after = file_item(data_);
    after.range_offset = 150000;
    after.range_length = 0; // to the end
    KvsDataObject before = file_item(data_);
    before.range_offset = 0;
    before.range_length = 100000;
    before.next = &after;
    KvsSigningParameters params = p12(pki().signer);
    uint8_t *out = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(kvsx_create_signature(ctx_, &params, &before, &out, &length, 0, 0), KVSX_OK);
    Bytes sig(out, out + length);
    kvsx_free(out);

    Bytes file = read_file(data_);
    Bytes ranges(file.begin(), file.begin() + 100000);
    ranges.insert(ranges.end(), file.begin() + 150000, file.end());
    write_file(work("ranges.bin"), ranges);
    write_file(work("ranges.der"), sig);
    EXPECT_NE(openssl_cms_verify(work("ranges.der"), work("ranges.bin"), pki()).find("successful"),
              std::string::npos);
    EXPECT_EQ(kvsx_verify_signature(ctx_, &before, sig.data(), length, 0, 0, nullptr), KVSX_OK);
    EXPECT_EQ(verify(sig, data_), KVSX_DIGEST_MISMATCH);

    after.range_offset = static_cast<uint32_t>(file.size() - 1000);
    after.range_length = 2000; // 1 KB past the end
    new_log_lines();
    EXPECT_EQ(kvsx_create_signature(ctx_, &params, &before, &out, &length, 0, 0),
              KVSX_E_DATA_RANGE);
    EXPECT_EQ(out, nullptr);
    EXPECT_NE(new_log_lines().find("outside"), std::string::npos);
}

TEST_F(Signing, KeyProblemsGiveDistinctCodesAndLogLines) {
    write_file(work("garbage.key"), Bytes(300, 0x5a));
    const std::string missing = work("missing.p12");
    const std::string garbage = work("garbage.key");
    struct Case {
        const char *what;
        KvsSigningParameters params;
        int code;
    } cases[] = {
        {"p12 wrong password",
         {pki().signer.p12.c_str(), "wrong", nullptr, nullptr, 0},
         KVSX_WRONG_PASSWORD},
        {"p12 no password",
         {pki().signer.p12.c_str(), nullptr, nullptr, nullptr, 0},
         KVSX_WRONG_PASSWORD},
        {"encrypted PEM wrong password",
         {pki().signer_enc_key.c_str(), "wrong", pki().signer.pem.c_str(), nullptr, 0},
         KVSX_WRONG_PASSWORD},
        {"encrypted PEM no password",
         {pki().signer_enc_key.c_str(), nullptr, pki().signer.pem.c_str(), nullptr, 0},
         KVSX_WRONG_PASSWORD},
        {"missing key file", {missing.c_str(), "secret", nullptr, nullptr, 0}, KVSX_E_KEY_LOAD},
        {"garbage key file",
         {garbage.c_str(), nullptr, pki().signer.pem.c_str(), nullptr, 0},
         KVSX_E_KEY_LOAD},
        {"certificate as key",
         {pki().signer.pem.c_str(), nullptr, nullptr, nullptr, 0},
         KVSX_E_KEY_LOAD},
        {"key of another certificate",
         {pki().ec_signer.key_pem.c_str(), nullptr, pki().signer.pem.c_str(), nullptr, 0},
         KVSX_E_KEY_MISMATCH},
        {"key without certificate",
         {pki().signer.key_pem.c_str(), nullptr, nullptr, nullptr, 0},
         KVSX_E_NO_CERT},
        {"PKCS#11 URI",
         {"pkcs11:token=card;object=sig", "1234", nullptr, nullptr, 0},
         KVSX_E_UNSUPPORTED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        new_log_lines();
        Bytes sig;
        EXPECT_EQ(sign(c.params, data_, sig), c.code);
        EXPECT_TRUE(sig.empty());
        std::string lines = new_log_lines();
        EXPECT_NE(lines.find(kvsx_code_text(c.code)), std::string::npos) << lines;
        EXPECT_NE(lines.find("ERROR kvsx_create_signature"), std::string::npos) << lines;
    }
}

TEST_F(Signing, SignatureTimestampStampsTheSignatureValue) {
    std::string tsa = world().tsa_url();
    time_t before = time(nullptr);
    Bytes sig;
    ASSERT_EQ(sign(p12(pki().signer, KVS_CADES, tsa.c_str()), data_, sig), KVSX_OK);
    time_t after = time(nullptr);
    CmsPtr cms = parse_cms(sig);
    CMS_SignerInfo *si = first_signer(cms.get());
    Bytes token = signature_token(si);
    ASSERT_FALSE(token.empty());
    ASN1_OCTET_STRING *value = CMS_SignerInfo_get0_signature(si);
    Bytes signature_value(ASN1_STRING_get0_data(value),
                          ASN1_STRING_get0_data(value) + ASN1_STRING_length(value));
    write_file(work("token.der"), token);
    std::string out;
    EXPECT_EQ(run_command(std::string(KVSX_OPENSSL) + " ts -verify -token_in -in " +
                              work("token.der") + " -digest " + hex(sha256(signature_value)) +
                              " -CAfile " + pki().root.pem + " -untrusted " + pki().inter.pem,
                          &out),
              0)
        << out;

    ASSERT_EQ(verify(sig, data_), KVSX_OK);
    KvsTimestampInfo *infos = nullptr;
    ASSERT_EQ(kvsx_get_timestamp_infos(ctx_, &infos), KVSX_OK);
    ASSERT_NE(infos, nullptr);
    EXPECT_EQ(infos->next, nullptr);
    EXPECT_GE(infos->time, static_cast<int64_t>(before) - 1);
    EXPECT_LE(infos->time, static_cast<int64_t>(after) + 1);
    EXPECT_EQ(Bytes(infos->data, infos->data + infos->data_length), token);
    ASSERT_NE(infos->chain, nullptr);
    EXPECT_EQ(Bytes(infos->chain->cert, infos->chain->cert + infos->chain->cert_length),
              pki().tsa.cert_der());
    kvsx_free_timestamp_infos(infos);
}

TEST_F(Signing, TsaFailuresGiveTheirCodesForSignaturesAndDocumentTimestamps) {
    ASSERT_EQ(kvsx_set_http_timeout(2), KVSX_OK);
    const std::string tsa = world().tsa_url();
    const std::string closed = "http://127.0.0.1:" + std::to_string(unused_port()) + "/tsa";
    struct Case {
        const char *what;
        std::string url;
        TsaMode mode;
        int code;
    } cases[] = {
        {"garbage answer", tsa, TsaMode::Garbage, KVSX_E_TSA_RESPONSE},
        {"rejection", tsa, TsaMode::Reject, KVSX_TSA_NOT_GRANTED},
        {"other imprint", tsa, TsaMode::WrongImprint, KVSX_E_TSA_MISMATCH},
        {"silent server", tsa, TsaMode::Silent, KVSX_E_NETWORK},
        {"nobody listening", closed, TsaMode::Normal, KVSX_E_NETWORK},
        {"https", "https://127.0.0.1:1/tsa", TsaMode::Normal, KVSX_E_UNSUPPORTED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        world().set_tsa_mode(c.mode);
        Bytes sig;
        new_log_lines();
        EXPECT_EQ(sign(p12(pki().signer, KVS_CADES, c.url.c_str()), data_, sig), c.code);
        EXPECT_NE(new_log_lines().find(kvsx_code_text(c.code)), std::string::npos);
        uint8_t *token = nullptr;
        uint32_t length = 0;
        EXPECT_EQ(kvsx_create_timestamp(ctx_, -1, KVS_TS_RFC3161, data_.c_str(), &token, &length,
                                        c.url.c_str(), 0),
                  c.code);
        EXPECT_EQ(token, nullptr);
        EXPECT_NE(new_log_lines().find("ERROR kvsx_create_timestamp"), std::string::npos);
    }
}

TEST_F(Signing, ProxyCarriesTheTsaRequest) {
    ASSERT_EQ(kvsx_set_http_timeout(2), KVSX_OK);
    std::string tsa = world().tsa_url(); // http://127.0.0.1:PORT/tsa
    std::string proxy = tsa.substr(7, tsa.find('/', 7) - 7);
    std::string behind = "http://127.0.0.1:" + std::to_string(unused_port()) + "/tsa";
    ASSERT_EQ(kvsx_set_proxy(proxy.c_str()), KVSX_OK);
    int before = world().tsa_requests();
    Bytes sig;
    EXPECT_EQ(sign(p12(pki().signer, KVS_CADES, behind.c_str()), data_, sig), KVSX_OK);
    EXPECT_EQ(world().tsa_requests(), before + 1) << "the request went through the proxy";
    EXPECT_NE(new_log_lines().find("proxy http://" + proxy), std::string::npos);
    ASSERT_EQ(kvsx_set_proxy(""), KVSX_OK);
    EXPECT_EQ(sign(p12(pki().signer, KVS_CADES, behind.c_str()), data_, sig), KVSX_E_NETWORK);
}

TEST_F(Signing, BadArgumentsAreRefused) {
    KvsSigningParameters params = p12(pki().signer);
    KvsDataObject item = file_item(data_);
    uint8_t *out = reinterpret_cast<uint8_t *>(&item); // must be reset to NULL
    uint32_t length = 7;
    EXPECT_EQ(kvsx_create_signature(ctx_, nullptr, &item, &out, &length, 0, 0), KVSX_E_INVALID_ARG);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(kvsx_create_signature(ctx_, &params, &item, nullptr, &length, 0, 0),
              KVSX_E_INVALID_ARG);
    EXPECT_EQ(kvsx_create_signature(ctx_, &params, nullptr, &out, &length, 0, 0),
              KVSX_E_INVALID_ARG);
    auto *stale = reinterpret_cast<KvsContext *>(&params);
    EXPECT_EQ(kvsx_create_signature(stale, &params, &item, &out, &length, 0, 0),
              KVSX_E_BAD_CONTEXT);
    KvsDataObject bad{};
    bad.length = -2;
    EXPECT_EQ(kvsx_create_signature(nullptr, &params, &bad, &out, &length, 0, 0),
              KVSX_E_INVALID_ARG);
    bad.length = -1; // file item without a name
    EXPECT_EQ(kvsx_create_signature(nullptr, &params, &bad, &out, &length, 0, 0),
              KVSX_E_INVALID_ARG);
    KvsDataObject loop{};
    loop.data = "x";
    loop.length = 1;
    loop.next = &loop;
    EXPECT_EQ(kvsx_create_signature(nullptr, &params, &loop, &out, &length, 0, 0),
              KVSX_E_INVALID_ARG);
    const std::string missing_path = work("missing.pdf");
    KvsDataObject missing = file_item(missing_path);
    EXPECT_EQ(kvsx_create_signature(nullptr, &params, &missing, &out, &length, 0, 0), KVSX_E_IO);

    std::string tsa = world().tsa_url();
    EXPECT_EQ(kvsx_create_timestamp(ctx_, -1, 3, data_.c_str(), &out, &length, tsa.c_str(), 0),
              KVSX_E_UNSUPPORTED);
    EXPECT_EQ(
        kvsx_create_timestamp(ctx_, -1, KVS_TS_RFC3161, nullptr, &out, &length, tsa.c_str(), 0),
        KVSX_E_INVALID_ARG);
    EXPECT_EQ(kvsx_create_timestamp(ctx_, 4, KVS_TS_RFC3161, "data", &out, &length, nullptr, 0),
              KVSX_E_INVALID_ARG);
    EXPECT_EQ(out, nullptr);
}

} // namespace
} // namespace kvsx_test
