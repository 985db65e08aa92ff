// SPDX-License-Identifier: Apache-2.0
// Reading objects and streams through the handle's file operations.
#include "pdf_utils.h"

#include "pdf_error.h"
#include "pdf_mem.h"
#include "pdf_xref.h"

#include <cstring>
#include <initializer_list>
#include <zlib.h>

#define KV_UNIT "../src/pdf_utils.cpp"

namespace kvpdf {
namespace {

enum class Located { kSeeked, kCompressed };

// Positions the file for the selector. A compressed object is read right here, since
// it has no file position of its own.
int32_t Locate(Reader r, FILE *file, ObjectSelector selector, Located *how, char **out_text,
               uint32_t *out_length) {
    *how = Located::kSeeked;
    ParsedDocument &p = r.parsed;
    if (selector > 0) {
        auto n = static_cast<uint32_t>(selector);
        if (p.object_offsets && n < p.object_offsets_count && p.object_offsets[n] != kNoOffset)
            return r.files.seek(file, p.object_offsets[n], 0) == 0 ? 1 : KVPDF_ERR_POSITION;
        if (!p.xref_is_stream) return 1;
        p.used_compressed_objects = 1;
        uint32_t stream = p.reading_compressed ? 0 : PdfFindObjectStream(p, n, nullptr);
        if (stream == 0) {
            KV_ERROR(r, KVPDF_ERR_COMPRESSED_OBJECT, static_cast<unsigned long>(n));
            return KVPDF_ERR_COMPRESSED_OBJECT;
        }
        *how = Located::kCompressed;
        p.reading_compressed = 1;
        int32_t rc = PdfReadCompressedObject(r, file, stream, n, out_text, out_length);
        p.reading_compressed = 0;
        // An object its stream does not yield leaves no text, which the callers treat as
        // an object they cannot read; a lack of memory must not pass for that.
        return rc == KVPDF_ERR_OBJECT_TABLE_MEMORY || rc == KVPDF_ERR_ZLIB_MEMORY ? rc : 1;
    }
    if (selector < 0) {
        if (selector == INT32_MIN) return KVPDF_ERR_POSITION;
        return r.files.seek(file, -static_cast<int64_t>(selector), 0) == 0 ? 1 : KVPDF_ERR_POSITION;
    }
    return 1;
}

// The first occurrence of key at which accept(position) holds, or -1.
template <typename Accept>
int64_t FindWhere(const char *text, size_t length, const char *key, Accept accept) {
    const size_t k = strlen(key);
    for (size_t from = 0; from < length;) {
        int64_t at = PdfFind(text + from, length - from, key);
        if (at < 0) return -1;
        size_t pos = from + static_cast<size_t>(at);
        if (accept(pos)) return static_cast<int64_t>(pos);
        from = pos + k;
    }
    return -1;
}

// The "stream" keyword that closes a dictionary: its preceding non-blank character is
// '>', so that a value such as /application#2Foctet-stream, or "endstream", never counts.
int64_t DictionaryStreamKeyword(const char *text, size_t length) {
    return FindWhere(text, length, "stream", [&](size_t pos) {
        size_t back = pos;
        while (back > 0 && PdfIsSpace(static_cast<unsigned char>(text[back - 1])))
            --back;
        return back > 0 && text[back - 1] == '>';
    });
}

} // namespace

int64_t PdfFindLengthKey(const char *text, size_t length) {
    return FindWhere(text, length, "/Length", [&](size_t pos) {
        return pos + 7 < length && PdfIsSpace(static_cast<unsigned char>(text[pos + 7]));
    });
}

int64_t PdfStreamKeyword(const char *text, size_t length) {
    int64_t at = DictionaryStreamKeyword(text, length);
    if (at >= 0) return at;
    for (const char *key : {"stream\r", "stream\n", "stream"}) {
        at = PdfFind(text, length, key);
        if (at >= 0) return at;
    }
    return -1;
}

uint32_t PdfDecodeLimit(const ParsedDocument &p) {
    const uint64_t floor = 16u << 20, scaled = uint64_t{p.file_length} * 32;
    uint64_t limit = scaled > floor ? scaled : floor;
    return limit > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<uint32_t>(limit);
}

int32_t PdfDecodeStreamData(const char *dict, size_t dict_length, const uint8_t *data,
                            uint32_t length, uint32_t limit, uint8_t **out, uint32_t *out_length,
                            bool strict, uint32_t expected) {
    *out = nullptr;
    *out_length = 0;
    int64_t filter = PdfFind(dict, dict_length, "/Filter");
    if (filter < 0) {
        auto *copy = static_cast<uint8_t *>(TrackedAlloc(KV_UNIT, __LINE__, size_t{length} + 1));
        if (!copy) return KVPDF_ERR_ZLIB_MEMORY;
        if (length) memcpy(copy, data, length);
        copy[length] = 0;
        *out = copy;
        *out_length = length;
        return 1;
    }
    // Only the first filter of an array counts, and it must be Flate.
    size_t f = static_cast<size_t>(filter) + 7;
    while (f < dict_length && dict[f] != '/')
        ++f;
    if (f + 3 > dict_length || memcmp(dict + f, "/Fl", 3) != 0) return KVPDF_ERR_FILTER_UNSUPPORTED;
    uint64_t initial = uint64_t{length} * 50;
    if (initial > limit) initial = limit;
    uint32_t capacity = static_cast<uint32_t>(initial > (1u << 24) ? (1u << 24) : initial);
    // A declared size saves growing the block, as far as the data could inflate to it
    // (deflate packs at most 1032 to 1).
    if (expected > capacity && uint64_t{expected} <= uint64_t{length} * 1032)
        capacity = expected < limit ? expected : limit;
    if (capacity == 0) capacity = 1;
    TrackedPtr<uint8_t> decoded(static_cast<uint8_t *>(TrackedAlloc(KV_UNIT, __LINE__, capacity)));
    if (!decoded) return KVPDF_ERR_ZLIB_MEMORY;
    int64_t produced = PdfInflate(data, length, &decoded.ref(), &capacity, limit, strict);
    if (produced < 0) return static_cast<int32_t>(produced);
    // Fit the block to the data (one spare byte keeps it NUL-terminated).
    void *p = decoded.release();
    if (!TrackedRealloc(KV_UNIT, __LINE__, &p, static_cast<size_t>(produced) + 1) &&
        static_cast<uint64_t>(produced) >= capacity) {
        TrackedFree(&p);
        return KVPDF_ERR_ZLIB_MEMORY;
    }
    *out = static_cast<uint8_t *>(p);
    (*out)[produced] = 0;
    *out_length = static_cast<uint32_t>(produced);
    return 1;
}

int32_t PdfReadUntil(Reader r, FILE *file, ObjectSelector selector, char **out_text, uint32_t chunk,
                     const char *terminator, int binary, uint32_t limit, uint32_t *out_length) {
    if (out_text) *out_text = nullptr;
    if (out_length) *out_length = 0;
    if (!file || !out_text || !terminator || !*terminator || chunk == 0) return kReadFailed;
    Located how;
    uint32_t compressed_length = 0;
    int32_t rc = Locate(r, file, selector, &how, out_text, &compressed_length);
    if (rc < 1) return rc;
    if (how == Located::kCompressed) {
        if (out_length) *out_length = compressed_length;
        return 1;
    }
    const size_t term = strlen(terminator);
    TrackedPtr<char> buffer;
    size_t capacity = 0, total = 0;
    for (;;) {
        // The accumulation buffer grows geometrically; each new chunk is searched
        // together with the term bytes before it, so the text is scanned once.
        if (total + chunk + 1 > capacity) {
            size_t want = capacity * 2 > total + chunk + 1 ? capacity * 2 : total + chunk + 1;
            if (want > 0xFFFFFFF0u) return kReadFailed;
            if (!TrackedReallocT(KV_UNIT, __LINE__, buffer.ref(), want)) {
                KV_ERROR(r, KVPDF_ERR_OBJECT_TABLE_MEMORY);
                return KVPDF_ERR_OBJECT_TABLE_MEMORY;
            }
            capacity = want;
        }
        size_t n = r.files.read(buffer.get() + total, 1, chunk, file);
        if (n == 0) break;
        total += n;
        buffer[total] = '\0';
        size_t s = total >= n + term + 1 ? total - n - term : 0;
        const char *hit;
        if (binary) {
            hit = static_cast<const char *>(
                PdfMemFind(buffer.get() + s, total - s, terminator, term));
        } else {
            // Text mode: a NUL byte ends the searchable part of a window.
            hit = strstr(buffer.get() + s, terminator);
        }
        if (hit) {
            size_t result = static_cast<size_t>(hit - buffer.get()) + term;
            char *text = buffer.release();
            void *p = text;
            // A failed shrink keeps the larger block, which holds the same text.
            (void)TrackedRealloc(KV_UNIT, __LINE__, &p, result + 1);
            text = static_cast<char *>(p);
            text[result] = '\0';
            *out_text = text;
            if (out_length) *out_length = static_cast<uint32_t>(result);
            return 1;
        }
        if (limit && total >= limit) break;
        if (r.files.eof(file)) break;
    }
    return kReadFailed;
}

int32_t PdfReadObject(Reader r, FILE *file, ObjectSelector object, char **out_text) {
    return PdfReadUntil(r, file, object, out_text, 512, "endobj", 0, 0, nullptr);
}

int32_t PdfReadObjectBinary(Reader r, FILE *file, ObjectSelector object, char **out_text,
                            uint32_t *out_length) {
    return PdfReadUntil(r, file, object, out_text, 512, "endobj", 1, 0, out_length);
}

int32_t PdfReadObjectAt(Reader r, FILE *file, uint32_t offset, char **out_text,
                        uint32_t *out_length) {
    if (offset > 0x7FFFFFFFu) return KVPDF_ERR_POSITION;
    return PdfReadUntil(r, file, -static_cast<ObjectSelector>(offset), out_text, 1024, "endobj", 1,
                        1024, out_length);
}

int32_t PdfReadRaw(Reader r, FILE *file, ObjectSelector selector, char **out_bytes, uint32_t count,
                   uint32_t *out_length) {
    if (out_bytes) *out_bytes = nullptr;
    if (out_length) *out_length = 0;
    if (!file || !out_bytes) return kReadFailed;
    Located how;
    char *compressed = nullptr;
    uint32_t compressed_length = 0;
    int32_t rc = Locate(r, file, selector, &how, &compressed, &compressed_length);
    if (rc < 1) return rc;
    if (how == Located::kCompressed) {
        if (compressed && compressed_length > count) compressed_length = count;
        *out_bytes = compressed;
        if (out_length) *out_length = compressed ? compressed_length : 0;
        return 1;
    }
    TrackedPtr<char> bytes(static_cast<char *>(TrackedAlloc(KV_UNIT, __LINE__, size_t{count} + 1)));
    if (!bytes) return kReadFailed;
    size_t n = count ? r.files.read(bytes.get(), 1, count, file) : 0;
    bytes[n] = '\0';
    if (n < count) {
        void *p = bytes.release();
        (void)TrackedRealloc(KV_UNIT, __LINE__, &p, n + 1); // a failed shrink keeps the block
        bytes.reset(static_cast<char *>(p));
    }
    *out_bytes = bytes.release();
    if (out_length) *out_length = static_cast<uint32_t>(n);
    return 1;
}

int64_t PdfInflate(const uint8_t *input, uint32_t input_length, uint8_t **buffer,
                   uint32_t *capacity, uint32_t limit, bool strict) {
    z_stream zs;
    memset(&zs, 0, sizeof zs);
    if (inflateInit(&zs) != Z_OK) return KVPDF_ERR_ZLIB_INFLATEINIT;
    zs.next_in = const_cast<Bytef *>(input);
    zs.avail_in = input_length;
    uint32_t produced = 0;
    for (;;) {
        if (produced == *capacity) {
            if (*capacity >= limit) break; // enough for the caller: stop decoding
            uint64_t want = *capacity ? uint64_t{*capacity} * 2 : 4096;
            if (want > limit) want = limit;
            void *p = *buffer;
            if (!TrackedRealloc(KV_UNIT, __LINE__, &p, want)) {
                inflateEnd(&zs);
                return KVPDF_ERR_ZLIB_MEMORY;
            }
            *buffer = static_cast<uint8_t *>(p);
            memset(*buffer + *capacity, 0, want - *capacity);
            *capacity = static_cast<uint32_t>(want);
        }
        zs.next_out = *buffer + produced;
        zs.avail_out = *capacity - produced;
        int r = inflate(&zs, Z_NO_FLUSH);
        produced = *capacity - zs.avail_out;
        // Input used up before the end marker: a cut stream yields what it held.
        const bool cut = (r == Z_OK || r == Z_BUF_ERROR) && zs.avail_in == 0 && zs.avail_out > 0;
        if (strict && (r == Z_DATA_ERROR || cut)) {
            inflateEnd(&zs);
            return KVPDF_ERR_ZLIB_INFLATE;
        }
        if (r == Z_STREAM_END || r == Z_DATA_ERROR || cut) break;
        if (r == Z_OK || (r == Z_BUF_ERROR && zs.avail_out == 0)) continue;
        inflateEnd(&zs);
        return KVPDF_ERR_ZLIB_INFLATE;
    }
    if (inflateEnd(&zs) != Z_OK) return KVPDF_ERR_ZLIB_INFLATEEND;
    return produced;
}

namespace {

constexpr uint32_t kStreamHead = 4096;

// The /Length value, read from its own object when it is a reference. Returns 1 with
// *length, or a code.
int32_t StreamLength(Reader r, FILE *file, const char *text, size_t dict_end, uint32_t *length) {
    int64_t length_key = PdfFindLengthKey(text, dict_end);
    if (length_key < 0) return KV_FAIL(r, KVPDF_ERR_STREAM_NO_LENGTH, KVPDF_ERR_EMBEDDED_FILE);
    int is_ref = 0;
    *length = PdfParseNumberRef(text, dict_end, static_cast<size_t>(length_key) + 7, &is_ref);
    if (!is_ref) return 1;
    if (*length == 0 || *length > 0x7FFFFFFFu)
        return KV_FAIL(r, KVPDF_ERR_STREAM_NO_LENGTH, KVPDF_ERR_EMBEDDED_FILE);
    char *length_text = nullptr;
    int32_t rc = PdfReadObject(r, file, static_cast<ObjectSelector>(*length), &length_text);
    TrackedPtr<char> guard(length_text);
    if (rc < 1 || !length_text) return rc < 1 ? rc : kReadFailed;
    size_t len = strlen(length_text);
    int64_t obj = PdfFind(length_text, len, "obj");
    *length = obj < 0 ? 0 : PdfParseNumber(length_text, len, static_cast<size_t>(obj) + 3, nullptr);
    return 1;
}

// The data's first byte: after "stream" and its end of line (ISO 32000-1, 7.3.8.1).
size_t DataStart(const char *text, size_t length, size_t keyword) {
    size_t start = keyword + 6;
    if (start < length && text[start] == '\r') {
        ++start;
        if (start < length && text[start] == '\n') ++start;
    } else if (start < length && text[start] == '\n') {
        ++start;
    } else {
        start = PdfSkipSpace(text, length, start);
    }
    return start;
}

} // namespace

int32_t PdfReadStream(Reader r, FILE *file, ObjectSelector object, const char *text,
                      uint32_t text_length, uint8_t **out_data, uint32_t *out_length,
                      uint32_t limit, bool whole) {
    *out_data = nullptr;
    *out_length = 0;
    TrackedPtr<char> owned;
    if (!text && whole) {
        // A large stream is read once, at its size: its dictionary first, then the data
        // below. A dictionary longer than the head falls back to the reading to endobj.
        char *head = nullptr;
        int32_t rc = PdfReadRaw(r, file, object, &head, kStreamHead, &text_length);
        owned.reset(head);
        if (rc >= 1 && head && DictionaryStreamKeyword(head, text_length) >= 0) text = head;
    }
    if (!text) {
        char *read = nullptr;
        int32_t rc = PdfReadObjectBinary(r, file, object, &read, &text_length);
        owned.reset(read);
        if (rc < 1 || !read)
            return KV_FAIL_AS(r, KVPDF_ERR_RAW_READ, KVPDF_ERR_EMBEDDED_FILE,
                              rc < 1 ? rc : kReadFailed);
        text = read;
    }
    int64_t keyword = PdfStreamKeyword(text, text_length);
    size_t dict_end = keyword >= 0 ? static_cast<size_t>(keyword) : text_length;
    uint32_t length = 0;
    int32_t rc = StreamLength(r, file, text, dict_end, &length);
    if (rc < 1) return rc;
    if (keyword < 0) return KV_FAIL(r, KVPDF_ERR_STREAM_NOT_FOUND, KVPDF_ERR_EMBEDDED_FILE);
    size_t start = DataStart(text, text_length, static_cast<size_t>(keyword));
    auto cut = [&](uint32_t held) {
        return KV_FAIL(r, KVPDF_ERR_STREAM_LENGTH, KVPDF_ERR_EMBEDDED_FILE,
                       static_cast<unsigned long>(object), static_cast<unsigned long>(length),
                       static_cast<unsigned long>(held));
    };
    // A file shorter than the declared length cannot hold more than its own bytes.
    if (r.parsed.file_length && length > r.parsed.file_length) {
        if (whole) return cut(r.parsed.file_length);
        length = r.parsed.file_length;
    }
    TrackedPtr<char> reread;
    const char *data = text + start;
    uint64_t needed = uint64_t{start} + length + 9;
    if (needed > text_length && object > 0) {
        // The object was read up to a first "endobj" inside its data: read it all again.
        char *raw = nullptr;
        uint32_t raw_length = 0;
        rc = PdfReadRaw(r, file, object, &raw, static_cast<uint32_t>(needed), &raw_length);
        reread.reset(raw);
        if (rc < 1 || !raw)
            return KV_FAIL_AS(r, KVPDF_ERR_RAW_READ, KVPDF_ERR_EMBEDDED_FILE,
                              rc < 1 ? rc : kReadFailed);
        data = raw + start;
        text_length = raw_length;
    }
    uint32_t available = start < text_length ? static_cast<uint32_t>(text_length - start) : 0;
    if (length > available && whole) return cut(available);
    if (length > available) length = available;
    // An embedded file declares its size in /Params.
    const int64_t params = whole ? PdfFind(text, dict_end, "/Params") : -1;
    const uint32_t size =
        params < 0 ? 0xFFFFFFFFu : PdfKeyNumber(text + params, dict_end - params, "/Size");
    rc = PdfDecodeStreamData(text, dict_end, reinterpret_cast<const uint8_t *>(data), length, limit,
                             out_data, out_length, whole, size == 0xFFFFFFFFu ? 0 : size);
    return rc < 1 ? KV_FAIL(r, rc, KVPDF_ERR_EMBEDDED_FILE) : 1;
}

} // namespace kvpdf
