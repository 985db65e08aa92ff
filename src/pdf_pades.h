// SPDX-License-Identifier: Apache-2.0
// The Document Security Store kept in memory: one record per revision that defines
// it, with its certificate, CRL and OCSP arrays.
#ifndef KVPDF_PDF_PADES_H
#define KVPDF_PDF_PADES_H

#include "pdf_document.h"

#include <cstdint>

namespace kvpdf {

enum : int32_t { kDssCerts = 1, kDssCrls = 2, kDssOcsps = 3 };

struct DssEntry {
    uint32_t object_number; // stream object, 0 until one is assigned
    uint8_t *data;
    uint32_t length;
    uint8_t *digest; // cached digest, NULL until computed
    uint32_t digest_length;
    int32_t is_new; // added since the document was read: written as a stream
};

struct DssArray {
    int32_t object_number; // > 0 its own object; 0 inline in the dictionary; -1 to create
    uint32_t count;
    int32_t changed;
    DssEntry *entries;
};

struct DssInfo {
    uint32_t object_number; // the DSS dictionary, 0 while it has none
    int32_t changed;
    uint32_t crl_count;
    uint32_t cert_count;
    uint32_t ocsp_count;
    DssArray *arrays[3]; // Certs, CRLs, OCSPs (kind - 1)
};

[[nodiscard]] DssInfo *DssNewInfo();
// The array of a kind; created when create is set. An array met while reading the
// document (existing) is already in it; any other is new and must be written.
[[nodiscard]] DssArray *DssGetArray(DssInfo *info, int32_t kind, int create, bool existing);
// Appends an entry; the array takes ownership of data. Returns 1, 0 when memory is short.
[[nodiscard]] int DssAppendEntry(DssArray *array, uint32_t object_number, uint8_t *data,
                                 uint32_t length, int32_t is_new);
void FreeDssInfo(DssInfo **info);

// One block collected for the DSS; data is a tracked block owned by the holder.
struct DataBlock {
    uint8_t *data;
    uint32_t length;
};

// Adds the blocks of one kind that the DSS does not hold yet (by digest), creating the
// DSS and the array as needed; takes every block's data. The number added, or -90 when
// memory is short.
[[nodiscard]] int32_t DssAddBlocks(ParsedDocument &p, DataBlock *blocks, uint32_t count,
                                   int32_t kind);
// Writes the new DSS streams, the changed arrays and, when it changed, the dictionary
// into the update. 1, or 0 with *err set.
[[nodiscard]] int WriteDssObjects(UpdateWriter &w, DssInfo *info, int32_t *err);
// After a successful write: nothing in info is new or changed any more.
void DssMarkWritten(DssInfo *info);

} // namespace kvpdf

#endif
