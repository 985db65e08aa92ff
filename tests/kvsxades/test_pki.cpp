#include "test_pki.h"

#include <openssl/ocsp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <sys/wait.h>

namespace kvsx_test {
namespace {

constexpr long kDay = 86400;
constexpr long kYear = 365 * kDay;

template <auto FreeFn> struct Deleter {
    template <class T> void operator()(T *p) const { FreeFn(p); }
};
void free_x509_stack(STACK_OF(X509) * s) {
    sk_X509_free(s);
} // borrowed entries
using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using CrlPtr = std::unique_ptr<X509_CRL, Deleter<X509_CRL_free>>;
using StackPtr = std::unique_ptr<STACK_OF(X509), Deleter<free_x509_stack>>;
using P12Ptr = std::unique_ptr<PKCS12, Deleter<PKCS12_free>>;
using OcspReqPtr = std::unique_ptr<OCSP_REQUEST, Deleter<OCSP_REQUEST_free>>;
using OcspRespPtr = std::unique_ptr<OCSP_RESPONSE, Deleter<OCSP_RESPONSE_free>>;
using OcspBasicPtr = std::unique_ptr<OCSP_BASICRESP, Deleter<OCSP_BASICRESP_free>>;
using OcspIdPtr = std::unique_ptr<OCSP_CERTID, Deleter<OCSP_CERTID_free>>;
using TimePtr = std::unique_ptr<ASN1_TIME, Deleter<ASN1_TIME_free>>;

void check(bool ok, const char *what) {
    if (!ok) throw std::runtime_error(std::string("test PKI: ") + what);
}

template <class I2d, class T> Bytes der_of(I2d i2d, T *obj) {
    unsigned char *der = nullptr;
    int len = i2d(obj, &der);
    check(len > 0, "encoding");
    Bytes out(der, der + len);
    OPENSSL_free(der);
    return out;
}

Bytes bio_bytes(BIO *bio) {
    char *data = nullptr;
    long len = BIO_get_mem_data(bio, &data);
    return Bytes(data, data + len);
}

struct Profile {
    const char *cn;
    long serial;
    time_t not_before;
    time_t not_after;
    bool rsa;
    std::vector<std::pair<int, std::string>> extensions;
};

void issue(Entity &e, const Entity *issuer, const Profile &p) {
    e.key.reset(p.rsa ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256"));
    e.cert.reset(X509_new());
    e.issuer = issuer;
    X509 *x = e.cert.get();
    check(e.key && x, "key generation");
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), p.serial);
    ASN1_TIME_set(X509_getm_notBefore(x), p.not_before);
    ASN1_TIME_set(X509_getm_notAfter(x), p.not_after);
    X509_NAME *name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "C", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char *>("HU"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char *>("kvsx test"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char *>(p.cn), -1, -1, 0);
    X509_set_issuer_name(x, issuer != nullptr ? X509_get_subject_name(issuer->cert.get()) : name);
    X509_set_pubkey(x, e.key.get());
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer != nullptr ? issuer->cert.get() : x, x, nullptr, nullptr, 0);
    for (const auto &ext : p.extensions) {
        X509_EXTENSION *made = X509V3_EXT_conf_nid(nullptr, &ctx, ext.first, ext.second.c_str());
        check(made != nullptr, "extension");
        X509_add_ext(x, made, -1);
        X509_EXTENSION_free(made);
    }
    EVP_PKEY *signing_key = issuer != nullptr ? issuer->key.get() : e.key.get();
    check(X509_sign(x, signing_key, EVP_sha256()) > 0, "certificate signature");
}

void write_entity(Entity &e, const std::string &dir, const char *name, const Entity *ca_for_p12) {
    e.name = name;
    e.pem = dir + "/" + name + ".pem";
    e.der = dir + "/" + name + ".der";
    e.key_pem = dir + "/" + name + ".key.pem";
    e.p12 = dir + "/" + name + ".p12";
    e.chain_pem = dir + "/" + name + "-chain.pem";
    BioPtr pem(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(pem.get(), e.cert.get());
    write_file(e.pem, bio_bytes(pem.get()));
    for (const Entity *up = e.issuer; up != nullptr && up->issuer != nullptr; up = up->issuer)
        PEM_write_bio_X509(pem.get(), up->cert.get());
    write_file(e.chain_pem, bio_bytes(pem.get()));
    write_file(e.der, e.cert_der());
    BioPtr key(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(key.get(), e.key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    write_file(e.key_pem, bio_bytes(key.get()));
    StackPtr ca(sk_X509_new_null());
    if (ca_for_p12 != nullptr) sk_X509_push(ca.get(), ca_for_p12->cert.get());
    P12Ptr p12(PKCS12_create(TestPki::kPassword, name, e.key.get(), e.cert.get(), ca.get(), 0, 0, 0,
                             0, 0));
    check(p12 != nullptr, "PKCS#12");
    write_file(e.p12, der_of(i2d_PKCS12, p12.get()));
}

} // namespace

Bytes read_file(const std::string &path) {
    std::unique_ptr<FILE, Deleter<fclose>> f(fopen(path.c_str(), "rb"));
    if (!f) throw std::runtime_error("cannot read " + path);
    Bytes data;
    unsigned char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, f.get())) > 0)
        data.insert(data.end(), chunk, chunk + got);
    return data;
}

void write_file(const std::string &path, const Bytes &data) {
    std::unique_ptr<FILE, Deleter<fclose>> f(fopen(path.c_str(), "wb"));
    if (!f || fwrite(data.data(), 1, data.size(), f.get()) != data.size())
        throw std::runtime_error("cannot write " + path);
}

std::string make_temp_dir(const char *prefix) {
    std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    check(mkdtemp(buffer.data()) != nullptr, "temporary directory");
    return buffer.data();
}

void remove_tree(const std::string &path) {
    if (path.rfind("/tmp/", 0) == 0) run_command("rm -rf '" + path + "'");
}

int run_command(const std::string &command, std::string *output) {
    std::unique_ptr<FILE, Deleter<pclose>> pipe(popen((command + " 2>&1").c_str(), "r"));
    if (!pipe) return -1;
    std::string text;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe.get())) > 0)
        text.append(chunk, got);
    int status = pclose(pipe.release());
    if (output != nullptr) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string hex(const Bytes &data) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : data) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

Bytes Entity::cert_der() const {
    return der_of(i2d_X509, cert.get());
}

TestPki::TestPki(const PkiOptions &options)
    : created(time(nullptr)), dir_(make_temp_dir("kvsx-pki")), options_(options) {
    revocation_time = created - 3600;
    std::vector<std::pair<int, std::string>> leaf_ext = {
        {NID_basic_constraints, "critical,CA:FALSE"},
        {NID_key_usage, "critical,digitalSignature,nonRepudiation"},
        {NID_subject_key_identifier, "hash"},
        {NID_authority_key_identifier, "keyid:always"}};
    std::vector<std::pair<int, std::string>> inter_ext = {
        {NID_basic_constraints, "critical,CA:TRUE,pathlen:0"},
        {NID_key_usage, "critical,keyCertSign,cRLSign"},
        {NID_subject_key_identifier, "hash"},
        {NID_authority_key_identifier, "keyid:always"}};
    if (!options.crl_base_url.empty()) {
        leaf_ext.push_back(
            {NID_crl_distribution_points, "URI:" + options.crl_base_url + "inter.crl"});
        inter_ext.push_back(
            {NID_crl_distribution_points, "URI:" + options.crl_base_url + "root.crl"});
    }
    if (!options.ocsp_url.empty()) {
        leaf_ext.push_back({NID_info_access, "OCSP;URI:" + options.ocsp_url});
        inter_ext.push_back({NID_info_access, "OCSP;URI:" + options.ocsp_url});
    }
    auto tsa_ext = leaf_ext;
    tsa_ext[1] = {NID_key_usage, "critical,digitalSignature"};
    tsa_ext.push_back({NID_ext_key_usage, "critical,timeStamping"});

    time_t t = created;
    issue(root, nullptr,
          {"kvsx Test Root CA",
           0x1001,
           t - 3 * kYear,
           t + 10 * kYear,
           false,
           {{NID_basic_constraints, "critical,CA:TRUE"},
            {NID_key_usage, "critical,keyCertSign,cRLSign"},
            {NID_subject_key_identifier, "hash"}}});
    issue(inter, &root,
          {"kvsx Test Issuing CA", 0x2002, t - 3 * kYear, t + 5 * kYear, false, inter_ext});
    issue(signer, &inter,
          {"Teszt Al\xc3\xa1\xc3\xadr\xc3\xb3", 0x1A2B3C, t - kDay, t + kYear, true, leaf_ext});
    issue(revoked, &inter, {"kvsx Revoked Signer", 0x3003, t - kDay, t + kYear, false, leaf_ext});
    issue(expired, &inter,
          {"kvsx Expired Signer", 0x4004, t - 2 * kYear, t - kYear, false, leaf_ext});
    issue(ec_signer, &inter, {"kvsx EC Signer", 0x6006, t - kDay, t + kYear, false, leaf_ext});
    issue(tsa, &inter, {"kvsx Test TSA", 0x5005, t - kDay, t + kYear, false, tsa_ext});

    write_entity(root, dir_, "root", nullptr);
    write_entity(inter, dir_, "inter", &root);
    for (auto *e : {&signer, &revoked, &expired, &ec_signer, &tsa})
        write_entity(*e, dir_,
                     e == &signer      ? "signer"
                     : e == &revoked   ? "revoked"
                     : e == &expired   ? "expired"
                     : e == &ec_signer ? "ec"
                                       : "tsa",
                     &inter);

    signer_enc_key = path("signer.enc.key.pem");
    BioPtr enc(BIO_new(BIO_s_mem()));
    PEM_write_bio_PKCS8PrivateKey(enc.get(), signer.key.get(), EVP_aes_256_cbc(), nullptr, 0,
                                  nullptr, const_cast<char *>(kPassword));
    write_file(signer_enc_key, bio_bytes(enc.get()));

    root_crl = path("root.crl");
    inter_crl = path("inter.crl");
    inter_crl_pem = path("inter.crl.pem");
    write_file(root_crl, make_crl(root, {}, t - 60, t + 7 * kDay));
    Bytes inter_der = make_crl(inter, {&revoked}, t - 60, t + 7 * kDay);
    write_file(inter_crl, inter_der);
    const unsigned char *p = inter_der.data();
    CrlPtr crl(d2i_X509_CRL(nullptr, &p, static_cast<long>(inter_der.size())));
    BioPtr crl_pem(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509_CRL(crl_pem.get(), crl.get());
    write_file(inter_crl_pem, bio_bytes(crl_pem.get()));
}

TestPki::~TestPki() {
    remove_tree(dir_);
}

Bytes TestPki::make_crl(const Entity &ca, const std::vector<const Entity *> &revoked_list,
                        time_t last_update, time_t next_update) const {
    CrlPtr crl(X509_CRL_new());
    X509_CRL_set_version(crl.get(), 1);
    X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(ca.cert.get()));
    TimePtr last(ASN1_TIME_set(nullptr, last_update));
    TimePtr next(ASN1_TIME_set(nullptr, next_update));
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
    check(X509_CRL_sign(crl.get(), ca.key.get(), EVP_sha256()) > 0, "CRL signature");
    return der_of(i2d_X509_CRL, crl.get());
}

const Entity *TestPki::find_issuer_by_id(const void *cert_id) const {
    const auto *id = static_cast<const OCSP_CERTID *>(cert_id);
    ASN1_OBJECT *md_oid = nullptr;
    OCSP_id_get0_info(nullptr, &md_oid, nullptr, nullptr, const_cast<OCSP_CERTID *>(id));
    const EVP_MD *md = EVP_get_digestbyobj(md_oid);
    for (const Entity *ca : {&root, &inter}) {
        OcspIdPtr ca_id(OCSP_cert_to_id(md, nullptr, ca->cert.get()));
        if (ca_id && OCSP_id_issuer_cmp(ca_id.get(), id) == 0) return ca;
    }
    return nullptr;
}

Bytes TestPki::answer_ocsp_request(const Bytes &request) const {
    const unsigned char *p = request.data();
    OcspReqPtr req(d2i_OCSP_REQUEST(nullptr, &p, static_cast<long>(request.size())));
    const Entity *ca = nullptr;
    if (req && OCSP_request_onereq_count(req.get()) > 0)
        ca = find_issuer_by_id(OCSP_onereq_get0_id(OCSP_request_onereq_get0(req.get(), 0)));
    if (ca == nullptr) {
        OcspRespPtr bad(OCSP_response_create(OCSP_RESPONSE_STATUS_MALFORMEDREQUEST, nullptr));
        return der_of(i2d_OCSP_RESPONSE, bad.get());
    }
    OcspBasicPtr basic(OCSP_BASICRESP_new());
    TimePtr now(X509_gmtime_adj(nullptr, 0));
    TimePtr next(X509_gmtime_adj(nullptr, kDay));
    TimePtr revoked_at(ASN1_TIME_set(nullptr, revocation_time));
    for (int i = 0; i < OCSP_request_onereq_count(req.get()); ++i) {
        OCSP_CERTID *id = OCSP_onereq_get0_id(OCSP_request_onereq_get0(req.get(), i));
        ASN1_INTEGER *serial = nullptr;
        OCSP_id_get0_info(nullptr, nullptr, nullptr, &serial, id);
        int status = V_OCSP_CERTSTATUS_UNKNOWN;
        for (const Entity *e : {&inter, &signer, &revoked, &expired, &ec_signer, &tsa})
            if (e->issuer == ca &&
                ASN1_INTEGER_cmp(serial, X509_get0_serialNumber(e->cert.get())) == 0)
                status = e == &revoked ? V_OCSP_CERTSTATUS_REVOKED : V_OCSP_CERTSTATUS_GOOD;
        OCSP_basic_add1_status(
            basic.get(), id, status,
            status == V_OCSP_CERTSTATUS_REVOKED ? OCSP_REVOKED_STATUS_KEYCOMPROMISE : 0,
            status == V_OCSP_CERTSTATUS_REVOKED ? revoked_at.get() : nullptr, now.get(),
            next.get());
    }
    OCSP_copy_nonce(basic.get(), req.get());
    check(OCSP_basic_sign(basic.get(), ca->cert.get(), ca->key.get(), EVP_sha256(), nullptr, 0) ==
              1,
          "OCSP signature");
    OcspRespPtr resp(OCSP_response_create(OCSP_RESPONSE_STATUS_SUCCESSFUL, basic.get()));
    return der_of(i2d_OCSP_RESPONSE, resp.get());
}

Bytes TestPki::ocsp_response(const Entity &subject) const {
    OcspReqPtr req(OCSP_REQUEST_new());
    OCSP_request_add0_id(
        req.get(), OCSP_cert_to_id(EVP_sha1(), subject.cert.get(), subject.issuer->cert.get()));
    return answer_ocsp_request(der_of(i2d_OCSP_REQUEST, req.get()));
}

} // namespace kvsx_test
