// SPDX-License-Identifier: Apache-2.0
// The error ring and its messages, as a host reads them.
#include "kvtest.h"

#include <regex>
#include <set>

namespace {

TEST(Messages, TemplatesInBothLocalesByteForByte) {
    // Hungarian is the default; its accented texts are Windows-1250 bytes.
    const struct {
        int32_t code;
        const char *hu, *en;
    } cases[] = {
        {-6, "A PDF verz\xF3ja (%d.%d) nem \xE9ri el a minimalisan tamogatottat.",
         "Old PDF version (%d.%d) is not supported. Higher PDF version needed."},
        // The one English text of the Hungarian column, and texts of one language only.
        {-122, "The source PDF file is encrypted. Encrypted pdf files are not supported.", ""},
        {-84, "", "ZLIB ERROR: DEFLATEGREEDY."},
        {-110, "A csatolm\xE1ny index tul van az engedelyezett tartomanyon.", ""},
        {-250, "Ismeretlen hiba - tul nagy hiba index.",
         "Unknown error - error index is too large."},
    };
    KvPdfHandle h = KvPDFInit("x.pdf", nullptr, 0);
    for (const auto &c : cases) {
        KvPdfSetLocale(h, 0);
        EXPECT_STREQ(KvPdfGetErrorStr(h, c.code), c.hu) << c.code;
        KvPdfSetLocale(h, 1);
        EXPECT_STREQ(KvPdfGetErrorStr(h, c.code), c.en) << c.code;
        EXPECT_STREQ(KvPdfGetErrorStr(h, -c.code), c.en) << "the sign does not matter";
    }
    KvPDFClose(h);
}

// Every code a source file records must have a message, unless it is one of the codes
// that have none in either language.
TEST(Messages, EveryRecordedCodeHasItsText) {
    std::map<std::string, int> values;
    std::regex def(R"(#define (KVPDF_(?:ERR|WARN)_\w+) \((-?\d+)\))");
    const std::string header = kvtest::ReadFile(KVPDF_SOURCE_DIR "/include/kvpdf.h");
    for (std::sregex_iterator it(header.begin(), header.end(), def), end; it != end; ++it)
        values[(*it)[1]] = std::stoi((*it)[2]);
    ASSERT_GT(values.size(), 90u);
    std::set<std::string> used;
    std::string sources;
    ASSERT_EQ(kvtest::Run("cat " KVPDF_SOURCE_DIR "/src/*.cpp", &sources), 0);
    std::regex call(R"(KV_(?:ERROR|FAIL|WRITE_FAIL)\([^;]*)"), named(R"(KVPDF_\w+)");
    for (std::sregex_iterator it(sources.begin(), sources.end(), call), end; it != end; ++it) {
        const std::string args = it->str();
        for (std::sregex_iterator c(args.begin(), args.end(), named); c != end; ++c)
            used.insert(c->str());
    }
    ASSERT_GE(used.size(), 25u);
    KvPdfHandle h = KvPDFInit("x.pdf", nullptr, 0);
    for (const std::string &name : used) {
        ASSERT_TRUE(values.count(name)) << name;
        const int code = values[name];
        if (code == -57 || code == -115 || code == -126)
            continue; // without text in either language
        KvPdfSetLocale(h, 0);
        const std::string hu = KvPdfGetErrorStr(h, code);
        KvPdfSetLocale(h, 1);
        const std::string en = KvPdfGetErrorStr(h, code);
        // Codes -102 to -156 are Hungarian only, and the zlib and buffer codes English
        // only; every other text exists in both.
        const bool hu_only = code <= -102 && code >= -156;
        const bool en_only = code == -84 || code == -85 || code == -90;
        EXPECT_TRUE(hu_only || !en.empty()) << name;
        EXPECT_TRUE(en_only || !hu.empty()) << name;
    }
    KvPDFClose(h);
}

// Failures a host meets: a missing file (-10) and a missing appearance file (-70).
void Fail(KvPdfHandle h, int i) {
    if (i % 2)
        KvIsPDFFile("/nonexistent/in.pdf", h);
    else
        KvPDFSetLogo(h, "/nonexistent/logo.sigappx");
}

TEST(Ring, KeepsTheLastTenPrintsThemAndRefusesIndexesOutsideIt) {
    KvPdfHandle h = KvPDFInit("in.pdf", nullptr, 0);
    EXPECT_EQ(KvPdfGetLastErrorIndex(h), -1);
    char first[500] = "untouched";
    EXPECT_EQ(KvPdfGetFirstErrorString(h, first), -1);
    EXPECT_STREQ(first, "untouched");
    for (int i = 1; i <= 11; ++i)
        Fail(h, i);
    // Eleven entries: the eleventh took the place of the first.
    EXPECT_EQ(KvPdfGetLastErrorIndex(h), 0);
    EXPECT_EQ(kvtest::RingCodes(h), std::vector<int>{-10});
    ErrorEntry e;
    for (int i = 0; i <= 9; ++i) {
        ASSERT_EQ(KvPdfGetError(h, i, &e), 1);
        EXPECT_EQ(e.code, i == 0 ? -10 : (i + 1) % 2 ? -10 : -70) << i;
        EXPECT_GT(e.line, 0);
        EXPECT_EQ(std::string(e.src_file).rfind("../src/", 0), 0u) << e.src_file;
    }
    memset(&e, 0x5A, sizeof e);
    EXPECT_EQ(KvPdfGetError(h, 10, &e), 0);
    EXPECT_EQ(KvPdfGetError(h, -1, &e), 0);
    EXPECT_EQ(KvPdfGetError(h, 0, nullptr), 0);
    EXPECT_EQ(static_cast<unsigned char>(e.src_file[0]), 0x5A);
    EXPECT_EQ(KvPdfGetFirstErrorString(h, first), 1);
    EXPECT_STREQ(first, "Nem lehet a forras file-t megnyitni.");
    // Printed: entries 0 to the newest, here entry 0 alone.
    ASSERT_EQ(KvPdfGetError(h, 0, &e), 1);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(KvPdfPrintErrors(h), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              std::string("Hibakod: -10, hibauzenet: Nem lehet a forras file-t megnyitni.\n") +
                  "forras file: " + e.src_file + ", sor: " + std::to_string(e.line) + "\n");
    EXPECT_EQ(KvPdfResetErrors(h), 1);
    EXPECT_EQ(KvPdfGetLastErrorIndex(h), -1);
    ASSERT_EQ(KvPdfGetError(h, 3, &e), 1); // entries stay readable after a reset
    EXPECT_EQ(e.code, -70);
    KvPDFClose(h);
}

TEST(Ring, UnknownLocaleRecordsEmptyMessagesAndAbsentHandlesRecordNothing) {
    KvPdfHandle h = KvPDFInit("in.pdf", nullptr, 0);
    KvPdfSetLocale(h, 7);
    Fail(h, 1);
    ErrorEntry e;
    ASSERT_EQ(KvPdfGetError(h, 0, &e), 1);
    EXPECT_EQ(e.code, -10);
    EXPECT_STREQ(e.message, "");
    EXPECT_EQ(KvPdfGetErrorStr(h, -2), nullptr);
    const char *fallback = KvPdfGetErrorStr(h, -300);
    ASSERT_NE(fallback, nullptr);
    EXPECT_STREQ(fallback, "Hibakod: 0, hibauzenet: Ismeretlen hiba - tul nagy hiba index\n");
    void *block = const_cast<char *>(fallback);
    KvPDFDestroyer(&block);
    EXPECT_EQ(block, nullptr);

    for (KvPdfHandle absent : {h + 8, KvPdfHandle{0}}) {
        EXPECT_EQ(KvPdfGetLastErrorIndex(absent), -1);
        EXPECT_EQ(KvPdfResetErrors(absent), 0);
        EXPECT_EQ(KvPdfSetLocale(absent, 1), 0);
        EXPECT_EQ(KvPdfPrintErrors(absent), 0);
        EXPECT_EQ(KvPdfGetErrorStr(absent, -2), nullptr);
    }
    KvPDFClose(h);
}

} // namespace
