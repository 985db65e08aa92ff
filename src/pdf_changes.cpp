// SPDX-License-Identifier: Apache-2.0
// What the revisions after a signature changed, object by object against the revision
// signed, and the check that hands it to the host with the /ByteRange verdict.
//
// Every object a later section lists must be explained by a rule that looks at its old
// and new data: validation data, new signatures, filled fields, annotations. What no rule
// explains is KVPDF_CHANGES_OTHER. Objects new to the document take the class of the
// changed objects that reference them (an appearance stream that of its widget).
#include "pdf_changes.h"

#include "pdf_error.h"
#include "pdf_utils.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <new>
#include <set>

#define KV_UNIT "../src/pdf_changes.cpp"

namespace kvpdf {
namespace {

constexpr int32_t kUnknown = -1;
constexpr int kMaxParents = 32; // field inheritance followed this far
constexpr int kDssDepth = 6;    // DSS, VRI, its entries, their arrays, streams

// An object read with its dictionary or array parsed.
struct Loaded {
    ObjectText object;
    Dict dict;
    bool is_dict = false;
    std::vector<Span> items;
    bool is_array = false;
};

bool Parse(Loaded *l) {
    const char *t = l->object.text.get();
    l->dict.text = t;
    l->is_dict = ParseDict(t, l->object.length, l->object.body, &l->dict.entries);
    if (!l->is_dict) l->is_array = ParseArray(t, l->object.length, l->object.body, &l->items);
    return true;
}

// The bytes that make an object's version: its value and a stream's data.
std::string Payload(const ObjectText &o) {
    const char *t = o.text.get();
    size_t end = o.length;
    if (!o.compressed && end >= o.body + 6 && memcmp(t + end - 6, "endobj", 6) == 0) end -= 6;
    while (end > o.body && PdfIsSpace(static_cast<unsigned char>(t[end - 1])))
        --end;
    return std::string(t + o.body, end > o.body ? end - o.body : 0);
}

std::vector<std::string> DiffKeys(const Dict &a, const Dict &b) {
    std::set<std::string> keys;
    for (const DictEntry &e : a.entries)
        keys.insert(e.key);
    for (const DictEntry &e : b.entries)
        keys.insert(e.key);
    std::vector<std::string> out;
    for (const std::string &k : keys)
        if (a.Value(k.c_str()) != b.Value(k.c_str()) || !a.Find(k.c_str()) != !b.Find(k.c_str()))
            out.push_back(k);
    return out;
}

bool OneOf(const std::string &key, std::initializer_list<const char *> keys) {
    for (const char *k : keys)
        if (key == k) return true;
    return false;
}

struct Changed {
    Loaded now, before;
    bool existed = false;
    int32_t cls = kUnknown;
};

// One later revision against the revision signed. State "now" is the later section and
// everything older; state "before" the sections below the signed length.
class Comparison {
public:
    Comparison(RevisionChain &chain, size_t index, uint32_t signed_length)
        : chain_(chain), now_(index), signed_(signed_length) {}

    // 1 or a negative code; the class and the OTHER objects in *cls and *other.
    int32_t Run(int32_t *cls, std::vector<uint32_t> *other);

private:
    int32_t Load(bool before, uint32_t object, Loaded *out) {
        int32_t rc =
            chain_.ReadObject(before ? 0 : now_, object, &out->object, before ? signed_ : 0);
        if (rc == 1) Parse(out);
        return rc;
    }
    int32_t Collect();
    int32_t FieldType(bool before, const Dict &d, std::string *type, int depth = 0);
    int32_t SignatureClass(const Dict &field);
    int32_t EntryClass(uint32_t object);
    int32_t RefList(bool before, const Dict &d, const char *key, std::vector<uint32_t> *refs);
    int32_t ListClass(const std::vector<uint32_t> &old_refs, const std::vector<uint32_t> &refs);
    int32_t SubDict(bool before, const Dict &d, const char *key, Loaded *holder, Dict *out);
    int32_t CatalogClass(const Dict &before, const Dict &now);
    int32_t AcroFormClass(const Dict &before, const Dict &now);
    int32_t PageClass(const Dict &before, const Dict &now);
    int32_t ObjectClass(uint32_t number, Changed &c);
    int32_t MarkDss(uint32_t dss);
    void Propagate();

    RevisionChain &chain_;
    size_t now_;
    uint32_t signed_;
    std::map<uint32_t, Changed> changed_;
    std::vector<uint32_t> freed_;
    uint32_t root_ = 0, acroform_ = 0;
    int64_t old_size_ = -1;
};

int32_t Comparison::Collect() {
    const Revision &rev = chain_.sections[now_];
    for (const SectionEntry &e : rev.entries) {
        if (e.object == 0) continue;
        const SectionEntry *old = chain_.Resolve(0, e.object, signed_);
        const bool existed = old && old->type != EntryType::kFree;
        if (e.type == EntryType::kFree) {
            if (existed) freed_.push_back(e.object);
            continue;
        }
        if (existed && old->type == EntryType::kPlain && e.type == EntryType::kPlain &&
            old->field2 == e.field2)
            continue;
        Changed c;
        int32_t rc = chain_.ReadEntry(now_, e, &c.now.object, 0);
        if (rc < 1) return rc < 0 ? rc : KVPDF_ERR_OBJECT_MISSING;
        Parse(&c.now);
        const std::string type = c.now.is_dict ? c.now.dict.Value("/Type") : "";
        // The containers of the cross-reference data are structure, not content.
        if (type == "/XRef" || type == "/ObjStm") continue;
        if (existed) {
            rc = chain_.ReadEntry(0, *old, &c.before.object, signed_);
            if (rc < 1) return rc < 0 ? rc : KVPDF_ERR_OBJECT_MISSING;
            Parse(&c.before);
            if (Payload(c.before.object) == Payload(c.now.object)) continue;
        }
        c.existed = existed;
        changed_.emplace(e.object, std::move(c));
    }
    return 1;
}

int32_t Comparison::FieldType(bool before, const Dict &d, std::string *type, int depth) {
    *type = d.Value("/FT");
    if (!type->empty() || depth >= kMaxParents) return 1;
    uint32_t parent = d.Ref("/Parent");
    if (!parent) return 1;
    Loaded p;
    int32_t rc = Load(before, parent, &p);
    if (rc < 0) return rc;
    return rc == 1 && p.is_dict ? FieldType(before, p.dict, type, depth + 1) : 1;
}

// A signature field with a document timestamp in it is validation data.
int32_t Comparison::SignatureClass(const Dict &field) {
    uint32_t v = field.Ref("/V");
    Loaded value;
    if (v && Load(false, v, &value) == 1 && value.is_dict &&
        value.dict.Value("/Type") == "/DocTimeStamp")
        return KVPDF_CHANGES_VALIDATION;
    return KVPDF_CHANGES_SIGNATURES;
}

// What a new entry of /Annots or /Fields adds.
int32_t Comparison::EntryClass(uint32_t object) {
    Loaded l;
    int32_t rc = Load(false, object, &l);
    if (rc < 0) return rc;
    if (rc == 0 || !l.is_dict) return KVPDF_CHANGES_OTHER;
    std::string type;
    rc = FieldType(false, l.dict, &type);
    if (rc < 0) return rc;
    if (type == "/Sig") return SignatureClass(l.dict);
    const std::string subtype = l.dict.Value("/Subtype");
    if (!type.empty() || subtype == "/Widget" || subtype.empty()) return KVPDF_CHANGES_OTHER;
    return KVPDF_CHANGES_ANNOTATIONS;
}

int32_t Comparison::RefList(bool before, const Dict &d, const char *key,
                            std::vector<uint32_t> *refs) {
    refs->clear();
    const DictEntry *e = d.Find(key);
    if (!e) return 1;
    uint32_t ref = RefOf(d.text, e->value);
    std::vector<Span> items;
    if (ref) {
        Loaded l;
        int32_t rc = Load(before, ref, &l);
        if (rc < 0) return rc;
        if (rc == 1 && l.is_array)
            for (const Span &s : l.items)
                refs->push_back(RefOf(l.object.text.get(), s));
        return 1;
    }
    if (ParseArray(d.text, e->value.end, e->value.begin, &items))
        for (const Span &s : items)
            refs->push_back(RefOf(d.text, s));
    return 1;
}

// A list of references may grow by entries of the kinds it carries; an entry removed
// is never explained.
int32_t Comparison::ListClass(const std::vector<uint32_t> &old_refs,
                              const std::vector<uint32_t> &refs) {
    std::set<uint32_t> now(refs.begin(), refs.end()), before(old_refs.begin(), old_refs.end());
    for (uint32_t r : before)
        if (!now.count(r)) return KVPDF_CHANGES_OTHER;
    int32_t cls = KVPDF_CHANGES_NONE;
    for (uint32_t r : now) {
        if (before.count(r)) continue;
        int32_t c = r ? EntryClass(r) : KVPDF_CHANGES_OTHER;
        if (c < 0) return c;
        cls = std::max(cls, c);
    }
    return cls;
}

int32_t Comparison::SubDict(bool before, const Dict &d, const char *key, Loaded *holder,
                            Dict *out) {
    out->text = d.text;
    out->entries.clear();
    const DictEntry *e = d.Find(key);
    if (!e) return 1;
    if (uint32_t ref = RefOf(d.text, e->value)) {
        int32_t rc = Load(before, ref, holder);
        if (rc < 0) return rc;
        if (rc == 1 && holder->is_dict) *out = holder->dict;
        return 1;
    }
    (void)ParseDict(d.text, e->value.end, e->value.begin, &out->entries);
    return 1;
}

int32_t Comparison::AcroFormClass(const Dict &before, const Dict &now) {
    int32_t cls = KVPDF_CHANGES_NONE;
    for (const std::string &key : DiffKeys(before, now)) {
        int32_t c = KVPDF_CHANGES_OTHER;
        if (key == "/Fields") {
            std::vector<uint32_t> a, b;
            int32_t rc = RefList(true, before, "/Fields", &a);
            if (rc >= 0) rc = RefList(false, now, "/Fields", &b);
            if (rc < 0) return rc;
            c = ListClass(a, b);
            if (c < 0) return c;
        } else if (key == "/SigFlags") {
            c = KVPDF_CHANGES_SIGNATURES;
        } else if (OneOf(key, {"/NeedAppearances", "/DR", "/DA"})) {
            c = KVPDF_CHANGES_FORM_FILLING;
        }
        cls = std::max(cls, c);
    }
    return cls;
}

// The catalog may gain validation data (/DSS, and /Extensions with the /Version that
// declares it) and a form.
int32_t Comparison::CatalogClass(const Dict &before, const Dict &now) {
    int32_t cls = KVPDF_CHANGES_NONE;
    for (const std::string &key : DiffKeys(before, now)) {
        int32_t c = KVPDF_CHANGES_OTHER;
        if (key == "/DSS" || key == "/Extensions" || key == "/Version") {
            c = KVPDF_CHANGES_VALIDATION;
        } else if (key == "/AcroForm") {
            Loaded a, b;
            Dict old_form, form;
            int32_t rc = SubDict(true, before, "/AcroForm", &a, &old_form);
            if (rc >= 0) rc = SubDict(false, now, "/AcroForm", &b, &form);
            if (rc < 0) return rc;
            c = AcroFormClass(old_form, form);
            if (c < 0) return c;
        }
        cls = std::max(cls, c);
    }
    return cls;
}

int32_t Comparison::PageClass(const Dict &before, const Dict &now) {
    int32_t cls = KVPDF_CHANGES_NONE;
    for (const std::string &key : DiffKeys(before, now)) {
        int32_t c = KVPDF_CHANGES_OTHER;
        if (key == "/Annots") {
            std::vector<uint32_t> a, b;
            int32_t rc = RefList(true, before, "/Annots", &a);
            if (rc >= 0) rc = RefList(false, now, "/Annots", &b);
            if (rc < 0) return rc;
            c = ListClass(a, b);
            if (c < 0) return c;
        }
        cls = std::max(cls, c);
    }
    return cls;
}

// The class an object's own data give it; kUnknown when only its references can tell.
int32_t Comparison::ObjectClass(uint32_t number, Changed &c) {
    const Dict &now = c.now.dict;
    const Dict &before = c.before.dict;
    const bool dicts = c.now.is_dict && (!c.existed || c.before.is_dict);
    if (number == root_) {
        if (!c.existed || !dicts) return KVPDF_CHANGES_OTHER;
        return CatalogClass(before, now);
    }
    if (number == acroform_ && c.now.is_dict) {
        if (c.existed) return c.before.is_dict ? AcroFormClass(before, now) : KVPDF_CHANGES_OTHER;
        return kUnknown; // the catalog's comparison of the forms speaks for it
    }
    if (c.now.is_array) {
        if (!c.existed) return kUnknown;
        if (!c.before.is_array) return KVPDF_CHANGES_OTHER;
        std::vector<uint32_t> a, b;
        for (const Span &s : c.before.items)
            a.push_back(RefOf(c.before.object.text.get(), s));
        for (const Span &s : c.now.items)
            b.push_back(RefOf(c.now.object.text.get(), s));
        return ListClass(a, b);
    }
    if (!c.now.is_dict) return c.existed ? KVPDF_CHANGES_OTHER : kUnknown;
    if (c.existed && !c.before.is_dict) return KVPDF_CHANGES_OTHER;
    const std::string type = now.Value("/Type"), subtype = now.Value("/Subtype");
    if (type == "/Sig" || type == "/DocTimeStamp" ||
        (now.Find("/ByteRange") && !c.now.object.is_stream)) {
        // A signature value of the signed revision never changes.
        if (c.existed) return KVPDF_CHANGES_OTHER;
        return type == "/DocTimeStamp" ? KVPDF_CHANGES_VALIDATION : KVPDF_CHANGES_SIGNATURES;
    }
    if (type == "/Page") return c.existed ? PageClass(before, now) : KVPDF_CHANGES_OTHER;
    if (type == "/Pages" || type == "/Catalog") return KVPDF_CHANGES_OTHER;
    std::string field_type;
    int32_t rc = FieldType(false, now, &field_type);
    if (rc < 0) return rc;
    const bool widget = subtype == "/Widget";
    const bool field = !field_type.empty() || now.Find("/T") || now.Find("/Kids") ||
                       (widget && now.Find("/Parent"));
    if (field_type == "/Sig") {
        const int32_t sig = SignatureClass(now);
        if (!c.existed) return sig;
        int32_t cls = KVPDF_CHANGES_NONE;
        for (const std::string &key : DiffKeys(before, now)) {
            int32_t k = KVPDF_CHANGES_OTHER;
            if (key == "/V")
                k = before.Find("/V") ? KVPDF_CHANGES_OTHER : sig; // filled, never replaced
            else if (OneOf(key, {"/AP", "/AS", "/F", "/MK", "/DA", "/DR"}))
                k = sig;
            cls = std::max(cls, k);
        }
        return cls;
    }
    if (field || widget) {
        if (!c.existed) return KVPDF_CHANGES_OTHER; // a new field other than a signature
        int32_t cls = KVPDF_CHANGES_NONE;
        for (const std::string &key : DiffKeys(before, now))
            cls = std::max(cls, OneOf(key, {"/V", "/AS", "/AP", "/DA", "/Q", "/F", "/MK", "/RV"})
                                    ? KVPDF_CHANGES_FORM_FILLING
                                    : KVPDF_CHANGES_OTHER);
        return cls;
    }
    if (!subtype.empty() && (type == "/Annot" || now.Find("/Rect")))
        return KVPDF_CHANGES_ANNOTATIONS;
    return c.existed && !c.now.object.is_stream ? KVPDF_CHANGES_OTHER : kUnknown;
}

// Everything the Document Security Store holds is validation data, however deep.
int32_t Comparison::MarkDss(uint32_t dss) {
    std::vector<std::pair<uint32_t, int>> work{{dss, 0}};
    std::set<uint32_t> seen;
    while (!work.empty()) {
        auto [n, depth] = work.back();
        work.pop_back();
        if (!seen.insert(n).second || depth > kDssDepth) continue;
        auto it = changed_.find(n);
        // Unchanged objects are looked into only near the top, where new data hang.
        if (it == changed_.end() && depth > 1) continue;
        Loaded own;
        const Loaded *l = nullptr;
        if (it != changed_.end()) {
            it->second.cls = KVPDF_CHANGES_VALIDATION;
            l = &it->second.now;
        } else {
            int32_t rc = Load(false, n, &own);
            if (rc < 0) return rc;
            if (rc == 0) continue;
            l = &own;
        }
        std::vector<uint32_t> refs;
        const ObjectText &o = l->object;
        CollectRefs(o.text.get(), {o.body, o.body_end}, &refs);
        for (uint32_t r : refs)
            work.emplace_back(r, depth + 1);
    }
    return 1;
}

// New objects take the strongest class of the changed objects that reference them;
// existing ones only through an appearance (/AP) of a field or annotation.
void Comparison::Propagate() {
    std::vector<uint32_t> work;
    for (auto &[n, c] : changed_)
        if (c.cls != kUnknown) work.push_back(n);
    std::map<uint32_t, int32_t> given;
    while (!work.empty()) {
        const uint32_t n = work.back();
        work.pop_back();
        const Changed &from = changed_.at(n);
        const int32_t cls = from.cls == kUnknown ? given[n] : from.cls;
        const ObjectText &o = from.now.object;
        std::vector<uint32_t> refs, appearance;
        CollectRefs(o.text.get(), {o.body, o.body_end}, &refs);
        if (const DictEntry *ap = from.now.is_dict ? from.now.dict.Find("/AP") : nullptr)
            CollectRefs(o.text.get(), ap->value, &appearance);
        for (uint32_t r : refs) {
            auto it = changed_.find(r);
            if (it == changed_.end() || it->second.cls != kUnknown) continue;
            const bool reachable =
                !it->second.existed ||
                std::find(appearance.begin(), appearance.end(), r) != appearance.end();
            if (!reachable) continue;
            auto g = given.find(r);
            if (g != given.end() && g->second >= cls) continue;
            given[r] = cls;
            work.push_back(r);
        }
    }
    for (auto &[n, c] : changed_)
        if (c.cls == kUnknown && given.count(n)) c.cls = given[n];
}

int32_t Comparison::Run(int32_t *cls, std::vector<uint32_t> *other) {
    *cls = KVPDF_CHANGES_NONE;
    for (size_t i = now_; i < chain_.sections.size() && !root_; ++i)
        root_ = chain_.sections[i].root;
    uint32_t old_root = 0;
    for (const Revision &r : chain_.sections) {
        if (r.offset >= signed_) continue;
        if (!old_root) old_root = r.root;
        if (old_size_ < 0) old_size_ = r.size;
    }
    int32_t rc = Collect();
    if (rc < 0) return rc;
    auto flag = [&](uint32_t n) {
        other->push_back(n);
        *cls = KVPDF_CHANGES_OTHER;
    };
    for (uint32_t n : freed_)
        flag(n); // an object of the signed revision taken away
    if (root_ != old_root) flag(root_);
    Loaded catalog;
    rc = root_ ? Load(false, root_, &catalog) : 0;
    if (rc < 0) return rc;
    if (catalog.is_dict) {
        acroform_ = catalog.dict.Ref("/AcroForm");
        if (uint32_t dss = catalog.dict.Ref("/DSS")) {
            rc = MarkDss(dss);
            if (rc < 0) return rc;
        }
    }
    for (auto &[n, c] : changed_) {
        if (c.cls != kUnknown) continue;
        c.cls = ObjectClass(n, c);
        if (c.cls < kUnknown) return c.cls;
    }
    Propagate();
    for (auto &[n, c] : changed_) {
        // A number beyond the signed revision's /Size that nothing changed refers to is
        // unreachable: no object of the signed revision can name it.
        if (c.cls == kUnknown)
            c.cls = !c.existed && old_size_ >= 0 && n >= old_size_ ? KVPDF_CHANGES_NONE
                                                                   : KVPDF_CHANGES_OTHER;
        if (c.cls == KVPDF_CHANGES_OTHER) other->push_back(n);
        *cls = std::max(*cls, c.cls);
    }
    return 1;
}

int32_t LaterRevisionFailure(Reader r, uint32_t offset, int32_t code) {
    (void)code;
    KV_ERROR(r, KVPDF_ERR_LATER_REVISION, static_cast<unsigned long>(offset));
    return KVPDF_ERR_LATER_REVISION;
}

} // namespace

void AnalyseChanges(RevisionChain &chain, uint32_t signed_length, KvPdfSignatureCheck *out,
                    std::vector<uint32_t> *other) {
    out->changes = KVPDF_CHANGES_NONE;
    out->analysis = 1;
    out->revisions_after = 0;
    bool reached = false;
    for (const Revision &r : chain.sections)
        reached = reached || r.offset < signed_length;
    for (size_t i = 0; i < chain.sections.size(); ++i) {
        const Revision &rev = chain.sections[i];
        if (rev.offset < signed_length) continue;
        ++out->revisions_after;
        int32_t rc = rev.failure;
        int32_t cls = KVPDF_CHANGES_OTHER;
        if (rc == 0 && !reached) {
            // The later revisions do not build on the signed one: a new document.
            rc = KVPDF_ERR_XREF_CONTRADICTION;
            KV_ERROR(chain.reader(), rc, "/Prev");
        }
        if (rc == 0) {
            Comparison c(chain, i, signed_length);
            rc = c.Run(&cls, other);
        }
        if (rc < 0) {
            out->analysis = LaterRevisionFailure(chain.reader(), rev.offset, rc);
            cls = KVPDF_CHANGES_OTHER;
        }
        out->changes = std::max(out->changes, cls);
    }
    // An old section that could not be read leaves the versions signed unknown.
    for (const Revision &r : chain.sections)
        if (out->revisions_after && r.offset < signed_length && r.failure < 0) {
            out->analysis = LaterRevisionFailure(chain.reader(), r.offset, r.failure);
            out->changes = KVPDF_CHANGES_OTHER;
        }
    std::sort(other->begin(), other->end());
    other->erase(std::unique(other->begin(), other->end()), other->end());
}

namespace {

// /P of the DocMDP transform among the dictionary's /Reference entries; 0 when none.
int32_t ReferenceDocMdp(RevisionChain &chain, const Dict &sig, uint32_t limit) {
    const DictEntry *e = sig.Find("/Reference");
    std::vector<Span> items;
    if (!e || !ParseArray(sig.text, e->value.end, e->value.begin, &items)) return 0;
    for (const Span &s : items) {
        Loaded holder;
        Dict ref;
        ref.text = sig.text;
        if (uint32_t n = RefOf(sig.text, s)) {
            if (chain.ReadObject(0, n, &holder.object, limit) != 1) continue;
            Parse(&holder);
            ref = holder.dict;
        } else if (!ParseDict(sig.text, s.end, s.begin, &ref.entries)) {
            continue;
        }
        if (ref.Value("/TransformMethod") != "/DocMDP") continue;
        Loaded params_holder;
        Dict params;
        params.text = ref.text;
        const DictEntry *p = ref.Find("/TransformParams");
        if (p) {
            if (uint32_t n = RefOf(ref.text, p->value)) {
                if (chain.ReadObject(0, n, &params_holder.object, limit) == 1) {
                    Parse(&params_holder);
                    params = params_holder.dict;
                }
            } else {
                (void)ParseDict(ref.text, p->value.end, p->value.begin, &params.entries);
            }
        }
        const std::string v = params.Value("/P");
        return v == "1" || v == "3" ? v[0] - '0' : 2;
    }
    return 0;
}

// The certification level the signed revision gives the signature (ISO 32000-1, 12.8.2.2).
int32_t DocMdp(RevisionChain &chain, uint32_t sig_dict, const Dict &sig, uint32_t signed_length) {
    int32_t p = ReferenceDocMdp(chain, sig, signed_length);
    if (p) return p;
    uint32_t root = 0;
    for (const Revision &r : chain.sections)
        if (r.offset < signed_length && (root = r.root) != 0) break;
    Loaded catalog;
    if (!root || chain.ReadObject(0, root, &catalog.object, signed_length) != 1) return 0;
    Parse(&catalog);
    Loaded perms_holder;
    Dict perms;
    perms.text = catalog.dict.text;
    const DictEntry *e = catalog.is_dict ? catalog.dict.Find("/Perms") : nullptr;
    if (!e) return 0;
    if (uint32_t n = RefOf(catalog.dict.text, e->value)) {
        if (chain.ReadObject(0, n, &perms_holder.object, signed_length) != 1) return 0;
        Parse(&perms_holder);
        perms = perms_holder.dict;
    } else {
        (void)ParseDict(catalog.dict.text, e->value.end, e->value.begin, &perms.entries);
    }
    return perms.Ref("/DocMDP") == sig_dict ? 2 : 0;
}

int32_t CheckOne(PdfDocument *doc, const SignatureInfo &info, KvPdfSignatureCheck *out,
                 std::vector<uint32_t> *other) {
    ParsedDocument parsed;
    InitParsed(&parsed);
    struct Guard {
        ParsedDocument *p;
        ~Guard() { ReleaseParsed(p); }
    } guard{&parsed};
    Reader r{parsed, doc->errors, FileAccess(doc), kModeFindSignatures};
    PdfFile file(r.files, r.files.open(doc->settings.src_path, "rb"));
    if (!file) {
        KV_ERROR(r, KVPDF_ERR_OPEN_INPUT);
        return KVPDF_ERR_OPEN_INPUT;
    }
    RevisionChain chain(r, file.get());
    // The record of the last operation serves only to pass a damaged section, and only
    // when it describes this very file.
    const ParsedDocument *known = !ReadsOutput(doc->mode) ? &doc->parsed : nullptr;
    int32_t rc = chain.Read(known);
    if (rc < 0 && chain.sections.empty()) return rc;
    // The signature dictionary as the file now names it: the field's own /V.
    Loaded field, sig;
    char role[48];
    snprintf(role, sizeof role, "the field of signature %lu",
             static_cast<unsigned long>(info.field_obj));
    rc = chain.ReadObject(0, info.field_obj, &field.object);
    if (rc == 0)
        return KV_FAIL(r, KVPDF_ERR_OBJECT_MISSING, KVPDF_ERR_STAGE_SIGANNOT,
                       static_cast<unsigned long>(info.field_obj), role);
    if (rc < 0) return rc;
    Parse(&field);
    const uint32_t v = field.is_dict ? field.dict.Ref("/V") : 0;
    if (!v)
        return KV_FAIL(r, KVPDF_ERR_OBJECT_KIND, KVPDF_ERR_STAGE_SIGANNOT,
                       static_cast<unsigned long>(info.field_obj), "a signature field",
                       "object without a /V reference");
    rc = chain.ReadObject(0, v, &sig.object);
    snprintf(role, sizeof role, "/V of field %lu", static_cast<unsigned long>(info.field_obj));
    if (rc == 0)
        return KV_FAIL(r, KVPDF_ERR_OBJECT_MISSING, KVPDF_ERR_STAGE_SIGANNOT,
                       static_cast<unsigned long>(v), role);
    if (rc < 0) return rc;
    Parse(&sig);
    if (!sig.is_dict)
        return KV_FAIL(r, KVPDF_ERR_OBJECT_KIND, KVPDF_ERR_STAGE_SIGANNOT,
                       static_cast<unsigned long>(v), role, "not a dictionary");
    uint32_t range[4];
    out->byte_range = CheckByteRange(chain, sig.object, range);
    const uint64_t end = uint64_t{range[2]} + range[3];
    out->signed_length = out->byte_range == KVPDF_RANGE_MALFORMED || end > 0xFFFFFFFFu
                             ? 0
                             : static_cast<uint32_t>(end);
    if (out->byte_range == KVPDF_RANGE_MALFORMED) {
        // Without a signed length there is no revision signed to compare with.
        out->analysis = 1;
        out->changes = KVPDF_CHANGES_OTHER;
        return 1;
    }
    AnalyseChanges(chain, out->signed_length, out, other);
    out->docmdp = DocMdp(chain, v, sig.dict, out->signed_length);
    if (out->docmdp) {
        const int32_t allowed = out->docmdp == 1   ? KVPDF_CHANGES_VALIDATION
                                : out->docmdp == 2 ? KVPDF_CHANGES_FORM_FILLING
                                                   : KVPDF_CHANGES_ANNOTATIONS;
        out->docmdp_violated = out->changes > allowed ? 1 : 0;
    }
    return 1;
}

} // namespace

void ReleaseCheck(PdfDocument *doc) {
    TrackedFreeT(doc->checked_objects);
}

} // namespace kvpdf

using namespace kvpdf;

extern "C" {

KVPDF_API int32_t KVPDF_CALL KvPdfCheckSignature(KvPdfHandle handle, int32_t index,
                                                 KvPdfSignatureCheck *out) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    ReleaseCheck(doc);
    int32_t error = 0;
    if (!out) return 0;
    memset(out, 0, sizeof *out);
    if (!PdfCheckSignatureIndex(doc->found, &index, &error)) return 0;
    try {
        std::vector<uint32_t> other;
        int32_t rc = CheckOne(doc, doc->found.signatures[index], out, &other);
        if (rc < 1) {
            memset(out, 0, sizeof *out);
            out->analysis = rc;
            return rc;
        }
        if (!other.empty()) {
            auto *list = static_cast<uint32_t *>(
                TrackedAlloc(KV_UNIT, __LINE__, other.size() * sizeof(uint32_t)));
            if (!list) {
                KV_ERROR(doc, KVPDF_ERR_OBJECT_TABLE_MEMORY);
                return KVPDF_ERR_OBJECT_TABLE_MEMORY;
            }
            memcpy(list, other.data(), other.size() * sizeof(uint32_t));
            doc->checked_objects = list;
            out->other_objects = list;
            out->other_count = static_cast<uint32_t>(other.size());
        }
        return 1;
    } catch (const std::bad_alloc &) {
        memset(out, 0, sizeof *out);
        KV_ERROR(doc, KVPDF_ERR_OBJECT_TABLE_MEMORY);
        return KVPDF_ERR_OBJECT_TABLE_MEMORY;
    }
}

} // extern "C"
