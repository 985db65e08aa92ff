// SPDX-License-Identifier: Apache-2.0
// The kvsxades tests' fixture.
#ifndef KVSX_FIXTURE_H
#define KVSX_FIXTURE_H

#include "kvsxades.h"
#include "kvtest.h"

#include <openssl/err.h>
#include <openssl/rand.h>

namespace kvtest {

// Library state reset per test, a private folder and log, the shared PKI and servers; the
// root CA is the only stored certificate, and data_ is a 200 KB random file.
class PkiTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(kvsx_global_init(0), KVSX_OK);
        ASSERT_EQ(kvsx_set_log(log_path_.c_str(), 0, KVS_LOG_DEBUG), KVSX_OK);
        ASSERT_EQ(kvsx_set_http_timeout(10), KVSX_OK);
        ASSERT_EQ(kvsx_init(&ctx_), KVSX_OK);
        world().SetTsaMode(TsaMode::Normal);
        world().SetOcspMode(OcspMode::Normal);
        ASSERT_EQ(kvsx_add_cert(pki().root.pem.c_str(), -1), KVSX_OK);
        std::string random(size_t{200} * 1024, '\0');
        ASSERT_EQ(RAND_bytes(reinterpret_cast<unsigned char *>(&random[0]), int(random.size())), 1);
        WriteFile(data_, random);
    }
    void TearDown() override {
        EXPECT_EQ(kvsx_cleanup(ctx_), KVSX_OK);
        kvsx_global_cleanup();
        // Every failure drains OpenSSL's queue: nothing may be left for the host to trip on.
        EXPECT_EQ(ERR_peek_error(), 0ul);
    }
    std::string work(const std::string &name) const { return dir_.file(name); }
    // The log lines written since the last call.
    std::string NewLogLines() {
        std::string text = ReadFile(log_path_);
        std::string fresh = text.substr(std::min(log_seen_, text.size()));
        log_seen_ = text.size();
        return fresh;
    }
    World &world() { return World::Get(); }
    Pki &pki() { return world().pki(); }

    static KvsSigningParameters P12(const Entity &e, uint32_t flags = KVS_CADES,
                                    const char *tsa_url = nullptr) {
        return {e.p12.c_str(), Pki::kPassword, nullptr, tsa_url, flags};
    }
    static KvsDataObject FileItem(const std::string &path) {
        KvsDataObject item{};
        item.data = path.c_str();
        item.length = -1;
        item.content_type = "application/pdf";
        return item;
    }
    // kvsx_create_signature over one item (the file by default); the signature lands in sig.
    int Sign(const KvsSigningParameters &params, std::string &sig,
             const KvsDataObject *item = nullptr) {
        KvsDataObject file = FileItem(data_);
        uint8_t *out = nullptr;
        uint32_t length = 0;
        int rc = kvsx_create_signature(ctx_, &params, item ? item : &file, &out, &length, 0, 0);
        sig = Str(out, length);
        EXPECT_TRUE(rc == KVSX_OK || out == nullptr);
        kvsx_free(out);
        return rc;
    }
    std::string Signed(const KvsSigningParameters &params) { // a signing that must succeed
        std::string sig;
        EXPECT_EQ(Sign(params, sig), KVSX_OK);
        return sig;
    }
    // kvsx_verify_signature of sig over a file, the way the PDF library calls it.
    int Verify(const std::string &sig, const std::string &file, int64_t when = 0,
               std::string *report = nullptr) {
        KvsDataObject item = FileItem(file);
        char *text = nullptr;
        auto t = static_cast<uint64_t>(when);
        int rc = kvsx_verify_signature(ctx_, &item, U8(sig), uint32_t(sig.size()), uint32_t(t),
                                       int32_t(t >> 32), &text);
        if (report) *report = text ? text : "";
        kvsx_free(text);
        return rc;
    }
    struct Node {
        std::string cert, crl, ocsp;
        int32_t revocation;
        std::string note;
    };
    static std::vector<Node> Nodes(const KvsCertDataChain *list) {
        std::vector<Node> nodes;
        for (const KvsCertDataChain *n = list; n; n = n->next)
            nodes.push_back({Str(n->cert, n->cert_length), Str(n->crl, n->crl_length),
                             Str(n->ocsp, n->ocsp_length), n->revocation, n->revocation_note});
        return nodes;
    }
    // The chain of the context's last verification.
    std::vector<Node> SignerChain() {
        KvsCertDataChain *list = nullptr;
        EXPECT_EQ(kvsx_get_signer_chain(ctx_, &list), KVSX_OK);
        std::vector<Node> nodes = Nodes(list);
        kvsx_free_cert_data_chain(list);
        return nodes;
    }

    TempDir dir_;
    std::string log_path_ = dir_.file("kvsx.log"), data_ = dir_.file("data.bin");
    size_t log_seen_ = 0;
    KvsContext *ctx_ = nullptr;
};

} // namespace kvtest

#endif
