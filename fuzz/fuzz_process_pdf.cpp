// SPDX-License-Identifier: Apache-2.0
// Feeds arbitrary bytes through complete signature discovery and the check of every
// signature found, the complete attachment reader, and through the document-processing
// run (reading and signing modes),
// then reads every object the offset table names. The bytes are served from
// memory through the handle's file operations, so no file is written.
#include "pdf_document.h"
#include "pdf_mem.h"
#include "pdf_utils.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

using namespace kvpdf;

namespace {

const uint8_t *g_data = nullptr;
size_t g_size = 0;

FILE *MemoryOpen(PdfDocument *, const char *, const char *) {
    return fmemopen(const_cast<uint8_t *>(g_data), g_size, "rb");
}

volatile uint8_t g_sink; // keeps the reads of the DSS data from being optimised away

int NoCopy(PdfDocument *, const char *, const char *, const char *) {
    return 0;
}

// Complete discovery, the byte-range and later-change check of what it found, and the
// validation data of every DSS revision.
void CheckAll(KvPdfHandle handle) {
    KvPDFSetProperty(handle, KVPDF_PROP_FIND_ALL_SIGNATURES, 1);
    (void)KvPdfFindSignatures(handle);
    for (int32_t i = 0; i < KvPDFGetSignatureCount(handle) && i < 8; ++i) {
        KvPdfSignatureCheck check;
        (void)KvPdfCheckSignature(handle, i, &check);
    }
    for (int32_t kind = KVPDF_DSS_CERTS; kind <= KVPDF_DSS_OCSPS; ++kind) {
        const uint8_t *data = nullptr;
        uint32_t length = 0;
        const int32_t n = KvPdfGetDssData(handle, kind, 0, &data, &length);
        if (n > 0 && data && length > 0) g_sink ^= data[length - 1];
    }
}

// Every embedded file of the whole name tree and of every page, with a small inflate
// limit so that a bomb costs little.
void ReadAttachments(KvPdfHandle handle) {
    KvPDFSetProperty(handle, KVPDF_PROP_ALL_ATTACHMENTS, 1);
    KvPDFSetProperty(handle, KVPDF_PROP_ATTACHMENT_LIMIT, 1 << 20);
    (void)KvPdfGetAttachments(handle);
    for (int32_t i = 0; i < KvPDFGetAttachmentCount(handle) && i < 16; ++i) {
        char *name = nullptr, *description = nullptr;
        uint8_t *data = nullptr;
        uint32_t length = 0;
        (void)KvPDFGetAttachmentInfo(handle, i, &name, &description, &data, &length);
        if (data && length > 0) g_sink ^= data[length - 1];
        KvPDFDestroyer(reinterpret_cast<void **>(&name));
        KvPDFDestroyer(reinterpret_cast<void **>(&description));
        KvPDFDestroyer(reinterpret_cast<void **>(&data));
    }
}

void RunMode(int32_t mode) {
    KvPdfHandle handle = KvPDFInit("fuzz.pdf", "fuzz-out.pdf", 0);
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return;
    doc->file_ops.open = MemoryOpen;
    doc->file_ops.copy = NoCopy;
    if (mode == kModeFindSignatures || mode == kModeReadAttachments) {
        mode == kModeFindSignatures ? CheckAll(handle) : ReadAttachments(handle);
        KvPDFClose(handle);
        return;
    }
    doc->mode = mode;
    if (ProcessPdf(doc) == 1) {
        FILE *f = MemoryOpen(doc, nullptr, nullptr);
        Reader r = ReaderOf(doc);
        // Damaged objects are expected: only what reading them does to memory counts.
        for (uint32_t n = 1; f && n < doc->parsed.object_offsets_count && n < 256; ++n) {
            char *text = nullptr;
            uint32_t length = 0;
            (void)PdfReadObjectBinary(r, f, static_cast<ObjectSelector>(n), &text, &length);
            TrackedFreeT(text);
            uint8_t *data = nullptr;
            (void)PdfReadStream(r, f, static_cast<ObjectSelector>(n), nullptr, 0, &data, &length);
            TrackedFreeT(data);
        }
        if (f) fclose(f);
    }
    KvPDFClose(handle);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0; // fmemopen refuses an empty buffer
    g_data = data;
    g_size = size;
    RunMode(kModeFindSignatures);
    RunMode(kModeReadAttachments);
    RunMode(kModeSign);
    return 0;
}
