// SPDX-License-Identifier: Apache-2.0
// Process-wide settings, the context record and the outcome of a verification.
#ifndef KVSX_CONTEXT_H
#define KVSX_CONTEXT_H

#include "kvsx_ossl.h"
#include "kvsxades.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace kvsx {

struct Settings {
    int grace_seconds = 86400;
    bool use_cdp = false;
    int hash_type = KVS_HASH_SHA256;
    std::string proxy; // empty = direct
    int http_timeout = 20;
};

Settings current_settings();

// EVP digest for a KVS_HASH_* value, nullptr for an unknown one.
const EVP_MD *hash_md(int hash_type);

// One certificate of a validated chain with the revocation data that settled it.
struct CertRecord {
    Bytes cert;
    Bytes crl;
    Bytes ocsp;
    int32_t revocation = KVS_REVOCATION_NOT_CHECKED;
    std::string note; // why the status was not checked
};

struct TimestampRecord {
    int64_t time = 0;
    Bytes token;
    std::vector<CertRecord> chain;
};

struct VerifyOutcome {
    std::vector<CertRecord> signer_chain;
    std::vector<TimestampRecord> timestamps;
};

bool context_is_live(const KvsContext *ctx);

// Verification times a host may give: 1970 up to the end of year 9999 (0 = now).
constexpr int64_t kLatestTime = 253402300799;

} // namespace kvsx

struct KvsContext {
    std::mutex lock;
    kvsx::VerifyOutcome last;
};

#endif
