#include "pdf_attachment.h"

#include "pdf_mem.h"

#include <cstring>

#define KV_UNIT "../src/pdf_attachment.cpp"

int AttachmentListAdd(PdfDocument *doc, const char *name) {
    char *copy = TrackedStrdup(name);
    if (name && !copy) return 0;
    if (!TrackedReallocT(KV_UNIT, __LINE__, doc->attachment_list, doc->attachment_list_count + 1)) {
        TrackedFreeT(copy);
        return 0;
    }
    AttachmentEntry &e = doc->attachment_list[doc->attachment_list_count++];
    memset(&e, 0, sizeof e);
    e.name = copy;
    return 1;
}

void AttachmentListClear(PdfDocument *doc) {
    for (uint32_t i = 0; doc->attachment_list && i < doc->attachment_list_count; ++i) {
        AttachmentEntry &e = doc->attachment_list[i];
        TrackedFreeT(e.name);
        TrackedFreeT(e.description);
        TrackedFreeT(e.data);
    }
    TrackedFreeT(doc->attachment_list);
    doc->attachment_list_count = 0;
}
