// SPDX-License-Identifier: Apache-2.0
#include "pdf_mem.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace kvpdf {
namespace {

// The header is 76 bytes; 4 bytes of padding in front of it put the data on a
// 16-byte boundary, so blocks can hold records with pointers without misaligned access.
constexpr size_t kPad = 4;
constexpr size_t kOverhead = kPad + kTrackedHeaderSize;
static_assert(kOverhead % 16 == 0, "data must stay aligned like malloc's own blocks");
constexpr size_t kMaxData = 0xFFFFFFFFu - kOverhead;

std::atomic<uint64_t> g_allocations{0};
std::atomic<uint64_t> g_fail_at{0};
std::atomic<int64_t> g_live{0};

bool InjectedFailure() {
    uint64_t n = ++g_allocations;
    uint64_t at = g_fail_at.load(std::memory_order_relaxed);
    return at != 0 && n == at;
}

TrackedBlock *HeaderOf(const void *data) {
    return reinterpret_cast<TrackedBlock *>(const_cast<char *>(static_cast<const char *>(data)) -
                                            kTrackedHeaderSize);
}

char *RawOf(TrackedBlock *header) {
    return reinterpret_cast<char *>(header) - kPad;
}

void WriteHeader(TrackedBlock *h, const char *unit, uint32_t line, size_t size, uint32_t used) {
    memset(h->file, 0, sizeof h->file);
    if (unit) strncpy(h->file, unit, sizeof h->file - 1);
    h->line = line;
    h->block_size = static_cast<uint32_t>(size + kTrackedHeaderSize);
    h->used = used;
}

uint32_t DataCapacity(const void *data) {
    return HeaderOf(data)->block_size - kTrackedHeaderSize;
}

// Makes room for `needed` data bytes in a text buffer, growing by half again so that
// long updates are built in amortised linear time.
bool EnsureCapacity(const char *unit, uint32_t line, char **place, size_t needed) {
    if (*place && DataCapacity(*place) >= needed) return true;
    size_t cap = needed;
    if (*place) {
        size_t grown = static_cast<size_t>(DataCapacity(*place)) * 3 / 2;
        if (grown > cap) cap = grown;
    }
    if (cap > kMaxData) cap = needed;
    void *p = *place;
    uint32_t used = p ? HeaderOf(p)->used : 0;
    if (!TrackedRealloc(unit, line, &p, cap)) return false;
    HeaderOf(p)->used = used;
    *place = static_cast<char *>(p);
    return true;
}

void DropBuffer(char **place) {
    void *p = *place;
    TrackedFree(&p);
    *place = nullptr;
}

} // namespace

void *TrackedAlloc(const char *unit, uint32_t line, size_t size) {
    if (size == 0 || size > kMaxData) return nullptr;
    if (InjectedFailure()) return nullptr;
    char *raw = static_cast<char *>(malloc(kOverhead + size));
    if (!raw) return nullptr;
    auto *h = reinterpret_cast<TrackedBlock *>(raw + kPad);
    WriteHeader(h, unit, line, size, 0);
    ++g_live;
    return raw + kOverhead;
}

void *TrackedRealloc(const char *unit, uint32_t line, void **place, size_t new_size) {
    if (!place) return nullptr;
    if (new_size == 0) {
        TrackedFree(place);
        return nullptr;
    }
    if (!*place) {
        *place = TrackedAlloc(unit, line, new_size);
        return *place;
    }
    if (new_size > kMaxData || InjectedFailure()) return nullptr;
    TrackedBlock *old = HeaderOf(*place);
    uint32_t used = old->used;
    char *raw = static_cast<char *>(realloc(RawOf(old), kOverhead + new_size));
    if (!raw) return nullptr; // the old block stays with its owner
    auto *h = reinterpret_cast<TrackedBlock *>(raw + kPad);
    WriteHeader(h, unit, line, new_size, used > new_size ? static_cast<uint32_t>(new_size) : used);
    *place = raw + kOverhead;
    return *place;
}

void TrackedFree(void **place) {
    if (!place || !*place) return;
    TrackedBlock *h = HeaderOf(*place);
    char *raw = RawOf(h);
    PdfWipe(raw, kPad + h->block_size);
    free(raw);
    --g_live;
    *place = nullptr;
}

char *TrackedStrdup(const char *text) {
    if (!text) return nullptr;
    size_t n = strlen(text);
    char *copy = static_cast<char *>(TrackedAlloc("../src/pdf_utils.cpp", __LINE__, n + 1));
    if (copy) memcpy(copy, text, n + 1);
    return copy;
}

char *BufferAppendf(const char *unit, uint32_t line, char **place, int, const char *format, ...) {
    if (!place || !format) return nullptr;
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int len = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    uint32_t used = *place ? HeaderOf(*place)->used : 0;
    if (len < 0 || !EnsureCapacity(unit, line, place, static_cast<size_t>(used) + len + 1)) {
        va_end(args);
        DropBuffer(place);
        return nullptr;
    }
    vsnprintf(*place + used, static_cast<size_t>(len) + 1, format, args);
    va_end(args);
    HeaderOf(*place)->used = used + static_cast<uint32_t>(len);
    return *place;
}

char *BufferAppendBytes(const char *unit, uint32_t line, char **place, size_t length,
                        const void *bytes) {
    if (!place || (length && !bytes)) return nullptr;
    uint32_t used = *place ? HeaderOf(*place)->used : 0;
    if (!EnsureCapacity(unit, line, place, static_cast<size_t>(used) + length + 1)) {
        DropBuffer(place);
        return nullptr;
    }
    if (length) memcpy(*place + used, bytes, length);
    (*place)[used + length] = '\0';
    HeaderOf(*place)->used = used + static_cast<uint32_t>(length);
    return *place;
}

char *BufferReserve(const char *unit, uint32_t line, char **place, size_t extra) {
    if (!place) return nullptr;
    const uint32_t used = *place ? HeaderOf(*place)->used : 0;
    const size_t needed = static_cast<size_t>(used) + extra + 1;
    if (needed > kMaxData || !EnsureCapacity(unit, line, place, needed)) return nullptr;
    return *place + used;
}

void BufferCommit(char **place, size_t n) {
    const uint32_t used = HeaderOf(*place)->used + static_cast<uint32_t>(n);
    (*place)[used] = '\0';
    HeaderOf(*place)->used = used;
}

uint32_t BufferLength(char *const *place) {
    if (!place || !*place) return 0;
    return HeaderOf(*place)->used;
}

int64_t TrackedDataSize(const void *data, uint32_t *size) {
    if (!data) return -1;
    uint32_t block = HeaderOf(data)->block_size;
    if (block <= kTrackedHeaderSize) return -1;
    if (size) *size = block - kTrackedHeaderSize;
    return block - kTrackedHeaderSize;
}

void TrackedFailAt(uint64_t nth) {
    g_fail_at = nth ? g_allocations.load() + nth : 0;
}

uint64_t TrackedAllocationCount() {
    return g_allocations.load();
}

int64_t TrackedLiveBlocks() {
    return g_live.load();
}

} // namespace kvpdf
