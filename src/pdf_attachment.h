// SPDX-License-Identifier: Apache-2.0
// The table of attachments (embedded files) of a handle, read from a document or filled
// by the host, and the pieces of PDF text both directions share.
#ifndef KVPDF_PDF_ATTACHMENT_H
#define KVPDF_PDF_ATTACHMENT_H

#include "pdf_document.h"
#include "pdf_value.h"

#include <string>
#include <vector>

namespace kvpdf {

struct AttachmentEntry {
    uint32_t filespec_obj; // the /Filespec dictionary object, 0 until known
    uint32_t stream_obj;   // embedded file stream object
    char *name;
    char *description;
    uint8_t *data;
    uint32_t length;
    // The name's backslashes are already doubled, as a literal string writes them.
    int32_t name_escaped;
};

// Appends an entry named name (copied unchanged), without description or data.
[[nodiscard]] int AttachmentListAdd(HostSettings *settings, const char *name);
void AttachmentListClear(HostSettings *settings);

constexpr uint32_t kDefaultAttachmentLimit = 1u << 30;
// A name tree deeper than this is damage or a trap.
constexpr int kMaxNameTreeDepth = 32;

// One pair of a name tree: the key as the file writes it, its bytes, and the value's
// text (a reference or an inline dictionary).
struct NamePair {
    std::string key_text;
    std::string key;
    std::string value_text;
};

// Every pair of the name tree whose root is at root (an object number, or 0 with the
// root's dictionary at inline in text), each node once. Returns 1, or a code recorded.
[[nodiscard]] int32_t CollectNameTree(Reader r, FILE *file, uint32_t root, const char *text,
                                      size_t length, Span inline_root, std::vector<NamePair> *out);

// A text string in UTF-8: UTF-16BE behind its byte-order mark decoded, a UTF-8 mark
// dropped, other bytes left as they are.
[[nodiscard]] std::string PdfTextToUtf8(const std::string &bytes);
// text as a literal string's contents: parentheses, carriage returns and, unless
// backslashes_escaped, backslashes escaped.
[[nodiscard]] std::string PdfEscapeLiteral(const char *text, bool backslashes_escaped);

} // namespace kvpdf

#endif
