// SPDX-License-Identifier: Apache-2.0
// Feeds arbitrary bytes through a whole signing as a host runs it: the revision is
// written, completed with the placeholder and then with a fixed signature value, and the
// result is searched and every signature found extracted. No cryptography runs: the
// value is a constant DER blob. Every file lives in memory behind the handle's file
// operations, so nothing is written to disk.
#include "pdf_document.h"
#include "pdf_internal.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

using namespace kvpdf;

namespace {

// Paths no disk has: the library's checks of the file kind see them as missing.
constexpr const char *kSource = "/nonexistent/kvpdf-fuzz/source.pdf";
constexpr const char *kTarget = "/nonexistent/kvpdf-fuzz/signed.pdf";
constexpr const char *kRanges = "/nonexistent/kvpdf-fuzz/ranges.bin";

// A ContentInfo naming signedData, without content.
const uint8_t kValue[] = {0x30, 0x0b, 0x06, 0x09, 0x2a, 0x86, 0x48,
                          0x86, 0xf7, 0x0d, 0x01, 0x07, 0x02};

std::map<std::string, std::string> g_files;

struct MemoryFile {
    std::string *bytes;
    size_t position;
    bool append;
};

ssize_t CookieRead(void *cookie, char *buffer, size_t size) {
    auto *f = static_cast<MemoryFile *>(cookie);
    if (f->position >= f->bytes->size()) return 0;
    const size_t n = std::min(size, f->bytes->size() - f->position);
    memcpy(buffer, f->bytes->data() + f->position, n);
    f->position += n;
    return static_cast<ssize_t>(n);
}

ssize_t CookieWrite(void *cookie, const char *buffer, size_t size) {
    auto *f = static_cast<MemoryFile *>(cookie);
    if (f->append) f->position = f->bytes->size();
    if (f->bytes->size() < f->position + size) f->bytes->resize(f->position + size);
    memcpy(&(*f->bytes)[f->position], buffer, size);
    f->position += size;
    return static_cast<ssize_t>(size);
}

int CookieSeek(void *cookie, off64_t *offset, int whence) {
    auto *f = static_cast<MemoryFile *>(cookie);
    const off64_t base = whence == SEEK_SET   ? 0
                         : whence == SEEK_CUR ? static_cast<off64_t>(f->position)
                                              : static_cast<off64_t>(f->bytes->size());
    if (*offset < -base) return -1;
    f->position = static_cast<size_t>(base + *offset);
    *offset = static_cast<off64_t>(f->position);
    return 0;
}

int CookieClose(void *cookie) {
    delete static_cast<MemoryFile *>(cookie);
    return 0;
}

FILE *MemoryOpen(PdfDocument *, const char *path, const char *mode) {
    if (!path || !mode) return nullptr;
    auto it = g_files.find(path);
    if (mode[0] == 'r' && it == g_files.end()) return nullptr;
    std::string &bytes = g_files[path];
    if (mode[0] == 'w') bytes.clear();
    const bool writes = mode[0] != 'r' || strchr(mode, '+');
    cookie_io_functions_t io = {CookieRead, writes ? CookieWrite : nullptr, CookieSeek,
                                CookieClose};
    return fopencookie(new MemoryFile{&bytes, 0, mode[0] == 'a'}, mode, io);
}

int MemoryCopy(PdfDocument *, const char *target, const char *source, const char *) {
    auto it = g_files.find(source);
    if (it == g_files.end()) return -1;
    g_files[target] = it->second;
    return 0;
}

KvPdfHandle Open(const char *source, const char *target, int32_t reserved) {
    KvPdfHandle handle = KvPDFInit(source, target, reserved);
    KvPDFSetProperty(handle, KVPDF_PROP_FIXED_TIME, KVPDF_TEXT("1796472000"));
    if (PdfDocument *doc = HandleLookup(handle)) {
        doc->file_ops.open = MemoryOpen;
        doc->file_ops.copy = MemoryCopy;
    }
    return handle;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    g_files.clear();
    g_files[kSource].assign(reinterpret_cast<const char *>(data), size);
    KvPdfHandle h = Open(kSource, kTarget, 2000);
    // The input's length picks the options, so that one corpus reaches the visible
    // appearance and both subfilters.
    KvPDFSetProperty(h, KVPDF_PROP_VISIBLE, size & 1);
    if (size & 2) KvPDFSetProperty(h, KVPDF_PROP_SUBFILTER_SELECT, KVPDF_SUBFILTER_CADES);
    const bool written = KvPdfWritePDFWithoutSignature(h, 0) == 1 &&
                         KvPdfWriteDummySignatureAndAddedContent(h, nullptr) == 1 &&
                         KvPdfWriteSignature(h, kValue, sizeof kValue) == 1;
    KvPDFClose(h);
    if (!written) return 0;
    h = Open(kTarget, nullptr, 0);
    (void)KvPdfFindSignatures(h);
    for (int32_t i = 0; i < KvPDFGetSignatureCount(h); ++i) {
        uint32_t length = 0;
        int32_t error = 0;
        void *value = KvPdfWritePDFForVerify(h, kTarget, kRanges, i, &length, &error);
        KvPDFDestroyer(&value);
    }
    KvPDFClose(h);
    return 0;
}
