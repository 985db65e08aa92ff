// SPDX-License-Identifier: Apache-2.0
// The host's stores of certificates, CRLs and OCSP responses, and the free functions of
// the records the cryptography calls hand to the host.
#include "pdf_crypto_common.h"

#include "pdf_mem.h"

#include "kvsxades.h"

#include <cstring>
#include <mutex>

#define KV_UNIT "../src/pdf_crypto_common.cpp"

namespace kvpdf {
namespace {

// The process-wide stores: used from one thread at a time, like the handles that
// select them; the mutex only keeps two careless hosts from corrupting the lists.
std::mutex g_stores_mutex;
CertStoreEntry *g_certs = nullptr;
RevocationStoreEntry *g_crls = nullptr;
RevocationStoreEntry *g_ocsps = nullptr;

// The copy rule: a positive length is that many bytes; 0 and -1 mean a NUL-terminated
// text (a PEM text or a file path), copied with its terminator.
uint8_t *CopyData(const void *data, int32_t length) {
    if (!data) return nullptr;
    if (length > 0) {
        auto *copy = static_cast<uint8_t *>(TrackedAlloc(KV_UNIT, __LINE__, size_t(length)));
        if (copy) memcpy(copy, data, size_t(length));
        return copy;
    }
    return reinterpret_cast<uint8_t *>(TrackedStrdup(static_cast<const char *>(data)));
}

// What a handle value selects: its stores, the process-wide ones (0), or nothing.
bool Select(KvPdfHandle handle, HostStores **stores) {
    PdfDocument *doc = HandleLookup(handle);
    *stores = doc ? &doc->stores : nullptr;
    return doc || handle == 0;
}

template <typename Entry> void Append(Entry **head, Entry *entry) {
    while (*head)
        head = &(*head)->next;
    *head = entry;
}

template <typename Entry> void Empty(Entry **head) {
    for (Entry *e = *head; e;) {
        Entry *next = e->next;
        TrackedFreeT(e->data);
        TrackedFreeT(e);
        e = next;
    }
    *head = nullptr;
}

int32_t AddRevocation(KvPdfHandle handle, const void *data, int32_t length, int32_t kind) {
    HostStores *stores = nullptr;
    if (!Select(handle, &stores)) return 0;
    auto *e = static_cast<RevocationStoreEntry *>(
        TrackedAlloc(KV_UNIT, __LINE__, sizeof(RevocationStoreEntry)));
    if (!e) return 0;
    memset(e, 0, sizeof *e);
    e->kind = kind;
    e->data = CopyData(data, length);
    e->length = length;
    e->no_length = length == 0;
    std::lock_guard<std::mutex> lock(g_stores_mutex);
    StoreHeads heads = StoresOf(stores);
    Append(kind == 0 ? heads.crls : heads.ocsps, e);
    return 0;
}

void Clean(KvPdfHandle handle, uint32_t which) {
    HostStores *stores = nullptr;
    if (Select(handle, &stores)) CleanStores(stores, which);
}

} // namespace

StoreHeads StoresOf(HostStores *stores) {
    if (stores) return {&stores->cert_store, &stores->crl_store, &stores->ocsp_store};
    return {&g_certs, &g_crls, &g_ocsps};
}

void ReleaseStores(HostStores *stores) {
    CleanStores(stores, kStoreAll);
}

void CleanStores(HostStores *stores, uint32_t which) {
    std::unique_lock<std::mutex> lock(g_stores_mutex, std::defer_lock);
    if (!stores) lock.lock();
    StoreHeads heads = StoresOf(stores);
    if (which & kStoreCerts) Empty(heads.certs);
    if (which & kStoreCrls) Empty(heads.crls);
    if (which & kStoreOcsps) Empty(heads.ocsps);
}

CertDataChain *CopyCertDataChain(const void *library_chain) {
    CertDataChain *head = nullptr, **tail = &head;
    auto copy = [](const uint8_t *data, uint32_t length, uint8_t **out) {
        *out = nullptr;
        if (!data) return true;
        *out = static_cast<uint8_t *>(TrackedAlloc(KV_UNIT, __LINE__, length ? length : 1));
        if (*out && length) memcpy(*out, data, length);
        return *out != nullptr;
    };
    for (auto *n = static_cast<const KvsCertDataChain *>(library_chain); n; n = n->next) {
        auto *node =
            static_cast<CertDataChain *>(TrackedAlloc(KV_UNIT, __LINE__, sizeof(CertDataChain)));
        if (!node) {
            KvPDF_FreeCertDataChain(head);
            return nullptr;
        }
        memset(node, 0, sizeof *node);
        *tail = node;
        tail = &node->next;
        node->cert_length = n->cert_length;
        node->crl_length = n->crl_length;
        node->ocsp_length = n->ocsp_length;
        if (!copy(n->cert, n->cert_length, &node->cert) ||
            !copy(n->crl, n->crl_length, &node->crl) ||
            !copy(n->ocsp, n->ocsp_length, &node->ocsp)) {
            KvPDF_FreeCertDataChain(head);
            return nullptr;
        }
    }
    return head;
}

} // namespace kvpdf

using namespace kvpdf;

extern "C" {

KVPDF_API int32_t KVPDF_CALL KvPDF_AddCert(KvPdfHandle handle, const void *data, int32_t length) {
    HostStores *stores = nullptr;
    if (!Select(handle, &stores)) return 0;
    auto *e =
        static_cast<CertStoreEntry *>(TrackedAlloc(KV_UNIT, __LINE__, sizeof(CertStoreEntry)));
    if (!e) return 0;
    memset(e, 0, sizeof *e);
    e->self_issued = -1;
    e->data = CopyData(data, length);
    e->length = length;
    e->no_length = length == 0;
    std::lock_guard<std::mutex> lock(g_stores_mutex);
    Append(StoresOf(stores).certs, e);
    return 0;
}

KVPDF_API int32_t KVPDF_CALL KvPDF_AddCrl(KvPdfHandle handle, const void *data, int32_t length) {
    return AddRevocation(handle, data, length, 0);
}

KVPDF_API int32_t KVPDF_CALL KvPDF_AddOcsp(KvPdfHandle handle, const void *data, int32_t length) {
    return AddRevocation(handle, data, length, 1);
}

KVPDF_API void KVPDF_CALL KvPDF_CleanStores(KvPdfHandle handle) {
    Clean(handle, kStoreAll);
}
KVPDF_API void KVPDF_CALL KvPDF_CleanCRLStore(KvPdfHandle handle) {
    Clean(handle, kStoreCrls);
}
KVPDF_API void KVPDF_CALL KvPDF_CleanOCSPStore(KvPdfHandle handle) {
    Clean(handle, kStoreOcsps);
}
KVPDF_API void KVPDF_CALL KvPDF_CleanCRLOCSPStore(KvPdfHandle handle) {
    Clean(handle, kStoreCrls | kStoreOcsps);
}

KVPDF_API void KVPDF_CALL KvPDF_FreeCertDataChain(CertDataChain *chain) {
    while (chain) {
        CertDataChain *next = chain->next;
        TrackedFreeT(chain->cert);
        TrackedFreeT(chain->crl);
        TrackedFreeT(chain->ocsp);
        TrackedFreeT(chain);
        chain = next;
    }
}

KVPDF_API void KVPDF_CALL KvPDF_FreeTSChain(TSChain *chain) {
    while (chain) {
        TSChain *next = chain->next;
        TrackedFreeT(chain->data);
        KvPDF_FreeCertDataChain(chain->chain);
        TrackedFreeT(chain);
        chain = next;
    }
}

KVPDF_API void KVPDF_CALL KvPDF_FreeCertificate(CertificateInfo *info) {
    if (!info) return;
    TrackedFreeT(info->not_after);
    TrackedFreeT(info->not_before);
    TrackedFreeT(info->subject);
    TrackedFreeT(info->serial);
    TrackedFreeT(info->issuer);
    TrackedFreeT(info);
}

KVPDF_API CertificateInfo *KVPDF_CALL KvPDF_AllocCertificate(void) {
    auto *info =
        static_cast<CertificateInfo *>(TrackedAlloc(KV_UNIT, __LINE__, sizeof(CertificateInfo)));
    if (info) memset(info, 0, sizeof *info);
    return info;
}

} // extern "C"
