// SPDX-License-Identifier: Apache-2.0
// Writing the revision to be signed, and the two-phase completion: the placeholder and
// the signature value written into the reserved /Contents.
#include "pdf_document.h"
#include "pdf_error.h"
#include "pdf_internal.h"
#include "pdf_mem.h"
#include "pdf_utils.h"
#include "pdf_xref.h"

#include <cstring>

#define KV_UNIT "../src/pdfsign.cpp"

namespace kvpdf {
namespace {

constexpr size_t kZeroBlock = 1 << 16;

// Writes n copies of c.
bool WriteRepeated(const FileAccess &files, FILE *f, char c, uint64_t n) {
    char block[kZeroBlock];
    memset(block, c, sizeof block);
    while (n > 0) {
        size_t chunk = n < sizeof block ? size_t(n) : sizeof block;
        if (files.write(block, 1, chunk, f) != chunk) return false;
        n -= chunk;
    }
    return true;
}

// "<", 2 x sig_buffer_size zeros, ">" at contents_start.
bool WritePlaceholder(const PdfDocument *doc, const FileAccess &files, FILE *f) {
    return files.seek(f, doc->update.contents_start, 0) == 0 && files.write("<", 1, 1, f) == 1 &&
           WriteRepeated(files, f, '0', uint64_t{2} * doc->settings.sig_buffer_size) &&
           files.write(">", 1, 1, f) == 1;
}

bool WriteUpdateAt(const UpdateInProgress &u, const FileAccess &files, FILE *f, uint32_t position) {
    uint32_t n = BufferLength(&u.out_buffer);
    return files.seek(f, position, 0) == 0 && files.write(u.out_buffer, 1, n, f) == n;
}

// A prepared update exists: a /Contents gap after the source and the text behind it.
bool Prepared(const UpdateInProgress &u) {
    return u.contents_start > 0 && u.contents_end > u.contents_start &&
           BufferLength(&u.out_buffer) > 0;
}

// Fills in the last /ByteRange number, reads the revision back, and places the update
// text at contents_start.
int32_t CompleteByteRange(UpdateWriter &w) {
    UpdateInProgress &u = w.update;
    const uint32_t length = BufferLength(&u.out_buffer);
    u.update_end = u.contents_end + length;
    u.byte_range[3] = length;
    char patch[32];
    int digits = snprintf(patch, sizeof patch, "%lu", static_cast<unsigned long>(length));
    // The 26 zeros and ">>" become the length, " ]>>" and blanks: no offset moves.
    snprintf(patch + digits, sizeof patch - digits, " ]>>%*s", 24 - digits, "");
    memcpy(u.out_buffer + u.byte_range_patch_pos, patch, 28);
    int32_t checked = CheckWrittenRevision(w);
    if (checked < 1) return checked;
    FILE *f = w.files.open(w.settings.target_path, "r+b");
    if (!f) {
        KV_ERROR(w, KVPDF_ERR_OPEN_OUTPUT);
        return KVPDF_ERR_OPEN_OUTPUT;
    }
    PdfFile file(w.files, f);
    if (!WriteUpdateAt(u, w.files, f, u.contents_start) || file.close() != 0) {
        KV_ERROR(w, KVPDF_ERR_POSITION);
        return KVPDF_ERR_POSITION;
    }
    return 1;
}

// The completion calls write into the file the first phase left: the same length (with
// or without the value in place), the dictionary's head and the source's last bytes.
// Anything else means the output changed in between, and writing into it now could give
// a signature over bytes no one meant to sign. NULL when it is as left, else what changed.
const char *ChangedSincePhaseOne(const PdfDocument *doc, const FileAccess &files, FILE *f) {
    const UpdateInProgress &u = doc->update;
    const uint32_t source_length = doc->parsed.source_length;
    if (files.seek(f, 0, 2) != 0) return "length";
    const int64_t length = files.tell(f);
    const uint64_t text = BufferLength(&u.out_buffer);
    if (length != static_cast<int64_t>(u.contents_start + text) &&
        length != static_cast<int64_t>(u.update_end))
        return "length";
    auto same = [&](uint64_t at, const char *expected, size_t n) {
        char block[512];
        while (n > 0) {
            size_t chunk = n < sizeof block ? n : sizeof block;
            if (files.seek(f, static_cast<int64_t>(at), 0) != 0 ||
                files.read(block, 1, chunk, f) != chunk || memcmp(block, expected, chunk) != 0)
                return false;
            at += chunk;
            expected += chunk;
            n -= chunk;
        }
        return true;
    };
    if (!u.head_text || !same(source_length, u.head_text, strlen(u.head_text)))
        return "signature dictionary";
    if (!same(source_length - u.source_tail_length, u.source_tail, u.source_tail_length))
        return "end of the source";
    return nullptr;
}

// The all-zero value at contents_start, and with_update the update text behind it, so
// that the file reaches its final layout. Only the blanking call records an open
// failure; the other reports it by its result alone.
int32_t WriteBlankValue(PdfDocument *doc, bool with_update) {
    if (!Prepared(doc->update)) {
        KV_ERROR(doc, KVPDF_ERR_STAGE_WRITESIGN);
        return KVPDF_ERR_STAGE_WRITESIGN;
    }
    const FileAccess files(doc);
    FILE *f = files.open(doc->settings.target_path, "r+b");
    if (!f) {
        if (!with_update) KV_ERROR(doc, KVPDF_ERR_OPEN_OUTPUT);
        return KVPDF_ERR_OPEN_OUTPUT;
    }
    PdfFile file(files, f);
    if (const char *changed = ChangedSincePhaseOne(doc, files, f))
        return KV_FAIL(doc, KVPDF_ERR_OUTPUT_CHANGED, KVPDF_ERR_STAGE_WRITESIGN, changed);
    if (!WritePlaceholder(doc, files, f) ||
        (with_update && !WriteUpdateAt(doc->update, files, f, doc->update.contents_end)) ||
        file.close() != 0) {
        KV_ERROR(doc, KVPDF_ERR_POSITION);
        return KVPDF_ERR_POSITION;
    }
    return 1;
}

// The objects after the dictionary: appearance, widget and note, by the plan's layout.
int WriteAppearanceAndNote(UpdateWriter &w, int32_t *err) {
    const UpdatePlan &plan = w.update.plan;
    int32_t width = 0, height = 0;
    if (!plan.sig_field_obj) return 1; // an existing field takes the signature
    switch (plan.layout) {
    case SignatureLayout::kSigAppx:
        if (!WriteSigAppxAppearance(w, err)) return 0;
        break;
    case SignatureLayout::kStandardVisible:
        if (!WriteAppearanceImage(w, err) || !WriteSignatureWidget(w, err, &width, &height) ||
            !WriteAppearanceForms(w, err, width, height))
            return 0;
        break;
    case SignatureLayout::kPlain:
        if (!WriteSignatureWidget(w, err, &width, &height)) return 0;
        break;
    }
    return !plan.kontir_annot_obj || WriteKontirNote(w, err);
}

int32_t WriteRevision(UpdateWriter &w) {
    int32_t err = 0;
    FILE *target = w.files.open(w.settings.target_path, "a+b");
    if (!target) {
        KV_ERROR(w, KVPDF_ERR_OPEN_OUTPUT);
        return KVPDF_ERR_OPEN_OUTPUT;
    }
    PdfFile file(w.files, target);
    w.update.contents_end = w.parsed.source_length;
    UpdateInProgress &u = w.update;
    const uint32_t tail = w.parsed.source_length < sizeof u.source_tail
                              ? w.parsed.source_length
                              : static_cast<uint32_t>(sizeof u.source_tail);
    // C wants a positioning call between reading and writing one stream; glibc lets it
    // pass, the Windows runtime fails the write.
    if (w.files.seek(target, int64_t{w.parsed.source_length} - tail, 0) != 0 ||
        w.files.read(u.source_tail, 1, tail, target) != tail || w.files.seek(target, 0, 2) != 0) {
        KV_ERROR(w, KVPDF_ERR_POSITION);
        return KVPDF_ERR_POSITION;
    }
    u.source_tail_length = tail;
    bool ok = w.mode == kModeDocTimestamp ? WriteDocTimeStampDictionary(w, &err, target)
                                          : WriteSignatureDictionary(w, &err, target);
    // The head is in the file; everything after the reserved value is in the text.
    if (file.close() != 0 && ok) {
        KV_ERROR(w, KVPDF_ERR_POSITION);
        return KVPDF_ERR_POSITION;
    }
    if (!ok || !WriteAppearanceAndNote(w, &err)) return err;
    SortUpdatedObjects(&w.update.updated_objects);
    if (!(w.parsed.xref_is_stream ? WriteObjectStream(w, &err) : WriteUpdatedObjects(w, &err)))
        return err;
    if (!WriteUpdateXref(w, &err) || !AppendText(w, &err, "%%EOF\r\n")) return err;
    return CompleteByteRange(w);
}

// What the write learnt about the appearance and the time becomes the handle's.
int32_t TakeOverFromWrite(PdfDocument *doc, const LogoImage *logo, int32_t result) {
    HostSettings &s = doc->settings;
    const UpdateInProgress &u = doc->update;
    // The record's image size is the handle's once its widget was written.
    const bool widget_written = u.plan.layout != SignatureLayout::kSigAppx &&
                                u.plan.sig_field_obj &&
                                u.last_object_number >= u.plan.sig_field_obj;
    if (widget_written && s.logo_height == 0 && logo && logo->image_height != 0) {
        s.logo_width = logo->image_width;
        s.logo_height = logo->image_height;
    }
    const LoadedAppearance &file = u.appearance_file;
    if (file.loaded) {
        s.logo_is_sigappx = file.is_sigappx;
        s.logo_box_width = file.box_width;
        s.logo_box_height = file.box_height;
        s.logo_width = file.image_width;
        s.logo_height = file.image_height;
    }
    if (u.signing_time[0]) {
        char *copy = TrackedStrdup(u.signing_time);
        if (!copy) {
            KV_ERROR(doc, KVPDF_ERR_BUFFER);
            return result < 1 ? result : KVPDF_ERR_BUFFER;
        }
        TrackedFreeT(s.signing_time_text);
        s.signing_time_text = copy;
    }
    return result;
}

} // namespace

} // namespace kvpdf

using namespace kvpdf;

extern "C" {

KVPDF_API int32_t KVPDF_CALL KvPdfWritePDFWithoutSignature(KvPdfHandle handle,
                                                           intptr_t logo_value) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    const LogoImage *logo =
        logo_value > 0 ? reinterpret_cast<const LogoImage *>(logo_value) : nullptr;
    // Only a document timestamp keeps its mode; anything else writes a signature.
    if (doc->mode != kModeDocTimestamp) doc->mode = kModeSign;
    int32_t result = ProcessPdf(doc, logo);
    if (result < 1) {
        FinishUpdate(&doc->update);
        return result;
    }
    // The walk found the field to fill: the update then writes no widget of its own.
    if (doc->parsed.filled_field)
        doc->update.plan = PlanSignatureUpdate(doc->parsed, doc->settings, logo, doc->mode);
    UpdateWriter w = WriterOf(doc, logo);
    BeginUpdate(w);
    result = TakeOverFromWrite(doc, logo, WriteRevision(w));
    // A revision that does not read back is taken back out: the output is the copy.
    if (result == KVPDF_ERR_READ_BACK) (void)RestoreOutput(doc);
    if (result >= 1 && doc->settings.copy_digest) result = CompleteSignedDigest(doc);
    FinishUpdate(&doc->update);
    PdfFreeObjectTable(doc->parsed);
    return ApplyVersionRule(doc, result);
}

KVPDF_API int32_t KVPDF_CALL KvPdfWritePDFWithoutTimestamp(KvPdfHandle handle, intptr_t logo) {
    return KvPdfWritePDFWithoutSignature(handle, logo);
}

KVPDF_API int32_t KVPDF_CALL KvPdfCreateDocTimeStamp(KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    doc->mode = kModeDocTimestamp;
    return 1;
}

KVPDF_API int32_t KVPDF_CALL KvPdfWriteDummySignatureAndAddedContent(KvPdfHandle handle,
                                                                     uint32_t *contents_offset) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    if (Prepared(doc->update) && contents_offset) *contents_offset = doc->update.contents_start;
    return WriteBlankValue(doc, true);
}

KVPDF_API int32_t KVPDF_CALL KvPdfWriteDummySignature(KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    return WriteBlankValue(doc, false);
}

KVPDF_API int32_t KVPDF_CALL KvPdfWriteSignature(KvPdfHandle handle, const uint8_t *bytes,
                                                 uint32_t count) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    if (!bytes || count == 0)
        return KV_FAIL(doc, KVPDF_ERR_EMPTY_SIGNATURE, KVPDF_ERR_STAGE_WRITESIGN);
    if (count > doc->settings.sig_buffer_size)
        return KV_FAIL(doc, KVPDF_ERR_SIGNATURE_TOO_LARGE, KVPDF_ERR_STAGE_WRITESIGN);
    if (!Prepared(doc->update)) {
        KV_ERROR(doc, KVPDF_ERR_STAGE_WRITESIGN);
        return KVPDF_ERR_STAGE_WRITESIGN;
    }
    TrackedPtr<char> hex(
        static_cast<char *>(TrackedAlloc(KV_UNIT, __LINE__, size_t{count} * 2 + 1)));
    if (!hex) return KV_FAIL(doc, KVPDF_ERR_BUFFER, KVPDF_ERR_STAGE_WRITESIGN);
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < count; ++i) {
        hex[2 * i] = kDigits[bytes[i] >> 4];
        hex[2 * i + 1] = kDigits[bytes[i] & 15];
    }
    const FileAccess files(doc);
    const UpdateInProgress &u = doc->update;
    FILE *f = files.open(doc->settings.target_path, "r+b");
    if (!f) return KV_FAIL(doc, KVPDF_ERR_OPEN_OUTPUT, KVPDF_ERR_STAGE_WRITESIGN);
    PdfFile file(files, f);
    if (const char *changed = ChangedSincePhaseOne(doc, files, f))
        return KV_FAIL(doc, KVPDF_ERR_OUTPUT_CHANGED, KVPDF_ERR_STAGE_WRITESIGN, changed);
    bool ok = WritePlaceholder(doc, files, f) &&
              files.seek(f, int64_t{u.contents_start} + 1, 0) == 0 &&
              files.write(hex.get(), 1, size_t{count} * 2, f) == size_t{count} * 2 &&
              WriteUpdateAt(u, files, f, u.contents_end);
    if (!ok || file.close() != 0)
        return KV_FAIL(doc, KVPDF_ERR_POSITION, KVPDF_ERR_STAGE_WRITESIGN);
    return 1;
}

KVPDF_API int32_t KVPDF_CALL KvPdfWriteTimestamp(KvPdfHandle handle, const uint8_t *token,
                                                 uint32_t count) {
    return KvPdfWriteSignature(handle, token, count);
}

} // extern "C"
