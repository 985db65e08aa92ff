// SPDX-License-Identifier: Apache-2.0
// Tracked memory: every block carries a 76-byte header (unit, line, size, bytes used)
// in front of the data; freeing wipes the whole block and clears the owner's pointer.
#ifndef KVPDF_PDF_MEM_H
#define KVPDF_PDF_MEM_H

#include <cstddef>
#include <cstdint>

// mingw checks "printf" against msvcrt's formats; the library prints through mingw's
// own printf (__USE_MINGW_ANSI_STDIO), which takes the C99 ones.
#if defined(__MINGW32__)
#define KV_PRINTF gnu_printf
#else
#define KV_PRINTF printf
#endif

namespace kvpdf {

struct TrackedBlock {
    char file[64];       // allocating unit, cut to 63 characters, NUL-terminated
    uint32_t line;       // line in that unit
    uint32_t block_size; // data size + 76
    uint32_t used;       // bytes of data in use (text buffers)
};
static_assert(sizeof(TrackedBlock) == 76, "the block header is part of the record layout");

constexpr uint32_t kTrackedHeaderSize = 76;

[[nodiscard]] void *TrackedAlloc(const char *unit, uint32_t line, size_t size);
// memmem and explicit_bzero, which Windows lacks (pdf_utils_platform.cpp).
[[nodiscard]] const void *PdfMemFind(const void *haystack, size_t length, const void *needle,
                                     size_t needle_length);
void PdfWipe(void *block, size_t size);
[[nodiscard]] void *TrackedRealloc(const char *unit, uint32_t line, void **place, size_t new_size);
void TrackedFree(void **place);
[[nodiscard]] char *TrackedStrdup(const char *text);
[[nodiscard]] char *BufferAppendf(const char *unit, uint32_t line, char **place, int reserved,
                                  const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(KV_PRINTF, 5, 6)))
#endif
    ;
[[nodiscard]] char *BufferAppendBytes(const char *unit, uint32_t line, char **place, size_t length,
                                      const void *bytes);
uint32_t BufferLength(char *const *place);
// Room for extra bytes after the used ones, without counting them: where they go, or
// NULL when memory is short (the buffer stays as it was). BufferCommit counts n of them.
[[nodiscard]] char *BufferReserve(const char *unit, uint32_t line, char **place, size_t extra);
void BufferCommit(char **place, size_t n);
int64_t TrackedDataSize(const void *data, uint32_t *size);

// Typed conveniences over the place-taking operations.
template <typename T> inline void TrackedFreeT(T *&ptr) {
    void *p = const_cast<void *>(static_cast<const void *>(ptr));
    TrackedFree(&p);
    ptr = nullptr;
}
template <typename T>
[[nodiscard]] inline T *TrackedReallocT(const char *unit, uint32_t line, T *&ptr, size_t count) {
    void *p = static_cast<void *>(ptr);
    void *r = TrackedRealloc(unit, line, &p, count * sizeof(T));
    if (r || count == 0) ptr = static_cast<T *>(r);
    return static_cast<T *>(r);
}

// Owns one tracked block and frees it on scope exit.
template <typename T> class TrackedPtr {
public:
    TrackedPtr() = default;
    explicit TrackedPtr(T *p) : ptr_(p) {}
    TrackedPtr(const TrackedPtr &) = delete;
    TrackedPtr &operator=(const TrackedPtr &) = delete;
    TrackedPtr(TrackedPtr &&o) noexcept : ptr_(o.release()) {}
    TrackedPtr &operator=(TrackedPtr &&o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~TrackedPtr() { reset(); }
    T *get() const { return ptr_; }
    T *&ref() { return ptr_; }
    T *release() {
        T *p = ptr_;
        ptr_ = nullptr;
        return p;
    }
    void reset(T *p = nullptr) {
        if (ptr_) TrackedFreeT(ptr_);
        ptr_ = p;
    }
    explicit operator bool() const { return ptr_ != nullptr; }
    T &operator[](size_t i) const { return ptr_[i]; }

private:
    T *ptr_ = nullptr;
};

// Test hooks: count allocations, make the n-th one (1-based, counted from the call)
// fail, and count the blocks alive.
void TrackedFailAt(uint64_t nth);
uint64_t TrackedAllocationCount();
int64_t TrackedLiveBlocks();

} // namespace kvpdf

#endif
