#include "kvsx_test_util.h"

#include <openssl/err.h>
#include <openssl/rand.h>

namespace kvsx_test {

void KvsxTest::SetUp() {
    dir_ = make_temp_dir("kvsx-test");
    log_path_ = work("kvsx.log");
    ASSERT_EQ(kvsx_global_init(0), KVSX_OK);
    ASSERT_EQ(kvsx_set_log(log_path_.c_str(), 0, KVS_LOG_DEBUG), KVSX_OK);
    ASSERT_EQ(kvsx_set_http_timeout(10), KVSX_OK);
    ASSERT_EQ(kvsx_init(&ctx_), KVSX_OK);
}

void KvsxTest::TearDown() {
    EXPECT_EQ(kvsx_cleanup(ctx_), KVSX_OK);
    kvsx_global_cleanup();
    // Every failure drains OpenSSL's queue: nothing may be left for the host to trip on.
    EXPECT_EQ(ERR_peek_error(), 0ul);
    remove_tree(dir_);
}

std::string KvsxTest::log_text() const {
    Bytes text = read_file(log_path_);
    return std::string(text.begin(), text.end());
}

std::string KvsxTest::new_log_lines() {
    std::string text = log_text();
    std::string fresh = text.substr(std::min(log_seen_, text.size()));
    log_seen_ = text.size();
    return fresh;
}

void PkiTest::SetUp() {
    KvsxTest::SetUp();
    world().set_tsa_mode(TsaMode::Normal);
    world().set_ocsp_mode(OcspMode::Normal);
    ASSERT_EQ(kvsx_add_cert(pki().root.pem.c_str(), -1), KVSX_OK);
    data_ = work("data.bin");
    Bytes random(size_t{200} * 1024);
    ASSERT_EQ(RAND_bytes(random.data(), static_cast<int>(random.size())), 1);
    write_file(data_, random);
}

KvsSigningParameters PkiTest::p12(const Entity &e, uint32_t flags, const char *tsa_url) {
    KvsSigningParameters params{};
    params.key = e.p12.c_str();
    params.secret = TestPki::kPassword;
    params.tsa_url = tsa_url;
    params.flags = flags;
    return params;
}

KvsDataObject PkiTest::file_item(const std::string &path) {
    KvsDataObject item{};
    item.data = path.c_str();
    item.length = -1;
    item.content_type = "application/pdf";
    return item;
}

int PkiTest::sign(const KvsSigningParameters &params, const std::string &file, Bytes &sig) {
    KvsDataObject item = file_item(file);
    uint8_t *out = nullptr;
    uint32_t length = 0;
    int rc = kvsx_create_signature(ctx_, &params, &item, &out, &length, 0, 0);
    sig.assign(out, out + (out != nullptr ? length : 0));
    if (rc != KVSX_OK) {
        EXPECT_EQ(out, nullptr);
    }
    kvsx_free(out);
    return rc;
}

int PkiTest::verify(const Bytes &sig, const std::string &file, int64_t when, std::string *report) {
    KvsDataObject item = file_item(file);
    char *text = nullptr;
    auto time = static_cast<uint64_t>(when);
    int rc =
        kvsx_verify_signature(ctx_, &item, sig.data(), static_cast<uint32_t>(sig.size()),
                              static_cast<uint32_t>(time), static_cast<int32_t>(time >> 32), &text);
    if (report != nullptr) *report = text != nullptr ? text : "";
    kvsx_free(text);
    return rc;
}

std::vector<PkiTest::Node> PkiTest::signer_chain() {
    KvsCertDataChain *list = nullptr;
    EXPECT_EQ(kvsx_get_signer_chain(ctx_, &list), KVSX_OK);
    std::vector<Node> nodes;
    for (KvsCertDataChain *n = list; n != nullptr; n = n->next)
        nodes.push_back({Bytes(n->cert, n->cert + n->cert_length),
                         n->crl != nullptr ? Bytes(n->crl, n->crl + n->crl_length) : Bytes(),
                         n->ocsp != nullptr ? Bytes(n->ocsp, n->ocsp + n->ocsp_length) : Bytes()});
    kvsx_free_cert_data_chain(list);
    return nodes;
}

CmsPtr parse_cms(const Bytes &der) {
    const unsigned char *p = der.data();
    return CmsPtr(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
}

Bytes encode_cms(CMS_ContentInfo *cms) {
    unsigned char *der = nullptr;
    int len = i2d_CMS_ContentInfo(cms, &der);
    Bytes out(der, der + (len > 0 ? len : 0));
    OPENSSL_free(der);
    return out;
}

CMS_SignerInfo *first_signer(CMS_ContentInfo *cms) {
    return cms != nullptr ? sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), 0) : nullptr;
}

Bytes signature_token(CMS_SignerInfo *si) {
    int idx = CMS_unsigned_get_attr_by_NID(si, NID_id_smime_aa_timeStampToken, -1);
    if (idx < 0) return Bytes();
    ASN1_TYPE *value = X509_ATTRIBUTE_get0_type(CMS_unsigned_get_attr(si, idx), 0);
    const ASN1_STRING *seq = value->value.sequence;
    return Bytes(ASN1_STRING_get0_data(seq), ASN1_STRING_get0_data(seq) + ASN1_STRING_length(seq));
}

Bytes corrupt_token_signature(const Bytes &token) {
    CmsPtr cms = parse_cms(token);
    ASN1_OCTET_STRING *sig = CMS_SignerInfo_get0_signature(first_signer(cms.get()));
    Bytes value(ASN1_STRING_get0_data(sig), ASN1_STRING_get0_data(sig) + ASN1_STRING_length(sig));
    value[value.size() / 2] ^= 0x01;
    ASN1_OCTET_STRING_set(sig, value.data(), static_cast<int>(value.size()));
    return encode_cms(cms.get());
}

Bytes sha256(const Bytes &data) {
    Bytes md(32);
    EVP_Digest(data.data(), data.size(), md.data(), nullptr, EVP_sha256(), nullptr);
    return md;
}

Bytes concat_files(const std::vector<std::string> &paths) {
    Bytes all;
    for (const std::string &path : paths) {
        Bytes part = read_file(path);
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

} // namespace kvsx_test
