// SPDX-License-Identifier: Apache-2.0
// The incremental update that embeds the host's files: a compressed stream and a
// /Filespec dictionary for each, the /EmbeddedFiles names, the names dictionary and the
// catalog that names it.
#include "pdf_attachment.h"
#include "pdf_error.h"
#include "pdf_internal.h"
#include "pdf_mem.h"
#include "pdf_utils.h"
#include "pdf_xref.h"
#include "pdfsign_walk.h"

#include <algorithm>
#include <cstring>
#include <new>

#define KV_UNIT "../src/pdfsign.cpp"

namespace kvpdf {
namespace {

// The text a stored name stands for: a path's doubled backslashes are single again.
std::string RealName(const AttachmentEntry &e) {
    std::string name = e.name ? e.name : "";
    if (!e.name_escaped) return name;
    std::string real;
    for (size_t i = 0; i < name.size(); ++i) {
        real += name[i];
        if (name[i] == '\\' && i + 1 < name.size() && name[i + 1] == '\\') ++i;
    }
    return real;
}

// text as a UTF-16BE text string in hex, with its byte-order mark. Bytes that are not
// UTF-8 are taken as Latin-1, the nearest reading of an ANSI code page name.
std::string Utf16Hex(const std::string &text) {
    std::vector<uint32_t> code_points;
    const auto *b = reinterpret_cast<const unsigned char *>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const int extra = b[i] >= 0xF0 ? 3 : b[i] >= 0xE0 ? 2 : b[i] >= 0xC0 ? 1 : 0;
        uint32_t c = extra ? b[i] & (0x3F >> extra) : b[i];
        bool valid = b[i] < 0x80 || extra > 0;
        for (int k = 1; valid && k <= extra; ++k) {
            if (i + k >= n || (b[i + k] & 0xC0) != 0x80)
                valid = false;
            else
                c = (c << 6) | (b[i + k] & 0x3F);
        }
        if (!valid || c > 0x10FFFF) {
            code_points.push_back(b[i]);
            ++i;
            continue;
        }
        code_points.push_back(c);
        i += static_cast<size_t>(extra) + 1;
    }
    std::string hex = "FEFF";
    char unit[16];
    for (uint32_t c : code_points) {
        if (c >= 0x10000) {
            c -= 0x10000;
            snprintf(unit, sizeof unit, "%04X%04X", 0xD800 + (c >> 10), 0xDC00 + (c & 0x3FF));
        } else {
            snprintf(unit, sizeof unit, "%04X", c);
        }
        hex += unit;
    }
    return hex;
}

bool Ascii(const std::string &text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// What the update writes and where the existing names stand.
class AttachmentUpdate {
public:
    AttachmentUpdate(PdfDocument *doc, UpdateWriter &w, FILE *file)
        : doc_(doc), w_(w), r_(ReaderOf(doc)), file_(file) {}

    int32_t Run() {
        Text catalog;
        if (ReadText(r_, file_, r_.parsed.root_obj, &catalog) < 1)
            return KV_FAIL(r_, KVPDF_ERR_ROOT_END, KVPDF_ERR_STAGE_OBJECTS);
        const int64_t pages = PdfFind(catalog.data.get(), catalog.length, "/Pages");
        if (pages < 0) return 0;
        int32_t rc = ExistingNames(catalog);
        if (rc < 1) return rc;
        HostSettings &s = doc_->settings;
        std::vector<AttachmentEntry *> entries;
        for (uint32_t i = 0; i < s.attachment_list_count; ++i)
            if (!Listed(s.attachment_list[i])) entries.push_back(&s.attachment_list[i]);
        int32_t err = 0;
        for (AttachmentEntry *e : entries)
            if (!Stream(*e, &err)) return err;
        for (AttachmentEntry *e : entries)
            if (!FileSpec(*e, &err)) return err;
        for (AttachmentEntry *e : entries) {
            const std::string real = RealName(*e);
            char ref[24];
            snprintf(ref, sizeof ref, "%lu 0 R", static_cast<unsigned long>(e->filespec_obj));
            pairs_.push_back({"(" + PdfEscapeLiteral(e->name, e->name_escaped) + ")", real, ref});
        }
        // Merged with existing names, the array must be sorted for readers that search it.
        if (merging_)
            std::stable_sort(pairs_.begin(), pairs_.end(),
                             [](const NamePair &a, const NamePair &b) { return a.key < b.key; });
        if (!Names(&err) || !NamesDictionary(&err)) return err;
        return Catalog(catalog, static_cast<uint32_t>(pages));
    }

private:
    // The pairs and the other entries of the names dictionary the catalog names, or
    // holds inline (with the opt-in; the walk refused it otherwise).
    int32_t ExistingNames(const Text &catalog) {
        Text names;
        Dict d;
        size_t length = catalog.length;
        if (r_.parsed.names_obj > 0) {
            if (ReadText(r_, file_, r_.parsed.names_obj, &names) < 1)
                return KV_FAIL(r_, KVPDF_ERR_NAMES_READ, KVPDF_ERR_STAGE_ROOT);
            d = ParseObjectDict(names.data.get(), names.length);
            length = names.length;
        } else {
            const Dict root = ParseObjectDict(catalog.data.get(), catalog.length);
            const DictEntry *inline_names = root.Find("/Names");
            if (!inline_names || catalog.data[inline_names->value.begin] != '<') return 1;
            d.text = catalog.data.get();
            (void)ParseDict(d.text, length, inline_names->value.begin, &d.entries);
        }
        merging_ = true;
        for (const DictEntry &e : d.entries) {
            if (e.key == "/EmbeddedFiles") continue;
            others_ +=
                e.key + " " + std::string(d.text + e.value.begin, e.value.end - e.value.begin);
        }
        const DictEntry *ef = d.Find("/EmbeddedFiles");
        if (!ef) return 1;
        const uint32_t root = RefOf(d.text, ef->value);
        if (!root && d.text[ef->value.begin] != '<') return 1;
        return CollectNameTree(r_, file_, root, d.text, length, ef->value, &pairs_);
    }

    // An entry read from this document is already in its tree.
    bool Listed(const AttachmentEntry &e) const {
        if (!merging_ || e.filespec_obj == 0) return false;
        char ref[24];
        snprintf(ref, sizeof ref, "%lu 0 R", static_cast<unsigned long>(e.filespec_obj));
        return std::any_of(pairs_.begin(), pairs_.end(),
                           [&ref](const NamePair &p) { return p.value_text == ref; });
    }

    uint32_t Begin(int32_t *err) {
        return BeginDictObject(w_, w_.update.last_object_number + 1, err);
    }

    int Stream(AttachmentEntry &e, int32_t *err) {
        const uint32_t number = Begin(err);
        if (!number) return 0;
        e.stream_obj = number;
        const uint32_t size = e.data ? e.length : 0;
        return AppendFormat(w_, err,
                            "/Filter /FlateDecode /Type /EmbeddedFile /Params <</Size %lu>>",
                            static_cast<unsigned long>(size)) &&
               AppendDeflatedStream(w_, err, e.data, size) && EndStreamObject(w_, err);
    }

    int FileSpec(AttachmentEntry &e, int32_t *err) {
        const uint32_t number = Begin(err);
        if (!number) return 0;
        e.filespec_obj = number;
        const std::string real = RealName(e);
        return TextString("/Desc", e.description, err) &&
               AppendFormat(w_, err, "/EF<</F %lu 0 R>>",
                            static_cast<unsigned long>(e.stream_obj)) &&
               AppendFormat(w_, err, "/F(%s)", PdfEscapeLiteral(e.name, e.name_escaped).c_str()) &&
               (Ascii(real) || AppendFormat(w_, err, "/UF<%s>", Utf16Hex(real).c_str())) &&
               AppendText(w_, err, "/Type/Filespec") && EndDictObject(w_, err);
    }

    // A text string: literal when ASCII, else UTF-16BE, which every reader decodes alike.
    int TextString(const char *key, const char *text, int32_t *err) {
        if (!text) return 1;
        if (Ascii(text))
            return AppendFormat(w_, err, "%s(%s)", key, PdfEscapeLiteral(text, false).c_str());
        return AppendFormat(w_, err, "%s<%s>", key, Utf16Hex(text).c_str());
    }

    int Names(int32_t *err) {
        embedded_files_ = Begin(err);
        if (!embedded_files_ || !AppendText(w_, err, "/Names [")) return 0;
        for (const NamePair &p : pairs_)
            if (!AppendFormat(w_, err, "%s %s", p.key_text.c_str(), p.value_text.c_str())) return 0;
        return AppendText(w_, err, "]") && EndDictObject(w_, err);
    }

    int NamesDictionary(int32_t *err) {
        names_ = Begin(err);
        return names_ &&
               AppendFormat(w_, err, "/EmbeddedFiles %lu 0 R",
                            static_cast<unsigned long>(embedded_files_)) &&
               AppendText(w_, err, others_.c_str()) && EndDictObject(w_, err);
    }

    // The catalog names the new dictionary: inserted before /Pages, or in place of the
    // reference to the old one.
    int32_t Catalog(const Text &catalog, uint32_t pages) {
        const char *t = catalog.data.get();
        char ref[32];
        snprintf(ref, sizeof ref, merging_ ? "%lu 0 R" : "/Names %lu 0 R",
                 static_cast<unsigned long>(names_));
        char *rewritten = nullptr;
        uint32_t size = 0;
        if (!merging_) {
            size = PdfInsertBytes(t, catalog.length, ref, pages, &rewritten);
        } else {
            const Dict d = ParseObjectDict(t, catalog.length);
            const DictEntry *names = d.Find("/Names");
            if (!names) return KV_FAIL(r_, KVPDF_ERR_NO_NAMES, KVPDF_ERR_STAGE_ROOT);
            std::string text(t, names->value.begin);
            text += ref;
            text.append(t + names->value.end, catalog.length - names->value.end);
            size =
                PdfInsertBytes(text.data(), static_cast<uint32_t>(text.size()), "", 0, &rewritten);
        }
        if (!size) return KV_FAIL(r_, KVPDF_ERR_BUFFER, KVPDF_ERR_STAGE_ROOT);
        return AddRewrittenObject(w_, static_cast<uint32_t>(r_.parsed.root_obj), rewritten,
                                  size - 1, KVPDF_ERR_STAGE_ROOT);
    }

    PdfDocument *doc_;
    UpdateWriter &w_;
    Reader r_;
    FILE *file_;
    bool merging_ = false;
    std::vector<NamePair> pairs_;
    std::string others_; // the names dictionary's entries besides /EmbeddedFiles
    uint32_t embedded_files_ = 0;
    uint32_t names_ = 0;
};

int32_t WriteAttachmentRevision(PdfDocument *doc) {
    UpdateWriter w = WriterOf(doc, nullptr);
    BeginUpdate(w);
    UpdateInProgress &u = doc->update;
    u.contents_start = u.contents_end = doc->parsed.source_length;
    const FileAccess files(doc);
    FILE *source = files.open(doc->settings.src_path, "rb");
    if (!source) return KV_FAIL(doc, KVPDF_ERR_OPEN_OUTPUT, KVPDF_ERR_STAGE_PDF);
    PdfFile source_file(files, source);
    int32_t rc = AttachmentUpdate(doc, w, source).Run();
    if (rc < 1) return rc;
    (void)source_file.close();
    int32_t err = 0;
    SortUpdatedObjects(&u.updated_objects);
    if (doc->parsed.xref_is_stream) {
        u.plan.objstm_obj = u.last_object_number + 1;
        u.plan.xref_stream_obj = u.last_object_number + 2;
        if (!WriteObjectStream(w, &err)) return err;
    } else if (!WriteUpdatedObjects(w, &err)) {
        return err;
    }
    if (!WriteUpdateXref(w, &err) || !AppendText(w, &err, "%%EOF\r\n")) return err;
    rc = CheckWrittenRevision(w);
    if (rc < 1) return rc;
    FILE *f = files.open(doc->settings.target_path, "a+b");
    if (!f) {
        KV_ERROR(doc, KVPDF_ERR_OPEN_OUTPUT);
        return KVPDF_ERR_OPEN_OUTPUT;
    }
    PdfFile file(files, f);
    rc = AppendUpdateToTarget(w, f);
    if (rc < 1) return rc;
    if (file.close() != 0) {
        KV_ERROR(doc, KVPDF_ERR_POSITION);
        return KVPDF_ERR_POSITION;
    }
    return 1;
}

} // namespace
} // namespace kvpdf

using namespace kvpdf;

extern "C" {

KVPDF_API int32_t KVPDF_CALL KvPdfWriteAttachments(KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    doc->mode = kModeWriteAttachments;
    int32_t result = ProcessPdf(doc, nullptr);
    if (result < 1) {
        FinishUpdate(&doc->update);
        return result;
    }
    try {
        result = WriteAttachmentRevision(doc);
    } catch (const std::bad_alloc &) {
        result = KV_FAIL(doc, KVPDF_ERR_BUFFER, KVPDF_ERR_STAGE_PDF);
    }
    FinishUpdate(&doc->update);
    result = ApplyVersionRule(doc, result);
    return result > 0 ? 1 : result;
}

} // extern "C"
