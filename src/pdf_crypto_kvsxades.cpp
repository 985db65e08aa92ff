// SPDX-License-Identifier: Apache-2.0
// The calls into the signing library kvsxades: forwarders, signature and timestamp
// creation, verification, and host-owned copies of what the library reports.
#include "pdf_crypto_kvsxades.h"

#include "pdf_crypto_common.h"
#include "pdf_error.h"
#include "pdf_mem.h"
#include "pdf_utils.h"

#include "kvsxades.h"

#include <cstring>

#define KV_UNIT "../src/pdf_crypto_kvsxades.cpp"

namespace kvpdf {
namespace {

KvsContext *Context(void *context) {
    return static_cast<KvsContext *>(context);
}

// The library's list of data objects, one per host item, in the host's order.
KvsDataObject *BuildChain(const SignedDataItem *items, bool *failed) {
    *failed = false;
    KvsDataObject *head = nullptr, **tail = &head;
    for (const SignedDataItem *item = items; item; item = item->next) {
        auto *o =
            static_cast<KvsDataObject *>(TrackedAlloc(KV_UNIT, __LINE__, sizeof(KvsDataObject)));
        if (!o) {
            *failed = true;
            break;
        }
        memset(o, 0, sizeof *o);
        o->data = item->data;
        o->length = item->length;
        o->content_type = item->content_type;
        *tail = o;
        tail = &o->next;
    }
    return head;
}

void FreeChain(KvsDataObject *chain) {
    while (chain) {
        KvsDataObject *next = chain->next;
        TrackedFreeT(chain);
        chain = next;
    }
}

void Count(const CertDataChain *chain, uint32_t *nodes, uint32_t *certs, uint32_t *crls,
           uint32_t *ocsps) {
    for (const CertDataChain *n = chain; n; n = n->next) {
        if (nodes) ++*nodes;
        if (certs && n->cert) ++*certs;
        if (crls && n->crl) ++*crls;
        if (ocsps && n->ocsp) ++*ocsps;
    }
}

// Copies the library's timestamp list; nullptr with *failed when memory is short.
TSChain *CopyTimestamps(const KvsTimestampInfo *list, bool *failed) {
    *failed = false;
    TSChain *head = nullptr, **tail = &head;
    for (const KvsTimestampInfo *t = list; t; t = t->next) {
        auto *node = static_cast<TSChain *>(TrackedAlloc(KV_UNIT, __LINE__, sizeof(TSChain)));
        if (!node) {
            *failed = true;
            break;
        }
        memset(node, 0, sizeof *node);
        *tail = node;
        tail = &node->next;
        node->time_low = static_cast<uint32_t>(static_cast<uint64_t>(t->time));
        node->time_high = static_cast<int32_t>(t->time >> 32);
        node->data_length = t->data_length;
        node->data = static_cast<uint8_t *>(
            TrackedAlloc(KV_UNIT, __LINE__, t->data_length ? t->data_length : 1));
        node->chain = CopyCertDataChain(t->chain);
        if (!node->data || (t->chain && !node->chain)) {
            *failed = true;
            break;
        }
        if (t->data && t->data_length) memcpy(node->data, t->data, t->data_length);
    }
    if (*failed) {
        KvPDF_FreeTSChain(head);
        return nullptr;
    }
    return head;
}

} // namespace

int32_t CryptoSignerChain(void *context, CertDataChain **out, uint32_t *certs, uint32_t *crls,
                          uint32_t *ocsps) {
    *out = nullptr;
    KvsCertDataChain *list = nullptr;
    int rc = kvsx_get_signer_chain(Context(context), &list);
    if (rc == KVSX_OK && list) {
        *out = CopyCertDataChain(list);
        if (!*out) rc = KVSX_E_NO_MEMORY; // never a chain cut short
    }
    kvsx_free_cert_data_chain(list);
    Count(*out, nullptr, certs, crls, ocsps);
    return rc;
}

int32_t CryptoTimestampChain(void *context, TSChain **out, uint32_t *nodes, uint32_t *certs,
                             uint32_t *crls, uint32_t *ocsps) {
    *out = nullptr;
    KvsTimestampInfo *list = nullptr;
    int rc = kvsx_get_timestamp_infos(Context(context), &list);
    bool failed = false;
    if (rc == KVSX_OK && list) *out = CopyTimestamps(list, &failed);
    if (failed) rc = KVSX_E_NO_MEMORY;
    if (list) kvsx_free_timestamp_infos(list);
    for (const TSChain *t = *out; t; t = t->next) {
        if (nodes) ++*nodes;
        Count(t->chain, nodes, certs, crls, ocsps);
    }
    return rc;
}

int32_t CryptoVerifyFileRanges(void *context, const char *path, uint32_t first, uint32_t second,
                               uint32_t second_length, const uint8_t *signature, uint32_t length,
                               uint32_t time_low, int32_t time_high) {
    // A zero length would mean "to the end of the file" to the signing library.
    if (first == 0 || second_length == 0) return 0;
    KvsDataObject ranges[2];
    memset(ranges, 0, sizeof ranges);
    for (KvsDataObject &r : ranges) {
        r.data = path;
        r.length = -1;
        r.content_type = "application/pdf";
    }
    ranges[0].range_length = first;
    ranges[0].next = &ranges[1];
    ranges[1].range_offset = second;
    ranges[1].range_length = second_length;
    const int rc = kvsx_verify_signature(Context(context), ranges, signature, length, time_low,
                                         time_high, nullptr);
    return rc == KVSX_OK ? 1 : 0;
}

int64_t CryptoFirstTimestampTime(void *context) {
    KvsTimestampInfo *list = nullptr;
    int64_t time = 0;
    if (kvsx_get_timestamp_infos(Context(context), &list) == KVSX_OK && list) time = list->time;
    if (list) kvsx_free_timestamp_infos(list);
    return time;
}

int CryptoSelfIssued(const void *bytes, int32_t length) {
    uint8_t *loaded = nullptr;
    uint32_t loaded_length = 0;
    if (length == -1) {
        // A path: read the certificate ourselves, its surrounding blanks trimmed.
        if (!bytes || !PdfLoadFile(static_cast<const char *>(bytes), &loaded, &loaded_length) ||
            loaded_length == 0) {
            TrackedFreeT(loaded);
            return 0;
        }
        bytes = loaded;
        length = static_cast<int32_t>(loaded_length);
    }
    TrackedPtr<uint8_t> owned(loaded);
    KvsCertificateInfo info;
    memset(&info, 0, sizeof info);
    if (kvsx_parse_certificate(bytes, length, &info) != KVSX_OK) return 0;
    int same = info.subject && info.issuer && strcmp(info.subject, info.issuer) == 0;
    kvsx_release_certificate(&info);
    return same;
}

uint8_t *CryptoDigest(const void *bytes, uint32_t length, uint32_t *out_length) {
    // SHA-256 is always a known type: setting it cannot fail.
    (void)KvPDF_SetHashType(KVS_HASH_SHA256);
    uint8_t *out = nullptr;
    *out_length = 0;
    if (kvsx_digest(bytes, length, &out, out_length) != KVSX_OK) return nullptr;
    return out;
}

} // namespace kvpdf

using namespace kvpdf;

extern "C" {

KVPDF_API int32_t KVPDF_CALL KvPDF_CryptoInit(void **context) {
    return kvsx_init(reinterpret_cast<KvsContext **>(context));
}
KVPDF_API int32_t KVPDF_CALL KvPDF_CryptoInitGlobal(void) {
    return kvsx_global_init(0);
}
KVPDF_API int32_t KVPDF_CALL KvPDF_CryptoCleanup(void *context) {
    return kvsx_cleanup(Context(context));
}
KVPDF_API int32_t KVPDF_CALL KvPDF_CryptoCleanupGlobal(void) {
    return kvsx_global_cleanup();
}
KVPDF_API int32_t KVPDF_CALL KvPDF_SetHashType(int32_t type) {
    return kvsx_set_hash_type(type);
}
KVPDF_API int32_t KVPDF_CALL KvPDF_SetUseCDP(int32_t on) {
    return kvsx_set_use_cdp(on);
}
KVPDF_API int32_t KVPDF_CALL KvPDF_SetProxy(const char *host_port) {
    return kvsx_set_proxy(host_port);
}
KVPDF_API int32_t KVPDF_CALL KvPDF_SetGraceTime(int32_t seconds) {
    return kvsx_set_grace_time(seconds);
}
KVPDF_API int32_t KVPDF_CALL KvPDF_SetLog(const char *path, int32_t level) {
    return kvsx_set_log(path, 0, level);
}
KVPDF_API void KVPDF_CALL KvPDF_FreeData(void *block) {
    kvsx_free(block);
}
KVPDF_API int32_t KVPDF_CALL KvPDF_CleanKVSXADESCRLStore(void) {
    return kvsx_clean_crl_store();
}
KVPDF_API void KVPDF_CALL KvPDF_CleanKVSXADESStores(void) {
    kvsx_clean_stores();
}

KVPDF_API int32_t KVPDF_CALL KvPDF_CreateSignatureAdv(KvPdfHandle handle, void *context,
                                                      const SigningParameters *params,
                                                      const SignedDataItem *items,
                                                      uint8_t **signature, uint32_t *length,
                                                      int32_t reserved1, int32_t reserved2) {
    PdfDocument *doc = HandleLookup(handle);
    KvsSigningParameters copy;
    memset(&copy, 0, sizeof copy);
    if (params) {
        copy.key = params->key;
        copy.secret = params->secret;
        copy.certs = params->certs;
        copy.tsa_url = params->tsa_url;
        copy.flags = params->flags;
    }
    bool failed = false;
    KvsDataObject *chain = BuildChain(items, &failed);
    if (signature) *signature = nullptr;
    int rc = failed ? KVSX_E_NO_MEMORY
                    : kvsx_create_signature(Context(context), params ? &copy : nullptr, chain,
                                            signature, length, reserved1, reserved2);
    FreeChain(chain);
    if (rc != KVSX_OK && signature) {
        kvsx_free(*signature);
        *signature = nullptr;
    }
    if (rc < 0) {
        KV_ERROR(doc, KVPDF_ERR_CREATE_SIGNATURE);
        return KVPDF_ERR_CREATE_SIGNATURE;
    }
    return rc;
}

KVPDF_API int32_t KVPDF_CALL KvPDF_CreateSignature(KvPdfHandle handle, void *context,
                                                   const SigningParameters *params,
                                                   const SignedDataItem *items, uint8_t **signature,
                                                   uint32_t *length) {
    return KvPDF_CreateSignatureAdv(handle, context, params, items, signature, length, 0, 0);
}

KVPDF_API int32_t KVPDF_CALL KvPDF_CreateTimeStamp(KvPdfHandle handle, void *context,
                                                   const char *file_name, uint8_t **token,
                                                   uint32_t *length, const char *tsa_url) {
    if (token) *token = nullptr;
    int rc = kvsx_create_timestamp(Context(context), -1, KVS_TS_RFC3161, file_name, token, length,
                                   tsa_url, 0);
    if (rc < 0) {
        KV_ERROR(HandleLookup(handle), KVPDF_ERR_CREATE_TIMESTAMP);
        return KVPDF_ERR_CREATE_TIMESTAMP;
    }
    return rc;
}

KVPDF_API int32_t KVPDF_CALL KvPDF_CryptoVerifiySignature(KvPdfHandle, void *context,
                                                          const char *file_name,
                                                          const uint8_t *signature, uint32_t length,
                                                          uint32_t time_low, int32_t time_high) {
    KvsDataObject data;
    memset(&data, 0, sizeof data);
    data.data = file_name;
    data.length = -1;
    data.content_type = "application/pdf";
    char *report = nullptr;
    int rc = kvsx_verify_signature(Context(context), &data, signature, length, time_low, time_high,
                                   &report);
    kvsx_free(report);
    return rc == KVSX_OK ? 1 : 0;
}

KVPDF_API int32_t KVPDF_CALL KvPDF_VerifiyTimestamp(KvPdfHandle, void *context,
                                                    const char *file_name, const uint8_t *token,
                                                    uint32_t length) {
    return kvsx_verify_doc_timestamp(Context(context), file_name, -1, token, length) == KVSX_OK ? 1
                                                                                                : 0;
}

KVPDF_API int32_t KVPDF_CALL KvPDF_SignatureHasTimeStamp(void *context) {
    KvsTimestampInfo *list = nullptr;
    int rc = kvsx_get_timestamp_infos(Context(context), &list);
    int32_t has = rc == KVSX_OK && list ? 1 : 0;
    if (list) kvsx_free_timestamp_infos(list);
    return has;
}

KVPDF_API int32_t KVPDF_CALL KvPDF_DecodeBase64(const char *text, uint32_t length,
                                                uint32_t *out_length, uint8_t **bytes) {
    if (bytes) *bytes = nullptr;
    return kvsx_base64_decode(text, length, out_length, bytes);
}

KVPDF_API int32_t KVPDF_CALL KvPDF_VerifyCertChain(const void *certificate, int32_t length,
                                                   int32_t time) {
    return kvsx_verify_cert_chain(certificate, length, static_cast<int64_t>(time));
}

KVPDF_API int32_t KVPDF_CALL KvPDF_GetCertInfo(const void *certificate, int32_t length,
                                               CertificateInfo *info) {
    if (!info) return 0;
    KvsCertificateInfo parsed;
    memset(&parsed, 0, sizeof parsed);
    int rc = kvsx_parse_certificate(certificate, length, &parsed);
    if (rc == KVSX_OK) {
        info->subject = TrackedStrdup(parsed.subject);
        info->issuer = TrackedStrdup(parsed.issuer);
        info->serial = TrackedStrdup(parsed.serial);
        info->not_before = TrackedStrdup(parsed.not_before);
        info->not_after = TrackedStrdup(parsed.not_after);
        info->key_usage = parsed.key_usage;
        info->is_ca = parsed.is_ca;
        info->path_length = parsed.path_length;
        info->signature_nid = parsed.signature_nid;
    }
    kvsx_release_certificate(&parsed);
    return rc == KVSX_OK ? 1 : 0;
}

KVPDF_API int32_t KVPDF_CALL KvPDF_GetSignerCertDataChain(void *context, CertDataChain **chain) {
    if (!chain) return 0;
    int32_t rc = CryptoSignerChain(context, chain, nullptr, nullptr, nullptr);
    if (rc != KVSX_OK) return rc;
    return *chain ? 1 : 0;
}

KVPDF_API int32_t KVPDF_CALL KvPDF_GetOcspCertDataChain(void *, void *, void *, void *) {
    return 0;
}

KVPDF_API int32_t KVPDF_CALL KvPDF_GetTSChainInfo(void *context, TSChain **chain) {
    if (!chain) return 0;
    int32_t rc = CryptoTimestampChain(context, chain, nullptr, nullptr, nullptr, nullptr);
    if (rc != KVSX_OK) return rc;
    return *chain ? 1 : 0;
}

} // extern "C"
