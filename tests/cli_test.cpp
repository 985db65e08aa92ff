// SPDX-License-Identifier: Apache-2.0
// The command-line tool, by its output and exit status: commands run in order, each with
// the status and the output fragments it must give.
#include "kvtest.h"

#include <netinet/in.h>
#include <random>
#include <regex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Step {
    std::string args;
    int status;
    std::vector<std::string> output;
};

void RunSteps(const std::vector<Step> &steps) {
    for (const Step &s : steps) {
        std::string out;
        const int status = kvtest::Run(kvtest::Quote(KVPDF_CLI) + " " + s.args + " 2>&1", &out);
        EXPECT_EQ(status, s.status) << s.args << "\n" << out;
        EXPECT_TRUE(kvtest::Contains(out, s.output)) << s.args;
    }
}

const std::string kSamplePath = KVPDF_SOURCE_DIR "/samples/sample.pdf";
const std::string kSample = kvtest::Quote(kSamplePath);

TEST(Cli, InfoAndSignaturesPrintTheStructureOrTheRefusal) {
    kvtest::TempDir dir;
    kvtest::PdfBuilder b = kvtest::OnePage();
    kvtest::ClassicOptions o;
    o.trailer_extra = "/Encrypt 3 0 R";
    b.ClassicXref(o);
    kvtest::WriteFile(dir.file("enc.pdf"), b.bytes());
    kvtest::WriteFile(dir.file("old.pdf"), "%PDF-1.6\nno xref at all\n");
    kvtest::SignRequest r;
    r.configure = [](KvPdfHandle h) {
        KvPDFSetProperty(h, KVPDF_PROP_NAME, KVPDF_TEXT("Jane Roe"));
    };
    ASSERT_EQ(kvtest::HostSign(kSamplePath, dir.file("1.pdf"), r).value, 1);
    r.timestamp = true;
    ASSERT_EQ(kvtest::HostSign(dir.file("1.pdf"), dir.file("2.pdf"), r).value, 1);
    RunSteps({
        {"info " + kSample,
         0,
         {"Header: %PDF-1.7 (header length 8)", "Linearized: no", "  1. offset ", ", table",
          "Root object: 1"}},
        {"info " + dir.file("enc.pdf"), 1, {"-4: The source PDF file is encrypted."}},
        // Hungarian messages come out as UTF-8.
        {"info " + dir.file("enc.pdf") + " --lang hu", 1, {"-4: A dokumentum titkositott"}},
        {"info " + dir.file("old.pdf") + " --lang hu",
         1,
         {"-16: Xref tabla keresese soran hiba tortent (FINDXREF)."}},
        {"signatures " + dir.file("2.pdf"),
         0,
         {"Signatures: 2", "kind:            signature\n    subfilter:       adbe.pkcs7.detached",
          "kind:            document timestamp\n    subfilter:       ETSI.RFC3161",
          "name:            Jane Roe",
          // The product sentence, Windows-1250 in the file, shown as UTF-8.
          "A digitális aláírás a Korvane Kft. PDF Plume termékével készült.",
          "covers:          not the whole file: ", "covers:          the whole file"}},
        {"signatures " + kSample, 0, {"Signatures: 0"}},
        {"signatures " + dir.file("none.pdf"), 1, {}},
        {"info", 2, {}},
        {"frobnicate", 2, {}},
        {"sign a.pdf b.pdf", 2, {}},
        {"sign a.pdf b.pdf --p12 x --rect 1,2,3", 2, {}},
        {"verify", 2, {}},
        {"sign --help", 0, {}},
        {"info --help", 0, {}},
    });
}

// One table per command drives its parser, its --help and the manual page: every option
// the help shows is taken by the parser (the unknown one after it is what fails) and
// listed by the page, and the page renders without a troff warning.
TEST(Cli, HelpParserAndManualPageAgreeOnEveryOption) {
    const std::string cli = kvtest::Quote(KVPDF_CLI);
    std::string man;
    ASSERT_EQ(kvtest::Run(cli + " --man", &man), 0);
    const std::regex option("\n  (--[a-z0-9-]+)( [^ ]+)?");
    for (const char *command :
         {"sign", "timestamp", "verify", "ltv", "signatures", "info", "attachments", "attach"}) {
        std::string help, out;
        ASSERT_EQ(kvtest::Run(cli + " help " + command, &help), 0);
        EXPECT_TRUE(kvtest::Contains(man, {std::string(".SS ") + command + "\n"})) << command;
        int seen = 0;
        for (std::sregex_iterator m(help.begin(), help.end(), option), end; m != end; ++m) {
            const std::string name = (*m)[1],
                              troff = std::regex_replace(name, std::regex("-"), "\\-");
            EXPECT_EQ(kvtest::Run(cli + " " + command + " " + name + ((*m)[2].matched ? " 1" : "") +
                                      " --bogus 2>&1",
                                  &out),
                      2);
            EXPECT_TRUE(kvtest::Contains(out, {"unknown option --bogus"}))
                << command << name << out;
            EXPECT_TRUE(kvtest::Contains(
                man, {(*m)[2].matched ? ".BI \"" + troff + " \"" : ".B " + troff + "\n"}))
                << command << name;
            ++seen;
        }
        EXPECT_GT(seen, 0) << command;
    }
    if (kvtest::Run("command -v groff >/dev/null") != 0) return;
    kvtest::TempDir dir;
    kvtest::WriteFile(dir.file("kvpdf.1"), man);
    std::string warnings;
    EXPECT_EQ(kvtest::Run("groff -man -Tutf8 -ww " + kvtest::Quote(dir.file("kvpdf.1")) +
                              " 2>&1 >/dev/null",
                          &warnings),
              0);
    EXPECT_EQ(warnings, "");
}

TEST(Cli, SignTimestampAndVerifyWithTheLocalPki) {
    const kvtest::Pki &pki = kvtest::World::Get().pki();
    kvtest::World::Get().SetTsaMode(kvtest::TsaMode::Normal);
    const std::string tsa = " --tsa " + kvtest::World::Get().TsaUrl();
    const std::string p12 = " --p12 " + pki.signer.p12 + " --password secret";
    const std::string trust = " --trust " + pki.root.pem;
    kvtest::TempDir dir;
    auto f = [&](const char *name) { return " " + dir.file(name); };
    RunSteps({
        {"sign " + kSample + f("one.pdf") + p12 +
             " --cades --rect 70,310,270,370 --name 'Jane Roe' --reason Approved" + tsa,
         0,
         {"ETSI.CAdES.detached signature"}},
        {"sign" + f("one.pdf") + f("two.pdf") + " --key " + pki.signer.key_pem + " --cert " +
             pki.signer.chain_pem + " --invisible",
         0,
         {}},
        {"timestamp" + f("two.pdf") + f("three.pdf") + tsa, 0, {}},
        // Trusted through the test root: every signature intact, valid and trusted; only
        // the first signature carries a timestamp of its own.
        {"verify" + f("three.pdf") + trust,
         0,
         {"3 of 3 signatures intact, valid and trusted.",
          "kind:          signature, ETSI.CAdES.detached",
          "kind:          document timestamp, ETSI.RFC3161",
          "signer:        CN=", " UTC\n  covers:        not the whole file: ",
          "timestamp:     none\n  covers:        not the whole file: ",
          "covers:        the whole file"}},
        // No trust anchor: intact and valid, not trusted, with the reason.
        {"verify" + f("three.pdf"), 1, {"trusted:       no - ", "0 of 3 signatures"}},
        // A Kontir note stands in the page's annotations after the widget: the search for
        // signatures stops there, after finding the signature before it.
        {"sign " + kSample + f("note.pdf") + p12 + " --kontir 'Cost centre 42'", 0, {}},
        // The note after the widget ends the default search; verify searches everything.
        {"verify" + f("note.pdf") + trust, 0, {"1 of 1 signature intact, valid and trusted."}},
        {"sign " + kSample + f("revoked.pdf") + " --p12 " + pki.revoked.p12 +
             " --password secret --invisible",
         0,
         {}},
        {"verify" + f("revoked.pdf") + trust + " --online",
         1,
         {"intact:        yes\n  valid:         yes\n  trusted:       no - ", "revoked"}},
        // A wrong password leaves nothing behind.
        {"sign " + kSample + f("failed.pdf") + " --p12 " + pki.signer.p12 + " --password nope",
         1,
         {"password"}},
    });
    EXPECT_NE(kvtest::Run("test -e " + dir.file("failed.pdf")), 0);
    EXPECT_TRUE(kvtest::CheckersAccept(dir.file("three.pdf"), 3));

    // A changed byte inside the first signature's range: not intact. Signing in place
    // that fails takes the revision back out.
    std::string changed = kvtest::ReadFile(dir.file("one.pdf"));
    changed[200] ^= 0x20;
    kvtest::WriteFile(dir.file("changed.pdf"), changed);
    kvtest::WriteFile(dir.file("in-place.pdf"), kvtest::ReadFile(kSamplePath));
    RunSteps({{"verify" + f("changed.pdf") + trust, 1, {"intact:        no"}},
              {"sign" + f("in-place.pdf") + f("in-place.pdf") + " --p12 " + pki.signer.p12 +
                   " --password nope",
               1,
               {}}});
    EXPECT_EQ(kvtest::ReadFile(dir.file("in-place.pdf")), kvtest::ReadFile(kSamplePath));
}

// The signed file with one more revision that rewrites the catalog: a change no
// signature permits.
std::string ChangeCatalog(const std::string &pdf) {
    const long prev = atol(pdf.c_str() + pdf.rfind("startxref") + 10);
    const long size = atol(pdf.c_str() + pdf.rfind("/Size ") + 6);
    const size_t catalog = pdf.rfind("\n1 0 obj") + 1;
    std::string body = pdf.substr(catalog, pdf.find("endobj", catalog) + 7 - catalog);
    std::string out = pdf + body.insert(body.find("<<") + 2, "/Lang (en)");
    char section[200];
    snprintf(section, sizeof section,
             "xref\n0 2\n0000000000 65535 f \n%010zu 00000 n \ntrailer\n<< /Size %ld /Root 1 0 "
             "R /Prev %ld >>\nstartxref\n%zu\n%%%%EOF\n",
             pdf.size(), size, prev, out.size());
    return out + section;
}

TEST(Cli, VerifyReportsRangesLaterChangesAndJson) {
    const kvtest::Pki &pki = kvtest::World::Get().pki();
    const std::string p12 = " --p12 " + pki.signer.p12 + " --password secret";
    const std::string trust = " --trust " + pki.root.pem;
    kvtest::TempDir dir;
    auto f = [&](const std::string &name) { return " " + kvtest::Quote(dir.file(name)); };
    kvtest::WriteFile(dir.file("page.pdf"), kvtest::OnePagePdf());
    RunSteps({{"sign" + f("page.pdf") + f("one.pdf") + p12 + " --invisible", 0, {}},
              {"sign" + f("one.pdf") + f("q\"b\\s\tt.pdf") + p12, 0, {}}});
    const std::string one = kvtest::ReadFile(dir.file("one.pdf"));
    // The same length of digits, starting at 5: the ranges no longer start the file.
    std::string shifted = one;
    shifted[shifted.rfind("/ByteRange[0") + 11] = '5';
    kvtest::WriteFile(dir.file("shifted.pdf"), shifted);
    kvtest::WriteFile(dir.file("changed.pdf"), ChangeCatalog(one));
    RunSteps({
        {"verify" + f("q\"b\\s\tt.pdf") + trust,
         0,
         {"later changes: signatures, timestamps and validation data only\n\nSignature #2",
          "revocation:    none", "later changes: no later changes\n\n2 of 2 signatures"}},
        {"verify" + f("shifted.pdf") + trust,
         1,
         {"intact:        no - /ByteRange does not start at 0"}},
        {"verify" + f("changed.pdf") + trust,
         1,
         {"later changes: OTHER CHANGES: objects 1\n", "1 of them with other later changes"}},
    });
    std::string json;
    EXPECT_EQ(kvtest::Run(kvtest::Quote(KVPDF_CLI) + " verify --json" + f("q\"b\\s\tt.pdf") +
                              trust + " 2>/dev/null",
                          &json),
              0);
    EXPECT_EQ(json.substr(0, 2) + json.substr(json.size() - 2), "{\n}\n");
    EXPECT_TRUE(kvtest::Contains(
        json, {"q\\\"b\\\\s\\tt.pdf\",", "\"count\": 2,", "\"kind\": \"signature\"",
               "\"signer\": \"CN=", "\"intact\": true,\n      \"intact_reason\": null,",
               "\"trusted\": true,", "\"revocation\": \"none\"", "\"whole_file\": false",
               "\"whole_file\": true", "\"check\": \"ok\"", "\"class\": \"signatures\"",
               "\"class\": \"none\"", "\"objects\": []", "\"permission\": null",
               "\"exit_status\": 0\n}"}));
}

// A certification at each level in a field of the user's name; a file attached later
// breaks the level that permits no change, and a second certification is refused.
TEST(Cli, CertifiesAtEachLevelInTheNamedField) {
    const kvtest::Pki &pki = kvtest::World::Get().pki();
    const std::string p12 = " --p12 " + pki.signer.p12 + " --password secret";
    const std::string trust = " --trust " + pki.root.pem;
    kvtest::TempDir dir;
    auto f = [&](const std::string &name) { return " " + dir.file(name); };
    std::vector<Step> steps;
    for (const std::string level : {"1", "2", "3"}) {
        steps.push_back({"sign " + kSample + f(level + ".pdf") + p12 + " --certify --docmdp " +
                             level + " --field 'Cert (" + level + ")'",
                         0,
                         {}});
        steps.push_back({"verify" + f(level + ".pdf") + trust,
                         0,
                         {"certification: DocMDP /P " + level + ", permission respected"}});
    }
    RunSteps(steps);
    kvtest::WriteFile(dir.file("a.txt"), "attached");
    RunSteps({
        {"attach" + f("1.pdf") + f("1a.pdf") + f("a.txt"), 0, {}},
        {"verify" + f("1a.pdf") + trust, 1, {"certification: DocMDP /P 1, VIOLATED"}},
        {"sign" + f("2.pdf") + f("x.pdf") + p12 + " --certify", 1, {"-233: "}},
        {"sign" + f("2.pdf") + f("x.pdf") + p12 + " --field 'Cert (2)'", 1, {"-230: "}},
        {"sign" + f("2.pdf") + f("x.pdf") + p12 + " --docmdp 2", 2, {"--certify"}},
        {"sign" + f("2.pdf") + f("x.pdf") + p12 + " --certify --docmdp 4",
         2,
         {"--docmdp 4: not a whole number from 1 to 3"}},
        {"sign" + f("2.pdf") + f("x.pdf") + p12 + " --page 0", 2, {"--page 0: not a whole number"}},
        {"sign" + f("2.pdf") + f("x.pdf") + p12 + " --page 2", 1, {"-232: "}},
    });
    std::string report;
    (void)kvtest::RunPdfsig(dir.file("3.pdf"), &report);
    EXPECT_TRUE(kvtest::Contains(report, {"Signature Field Name: Cert (3)", "is Valid."}));
}

// Headers the writers warn about: 1.1 and 2.0 are signed and stamped all the same (the
// corpus's 2.0 file says so in its catalog only: no warning there).
TEST(Cli, SignsOldAndX0HeadersAfterTheWarning) {
    const kvtest::Pki &pki = kvtest::World::Get().pki();
    kvtest::World::Get().SetTsaMode(kvtest::TsaMode::Normal);
    kvtest::TempDir dir;
    std::vector<std::pair<std::string, std::string>> inputs = {{dir.file("v11.pdf"), "(1.1)"},
                                                               {dir.file("v20.pdf"), "(2.0)"}};
    kvtest::WriteFile(inputs[0].first, kvtest::OnePagePdf("%PDF-1.1\n"));
    kvtest::WriteFile(inputs[1].first, kvtest::OnePagePdf("%PDF-2.0\n"));
    if (const std::string corpus = kvtest::CorpusDir(); !corpus.empty()) {
        inputs.emplace_back(corpus + "/classic-v11-01.pdf", "(1.1)");
        inputs.emplace_back(corpus + "/pdf20-incremental-01.pdf", "");
    }
    for (const auto &[in, version] : inputs) {
        if (kvtest::Run("test -e " + kvtest::Quote(in)) != 0) continue;
        const std::string out = dir.file("signed.pdf"), stamped = dir.file("stamped.pdf");
        std::vector<std::string> warning;
        if (!version.empty())
            warning = {"kvpdf: warning: PDF version " + version + " not supported"};
        RunSteps({{"sign " + kvtest::Quote(in) + " " + out + " --p12 " + pki.signer.p12 +
                       " --password secret",
                   0, warning},
                  {"timestamp " + out + " " + stamped + " --tsa " + kvtest::World::Get().TsaUrl(),
                   0, warning}});
        EXPECT_TRUE(kvtest::CheckersAccept(stamped, 2)) << in;
    }
}

// Every corpus file the library can sign, signed by the command: the new signature is
// the last one verify lists, intact, valid, trusted, covering the whole file, and the
// command lists the signed fields pdfsig lists (it lists unsigned ones too).
TEST(Cli, SignThenVerifyOverTheCorpus) {
    const std::string corpus = kvtest::CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "no corpus";
    const kvtest::Pki &pki = kvtest::World::Get().pki();
    kvtest::TempDir dir;
    int verified = 0;
    for (const kvtest::Row &row : kvtest::CorpusManifest()) {
        const std::string in = corpus + "/" + row.at("file"), out = dir.file("out.pdf");
        SCOPED_TRACE(row.at("file"));
        std::string said;
        const std::string cli = kvtest::Quote(KVPDF_CLI);
        if (kvtest::Run(cli + " sign " + kvtest::Quote(in) + " " + out + " --p12 " +
                            pki.signer.p12 + " --password secret 2>&1",
                        &said) != 0) {
            // Encrypted, shifted header, or a /Size the update cannot number after.
            EXPECT_TRUE(row.at("encrypted") == "1" || row.at("damaged") != "0" ||
                        said.find("-212") != std::string::npos)
                << said;
            continue;
        }
        size_t signed_fields = 0;
        for (const kvtest::PdfsigSignature &p : kvtest::RunPdfsig(out))
            signed_fields += p.raw.find("is not signed") == std::string::npos;
        kvtest::Run(cli + " verify --json " + out + " --trust " + pki.root.pem, &said);
        EXPECT_TRUE(kvtest::Contains(said, {"\"count\": " + std::to_string(signed_fields) + ","}));
        const std::string last = said.substr(said.rfind("\"index\": "));
        EXPECT_TRUE(
            kvtest::Contains(last, {"\"intact\": true", "\"valid\": true", "\"trusted\": true",
                                    "\"whole_file\": true", "\"class\": \"none\""}));
        verified += 1;
    }
    EXPECT_GE(verified, 20);
}

// A PKI with its TSA, OCSP responder and CRL server of its own, which a test can stop.
struct OwnServers {
    std::unique_ptr<kvtest::HttpServer> tsa = std::make_unique<kvtest::HttpServer>(),
                                        ocsp = std::make_unique<kvtest::HttpServer>(),
                                        crl = std::make_unique<kvtest::HttpServer>();
    kvtest::Pki pki{ocsp->Url("/"), crl->Url("/")};
    OwnServers() {
        tsa->Start([this](const kvtest::HttpRequest &r) {
            const std::string answer = pki.AnswerTimestamp(r.body);
            return kvtest::HttpReply(answer.empty() ? 400 : 200, answer);
        });
        ocsp->Start([this](const kvtest::HttpRequest &r) {
            return kvtest::HttpReply(200, pki.AnswerOcsp(r.body));
        });
        crl->Start([this](const kvtest::HttpRequest &r) {
            const bool known = r.path == "/root.crl" || r.path == "/inter.crl";
            return kvtest::HttpReply(known ? 200 : 404,
                                     known ? kvtest::ReadFile(pki.dir.file(r.path.substr(1))) : "");
        });
    }
    ~OwnServers() { Stop(); }
    OwnServers(const OwnServers &) = delete;
    OwnServers &operator=(const OwnServers &) = delete;
    void Stop() { tsa.reset(), ocsp.reset(), crl.reset(); }
};

size_t Count(const std::string &text, const std::string &fragment) {
    size_t n = 0;
    for (size_t at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1))
        ++n;
    return n;
}

// B-LTA made against the servers, then verified with every server gone: the file alone
// answers for both chains, and its self-issued root stays no trust anchor.
TEST(Cli, SignLtaVerifiesOfflineFromTheFileAlone) {
    OwnServers servers;
    const kvtest::Pki &pki = servers.pki;
    kvtest::TempDir dir;
    const std::string out = " " + dir.file("lta.pdf"), trust = " --trust " + pki.root.pem;
    RunSteps({{"sign " + kSample + out + " --p12 " + pki.signer.p12 +
                   " --password secret --cades --lta --tsa " + servers.tsa->Url("/tsa") + trust,
               0,
               {"Revocation data after fetching: ", "Added the validation data of 1 signature ",
                "Timestamped "}},
              {"sign " + kSample + out + " --p12 x --lta", 2, {"--ltv and --lta need --tsa"}}});
    EXPECT_GT(servers.ocsp->Requests() + servers.crl->Requests(), 0);
    servers.Stop();
    std::string text, json;
    EXPECT_EQ(kvtest::Run(kvtest::Quote(KVPDF_CLI) + " verify" + out + trust, &text), 0) << text;
    EXPECT_TRUE(kvtest::Contains(text, {"2 of 2 signatures intact, valid and trusted."}));
    EXPECT_EQ(Count(text, "(the chains' data from: file)\n  LTV data:      complete in the file"),
              2u)
        << text;
    EXPECT_EQ(kvtest::Run(kvtest::Quote(KVPDF_CLI) + " verify --json" + out + trust, &json), 0);
    EXPECT_EQ(Count(json, "\"revocation_sources\": [\n        \"file\"\n      ],\n      "
                          "\"validation_data\": {\n        \"complete\": true,"),
              2u)
        << json;
    RunSteps({{"verify" + out, 1, {"0 of 2 signatures", "trusted:       no - KVSX_UNTRUSTED"}}});
    EXPECT_TRUE(kvtest::CheckersAccept(dir.file("lta.pdf"), 2));
}

// kvpdf ltv on a file with two signatures and a document timestamp: one revision that
// leaves every signature as pdfsig saw it, nothing more the second time, fetched data
// with --online, and no output at all when a signature does not verify.
TEST(Cli, LtvAddsEverySignatureOnceAndKeepsThemIntact) {
    kvtest::World &world = kvtest::World::Get();
    const kvtest::Pki &pki = world.pki();
    world.SetTsaMode(kvtest::TsaMode::Normal);
    kvtest::TempDir dir;
    auto f = [&](const char *name) { return " " + dir.file(name); };
    const std::string p12 = " --p12 " + pki.signer.p12 + " --password secret --invisible";
    const std::string trust = " --trust " + pki.root.pem;
    const std::string crls = " --crl " + pki.inter_crl + " --crl " + pki.root_crl;
    RunSteps({{"sign " + kSample + f("one.pdf") + p12 + " --tsa " + world.TsaUrl(), 0, {}},
              {"sign" + f("one.pdf") + f("two.pdf") + p12, 0, {}},
              {"timestamp" + f("two.pdf") + f("three.pdf") + " --tsa " + world.TsaUrl(), 0, {}},
              {"ltv" + f("three.pdf") + f("lt.pdf") + trust + crls,
               0,
               {"Added the validation data of 3 signatures in a revision of "}},
              {"ltv" + f("lt.pdf") + f("again.pdf") + trust + crls, 0, {"Nothing new: "}},
              {"ltv" + f("again.pdf") + f("again.pdf") + trust + crls, 0, {"is as it was"}},
              {"verify" + f("lt.pdf") + trust, 0, {"3 of 3 signatures intact, valid and trusted."}},
              {"ltv" + f("three.pdf") + f("untrusted.pdf"), 1, {"(code -150)"}},
              {"ltv" + f("three.pdf"), 2, {}}});
    EXPECT_EQ(kvtest::ReadFile(dir.file("again.pdf")), kvtest::ReadFile(dir.file("lt.pdf")));
    EXPECT_NE(kvtest::Run("test -e" + f("untrusted.pdf")), 0);
    EXPECT_TRUE(kvtest::QpdfCheck(dir.file("lt.pdf")));
    const auto before = kvtest::RunPdfsig(dir.file("three.pdf"));
    const auto after = kvtest::RunPdfsig(dir.file("lt.pdf"));
    ASSERT_EQ(after.size(), 3u);
    for (size_t i = 0; i < after.size(); ++i) {
        EXPECT_EQ(after[i].signed_ranges, before[i].signed_ranges);
        EXPECT_TRUE(after[i].valid || after[i].subfilter == "unknown") << after[i].raw;
    }

    const int fetched = world.OcspRequests() + world.CrlRequests();
    RunSteps({{"ltv" + f("three.pdf") + f("online.pdf") + trust + " --online",
               0,
               {"Revocation data after fetching: ", "Added the validation data of 3 signatures"}}});
    EXPECT_GT(world.OcspRequests() + world.CrlRequests(), fetched);
    std::string text;
    kvtest::Run(kvtest::Quote(KVPDF_CLI) + " verify" + f("online.pdf") + trust, &text);
    EXPECT_EQ(Count(text, "LTV data:      complete in the file"), 3u) << text;
}

// Two files embedded in a corpus document: the tool and pdfdetach list the same names and
// give back the same bytes, and qpdf accepts the result.
TEST(Cli, AttachedFilesListAndSaveAsPopplerSeesThem) {
    const std::string corpus = kvtest::CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "no corpus";
    kvtest::TempDir dir;
    auto f = [&](const std::string &name) { return " " + kvtest::Quote(dir.file(name)); };
    std::string noise(3 << 20, '\0');
    std::mt19937 random(7);
    for (char &c : noise)
        c = static_cast<char>(random());
    const std::map<std::string, std::string> files = {{"résumé (v2).txt", "Curriculum vitae\n"},
                                                      {"noise.bin", noise}};
    for (const auto &[name, bytes] : files)
        kvtest::WriteFile(dir.file(name), bytes);
    kvtest::WriteFile(dir.file("in.pdf"), kvtest::ReadFile(corpus + "/classic-fpdf-01.pdf"));
    ASSERT_EQ(kvtest::Run("mkdir" + f("tool") + f("poppler")), 0);
    const std::string out = f("out.pdf");
    RunSteps({
        {"attach" + f("in.pdf") + out + f("résumé (v2).txt") + f("noise.bin") +
             " --desc 'CV, 2nd' --desc noise",
         0,
         {"Attached 2 files to "}},
        {"attachments" + out,
         0,
         {"  résumé (v2).txt  17 bytes  CV, 2nd\n", "  noise.bin  3145728 bytes  noise\n"}},
        {"attachments --json" + out,
         0,
         {"\"name\": \"résumé (v2).txt\",\n      \"size\": 17,", "\"count\": 2,"}},
        {"attachments" + out + " --all --to" + f("tool"), 0, {"Saved #1 ", "Saved #2 "}},
        {"attachments" + out + " --extract 2 --to" + f("tool"), 1, {"exists: not replaced"}},
        {"attachments" + out + " --extract 2 --to" + f("tool") + " --force", 0, {}},
    });
    std::string listed;
    EXPECT_EQ(kvtest::Run("pdfdetach -list" + out, &listed), 0);
    EXPECT_EQ(kvtest::Run("pdfdetach -saveall -o" + f("poppler") + out), 0);
    for (const auto &[name, bytes] : files) {
        EXPECT_TRUE(kvtest::Contains(listed, {": " + name + "\n"}));
        EXPECT_EQ(kvtest::ReadFile(dir.file("tool/" + name)), bytes) << name;
        EXPECT_EQ(kvtest::ReadFile(dir.file("poppler/" + name)), bytes) << name;
    }
    EXPECT_TRUE(kvtest::QpdfCheck(dir.file("out.pdf")));
}

// Stored names that lead out of the folder are cut to their last component and repeats
// numbered; an entry whose data cannot be read is reported while the others are saved.
// Refusals take one line and status 1, and leave no output behind.
TEST(Cli, AttachmentsSaveOnlyInsideTheFolderAndRefuseCleanly) {
    kvtest::TempDir dir;
    auto f = [&](const std::string &name) { return " " + kvtest::Quote(dir.file(name)); };
    struct Stored {
        std::string literal, data, saved; // saved "": the data do not inflate
    };
    const std::vector<Stored> table = {
        {"(../evil.txt)", "evil", "evil.txt"},
        {"(" + dir.file("abs.txt") + ")", "absolute", "abs.txt"},
        {R"((C:\\\\dir\\\\win.txt))", "windows", "win.txt"}, // doubled, as from a Windows path
        {"(..)", "dots", "attachment-4"},
        {"(dup.txt)", "first", "dup.txt"},
        {"(dup.txt)", "second", "dup-6.txt"},
        {"(broken.txt)", "not flate", ""},
    };
    kvtest::PdfBuilder b;
    b.Object(1, "<</Type/Catalog/Pages 2 0 R/Names 4 0 R>>");
    b.Object(2, "<</Type/Pages/Kids[3 0 R]/Count 1>>");
    b.Object(3, "<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]>>");
    b.Object(4, "<</EmbeddedFiles 5 0 R>>");
    std::string names;
    for (uint32_t i = 0, n = 10; i < table.size(); ++i, n += 2) {
        const Stored &s = table[i];
        names += "(" + std::to_string(n) + ") " + std::to_string(n) + " 0 R ";
        b.Object(n, "<</Type/Filespec/F" + s.literal + "/EF<</F " + std::to_string(n + 1) +
                        " 0 R>>>>");
        b.Object(n + 1, "<</Length " + std::to_string(s.data.size()) +
                            (s.saved.empty() ? "/Filter/FlateDecode" : "") + ">>stream\n" + s.data +
                            "\nendstream");
    }
    b.Object(5, "<</Names[" + names + "]>>");
    b.ClassicXref();
    kvtest::WriteFile(dir.file("names.pdf"), b.bytes());
    ASSERT_EQ(kvtest::Run("mkdir" + f("out")), 0);
    const std::string in = f("names.pdf");
    RunSteps({
        {"attachments" + in,
         0,
         {"  1  ../evil.txt  4 bytes  -\n", "  7  broken.txt  -  -\n", "kvpdf: warning: "}},
        {"attachments" + in + " --all --to" + f("out"),
         1,
         {"attachment #7 (broken.txt) has no data that can be read: not saved\n"}},
        {"attachments" + in + " --extract 8 --to" + f("out"),
         1,
         {"no attachment #8: the file has 7\n"}},
        {"attach" + in + f("x.pdf") + f("missing.txt"),
         1,
         {"missing.txt: it does not open or is not a file (code -112)\n"}},
        {"attach" + in + f("x.pdf") + f("out"), 1, {"(code -112)\n"}},
        {"attach" + in + in + f("x.pdf"), 2, {"are the same file"}},
    });
    for (const Stored &s : table)
        EXPECT_EQ(kvtest::ReadFile(dir.file("out/" + s.saved)), s.saved.empty() ? "" : s.data);
    EXPECT_NE(
        kvtest::Run("test -e" + f("evil.txt") + " -o -e" + f("abs.txt") + " -o -e" + f("x.pdf")),
        0);
}

// The literal string after the last key of pdf, escapes resolved, in UTF-8: UTF-16BE
// after its byte-order mark, other bytes read as Latin-1.
std::string LiteralText(const std::string &pdf, const std::string &key) {
    std::string b;
    for (size_t at = pdf.find('(', pdf.rfind(key)) + 1; at < pdf.size() && pdf[at] != ')'; ++at) {
        char c = pdf[at];
        if (c == '\\') {
            size_t n = 0;
            while (n < 3 && pdf[at + 1 + n] >= '0' && pdf[at + 1 + n] <= '7')
                ++n;
            c = n ? char(std::stoi(pdf.substr(at + 1, n), nullptr, 8)) : pdf[at + 1];
            at += n ? n : 1;
        }
        b += c;
    }
    const bool utf16 = b.rfind("\xFE\xFF", 0) == 0;
    std::string out;
    for (size_t i = utf16 ? 2 : 0; i < b.size(); i += utf16 ? 2 : 1) {
        auto byte = [&](size_t k) { return uint32_t(uint8_t(b[k])); };
        uint32_t c = utf16 ? byte(i) << 8 | byte(i + 1) : byte(i);
        if (utf16 && c >= 0xD800 && c < 0xDC00) {
            c = 0x10000 + ((c - 0xD800) << 10) + ((byte(i + 2) << 8 | byte(i + 3)) - 0xDC00);
            i += 2;
        }
        const int tail = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        out += char(tail ? (0xFF << (7 - tail) & 0xFF) | c >> 6 * tail : c);
        for (int k = tail - 1; k >= 0; --k)
            out += char(0x80 | (c >> 6 * k & 0x3F));
    }
    return out;
}

// Texts reach the signature dictionary as typed, whatever their script or brackets; a
// reason beyond Latin-1 (or with --reason-only) stands without the product sentence.
TEST(Cli, SignatureTextsRoundTripAsTyped) {
    const kvtest::Pki &pki = kvtest::World::Get().pki();
    kvtest::TempDir dir;
    const std::string out = dir.file("texts.pdf"),
                      sentence = " - Digitally signed and timestamped by Korvane PDF Plume.";
    struct Texts {
        std::string reason, name, location, flags;
        bool sentence;
    };
    const std::vector<Texts> table = {
        {"Árvíztűrő tükörfúrógép", "Kovács Ödön", "Győr", "", false},
        {"Straße (ä)", "Jürgen Groß", "Köln", "", true},
        {"Έγκριση", "Αλέξανδρος", "Αθήνα", "", false},
        {"OK 👍", "Émile\tab", "x", "", false},
        {"x) /Foo (y", "a\\b\\\\c", "((", "", true},
        {"unbalanced (", ") close", "\\", " --reason-only", false},
    };
    for (const Texts &t : table) {
        std::string said;
        ASSERT_EQ(kvtest::Run(kvtest::Quote(KVPDF_CLI) + " sign " + kSample + " " + out +
                                  " --invisible --p12 " + pki.signer.p12 +
                                  " --password secret --reason " + kvtest::Quote(t.reason) +
                                  " --name " + kvtest::Quote(t.name) + " --location " +
                                  kvtest::Quote(t.location) + t.flags + " 2>&1",
                              &said),
                  0)
            << said;
        EXPECT_TRUE(kvtest::CheckersAccept(out, 1)) << t.reason;
        const std::string pdf = kvtest::ReadFile(out);
        EXPECT_EQ(LiteralText(pdf, "/Reason"), t.reason + (t.sentence ? sentence : ""));
        EXPECT_EQ(LiteralText(pdf, "/Name"), t.name);
        EXPECT_EQ(LiteralText(pdf, "/Location"), t.location);
    }
}

// The password from a file (first line) or a variable; a missing source is named on one
// line, two sources are a usage error.
TEST(Cli, PasswordComesFromOneSource) {
    const kvtest::Pki &pki = kvtest::World::Get().pki();
    kvtest::TempDir dir;
    kvtest::WriteFile(dir.file("pw"), "secret\r\nignored\n");
    setenv("KVPDF_TEST_PW", "secret", 1);
    const std::string sign =
        "sign " + kSample + " " + dir.file("out.pdf") + " --invisible --p12 " + pki.signer.p12;
    RunSteps({{sign + " --password-file " + dir.file("pw") + " --quiet", 0, {"Signed "}},
              {"sign " + dir.file("out.pdf") + " " + dir.file("two.pdf") + " --p12 " +
                   pki.signer.p12 + " --password-env KVPDF_TEST_PW",
               0,
               {"Signed "}},
              {sign + " --password-file " + dir.file("none"),
               1,
               {"kvpdf: cannot read the password file " + dir.file("none") + "\n"}},
              {sign + " --password-env KVPDF_TEST_UNSET",
               1,
               {"kvpdf: the environment variable KVPDF_TEST_UNSET is not set\n"}},
              {sign + " --password x --password-env KVPDF_TEST_PW", 2, {"one way"}}});
}

} // namespace

// Each command line and the one line its refusal must start with: the option or file
// and the cause. Nothing is written.
void RunRefusals(const std::vector<std::tuple<std::string, int, std::string>> &table) {
    for (const auto &[args, status, line] : table) {
        std::string out;
        EXPECT_EQ(kvtest::Run(kvtest::Quote(KVPDF_CLI) + " " + args + " 2>&1", &out), status)
            << args << "\n"
            << out;
        EXPECT_TRUE(std::regex_search(out, std::regex("^kvpdf: " + line))) << args << "\n" << out;
    }
}

// A signed file with what changes from one signing to the next taken out: the time and
// the value.
std::string WithoutTimeAndValue(std::string pdf) {
    for (const std::string open : {"(D:", "/Contents<", "/Contents <"})
        for (size_t at = pdf.find(open); at != std::string::npos; at = pdf.find(open, at + 1)) {
            const size_t end = pdf.find_first_of(")>", at + open.size());
            if (end == std::string::npos) break;
            pdf.erase(at, end - at);
        }
    return pdf;
}

TEST(Cli, SignsManyFilesWithOneKeyAsOneByOne) {
    const kvtest::Pki &pki = kvtest::World::Get().pki();
    kvtest::TempDir dir;
    const std::string key = " --p12 " + pki.signer.p12 + " --password secret --cades --invisible";
    kvtest::PdfBuilder enc = kvtest::OnePage();
    kvtest::ClassicOptions o;
    o.trailer_extra = "/Encrypt 3 0 R";
    enc.ClassicXref(o);
    kvtest::WriteFile(dir.file("enc.pdf"), enc.bytes());
    kvtest::WriteFile(dir.file("a.pdf"), kvtest::ReadFile(kSamplePath));
    kvtest::WriteFile(dir.file("b.pdf"), kvtest::OnePagePdf());
    kvtest::WriteFile(dir.file("c.pdf"), kvtest::OnePagePdfOfSize(size_t{3} << 20));
    ASSERT_EQ(mkdir(dir.file("out").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("one").c_str(), 0755), 0);
    std::string inputs, out, err;
    for (const char *name : {"a.pdf", "missing.pdf", "enc.pdf", "b.pdf", "c.pdf"})
        inputs += " " + dir.file(name);
    const std::string cli = kvtest::Quote(KVPDF_CLI);
    EXPECT_EQ(kvtest::Run(cli + " sign --out-dir " + dir.file("out") + inputs + key + " 2>" +
                              dir.file("err"),
                          &out),
              1);
    err = kvtest::ReadFile(dir.file("err"));
    // One line per file in the order given; the failures name the file and the cause.
    EXPECT_TRUE(std::regex_match(out, std::regex("Signed .*/out/a.pdf: .*\nSigned .*/out/b.pdf: "
                                                 ".*\nSigned .*/out/c.pdf: .*\n")))
        << out;
    EXPECT_TRUE(std::regex_match(
        err, std::regex("kvpdf: .*/missing.pdf: cannot open: No such file or directory\n"
                        "kvpdf: .*/enc.pdf: cannot write the revision to sign: .*\\(code -4\\)\n"
                        "kvpdf: 2 of 5 files were not signed\n")))
        << err;
    EXPECT_EQ(access(dir.file("out/enc.pdf").c_str(), F_OK), -1);
    for (const char *name : {"a.pdf", "b.pdf", "c.pdf"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(kvtest::Run(cli + " sign " + dir.file(name) + " " + dir.file("one/") + name +
                              key + " >/dev/null"),
                  0);
        const std::string batch = kvtest::ReadFile(dir.file("out/") + name);
        EXPECT_TRUE(kvtest::CheckersAccept(dir.file("out/") + name, 1));
        EXPECT_EQ(kvtest::ReadFile(dir.file(name)),
                  batch.substr(0, kvtest::ReadFile(dir.file(name)).size()));
        EXPECT_TRUE(WithoutTimeAndValue(batch) ==
                    WithoutTimeAndValue(kvtest::ReadFile(dir.file("one/") + name)));
    }
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    kvtest::WriteFile(dir.file("sub/a.pdf"), kvtest::OnePagePdf());
    RunRefusals({
        {"sign --out-dir " + dir.file("out") + " " + dir.file("a.pdf") + " " +
             dir.file("sub/a.pdf") + key,
         2, ".*/sub/a.pdf: another input has the name \"a.pdf\" in "},
        {"sign --out-dir " + dir.path() + " " + dir.file("a.pdf") + key, 2,
         ".*/a.pdf: --out-dir .* holds the input itself"},
        {"sign --out-dir " + dir.file("out") + " " + dir.file("a.pdf") + key + " --ltv --tsa x", 2,
         "--out-dir wants a folder and goes without --ltv and --lta"},
    });
}

// A socket on 127.0.0.1 listening, never answering; the port of one closed again.
int Listen(int *port, bool keep) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    bind(fd, reinterpret_cast<sockaddr *>(&a), size);
    listen(fd, 8);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size);
    *port = ntohs(a.sin_port);
    if (!keep) close(fd);
    return keep ? fd : -1;
}

TEST(Cli, RefusesBadNumbersAndInputsNamingThem) {
    kvtest::TempDir dir;
    // Sparse: 5 GiB that cost nothing, a PDF header in front.
    const std::string big = dir.file("big.pdf"), out = dir.file("out.pdf");
    kvtest::WriteFile(big, "%PDF-1.7\n");
    ASSERT_EQ(truncate(big.c_str(), 5ll << 30), 0);
    const std::string sign = "sign " + kSample + " " + out + " --p12 x --password y";
    const std::string large = "[^\n]*big.pdf: too large \\(5368709120 bytes\\)";
    RunRefusals({
        {sign + " --reserve abc", 2, "--reserve abc: not a whole number from 0 to 8388608\n$"},
        {sign + " --reserve -5", 2, "--reserve -5: not a whole"},
        {sign + " --reserve 99999999999999999999", 2, "--reserve 9+: not a whole"},
        {sign + " --reserve ' 5'", 2, "--reserve  5: not a whole"},
        {sign + " --rect 1,2,x,4", 2, "--rect 1,2,x,4: not four whole numbers"},
        {sign + " --rect 10,10,5,20", 2, "--rect 10,10,5,20: not four"},
        {sign + " --rect 0,0,14401,5", 2, "--rect 0,0,14401,5: not four"},
        {sign + " --timeout 0", 2, "--timeout 0: not a whole number from 1 to 600"},
        {"timestamp " + kSample + " " + out + " --tsa http://x/ --reserve 1.5", 2, "--reserve 1.5"},
        {"verify " + kSample + " --online --timeout 601", 2, "--timeout 601: not a whole"},
        {"ltv " + kSample + " " + out + " --timeout x", 2, "--timeout x: not a whole"},
        {"attachments " + kSample + " --extract 0", 2, "--extract 0: not a whole"},
        {"verify " + dir.file("none.pdf"), 1, ".*none.pdf: cannot open: No such file"},
        {"info " + dir.path(), 1, ".*: is a folder, not a file"},
        {"sign " + kSample + " " + out + " --p12 " + dir.file("k.p12"), 1, ".*k.p12: cannot open"},
        {"ltv " + kSample + " " + dir.file("no/out.pdf"), 1, ".*no/out.pdf: cannot write: No such"},
        {"sign " + big + " " + out + " --p12 x", 1, large},
        {"timestamp " + big + " " + out + " --tsa http://x/", 1, large},
        {"ltv " + big + " " + out, 1, large},
        {"verify " + big, 1, large},
        {"signatures " + big, 1, large},
        {"attachments " + big, 1, large},
        {"attach " + big + " " + out + " " + kSample, 1, large},
    });
    EXPECT_NE(kvtest::Run("test -e " + out), 0);
    const std::string corpus = kvtest::CorpusDir();
    if (corpus.empty()) return;
    RunSteps({{"verify " + corpus + "/sig-x509-rsa-sha1-01.pdf",
               1,
               {"intact:        unknown - unsupported subfilter adbe.x509.rsa_sha1\n"}}});
}

// A refused connection fails at once, a silent server after --timeout; the message names
// the URL and what happened. Revocation that could not be checked is said per
// certificate and, with --online, is no trust; an intermediate CA given is an anchor.
TEST(Cli, UnreachableServersAndIntermediateAnchors) {
    int closed = 0, silent = 0;
    Listen(&closed, false);
    const int fd = Listen(&silent, true);
    const std::string url = "http://127.0.0.1:";
    kvtest::Pki pki(url + std::to_string(closed) + "/ocsp", url + std::to_string(closed) + "/");
    kvtest::TempDir dir;
    const std::string out = " " + dir.file("out.pdf");
    const std::string stamp = "timestamp " + kSample + " " + dir.file("t.pdf") + " --tsa " + url;
    RunSteps(
        {{"sign " + kSample + out + " --invisible --p12 " + pki.signer.p12 + " --password secret",
          0,
          {}}});
    RunRefusals({
        {stamp + std::to_string(closed) + "/", 1,
         ".*: no timestamp: POST " + url + std::to_string(closed) +
             "/: cannot connect to 127.0.0.1: Connection refused"},
        {stamp + std::to_string(silent) + "/ --timeout 1", 1,
         ".*: no timestamp: POST " + url + std::to_string(silent) +
             "/: timed out: no answer within 1 s"},
    });
    close(fd);
    RunSteps({
        {"verify" + out + " --online --trust " + pki.root.pem,
         1,
         {"trusted:       no - the revocation of 2 certificates could not be checked",
          "CN=kvsx Test Issuing CA,O=kvsx test,C=HU: not checked - POST " + url +
              std::to_string(closed) + "/ocsp: cannot connect",
          ": trust anchor\n"}},
        {"verify" + out + " --trust " + pki.inter.pem,
         0,
         {"1 of 1 signature intact, valid and trusted.", "no CRL or OCSP response for it at hand",
          "CN=kvsx Test Issuing CA,O=kvsx test,C=HU: trust anchor"}},
    });
}
