// SPDX-License-Identifier: Apache-2.0
// Feeding the signing library's stores before a verification, and the digest test that
// keeps the Document Security Store free of repeats.
#ifndef KVPDF_PDF_PADES_CRYPTO_H
#define KVPDF_PDF_PADES_CRYPTO_H

#include "pdf_document.h"

#include <cstdint>

namespace kvpdf {

struct DssArray;

// The host's certificates, CRLs and OCSP responses of doc (NULL: the process-wide
// ones): 0, or -153, -152, -154 for the first kind the library refused.
[[nodiscard]] int32_t LoadHostStores(PdfDocument *doc);
// Only the host's self-issued certificates (the trust anchors), each tested once.
// 0, or the library's code of the first refused.
int32_t LoadSelfIssuedCerts(PdfDocument *doc);
// The host's trust anchors and one revision's DSS, without the DSS's self-issued
// certificates: 0, -153, -152 or -154.
[[nodiscard]] int32_t LoadRevisionDss(PdfDocument *doc, const DssInfo *dss);
// 1 when an entry of array has the digest of data; caches each entry's digest.
[[nodiscard]] int DssHasDuplicate(const uint8_t *data, uint32_t length, DssArray *array);

} // namespace kvpdf

#endif
