// Cross-reference data: the classic tables and trailers of the revision chain, the
// cross-reference and object streams, and the per-revision records.
#ifndef KVPDF_PDF_XREF_H
#define KVPDF_PDF_XREF_H

#include "pdf_document.h"

// Offset of the newest section, from the "startxref" value before the last %%EOF;
// -15, -16 or -17 on failure.
int32_t PdfFindStartXref(FILE *file, PdfDocument *doc);
// Reads the section at offset and every older one reached through /Prev. Returns
// trailer_size (> 0) or a negative code.
int32_t PdfReadXref(FILE *file, int32_t offset, PdfDocument *doc, const LogoImage *logo,
                    int suppress_lists);
// 1 classic text loaded; 2 a cross-reference stream's object text loaded; -1 no text;
// -14 positioning failed. *start receives the position of the section's first byte.
int32_t PdfLoadXrefSection(FILE *file, int32_t offset, char **out_text, uint32_t *out_length,
                           uint32_t *start, PdfDocument *doc);
int32_t PdfParseTrailer(FILE *file, uint32_t trailer_position, uint32_t length, PdfDocument *doc);

XrefSection *PdfNewXrefSection(PdfDocument *doc, uint32_t offset);
int PdfAddXrefEntry(PdfDocument *doc, uint32_t offset, uint32_t object);
int PdfAddCompressedEntry(PdfDocument *doc, uint32_t object_stream, uint32_t object,
                          uint32_t index);
int64_t PdfSectionOffsetOf(const XrefSection *section, uint32_t object);
XrefSection *PdfFindSectionOf(PdfDocument *doc, XrefSection *start, uint32_t object,
                              uint32_t *out_offset);
uint32_t PdfFindObjectStream(PdfDocument *doc, uint32_t object, XrefSection *start);
int PdfFreeXref(PdfDocument *doc, DssInfo *block);
// Frees the object offset table and its object-stream index.
void PdfFreeObjectTable(PdfDocument *doc);

// Cross-reference streams and object streams.
int32_t PdfReadXrefStream(FILE *file, char *text, uint32_t text_length, PdfDocument *doc,
                          const LogoImage *logo, int suppress_lists);
int32_t PdfReadCompressedObject(FILE *file, uint32_t object_stream, uint32_t object,
                                char **out_text, uint32_t *out_length, PdfDocument *doc);
int PdfValueWidth(uint32_t value);
void PdfPutXrefStreamEntry(uint8_t type, int width, uint8_t *buffer, uint32_t *position,
                           uint32_t value, uint32_t generation);

// The update's cross-reference section: a classic table after a classic chain, a
// cross-reference stream when any section of the source is one. Ends with startxref.
int WriteUpdateXref(PdfDocument *doc, int32_t *err);

// Shared by both section kinds: sizes the offset table from the first section read.
int32_t PdfStartObjectTable(PdfDocument *doc, int32_t trailer_size, uint32_t entries,
                            const LogoImage *logo);
// Reads the data of a cross-reference stream into entries (internal to the two readers).
int32_t PdfUndoPngPredictor(PdfDocument *doc, uint8_t **data, uint32_t *length, uint32_t colors,
                            uint32_t bits, uint32_t columns);

#endif
