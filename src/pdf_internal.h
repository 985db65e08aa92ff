// The incremental update writer and the objects of a signature update: signature and
// document-timestamp dictionaries, widgets, appearances and the Kontir note.
//
// Every writer appends to the handle's out_buffer; offsets are computed as if that text
// already stood at contents_end in the file. Writers return 1, or 0 with *err set to
// the negative code (a failed append records -90).
#ifndef KVPDF_PDF_INTERNAL_H
#define KVPDF_PDF_INTERNAL_H

#include "pdf_document.h"

#include <cstdint>
#include <ctime>

// ---------------------------------------------------------------- update writer

// Starts an update: no new objects, numbers from trailer_size on, an empty text.
void BeginUpdate(PdfDocument *doc);
// Hands out the next object number; with record, notes its offset (the current end of
// the update text). 0 when the table cannot grow.
uint32_t AllocateObjectNumber(PdfDocument *doc, int record);
// "n 0 obj\n" (or "n 0 obj\n<<"). number 0 allocates a new number. Returns the object
// number, or 0 with *err set. *out_offset (optional) receives the object's offset.
uint32_t BeginObject(PdfDocument *doc, uint32_t number, int32_t *err, uint32_t *out_offset);
uint32_t BeginDictObject(PdfDocument *doc, uint32_t number, int32_t *err, uint32_t *out_offset);
int EndObject(PdfDocument *doc, int32_t *err);
int EndDictObject(PdfDocument *doc, int32_t *err);
int EndStreamObject(PdfDocument *doc, int32_t *err);
int AppendText(PdfDocument *doc, int32_t *err, const char *text);
int AppendFormat(PdfDocument *doc, int32_t *err, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
int AppendBytes(PdfDocument *doc, int32_t *err, uint32_t length, const void *bytes);
// The update text's current length, and the file offset it stands for.
uint32_t UpdateLength(const PdfDocument *doc);
uint32_t UpdateOffset(const PdfDocument *doc);

// Registers the new text of an existing object; the list takes ownership of text.
// length 0 means NUL-terminated.
int AddUpdatedObject(PdfDocument *doc, char *text, uint32_t number, uint32_t length);
void SetUpdatedOffset(PdfDocument *doc, uint32_t index, uint32_t value);
int SetUpdatedOffsetByNumber(PdfDocument *doc, uint32_t number, uint32_t value);
void SortUpdatedObjects(PdfDocument *doc);
int WriteUpdatedObjects(PdfDocument *doc, int32_t *err);
int WriteObjectStream(PdfDocument *doc, int32_t *err);
// Frees the updated objects' texts and forgets the rewritten texts of the walk.
void FinishUpdate(PdfDocument *doc);

// zlib at level 1 into a buffer of compressBound size: the compressed length, or
// -84 (input left over) / -85 (stream not finished).
int64_t PdfDeflate(const uint8_t *input, uint32_t length, uint8_t *output, uint32_t capacity);
// Deflates into a new tracked block; returns the length or a negative code.
int64_t PdfDeflateBlock(const uint8_t *input, uint32_t length, uint8_t **out);

// ---------------------------------------------------------------- signature objects

int WriteSignatureDictionary(PdfDocument *doc, int32_t *err, FILE *target);
int WriteDocTimeStampDictionary(PdfDocument *doc, int32_t *err, FILE *target);
int WriteSignatureWidget(PdfDocument *doc, const LogoImage *logo, int32_t *err, int32_t *width,
                         int32_t *height);
int WriteAppearanceImage(PdfDocument *doc, int32_t *err, const LogoImage *logo);
int WriteAppearanceForms(PdfDocument *doc, int32_t *err, int32_t width, int32_t height);
int WriteSigAppxAppearance(PdfDocument *doc, const LogoImage *logo, int32_t *err);
int WriteKontirNote(PdfDocument *doc, int32_t *err);
// The number in the new field's name "KvSignature<n>".
int32_t FieldNumber(const PdfDocument *doc);

namespace kvpdf {

// The signing time: the clock, or a fixed time set by the tests.
time_t CurrentTime();
// Test hook: a fixed signing time (0 returns to the clock).
void SetFixedTime(time_t t);
// "YYYYMMDDhhmmss+hh'00'" for t in local time, the zone from the C library.
void FormatSigningTime(time_t t, char *out, size_t size);

} // namespace kvpdf

#endif
