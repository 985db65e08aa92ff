#include "host_crypto.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ts.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <stdexcept>
#include <vector>

namespace kvtest {
namespace {

using BioPtr = std::unique_ptr<BIO, OsslFree<BIO_free_all>>;
using X509NamePtr = std::unique_ptr<X509_NAME, OsslFree<X509_NAME_free>>;
using X509ExtPtr = std::unique_ptr<X509_EXTENSION, OsslFree<X509_EXTENSION_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, OsslFree<EVP_MD_CTX_free>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, OsslFree<CMS_ContentInfo_free>>;
using AsnIntPtr = std::unique_ptr<ASN1_INTEGER, OsslFree<ASN1_INTEGER_free>>;
using AsnObjPtr = std::unique_ptr<ASN1_OBJECT, OsslFree<ASN1_OBJECT_free>>;
using BnPtr = std::unique_ptr<BIGNUM, OsslFree<BN_free>>;
using AlgorPtr = std::unique_ptr<X509_ALGOR, OsslFree<X509_ALGOR_free>>;
using ImprintPtr = std::unique_ptr<TS_MSG_IMPRINT, OsslFree<TS_MSG_IMPRINT_free>>;
using TsReqPtr = std::unique_ptr<TS_REQ, OsslFree<TS_REQ_free>>;
using TsRespPtr = std::unique_ptr<TS_RESP, OsslFree<TS_RESP_free>>;
using TsCtxPtr = std::unique_ptr<TS_RESP_CTX, OsslFree<TS_RESP_CTX_free>>;
using TsVerifyPtr = std::unique_ptr<TS_VERIFY_CTX, OsslFree<TS_VERIFY_CTX_free>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, OsslFree<PKCS7_free>>;
using StorePtr = std::unique_ptr<X509_STORE, OsslFree<X509_STORE_free>>;
void FreeX509Stack(STACK_OF(X509) * s) {
    sk_X509_pop_free(s, X509_free);
}
using X509StackPtr = std::unique_ptr<STACK_OF(X509), OsslFree<FreeX509Stack>>;
void FreeOpenssl(unsigned char *p) {
    OPENSSL_free(p);
}
using OsslBytesPtr = std::unique_ptr<unsigned char, OsslFree<FreeOpenssl>>;

// what, followed by OpenSSL's error queue, which this empties.
std::string Reason(const std::string &what) {
    std::string message = what;
    char line[256];
    while (unsigned long e = ERR_get_error()) {
        ERR_error_string_n(e, line, sizeof line);
        message += "\n  ";
        message += line;
    }
    return message;
}

[[noreturn]] void Fail(const std::string &what) {
    throw std::runtime_error(Reason(what));
}

template <typename T> T *Check(T *p, const char *what) {
    if (!p) Fail(what);
    return p;
}

void Check(int ok, const char *what) {
    if (ok <= 0) Fail(what);
}

std::string BioText(BIO *bio) {
    char *data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<size_t>(n));
}

BioPtr MemBio() {
    return BioPtr(Check(BIO_new(BIO_s_mem()), "BIO_new"));
}

BioPtr ReadBio(const std::string &data) {
    return BioPtr(
        Check(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())), "BIO_new_mem_buf"));
}

ASN1_INTEGER *RandomSerial() {
    unsigned char bytes[8];
    Check(RAND_bytes(bytes, sizeof bytes), "RAND_bytes");
    bytes[0] &= 0x7F; // positive, and never longer than eight bytes
    BnPtr bn(Check(BN_bin2bn(bytes, sizeof bytes, nullptr), "BN_bin2bn"));
    return Check(BN_to_ASN1_INTEGER(bn.get(), nullptr), "BN_to_ASN1_INTEGER");
}

// Certificate extensions as openssl.cnf would write them, e.g. {"keyUsage", "critical,..."}.
struct Ext {
    const char *name;
    const char *value;
};

TestKey MakeCertified(const std::string &common_name, const TestKey *issuer,
                      std::initializer_list<Ext> extensions) {
    TestKey k;
    k.key.reset(Check(EVP_RSA_gen(2048), "EVP_RSA_gen"));
    k.cert.reset(Check(X509_new(), "X509_new"));
    X509 *x = k.cert.get();
    Check(X509_set_version(x, X509_VERSION_3), "X509_set_version");
    AsnIntPtr serial(RandomSerial());
    Check(X509_set_serialNumber(x, serial.get()), "X509_set_serialNumber");
    X509NamePtr name(Check(X509_NAME_new(), "X509_NAME_new"));
    const auto *cn = reinterpret_cast<const unsigned char *>(common_name.c_str());
    const auto *org = reinterpret_cast<const unsigned char *>("kvpdf tests");
    Check(X509_NAME_add_entry_by_txt(name.get(), "CN", MBSTRING_UTF8, cn, -1, -1, 0), "CN");
    Check(X509_NAME_add_entry_by_txt(name.get(), "O", MBSTRING_UTF8, org, -1, -1, 0), "O");
    Check(X509_set_subject_name(x, name.get()), "X509_set_subject_name");
    X509 *issuer_cert = issuer ? issuer->x509() : x;
    EVP_PKEY *issuer_key = issuer ? issuer->pkey() : k.pkey();
    Check(X509_set_issuer_name(x, X509_get_subject_name(issuer_cert)), "X509_set_issuer_name");
    Check(X509_gmtime_adj(X509_getm_notBefore(x), -3600), "notBefore");
    Check(X509_time_adj_ex(X509_getm_notAfter(x), 3650, 0, nullptr), "notAfter");
    Check(X509_set_pubkey(x, k.pkey()), "X509_set_pubkey");
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer_cert, x, nullptr, nullptr, 0);
    for (const Ext &e : extensions) {
        X509ExtPtr ext(Check(X509V3_EXT_nconf(nullptr, &ctx, e.name, e.value), e.name));
        Check(X509_add_ext(x, ext.get(), -1), "X509_add_ext");
    }
    Check(X509_sign(x, issuer_key, EVP_sha256()), "X509_sign");
    return k;
}

// DER of the signed attributes as the signature covers them: a SET OF, its members in
// the order DER prescribes (and in which OpenSSL writes them into the SignerInfo).
std::string SignedAttributesDer(CMS_SignerInfo *si) {
    std::vector<std::string> members;
    for (int i = 0; i < CMS_signed_get_attr_count(si); ++i) {
        unsigned char *der = nullptr;
        int n = i2d_X509_ATTRIBUTE(CMS_signed_get_attr(si, i), &der);
        if (n <= 0) Fail("i2d_X509_ATTRIBUTE");
        OsslBytesPtr owner(der);
        members.emplace_back(reinterpret_cast<char *>(der), static_cast<size_t>(n));
    }
    std::sort(members.begin(), members.end(), [](const std::string &l, const std::string &r) {
        int c = std::memcmp(l.data(), r.data(), std::min(l.size(), r.size()));
        return c != 0 ? c < 0 : l.size() < r.size();
    });
    std::string body;
    for (const auto &m : members)
        body += m;
    std::string out(1, '\x31');
    if (body.size() < 0x80) {
        out += static_cast<char>(body.size());
    } else {
        std::string len;
        for (size_t n = body.size(); n; n >>= 8)
            len.insert(len.begin(), static_cast<char>(n & 0xFF));
        out += static_cast<char>(0x80 | len.size());
        out += len;
    }
    return out + body;
}

std::string SignBytes(const std::string &data, EVP_PKEY *key) {
    MdCtxPtr md(Check(EVP_MD_CTX_new(), "EVP_MD_CTX_new"));
    Check(EVP_DigestSignInit(md.get(), nullptr, EVP_sha256(), nullptr, key), "EVP_DigestSignInit");
    const auto *in = reinterpret_cast<const unsigned char *>(data.data());
    size_t n = 0;
    Check(EVP_DigestSign(md.get(), nullptr, &n, in, data.size()), "EVP_DigestSign");
    std::string sig(n, '\0');
    Check(EVP_DigestSign(md.get(), reinterpret_cast<unsigned char *>(&sig[0]), &n, in, data.size()),
          "EVP_DigestSign");
    sig.resize(n);
    return sig;
}

template <typename T, typename Encode> std::string Der(T *object, Encode encode, const char *what) {
    unsigned char *der = nullptr;
    int n = encode(object, &der);
    if (n <= 0) Fail(what);
    OsslBytesPtr owner(der);
    return std::string(reinterpret_cast<char *>(der), static_cast<size_t>(n));
}

ASN1_INTEGER *TsaSerial(TS_RESP_CTX *, void *) {
    return RandomSerial();
}

} // namespace

std::string TestKey::KeyPem() const {
    BioPtr bio = MemBio();
    Check(PEM_write_bio_PrivateKey(bio.get(), pkey(), nullptr, nullptr, 0, nullptr, nullptr),
          "PEM_write_bio_PrivateKey");
    return BioText(bio.get());
}

std::string TestKey::CertPem() const {
    BioPtr bio = MemBio();
    Check(PEM_write_bio_X509(bio.get(), x509()), "PEM_write_bio_X509");
    return BioText(bio.get());
}

std::string TestKey::CertDer() const {
    return Der(x509(), i2d_X509, "i2d_X509");
}

TestKey MakeTestKey(const std::string &common_name) {
    return MakeCertified(common_name, nullptr,
                         {{"basicConstraints", "critical,CA:FALSE"},
                          {"keyUsage", "critical,digitalSignature,nonRepudiation"},
                          {"subjectKeyIdentifier", "hash"}});
}

TestTsa MakeTestTsa() {
    TestTsa tsa;
    tsa.root = MakeCertified("kvpdf test TSA root", nullptr,
                             {{"basicConstraints", "critical,CA:TRUE"},
                              {"keyUsage", "critical,keyCertSign,cRLSign"},
                              {"subjectKeyIdentifier", "hash"}});
    tsa.signer = MakeCertified("kvpdf test TSA", &tsa.root,
                               {{"basicConstraints", "critical,CA:FALSE"},
                                {"keyUsage", "critical,digitalSignature"},
                                {"extendedKeyUsage", "critical,timeStamping"},
                                {"subjectKeyIdentifier", "hash"},
                                {"authorityKeyIdentifier", "keyid:always"}});
    return tsa;
}

std::string ReadRanges(const std::string &path, uint64_t a, uint64_t b, uint64_t c) {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot open " + path);
    std::string out(a + c, '\0');
    f.read(&out[0], static_cast<std::streamsize>(a));
    f.seekg(static_cast<std::streamoff>(b));
    f.read(&out[a], static_cast<std::streamsize>(c));
    if (!f) throw std::runtime_error("byte range beyond the end of " + path);
    return out;
}

std::string SignDetachedCms(const std::string &data, const TestKey &key, bool cades) {
    const unsigned flags = CMS_DETACHED | CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP;
    CmsPtr cms(Check(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags), "CMS_sign"));
    CMS_SignerInfo *si = Check(CMS_add1_signer(cms.get(), key.x509(), key.pkey(), EVP_sha256(),
                                               flags | (cades ? CMS_CADES : 0)),
                               "CMS_add1_signer");
    BioPtr in = ReadBio(data);
    Check(CMS_final(cms.get(), in.get(), nullptr, flags), "CMS_final");
    if (cades) {
        // CMS_final always adds signingTime, which PAdES baseline signatures must not
        // carry (their claimed time is /M): take it out and sign the rest again.
        int at = CMS_signed_get_attr_by_NID(si, NID_pkcs9_signingTime, -1);
        if (at >= 0) X509_ATTRIBUTE_free(CMS_signed_delete_attr(si, at));
        std::string sig = SignBytes(SignedAttributesDer(si), key.pkey());
        Check(ASN1_STRING_set(CMS_SignerInfo_get0_signature(si), sig.data(),
                              static_cast<int>(sig.size())),
              "ASN1_STRING_set");
    }
    return Der(cms.get(), i2d_CMS_ContentInfo, "i2d_CMS_ContentInfo");
}

std::string MakeTimestampToken(const std::string &data, const TestTsa &tsa) {
    std::string digest = Sha256(data);
    ImprintPtr imprint(Check(TS_MSG_IMPRINT_new(), "TS_MSG_IMPRINT_new"));
    AlgorPtr algorithm(Check(X509_ALGOR_new(), "X509_ALGOR_new"));
    X509_ALGOR_set_md(algorithm.get(), EVP_sha256());
    Check(TS_MSG_IMPRINT_set_algo(imprint.get(), algorithm.get()), "TS_MSG_IMPRINT_set_algo");
    Check(TS_MSG_IMPRINT_set_msg(imprint.get(), reinterpret_cast<unsigned char *>(&digest[0]),
                                 static_cast<int>(digest.size())),
          "TS_MSG_IMPRINT_set_msg");
    TsReqPtr request(Check(TS_REQ_new(), "TS_REQ_new"));
    Check(TS_REQ_set_version(request.get(), 1), "TS_REQ_set_version");
    Check(TS_REQ_set_msg_imprint(request.get(), imprint.get()), "TS_REQ_set_msg_imprint");
    Check(TS_REQ_set_cert_req(request.get(), 1), "TS_REQ_set_cert_req");
    BioPtr request_der = MemBio();
    Check(i2d_TS_REQ_bio(request_der.get(), request.get()), "i2d_TS_REQ_bio");

    TsCtxPtr ctx(Check(TS_RESP_CTX_new(), "TS_RESP_CTX_new"));
    Check(TS_RESP_CTX_set_signer_cert(ctx.get(), tsa.signer.x509()), "TSA certificate");
    Check(TS_RESP_CTX_set_signer_key(ctx.get(), tsa.signer.pkey()), "TSA key");
    Check(TS_RESP_CTX_set_signer_digest(ctx.get(), EVP_sha256()), "TSA digest");
    Check(TS_RESP_CTX_set_ess_cert_id_digest(ctx.get(), EVP_sha256()), "ESS cert id digest");
    AsnObjPtr policy(Check(OBJ_txt2obj("1.2.3.4.1", 1), "OBJ_txt2obj"));
    Check(TS_RESP_CTX_set_def_policy(ctx.get(), policy.get()), "TS_RESP_CTX_set_def_policy");
    Check(TS_RESP_CTX_add_md(ctx.get(), EVP_sha256()), "TS_RESP_CTX_add_md");
    X509StackPtr extra(Check(sk_X509_new_null(), "sk_X509_new_null"));
    Check(X509_add_cert(extra.get(), tsa.root.x509(), X509_ADD_FLAG_UP_REF), "X509_add_cert");
    Check(TS_RESP_CTX_set_certs(ctx.get(), extra.get()), "TS_RESP_CTX_set_certs");
    TS_RESP_CTX_set_serial_cb(ctx.get(), TsaSerial, nullptr);

    TsRespPtr response(
        Check(TS_RESP_create_response(ctx.get(), request_der.get()), "TS_RESP_create_response"));
    const ASN1_INTEGER *status =
        TS_STATUS_INFO_get0_status(TS_RESP_get_status_info(response.get()));
    if (ASN1_INTEGER_get(status) != TS_STATUS_GRANTED) Fail("the test TSA refused the request");
    return Der(TS_RESP_get_token(response.get()), i2d_PKCS7, "i2d_PKCS7");
}

std::string VerifyTimestampToken(const std::string &token, const std::string &data,
                                 const TestTsa &tsa) {
    const auto *p = reinterpret_cast<const unsigned char *>(token.data());
    Pkcs7Ptr pkcs7(d2i_PKCS7(nullptr, &p, static_cast<long>(token.size())));
    if (!pkcs7) return Reason("not a DER ContentInfo");
    TsVerifyPtr ctx(Check(TS_VERIFY_CTX_new(), "TS_VERIFY_CTX_new"));
    StorePtr store(Check(X509_STORE_new(), "X509_STORE_new"));
    Check(X509_STORE_add_cert(store.get(), tsa.root.x509()), "X509_STORE_add_cert");
    TS_VERIFY_CTX_set_store(ctx.get(), store.release());
    TS_VERIFY_CTX_set_data(ctx.get(), ReadBio(data).release());
    TS_VERIFY_CTX_set_flags(ctx.get(), TS_VFY_VERSION | TS_VFY_SIGNATURE | TS_VFY_DATA);
    if (TS_RESP_verify_token(ctx.get(), pkcs7.get()) == 1) return "";
    return Reason("the timestamp token does not verify");
}

std::string Unhex(const std::string &hex) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        throw std::runtime_error(std::string("not a hex digit: ") + c);
    };
    if (hex.size() % 2) throw std::runtime_error("odd number of hex digits");
    std::string out;
    for (size_t i = 0; i < hex.size(); i += 2)
        out += static_cast<char>(nibble(hex[i]) << 4 | nibble(hex[i + 1]));
    return out;
}

std::string Hex(const std::string &der) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(der.size() * 2);
    for (unsigned char c : der) {
        out += digits[c >> 4];
        out += digits[c & 0x0F];
    }
    return out;
}

std::string Sha256(const std::string &data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    Check(EVP_Digest(data.data(), data.size(), md, &n, EVP_sha256(), nullptr), "EVP_Digest");
    return std::string(reinterpret_cast<char *>(md), n);
}

} // namespace kvtest
