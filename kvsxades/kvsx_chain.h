// SPDX-License-Identifier: Apache-2.0
// Certificate path validation against the stores, with revocation checking that
// records the CRL or OCSP response that settled each certificate.
#ifndef KVSX_CHAIN_H
#define KVSX_CHAIN_H

#include "kvsx_context.h"
#include "kvsx_ossl.h"
#include "kvsx_store.h"

#include <string>
#include <vector>

namespace kvsx {

struct ChainRequest {
    X509 *leaf = nullptr;
    STACK_OF(X509) *untrusted = nullptr; // certificates carried by the signature or token
    int64_t when = 0;                    // validation time
    int purpose = 0;                     // X509_PURPOSE_*, 0 = none
    bool signing_key_usage = false;      // leaf keyUsage must allow signatures
    const char *label = "certificate";   // for log lines
};

// Validates req.leaf and fills chain (leaf first, trust anchor last; partial when the
// path cannot be built). Returns KVSX_OK, KVSX_UNTRUSTED, KVSX_EXPIRED, KVSX_REVOKED,
// KVSX_CHAIN_INVALID or a negative code.
int validate_chain(const ChainRequest &req, const StoreSnapshot &stores, const Settings &settings,
                   std::vector<CertRecord> &chain);

// RFC 2253 text (UTF-8, not escaped to hex) of a name, and of a certificate's subject.
std::string name_text(const X509_NAME *name);
std::string subject_of(X509 *cert);

// ISO 8601 UTC text of a time, e.g. 2026-12-05T10:00:00Z.
std::string time_text(int64_t when);

} // namespace kvsx

#endif
