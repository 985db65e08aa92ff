// Signature-appearance files: the loader shared by KvPDFSetLogo and the appearance
// writers.
#ifndef KVPDF_PDFSIGN_PROPS_H
#define KVPDF_PDFSIGN_PROPS_H

#include "pdf_document.h"

// Reads an appearance file: its header's box size (/KvImgHeight, /KvImgWidth) and the
// image object that follows. Returns 1, -70 (cannot open) or -72 (cannot read, or no
// /KvImgWidth); records them when a handle is given. The data is a new tracked block.
int32_t LoadAppearanceFile(const char *path, uint8_t **out_data, uint32_t *out_length,
                           PdfDocument *doc, LogoImage *logo);
// /Height and /Width of an image object text, into the places, the handle and the record.
void ReadImageSize(const char *text, uint32_t length, int32_t *height, int32_t *width,
                   PdfDocument *doc, LogoImage *logo);

#endif
