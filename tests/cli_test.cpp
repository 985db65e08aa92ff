// The command-line tool, by its output and exit status.
#include "kvtest_pdf.h"

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

// The local PKI and services.
struct World {
    kvtest::Pki &pki = kvtest::World::Get().pki();
    std::string tsa = kvtest::World::Get().TsaUrl();
};

std::string Sample() {
    return KVPDF_SOURCE_DIR "/samples/sample.pdf";
}

TEST(CliSigning, SignTimestampAndVerifyByOutputAndStatus) {
    World w;
    kvtest::TempDir dir;
    kvtest::World::Get().SetTsaMode(kvtest::TsaMode::Normal);
    int status = 0;
    const std::string p12 = " --p12 '" + w.pki.signer.p12 + "' --password secret";
    const std::string one = dir.file("one.pdf"), two = dir.file("two.pdf"),
                      three = dir.file("three.pdf");
    std::string out = Cli("sign '" + Sample() + "' '" + one + "'" + p12 +
                              " --cades --rect 70,310,270,370 --name 'Jane Roe' --reason Approved"
                              " --tsa " +
                              w.tsa,
                          &status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_NE(out.find("ETSI.CAdES.detached signature"), std::string::npos) << out;
    out = Cli("sign '" + one + "' '" + two + "' --key '" + w.pki.signer.key_pem + "' --cert '" +
                  w.pki.signer.chain_pem + "' --invisible",
              &status);
    ASSERT_EQ(status, 0) << out;
    out = Cli("timestamp '" + two + "' '" + three + "' --tsa " + w.tsa, &status);
    ASSERT_EQ(status, 0) << out;
    for (const auto &s : kvtest::RunPdfsig(three)) {
        if (s.subfilter != "unknown") {
            EXPECT_TRUE(s.valid) << s.raw; // pdfsig cannot check document timestamps
        }
    }

    // Trusted through the test root: every signature intact, valid and trusted.
    const std::string trust = " --trust '" + w.pki.root.pem + "'";
    out = Cli("verify '" + three + "'" + trust, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("3 of 3 signatures intact, valid and trusted."), std::string::npos) << out;
    EXPECT_NE(out.find("kind:          signature, ETSI.CAdES.detached"), std::string::npos);
    EXPECT_NE(out.find("kind:          document timestamp, ETSI.RFC3161"), std::string::npos);
    EXPECT_NE(out.find("signer:        CN="), std::string::npos);
    EXPECT_NE(out.find("covers:        not the whole file: "), std::string::npos);
    EXPECT_NE(out.find("covers:        the whole file"), std::string::npos);
    EXPECT_EQ(out.find("timestamp:     none\n  covers:        not the whole file"),
              out.find("timestamp:     none"))
        << "the first signature carries its timestamp:\n"
        << out;
    // No trust anchor: intact and valid, not trusted, with the reason.
    out = Cli("verify '" + three + "'", &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("trusted:       no - "), std::string::npos) << out;
    EXPECT_NE(out.find("0 of 3 signatures"), std::string::npos);
    // A changed byte inside the first signature's range: not intact.
    std::string bytes = kvtest::ReadFile(one);
    bytes[200] ^= 0x20;
    kvtest::WriteFile(dir.file("changed.pdf"), bytes);
    out = Cli("verify '" + dir.file("changed.pdf") + "'" + trust, &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("intact:        no"), std::string::npos) << out;

    // A Kontir note stands in the page's annotations after the widget: the search for
    // signatures stops there, after finding the signature before it.
    out = Cli("sign '" + Sample() + "' '" + dir.file("note.pdf") + "'" + p12 +
                  " --kontir 'Cost centre 42'",
              &status);
    ASSERT_EQ(status, 0) << out;
    out = Cli("verify '" + dir.file("note.pdf") + "'" + trust, &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("1 of 1 signature intact, valid and trusted."), std::string::npos) << out;
    EXPECT_NE(out.find("the search for signatures stopped (code -32)"), std::string::npos) << out;
}

TEST(CliSigning, RevokedSignerAndRefusedRequests) {
    World w;
    kvtest::TempDir dir;
    int status = 0;
    const std::string out_pdf = dir.file("revoked.pdf");
    std::string out = Cli("sign '" + Sample() + "' '" + out_pdf + "' --p12 '" + w.pki.revoked.p12 +
                              "' --password secret --invisible",
                          &status);
    ASSERT_EQ(status, 0) << out;
    out = Cli("verify '" + out_pdf + "' --trust '" + w.pki.root.pem + "' --online", &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("intact:        yes\n  valid:         yes\n  trusted:       no - "),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("revoked"), std::string::npos) << out;

    // A wrong password: nothing is left behind.
    const std::string failed = dir.file("failed.pdf");
    out = Cli("sign '" + Sample() + "' '" + failed + "' --p12 '" + w.pki.signer.p12 +
                  "' --password nope",
              &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("password"), std::string::npos) << out;
    EXPECT_FALSE(kvtest::Exists(failed));
    // Signing in place that fails takes the revision back out.
    kvtest::WriteFile(dir.file("in-place.pdf"), kvtest::ReadFile(Sample()));
    out = Cli("sign '" + dir.file("in-place.pdf") + "' '" + dir.file("in-place.pdf") + "' --p12 '" +
                  w.pki.signer.p12 + "' --password nope",
              &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(kvtest::ReadFile(dir.file("in-place.pdf")), kvtest::ReadFile(Sample()));
    // Usage errors and help.
    EXPECT_EQ((Cli("sign a.pdf b.pdf", &status), status), 2);
    EXPECT_EQ((Cli("sign a.pdf b.pdf --p12 x --key y", &status), status), 2);
    EXPECT_EQ((Cli("sign a.pdf b.pdf --p12 x --rect 1,2,3", &status), status), 2);
    EXPECT_EQ((Cli("timestamp a.pdf b.pdf", &status), status), 2);
    EXPECT_EQ((Cli("verify", &status), status), 2);
    for (const char *command : {"sign", "timestamp", "verify", "signatures", "info"})
        EXPECT_EQ((Cli(std::string(command) + " --help", &status), status), 0) << command;
}

// The README's main job, run by its own script with the built tool.
TEST(CliSigning, DemoScriptSignsAndVerifiesTheSample) {
    kvtest::TempDir dir;
    std::string out;
    int status = kvtest::Run("KVPDF_DEMO_CLI='" KVPDF_CLI "' KVPDF_DEMO_DIR='" + dir.path() +
                                 "' '" KVPDF_SOURCE_DIR "/scripts/demo.sh' 2>&1",
                             &out);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("1 of 1 signature intact, valid and trusted."), std::string::npos) << out;
    EXPECT_NE(out.find("Signature Validation: Signature is Valid."), std::string::npos) << out;
    EXPECT_NE(out.find("Certificate Validation: Certificate is Trusted."), std::string::npos)
        << out;
    EXPECT_NE(out.find("The signed file: "), std::string::npos);
    EXPECT_NE(kvtest::ReadFile(dir.file("pki/root.pem")).find("CERTIFICATE"), std::string::npos);
}

} // namespace
