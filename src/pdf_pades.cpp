// SPDX-License-Identifier: Apache-2.0
// The Document Security Store in memory, and collecting the validation data of a
// document's signatures and timestamps into it.
#include "pdf_pades.h"

#include "pdf_crypto_kvsxades.h"
#include "pdf_error.h"
#include "pdf_mem.h"
#include "pdf_pades_crypto.h"
#include "pdf_utils.h"
#include "pdf_xref.h"

#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <vector>

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

int32_t DssAddBlocks(ParsedDocument &p, DataBlock *blocks, uint32_t count, int32_t kind) {
    int32_t added = 0;
    auto release_from = [&](uint32_t i) {
        for (; i < count; ++i)
            TrackedFreeT(blocks[i].data);
    };
    if (!p.dss_info) p.dss_info = DssNewInfo();
    DssArray *array = DssGetArray(p.dss_info, kind, 1, false);
    if (!array) {
        release_from(0);
        return KVPDF_ERR_BUFFER;
    }
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t *data = blocks[i].data;
        blocks[i].data = nullptr;
        if (!data) continue;
        if (DssHasDuplicate(data, blocks[i].length, array)) {
            TrackedFreeT(data);
            continue;
        }
        if (!DssAppendEntry(array, 0, data, blocks[i].length, 1)) {
            release_from(i + 1);
            return KVPDF_ERR_BUFFER;
        }
        // Also an array read empty must be written again, or its new stream is lost.
        array->changed = 1;
        if (array->object_number == 0) p.dss_info->changed = 1;
        ++added;
    }
    return added;
}

void DssMarkWritten(DssInfo *info) {
    if (!info) return;
    info->changed = 0;
    for (DssArray *a : info->arrays) {
        if (!a) continue;
        a->changed = 0;
        for (uint32_t i = 0; i < a->count; ++i)
            a->entries[i].is_new = 0;
    }
}

void FreeDssInfo(DssInfo **info) {
    if (!info || !*info) return;
    for (DssArray *&a : (*info)->arrays)
        FreeArray(&a);
    TrackedFreeT(*info);
}

} // namespace kvpdf

namespace {

// One stream the document's DSS holds, whichever revision lists it.
struct DssView {
    uint32_t object_number;
    const uint8_t *data;
    uint32_t length;
};

// The entries of one kind over every revision's DSS, oldest first. A later revision
// that lists an older one's stream again (the usual way a DSS grows) adds nothing. A
// host reads them one index at a time, so this stays linear.
std::vector<DssView> DssEntriesOfKind(const kvpdf::ParsedDocument &p, int32_t kind) {
    std::vector<DssView> out;
    std::unordered_multimap<uint32_t, size_t> by_number; // positions in out
    for (const kvpdf::XrefSection *s = p.xref_oldest; s; s = s->previous) {
        const kvpdf::DssArray *a = s->dss ? s->dss->arrays[kind - 1] : nullptr;
        for (uint32_t i = 0; a && i < a->count; ++i) {
            const kvpdf::DssEntry &e = a->entries[i];
            if (!e.data) continue;
            bool seen = false;
            for (auto [at, end] = by_number.equal_range(e.object_number); !seen && at != end;
                 ++at) {
                const DssView &v = out[at->second];
                seen = v.length == e.length && memcmp(v.data, e.data, e.length) == 0;
            }
            if (seen) continue;
            by_number.emplace(e.object_number, out.size());
            out.push_back({e.object_number, e.data, e.length});
        }
    }
    return out;
}

} // namespace

extern "C" {

KVPDF_API int32_t KVPDF_CALL KvPdfGetDssData(KvPdfHandle handle, int32_t kind, int32_t index,
                                             const uint8_t **data, uint32_t *length) {
    kvpdf::PdfDocument *doc = kvpdf::HandleLookup(handle);
    if (!doc || kind < kvpdf::kDssCerts || kind > kvpdf::kDssOcsps) return -1;
    try {
        const std::vector<DssView> entries = DssEntriesOfKind(doc->parsed, kind);
        if (index >= 0 && static_cast<size_t>(index) < entries.size()) {
            if (data) *data = entries[index].data;
            if (length) *length = entries[index].length;
        }
        return static_cast<int32_t>(entries.size());
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

} // extern "C"
