// SPDX-License-Identifier: Apache-2.0
// File and text utilities, and the lookups over the list of found signatures.
#include "pdf_utils.h"

#include "pdf_mem.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#define KV_UNIT "../src/pdf_utils.cpp"

namespace kvpdf {
namespace {

constexpr size_t kCopyBlock = 1 << 20;
constexpr size_t kFallbackCapacity = 255;

} // namespace

int PdfCopyFile(const char *target, const char *source, const char *mode) {
    if (!target || !source || !mode) return -1;
    // Opening the target would truncate the source when both are one file.
    if (PdfSameFile(target, source)) return -1;
    FILE *in = fopen(source, "rb");
    if (!in) return -1;
    FILE *out = fopen(target, mode);
    if (!out) {
        fclose(in);
        return -1;
    }
    int rc = 0;
    bool failed = false;
    if (fflush(out) != 0 || !PdfCopyInKernel(in, out, &failed)) {
        char *block = static_cast<char *>(malloc(kCopyBlock));
        if (!block) {
            rc = -1;
        } else {
            for (;;) {
                size_t n = fread(block, 1, kCopyBlock, in);
                if (n == 0) {
                    if (!feof(in)) rc = -1;
                    break;
                }
                if (fwrite(block, 1, n, out) != n) {
                    rc = -1;
                    break;
                }
            }
            free(block);
        }
    } else if (failed) {
        rc = -1;
    }
    if (fclose(in) != 0) rc = -1;
    if (fclose(out) != 0) rc = -1;
    // Half a copy is not a document: a full file system leaves no output behind.
    uint64_t size = 0;
    if (rc != 0 && PdfFileKind(target, &size) == FileKind::kRegular) (void)PdfRemoveFile(target);
    return rc;
}

int PdfLoadFile(const char *path, uint8_t **out_buffer, uint32_t *out_length) {
    *out_buffer = nullptr;
    *out_length = 0;
    TrackedPtr<char> copy(PdfStrDup(path));
    if (!copy) return 0;
    FILE *f = fopen(PdfTrim(copy.get()), "rb");
    if (!f) return 0;
    int rc = 0;
    if (PdfSeek(f, 0, SEEK_END) == 0) {
        int64_t size = PdfTell(f);
        if (size >= 0 && size < 0xFFFFFFF0 && PdfSeek(f, 0, SEEK_SET) == 0) {
            auto *data = static_cast<uint8_t *>(
                TrackedAlloc(KV_UNIT, __LINE__, static_cast<size_t>(size) + 1));
            if (data) {
                size_t n = fread(data, 1, static_cast<size_t>(size), f);
                data[n] = 0;
                *out_buffer = data;
                *out_length = static_cast<uint32_t>(n);
                rc = 1;
            }
        }
    }
    fclose(f);
    return rc;
}

char *PdfTempFileName(const char *src_path) {
    if (char *name = PdfCreateTempFile()) return name;
    if (!src_path) return nullptr;
    char buffer[kFallbackCapacity];
    const size_t length = strlen(src_path);
    if (length >= sizeof buffer) return nullptr;
    memcpy(buffer, src_path, length + 1);
    if (!PdfReplaceFirst(buffer, sizeof buffer, ".pdf", ".pdf.tmp") ||
        strcmp(buffer, src_path) == 0) {
        // No ".pdf" to replace (or no room): never hand out the source's own name.
        char *distinct = nullptr;
        (void)BufferAppendf(KV_UNIT, __LINE__, &distinct, 0, "%s.kvtmp", src_path);
        return distinct;
    }
    return PdfStrDup(buffer);
}

char *PdfStrDup(const char *text) {
    if (!text) return nullptr;
    size_t n = strlen(text);
    char *copy = static_cast<char *>(TrackedAlloc(KV_UNIT, __LINE__, n + 1));
    if (copy) memcpy(copy, text, n + 1);
    return copy;
}

char *PdfTrim(char *text) {
    if (!text) return nullptr;
    size_t n = strlen(text);
    while (n > 0 && PdfIsSpace(static_cast<unsigned char>(text[n - 1])))
        text[--n] = '\0';
    char *p = text;
    while (*p && PdfIsSpace(static_cast<unsigned char>(*p)))
        ++p;
    return p;
}

int PdfEndsWithNoCase(const char *text, const char *suffix) {
    if (!text || !suffix || !*text || !*suffix) return 0;
    if (!strchr(text, '.') || !strchr(suffix, '.')) return 0;
    size_t n = strlen(text), k = strlen(suffix);
    if (k > n) return 0;
    for (size_t i = 1; i <= k; ++i) {
        if (tolower(static_cast<unsigned char>(text[n - i])) !=
            tolower(static_cast<unsigned char>(suffix[k - i])))
            return 0;
    }
    return 1;
}

int PdfInsertString(const char *text, const char *insert, size_t position, char **out) {
    *out = nullptr;
    if (!text || !insert) return 0;
    size_t n = strlen(text), k = strlen(insert);
    if (position > n) position = n;
    char *s = static_cast<char *>(TrackedAlloc(KV_UNIT, __LINE__, n + k + 1));
    if (!s) return 0;
    memcpy(s, text, position);
    memcpy(s + position, insert, k);
    memcpy(s + position + k, text + position, n - position + 1);
    *out = s;
    return 1;
}

uint32_t PdfInsertBytes(const char *buffer, uint32_t length, const char *insert, uint32_t position,
                        char **out) {
    *out = nullptr;
    if (!buffer || !insert) return 0;
    size_t k = strlen(insert);
    if (position > length) position = length;
    size_t total = size_t{length} + k + 1;
    if (total > 0xFFFFFFFFu) return 0;
    char *s = static_cast<char *>(TrackedAlloc(KV_UNIT, __LINE__, total));
    if (!s) return 0;
    memcpy(s, buffer, position);
    memcpy(s + position, insert, k);
    memcpy(s + position + k, buffer + position, length - position);
    s[total - 1] = '\0';
    *out = s;
    return static_cast<uint32_t>(total);
}

char *PdfReplaceFirst(char *text, size_t capacity, const char *needle, const char *replacement) {
    if (!text || !needle || !*needle) return text;
    char *hit = strstr(text, needle);
    if (!hit) return text;
    size_t n = strlen(text), k = strlen(needle), r = replacement ? strlen(replacement) : 0;
    if (n - k + r + 1 > capacity) return nullptr;
    memmove(hit + r, hit + k, strlen(hit + k) + 1);
    if (r) memcpy(hit, replacement, r);
    return hit + r;
}

char *PdfReplaceAll(const char *text, const char *needle, const char *replacement) {
    if (!text || !needle || !*needle) return nullptr;
    size_t k = strlen(needle), r = replacement ? strlen(replacement) : 0;
    size_t count = 0;
    for (const char *p = strstr(text, needle); p; p = strstr(p + k, needle))
        ++count;
    if (count == 0) return nullptr;
    size_t n = strlen(text) - count * k + count * r;
    char *out = static_cast<char *>(TrackedAlloc(KV_UNIT, __LINE__, n + 1));
    if (!out) return nullptr;
    char *w = out;
    const char *from = text;
    for (const char *p = strstr(text, needle); p; p = strstr(from, needle)) {
        memcpy(w, from, static_cast<size_t>(p - from));
        w += p - from;
        if (r) memcpy(w, replacement, r);
        w += r;
        from = p + k;
    }
    memcpy(w, from, strlen(from) + 1);
    return out;
}

int PdfCheckSignatureIndex(const FoundSignatures &found, int32_t *index, int32_t *error) {
    if (*index < 0) *index = static_cast<int32_t>(found.signature_count) - 1;
    if (*index >= 0 && static_cast<uint32_t>(*index) < found.signature_count) return 1;
    if (error) *error = KVPDF_ERR_SIGNATURE_INDEX;
    return 0;
}

int32_t PdfFindSignatureOfKind(const FoundSignatures &found, int32_t kind) {
    int32_t last = -1;
    for (uint32_t i = 0; found.signatures && i < found.signature_count; ++i)
        if (found.signatures[i].kind == kind) last = static_cast<int32_t>(i);
    return last;
}

int PdfIsTimestampEntry(const FoundSignatures &found, int32_t *index) {
    int32_t error = 0;
    if (!PdfCheckSignatureIndex(found, index, &error)) return 0;
    return found.signatures[*index].kind == KVPDF_SIG_KIND_DOC_TIMESTAMP;
}

int32_t PdfFindTimestampEntry(const FoundSignatures &found) {
    return PdfFindSignatureOfKind(found, KVPDF_SIG_KIND_DOC_TIMESTAMP);
}

int PdfNeedsLogoObjects(const HostSettings *settings, const LogoImage *logo) {
    if (logo) {
        if (!settings) return logo->is_sigappx != 0;
        return settings->visible_signature != 0 && logo->is_sigappx != 0;
    }
    return settings && settings->visible_signature != 0 && settings->logo_is_sigappx != 0;
}

} // namespace kvpdf
