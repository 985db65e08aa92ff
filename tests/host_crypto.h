// The tests' stand-in for the application that hosts the library: keys, certificates,
// CMS signatures and RFC 3161 timestamp tokens made with OpenSSL directly, so that what
// the library writes is checked against signatures it had no part in making.
#ifndef KVPDF_TESTS_HOST_CRYPTO_H
#define KVPDF_TESTS_HOST_CRYPTO_H

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>

namespace kvtest {

template <auto Free> struct OsslFree {
    template <typename T> void operator()(T *p) const { Free(p); }
};
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OsslFree<EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, OsslFree<X509_free>>;

// A private key with its certificate. All functions here throw std::runtime_error,
// carrying OpenSSL's error queue, when OpenSSL refuses.
struct TestKey {
    EvpPkeyPtr key;
    X509Ptr cert;

    EVP_PKEY *pkey() const { return key.get(); }
    X509 *x509() const { return cert.get(); }
    std::string KeyPem() const; // unencrypted PKCS#8
    std::string CertPem() const;
    std::string CertDer() const;
};

// RSA-2048, self-signed, subject "CN=<common_name>,O=kvpdf tests", valid from an hour ago
// for ten years, keyUsage digitalSignature + nonRepudiation.
TestKey MakeTestKey(const std::string &common_name = "kvpdf test signer");

// A timestamping authority: a self-signed root and the TSA certificate it issued
// (critical extendedKeyUsage timeStamping, as RFC 3161 requires).
struct TestTsa {
    TestKey root;
    TestKey signer;
};
TestTsa MakeTestTsa();

// Bytes [0,a) followed by [b,b+c) of a file: what a /ByteRange [0 a b c] covers.
std::string ReadRanges(const std::string &path, uint64_t a, uint64_t b, uint64_t c);

// DER of a detached CMS SignedData over data: SHA-256, RSA PKCS#1 v1.5, the signer's
// certificate embedded. cades=false: content-type, message-digest and signingTime (an
// adbe.pkcs7.detached signature). cades=true: content-type, message-digest and
// signing-certificate-v2, without signingTime (ETSI.CAdES.detached, baseline B).
std::string SignDetachedCms(const std::string &data, const TestKey &key, bool cades);

// DER of an RFC 3161 TimeStampToken (the SignedData ContentInfo, not the TimeStampResp)
// over SHA-256 of data, with the TSA and root certificates embedded, policy 1.2.3.4.1
// and signing-certificate-v2.
std::string MakeTimestampToken(const std::string &data, const TestTsa &tsa);

// "" when token is a TimeStampToken over SHA-256 of data whose signature holds and whose
// TSA certificate chains to tsa.root; otherwise OpenSSL's reasons. pdfsig 22.12 cannot
// validate document timestamps, so this is the tests' check of them.
std::string VerifyTimestampToken(const std::string &token, const std::string &data,
                                 const TestTsa &tsa);

std::string Hex(const std::string &der); // lower case
// Hex digits to bytes, e.g. a /Contents value; its zero padding stays as trailing zero
// bytes, which DER parsers ignore.
std::string Unhex(const std::string &hex);

std::string Sha256(const std::string &data);

} // namespace kvtest

#endif
