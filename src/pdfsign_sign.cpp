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

using kvpdf::TrackedPtr;

namespace {

constexpr size_t kZeroBlock = 1 << 16;

// Writes n copies of c through the file operations.
bool WriteRepeated(PdfDocument *doc, FILE *f, char c, uint64_t n) {
    char block[kZeroBlock];
    memset(block, c, sizeof block);
    while (n > 0) {
        size_t chunk = n < sizeof block ? size_t(n) : sizeof block;
        if (doc->file_ops.write(doc, block, 1, chunk, f) != chunk) return false;
        n -= chunk;
    }
    return true;
}

// "<", 2 x sig_buffer_size zeros, ">" at contents_start.
bool WritePlaceholder(PdfDocument *doc, FILE *f) {
    return doc->file_ops.seek(doc, f, doc->contents_start, 0) == 0 &&
           doc->file_ops.write(doc, "<", 1, 1, f) == 1 &&
           WriteRepeated(doc, f, '0', uint64_t{2} * doc->sig_buffer_size) &&
           doc->file_ops.write(doc, ">", 1, 1, f) == 1;
}

bool WriteUpdateAt(PdfDocument *doc, FILE *f, uint32_t position) {
    uint32_t n = BufferLength(&doc->out_buffer);
    return doc->file_ops.seek(doc, f, position, 0) == 0 &&
           doc->file_ops.write(doc, doc->out_buffer, 1, n, f) == n;
}

// A prepared update exists: a /Contents gap after the source and the text behind it.
bool Prepared(const PdfDocument *doc) {
    return doc->contents_start > 0 && doc->contents_end > doc->contents_start &&
           BufferLength(&doc->out_buffer) > 0;
}

// Fills in the last /ByteRange number and places the update text at contents_start.
int32_t CompleteByteRange(PdfDocument *doc) {
    const uint32_t length = BufferLength(&doc->out_buffer);
    doc->update_end = doc->contents_end + length;
    doc->byte_range[3] = length;
    char patch[32];
    int digits = snprintf(patch, sizeof patch, "%lu", static_cast<unsigned long>(length));
    // The 26 zeros and ">>" become the length, " ]>>" and blanks: no offset moves.
    snprintf(patch + digits, sizeof patch - digits, " ]>>%*s", 24 - digits, "");
    memcpy(doc->out_buffer + doc->byte_range_patch_pos, patch, 28);
    FILE *f = doc->file_ops.open(doc, doc->target_path, "r+b");
    if (!f) {
        KV_ERROR(doc, KVPDF_ERR_OPEN_OUTPUT);
        return KVPDF_ERR_OPEN_OUTPUT;
    }
    kvpdf::PdfFile file(doc, f);
    if (!WriteUpdateAt(doc, f, doc->contents_start) || file.close() != 0) {
        KV_ERROR(doc, KVPDF_ERR_POSITION);
        return KVPDF_ERR_POSITION;
    }
    return 1;
}

// The all-zero value at contents_start, and with_update the update text behind it, so
// that the file reaches its final layout. Only the blanking call records an open
// failure; the other reports it by its result alone.
int32_t WriteBlankValue(PdfDocument *doc, bool with_update) {
    if (!Prepared(doc)) {
        KV_ERROR(doc, KVPDF_ERR_STAGE_WRITESIGN);
        return KVPDF_ERR_STAGE_WRITESIGN;
    }
    FILE *f = doc->file_ops.open(doc, doc->target_path, "r+b");
    if (!f) {
        if (!with_update) KV_ERROR(doc, KVPDF_ERR_OPEN_OUTPUT);
        return KVPDF_ERR_OPEN_OUTPUT;
    }
    kvpdf::PdfFile file(doc, f);
    if (!WritePlaceholder(doc, f) || (with_update && !WriteUpdateAt(doc, f, doc->contents_end)) ||
        file.close() != 0) {
        KV_ERROR(doc, KVPDF_ERR_POSITION);
        return KVPDF_ERR_POSITION;
    }
    return 1;
}

int32_t WriteRevision(PdfDocument *doc, const LogoImage *logo) {
    int32_t err = 0;
    FILE *target = doc->file_ops.open(doc, doc->target_path, "a+b");
    if (!target) {
        KV_ERROR(doc, KVPDF_ERR_OPEN_OUTPUT);
        return KVPDF_ERR_OPEN_OUTPUT;
    }
    doc->contents_end = doc->source_length;
    const bool timestamp = doc->mode == kModeDocTimestamp;
    // The dictionary writers close the target.
    if (!(timestamp ? WriteDocTimeStampDictionary(doc, &err, target)
                    : WriteSignatureDictionary(doc, &err, target)))
        return err;
    doc->sig_dict_obj = static_cast<int32_t>(doc->last_object_number);
    if (doc->xref_sections_read == 1 && doc->annots_modified == 1) doc->xref_sections_read = 2;
    if (doc->linearized_first_xref_used == 1)
        doc->xref_sections_read = 1;
    else if (doc->is_linearized == 1)
        --doc->xref_sections_read;
    if (PdfNeedsLogoObjects(doc, logo)) {
        if (!(doc->visible_signature == 1
                  ? WriteSigAppxAppearance(doc, logo, &err)
                  : WriteSignatureWidget(doc, logo, &err, nullptr, nullptr)))
            return err;
    } else {
        int32_t width = 0, height = 0;
        if (!timestamp && !WriteAppearanceImage(doc, &err, logo)) return err;
        if (!WriteSignatureWidget(doc, logo, &err, &width, &height)) return err;
        if (!timestamp && !WriteAppearanceForms(doc, &err, width, height)) return err;
        if (!WriteKontirNote(doc, &err)) return err;
    }
    SortUpdatedObjects(doc);
    if (!(doc->xref_is_stream ? WriteObjectStream(doc, &err) : WriteUpdatedObjects(doc, &err)))
        return err;
    if (!WriteUpdateXref(doc, &err) || !AppendText(doc, &err, "%%EOF\r\n")) return err;
    return CompleteByteRange(doc);
}

} // namespace

extern "C" {

KVPDF_API int32_t KvPdfWritePDFWithoutSignature(KvPdfHandle handle, intptr_t logo_value) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    const LogoImage *logo =
        logo_value > 0 ? reinterpret_cast<const LogoImage *>(logo_value) : nullptr;
    // Only a document timestamp keeps its mode; anything else writes a signature.
    if (doc->mode != kModeDocTimestamp) doc->mode = kModeSign;
    int32_t result = ProcessPdf(doc, logo);
    if (result < 1) {
        FinishUpdate(doc);
        doc->write_logo = nullptr;
        return result;
    }
    BeginUpdate(doc);
    result = WriteRevision(doc, logo);
    FinishUpdate(doc);
    doc->write_logo = nullptr;
    PdfFreeObjectTable(doc);
    return ApplyVersionRule(doc, result);
}

KVPDF_API int32_t KvPdfWritePDFWithoutTimestamp(KvPdfHandle handle, intptr_t logo) {
    return KvPdfWritePDFWithoutSignature(handle, logo);
}

KVPDF_API int32_t KvPdfCreateDocTimeStamp(KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    doc->mode = kModeDocTimestamp;
    return 1;
}

KVPDF_API int32_t KvPdfWriteDummySignatureAndAddedContent(KvPdfHandle handle,
                                                          uint32_t *contents_offset) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    if (Prepared(doc) && contents_offset) *contents_offset = doc->contents_start;
    return WriteBlankValue(doc, true);
}

KVPDF_API int32_t KvPdfWriteDummySignature(KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    return WriteBlankValue(doc, false);
}

KVPDF_API int32_t KvPdfWriteSignature(KvPdfHandle handle, const uint8_t *bytes, uint32_t count) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    auto failure = [&](int32_t code) {
        KV_ERROR(doc, code);
        KV_ERROR(doc, KVPDF_ERR_STAGE_WRITESIGN);
        return code;
    };
    if (!bytes || count == 0) return failure(KVPDF_ERR_EMPTY_SIGNATURE);
    if (count > doc->sig_buffer_size) return failure(KVPDF_ERR_SIGNATURE_TOO_LARGE);
    if (!Prepared(doc)) {
        KV_ERROR(doc, KVPDF_ERR_STAGE_WRITESIGN);
        return KVPDF_ERR_STAGE_WRITESIGN;
    }
    TrackedPtr<char> hex(
        static_cast<char *>(TrackedAlloc(KV_UNIT, __LINE__, size_t{count} * 2 + 1)));
    if (!hex) return failure(KVPDF_ERR_BUFFER);
    static const char kDigits[] = "0123456789abcdef";
    for (uint32_t i = 0; i < count; ++i) {
        hex[2 * i] = kDigits[bytes[i] >> 4];
        hex[2 * i + 1] = kDigits[bytes[i] & 15];
    }
    FILE *f = doc->file_ops.open(doc, doc->target_path, "r+b");
    if (!f) return failure(KVPDF_ERR_OPEN_OUTPUT);
    kvpdf::PdfFile file(doc, f);
    bool ok = WritePlaceholder(doc, f) &&
              doc->file_ops.seek(doc, f, int64_t{doc->contents_start} + 1, 0) == 0 &&
              doc->file_ops.write(doc, hex.get(), 1, size_t{count} * 2, f) == size_t{count} * 2 &&
              WriteUpdateAt(doc, f, doc->contents_end);
    if (!ok || file.close() != 0) return failure(KVPDF_ERR_POSITION);
    return 1;
}

KVPDF_API int32_t KvPdfWriteTimestamp(KvPdfHandle handle, const uint8_t *token, uint32_t count) {
    return KvPdfWriteSignature(handle, token, count);
}

} // extern "C"
