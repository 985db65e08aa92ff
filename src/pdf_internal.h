// SPDX-License-Identifier: Apache-2.0
// The incremental update writer and the objects of a signature update: signature and
// document-timestamp dictionaries, widgets, appearances and the Kontir note.
//
// Every writer appends to the update's out_buffer; offsets are computed as if that text
// already stood at contents_end in the file. Writers return 1, or 0 with *err set to
// the negative code (a failed append records -90).
#ifndef KVPDF_PDF_INTERNAL_H
#define KVPDF_PDF_INTERNAL_H

#include "pdf_document.h"
#include "pdf_mem.h"

#include <cstdint>
#include <ctime>

namespace kvpdf {

// Records code, stores it in *err and gives 0: the writers' way to fail.
[[nodiscard]] int WriterFailed(ErrorRing *ring, int32_t *err, int32_t code, const char *unit,
                               int line);
#define KV_WRITE_FAIL(w, err, code)                                                                \
    ::kvpdf::WriterFailed(::kvpdf::RingOf(w), (err), (code), KV_UNIT, __LINE__)

// ---------------------------------------------------------------- the plan

// Which appearance a signature update writes, decided once for the planner and the
// writers alike.
[[nodiscard]] SignatureLayout LayoutOf(const HostSettings &settings, const LogoImage *logo,
                                       int32_t mode);
// Every object number of a signature or timestamp update, in the order the writers
// allocate them (ISO 32000-1 leaves the numbering to the writer; the page and form
// rewritten by the walk must name these numbers before the objects exist).
[[nodiscard]] UpdatePlan PlanSignatureUpdate(const ParsedDocument &parsed,
                                             const HostSettings &settings, const LogoImage *logo,
                                             int32_t mode);

// ---------------------------------------------------------------- update writer

// Starts an update: no new objects, numbers from trailer_size on, an empty text.
void BeginUpdate(UpdateWriter &w);
// Hands out the next object number and notes its offset (the current end of the
// update text); debug builds check it is the planned one. 0 when the table cannot grow.
[[nodiscard]] uint32_t AllocateObjectNumber(UpdateWriter &w, uint32_t planned);
// "n 0 obj\n" (or "n 0 obj\n<<") for the next number, which must be planned. Returns the
// number, or 0 with *err set.
[[nodiscard]] uint32_t BeginObject(UpdateWriter &w, uint32_t planned, int32_t *err);
[[nodiscard]] uint32_t BeginDictObject(UpdateWriter &w, uint32_t planned, int32_t *err);
[[nodiscard]] int EndObject(UpdateWriter &w, int32_t *err);
[[nodiscard]] int EndDictObject(UpdateWriter &w, int32_t *err);
[[nodiscard]] int EndStreamObject(UpdateWriter &w, int32_t *err);
[[nodiscard]] int AppendText(UpdateWriter &w, int32_t *err, const char *text);
[[nodiscard]] int AppendFormat(UpdateWriter &w, int32_t *err, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(KV_PRINTF, 3, 4)))
#endif
    ;
[[nodiscard]] int AppendBytes(UpdateWriter &w, int32_t *err, uint32_t length, const void *bytes);
// "/Length n >>stream\r\n" and length bytes at data deflated (n of them), compressed
// straight into the update text. A failed compression leaves the text as it was: 0 with
// *err -84 or -85.
[[nodiscard]] int AppendDeflatedStream(UpdateWriter &w, int32_t *err, const uint8_t *data,
                                       uint32_t length);
// The update text's current length, and the file offset it stands for.
[[nodiscard]] uint32_t UpdateLength(const UpdateInProgress &u);
[[nodiscard]] uint32_t UpdateOffset(const UpdateInProgress &u);

// Registers the new text of an existing object; the list takes ownership of text (also
// on failure). length 0 means NUL-terminated.
[[nodiscard]] int AddUpdatedObject(UpdatedObjectList *list, char *text, uint32_t number,
                                   uint32_t length);
// Registers text (owned, length bytes) as the new version of object number; a text
// without its own "n 0 obj" (an object stream's member) gets one. Returns 1, or the code
// recorded (a broken text -218, memory -90 followed by stage).
[[nodiscard]] int32_t AddRewrittenObject(UpdateWriter &w, uint32_t number, char *text,
                                         uint32_t length, int32_t stage);
void SortUpdatedObjects(UpdatedObjectList *list);
[[nodiscard]] int WriteUpdatedObjects(UpdateWriter &w, int32_t *err);
[[nodiscard]] int WriteObjectStream(UpdateWriter &w, int32_t *err);
// Appends the finished update at the end of f, which must still end where the source did.
[[nodiscard]] int32_t AppendUpdateToTarget(UpdateWriter &w, FILE *f);
// Frees the updated objects and their texts.
void FinishUpdate(UpdateInProgress *u);

// Reads the update just built back through the library's own reader, from an image of
// the finished file: the new section must sit on the old chain and list every new and
// rewritten object where it is. Returns 1, or records KVPDF_ERR_READ_BACK with the
// reason; nothing is written either way.
[[nodiscard]] int32_t CheckWrittenRevision(UpdateWriter &w);

// zlib at level 1 into a buffer of compressBound size: the compressed length, or
// -84 (input left over) / -85 (stream not finished).
[[nodiscard]] int64_t PdfDeflate(const uint8_t *input, uint32_t length, uint8_t *output,
                                 uint32_t capacity);
// Deflates into a new tracked block; returns the length or a negative code.
[[nodiscard]] int64_t PdfDeflateBlock(const uint8_t *input, uint32_t length, uint8_t **out);

// ---------------------------------------------------------------- signature objects

// The dictionary's head goes into target (left open for the caller to close), up to
// "/Contents"; the rest, after the reserved value, into the update text.
[[nodiscard]] int WriteSignatureDictionary(UpdateWriter &w, int32_t *err, FILE *target);
[[nodiscard]] int WriteDocTimeStampDictionary(UpdateWriter &w, int32_t *err, FILE *target);
// The widget of the standard and plain layouts; *width and *height receive the box its
// appearance forms use.
[[nodiscard]] int WriteSignatureWidget(UpdateWriter &w, int32_t *err, int32_t *width,
                                       int32_t *height);
[[nodiscard]] int WriteAppearanceImage(UpdateWriter &w, int32_t *err);
[[nodiscard]] int WriteAppearanceForms(UpdateWriter &w, int32_t *err, int32_t width,
                                       int32_t height);
[[nodiscard]] int WriteSigAppxAppearance(UpdateWriter &w, int32_t *err);
[[nodiscard]] int WriteKontirNote(UpdateWriter &w, int32_t *err);
// The image body, by the image-source rule: the record's data, else the appearance file
// of the handle, else the built-in image of the layout (builtin, skipping its header).
[[nodiscard]] int AppendImageBody(UpdateWriter &w, int32_t *err, const unsigned char *builtin,
                                  uint32_t builtin_size, uint32_t skip);
// The number in the new field's name "KvSignature<n>": the sections read, adjusted for
// linearized files and pages that already had annotations.
[[nodiscard]] int32_t FieldNumber(const ParsedDocument &parsed);
// The new field's /T text: the host's name, else "KvSignature<n>" written into numbered.
[[nodiscard]] const char *FieldTitle(const UpdateWriter &w, char (&numbered)[32]);
// With a page asked for, moves the rectangle into that page's crop box (size kept, cut to
// the box's where larger) unless it lies inside already.
void FitIntoPageBox(const UpdateWriter &w, int32_t r[4]);

// The signing time: the handle's fixed time (KVPDF_PROP_FIXED_TIME), else the clock.
[[nodiscard]] time_t CurrentTime(const HostSettings &s);
// "YYYYMMDDhhmmss+hh'00'" for t in local time, the zone from the C library.
void FormatSigningTime(time_t t, char *out, size_t size);

} // namespace kvpdf

#endif
