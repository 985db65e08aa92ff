#include "kvpdf.h"
#include "pdf_builder.h"
#include "pdf_document.h"
#include "pdf_mem.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

using namespace kvpdf;

using kvtest::ReadFile;
using kvtest::RingCodes;
using kvtest::TempDir;
using kvtest::WriteFile;

namespace {

std::string SmallPdf() {
    return kvtest::OnePagePdf();
}

int32_t Process(KvPdfHandle handle, int32_t mode) {
    PdfDocument *doc = HandleLookup(handle);
    doc->mode = mode;
    return ProcessPdf(doc);
}

TEST(Handle, InitSetsDefaultsAndSignatureBufferSizes) {
    const std::vector<std::pair<int32_t, uint32_t>> sizes = {
        {0, 30000}, {-5, 30000}, {1, 2000}, {1999, 2000}, {2000, 2000}, {50000, 50000}};
    for (auto [given, reserved] : sizes) {
        KvPdfHandle h = KvPDFInit("a.pdf", "b.pdf", given);
        ASSERT_GT(h, 0);
        EXPECT_EQ(HandleLookup(h)->settings.sig_buffer_size, reserved) << given;
        KvPDFClose(h);
    }
    EXPECT_EQ(KvPDFInit(nullptr, "b.pdf", 0), -10);

    KvPdfHandle h = KvPDFInit("a.pdf", nullptr, 0);
    PdfDocument *doc = HandleLookup(h);
    EXPECT_STREQ(doc->settings.target_path, "a.pdf");
    EXPECT_STREQ(doc->settings.sig_subfilter, "adbe.pkcs7.detached");
    EXPECT_EQ(std::vector<int32_t>(doc->settings.sig_rect, doc->settings.sig_rect + 4),
              (std::vector<int32_t>{47, 575, 255, 634}));
    EXPECT_EQ(std::vector<int32_t>(doc->settings.kontir_popup_rect, doc->settings.kontir_popup_rect + 4),
              (std::vector<int32_t>{595, 550, 775, 670}));
    EXPECT_EQ(doc->settings.visible_signature, 1);
    EXPECT_EQ(doc->errors.last_error_index, -1);
    EXPECT_EQ(doc->parsed.root_obj, -1);
    EXPECT_EQ(doc->parsed.trailer_size, -1);
    EXPECT_STREQ(doc->settings.reason_suffix,
                 "A digit\xE1lis al\xE1\xEDr\xE1s a Korvane Kft. PDF Plume term\xE9k\xE9vel "
                 "k\xE9sz\xFClt.");
    doc->errors.locale = 1;
    EXPECT_EQ(KvPDFUpdateLocal(h), 1);
    EXPECT_STREQ(doc->settings.reason_suffix, "Digitally signed and timestamped by Korvane PDF Plume.");
    doc->errors.locale = 3;
    EXPECT_EQ(KvPDFUpdateLocal(h), -1);
    EXPECT_EQ(KvPDFClose(h), 1);
}

TEST(Handle, OnlyLiveHandlesAreUsed) {
    KvPdfHandle h = KvPDFInit("a.pdf", nullptr, 0);
    int open = HandleOpenCount();
    EXPECT_EQ(KvPDFClose(h), 1);
    EXPECT_EQ(HandleOpenCount(), open - 1);
    // A closed handle, an invented one and the codes KvPDFInit returns are all absent.
    for (KvPdfHandle bad : {h, h + 16, KvPdfHandle{0}, KvPdfHandle{-10}}) {
        EXPECT_EQ(KvPDFClose(bad), 1);
        EXPECT_EQ(KvPDFRestorePDF(bad), -1);
        EXPECT_EQ(KvPDFUpdateLocal(bad), -1);
        EXPECT_EQ(KvIsPDFFile("a.pdf", bad), -1);
        EXPECT_EQ(KvGetPDFFileVersion("a.pdf", nullptr, nullptr, bad), -1);
    }
    int32_t v[4] = {0, 0, 0, 0};
    EXPECT_EQ(KvPDFGetVersion(&v[0], &v[1], nullptr, &v[3]), 1);
    EXPECT_EQ(v[0] * 1000 + v[1] * 100 + v[3], 1957);
    EXPECT_EQ(v[2], 0);
    char text[16];
    EXPECT_EQ(KvPDFGetVersionStr(text), 1);
    EXPECT_STREQ(text, "1.5.0.457");
    EXPECT_EQ(KvPDFGetVersionStr(nullptr), 0);
}

TEST(Handle, HeaderTestAndVersion) {
    TempDir dir;
    KvPdfHandle h = KvPDFInit("x.pdf", nullptr, 0);
    struct Case {
        std::string bytes;
        int32_t result, major, minor;
    };
    const std::vector<Case> cases = {
        {"%PDF-1.4\n%rest", 8, 1, 4},
        {"%PDF-1.10\n", 9, 1, 10},
        {"%PDF-2.0", 8, 2, 0},
        {"%PDF-1", 7, 1, 0},
        {"\xEF\xBB\xBF%PDF-1.4\n", -2, -1, -1},
        {" %PDF-1.4\n", -2, -1, -1},
        {"%PDF", -2, -1, -1},
    };
    for (const Case &c : cases) {
        std::string path = dir.file("v.pdf");
        WriteFile(path, c.bytes);
        int32_t major = -1, minor = -1;
        EXPECT_EQ(KvGetPDFFileVersion(path.c_str(), &major, &minor, h), c.result) << c.bytes;
        EXPECT_EQ(major, c.major) << c.bytes;
        EXPECT_EQ(minor, c.minor) << c.bytes;
        EXPECT_EQ(KvIsPDFFile(path.c_str(), h), c.result > 0 ? 1 : -2) << c.bytes;
        FILE *f = fopen(path.c_str(), "rb");
        EXPECT_EQ(KvIsPDFFilePointer(f, h), c.result > 0 ? 1 : -2);
        fclose(f);
    }
    KvPdfResetErrors(h);
    EXPECT_EQ(KvIsPDFFile(dir.file("missing.pdf").c_str(), h), -10);
    EXPECT_EQ(KvGetPDFFileVersion(dir.file("missing.pdf").c_str(), nullptr, nullptr, h), -10);
    EXPECT_EQ(RingCodes(h), (std::vector<int>{-10, -10}));
    KvPDFClose(h);
}

TEST(Handle, ProcessCopiesToTheTargetAndRestoreTakesTheUpdateBack) {
    TempDir dir;
    std::string src = dir.file("in.pdf"), dst = dir.file("out.pdf"), pdf = SmallPdf();
    WriteFile(src, pdf);
    KvPdfHandle h = KvPDFInit(src.c_str(), dst.c_str(), 0);
    EXPECT_EQ(KvPDFRestorePDF(h), -48); // nothing processed yet
    ASSERT_EQ(Process(h, kModeSign), 1);
    PdfDocument *doc = HandleLookup(h);
    EXPECT_EQ(ReadFile(dst), pdf);
    EXPECT_EQ(doc->parsed.source_length, pdf.size());
    EXPECT_EQ(doc->parsed.trailer_size, 5);
    EXPECT_EQ(doc->update.plan.sig_field_obj, 5 + 2); // visible signature: the image comes first
    WriteFile(dst, pdf + "appended update");
    EXPECT_EQ(KvPDFRestorePDF(h), 1);
    EXPECT_EQ(ReadFile(dst), pdf);
    EXPECT_EQ(ReadFile(src), pdf);

    // A reading operation wrote nothing, so there is nothing to take back.
    WriteFile(dst, "an unrelated file");
    ASSERT_EQ(Process(h, kModeReadAttachments), 1);
    EXPECT_EQ(KvPDFRestorePDF(h), -48);
    EXPECT_EQ(ReadFile(dst), "an unrelated file");
    KvPDFClose(h);

    // The target cannot be created: -9 alone, nothing else.
    h = KvPDFInit(src.c_str(), dir.file("no/such/dir/out.pdf").c_str(), 0);
    EXPECT_EQ(Process(h, kModeSign), -9);
    EXPECT_EQ(RingCodes(h), std::vector<int>{-9});
    KvPDFClose(h);
}

TEST(Handle, SameFileUnderAnotherNameIsNotCopiedOntoItself) {
    TempDir dir;
    std::string src = dir.file("in.pdf"), pdf = SmallPdf();
    WriteFile(src, pdf);
    ASSERT_EQ(symlink(src.c_str(), dir.file("link.pdf").c_str()), 0);
    ASSERT_EQ(link(src.c_str(), dir.file("hard.pdf").c_str()), 0);
    for (const char *other : {"link.pdf", "hard.pdf"}) {
        KvPdfHandle h = KvPDFInit(src.c_str(), dir.file(other).c_str(), 0);
        EXPECT_EQ(Process(h, kModeSign), 1) << other;
        EXPECT_EQ(ReadFile(src), pdf) << other;
        KvPDFClose(h);
    }
    KvPdfHandle h = KvPDFInit(src.c_str(), nullptr, 0);
    EXPECT_EQ(Process(h, kModeSign), 1);
    EXPECT_EQ(ReadFile(src), pdf);
    KvPDFClose(h);
}

TEST(Handle, ProcessRecordsStageCodesForUnreadableFiles) {
    TempDir dir;
    std::string src = dir.file("in.pdf");
    KvPdfHandle h = KvPDFInit(src.c_str(), nullptr, 0);
    EXPECT_EQ(Process(h, kModeFindSignatures), -10);
    EXPECT_EQ(RingCodes(h), (std::vector<int>{-10, -45}));
    WriteFile(src, "GIF89a not a pdf");
    KvPdfResetErrors(h);
    EXPECT_EQ(Process(h, kModeFindSignatures), -2);
    EXPECT_EQ(RingCodes(h), (std::vector<int>{-2, -45}));
    KvPDFClose(h);
}

TEST(Handle, VersionRuleOfTheWriters) {
    KvPdfHandle h = KvPDFInit("x.pdf", nullptr, 0);
    PdfDocument *doc = HandleLookup(h);
    KvPdfSetLocale(h, 1);
    struct Case {
        int major, minor, given, result;
    } cases[] = {{1, 2, 1, 1},    {1, 9, 1, 1},    {1, 1, 1, -200}, {1, 0, 1, -200},
                 {2, 0, 1, -200}, {0, 7, 1, -200}, {1, 1, -11, -11}};
    for (const Case &c : cases) {
        KvPdfResetErrors(h);
        doc->parsed.pdf_major = c.major;
        doc->parsed.pdf_minor = c.minor;
        EXPECT_EQ(ApplyVersionRule(doc, c.given), c.result) << c.major << "." << c.minor;
        if (c.result == 1) {
            EXPECT_EQ(KvPdfGetLastErrorIndex(h), -1);
        } else {
            ErrorEntry e;
            KvPdfGetError(h, 0, &e);
            EXPECT_EQ(e.code, -200);
            EXPECT_EQ(std::string(e.message), "PDF version (" + std::to_string(c.major) + "." +
                                                  std::to_string(c.minor) +
                                                  ") not supported. Higher PDF version needed.");
        }
    }
    KvPDFClose(h);
}

// A first-page linearization dictionary: /L must equal the file length.
std::string Linearized(const std::string &keys, int64_t length_delta, bool xref_after) {
    std::string out = "%PDF-1.7\n1 0 obj\n<</Linearized 1/L ##########/O 3" + keys +
                      ">>\nendobj\n" + (xref_after ? "xref\n0 0\ntrailer<<>>\n" : "no keyword\n");
    char number[16];
    snprintf(number, sizeof number, "%-10lld", static_cast<long long>(out.size() + length_delta));
    out.replace(out.find("##########"), 10, number);
    return out;
}

TEST(Handle, LinearizationProbe) {
    TempDir dir;
    KvPdfHandle h = KvPDFInit("x.pdf", nullptr, 0);
    PdfDocument *doc = HandleLookup(h);
    auto probe = [&](const std::string &bytes) {
        std::string path = dir.file("lin.pdf");
        WriteFile(path, bytes);
        FILE *f = fopen(path.c_str(), "rb");
        doc->parsed.is_linearized = 0;
        doc->parsed.page_obj = -1;
        Reader r = ReaderOf(doc);
        int32_t rc = ProbeLinearized(r, f, 0);
        fclose(f);
        return rc;
    };
    std::string good = Linearized("/T 42", 0, true);
    int32_t at = probe(good);
    EXPECT_EQ(static_cast<size_t>(at), good.find("xref"));
    EXPECT_EQ(doc->parsed.is_linearized, 1);
    EXPECT_EQ(doc->parsed.page_obj, 3);
    EXPECT_EQ(doc->parsed.linearized_first_xref, 42);
    EXPECT_EQ(doc->parsed.source_length, good.size());
    EXPECT_EQ(probe(Linearized("/T 42", 5, true)), -7); // updated after linearization
    EXPECT_EQ(probe(Linearized("", 0, true)), -8);      // no /T
    EXPECT_EQ(probe(Linearized("/T 42", 0, false)), 0); // "xref" never comes
    EXPECT_EQ(probe(SmallPdf()), 0);
    EXPECT_EQ(doc->parsed.is_linearized, 0);
    KvPDFClose(h);
}

} // namespace
