// Signing properties and signature-appearance files.
#include "pdf_attachment.h"
#include "pdf_document.h"
#include "pdf_mem.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>

using namespace kvpdf;

using kvtest::ReadFile;
using kvtest::TempDir;
using kvtest::WriteFile;

namespace {

TEST(Properties, EveryIdAndItsResult) {
    KvPdfHandle h = KvPDFInit("x.pdf", nullptr, 0);
    PdfDocument *doc = HandleLookup(h);
    EXPECT_EQ(KvPDFSetProperty(h, KVPDF_PROP_REASON, KVPDF_TEXT("why")), 1);
    EXPECT_STREQ(doc->settings.sig_reason, "why");
    EXPECT_EQ(KvPDFSetProperty(h, KVPDF_PROP_REASON, 0), 1); // an absent text clears it
    EXPECT_EQ(doc->settings.sig_reason, nullptr);
    for (int32_t id = KVPDF_PROP_RECT_LLX; id <= KVPDF_PROP_RECT_URY; ++id)
        EXPECT_EQ(KvPDFSetProperty(h, id, -id * 1000), 1);
    EXPECT_EQ(doc->settings.sig_rect[3], -11000); // stored without a range test
    EXPECT_EQ(KvPDFSetProperty(h, KVPDF_PROP_SUBFILTER_SELECT, KVPDF_SUBFILTER_PKCS7), 1);
    EXPECT_EQ(KvPDFSetProperty(h, KVPDF_PROP_SUBFILTER_SELECT, KVPDF_SUBFILTER_CADES), 1);
    EXPECT_EQ(KvPDFSetProperty(h, KVPDF_PROP_SUBFILTER_SELECT, 4), 0);
    EXPECT_STREQ(doc->settings.sig_subfilter, "ETSI.CAdES.detached");
    EXPECT_EQ(KvPDFSetProperty(h, KVPDF_PROP_SUBFILTER, KVPDF_TEXT("ETSI.RFC3161")), 1);
    EXPECT_STREQ(doc->settings.sig_subfilter, "ETSI.RFC3161");
    EXPECT_EQ(KvPDFSetProperty(h, KVPDF_PROP_SUBFILTER, 0), 0); // the writers need a name
    EXPECT_STREQ(doc->settings.sig_subfilter, "ETSI.RFC3161");
    EXPECT_EQ(KvPDFSetProperty(h, KVPDF_PROP_LOCALE, 1), 1);
    EXPECT_STREQ(doc->settings.reason_suffix, "Digitally signed and timestamped by Korvane PDF Plume.");
    EXPECT_EQ(KvPDFSetProperty(h, KVPDF_PROP_POPUP_OPEN, 0), 1);
    EXPECT_EQ(doc->settings.kontir_popup_open, 0);
    for (int32_t id : {0, 27, 29, 32, 39, 42, 49, 51, -1})
        EXPECT_EQ(KvPDFSetProperty(h, id, 1), 0) << id;
    EXPECT_EQ(KvPDFSetProperty(h, KVPDF_PROP_ATTACHMENT_ADD, KVPDF_TEXT("a\\b.txt")), 1);
    EXPECT_EQ(KvPDFSetProperty(h, KVPDF_PROP_ATTACHMENT_ADD, KVPDF_TEXT("c.txt")), 1);
    ASSERT_EQ(doc->settings.attachment_list_count, 2u);
    EXPECT_STREQ(doc->settings.attachment_list[0].name, "a\\b.txt"); // unchanged, no doubling
    EXPECT_EQ(KvPDFSetProperty(h, KVPDF_PROP_ATTACHMENTS_CLEAR, 0), 1);
    EXPECT_EQ(doc->settings.attachment_list_count, 0u);
    char version[16] = "";
    EXPECT_EQ(KvPDFGetProperty(h, 0, version), 1);
    EXPECT_STREQ(version, "1.5.0.457");
    EXPECT_EQ(KvPDFGetProperty(h, 42, nullptr), 1);
    EXPECT_EQ(KvPDFGetProperty(h, 7, nullptr), 0);

    EXPECT_EQ(KvPDFSetProperties(h, 1, 2, 3, 4, "n", nullptr, "r", nullptr, nullptr, 1, 1), 1);
    EXPECT_STREQ(doc->settings.signer_name, "n");
    EXPECT_EQ(doc->settings.sig_location, nullptr);
    EXPECT_EQ(doc->settings.no_page_walk, 1);
    EXPECT_EQ(KvPDFSetKontirProperties(h, "t", "s", nullptr, 1, 5, 6, 7, 8, 9, 10, 11, 12), 1);
    EXPECT_EQ(doc->settings.kontir_popup_rect[3], 12);
    EXPECT_EQ(doc->settings.kontir_title, nullptr);
    KvPDFClose(h);

    EXPECT_EQ(KvPDFSetProperty(h, 1, 0), -51);
    EXPECT_EQ(KvPDFSetProperties(h, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0),
              -52);
    EXPECT_EQ(KvPDFSetKontirProperties(h, nullptr, nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0),
              -61);
    EXPECT_EQ(KvPDFGetProperty(h, 0, version), -1);
}

TEST(AppearanceFiles, WrittenFilesReadBackWithTheirBoxAndImageSize) {
    TempDir dir;
    std::string made = dir.file("made.SigAppx");
    EXPECT_EQ(KvWriteDigSigAppImage(nullptr, made.c_str(), "50", "205"), 1);
    std::string body = ReadFile(KVPDF_SOURCE_DIR "/data/image_a.body");
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
    EXPECT_EQ(std::string(reinterpret_cast<char *>(logo->data), logo->data_length), " " + body);
    int32_t height = 0, width = 0;
    EXPECT_EQ(KvPdfGetLogoDimension(h, logo, &height, &width), 1);
    EXPECT_EQ(width, 630);
    EXPECT_EQ(KvPdfGetLogoDimension(h, nullptr, &height, &width), 1); // the handle's last load
    EXPECT_EQ(height, 197);
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
    intptr_t empty = KvPDFSetLogo(h, nullptr);
    ASSERT_GT(empty, 0);
    EXPECT_EQ(reinterpret_cast<LogoImage *>(empty)->data, nullptr);
    KvPDFLogoFree(reinterpret_cast<LogoImage *>(empty));
    EXPECT_EQ(KvPdfGetLogoDimensionFile(dir.file("missing").c_str(), &height, &width), -70);
    EXPECT_EQ(height, 0);
    KvPDFClose(h);
}

} // namespace
