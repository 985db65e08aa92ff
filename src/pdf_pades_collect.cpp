// SPDX-License-Identifier: Apache-2.0
// Verifying a document's signatures and timestamps, and collecting the certificates,
// CRLs and OCSP responses the signing library used for them into the DSS.
#include "pdf_crypto_kvsxades.h"
#include "pdf_document.h"
#include "pdf_error.h"
#include "pdf_mem.h"
#include "pdf_pades.h"
#include "pdf_pades_crypto.h"
#include "pdf_utils.h"
#include "pdf_xref.h"

#include <cstdio>
#include <cstring>
#include <vector>

#define KV_UNIT "../src/pdf_pades.cpp"

namespace kvpdf {
namespace {

// The blocks of one kind collected during one add; owns their data.
class Collection {
public:
    Collection() = default;
    Collection(const Collection &) = delete;
    Collection &operator=(const Collection &) = delete;
    ~Collection() {
        for (DataBlock &b : blocks_)
            TrackedFreeT(b.data);
    }
    // A copy of length bytes at data; false when memory is short.
    bool Add(const uint8_t *data, uint32_t length) {
        if (!data) return true;
        auto *copy = static_cast<uint8_t *>(TrackedAlloc(KV_UNIT, __LINE__, length ? length : 1));
        if (!copy) return false;
        if (length) memcpy(copy, data, length);
        try {
            blocks_.push_back({copy, length});
        } catch (const std::bad_alloc &) {
            TrackedFreeT(copy);
            return false;
        }
        return true;
    }
    // Hands the blocks to the DSS; the number added or -90.
    int32_t MoveInto(ParsedDocument &p, int32_t kind) {
        if (blocks_.empty()) return 0;
        const int32_t rc =
            DssAddBlocks(p, blocks_.data(), static_cast<uint32_t>(blocks_.size()), kind);
        blocks_.clear(); // every block was taken, kept or freed
        return rc;
    }

private:
    std::vector<DataBlock> blocks_;
};

struct Collected {
    Collection certs, crls, ocsps;

    bool AddChain(const CertDataChain *chain) {
        for (const CertDataChain *n = chain; n; n = n->next)
            if (!certs.Add(n->cert, n->cert_length) || !crls.Add(n->crl, n->crl_length) ||
                !ocsps.Add(n->ocsp, n->ocsp_length))
                return false;
        return true;
    }
};

int32_t Verify(PdfDocument *doc, void *context, int32_t index, int64_t time) {
    return KvPDF_VeriySignature(reinterpret_cast<KvPdfHandle>(doc), context, index,
                                static_cast<uint32_t>(static_cast<uint64_t>(time) & 0xFFFFFFFFu),
                                static_cast<int32_t>(time >> 32));
}

bool Invalid(int32_t rc) {
    return rc == KVPDF_ERR_SIGNATURE_INVALID || rc == KVPDF_ERR_TIMESTAMP_INVALID;
}

// Empties the signing library's stores and gives it the host's.
int32_t ReloadHostStores(PdfDocument *doc) {
    KvPDF_CleanKVSXADESStores();
    return LoadHostStores(doc);
}

// The DSS in force just before the revision that added entry index: the newest DSS of
// an older revision. That is what a document timestamp added there protects.
const DssInfo *DssBefore(const PdfDocument *doc, int32_t index) {
    const ParsedDocument &p = doc->parsed;
    uint32_t offset = 0;
    const XrefSection *s =
        PdfFindSectionOf(p, nullptr, doc->found.signatures[index].field_obj, &offset);
    for (s = s ? s->next : nullptr; s; s = s->next)
        if (s->dss) return s->dss;
    return nullptr;
}

// Verifies document timestamp i, then each older entry at the time of the timestamp
// that covers it, with the validation data that was in the file at that time.
int32_t TimestampChainCheck(PdfDocument *doc, void *context, int32_t i) {
    int32_t rc = ReloadHostStores(doc);
    if (rc != 0) return rc;
    rc = Verify(doc, context, i, 0);
    if (Invalid(rc)) return rc;
    int64_t t = CryptoFirstTimestampTime(context);
    for (int32_t j = i - 1; j >= 0; --j) {
        if (const DssInfo *dss = DssBefore(doc, j + 1)) {
            KvPDF_CleanKVSXADESStores();
            if (LoadRevisionDss(doc, dss) != 0) return 1;
        }
        rc = Verify(doc, context, j, t);
        if (Invalid(rc)) return rc;
        if (j - 1 > 0 && doc->found.signatures[j - 1].kind != KVPDF_SIG_KIND_DOC_TIMESTAMP) break;
        t = CryptoFirstTimestampTime(context);
    }
    return rc;
}

// The entry can be read by the signing library.
bool Supported(PdfDocument *doc, int32_t index) {
    const char *subfilter = doc->found.signatures[index].subfilter;
    return subfilter && *subfilter &&
           KvPdfSignatureSupported(reinterpret_cast<KvPdfHandle>(doc), index) == 1;
}

// Entries added by an earlier add on the handle and not written yet; the document is
// read afresh, so they are carried over into the DSS read now.
struct Pending {
    Collection kinds[3];

    void TakeFrom(DssInfo *info) {
        for (int k = 0; info && k < 3; ++k) {
            DssArray *a = info->arrays[k];
            for (uint32_t i = 0; a && i < a->count; ++i) {
                DssEntry &e = a->entries[i];
                if (e.is_new && e.data) (void)kinds[k].Add(e.data, e.length);
            }
        }
    }
    int32_t PutBack(ParsedDocument &p) {
        for (int k = 0; k < 3; ++k)
            if (kinds[k].MoveInto(p, k + 1) < 0) return KVPDF_ERR_BUFFER;
        return 0;
    }
};

int32_t MoveCollected(PdfDocument *doc, Collected &collected, int32_t result) {
    ParsedDocument &p = doc->parsed;
    if (collected.certs.MoveInto(p, kDssCerts) < 0 || collected.crls.MoveInto(p, kDssCrls) < 0 ||
        collected.ocsps.MoveInto(p, kDssOcsps) < 0)
        return KV_FAIL(doc, KVPDF_ERR_BUFFER, KVPDF_ERR_DSS);
    return result;
}

// Verifies entry i at the current time with the host's stores; an invalid one is
// recorded again with its index.
int32_t VerifyWithHostStores(PdfDocument *doc, void *context, int32_t i) {
    int32_t rc = ReloadHostStores(doc);
    if (rc != 0) return rc;
    rc = Verify(doc, context, i, 0);
    if (Invalid(rc)) KV_ERROR(doc, rc, i);
    return rc;
}

// What the last verification used: the signer chain when asked, and every timestamp's.
int32_t CollectChains(PdfDocument *doc, void *context, bool signer, Collected &out) {
    if (signer) {
        CertDataChain *chain = nullptr;
        uint32_t certs = 0, crls = 0, ocsps = 0;
        (void)CryptoSignerChain(context, &chain, &certs, &crls, &ocsps);
        const bool ok = out.AddChain(chain);
        KvPDF_FreeCertDataChain(chain);
        if (!ok) return KV_FAIL(doc, KVPDF_ERR_BUFFER, KVPDF_ERR_DSS);
    }
    TSChain *stamps = nullptr;
    uint32_t nodes = 0, certs = 0, crls = 0, ocsps = 0;
    (void)CryptoTimestampChain(context, &stamps, &nodes, &certs, &crls, &ocsps);
    bool ok = true;
    for (const TSChain *t = stamps; ok && t; t = t->next)
        ok = out.AddChain(t->chain);
    KvPDF_FreeTSChain(stamps);
    return ok ? 1 : KV_FAIL(doc, KVPDF_ERR_BUFFER, KVPDF_ERR_DSS);
}

int32_t AddRevocationInformation(PdfDocument *doc, void *context, int32_t index) {
    Pending pending;
    pending.TakeFrom(doc->parsed.dss_info);
    doc->mode = kModeRevocation;
    int32_t result = ProcessPdf(doc);
    if (result < 1) return result;
    const FoundSignatures &found = doc->found;
    if (!found.signatures || found.signature_count == 0) return KVPDF_ERR_SIGNATURE_INDEX;
    // The start is chosen by what the file holds, before the pending entries return.
    const DssInfo *dss = doc->parsed.dss_info;
    const bool every = doc->settings.ltv_every_entry == 1;
    const bool all = index == -1 && (every || !dss || !dss->arrays[kDssCerts - 1]);
    if (pending.PutBack(doc->parsed) != 0) return KV_FAIL(doc, KVPDF_ERR_BUFFER, KVPDF_ERR_DSS);
    int32_t i = 0;
    int32_t error = 0;
    if (!all && !PdfCheckSignatureIndex(found, &index, &error)) return error;
    if (!all) i = index;
    const int32_t last_timestamp = PdfFindTimestampEntry(found);
    const auto count = static_cast<int32_t>(found.signature_count);
    bool renew = false, collect_signer = false;
    Collected collected;
    if (every) {
        (void)KvPDF_SetUseCDP(0);
        for (const int32_t end = all ? count - 1 : i; i <= end; ++i) {
            if (!Supported(doc, i)) continue;
            result = VerifyWithHostStores(doc, context, i);
            if (result < 0) return result;
            const int32_t rc = CollectChains(doc, context, true, collected);
            if (rc < 0) return rc;
        }
        return MoveCollected(doc, collected, result);
    }
    for (;;) {
        if (!Supported(doc, i)) return result;
        (void)KvPDF_SetUseCDP(0);
        const bool timestamp = found.signatures[i].kind == KVPDF_SIG_KIND_DOC_TIMESTAMP;
        if (timestamp && (last_timestamp == -1 || i >= last_timestamp)) {
            result = TimestampChainCheck(doc, context, i);
            if (Invalid(result)) KV_ERROR(doc, result, i);
            if (result < 0) return result;
            renew = true;
        } else if (!timestamp && last_timestamp == -1) {
            collect_signer = true;
            result = VerifyWithHostStores(doc, context, i);
            if (result < 0) return result;
        } else if (!timestamp && i < last_timestamp) {
            renew = true;
        }
        if (renew) {
            result = VerifyWithHostStores(doc, context, i);
            if (result < 0) return result;
        }
        const int32_t rc = CollectChains(doc, context, collect_signer, collected);
        if (rc < 0) return rc;
        if (!all || count < 2 || i >= count - 1) break;
        ++i;
    }
    return MoveCollected(doc, collected, result);
}

} // namespace

} // namespace kvpdf

using namespace kvpdf;

extern "C" {

KVPDF_API int32_t KVPDF_CALL KvPDF_VeriySignature(KvPdfHandle handle, void *context, int32_t index,
                                                  uint32_t time_low, int32_t time_high) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return 0;
    int32_t error = 0;
    if (!PdfCheckSignatureIndex(doc->found, &index, &error)) return 0;
    const SignatureInfo &s = doc->found.signatures[index];
    const char *source = doc->settings.src_path;
    const uint32_t *r = s.byte_range;
    uint32_t length = 0;
    int32_t result = 0;
    if (s.kind != KVPDF_SIG_KIND_DOC_TIMESTAMP) {
        // The signing library streams the two ranges from the file itself: a copy of a
        // large file would cost a write and a read of all its bytes.
        TrackedPtr<uint8_t> value(
            PdfReadSignatureValue(FileAccess(doc), source, r[1], r[2], &length));
        if (!value || length == 0) return 0;
        result = CryptoVerifyFileRanges(context, source, r[1], r[2], r[3], value.get(), length,
                                        time_low, time_high) == 1
                     ? 1
                     : KVPDF_ERR_SIGNATURE_INVALID;
        if (result < 0) KV_ERROR(doc, result, index);
        return result;
    }
    // A document timestamp is checked over a copy of its signed bytes.
    TrackedPtr<char> temp(PdfTempFileName(source));
    if (!temp) return 0;
    TrackedPtr<uint8_t> contents(
        PdfWriteByteRange(FileAccess(doc), source, temp.get(), &length, &error, r[1], r[2], r[3]));
    if (contents && length > 0) {
        result = KvPDF_VerifiyTimestamp(handle, context, temp.get(), contents.get(), length) == 1
                     ? 1
                     : KVPDF_ERR_TIMESTAMP_INVALID;
        if (result < 0) KV_ERROR(doc, result, index);
    }
    if (remove(temp.get()) != 0) {
        KV_ERROR(doc, KVPDF_ERR_TEMP_REMOVE);
        return KVPDF_ERR_TEMP_REMOVE;
    }
    return result;
}

KVPDF_API int32_t KVPDF_CALL KvPDF_AddRevocationInformation(KvPdfHandle handle, void *context,
                                                            int32_t index, int32_t) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    const int32_t result = AddRevocationInformation(doc, context, index);
    // A collection that failed leaves the copy as it came, as one without it would.
    const int32_t copied = FinishBackgroundCopy(doc, result >= 0);
    return copied < 1 ? copied : result;
}

} // extern "C"
