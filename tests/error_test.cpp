#include "kvpdf.h"
#include "pdf_document.h"
#include "pdf_error.h"
#include "pdf_mem.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <unistd.h>

using namespace kvpdf;

#define KV_UNIT "../src/test_unit.cpp"

namespace {

class Ring : public ::testing::Test {
protected:
    void SetUp() override {
        handle_ = KvPDFInit("in.pdf", "out.pdf", 0);
        ASSERT_GT(handle_, 0);
        doc_ = HandleLookup(handle_);
    }
    void TearDown() override { KvPDFClose(handle_); }
    std::string Message(int index) {
        ErrorEntry e;
        EXPECT_EQ(KvPdfGetError(handle_, index, &e), 1);
        return e.message;
    }
    KvPdfHandle handle_ = 0;
    PdfDocument *doc_ = nullptr;
};

TEST_F(Ring, MessagesInBothLocalesByteForByte) {
    // Hungarian is the default; the accented texts are Windows-1250 bytes.
    KV_ERROR(doc_, -6, 1, 1);
    EXPECT_EQ(Message(0), "A PDF verz\xF3ja (1.1) nem \xE9ri el a minimalisan tamogatottat.");
    KV_ERROR(doc_, -46);
    EXPECT_EQ(Message(1), "A pdf api-nak visszaadott al\xE1\xEDr\xE1s \xFCres.");
    KV_ERROR(doc_, -22);
    EXPECT_EQ(Message(2), "Csak a FlateDecode filter\xFB stream-eket tamogatja a termek.");
    KV_ERROR(doc_, -122); // the one English text of the Hungarian row
    EXPECT_EQ(Message(3),
              "The source PDF file is encrypted. Encrypted pdf files are not supported.");
    EXPECT_EQ(KV_ERROR(doc_, -84), 1); // no Hungarian text: empty, but a template exists
    EXPECT_EQ(Message(4), "");

    ASSERT_EQ(KvPdfSetLocale(handle_, 1), 1);
    KV_ERROR(doc_, -36);
    EXPECT_EQ(Message(5), "Error in Root object - Querying  AcroForm object string.");
    KV_ERROR(doc_, -40);
    EXPECT_EQ(Message(6), "Error: processing the Trailer.  (PROCESSTRAILER)");
    KV_ERROR(doc_, -110); // Hungarian only
    EXPECT_EQ(Message(7), "");
    KV_ERROR(doc_, -122);
    EXPECT_EQ(Message(8), "");
    EXPECT_STREQ(KvPdfGetErrorStr(handle_, 5), KvPdfGetErrorStr(handle_, -5));
    EXPECT_STREQ(KvPdfGetErrorStr(handle_, -250), "Unknown error - error index is too large.");
    EXPECT_STREQ(KvPdfGetErrorStr(handle_, -7), "");
    EXPECT_STREQ(KvPdfGetErrorStr(handle_, -201),
                 "PDF file contains features (compressed Xref table and compressed objects) which "
                 "are not fully supported by Korvane PDF API. These features can cause wrong "
                 "signed PDF (wrong appearance , in case of multiple signing previous signatures "
                 "become invalid).");
    KvPdfSetLocale(handle_, 0);
    EXPECT_STREQ(KvPdfGetErrorStr(handle_, -250), "Ismeretlen hiba - tul nagy hiba index.");
}

TEST_F(Ring, FormatsArgumentsAndCutsLongMessages) {
    KvPdfSetLocale(handle_, 1);
    KV_ERROR(doc_, -18, "00000abcde");
    KV_ERROR(doc_, -50, 4294967295ul);
    KV_ERROR(doc_, -21, 5);
    KV_ERROR(doc_, -200, 2, 0);
    EXPECT_EQ(Message(0), "Converting Xref line (00000abcde) to number was impossible.");
    EXPECT_EQ(Message(1),
              "Error: reaching compressed object.  (ObjStm tomoritett objektum [4294967295])");
    EXPECT_EQ(Message(2), "Unknown PNG filter (5)");
    EXPECT_EQ(Message(3), "PDF version (2.0) not supported. Higher PDF version needed.");
    std::string long_arg(700, 'x');
    KV_ERROR(doc_, -18, long_arg.c_str());
    std::string cut = Message(4);
    EXPECT_EQ(cut.size(), 499u);
    EXPECT_EQ(cut.substr(0, 22), "Converting Xref line (");
    ErrorEntry e;
    KvPdfGetError(handle_, 4, &e);
    EXPECT_EQ(e.code, -18);
    EXPECT_STREQ(e.src_file, "../src/test_unit.cpp");
    EXPECT_GT(e.line, 0);
}

TEST_F(Ring, KeepsTheLastTenAndRefusesIndexesOutsideIt) {
    EXPECT_EQ(KvPdfGetLastErrorIndex(handle_), -1);
    char first[500] = "untouched";
    EXPECT_EQ(KvPdfGetFirstErrorString(handle_, first), -1);
    EXPECT_STREQ(first, "untouched");
    for (int i = 1; i <= 11; ++i)
        PushError(RingOf(doc_), -i, "unit", i);
    EXPECT_EQ(KvPdfGetLastErrorIndex(handle_), 0);
    ErrorEntry e;
    ASSERT_EQ(KvPdfGetError(handle_, 0, &e), 1);
    EXPECT_EQ(e.code, -11);
    for (int i = 1; i <= 9; ++i) {
        ASSERT_EQ(KvPdfGetError(handle_, i, &e), 1);
        EXPECT_EQ(e.code, -(i + 1));
        EXPECT_EQ(e.line, i + 1);
    }
    memset(&e, 0x5A, sizeof e);
    EXPECT_EQ(KvPdfGetError(handle_, 10, &e), 0);
    EXPECT_EQ(KvPdfGetError(handle_, -1, &e), 0);
    EXPECT_EQ(KvPdfGetError(handle_, 0, nullptr), 0);
    EXPECT_EQ(static_cast<unsigned char>(e.src_file[0]), 0x5A);
    EXPECT_EQ(KvPdfGetFirstErrorString(handle_, first), 1);
    EXPECT_STREQ(first, "Nem lehet a cel file-t megnyitni.");
    EXPECT_EQ(KvPdfResetErrors(handle_), 1);
    EXPECT_EQ(KvPdfGetLastErrorIndex(handle_), -1);
    ASSERT_EQ(KvPdfGetError(handle_, 3, &e), 1); // entries stay readable after a reset
    EXPECT_EQ(e.code, -4);
}

TEST_F(Ring, PrintsEntriesUpToTheNewestInItsFormat) {
    kvtest::TempDir dir;
    auto capture = [&](KvPdfHandle h) {
        std::string path = dir.file("out.txt");
        fflush(stdout);
        int saved = dup(1);
        FILE *f = fopen(path.c_str(), "w");
        dup2(fileno(f), 1);
        EXPECT_EQ(KvPdfPrintErrors(h), 1);
        fflush(stdout);
        dup2(saved, 1);
        close(saved);
        fclose(f);
        return kvtest::ReadFile(path);
    };
    EXPECT_EQ(capture(handle_), "");
    KvPdfSetLocale(handle_, 1);
    PushError(RingOf(doc_), -2, "../src/pdfsign.cpp", 7);
    PushError(RingOf(doc_), -45, "../src/pdfsign.cpp", 9);
    EXPECT_EQ(capture(handle_),
              "Hibakod: -2, hibauzenet: The source file isn't a PDF file, or it is a broken "
              "file.\nforras file: ../src/pdfsign.cpp, sor: 7\n"
              "Hibakod: -45, hibauzenet: Error: processing PDF file. (PROCESSPDF)\n"
              "forras file: ../src/pdfsign.cpp, sor: 9\n");
}

TEST_F(Ring, UnknownLocaleRecordsEmptyMessagesAndAbsentHandlesRecordNothing) {
    KvPdfSetLocale(handle_, 7);
    EXPECT_EQ(PushError(RingOf(doc_), -2, "u", 1), 0);
    EXPECT_EQ(Message(0), "");
    EXPECT_EQ(KvPdfGetErrorStr(handle_, -2), nullptr);
    const char *fallback = KvPdfGetErrorStr(handle_, -300);
    ASSERT_NE(fallback, nullptr);
    EXPECT_STREQ(fallback, "Hibakod: 0, hibauzenet: Ismeretlen hiba - tul nagy hiba index\n");
    void *block = const_cast<char *>(fallback);
    KvPDFDestroyer(&block);
    EXPECT_EQ(block, nullptr);

    EXPECT_EQ(PushError(nullptr, -2, "u", 1), 0);
    const KvPdfHandle stale = handle_ + 8;
    EXPECT_EQ(KvPdfGetLastErrorIndex(stale), -1);
    EXPECT_EQ(KvPdfResetErrors(stale), 0);
    EXPECT_EQ(KvPdfSetLocale(0, 1), 0);
    EXPECT_EQ(KvPdfPrintErrors(-4), 0);
    EXPECT_EQ(KvPdfGetErrorStr(stale, -2), nullptr);
}

// Every code a source file records must have a message, unless it is one of the codes
// that have none in either language.
TEST(Messages, EveryRecordedCodeHasItsText) {
    std::map<std::string, int> values;
    std::regex def(R"(#define (KVPDF_(?:ERR|WARN)_\w+) \((-?\d+)\))");
    std::string header = kvtest::ReadFile(KVPDF_SOURCE_DIR "/include/kvpdf.h");
    for (std::sregex_iterator it(header.begin(), header.end(), def), end; it != end; ++it)
        values[(*it)[1]] = std::stoi((*it)[2]);
    ASSERT_GT(values.size(), 90u);

    std::set<std::string> used;
    std::regex call(R"(KV_(?:ERROR|FAIL|WRITE_FAIL)\([^;]*)"), named(R"(KVPDF_\w+)");
    DIR *d = opendir(KVPDF_SOURCE_DIR "/src");
    ASSERT_NE(d, nullptr);
    while (dirent *ent = readdir(d)) {
        std::string name = ent->d_name;
        if (name.size() < 4 || name.substr(name.size() - 4) != ".cpp") continue;
        std::string text = kvtest::ReadFile(std::string(KVPDF_SOURCE_DIR "/src/") + name);
        for (std::sregex_iterator it(text.begin(), text.end(), call), end; it != end; ++it) {
            const std::string args = it->str();
            for (std::sregex_iterator c(args.begin(), args.end(), named); c != end; ++c)
                used.insert(c->str());
        }
    }
    closedir(d);
    ASSERT_GE(used.size(), 25u);

    const std::set<int> without_text = {-57, -126};
    KvPdfHandle h = KvPDFInit("x.pdf", nullptr, 0);
    for (const std::string &name : used) {
        ASSERT_TRUE(values.count(name)) << name;
        int code = values[name];
        KvPdfSetLocale(h, 0);
        std::string hu = KvPdfGetErrorStr(h, code);
        KvPdfSetLocale(h, 1);
        std::string en = KvPdfGetErrorStr(h, code);
        if (without_text.count(code)) continue;
        EXPECT_FALSE(hu.empty() && en.empty()) << name << " (" << code << ") has no message";
        // Codes -102 to -156 are Hungarian only; every other text exists in both.
        if (code > -102 || code < -156) {
            if (code != -84 && code != -85 && code != -90) {
                EXPECT_FALSE(hu.empty()) << name;
            }
            EXPECT_FALSE(en.empty()) << name;
        }
    }
    KvPDFClose(h);
}

} // namespace
