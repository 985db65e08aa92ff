// The walk over the document structure, and the signature-field reader it runs.
#ifndef KVPDF_PDFSIGN_WALK_H
#define KVPDF_PDFSIGN_WALK_H

#include "pdf_document.h"

// Walks catalog, first page, form, annotations, an existing Document Security Store
// and /Names; in writing modes prepares the rewritten objects. Returns >= 1 or a code.
int32_t ProcessObjects(FILE *file, int32_t root, int32_t skip_page, PdfDocument *doc);
int32_t ProcessRoot(FILE *file, const char *catalog, uint32_t length, PdfDocument *doc);
int32_t FindFirstPage(FILE *file, int32_t node, PdfDocument *doc);
int32_t ProcessPage(FILE *file, int32_t page, PdfDocument *doc);
// Reads the reference array under key: inline, or an array object of its own
// (*array_obj then receives its number, else -1). *end is the index of the closing
// bracket in the text the array was read from. Returns 1, -125 when the key is
// absent, -1 when an array object cannot be read.
int32_t LocateRefArray(FILE *file, PdfDocument *doc, const char *text, uint32_t length,
                       const char *key, int32_t *array_obj, uint32_t **list, uint32_t *count,
                       uint32_t *end, char **array_text, uint32_t *array_length);
// Reads the object numbers of references from text (just after '[') up to the matching
// ']'; *end is that bracket's index. Returns 1, 0 when memory is short.
int ParseRefArray(const char *text, uint32_t length, uint32_t **list, uint32_t *count,
                  uint32_t *end);
// Appends one SignatureInfo for a signed signature field; returns its contents offset
// (>= 1), -32 (no /V), -33 (no /Contents) or a read code.
int32_t ProcessSignatureAnnot(FILE *file, uint32_t object, PdfDocument *doc);
// Runs the signature-field reader over a list; stops at the first result below 1.
int32_t ReadSignatureList(FILE *file, const uint32_t *list, uint32_t count, PdfDocument *doc);

#endif
