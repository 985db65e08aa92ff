// SPDX-License-Identifier: Apache-2.0
#include "pdf_error.h"

#include "pdf_mem.h"

#include <cstdio>
#include <cstring>

#define KV_UNIT "../src/pdf_error.cpp"

static_assert(sizeof(ErrorEntry) == 1008, "hosts copy the record byte for byte");

namespace kvpdf {
namespace {

constexpr const char kFallbackTemplate[] =
    "Hibakod: %d, hibauzenet: Ismeretlen hiba - tul nagy hiba index\n";

uint32_t Magnitude(int32_t code) {
    return code < 0 ? 0u - static_cast<uint32_t>(code) : static_cast<uint32_t>(code);
}

bool ValidEntryIndex(int32_t index) {
    return index >= 0 && index < kErrorRingSize;
}

} // namespace

void InitErrors(ErrorRing *errors) {
    memset(errors, 0, sizeof *errors);
    errors->last_error_index = -1;
    FillMessageTables(errors->error_texts);
    errors->locale = KVPDF_LOCALE_HU;
}

void ResetErrors(ErrorRing *ring) {
    ring->last_error_index = -1;
}

const char *MessageTemplate(const ErrorRing *ring, int32_t code) {
    if (!ring || (ring->locale != 0 && ring->locale != 1)) return nullptr;
    uint32_t index = Magnitude(code);
    if (index >= static_cast<uint32_t>(kMessageCodes)) index = 0;
    return ring->error_texts[ring->locale][index];
}

int PushErrorV(ErrorRing *ring, int32_t code, const char *unit, int line, va_list args) {
    if (!ring) return 0;
    int32_t index = ring->last_error_index + 1;
    if (!ValidEntryIndex(index)) index = 0;
    ring->last_error_index = index;
    ErrorEntry &entry = ring->error_entries[index];
    entry.code = code;
    memset(entry.src_file, 0, sizeof entry.src_file);
    if (unit) strncpy(entry.src_file, unit, sizeof entry.src_file - 1);
    entry.line = line;
    const char *format = MessageTemplate(ring, code);
    if (!format) {
        entry.message[0] = '\0';
        return 0;
    }
    // vsnprintf cuts a long message to 499 characters and always terminates it.
    vsnprintf(entry.message, sizeof entry.message, format, args);
    return 1;
}

int PushError(ErrorRing *ring, int32_t code, const char *unit, int line, ...) {
    va_list args;
    va_start(args, line);
    int found = PushErrorV(ring, code, unit, line, args);
    va_end(args);
    return found;
}

int32_t RecordFailure(ErrorRing *ring, int32_t code, int32_t stage, int32_t result,
                      const char *unit, int line, ...) {
    va_list args;
    va_start(args, line);
    PushErrorV(ring, code, unit, line, args);
    va_end(args);
    PushError(ring, stage, unit, line);
    return result;
}

} // namespace kvpdf

using namespace kvpdf;

extern "C" {

KVPDF_API int32_t KVPDF_CALL KvPdfGetLastErrorIndex(KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    return doc ? doc->errors.last_error_index : KVPDF_ERR_NULL_HANDLE;
}

KVPDF_API int32_t KVPDF_CALL KvPdfResetErrors(KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return 0;
    ResetErrors(&doc->errors);
    return 1;
}

KVPDF_API int32_t KVPDF_CALL KvPdfSetLocale(KvPdfHandle handle, int32_t locale) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return 0;
    doc->errors.locale = locale;
    return 1;
}

KVPDF_API int32_t KVPDF_CALL KvPdfInitErrorStr(KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return 0;
    FillMessageTables(doc->errors.error_texts);
    return 1;
}

KVPDF_API const char *KVPDF_CALL KvPdfGetErrorStr(KvPdfHandle handle, int32_t code) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return nullptr;
    if (Magnitude(code) >= static_cast<uint32_t>(kMessageCodes) && doc->errors.locale != 0 &&
        doc->errors.locale != 1) {
        char *text = static_cast<char *>(TrackedAlloc(KV_UNIT, __LINE__, 100));
        if (text) snprintf(text, 100, kFallbackTemplate, 0);
        return text;
    }
    return MessageTemplate(&doc->errors, code);
}

KVPDF_API int32_t KVPDF_CALL KvPdfGetError(KvPdfHandle handle, int32_t index, ErrorEntry *entry) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc || !entry || !ValidEntryIndex(index)) return 0;
    memcpy(entry, &doc->errors.error_entries[index], sizeof *entry);
    return 1;
}

KVPDF_API int32_t KVPDF_CALL KvPdfGetFirstErrorString(KvPdfHandle handle, char *buffer) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc || !buffer || doc->errors.last_error_index < 0) return KVPDF_ERR_NULL_HANDLE;
    const ErrorEntry &first = doc->errors.error_entries[0];
    memcpy(buffer, first.message, sizeof first.message);
    buffer[sizeof first.message - 1] = '\0';
    return 1;
}

KVPDF_API int32_t KVPDF_CALL KvPdfPrintErrors(KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return 0;
    for (int32_t i = 0; i <= doc->errors.last_error_index && i < kErrorRingSize; ++i) {
        const ErrorEntry &e = doc->errors.error_entries[i];
        printf("Hibakod: %d, hibauzenet: %s\nforras file: %s, sor: %d\n", e.code, e.message,
               e.src_file, e.line);
    }
    fflush(stdout);
    return 1;
}

} // extern "C"
