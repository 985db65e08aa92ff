// SPDX-License-Identifier: Apache-2.0
// The document handle: creation, release, restore, version queries and header tests.
#include "pdf_attachment.h"
#include "pdf_changes.h"
#include "pdf_crypto_common.h"
#include "pdf_document.h"
#include "pdf_error.h"
#include "pdf_internal.h"
#include "pdf_mem.h"
#include "pdf_pades.h"
#include "pdf_utils.h"
#include "pdf_xref.h"

#include <cstring>
#include <string>

#define KV_UNIT "../src/pdfsign.cpp"

namespace kvpdf {
namespace {

constexpr const char kReasonHungarian[] =
    "A digit\xE1lis al\xE1\xEDr\xE1s a Korvane Kft. PDF Plume term\xE9k\xE9vel k\xE9sz\xFClt.";
constexpr const char kReasonEnglish[] = "Digitally signed and timestamped by Korvane PDF Plume.";

constexpr int32_t kDefaultSigBuffer = 30000;
constexpr int32_t kMinSigBuffer = 2000;

void ReleaseDocument(PdfDocument *doc) {
    (void)FinishBackgroundCopy(doc, false);
    ReleaseSettings(&doc->settings);
    ReleaseParsed(&doc->parsed);
    ReleaseUpdate(&doc->update);
    ReleaseFound(&doc->found);
    ReleaseStores(&doc->stores);
    ReleaseCheck(doc);
    TrackedFreeT(doc);
}

} // namespace

bool InitSettings(HostSettings *s, const char *src_path, const char *target_path,
                  int32_t sig_buffer_size) {
    memset(s, 0, sizeof *s);
    const int32_t rect[4] = {47, 575, 255, 634};
    const int32_t kontir[4] = {297, 652, 317, 670};
    const int32_t popup[4] = {595, 550, 775, 670};
    memcpy(s->sig_rect, rect, sizeof rect);
    memcpy(s->kontir_rect, kontir, sizeof kontir);
    memcpy(s->kontir_popup_rect, popup, sizeof popup);
    s->kontir_popup_open = 1;
    s->visible_signature = 1;
    s->attachment_limit = kDefaultAttachmentLimit;
    if (sig_buffer_size < 1)
        s->sig_buffer_size = kDefaultSigBuffer;
    else if (sig_buffer_size < kMinSigBuffer)
        s->sig_buffer_size = kMinSigBuffer;
    else
        s->sig_buffer_size = static_cast<uint32_t>(sig_buffer_size);
    s->reason_suffix = kReasonHungarian;
    s->src_path = TrackedStrdup(src_path);
    s->target_path = TrackedStrdup(target_path ? target_path : src_path);
    s->sig_subfilter = TrackedStrdup("adbe.pkcs7.detached");
    return s->src_path && s->target_path && s->sig_subfilter;
}

void ReleaseSettings(HostSettings *s) {
    char **texts[] = {&s->src_path,       &s->target_path,       &s->prop31_text,
                      &s->sig_reason,     &s->sig_location,      &s->signer_name,
                      &s->contact_info,   &s->signing_time_text, &s->sig_subfilter,
                      &s->logo_file_path, &s->kontir_text,       &s->kontir_title,
                      &s->kontir_subject, &s->field_name};
    for (char **t : texts)
        TrackedFreeT(*t);
    AttachmentListClear(s);
    memset(s, 0, sizeof *s);
}

int32_t UpdateLocale(PdfDocument *doc) {
    if (doc->errors.locale == KVPDF_LOCALE_HU)
        doc->settings.reason_suffix = kReasonHungarian;
    else if (doc->errors.locale == KVPDF_LOCALE_EN)
        doc->settings.reason_suffix = kReasonEnglish;
    else
        return KVPDF_ERR_NULL_HANDLE;
    return 1;
}

int32_t ApplyVersionRule(PdfDocument *doc, int32_t result) {
    const ParsedDocument &p = doc->parsed;
    if (p.pdf_major == 0 || p.pdf_minor < 2) {
        KV_ERROR(doc, KVPDF_ERR_VERSION_UNSUPPORTED, p.pdf_major, p.pdf_minor);
        if (result > 0) result = KVPDF_ERR_VERSION_UNSUPPORTED;
    }
    return result;
}

int32_t TestPdfHeader(PdfDocument *doc, FILE *file) {
    const FileAccess files(doc);
    char head[5];
    if (files.seek(file, 0, 0) != 0 || files.read(head, 1, sizeof head, file) != sizeof head ||
        memcmp(head, "%PDF-", 5) != 0) {
        KV_ERROR(doc, KVPDF_ERR_NOT_PDF);
        return KVPDF_ERR_NOT_PDF;
    }
    return 1;
}

int32_t CheckInputFile(PdfDocument *doc, const char *path) {
    uint64_t size = 0;
    const FileKind kind = PdfFileKind(path, &size);
    // Opening a FIFO would wait for a writer, and a directory or a device is never a PDF:
    // say what it is before any byte is read or copied.
    if (kind != FileKind::kRegular && kind != FileKind::kMissing) {
        static const char *const kNames[2][4] = {{"konyvtar", "FIFO", "socket", "eszkoz"},
                                                 {"directory", "FIFO", "socket", "device"}};
        const int row = doc->errors.locale == KVPDF_LOCALE_EN ? 1 : 0;
        const auto index = static_cast<int>(kind) - static_cast<int>(FileKind::kDirectory);
        KV_ERROR(doc, KVPDF_ERR_NOT_REGULAR_FILE, path, kNames[row][index]);
        return KVPDF_ERR_NOT_REGULAR_FILE;
    }
    if (size > 0xFFFFFFFEull) {
        KV_ERROR(doc, KVPDF_ERR_INPUT_TOO_LARGE, path, std::to_string(size).c_str());
        return KVPDF_ERR_INPUT_TOO_LARGE;
    }
    return 1;
}

int32_t RestoreOutput(PdfDocument *doc) {
    const FileAccess files(doc);
    FILE *f = files.open(doc->settings.target_path, "r+b");
    if (!f) {
        KV_ERROR(doc, KVPDF_ERR_OPEN_INPUT, doc->settings.target_path);
        return KVPDF_ERR_OPEN_INPUT;
    }
    PdfFile file(files, f);
    if (files.flush(f) != 0 || PdfTruncate(f, doc->parsed.source_length) != 0) {
        KV_ERROR(doc, KVPDF_ERR_RESTORE);
        return KVPDF_ERR_RESTORE;
    }
    if (files.flush(f) != 0 || file.close() != 0) {
        KV_ERROR(doc, KVPDF_ERR_RESTORE_FLUSH);
        return KVPDF_ERR_RESTORE_FLUSH;
    }
    return 1;
}

int32_t ReadHeaderVersion(PdfDocument *doc, const char *path, int32_t *major, int32_t *minor) {
    int32_t checked = CheckInputFile(doc, path);
    if (checked < 1) return checked;
    const FileAccess files(doc);
    FILE *f = path ? files.open(path, "rb") : nullptr;
    if (!f) {
        KV_ERROR(doc, KVPDF_ERR_OPEN_INPUT, path ? path : "");
        return KVPDF_ERR_OPEN_INPUT;
    }
    PdfFile file(files, f);
    int32_t rc = TestPdfHeader(doc, f);
    if (rc < 1) return rc;
    unsigned char m = 0, point = 0;
    char digits[10];
    if (files.read(&m, 1, 1, f) != 1) m = 0;
    // The point is skipped unread: a short header shows as no minor digits.
    (void)files.read(&point, 1, 1, f);
    size_t n = files.read(digits, 1, sizeof digits, f);
    size_t count = 0;
    int64_t value = 0;
    while (count < n && PdfIsDigit(digits[count]))
        value = value * 10 + (digits[count++] - '0');
    if (major) *major = PdfIsDigit(m) ? m - '0' : 0;
    if (minor) *minor = value > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(value);
    return 7 + static_cast<int32_t>(count);
}

} // namespace kvpdf

using namespace kvpdf;

extern "C" {

KVPDF_API KvPdfHandle KVPDF_CALL KvPDFInit(const char *src_path, const char *target_path,
                                           int32_t sig_buffer_size) {
    if (!src_path) return KVPDF_ERR_OPEN_INPUT;
    auto *doc = static_cast<PdfDocument *>(TrackedAlloc(KV_UNIT, __LINE__, sizeof(PdfDocument)));
    if (!doc) return 0;
    memset(doc, 0, sizeof *doc);
    InitParsed(&doc->parsed);
    InitUpdate(&doc->update);
    InitErrors(&doc->errors);
    doc->file_ops = kStdioFileOps;
    doc->mode = kModeSign;
    if (!InitSettings(&doc->settings, src_path, target_path, sig_buffer_size) ||
        !HandleRegister(doc)) {
        ReleaseDocument(doc);
        return 0;
    }
    return reinterpret_cast<KvPdfHandle>(doc);
}

KVPDF_API int32_t KVPDF_CALL KvPDFClose(KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return 1;
    // The last handle takes the process-wide stores with it, unless it only read.
    if (HandleOpenCount() == 1 && !KeepsProcessStores(doc->mode)) CleanStores(nullptr, kStoreAll);
    HandleUnregister(doc);
    ReleaseDocument(doc);
    return 1;
}

KVPDF_API void KVPDF_CALL KvPDFDestroyer(void **block) {
    if (block) TrackedFree(block);
}

KVPDF_API int32_t KVPDF_CALL KvPDFRestorePDF(KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    // After a reading operation nothing was appended: truncating the output file to
    // the source's length would damage a file this handle never wrote.
    if (doc->parsed.source_length < 1 || !WritesRevision(doc->mode)) {
        KV_ERROR(doc, KVPDF_ERR_RESTORE);
        return KVPDF_ERR_RESTORE;
    }
    return RestoreOutput(doc);
}

KVPDF_API int32_t KVPDF_CALL KvPDFUpdateLocal(KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    return UpdateLocale(doc);
}

KVPDF_API int32_t KVPDF_CALL KvPDFGetVersion(int32_t *major, int32_t *minor, int32_t *release,
                                             int32_t *build) {
    if (major) *major = KVPDF_VERSION_MAJOR;
    if (minor) *minor = KVPDF_VERSION_MINOR;
    if (release) *release = KVPDF_VERSION_RELEASE;
    if (build) *build = KVPDF_VERSION_BUILD;
    return 1;
}

KVPDF_API int32_t KVPDF_CALL KvPDFGetVersionStr(char *buffer) {
    if (!buffer) return 0;
    snprintf(buffer, 16, "%d.%d.%d.%d", KVPDF_VERSION_MAJOR, KVPDF_VERSION_MINOR,
             KVPDF_VERSION_RELEASE, KVPDF_VERSION_BUILD);
    return 1;
}

KVPDF_API int32_t KVPDF_CALL KvIsPDFFile(const char *path, KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    int32_t checked = CheckInputFile(doc, path);
    if (checked < 1) return checked;
    const FileAccess files(doc);
    FILE *f = path ? files.open(path, "rb") : nullptr;
    if (!f) {
        KV_ERROR(doc, KVPDF_ERR_OPEN_INPUT, path ? path : "");
        return KVPDF_ERR_OPEN_INPUT;
    }
    PdfFile file(files, f);
    return TestPdfHeader(doc, f);
}

KVPDF_API int32_t KVPDF_CALL KvIsPDFFilePointer(FILE *file, KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc || !file) return KVPDF_ERR_NULL_HANDLE;
    return TestPdfHeader(doc, file);
}

KVPDF_API int32_t KVPDF_CALL KvGetPDFFileVersion(const char *path, int32_t *major, int32_t *minor,
                                                 KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    return ReadHeaderVersion(doc, path, major, minor);
}

} // extern "C"
