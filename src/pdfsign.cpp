// The document handle: creation, release, restore, version queries and header tests.
#include "pdf_attachment.h"
#include "pdf_crypto_common.h"
#include "pdf_document.h"
#include "pdf_error.h"
#include "pdf_internal.h"
#include "pdf_mem.h"
#include "pdf_pades.h"
#include "pdf_utils.h"
#include "pdf_xref.h"

#include <cstring>
#include <sys/types.h>
#include <unistd.h>

#define KV_UNIT "../src/pdfsign.cpp"

namespace {

constexpr const char kReasonHungarian[] =
    "A digit\xE1lis al\xE1\xEDr\xE1s a Korvane Kft. PDF Plume term\xE9k\xE9vel k\xE9sz\xFClt.";
constexpr const char kReasonEnglish[] = "Digitally signed and timestamped by Korvane PDF Plume.";

constexpr int32_t kDefaultSigBuffer = 30000;
constexpr int32_t kMinSigBuffer = 2000;

void FreeSignatureList(PdfDocument *doc) {
    for (uint32_t i = 0; doc->signatures && i < doc->signature_count; ++i) {
        SignatureInfo &s = doc->signatures[i];
        TrackedFreeT(s.name);
        TrackedFreeT(s.location);
        TrackedFreeT(s.reason);
        TrackedFreeT(s.contact_info);
        TrackedFreeT(s.signing_time);
        TrackedFreeT(s.subfilter);
    }
    TrackedFreeT(doc->signatures);
    doc->signature_count = 0;
}

} // namespace

void FreeDocumentState(PdfDocument *doc) {
    // The rewritten object texts belong to the updated-object list (FinishUpdate).
    char **texts[] = {&doc->src_path,       &doc->target_path,       &doc->prop31_text,
                      &doc->sig_reason,     &doc->sig_location,      &doc->signer_name,
                      &doc->contact_info,   &doc->signing_time_text, &doc->sig_subfilter,
                      &doc->logo_file_path, &doc->kontir_text,       &doc->kontir_title,
                      &doc->kontir_subject, &doc->out_buffer};
    for (char **t : texts)
        TrackedFreeT(*t);
    TrackedFreeT(doc->new_objects);
    doc->new_object_count = 0;
    FreeParsedState(doc);
    AttachmentListClear(doc);
    FreeSignatureList(doc);
}

void FreeParsedState(PdfDocument *doc) {
    FinishUpdate(doc);
    if (!PdfFreeXref(doc, doc->dss_info)) FreeDssInfo(&doc->dss_info);
    doc->dss_info = nullptr;
    PdfFreeObjectTable(doc);
    TrackedFreeT(doc->annot_refs);
    doc->annot_count = 0;
    TrackedFreeT(doc->field_refs);
    doc->field_count = 0;
}

int32_t UpdateLocale(PdfDocument *doc) {
    if (doc->locale == KVPDF_LOCALE_HU)
        doc->reason_suffix = kReasonHungarian;
    else if (doc->locale == KVPDF_LOCALE_EN)
        doc->reason_suffix = kReasonEnglish;
    else
        return -1;
    return 1;
}

int32_t ApplyVersionRule(PdfDocument *doc, int32_t result) {
    if (doc->pdf_major == 0 || doc->pdf_minor < 2) {
        KV_ERROR(doc, KVPDF_ERR_VERSION_UNSUPPORTED, doc->pdf_major, doc->pdf_minor);
        if (result > 0) result = KVPDF_ERR_VERSION_UNSUPPORTED;
    }
    return result;
}

int32_t TestPdfHeader(PdfDocument *doc, FILE *file) {
    char head[5];
    if (doc->file_ops.seek(doc, file, 0, 0) != 0 ||
        doc->file_ops.read(doc, head, 1, sizeof head, file) != sizeof head ||
        memcmp(head, "%PDF-", 5) != 0) {
        KV_ERROR(doc, KVPDF_ERR_NOT_PDF);
        return KVPDF_ERR_NOT_PDF;
    }
    return 1;
}

int32_t ReadHeaderVersion(PdfDocument *doc, const char *path, int32_t *major, int32_t *minor) {
    FILE *f = path ? doc->file_ops.open(doc, path, "rb") : nullptr;
    if (!f) {
        KV_ERROR(doc, KVPDF_ERR_OPEN_INPUT, path ? path : "");
        return KVPDF_ERR_OPEN_INPUT;
    }
    kvpdf::PdfFile file(doc, f);
    int32_t rc = TestPdfHeader(doc, f);
    if (rc < 1) return rc;
    unsigned char m = 0, point = 0;
    char digits[10];
    if (doc->file_ops.read(doc, &m, 1, 1, f) != 1) m = 0;
    doc->file_ops.read(doc, &point, 1, 1, f);
    size_t n = doc->file_ops.read(doc, digits, 1, sizeof digits, f);
    size_t count = 0;
    int64_t value = 0;
    while (count < n && PdfIsDigit(digits[count]))
        value = value * 10 + (digits[count++] - '0');
    if (major) *major = PdfIsDigit(m) ? m - '0' : 0;
    if (minor) *minor = value > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(value);
    return 7 + static_cast<int32_t>(count);
}

extern "C" {

KVPDF_API KvPdfHandle KvPDFInit(const char *src_path, const char *target_path,
                                int32_t sig_buffer_size) {
    if (!src_path) return KVPDF_ERR_OPEN_INPUT;
    auto *doc = static_cast<PdfDocument *>(TrackedAlloc(KV_UNIT, __LINE__, sizeof(PdfDocument)));
    if (!doc) return 0;
    memset(doc, 0, sizeof *doc);
    doc->src_path = TrackedStrdup(src_path);
    doc->target_path = TrackedStrdup(target_path ? target_path : src_path);
    if (!doc->src_path || !doc->target_path) {
        FreeDocumentState(doc);
        TrackedFreeT(doc);
        return 0;
    }
    const int32_t rect[4] = {47, 575, 255, 634};
    const int32_t kontir[4] = {297, 652, 317, 670};
    const int32_t popup[4] = {595, 550, 775, 670};
    memcpy(doc->sig_rect, rect, sizeof rect);
    memcpy(doc->kontir_rect, kontir, sizeof kontir);
    memcpy(doc->kontir_popup_rect, popup, sizeof popup);
    doc->kontir_popup_open = 1;
    doc->sig_subfilter = TrackedStrdup("adbe.pkcs7.detached");
    if (!doc->sig_subfilter) {
        FreeDocumentState(doc);
        TrackedFreeT(doc);
        return 0;
    }
    doc->visible_signature = 1;
    doc->last_error_index = -1;
    doc->root_obj = doc->pages_obj = doc->page_obj = doc->annots_obj = -1;
    doc->declared_size = doc->prev_xref = -1;
    doc->acroform_obj = doc->fields_obj = doc->sig_dict_obj = -1;
    doc->kontir_annot_obj = doc->kontir_popup_obj = -1;
    doc->linearized_first_xref = -1;
    doc->trailer_size = -1;
    if (sig_buffer_size < 1)
        doc->sig_buffer_size = kDefaultSigBuffer;
    else if (sig_buffer_size < kMinSigBuffer)
        doc->sig_buffer_size = kMinSigBuffer;
    else
        doc->sig_buffer_size = static_cast<uint32_t>(sig_buffer_size);
    UpdateLocale(doc);
    FillMessageTables(doc->error_texts);
    doc->locale = KVPDF_LOCALE_HU;
    doc->file_ops = kStdioFileOps;
    if (!HandleRegister(doc)) {
        FreeDocumentState(doc);
        TrackedFreeT(doc);
        return 0;
    }
    return reinterpret_cast<KvPdfHandle>(doc);
}

KVPDF_API int32_t KvPDFClose(KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return 1;
    // The last handle takes the process-wide stores with it, unless it only read.
    const bool read_only = doc->mode == kModeFindSignatures || doc->mode == kModeReadAttachments ||
                           doc->mode == kModeWriteAttachments;
    if (HandleOpenCount() == 1 && !read_only) CleanStores(nullptr, kStoreAll);
    CleanStores(doc, kStoreAll);
    HandleUnregister(doc);
    FreeDocumentState(doc);
    TrackedFreeT(doc);
    return 1;
}

KVPDF_API void KvPDFDestroyer(void **block) {
    if (block) TrackedFree(block);
}

KVPDF_API int32_t KvPDFRestorePDF(KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    // After a reading operation nothing was appended: truncating the output file to
    // the source's length would damage a file this handle never wrote.
    if (doc->source_length < 1 || doc->mode == kModeFindSignatures ||
        doc->mode == kModeReadAttachments) {
        KV_ERROR(doc, KVPDF_ERR_RESTORE);
        return KVPDF_ERR_RESTORE;
    }
    FILE *f = doc->file_ops.open(doc, doc->target_path, "r+b");
    if (!f) {
        KV_ERROR(doc, KVPDF_ERR_OPEN_INPUT, doc->target_path);
        return KVPDF_ERR_OPEN_INPUT;
    }
    kvpdf::PdfFile file(doc, f);
    if (doc->file_ops.flush(doc, f) != 0 || ftruncate(fileno(f), doc->source_length) != 0) {
        KV_ERROR(doc, KVPDF_ERR_RESTORE);
        return KVPDF_ERR_RESTORE;
    }
    if (doc->file_ops.flush(doc, f) != 0 || file.close() != 0) {
        KV_ERROR(doc, KVPDF_ERR_RESTORE_FLUSH);
        return KVPDF_ERR_RESTORE_FLUSH;
    }
    return 1;
}

KVPDF_API int32_t KvPDFUpdateLocal(KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    return UpdateLocale(doc);
}

KVPDF_API int32_t KvPDFGetVersion(int32_t *major, int32_t *minor, int32_t *release,
                                  int32_t *build) {
    if (major) *major = KVPDF_VERSION_MAJOR;
    if (minor) *minor = KVPDF_VERSION_MINOR;
    if (release) *release = KVPDF_VERSION_RELEASE;
    if (build) *build = KVPDF_VERSION_BUILD;
    return 1;
}

KVPDF_API int32_t KvPDFGetVersionStr(char *buffer) {
    if (!buffer) return 0;
    snprintf(buffer, 16, "%d.%d.%d.%d", KVPDF_VERSION_MAJOR, KVPDF_VERSION_MINOR,
             KVPDF_VERSION_RELEASE, KVPDF_VERSION_BUILD);
    return 1;
}

KVPDF_API int32_t KvIsPDFFile(const char *path, KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    FILE *f = path ? doc->file_ops.open(doc, path, "rb") : nullptr;
    if (!f) {
        KV_ERROR(doc, KVPDF_ERR_OPEN_INPUT, path ? path : "");
        return KVPDF_ERR_OPEN_INPUT;
    }
    kvpdf::PdfFile file(doc, f);
    return TestPdfHeader(doc, f);
}

KVPDF_API int32_t KvIsPDFFilePointer(FILE *file, KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc || !file) return KVPDF_ERR_NULL_HANDLE;
    return TestPdfHeader(doc, file);
}

KVPDF_API int32_t KvGetPDFFileVersion(const char *path, int32_t *major, int32_t *minor,
                                      KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    return ReadHeaderVersion(doc, path, major, minor);
}

} // extern "C"
