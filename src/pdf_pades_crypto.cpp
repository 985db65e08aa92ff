// SPDX-License-Identifier: Apache-2.0
// Which certificates, CRLs and OCSP responses the signing library gets before a
// verification, and whether a collected block is already in the Document Security Store.
#include "pdf_pades_crypto.h"

#include "pdf_crypto_common.h"
#include "pdf_crypto_kvsxades.h"
#include "pdf_error.h"
#include "pdf_mem.h"
#include "pdf_pades.h"

#include "kvsxades.h"

#include <cstring>

#define KV_UNIT "../src/pdf_pades_crypto.cpp"

namespace kvpdf {
namespace {

// A handle's store when it has entries, else the process-wide one; doc is NULL for the
// process-wide set.
template <typename Entry> Entry *ChosenStore(PdfDocument *doc, Entry **StoreHeads::*member) {
    if (doc) {
        Entry *own = *(StoresOf(&doc->stores).*member);
        if (own) return own;
    }
    return *(StoresOf(nullptr).*member);
}

int32_t Refused(PdfDocument *doc, int32_t code) {
    if (doc) KV_ERROR(doc, code);
    return code;
}

// Gives the entries of a host store that pass keep to the library: the library's code
// of the first one refused (recorded as failure with a handle), else 0.
template <typename Entry>
int32_t GiveStore(PdfDocument *doc, Entry *first, int (*add)(const void *, int32_t),
                  int32_t failure, bool (*keep)(Entry &)) {
    for (Entry *e = first; e; e = e->next) {
        if (!keep(*e)) continue;
        const int rc = add(e->data, e->length);
        if (rc != KVSX_OK) {
            (void)Refused(doc, failure);
            return rc;
        }
    }
    return 0;
}

template <typename Entry> bool Every(Entry &) {
    return true;
}

// The self-issued test runs once per entry; its result is kept in the entry.
bool SelfIssuedEntry(CertStoreEntry &e) {
    if (e.self_issued == -1) e.self_issued = CryptoSelfIssued(e.data, e.length);
    return e.self_issued == 1;
}

// A host store chosen by the handle value, given whole to the library.
template <typename Entry>
int32_t UseStore(KvPdfHandle handle, Entry **StoreHeads::*member, int (*add)(const void *, int32_t),
                 int32_t failure) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc && handle != 0) return 0;
    return GiveStore(doc, ChosenStore(doc, member), add, failure, Every<Entry>);
}

// Gives the entries of one DSS array to the library; failure when one is refused.
int32_t UseDssArray(PdfDocument *doc, const DssArray *array, int (*add)(const void *, int32_t),
                    int32_t failure, bool skip_self_issued) {
    for (uint32_t i = 0; array && i < array->count; ++i) {
        const DssEntry &e = array->entries[i];
        if (!e.data || e.length == 0 || e.length > 0x7FFFFFFFu) continue;
        const auto length = static_cast<int32_t>(e.length);
        // A trust anchor from the document would let the document vouch for itself.
        if (skip_self_issued && CryptoSelfIssued(e.data, length)) continue;
        if (add(e.data, length) != KVSX_OK) return Refused(doc, failure);
    }
    return 0;
}

} // namespace

int32_t LoadHostStores(PdfDocument *doc) {
    const auto handle = reinterpret_cast<KvPdfHandle>(doc);
    if (KvPDF_UseCerts(handle) != 0) return KVPDF_ERR_ADD_CERT;
    if (KvPDF_UseCRLs(handle) != 0) return KVPDF_ERR_ADD_CRL;
    if (KvPDF_UseOCSPs(handle) != 0) return KVPDF_ERR_ADD_OCSP;
    return 0;
}

int32_t LoadSelfIssuedCerts(PdfDocument *doc) {
    return GiveStore(doc, ChosenStore(doc, &StoreHeads::certs), kvsx_add_cert, KVPDF_ERR_ADD_CERT,
                     SelfIssuedEntry);
}

int32_t LoadRevisionDss(PdfDocument *doc, const DssInfo *dss) {
    (void)LoadSelfIssuedCerts(doc);
    if (!dss) return 0;
    int32_t rc =
        UseDssArray(doc, dss->arrays[kDssCerts - 1], kvsx_add_cert, KVPDF_ERR_ADD_CERT, true);
    if (rc == 0)
        rc = UseDssArray(doc, dss->arrays[kDssCrls - 1], kvsx_add_crl, KVPDF_ERR_ADD_CRL, false);
    if (rc == 0)
        rc = UseDssArray(doc, dss->arrays[kDssOcsps - 1], kvsx_add_ocsp, KVPDF_ERR_ADD_OCSP, false);
    return rc;
}

int DssHasDuplicate(const uint8_t *data, uint32_t length, DssArray *array) {
    if (!array || array->count == 0) return 0;
    uint32_t digest_length = 0;
    uint8_t *digest = CryptoDigest(data, length, &digest_length);
    if (!digest) return 0;
    int found = 0;
    for (uint32_t i = 0; !found && i < array->count; ++i) {
        DssEntry &e = array->entries[i];
        if (!e.digest) {
            uint32_t n = 0;
            uint8_t *block = e.data ? CryptoDigest(e.data, e.length, &n) : nullptr;
            if (block) {
                e.digest = static_cast<uint8_t *>(TrackedAlloc(KV_UNIT, __LINE__, n));
                if (e.digest) {
                    memcpy(e.digest, block, n);
                    e.digest_length = n;
                }
            }
            KvPDF_FreeData(block);
        }
        found = e.digest && e.digest_length == digest_length &&
                memcmp(e.digest, digest, digest_length) == 0;
    }
    KvPDF_FreeData(digest);
    return found;
}

} // namespace kvpdf

using namespace kvpdf;

extern "C" {

KVPDF_API int32_t KVPDF_CALL KvPDF_UseCerts(KvPdfHandle handle) {
    return UseStore(handle, &StoreHeads::certs, kvsx_add_cert, KVPDF_ERR_ADD_CERT);
}

KVPDF_API int32_t KVPDF_CALL KvPDF_UseCRLs(KvPdfHandle handle) {
    return UseStore(handle, &StoreHeads::crls, kvsx_add_crl, KVPDF_ERR_ADD_CRL);
}

KVPDF_API int32_t KVPDF_CALL KvPDF_UseOCSPs(KvPdfHandle handle) {
    return UseStore(handle, &StoreHeads::ocsps, kvsx_add_ocsp, KVPDF_ERR_ADD_OCSP);
}

} // extern "C"
