// SPDX-License-Identifier: Apache-2.0
// Reading a signature revision back before it is reported written: the library's own
// reader, over an image of the finished file, must find the new cross-reference section
// on top of the old chain and every new and rewritten object where the section says.
#include "pdf_internal.h"

#include "pdf_error.h"
#include "pdf_mem.h"
#include "pdf_utils.h"
#include "pdf_xref.h"

#include <algorithm>
#include <cstring>
#include <string>

#define KV_UNIT "../src/pdf_internal.cpp"

namespace kvpdf {
namespace {

// The finished file without writing it: the output up to the reserved value, the
// value's placeholder, then the update text. Served to the reader through a FileOps
// table of its own; the FILE pointers it hands out are this object.
class FinishedImage {
public:
    FinishedImage(const FileAccess &files, FILE *head, const UpdateInProgress &u)
        : files_(files), head_(head), u_(u), text_length_(BufferLength(&u.out_buffer)) {}

    static FinishedImage *Of(FILE *f) { return reinterpret_cast<FinishedImage *>(f); }
    FILE *AsFile() { return reinterpret_cast<FILE *>(this); }
    uint64_t Size() const { return uint64_t{u_.contents_end} + text_length_; }

    size_t Read(uint8_t *out, size_t wanted) {
        size_t done = 0;
        while (done < wanted && position_ < Size()) {
            size_t n = Piece(out + done, wanted - done);
            if (n == 0) break;
            done += n;
            position_ += n;
        }
        at_end_ = done < wanted;
        return done;
    }
    int Seek(int64_t offset, int origin) {
        int64_t base = origin == 2   ? static_cast<int64_t>(Size())
                       : origin == 1 ? static_cast<int64_t>(position_)
                                     : 0;
        if (base + offset < 0) return -1;
        position_ = static_cast<uint64_t>(base + offset);
        at_end_ = false;
        return 0;
    }
    int64_t Tell() const { return static_cast<int64_t>(position_); }
    bool AtEnd() const { return at_end_; }

private:
    // Bytes from the piece the position falls in.
    size_t Piece(uint8_t *out, size_t wanted) {
        const uint64_t start = u_.contents_start, end = u_.contents_end;
        if (position_ < start) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(wanted, start - position_));
            if (files_.seek(head_, static_cast<int64_t>(position_), 0) != 0) return 0;
            return files_.read(out, 1, n, head_);
        }
        if (position_ < end) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(wanted, end - position_));
            for (size_t i = 0; i < n; ++i) {
                uint64_t at = position_ + i;
                out[i] = at == start ? '<' : at + 1 == end ? '>' : '0';
            }
            return n;
        }
        uint64_t from = position_ - end;
        size_t n = static_cast<size_t>(std::min<uint64_t>(wanted, text_length_ - from));
        memcpy(out, u_.out_buffer + from, n);
        return n;
    }

    const FileAccess &files_;
    FILE *head_;
    const UpdateInProgress &u_;
    const uint32_t text_length_;
    uint64_t position_ = 0;
    bool at_end_ = false;
};

int ImageSeek(PdfDocument *, FILE *f, int64_t offset, int origin) {
    return FinishedImage::Of(f)->Seek(offset, origin);
}
int64_t ImageTell(PdfDocument *, FILE *f) {
    return FinishedImage::Of(f)->Tell();
}
size_t ImageRead(PdfDocument *, void *buffer, size_t size, size_t count, FILE *f) {
    if (size == 0) return 0;
    return FinishedImage::Of(f)->Read(static_cast<uint8_t *>(buffer), size * count) / size;
}
int ImageEof(PdfDocument *, FILE *f) {
    return FinishedImage::Of(f)->AtEnd() ? 1 : 0;
}
// The reader never opens, writes or copies: the image is read-only.
FILE *ImageOpen(PdfDocument *, const char *, const char *) {
    return nullptr;
}
size_t ImageWrite(PdfDocument *, const void *, size_t, size_t, FILE *) {
    return 0;
}
int ImageClose(PdfDocument *, FILE *) {
    return 0;
}
int ImagePuts(PdfDocument *, const char *, FILE *) {
    return -1;
}
int ImagePrintf(PdfDocument *, FILE *, const char *, ...) {
    return -1;
}
int ImageCopy(PdfDocument *, const char *, const char *, const char *) {
    return -1;
}
int ImageFlush(PdfDocument *, FILE *) {
    return 0;
}

const FileOps kImageOps = {ImageOpen, ImageSeek,   ImageTell, ImageRead, ImageWrite, ImageClose,
                           ImagePuts, ImagePrintf, ImageCopy, ImageEof,  ImageFlush};

// The object at offset starts with its own "n 0 obj" header.
bool HeaderAt(Reader r, FILE *f, uint32_t offset, uint32_t number) {
    if (offset > 0x7FFFFFFFu) return false;
    char *text = nullptr;
    uint32_t length = 0;
    int32_t rc = PdfReadRaw(r, f, -static_cast<ObjectSelector>(offset), &text, 32, &length);
    TrackedPtr<char> owned(text);
    if (rc < 1 || !text || length == 0 || !PdfIsDigit(text[0])) return false;
    int is_ref = 0;
    size_t after = 0;
    uint32_t found = PdfParseNumber(text, length, 0, &after);
    (void)PdfParseNumberRef(text, length, 0, &is_ref);
    after = PdfSkipSpace(text, length, after);
    return is_ref && found == number && after + 5 <= length &&
           memcmp(text + after, "0 obj", 5) == 0;
}

// What the new section must say of one object, as read back.
const char *CheckObject(Reader r, FILE *f, uint32_t number, uint32_t offset, uint32_t objstm) {
    const ParsedDocument &back = r.parsed;
    if (number >= back.object_offsets_count) return "beyond /Size";
    if (objstm) {
        if (back.object_streams[number] != objstm) return "not in the object stream";
        char *text = nullptr;
        uint32_t length = 0;
        int32_t rc = PdfReadObjectBinary(r, f, static_cast<ObjectSelector>(number), &text, &length);
        TrackedPtr<char> owned(text);
        return rc >= 1 && text && length > 0 ? nullptr : "not in the object stream";
    }
    if (back.object_offsets[number] != offset) return "listed elsewhere";
    return HeaderAt(r, f, offset, number) ? nullptr : "no header at its offset";
}

} // namespace

int32_t CheckWrittenRevision(UpdateWriter &w) {
    const UpdateInProgress &u = w.update;
    FILE *head = w.files.open(w.settings.target_path, "rb");
    if (!head) {
        KV_ERROR(w, KVPDF_ERR_OPEN_OUTPUT);
        return KVPDF_ERR_OPEN_OUTPUT;
    }
    PdfFile head_file(w.files, head);
    FinishedImage image(w.files, head, u);
    FILE *f = image.AsFile();
    ParsedDocument back;
    InitParsed(&back);
    // The reader's own complaints about the image only matter as the reason given below.
    ErrorRing scratch;
    InitErrors(&scratch);
    scratch.locale = w.errors.locale;
    Reader r{back, scratch, FileAccess(nullptr, &kImageOps), w.mode};
    std::string reason;
    const int32_t start = PdfFindStartXref(r, f);
    if (start < 1 || static_cast<uint32_t>(start) != u.xref_start) {
        reason = "startxref";
    } else if (PdfReadXref(r, f, start, 1) < 1) {
        reason = "cross-reference section";
    } else if (back.xref_section_count != w.parsed.xref_section_count + 1) {
        reason = "/Prev";
    } else if (back.root_obj != w.parsed.root_obj) {
        reason = "/Root";
    }
    const bool packed = w.parsed.xref_is_stream && !u.updated_objects_plain;
    for (uint32_t i = 0; reason.empty() && i < u.new_object_count; ++i) {
        const NewObjectEntry &e = u.new_objects[i];
        if (const char *what = CheckObject(r, f, e.number, e.offset, 0))
            reason = "object " + std::to_string(e.number) + ": " + what;
    }
    for (uint32_t i = 0; reason.empty() && i < u.updated_objects.count; ++i) {
        const UpdatedObject &o = u.updated_objects.items[i];
        if (const char *what =
                CheckObject(r, f, o.number, o.offset, packed ? u.plan.objstm_obj : 0))
            reason = "object " + std::to_string(o.number) + ": " + what;
    }
    ReleaseParsed(&back);
    if (reason.empty()) return 1;
    return KV_FAIL(w, KVPDF_ERR_READ_BACK, KVPDF_ERR_STAGE_WRITESIGN, reason.c_str());
}

} // namespace kvpdf
