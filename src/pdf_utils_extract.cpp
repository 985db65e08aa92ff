// SPDX-License-Identifier: Apache-2.0
// Copying the signed byte ranges of a signature out to a file, with its decoded value.
#include "pdf_utils.h"

#include "pdf_mem.h"

#include <cstring>

#define KV_UNIT "../src/pdf_utils.cpp"

namespace kvpdf {
namespace {

constexpr size_t kBlock = 1 << 20;

int Nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

// Copies up to n bytes from the current position of in to out; returns the count.
uint64_t CopyBytes(const FileAccess &files, FILE *in, FILE *out, uint64_t n, char *block) {
    uint64_t copied = 0;
    while (copied < n) {
        size_t want = n - copied < kBlock ? size_t(n - copied) : kBlock;
        size_t got = files.read(block, 1, want, in);
        if (got == 0) break;
        if (files.write(block, 1, got, out) != got) break;
        copied += got;
        if (got < want) break;
    }
    return copied;
}

} // namespace

namespace {

// The hexadecimal value between '<' (at a) and '>' (at b - 1), decoded; src is left
// just after it.
uint8_t *ReadValue(const FileAccess &files, FILE *src, uint32_t a, uint32_t b,
                   uint32_t *out_length) {
    if (b < uint64_t{a} + 2) return nullptr;
    uint64_t digits = uint64_t{b} - a - 2;
    TrackedPtr<char> hex(static_cast<char *>(TrackedAlloc(KV_UNIT, __LINE__, size_t(digits) + 1)));
    if (!hex || files.seek(src, int64_t{a} + 1, 0) != 0) return nullptr;
    size_t got = files.read(hex.get(), 1, size_t(digits), src);
    size_t count = got / 2;
    auto *value = static_cast<uint8_t *>(TrackedAlloc(KV_UNIT, __LINE__, count + 1));
    if (!value) return nullptr;
    for (size_t i = 0; i < count; ++i)
        value[i] = static_cast<uint8_t>(Nibble(hex[2 * i]) << 4 | Nibble(hex[2 * i + 1]));
    value[count] = 0;
    if (out_length) *out_length = static_cast<uint32_t>(count);
    return value;
}

} // namespace

uint8_t *PdfWriteByteRange(const FileAccess &files, const char *source, const char *destination,
                           uint32_t *out_length, int32_t *error, uint32_t a, uint32_t b,
                           uint32_t c) {
    if (out_length) *out_length = 0;
    if (!source || !*source) return nullptr;
    if (error) *error = 0;
    FILE *dst = destination ? files.open(destination, "wb") : nullptr;
    FILE *src = files.open(source, "rb");
    PdfFile src_file(files, src), dst_file(files, dst);
    if (!src) {
        if (error) *error = KVPDF_ERR_EXTRACT_OPEN_SOURCE;
        return nullptr;
    }
    if (!dst) {
        if (error) *error = KVPDF_ERR_EXTRACT_OPEN_DEST;
        return nullptr;
    }
    TrackedPtr<char> block(static_cast<char *>(TrackedAlloc(KV_UNIT, __LINE__, kBlock)));
    if (!block) return nullptr;
    // The first range, then the value.
    if (CopyBytes(files, src, dst, a, block.get()) < a) return nullptr;
    uint8_t *value = ReadValue(files, src, a, b, out_length);
    if (!value) return nullptr;
    // Bytes of later revisions behind the second range are not copied; a short second
    // range shows in the copy's length, which the verification then rejects.
    if (files.seek(src, b, 0) == 0) (void)CopyBytes(files, src, dst, c, block.get());
    return value;
}

uint8_t *PdfReadSignatureValue(const FileAccess &files, const char *source, uint32_t a, uint32_t b,
                               uint32_t *out_length) {
    if (out_length) *out_length = 0;
    FILE *src = source ? files.open(source, "rb") : nullptr;
    PdfFile src_file(files, src);
    return src ? ReadValue(files, src, a, b, out_length) : nullptr;
}

} // namespace kvpdf

using namespace kvpdf;

extern "C" {

KVPDF_API uint8_t *KVPDF_CALL KvPdfWritePDFByteRange(KvPdfHandle handle, const char *source,
                                                     const char *destination, uint32_t *out_length,
                                                     int32_t *error, uint32_t a, uint32_t b,
                                                     uint32_t c) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) {
        if (error) *error = KVPDF_ERR_NULL_HANDLE;
        if (out_length) *out_length = 0;
        return nullptr;
    }
    return PdfWriteByteRange(FileAccess(doc), source, destination, out_length, error, a, b, c);
}

KVPDF_API uint8_t *KVPDF_CALL KvPdfWritePDFForVerify(KvPdfHandle handle, const char *source,
                                                     const char *destination, int32_t index,
                                                     uint32_t *out_length, int32_t *error) {
    PdfDocument *doc = HandleLookup(handle);
    if (out_length) *out_length = 0;
    if (!doc) {
        if (error) *error = KVPDF_ERR_NULL_HANDLE;
        return nullptr;
    }
    int32_t code = 0;
    if (!PdfCheckSignatureIndex(doc->found, &index, &code)) {
        if (error) *error = code;
        return nullptr;
    }
    const uint32_t *r = doc->found.signatures[index].byte_range;
    return PdfWriteByteRange(FileAccess(doc), source, destination, out_length, error, r[1], r[2],
                             r[3]);
}

KVPDF_API uint8_t *KVPDF_CALL KvPdfWritePDFSignatureByteRange(KvPdfHandle handle,
                                                              const char *destination,
                                                              uint32_t *out_length, int32_t index,
                                                              int32_t *error) {
    PdfDocument *doc = HandleLookup(handle);
    return KvPdfWritePDFForVerify(handle, doc ? doc->settings.src_path : nullptr, destination,
                                  index, out_length, error);
}

} // extern "C"
