// SPDX-License-Identifier: Apache-2.0
// Making signatures (CMS SignedData, detached) and document timestamps.
#include "kvsx_chain.h"
#include "kvsx_cms.h"
#include "kvsx_context.h"
#include "kvsx_io.h"
#include "kvsx_key.h"
#include "kvsx_log.h"
#include "kvsx_store.h"
#include "kvsx_tsp.h"

#include <openssl/err.h>

#include <algorithm>
#include <memory>

namespace kvsx {
namespace {

constexpr int kMaxChainDepth = 16;

bool contains_cert(STACK_OF(X509) *stack, X509 *cert) {
    for (int i = 0; i < sk_X509_num(stack); ++i)
        if (X509_cmp(sk_X509_value(stack, i), cert) == 0) return true;
    return false;
}

// The certificates to embed: everything the key source gave, plus the issuers the
// store knows, so a verifier without our store can still build the path.
X509StackPtr certificates_to_embed(const SignerKey &key, const StoreSnapshot &stores) {
    X509StackPtr embed = new_x509_stack();
    auto push = [&](X509 *cert) {
        if (X509_cmp(cert, key.cert.get()) != 0 && !contains_cert(embed.get(), cert))
            push_ref(embed.get(), cert);
    };
    for (int i = 0; i < sk_X509_num(key.others.get()); ++i)
        push(sk_X509_value(key.others.get(), i));
    X509 *current = key.cert.get();
    for (int depth = 0; depth < kMaxChainDepth && !is_self_issued(current); ++depth) {
        X509 *issuer = nullptr;
        for (STACK_OF(X509) *pool :
             {key.others.get(), stores.intermediates.get(), stores.anchors.get()})
            for (int i = 0; issuer == nullptr && i < sk_X509_num(pool); ++i)
                if (X509_check_issued(sk_X509_value(pool, i), current) == X509_V_OK)
                    issuer = sk_X509_value(pool, i);
        if (issuer == nullptr) break;
        push(issuer);
        current = issuer;
    }
    return embed;
}

int add_signed_attributes(CMS_SignerInfo *si, const Bytes &digest, bool cades) {
    if (CMS_signed_add1_attr_by_NID(si, NID_pkcs9_contentType, V_ASN1_OBJECT,
                                    OBJ_nid2obj(NID_pkcs7_data), -1) != 1 ||
        CMS_signed_add1_attr_by_NID(si, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING, digest.data(),
                                    static_cast<int>(digest.size())) != 1)
        return fail(KVSX_E_CRYPTO, "cannot add the signed attributes");
    // ETSI EN 319 142-1, 6.3: a PAdES signature has no signing-time attribute; the
    // signature dictionary's /M or a timestamp carries the time instead.
    if (!cades) {
        Asn1TimePtr now(X509_gmtime_adj(nullptr, 0));
        if (!now || CMS_signed_add1_attr_by_NID(si, NID_pkcs9_signingTime,
                                                ASN1_STRING_type(now.get()), now.get(), -1) != 1)
            return fail(KVSX_E_CRYPTO, "cannot add the signing-time attribute");
    }
    return KVSX_OK;
}

// RFC 5652, 5.3 signatureAlgorithm: rsaEncryption for PKCS#1 v1.5 (as RFC 3370, 3.2
// allows and verifiers expect), the combined OID for ECDSA and DSA.
int set_signature_algorithm(CMS_SignerInfo *si, EVP_PKEY *key, const EVP_MD *md) {
    X509_ALGOR *alg = nullptr;
    CMS_SignerInfo_get0_algs(si, nullptr, nullptr, nullptr, &alg);
    int key_type = EVP_PKEY_get_base_id(key);
    if (key_type == EVP_PKEY_RSA)
        return X509_ALGOR_set0(alg, OBJ_nid2obj(NID_rsaEncryption), V_ASN1_NULL, nullptr) == 1
                   ? KVSX_OK
                   : fail(KVSX_E_CRYPTO, "cannot set the signature algorithm");
    int sig_nid = NID_undef;
    if ((key_type != EVP_PKEY_EC && key_type != EVP_PKEY_DSA) ||
        OBJ_find_sigid_by_algs(&sig_nid, EVP_MD_get_type(md), key_type) != 1)
        return fail(KVSX_E_UNSUPPORTED, "keys of type %s are not supported for signing",
                    OBJ_nid2sn(key_type));
    return X509_ALGOR_set0(alg, OBJ_nid2obj(sig_nid), V_ASN1_UNDEF, nullptr) == 1
               ? KVSX_OK
               : fail(KVSX_E_CRYPTO, "cannot set the signature algorithm");
}

// OpenSSL's own signing step would add signing-time unconditionally, so the signature
// over the signed attributes is made here.
int sign_attributes(CMS_SignerInfo *si, EVP_PKEY *key, const EVP_MD *md) {
    int rc = set_signature_algorithm(si, key, md);
    if (rc != KVSX_OK) return rc;
    Bytes attrs = signed_attributes_der(si);
    if (attrs.empty()) return fail(KVSX_E_CRYPTO, "cannot encode the signed attributes");
    EvpMdCtxPtr mctx(EVP_MD_CTX_new());
    size_t sig_len = 0;
    if (!mctx || EVP_DigestSignInit(mctx.get(), nullptr, md, nullptr, key) != 1 ||
        EVP_DigestSign(mctx.get(), nullptr, &sig_len, attrs.data(), attrs.size()) != 1)
        return fail(KVSX_E_CRYPTO, "cannot set up signing with the key");
    Bytes sig(sig_len);
    if (EVP_DigestSign(mctx.get(), sig.data(), &sig_len, attrs.data(), attrs.size()) != 1)
        return fail(KVSX_E_CRYPTO, "signing failed");
    if (ASN1_STRING_set(CMS_SignerInfo_get0_signature(si), sig.data(), static_cast<int>(sig_len)) !=
        1)
        throw std::bad_alloc();
    return KVSX_OK;
}

// A signature that does not verify must never leave the library. The encoding must hold
// the signed attributes exactly as they were signed (in DER order, under [0] IMPLICIT
// instead of the SET tag), and the value must verify over them with the certificate's
// key. Checked on the bytes, since re-reading the whole SignedData would decode every
// certificate again and cost more than the signature itself.
int self_check(const Bytes &der, CMS_SignerInfo *si, X509 *signer, const EVP_MD *md) {
    Bytes attrs = signed_attributes_der(si);
    if (attrs.empty() || attrs[0] != 0x31)
        return fail(KVSX_E_CRYPTO, "cannot encode the signed attributes");
    attrs[0] = 0xA0;
    const bool encoded =
        std::search(der.begin(), der.end(), attrs.begin(), attrs.end()) != der.end();
    attrs[0] = 0x31;
    if (!encoded) return fail(KVSX_E_CRYPTO, "the encoding does not hold the signed attributes");
    ASN1_OCTET_STRING *sig = CMS_SignerInfo_get0_signature(si);
    EvpMdCtxPtr mctx(EVP_MD_CTX_new());
    if (!mctx ||
        EVP_DigestVerifyInit(mctx.get(), nullptr, md, nullptr, X509_get0_pubkey(signer)) != 1 ||
        EVP_DigestVerify(mctx.get(), ASN1_STRING_get0_data(sig),
                         static_cast<size_t>(ASN1_STRING_length(sig)), attrs.data(),
                         attrs.size()) != 1)
        return fail(KVSX_E_CRYPTO, "the new signature does not verify with the certificate");
    return KVSX_OK;
}

int add_signature_timestamp(CMS_SignerInfo *si, const Settings &settings, const EVP_MD *md,
                            const std::string &url) {
    ASN1_OCTET_STRING *sig = CMS_SignerInfo_get0_signature(si);
    Bytes imprint;
    // RFC 3161, appendix A: the token stamps the SignerInfo's signature value.
    int rc = digest_bytes(md, ASN1_STRING_get0_data(sig),
                          static_cast<size_t>(ASN1_STRING_length(sig)), imprint);
    if (rc != KVSX_OK) return rc;
    Bytes token;
    rc = request_timestamp(settings, url, md, imprint, token);
    if (rc != KVSX_OK) return rc;
    if (CMS_unsigned_add1_attr_by_NID(si, NID_id_smime_aa_timeStampToken, V_ASN1_SEQUENCE,
                                      token.data(), static_cast<int>(token.size())) != 1)
        return fail(KVSX_E_CRYPTO, "cannot add the signature-time-stamp attribute");
    return KVSX_OK;
}

const EVP_MD *signing_md(const Settings &settings) {
    if (settings.hash_type == KVS_HASH_SHA1) return nullptr;
    return hash_md(settings.hash_type);
}

// A CMS SignedData over a message digest computed with md, by a loaded key.
int sign_digest(const SignerKey &key, const EVP_MD *md, const Bytes &digest, bool cades,
                const char *tsa_url, Bytes &out) {
    if (X509_cmp_current_time(X509_get0_notAfter(key.cert.get())) < 0 ||
        X509_cmp_current_time(X509_get0_notBefore(key.cert.get())) > 0)
        log_line(LogLevel::Info, "the signer certificate %s is not valid now",
                 subject_of(key.cert.get()).c_str());
    CmsPtr cms(
        CMS_sign(nullptr, nullptr, nullptr, nullptr, CMS_PARTIAL | CMS_DETACHED | CMS_BINARY));
    if (!cms) return fail(KVSX_E_CRYPTO, "cannot create the SignedData");
    CMS_SignerInfo *si = CMS_add1_signer(cms.get(), key.cert.get(), key.key.get(), md,
                                         CMS_PARTIAL | CMS_NOSMIMECAP | (cades ? CMS_CADES : 0));
    if (si == nullptr) return fail(KVSX_E_CRYPTO, "cannot add the signer");
    StoreSnapshot stores = store_snapshot();
    X509StackPtr embed = certificates_to_embed(key, stores);
    for (int i = 0; i < sk_X509_num(embed.get()); ++i)
        if (CMS_add1_cert(cms.get(), sk_X509_value(embed.get(), i)) != 1)
            return fail(KVSX_E_CRYPTO, "cannot embed a chain certificate");

    int rc = add_signed_attributes(si, digest, cades);
    if (rc == KVSX_OK) rc = sign_attributes(si, key.key.get(), md);
    if (rc == KVSX_OK && tsa_url != nullptr && *tsa_url != '\0')
        rc = add_signature_timestamp(si, current_settings(), md, tsa_url);
    if (rc != KVSX_OK) return rc;

    out = to_der(i2d_CMS_ContentInfo, cms.get());
    if (out.empty()) return fail(KVSX_E_CRYPTO, "cannot encode the signature");
    rc = self_check(out, si, key.cert.get(), md);
    if (rc != KVSX_OK) {
        out.clear();
        return rc;
    }
    log_line(LogLevel::Info, "%s signature by %s, %zu bytes, %d chain certificates",
             cades ? "CAdES" : "PKCS#7", subject_of(key.cert.get()).c_str(), out.size(),
             sk_X509_num(embed.get()));
    return KVSX_OK;
}

int create_signature(const KvsSigningParameters &params, const KvsDataObject *data, Bytes &out) {
    Settings settings = current_settings();
    const EVP_MD *md = signing_md(settings);
    if (md == nullptr) return fail(KVSX_E_UNSUPPORTED, "SHA-1 is accepted for verification only");
    if (data == nullptr) return fail(KVSX_E_INVALID_ARG, "no data to sign");
    SignerKey key;
    int rc = load_signer_key(params, key);
    if (rc != KVSX_OK) return rc;
    Bytes digest;
    rc = digest_data_chain(data, md, digest);
    if (rc != KVSX_OK) return rc;
    return sign_digest(key, md, digest, (params.flags & KVS_CADES) != 0, params.tsa_url, out);
}

} // namespace
} // namespace kvsx

struct KvsSigner {
    kvsx::SignerKey key;
};

using kvsx::fail;

extern "C" KVSX_API int kvsx_create_signature(KvsContext *ctx, const KvsSigningParameters *params,
                                              const KvsDataObject *chain, uint8_t **out,
                                              uint32_t *out_length, int32_t reserved1,
                                              int32_t reserved2) {
    (void)reserved1;
    (void)reserved2;
    return kvsx::guarded("kvsx_create_signature", [&] {
        if (out != nullptr) *out = nullptr;
        if (out_length != nullptr) *out_length = 0;
        if (params == nullptr || out == nullptr || out_length == nullptr)
            return fail(KVSX_E_INVALID_ARG, "NULL argument");
        if (ctx != nullptr && !kvsx::context_is_live(ctx))
            return fail(KVSX_E_BAD_CONTEXT, "not a live context");
        kvsx::Bytes signature;
        int rc = kvsx::create_signature(*params, chain, signature);
        if (rc != KVSX_OK) return rc;
        return kvsx::export_block(signature, out, out_length);
    });
}

extern "C" KVSX_API int kvsx_create_timestamp(KvsContext *ctx, int32_t data_length, int32_t kind,
                                              const void *data, uint8_t **out, uint32_t *out_length,
                                              const char *tsa_url, int32_t reserved) {
    (void)reserved;
    return kvsx::guarded("kvsx_create_timestamp", [&] {
        if (out != nullptr) *out = nullptr;
        if (out_length != nullptr) *out_length = 0;
        if (data == nullptr || out == nullptr || out_length == nullptr || tsa_url == nullptr ||
            *tsa_url == '\0' || data_length < -1)
            return fail(KVSX_E_INVALID_ARG, "NULL argument or bad length");
        if (ctx != nullptr && !kvsx::context_is_live(ctx))
            return fail(KVSX_E_BAD_CONTEXT, "not a live context");
        if (kind != KVS_TS_RFC3161) return fail(KVSX_E_UNSUPPORTED, "timestamp kind %d", kind);
        kvsx::Settings settings = kvsx::current_settings();
        const EVP_MD *md = kvsx::signing_md(settings);
        if (md == nullptr)
            return fail(KVSX_E_UNSUPPORTED, "SHA-1 is accepted for verification only");
        kvsx::Bytes digest;
        int rc = data_length == -1 ? kvsx::digest_file(static_cast<const char *>(data), md, digest)
                                   : kvsx::digest_bytes(md, static_cast<const uint8_t *>(data),
                                                        static_cast<size_t>(data_length), digest);
        if (rc != KVSX_OK) return rc;
        kvsx::Bytes token;
        rc = kvsx::request_timestamp(settings, tsa_url, md, digest, token);
        if (rc != KVSX_OK) return rc;
        return kvsx::export_block(token, out, out_length);
    });
}

extern "C" KVSX_API int kvsx_load_signer(const KvsSigningParameters *params, KvsSigner **out) {
    return kvsx::guarded("kvsx_load_signer", [&] {
        if (params == nullptr || out == nullptr) return fail(KVSX_E_INVALID_ARG, "NULL argument");
        *out = nullptr;
        auto signer = std::make_unique<KvsSigner>();
        int rc = kvsx::load_signer_key(*params, signer->key);
        if (rc != KVSX_OK) return rc;
        *out = signer.release();
        return KVSX_OK;
    });
}

extern "C" KVSX_API void kvsx_free_signer(KvsSigner *signer) {
    delete signer;
}

extern "C" KVSX_API int kvsx_sign_digest(KvsContext *ctx, const KvsSigner *signer,
                                         const KvsSigningParameters *params, int32_t hash_type,
                                         const uint8_t *digest, uint32_t digest_length,
                                         uint8_t **out, uint32_t *out_length) {
    return kvsx::guarded("kvsx_sign_digest", [&] {
        if (out != nullptr) *out = nullptr;
        if (out_length != nullptr) *out_length = 0;
        if (signer == nullptr || params == nullptr || digest == nullptr || out == nullptr ||
            out_length == nullptr)
            return fail(KVSX_E_INVALID_ARG, "NULL argument");
        if (ctx != nullptr && !kvsx::context_is_live(ctx))
            return fail(KVSX_E_BAD_CONTEXT, "not a live context");
        const EVP_MD *md = hash_type == KVS_HASH_SHA1 ? nullptr : kvsx::hash_md(hash_type);
        if (md == nullptr) return fail(KVSX_E_UNSUPPORTED, "hash type %d cannot sign", hash_type);
        if (digest_length != static_cast<uint32_t>(EVP_MD_get_size(md)))
            return fail(KVSX_E_INVALID_ARG, "a %s digest has %d bytes, not %u",
                        EVP_MD_get0_name(md), EVP_MD_get_size(md), digest_length);
        kvsx::Bytes value(digest, digest + digest_length), signature;
        int rc = kvsx::sign_digest(signer->key, md, value, (params->flags & KVS_CADES) != 0,
                                   params->tsa_url, signature);
        if (rc != KVSX_OK) return rc;
        return kvsx::export_block(signature, out, out_length);
    });
}
