// SPDX-License-Identifier: Apache-2.0
// The /ByteRange of a signature against the signature-wrapping attacks: the signed
// bytes must be the whole file but exactly the dictionary's own /Contents value, and
// that value one DER object padded with zeros (ISO 32000-1, 12.8.1).
#include "pdf_changes.h"

#include "pdf_error.h"
#include "pdf_utils.h"

#include <cstring>

#define KV_UNIT "../src/pdf_byte_range.cpp"

namespace kvpdf {
namespace {

constexpr size_t kChunk = 16384;

int HexValue(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The decoded value, byte by byte: one DER object (its header tells its length, X.690
// 8.1), then nothing but zero bytes.
class DerTail {
public:
    void Put(uint8_t byte) {
        if (count_ < sizeof header_) header_[count_] = byte;
        if (total_ == 0 && count_ < sizeof header_) Measure();
        if (total_ > 0 && count_ >= total_ && byte != 0) trailing_ = true;
        ++count_;
    }
    // True when the value is one whole object followed by zeros (or of indefinite
    // length, whose end the header does not tell).
    bool Sound() const {
        if (indefinite_) return true;
        return total_ > 0 && count_ >= total_ && !trailing_;
    }

private:
    void Measure() {
        const uint64_t have = count_ + 1;
        if (have < 2 || (header_[0] & 0x1F) == 0x1F) return;
        const uint8_t first = header_[1];
        if (first < 0x80) {
            total_ = 2 + uint64_t{first};
            return;
        }
        if (first == 0x80) {
            indefinite_ = true;
            return;
        }
        const uint32_t n = first & 0x7F;
        if (n > 4 || have < 2 + n) return;
        uint64_t length = 0;
        for (uint32_t i = 0; i < n; ++i)
            length = (length << 8) | header_[2 + i];
        total_ = 2 + n + length;
    }
    uint8_t header_[6] = {0, 0, 0, 0, 0, 0};
    uint64_t count_ = 0, total_ = 0;
    bool trailing_ = false, indefinite_ = false;
};

bool ParseRangeNumber(const char *t, Span s, uint64_t *value) {
    if (s.end <= s.begin || s.end - s.begin > 10) return false;
    uint64_t v = 0;
    for (size_t i = s.begin; i < s.end; ++i) {
        if (!PdfIsDigit(t[i])) return false;
        v = v * 10 + static_cast<uint64_t>(t[i] - '0');
    }
    *value = v;
    return v <= 0xFFFFFFFFu;
}

// Reads the gap [begin, end) in chunks: "<", hex digits and white space, ">", and the
// value they encode one DER object followed by zeros. KVPDF_RANGE_GAP,
// KVPDF_RANGE_TRAILING_DATA or KVPDF_RANGE_OK.
int32_t ScanGap(RevisionChain &chain, uint64_t begin, uint64_t end) {
    Reader r = chain.reader();
    if (end - begin < 2 || r.files.seek(chain.file(), static_cast<int64_t>(begin), 0) != 0)
        return KVPDF_RANGE_GAP;
    char buffer[kChunk];
    DerTail der;
    int high = -1;
    for (uint64_t at = begin; at < end;) {
        const size_t want = end - at < kChunk ? static_cast<size_t>(end - at) : kChunk;
        if (r.files.read(buffer, 1, want, chain.file()) != want) return KVPDF_RANGE_GAP;
        for (size_t i = 0; i < want; ++i, ++at) {
            const int c = static_cast<unsigned char>(buffer[i]);
            if (at == begin) {
                if (c != '<') return KVPDF_RANGE_GAP;
            } else if (at + 1 == end) {
                if (c != '>') return KVPDF_RANGE_GAP;
            } else if (!PdfIsSpace(c)) {
                const int v = HexValue(c);
                if (v < 0) return KVPDF_RANGE_GAP;
                if (high < 0) {
                    high = v;
                } else {
                    der.Put(static_cast<uint8_t>(high << 4 | v));
                    high = -1;
                }
            }
        }
    }
    if (high >= 0) der.Put(static_cast<uint8_t>(high << 4)); // an odd digit count: 0 follows
    return der.Sound() ? KVPDF_RANGE_OK : KVPDF_RANGE_TRAILING_DATA;
}

} // namespace

int32_t CheckByteRange(RevisionChain &chain, const ObjectText &dict, uint32_t range[4]) {
    memset(range, 0, 4 * sizeof range[0]);
    const char *t = dict.text.get();
    Dict d;
    d.text = t;
    std::vector<Span> items;
    const DictEntry *entry = nullptr;
    if (ParseDict(t, dict.length, dict.body, &d.entries)) entry = d.Find("/ByteRange");
    if (!entry || !ParseArray(t, entry->value.end, entry->value.begin, &items) || items.size() != 4)
        return KVPDF_RANGE_MALFORMED;
    uint64_t b[4];
    for (int i = 0; i < 4; ++i)
        if (!ParseRangeNumber(t, items[i], &b[i])) return KVPDF_RANGE_MALFORMED;
    for (int i = 0; i < 4; ++i)
        range[i] = static_cast<uint32_t>(b[i]);
    if (b[0] != 0) return KVPDF_RANGE_NOT_AT_START;
    if (b[2] <= b[0]) return KVPDF_RANGE_NOT_ASCENDING;
    if (b[2] < b[0] + b[1]) return KVPDF_RANGE_OVERLAP;
    const uint64_t file_length = chain.file_length();
    if (b[0] + b[1] > file_length || b[2] + b[3] > file_length) return KVPDF_RANGE_PAST_END;
    // The gap must be this dictionary's own value: a dictionary in an object stream has
    // no bytes of its own in the file, so its /Contents can never be the gap.
    const DictEntry *contents = d.Find("/Contents");
    if (dict.compressed || !contents || contents->value.end - contents->value.begin < 2 ||
        t[contents->value.begin] != '<' || t[contents->value.begin + 1] == '<')
        return KVPDF_RANGE_GAP;
    const uint64_t value_begin = uint64_t{dict.offset} + contents->value.begin;
    const uint64_t value_end = uint64_t{dict.offset} + contents->value.end;
    if (value_begin != b[0] + b[1] || value_end != b[2]) return KVPDF_RANGE_GAP;
    return ScanGap(chain, value_begin, value_end);
}

} // namespace kvpdf
