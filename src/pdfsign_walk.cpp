// The walk over the document structure (ISO 32000-1, 7.7): catalog, page tree, the
// page that receives the widget, its annotations, the form and its fields, an existing
// Document Security Store and the names dictionary.
#include "pdfsign_walk.h"

#include "pdf_error.h"
#include "pdf_internal.h"
#include "pdf_mem.h"
#include "pdf_pades.h"
#include "pdf_utils.h"
#include "pdf_xref.h"

#include <cstring>

#define KV_UNIT "../src/pdfsign.cpp"

using kvpdf::TrackedPtr;

namespace {

constexpr uint32_t kWalkRunning = 1u << 4;
constexpr uint32_t kWalkClearedBits = 0xFu << 16;
constexpr int kMaxPageDepth = 64;

struct Text {
    TrackedPtr<char> data;
    uint32_t length = 0;
};

bool Writing(const PdfDocument *doc) {
    return doc->mode == kModeSign || doc->mode == kModeDocTimestamp;
}

int32_t ReadText(FILE *file, int32_t object, PdfDocument *doc, Text *out) {
    char *text = nullptr;
    out->length = 0;
    int32_t rc = object > 0 ? PdfReadObjectBinary(file, object, &text, &out->length, doc) : -1;
    out->data.reset(text);
    if (rc >= 1 && !text) rc = -1; // a compressed object that its stream does not hold
    return rc;
}

// Reads "n 0 R" (any white space) at index: the object number, or 0.
uint32_t ReferenceAt(const char *text, uint32_t length, size_t index) {
    index = PdfSkipSpace(text, length, index);
    if (index >= length || !PdfIsDigit(text[index])) return 0;
    int is_ref = 0;
    uint32_t n = PdfParseNumberRef(text, length, index, &is_ref);
    return is_ref && n <= 0x7FFFFFFF ? n : 0;
}

// Registers text with `insert` placed at position as the new version of object.
int RewriteObject(PdfDocument *doc, const char *text, uint32_t length, uint32_t position,
                  const char *insert, uint32_t object, char **slot) {
    char *rewritten = nullptr;
    uint32_t size = PdfInsertBytes(text, length, insert, position, &rewritten);
    if (!size || !AddUpdatedObject(doc, rewritten, object, size - 1)) {
        KV_ERROR(doc, KVPDF_ERR_BUFFER);
        return KVPDF_ERR_BUFFER;
    }
    *slot = rewritten;
    if (slot == &doc->new_root_text) doc->new_root_length = size - 1;
    return 1;
}

// The references the new update adds to an annotation array: the widget, and the
// Kontir note with its popup when the note will be written.
bool KontirWritten(const PdfDocument *doc) {
    return doc->kontir_text &&
           !PdfNeedsLogoObjects(const_cast<PdfDocument *>(doc), doc->write_logo);
}

void AnnotRefs(const PdfDocument *doc, const char *format1, const char *format3, char *out,
               size_t size) {
    if (KontirWritten(doc))
        snprintf(out, size, format3, static_cast<unsigned long>(doc->sig_field_obj),
                 static_cast<unsigned long>(doc->kontir_annot_obj),
                 static_cast<unsigned long>(doc->kontir_popup_obj));
    else
        snprintf(out, size, format1, static_cast<unsigned long>(doc->sig_field_obj));
}

// Reads the /Certs, /CRLs and /OCSPs arrays of one DSS dictionary into info.
int32_t ReadDssArrays(FILE *file, PdfDocument *doc, DssInfo *info, const char *text,
                      uint32_t length) {
    const struct {
        const char *key;
        int32_t kind;
        uint32_t *counter;
    } kinds[] = {{"/Certs", kDssCerts, &info->cert_count},
                 {"/CRLs", kDssCrls, &info->crl_count},
                 {"/OCSPs", kDssOcsps, &info->ocsp_count}};
    for (const auto &k : kinds) {
        int32_t array_obj = -1;
        uint32_t *refs = nullptr, count = 0, end = 0;
        int32_t rc = LocateRefArray(file, doc, text, length, k.key, &array_obj, &refs, &count, &end,
                                    nullptr, nullptr);
        TrackedPtr<uint32_t> list(refs);
        if (rc == -125) continue;
        if (rc < 1) return KVPDF_ERR_DSS;
        DssArray *array = DssGetArray(doc, info, k.kind, 1);
        if (!array) return KVPDF_ERR_DSS;
        if (array_obj > 0) array->object_number = array_obj;
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t *data = nullptr;
            uint32_t data_length = 0;
            if (list[i] > 0x7FFFFFFFu) continue;
            int32_t read = PdfReadStream(file, static_cast<ObjectSelector>(list[i]), nullptr, 0,
                                         &data, &data_length, doc);
            if (read < 1 || !data) {
                TrackedFreeT(data);
                continue; // an unreadable stream is left out; the others still count
            }
            if (!DssAppendEntry(array, list[i], data, data_length, 0)) return KVPDF_ERR_DSS;
        }
        *k.counter = array->count;
    }
    return 1;
}

int32_t AttachDss(FILE *file, PdfDocument *doc, XrefSection *section, ObjectSelector selector,
                  DssInfo **out) {
    Text text;
    char *raw = nullptr;
    int32_t rc = PdfReadUntil(file, selector, &raw, 512, "endobj", 1, 0, &text.length, doc);
    text.data.reset(raw);
    if (rc < 1 || !raw) return KVPDF_ERR_DSS;
    DssInfo *info = DssNewInfo();
    if (!info) return KVPDF_ERR_DSS;
    FreeDssInfo(&section->dss);
    section->dss = info;
    rc = ReadDssArrays(file, doc, info, text.data.get(), text.length);
    if (rc < 1) return rc;
    *out = info;
    return 1;
}

// Reads the DSS of every revision that defines it, oldest first; dss_info becomes the
// newest one.
int32_t ReadDss(FILE *file, PdfDocument *doc, uint32_t dss) {
    DssInfo *newest = nullptr;
    uint32_t offset = 0, newest_offset = kNoOffset;
    for (XrefSection *s = PdfFindSectionOf(doc, nullptr, dss, &offset); s;) {
        if (offset <= 0x7FFFFFFF) {
            int32_t rc = AttachDss(file, doc, s, -static_cast<ObjectSelector>(offset), &newest);
            if (rc < 1) return rc;
            newest->object_number = dss;
            newest_offset = offset;
        }
        s = s->previous ? PdfFindSectionOf(doc, s->previous, dss, &offset) : nullptr;
    }
    // The newest section lists no entries of its own: its version is the table's.
    const bool in_table = dss < doc->object_offsets_count &&
                          (doc->object_offsets[dss] != kNoOffset || doc->object_streams[dss]);
    if (in_table && doc->object_offsets[dss] != newest_offset && doc->xref_sections) {
        int32_t rc =
            AttachDss(file, doc, doc->xref_sections, static_cast<ObjectSelector>(dss), &newest);
        if (rc < 1) return rc;
        newest->object_number = dss;
    }
    if (newest) {
        doc->dss_info = newest;
        newest->changed = 0;
    }
    return 1;
}

int32_t RootFailure(PdfDocument *doc, int32_t code, int32_t result) {
    KV_ERROR(doc, code);
    KV_ERROR(doc, KVPDF_ERR_STAGE_ROOT);
    return result;
}

// /Names of the catalog: an indirect dictionary's number and text (modes 3 and 4).
int32_t LocateNames(FILE *file, const char *catalog, uint32_t length, PdfDocument *doc) {
    int64_t at = PdfFind(catalog, length, "/Names");
    if (at < 0) return KVPDF_ERR_NO_NAMES;
    size_t i = PdfSkipSpace(catalog, length, static_cast<size_t>(at) + 6);
    if (i < length && catalog[i] == '<') {
        if (doc->mode == kModeWriteAttachments) {
            KV_ERROR(doc, KVPDF_ERR_NAMES_INLINE);
            KV_ERROR(doc, KVPDF_ERR_STAGE_ROOT);
            return KVPDF_ERR_NO_NAMES;
        }
        return 1;
    }
    uint32_t names = ReferenceAt(catalog, length, i);
    if (!names) return KVPDF_ERR_NO_NAMES;
    doc->names_obj = static_cast<int32_t>(names);
    Text text;
    int32_t rc = ReadText(file, doc->names_obj, doc, &text);
    if (rc < 1) return RootFailure(doc, KVPDF_ERR_NAMES_READ, rc);
    return 1;
}

} // namespace

int ParseRefArray(const char *text, uint32_t length, uint32_t **list, uint32_t *count,
                  uint32_t *end) {
    *list = nullptr;
    *count = 0;
    *end = length;
    // Tolerant of any white space, any generation, and entries that are not references
    // (skipped): only "n g R" enters the list, in order.
    int depth = 0;
    size_t i = 0;
    while (i < length) {
        char c = text[i];
        if (c == '(') {
            int nest = 0;
            for (; i < length; ++i) {
                if (text[i] == '\\') {
                    ++i;
                    continue;
                }
                if (text[i] == '(') ++nest;
                if (text[i] == ')' && --nest == 0) break;
            }
            ++i;
            continue;
        }
        if (c == '[' || (c == '<' && i + 1 < length && text[i + 1] == '<')) {
            ++depth;
            i += c == '[' ? 1 : 2;
            continue;
        }
        if (c == ']' || (c == '>' && i + 1 < length && text[i + 1] == '>')) {
            if (depth == 0 && c == ']') {
                *end = static_cast<uint32_t>(i);
                return 1;
            }
            --depth;
            i += c == ']' ? 1 : 2;
            continue;
        }
        if (depth == 0 && PdfIsDigit(c)) {
            size_t next = i;
            uint32_t number = PdfParseNumber(text, length, i, &next);
            size_t g = PdfSkipSpace(text, length, next);
            size_t g_end = g;
            while (g_end < length && PdfIsDigit(text[g_end]))
                ++g_end;
            size_t r = PdfSkipSpace(text, length, g_end);
            if (g_end > g && g > next && r > g_end && r < length && text[r] == 'R') {
                if (number != 0) {
                    if (!TrackedReallocT(KV_UNIT, __LINE__, *list, *count + 1)) return 0;
                    (*list)[(*count)++] = number;
                }
                i = r + 1;
            } else {
                i = next;
            }
            continue;
        }
        ++i;
    }
    return 1;
}

int32_t LocateRefArray(FILE *file, PdfDocument *doc, const char *text, uint32_t length,
                       const char *key, int32_t *array_obj, uint32_t **list, uint32_t *count,
                       uint32_t *end, char **array_text, uint32_t *array_length) {
    *array_obj = -1;
    *list = nullptr;
    *count = 0;
    *end = 0;
    if (array_text) *array_text = nullptr;
    int64_t at = PdfFind(text, length, key);
    if (at < 0) return KVPDF_ERR_NO_FIELD;
    size_t i = PdfSkipSpace(text, length, static_cast<size_t>(at) + strlen(key));
    if (i < length && text[i] == '[') {
        uint32_t relative = 0;
        if (!ParseRefArray(text + i + 1, static_cast<uint32_t>(length - i - 1), list, count,
                           &relative))
            return -1;
        *end = static_cast<uint32_t>(i + 1) + relative;
        return 1;
    }
    uint32_t object = ReferenceAt(text, length, i);
    if (!object) return -1;
    Text array;
    if (ReadText(file, static_cast<int32_t>(object), doc, &array) < 1) return -1;
    *array_obj = static_cast<int32_t>(object);
    int64_t open = PdfFind(array.data.get(), array.length, "[");
    if (open < 0) return -1;
    uint32_t relative = 0;
    uint32_t from = static_cast<uint32_t>(open) + 1;
    if (!ParseRefArray(array.data.get() + from, array.length - from, list, count, &relative))
        return -1;
    *end = from + relative;
    if (array_text) {
        *array_text = array.data.release();
        *array_length = array.length;
    }
    return 1;
}

int32_t ReadSignatureList(FILE *file, const uint32_t *list, uint32_t count, PdfDocument *doc) {
    int32_t result = 1;
    for (uint32_t i = 0; i < count; ++i) {
        result = ProcessSignatureAnnot(file, list[i], doc);
        if (result < 1) break;
    }
    return result;
}

int32_t FindFirstPage(FILE *file, int32_t node, PdfDocument *doc) {
    // The first leaf of the page tree; depth-bounded, so a cyclic tree cannot loop.
    for (int depth = 0; depth < kMaxPageDepth; ++depth) {
        Text text;
        int32_t rc = ReadText(file, node, doc, &text);
        if (rc < 1) return rc;
        int64_t kids = PdfFind(text.data.get(), text.length, "/Kids");
        if (kids < 0) return node;
        const char *t = text.data.get();
        size_t i = PdfSkipSpace(t, text.length, static_cast<size_t>(kids) + 5);
        Text indirect;
        if (i < text.length && t[i] != '[') {
            // /Kids held in an array object of its own.
            uint32_t array = ReferenceAt(t, text.length, i);
            if (!array || ReadText(file, static_cast<int32_t>(array), doc, &indirect) < 1) break;
            int64_t open = PdfFind(indirect.data.get(), indirect.length, "[");
            if (open < 0) break;
            t = indirect.data.get();
            text.length = indirect.length;
            i = static_cast<size_t>(open);
        }
        uint32_t kid = ReferenceAt(t, text.length, i + 1);
        if (!kid || static_cast<int32_t>(kid) == node) break;
        node = static_cast<int32_t>(kid);
    }
    KV_ERROR(doc, KVPDF_ERR_PAGE_OBJECT);
    return KVPDF_ERR_PAGE_OBJECT;
}

int32_t ProcessRoot(FILE *file, const char *catalog, uint32_t length, PdfDocument *doc) {
    const bool writing = Writing(doc);
    int64_t pages = -1;
    int64_t acroform = PdfFind(catalog, length, "/AcroForm");
    if (acroform < 0) {
        if (writing) {
            pages = PdfFind(catalog, length, "/Pages");
            if (pages >= 0) {
                char insert[64];
                snprintf(insert, sizeof insert, "/AcroForm<</SigFlags 3/Fields[%lu 0 R]>>",
                         static_cast<unsigned long>(doc->sig_field_obj));
                int32_t rc =
                    RewriteObject(doc, catalog, length, static_cast<uint32_t>(pages), insert,
                                  static_cast<uint32_t>(doc->root_obj), &doc->new_root_text);
                if (rc < 1) return RootFailure(doc, KVPDF_ERR_BUFFER, rc);
            }
        }
    } else {
        // A reference (any white space before the number) or an inline dictionary.
        size_t value = static_cast<size_t>(acroform) + 9;
        uint32_t form_obj = ReferenceAt(catalog, length, value);
        Text form;
        const char *form_text = catalog;
        uint32_t form_length = length;
        if (form_obj) {
            doc->acroform_obj = static_cast<int32_t>(form_obj);
            int32_t rc = ReadText(file, doc->acroform_obj, doc, &form);
            if (rc < 1) return RootFailure(doc, KVPDF_ERR_ACROFORM_OBJECT, rc);
            form_text = form.data.get();
            form_length = form.length;
        }
        int32_t fields_obj = -1;
        uint32_t *refs = nullptr, count = 0, end = 0, fields_length = 0;
        char *fields_raw = nullptr;
        int32_t rc = LocateRefArray(file, doc, form_text, form_length, "/Fields", &fields_obj,
                                    &refs, &count, &end, &fields_raw, &fields_length);
        TrackedPtr<char> fields_text(fields_raw);
        TrackedFreeT(doc->field_refs);
        doc->field_refs = refs;
        doc->field_count = count;
        doc->fields_obj = fields_obj;
        if (rc == -1) return RootFailure(doc, KVPDF_ERR_FIELDS_OBJECT, -1);
        if (rc == 1 && !writing && count > 0)
            doc->sig_field_obj = static_cast<int32_t>(refs[count - 1]);
        if (writing) {
            char ref[32];
            snprintf(ref, sizeof ref, " %lu 0 R", static_cast<unsigned long>(doc->sig_field_obj));
            if (rc == -125) {
                // A form without /Fields gets one, so that the signature is a real field.
                int64_t open = form_obj ? PdfFind(form_text, form_length, "<<")
                                        : PdfFind(catalog + value, length - value, "<<");
                if (open >= 0) {
                    uint32_t at = static_cast<uint32_t>(open) + 2 +
                                  (form_obj ? 0 : static_cast<uint32_t>(value));
                    char insert[48];
                    snprintf(insert, sizeof insert, "/Fields[%lu 0 R]",
                             static_cast<unsigned long>(doc->sig_field_obj));
                    rc = form_obj ? RewriteObject(doc, form_text, form_length, at, insert, form_obj,
                                                  &doc->new_acroform_text)
                                  : RewriteObject(doc, catalog, length, at, insert,
                                                  static_cast<uint32_t>(doc->root_obj),
                                                  &doc->new_root_text);
                    if (rc < 1) return RootFailure(doc, KVPDF_ERR_BUFFER, rc);
                }
            } else if (fields_obj > 0) {
                rc = RewriteObject(doc, fields_text.get(), fields_length, end, ref,
                                   static_cast<uint32_t>(fields_obj), &doc->new_fields_text);
                doc->annots_modified = 1;
                if (rc < 1) return RootFailure(doc, KVPDF_ERR_BUFFER, rc);
            } else {
                rc = form_obj
                         ? RewriteObject(doc, form_text, form_length, end, ref, form_obj,
                                         &doc->new_acroform_text)
                         : RewriteObject(doc, catalog, length, end, ref,
                                         static_cast<uint32_t>(doc->root_obj), &doc->new_root_text);
                if (rc < 1) return RootFailure(doc, KVPDF_ERR_BUFFER, rc);
            }
        }
    }
    int64_t dss = PdfFind(catalog, length, "/DSS");
    if (dss >= 0) {
        uint32_t dss_obj = ReferenceAt(catalog, length, static_cast<size_t>(dss) + 4);
        if (dss_obj) {
            int32_t rc = ReadDss(file, doc, dss_obj);
            if (rc < 1) return RootFailure(doc, KVPDF_ERR_DSS, rc);
        }
    }
    if (pages < 0) pages = PdfFind(catalog, length, "/Pages");
    if (pages < 0) return RootFailure(doc, KVPDF_ERR_NO_PAGES, KVPDF_ERR_NO_PAGES);
    uint32_t tree = ReferenceAt(catalog, length, static_cast<size_t>(pages) + 6);
    doc->new_object_count = 0;
    doc->last_object_number = static_cast<uint32_t>(doc->trailer_size - 1);
    if (doc->mode == kModeReadAttachments || doc->mode == kModeWriteAttachments) {
        int32_t rc = LocateNames(file, catalog, length, doc);
        if (rc < 0 && (doc->mode == kModeWriteAttachments || rc != KVPDF_ERR_NO_NAMES)) return rc;
    }
    if (!tree) return RootFailure(doc, KVPDF_ERR_NO_PAGES, KVPDF_ERR_NO_PAGES);
    return static_cast<int32_t>(tree);
}

int32_t ProcessPage(FILE *file, int32_t page, PdfDocument *doc) {
    auto failure = [&](int32_t code, int32_t result) {
        KV_ERROR(doc, code);
        KV_ERROR(doc, KVPDF_ERR_STAGE_PAGE);
        return result;
    };
    Text text;
    int32_t rc = ReadText(file, page, doc, &text);
    if (rc < 1) return failure(KVPDF_ERR_PAGE_OBJECT, rc);
    const char *t = text.data.get();
    const bool writing = Writing(doc);
    if (writing && doc->kontir_text) {
        // The note's numbers follow the signature's own objects in the update.
        const bool visible = doc->mode == kModeSign && doc->visible_signature == 1;
        doc->kontir_annot_obj = doc->trailer_size + (visible ? 8 : 2);
        doc->kontir_popup_obj = doc->kontir_annot_obj + 1;
    }
    int64_t annots = PdfFind(t, text.length, "/Annots");
    if (annots < 0) {
        if (doc->mode == kModeFindSignatures)
            return failure(KVPDF_ERR_NO_SIGNATURE, KVPDF_ERR_NO_SIGNATURE);
        if (doc->mode == kModeReadAttachments || doc->mode == kModeWriteAttachments) return 1;
        int64_t parent = PdfFind(t, text.length, "/Parent");
        if (parent < 0) return failure(KVPDF_ERR_NO_PARENT, KVPDF_ERR_NO_PARENT);
        if (!writing) return 1;
        char insert[96];
        AnnotRefs(doc, "\n/Annots [%lu 0 R]\n", "\n/Annots [%lu 0 R %lu 0 R %lu 0 R]\n", insert,
                  sizeof insert);
        rc = RewriteObject(doc, t, text.length, static_cast<uint32_t>(parent), insert,
                           static_cast<uint32_t>(page), &doc->new_page_text);
        return rc < 1 ? failure(KVPDF_ERR_BUFFER, rc) : 1;
    }
    doc->annots_modified = 1;
    size_t i = PdfSkipSpace(t, text.length, static_cast<size_t>(annots) + 7);
    const bool reading = doc->mode == kModeFindSignatures || doc->mode == kModeRevocation;
    TrackedFreeT(doc->annot_refs);
    doc->annot_count = 0;
    uint32_t end = 0;
    if (i < text.length && t[i] == '[') {
        uint32_t relative = 0;
        if (!ParseRefArray(t + i + 1, static_cast<uint32_t>(text.length - i - 1), &doc->annot_refs,
                           &doc->annot_count, &relative))
            return failure(KVPDF_ERR_BUFFER, KVPDF_ERR_BUFFER);
        end = static_cast<uint32_t>(i + 1) + relative;
        if (reading) return ReadSignatureList(file, doc->annot_refs, doc->annot_count, doc);
        if (!writing) return 1;
        char insert[96];
        AnnotRefs(doc, " %lu 0 R", " %lu 0 R %lu 0 R %lu 0 R", insert, sizeof insert);
        rc = RewriteObject(doc, t, text.length, end, insert, static_cast<uint32_t>(page),
                           &doc->new_page_text);
        return rc < 1 ? failure(KVPDF_ERR_BUFFER, rc) : 1;
    }
    uint32_t array = ReferenceAt(t, text.length, i);
    Text annots_text;
    if (!array || ReadText(file, static_cast<int32_t>(array), doc, &annots_text) < 1)
        return failure(KVPDF_ERR_ANNOTS_OBJECT, KVPDF_ERR_ANNOTS_OBJECT);
    doc->annots_obj = static_cast<int32_t>(array);
    int64_t open = PdfFind(annots_text.data.get(), annots_text.length, "[");
    if (open < 0) return failure(KVPDF_ERR_ANNOTS_OBJECT, KVPDF_ERR_ANNOTS_OBJECT);
    uint32_t from = static_cast<uint32_t>(open) + 1, relative = 0;
    if (!ParseRefArray(annots_text.data.get() + from, annots_text.length - from, &doc->annot_refs,
                       &doc->annot_count, &relative))
        return failure(KVPDF_ERR_BUFFER, KVPDF_ERR_BUFFER);
    end = from + relative;
    if (reading) {
        ReadSignatureList(file, doc->annot_refs, doc->annot_count, doc);
        return 1;
    }
    if (!writing) return 1;
    char insert[96];
    AnnotRefs(doc, " %lu 0 R ", " %lu 0 R %lu 0 R %lu 0 R ", insert, sizeof insert);
    rc = RewriteObject(doc, annots_text.data.get(), annots_text.length, end, insert, array,
                       &doc->new_annots_text);
    return rc < 1 ? failure(KVPDF_ERR_BUFFER, rc) : 1;
}

int32_t ProcessObjects(FILE *file, int32_t root, int32_t skip_page, PdfDocument *doc) {
    doc->walk_flags = (doc->walk_flags & ~kWalkClearedBits) | kWalkRunning;
    struct Done {
        PdfDocument *doc;
        ~Done() { doc->walk_flags &= ~kWalkRunning; }
    } done{doc};
    auto failure = [&](int32_t result) {
        KV_ERROR(doc, KVPDF_ERR_STAGE_OBJECTS);
        return result;
    };
    Text catalog;
    int32_t rc = ReadText(file, root, doc, &catalog);
    if (rc < 1 || catalog.length == 0) {
        KV_ERROR(doc, KVPDF_ERR_ROOT_END);
        return failure(rc < 1 ? rc : KVPDF_ERR_ROOT_END);
    }
    doc->root_text_length = catalog.length;
    doc->pages_obj = -1;
    doc->pages_obj = ProcessRoot(file, catalog.data.get(), catalog.length, doc);
    if (doc->pages_obj < 1) return failure(doc->pages_obj);
    if (doc->page_obj < 1) doc->page_obj = FindFirstPage(file, doc->pages_obj, doc);
    if (skip_page) return 1;
    if (doc->page_obj < 1) return failure(doc->page_obj);
    int32_t result = ProcessPage(file, doc->page_obj, doc);
    if ((doc->annot_count == 0 || doc->signature_count == 0) && doc->field_count > 0) {
        if (doc->mode == kModeFindSignatures || doc->mode == kModeRevocation) {
            KvPdfResetErrors(reinterpret_cast<KvPdfHandle>(doc));
            result = ReadSignatureList(file, doc->field_refs, doc->field_count, doc);
            if (result < 0) return failure(result);
        } else if (doc->mode == kModeSign || doc->mode == kModeWriteAttachments) {
            KV_ERROR(doc, KVPDF_ERR_STAGE_OBJECTS);
        }
    }
    return result;
}
