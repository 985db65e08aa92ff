// The command-line tool, by its output and exit status.
#include "pdf_builder.h"
#include "sign_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Cli(const std::string &args, int *status) {
    std::string out;
    *status = kvtest::Run(std::string("'" KVPDF_CLI "' ") + args + " 2>&1", &out);
    return out;
}

TEST(Cli, InfoPrintsTheCrossReferenceChainOrTheRefusal) {
    int status = 0;
    std::string out = Cli("info '" KVPDF_SOURCE_DIR "/samples/sample.pdf'", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("Header: %PDF-1.7 (header length 8)"), std::string::npos) << out;
    EXPECT_NE(out.find("Linearized: no"), std::string::npos);
    EXPECT_NE(out.find("  1. offset "), std::string::npos);
    EXPECT_NE(out.find(", table"), std::string::npos);
    EXPECT_NE(out.find("Root object: 1"), std::string::npos);

    kvtest::TempDir dir;
    kvtest::PdfBuilder b;
    b.Object(1, "<</Type/Catalog/Pages 2 0 R>>");
    b.Object(2, "<</Type/Pages/Kids[]/Count 0>>");
    kvtest::ClassicOptions o;
    o.trailer_extra = "/Encrypt 3 0 R";
    b.ClassicXref(o);
    kvtest::WriteFile(dir.file("enc.pdf"), b.bytes());
    out = Cli("info '" + dir.file("enc.pdf") + "'", &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("-4: The source PDF file is encrypted."), std::string::npos) << out;
    // Hungarian messages come out as UTF-8.
    out = Cli("info '" + dir.file("enc.pdf") + "' --lang hu", &status);
    EXPECT_NE(out.find("-4: A dokumentum titkositott"), std::string::npos) << out;
    kvtest::WriteFile(dir.file("old.pdf"), "%PDF-1.6\nno xref at all\n");
    out = Cli("info '" + dir.file("old.pdf") + "' --lang hu", &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("-16: Xref tabla keresese soran hiba tortent (FINDXREF)."),
              std::string::npos)
        << out;
    EXPECT_EQ((Cli("info", &status), status), 2);
    EXPECT_EQ((Cli("info --help", &status), status), 0);
    EXPECT_EQ((Cli("frobnicate", &status), status), 2);
}

TEST(Cli, SignaturesListsFieldsKindsRangesAndCoverage) {
    kvtest::TempDir dir;
    std::string src = KVPDF_SOURCE_DIR "/samples/sample.pdf";
    kvtest::SignRequest r;
    r.configure = [](KvPdfHandle h) {
        KvPDFSetProperty(h, KVPDF_PROP_LOCALE, 0);
        KvPDFSetProperty(h, KVPDF_PROP_NAME, KVPDF_TEXT("Jane Roe"));
    };
    ASSERT_EQ(kvtest::HostSign(src, dir.file("1.pdf"), r).value, 1);
    kvtest::SignRequest t;
    t.timestamp = true;
    ASSERT_EQ(kvtest::HostSign(dir.file("1.pdf"), dir.file("2.pdf"), t).value, 1);
    int status = 0;
    std::string out = Cli("signatures '" + dir.file("2.pdf") + "'", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("Signatures: 2"), std::string::npos) << out;
    EXPECT_NE(out.find("kind:            signature\n    subfilter:       adbe.pkcs7.detached"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("kind:            document timestamp\n    subfilter:       ETSI.RFC3161"),
              std::string::npos);
    EXPECT_NE(out.find("name:            Jane Roe"), std::string::npos);
    // The product sentence, Windows-1250 in the file, shown as UTF-8.
    EXPECT_NE(out.find("A digitális aláírás a Korvane Kft. PDF Plume termékével készült."),
              std::string::npos);
    EXPECT_NE(out.find("covers:          not the whole file: "), std::string::npos);
    EXPECT_NE(out.find("covers:          the whole file"), std::string::npos);
    out = Cli("signatures '" + src + "'", &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(out.find("Signatures: 0"), std::string::npos);
    EXPECT_EQ((Cli("signatures '" + dir.file("none.pdf") + "'", &status), status), 1);
}

} // namespace
