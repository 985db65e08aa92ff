#include "pdf_pades.h"

#include "pdf_mem.h"

#include <cstring>

#define KV_UNIT "../src/pdf_pades.cpp"

namespace kvpdf {
namespace {

void FreeArray(DssArray **array) {
    if (!*array) return;
    for (uint32_t i = 0; (*array)->entries && i < (*array)->count; ++i) {
        TrackedFreeT((*array)->entries[i].data);
        TrackedFreeT((*array)->entries[i].digest);
    }
    TrackedFreeT((*array)->entries);
    TrackedFreeT(*array);
}

} // namespace

DssInfo *DssNewInfo() {
    auto *info = static_cast<DssInfo *>(TrackedAlloc(KV_UNIT, __LINE__, sizeof(DssInfo)));
    if (info) memset(info, 0, sizeof *info);
    return info;
}

DssArray *DssGetArray(DssInfo *info, int32_t kind, int create, bool existing) {
    if (!info || kind < kDssCerts || kind > kDssOcsps) return nullptr;
    DssArray *&slot = info->arrays[kind - 1];
    if (slot || !create) return slot;
    slot = static_cast<DssArray *>(TrackedAlloc(KV_UNIT, __LINE__, sizeof(DssArray)));
    if (!slot) return nullptr;
    memset(slot, 0, sizeof *slot);
    slot->object_number = existing ? 0 : -1;
    slot->changed = existing ? 0 : 1;
    return slot;
}

int DssAppendEntry(DssArray *array, uint32_t object_number, uint8_t *data, uint32_t length,
                   int32_t is_new) {
    if (!TrackedReallocT(KV_UNIT, __LINE__, array->entries, array->count + 1)) {
        TrackedFreeT(data);
        return 0;
    }
    DssEntry &e = array->entries[array->count++];
    memset(&e, 0, sizeof e);
    e.object_number = object_number;
    e.data = data;
    e.length = length;
    e.is_new = is_new;
    return 1;
}

void FreeDssInfo(DssInfo **info) {
    if (!info || !*info) return;
    for (DssArray *&a : (*info)->arrays)
        FreeArray(&a);
    TrackedFreeT(*info);
}

} // namespace kvpdf
