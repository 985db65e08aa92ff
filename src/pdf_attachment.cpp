// SPDX-License-Identifier: Apache-2.0
// Embedded files (ISO 32000-1, 7.11.4): the handle's table, filled from a document's
// /EmbeddedFiles name tree and FileAttachment annotations or by the host from disk, and
// handed back as names, descriptions and bytes.
#include "pdf_attachment.h"

#include "pdf_error.h"
#include "pdf_mem.h"
#include "pdf_utils.h"
#include "pdfsign_walk.h"

#include <cstring>
#include <new>

#define KV_UNIT "../src/pdf_attachment.cpp"

namespace kvpdf {
namespace {

constexpr int kMaxPageTreeDepth = 64;

Dict ParseObject(const Text &object) {
    return ParseObjectDict(object.data.get(), object.length);
}

void AppendUtf8(uint32_t c, std::string *out) {
    if (c < 0x80) {
        *out += static_cast<char>(c);
    } else if (c < 0x800) {
        *out += static_cast<char>(0xC0 | (c >> 6));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out += static_cast<char>(0xE0 | (c >> 12));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (c >> 18));
        *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The pairs of one node's /Names array.
void NamesOf(const char *text, size_t length, const Dict &node, std::vector<NamePair> *out) {
    const DictEntry *names = node.Find("/Names");
    if (!names) return;
    std::vector<Span> items;
    (void)ParseArray(text, length, names->value.begin, &items);
    for (size_t i = 0; i + 1 < items.size(); i += 2) {
        NamePair pair;
        if (!PdfStringValue(text, items[i], &pair.key)) continue;
        pair.key_text.assign(text + items[i].begin, items[i].end - items[i].begin);
        pair.value_text.assign(text + items[i + 1].begin, items[i + 1].end - items[i + 1].begin);
        out->push_back(std::move(pair));
    }
}

// Reads a document's embedded files into the table.
class AttachmentReader {
public:
    AttachmentReader(PdfDocument *doc, FILE *file)
        : doc_(doc), r_(ReaderOf(doc)), file_(file), all_(doc->settings.all_attachments == 1),
          seen_(doc->parsed.object_offsets_count, 0) {}

    // The files of the catalog's name tree: 1 read, 0 none to read, or a code recorded.
    int32_t CatalogNames(const Text &catalog) {
        Dict names;
        Text names_text;
        const ParsedDocument &p = r_.parsed;
        if (p.names_obj > 0) {
            if (ReadText(r_, file_, p.names_obj, &names_text) < 1)
                return KV_FAIL(r_, KVPDF_ERR_NAMES_READ, KVPDF_ERR_STAGE_ROOT);
            names = ParseObject(names_text);
        } else {
            const Dict root = ParseObject(catalog);
            const DictEntry *inline_names = root.Find("/Names");
            if (!inline_names) return 0;
            names.text = catalog.data.get();
            (void)ParseDict(names.text, catalog.length, inline_names->value.begin, &names.entries);
        }
        const size_t length = p.names_obj > 0 ? names_text.length : catalog.length;
        const DictEntry *ef = names.Find("/EmbeddedFiles");
        if (!ef) return KV_FAIL(r_, KVPDF_ERR_NO_EMBEDDED_FILES, KVPDF_ERR_STAGE_ROOT);
        const char first = names.text[ef->value.begin];
        if (first == '[') return 0;
        const uint32_t root = first == '<' ? 0 : RefOf(names.text, ef->value);
        if (all_) {
            std::vector<NamePair> pairs;
            int32_t rc = CollectNameTree(r_, file_, root, names.text, length, ef->value, &pairs);
            if (rc < 1) return rc;
            for (const NamePair &pair : pairs)
                Pair(pair);
            return 1;
        }
        Text node_text;
        Dict node;
        size_t node_length = length;
        if (root) {
            doc_->parsed.embedded_files_obj = static_cast<int32_t>(root);
            if (ReadText(r_, file_, static_cast<int32_t>(root), &node_text) < 1)
                return KV_FAIL(r_, KVPDF_ERR_EMBEDDED_FILES, KVPDF_ERR_STAGE_ROOT);
            node = ParseObject(node_text);
            node_length = node_text.length;
        } else if (first == '<') {
            node.text = names.text;
            (void)ParseDict(names.text, length, ef->value.begin, &node.entries);
        } else {
            return KV_FAIL(r_, KVPDF_ERR_EMBEDDED_FILES, KVPDF_ERR_STAGE_ROOT);
        }
        if (const DictEntry *kids = node.Find("/Kids")) {
            // Only the first kid's names: the table of a flat tree.
            std::vector<Span> items;
            (void)ParseArray(node.text, node_length, kids->value.begin, &items);
            const uint32_t kid = items.empty() ? 0 : RefOf(node.text, items[0]);
            Text kid_text;
            if (!kid || ReadText(r_, file_, static_cast<int32_t>(kid), &kid_text) < 1)
                return KV_FAIL(r_, KVPDF_ERR_KIDS, KVPDF_ERR_STAGE_ROOT);
            doc_->parsed.embedded_files_kid_obj = static_cast<int32_t>(kid);
            return Scan(kid_text.data.get(), kid_text.length, ParseObject(kid_text));
        }
        return Scan(node.text, node_length, node);
    }

    // The /Filespec dictionaries of FileAttachment annotations: the first page's, or every
    // page's with the opt-in.
    void Annotations() {
        const ParsedDocument &p = r_.parsed;
        if (!all_) {
            for (uint32_t i = 0; i < p.annot_count; ++i)
                if (Annotation(p.annot_refs[i]) < 1) return;
            return;
        }
        std::vector<std::pair<uint32_t, int>> stack{{static_cast<uint32_t>(p.pages_obj), 0}};
        std::vector<uint8_t> pages(seen_.size(), 0);
        while (!stack.empty()) {
            const auto [node, depth] = stack.back();
            stack.pop_back();
            Text text;
            if (node == 0 || node >= pages.size() || pages[node]) continue;
            pages[node] = 1;
            if (ReadText(r_, file_, static_cast<int32_t>(node), &text) < 1) continue;
            const Dict d = ParseObject(text);
            const bool leaf = !d.Find("/Kids");
            if (!leaf && depth >= kMaxPageTreeDepth) continue;
            std::vector<uint32_t> list = RefList(r_, file_, d, leaf ? "/Annots" : "/Kids");
            if (leaf) {
                for (uint32_t annotation : list)
                    (void)Annotation(annotation);
                continue;
            }
            for (size_t i = list.size(); i > 0; --i)
                stack.emplace_back(list[i - 1], depth + 1);
        }
    }

private:
    int32_t Scan(const char *text, size_t length, const Dict &node) {
        std::vector<NamePair> pairs;
        NamesOf(text, length, node, &pairs);
        for (const NamePair &pair : pairs)
            Pair(pair);
        return 1;
    }

    void Pair(const NamePair &pair) {
        Span value{0, pair.value_text.size()};
        if (const uint32_t filespec = RefOf(pair.value_text.c_str(), value))
            (void)ReadFilespec(filespec);
    }

    // An annotation naming a /Filespec dictionary under /FS. Returns the read's result:
    // the default pass ends at the first failure.
    int32_t Annotation(uint32_t annotation) {
        Text text;
        int32_t rc = ReadText(r_, file_, static_cast<int32_t>(annotation), &text);
        if (rc < 1) return rc;
        const uint32_t filespec = ParseObject(text).Ref("/FS");
        return filespec ? ReadFilespec(filespec) : 1;
    }

    // The text of a string value in UTF-8, or nothing when the key is absent.
    static bool TextOf(const Dict &d, const char *key, std::string *out) {
        const DictEntry *e = d.Find(key);
        std::string bytes;
        if (!e || !PdfStringValue(d.text, e->value, &bytes)) return false;
        *out = PdfTextToUtf8(bytes);
        return true;
    }

    // Appends the entry of /Filespec object filespec and reads its stream.
    int32_t ReadFilespec(uint32_t filespec) {
        if (filespec < seen_.size()) {
            if (seen_[filespec]) return 1; // named twice: listed once
            seen_[filespec] = 1;
        }
        Text text;
        int32_t rc = ReadText(r_, file_, static_cast<int32_t>(filespec), &text);
        if (rc < 1) return rc;
        const Dict d = ParseObject(text);
        std::string f, uf, desc;
        const bool has_f = TextOf(d, "/F", &f), has_uf = TextOf(d, "/UF", &uf);
        const bool has_desc = TextOf(d, "/Desc", &desc);
        uint32_t stream = 0;
        if (const DictEntry *ef = d.Find("/EF")) {
            if (const uint32_t object = RefOf(d.text, ef->value)) {
                Text ef_text;
                if (ReadText(r_, file_, static_cast<int32_t>(object), &ef_text) >= 1)
                    stream = ParseObject(ef_text).Ref("/F");
            } else {
                Dict inline_ef;
                inline_ef.text = d.text;
                (void)ParseDict(d.text, text.length, ef->value.begin, &inline_ef.entries);
                stream = inline_ef.Ref("/F");
            }
        }
        const bool use_uf = (!has_f || f.empty()) && has_uf;
        const char *name = use_uf ? uf.c_str() : has_f ? f.c_str() : nullptr;
        HostSettings &s = doc_->settings;
        if (!AttachmentListAdd(&s, name))
            return KV_FAIL(r_, KVPDF_ERR_BUFFER, KVPDF_ERR_EMBEDDED_FILE);
        AttachmentEntry &e = s.attachment_list[s.attachment_list_count - 1];
        e.filespec_obj = filespec;
        e.stream_obj = stream;
        if (has_desc && !(e.description = TrackedStrdup(desc.c_str())))
            return KV_FAIL(r_, KVPDF_ERR_BUFFER, KVPDF_ERR_EMBEDDED_FILE);
        return stream ? Stream(e) : 1;
    }

    // The entry's bytes, inflated up to the handle's limit.
    int32_t Stream(AttachmentEntry &e) {
        const uint32_t limit = doc_->settings.attachment_limit;
        const uint32_t stop = limit < 0xFFFFFFFEu ? limit + 1 : limit;
        uint8_t *data = nullptr;
        uint32_t length = 0;
        int32_t rc = PdfReadStream(r_, file_, static_cast<ObjectSelector>(e.stream_obj), nullptr, 0,
                                   &data, &length, stop, true);
        if (rc < 1) return rc;
        if (length > limit) {
            TrackedFreeT(data);
            return KV_FAIL(r_, KVPDF_ERR_ATTACHMENT_TOO_LARGE, KVPDF_ERR_EMBEDDED_FILE,
                           static_cast<unsigned long>(e.stream_obj),
                           static_cast<unsigned long>(limit));
        }
        e.data = data;
        e.length = length;
        return 1;
    }

    PdfDocument *doc_;
    Reader r_;
    FILE *file_;
    bool all_;
    std::vector<uint8_t> seen_; // /Filespec objects listed
};

int32_t ReadAttachments(PdfDocument *doc) {
    const FileAccess files(doc);
    FILE *f = files.open(doc->settings.src_path, "rb");
    if (!f) return KV_FAIL(doc, KVPDF_ERR_OPEN_OUTPUT, KVPDF_ERR_STAGE_PDF);
    PdfFile file(files, f);
    Reader r = ReaderOf(doc);
    Text catalog;
    if (ReadText(r, f, doc->parsed.root_obj, &catalog) < 1)
        return KV_FAIL(doc, KVPDF_ERR_ROOT_END, KVPDF_ERR_STAGE_OBJECTS);
    AttachmentReader reader(doc, f);
    int32_t rc = reader.CatalogNames(catalog);
    // Complete reading goes on to the annotations; the failure stays in the ring.
    if (rc < 0 && doc->settings.all_attachments != 1) return rc;
    reader.Annotations();
    return 0;
}

// The index of an existing entry, or -110 recorded.
bool ValidIndex(PdfDocument *doc, int32_t index) {
    if (index >= 0 && static_cast<uint32_t>(index) < doc->settings.attachment_list_count)
        return true;
    KV_ERROR(doc, KVPDF_ERR_ATTACHMENT_INDEX);
    return false;
}

// A copy of text the host owns; false when text was there and memory was not.
bool CopyOut(const char *text, char **out) {
    *out = text ? TrackedStrdup(text) : nullptr;
    return !text || *out;
}

// The name KvPDFSetAttachmentInfo gives a path: every backslash doubled, or the last
// component alone with the opt-in.
std::string NameOfPath(const char *path, bool basename) {
    std::string name;
    if (basename) {
        const char *last = path;
        for (const char *c = path; *c; ++c)
            if (*c == '/' || *c == '\\') last = c + 1;
        return last;
    }
    for (const char *c = path; *c; ++c) {
        name += *c;
        if (*c == '\\') name += '\\';
    }
    return name;
}

// Loads the whole file at path; -112 when it does not open or is no file, -113 when it
// is empty, unreadable or 2 GiB or more (the table's lengths are read back as int32).
int32_t LoadFile(PdfDocument *doc, const char *path, uint8_t **out, uint32_t *out_length) {
    uint64_t size = 0;
    const FileKind kind = PdfFileKind(path, &size);
    if (kind != FileKind::kMissing && kind != FileKind::kRegular) {
        (void)CheckInputFile(doc, path); // records what the path names instead
        KV_ERROR(doc, KVPDF_ERR_ATTACHMENT_OPEN);
        return KVPDF_ERR_ATTACHMENT_OPEN;
    }
    const FileAccess files(doc);
    FILE *f = files.open(path, "rb");
    if (!f) {
        KV_ERROR(doc, KVPDF_ERR_ATTACHMENT_OPEN);
        return KVPDF_ERR_ATTACHMENT_OPEN;
    }
    PdfFile file(files, f);
    int64_t end = files.seek(f, 0, 2) == 0 ? files.tell(f) : -1;
    if (end <= 0 || end > int64_t{0x7FFFFFFF} || files.seek(f, 0, 0) != 0) {
        KV_ERROR(doc, KVPDF_ERR_ATTACHMENT_READ);
        return KVPDF_ERR_ATTACHMENT_READ;
    }
    TrackedPtr<uint8_t> data(
        static_cast<uint8_t *>(TrackedAlloc(KV_UNIT, __LINE__, static_cast<size_t>(end))));
    if (!data ||
        files.read(data.get(), 1, static_cast<size_t>(end), f) != static_cast<size_t>(end)) {
        KV_ERROR(doc, KVPDF_ERR_ATTACHMENT_READ);
        return KVPDF_ERR_ATTACHMENT_READ;
    }
    *out = data.release();
    *out_length = static_cast<uint32_t>(end);
    return 1;
}

} // namespace

int AttachmentListAdd(HostSettings *settings, const char *name) {
    char *copy = TrackedStrdup(name);
    if (name && !copy) return 0;
    uint32_t &count = settings->attachment_list_count;
    if (!TrackedReallocT(KV_UNIT, __LINE__, settings->attachment_list, count + 1)) {
        TrackedFreeT(copy);
        return 0;
    }
    AttachmentEntry &e = settings->attachment_list[count++];
    memset(&e, 0, sizeof e);
    e.name = copy;
    return 1;
}

void AttachmentListClear(HostSettings *settings) {
    for (uint32_t i = 0; settings->attachment_list && i < settings->attachment_list_count; ++i) {
        AttachmentEntry &e = settings->attachment_list[i];
        TrackedFreeT(e.name);
        TrackedFreeT(e.description);
        TrackedFreeT(e.data);
    }
    TrackedFreeT(settings->attachment_list);
    settings->attachment_list_count = 0;
}

std::string PdfTextToUtf8(const std::string &bytes) {
    const auto *b = reinterpret_cast<const unsigned char *>(bytes.data());
    const size_t n = bytes.size();
    if (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) return bytes.substr(3);
    if (n < 2 || b[0] != 0xFE || b[1] != 0xFF) return bytes;
    std::string out;
    for (size_t i = 2; i + 1 < n; i += 2) {
        uint32_t c = (uint32_t{b[i]} << 8) | b[i + 1];
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < n) {
            const uint32_t low = (uint32_t{b[i + 2]} << 8) | b[i + 3];
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        AppendUtf8(c, &out);
    }
    return out;
}

std::string PdfEscapeLiteral(const char *text, bool backslashes_escaped) {
    std::string out;
    for (const char *c = text ? text : ""; *c; ++c) {
        if (*c == '(' || *c == ')' || (*c == '\\' && !backslashes_escaped)) out += '\\';
        if (*c == '\r') {
            out += "\\r";
            continue;
        }
        out += *c;
        // A doubled backslash is one escape: its second half is not a new one.
        if (*c == '\\' && backslashes_escaped && c[1] == '\\') out += *++c;
    }
    return out;
}

int32_t CollectNameTree(Reader r, FILE *file, uint32_t root, const char *text, size_t length,
                        Span inline_root, std::vector<NamePair> *out) {
    std::vector<uint8_t> seen(r.parsed.object_offsets_count, 0);
    std::vector<std::pair<uint32_t, int>> stack{{root, 0}};
    bool reported = false;
    auto skipped = [&](uint32_t object, int depth) {
        if (!reported)
            KV_ERROR(r, KVPDF_ERR_NAME_TREE, kMaxNameTreeDepth, static_cast<unsigned long>(object));
        reported = true;
        (void)depth;
    };
    while (!stack.empty()) {
        const auto [object, depth] = stack.back();
        stack.pop_back();
        Text node_text;
        Dict node;
        size_t node_length = length;
        if (object == 0) {
            node.text = text;
            (void)ParseDict(text, length, inline_root.begin, &node.entries);
        } else {
            if (object >= seen.size() || seen[object]) {
                skipped(object, depth);
                continue;
            }
            seen[object] = 1;
            if (ReadText(r, file, static_cast<int32_t>(object), &node_text) < 1) {
                KV_ERROR(r, KVPDF_ERR_KIDS);
                continue;
            }
            node = ParseObject(node_text);
            node_length = node_text.length;
        }
        NamesOf(node.text, node_length, node, out);
        const DictEntry *kids = node.Find("/Kids");
        if (!kids) continue;
        if (depth + 1 > kMaxNameTreeDepth) {
            skipped(object, depth);
            continue;
        }
        std::vector<Span> items;
        (void)ParseArray(node.text, node_length, kids->value.begin, &items);
        for (size_t i = items.size(); i > 0; --i)
            if (const uint32_t kid = RefOf(node.text, items[i - 1]))
                stack.emplace_back(kid, depth + 1);
    }
    return 1;
}

} // namespace kvpdf

using namespace kvpdf;

extern "C" {

KVPDF_API int32_t KVPDF_CALL KvPdfGetAttachments(KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    doc->mode = kModeReadAttachments;
    AttachmentListClear(&doc->settings);
    int32_t rc = ProcessPdf(doc, nullptr);
    if (rc < 1) return rc;
    try {
        return ReadAttachments(doc);
    } catch (const std::bad_alloc &) {
        return KV_FAIL(doc, KVPDF_ERR_BUFFER, KVPDF_ERR_EMBEDDED_FILE);
    }
}

KVPDF_API int32_t KVPDF_CALL KvPDFGetAttachmentCount(KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    return static_cast<int32_t>(doc->settings.attachment_list_count);
}

KVPDF_API int32_t KVPDF_CALL KvPDFGetAttachmentInfo(KvPdfHandle handle, int32_t index, char **name,
                                                    char **description, uint8_t **data,
                                                    uint32_t *length) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    if (name) *name = nullptr;
    if (description) *description = nullptr;
    if (data) *data = nullptr;
    if (length) *length = 0;
    if (!ValidIndex(doc, index)) return KVPDF_ERR_ATTACHMENT_INDEX;
    const AttachmentEntry &e = doc->settings.attachment_list[index];
    if (!name || !description || !CopyOut(e.name, name) || !CopyOut(e.description, description)) {
        if (name) TrackedFreeT(*name);
        return KV_FAIL(doc, KVPDF_ERR_BUFFER, KVPDF_ERR_EMBEDDED_FILE);
    }
    if (!data || !e.data) return 1;
    // An empty file is data too: its copy is a block of one byte.
    *data = static_cast<uint8_t *>(TrackedAlloc(KV_UNIT, __LINE__, e.length ? e.length : 1));
    if (!*data) {
        TrackedFreeT(*name);
        TrackedFreeT(*description);
        return KV_FAIL(doc, KVPDF_ERR_BUFFER, KVPDF_ERR_EMBEDDED_FILE);
    }
    memcpy(*data, e.data, e.length);
    if (length) *length = e.length;
    return 1;
}

KVPDF_API int32_t KVPDF_CALL KvPdfGetAttachmentLength(KvPdfHandle handle, int32_t index) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    if (!ValidIndex(doc, index)) return KVPDF_ERR_ATTACHMENT_INDEX;
    const AttachmentEntry &e = doc->settings.attachment_list[index];
    if (!e.data) return KVPDF_ERR_EMBEDDED_FILE;
    return static_cast<int32_t>(e.length); // files and the limit stay below 2 GiB
}

KVPDF_API int32_t KVPDF_CALL KvPDFGetAttachmentFileName(KvPdfHandle handle, int32_t index,
                                                        char **name) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    if (name) *name = nullptr;
    if (!ValidIndex(doc, index)) return KVPDF_ERR_ATTACHMENT_INDEX;
    if (!name || !CopyOut(doc->settings.attachment_list[index].name, name))
        return KV_FAIL(doc, KVPDF_ERR_BUFFER, KVPDF_ERR_EMBEDDED_FILE);
    return 1;
}

KVPDF_API int32_t KVPDF_CALL KvPDFSaveAttachment(int32_t index, const char *path,
                                                 KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    if (!path) {
        KV_ERROR(doc, KVPDF_ERR_ATTACHMENT_SAVE);
        return KVPDF_ERR_ATTACHMENT_SAVE;
    }
    if (!ValidIndex(doc, index)) return KVPDF_ERR_ATTACHMENT_INDEX;
    const AttachmentEntry &e = doc->settings.attachment_list[index];
    const FileAccess files(doc);
    FILE *f = files.open(path, "w+b");
    if (!f) {
        KV_ERROR(doc, KVPDF_ERR_ATTACHMENT_SAVE);
        return KVPDF_ERR_ATTACHMENT_SAVE;
    }
    PdfFile file(files, f);
    const bool written = !e.data || files.write(e.data, 1, e.length, f) == e.length;
    if (file.close() != 0 || !written) {
        KV_ERROR(doc, KVPDF_ERR_ATTACHMENT_SAVE);
        return KVPDF_ERR_ATTACHMENT_SAVE;
    }
    return 1;
}

KVPDF_API int32_t KVPDF_CALL KvPDFSetAttachmentInfo(KvPdfHandle handle, int32_t index,
                                                    const char *path, const char *description) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    HostSettings &s = doc->settings;
    if (index < 0 || static_cast<uint32_t>(index) > s.attachment_list_count) {
        KV_ERROR(doc, KVPDF_ERR_ATTACHMENT_INDEX);
        return KVPDF_ERR_ATTACHMENT_INDEX;
    }
    if (!path) {
        KV_ERROR(doc, KVPDF_ERR_ATTACHMENT_NAME);
        return KVPDF_ERR_ATTACHMENT_NAME;
    }
    uint8_t *data = nullptr;
    uint32_t length = 0;
    const int32_t loaded = LoadFile(doc, path, &data, &length);
    if (loaded == KVPDF_ERR_ATTACHMENT_OPEN) return loaded;
    TrackedPtr<uint8_t> owned(data);
    const bool basename = s.attachment_basename == 1;
    char *name = nullptr, *desc = nullptr;
    try {
        name = TrackedStrdup(NameOfPath(path, basename).c_str());
    } catch (const std::bad_alloc &) {
    }
    desc = description ? TrackedStrdup(description) : nullptr;
    if (!name || (description && !desc) ||
        (static_cast<uint32_t>(index) == s.attachment_list_count &&
         !AttachmentListAdd(&s, nullptr))) {
        TrackedFreeT(name);
        TrackedFreeT(desc);
        return KV_FAIL(doc, KVPDF_ERR_BUFFER, KVPDF_ERR_ATTACHMENT_READ);
    }
    AttachmentEntry &e = s.attachment_list[index];
    TrackedFreeT(e.name);
    TrackedFreeT(e.description);
    TrackedFreeT(e.data);
    memset(&e, 0, sizeof e);
    e.name = name;
    e.description = desc;
    e.name_escaped = basename ? 0 : 1;
    if (loaded < 1) return loaded;
    e.data = owned.release();
    e.length = length;
    return 1;
}

} // extern "C"
