// SPDX-License-Identifier: Apache-2.0
// Object access, token scanning, and the file and text utilities every unit shares.
//
// Objects are read as raw text up to their terminator and values are found by plain
// key search. Every scanner takes the text's length and never reads past it: a value
// whose delimiter is missing counts as absent.
#ifndef KVPDF_PDF_UTILS_H
#define KVPDF_PDF_UTILS_H

#include "pdf_document.h"

#include <cstddef>
#include <cstdint>
#include <ctime>

namespace kvpdf {

// ObjectSelector: > 0 an object number; 0 the current file position; < 0 the negated
// absolute file offset.
using ObjectSelector = int32_t;

// The readers' result when there is no text: no terminator before the end of the file,
// no memory, or nothing to read from.
constexpr int32_t kReadFailed = -1;

// ---------------------------------------------------------------- readers

// Reads from the selected position up to and including the first occurrence of
// terminator. Returns 1 and a new NUL-terminated text (length in *out_length);
// kReadFailed; KVPDF_ERR_POSITION; KVPDF_ERR_COMPRESSED_OBJECT (its stream is unknown).
[[nodiscard]] int32_t PdfReadUntil(Reader r, FILE *file, ObjectSelector selector, char **out_text,
                                   uint32_t chunk, const char *terminator, int binary,
                                   uint32_t limit, uint32_t *out_length);
[[nodiscard]] int32_t PdfReadObject(Reader r, FILE *file, ObjectSelector object, char **out_text);
[[nodiscard]] int32_t PdfReadObjectBinary(Reader r, FILE *file, ObjectSelector object,
                                          char **out_text, uint32_t *out_length);
[[nodiscard]] int32_t PdfReadObjectAt(Reader r, FILE *file, uint32_t offset, char **out_text,
                                      uint32_t *out_length);
// Reads up to count bytes at the selected position (fewer at the end of the file).
[[nodiscard]] int32_t PdfReadRaw(Reader r, FILE *file, ObjectSelector selector, char **out_bytes,
                                 uint32_t count, uint32_t *out_length);
// Reads one stream object's data, inflated (up to limit bytes) when it is Flate-encoded.
// text/text_length may give the object text already read (NULL: read it here). whole:
// a /Length that passes the end of the file is refused (-225) instead of cut short, and
// Flate data must decode to its end.
[[nodiscard]] int32_t PdfReadStream(Reader r, FILE *file, ObjectSelector object, const char *text,
                                    uint32_t text_length, uint8_t **out_data, uint32_t *out_length,
                                    uint32_t limit = 0x7FFFFFFFu, bool whole = false);
// How far a structure stream (object stream, cross-reference stream, DSS entry) is ever
// inflated: 32 times the file's length, 16 MiB at least. Real streams inflate 3 to 10
// times; a stream that would pass this is a decompression bomb, not data.
[[nodiscard]] uint32_t PdfDecodeLimit(const ParsedDocument &p);
// A stream's data from its dictionary and raw bytes: a copy, or inflated (up to limit
// bytes) when the first filter is Flate. Returns 1 with a new block, NUL-terminated
// one past *out_length; -22 for another filter; -80..-83 when inflating fails.
// expected: the decoded size the dictionary declares (0: unknown), a first guess only.
[[nodiscard]] int32_t PdfDecodeStreamData(const char *dict, size_t dict_length, const uint8_t *data,
                                          uint32_t length, uint32_t limit, uint8_t **out,
                                          uint32_t *out_length, bool strict = false,
                                          uint32_t expected = 0);
// Inflates into *buffer (capacity *capacity, grown by doubling up to limit bytes).
// Returns the decoded length, or -80..-83. Damaged or cut data yields what decoded
// before the damage, unless strict: then it is -82.
[[nodiscard]] int64_t PdfInflate(const uint8_t *input, uint32_t input_length, uint8_t **buffer,
                                 uint32_t *capacity, uint32_t limit, bool strict = false);

// Position of the "stream" keyword that ends the dictionary of a stream object, or -1.
// Key searches in stream objects stop there, so that stream data never answers a key.
[[nodiscard]] int64_t PdfStreamKeyword(const char *text, size_t length);
// The first "/Length" followed by white space (so /Length1 of a font stream is passed
// over), or -1.
[[nodiscard]] int64_t PdfFindLengthKey(const char *text, size_t length);

// ---------------------------------------------------------------- scanners

[[nodiscard]] bool PdfIsSpace(int c);
[[nodiscard]] bool PdfIsDigit(int c);
// Offset of the first occurrence of key within text[0, length), or -1.
[[nodiscard]] int64_t PdfFind(const char *text, size_t length, const char *key);
// First position p in 0..last where key's bytes begin, or -1.
[[nodiscard]] int64_t PdfFindBytes(const char *bytes, int64_t last, const char *key);
[[nodiscard]] size_t PdfSkipSpace(const char *text, size_t length, size_t index);
// Skips non-digits, reads a run of at most 11 digits; 0 when there is none.
[[nodiscard]] uint32_t PdfParseNumber(const char *text, size_t length, size_t index, size_t *next);
// As PdfParseNumber; *is_ref = 1 when the digits are followed by one whitespace and '0'.
[[nodiscard]] uint32_t PdfParseNumberRef(const char *text, size_t length, size_t index,
                                         int *is_ref);
// Where one object's text ("n g obj" optional, then one object, then "endobj", "stream"
// or the end) breaks PDF syntax; -1 when it does not. first_only: what follows the
// object is not looked at.
[[nodiscard]] int64_t PdfSyntaxError(const char *text, size_t length, bool first_only = false);
// Index of an object's body after "N 0 obj"; *is_ref = 1 when a header was found.
[[nodiscard]] size_t PdfSkipObjectHeader(const char *text, size_t length, size_t index,
                                         int *is_ref);
// Number after the key; 0xFFFFFFFF when the key is absent.
[[nodiscard]] uint32_t PdfKeyNumber(const char *text, size_t length, const char *key);
[[nodiscard]] uint32_t PdfKidsNumber(const char *text, size_t length);
// New text " %lu 0 R".
[[nodiscard]] char *PdfMakeRef(uint32_t object);
// New block of n bytes decoded from 2n hex digits, plus a NUL.
[[nodiscard]] uint8_t *PdfHexDecode(const char *hex, size_t n);
// New text of the key's value (a hex string decoded); NULL when absent.
[[nodiscard]] char *PdfKeyString(const char *text, size_t length, const char *key,
                                 uint32_t *out_length);
[[nodiscard]] uint8_t *PdfKeyHexString(const char *text, size_t length, const char *key,
                                       uint32_t *out_length);
[[nodiscard]] int32_t PdfEmbeddedFileObj(Reader r, FILE *file, const char *text, size_t length);
[[nodiscard]] char *PdfFileSpecName(const char *text, size_t length);

// ---------------------------------------------------------------- utilities

[[nodiscard]] int PdfCopyFile(const char *target, const char *source, const char *mode);
[[nodiscard]] int PdfLoadFile(const char *path, uint8_t **out_buffer, uint32_t *out_length);
// A new empty temporary file's name; never the source's own name.
[[nodiscard]] char *PdfTempFileName(const char *src_path);
[[nodiscard]] char *PdfStrDup(const char *text);
char *PdfTrim(char *text);
[[nodiscard]] int PdfEndsWithNoCase(const char *text, const char *suffix);
[[nodiscard]] int PdfInsertString(const char *text, const char *insert, size_t position,
                                  char **out);
[[nodiscard]] uint32_t PdfInsertBytes(const char *buffer, uint32_t length, const char *insert,
                                      uint32_t position, char **out);
char *PdfReplaceFirst(char *text, size_t capacity, const char *needle, const char *replacement);
[[nodiscard]] char *PdfReplaceAll(const char *text, const char *needle, const char *replacement);
[[nodiscard]] int PdfCheckSignatureIndex(const FoundSignatures &found, int32_t *index,
                                         int32_t *error);
[[nodiscard]] int32_t PdfFindSignatureOfKind(const FoundSignatures &found, int32_t kind);
[[nodiscard]] int PdfIsTimestampEntry(const FoundSignatures &found, int32_t *index);
[[nodiscard]] int32_t PdfFindTimestampEntry(const FoundSignatures &found);
// 1 when a visible signature's appearance comes from a ".sigappx" file: the record's
// flag when a record is given, else the handle's.
[[nodiscard]] int PdfNeedsLogoObjects(const HostSettings *settings, const LogoImage *logo);
// Copies bytes [0, a) and [b, b + c) of source to destination and returns the
// decoded /Contents value between them (a new tracked block, *out_length bytes: the
// signature followed by the reserved zeros). *error: 0, -307 (source does not open),
// -308 (destination does not open). NULL when the value was never reached.
[[nodiscard]] uint8_t *PdfWriteByteRange(const FileAccess &files, const char *source,
                                         const char *destination, uint32_t *out_length,
                                         int32_t *error, uint32_t a, uint32_t b, uint32_t c);
// Only the decoded value between a and b of source, nothing copied.
[[nodiscard]] uint8_t *PdfReadSignatureValue(const FileAccess &files, const char *source,
                                             uint32_t a, uint32_t b, uint32_t *out_length);
// What a path names; kMissing when it cannot be looked at (opening it then fails).
enum class FileKind : int32_t { kMissing, kRegular, kDirectory, kFifo, kSocket, kDevice };
[[nodiscard]] FileKind PdfFileKind(const char *path, uint64_t *size);
// True when both paths name the same existing file (same device and inode, or volume
// serial and file index).
[[nodiscard]] bool PdfSameFile(const char *a, const char *b);

// ---------------------------------------------------------------- the operating system
// (pdf_utils_platform.cpp: POSIX and Windows)

// Copies the rest of source to target in the kernel; false when it cannot for these
// files (the caller then copies through a buffer), *failed when it started and failed.
[[nodiscard]] bool PdfCopyInKernel(FILE *source, FILE *target, bool *failed);
// 64-bit positions on every platform (Windows' fseek is 32-bit even on Win64).
[[nodiscard]] int PdfSeek(FILE *file, int64_t offset, int whence);
[[nodiscard]] int64_t PdfTell(FILE *file);
[[nodiscard]] int PdfTruncate(FILE *file, uint64_t length);
int PdfRemoveFile(const char *path);
// Local time of t and the zone's offset east of UTC in seconds, summer time included.
[[nodiscard]] bool PdfLocalTime(time_t t, struct tm *out, long *utc_offset);
// A new empty file "KV_Temp_PDF..." in the temporary directory (TMPDIR or P_tmpdir;
// GetTempPathA on Windows); its tracked name, NULL when none can be made.
[[nodiscard]] char *PdfCreateTempFile();

} // namespace kvpdf

#endif
