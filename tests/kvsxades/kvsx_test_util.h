// Fixtures and helpers shared by the kvsxades tests.
#ifndef KVSX_TEST_UTIL_H
#define KVSX_TEST_UTIL_H

#include "kvsxades.h"
#include "test_servers.h"

#include <openssl/cms.h>

#include <gtest/gtest.h>

#include <string>

namespace kvsx_test {

// Library state reset per test; a private work directory and log file.
class KvsxTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string work(const std::string &name) const { return dir_ + "/" + name; }
    std::string log_text() const;
    // The log lines written since the last call.
    std::string new_log_lines();

    KvsContext *ctx_ = nullptr;
    std::string dir_;
    std::string log_path_;
    size_t log_seen_ = 0;
};

// As KvsxTest, with the shared PKI and servers; the root CA is the only stored
// certificate, and data_ is a 200 KB random file.
class PkiTest : public KvsxTest {
protected:
    void SetUp() override;

    TestWorld &world() { return TestWorld::get(); }
    TestPki &pki() { return world().pki(); }

    static KvsSigningParameters p12(const Entity &e, uint32_t flags = KVS_CADES,
                                    const char *tsa_url = nullptr);
    static KvsDataObject file_item(const std::string &path);

    // kvsx_create_signature over one file item; the signature lands in sig.
    int sign(const KvsSigningParameters &params, const std::string &file, Bytes &sig);
    // kvsx_verify_signature of sig over the file, the way the PDF library calls it.
    int verify(const Bytes &sig, const std::string &file, int64_t when = 0,
               std::string *report = nullptr);
    // Chain of the context's last verification, copied out of the library's list.
    struct Node {
        Bytes cert, crl, ocsp;
    };
    std::vector<Node> signer_chain();

    std::string data_;
};

struct CmsFree {
    void operator()(CMS_ContentInfo *p) const { CMS_ContentInfo_free(p); }
};
using CmsPtr = std::unique_ptr<CMS_ContentInfo, CmsFree>;

CmsPtr parse_cms(const Bytes &der);
Bytes encode_cms(CMS_ContentInfo *cms);
CMS_SignerInfo *first_signer(CMS_ContentInfo *cms);
// The DER token of the first signature-time-stamp attribute, empty when there is none.
Bytes signature_token(CMS_SignerInfo *si);
// The same token with one byte of its signature value flipped.
Bytes corrupt_token_signature(const Bytes &token);
Bytes sha256(const Bytes &data);
Bytes concat_files(const std::vector<std::string> &paths);

} // namespace kvsx_test

#endif
