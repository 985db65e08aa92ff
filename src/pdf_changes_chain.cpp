// SPDX-License-Identifier: Apache-2.0
// Every entry of every cross-reference section, free ones included, and objects read as
// of one revision. The shared readers keep only what the newest revision says; comparing
// revisions needs what each of them says.
#include "pdf_changes.h"

#include "pdf_error.h"
#include "pdf_utils.h"
#include "pdf_xref.h"

#include <algorithm>
#include <cstring>
#include <set>

#define KV_UNIT "../src/pdf_changes.cpp"

namespace kvpdf {
namespace {

// Decoded object streams kept for the objects still to be read from them.
constexpr size_t kStreamCacheBytes = 64u << 20;

// Entries beyond the file's length (plus the floor of the object table) are damage.
constexpr uint64_t kEntryFloor = 65536;

int32_t SectionFailure(Reader r, uint32_t offset, int32_t code) {
    char what[48];
    snprintf(what, sizeof what, "the section at %lu", static_cast<unsigned long>(offset));
    return KV_FAIL(r, code, KVPDF_ERR_STAGE_XREF, what);
}

bool ParseUnsigned(const char *t, size_t n, size_t *i, uint64_t *value) {
    *i = SkipBlank(t, n, *i);
    size_t begin = *i;
    uint64_t v = 0;
    while (*i < n && PdfIsDigit(t[*i]) && *i - begin < 11)
        v = v * 10 + static_cast<uint64_t>(t[(*i)++] - '0');
    *value = v;
    return *i > begin;
}

// The trailer keys of a classic trailer dictionary or a cross-reference stream.
void ReadTrailerKeys(const char *text, size_t length, size_t at, Revision *rev, bool *encrypted) {
    Dict d;
    d.text = text;
    if (!ParseDict(text, length, at, &d.entries)) return;
    rev->root = d.Ref("/Root");
    const std::string prev = d.Value("/Prev"), size = d.Value("/Size");
    if (!prev.empty() && prev.size() <= 10 && std::all_of(prev.begin(), prev.end(), PdfIsDigit)) {
        uint64_t v = std::stoull(prev);
        rev->prev = v > 0x7FFFFFFF ? -1 : static_cast<int32_t>(v);
    }
    if (!size.empty() && size.size() <= 10 && std::all_of(size.begin(), size.end(), PdfIsDigit))
        rev->size = static_cast<int64_t>(std::stoull(size));
    const std::string encrypt = d.Value("/Encrypt");
    *encrypted = !encrypt.empty() && encrypt != "null";
}

} // namespace

const SectionEntry *Revision::Find(uint32_t object) const {
    auto it = std::lower_bound(entries.begin(), entries.end(), object,
                               [](const SectionEntry &e, uint32_t n) { return e.object < n; });
    return it != entries.end() && it->object == object ? &*it : nullptr;
}

int32_t RevisionChain::ReadSection(uint32_t offset, Revision *rev) {
    rev->offset = offset;
    char *loaded = nullptr;
    uint32_t length = 0, start = 0;
    int32_t rc =
        PdfLoadXrefSection(r_, file_, static_cast<int32_t>(offset), &loaded, &length, &start);
    TrackedPtr<char> text(loaded);
    if (rc < 1 || !text) return SectionFailure(r_, offset, KVPDF_ERR_INVALID_XREF_TRAILER);
    const char *t = text.get();
    bool encrypted = false;
    uint64_t budget = uint64_t{r_.parsed.file_length} + kEntryFloor;
    if (rc == 2) {
        // A cross-reference stream: the object's dictionary is the trailer.
        size_t body = 0;
        while (body < length && t[body] != '<')
            ++body;
        ReadTrailerKeys(t, length, body, rev, &encrypted);
        XrefStreamDict d;
        TrackedPtr<uint8_t> data;
        uint32_t decoded = 0;
        rc = PdfDecodeXrefStreamRows(r_, t, length, &d, &data, &decoded);
        if (rc < 1) return SectionFailure(r_, offset, rc);
        const uint64_t row = uint64_t{d.w[0]} + d.w[1] + d.w[2];
        uint64_t pos = 0;
        for (uint32_t i = 0; i + 1 < d.index_count; i += 2) {
            for (uint64_t k = 0; k < d.index[i + 1]; ++k, pos += row) {
                if (pos + row > decoded || rev->entries.size() >= budget)
                    return SectionFailure(r_, offset, KVPDF_ERR_INVALID_XREF);
                const uint8_t *e = data.get() + pos;
                uint64_t type = d.w[0] ? PdfXrefStreamField(e, d.w[0]) : 1;
                uint64_t f2 = PdfXrefStreamField(e + d.w[0], d.w[1]);
                uint64_t f3 = PdfXrefStreamField(e + d.w[0] + d.w[1], d.w[2]);
                uint64_t object = uint64_t{d.index[i]} + k;
                if (type > 2 || object > 0x7FFFFFFF) continue; // reserved types are null
                rev->entries.push_back({static_cast<uint32_t>(object), static_cast<EntryType>(type),
                                        f2 > 0xFFFFFFFFu ? kNoOffset : static_cast<uint32_t>(f2),
                                        static_cast<uint32_t>(f3)});
            }
        }
    } else {
        int64_t trailer = PdfFind(t, length, "trailer");
        if (trailer < 0) return SectionFailure(r_, offset, KVPDF_ERR_NO_TRAILER);
        ReadTrailerKeys(t, length, static_cast<size_t>(trailer) + 7, rev, &encrypted);
        const size_t end = static_cast<size_t>(trailer);
        size_t i = 0; // the text starts after "xref"
        for (;;) {
            uint64_t first = 0, count = 0;
            if (!ParseUnsigned(t, end, &i, &first)) break;
            if (!ParseUnsigned(t, end, &i, &count))
                return SectionFailure(r_, offset, KVPDF_ERR_INVALID_XREF);
            for (uint64_t k = 0; k < count; ++k) {
                uint64_t at = 0, generation = 0;
                if (!ParseUnsigned(t, end, &i, &at) || !ParseUnsigned(t, end, &i, &generation))
                    return SectionFailure(r_, offset, KVPDF_ERR_INVALID_XREF);
                i = SkipBlank(t, end, i);
                if (i >= end || (t[i] != 'n' && t[i] != 'f') || first + k > 0x7FFFFFFF ||
                    rev->entries.size() >= budget)
                    return SectionFailure(r_, offset, KVPDF_ERR_INVALID_XREF);
                const bool used = t[i++] == 'n';
                rev->entries.push_back({static_cast<uint32_t>(first + k),
                                        used ? EntryType::kPlain : EntryType::kFree,
                                        at > 0xFFFFFFFFu ? kNoOffset : static_cast<uint32_t>(at),
                                        static_cast<uint32_t>(generation)});
            }
        }
    }
    if (encrypted) return SectionFailure(r_, offset, KVPDF_ERR_ENCRYPTED);
    // One listing per object: the last one of the section counts.
    std::stable_sort(
        rev->entries.begin(), rev->entries.end(),
        [](const SectionEntry &a, const SectionEntry &b) { return a.object < b.object; });
    std::vector<SectionEntry> unique;
    unique.reserve(rev->entries.size());
    for (const SectionEntry &e : rev->entries) {
        if (!unique.empty() && unique.back().object == e.object)
            unique.back() = e;
        else
            unique.push_back(e);
    }
    rev->entries.swap(unique);
    return 1;
}

int32_t RevisionChain::Read(const ParsedDocument *known) {
    int32_t start = PdfFindStartXref(r_, file_);
    if (start < 0) return start;
    std::set<int32_t> seen;
    uint64_t listed = 0;
    for (int32_t offset = start; offset >= 0;) {
        if (!seen.insert(offset).second) {
            char where[32];
            snprintf(where, sizeof where, "/Prev %ld", static_cast<long>(offset));
            return KV_FAIL(r_, KVPDF_ERR_XREF_CONTRADICTION, KVPDF_ERR_STAGE_XREF, where);
        }
        Revision rev;
        int32_t rc = ReadSection(static_cast<uint32_t>(offset), &rev);
        listed += rev.entries.size();
        if (rc >= 1 && listed > uint64_t{r_.parsed.file_length} + kEntryFloor)
            rc = SectionFailure(r_, rev.offset, KVPDF_ERR_INVALID_XREF);
        if (rc < 1) {
            // The section stays in the chain, unread; the shared reader, which accepted
            // the file, tells where the older ones are.
            rev.entries.clear();
            rev.failure = rc;
            rev.prev = -1;
            for (const XrefSection *s = known ? known->xref_sections : nullptr; s; s = s->next)
                if (s->offset == static_cast<uint32_t>(offset) && s->next)
                    rev.prev = static_cast<int32_t>(s->next->offset);
            if (rev.prev < 0) {
                sections.push_back(std::move(rev));
                return rc;
            }
        }
        offset = rev.prev;
        sections.push_back(std::move(rev));
    }
    return 1;
}

const SectionEntry *RevisionChain::Resolve(size_t from, uint32_t object, uint32_t limit) const {
    for (size_t i = from; i < sections.size(); ++i) {
        if (limit && sections[i].offset >= limit) continue;
        if (const SectionEntry *e = sections[i].Find(object)) return e;
    }
    return nullptr;
}

int32_t RevisionChain::ReadObject(size_t from, uint32_t object, ObjectText *out, uint32_t limit) {
    const SectionEntry *e = Resolve(from, object, limit);
    if (!e || e->type == EntryType::kFree) return 0;
    return ReadEntry(from, *e, out, limit);
}

int32_t RevisionChain::ReadEntry(size_t from, const SectionEntry &e, ObjectText *out,
                                 uint32_t limit) {
    if (e.type == EntryType::kCompressed) return ReadCompressed(from, e, out, limit);
    return ReadPlain(from, e.object, e.field2, out, limit);
}

int32_t RevisionChain::ReadPlain(size_t from, uint32_t object, uint32_t offset, ObjectText *out,
                                 uint32_t limit) {
    char what[40];
    snprintf(what, sizeof what, "entry at %lu", static_cast<unsigned long>(offset));
    if (offset >= r_.parsed.file_length || offset > 0x7FFFFFFF)
        return KV_FAIL(r_, KVPDF_ERR_OBJECT_MISSING, KVPDF_ERR_STAGE_OBJECTS,
                       static_cast<unsigned long>(object), what);
    char *raw = nullptr;
    uint32_t length = 0;
    int32_t rc = PdfReadUntil(r_, file_, -static_cast<ObjectSelector>(offset), &raw, 4096, "endobj",
                              1, PdfDecodeLimit(r_.parsed), &length);
    out->text.reset(raw);
    const char *t = raw;
    // "n g obj" naming this very object, or the entry is wrong.
    size_t i = SkipBlank(t, length, 0), k = i;
    uint64_t number = 0, generation = 0;
    bool header = rc >= 1 && raw && ParseUnsigned(t, length, &k, &number) && number == object &&
                  ParseUnsigned(t, length, &k, &generation);
    k = header ? SkipBlank(t, length, k) : 0;
    if (!header || k + 3 > length || memcmp(t + k, "obj", 3) != 0)
        return KV_FAIL(r_, KVPDF_ERR_OBJECT_MISSING, KVPDF_ERR_STAGE_OBJECTS,
                       static_cast<unsigned long>(object), what);
    out->length = length;
    out->offset = offset;
    out->compressed = false;
    out->body = SkipBlank(t, length, k + 3);
    size_t end = out->body;
    if (!SkipValue(t, length, &end)) end = length;
    out->body_end = end;
    size_t after = SkipBlank(t, length, end);
    out->is_stream = after + 6 <= length && memcmp(t + after, "stream", 6) == 0;
    if (!out->is_stream) return 1;
    // Stream data that holds "endobj" cut the text short: read up to the data's end, so
    // that two versions of a stream compare by all their bytes.
    Dict d;
    d.text = t;
    uint64_t data_length = 0;
    if (ParseDict(t, length, out->body, &d.entries)) {
        const DictEntry *len = d.Find("/Length");
        uint32_t ref = len ? RefOf(t, len->value) : 0;
        if (ref && length_depth_ == 0) {
            // A /Length object is a number; one that is a stream again is not followed.
            ObjectText value;
            ++length_depth_;
            rc = ReadObject(from, ref, &value, limit);
            --length_depth_;
            if (rc == 1) {
                size_t p = value.body;
                ParseUnsigned(value.text.get(), value.length, &p, &data_length);
            }
        } else if (len) {
            size_t p = len->value.begin;
            ParseUnsigned(t, len->value.end, &p, &data_length);
        }
    }
    const uint64_t needed = after + 7 + data_length + 9;
    if (needed <= length) return 1;
    if (needed > PdfDecodeLimit(r_.parsed) || offset + needed > r_.parsed.file_length) return 1;
    char *more = nullptr;
    uint32_t more_length = 0;
    rc = PdfReadRaw(r_, file_, -static_cast<ObjectSelector>(offset), &more,
                    static_cast<uint32_t>(needed), &more_length);
    if (rc >= 1 && more) {
        out->text.reset(more);
        out->length = more_length;
    } else {
        TrackedFreeT(more);
    }
    return 1;
}

int32_t RevisionChain::ReadCompressed(size_t from, const SectionEntry &e, ObjectText *out,
                                      uint32_t limit) {
    const uint32_t container = e.field2;
    const SectionEntry *where = container ? Resolve(from, container, limit) : nullptr;
    if (!where || where->type != EntryType::kPlain)
        return KV_FAIL(r_, KVPDF_ERR_OBJECT_MISSING, KVPDF_ERR_STAGE_OBJECTS,
                       static_cast<unsigned long>(e.object), "compressed entry");
    auto cached = streams_.find(where->field2);
    if (cached == streams_.end()) {
        ObjectText stream;
        int32_t rc = ReadPlain(from, container, where->field2, &stream, limit);
        if (rc < 1) return rc;
        const char *t = stream.text.get();
        Dict d;
        d.text = t;
        if (!stream.is_stream || !ParseDict(t, stream.length, stream.body, &d.entries))
            return KV_FAIL(r_, KVPDF_ERR_OBJECT_KIND, KVPDF_ERR_STAGE_OBJECTS,
                           static_cast<unsigned long>(container), "object stream", "no stream");
        size_t keyword = SkipBlank(t, stream.length, stream.body_end);
        size_t data = keyword + 6;
        if (data < stream.length && t[data] == '\r') ++data;
        if (data < stream.length && t[data] == '\n') ++data;
        uint64_t raw_length = 0;
        const DictEntry *len = d.Find("/Length");
        if (len && !RefOf(t, len->value)) {
            size_t p = len->value.begin;
            ParseUnsigned(t, len->value.end, &p, &raw_length);
        } else {
            raw_length = stream.length - data; // up to "endstream endobj" at most
        }
        if (data + raw_length > stream.length) raw_length = stream.length - data;
        uint8_t *decoded = nullptr;
        uint32_t decoded_length = 0;
        rc = PdfDecodeStreamData(t, stream.body_end, reinterpret_cast<const uint8_t *>(t + data),
                                 static_cast<uint32_t>(raw_length), PdfDecodeLimit(r_.parsed),
                                 &decoded, &decoded_length);
        TrackedPtr<uint8_t> guard(decoded);
        if (rc < 1) return KV_FAIL(r_, rc, KVPDF_ERR_STAGE_OBJECTS);
        Unpacked u;
        u.data.assign(reinterpret_cast<const char *>(decoded), decoded_length);
        uint64_t first = 0, count = 0;
        size_t p = 0;
        const std::string first_text = d.Value("/First"), n_text = d.Value("/N");
        p = 0;
        ParseUnsigned(first_text.c_str(), first_text.size(), &p, &first);
        p = 0;
        ParseUnsigned(n_text.c_str(), n_text.size(), &p, &count);
        std::vector<std::pair<uint32_t, uint64_t>> heads;
        size_t h = 0;
        for (uint64_t k = 0; k < count; ++k) {
            uint64_t number = 0, at = 0;
            if (!ParseUnsigned(u.data.data(), u.data.size(), &h, &number) ||
                !ParseUnsigned(u.data.data(), u.data.size(), &h, &at))
                break;
            heads.emplace_back(static_cast<uint32_t>(number), first + at);
        }
        for (size_t k = 0; k < heads.size(); ++k) {
            uint64_t begin = heads[k].second;
            uint64_t end = k + 1 < heads.size() ? heads[k + 1].second : u.data.size();
            if (begin > u.data.size() || end > u.data.size() || end < begin) continue;
            u.objects[heads[k].first] = {static_cast<size_t>(begin), static_cast<size_t>(end)};
        }
        if (stream_bytes_ + u.data.size() > kStreamCacheBytes) {
            streams_.clear();
            stream_bytes_ = 0;
        }
        stream_bytes_ += u.data.size();
        cached = streams_.emplace(where->field2, std::move(u)).first;
    }
    auto found = cached->second.objects.find(e.object);
    if (found == cached->second.objects.end())
        return KV_FAIL(r_, KVPDF_ERR_OBJECT_MISSING, KVPDF_ERR_STAGE_OBJECTS,
                       static_cast<unsigned long>(e.object), "compressed entry");
    const size_t begin = found->second.first, n = found->second.second - begin;
    auto *copy = static_cast<char *>(TrackedAlloc(KV_UNIT, __LINE__, n + 1));
    if (!copy) return KV_FAIL(r_, KVPDF_ERR_OBJECT_TABLE_MEMORY, KVPDF_ERR_STAGE_OBJECTS);
    memcpy(copy, cached->second.data.data() + begin, n);
    copy[n] = '\0';
    out->text.reset(copy);
    out->length = static_cast<uint32_t>(n);
    out->compressed = true;
    out->offset = 0;
    out->is_stream = false;
    out->body = SkipBlank(copy, n, 0);
    size_t end = out->body;
    if (!SkipValue(copy, n, &end)) end = n;
    out->body_end = end;
    return 1;
}

} // namespace kvpdf
