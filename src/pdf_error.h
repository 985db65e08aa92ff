// The handle's error ring and message tables.
#ifndef KVPDF_PDF_ERROR_H
#define KVPDF_PDF_ERROR_H

#include "pdf_document.h"

// Records one entry: code, unit, line and the code's message formatted with the
// arguments (printf conventions). Returns 1 when a message template was found.
int PushError(PdfDocument *doc, int32_t code, const char *unit, int line, ...);

// Records an error from the unit named by KV_UNIT, which each source file defines.
#define KV_ERROR(doc, code, ...) PushError((doc), (code), KV_UNIT, __LINE__, ##__VA_ARGS__)

// Fills the two message rows (0 Hungarian, 1 English) of a handle.
void FillMessageTables(const char *(*texts)[kMessageCodes]);

// The message template of a code in the handle's locale, NULL when there is none.
const char *MessageTemplate(const PdfDocument *doc, int32_t code);

#endif
