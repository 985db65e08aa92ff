// Builds small PDFs byte by byte for the tests: objects, object streams, classic
// tables and cross-reference streams, in as many revisions as a test needs.
#ifndef KVPDF_TESTS_PDF_BUILDER_H
#define KVPDF_TESTS_PDF_BUILDER_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kvtest {

struct ClassicOptions {
    std::string eol = "\r\n";  // the two end-of-line bytes of every entry
    bool free_head = true;     // list object 0 as "0000000000 65535 f"
    std::string trailer_extra; // more trailer keys, e.g. "/Encrypt 9 0 R"
    int64_t size = -1;         // /Size (default: highest object + 1)
    bool with_prev = true;
    uint32_t root = 1;
    uint32_t generation = 0; // generation written in every in-use entry
};

struct StreamOptions {
    std::vector<int> widths = {1, 2, 1};
    int predictor = 0;     // 12 = PNG Up on every row
    bool use_index = true; // write /Index with one range per run of numbers
    std::string extra;     // more dictionary keys
    int64_t size = -1;
    uint32_t root = 1;
};

class PdfBuilder {
public:
    explicit PdfBuilder(const std::string &header = "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n");

    // "n 0 obj\n<body>\nendobj\n", listed in the next cross-reference section.
    void Object(uint32_t number, const std::string &body);
    void Raw(const std::string &bytes) { data_ += bytes; }
    // A free entry in the next section (generation 65535 in a classic table).
    void Free(uint32_t number) { pending_[number] = {0, 0, 65535}; }
    // An object stream holding the given objects (listed as compressed entries).
    void ObjectStream(uint32_t number,
                      const std::vector<std::pair<uint32_t, std::string>> &objects);

    // Ends the revision with a classic table; returns its offset.
    size_t ClassicXref(const ClassicOptions &options = {});
    // Ends the revision with a cross-reference stream object `number`; returns its offset.
    size_t XrefStream(uint32_t number, const StreamOptions &options = {});

    const std::string &bytes() const { return data_; }
    size_t offset_of(uint32_t number) const { return all_.at(number); }

private:
    struct Entry {
        int type; // 1 plain, 2 compressed
        uint64_t field2;
        uint64_t field3;
    };
    std::string data_;
    std::map<uint32_t, Entry> pending_; // entries of the revision being built
    std::map<uint32_t, size_t> all_;    // newest offset of every plain object
    uint32_t highest_ = 0;
    int64_t last_xref_ = -1;
};

// Catalog (1), page tree (2) and one Letter-size page (3); no section yet.
PdfBuilder OnePage(const std::string &header = "%PDF-1.7\n");
// The same, ended by a classic table.
std::string OnePagePdf(const std::string &header = "%PDF-1.7\n");

std::string Deflate(const std::string &data);
std::string Inflate(const std::string &data);

} // namespace kvtest

#endif
