#include "pdf_error.h"

#include "pdf_mem.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#define KV_UNIT "../src/pdf_error.cpp"

static_assert(sizeof(ErrorEntry) == 1008, "hosts copy the record byte for byte");

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

const char *MessageTemplate(const PdfDocument *doc, int32_t code) {
    if (!doc || (doc->locale != 0 && doc->locale != 1)) return nullptr;
    uint32_t index = Magnitude(code);
    if (index >= static_cast<uint32_t>(kMessageCodes)) index = 0;
    return doc->error_texts[doc->locale][index];
}

int PushError(PdfDocument *doc, int32_t code, const char *unit, int line, ...) {
    if (!doc) return 0;
    int32_t index = doc->last_error_index + 1;
    if (!ValidEntryIndex(index)) index = 0;
    doc->last_error_index = index;
    ErrorEntry &entry = doc->error_entries[index];
    entry.code = code;
    memset(entry.src_file, 0, sizeof entry.src_file);
    if (unit) strncpy(entry.src_file, unit, sizeof entry.src_file - 1);
    entry.line = line;
    const char *format = MessageTemplate(doc, code);
    if (!format) {
        entry.message[0] = '\0';
        return 0;
    }
    va_list args;
    va_start(args, line);
    // vsnprintf cuts a long message to 499 characters and always terminates it.
    vsnprintf(entry.message, sizeof entry.message, format, args);
    va_end(args);
    return 1;
}

extern "C" {

KVPDF_API int32_t KvPdfGetLastErrorIndex(KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    return doc ? doc->last_error_index : -1;
}

KVPDF_API int32_t KvPdfResetErrors(KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return 0;
    doc->last_error_index = -1;
    return 1;
}

KVPDF_API int32_t KvPdfSetLocale(KvPdfHandle handle, int32_t locale) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return 0;
    doc->locale = locale;
    return 1;
}

KVPDF_API int32_t KvPdfInitErrorStr(KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return 0;
    FillMessageTables(doc->error_texts);
    return 1;
}

KVPDF_API const char *KvPdfGetErrorStr(KvPdfHandle handle, int32_t code) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return nullptr;
    if (Magnitude(code) >= static_cast<uint32_t>(kMessageCodes) && doc->locale != 0 &&
        doc->locale != 1) {
        char *text = static_cast<char *>(TrackedAlloc(KV_UNIT, __LINE__, 100));
        if (text) snprintf(text, 100, kFallbackTemplate, 0);
        return text;
    }
    return MessageTemplate(doc, code);
}

KVPDF_API int32_t KvPdfGetError(KvPdfHandle handle, int32_t index, ErrorEntry *entry) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc || !entry || !ValidEntryIndex(index)) return 0;
    memcpy(entry, &doc->error_entries[index], sizeof *entry);
    return 1;
}

KVPDF_API int32_t KvPdfGetFirstErrorString(KvPdfHandle handle, char *buffer) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc || !buffer || doc->last_error_index < 0) return -1;
    memcpy(buffer, doc->error_entries[0].message, sizeof doc->error_entries[0].message);
    buffer[sizeof doc->error_entries[0].message - 1] = '\0';
    return 1;
}

KVPDF_API int32_t KvPdfPrintErrors(KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return 0;
    for (int32_t i = 0; i <= doc->last_error_index && i < kErrorRingSize; ++i) {
        const ErrorEntry &e = doc->error_entries[i];
        printf("Hibakod: %d, hibauzenet: %s\nforras file: %s, sor: %d\n", e.code, e.message,
               e.src_file, e.line);
    }
    fflush(stdout);
    return 1;
}

} // extern "C"
