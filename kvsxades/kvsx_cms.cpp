// SPDX-License-Identifier: Apache-2.0
#include "kvsx_cms.h"

#include "kvsx_log.h"
#include "kvsxades.h"

#include <openssl/asn1t.h>
#include <openssl/err.h>

#include <cstring>

// SET OF Attribute, sorted into DER order on output (RFC 5652, 5.4: the signature is
// computed over the DER encoding of the SignedAttributes with an explicit SET OF tag).
typedef STACK_OF(X509_ATTRIBUTE) KvsxSignedAttributes;
ASN1_ITEM_TEMPLATE(KvsxSignedAttributes) = ASN1_EX_TEMPLATE_TYPE(ASN1_TFLG_SET_ORDER, 0,
                                                                 KvsxSignedAttributes,
                                                                 X509_ATTRIBUTE)
    ASN1_ITEM_TEMPLATE_END(KvsxSignedAttributes)

namespace kvsx {
namespace {

// Borrowed attributes: the stack is freed, its elements are not.
void free_attr_stack(STACK_OF(X509_ATTRIBUTE) *s) {
    sk_X509_ATTRIBUTE_free(s);
}
using AttrStackPtr = std::unique_ptr<STACK_OF(X509_ATTRIBUTE), OsslDeleter<free_attr_stack>>;

const ASN1_STRING *single_sequence_attr(CMS_SignerInfo *si, int nid) {
    return static_cast<const ASN1_STRING *>(
        CMS_signed_get0_data_by_OBJ(si, OBJ_nid2obj(nid), -3, V_ASN1_SEQUENCE));
}

int check_signing_certificate(CMS_SignerInfo *si, STACK_OF(X509) *chain, bool require) {
    const ASN1_STRING *v1_der = single_sequence_attr(si, NID_id_smime_aa_signingCertificate);
    const ASN1_STRING *v2_der = single_sequence_attr(si, NID_id_smime_aa_signingCertificateV2);
    EssCertV1Ptr v1;
    EssCertV2Ptr v2;
    if (v1_der != nullptr) {
        const unsigned char *p = ASN1_STRING_get0_data(v1_der);
        v1.reset(d2i_ESS_SIGNING_CERT(nullptr, &p, ASN1_STRING_length(v1_der)));
        if (!v1) return fail(KVSX_SIGNATURE_INVALID, "signing-certificate attribute is malformed");
    }
    if (v2_der != nullptr) {
        const unsigned char *p = ASN1_STRING_get0_data(v2_der);
        v2.reset(d2i_ESS_SIGNING_CERT_V2(nullptr, &p, ASN1_STRING_length(v2_der)));
        if (!v2)
            return fail(KVSX_SIGNATURE_INVALID, "signing-certificate-v2 attribute is malformed");
    }
    if (!v1 && !v2 && !require) return KVSX_OK;
    if (OSSL_ESS_check_signing_certs(v1.get(), v2.get(), chain, require ? 1 : 0) <= 0)
        return fail(KVSX_SIGNATURE_INVALID,
                    "signing-certificate attribute does not name the signer certificate");
    return KVSX_OK;
}

// A SignerInfo without signed attributes signs the content digest itself (RFC 5652, 5.4).
int verify_bare_signature(CMS_SignerInfo *si, X509 *signer, const Bytes &digest) {
    const EVP_MD *md = signer_digest(si);
    if (md == nullptr) return KVSX_SIGNATURE_INVALID;
    ASN1_OCTET_STRING *sig = CMS_SignerInfo_get0_signature(si);
    EvpPkeyCtxPtr pctx(EVP_PKEY_CTX_new(X509_get0_pubkey(signer), nullptr));
    if (!pctx || EVP_PKEY_verify_init(pctx.get()) != 1 ||
        EVP_PKEY_CTX_set_signature_md(pctx.get(), md) != 1)
        return fail(KVSX_SIGNATURE_INVALID, "cannot set up verification with the signer key");
    if (EVP_PKEY_verify(pctx.get(), ASN1_STRING_get0_data(sig),
                        static_cast<size_t>(ASN1_STRING_length(sig)), digest.data(),
                        digest.size()) != 1)
        return fail(KVSX_SIGNATURE_INVALID,
                    "signature value does not verify (no signed attributes)");
    return KVSX_OK;
}

} // namespace

Bytes signed_attributes_der(CMS_SignerInfo *si) {
    AttrStackPtr attrs(sk_X509_ATTRIBUTE_new_null());
    if (!attrs) throw std::bad_alloc();
    int count = CMS_signed_get_attr_count(si);
    for (int i = 0; i < count; ++i)
        if (sk_X509_ATTRIBUTE_push(attrs.get(), CMS_signed_get_attr(si, i)) <= 0)
            throw std::bad_alloc();
    unsigned char *der = nullptr;
    int len = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE *>(attrs.get()), &der,
                            ASN1_ITEM_rptr(KvsxSignedAttributes));
    if (len <= 0) return Bytes();
    OsslBlockPtr owner(der);
    return Bytes(der, der + len);
}

const EVP_MD *signer_digest(CMS_SignerInfo *si) {
    X509_ALGOR *digest_alg = nullptr;
    CMS_SignerInfo_get0_algs(si, nullptr, nullptr, &digest_alg, nullptr);
    const ASN1_OBJECT *oid = nullptr;
    if (digest_alg != nullptr) X509_ALGOR_get0(&oid, nullptr, nullptr, digest_alg);
    const EVP_MD *md = oid != nullptr ? EVP_get_digestbyobj(oid) : nullptr;
    char name[80] = "?";
    if (oid != nullptr) OBJ_obj2txt(name, sizeof name, oid, 0);
    if (md == nullptr) {
        fail(KVSX_E_UNSUPPORTED, "unknown digest algorithm %s", name);
        return nullptr;
    }
    // MD5 and shorter digests give no protection worth reporting as "valid".
    if (EVP_MD_get_size(md) < 20) {
        fail(KVSX_E_UNSUPPORTED, "digest algorithm %s is not accepted", name);
        return nullptr;
    }
    return md;
}

X509 *find_signer_cert(CMS_SignerInfo *si, STACK_OF(X509) *pool) {
    for (int i = 0; pool != nullptr && i < sk_X509_num(pool); ++i) {
        X509 *cert = sk_X509_value(pool, i);
        if (CMS_SignerInfo_cert_cmp(si, cert) == 0) return cert;
    }
    return nullptr;
}

X509StackPtr signer_first(X509 *signer, STACK_OF(X509) *others) {
    X509StackPtr chain = new_x509_stack();
    push_ref(chain.get(), signer);
    for (int i = 0; others != nullptr && i < sk_X509_num(others); ++i)
        push_ref(chain.get(), sk_X509_value(others, i));
    return chain;
}

int check_signer_info(CMS_ContentInfo *cms, CMS_SignerInfo *si, X509 *signer,
                      const Bytes &content_digest, STACK_OF(X509) *chain, bool require_ess) {
    CMS_SignerInfo_set1_signer_cert(si, signer);
    if (CMS_signed_get_attr_count(si) < 0) {
        if (require_ess) return fail(KVSX_SIGNATURE_INVALID, "signed attributes are missing");
        return verify_bare_signature(si, signer, content_digest);
    }
    const auto *md_value = static_cast<const ASN1_OCTET_STRING *>(CMS_signed_get0_data_by_OBJ(
        si, OBJ_nid2obj(NID_pkcs9_messageDigest), -3, V_ASN1_OCTET_STRING));
    if (md_value == nullptr)
        return fail(KVSX_SIGNATURE_INVALID, "message-digest attribute missing or repeated");
    if (static_cast<size_t>(ASN1_STRING_length(md_value)) != content_digest.size() ||
        memcmp(ASN1_STRING_get0_data(md_value), content_digest.data(), content_digest.size()) != 0)
        return fail(KVSX_DIGEST_MISMATCH, "the data does not match the message-digest attribute");
    // RFC 5652, 5.3: with signed attributes, content-type must be present and match.
    const auto *content_type = static_cast<const ASN1_OBJECT *>(
        CMS_signed_get0_data_by_OBJ(si, OBJ_nid2obj(NID_pkcs9_contentType), -3, V_ASN1_OBJECT));
    if (content_type == nullptr || OBJ_cmp(content_type, CMS_get0_eContentType(cms)) != 0)
        return fail(KVSX_SIGNATURE_INVALID, "content-type attribute missing or different");
    int verified = CMS_SignerInfo_verify(si);
    if (verified != 1)
        return fail(KVSX_SIGNATURE_INVALID, "signature value does not verify (%d)", verified);
    return check_signing_certificate(si, chain, require_ess);
}

} // namespace kvsx
