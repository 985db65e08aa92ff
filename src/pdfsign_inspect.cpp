// SPDX-License-Identifier: Apache-2.0
#include "pdfsign_inspect.h"

#include "pdf_document.h"

namespace kvpdf {

int32_t InspectDocument(const char *path, int32_t locale, DocumentInfo *info,
                        std::string *message) {
    KvPdfHandle handle = KvPDFInit(path, nullptr, 0);
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) {
        if (message) *message = "cannot create a document handle";
        return handle < 0 ? static_cast<int32_t>(handle) : KVPDF_ERR_NULL_HANDLE;
    }
    KvPdfSetLocale(handle, locale);
    doc->mode = kModeReadAttachments; // a reading mode that asks nothing of the page
    int32_t rc = ProcessPdf(doc);
    const ParsedDocument &p = doc->parsed;
    info->major = p.pdf_major;
    info->minor = p.pdf_minor;
    if (rc == 1) {
        info->header_length = KvGetPDFFileVersion(path, nullptr, nullptr, handle);
        info->linearized = p.is_linearized != 0;
        info->file_length = p.file_length;
        for (XrefSection *s = p.xref_sections; s; s = s->next)
            info->sections.push_back({s->offset, s->is_stream != 0});
        info->declared_size = p.declared_size;
        for (uint32_t i = 0; i < p.object_offsets_count; ++i) {
            if (p.object_offsets[i] != kNoOffset) ++info->objects_in_use;
            if (p.object_streams[i] != 0) ++info->compressed_objects;
        }
        info->objects_in_use += info->compressed_objects;
        info->root_obj = p.root_obj;
        info->info_obj = p.info_obj;
    } else if (message) {
        ErrorEntry entry;
        int32_t last = KvPdfGetLastErrorIndex(handle);
        message->clear();
        for (int32_t i = 0; i <= last; ++i) {
            if (KvPdfGetError(handle, i, &entry) != 1) continue;
            if (!message->empty()) message->append("\n");
            message->append(std::to_string(entry.code)).append(": ").append(entry.message);
        }
    }
    KvPDFClose(handle);
    return rc;
}

} // namespace kvpdf
