// SPDX-License-Identifier: Apache-2.0
#include "kvsx_tsp.h"

#include "kvsx_cms.h"
#include "kvsx_http.h"
#include "kvsx_io.h"
#include "kvsx_log.h"
#include "kvsxades.h"

#include <openssl/rand.h>

#include <cstring>

namespace kvsx {
namespace {

constexpr size_t kMaxTsaAnswer = 1u << 20;

Asn1IntegerPtr random_nonce() {
    unsigned char bytes[8];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return Asn1IntegerPtr();
    bytes[0] &= 0x7f; // keep it positive
    BignumPtr bn(BN_bin2bn(bytes, sizeof bytes, nullptr));
    if (!bn) return Asn1IntegerPtr();
    return Asn1IntegerPtr(BN_to_ASN1_INTEGER(bn.get(), nullptr));
}

int build_request(const EVP_MD *md, const Bytes &digest, const ASN1_INTEGER *nonce, Bytes &der) {
    TsReqPtr req(TS_REQ_new());
    TsMsgImprintPtr imprint(TS_MSG_IMPRINT_new());
    X509AlgorPtr algo(X509_ALGOR_new());
    if (!req || !imprint || !algo) throw std::bad_alloc();
    X509_ALGOR_set_md(algo.get(), md);
    if (TS_MSG_IMPRINT_set_algo(imprint.get(), algo.get()) != 1 ||
        TS_MSG_IMPRINT_set_msg(imprint.get(), const_cast<uint8_t *>(digest.data()),
                               static_cast<int>(digest.size())) != 1 ||
        TS_REQ_set_version(req.get(), 1) != 1 ||
        TS_REQ_set_msg_imprint(req.get(), imprint.get()) != 1 ||
        TS_REQ_set_nonce(req.get(), nonce) != 1 || TS_REQ_set_cert_req(req.get(), 1) != 1)
        return fail(KVSX_E_CRYPTO, "cannot build the timestamp request");
    der = to_der(i2d_TS_REQ, req.get());
    if (der.empty()) return fail(KVSX_E_CRYPTO, "cannot encode the timestamp request");
    return KVSX_OK;
}

std::string status_text(TS_STATUS_INFO *info) {
    std::string text;
    const STACK_OF(ASN1_UTF8STRING) *texts = TS_STATUS_INFO_get0_text(info);
    for (int i = 0; texts != nullptr && i < sk_ASN1_UTF8STRING_num(texts); ++i) {
        const ASN1_UTF8STRING *s = sk_ASN1_UTF8STRING_value(texts, i);
        if (!text.empty()) text += "; ";
        text.append(reinterpret_cast<const char *>(ASN1_STRING_get0_data(s)),
                    static_cast<size_t>(ASN1_STRING_length(s)));
    }
    return text.empty() ? std::string("no status text") : text;
}

int check_answer(const Bytes &answer, const EVP_MD *md, const Bytes &digest,
                 const ASN1_INTEGER *nonce, const std::string &url, Bytes &token) {
    const unsigned char *p = answer.data();
    TsRespPtr resp(d2i_TS_RESP(nullptr, &p, static_cast<long>(answer.size())));
    if (!resp)
        return fail(KVSX_E_TSA_RESPONSE, "%s answered with no timestamp response", url.c_str());
    TS_STATUS_INFO *info = TS_RESP_get_status_info(resp.get());
    long status = ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(info));
    if (status != 0 && status != 1) // granted, grantedWithMods (RFC 3161, 2.4.2)
        return fail(KVSX_TSA_NOT_GRANTED, "%s refused the request: status %ld (%s)", url.c_str(),
                    status, status_text(info).c_str());
    PKCS7 *p7 = TS_RESP_get_token(resp.get());
    TS_TST_INFO *tst = TS_RESP_get_tst_info(resp.get());
    if (p7 == nullptr || tst == nullptr)
        return fail(KVSX_E_TSA_RESPONSE, "%s granted the request without a token", url.c_str());

    TS_MSG_IMPRINT *imprint = TS_TST_INFO_get_msg_imprint(tst);
    const ASN1_OBJECT *algo_oid = nullptr;
    X509_ALGOR_get0(&algo_oid, nullptr, nullptr, TS_MSG_IMPRINT_get_algo(imprint));
    ASN1_OCTET_STRING *value = TS_MSG_IMPRINT_get_msg(imprint);
    if (OBJ_obj2nid(algo_oid) != EVP_MD_get_type(md) ||
        static_cast<size_t>(ASN1_STRING_length(value)) != digest.size() ||
        memcmp(ASN1_STRING_get0_data(value), digest.data(), digest.size()) != 0)
        return fail(KVSX_E_TSA_MISMATCH, "%s stamped another imprint than requested", url.c_str());
    const ASN1_INTEGER *echoed = TS_TST_INFO_get_nonce(tst);
    if (echoed == nullptr || ASN1_INTEGER_cmp(echoed, nonce) != 0)
        return fail(KVSX_E_TSA_MISMATCH, "%s returned %s nonce", url.c_str(),
                    echoed == nullptr ? "no" : "another");

    token = to_der(i2d_PKCS7, p7);
    TokenInfo parsed;
    int rc = read_token(token.data(), token.size(), nullptr, parsed);
    if (rc != KVSX_OK)
        return fail(KVSX_E_TSA_RESPONSE, "the token from %s does not verify", url.c_str());
    return KVSX_OK;
}

} // namespace

int request_timestamp(const Settings &settings, const std::string &url, const EVP_MD *md,
                      const Bytes &digest, Bytes &token) {
    Asn1IntegerPtr nonce = random_nonce();
    if (!nonce) return fail(KVSX_E_CRYPTO, "cannot make a nonce");
    Bytes request;
    int rc = build_request(md, digest, nonce.get(), request);
    if (rc != KVSX_OK) return rc;
    Bytes answer;
    rc = http_post(settings, url, "application/timestamp-query", request, kMaxTsaAnswer, answer);
    if (rc == KVSX_E_BAD_DATA)
        return fail(KVSX_E_TSA_RESPONSE, "%s answered with something that is not DER", url.c_str());
    if (rc != KVSX_OK) return fail(rc, "no timestamp: %s", last_failure().c_str());
    rc = check_answer(answer, md, digest, nonce.get(), url, token);
    if (rc == KVSX_OK)
        log_line(LogLevel::Info, "timestamp from %s (%zu bytes)", url.c_str(), token.size());
    return rc;
}

int read_token(const uint8_t *der, size_t length, STACK_OF(X509) *extra, TokenInfo &out) {
    const unsigned char *p = der;
    out.cms.reset(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(length)));
    if (!out.cms || OBJ_obj2nid(CMS_get0_type(out.cms.get())) != NID_pkcs7_signed ||
        OBJ_obj2nid(CMS_get0_eContentType(out.cms.get())) != NID_id_smime_ct_TSTInfo)
        return fail(KVSX_E_BAD_TOKEN, "not an RFC 3161 TimeStampToken (%zu bytes)", length);
    ASN1_OCTET_STRING **content = CMS_get0_content(out.cms.get());
    if (content == nullptr || *content == nullptr)
        return fail(KVSX_E_BAD_TOKEN, "token without TSTInfo content");
    const unsigned char *q = ASN1_STRING_get0_data(*content);
    out.tst_info.reset(d2i_TS_TST_INFO(nullptr, &q, ASN1_STRING_length(*content)));
    if (!out.tst_info || !to_unix_time(TS_TST_INFO_get_time(out.tst_info.get()), out.gen_time))
        return fail(KVSX_E_BAD_TOKEN, "token TSTInfo cannot be parsed");
    STACK_OF(CMS_SignerInfo) *signers = CMS_get0_SignerInfos(out.cms.get());
    if (sk_CMS_SignerInfo_num(signers) != 1)
        return fail(KVSX_E_BAD_TOKEN, "token has %d signers, not one",
                    sk_CMS_SignerInfo_num(signers));
    CMS_SignerInfo *si = sk_CMS_SignerInfo_value(signers, 0);

    out.certs.reset(CMS_get1_certs(out.cms.get()));
    if (!out.certs) out.certs = new_x509_stack();
    for (int i = 0; extra != nullptr && i < sk_X509_num(extra); ++i)
        push_ref(out.certs.get(), sk_X509_value(extra, i));
    out.tsa_cert = find_signer_cert(si, out.certs.get());
    if (out.tsa_cert == nullptr)
        return fail(KVSX_TIMESTAMP_INVALID, "the TSA certificate is not in the token");

    const EVP_MD *md = signer_digest(si);
    if (md == nullptr) return fail(KVSX_TIMESTAMP_INVALID, "token digest algorithm not accepted");
    Bytes digest;
    int rc = digest_bytes(md, ASN1_STRING_get0_data(*content),
                          static_cast<size_t>(ASN1_STRING_length(*content)), digest);
    if (rc != KVSX_OK) return rc;
    // The ESS attribute may list the TSA's issuers too; they are among the token's certs.
    X509StackPtr chain = signer_first(out.tsa_cert, out.certs.get());
    // RFC 3161, 2.4.1: the token must carry a signing-certificate(-v2) attribute.
    rc = check_signer_info(out.cms.get(), si, out.tsa_cert, digest, chain.get(), true);
    if (rc != KVSX_OK) return fail(KVSX_TIMESTAMP_INVALID, "the token signature does not verify");
    return KVSX_OK;
}

const EVP_MD *token_imprint_md(const TokenInfo &token) {
    TS_MSG_IMPRINT *imprint = TS_TST_INFO_get_msg_imprint(token.tst_info.get());
    const ASN1_OBJECT *oid = nullptr;
    X509_ALGOR_get0(&oid, nullptr, nullptr, TS_MSG_IMPRINT_get_algo(imprint));
    const EVP_MD *md = oid != nullptr ? EVP_get_digestbyobj(oid) : nullptr;
    if (md == nullptr || EVP_MD_get_size(md) < 20) {
        char name[80] = "?";
        if (oid != nullptr) OBJ_obj2txt(name, sizeof name, oid, 0);
        fail(KVSX_TIMESTAMP_INVALID, "token imprint algorithm %s not accepted", name);
        return nullptr;
    }
    return md;
}

bool token_imprint_equals(const TokenInfo &token, const Bytes &digest) {
    TS_MSG_IMPRINT *imprint = TS_TST_INFO_get_msg_imprint(token.tst_info.get());
    const ASN1_OCTET_STRING *value = TS_MSG_IMPRINT_get_msg(imprint);
    return static_cast<size_t>(ASN1_STRING_length(value)) == digest.size() &&
           memcmp(ASN1_STRING_get0_data(value), digest.data(), digest.size()) == 0;
}

} // namespace kvsx
