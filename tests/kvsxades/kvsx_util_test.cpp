// SPDX-License-Identifier: Apache-2.0
// Certificate information, stores, digests, Base64, the log and contexts.
#include "kvsx_fixture.h"

#include <openssl/err.h>
#include <openssl/ocsp.h>

extern "C" int kvsx_c_api_problems(void);

namespace kvtest {
namespace {

using Certificates = PkiTest;
using Stores = PkiTest;
using Utilities = PkiTest;
using Contexts = PkiTest;

std::string iso(time_t t) {
    char text[32];
    struct tm tm_utc {};
    gmtime_r(&t, &tm_utc);
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm_utc);
    return text;
}

TEST_F(Certificates, ParseGivesNamesSerialDatesAndConstraints) {
    const std::string der = pki().signer.CertDer();
    KvsCertificateInfo info;
    ASSERT_EQ(kvsx_parse_certificate(der.data(), static_cast<int32_t>(der.size()), &info), KVSX_OK);
    EXPECT_STREQ(info.subject, "CN=Teszt Al\xc3\xa1\xc3\xadr\xc3\xb3,O=kvsx test,C=HU");
    EXPECT_STREQ(info.issuer, "CN=kvsx Test Issuing CA,O=kvsx test,C=HU");
    EXPECT_STREQ(info.serial, "1A2B3C");
    EXPECT_EQ(info.not_before, iso(pki().created - 86400));
    EXPECT_EQ(info.not_after, iso(pki().created + 365L * 86400));
    EXPECT_EQ(info.key_usage, static_cast<uint32_t>(KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION));
    EXPECT_EQ(info.is_ca, 0);
    EXPECT_EQ(info.path_length, -1);
    EXPECT_EQ(info.signature_nid, NID_ecdsa_with_SHA256);
    kvsx_release_certificate(&info);
    EXPECT_EQ(info.subject, nullptr);

    ASSERT_EQ(kvsx_parse_certificate(pki().inter.pem.c_str(), -1, &info), KVSX_OK);
    EXPECT_EQ(info.is_ca, 1);
    EXPECT_EQ(info.path_length, 0);
    EXPECT_EQ(info.key_usage, static_cast<uint32_t>(KU_KEY_CERT_SIGN | KU_CRL_SIGN));
    kvsx_release_certificate(&info);

    ASSERT_EQ(kvsx_parse_certificate(ReadFile(pki().root.pem).c_str(), 0, &info), KVSX_OK);
    EXPECT_STREQ(info.subject, info.issuer);
    EXPECT_EQ(info.path_length, -1);
    kvsx_release_certificate(&info);

    EXPECT_EQ(kvsx_parse_certificate(der.data(), 40, &info), KVSX_E_BAD_CERT);
    EXPECT_EQ(info.subject, nullptr);
    EXPECT_EQ(kvsx_parse_certificate(work("none.pem").c_str(), -1, &info), KVSX_E_IO);
    EXPECT_EQ(kvsx_parse_certificate(der.data(), -7, &info), KVSX_E_INVALID_ARG);
    EXPECT_EQ(kvsx_parse_certificate(der.data(), static_cast<int32_t>(der.size()), nullptr),
              KVSX_E_INVALID_ARG);
    kvsx_release_certificate(nullptr);
}

TEST_F(Stores, AddCallsTakeDerPemTextAndFilesAndRefuseGarbage) {
    kvsx_clean_stores();
    const std::string signer = pki().signer.CertDer();
    const auto signer_len = static_cast<int32_t>(signer.size());
    EXPECT_EQ(kvsx_verify_cert_chain(signer.data(), signer_len, 0), KVSX_UNTRUSTED);
    const std::string both = ReadFile(pki().root.pem) + ReadFile(pki().inter.pem);
    EXPECT_EQ(kvsx_add_cert(both.c_str(), 0), KVSX_OK) << "several PEM blocks in one text";
    EXPECT_EQ(kvsx_add_cert(both.c_str(), 0), KVSX_OK) << "duplicates are ignored";
    EXPECT_EQ(kvsx_verify_cert_chain(signer.data(), signer_len, 0), KVSX_OK);

    struct Case {
        const char *what;
        int (*add)(const void *, int32_t);
        const void *data;
        int32_t length;
        int code;
    };
    const std::string junk(64, 0x17);
    Ptr<OCSP_RESPONSE, OCSP_RESPONSE_free> try_later(
        OCSP_response_create(OCSP_RESPONSE_STATUS_TRYLATER, nullptr));
    const std::string later = Der(i2d_OCSP_RESPONSE, try_later.get());
    std::string missing = work("missing.der");
    const Case cases[] = {
        {"cert junk", kvsx_add_cert, junk.data(), 64, KVSX_E_BAD_CERT},
        {"cert missing file", kvsx_add_cert, missing.c_str(), -1, KVSX_E_IO},
        {"cert bad length", kvsx_add_cert, signer.data(), -3, KVSX_E_INVALID_ARG},
        {"cert NULL", kvsx_add_cert, nullptr, 5, KVSX_E_INVALID_ARG},
        {"certificate as CRL", kvsx_add_crl, signer.data(), signer_len, KVSX_E_BAD_DATA},
        {"CRL junk text", kvsx_add_crl, "-----BEGIN X509 CRL-----\nAAAA\n", 0, KVSX_E_BAD_DATA},
        {"OCSP tryLater", kvsx_add_ocsp, later.data(), static_cast<int32_t>(later.size()),
         KVSX_E_BAD_DATA},
        {"OCSP junk", kvsx_add_ocsp, junk.data(), 64, KVSX_E_BAD_DATA},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        NewLogLines();
        EXPECT_EQ(c.add(c.data, c.length), c.code);
        EXPECT_NE(NewLogLines().find(kvsx_code_text(c.code)), std::string::npos);
    }
    kvsx_clean_stores();
    EXPECT_EQ(kvsx_verify_cert_chain(signer.data(), signer_len, 0), KVSX_UNTRUSTED);
    EXPECT_EQ(kvsx_verify_cert_chain(junk.data(), 64, 0), KVSX_E_BAD_CERT);
    EXPECT_EQ(kvsx_verify_cert_chain(nullptr, 10, 0), KVSX_E_INVALID_ARG);
    EXPECT_EQ(kvsx_verify_cert_chain(signer.data(), signer_len, INT64_MAX), KVSX_E_INVALID_ARG);
}

TEST_F(Utilities, Base64DecodesAndRefusesJunk) {
    uint8_t *out = nullptr;
    uint32_t length = 0;
    const struct {
        const char *text;
        uint32_t length;
        int rc;
        const char *decoded;
    } cases[] = {
        {"SGVsbG8sIFdvcmxkIQ==", 0, KVSX_OK, "Hello, World!"},
        {"SGVs\nbG8s IFdv\r\ncmxkIQ==", 0, KVSX_OK, "Hello, World!"},
        {"SGVsbG8sIFdvcmxkIQ==", 8, KVSX_OK, "Hello,"}, // the length limits the text
        {"", 0, KVSX_OK, ""},
        {"SGV*bG8s", 0, KVSX_E_BASE64, ""},
        {"SGVsbG8", 0, KVSX_E_BASE64, ""},
        {nullptr, 0, KVSX_E_INVALID_ARG, ""},
    };
    for (const auto &c : cases) {
        out = reinterpret_cast<uint8_t *>(&length); // must be reset
        EXPECT_EQ(kvsx_base64_decode(c.text, c.length, &length, &out), c.rc);
        EXPECT_TRUE(c.rc == KVSX_OK || out == nullptr);
        EXPECT_EQ(c.rc == KVSX_OK ? Str(out, length) : "", c.decoded);
        if (c.rc == KVSX_OK) kvsx_free(out);
    }
}

TEST_F(Utilities, LogKeepsFailuresAndOpensslErrorsButNoStaleOnesAndCodesHaveTexts) {
    const std::string junk(80, 0x30);
    EXPECT_EQ(kvsx_add_cert(junk.data(), 80), KVSX_E_BAD_CERT);
    EXPECT_EQ(ERR_peek_error(), 0ul) << "the failure drained OpenSSL's queue";
    std::string lines = NewLogLines();
    EXPECT_NE(lines.find("ERROR kvsx_add_cert: no certificate"), std::string::npos) << lines;
    EXPECT_NE(lines.find("ERROR kvsx_add_cert: openssl: error:"), std::string::npos) << lines;

    ERR_raise(ERR_LIB_USER, 42); // left behind by someone else
    uint8_t *out = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(kvsx_digest("x", 1, &out, &length), KVSX_OK);
    kvsx_free(out);
    EXPECT_EQ(NewLogLines().find("ERROR"), std::string::npos);

    EXPECT_EQ(kvsx_set_log(work("no/such/dir/kvsx.log").c_str(), 0, 0), KVSX_E_IO);
    EXPECT_EQ(kvsx_set_log(log_path_.c_str(), 0, 3), KVSX_E_INVALID_ARG);
    EXPECT_NE(NewLogLines().find("KVSX_E_IO"), std::string::npos) << "the old log stays open";
    ASSERT_EQ(kvsx_set_log(nullptr, 0, 0), KVSX_OK);
    EXPECT_EQ(kvsx_add_cert(junk.data(), 80), KVSX_E_BAD_CERT);
    EXPECT_EQ(NewLogLines(), "");
    for (int code = KVSX_E_INTERNAL; code <= KVSX_CHAIN_INVALID; ++code)
        EXPECT_EQ(std::string(kvsx_code_text(code)).rfind("KVSX_", 0), 0u) << code;
    EXPECT_STREQ(kvsx_code_text(KVSX_CHAIN_INVALID + 1), "unknown kvsxades code");
}

TEST_F(Contexts, LifecycleAndStaleHandles) {
    EXPECT_EQ(kvsx_init(nullptr), KVSX_E_INVALID_ARG);
    KvsContext *second = nullptr;
    ASSERT_EQ(kvsx_init(&second), KVSX_OK);
    KvsCertDataChain *chain = reinterpret_cast<KvsCertDataChain *>(second); // must be reset
    EXPECT_EQ(kvsx_get_signer_chain(second, &chain), KVSX_OK);
    EXPECT_EQ(chain, nullptr);
    EXPECT_EQ(kvsx_cleanup(second), KVSX_OK);
    for (KvsContext *stale : {second, static_cast<KvsContext *>(nullptr)}) {
        EXPECT_EQ(kvsx_cleanup(stale), KVSX_E_BAD_CONTEXT);
        EXPECT_EQ(kvsx_get_signer_chain(stale, &chain), KVSX_E_BAD_CONTEXT);
    }
    kvsx_free_cert_data_chain(nullptr);
    kvsx_free_timestamp_infos(nullptr);
    EXPECT_EQ(kvsx_set_http_timeout(0), KVSX_E_INVALID_ARG);
    EXPECT_EQ(kvsx_set_proxy("bad proxy"), KVSX_E_INVALID_ARG);
}

TEST(CApi, HeaderCompilesAsCWithTheWordLayout) {
    EXPECT_EQ(kvsx_c_api_problems(), 0);
}

} // namespace
} // namespace kvtest
