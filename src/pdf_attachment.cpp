#include "pdf_attachment.h"

#include "pdf_mem.h"

#include <cstring>

#define KV_UNIT "../src/pdf_attachment.cpp"

namespace kvpdf {

int AttachmentListAdd(HostSettings *settings, const char *name) {
    char *copy = TrackedStrdup(name);
    if (name && !copy) return 0;
    uint32_t &count = settings->attachment_list_count;
    if (!TrackedReallocT(KV_UNIT, __LINE__, settings->attachment_list, count + 1)) {
        TrackedFreeT(copy);
        return 0;
    }
    AttachmentEntry &e = settings->attachment_list[count++];
    memset(&e, 0, sizeof e);
    e.name = copy;
    return 1;
}

void AttachmentListClear(HostSettings *settings) {
    for (uint32_t i = 0; settings->attachment_list && i < settings->attachment_list_count; ++i) {
        AttachmentEntry &e = settings->attachment_list[i];
        TrackedFreeT(e.name);
        TrackedFreeT(e.description);
        TrackedFreeT(e.data);
    }
    TrackedFreeT(settings->attachment_list);
    settings->attachment_list_count = 0;
}

} // namespace kvpdf
