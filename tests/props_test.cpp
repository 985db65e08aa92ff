// SPDX-License-Identifier: Apache-2.0
// Signing properties, judged by the signature dictionary they produce, and
// signature-appearance files.
#include "kvtest.h"

using kvtest::ReadFile;
using kvtest::TempDir;
using kvtest::WriteFile;

namespace {

constexpr const char kHuSentence[] =
    "A digit\xE1lis al\xE1\xEDr\xE1s a Korvane Kft. PDF Plume term\xE9k\xE9vel k\xE9sz\xFClt.";

TEST(Properties, EachSettingShowsInTheWrittenRevision) {
    struct Set {
        int32_t id;
        intptr_t value;
        int32_t result;
    };
    const auto text = [](const char *t) { return KVPDF_TEXT(t); };
    const struct {
        std::vector<Set> sets;
        std::vector<std::string> written;
    } cases[] = {
        {{{KVPDF_PROP_REASON, text("why"), 1}}, {std::string("/Reason (why - ") + kHuSentence}},
        // An absent text clears.
        {{{KVPDF_PROP_REASON, text("why"), 1}, {KVPDF_PROP_REASON, 0, 1}},
         {std::string("/Reason (") + kHuSentence + ")"}},
        {{{KVPDF_PROP_LOCALE, 1, 1}},
         {"/Reason (Digitally signed and timestamped by Korvane PDF Plume.)"}},
        {{{KVPDF_PROP_NAME, text("n"), 1}, {KVPDF_PROP_CONTACT, text("c"), 1}},
         {"/Name(n)\n/ContactInfo(c)"}},
        // Stored without a range test.
        {{{KVPDF_PROP_RECT_LLX, -8000, 1},
          {KVPDF_PROP_RECT_LLY, -9000, 1},
          {KVPDF_PROP_RECT_URX, -10000, 1},
          {KVPDF_PROP_RECT_URY, -11000, 1}},
         {"/Rect[-8000 -9000 -10000 -11000]"}},
        // An unknown choice is ignored; the writers need a name.
        {{{KVPDF_PROP_SUBFILTER_SELECT, KVPDF_SUBFILTER_CADES, 1},
          {KVPDF_PROP_SUBFILTER_SELECT, 4, 0}},
         {"/SubFilter/ETSI.CAdES.detached"}},
        {{{KVPDF_PROP_SUBFILTER, text("ETSI.RFC3161"), 1}, {KVPDF_PROP_SUBFILTER, 0, 0}},
         {"/SubFilter/ETSI.RFC3161"}},
        {{{KVPDF_PROP_KONTIR_TEXT, text("note"), 1}, {KVPDF_PROP_POPUP_OPEN, 0, 1}},
         {"/Contents(note)", "/Open false"}},
        // The host's time for /M and the note; a refused text leaves the last one set.
        {{{KVPDF_PROP_FIXED_TIME, text("946728000"), 1},
          {KVPDF_PROP_FIXED_TIME, text("0"), 0},
          {KVPDF_PROP_FIXED_TIME, text("-5"), 0},
          {KVPDF_PROP_FIXED_TIME, text("12x"), 0},
          {KVPDF_PROP_FIXED_TIME, text("32503680000"), 0},
          {KVPDF_PROP_FIXED_TIME, text("000000000001"), 0},
          {KVPDF_PROP_KONTIR_TEXT, text("n"), 1}},
         {"/M(D:20000101", "/CreationDate(D:20000101"}},
    };
    TempDir dir;
    WriteFile(dir.file("in.pdf"), kvtest::OnePagePdf());
    auto written = [&](const std::function<void(KvPdfHandle)> &set) {
        KvPdfHandle h = KvPDFInit(dir.file("in.pdf").c_str(), dir.file("out.pdf").c_str(), 0);
        KvPDFSetProperty(h, KVPDF_PROP_VISIBLE, 0);
        set(h);
        EXPECT_EQ(KvPdfWritePDFWithoutSignature(h, 0), 1);
        KvPDFClose(h);
        return ReadFile(dir.file("out.pdf"));
    };
    for (const auto &c : cases) {
        const std::string file = written([&](KvPdfHandle h) {
            for (const Set &set : c.sets)
                EXPECT_EQ(KvPDFSetProperty(h, set.id, set.value), set.result) << set.id;
        });
        EXPECT_TRUE(kvtest::Contains(file, c.written));
    }
    // An empty text gives the clock back.
    EXPECT_EQ(written([](KvPdfHandle h) {
                  KvPDFSetProperty(h, KVPDF_PROP_FIXED_TIME, KVPDF_TEXT("946728000"));
                  EXPECT_EQ(KvPDFSetProperty(h, KVPDF_PROP_FIXED_TIME, KVPDF_TEXT("")), 1);
              }).find("D:20000101"),
              std::string::npos);
    KvPdfHandle h = KvPDFInit("x.pdf", nullptr, 0);
    for (int32_t id : {0, 27, 29, 32, 39, 42, 49, 51, -1})
        EXPECT_EQ(KvPDFSetProperty(h, id, 1), 0) << id;
    EXPECT_EQ(KvPDFSetProperty(h, KVPDF_PROP_ATTACHMENT_ADD, KVPDF_TEXT("a\\b.txt")), 1);
    EXPECT_EQ(KvPDFSetProperty(h, KVPDF_PROP_ATTACHMENTS_CLEAR, 0), 1);
    char version[16] = "";
    EXPECT_EQ(KvPDFGetProperty(h, 0, version), 1);
    EXPECT_STREQ(version, "1.5.0.457");
    EXPECT_EQ(KvPDFGetProperty(h, 42, nullptr), 1);
    EXPECT_EQ(KvPDFGetProperty(h, 7, nullptr), 0);
    KvPDFClose(h);
}

TEST(AppearanceFiles, WrittenFilesReadBackWithTheirBoxAndImageSize) {
    TempDir dir;
    const std::string made = dir.file("made.SigAppx");
    EXPECT_EQ(KvWriteDigSigAppImage(nullptr, made.c_str(), "50", "205"), 1);
    const std::string body = ReadFile(KVPDF_SOURCE_DIR "/data/image_a.body");
    EXPECT_EQ(ReadFile(made), "1.5/KvImgHeight 50 /KvImgWidth 205 " + body);

    KvPdfHandle h = KvPDFInit("x.pdf", nullptr, 0);
    intptr_t value = KvPDFSetLogo(h, made.c_str());
    ASSERT_GT(value, 0);
    auto *logo = reinterpret_cast<LogoImage *>(value);
    EXPECT_EQ(logo->box_height, 50);
    EXPECT_EQ(logo->box_width, 205);
    EXPECT_EQ(logo->image_width, 630);
    EXPECT_EQ(logo->image_height, 197);
    EXPECT_EQ(logo->is_sigappx, 1); // the extension in any letter case
    int32_t height = 0, width = 0;
    EXPECT_EQ(KvPdfGetLogoDimension(h, nullptr, &height, &width), 1); // the handle's last load
    EXPECT_EQ(std::make_pair(height, width), std::make_pair(197, 630));
    EXPECT_EQ(KvPDFLogoFree(logo), 1);
    EXPECT_EQ(KvPDFLogoFree(nullptr), 0);
    EXPECT_EQ(KvPdfGetLogoDimensionFile(made.c_str(), &height, &width), 1);
    EXPECT_EQ(height, 197);

    // An image body file copied behind the header; a missing one leaves the header alone.
    WriteFile(dir.file("body.bin"), "<</Width 3/Height 4>>stream\nxyz\n");
    EXPECT_EQ(KvWriteDigSigAppImage(dir.file("body.bin").c_str(), made.c_str(), "7", "8"), 1);
    EXPECT_EQ(ReadFile(made), "1.5/KvImgHeight 7 /KvImgWidth 8 <</Width 3/Height 4>>stream\nxyz\n");
    EXPECT_EQ(KvWriteDigSigAppImage(dir.file("none").c_str(), made.c_str(), "7", "8"), 1);
    EXPECT_EQ(ReadFile(made), "1.5/KvImgHeight 7 /KvImgWidth 8 ");
    EXPECT_EQ(KvWriteDigSigAppImage(nullptr, nullptr, "7", "8"), -1);
    EXPECT_EQ(KvWriteDigSigAppImage(nullptr, dir.file("no/dir").c_str(), "7", "8"), -2);

    // Refusals: a missing file, and a header without /KvImgWidth.
    KvPdfResetErrors(h);
    EXPECT_EQ(KvPDFSetLogo(h, dir.file("missing").c_str()), -70);
    WriteFile(dir.file("bad.sigappx"), "1.0/KvImgHeight 50 <</Width 1/Height 1>>");
    EXPECT_EQ(KvPDFSetLogo(h, dir.file("bad.sigappx").c_str()), -72);
    EXPECT_EQ(kvtest::RingCodes(h), (std::vector<int>{-70, -72}));
    EXPECT_EQ(KvPDFSetLogo(0, dir.file("missing").c_str()), -70); // nothing to record it in
    EXPECT_EQ(KvPDFLogoFree(reinterpret_cast<LogoImage *>(KvPDFSetLogo(h, nullptr))), 1);
    EXPECT_EQ(KvPdfGetLogoDimensionFile(dir.file("missing").c_str(), &height, &width), -70);
    EXPECT_EQ(height, 0);
    KvPDFClose(h);
}

} // namespace
