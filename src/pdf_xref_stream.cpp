// SPDX-License-Identifier: Apache-2.0
// Cross-reference streams (ISO 32000-1, 7.5.8), object streams (7.5.7) and the
// encoders of the update's own cross-reference stream entries.
#include "pdf_xref.h"

#include "pdf_error.h"
#include "pdf_mem.h"
#include "pdf_utils.h"

#include <algorithm>
#include <cstring>

#define KV_UNIT "../src/pdf_xref.cpp"

namespace kvpdf {
namespace {

// Reads the numbers of an array "[ ... ]" that starts at or after index, up to its ']'.
bool ReadNumberArray(Reader r, const char *text, size_t length, size_t index,
                     TrackedPtr<uint32_t> &values, uint32_t *count) {
    *count = 0;
    while (index < length && text[index] != '[')
        ++index;
    if (index >= length) return true;
    ++index;
    for (;;) {
        index = PdfSkipSpace(text, length, index);
        if (index >= length || text[index] == ']') return true;
        if (!PdfIsDigit(text[index])) {
            ++index; // a stray character; the array holds only numbers
            continue;
        }
        size_t next = index;
        uint32_t v = PdfParseNumber(text, length, index, &next);
        index = next;
        if (!TrackedReallocT(KV_UNIT, __LINE__, values.ref(), *count + 1)) {
            KV_ERROR(r, KVPDF_ERR_OBJECT_TABLE_MEMORY);
            return false;
        }
        values[(*count)++] = v;
    }
}

uint32_t NumberOr(const char *text, size_t length, const char *key, uint32_t fallback) {
    int64_t at = PdfFind(text, length, key);
    return at < 0 ? fallback : PdfParseNumber(text, length, static_cast<size_t>(at), nullptr);
}

uint64_t ReadField(const uint8_t *p, uint32_t width) {
    uint64_t v = 0;
    for (uint32_t i = 0; i < width; ++i)
        v = (v << 8) | p[i];
    return v;
}

int Paeth(int a, int b, int c) {
    int p = a + b - c;
    int pa = p > a ? p - a : a - p;
    int pb = p > b ? p - b : b - p;
    int pc = p > c ? p - c : c - p;
    if (pa <= pb && pa <= pc) return a;
    return pb <= pc ? b : c;
}

} // namespace

int32_t PdfUndoPngPredictor(Reader r, uint8_t **data, uint32_t *length, uint32_t colors,
                            uint32_t bits, uint32_t columns) {
    // PNG predictors (ISO 32000-1, 7.4.4.4): every row starts with its own filter type.
    uint64_t bpp64 = uint64_t{colors} * bits / 8;
    uint64_t row64 = (uint64_t{colors} * bits * columns + 7) / 8;
    const uint32_t d = *length;
    if (row64 == 0 || row64 + 1 > d) {
        // Not one whole row: nothing decodes.
        *length = 0;
        return 1;
    }
    auto row = static_cast<uint32_t>(row64);
    auto bpp = static_cast<uint32_t>(bpp64 < 1 ? 1 : bpp64);
    TrackedPtr<uint8_t> out(static_cast<uint8_t *>(TrackedAlloc(KV_UNIT, __LINE__, d)));
    TrackedPtr<uint8_t> prev(static_cast<uint8_t *>(TrackedAlloc(KV_UNIT, __LINE__, row)));
    if (!out || !prev) return KV_FAIL(r, KVPDF_ERR_ZLIB_MEMORY, KVPDF_ERR_STAGE_OBJXREF);
    memset(prev.get(), 0, row);
    const uint8_t *in = *data;
    uint32_t p = 0, written = 0;
    while (uint64_t{p} + 1 + row <= d) {
        int type = in[p++];
        uint8_t *cur = out.get() + written;
        memcpy(cur, in + p, row);
        p += row;
        switch (type) {
        case 0:
            break;
        case 1:
            for (uint32_t i = bpp; i < row; ++i)
                cur[i] = static_cast<uint8_t>(cur[i] + cur[i - bpp]);
            break;
        case 2:
            for (uint32_t i = 0; i < row; ++i)
                cur[i] = static_cast<uint8_t>(cur[i] + prev[i]);
            break;
        case 3:
            for (uint32_t i = 0; i < row; ++i) {
                int left = i >= bpp ? cur[i - bpp] : 0;
                cur[i] = static_cast<uint8_t>(cur[i] + (left + prev[i]) / 2);
            }
            break;
        case 4:
            for (uint32_t i = 0; i < row; ++i) {
                int a = i >= bpp ? cur[i - bpp] : 0;
                int c = i >= bpp ? prev[i - bpp] : 0;
                cur[i] = static_cast<uint8_t>(cur[i] + Paeth(a, prev[i], c));
            }
            break;
        default:
            return KV_FAIL(r, KVPDF_ERR_PNG_FILTER, KVPDF_ERR_STAGE_OBJXREF, type);
        }
        memcpy(prev.get(), cur, row);
        written += row;
    }
    TrackedFreeT(*data);
    *data = out.release();
    *length = written;
    return 1;
}

namespace {

int32_t ReadStreamLayout(Reader r, const char *text, XrefStreamDict *d);
int32_t ReadStreamGeometry(Reader r, const char *text, uint32_t text_length, bool has_keyword,
                           XrefStreamDict *d);

// The trailer part of the dictionary (/Encrypt, /Size, /Root, /Prev) and where the data is.
int32_t ReadStreamDict(Reader r, const char *text, uint32_t text_length, XrefStreamDict *d) {
    ParsedDocument &p = r.parsed;
    int64_t keyword = PdfStreamKeyword(text, text_length);
    const size_t dict = keyword >= 0 ? static_cast<size_t>(keyword) : text_length;
    d->dict_end = dict;
    int64_t encrypt = PdfFind(text, dict, "/Encrypt");
    if (encrypt >= 0) {
        size_t i = PdfSkipSpace(text, dict, static_cast<size_t>(encrypt) + 8);
        if (i >= dict || text[i] != 'n')
            return KV_FAIL(r, KVPDF_ERR_ENCRYPTED, KVPDF_ERR_STAGE_OBJXREF);
    }
    int64_t size_key = PdfFind(text, dict, "/Size");
    if (size_key < 0) return KV_FAIL(r, KVPDF_ERR_XREFSTM_NO_SIZE, KVPDF_ERR_STAGE_OBJXREF);
    d->size = PdfParseNumber(text, dict, static_cast<size_t>(size_key), nullptr);
    p.section_size = d->size;
    if (p.declared_size == -1)
        p.declared_size = d->size > 0x7FFFFFFEu ? 0x7FFFFFFE : static_cast<int32_t>(d->size);
    if (p.trailer_size == -1) {
        int32_t rc =
            PdfStartObjectTable(r, p.declared_size, static_cast<uint32_t>(p.declared_size) + 1);
        if (rc < 0) {
            KV_ERROR(r, KVPDF_ERR_STAGE_OBJXREF);
            return rc;
        }
    }
    if (p.root_obj == -1) {
        int64_t root = PdfFind(text, dict, "/Root");
        if (root >= 0) {
            uint32_t number = PdfParseNumber(text, dict, static_cast<size_t>(root), nullptr);
            p.root_obj = number > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int32_t>(number);
        }
    }
    uint32_t prev = NumberOr(text, dict, "/Prev", 0xFFFFFFFFu);
    p.prev_xref = prev > 0x7FFFFFFFu ? -1 : static_cast<int32_t>(prev);
    return ReadStreamGeometry(r, text, text_length, keyword >= 0, d);
}

// The layout, /Length and the data's first byte, once dict_end and size are known.
int32_t ReadStreamGeometry(Reader r, const char *text, uint32_t text_length, bool has_keyword,
                           XrefStreamDict *d) {
    const size_t dict = d->dict_end;
    int32_t rc = ReadStreamLayout(r, text, d);
    if (rc < 1) return rc;
    int64_t length_key = PdfFindLengthKey(text, dict);
    if (length_key < 0) return KV_FAIL(r, KVPDF_ERR_XREFSTM_NO_LENGTH, KVPDF_ERR_STAGE_OBJXREF);
    d->length = PdfParseNumber(text, dict, static_cast<size_t>(length_key) + 8, nullptr);
    if (!has_keyword) return KV_FAIL(r, KVPDF_ERR_XREFSTM_NO_STREAM, KVPDF_ERR_STAGE_OBJXREF);
    d->data_start = PdfSkipSpace(text, text_length, dict + 6);
    uint32_t available =
        d->data_start < text_length ? static_cast<uint32_t>(text_length - d->data_start) : 0;
    if (d->length > available) d->length = available;
    return 1;
}

// /Index, /W and the predictor's parameters: how the entries are laid out.
int32_t ReadStreamLayout(Reader r, const char *text, XrefStreamDict *d) {
    const size_t dict = d->dict_end;
    int64_t index_key = PdfFind(text, dict, "/Index");
    if (index_key >= 0) {
        if (!ReadNumberArray(r, text, dict, static_cast<size_t>(index_key) + 6, d->index,
                             &d->index_count)) {
            KV_ERROR(r, KVPDF_ERR_STAGE_OBJXREF);
            return KVPDF_ERR_OBJECT_TABLE_MEMORY;
        }
        d->index_count &= ~1u; // pairs only
    } else {
        if (!TrackedReallocT(KV_UNIT, __LINE__, d->index.ref(), 2))
            return KV_FAIL(r, KVPDF_ERR_OBJECT_TABLE_MEMORY, KVPDF_ERR_STAGE_OBJXREF);
        d->index[0] = 0;
        d->index[1] = d->size;
        d->index_count = 2;
    }
    int64_t w_key = PdfFind(text, dict, "/W");
    if (w_key < 0) return KV_FAIL(r, KVPDF_ERR_XREFSTM_NO_W, KVPDF_ERR_STAGE_OBJXREF);
    TrackedPtr<uint32_t> w_values;
    uint32_t w_count = 0;
    if (!ReadNumberArray(r, text, dict, static_cast<size_t>(w_key) + 2, w_values, &w_count)) {
        KV_ERROR(r, KVPDF_ERR_STAGE_OBJXREF);
        return KVPDF_ERR_OBJECT_TABLE_MEMORY;
    }
    for (uint32_t i = 0; i < 3 && i < w_count; ++i)
        d->w[i] = w_values[i];
    d->columns = NumberOr(text, dict, "/Columns", 1);
    d->bits = NumberOr(text, dict, "/BitsPerComponent", 8);
    d->colors = NumberOr(text, dict, "/Colors", 1);
    d->predictor = NumberOr(text, dict, "/Predictor", 0);
    return 1;
}

// Inflates and un-predicts the entries. Each entry is w[0] + w[1] + w[2] bytes; more
// decoded data than the entries need is never looked at, so decoding stops there.
int32_t DecodeEntries(Reader r, const char *text, const XrefStreamDict &d,
                      TrackedPtr<uint8_t> *data, uint32_t *decoded) {
    uint64_t entry_size = uint64_t{d.w[0]} + d.w[1] + d.w[2];
    uint64_t entries = 0;
    for (uint32_t i = 0; i + 1 < d.index_count; i += 2)
        entries += d.index[i + 1];
    if (entry_size == 0 || entry_size > 64)
        return KV_FAIL(r, KVPDF_ERR_INVALID_XREF, KVPDF_ERR_STAGE_OBJXREF);
    uint64_t needed = entries * entry_size;
    if (d.predictor >= 10) {
        uint64_t row = (uint64_t{d.colors} * d.bits * d.columns + 7) / 8;
        if (row == 0) row = 1;
        needed = (needed / row + 2) * (row + 1);
    }
    const uint32_t most = PdfDecodeLimit(r.parsed);
    uint32_t limit = needed >= most ? most : static_cast<uint32_t>(needed + 1);
    uint8_t *raw = nullptr;
    int32_t rc = PdfDecodeStreamData(text, d.dict_end,
                                     reinterpret_cast<const uint8_t *>(text + d.data_start),
                                     d.length, limit, &raw, decoded);
    data->reset(raw);
    if (rc < 1) return KV_FAIL(r, rc, KVPDF_ERR_STAGE_OBJXREF);
    if (d.predictor < 10) return 1;
    uint8_t *p = data->release();
    rc = PdfUndoPngPredictor(r, &p, decoded, d.colors, d.bits, d.columns);
    data->reset(p);
    return rc;
}

int32_t StoreEntries(Reader r, const XrefStreamDict &d, const uint8_t *data, uint32_t decoded,
                     int suppress_lists) {
    ParsedDocument &p = r.parsed;
    Subsections ranges;
    for (uint32_t i = 0; i + 1 < d.index_count; i += 2)
        ranges.emplace_back(d.index[i], d.index[i + 1]);
    int32_t checked = PdfCheckSubsections(r, ranges, WritesRevision(r.mode) ? p.section_size : -1,
                                          KVPDF_ERR_STAGE_OBJXREF);
    if (checked < 1) return checked;
    // Entries the stream holds but its /Index does not list cannot be placed.
    if (ranges.empty() || (decoded > 0 && std::all_of(ranges.begin(), ranges.end(),
                                                      [](const auto &x) { return x.second == 0; })))
        return KV_FAIL(r, KVPDF_ERR_XREF_CONTRADICTION, KVPDF_ERR_STAGE_OBJXREF, "/Index");
    const uint64_t entry_size = uint64_t{d.w[0]} + d.w[1] + d.w[2];
    uint64_t pos = 0;
    for (uint32_t i = 0; i + 1 < d.index_count; i += 2) {
        uint64_t first = d.index[i];
        for (uint64_t k = 0; k < d.index[i + 1]; ++k) {
            if (pos + entry_size > decoded)
                return KV_FAIL(r, KVPDF_ERR_INVALID_XREF, KVPDF_ERR_STAGE_OBJXREF);
            const uint8_t *e = data + pos;
            pos += entry_size;
            uint64_t type = d.w[0] ? ReadField(e, d.w[0]) : 1;
            uint64_t field2 = ReadField(e + d.w[0], d.w[1]);
            uint64_t field3 = ReadField(e + d.w[0] + d.w[1], d.w[2]);
            uint64_t object = first + k;
            if (object > 0xFFFFFFFFull || !PdfCoversObject(r, static_cast<uint32_t>(object)))
                continue;
            auto n = static_cast<uint32_t>(object);
            if (p.object_offsets[n] != kNoOffset) continue;
            if (type == 1) {
                uint32_t offset = field2 >= kNoOffset ? kNoOffset : static_cast<uint32_t>(field2);
                if (p.object_streams[n] == 0) p.object_offsets[n] = offset;
                if (!suppress_lists && !PdfAddXrefEntry(p, offset, n))
                    return KV_FAIL(r, KVPDF_ERR_OBJECT_TABLE_MEMORY, KVPDF_ERR_STAGE_OBJXREF);
            } else if (type == 2) {
                if (field2 == 0 || field2 > 0x7FFFFFFFu) continue;
                if (!PdfAddCompressedEntry(p, static_cast<uint32_t>(field2), n,
                                           static_cast<uint32_t>(field3)))
                    return KV_FAIL(r, KVPDF_ERR_OBJECT_TABLE_MEMORY, KVPDF_ERR_STAGE_OBJXREF);
            }
        }
    }
    return 1;
}

} // namespace

int32_t PdfReadXrefStream(Reader r, TrackedPtr<char> text, uint32_t text_length,
                          int suppress_lists) {
    if (!text) return KV_FAIL(r, KVPDF_ERR_INVALID_XREF, KVPDF_ERR_STAGE_OBJXREF);
    XrefStreamDict d;
    int32_t rc = ReadStreamDict(r, text.get(), text_length, &d);
    if (rc < 1) return rc;
    TrackedPtr<uint8_t> data;
    uint32_t decoded = 0;
    rc = DecodeEntries(r, text.get(), d, &data, &decoded);
    if (rc < 1) return rc;
    text.reset(); // the entries may be many: the object text is not needed beside them
    rc = StoreEntries(r, d, data.get(), decoded, suppress_lists);
    return rc < 1 ? rc : r.parsed.trailer_size;
}

int32_t PdfDecodeXrefStreamRows(Reader r, const char *text, uint32_t text_length, XrefStreamDict *d,
                                TrackedPtr<uint8_t> *data, uint32_t *decoded) {
    int64_t keyword = PdfStreamKeyword(text, text_length);
    d->dict_end = keyword >= 0 ? static_cast<size_t>(keyword) : text_length;
    int64_t size_key = PdfFind(text, d->dict_end, "/Size");
    if (size_key < 0) return KV_FAIL(r, KVPDF_ERR_XREFSTM_NO_SIZE, KVPDF_ERR_STAGE_OBJXREF);
    d->size = PdfParseNumber(text, d->dict_end, static_cast<size_t>(size_key), nullptr);
    int32_t rc = ReadStreamGeometry(r, text, text_length, keyword >= 0, d);
    return rc < 1 ? rc : DecodeEntries(r, text, *d, data, decoded);
}

uint64_t PdfXrefStreamField(const uint8_t *p, uint32_t width) {
    return ReadField(p, width);
}

namespace {

// Decodes object_stream into the cache (kept when it holds that stream already).
int32_t LoadObjectStream(Reader r, FILE *file, uint32_t object_stream) {
    ParsedDocument &p = r.parsed;
    ObjectStreamCache &c = p.object_stream;
    const uint32_t offset =
        object_stream < p.object_offsets_count ? p.object_offsets[object_stream] : kNoOffset;
    if (c.number == object_stream && c.offset == offset) return 1;
    TrackedFreeT(c.data);
    TrackedFreeT(c.members);
    c = ObjectStreamCache{};
    char *read = nullptr;
    uint32_t read_length = 0;
    int32_t rc = object_stream > 0x7FFFFFFFu
                     ? kReadFailed
                     : PdfReadObjectBinary(r, file, static_cast<ObjectSelector>(object_stream),
                                           &read, &read_length);
    TrackedPtr<char> text(read);
    if (rc < 1 || !read)
        return KV_FAIL_AS(r, KVPDF_ERR_NAMES_READ, KVPDF_ERR_STAGE_ROOT, rc < 1 ? rc : kReadFailed);
    int64_t keyword = PdfStreamKeyword(read, read_length);
    size_t dict = keyword >= 0 ? static_cast<size_t>(keyword) : read_length;
    int64_t first_key = PdfFind(read, dict, "/First");
    if (first_key < 0) return KV_FAIL(r, KVPDF_ERR_OBJSTM_NO_FIRST, KVPDF_ERR_STAGE_OBJXREF);
    uint32_t first = PdfParseNumber(read, dict, static_cast<size_t>(first_key), nullptr);
    int64_t n_key = PdfFind(read, dict, "/N");
    if (n_key < 0) return KV_FAIL(r, KVPDF_ERR_XREFSTM_NO_LENGTH, KVPDF_ERR_STAGE_OBJXREF);
    uint32_t count = PdfParseNumber(read, dict, static_cast<size_t>(n_key), nullptr);

    uint8_t *data_raw = nullptr;
    uint32_t data_length = 0;
    rc = PdfReadStream(r, file, static_cast<ObjectSelector>(object_stream), read, read_length,
                       &data_raw, &data_length, PdfDecodeLimit(r.parsed));
    TrackedPtr<uint8_t> data(data_raw);
    if (rc < 1) return rc;
    const char *d = reinterpret_cast<const char *>(data.get());
    // The header holds `count` pairs (object number, offset from /First); a pair takes
    // at least four bytes, which bounds the table by the data.
    const uint32_t most = std::min<uint32_t>(count, data_length / 4 + 1);
    TrackedPtr<uint32_t> members(static_cast<uint32_t *>(
        TrackedAlloc(KV_UNIT, __LINE__, (size_t{most} * 2 + 1) * sizeof(uint32_t))));
    if (!members) return KV_FAIL(r, KVPDF_ERR_OBJECT_TABLE_MEMORY, KVPDF_ERR_STAGE_OBJXREF);
    uint32_t k = 0;
    for (size_t i = 0; d && k < most; ++k) {
        size_t next = 0;
        uint32_t number = PdfParseNumber(d, data_length, i, &next);
        if (next == i || next >= data_length) break;
        uint32_t start = PdfParseNumber(d, data_length, next, &i);
        if (i == next) break;
        const uint64_t at = uint64_t{first} + start;
        members.get()[size_t{2} * k] = number;
        members.get()[size_t{2} * k + 1] =
            at > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(at);
    }
    c = {object_stream, offset, data.release(), data_length, members.release(), k};
    return 1;
}

} // namespace

int32_t PdfReadCompressedObject(Reader r, FILE *file, uint32_t object_stream, uint32_t object,
                                char **out_text, uint32_t *out_length) {
    *out_text = nullptr;
    *out_length = 0;
    int32_t rc = LoadObjectStream(r, file, object_stream);
    if (rc < 1) return rc;
    const ObjectStreamCache &c = r.parsed.object_stream;
    if (!c.data) return 1;
    // The last pair naming the object wins; its text ends where the next pair's begins.
    int64_t found = -1;
    for (uint32_t k = 0; k < c.member_count; ++k)
        if (c.members[size_t{2} * k] == object) found = k;
    if (found < 0) return 1;
    const uint64_t start = c.members[2 * found + 1];
    uint64_t end = found + 1 < c.member_count ? c.members[2 * found + 3] : c.length;
    if (start > c.length) return 1;
    if (end < start || end > c.length) end = c.length;
    size_t n = static_cast<size_t>(end - start);
    char *copy = static_cast<char *>(TrackedAlloc(KV_UNIT, __LINE__, n + 1));
    if (!copy) return KV_FAIL(r, KVPDF_ERR_OBJECT_TABLE_MEMORY, KVPDF_ERR_STAGE_OBJXREF);
    memcpy(copy, c.data + start, n);
    copy[n] = '\0';
    *out_text = copy;
    *out_length = static_cast<uint32_t>(n);
    return 1;
}

int PdfValueWidth(uint32_t value) {
    if (value >> 24) return 4;
    if (value >> 16) return 3;
    if (value >> 8) return 2;
    return 1;
}

void PdfPutXrefStreamEntry(uint8_t type, int width, uint8_t *buffer, uint32_t *position,
                           uint32_t value, uint32_t generation) {
    uint32_t p = *position;
    buffer[p++] = type;
    for (int i = width - 1; i >= 0; --i)
        buffer[p++] = static_cast<uint8_t>(value >> (8 * i));
    buffer[p++] = static_cast<uint8_t>(generation >> 8);
    buffer[p++] = static_cast<uint8_t>(generation);
    *position = p;
}

} // namespace kvpdf
