// SPDX-License-Identifier: Apache-2.0
// Every PDF of the shared corpus through the reader: the result, the objects the offset
// table leads to, agreement with qpdf, and damaged variants.
#include "kvtest.h"

#include <algorithm>
#include <random>
#include <regex>
#include <set>

namespace {

using Corpus = kvtest::CorpusTest;

// Files the reader refuses, with the code and why.
const std::map<std::string, int32_t> kRefused = {
    {"encrypted-aes256-emptypw-01.pdf", -4},  // /Encrypt in the trailer
    {"encrypted-rc4-userpw-fpdf-01.pdf", -4}, // /Encrypt in the trailer
    {"header-offset-pdf20-01.pdf", -2},       // "%PDF-" is not at offset 0
};

// qpdf's cross-reference entries: object -> (compressed, offset or object stream).
std::multimap<uint32_t, std::pair<bool, uint64_t>> QpdfXref(const std::string &path) {
    std::string out;
    kvtest::Run("qpdf --show-xref " + kvtest::Quote(path) + " 2>/dev/null", &out);
    std::multimap<uint32_t, std::pair<bool, uint64_t>> entries;
    std::regex line(R"((\d+)/\d+: (un)?compressed; (?:offset|stream) = (\d+).*)");
    std::istringstream in(out);
    std::smatch m;
    for (std::string l; std::getline(in, l);)
        if (std::regex_match(l, m, line))
            entries.insert({uint32_t(std::stoul(m[1])), {!m[2].matched, std::stoull(m[3])}});
    return entries;
}

TEST_F(Corpus, EveryFileIsReadAsQpdfReadsItOrRefusedWithItsCode) {
    ASSERT_EQ(rows_.size(), 32u);
    ASSERT_EQ(kvtest::Run("qpdf --version >/dev/null 2>&1"), 0) << "qpdf is needed";
    for (const kvtest::Row &row : rows_) {
        const std::string name = row.at("file"), path = dir_ + "/" + name;
        SCOPED_TRACE(name);
        kvtest::Structure s = kvtest::ReadStructure(path, true);
        auto refused = kRefused.find(name);
        if (row.at("encrypted") == "1") {
            ASSERT_NE(refused, kRefused.end());
        }
        if (refused != kRefused.end()) {
            EXPECT_EQ(s.rc, refused->second);
            ASSERT_FALSE(s.ring.empty());
            EXPECT_EQ(s.ring.front(), refused->second);
            EXPECT_EQ(s.ring.back(), -45);
            continue;
        }
        ASSERT_EQ(s.rc, 1);
        // Every object of the offset table leads to its text: plain objects end with
        // "endobj", compressed ones come out of their object stream.
        EXPECT_EQ(s.texts.size(), s.offsets.size() + s.streams.size());
        for (const auto &[n, text] : s.texts) {
            if (s.streams.count(n)) {
                EXPECT_FALSE(text.empty()) << n;
            } else {
                EXPECT_EQ(text.substr(text.size() - 6), "endobj") << n;
            }
        }

        auto theirs = QpdfXref(path);
        ASSERT_FALSE(theirs.empty());
        std::set<uint32_t> ours;
        int free_taken = 0;
        for (uint32_t n = 1; n < s.size; ++n) {
            const bool packed = s.streams.count(n) != 0;
            if (!packed && !s.offsets.count(n)) continue;
            ours.insert(n);
            auto range = theirs.equal_range(n);
            // A free entry whose generation is not 65535 is taken like an in-use one;
            // qpdf does not list it.
            free_taken += range.first == range.second;
            bool same = range.first == range.second;
            for (auto it = range.first; it != range.second; ++it)
                same |= it->second ==
                        std::make_pair(packed, packed ? uint64_t{s.streams[n]} : s.offsets[n]);
            EXPECT_TRUE(same) << "object " << n;
        }
        EXPECT_LE(free_taken, std::stoi(row.at("free_entries")));
        // Hybrid files list some objects only in the /XRefStm stream, which is not read:
        // those (the stream's compressed objects and the stream objects themselves) have
        // no offset here.
        for (const auto &entry : theirs) {
            if (entry.first < s.size && !ours.count(entry.first)) {
                EXPECT_NE(row.at("xref_type").find("hybrid"), std::string::npos)
                    << "object " << entry.first << " missing";
            }
        }
    }
}

// Cut and bit-flipped variants of every corpus file through the three public ways in:
// no crash, no sanitizer report, and a failure leaves its code in the ring.
TEST_F(Corpus, DamagedVariantsFailCleanly) {
    kvtest::TempDir tmp;
    std::mt19937 rng(20261205);
    int variants = 0, failures = 0;
    const std::string path = tmp.file("damaged.pdf"), out = tmp.file("out.pdf");
    for (const kvtest::Row &row : rows_) {
        const std::string name = row.at("file"), bytes = kvtest::ReadFile(dir_ + "/" + name);
        std::vector<std::string> damaged;
        for (int i = 0; i < 4; ++i)
            damaged.push_back(
                bytes.substr(0, std::uniform_int_distribution<size_t>(0, bytes.size())(rng)));
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
            kvtest::WriteFile(path, d);
            for (int way = 0; way < 3; ++way) {
                KvPdfHandle h = KvPDFInit(path.c_str(), out.c_str(), 0);
                if (way == 2) KvPdfCreateDocTimeStamp(h);
                int32_t rc =
                    way == 0 ? KvPdfFindSignatures(h) : KvPdfWritePDFWithoutSignature(h, 0);
                ++variants;
                if (rc != 1) {
                    ++failures;
                    EXPECT_LT(rc, 0) << name;
                    std::vector<int> ring = kvtest::RingCodes(h);
                    ASSERT_FALSE(ring.empty()) << name << " rc " << rc;
                    // Reader results (-1 nothing found, -14 positioning) and a field that
                    // is not a signed signature field (-32, -33) come without an entry of
                    // their own; every other code is recorded.
                    if (rc != -14 && rc != -1 && rc != -32 && rc != -33) {
                        EXPECT_NE(std::find(ring.begin(), ring.end(), rc), ring.end())
                            << name << " rc " << rc << " ring " << ::testing::PrintToString(ring);
                    }
                    // Every failure of reading the document ends with -45; the copy (-9)
                    // and the version rule (-200, after a whole write) come on their own;
                    // a revision that does not read back ends with the writing stage.
                    if (rc != -9 && rc != -200) {
                        EXPECT_EQ(ring.back(), rc == -214 ? -47 : -45) << name << " way " << way;
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
