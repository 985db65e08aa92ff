// SPDX-License-Identifier: Apache-2.0
// The walk over the document structure, and the signature-field reader it runs.
#ifndef KVPDF_PDFSIGN_WALK_H
#define KVPDF_PDFSIGN_WALK_H

#include "pdf_document.h"
#include "pdf_mem.h"
#include "pdf_value.h"

#include <vector>

namespace kvpdf {

// What the walk may touch: it reads through the reader; in the modes that read
// signatures it fills the found list, in the modes that place a signature it registers
// the rewritten page, form or catalog, naming the objects of the update's plan.
struct Walk {
    Reader r;
    FoundSignatures *found;      // modes that read signatures, else NULL
    const UpdatePlan *plan;      // modes that place a signature, else NULL
    UpdatedObjectList *rewrites; // with plan
    bool find_all = false;       // complete signature discovery instead of the first page's
    bool inline_names = false;   // a write of attachments may replace an inline /Names
};

// An object's text as the walk reads it.
struct Text {
    TrackedPtr<char> data;
    uint32_t length = 0;
};
// Reads object's text; a code below 1 when it cannot (a compressed object its stream
// does not hold is recorded).
[[nodiscard]] int32_t ReadText(Reader r, FILE *file, int32_t object, Text *out);
// The object numbers of key's array value: inline, or the array object it names (none
// when that cannot be read or is empty; *unreadable, when given, then names it).
[[nodiscard]] std::vector<uint32_t> RefList(Reader r, FILE *file, const Dict &d, const char *key,
                                            uint32_t *unreadable = nullptr);
// Reads "n 0 R" (any white space) at index: the object number, or 0.
[[nodiscard]] uint32_t ReferenceAt(const char *text, uint32_t length, size_t index);

// Walks catalog, first page, form, annotations, an existing Document Security Store
// and /Names. Returns >= 1 or a code.
[[nodiscard]] int32_t ProcessObjects(Walk &walk, FILE *file, int32_t root, int32_t skip_page);
// The page tree root's number, or a code.
[[nodiscard]] int32_t ProcessRoot(Walk &walk, FILE *file, const char *catalog, uint32_t length);
[[nodiscard]] int32_t FindFirstPage(Reader r, FILE *file, int32_t node);
[[nodiscard]] int32_t ProcessPage(Walk &walk, FILE *file, int32_t page);
// Reads the reference array under key: inline, or an array object of its own
// (*array_obj then receives its number, else -1). *end is the index of the closing
// bracket in the text the array was read from. Returns 1, KVPDF_ERR_NO_FIELD when the
// key is absent, kReadFailed when an array object cannot be read.
[[nodiscard]] int32_t LocateRefArray(Reader r, FILE *file, const char *text, uint32_t length,
                                     const char *key, int32_t *array_obj, uint32_t **list,
                                     uint32_t *count, uint32_t *end, char **array_text,
                                     uint32_t *array_length);
// Reads the object numbers of references from text (just after '[') up to the matching
// ']'; *end is that bracket's index. Returns 1, 0 when memory is short.
[[nodiscard]] int ParseRefArray(const char *text, uint32_t length, uint32_t **list, uint32_t *count,
                                uint32_t *end);
// Appends one SignatureInfo for a signed signature field; returns its contents offset
// (>= 1), -32 (no /V), -33 (no /Contents) or a read code.
[[nodiscard]] int32_t ProcessSignatureAnnot(Reader r, FoundSignatures *found, FILE *file,
                                            uint32_t object);
// Appends the record of field whose /V names signature dictionary sig; the same results.
[[nodiscard]] int32_t AddSignature(Reader r, FoundSignatures *found, FILE *file, uint32_t field,
                                   uint32_t sig);
// Every signed signature field and document timestamp, in signing order; 1, or
// KVPDF_ERR_NO_SIGNATURE when there is none, or a memory code.
[[nodiscard]] int32_t DiscoverSignatures(Walk &walk, FILE *file);
// Runs the signature-field reader over a list; stops at the first result below 1.
[[nodiscard]] int32_t ReadSignatureList(Reader r, FoundSignatures *found, FILE *file,
                                        const uint32_t *list, uint32_t count);

} // namespace kvpdf

#endif
