// SPDX-License-Identifier: Apache-2.0
// What a file shows about one found signature beyond its cryptography: the soundness of
// its /ByteRange, and what the revisions appended after the signed bytes changed.
//
// The analysis reads the cross-reference sections itself, every entry of each (free ones
// included), and reads objects as of a chosen revision. It never touches the parsed
// record the other operations share.
#ifndef KVPDF_PDF_CHANGES_H
#define KVPDF_PDF_CHANGES_H

#include "pdf_document.h"
#include "pdf_mem.h"
#include "pdf_value.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kvpdf {

// ---------------------------------------------------------------- revisions

enum class EntryType : uint8_t { kFree = 0, kPlain = 1, kCompressed = 2 };

struct SectionEntry {
    uint32_t object;
    EntryType type;
    uint32_t field2; // offset, or the object stream
    uint32_t field3; // generation, or the index in the object stream
};

// One cross-reference section with all its entries, sorted by object number.
struct Revision {
    uint32_t offset = 0;
    uint32_t root = 0;   // 0: the trailer names none
    int64_t size = -1;   // /Size, -1: none
    int32_t prev = -1;   // /Prev, -1: none
    int32_t failure = 0; // the code it could not be read with; its entries are then empty
    std::vector<SectionEntry> entries;
    const SectionEntry *Find(uint32_t object) const;
};

// An object's text as of one revision.
struct ObjectText {
    TrackedPtr<char> text;
    uint32_t length = 0;
    size_t body = 0;     // the value's first byte
    size_t body_end = 0; // the "stream" keyword or the end of the value
    bool is_stream = false;
    bool compressed = false;
    uint32_t offset = 0; // of a plain object in the file
};

// The chain of cross-reference sections, newest first, and reads of objects as a given
// section and the older ones describe them.
class RevisionChain {
public:
    RevisionChain(Reader r, FILE *file) : r_(r), file_(file) {}
    // Reads every section from the newest; 1, or the negative code (recorded) of a
    // section that ends the chain. A section that cannot be read stays in the chain
    // with its failure, and the chain goes on where known (a parsed record of the same
    // file) says.
    [[nodiscard]] int32_t Read(const ParsedDocument *known);
    std::vector<Revision> sections;
    uint32_t file_length() const { return r_.parsed.file_length; }
    // The newest entry of the object in sections [from, end) of the chain whose offset
    // is below limit (0: any).
    const SectionEntry *Resolve(size_t from, uint32_t object, uint32_t limit = 0) const;
    // Reads the object as sections [from, end) list it. 1, 0 when it is not in use, or a
    // negative code (recorded).
    [[nodiscard]] int32_t ReadObject(size_t from, uint32_t object, ObjectText *out,
                                     uint32_t limit = 0);
    [[nodiscard]] int32_t ReadEntry(size_t from, const SectionEntry &entry, ObjectText *out,
                                    uint32_t limit);
    Reader reader() const { return r_; }
    FILE *file() const { return file_; }

private:
    [[nodiscard]] int32_t ReadSection(uint32_t offset, Revision *out);
    [[nodiscard]] int32_t ReadPlain(size_t from, uint32_t object, uint32_t offset, ObjectText *out,
                                    uint32_t limit);
    [[nodiscard]] int32_t ReadCompressed(size_t from, const SectionEntry &entry, ObjectText *out,
                                         uint32_t limit);
    struct Unpacked {
        std::string data;
        std::map<uint32_t, std::pair<size_t, size_t>> objects; // number -> [start, end)
    };
    Reader r_;
    FILE *file_;
    std::map<uint32_t, Unpacked> streams_; // object streams decoded, by file offset
    size_t stream_bytes_ = 0;
    int length_depth_ = 0;
};

// ---------------------------------------------------------------- the checks

// KVPDF_RANGE_... for the signature dictionary read (plain object at dict_offset, or
// in an object stream when compressed).
[[nodiscard]] int32_t CheckByteRange(RevisionChain &chain, const ObjectText &dict,
                                     uint32_t range[4]);

// The later-change analysis of the signature signing [0, signed_length): fills changes,
// revisions_after, analysis and the OTHER objects.
void AnalyseChanges(RevisionChain &chain, uint32_t signed_length, KvPdfSignatureCheck *out,
                    std::vector<uint32_t> *other);

// Frees the object list the last check handed out.
void ReleaseCheck(PdfDocument *doc);

} // namespace kvpdf

#endif
