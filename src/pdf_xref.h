// SPDX-License-Identifier: Apache-2.0
// Cross-reference data: the classic tables and trailers of the revision chain, the
// cross-reference and object streams, and the per-revision records.
#ifndef KVPDF_PDF_XREF_H
#define KVPDF_PDF_XREF_H

#include "pdf_document.h"
#include "pdf_mem.h"

#include <utility>
#include <vector>

namespace kvpdf {

// Offset of the newest section, from the "startxref" value before the last %%EOF;
// -15, -16 or -17 on failure.
[[nodiscard]] int32_t PdfFindStartXref(Reader r, FILE *file);
// Reads the section at offset and every older one reached through /Prev. Returns
// trailer_size (> 0) or a negative code.
[[nodiscard]] int32_t PdfReadXref(Reader r, FILE *file, int32_t offset, int suppress_lists);
// 1 classic text loaded; 2 a cross-reference stream's object text loaded; kReadFailed no
// text; KVPDF_ERR_POSITION positioning failed. *start receives the position of the
// section's first byte.
[[nodiscard]] int32_t PdfLoadXrefSection(Reader r, FILE *file, int32_t offset, char **out_text,
                                         uint32_t *out_length, uint32_t *start);
[[nodiscard]] int32_t PdfParseTrailer(Reader r, FILE *file, uint32_t trailer_position,
                                      uint32_t length);

[[nodiscard]] XrefSection *PdfNewXrefSection(ParsedDocument &p, uint32_t offset);
[[nodiscard]] int PdfAddXrefEntry(ParsedDocument &p, uint32_t offset, uint32_t object);
[[nodiscard]] int PdfAddCompressedEntry(ParsedDocument &p, uint32_t object_stream, uint32_t object,
                                        uint32_t index);
[[nodiscard]] int64_t PdfSectionOffsetOf(const XrefSection *section, uint32_t object);
// The section, from start (NULL: the oldest) towards the newest, that lists the object.
[[nodiscard]] XrefSection *PdfFindSectionOf(const ParsedDocument &p, XrefSection *start,
                                            uint32_t object, uint32_t *out_offset);
[[nodiscard]] uint32_t PdfFindObjectStream(const ParsedDocument &p, uint32_t object,
                                           const XrefSection *start);
// Frees the revision records with their DSS records; 1 when block was one of them.
int PdfFreeXref(ParsedDocument &p, const DssInfo *block);
// Frees the object offset table and its object-stream index.
void PdfFreeObjectTable(ParsedDocument &p);

// Cross-reference streams and object streams. The stream reader owns the object text.
[[nodiscard]] int32_t PdfReadXrefStream(Reader r, TrackedPtr<char> text, uint32_t text_length,
                                        int suppress_lists);
// What the dictionary of a cross-reference stream says (ISO 32000-1, 7.5.8.2).
struct XrefStreamDict {
    size_t dict_end = 0; // the "stream" keyword, or the text's end
    uint32_t size = 0;
    TrackedPtr<uint32_t> index; // /Index pairs, or [0 /Size]
    uint32_t index_count = 0;
    uint32_t w[3] = {0, 0, 0};
    uint32_t columns = 1, bits = 8, colors = 1, predictor = 0;
    size_t data_start = 0; // first byte of the stream data
    uint32_t length = 0;   // raw data bytes, cut to what the text holds
};

// The rows of one cross-reference stream as stored, with nothing recorded in the parsed
// document: for readers that need every entry of one section, free ones included.
[[nodiscard]] int32_t PdfDecodeXrefStreamRows(Reader r, const char *text, uint32_t text_length,
                                              XrefStreamDict *d, TrackedPtr<uint8_t> *data,
                                              uint32_t *decoded);
// One big-endian field of a row.
[[nodiscard]] uint64_t PdfXrefStreamField(const uint8_t *p, uint32_t width);
[[nodiscard]] int32_t PdfReadCompressedObject(Reader r, FILE *file, uint32_t object_stream,
                                              uint32_t object, char **out_text,
                                              uint32_t *out_length);
[[nodiscard]] int PdfValueWidth(uint32_t value);
void PdfPutXrefStreamEntry(uint8_t type, int width, uint8_t *buffer, uint32_t *position,
                           uint32_t value, uint32_t generation);

// The update's cross-reference section: a classic table after a classic chain, a
// cross-reference stream when any section of the source is one. Ends with startxref.
[[nodiscard]] int WriteUpdateXref(UpdateWriter &w, int32_t *err);

// The subsections (first object, count) one section lists.
using Subsections = std::vector<std::pair<uint64_t, uint64_t>>;
// Each object listed once, all below the section's /Size (size -1: none to compare
// with). Returns 1, or records KVPDF_ERR_XREF_CONTRADICTION and the stage and returns it.
[[nodiscard]] int32_t PdfCheckSubsections(Reader r, Subsections ranges, int64_t size,
                                          int32_t stage);

// True when the offset table has a row for object: in the modes that only read, the
// table grows for an entry beyond /Size (within the file's bounds).
[[nodiscard]] bool PdfCoversObject(Reader r, uint32_t object);
// Shared by both section kinds: sizes the offset table from the first section read.
[[nodiscard]] int32_t PdfStartObjectTable(Reader r, int32_t trailer_size, uint32_t entries);
[[nodiscard]] int32_t PdfUndoPngPredictor(Reader r, uint8_t **data, uint32_t *length,
                                          uint32_t colors, uint32_t bits, uint32_t columns);

} // namespace kvpdf

#endif
