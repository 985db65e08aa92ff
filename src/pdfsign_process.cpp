// SPDX-License-Identifier: Apache-2.0
// The document-processing run every operation starts with, and the linearization probe.
#include "pdf_document.h"
#include "pdf_error.h"
#include "pdf_internal.h"
#include "pdf_mem.h"
#include "pdf_pades.h"
#include "pdf_utils.h"
#include "pdf_xref.h"
#include "pdfsign_walk.h"

#include <cstring>
#include <new>
#include <thread>

#define KV_UNIT "../src/pdfsign.cpp"

namespace kvpdf {

struct BackgroundCopy {
    std::thread worker;
    int result = -1;
};

namespace {

constexpr size_t kProbeChunk = 4096;

// Number after key in text, or -1 when the key is absent.
int64_t NumberAfter(const char *text, size_t length, const char *key) {
    int64_t at = PdfFind(text, length, key);
    if (at < 0) return -1;
    return PdfParseNumber(text, length, static_cast<size_t>(at) + strlen(key), nullptr);
}

// Position of the next "xref" at or after the current position, or 0 when the file
// ends first.
int32_t FindXrefKeyword(Reader r, FILE *file) {
    int64_t base = r.files.tell(file);
    if (base < 0) return 0;
    char buffer[kProbeChunk + 3];
    size_t carried = 0;
    for (;;) {
        size_t n = r.files.read(buffer + carried, 1, kProbeChunk, file);
        if (n == 0) return 0;
        size_t total = carried + n;
        const void *hit = PdfMemFind(buffer, total, "xref", 4);
        if (hit) {
            int64_t pos =
                base - static_cast<int64_t>(carried) + (static_cast<const char *>(hit) - buffer);
            return pos > 0x7FFFFFFF ? 0 : static_cast<int32_t>(pos);
        }
        // Keep the last three bytes: "xref" may straddle two reads.
        carried = total < 3 ? total : 3;
        memmove(buffer, buffer + total - carried, carried);
        base += static_cast<int64_t>(n);
    }
}

uint32_t FileEnd(Reader r, FILE *file) {
    int64_t end = r.files.tell(file);
    return end < 0 || end > 0xFFFFFFFEll ? 0 : static_cast<uint32_t>(end);
}

// Collecting validation data reads the source while the kernel copies it: verifying the
// signatures hashes the file on one core and the copy runs on the other. The output is
// written only after FinishBackgroundCopy.
bool StartBackgroundCopy(PdfDocument *doc) {
    auto *copy = new (std::nothrow) BackgroundCopy;
    if (!copy) return false;
    try {
        copy->worker = std::thread([doc, copy] {
            const HostSettings &s = doc->settings;
            copy->result = FileAccess(doc).copy(s.target_path, s.src_path, "wb+");
        });
    } catch (...) {
        delete copy;
        return false;
    }
    doc->copying = copy;
    return true;
}

// The output's last bytes against the source's: the copy is of the document read.
bool SameEnd(PdfDocument *doc) {
    const HostSettings &s = doc->settings;
    const uint32_t length = doc->parsed.source_length;
    uint64_t size = 0;
    if (PdfFileKind(s.target_path, &size) != FileKind::kRegular || size != length) return false;
    const uint32_t n = length < 4096 ? length : 4096;
    char a[4096], b[4096];
    const FileAccess files(doc);
    for (const auto &[path, block] : {std::make_pair(s.target_path, a), {s.src_path, b}}) {
        FILE *f = files.open(path, "rb");
        if (!f) return false;
        PdfFile file(files, f);
        if (files.seek(f, int64_t{length} - n, 0) != 0 || files.read(block, 1, n, f) != n)
            return false;
    }
    return memcmp(a, b, n) == 0;
}

// Modes that write copy the source to the output file first.
int32_t CopySource(PdfDocument *doc) {
    const HostSettings &s = doc->settings;
    if (!WritesRevision(doc->mode)) return 1;
    // An output that exists must be a file too: a FIFO or a device would swallow the
    // revision, or block.
    uint64_t size = 0;
    const FileKind kind = PdfFileKind(s.target_path, &size);
    if (kind != FileKind::kMissing && kind != FileKind::kRegular) {
        int32_t rc = CheckInputFile(doc, s.target_path);
        return rc < 1 ? rc : KVPDF_ERR_NOT_REGULAR_FILE;
    }
    // Two names of one file must not be copied onto each other: that would truncate
    // the source before reading it.
    if (strcmp(s.target_path, s.src_path) == 0 || PdfSameFile(s.target_path, s.src_path)) return 1;
    if (s.copy_digest && PlacesSignature(doc->mode))
        return CopyWithDigest(doc, s.target_path, s.src_path);
    if (doc->mode == kModeRevocation && StartBackgroundCopy(doc)) return 1;
    if (FileAccess(doc).copy(s.target_path, s.src_path, "wb+") != 0) {
        KV_ERROR(doc, KVPDF_ERR_COPY);
        return KVPDF_ERR_COPY;
    }
    return 1;
}

// The linearization probe, the file's length and the whole cross-reference chain.
int32_t ReadXrefChain(Reader r, FILE *f) {
    ParsedDocument &p = r.parsed;
    p.xref_position = ProbeLinearized(r, f, 0);
    if (p.xref_position != 0 && p.xref_position != KVPDF_ERR_LINEARIZED_UPDATED)
        p.linearized_first_xref_used = 1;
    if (!p.linearized_first_xref_used && r.files.seek(f, 0, 2) == 0)
        p.source_length = FileEnd(r, f);
    p.xref_position = PdfFindStartXref(r, f);
    if (p.xref_position < 1) {
        KV_ERROR(r, KVPDF_ERR_STAGE_PDF);
        return p.xref_position;
    }
    int32_t rc = PdfReadXref(r, f, p.xref_position, 1);
    if (rc < 1) {
        KV_ERROR(r, KVPDF_ERR_STAGE_PDF);
        return rc < 0 ? rc : KVPDF_ERR_INVALID_XREF_TRAILER;
    }
    p.trailer_size = rc;
    return 1;
}

} // namespace

int32_t FinishBackgroundCopy(PdfDocument *doc, bool check) {
    BackgroundCopy *copy = doc->copying;
    if (!copy) return 1;
    copy->worker.join();
    const bool copied = copy->result == 0;
    delete copy;
    doc->copying = nullptr;
    if (!check || (copied && SameEnd(doc))) return 1;
    uint64_t size = 0;
    if (PdfFileKind(doc->settings.target_path, &size) == FileKind::kRegular)
        (void)PdfRemoveFile(doc->settings.target_path);
    KV_ERROR(doc, KVPDF_ERR_COPY);
    return KVPDF_ERR_COPY;
}

void InitParsed(ParsedDocument *parsed) {
    memset(parsed, 0, sizeof *parsed);
    parsed->root_obj = parsed->pages_obj = parsed->page_obj = parsed->annots_obj = -1;
    parsed->acroform_obj = parsed->fields_obj = -1;
    parsed->declared_size = parsed->prev_xref = -1;
    parsed->trailer_size = -1;
    parsed->linearized_first_xref = -1;
}

void ReleaseParsed(ParsedDocument *parsed) {
    if (!PdfFreeXref(*parsed, parsed->dss_info)) FreeDssInfo(&parsed->dss_info);
    PdfFreeObjectTable(*parsed);
    TrackedFreeT(parsed->annot_refs);
    TrackedFreeT(parsed->field_refs);
    TrackedFreeT(parsed->object_stream.data);
    TrackedFreeT(parsed->object_stream.members);
    InitParsed(parsed);
}

int32_t ProbeLinearized(Reader r, FILE *file, uint32_t position) {
    ParsedDocument &p = r.parsed;
    if (position != 0 && r.files.seek(file, position, 0) != 0) return 0;
    char *read = nullptr;
    uint32_t length = 0;
    if (PdfReadObjectAt(r, file, position, &read, &length) < 1 || !read) {
        TrackedFreeT(read);
        return 0;
    }
    TrackedPtr<char> text(read);
    if (PdfFind(read, length, "/Linearized") < 0) {
        p.is_linearized = 0;
        return 0;
    }
    p.is_linearized = 1;
    int64_t first_page = NumberAfter(read, length, "/O");
    if (first_page > 0 && first_page <= 0x7FFFFFFF) p.page_obj = static_cast<int32_t>(first_page);
    int64_t declared = NumberAfter(read, length, "/L ");
    if (declared < 0) declared = position;
    int64_t first_xref = NumberAfter(read, length, "/T");
    int64_t after_object = int64_t{position} + length;
    if (r.files.seek(file, 0, 2) != 0) {
        KV_ERROR(r, KVPDF_ERR_SEEK_END);
        return KVPDF_ERR_SEEK_END;
    }
    int64_t end = r.files.tell(file);
    p.source_length = FileEnd(r, file);
    if (end != declared) return KVPDF_ERR_LINEARIZED_UPDATED;
    if (first_xref < 0) return KVPDF_ERR_LINEARIZED_NO_XREF;
    p.linearized_first_xref = first_xref > 0x7FFFFFFF ? -1 : static_cast<int32_t>(first_xref);
    if (r.files.seek(file, after_object, 0) != 0) return 0;
    return FindXrefKeyword(r, file);
}

int32_t ProcessPdf(PdfDocument *doc, const LogoImage *logo) {
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    // Each operation reads the document afresh: nothing parsed by an earlier operation
    // on the handle may leak into this one (the list of found signatures excepted), and
    // a write starts a new update.
    ReleaseParsed(&doc->parsed);
    if (WritesRevision(doc->mode)) ReleaseUpdate(&doc->update);
    ParsedDocument &p = doc->parsed;
    int32_t rc = ReadHeaderVersion(doc, doc->settings.src_path, &p.pdf_major, &p.pdf_minor);
    if (rc < 0) {
        KV_ERROR(doc, KVPDF_ERR_STAGE_PDF);
        return rc;
    }
    rc = CopySource(doc);
    if (rc < 1) return rc;
    if (doc->settings.no_page_walk == 1) doc->settings.visible_signature = 0;
    Reader r = ReaderOf(doc);
    const HostSettings &s = doc->settings;
    FILE *f =
        r.files.open(ReadsOutput(doc->mode) && !doc->copying ? s.target_path : s.src_path, "rb");
    if (!f) return KV_FAIL(doc, KVPDF_ERR_OPEN_OUTPUT, KVPDF_ERR_STAGE_PDF);
    PdfFile file(r.files, f);
    rc = ReadXrefChain(r, f);
    if (rc < 1) return rc;
    const bool places = PlacesSignature(doc->mode);
    if (places) doc->update.plan = PlanSignatureUpdate(p, doc->settings, logo, doc->mode);
    doc->found.operation_start = doc->found.signature_count;
    Walk walk{r,
              &doc->found,
              places ? &doc->update.plan : nullptr,
              places ? &doc->update.updated_objects : nullptr,
              s.find_all_signatures == 1 && ReadsSignatures(doc->mode),
              s.attachment_inline_names == 1 && doc->mode == kModeWriteAttachments};
    rc = ProcessObjects(walk, f, p.root_obj, s.no_page_walk);
    if (rc >= 1) return 1;
    KV_ERROR(doc, KVPDF_ERR_STAGE_PDF);
    return rc;
}

} // namespace kvpdf
