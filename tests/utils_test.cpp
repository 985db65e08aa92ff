#include "pdf_mem.h"
#include "pdf_utils.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

using namespace kvpdf;

using kvtest::ReadFile;
using kvtest::TempDir;
using kvtest::WriteFile;

namespace {

std::string Take(char *text) {
    std::string s = text ? text : "<null>";
    TrackedFreeT(text);
    return s;
}

TEST(Utilities, CopyFileExactlyAndNeverOntoItself) {
    TempDir dir;
    for (size_t size : {size_t{0}, size_t{2048}, size_t{3 << 20}}) {
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i)
            data[i] = static_cast<char>(i * 7);
        WriteFile(dir.file("src"), data);
        EXPECT_EQ(PdfCopyFile(dir.file("dst").c_str(), dir.file("src").c_str(), "wb+"), 0);
        EXPECT_EQ(ReadFile(dir.file("dst")), data) << size;
        // Append mode goes through the buffered copy.
        EXPECT_EQ(PdfCopyFile(dir.file("dst").c_str(), dir.file("src").c_str(), "ab"), 0);
        EXPECT_EQ(ReadFile(dir.file("dst")), data + data) << size;
    }
    EXPECT_EQ(PdfCopyFile(dir.file("src").c_str(), dir.file("src").c_str(), "wb+"), -1);
    EXPECT_EQ(ReadFile(dir.file("src")).size(), size_t{3 << 20});
    EXPECT_EQ(PdfCopyFile(dir.file("dst").c_str(), dir.file("missing").c_str(), "wb+"), -1);
    EXPECT_EQ(PdfCopyFile(dir.file("no/dir").c_str(), dir.file("src").c_str(), "wb+"), -1);
    EXPECT_EQ(PdfCopyFile(nullptr, dir.file("src").c_str(), "wb+"), -1);

    uint8_t *data = nullptr;
    uint32_t n = 0;
    WriteFile(dir.file("small"), "abc");
    std::string padded = "  " + dir.file("small") + " \t";
    ASSERT_EQ(PdfLoadFile(padded.c_str(), &data, &n), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data), n), "abc");
    TrackedFreeT(data);
    EXPECT_EQ(PdfLoadFile(dir.file("missing").c_str(), &data, &n), 0);
}

TEST(Utilities, TextEditing) {
    char blanks[] = "   \t ";
    EXPECT_STREQ(PdfTrim(blanks), "");
    char padded[] = "  a b  ";
    EXPECT_STREQ(PdfTrim(padded), "a b");
    EXPECT_EQ(PdfTrim(nullptr), nullptr);

    EXPECT_EQ(PdfEndsWithNoCase("logo.SIGAPPX", ".sigappx"), 1);
    EXPECT_EQ(PdfEndsWithNoCase("dir.d/logo.sigapp", ".sigappx"), 0);
    EXPECT_EQ(PdfEndsWithNoCase("sigappx", ".sigappx"), 0); // no '.' in the name
    EXPECT_EQ(PdfEndsWithNoCase("x.sigappx", ""), 0);

    char *out = nullptr;
    EXPECT_EQ(PdfInsertString("<</A 1/Pages 2 0 R>>", "/B 3", 6, &out), 1);
    EXPECT_EQ(Take(out), "<</A 1/B 3/Pages 2 0 R>>");
    const char bytes[] = {'a', '\0', 'b', 'c'};
    EXPECT_EQ(PdfInsertBytes(bytes, 4, "XY", 2, &out), 7u);
    EXPECT_EQ(std::string(out, 6), std::string("a\0XYbc", 6));
    EXPECT_EQ(out[6], '\0');
    TrackedFreeT(out);

    char path[32] = "/a.pdf/b.pdf";
    char *after = PdfReplaceFirst(path, sizeof path, ".pdf", ".pdf.tmp");
    EXPECT_STREQ(path, "/a.pdf.tmp/b.pdf");
    EXPECT_EQ(after, path + 10);
    char tight[12] = "x.pdf";
    EXPECT_EQ(PdfReplaceFirst(tight, sizeof tight, ".pdf", ".pdf.tmp.long"), nullptr);
    EXPECT_STREQ(tight, "x.pdf");
    EXPECT_EQ(PdfReplaceFirst(tight, sizeof tight, ".PDF", ".x"), tight);

    EXPECT_EQ(Take(PdfReplaceAll("a\\b\\c", "\\", "\\\\")), "a\\\\b\\\\c");
    EXPECT_EQ(Take(PdfReplaceAll("aXbXXc", "X", nullptr)), "abc");
    EXPECT_EQ(Take(PdfReplaceAll("aaaa", "aa", "b")), "bb");
    EXPECT_EQ(PdfReplaceAll("abc", "x", "y"), nullptr);
    EXPECT_EQ(PdfReplaceAll("abc", "", "y"), nullptr);
}

TEST(Utilities, TempFileNamesAreUniqueAndNeverTheSource) {
    TempDir dir;
    const char *old = getenv("TMPDIR");
    std::string saved = old ? old : "";
    setenv("TMPDIR", dir.path().c_str(), 1);
    std::string a = Take(PdfTempFileName(nullptr)), b = Take(PdfTempFileName(nullptr));
    EXPECT_NE(a, b);
    EXPECT_EQ(a.rfind(dir.path() + "/KV_Temp_PDF", 0), 0u) << a;
    struct stat st;
    EXPECT_EQ(stat(a.c_str(), &st), 0); // reserved on disk, so no one else takes it

    // Without a usable temporary directory the name derives from the source path.
    setenv("TMPDIR", dir.file("missing").c_str(), 1);
    EXPECT_EQ(Take(PdfTempFileName("/data.pdf/in.pdf")), "/data.pdf.tmp/in.pdf");
    EXPECT_EQ(Take(PdfTempFileName("/data/in.PDF")), "/data/in.PDF.kvtmp");
    if (old)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
}

TEST(Utilities, SignatureListLookupsAndLogoLayoutChoice) {
    KvPdfHandle h = KvPDFInit("x.pdf", nullptr, 0);
    PdfDocument *doc = HandleLookup(h);
    int32_t index = -1, error = 0;
    EXPECT_EQ(PdfCheckSignatureIndex(doc->found, &index, &error), 0); // empty list
    EXPECT_EQ(error, -102);
    EXPECT_EQ(PdfFindTimestampEntry(doc->found), -1);
    const int32_t kinds[] = {2, 0, 2, 1};
    doc->found.signatures = static_cast<SignatureInfo *>(TrackedAlloc("t", 1, 4 * sizeof(SignatureInfo)));
    memset(doc->found.signatures, 0, 4 * sizeof(SignatureInfo));
    doc->found.signature_count = 4;
    for (int i = 0; i < 4; ++i)
        doc->found.signatures[i].kind = kinds[i];
    index = -1;
    EXPECT_EQ(PdfCheckSignatureIndex(doc->found, &index, &error), 1);
    EXPECT_EQ(index, 3);
    index = 4;
    error = 0;
    EXPECT_EQ(PdfCheckSignatureIndex(doc->found, &index, &error), 0);
    EXPECT_EQ(error, -102);
    EXPECT_EQ(PdfFindTimestampEntry(doc->found), 2);
    EXPECT_EQ(PdfFindSignatureOfKind(doc->found, 1), 3);
    EXPECT_EQ(PdfFindSignatureOfKind(doc->found, 5), -1);
    index = 0;
    EXPECT_EQ(PdfIsTimestampEntry(doc->found, &index), 1);
    index = -1;
    EXPECT_EQ(PdfIsTimestampEntry(doc->found, &index), 0);

    LogoImage logo{};
    logo.is_sigappx = 1;
    EXPECT_EQ(PdfNeedsLogoObjects(nullptr, &logo), 1);
    EXPECT_EQ(PdfNeedsLogoObjects(&doc->settings, &logo), 1);
    doc->settings.visible_signature = 0;
    EXPECT_EQ(PdfNeedsLogoObjects(&doc->settings, &logo), 0);
    doc->settings.visible_signature = 1;
    EXPECT_EQ(PdfNeedsLogoObjects(&doc->settings, nullptr), 0);
    doc->settings.logo_is_sigappx = 1;
    EXPECT_EQ(PdfNeedsLogoObjects(&doc->settings, nullptr), 1);
    EXPECT_EQ(PdfNeedsLogoObjects(nullptr, nullptr), 0);
    KvPDFClose(h);
}

} // namespace
