// SPDX-License-Identifier: Apache-2.0
// Scanners and value extractors over object texts.
#include "pdf_utils.h"

#include "pdf_mem.h"

#include <cstdio>
#include <cstring>

#define KV_UNIT "../src/pdf_utils.cpp"

namespace kvpdf {
namespace {

constexpr size_t kMaxDigits = 11;

int HexNibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

// Reads up to kMaxDigits digits at index; saturates instead of wrapping.
uint32_t ReadDigits(const char *text, size_t length, size_t *index) {
    uint64_t value = 0;
    size_t n = 0;
    while (*index < length && n < kMaxDigits && PdfIsDigit(text[*index])) {
        value = value * 10 + static_cast<uint64_t>(text[*index] - '0');
        ++*index;
        ++n;
    }
    return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
}

char *CopyText(const char *from, size_t n) {
    char *copy = static_cast<char *>(TrackedAlloc(KV_UNIT, __LINE__, n + 1));
    if (!copy) return nullptr;
    if (n) memcpy(copy, from, n);
    copy[n] = '\0';
    return copy;
}

} // namespace

bool PdfIsSpace(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool PdfIsDigit(int c) {
    return c >= '0' && c <= '9';
}

int64_t PdfFind(const char *text, size_t length, const char *key) {
    if (!text || !key) return -1;
    size_t k = strlen(key);
    if (k == 0 || k > length) return -1;
    const void *p = PdfMemFind(text, length, key, k);
    return p ? static_cast<const char *>(p) - text : -1;
}

int64_t PdfFindBytes(const char *bytes, int64_t last, const char *key) {
    if (!bytes || !key || last < 0) return -1;
    return PdfFind(bytes, static_cast<size_t>(last) + strlen(key), key);
}

size_t PdfSkipSpace(const char *text, size_t length, size_t index) {
    while (index < length && text[index] != '\0' &&
           PdfIsSpace(static_cast<unsigned char>(text[index])))
        ++index;
    return index;
}

uint32_t PdfParseNumber(const char *text, size_t length, size_t index, size_t *next) {
    while (index < length && !PdfIsDigit(text[index]))
        ++index;
    uint32_t value = ReadDigits(text, length, &index);
    if (next) *next = index;
    return value;
}

uint32_t PdfParseNumberRef(const char *text, size_t length, size_t index, int *is_ref) {
    size_t next = 0;
    uint32_t value = PdfParseNumber(text, length, index, &next);
    if (is_ref)
        *is_ref = next + 1 < length && PdfIsSpace(static_cast<unsigned char>(text[next])) &&
                  text[next + 1] == '0';
    return value;
}

size_t PdfSkipObjectHeader(const char *text, size_t length, size_t index, int *is_ref) {
    int ref = 0;
    index = PdfSkipSpace(text, length, index);
    if (index >= length || !PdfIsDigit(text[index])) {
        if (is_ref) *is_ref = 0;
        return 0;
    }
    size_t digits_end = index;
    ReadDigits(text, length, &digits_end);
    ref = digits_end + 1 < length && PdfIsSpace(static_cast<unsigned char>(text[digits_end])) &&
          text[digits_end + 1] == '0';
    if (is_ref) *is_ref = ref;
    if (!ref) return 0;
    // " 0 obj" follows the number; the body starts after it and its white space.
    size_t body = digits_end + 6;
    if (body > length) body = length;
    return PdfSkipSpace(text, length, body);
}

uint32_t PdfKeyNumber(const char *text, size_t length, const char *key) {
    int64_t at = PdfFind(text, length, key);
    if (at < 0) return 0xFFFFFFFFu;
    return PdfParseNumber(text, length, static_cast<size_t>(at), nullptr);
}

uint32_t PdfKidsNumber(const char *text, size_t length) {
    return PdfKeyNumber(text, length, "/Kids");
}

char *PdfMakeRef(uint32_t object) {
    char tmp[32];
    int n = snprintf(tmp, sizeof tmp, " %lu 0 R", static_cast<unsigned long>(object));
    return CopyText(tmp, static_cast<size_t>(n));
}

uint8_t *PdfHexDecode(const char *hex, size_t n) {
    auto *out = static_cast<uint8_t *>(TrackedAlloc(KV_UNIT, __LINE__, n + 1));
    if (!out) return nullptr;
    memset(out, 0, n + 1);
    for (size_t i = 0; i < 2 * n; ++i) {
        int v = HexNibble(hex[i]);
        out[i / 2] |= static_cast<uint8_t>(i % 2 == 0 ? v << 4 : v);
    }
    return out;
}

char *PdfKeyString(const char *text, size_t length, const char *key, uint32_t *out_length) {
    if (out_length) *out_length = 0;
    int64_t at = PdfFind(text, length, key);
    if (at < 0) return nullptr;
    size_t i = static_cast<size_t>(at) + strlen(key);
    while (i < length && text[i] != '[' && text[i] != '(' && text[i] != '/' && text[i] != '<')
        ++i;
    if (i >= length) return nullptr;
    bool hex = text[i] == '<';
    size_t start = ++i;
    while (i < length && text[i] != ')' && text[i] != '>' && text[i] != ']' && text[i] != '/')
        ++i;
    if (i >= length) return nullptr;
    size_t n = i - start;
    if (!hex) {
        if (out_length) *out_length = static_cast<uint32_t>(n);
        return CopyText(text + start, n);
    }
    uint8_t *decoded = PdfHexDecode(text + start, n / 2);
    if (decoded && out_length) *out_length = static_cast<uint32_t>(n / 2);
    return reinterpret_cast<char *>(decoded);
}

uint8_t *PdfKeyHexString(const char *text, size_t length, const char *key, uint32_t *out_length) {
    if (out_length) *out_length = 0;
    int64_t at = PdfFind(text, length, key);
    size_t i = at < 0 ? 0 : static_cast<size_t>(at);
    while (i < length && text[i] != '<')
        ++i;
    if (i >= length) return nullptr;
    size_t start = ++i;
    while (i < length && text[i] != '>' && text[i] != '/')
        ++i;
    if (i >= length) return nullptr;
    size_t n = (i - start) / 2;
    uint8_t *decoded = PdfHexDecode(text + start, n);
    if (decoded && out_length) *out_length = static_cast<uint32_t>(n);
    return decoded;
}

int32_t PdfEmbeddedFileObj(Reader r, FILE *file, const char *text, size_t length) {
    int64_t at = PdfFind(text, length, "/EF");
    if (at < 0) return 0;
    size_t i = PdfSkipSpace(text, length, static_cast<size_t>(at) + 3);
    if (i >= length) return 0;
    if (text[i] == '<')
        return static_cast<int32_t>(PdfParseNumber(text, length, i, nullptr) & 0x7FFFFFFF);
    uint32_t ef = PdfParseNumber(text, length, i, nullptr);
    if (ef == 0 || ef > 0x7FFFFFFFu) return 0;
    char *ef_text = nullptr;
    uint32_t ef_length = 0;
    int32_t rc =
        PdfReadObjectBinary(r, file, static_cast<ObjectSelector>(ef), &ef_text, &ef_length);
    if (rc < 1 || !ef_text) {
        TrackedFreeT(ef_text);
        return rc < 1 ? rc : 0;
    }
    uint32_t stream = PdfKeyNumber(ef_text, ef_length, "/F");
    TrackedFreeT(ef_text);
    return stream > 0x7FFFFFFFu ? 0 : static_cast<int32_t>(stream);
}

char *PdfFileSpecName(const char *text, size_t length) {
    for (size_t i = 0; i + 2 <= length; ++i) {
        if (text[i] != '/' || text[i + 1] != 'F') continue;
        size_t j = i + 2;
        if (j < length && PdfIsSpace(static_cast<unsigned char>(text[j]))) ++j;
        if (j >= length) break;
        if (text[j] == '(') return PdfKeyString(text + i, length - i, "/F", nullptr);
        if (text[j] == '<')
            return reinterpret_cast<char *>(PdfKeyHexString(text + i, length - i, "/F", nullptr));
    }
    return nullptr;
}

} // namespace kvpdf
