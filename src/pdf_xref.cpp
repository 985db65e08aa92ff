// SPDX-License-Identifier: Apache-2.0
// The classic cross-reference tables, the trailer chain and the revision records.
#include "pdf_xref.h"

#include "pdf_error.h"
#include "pdf_mem.h"
#include "pdf_pades.h"
#include "pdf_utils.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_set>

#define KV_UNIT "../src/pdf_xref.cpp"

namespace kvpdf {
namespace {

constexpr uint32_t kTailWindow = 1024;
constexpr uint32_t kEntryLength = 18; // the entry without its two end-of-line bytes

// The offset table takes 8 bytes per object number. Every object in use costs the file
// at least a byte, so a /Size beyond the file's length (65,536 for small files, which
// some writers round up to) is damage, and never sizes the table.
constexpr int64_t kObjectFloor = 65536;

uint32_t ChunkFor(int32_t declared_size) {
    if (declared_size < 1000) return 512;
    if (declared_size <= 50000) return 8192;
    if (declared_size <= 100000) return 16384;
    return 32768;
}

// "%lu" on the ten offset characters: leading blanks, then at least one digit.
bool ConvertOffset(const char *p, size_t n, uint32_t *value) {
    size_t i = 0;
    while (i < n && PdfIsSpace(static_cast<unsigned char>(p[i])))
        ++i;
    if (i < n && p[i] == '+') ++i;
    uint64_t v = 0;
    size_t digits = 0;
    while (i < n && PdfIsDigit(p[i])) {
        v = v * 10 + static_cast<uint64_t>(p[i++] - '0');
        ++digits;
    }
    if (digits == 0) return false;
    *value = v >= kNoOffset ? kNoOffset : static_cast<uint32_t>(v);
    return true;
}

// A decimal run of at most 10 digits after skipping non-digits, as a signed value.
int64_t ReadSubsectionNumber(const char *text, size_t end, size_t *i, bool *found) {
    while (*i < end && !PdfIsDigit(text[*i]))
        ++*i;
    *found = *i < end;
    int64_t v = 0;
    for (int n = 0; *i < end && n < 10 && PdfIsDigit(text[*i]); ++n)
        v = v * 10 + (text[(*i)++] - '0');
    return v;
}

int32_t ReadClassicEntries(Reader r, const char *text, size_t end, int suppress,
                           Subsections *ranges) {
    ParsedDocument &p = r.parsed;
    size_t i = 0;
    for (;;) {
        bool found = false;
        int64_t first = ReadSubsectionNumber(text, end, &i, &found);
        if (!found) return 0;
        int64_t count = ReadSubsectionNumber(text, end, &i, &found);
        if (!found || count == 0) return 0;
        ranges->emplace_back(first, count);
        for (int64_t k = 0; k < count; ++k) {
            while (i < end && !PdfIsDigit(text[i]))
                ++i;
            if (i + kEntryLength > end) return 0; // the table is cut short: it ends here
            char entry[kEntryLength];
            for (uint32_t c = 0; c < kEntryLength; ++c) {
                char ch = text[i + c];
                entry[c] = (ch == '\r' || ch == '\n') ? '0' : ch;
            }
            i += kEntryLength + 2;
            if (memcmp(entry + 11, "65535", 5) == 0) continue;
            uint32_t offset = 0;
            if (!ConvertOffset(entry, 10, &offset)) {
                char shown[11];
                memcpy(shown, entry, 10);
                shown[10] = '\0';
                return KV_FAIL(r, KVPDF_ERR_XREF_LINE, KVPDF_ERR_STAGE_XREF, shown);
            }
            int64_t object = first + k;
            if (object < 0 || object > 0xFFFFFFFFll ||
                !PdfCoversObject(r, static_cast<uint32_t>(object)))
                continue;
            auto n = static_cast<uint32_t>(object);
            // The newest revision wins, also over an object stream entry of a newer
            // cross-reference stream in the chain.
            if (p.object_offsets[n] == kNoOffset && p.object_streams[n] == 0)
                p.object_offsets[n] = offset;
            if (!suppress && !PdfAddXrefEntry(p, offset, n))
                return KV_FAIL(r, KVPDF_ERR_OBJECT_TABLE_MEMORY, KVPDF_ERR_STAGE_XREF);
        }
        if (i > end) i = end;
        i = PdfSkipSpace(text, end, i);
        if (i >= end || text[i] == 't') return 0;
    }
}

int32_t SyntaxFailure(Reader r, int32_t offset, int64_t at) {
    char what[48];
    snprintf(what, sizeof what, "The cross-reference section at %ld", static_cast<long>(offset));
    return KV_FAIL(r, KVPDF_ERR_OBJECT_SYNTAX, KVPDF_ERR_STAGE_XREF, what,
                   static_cast<unsigned long>(at));
}

// One classic section or cross-reference stream. Leaves the offset of the next older
// section in prev_xref.
int32_t ReadSection(Reader r, FILE *file, int32_t offset, int suppress) {
    ParsedDocument &p = r.parsed;
    ++p.xref_sections_read;
    if (!PdfNewXrefSection(p, static_cast<uint32_t>(offset)))
        return KV_FAIL(r, KVPDF_ERR_OBJECT_TABLE_MEMORY, KVPDF_ERR_STAGE_XREF);
    char *loaded = nullptr;
    uint32_t length = 0, start = 0;
    int32_t rc = PdfLoadXrefSection(r, file, offset, &loaded, &length, &start);
    TrackedPtr<char> text(loaded);
    if (rc == KVPDF_ERR_POSITION) {
        KV_ERROR(r, KVPDF_ERR_STAGE_XREF);
        return KVPDF_ERR_POSITION;
    }
    // The section a new revision chains to must parse for every reader that follows
    // the chain, not only for this lenient one.
    const bool chained = WritesRevision(r.mode) && p.xref_sections_read == 1 && rc >= 1 && text;
    if (chained && rc == 2) {
        int64_t broken = PdfSyntaxError(text.get(), length);
        if (broken >= 0) return SyntaxFailure(r, offset, broken);
    }
    if (rc == 2) {
        p.xref_is_stream = 1;
        p.xref_current->is_stream = 1;
        return PdfReadXrefStream(r, std::move(text), length, suppress);
    }
    if (rc < 1 || !text) return KV_FAIL(r, KVPDF_ERR_INVALID_XREF_TRAILER, KVPDF_ERR_STAGE_XREF);
    if (p.xref_sections_read > 1) {
        // An older section must not run on into the next revision's table.
        int64_t at = PdfFind(text.get(), length, "xref");
        if (at >= 0 && !(at >= 5 && memcmp(text.get() + at - 5, "startxref", 9) == 0))
            length = static_cast<uint32_t>(at);
    }
    int64_t trailer = PdfFind(text.get(), length, "trailer");
    if (trailer < 0) return KV_FAIL(r, KVPDF_ERR_NO_TRAILER, KVPDF_ERR_STAGE_XREF);
    p.trailer_position = start + 4 + static_cast<uint32_t>(trailer);
    if (chained) {
        const size_t dict = static_cast<size_t>(trailer) + 7;
        int64_t broken = PdfSyntaxError(text.get() + dict, length - dict, true);
        if (broken >= 0) return SyntaxFailure(r, offset, broken);
    }
    rc = PdfParseTrailer(r, file, p.trailer_position, length - static_cast<uint32_t>(trailer));
    if (p.root_obj == -1) p.root_obj = rc;
    // Every trailer of the chain is examined: an /Encrypt anywhere refuses the file.
    if (rc < 0) {
        KV_ERROR(r, KVPDF_ERR_STAGE_XREF);
        return rc;
    }
    if (p.trailer_size == -1) {
        rc =
            PdfStartObjectTable(r, p.declared_size + 1, static_cast<uint32_t>(p.declared_size) + 1);
        if (rc < 0) {
            KV_ERROR(r, KVPDF_ERR_STAGE_XREF);
            return rc;
        }
    }
    Subsections ranges;
    rc = ReadClassicEntries(r, text.get(), static_cast<size_t>(trailer), suppress, &ranges);
    if (rc < 0) return rc;
    rc = PdfCheckSubsections(r, std::move(ranges), WritesRevision(r.mode) ? p.section_size : -1,
                             KVPDF_ERR_STAGE_XREF);
    return rc < 1 ? rc : 0;
}

} // namespace

int32_t PdfCheckSubsections(Reader r, Subsections ranges, int64_t size, int32_t stage) {
    std::sort(ranges.begin(), ranges.end());
    char where[64];
    for (size_t i = 0; i < ranges.size(); ++i) {
        const uint64_t first = ranges[i].first, count = ranges[i].second;
        // Object numbers are below 2^32, and below the /Size the section declares; a
        // reader that trusted a repeated or overflowing subsection would number the
        // update's objects over existing ones.
        if (first + count > 0x100000000ull || (size >= 0 && first + count > uint64_t(size))) {
            snprintf(where, sizeof where, "/Size %lld, subsection %llu %llu",
                     static_cast<long long>(size), static_cast<unsigned long long>(first),
                     static_cast<unsigned long long>(count));
            return KV_FAIL(r, KVPDF_ERR_XREF_CONTRADICTION, stage, where);
        }
        if (i > 0 && ranges[i - 1].first + ranges[i - 1].second > first && count > 0) {
            snprintf(where, sizeof where, "subsections %llu %llu and %llu %llu",
                     static_cast<unsigned long long>(ranges[i - 1].first),
                     static_cast<unsigned long long>(ranges[i - 1].second),
                     static_cast<unsigned long long>(first),
                     static_cast<unsigned long long>(count));
            return KV_FAIL(r, KVPDF_ERR_XREF_CONTRADICTION, stage, where);
        }
    }
    return 1;
}

int32_t PdfStartObjectTable(Reader r, int32_t trailer_size, uint32_t entries) {
    ParsedDocument &p = r.parsed;
    int64_t limit = p.file_length > kObjectFloor ? p.file_length : kObjectFloor;
    if (p.declared_size < 0 || p.declared_size > limit) {
        KV_ERROR(r, KVPDF_ERR_OBJECT_TABLE_MEMORY);
        return KVPDF_ERR_OBJECT_TABLE_MEMORY;
    }
    p.trailer_size = trailer_size;
    PdfFreeObjectTable(p);
    p.object_offsets = static_cast<uint32_t *>(
        TrackedAlloc(KV_UNIT, __LINE__, size_t{entries} * sizeof(uint32_t)));
    p.object_streams = static_cast<uint32_t *>(
        TrackedAlloc(KV_UNIT, __LINE__, size_t{entries} * sizeof(uint32_t)));
    if (!p.object_offsets || !p.object_streams) {
        PdfFreeObjectTable(p);
        KV_ERROR(r, KVPDF_ERR_OBJECT_TABLE_MEMORY);
        return KVPDF_ERR_OBJECT_TABLE_MEMORY;
    }
    memset(p.object_offsets, 0xFF, size_t{entries} * sizeof(uint32_t));
    memset(p.object_streams, 0, size_t{entries} * sizeof(uint32_t));
    p.object_offsets_count = entries;
    return 1;
}

bool PdfCoversObject(Reader r, uint32_t object) {
    ParsedDocument &p = r.parsed;
    if (object < p.object_offsets_count) return true;
    // A reader can follow an entry beyond /Size; a writer cannot, since the update's
    // new objects would take numbers the file uses (it refuses the section instead).
    const uint64_t limit = p.file_length > kObjectFloor ? p.file_length : kObjectFloor;
    if (WritesRevision(r.mode) || !p.object_offsets || object >= limit) return false;
    const uint64_t doubled = uint64_t{p.object_offsets_count} * 2;
    const uint32_t entries = static_cast<uint32_t>(
        std::min<uint64_t>(limit, std::max<uint64_t>(doubled, uint64_t{object} + 1)));
    if (!TrackedReallocT(KV_UNIT, __LINE__, p.object_offsets, entries) ||
        !TrackedReallocT(KV_UNIT, __LINE__, p.object_streams, entries))
        return false;
    const uint32_t old = p.object_offsets_count;
    memset(p.object_offsets + old, 0xFF, size_t{entries - old} * sizeof(uint32_t));
    memset(p.object_streams + old, 0, size_t{entries - old} * sizeof(uint32_t));
    p.object_offsets_count = entries;
    return true;
}

int32_t PdfFindStartXref(Reader r, FILE *file) {
    if (r.files.seek(file, 0, 2) != 0) return KV_FAIL(r, KVPDF_ERR_SEEK_END, KVPDF_ERR_FINDXREF);
    int64_t end = r.files.tell(file);
    // Offsets are 32-bit: a file of 4 GiB or more cannot be described.
    if (end < 0 || end > 0xFFFFFFFEll) return KV_FAIL(r, KVPDF_ERR_SEEK_END, KVPDF_ERR_FINDXREF);
    r.parsed.file_length = static_cast<uint32_t>(end);
    char window[kTailWindow];
    size_t n;
    if (r.files.seek(file, -static_cast<int64_t>(kTailWindow), 2) == 0) {
        n = r.files.read(window, 1, kTailWindow, file);
    } else {
        if (r.files.seek(file, 0, 0) != 0)
            return KV_FAIL(r, KVPDF_ERR_SEEK_END, KVPDF_ERR_FINDXREF);
        n = r.files.read(window, 1, kTailWindow, file);
    }
    int64_t f = static_cast<int64_t>(n) - 1;
    while (f >= 4 && !(window[f] == 'F' && window[f - 1] == 'O' && window[f - 2] == 'E'))
        --f;
    if (f < 4) {
        KV_ERROR(r, KVPDF_ERR_FINDXREF);
        return KVPDF_ERR_FINDXREF;
    }
    int64_t i = f - 3; // the second '%' of "%%EOF"
    while (i >= 0 && !PdfIsDigit(window[i]))
        --i;
    int64_t last = i;
    while (i >= 0 && last - i < 10 && PdfIsDigit(window[i]))
        --i;
    uint64_t value = 0;
    for (int64_t k = i + 1; k <= last; ++k)
        value = value * 10 + (window[k] - '0');
    // Offset 0 is the header, never a cross-reference section.
    if (last < 0 || value == 0 || value > 0x7FFFFFFF)
        return KV_FAIL(r, KVPDF_ERR_STARTXREF_NUMBER, KVPDF_ERR_FINDXREF);
    return static_cast<int32_t>(value);
}

int32_t PdfLoadXrefSection(Reader r, FILE *file, int32_t offset, char **out_text,
                           uint32_t *out_length, uint32_t *start) {
    *out_text = nullptr;
    *out_length = 0;
    *start = static_cast<uint32_t>(offset);
    if (offset < 0 || r.files.seek(file, offset, 0) != 0) return KVPDF_ERR_POSITION;
    unsigned char c = 0;
    for (;;) {
        if (r.files.read(&c, 1, 1, file) != 1) return KVPDF_ERR_POSITION;
        if (!PdfIsSpace(c)) break;
        ++*start;
    }
    char ref[3] = {0, 0, 0};
    bool classic = false;
    if (c == 'x') {
        size_t n = r.files.read(ref, 1, 3, file);
        if (n == 0 && r.files.eof(file)) {
            KV_ERROR(r, KVPDF_ERR_POSITION);
            return KVPDF_ERR_POSITION;
        }
        classic = n == 3 && memcmp(ref, "ref", 3) == 0;
    }
    if (!classic) {
        // A cross-reference stream: read its whole object from its first byte.
        if (r.files.seek(file, *start, 0) != 0) return KVPDF_ERR_POSITION;
        int32_t rc = PdfReadObjectBinary(r, file, 0, out_text, out_length);
        if (rc == KVPDF_ERR_POSITION) return KVPDF_ERR_POSITION;
        return 2;
    }
    return PdfReadUntil(r, file, 0, out_text, ChunkFor(r.parsed.declared_size), "startxref", 1, 0,
                        out_length);
}

int32_t PdfParseTrailer(Reader r, FILE *file, uint32_t trailer_position, uint32_t length) {
    ParsedDocument &p = r.parsed;
    if (r.files.seek(file, int64_t{trailer_position} + 7, 0) != 0)
        return KV_FAIL(r, KVPDF_ERR_POSITION, KVPDF_ERR_STAGE_TRAILER);
    // The text after the keyword, up to the end of "startxref".
    uint32_t n = length > 7 ? length - 7 : 0;
    TrackedPtr<char> text(static_cast<char *>(TrackedAlloc(KV_UNIT, __LINE__, size_t{n} + 1)));
    if (!text) return KV_FAIL(r, KVPDF_ERR_TRAILER_MEMORY, KVPDF_ERR_STAGE_TRAILER);
    if (r.files.read(text.get(), 1, n, file) != n)
        return KV_FAIL(r, KVPDF_ERR_TRAILER_READ, KVPDF_ERR_STAGE_TRAILER);
    text[n] = '\0';
    const char *t = text.get();
    int64_t encrypt = PdfFind(t, n, "/Encrypt");
    if (encrypt >= 0) {
        size_t i = PdfSkipSpace(t, n, static_cast<size_t>(encrypt) + 8);
        if (i >= n || t[i] != 'n') return KV_FAIL(r, KVPDF_ERR_ENCRYPTED, KVPDF_ERR_STAGE_TRAILER);
    }
    uint32_t prev = PdfKeyNumber(t, n, "/Prev");
    p.prev_xref = prev > 0x7FFFFFFFu ? -1 : static_cast<int32_t>(prev);
    p.section_size = PdfFind(t, n, "/Size") < 0 ? -1 : PdfKeyNumber(t, n, "/Size");
    if (p.info_obj == 0) {
        uint32_t info = PdfKeyNumber(t, n, "/Info");
        p.info_obj = info > 0x7FFFFFFFu ? 0 : static_cast<int32_t>(info);
    }
    if (p.declared_size == -1) {
        uint32_t size = PdfKeyNumber(t, n, "/Size");
        if (size == 0xFFFFFFFFu && PdfFind(t, n, "/Size") < 0)
            return KV_FAIL(r, KVPDF_ERR_TRAILER_NO_SIZE, KVPDF_ERR_STAGE_TRAILER);
        p.declared_size = size > 0x7FFFFFFEu ? 0x7FFFFFFE : static_cast<int32_t>(size);
    }
    if (p.root_obj != -1) return p.root_obj;
    int64_t root = PdfFind(t, n, "/Root");
    if (root < 0) return KV_FAIL(r, KVPDF_ERR_TRAILER_NO_ROOT, KVPDF_ERR_STAGE_TRAILER);
    uint32_t number = PdfParseNumber(t, n, static_cast<size_t>(root), nullptr);
    return number > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int32_t>(number);
}

int32_t PdfReadXref(Reader r, FILE *file, int32_t offset, int suppress_lists) {
    // /Prev is followed in a loop, not by recursion: a file with many revisions cannot
    // exhaust the stack, and an offset met twice ends the chain.
    try {
        std::unordered_set<int32_t> seen;
        for (;;) {
            if (!seen.insert(offset).second) {
                char where[32];
                snprintf(where, sizeof where, "/Prev %ld", static_cast<long>(offset));
                return KV_FAIL(r, KVPDF_ERR_XREF_CONTRADICTION, KVPDF_ERR_STAGE_XREF, where);
            }
            int32_t rc = ReadSection(r, file, offset, suppress_lists);
            if (rc < 0) return rc;
            if (r.parsed.prev_xref == -1) return r.parsed.trailer_size;
            offset = r.parsed.prev_xref;
            suppress_lists = 0;
        }
    } catch (const std::bad_alloc &) {
        return KV_FAIL(r, KVPDF_ERR_OBJECT_TABLE_MEMORY, KVPDF_ERR_STAGE_XREF);
    }
}

XrefSection *PdfNewXrefSection(ParsedDocument &p, uint32_t offset) {
    auto *s = static_cast<XrefSection *>(TrackedAlloc(KV_UNIT, __LINE__, sizeof(XrefSection)));
    if (!s) return nullptr;
    memset(s, 0, sizeof *s);
    s->offset = offset;
    s->previous = p.xref_oldest;
    if (p.xref_oldest) p.xref_oldest->next = s;
    if (!p.xref_sections) p.xref_sections = s;
    p.xref_oldest = s;
    p.xref_current = s;
    ++p.xref_section_count;
    return s;
}

namespace {

// Entries a cross-reference stream lists cost it less than a byte once compressed, so
// the sections of a chain could list many more than the file holds objects: each
// costs a record, and all of them together are held to the file's length.
bool Countable(ParsedDocument &p) {
    const uint64_t limit = uint64_t{p.file_length} + kObjectFloor;
    return ++p.listed_entries <= limit;
}

} // namespace

int PdfAddXrefEntry(ParsedDocument &p, uint32_t offset, uint32_t object) {
    XrefSection *s = p.xref_current;
    if (!s || !Countable(p)) return 0;
    auto *e = static_cast<XrefEntry *>(TrackedAlloc(KV_UNIT, __LINE__, sizeof(XrefEntry)));
    if (!e) return 0;
    e->offset = offset;
    e->object_number = object;
    e->next = nullptr;
    if (s->entries_tail)
        s->entries_tail->next = e;
    else
        s->entries_head = e;
    s->entries_tail = e;
    return 1;
}

int PdfAddCompressedEntry(ParsedDocument &p, uint32_t object_stream, uint32_t object,
                          uint32_t index) {
    XrefSection *s = p.xref_current;
    if (!s || !Countable(p)) return 0;
    auto *e =
        static_cast<CompressedEntry *>(TrackedAlloc(KV_UNIT, __LINE__, sizeof(CompressedEntry)));
    if (!e) return 0;
    e->object_number = object;
    e->object_stream = object_stream;
    e->index = index;
    e->next = nullptr;
    if (s->compressed_tail)
        s->compressed_tail->next = e;
    else
        s->compressed_head = e;
    s->compressed_tail = e;
    if (p.object_streams && object < p.object_offsets_count && p.object_streams[object] == 0)
        p.object_streams[object] = object_stream;
    return 1;
}

int64_t PdfSectionOffsetOf(const XrefSection *section, uint32_t object) {
    for (const XrefEntry *e = section ? section->entries_head : nullptr; e; e = e->next)
        if (e->object_number == object) return e->offset;
    return -1;
}

XrefSection *PdfFindSectionOf(const ParsedDocument &p, XrefSection *start, uint32_t object,
                              uint32_t *out_offset) {
    for (XrefSection *s = start ? start : p.xref_oldest; s; s = s->previous) {
        int64_t offset = PdfSectionOffsetOf(s, object);
        if (offset >= 0) {
            if (out_offset) *out_offset = static_cast<uint32_t>(offset);
            return s;
        }
    }
    return nullptr;
}

uint32_t PdfFindObjectStream(const ParsedDocument &p, uint32_t object, const XrefSection *start) {
    if (!start) {
        // The index kept while reading holds the newest listing of every object.
        if (p.object_streams && object < p.object_offsets_count) return p.object_streams[object];
        start = p.xref_sections;
    }
    for (const XrefSection *s = start; s; s = s->next)
        for (CompressedEntry *e = s->compressed_head; e; e = e->next)
            if (e->object_number == object) return e->object_stream;
    return 0;
}

void PdfFreeObjectTable(ParsedDocument &p) {
    TrackedFreeT(p.object_offsets);
    TrackedFreeT(p.object_streams);
    p.object_offsets_count = 0;
}

int PdfFreeXref(ParsedDocument &p, const DssInfo *block) {
    int found = 0;
    XrefSection *s = p.xref_sections;
    while (s) {
        XrefSection *next = s->next;
        for (XrefEntry *e = s->entries_head; e;) {
            XrefEntry *n = e->next;
            TrackedFreeT(e);
            e = n;
        }
        for (CompressedEntry *e = s->compressed_head; e;) {
            CompressedEntry *n = e->next;
            TrackedFreeT(e);
            e = n;
        }
        if (s->dss && s->dss == block) found = 1;
        FreeDssInfo(&s->dss);
        TrackedFreeT(s);
        s = next;
    }
    p.xref_sections = p.xref_current = p.xref_oldest = nullptr;
    p.xref_section_count = 0;
    return found;
}

} // namespace kvpdf
