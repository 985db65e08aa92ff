// SPDX-License-Identifier: Apache-2.0
// The face of the PDF library towards the signing library kvsxades, and the operations
// the long-term-validation code needs of it.
#ifndef KVPDF_PDF_CRYPTO_KVSXADES_H
#define KVPDF_PDF_CRYPTO_KVSXADES_H

#include "pdf_document.h"

#include <cstdint>

namespace kvpdf {

// The signer chain of the context's last verification, as a host-owned copy, with its
// counts: nodes with a certificate, a CRL, an OCSP response. Returns the library's code.
[[nodiscard]] int32_t CryptoSignerChain(void *context, CertDataChain **out, uint32_t *certs,
                                        uint32_t *crls, uint32_t *ocsps);
// The timestamps of the last verification with their chains, and the counts over all
// the chains (nodes counts timestamps plus chain nodes). Returns the library's code.
[[nodiscard]] int32_t CryptoTimestampChain(void *context, TSChain **out, uint32_t *nodes,
                                           uint32_t *certs, uint32_t *crls, uint32_t *ocsps);
// The time of the first timestamp of the last verification, or 0.
[[nodiscard]] int64_t CryptoFirstTimestampTime(void *context);
// 1 when the certificate (length -1: a path, trimmed) names itself as its issuer.
[[nodiscard]] int CryptoSelfIssued(const void *bytes, int32_t length);
// The digest of bytes (SHA-256: the hash type is set to 0 first), a block of the
// signing library freed with KvPDF_FreeData; NULL on failure.
[[nodiscard]] uint8_t *CryptoDigest(const void *bytes, uint32_t length, uint32_t *out_length);

// Verifies a detached CMS over bytes [0, first) and [second, second + second_length) of
// the file at path, streamed from it, at the given time (0: now or the signature's
// timestamp). 1 valid, 0 not.
[[nodiscard]] int32_t CryptoVerifyFileRanges(void *context, const char *path, uint32_t first,
                                             uint32_t second, uint32_t second_length,
                                             const uint8_t *signature, uint32_t length,
                                             uint32_t time_low, int32_t time_high);

} // namespace kvpdf

#endif
