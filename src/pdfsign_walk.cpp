// SPDX-License-Identifier: Apache-2.0
// The walk over the document structure (ISO 32000-1, 7.7): catalog, page tree, the
// page that receives the widget, its annotations, the form and its fields, an existing
// Document Security Store and the names dictionary.
#include "pdfsign_walk.h"

#include "pdf_error.h"
#include "pdf_internal.h"
#include "pdf_mem.h"
#include "pdf_pades.h"
#include "pdf_utils.h"
#include "pdf_value.h"
#include "pdf_xref.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <vector>

#define KV_UNIT "../src/pdfsign.cpp"

namespace kvpdf {
namespace {

constexpr int kMaxPageDepth = 64;
constexpr int kMaxFieldDepth = 100;

// Registers text with `insert` placed at position as the new version of object.
int32_t RewriteObject(Walk &walk, const char *text, uint32_t length, uint32_t position,
                      const char *insert, uint32_t object) {
    // The new version keeps the old text's "n 0 obj": the cross-reference data must
    // have led to the object itself. Only an object stream's members come without one.
    size_t i = PdfSkipSpace(text, length, 0);
    size_t next = i;
    const uint32_t named = PdfParseNumber(text, length, i, &next);
    size_t generation = PdfSkipSpace(text, length, next);
    size_t keyword = generation;
    while (keyword < length && PdfIsDigit(text[keyword]))
        ++keyword;
    keyword = PdfSkipSpace(text, length, keyword);
    const bool header = i < length && PdfIsDigit(text[i]) && keyword > generation &&
                        keyword + 3 <= length && memcmp(text + keyword, "obj", 3) == 0;
    if (header ? named != object : !walk.r.parsed.xref_is_stream) {
        char where[32];
        snprintf(where, sizeof where, "object %lu", static_cast<unsigned long>(object));
        KV_ERROR(walk.r, KVPDF_ERR_XREF_CONTRADICTION, where);
        return KVPDF_ERR_XREF_CONTRADICTION;
    }
    // An offset may lead to white space before the header; the new version starts at it.
    if (header) {
        text += i;
        length -= static_cast<uint32_t>(i);
        position -= static_cast<uint32_t>(i);
    }
    char *rewritten = nullptr;
    uint32_t size = PdfInsertBytes(text, length, insert, position, &rewritten);
    const int64_t broken = size ? PdfSyntaxError(rewritten, size - 1) : -1;
    if (broken >= 0) {
        TrackedFreeT(rewritten);
        char what[32];
        snprintf(what, sizeof what, "Object %lu", static_cast<unsigned long>(object));
        KV_ERROR(walk.r, KVPDF_ERR_OBJECT_SYNTAX, what, static_cast<unsigned long>(broken));
        return KVPDF_ERR_OBJECT_SYNTAX;
    }
    if (!size || !AddUpdatedObject(walk.rewrites, rewritten, object, size - 1)) {
        KV_ERROR(walk.r, KVPDF_ERR_BUFFER);
        return KVPDF_ERR_BUFFER;
    }
    return 1;
}

// A rewrite failed with its own code recorded: the stage it happened in follows.
int32_t RewriteFailed(Walk &walk, int32_t rc, int32_t stage) {
    KV_ERROR(walk.r, stage);
    return rc;
}

// Inserts text right after the opening "<<" of an object whose new version the update
// carries already: two changes of one object must go into one version of it.
int32_t Amend(Walk &walk, UpdatedObject &u, const char *insert) {
    int is_ref = 0;
    size_t body = PdfSkipObjectHeader(u.text, u.length, 0, &is_ref);
    body = PdfSkipSpace(u.text, u.length, body);
    char *amended = nullptr;
    const uint32_t size =
        body + 1 < u.length && u.text[body] == '<' && u.text[body + 1] == '<'
            ? PdfInsertBytes(u.text, u.length, insert, static_cast<uint32_t>(body) + 2, &amended)
            : 0;
    if (!size) return KV_FAIL(walk.r, KVPDF_ERR_BUFFER, KVPDF_ERR_STAGE_ROOT);
    TrackedFreeT(u.text);
    u.text = amended;
    u.length = size - 1;
    return 1;
}

// Inserts text after the opening "<<" of object: into the version the update carries,
// else into a new one made from text.
int32_t InsertAfterOpen(Walk &walk, const char *text, uint32_t length, uint32_t object,
                        const char *insert, int32_t stage) {
    for (uint32_t i = 0; i < walk.rewrites->count; ++i)
        if (walk.rewrites->items[i].number == object)
            return Amend(walk, walk.rewrites->items[i], insert);
    int is_ref = 0;
    size_t body = PdfSkipSpace(text, length, PdfSkipObjectHeader(text, length, 0, &is_ref));
    if (body + 1 >= length || text[body] != '<' || text[body + 1] != '<') {
        char what[32];
        snprintf(what, sizeof what, "Object %lu", static_cast<unsigned long>(object));
        return KV_FAIL(walk.r, KVPDF_ERR_OBJECT_SYNTAX, stage, what,
                       static_cast<unsigned long>(body));
    }
    int32_t rc = RewriteObject(walk, text, length, static_cast<uint32_t>(body) + 2, insert, object);
    return rc < 1 ? RewriteFailed(walk, rc, stage) : 1;
}

// The bytes of the string token at i: a literal string's escapes resolved (ISO 32000-1,
// 7.3.4.2), a hex string's digits paired.
std::string StringBytes(const char *t, size_t length, size_t i) {
    std::string out;
    (void)PdfStringValue(t, Span{PdfSkipSpace(t, length, i), length}, &out);
    return out;
}

// The field whose fully qualified name (ISO 32000-1, 12.7.3.2) is name, searched from the
// top-level fields: each node once, at most kMaxFieldDepth levels deep.
struct NamedField {
    uint32_t object = 0;
    bool signature = false; // /FT /Sig, own or inherited
    bool filled = false;    // it has /V
};
NamedField FindNamedField(Walk &walk, FILE *file, const std::string &name) {
    struct Node {
        uint32_t object;
        std::string parent;
        bool signature;
        int depth;
    };
    const ParsedDocument &p = walk.r.parsed;
    std::vector<uint8_t> seen(p.object_offsets_count, 0);
    std::vector<Node> stack;
    for (uint32_t i = p.field_count; i > 0; --i)
        stack.push_back({p.field_refs[i - 1], std::string(), false, 0});
    while (!stack.empty()) {
        const Node node = stack.back();
        stack.pop_back();
        Text text;
        if (node.object >= seen.size() || seen[node.object]) continue;
        seen[node.object] = 1;
        if (ReadText(walk.r, file, static_cast<int32_t>(node.object), &text) < 1) continue;
        const Dict d = ParseObjectDict(text.data.get(), text.length);
        const bool signature = d.Find("/FT") ? d.Value("/FT") == "/Sig" : node.signature;
        std::string qualified = node.parent;
        if (const DictEntry *t = d.Find("/T")) {
            const std::string own = StringBytes(d.text, t->value.end, t->value.begin);
            if (!qualified.empty()) qualified += '.';
            qualified += own;
            if (qualified == name) return {node.object, signature, d.Find("/V") != nullptr};
        }
        if (node.depth + 1 > kMaxFieldDepth) continue;
        const std::vector<uint32_t> kids = RefList(walk.r, file, d, "/Kids");
        for (size_t i = kids.size(); i > 0; --i)
            stack.push_back({kids[i - 1], qualified, signature, node.depth + 1});
    }
    return {};
}

// The references the update adds to an annotation array: the widget, and the Kontir
// note with its popup when the plan has them.
void AnnotRefs(const UpdatePlan &plan, const char *format1, const char *format3, char *out,
               size_t size) {
    if (plan.kontir_annot_obj)
        snprintf(out, size, format3, static_cast<unsigned long>(plan.sig_field_obj),
                 static_cast<unsigned long>(plan.kontir_annot_obj),
                 static_cast<unsigned long>(plan.kontir_popup_obj));
    else
        snprintf(out, size, format1, static_cast<unsigned long>(plan.sig_field_obj));
}

// What an object is, for the checks below: its /Type when it has one, else whether its
// body is a dictionary or an array.
std::string KindOf(const char *text, uint32_t length) {
    int is_ref = 0;
    size_t body = PdfSkipObjectHeader(text, length, 0, &is_ref);
    if (body < length && text[body] == '[') return "array";
    int64_t type = PdfFind(text, length, "/Type");
    if (type >= 0) {
        size_t i = PdfSkipSpace(text, length, static_cast<size_t>(type) + 5);
        size_t end = i + 1;
        while (end < length && end < i + 32 &&
               (isalnum(static_cast<unsigned char>(text[end])) || text[end] == '.' ||
                text[end] == '_'))
            ++end;
        if (i < length && text[i] == '/') return std::string(text + i, end - i);
    }
    return body < length && text[body] == '<' ? "dictionary" : "other";
}

// An object the update is about to rewrite must be what it is named as: rewriting the
// catalog as a form, or a page as an annotation array, gives a file no reader accepts.
int32_t CheckKind(Walk &walk, uint32_t object, const char *text, uint32_t length, const char *role,
                  std::initializer_list<const char *> refused, int32_t stage) {
    std::string kind = static_cast<int32_t>(object) == walk.r.parsed.root_obj
                           ? std::string("/Catalog")
                           : KindOf(text, length);
    for (const char *k : refused)
        if (kind == k)
            return KV_FAIL(walk.r, KVPDF_ERR_OBJECT_KIND, stage, static_cast<unsigned long>(object),
                           role, kind.c_str());
    return 1;
}

// The object a reference names is in the file: listed with an offset or in a stream.
bool Held(const ParsedDocument &p, uint32_t object) {
    return object < p.object_offsets_count &&
           (p.object_offsets[object] != kNoOffset || p.object_streams[object] != 0);
}

// A reference repeated in one DSS array is one entry.
bool Listed(const DssArray &array, uint32_t object) {
    for (uint32_t i = 0; i < array.count; ++i)
        if (array.entries[i].object_number == object) return true;
    return false;
}

// Reads the /Certs, /CRLs and /OCSPs arrays of one DSS dictionary into info.
int32_t ReadDssArrays(Reader r, FILE *file, DssInfo *info, const char *text, uint32_t length) {
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
        int32_t rc = LocateRefArray(r, file, text, length, k.key, &array_obj, &refs, &count, &end,
                                    nullptr, nullptr);
        TrackedPtr<uint32_t> list(refs);
        // An array that cannot be read is left out; the other kinds still count.
        if (rc < 1) continue;
        DssArray *array = DssGetArray(info, k.kind, 1, true);
        if (!array) return KVPDF_ERR_DSS;
        if (array_obj > 0) array->object_number = array_obj;
        const uint32_t budget = PdfDecodeLimit(r.parsed);
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t *data = nullptr;
            uint32_t data_length = 0;
            if (list[i] > 0x7FFFFFFFu || Listed(*array, list[i])) continue;
            int32_t read = PdfReadStream(r, file, static_cast<ObjectSelector>(list[i]), nullptr, 0,
                                         &data, &data_length, budget);
            if (read < 1 || !data) {
                TrackedFreeT(data);
                continue; // an unreadable stream is left out; the others still count
            }
            // Revisions that repeat a large DSS must not multiply it in memory.
            r.parsed.dss_bytes += data_length;
            if (r.parsed.dss_bytes > budget) {
                TrackedFreeT(data);
                return KV_FAIL(r, KVPDF_ERR_DSS_TOO_LARGE, KVPDF_ERR_DSS,
                               static_cast<unsigned long long>(budget));
            }
            if (!DssAppendEntry(array, list[i], data, data_length, 0)) return KVPDF_ERR_DSS;
        }
        *k.counter = array->count;
    }
    return 1;
}

int32_t AttachDss(Reader r, FILE *file, XrefSection *section, ObjectSelector selector,
                  DssInfo **out) {
    Text text;
    char *raw = nullptr;
    int32_t rc = PdfReadUntil(r, file, selector, &raw, 512, "endobj", 1, 0, &text.length);
    text.data.reset(raw);
    if (rc < 1 || !raw) return KVPDF_ERR_DSS;
    DssInfo *info = DssNewInfo();
    if (!info) return KVPDF_ERR_DSS;
    FreeDssInfo(&section->dss);
    section->dss = info;
    rc = ReadDssArrays(r, file, info, text.data.get(), text.length);
    if (rc < 1) return rc;
    *out = info;
    return 1;
}

// Reads the DSS of every revision that defines it, oldest first; dss_info becomes the
// newest one.
int32_t ReadDss(Reader r, FILE *file, uint32_t dss) {
    ParsedDocument &p = r.parsed;
    DssInfo *newest = nullptr;
    uint32_t offset = 0, newest_offset = kNoOffset;
    for (XrefSection *s = PdfFindSectionOf(p, nullptr, dss, &offset); s;) {
        if (offset <= 0x7FFFFFFF) {
            int32_t rc = AttachDss(r, file, s, -static_cast<ObjectSelector>(offset), &newest);
            if (rc < 1) return rc;
            newest->object_number = dss;
            newest_offset = offset;
        }
        s = s->previous ? PdfFindSectionOf(p, s->previous, dss, &offset) : nullptr;
    }
    // The newest section lists no entries of its own: its version is the table's.
    const bool in_table = dss < p.object_offsets_count &&
                          (p.object_offsets[dss] != kNoOffset || p.object_streams[dss]);
    if (in_table && p.object_offsets[dss] != newest_offset && p.xref_sections) {
        int32_t rc = AttachDss(r, file, p.xref_sections, static_cast<ObjectSelector>(dss), &newest);
        if (rc < 1) return rc;
        newest->object_number = dss;
    }
    if (newest) {
        p.dss_info = newest;
        newest->changed = 0;
    }
    return 1;
}

// /Names of the catalog: an indirect dictionary's number and text (modes 3 and 4).
int32_t LocateNames(Reader r, FILE *file, const char *catalog, uint32_t length, bool inline_names) {
    int64_t at = PdfFind(catalog, length, "/Names");
    // Without one, a write makes the first names dictionary.
    if (at < 0) return r.mode == kModeWriteAttachments ? 1 : KVPDF_ERR_NO_NAMES;
    size_t i = PdfSkipSpace(catalog, length, static_cast<size_t>(at) + 6);
    if (i < length && catalog[i] == '<') {
        if (r.mode == kModeWriteAttachments && !inline_names) {
            return KV_FAIL_AS(r, KVPDF_ERR_NAMES_INLINE, KVPDF_ERR_STAGE_ROOT, KVPDF_ERR_NO_NAMES);
        }
        return 1;
    }
    uint32_t names = ReferenceAt(catalog, length, i);
    if (!names) return KVPDF_ERR_NO_NAMES;
    r.parsed.names_obj = static_cast<int32_t>(names);
    Text text;
    int32_t rc = ReadText(r, file, r.parsed.names_obj, &text);
    return rc < 1 ? KV_FAIL_AS(r, KVPDF_ERR_NAMES_READ, KVPDF_ERR_STAGE_ROOT, rc) : 1;
}

// A catalog without /AcroForm gets one naming the new field, before its /Pages.
int32_t AddForm(Walk &walk, const char *catalog, uint32_t length, int64_t pages) {
    char insert[64];
    snprintf(insert, sizeof insert, "/AcroForm<</SigFlags 3/Fields[%lu 0 R]>>",
             static_cast<unsigned long>(walk.plan->sig_field_obj));
    int32_t rc = RewriteObject(walk, catalog, length, static_cast<uint32_t>(pages), insert,
                               static_cast<uint32_t>(walk.r.parsed.root_obj));
    return rc < 1 ? RewriteFailed(walk, rc, KVPDF_ERR_STAGE_ROOT) : 1;
}

// Where the form dictionary's text is: the catalog's own (inline) or its object's.
struct FormText {
    const char *text;
    uint32_t length;
    uint32_t object; // 0 when inline
    uint32_t base;   // the dictionary's first byte in text
};

// Names the new field in the form: in an indirect /Fields array, at the end of an
// inline one, or in a /Fields the form did not have.
int32_t AddField(Walk &walk, const FormText &form, const char *catalog, uint32_t catalog_length,
                 int32_t located, int32_t fields_obj, const char *fields_text,
                 uint32_t fields_length, uint32_t end) {
    const uint32_t field = walk.plan->sig_field_obj;
    const uint32_t owner =
        form.object ? form.object : static_cast<uint32_t>(walk.r.parsed.root_obj);
    const char *owner_text = form.object ? form.text : catalog;
    const uint32_t owner_length = form.object ? form.length : catalog_length;
    int32_t rc = 1;
    if (located == KVPDF_ERR_NO_FIELD) {
        // A form without /Fields gets one, so that the signature is a real field.
        int64_t open = PdfFind(form.text + form.base, form.length - form.base, "<<");
        if (open < 0) return 1;
        char insert[48];
        snprintf(insert, sizeof insert, "/Fields[%lu 0 R]", static_cast<unsigned long>(field));
        rc = RewriteObject(walk, owner_text, owner_length,
                           static_cast<uint32_t>(open) + 2 + form.base, insert, owner);
    } else {
        char ref[32];
        snprintf(ref, sizeof ref, " %lu 0 R", static_cast<unsigned long>(field));
        if (fields_obj > 0) {
            rc = RewriteObject(walk, fields_text, fields_length, end, ref,
                               static_cast<uint32_t>(fields_obj));
            walk.r.parsed.annots_modified = 1;
        } else {
            rc = RewriteObject(walk, owner_text, owner_length, end, ref, owner);
        }
    }
    return rc < 1 ? RewriteFailed(walk, rc, KVPDF_ERR_STAGE_ROOT) : 1;
}

// A field named as the new one: refused, or with the opt-in filled when it is an unsigned
// signature field (/V added, /SigFlags 3 where the form has none).
int32_t NamedExisting(Walk &walk, FILE *file, const FormText &form, const char *catalog,
                      uint32_t length, bool *filled) {
    const UpdatePlan &plan = *walk.plan;
    std::string name = "(";
    name.append(plan.field_name).append(")");
    const NamedField field = FindNamedField(walk, file, StringBytes(name.data(), name.size(), 0));
    if (!field.object) return 1;
    const auto object = static_cast<unsigned long>(field.object);
    if (field.signature && field.filled)
        return KV_FAIL(walk.r, KVPDF_ERR_FIELD_SIGNED, KVPDF_ERR_STAGE_ROOT, plan.field_name,
                       object);
    if (!field.signature || plan.sign_existing_field != 1)
        return KV_FAIL(walk.r, KVPDF_ERR_FIELD_EXISTS, KVPDF_ERR_STAGE_ROOT, plan.field_name,
                       object);
    Text text;
    int32_t rc = ReadText(walk.r, file, static_cast<int32_t>(field.object), &text);
    if (rc < 1) return KV_FAIL_AS(walk.r, KVPDF_ERR_FIELDS_OBJECT, KVPDF_ERR_STAGE_ROOT, rc);
    char insert[32];
    snprintf(insert, sizeof insert, "/V %lu 0 R", static_cast<unsigned long>(plan.sig_dict_obj));
    rc = InsertAfterOpen(walk, text.data.get(), text.length, field.object, insert,
                         KVPDF_ERR_STAGE_ROOT);
    if (rc < 1) return rc;
    walk.r.parsed.filled_field = field.object;
    *filled = true;
    Dict flags;
    if (form.object)
        flags = ParseObjectDict(form.text, form.length);
    else
        (void)ParseDict(form.text, form.length, form.base, &flags.entries);
    if (flags.Find("/SigFlags")) return 1;
    if (form.object)
        return InsertAfterOpen(walk, form.text, form.length, form.object, "/SigFlags 3",
                               KVPDF_ERR_STAGE_ROOT);
    // A form inline in the catalog: the flags go in after its own "<<".
    int64_t open = PdfFind(catalog + form.base, length - form.base, "<<");
    if (open < 0) return 1;
    rc = RewriteObject(walk, catalog, length, static_cast<uint32_t>(open) + 2 + form.base,
                       "/SigFlags 3", static_cast<uint32_t>(walk.r.parsed.root_obj));
    return rc < 1 ? RewriteFailed(walk, rc, KVPDF_ERR_STAGE_ROOT) : 1;
}

// The catalog of a certification names the signature in /Perms (ISO 32000-1, 12.8.4).
int32_t AddPermissions(Walk &walk, const char *catalog, uint32_t length) {
    const Dict d = ParseObjectDict(catalog, length);
    if (d.Find("/Perms")) return KV_FAIL(walk.r, KVPDF_ERR_CERTIFY, KVPDF_ERR_STAGE_ROOT);
    char insert[48];
    snprintf(insert, sizeof insert, "/Perms<</DocMDP %lu 0 R>>",
             static_cast<unsigned long>(walk.plan->sig_dict_obj));
    return InsertAfterOpen(walk, catalog, length, static_cast<uint32_t>(walk.r.parsed.root_obj),
                           insert, KVPDF_ERR_STAGE_ROOT);
}

// The form dictionary: its fields, and in the modes that place a signature the field
// list that names the new one.
int32_t ReadForm(Walk &walk, FILE *file, const char *catalog, uint32_t length, int64_t acroform) {
    ParsedDocument &p = walk.r.parsed;
    // A reference (any white space before the number) or an inline dictionary.
    size_t value = static_cast<size_t>(acroform) + 9;
    FormText form{catalog, length, ReferenceAt(catalog, length, value),
                  static_cast<uint32_t>(value)};
    Text form_text;
    if (form.object) {
        p.acroform_obj = static_cast<int32_t>(form.object);
        int32_t rc = ReadText(walk.r, file, p.acroform_obj, &form_text);
        if (rc < 1) return KV_FAIL_AS(walk.r, KVPDF_ERR_ACROFORM_OBJECT, KVPDF_ERR_STAGE_ROOT, rc);
        form = {form_text.data.get(), form_text.length, form.object, 0};
        if (walk.plan) {
            rc = CheckKind(walk, form.object, form.text, form.length, "/AcroForm",
                           {"/Catalog", "/Pages", "/Page", "array"}, KVPDF_ERR_STAGE_ROOT);
            if (rc < 1) return rc;
        }
    }
    int32_t fields_obj = -1;
    uint32_t *refs = nullptr, count = 0, end = 0, fields_length = 0;
    char *fields_raw = nullptr;
    int32_t rc = LocateRefArray(walk.r, file, form.text, form.length, "/Fields", &fields_obj, &refs,
                                &count, &end, &fields_raw, &fields_length);
    TrackedPtr<char> fields_text(fields_raw);
    TrackedFreeT(p.field_refs);
    p.field_refs = refs;
    p.field_count = count;
    p.fields_obj = fields_obj;
    if (rc == kReadFailed)
        return KV_FAIL_AS(walk.r, KVPDF_ERR_FIELDS_OBJECT, KVPDF_ERR_STAGE_ROOT, kReadFailed);
    if (!walk.plan) return 1;
    if (fields_obj > 0) {
        const bool form_itself = static_cast<uint32_t>(fields_obj) == form.object;
        int32_t checked =
            form_itself
                ? KV_FAIL(walk.r, KVPDF_ERR_OBJECT_KIND, KVPDF_ERR_STAGE_ROOT,
                          static_cast<unsigned long>(fields_obj), "/Fields", "/AcroForm")
                : CheckKind(walk, static_cast<uint32_t>(fields_obj), fields_text.get(),
                            fields_length, "/Fields", {"/Catalog", "/Pages", "/Page", "dictionary"},
                            KVPDF_ERR_STAGE_ROOT);
        if (checked < 1) return checked;
    }
    if (walk.plan->field_name) {
        bool filled = false;
        int32_t named = 1;
        try {
            named = NamedExisting(walk, file, form, catalog, length, &filled);
        } catch (const std::bad_alloc &) {
            named = KV_FAIL(walk.r, KVPDF_ERR_BUFFER, KVPDF_ERR_STAGE_ROOT);
        }
        if (named < 1 || filled) return named;
    }
    return AddField(walk, form, catalog, length, rc, fields_obj, fields_text.get(), fields_length,
                    end);
}

// The page that receives the widget is a page, and hangs in a tree the file holds.
int32_t CheckPlacement(Walk &walk, int32_t page, const Text &text) {
    int32_t rc = CheckKind(walk, static_cast<uint32_t>(page), text.data.get(), text.length, "/Page",
                           {"/Catalog", "/Pages", "array"}, KVPDF_ERR_STAGE_PAGE);
    if (rc < 1) return rc;
    int64_t parent = PdfFind(text.data.get(), text.length, "/Parent");
    if (parent < 0) return 1;
    uint32_t node = ReferenceAt(text.data.get(), text.length, static_cast<size_t>(parent) + 7);
    if (node == 0 || Held(walk.r.parsed, node)) return 1;
    return KV_FAIL(walk.r, KVPDF_ERR_OBJECT_MISSING, KVPDF_ERR_STAGE_PAGE,
                   static_cast<unsigned long>(node), "/Parent");
}

// The page names the new objects: before /Parent when it has no /Annots, at the end of
// an inline array, or in an indirect array.
int32_t PageWithoutAnnots(Walk &walk, const Text &page_text, int32_t page) {
    const char *t = page_text.data.get();
    const int32_t mode = walk.r.mode;
    if (mode == kModeFindSignatures)
        return KV_FAIL(walk.r, KVPDF_ERR_NO_SIGNATURE, KVPDF_ERR_STAGE_PAGE);
    if (UsesAttachments(mode)) return 1;
    int64_t parent = PdfFind(t, page_text.length, "/Parent");
    if (parent < 0) return KV_FAIL(walk.r, KVPDF_ERR_NO_PARENT, KVPDF_ERR_STAGE_PAGE);
    if (!walk.plan) return 1;
    char insert[96];
    AnnotRefs(*walk.plan, "\n/Annots [%lu 0 R]\n", "\n/Annots [%lu 0 R %lu 0 R %lu 0 R]\n", insert,
              sizeof insert);
    int32_t rc = RewriteObject(walk, t, page_text.length, static_cast<uint32_t>(parent), insert,
                               static_cast<uint32_t>(page));
    return rc < 1 ? RewriteFailed(walk, rc, KVPDF_ERR_STAGE_PAGE) : 1;
}

int32_t InlineAnnots(Walk &walk, FILE *file, const Text &page_text, int32_t page, size_t open) {
    ParsedDocument &p = walk.r.parsed;
    const char *t = page_text.data.get();
    uint32_t relative = 0;
    if (!ParseRefArray(t + open + 1, static_cast<uint32_t>(page_text.length - open - 1),
                       &p.annot_refs, &p.annot_count, &relative))
        return KV_FAIL(walk.r, KVPDF_ERR_BUFFER, KVPDF_ERR_STAGE_PAGE);
    const uint32_t end = static_cast<uint32_t>(open + 1) + relative;
    if (ReadsSignatures(walk.r.mode))
        return ReadSignatureList(walk.r, walk.found, file, p.annot_refs, p.annot_count);
    if (!walk.plan) return 1;
    char insert[96];
    AnnotRefs(*walk.plan, " %lu 0 R", " %lu 0 R %lu 0 R %lu 0 R", insert, sizeof insert);
    int32_t rc = RewriteObject(walk, t, page_text.length, end, insert, static_cast<uint32_t>(page));
    return rc < 1 ? RewriteFailed(walk, rc, KVPDF_ERR_STAGE_PAGE) : 1;
}

int32_t IndirectAnnots(Walk &walk, FILE *file, uint32_t array, int32_t page) {
    ParsedDocument &p = walk.r.parsed;
    Text annots;
    if (!array || ReadText(walk.r, file, static_cast<int32_t>(array), &annots) < 1)
        return KV_FAIL(walk.r, KVPDF_ERR_ANNOTS_OBJECT, KVPDF_ERR_STAGE_PAGE);
    p.annots_obj = static_cast<int32_t>(array);
    if (walk.plan) {
        const char *named = static_cast<int32_t>(array) == page           ? "/Page"
                            : static_cast<int32_t>(array) == p.fields_obj ? "/Fields"
                                                                          : nullptr;
        int32_t checked =
            named ? KV_FAIL(walk.r, KVPDF_ERR_OBJECT_KIND, KVPDF_ERR_STAGE_PAGE,
                            static_cast<unsigned long>(array), "/Annots", named)
                  : CheckKind(walk, array, annots.data.get(), annots.length, "/Annots",
                              {"/Catalog", "/Pages", "/Page", "dictionary"}, KVPDF_ERR_STAGE_PAGE);
        if (checked < 1) return checked;
    }
    int64_t open = PdfFind(annots.data.get(), annots.length, "[");
    if (open < 0) return KV_FAIL(walk.r, KVPDF_ERR_ANNOTS_OBJECT, KVPDF_ERR_STAGE_PAGE);
    uint32_t from = static_cast<uint32_t>(open) + 1, relative = 0;
    if (!ParseRefArray(annots.data.get() + from, annots.length - from, &p.annot_refs,
                       &p.annot_count, &relative))
        return KV_FAIL(walk.r, KVPDF_ERR_BUFFER, KVPDF_ERR_STAGE_PAGE);
    if (ReadsSignatures(walk.r.mode)) {
        // The list's own outcome does not decide the page's: the fields are read next.
        (void)ReadSignatureList(walk.r, walk.found, file, p.annot_refs, p.annot_count);
        return 1;
    }
    if (!walk.plan) return 1;
    char insert[96];
    AnnotRefs(*walk.plan, " %lu 0 R ", " %lu 0 R %lu 0 R %lu 0 R ", insert, sizeof insert);
    int32_t rc =
        RewriteObject(walk, annots.data.get(), annots.length, from + relative, insert, array);
    return rc < 1 ? RewriteFailed(walk, rc, KVPDF_ERR_STAGE_PAGE) : 1;
}

// The number-th leaf of the page tree (1 = the first) in tree order; each node is met
// once and the depth is bounded, so that a cyclic tree ends.
int32_t NthPage(Reader r, FILE *file, int32_t root, int32_t number) {
    std::vector<uint8_t> seen(r.parsed.object_offsets_count, 0);
    std::vector<std::pair<uint32_t, int>> stack{{static_cast<uint32_t>(root), 0}};
    int32_t count = 0;
    while (!stack.empty()) {
        const auto [node, depth] = stack.back();
        stack.pop_back();
        if (node >= seen.size() || seen[node]) continue;
        seen[node] = 1;
        Text text;
        if (ReadText(r, file, static_cast<int32_t>(node), &text) < 1) {
            KV_ERROR(r, KVPDF_ERR_PAGE_OBJECT);
            return KVPDF_ERR_PAGE_OBJECT;
        }
        const Dict d = ParseObjectDict(text.data.get(), text.length);
        if (!d.Find("/Kids")) {
            if (++count == number) return static_cast<int32_t>(node);
            continue;
        }
        if (depth + 1 > kMaxPageDepth) continue;
        const std::vector<uint32_t> kids = RefList(r, file, d, "/Kids");
        for (size_t i = kids.size(); i > 0; --i)
            stack.emplace_back(kids[i - 1], depth + 1);
    }
    return KV_FAIL(r, KVPDF_ERR_PAGE_NUMBER, KVPDF_ERR_STAGE_PAGE, static_cast<long>(number));
}

int32_t FindNthPage(Reader r, FILE *file, int32_t root, int32_t number) {
    try {
        return NthPage(r, file, root, number);
    } catch (const std::bad_alloc &) {
        return KV_FAIL(r, KVPDF_ERR_BUFFER, KVPDF_ERR_STAGE_PAGE);
    }
}

// Four numbers of a rectangle value (inline, or an array object of its own).
bool RectOf(Reader r, FILE *file, const Dict &d, const char *key, double out[4]) {
    const DictEntry *e = d.Find(key);
    if (!e) return false;
    Text array;
    const char *t = d.text;
    Span value = e->value;
    if (const uint32_t object = RefOf(t, value)) {
        if (ReadText(r, file, static_cast<int32_t>(object), &array) < 1) return false;
        t = array.data.get();
        int is_ref = 0;
        value = {PdfSkipObjectHeader(t, array.length, 0, &is_ref), array.length};
    }
    std::vector<Span> items;
    if (!ParseArray(t, value.end, value.begin, &items) || items.size() != 4) return false;
    for (int i = 0; i < 4; ++i) {
        const std::string number(t + items[i].begin, items[i].end - items[i].begin);
        char *end = nullptr;
        out[i] = strtod(number.c_str(), &end);
        if (end == number.c_str() || !std::isfinite(out[i]) || std::fabs(out[i]) > 1e9)
            return false;
    }
    return true;
}

// The crop box of the page (its /CropBox, else its /MediaBox, each own or inherited
// from the page tree), in whole points inside it; page_box_known stays 0 without one.
void ReadPageBox(Reader r, FILE *file, int32_t page) {
    ParsedDocument &p = r.parsed;
    double crop[4], media[4];
    bool has_crop = false, has_media = false;
    uint32_t node = static_cast<uint32_t>(page);
    for (int depth = 0; node && depth < kMaxPageDepth && !has_crop; ++depth) {
        Text text;
        if (ReadText(r, file, static_cast<int32_t>(node), &text) < 1) break;
        const Dict d = ParseObjectDict(text.data.get(), text.length);
        has_crop = RectOf(r, file, d, "/CropBox", crop);
        if (!has_media) has_media = RectOf(r, file, d, "/MediaBox", media);
        const uint32_t parent = d.Ref("/Parent");
        node = parent == node ? 0 : parent;
    }
    const double *box = has_crop ? crop : has_media ? media : nullptr;
    if (!box) return;
    p.page_box[0] = static_cast<int32_t>(std::ceil(std::min(box[0], box[2])));
    p.page_box[1] = static_cast<int32_t>(std::ceil(std::min(box[1], box[3])));
    p.page_box[2] = static_cast<int32_t>(std::floor(std::max(box[0], box[2])));
    p.page_box[3] = static_cast<int32_t>(std::floor(std::max(box[1], box[3])));
    p.page_box_known = p.page_box[2] > p.page_box[0] && p.page_box[3] > p.page_box[1];
}

} // namespace

std::vector<uint32_t> RefList(Reader r, FILE *file, const Dict &d, const char *key,
                              uint32_t *unreadable) {
    std::vector<uint32_t> out;
    const DictEntry *e = d.Find(key);
    if (!e) return out;
    Text array;
    const char *t = d.text;
    Span value = e->value;
    if (const uint32_t object = RefOf(t, value)) {
        if (ReadText(r, file, static_cast<int32_t>(object), &array) < 1 || array.length == 0) {
            if (unreadable) *unreadable = object;
            return out;
        }
        t = array.data.get();
        int is_ref = 0;
        value = {PdfSkipObjectHeader(t, array.length, 0, &is_ref), array.length};
    }
    std::vector<Span> items;
    (void)ParseArray(t, value.end, value.begin, &items);
    for (const Span &item : items)
        if (const uint32_t object = RefOf(t, item)) out.push_back(object);
    return out;
}

int32_t ReadText(Reader r, FILE *file, int32_t object, Text *out) {
    char *text = nullptr;
    out->length = 0;
    int32_t rc =
        object > 0 ? PdfReadObjectBinary(r, file, object, &text, &out->length) : kReadFailed;
    out->data.reset(text);
    if (rc >= 1 && !text) {
        // A compressed object its stream does not hold.
        KV_ERROR(r, KVPDF_ERR_COMPRESSED_OBJECT, static_cast<unsigned long>(object));
        rc = KVPDF_ERR_COMPRESSED_OBJECT;
    }
    return rc;
}

uint32_t ReferenceAt(const char *text, uint32_t length, size_t index) {
    index = PdfSkipSpace(text, length, index);
    if (index >= length || !PdfIsDigit(text[index])) return 0;
    int is_ref = 0;
    uint32_t n = PdfParseNumberRef(text, length, index, &is_ref);
    return is_ref && n <= 0x7FFFFFFF ? n : 0;
}

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
                    // Doubling at each power of two: a list of 50,000 entries is 14
                    // reallocations, not 50,000.
                    const uint32_t n = *count;
                    if ((n == 0 || (n >= 8 && (n & (n - 1)) == 0)) &&
                        !TrackedReallocT(KV_UNIT, __LINE__, *list, n == 0 ? 8 : size_t{n} * 2))
                        return 0;
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

int32_t LocateRefArray(Reader r, FILE *file, const char *text, uint32_t length, const char *key,
                       int32_t *array_obj, uint32_t **list, uint32_t *count, uint32_t *end,
                       char **array_text, uint32_t *array_length) {
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
            return kReadFailed;
        *end = static_cast<uint32_t>(i + 1) + relative;
        return 1;
    }
    uint32_t object = ReferenceAt(text, length, i);
    if (!object) return kReadFailed;
    Text array;
    if (ReadText(r, file, static_cast<int32_t>(object), &array) < 1) return kReadFailed;
    *array_obj = static_cast<int32_t>(object);
    int64_t open = PdfFind(array.data.get(), array.length, "[");
    if (open < 0) return kReadFailed;
    uint32_t relative = 0;
    uint32_t from = static_cast<uint32_t>(open) + 1;
    if (!ParseRefArray(array.data.get() + from, array.length - from, list, count, &relative))
        return kReadFailed;
    *end = from + relative;
    if (array_text) {
        *array_text = array.data.release();
        *array_length = array.length;
    }
    return 1;
}

int32_t ReadSignatureList(Reader r, FoundSignatures *found, FILE *file, const uint32_t *list,
                          uint32_t count) {
    int32_t result = 1;
    for (uint32_t i = 0; i < count; ++i) {
        result = ProcessSignatureAnnot(r, found, file, list[i]);
        if (result < 1) break;
    }
    return result;
}

int32_t FindFirstPage(Reader r, FILE *file, int32_t node) {
    // The first leaf of the page tree; depth-bounded, so a cyclic tree cannot loop.
    for (int depth = 0; depth < kMaxPageDepth; ++depth) {
        Text text;
        int32_t rc = ReadText(r, file, node, &text);
        if (rc < 1) return rc;
        int64_t kids = PdfFind(text.data.get(), text.length, "/Kids");
        if (kids < 0) return node;
        const char *t = text.data.get();
        size_t i = PdfSkipSpace(t, text.length, static_cast<size_t>(kids) + 5);
        Text indirect;
        if (i < text.length && t[i] != '[') {
            // /Kids held in an array object of its own.
            uint32_t array = ReferenceAt(t, text.length, i);
            if (!array || ReadText(r, file, static_cast<int32_t>(array), &indirect) < 1) break;
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
    KV_ERROR(r, KVPDF_ERR_PAGE_OBJECT);
    return KVPDF_ERR_PAGE_OBJECT;
}

int32_t ProcessRoot(Walk &walk, FILE *file, const char *catalog, uint32_t length) {
    Reader r = walk.r;
    int64_t pages = -1;
    int64_t acroform = PdfFind(catalog, length, "/AcroForm");
    if (acroform < 0) {
        if (walk.plan) {
            pages = PdfFind(catalog, length, "/Pages");
            if (pages >= 0) {
                int32_t rc = AddForm(walk, catalog, length, pages);
                if (rc < 1) return rc;
            }
        }
    } else {
        int32_t rc = ReadForm(walk, file, catalog, length, acroform);
        if (rc < 1) return rc;
    }
    if (walk.plan && walk.plan->certify_level) {
        int32_t rc = AddPermissions(walk, catalog, length);
        if (rc < 1) return rc;
    }
    int64_t dss = PdfFind(catalog, length, "/DSS");
    if (dss >= 0) {
        uint32_t dss_obj = ReferenceAt(catalog, length, static_cast<size_t>(dss) + 4);
        if (dss_obj) {
            int32_t rc = ReadDss(r, file, dss_obj);
            if (rc < 1) return KV_FAIL_AS(walk.r, KVPDF_ERR_DSS, KVPDF_ERR_STAGE_ROOT, rc);
        }
    }
    if (pages < 0) pages = PdfFind(catalog, length, "/Pages");
    if (pages < 0) return KV_FAIL(walk.r, KVPDF_ERR_NO_PAGES, KVPDF_ERR_STAGE_ROOT);
    uint32_t tree = ReferenceAt(catalog, length, static_cast<size_t>(pages) + 6);
    if (UsesAttachments(r.mode)) {
        int32_t rc = LocateNames(r, file, catalog, length, walk.inline_names);
        if (rc < 0 && (r.mode == kModeWriteAttachments || rc != KVPDF_ERR_NO_NAMES)) return rc;
    }
    if (!tree) return KV_FAIL(walk.r, KVPDF_ERR_NO_PAGES, KVPDF_ERR_STAGE_ROOT);
    return static_cast<int32_t>(tree);
}

int32_t ProcessPage(Walk &walk, FILE *file, int32_t page) {
    ParsedDocument &p = walk.r.parsed;
    Text text;
    int32_t rc = ReadText(walk.r, file, page, &text);
    if (rc < 1) return KV_FAIL_AS(walk.r, KVPDF_ERR_PAGE_OBJECT, KVPDF_ERR_STAGE_PAGE, rc);
    const char *t = text.data.get();
    if (walk.plan) {
        rc = CheckPlacement(walk, page, text);
        if (rc < 1) return rc;
    }
    int64_t annots = PdfFind(t, text.length, "/Annots");
    if (annots < 0) return PageWithoutAnnots(walk, text, page);
    p.annots_modified = 1;
    size_t i = PdfSkipSpace(t, text.length, static_cast<size_t>(annots) + 7);
    TrackedFreeT(p.annot_refs);
    p.annot_count = 0;
    if (i < text.length && t[i] == '[') return InlineAnnots(walk, file, text, page, i);
    return IndirectAnnots(walk, file, ReferenceAt(t, text.length, i), page);
}

int32_t ProcessObjects(Walk &walk, FILE *file, int32_t root, int32_t skip_page) {
    Reader r = walk.r;
    ParsedDocument &p = r.parsed;
    Text catalog;
    int32_t rc = ReadText(r, file, root, &catalog);
    if (rc < 1 || catalog.length == 0)
        return KV_FAIL_AS(r, KVPDF_ERR_ROOT_END, KVPDF_ERR_STAGE_OBJECTS,
                          rc < 1 ? rc : KVPDF_ERR_ROOT_END);
    p.pages_obj = -1;
    p.pages_obj = ProcessRoot(walk, file, catalog.data.get(), catalog.length);
    // The stages below recorded their own codes; the walk adds its stage.
    auto failure = [&r](int32_t result) {
        KV_ERROR(r, KVPDF_ERR_STAGE_OBJECTS);
        return result;
    };
    if (p.pages_obj < 1) return failure(p.pages_obj);
    if (walk.find_all) return DiscoverSignatures(walk, file);
    if (p.filled_field) return 1; // no widget of its own: no page to name it
    if (walk.plan && walk.plan->page_number > 0) {
        p.page_obj = FindNthPage(r, file, p.pages_obj, walk.plan->page_number);
        if (p.page_obj < 1) return failure(p.page_obj);
        try {
            ReadPageBox(r, file, p.page_obj);
        } catch (const std::bad_alloc &) {
            p.page_box_known = 0; // the rectangle is then kept as set
        }
    }
    if (p.page_obj < 1) p.page_obj = FindFirstPage(r, file, p.pages_obj);
    if (skip_page) return 1;
    if (p.page_obj < 1) return failure(p.page_obj);
    int32_t result = ProcessPage(walk, file, p.page_obj);
    if ((p.annot_count == 0 || walk.found->signature_count == 0) && p.field_count > 0) {
        if (ReadsSignatures(r.mode)) {
            ResetErrors(&r.errors);
            result = ReadSignatureList(r, walk.found, file, p.field_refs, p.field_count);
            if (result < 0) return failure(result);
        } else if (r.mode == kModeSign || r.mode == kModeWriteAttachments) {
            KV_ERROR(r, KVPDF_ERR_STAGE_OBJECTS);
        }
    }
    return result;
}

} // namespace kvpdf
