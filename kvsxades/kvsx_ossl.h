// SPDX-License-Identifier: Apache-2.0
// Owning pointers for the OpenSSL objects the library uses: one alias per type, with
// the type's free function as deleter.
#ifndef KVSX_OSSL_H
#define KVSX_OSSL_H

#include "kvsx_platform.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/ess.h>
#include <openssl/evp.h>
#include <openssl/ocsp.h>
#include <openssl/pkcs12.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <new>
#include <vector>

namespace kvsx {

template <auto FreeFn> struct OsslDeleter {
    template <class T> void operator()(T *p) const { FreeFn(p); }
};

inline void free_x509_stack(STACK_OF(X509) *s) {
    sk_X509_pop_free(s, X509_free);
}
inline void free_ossl_block(unsigned char *p) {
    OPENSSL_free(p);
}
inline void free_c_text(char *p) {
    OPENSSL_free(p);
}

using BioPtr = std::unique_ptr<BIO, OsslDeleter<BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, OsslDeleter<X509_free>>;
using X509StackPtr = std::unique_ptr<STACK_OF(X509), OsslDeleter<free_x509_stack>>;
using X509CrlPtr = std::unique_ptr<X509_CRL, OsslDeleter<X509_CRL_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, OsslDeleter<X509_STORE_free>>;
using X509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, OsslDeleter<X509_STORE_CTX_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OsslDeleter<EVP_PKEY_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OsslDeleter<EVP_PKEY_CTX_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, OsslDeleter<EVP_MD_CTX_free>>;
using EvpEncodeCtxPtr = std::unique_ptr<EVP_ENCODE_CTX, OsslDeleter<EVP_ENCODE_CTX_free>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, OsslDeleter<CMS_ContentInfo_free>>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, OsslDeleter<PKCS12_free>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, OsslDeleter<PKCS7_free>>;
using OcspResponsePtr = std::unique_ptr<OCSP_RESPONSE, OsslDeleter<OCSP_RESPONSE_free>>;
using OcspBasicPtr = std::unique_ptr<OCSP_BASICRESP, OsslDeleter<OCSP_BASICRESP_free>>;
using OcspRequestPtr = std::unique_ptr<OCSP_REQUEST, OsslDeleter<OCSP_REQUEST_free>>;
using OcspCertIdPtr = std::unique_ptr<OCSP_CERTID, OsslDeleter<OCSP_CERTID_free>>;
using TsReqPtr = std::unique_ptr<TS_REQ, OsslDeleter<TS_REQ_free>>;
using TsRespPtr = std::unique_ptr<TS_RESP, OsslDeleter<TS_RESP_free>>;
using TsTstInfoPtr = std::unique_ptr<TS_TST_INFO, OsslDeleter<TS_TST_INFO_free>>;
using TsMsgImprintPtr = std::unique_ptr<TS_MSG_IMPRINT, OsslDeleter<TS_MSG_IMPRINT_free>>;
using X509AlgorPtr = std::unique_ptr<X509_ALGOR, OsslDeleter<X509_ALGOR_free>>;
using Asn1IntegerPtr = std::unique_ptr<ASN1_INTEGER, OsslDeleter<ASN1_INTEGER_free>>;
using Asn1TimePtr = std::unique_ptr<ASN1_TIME, OsslDeleter<ASN1_TIME_free>>;
using EssCertV1Ptr = std::unique_ptr<ESS_SIGNING_CERT, OsslDeleter<ESS_SIGNING_CERT_free>>;
using EssCertV2Ptr = std::unique_ptr<ESS_SIGNING_CERT_V2, OsslDeleter<ESS_SIGNING_CERT_V2_free>>;
using DistPointsPtr = std::unique_ptr<CRL_DIST_POINTS, OsslDeleter<CRL_DIST_POINTS_free>>;
using AuthInfoPtr = std::unique_ptr<AUTHORITY_INFO_ACCESS, OsslDeleter<AUTHORITY_INFO_ACCESS_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, OsslDeleter<BN_free>>;
using OsslBlockPtr = std::unique_ptr<unsigned char, OsslDeleter<free_ossl_block>>;
using OsslTextPtr = std::unique_ptr<char, OsslDeleter<free_c_text>>;

using Bytes = std::vector<uint8_t>;

// A new reference to x (the caller's reference stays).
inline X509Ptr up_ref(X509 *x) {
    if (x == nullptr || X509_up_ref(x) != 1) return X509Ptr();
    return X509Ptr(x);
}

inline X509StackPtr new_x509_stack() {
    X509StackPtr stack(sk_X509_new_null());
    if (!stack) throw std::bad_alloc();
    return stack;
}

// Appends a new reference to cert (the caller keeps its own).
inline void push_ref(STACK_OF(X509) *stack, X509 *cert) {
    if (X509_up_ref(cert) != 1) throw std::bad_alloc();
    if (sk_X509_push(stack, cert) <= 0) {
        X509_free(cert);
        throw std::bad_alloc();
    }
}

// DER of any i2d-encodable object; empty on failure.
template <class T> Bytes to_der(int (*i2d)(T *, unsigned char **), T *obj) {
    unsigned char *der = nullptr;
    int len = obj != nullptr ? i2d(obj, &der) : -1;
    if (len <= 0) return Bytes();
    OsslBlockPtr owner(der);
    return Bytes(der, der + len);
}

template <class T> Bytes to_der(int (*i2d)(const T *, unsigned char **), const T *obj) {
    unsigned char *der = nullptr;
    int len = obj != nullptr ? i2d(obj, &der) : -1;
    if (len <= 0) return Bytes();
    OsslBlockPtr owner(der);
    return Bytes(der, der + len);
}

// Seconds since the epoch for an ASN.1 UTCTime/GeneralizedTime.
inline bool to_unix_time(const ASN1_TIME *t, int64_t &out) {
    struct tm tm_utc {};
    if (t == nullptr || ASN1_TIME_to_tm(t, &tm_utc) != 1) return false;
    out = os_timegm(&tm_utc);
    return true;
}

} // namespace kvsx

#endif
