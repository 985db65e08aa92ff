// SPDX-License-Identifier: Apache-2.0
// PDF values read token by token: lenient where the strict syntax check is not, so that
// what a damaged object holds before its damage can still be read.
#include "pdf_value.h"

#include "pdf_utils.h"

#include <cstring>

namespace kvpdf {
namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The literal string at t[i] == '(' with its escapes resolved (ISO 32000-1, 7.3.4.2).
void DecodeLiteral(const char *t, size_t end, size_t i, std::string *out) {
    int depth = 0;
    for (; i < end; ++i) {
        char c = t[i];
        if (c == '(' && depth++ == 0) continue;
        if (c == ')' && --depth == 0) return;
        if (c == '\r') { // an end of line in the string reads as one line feed
            if (i + 1 < end && t[i + 1] == '\n') ++i;
            c = '\n';
        } else if (c == '\\' && i + 1 < end) {
            c = t[++i];
            static const char kFrom[] = "nrtbf", kTo[] = "\n\r\t\b\f";
            if (const char *hit = c ? strchr(kFrom, c) : nullptr) {
                c = kTo[hit - kFrom];
            } else if (c >= '0' && c <= '7') {
                int value = c - '0';
                for (int k = 0; k < 2 && i + 1 < end && t[i + 1] >= '0' && t[i + 1] <= '7'; ++k)
                    value = value * 8 + (t[++i] - '0');
                c = static_cast<char>(value & 0xFF);
            } else if (c == '\r' || c == '\n') { // a line continued
                if (c == '\r' && i + 1 < end && t[i + 1] == '\n') ++i;
                continue;
            }
        }
        *out += c;
    }
}

// Deeper nesting than this is taken for an attack on the stack, not for a document.
constexpr int kMaxDepth = 64;

bool IsDelimiter(int c) {
    return c == '(' || c == ')' || c == '<' || c == '>' || c == '[' || c == ']' || c == '{' ||
           c == '}' || c == '/' || c == '%';
}

bool IsRegular(int c) {
    return !PdfIsSpace(c) && !IsDelimiter(c);
}

size_t SkipRegular(const char *t, size_t n, size_t i) {
    while (i < n && IsRegular(static_cast<unsigned char>(t[i])))
        ++i;
    return i;
}

bool IsInteger(const char *t, size_t begin, size_t end) {
    if (begin == end) return false;
    for (size_t k = begin; k < end; ++k)
        if (!PdfIsDigit(t[k])) return false;
    return true;
}

bool Skip(const char *t, size_t n, size_t *i, int depth);

// After an integer at [begin, end): " g R" makes it a reference.
size_t PastReference(const char *t, size_t n, size_t end) {
    size_t g = SkipBlank(t, n, end);
    size_t g_end = SkipRegular(t, n, g);
    if (!IsInteger(t, g, g_end)) return end;
    size_t r = SkipBlank(t, n, g_end);
    if (r < n && t[r] == 'R' && SkipRegular(t, n, r) == r + 1) return r + 1;
    return end;
}

bool SkipLiteral(const char *t, size_t n, size_t *i) {
    int nesting = 0;
    for (size_t k = *i; k < n; ++k) {
        if (t[k] == '\\') {
            ++k;
        } else if (t[k] == '(') {
            ++nesting;
        } else if (t[k] == ')' && --nesting == 0) {
            *i = k + 1;
            return true;
        }
    }
    return false;
}

bool SkipContainer(const char *t, size_t n, size_t *i, const char *close, int depth) {
    const size_t c = strlen(close);
    for (;;) {
        *i = SkipBlank(t, n, *i);
        if (*i >= n) return false;
        if (n - *i >= c && memcmp(t + *i, close, c) == 0) {
            *i += c;
            return true;
        }
        if (!Skip(t, n, i, depth + 1)) return false;
    }
}

bool Skip(const char *t, size_t n, size_t *i, int depth) {
    if (depth > kMaxDepth) return false;
    *i = SkipBlank(t, n, *i);
    if (*i >= n) return false;
    const char c = t[*i];
    if (c == '<' && *i + 1 < n && t[*i + 1] == '<') {
        *i += 2;
        return SkipContainer(t, n, i, ">>", depth);
    }
    if (c == '<') {
        const void *end = memchr(t + *i, '>', n - *i);
        if (!end) return false;
        *i = static_cast<size_t>(static_cast<const char *>(end) - t) + 1;
        return true;
    }
    if (c == '[') {
        ++*i;
        return SkipContainer(t, n, i, "]", depth);
    }
    if (c == '(') return SkipLiteral(t, n, i);
    if (c == '/') {
        *i = SkipRegular(t, n, *i + 1);
        return true;
    }
    if (!IsRegular(static_cast<unsigned char>(c))) return false;
    size_t begin = *i;
    *i = SkipRegular(t, n, *i);
    if (IsInteger(t, begin, *i)) *i = PastReference(t, n, *i);
    return true;
}

} // namespace

size_t SkipBlank(const char *text, size_t length, size_t i) {
    while (i < length) {
        if (PdfIsSpace(static_cast<unsigned char>(text[i]))) {
            ++i;
        } else if (text[i] == '%') {
            while (i < length && text[i] != '\r' && text[i] != '\n')
                ++i;
        } else {
            break;
        }
    }
    return i;
}

bool SkipValue(const char *text, size_t length, size_t *i) {
    return Skip(text, length, i, 0);
}

bool ParseDict(const char *text, size_t length, size_t at, std::vector<DictEntry> *entries) {
    entries->clear();
    size_t i = SkipBlank(text, length, at);
    if (i + 1 >= length || text[i] != '<' || text[i + 1] != '<') return false;
    i += 2;
    for (;;) {
        i = SkipBlank(text, length, i);
        if (i + 1 < length && text[i] == '>' && text[i + 1] == '>') return true;
        if (i >= length || text[i] != '/') return false;
        size_t key_end = SkipRegular(text, length, i + 1);
        DictEntry e;
        e.key.assign(text + i, key_end - i);
        size_t v = SkipBlank(text, length, key_end);
        size_t end = v;
        if (!SkipValue(text, length, &end)) return false;
        e.value = {v, end};
        entries->push_back(std::move(e));
        i = end;
    }
}

bool ParseArray(const char *text, size_t length, size_t at, std::vector<Span> *items) {
    items->clear();
    size_t i = SkipBlank(text, length, at);
    if (i >= length || text[i] != '[') return false;
    ++i;
    for (;;) {
        i = SkipBlank(text, length, i);
        if (i >= length) return false;
        if (text[i] == ']') return true;
        size_t begin = i;
        if (!SkipValue(text, length, &i)) return false;
        items->push_back({begin, i});
    }
}

uint32_t RefOf(const char *text, Span value) {
    size_t end = SkipRegular(text, value.end, value.begin);
    if (!IsInteger(text, value.begin, end) || end - value.begin > 10) return 0;
    if (PastReference(text, value.end, end) == end) return 0;
    uint64_t n = 0;
    for (size_t k = value.begin; k < end; ++k)
        n = n * 10 + static_cast<uint64_t>(text[k] - '0');
    return n > 0x7FFFFFFFu ? 0 : static_cast<uint32_t>(n);
}

std::string Canonical(const char *text, Span value) {
    std::string out;
    size_t i = value.begin;
    for (;;) {
        i = SkipBlank(text, value.end, i);
        if (i >= value.end) break;
        size_t begin = i;
        const char c = text[i];
        if (c == '(') {
            if (!SkipLiteral(text, value.end, &i)) i = value.end;
        } else if (c == '<' && i + 1 < value.end && text[i + 1] != '<') {
            const void *end = memchr(text + i, '>', value.end - i);
            i = end ? static_cast<size_t>(static_cast<const char *>(end) - text) + 1 : value.end;
        } else if (c == '/') {
            i = SkipRegular(text, value.end, i + 1);
        } else if (IsRegular(static_cast<unsigned char>(c))) {
            i = SkipRegular(text, value.end, i);
        } else {
            i += (c == '<' || c == '>') && i + 1 < value.end && text[i + 1] == c ? 2 : 1;
        }
        if (!out.empty()) out += ' ';
        out.append(text + begin, i - begin);
    }
    return out;
}

void CollectRefs(const char *text, Span value, std::vector<uint32_t> *refs) {
    size_t i = value.begin;
    while (i < value.end) {
        i = SkipBlank(text, value.end, i);
        if (i >= value.end) return;
        const char c = text[i];
        if (c == '(') {
            if (!SkipLiteral(text, value.end, &i)) return;
        } else if ((c == '<' || c == '>') && i + 1 < value.end && text[i + 1] == c) {
            i += 2;
        } else if (c == '<') {
            const void *end = memchr(text + i, '>', value.end - i);
            if (!end) return;
            i = static_cast<size_t>(static_cast<const char *>(end) - text) + 1;
        } else if (c == '/') {
            i = SkipRegular(text, value.end, i + 1);
        } else if (IsRegular(static_cast<unsigned char>(c))) {
            size_t begin = i;
            i = SkipRegular(text, value.end, i);
            uint32_t ref = IsInteger(text, begin, i) ? RefOf(text, {begin, value.end}) : 0;
            if (ref) {
                refs->push_back(ref);
                i = PastReference(text, value.end, i);
            }
        } else {
            ++i;
        }
    }
}

bool PdfStringValue(const char *text, Span value, std::string *out) {
    out->clear();
    size_t i = value.begin;
    if (i >= value.end) return false;
    if (text[i] == '(') {
        DecodeLiteral(text, value.end, i, out);
        return true;
    }
    if (text[i] != '<' || (i + 1 < value.end && text[i + 1] == '<')) return false;
    int high = -1;
    for (++i; i < value.end && text[i] != '>'; ++i) {
        const int d = HexDigit(text[i]);
        if (d < 0) continue; // white space between digits
        if (high < 0) {
            high = d;
        } else {
            *out += static_cast<char>(high * 16 + d);
            high = -1;
        }
    }
    if (high >= 0) *out += static_cast<char>(high * 16); // an odd last digit is followed by 0
    return true;
}

Dict ParseObjectDict(const char *text, size_t length) {
    Dict d;
    d.text = text;
    int is_ref = 0;
    (void)ParseDict(text, length, PdfSkipObjectHeader(text, length, 0, &is_ref), &d.entries);
    return d;
}

const DictEntry *Dict::Find(const char *key) const {
    for (const DictEntry &e : entries)
        if (e.key == key) return &e;
    return nullptr;
}

uint32_t Dict::Ref(const char *key) const {
    const DictEntry *e = Find(key);
    return e ? RefOf(text, e->value) : 0;
}

std::string Dict::Value(const char *key) const {
    const DictEntry *e = Find(key);
    return e ? Canonical(text, e->value) : std::string();
}

} // namespace kvpdf
