// SPDX-License-Identifier: Apache-2.0
// Complete signature discovery, an opt-in of the handle. The default search reads the
// first page's annotations and the form's top-level fields and ends at the first entry
// that is not a signed signature field; a host that verifies needs every signature: the
// whole field tree, then the signature widgets of every page that the form does not
// name (document timestamps on no page included), each once, in signing order.
#include "pdf_error.h"
#include "pdf_mem.h"
#include "pdf_utils.h"
#include "pdf_value.h"
#include "pdfsign_walk.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#define KV_UNIT "../src/pdfsign_discover.cpp"

namespace kvpdf {
namespace {

// Real forms nest a few levels; a deeper tree is damage or a trap, never data.
constexpr int kMaxFieldDepth = 100;
constexpr int kMaxPageTreeDepth = 64;

// What one object was met as, so that a cycle or a second listing ends at the first.
enum : uint8_t { kFieldNode = 1, kPageNode = 2, kAnnotation = 4 };

// An object's dictionary by its top-level entries; empty for anything else. A damaged
// dictionary still answers with the entries before the damage.
Dict Parse(const Text &object) {
    return ParseObjectDict(object.data.get(), object.length);
}

class Discovery {
public:
    Discovery(Walk &walk, FILE *file) : walk_(walk), r_(walk.r), file_(file) {}

    int32_t Run() {
        const ParsedDocument &p = r_.parsed;
        seen_.assign(p.object_offsets_count, 0);
        FieldTree(p.field_refs, p.field_count);
        if (failed_) return failed_;
        PageTree(static_cast<uint32_t>(p.pages_obj));
        if (failed_) return failed_;
        FoundSignatures &found = *walk_.found;
        // Signing order: each signature's value lies after the revisions it signs.
        std::stable_sort(found.signatures + found.operation_start,
                         found.signatures + found.signature_count,
                         [](const SignatureInfo &a, const SignatureInfo &b) {
                             return a.contents_offset < b.contents_offset;
                         });
        if (found.signature_count > found.operation_start) return 1;
        return KV_FAIL(r_, KVPDF_ERR_NO_SIGNATURE, KVPDF_ERR_STAGE_SIGANNOT);
    }

private:
    struct Node {
        uint32_t object;
        int8_t signature; // /FT inherited: 1 /Sig, 0 another type, -1 none yet
        int depth;
    };

    // Marks object as met in role; false when it was met so before or is no object.
    bool Mark(uint32_t object, uint8_t role) {
        if (object == 0 || object >= seen_.size() || (seen_[object] & role)) return false;
        seen_[object] |= role;
        return true;
    }

    bool Read(uint32_t object, const char *role, Text *text) {
        if (ReadText(r_, file_, static_cast<int32_t>(object), text) >= 1 && text->length > 0)
            return true;
        KV_ERROR(r_, KVPDF_ERR_FIELD_UNREADABLE, static_cast<unsigned long>(object), role);
        return false;
    }

    // The references of an inline array value, or of the array object it names.
    std::vector<uint32_t> References(const Dict &d, const char *key) {
        uint32_t unreadable = 0;
        std::vector<uint32_t> out = RefList(r_, file_, d, key, &unreadable);
        if (unreadable)
            KV_ERROR(r_, KVPDF_ERR_FIELD_UNREADABLE, static_cast<unsigned long>(unreadable),
                     "array");
        return out;
    }

    void TooDeep(uint32_t object) {
        if (depth_reported_) return;
        depth_reported_ = true;
        KV_ERROR(r_, KVPDF_ERR_FIELD_DEPTH, kMaxFieldDepth, static_cast<unsigned long>(object));
    }

    // A signed signature field: field's /V names the signature dictionary.
    void Signed(uint32_t field, uint32_t sig) {
        int32_t rc =
            sig ? AddSignature(r_, walk_.found, file_, field, sig) : KVPDF_ERR_NO_SIG_OBJECT;
        if (rc == KVPDF_ERR_BUFFER || rc == KVPDF_ERR_OBJECT_TABLE_MEMORY) {
            failed_ = rc;
        } else if (rc == KVPDF_ERR_NO_SIG_OBJECT || rc == KVPDF_ERR_NO_SIG_CONTENTS) {
            KV_ERROR(r_, KVPDF_ERR_SIGNATURE_VALUE, static_cast<unsigned long>(field));
        }
        // Other results keep their record (a malformed /ByteRange is the verifier's to
        // report) or were recorded by the reader.
    }

    // /FT as the field gives it: 1 /Sig, 0 another type, -1 none (inherited).
    static int8_t FieldType(const Dict &d) {
        if (!d.Find("/FT")) return -1;
        return static_cast<int8_t>(d.Value("/FT") == "/Sig");
    }

    void FieldTree(const uint32_t *top, uint32_t count) {
        std::vector<Node> stack;
        for (uint32_t i = count; i > 0; --i)
            stack.push_back({top[i - 1], -1, 0});
        while (!stack.empty() && !failed_) {
            const Node node = stack.back();
            stack.pop_back();
            Text text;
            if (!Mark(node.object, kFieldNode) || !Read(node.object, "field", &text)) continue;
            const Dict d = Parse(text);
            const int8_t own = FieldType(d);
            const int8_t signature = own >= 0 ? own : node.signature;
            if (signature == 1 && d.Find("/V")) Signed(node.object, d.Ref("/V"));
            if (!d.Find("/Kids")) continue;
            if (node.depth + 1 > kMaxFieldDepth) {
                TooDeep(node.object);
                continue;
            }
            std::vector<uint32_t> list = References(d, "/Kids");
            for (size_t i = list.size(); i > 0; --i)
                stack.push_back({list[i - 1], signature, node.depth + 1});
        }
    }

    // A widget the field tree did not reach: the nearest /FT and /V up its /Parent chain.
    void Widget(uint32_t annotation) {
        if (!Mark(annotation, kAnnotation) || (seen_[annotation] & kFieldNode)) return;
        Text text;
        if (!Read(annotation, "annotation", &text)) return;
        Dict d = Parse(text);
        if (d.Find("/Subtype") && d.Value("/Subtype") != "/Widget") return;
        int8_t signature = -1;
        uint32_t holder = 0, sig = 0;
        uint32_t object = annotation;
        for (int depth = 0; object; ++depth) {
            if (depth > kMaxFieldDepth) {
                TooDeep(object);
                return;
            }
            if (depth > 0) {
                // A parent the field tree holds was searched there.
                if (object >= seen_.size() || (seen_[object] & kFieldNode)) return;
                if (!Read(object, "field", &text)) return;
                d = Parse(text);
            }
            if (signature < 0) signature = FieldType(d);
            if (!holder && d.Find("/V")) {
                holder = object;
                sig = d.Ref("/V");
            }
            if (signature >= 0 && holder) break;
            const uint32_t next = d.Ref("/Parent");
            object = next == object ? 0 : next;
        }
        if (signature == 1 && holder) Signed(holder, sig);
    }

    void PageTree(uint32_t root) {
        std::vector<std::pair<uint32_t, int>> stack{{root, 0}};
        while (!stack.empty() && !failed_) {
            const auto [node, depth] = stack.back();
            stack.pop_back();
            Text text;
            if (!Mark(node, kPageNode) || !Read(node, "page", &text)) continue;
            const Dict d = Parse(text);
            if (d.Find("/Kids")) {
                if (depth + 1 > kMaxPageTreeDepth) continue;
                std::vector<uint32_t> list = References(d, "/Kids");
                for (size_t i = list.size(); i > 0; --i)
                    stack.emplace_back(list[i - 1], depth + 1);
                continue;
            }
            for (uint32_t annotation : References(d, "/Annots")) {
                if (failed_) break;
                Widget(annotation);
            }
        }
    }

    Walk &walk_;
    Reader r_;
    FILE *file_;
    std::vector<uint8_t> seen_;
    bool depth_reported_ = false;
    int32_t failed_ = 0; // a memory failure ends the search
};

} // namespace

int32_t DiscoverSignatures(Walk &walk, FILE *file) {
    try {
        return Discovery(walk, file).Run();
    } catch (const std::bad_alloc &) {
        return KV_FAIL(walk.r, KVPDF_ERR_BUFFER, KVPDF_ERR_STAGE_SIGANNOT);
    }
}

} // namespace kvpdf
