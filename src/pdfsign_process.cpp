// The document-processing run every operation starts with, and the linearization probe.
#include "pdf_document.h"
#include "pdf_error.h"
#include "pdf_internal.h"
#include "pdf_mem.h"
#include "pdf_pades.h"
#include "pdf_utils.h"
#include "pdf_xref.h"
#include "pdfsign_walk.h"

#include <cstring>

#define KV_UNIT "../src/pdfsign.cpp"

namespace {

constexpr size_t kProbeChunk = 4096;

// Each operation reads the document afresh: nothing parsed by an earlier operation
// on the handle may leak into this one (the list of found signatures excepted).
void ResetParsedState(PdfDocument *doc) {
    FreeParsedState(doc);
    doc->root_obj = doc->pages_obj = doc->page_obj = doc->annots_obj = -1;
    doc->acroform_obj = doc->fields_obj = -1;
    doc->kontir_annot_obj = doc->kontir_popup_obj = -1;
    doc->info_obj = 0;
    doc->names_obj = 0;
    doc->sig_field_obj = 0;
    doc->declared_size = doc->prev_xref = -1;
    doc->trailer_size = -1;
    doc->trailer_size_digits = 0;
    doc->xref_sections_read = 0;
    doc->xref_is_stream = 0;
    doc->xref_position = 0;
    doc->trailer_position = 0;
    doc->is_linearized = 0;
    doc->linearized_first_xref_used = 0;
    doc->linearized_first_xref = -1;
    doc->source_length = 0;
    doc->file_length = 0;
    doc->annots_modified = 0;
    doc->used_compressed_objects = 0;
    doc->root_text_length = 0;
    doc->embedded_files_obj = 0;
}

// Number after key in text, or -1 when the key is absent.
int64_t NumberAfter(const char *text, size_t length, const char *key) {
    int64_t at = PdfFind(text, length, key);
    if (at < 0) return -1;
    return PdfParseNumber(text, length, static_cast<size_t>(at) + strlen(key), nullptr);
}

// Position of the next "xref" at or after the current position, or 0 when the file
// ends first.
int32_t FindXrefKeyword(FILE *file, PdfDocument *doc) {
    int64_t base = doc->file_ops.tell(doc, file);
    if (base < 0) return 0;
    char buffer[kProbeChunk + 3];
    size_t carried = 0;
    for (;;) {
        size_t n = doc->file_ops.read(doc, buffer + carried, 1, kProbeChunk, file);
        if (n == 0) return 0;
        size_t total = carried + n;
        const void *hit = memmem(buffer, total, "xref", 4);
        if (hit) {
            int64_t pos =
                base - static_cast<int64_t>(carried) + (static_cast<const char *>(hit) - buffer);
            return pos > 0x7FFFFFFF ? 0 : static_cast<int32_t>(pos);
        }
        // Keep the last three bytes: "xref" may straddle two reads.
        carried = total < 3 ? total : 3;
        memmove(buffer, buffer + total - carried, carried);
        base += static_cast<int64_t>(n);
    }
}

} // namespace

int32_t ProbeLinearized(FILE *file, uint32_t position, PdfDocument *doc) {
    if (position != 0 && doc->file_ops.seek(doc, file, position, 0) != 0) return 0;
    char *read = nullptr;
    uint32_t length = 0;
    if (PdfReadObjectAt(file, position, &read, &length, doc) < 1 || !read) {
        TrackedFreeT(read);
        return 0;
    }
    kvpdf::TrackedPtr<char> text(read);
    if (PdfFind(read, length, "/Linearized") < 0) {
        doc->is_linearized = 0;
        return 0;
    }
    doc->is_linearized = 1;
    int64_t first_page = NumberAfter(read, length, "/O");
    if (first_page > 0 && first_page <= 0x7FFFFFFF)
        doc->page_obj = static_cast<int32_t>(first_page);
    int64_t declared = NumberAfter(read, length, "/L ");
    if (declared < 0) declared = position;
    int64_t first_xref = NumberAfter(read, length, "/T");
    int64_t after_object = int64_t{position} + length;
    if (doc->file_ops.seek(doc, file, 0, 2) != 0) {
        KV_ERROR(doc, KVPDF_ERR_SEEK_END);
        return KVPDF_ERR_SEEK_END;
    }
    int64_t end = doc->file_ops.tell(doc, file);
    doc->source_length = end < 0 || end > 0xFFFFFFFEll ? 0 : static_cast<uint32_t>(end);
    if (end != declared) return KVPDF_ERR_LINEARIZED_UPDATED;
    if (first_xref < 0) return KVPDF_ERR_LINEARIZED_NO_XREF;
    doc->linearized_first_xref = first_xref > 0x7FFFFFFF ? -1 : static_cast<int32_t>(first_xref);
    if (doc->file_ops.seek(doc, file, after_object, 0) != 0) return 0;
    return FindXrefKeyword(file, doc);
}

int32_t ProcessPdf(PdfDocument *doc, const LogoImage *logo) {
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    ResetParsedState(doc);
    int32_t rc = ReadHeaderVersion(doc, doc->src_path, &doc->pdf_major, &doc->pdf_minor);
    if (rc < 0) {
        KV_ERROR(doc, KVPDF_ERR_STAGE_PDF);
        return rc;
    }
    const bool writing = doc->mode == kModeSign || doc->mode == kModeDocTimestamp ||
                         doc->mode == kModeWriteAttachments || doc->mode == kModeRevocation;
    // Two names of one file must not be copied onto each other: that would truncate
    // the source before reading it.
    if (writing && strcmp(doc->target_path, doc->src_path) != 0 &&
        !PdfSameFile(doc->target_path, doc->src_path) &&
        doc->file_ops.copy(doc, doc->target_path, doc->src_path, "wb+") != 0) {
        KV_ERROR(doc, KVPDF_ERR_COPY);
        return KVPDF_ERR_COPY;
    }
    if (doc->no_page_walk == 1) doc->visible_signature = 0;
    const bool read_target =
        doc->mode == kModeSign || doc->mode == kModeDocTimestamp || doc->mode == kModeRevocation;
    FILE *f = doc->file_ops.open(doc, read_target ? doc->target_path : doc->src_path, "rb");
    if (!f) {
        KV_ERROR(doc, KVPDF_ERR_OPEN_OUTPUT);
        KV_ERROR(doc, KVPDF_ERR_STAGE_PDF);
        return KVPDF_ERR_OPEN_OUTPUT;
    }
    kvpdf::PdfFile file(doc, f);
    doc->xref_position = ProbeLinearized(f, 0, doc);
    if (doc->xref_position != 0 && doc->xref_position != KVPDF_ERR_LINEARIZED_UPDATED)
        doc->linearized_first_xref_used = 1;
    if (!doc->linearized_first_xref_used) {
        if (doc->file_ops.seek(doc, f, 0, 2) == 0) {
            int64_t end = doc->file_ops.tell(doc, f);
            doc->source_length = end < 0 || end > 0xFFFFFFFEll ? 0 : static_cast<uint32_t>(end);
        }
    }
    doc->contents_end = doc->source_length;
    doc->xref_position = PdfFindStartXref(f, doc);
    if (doc->xref_position < 1) {
        file.close();
        KV_ERROR(doc, KVPDF_ERR_STAGE_PDF);
        return doc->xref_position;
    }
    rc = PdfReadXref(f, doc->xref_position, doc, logo, 1);
    if (rc < 1) {
        file.close();
        KV_ERROR(doc, KVPDF_ERR_STAGE_PDF);
        return rc < 0 ? rc : KVPDF_ERR_INVALID_XREF_TRAILER;
    }
    doc->trailer_size = rc;
    doc->write_logo = logo;
    rc = ProcessObjects(f, doc->root_obj, doc->no_page_walk, doc);
    file.close();
    if (rc >= 1) return 1;
    KV_ERROR(doc, KVPDF_ERR_STAGE_PDF);
    return rc;
}
