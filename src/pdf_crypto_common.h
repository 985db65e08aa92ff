// SPDX-License-Identifier: Apache-2.0
// The host's certificate, CRL and OCSP stores, per handle and process-wide, and the
// free functions of the records handed to the host.
#ifndef KVPDF_PDF_CRYPTO_COMMON_H
#define KVPDF_PDF_CRYPTO_COMMON_H

#include "pdf_document.h"

namespace kvpdf {

struct CertStoreEntry {
    uint8_t *data;
    int32_t length;      // as the host gave it
    int32_t no_length;   // 1 when the length given was 0
    int32_t self_issued; // -1 not yet tested, else the test's result
    CertStoreEntry *next;
};

struct RevocationStoreEntry {
    uint8_t *data;
    int32_t length;
    int32_t no_length;
    int32_t kind; // 0 CRL, 1 OCSP response
    RevocationStoreEntry *next;
};

struct StoreHeads {
    CertStoreEntry **certs;
    RevocationStoreEntry **crls;
    RevocationStoreEntry **ocsps;
};

enum : uint32_t { kStoreCerts = 1, kStoreCrls = 2, kStoreOcsps = 4, kStoreAll = 7 };

// The heads of a handle's stores, or without one the process-wide ones.
[[nodiscard]] StoreHeads StoresOf(HostStores *stores);
// Empties the chosen stores of a handle, or without one the process-wide ones.
void CleanStores(HostStores *stores, uint32_t which);
// A copy of a chain of the signing library, made with the tracked allocator; NULL for
// an empty chain, or when memory is short (never a part of the chain).
[[nodiscard]] CertDataChain *CopyCertDataChain(const void *library_chain);

} // namespace kvpdf

#endif
