// SPDX-License-Identifier: Apache-2.0
// Every corpus PDF that is neither encrypted nor damaged, signed twice through the host
// flow and checked by qpdf, pdfsig and our own enumeration.
#include "kvtest.h"

#include <algorithm>

namespace {

// Files that cannot be signed because of a limitation the reader keeps on purpose,
// with the code the write gives.
const std::map<std::string, int32_t> kUnsignable = {
    // /Size 9 while the catalog is object 11 (see the corpus reading test).
    {"sig-pkcs7-detached-fpdf-01.pdf", -212},
    // %PDF-1.1: the revision is written completely, then refused by the version rule.
    {"classic-v11-01.pdf", -200},
};

// Files whose enumeration stops before reaching the new signatures: the reader ends at
// the first annotation of the page, or field of the form, that is not a signed
// signature field, and the new fields are appended after those. The code is the one
// the stop gives (-32: no /V, -33: no /Contents behind /V).
const std::map<std::string, int32_t> kFindStops = {
    {"classic-acroform-libreoffice-01.pdf", -33},
    {"dts-only-xrefstream-dss-01.pdf", -32},
    {"sig-pbad-pades-01.pdf", -33},
    {"xrefstream-acroform-11rev-01.pdf", -32},
    {"xrefstream-linearized-updated-8rev-01.pdf", -32},
};

// The kinds of the signatures found in path whose byte ranges are the ones given, in
// that order (-1 where none is), and the result of the search.
std::pair<int32_t, std::vector<int>> KindsFound(const std::string &path,
                                                const std::vector<kvtest::SignOutcome> &ours) {
    KvPdfHandle h = KvPDFInit(path.c_str(), nullptr, 0);
    const int32_t rc = KvPdfFindSignatures(h);
    std::vector<int> kinds(ours.size(), -1);
    for (int32_t i = 0; i < KvPDFGetSignatureCount(h); ++i) {
        SignatureInfo s;
        KvPDFGetSignature(h, i, &s);
        for (size_t k = 0; k < ours.size(); ++k)
            if (std::vector<uint32_t>(s.byte_range, s.byte_range + 4) == ours[k].byte_range)
                kinds[k] = s.kind;
    }
    KvPDFClose(h);
    return {rc, kinds};
}

// The byte ranges complete discovery lists, in list order.
std::vector<std::vector<uint32_t>> AllRanges(const std::string &path) {
    KvPdfHandle h = KvPDFInit(path.c_str(), nullptr, 0);
    KvPDFSetProperty(h, KVPDF_PROP_FIND_ALL_SIGNATURES, 1);
    (void)KvPdfFindSignatures(h);
    std::vector<std::vector<uint32_t>> ranges;
    for (int32_t i = 0; i < KvPDFGetSignatureCount(h); ++i) {
        SignatureInfo s;
        KvPDFGetSignature(h, i, &s);
        ranges.emplace_back(s.byte_range, s.byte_range + 4);
    }
    KvPDFClose(h);
    return ranges;
}

using SignCorpus = kvtest::CorpusTest;

TEST_F(SignCorpus, TwoSignaturesOnEveryReadableFile) {
    kvtest::TempDir tmp;
    int signed_files = 0;
    for (const kvtest::Row &row : rows_) {
        const std::string name = row.at("file");
        if (row.at("encrypted") == "1" || row.at("damaged") != "0") continue;
        SCOPED_TRACE(name);
        const std::string src = dir_ + "/" + name, one = tmp.file("one.pdf"),
                          two = tmp.file("two.pdf");
        const std::string source = kvtest::ReadFile(src);
        kvtest::SignRequest first;
        first.buffer = 16384;
        kvtest::SignOutcome a = kvtest::HostSign(src, one, first);
        auto unsignable = kUnsignable.find(name);
        if (unsignable != kUnsignable.end()) {
            EXPECT_EQ(a.write, unsignable->second);
            EXPECT_EQ(kvtest::ReadFile(src), source);
            continue;
        }
        EXPECT_FALSE(kFindStops.count(name) && a.write != 1);
        EXPECT_EQ(a.write, 1) << ::testing::PrintToString(a.ring);
        EXPECT_EQ(a.value, 1);
        if (a.value != 1) continue;
        EXPECT_EQ(kvtest::ReadFile(src), source); // the source is never written
        const std::string once = kvtest::ReadFile(one);
        ASSERT_EQ(once.compare(0, source.size(), source), 0); // an update only appends
        // The update's section matches the source's chain: a stream after any stream.
        const bool streams = row.at("xref_type") != "classic" &&
                             row.at("xref_type").find("stream") != std::string::npos;
        const std::string update = once.substr(source.size());
        EXPECT_EQ(update.find("/Type/XRef") != std::string::npos, streams);
        EXPECT_EQ(update.find("/Type/ObjStm") != std::string::npos, streams);
        EXPECT_EQ(update.find("\nxref\n") != std::string::npos, !streams);

        kvtest::SignRequest second;
        second.buffer = 16384;
        second.visible = true;
        second.cades = true;
        kvtest::SignOutcome b = kvtest::HostSign(one, two, second);
        EXPECT_EQ(b.write, 1) << ::testing::PrintToString(b.ring);
        EXPECT_EQ(b.value, 1);
        if (b.value != 1) continue;
        std::string out;
        if (kvtest::QpdfCheck(src)) {
            EXPECT_TRUE(kvtest::QpdfCheck(two, &out)) << out;
        }

        // pdfsig: both new signatures valid, only the newest covers the whole file.
        auto sigs = kvtest::RunPdfsig(two, &out);
        int valid_ours = 0;
        for (const auto &s : sigs) {
            for (const kvtest::SignOutcome *o : {&a, &b}) {
                const auto &r = o->byte_range;
                if (s.signed_ranges != "[0 - " + std::to_string(r[1]) + "], [" +
                                           std::to_string(r[2]) + " - " +
                                           std::to_string(r[2] + r[3]) + "]")
                    continue;
                EXPECT_TRUE(s.valid) << s.raw;
                EXPECT_EQ(s.whole_file, o == &b) << s.raw;
                ++valid_ours;
            }
        }
        EXPECT_EQ(valid_ours, 2) << out;
        // Complete discovery finds every signed field pdfsig lists, ours the last two.
        auto all = AllRanges(two);
        ASSERT_GE(all.size(), 2u);
        EXPECT_EQ(all[all.size() - 2], a.byte_range);
        EXPECT_EQ(all.back(), b.byte_range);
        EXPECT_EQ(all.size(), size_t(std::count_if(sigs.begin(), sigs.end(), [](const auto &s) {
                      return s.raw.find("is not signed") == std::string::npos;
                  })));
        // Our own enumeration finds both, with their kinds, unless it stops before them.
        auto found = KindsFound(two, {a, b});
        auto stop = kFindStops.find(name);
        EXPECT_EQ(found.first, stop == kFindStops.end() ? 1 : stop->second);
        const std::vector<int> kinds = {KVPDF_SIG_KIND_SIGNATURE, KVPDF_SIG_KIND_CADES};
        EXPECT_EQ(found.second, stop == kFindStops.end() ? kinds : std::vector<int>(2, -1));
        ++signed_files;
    }
    EXPECT_GE(signed_files, 20);
}

} // namespace
