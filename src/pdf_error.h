// SPDX-License-Identifier: Apache-2.0
// The handle's error ring and message tables, and the one way a stage fails.
#ifndef KVPDF_PDF_ERROR_H
#define KVPDF_PDF_ERROR_H

#include "pdf_document.h"

#include <cstdarg>

namespace kvpdf {

// Where an error goes: a handle (none when it is absent), or a stage's view of one.
inline ErrorRing *RingOf(PdfDocument *doc) {
    return doc ? &doc->errors : nullptr;
}
inline ErrorRing *RingOf(ErrorRing *ring) {
    return ring;
}
inline ErrorRing *RingOf(const Reader r) {
    return &r.errors;
}
inline ErrorRing *RingOf(const UpdateWriter &w) {
    return &w.errors;
}

// Records one entry: code, unit, line and the code's message formatted with the
// arguments (printf conventions). Returns 1 when a message template was found.
int PushError(ErrorRing *ring, int32_t code, const char *unit, int line, ...);
int PushErrorV(ErrorRing *ring, int32_t code, const char *unit, int line, va_list args);
// The one way a stage fails: records the specific code (with the message arguments),
// then the code of the stage it happened in, and returns result.
[[nodiscard]] int32_t RecordFailure(ErrorRing *ring, int32_t code, int32_t stage, int32_t result,
                                    const char *unit, int line, ...);

// All record from the unit named by KV_UNIT, which each source file defines. KV_FAIL
// returns the specific code; KV_FAIL_AS returns the code of the step below that failed
// (a reader's own result), which the caller passes on.
#define KV_ERROR(target, code, ...)                                                                \
    ::kvpdf::PushError(::kvpdf::RingOf(target), (code), KV_UNIT, __LINE__, ##__VA_ARGS__)
#define KV_FAIL(target, code, stage, ...)                                                          \
    ::kvpdf::RecordFailure(::kvpdf::RingOf(target), (code), (stage), (code), KV_UNIT, __LINE__,    \
                           ##__VA_ARGS__)
#define KV_FAIL_AS(target, code, stage, result)                                                    \
    ::kvpdf::RecordFailure(::kvpdf::RingOf(target), (code), (stage), (result), KV_UNIT, __LINE__)

// Empties the ring: the entries stay, the index says none is in use.
void ResetErrors(ErrorRing *ring);

// Fills the two message rows (0 Hungarian, 1 English).
void FillMessageTables(const char *(*texts)[kMessageCodes]);

// The message template of a code in the ring's locale, NULL when there is none.
const char *MessageTemplate(const ErrorRing *ring, int32_t code);

} // namespace kvpdf

#endif
