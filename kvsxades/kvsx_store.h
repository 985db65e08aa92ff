// SPDX-License-Identifier: Apache-2.0
// The process-wide certificate, CRL and OCSP-response stores.
#ifndef KVSX_STORE_H
#define KVSX_STORE_H

#include "kvsx_ossl.h"

#include <vector>

namespace kvsx {

// A consistent copy taken under the store mutex, so verification never holds the lock
// while it fetches over the network.
struct StoreSnapshot {
    X509StackPtr anchors;        // self-issued certificates and those added as anchors
    X509StackPtr intermediates;  // every other stored certificate
    bool partial_chains = false; // an anchor is not self-issued: a chain may end at it
    std::vector<X509CrlPtr> crls;
    std::vector<Bytes> ocsp_responses; // DER OCSPResponse
};

StoreSnapshot store_snapshot();

// Keeps a CRL fetched from a distribution point for later verifications.
void store_keep_fetched_crl(X509_CRL *crl);

void store_clear_all();

bool is_self_issued(X509 *cert);

} // namespace kvsx

#endif
