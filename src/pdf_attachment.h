// The table of attachments (embedded files) of a handle.
#ifndef KVPDF_PDF_ATTACHMENT_H
#define KVPDF_PDF_ATTACHMENT_H

#include "pdf_document.h"

namespace kvpdf {

struct AttachmentEntry {
    uint32_t filespec_obj; // the /Filespec dictionary object, 0 until known
    uint32_t stream_obj;   // embedded file stream object
    char *name;
    char *description;
    uint8_t *data;
    uint32_t length;
};

// Appends an entry named name (copied unchanged), without description or data.
[[nodiscard]] int AttachmentListAdd(HostSettings *settings, const char *name);
void AttachmentListClear(HostSettings *settings);

} // namespace kvpdf

#endif
