// SPDX-License-Identifier: Apache-2.0
// The stdio file operations installed in every new handle.
#include "pdf_document.h"
#include "pdf_utils.h"

#include <cstdarg>

namespace kvpdf {
namespace {

FILE *StdioOpen(PdfDocument *, const char *path, const char *mode) {
    return path && mode ? fopen(path, mode) : nullptr;
}

int StdioSeek(PdfDocument *, FILE *file, int64_t offset, int origin) {
    int whence = origin == 2 ? SEEK_END : origin == 1 ? SEEK_CUR : SEEK_SET;
    return PdfSeek(file, offset, whence);
}

int64_t StdioTell(PdfDocument *, FILE *file) {
    return PdfTell(file);
}

size_t StdioRead(PdfDocument *, void *buffer, size_t size, size_t count, FILE *file) {
    return fread(buffer, size, count, file);
}

size_t StdioWrite(PdfDocument *, const void *buffer, size_t size, size_t count, FILE *file) {
    return fwrite(buffer, size, count, file);
}

int StdioClose(PdfDocument *, FILE *file) {
    return fclose(file);
}

int StdioPuts(PdfDocument *, const char *text, FILE *file) {
    return fputs(text, file);
}

int StdioPrintf(PdfDocument *, FILE *file, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int n = vfprintf(file, format, args);
    va_end(args);
    return n;
}

int StdioCopy(PdfDocument *, const char *target, const char *source, const char *mode) {
    return PdfCopyFile(target, source, mode);
}

int StdioEof(PdfDocument *, FILE *file) {
    return feof(file);
}

int StdioFlush(PdfDocument *, FILE *file) {
    return fflush(file);
}

} // namespace

const FileOps kStdioFileOps = {StdioOpen, StdioSeek,   StdioTell, StdioRead, StdioWrite, StdioClose,
                               StdioPuts, StdioPrintf, StdioCopy, StdioEof,  StdioFlush};

} // namespace kvpdf
