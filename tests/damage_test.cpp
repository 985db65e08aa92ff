// SPDX-License-Identifier: Apache-2.0
// What the library refuses before it appends anything: inputs that are no regular file
// or too large for 32-bit offsets, and documents whose structure contradicts itself.
#include "kvtest.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string FirstMessage(KvPdfHandle h) {
    ErrorEntry e;
    return KvPdfGetError(h, 0, &e) == 1 ? e.message : "";
}

TEST(Refusals, InputsThatAreNoRegularFileOrTooLarge) {
    kvtest::TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    // Sparse: 5 GiB long, nothing on disk.
    kvtest::WriteFile(dir.file("big.pdf"), "%PDF-1.7\n");
    ASSERT_EQ(truncate(dir.file("big.pdf").c_str(), 5ll << 30), 0);
    const struct {
        std::string path;
        int32_t code;
        const char *message;
    } cases[] = {
        {dir.file("fifo"), -210, "fifo is not a regular file but a FIFO."},
        {dir.path(), -210, "is not a regular file but a directory."},
        {"/dev/null", -210, "/dev/null is not a regular file but a device."},
        {dir.file("big.pdf"), -211, "big.pdf is 5368709120 bytes long"},
    };
    const std::string out = dir.file("out.pdf");
    for (const auto &c : cases) {
        KvPdfHandle h = KvPDFInit(c.path.c_str(), out.c_str(), 0);
        KvPdfSetLocale(h, KVPDF_LOCALE_EN);
        // At once: a FIFO is never opened, a large file never copied.
        EXPECT_EQ(KvPdfWritePDFWithoutSignature(h, 0), c.code) << c.path;
        EXPECT_EQ(kvtest::RingCodes(h), (std::vector<int>{c.code, -45}));
        EXPECT_NE(FirstMessage(h).find(c.message), std::string::npos) << FirstMessage(h);
        EXPECT_EQ(access(out.c_str(), F_OK), -1) << c.path;
        EXPECT_EQ(KvIsPDFFile(c.path.c_str(), h), c.code);
        KvPDFClose(h);
    }
}

TEST(Refusals, StructureThatContradictsItself) {
    const std::string pages = "<</Type/Pages/Kids[3 0 R]/Count 1>>";
    const std::string page = "<</Type/Page/Parent 2 0 R>>";
    struct Case {
        const char *what;
        std::vector<std::pair<uint32_t, std::string>> objects;
        int32_t code;
        uint32_t misplaced = 0, to = 0;                // a table entry that leads to another object
        std::pair<std::string, std::string> edit = {}; // replaced once in the file
    };
    const Case cases[] = {
        {"/AcroForm names the catalog",
         {{1, "<</Type/Catalog/Pages 2 0 R/AcroForm 1 0 R>>"}, {2, pages}, {3, page}},
         -213},
        {"/Fields names the catalog",
         {{1, "<</Type/Catalog/Pages 2 0 R/AcroForm<</Fields 1 0 R>>/OpenAction[3 0 R/Fit]>>"},
          {2, pages},
          {3, page}},
         -213},
        {"/Fields names the form",
         {{1, "<</Type/Catalog/Pages 2 0 R/AcroForm 4 0 R>>"},
          {2, pages},
          {3, page},
          {4, "<</Fields 4 0 R/CO[5 0 R]>>"}},
         -213},
        {"/Annots names the page itself",
         {{1, "<</Type/Catalog/Pages 2 0 R>>"},
          {2, pages},
          {3, "<</Type/Page/Parent 2 0 R/Annots 3 0 R>>"}},
         -213},
        {"/Annots names the /Fields array",
         {{1, "<</Type/Catalog/Pages 2 0 R/AcroForm<</Fields 4 0 R>>>>"},
          {2, pages},
          {3, "<</Type/Page/Parent 2 0 R/Annots 4 0 R>>"},
          {4, "[]"}},
         -213},
        {"the page tree leads back to the catalog",
         {{1, "<</Type/Catalog/Pages 2 0 R>>"}, {2, "<</Type/Pages/Kids[1 0 R]/Count 1>>"}},
         -213},
        {"/Parent names nothing",
         {{1, "<</Type/Catalog/Pages 2 0 R>>"}, {2, pages}, {3, "<</Type/Page/Parent 9 0 R>>"}},
         -216},
        {"the table leads from the page to another object",
         {{1, "<</Type/Catalog/Pages 2 0 R>>"},
          {2, pages},
          {3, page},
          {4, "<</Type/Page/Parent 2 0 R/Rotate 90>>"}},
         -212,
         3,
         4},
        // What other readers work around must not be carried into the new revision.
        {"the catalog the update rewrites is malformed",
         {{1, "<</Type/Catalog/Pages 2 0 R)>>"}, {2, pages}, {3, page}},
         -218},
        {"the trailer the update chains to is malformed",
         {{1, "<</Type/Catalog/Pages 2 0 R>>"}, {2, pages}, {3, page}},
         -218,
         0,
         0,
         {"/Root 1 0 R>>", "/Root 1 0 R]>>"}},
        // Caught only by reading the revision back; the output is the copy again.
        {"the page's header names another generation than the table",
         {{1, "<</Type/Catalog/Pages 2 0 R>>"}, {2, pages}, {3, page}},
         -214,
         0,
         0,
         {"3 0 obj", "3 5 obj"}},
    };
    kvtest::TempDir dir;
    const std::string src = dir.file("in.pdf"), out = dir.file("out.pdf");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        kvtest::PdfBuilder b;
        for (const auto &o : c.objects)
            b.Object(o.first, o.second);
        b.ClassicXref();
        std::string bytes = b.bytes();
        if (c.misplaced) {
            char entry[32], other[32];
            snprintf(entry, sizeof entry, "%010zu 00000 n", b.offset_of(c.misplaced));
            snprintf(other, sizeof other, "%010zu 00000 n", b.offset_of(c.to));
            bytes.replace(bytes.rfind(entry), strlen(entry), other);
        }
        if (!c.edit.first.empty())
            bytes.replace(bytes.find(c.edit.first), c.edit.first.size(), c.edit.second);
        kvtest::WriteFile(src, bytes);
        KvPdfHandle h = KvPDFInit(src.c_str(), out.c_str(), 0);
        EXPECT_EQ(KvPdfWritePDFWithoutSignature(h, 0), c.code);
        std::vector<int> ring = kvtest::RingCodes(h);
        EXPECT_EQ(ring.front(), c.code);
        // The reading stage, or the writing one for what only the read-back finds.
        EXPECT_EQ(ring.back(), c.code == -214 ? -47 : -45);
        EXPECT_EQ(kvtest::ReadFile(out), bytes); // the copy, nothing appended
        KvPDFClose(h);
    }

    // A trailer's /Info that names nothing is left out of the new trailer.
    kvtest::PdfBuilder b = kvtest::OnePage();
    kvtest::ClassicOptions o;
    o.trailer_extra = "/Info 99 0 R";
    b.ClassicXref(o);
    kvtest::WriteFile(src, b.bytes());
    ASSERT_EQ(kvtest::HostSign(src, out, {}).value, 1);
    const std::string update = kvtest::ReadFile(out).substr(b.bytes().size());
    EXPECT_EQ(update.find("/Info"), std::string::npos);
    EXPECT_TRUE(kvtest::CheckersAccept(out, 1));
}

} // namespace
