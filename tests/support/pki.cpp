// SPDX-License-Identifier: Apache-2.0
#include "kvtest.h"

#include <openssl/err.h>
#include <openssl/ocsp.h>
#include <openssl/pem.h>
#include <openssl/ts.h>
#include <openssl/x509v3.h>

#include <mutex>
#include <stdexcept>

namespace kvtest {
namespace {

constexpr long kDay = 86400;
constexpr long kYear = 365 * kDay;

using BioPtr = Ptr<BIO, BIO_free_all>;
using CrlPtr = Ptr<X509_CRL, X509_CRL_free>;
using TimePtr = Ptr<ASN1_TIME, ASN1_TIME_free>;
using OcspReqPtr = Ptr<OCSP_REQUEST, OCSP_REQUEST_free>;
using OcspRespPtr = Ptr<OCSP_RESPONSE, OCSP_RESPONSE_free>;
using TsRespPtr = Ptr<TS_RESP, TS_RESP_free>;

// Throws with OpenSSL's error queue, which it empties.
void Need(bool ok, const char *what) {
    if (ok) return;
    std::string message = std::string("test PKI: ") + what;
    char line[256];
    while (unsigned long e = ERR_get_error()) {
        ERR_error_string_n(e, line, sizeof line);
        message += std::string("\n  ") + line;
    }
    throw std::runtime_error(message);
}

BioPtr MemBio(const std::string &data = "") {
    return BioPtr(data.empty() ? BIO_new(BIO_s_mem())
                               : BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
}

std::string BioText(BIO *bio) {
    char *data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<size_t>(n));
}

using Extensions = std::vector<std::pair<int, std::string>>;

// EC P-256 keys (quick to make) except where an RSA key is asked for.
void Issue(Entity &e, const Entity *issuer, const char *cn, long serial, time_t not_before,
           time_t not_after, const Extensions &extensions, bool rsa = false) {
    e.key.reset(rsa ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256"));
    e.cert.reset(X509_new());
    e.issuer = issuer;
    X509 *x = e.cert.get();
    Need(e.key && x, "key generation");
    X509_set_version(x, X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(x), serial);
    ASN1_TIME_set(X509_getm_notBefore(x), not_before);
    ASN1_TIME_set(X509_getm_notAfter(x), not_after);
    X509_NAME *name = X509_get_subject_name(x);
    for (const auto &[field, value] :
         {std::pair<const char *, const char *>{"C", "HU"}, {"O", "kvsx test"}, {"CN", cn}})
        X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char *>(value), -1, -1, 0);
    X509 *issuer_cert = issuer ? issuer->cert.get() : x;
    X509_set_issuer_name(x, X509_get_subject_name(issuer_cert));
    X509_set_pubkey(x, e.key.get());
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer_cert, x, nullptr, nullptr, 0);
    for (const auto &ext : extensions) {
        Ptr<X509_EXTENSION, X509_EXTENSION_free> made(
            X509V3_EXT_conf_nid(nullptr, &ctx, ext.first, ext.second.c_str()));
        Need(made && X509_add_ext(x, made.get(), -1), "extension");
    }
    Need(X509_sign(x, issuer ? issuer->key.get() : e.key.get(), EVP_sha256()) > 0,
         "certificate signature");
}

void Save(Entity &e, const TempDir &dir, const char *name) {
    const std::string base = dir.file(name);
    e.pem = base + ".pem", e.der = base + ".der", e.key_pem = base + ".key.pem";
    e.p12 = base + ".p12", e.chain_pem = base + "-chain.pem";
    BioPtr pem = MemBio(), key = MemBio();
    PEM_write_bio_X509(pem.get(), e.cert.get());
    WriteFile(e.pem, BioText(pem.get()));
    for (const Entity *up = e.issuer; up && up->issuer; up = up->issuer)
        PEM_write_bio_X509(pem.get(), up->cert.get());
    WriteFile(e.chain_pem, BioText(pem.get()));
    WriteFile(e.der, e.CertDer());
    PEM_write_bio_PrivateKey(key.get(), e.key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    WriteFile(e.key_pem, BioText(key.get()));
    const ::testing::AssertionResult made =
        Openssl("pkcs12 -export -name " + std::string(name) + " -in " + e.chain_pem + " -inkey " +
                e.key_pem + " -passout pass:" + Pki::kPassword + " -out " + e.p12);
    Need(static_cast<bool>(made), made.message());
}

ASN1_INTEGER *NextSerial(TS_RESP_CTX *, void *data) {
    ASN1_INTEGER *serial = ASN1_INTEGER_new();
    ASN1_INTEGER_set(serial, ++*static_cast<std::atomic<long> *>(data));
    return serial;
}

} // namespace

struct Pki::Tsa {
    Ptr<TS_RESP_CTX, TS_RESP_CTX_free> ctx{TS_RESP_CTX_new()};
    std::atomic<long> serial{0};
    std::mutex lock; // the server thread and a test may both ask
};

std::string Entity::CertDer() const {
    return Der(i2d_X509, cert.get());
}

Pki::Pki(const std::string &ocsp_url, const std::string &crl_base_url)
    : created(time(nullptr)), revocation_time(created - 3600), tsa_state_(new Tsa) {
    Extensions leaf = {{NID_basic_constraints, "critical,CA:FALSE"},
                       {NID_key_usage, "critical,digitalSignature,nonRepudiation"},
                       {NID_subject_key_identifier, "hash"},
                       {NID_authority_key_identifier, "keyid:always"}};
    Extensions ca = {{NID_basic_constraints, "critical,CA:TRUE,pathlen:0"},
                     {NID_key_usage, "critical,keyCertSign,cRLSign"},
                     {NID_subject_key_identifier, "hash"},
                     {NID_authority_key_identifier, "keyid:always"}};
    if (!crl_base_url.empty()) {
        leaf.push_back({NID_crl_distribution_points, "URI:" + crl_base_url + "inter.crl"});
        ca.push_back({NID_crl_distribution_points, "URI:" + crl_base_url + "root.crl"});
    }
    if (!ocsp_url.empty()) {
        leaf.push_back({NID_info_access, "OCSP;URI:" + ocsp_url});
        ca.push_back({NID_info_access, "OCSP;URI:" + ocsp_url});
    }
    auto tsa_ext = leaf;
    tsa_ext[1] = {NID_key_usage, "critical,digitalSignature"};
    tsa_ext.push_back({NID_ext_key_usage, "critical,timeStamping"});
    const time_t t = created;
    const Extensions root_ext = {{NID_basic_constraints, "critical,CA:TRUE"},
                                 {NID_key_usage, "critical,keyCertSign,cRLSign"},
                                 {NID_subject_key_identifier, "hash"}};
    Issue(root, nullptr, "kvsx Test Root CA", 0x1001, t - 3 * kYear, t + 10 * kYear, root_ext);
    Issue(inter, &root, "kvsx Test Issuing CA", 0x2002, t - 3 * kYear, t + 5 * kYear, ca);
    Issue(signer, &inter, "Teszt Al\xc3\xa1\xc3\xadr\xc3\xb3", 0x1A2B3C, t - kDay, t + kYear, leaf,
          true);
    Issue(revoked, &inter, "kvsx Revoked Signer", 0x3003, t - kDay, t + kYear, leaf);
    Issue(expired, &inter, "kvsx Expired Signer", 0x4004, t - 2 * kYear, t - kYear, leaf);
    Issue(ec_signer, &inter, "kvsx EC Signer", 0x6006, t - kDay, t + kYear, leaf);
    Issue(tsa, &inter, "kvsx Test TSA", 0x5005, t - kDay, t + kYear, tsa_ext);
    for (auto [e, name] : {std::pair<Entity *, const char *>{&root, "root"},
                           {&inter, "inter"},
                           {&signer, "signer"},
                           {&revoked, "revoked"},
                           {&expired, "expired"},
                           {&ec_signer, "ec"},
                           {&tsa, "tsa"}})
        Save(*e, dir, name);
    signer_enc_key = dir.file("signer.enc.key.pem");
    root_crl = dir.file("root.crl"), inter_crl = dir.file("inter.crl");
    inter_crl_pem = dir.file("inter.crl.pem");
    WriteFile(root_crl, MakeCrl(root, {}, t - 60, t + 7 * kDay));
    WriteFile(inter_crl, MakeCrl(inter, {&revoked}, t - 60, t + 7 * kDay));
    const ::testing::AssertionResult made =
        Openssl("pkcs8 -topk8 -in " + signer.key_pem + " -passout pass:" + kPassword + " -out " +
                signer_enc_key + " && " KVTEST_OPENSSL " crl -inform DER -in " + inter_crl +
                " -out " + inter_crl_pem);
    Need(static_cast<bool>(made), made.message());

    TS_RESP_CTX *ctx = tsa_state_->ctx.get();
    STACK_OF(X509) *certs = sk_X509_new_null(); // the context keeps copies
    sk_X509_push(certs, inter.cert.get());
    Ptr<ASN1_OBJECT, ASN1_OBJECT_free> policy(OBJ_txt2obj("1.3.6.1.4.1.4146.1.2", 1));
    Need(ctx && TS_RESP_CTX_set_signer_cert(ctx, tsa.cert.get()) == 1 &&
             TS_RESP_CTX_set_signer_key(ctx, tsa.key.get()) == 1 &&
             TS_RESP_CTX_set_certs(ctx, certs) == 1 &&
             TS_RESP_CTX_set_def_policy(ctx, policy.get()) == 1 &&
             TS_RESP_CTX_set_signer_digest(ctx, EVP_sha256()) == 1 &&
             TS_RESP_CTX_set_ess_cert_id_digest(ctx, EVP_sha256()) == 1,
         "TSA set-up");
    sk_X509_free(certs); // the entries are borrowed
    for (const EVP_MD *md : {EVP_sha256(), EVP_sha384(), EVP_sha512(), EVP_sha1()})
        TS_RESP_CTX_add_md(ctx, md);
    TS_RESP_CTX_set_accuracy(ctx, 1, 0, 0);
    TS_RESP_CTX_set_serial_cb(ctx, NextSerial, &tsa_state_->serial);
}

Pki::~Pki() = default;

std::string Pki::MakeCrl(const Entity &ca, const std::vector<const Entity *> &revoked_list,
                         time_t last_update, time_t next_update) const {
    CrlPtr crl(X509_CRL_new());
    X509_CRL_set_version(crl.get(), 1);
    X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(ca.cert.get()));
    TimePtr last(ASN1_TIME_set(nullptr, last_update)), next(ASN1_TIME_set(nullptr, next_update));
    X509_CRL_set1_lastUpdate(crl.get(), last.get());
    X509_CRL_set1_nextUpdate(crl.get(), next.get());
    for (const Entity *e : revoked_list) {
        X509_REVOKED *entry = X509_REVOKED_new();
        TimePtr when(ASN1_TIME_set(nullptr, revocation_time));
        X509_REVOKED_set_serialNumber(entry, X509_get_serialNumber(e->cert.get()));
        X509_REVOKED_set_revocationDate(entry, when.get());
        X509_CRL_add0_revoked(crl.get(), entry);
    }
    X509_CRL_sort(crl.get());
    Need(X509_CRL_sign(crl.get(), ca.key.get(), EVP_sha256()) > 0, "CRL signature");
    return Der(i2d_X509_CRL, crl.get());
}

std::string Pki::AnswerOcsp(const std::string &request) const {
    const auto *p = U8(request);
    OcspReqPtr req(d2i_OCSP_REQUEST(nullptr, &p, static_cast<long>(request.size())));
    Ptr<OCSP_BASICRESP, OCSP_BASICRESP_free> basic(OCSP_BASICRESP_new());
    TimePtr now(X509_gmtime_adj(nullptr, 0)), next(X509_gmtime_adj(nullptr, kDay));
    TimePtr revoked_at(ASN1_TIME_set(nullptr, revocation_time));
    const Entity *ca = nullptr; // the issuer of the first certificate known signs the answer
    for (int i = 0; req && i < OCSP_request_onereq_count(req.get()); ++i) {
        OCSP_CERTID *id = OCSP_onereq_get0_id(OCSP_request_onereq_get0(req.get(), i));
        ASN1_INTEGER *serial = nullptr;
        OCSP_id_get0_info(nullptr, nullptr, nullptr, &serial, id);
        const Entity *found = nullptr; // serial numbers are unique in this PKI
        for (const Entity *e : {&inter, &signer, &revoked, &expired, &ec_signer, &tsa})
            if (ASN1_INTEGER_cmp(serial, X509_get0_serialNumber(e->cert.get())) == 0) found = e;
        if (found && !ca) ca = found->issuer;
        const bool is_revoked = found == &revoked;
        OCSP_basic_add1_status(basic.get(), id,
                               !found       ? V_OCSP_CERTSTATUS_UNKNOWN
                               : is_revoked ? V_OCSP_CERTSTATUS_REVOKED
                                            : V_OCSP_CERTSTATUS_GOOD,
                               is_revoked ? OCSP_REVOKED_STATUS_KEYCOMPROMISE : 0,
                               is_revoked ? revoked_at.get() : nullptr, now.get(), next.get());
    }
    if (!ca) {
        OcspRespPtr bad(OCSP_response_create(OCSP_RESPONSE_STATUS_MALFORMEDREQUEST, nullptr));
        return Der(i2d_OCSP_RESPONSE, bad.get());
    }
    OCSP_copy_nonce(basic.get(), req.get());
    Need(OCSP_basic_sign(basic.get(), ca->cert.get(), ca->key.get(), EVP_sha256(), nullptr, 0) == 1,
         "OCSP signature");
    OcspRespPtr resp(OCSP_response_create(OCSP_RESPONSE_STATUS_SUCCESSFUL, basic.get()));
    return Der(i2d_OCSP_RESPONSE, resp.get());
}

std::string Pki::OcspResponse(const Entity &subject) const {
    OcspReqPtr req(OCSP_REQUEST_new());
    OCSP_request_add0_id(
        req.get(), OCSP_cert_to_id(EVP_sha1(), subject.cert.get(), subject.issuer->cert.get()));
    return AnswerOcsp(Der(i2d_OCSP_REQUEST, req.get()));
}

std::string Pki::AnswerTimestamp(const std::string &request) const {
    BioPtr in = MemBio(request);
    std::lock_guard<std::mutex> hold(tsa_state_->lock);
    TsRespPtr resp(in ? TS_RESP_create_response(tsa_state_->ctx.get(), in.get()) : nullptr);
    ERR_clear_error(); // a refused request is an answer, not a failure of the test
    return Der(i2d_TS_RESP, resp.get());
}

std::string Pki::TimestampToken(const std::string &data) const {
    TempDir tmp;
    WriteFile(tmp.file("data"), data);
    const ::testing::AssertionResult made =
        Openssl("ts -query -sha256 -cert -data " + tmp.file("data") + " -out " + tmp.file("query"));
    Need(static_cast<bool>(made), made.message());
    const std::string answer = AnswerTimestamp(ReadFile(tmp.file("query")));
    const auto *p = U8(answer);
    TsRespPtr resp(d2i_TS_RESP(nullptr, &p, static_cast<long>(answer.size())));
    Need(resp && TS_RESP_get_token(resp.get()), "the test TSA refused the request");
    return Der(i2d_PKCS7, TS_RESP_get_token(resp.get()));
}

std::string SignDetachedCms(const std::string &data, const Entity &signer, bool cades) {
    // CAdES adds signing-certificate-v2; OpenSSL keeps signingTime in both profiles.
    const unsigned flags = CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP | (cades ? CMS_CADES : 0);
    BioPtr in = MemBio(data);
    CmsPtr cms(CMS_sign(signer.cert.get(), signer.key.get(), nullptr, in.get(), flags));
    Need(cms != nullptr, "CMS signature");
    return EncodeCms(cms.get());
}

CmsPtr ParseCms(const std::string &der) {
    const auto *p = U8(der);
    return CmsPtr(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
}

std::string EncodeCms(CMS_ContentInfo *cms) {
    return Der(i2d_CMS_ContentInfo, cms);
}

CMS_SignerInfo *FirstSigner(CMS_ContentInfo *cms) {
    return cms ? sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), 0) : nullptr;
}

std::string SignatureValue(CMS_SignerInfo *si) {
    const ASN1_OCTET_STRING *value = CMS_SignerInfo_get0_signature(si);
    return Str(ASN1_STRING_get0_data(value), static_cast<size_t>(ASN1_STRING_length(value)));
}

std::string SignatureToken(CMS_SignerInfo *si) {
    int idx = CMS_unsigned_get_attr_by_NID(si, NID_id_smime_aa_timeStampToken, -1);
    if (idx < 0) return "";
    const ASN1_STRING *seq =
        X509_ATTRIBUTE_get0_type(CMS_unsigned_get_attr(si, idx), 0)->value.sequence;
    return Str(ASN1_STRING_get0_data(seq), static_cast<size_t>(ASN1_STRING_length(seq)));
}

std::string CorruptTokenSignature(const std::string &token) {
    CmsPtr cms = ParseCms(token);
    CMS_SignerInfo *si = FirstSigner(cms.get());
    std::string value = SignatureValue(si);
    value[value.size() / 2] ^= 0x01;
    ASN1_OCTET_STRING_set(CMS_SignerInfo_get0_signature(si), U8(value),
                          static_cast<int>(value.size()));
    return EncodeCms(cms.get());
}

} // namespace kvtest
