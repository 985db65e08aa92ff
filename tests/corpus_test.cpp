// Every PDF of the shared corpus through the reader: the read result, the objects the
// offset table leads to, agreement with qpdf, and damaged variants.
#include "pdf_mem.h"
#include "pdf_utils.h"
#include "pdf_xref.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>

using namespace kvpdf;

namespace {

using Row = std::vector<std::pair<std::string, std::string>>;

// Files the reader refuses, with the code and why.
const std::map<std::string, int32_t> kRefused = {
    {"encrypted-aes256-emptypw-01.pdf", -4},  // /Encrypt in the trailer
    {"encrypted-rc4-userpw-fpdf-01.pdf", -4}, // /Encrypt in the trailer
    {"header-offset-pdf20-01.pdf", -2},       // "%PDF-" is not at offset 0
    // /Size 9, but the catalog is object 11: entries beyond /Size are left out, so the
    // catalog cannot be found. (New objects would take numbers the file already uses.)
    {"sig-pkcs7-detached-fpdf-01.pdf", -29},
};

struct Opened {
    KvPdfHandle handle = 0;
    PdfDocument *doc = nullptr;
    FILE *file = nullptr;
    int32_t rc = 0;
    explicit Opened(const std::string &path) {
        handle = KvPDFInit(path.c_str(), nullptr, 0);
        doc = HandleLookup(handle);
        doc->mode = kModeReadAttachments;
        rc = ProcessPdf(doc);
        file = fopen(path.c_str(), "rb");
    }
    ~Opened() {
        if (file) fclose(file);
        KvPDFClose(handle);
    }
};

class Corpus : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = kvtest::CorpusDir();
        if (dir_.empty()) GTEST_SKIP() << "the shared corpus is not on this machine";
        rows_ = kvtest::CorpusManifest();
        ASSERT_EQ(rows_.size(), 32u);
    }
    std::string dir_;
    std::vector<Row> rows_;
};

TEST_F(Corpus, EveryFileIsReadOrRefusedWithItsCode) {
    for (const Row &row : rows_) {
        std::string name = kvtest::ManifestValue(row, "file");
        Opened o(dir_ + "/" + name);
        auto refused = kRefused.find(name);
        if (kvtest::ManifestValue(row, "encrypted") == "1") {
            ASSERT_NE(refused, kRefused.end()) << name;
        }
        if (refused != kRefused.end()) {
            EXPECT_EQ(o.rc, refused->second) << name;
            std::vector<int> ring = kvtest::RingCodes(o.handle);
            ASSERT_FALSE(ring.empty()) << name;
            EXPECT_EQ(ring.front(), refused->second) << name;
            EXPECT_EQ(ring.back(), -45) << name;
            continue;
        }
        ASSERT_EQ(o.rc, 1) << name;
        EXPECT_GT(o.doc->parsed.root_obj, 0) << name;
        // Every object of the offset table leads to its text: plain objects end with
        // "endobj", compressed ones come out of their object stream.
        uint32_t plain = 0, compressed = 0;
        for (uint32_t n = 1; n < o.doc->parsed.object_offsets_count; ++n) {
            bool in_stream = o.doc->parsed.object_streams[n] != 0;
            if (o.doc->parsed.object_offsets[n] == kNoOffset && !in_stream) continue;
            char *text = nullptr;
            uint32_t length = 0;
            int32_t rc =
                PdfReadObjectBinary(ReaderOf(o.doc), o.file, static_cast<ObjectSelector>(n), &text, &length);
            ASSERT_EQ(rc, 1) << name << " object " << n;
            ASSERT_NE(text, nullptr) << name << " object " << n;
            std::string t(text, length);
            TrackedFreeT(text);
            if (in_stream) {
                EXPECT_FALSE(t.empty()) << name << " object " << n;
                ++compressed;
            } else {
                EXPECT_EQ(t.substr(t.size() - 6), "endobj") << name << " object " << n;
                ++plain;
            }
        }
        EXPECT_GT(plain, 0u) << name;
        if (kvtest::ManifestValue(row, "compressed_objs") != "0" && name.rfind("hybrid", 0) != 0) {
            EXPECT_GT(compressed, 0u) << name;
        }
    }
}

struct QpdfEntry {
    bool compressed;
    uint64_t value; // offset, or the object stream
};

std::multimap<uint32_t, QpdfEntry> QpdfXref(const std::string &path) {
    std::string out;
    kvtest::Run("qpdf --show-xref '" + path + "' 2>/dev/null", &out);
    std::multimap<uint32_t, QpdfEntry> entries;
    std::regex plain(R"(^(\d+)/\d+: uncompressed; offset = (\d+)$)");
    std::regex packed(R"(^(\d+)/\d+: compressed; stream = (\d+), index = \d+$)");
    std::istringstream in(out);
    std::string line;
    std::smatch m;
    while (std::getline(in, line)) {
        if (std::regex_match(line, m, plain))
            entries.insert({static_cast<uint32_t>(std::stoul(m[1])), {false, std::stoull(m[2])}});
        else if (std::regex_match(line, m, packed))
            entries.insert({static_cast<uint32_t>(std::stoul(m[1])), {true, std::stoull(m[2])}});
    }
    return entries;
}

TEST_F(Corpus, InUseObjectsAgreeWithQpdf) {
    ASSERT_EQ(kvtest::Run("qpdf --version >/dev/null 2>&1"), 0) << "qpdf is needed";
    for (const Row &row : rows_) {
        std::string name = kvtest::ManifestValue(row, "file");
        std::string path = dir_ + "/" + name;
        Opened o(path);
        // Files refused before their cross-reference data was read have nothing to compare.
        if (o.doc->parsed.object_offsets_count == 0) {
            EXPECT_TRUE(kRefused.count(name)) << name;
            continue;
        }
        auto theirs = QpdfXref(path);
        ASSERT_FALSE(theirs.empty()) << name;
        const bool hybrid =
            kvtest::ManifestValue(row, "xref_type").find("hybrid") != std::string::npos;
        const uint32_t size = static_cast<uint32_t>(o.doc->parsed.declared_size);
        std::set<uint32_t> ours;
        int free_taken = 0;
        for (uint32_t n = 1; n < o.doc->parsed.object_offsets_count && n < size; ++n) {
            if (o.doc->parsed.object_offsets[n] == kNoOffset && o.doc->parsed.object_streams[n] == 0) continue;
            ours.insert(n);
            auto range = theirs.equal_range(n);
            if (range.first == range.second) {
                // A free entry whose generation is not 65535 is taken like an in-use one;
                // qpdf does not list it.
                ++free_taken;
                continue;
            }
            bool same = false;
            for (auto it = range.first; it != range.second; ++it) {
                if (o.doc->parsed.object_streams[n])
                    same |= it->second.compressed && it->second.value == o.doc->parsed.object_streams[n];
                else
                    same |= !it->second.compressed && it->second.value == o.doc->parsed.object_offsets[n];
            }
            EXPECT_TRUE(same) << name << " object " << n;
        }
        EXPECT_LE(free_taken, std::stoi(kvtest::ManifestValue(row, "free_entries"))) << name;
        for (const auto &entry : theirs) {
            uint32_t n = entry.first;
            if (n >= size || ours.count(n)) continue;
            // Hybrid files list some objects only in the /XRefStm stream, which is not
            // read: those (the stream's compressed objects and the stream objects
            // themselves) have no offset here.
            EXPECT_TRUE(hybrid) << name << " object " << n << " missing";
        }
    }
}

// Cut and bit-flipped variants of every corpus file: each goes through the processing
// run without a crash or a sanitizer report, and a failure leaves its code in the ring.
TEST_F(Corpus, DamagedVariantsFailCleanly) {
    kvtest::TempDir tmp;
    std::mt19937 rng(20261205);
    int variants = 0, failures = 0;
    for (const Row &row : rows_) {
        std::string name = kvtest::ManifestValue(row, "file");
        std::string bytes = kvtest::ReadFile(dir_ + "/" + name);
        std::vector<std::string> damaged;
        for (int i = 0; i < 4; ++i) {
            std::uniform_int_distribution<size_t> at(0, bytes.size());
            damaged.push_back(bytes.substr(0, at(rng)));
        }
        // The tail holds the cross-reference data: cut and flip near it too.
        for (size_t back : {1u, 7u, 30u, 200u, 2000u})
            if (back < bytes.size()) damaged.push_back(bytes.substr(0, bytes.size() - back));
        for (int i = 0; i < 6; ++i) {
            std::string d = bytes;
            std::uniform_int_distribution<size_t> where(i % 2 ? d.size() * 9 / 10 : 0,
                                                        d.size() - 1);
            for (int k = 0; k < 1 + i; ++k)
                d[where(rng)] ^= static_cast<char>(1 + rng() % 255);
            damaged.push_back(d);
        }
        for (const std::string &d : damaged) {
            std::string path = tmp.file("damaged.pdf");
            kvtest::WriteFile(path, d);
            for (int32_t mode : {kModeFindSignatures, kModeSign, kModeReadAttachments}) {
                KvPdfHandle h = KvPDFInit(path.c_str(), tmp.file("out.pdf").c_str(), 0);
                PdfDocument *doc = HandleLookup(h);
                doc->mode = mode;
                int32_t rc = ProcessPdf(doc);
                ++variants;
                if (rc != 1) {
                    ++failures;
                    EXPECT_LT(rc, 0) << name;
                    std::vector<int> ring = kvtest::RingCodes(h);
                    ASSERT_FALSE(ring.empty()) << name << " rc " << rc;
                    // Reader results (-1 nothing found, -14 positioning) and a field that
                    // is not a signed signature field (-32, -33) are returned without an
                    // entry of their own; every other code is recorded.
                    if (rc != -14 && rc != -1 && rc != -32 && rc != -33) {
                        EXPECT_NE(std::find(ring.begin(), ring.end(), rc), ring.end())
                            << name << " rc " << rc << " ring " << ::testing::PrintToString(ring);
                    }
                    if (rc != -9) {
                        EXPECT_EQ(ring.back(), -45) << name;
                    }
                }
                EXPECT_EQ(KvPDFClose(h), 1);
            }
        }
    }
    EXPECT_GE(variants, 300);
    EXPECT_GT(failures, variants / 4);
}

} // namespace
