// SPDX-License-Identifier: Apache-2.0
// Long-term validation data: what the Document Security Store update holds, read back
// through qpdf and parsed by OpenSSL, with the local PKI, TSA and CRLs.
#include "kvsxades.h"
#include "kvtest.h"

#include <openssl/ocsp.h>

#include <regex>

namespace {

using kvtest::World;

// qpdf's view of one object ("trailer" or a number), or of its decoded stream data.
std::string Show(const std::string &pdf, const std::string &which, bool stream = false) {
    std::string out;
    kvtest::Run("qpdf --show-object=" + which + (stream ? " --filtered-stream-data " : " ") +
                    kvtest::Quote(pdf) + " 2>/dev/null",
                &out);
    return out;
}

uint32_t RefAfter(const std::string &text, const std::string &key) {
    std::smatch m;
    const std::regex ref(key + R"(\s+(\d+) 0 R)");
    return std::regex_search(text, m, ref) ? uint32_t(std::stoul(m[1])) : 0;
}

// The decoded streams of the DSS array under key, in array order.
std::vector<std::string> DssStreams(const std::string &pdf, const std::string &key) {
    const uint32_t root = RefAfter(Show(pdf, "trailer"), "/Root");
    const uint32_t dss = RefAfter(Show(pdf, std::to_string(root)), "/DSS");
    const uint32_t array = RefAfter(Show(pdf, std::to_string(dss)), key);
    const std::string refs = Show(pdf, std::to_string(array));
    std::vector<std::string> out;
    const std::regex ref(R"((\d+) 0 R)");
    for (std::sregex_iterator it(refs.begin(), refs.end(), ref), end; it != end; ++it)
        out.push_back(Show(pdf, (*it)[1], true));
    return out;
}

size_t Count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class Pades : public ::testing::Test {
protected:
    void SetUp() override {
        World::Get().SetTsaMode(kvtest::TsaMode::Normal);
        KvPDF_CryptoInitGlobal();
        KvPDF_CleanKVSXADESStores();
        kvsx_set_http_timeout(3);
        ASSERT_EQ(KvPDF_CryptoInit(&context_), 0);
    }
    void TearDown() override { KvPDF_CryptoCleanup(context_); }
    kvtest::Pki &pki() { return World::Get().pki(); }

    // `kvpdf sign` (or `timestamp`) with the signature timestamp of the local TSA.
    void Cli(const std::string &command, const std::string &in, const std::string &out,
             const kvtest::Entity *signer = nullptr) {
        std::string line = kvtest::Quote(KVPDF_CLI) + " " + command + " " + kvtest::Quote(in) +
                           " " + kvtest::Quote(out) + " --tsa " + World::Get().TsaUrl();
        if (command == "sign")
            line +=
                " --invisible --password secret --p12 " + (signer ? signer : &pki().signer)->p12;
        std::string output;
        ASSERT_EQ(kvtest::Run(line + " 2>&1", &output), 0) << output;
    }
    // Adds the validation data of in into out with the root, and the CRLs unless
    // without_crls; results of the add and the write, and the ring after them.
    struct Ltv {
        int32_t add = 0, write = 0;
        std::vector<int> ring;
    };
    Ltv AddLtv(const std::string &in, const std::string &out, int32_t index = -1,
               bool every = false, bool without_crls = false) {
        Ltv r;
        KvPdfHandle h = KvPDFInit(in.c_str(), out.c_str(), 0);
        // A failed init gives 0, which would select the process-wide stores.
        if (h <= 0) return r;
        KvPDFSetProperty(h, KVPDF_PROP_FIND_ALL_SIGNATURES, 1);
        KvPDFSetProperty(h, KVPDF_PROP_LTV_EVERY_ENTRY, every ? 1 : 0);
        KvPDF_AddCert(h, pki().root.pem.c_str(), -1);
        if (!without_crls) {
            KvPDF_AddCrl(h, pki().inter_crl.c_str(), -1);
            KvPDF_AddCrl(h, pki().root_crl.c_str(), -1);
        }
        r.add = KvPDF_AddRevocationInformation(h, context_, index, 0);
        if (r.add > 0) r.write = KvPdfWritePDFWithRevocationInformation(h);
        r.ring = kvtest::RingCodes(h);
        KvPDFClose(h);
        return r;
    }

    kvtest::TempDir dir_;
    void *context_ = nullptr;
    const std::string sample_ = KVPDF_SOURCE_DIR "/samples/sample.pdf";
};

// A signature with its timestamp: the signer chain, the TSA chain and the CRLs used for
// them, each once, written exactly as the update's layout says; nothing new the second
// time, and then the file stays as it was.
TEST_F(Pades, TheUpdateHoldsEachChainAndCrlOnceInItsExactLayout) {
    const std::string signed_pdf = dir_.file("s.pdf"), ltv = dir_.file("l.pdf");
    Cli("sign", sample_, signed_pdf);
    Ltv r = AddLtv(signed_pdf, ltv);
    ASSERT_EQ(r.add, 1) << ::testing::PrintToString(r.ring);
    ASSERT_EQ(r.write, 1) << ::testing::PrintToString(r.ring);
    const std::string source = kvtest::ReadFile(signed_pdf), out = kvtest::ReadFile(ltv);
    ASSERT_EQ(out.compare(0, source.size(), source), 0);
    // Read back by qpdf and OpenSSL: the signer's chain, then the TSA below the same
    // intermediate; the intermediate's CRL and the root's.
    const std::vector<std::string> certs = DssStreams(ltv, "/Certs");
    const std::vector<std::string> expected_certs = {pki().signer.CertDer(), pki().inter.CertDer(),
                                                     pki().root.CertDer(), pki().tsa.CertDer()};
    EXPECT_EQ(certs, expected_certs);
    const std::vector<std::string> crls = DssStreams(ltv, "/CRLs");
    ASSERT_EQ(crls.size(), 2u);
    for (const std::string &crl : crls) {
        const auto *p = kvtest::U8(crl);
        X509_CRL *parsed = d2i_X509_CRL(nullptr, &p, long(crl.size()));
        EXPECT_NE(parsed, nullptr);
        X509_CRL_free(parsed);
    }
    EXPECT_EQ(crls[0], kvtest::ReadFile(pki().inter_crl));
    EXPECT_EQ(crls[1], kvtest::ReadFile(pki().root_crl));
    // The update byte for byte: one stream per entry, the two arrays, the dictionary and
    // the catalog naming it with the extension level, plain objects, then the table.
    std::smatch m;
    const std::string trailer = Show(signed_pdf, "trailer");
    ASSERT_TRUE(std::regex_search(trailer, m, std::regex(R"(/Size (\d+))")));
    // New objects are numbered from /Size + 1, as the signing update does.
    const auto size = uint32_t(std::stoul(m[1])) + 1;
    std::string expected;
    auto stream = [&](uint32_t n, const std::string &data) {
        const std::string z = kvtest::Deflate(data, 1);
        expected += std::to_string(n) + " 0 obj\n<</Filter/FlateDecode/Length " +
                    std::to_string(z.size()) + ">>stream\r\n" + z + "\nendstream\nendobj\n\n";
    };
    auto array = [&](uint32_t n, uint32_t first, uint32_t count) {
        expected += std::to_string(n) + " 0 obj\n\n [";
        for (uint32_t i = 0; i < count; ++i)
            expected += std::to_string(first + i) + " 0 R ";
        expected += "]\n\nendobj\n\n";
    };
    for (uint32_t i = 0; i < 4; ++i)
        stream(size + i, certs[i]);
    array(size + 4, size, 4);
    stream(size + 5, crls[0]);
    stream(size + 6, crls[1]);
    array(size + 7, size + 5, 2);
    const std::string dss = std::to_string(size + 8);
    expected += dss + " 0 obj\n<<\n/Certs " + std::to_string(size + 4) + " 0 R\n\n/CRLs " +
                std::to_string(size + 7) + " 0 R\n>>\nendobj\n\n";
    const size_t catalog_at = source.rfind("\n1 0 obj") + 1;
    std::string catalog =
        source.substr(catalog_at, source.find("endobj", catalog_at) + 6 - catalog_at);
    catalog.insert(
        catalog.find("/Pages"),
        "/DSS " + dss +
            " 0 R  /Version/1.7 /Extensions<</ADBE<</BaseVersion/1.7/ExtensionLevel 5>>>>");
    expected += catalog + "\n\nxref\n";
    EXPECT_EQ(out.substr(source.size(), expected.size()), expected);
    std::string check;
    EXPECT_TRUE(kvtest::QpdfCheck(ltv, &check)) << check;
    const std::vector<kvtest::PdfsigSignature> sigs = kvtest::RunPdfsig(ltv);
    ASSERT_EQ(sigs.size(), 1u);
    EXPECT_TRUE(sigs[0].valid) << sigs[0].raw;
    // Our own check of the signature sees validation data after it, nothing else.
    KvPdfHandle h = KvPDFInit(ltv.c_str(), nullptr, 0);
    KvPdfSignatureCheck checked;
    ASSERT_EQ(KvPdfFindSignatures(h), 1);
    ASSERT_EQ(KvPdfCheckSignature(h, 0, &checked), 1);
    EXPECT_EQ(checked.changes, KVPDF_CHANGES_VALIDATION);
    KvPDFClose(h);
    // Again on the result: everything is there already.
    const std::string again = dir_.file("again.pdf");
    r = AddLtv(ltv, again);
    EXPECT_EQ(r.add, 1);
    EXPECT_EQ(r.write, KVPDF_ERR_NO_REVOCATION_ADDED);
    EXPECT_EQ(kvtest::ReadFile(again), out);
}

} // namespace

namespace {

// A cross-reference-stream source with object streams and a source that already has a
// DSS with indirect arrays: one new revision of plain objects qpdf accepts, earlier
// signatures judged as before, and the catalog naming /DSS and the extension once.
TEST_F(Pades, EachKindOfSourceGainsOneDssAndKeepsItsSignatures) {
    const std::string corpus = kvtest::CorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "no corpus";
    const struct {
        const char *file;
        int32_t index;  // entry to collect for
        bool every;     // only our signature: the corpus's own chains are not trusted here
        int32_t write;  // -201: objects were read from object streams
        size_t dss_had; // certificates in the source's DSS
    } cases[] = {{"xrefstream-objstm-pdftex-01.pdf", -1, false, KVPDF_WARN_COMPRESSED_FEATURES, 0},
                 {"sig-cades-dts-dss-7rev-01.pdf", -2, true, 1, 5},
                 // A catalog with its own /Version keeps it alone.
                 {"classic-pagetree-depth2-01.pdf", -1, false, 1, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        const std::string in = corpus + "/" + c.file, signed_pdf = dir_.file("s.pdf"),
                          ltv = dir_.file("l.pdf");
        Cli("sign", in, signed_pdf);
        const std::vector<kvtest::PdfsigSignature> before = kvtest::RunPdfsig(signed_pdf);
        const Ltv r = AddLtv(signed_pdf, ltv, c.index, c.every);
        ASSERT_EQ(r.add, 1) << ::testing::PrintToString(r.ring);
        EXPECT_EQ(r.write, c.write) << ::testing::PrintToString(r.ring);
        std::string check;
        EXPECT_TRUE(kvtest::QpdfCheck(ltv, &check)) << check;
        const std::vector<kvtest::PdfsigSignature> after = kvtest::RunPdfsig(ltv);
        ASSERT_EQ(after.size(), before.size());
        for (size_t i = 0; i < after.size(); ++i)
            EXPECT_EQ(after[i].valid, before[i].valid) << after[i].raw;
        EXPECT_TRUE(after.back().valid);
        const std::string root = Show(ltv, std::to_string(RefAfter(Show(ltv, "trailer"), "/Root")));
        EXPECT_EQ(Count(root, "/DSS"), 1u) << root;
        EXPECT_EQ(Count(root, "/Extensions"), 1u) << root;
        EXPECT_LE(Count(root, "/Version"), 1u) << root;
        // The source's certificates stay, ours follow them.
        const std::vector<std::string> certs = DssStreams(ltv, "/Certs");
        ASSERT_EQ(certs.size(), c.dss_had + 4);
        EXPECT_EQ(certs[c.dss_had], pki().signer.CertDer());
    }
}

// The timestamp chain verified over its revisions; a revoked signer, a file without
// signatures and short memory end cleanly, and the output is then the source's copy.
TEST_F(Pades, RefusalsAndTheTimestampChainLeaveNothingHalfWritten) {
    const std::string s = dir_.file("s.pdf"), l = dir_.file("l.pdf"), t = dir_.file("t.pdf"),
                      out = dir_.file("out.pdf");
    Cli("sign", sample_, s);
    ASSERT_EQ(AddLtv(s, l).write, 1);
    Cli("timestamp", l, t);
    // The document timestamp, then the signature under it at the timestamp's time with
    // the DSS the timestamp covers: valid, and nothing new to add.
    Ltv r = AddLtv(t, out, -1, false, true);
    EXPECT_EQ(r.add, 1) << ::testing::PrintToString(r.ring);
    EXPECT_EQ(r.write, KVPDF_ERR_NO_REVOCATION_ADDED);
    EXPECT_EQ(kvtest::ReadFile(out), kvtest::ReadFile(t));
    const std::string revoked = dir_.file("revoked.pdf");
    Cli("sign", sample_, revoked, &pki().revoked);
    r = AddLtv(revoked, out);
    EXPECT_EQ(r.add, KVPDF_ERR_SIGNATURE_INVALID);
    EXPECT_EQ(r.ring.back(), KVPDF_ERR_SIGNATURE_INVALID);
    EXPECT_EQ(kvtest::ReadFile(out), kvtest::ReadFile(revoked));
    r = AddLtv(sample_, out);
    EXPECT_EQ(r.add, KVPDF_ERR_NO_SIGNATURE);
    EXPECT_EQ(kvtest::ReadFile(out), kvtest::ReadFile(sample_));
    kvtest::OutOfMemorySweep(
        [&]() {
            const Ltv o = AddLtv(s, out);
            return o.add < 1 ? o.add : o.write;
        },
        20);
}

// The handle's stores, else the process-wide ones, reach the signing library before each
// verification; an entry it refuses stops the add with the code of its kind.
TEST_F(Pades, TheHostStoresDecideWhatTheVerificationTrusts) {
    const std::string s = dir_.file("s.pdf"), out = dir_.file("out.pdf");
    Cli("sign", sample_, s);
    const std::string garbage = "not DER at all";
    const struct {
        const char *what;
        std::function<void(KvPdfHandle)> stores;
        int32_t add;
    } cases[] = {
        {"the root in the process-wide store",
         [&](KvPdfHandle) { KvPDF_AddCert(0, pki().root.pem.c_str(), -1); }, 1},
        {"no trust anchor anywhere", [](KvPdfHandle) {}, KVPDF_ERR_SIGNATURE_INVALID},
        {"a certificate refused",
         [&](KvPdfHandle h) { KvPDF_AddCert(h, garbage.data(), int32_t(garbage.size())); },
         KVPDF_ERR_ADD_CERT},
        {"a CRL refused",
         [&](KvPdfHandle h) {
             KvPDF_AddCert(h, pki().root.pem.c_str(), -1);
             KvPDF_AddCrl(h, garbage.data(), int32_t(garbage.size()));
         },
         KVPDF_ERR_ADD_CRL},
        {"an OCSP response refused",
         [&](KvPdfHandle h) {
             KvPDF_AddCert(h, pki().root.pem.c_str(), -1);
             KvPDF_AddOcsp(h, garbage.data(), int32_t(garbage.size()));
         },
         KVPDF_ERR_ADD_OCSP},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        KvPdfHandle h = KvPDFInit(s.c_str(), out.c_str(), 0);
        ASSERT_GT(h, 0);
        c.stores(h);
        EXPECT_EQ(KvPDF_AddRevocationInformation(h, context_, -1, 0), c.add);
        if (c.add < 0) {
            EXPECT_EQ(kvtest::RingCodes(h).back(), c.add);
        }
        KvPDFClose(h);
        KvPDF_CleanStores(0);
    }
}

// A damaged DSS is read as far as it goes: a dictionary where an array should be, a
// stream cut short, a reference to nothing.
TEST_F(Pades, ADamagedDssIsReadAsFarAsItGoes) {
    kvtest::PdfBuilder b = kvtest::OnePage();
    b.Object(1, "<< /Type /Catalog /Pages 2 0 R /DSS 4 0 R >>");
    b.Object(4, "<< /Certs 5 0 R /CRLs [6 0 R 99 0 R] /OCSPs 7 0 R >>");
    b.Object(5, "<< /Not /AnArray >>");
    b.Object(6, "<< /Length 400 >>\nstream\nshort\nendstream");
    b.Object(7, "[8 0 R]");
    b.Object(8, "<< /Length 3 >>\nstream\nabc\nendstream");
    b.ClassicXref();
    const std::string pdf = dir_.file("dss.pdf");
    kvtest::WriteFile(pdf, b.bytes());
    KvPdfHandle h = KvPDFInit(pdf.c_str(), nullptr, 0);
    (void)KvPdfFindSignatures(h);
    const uint8_t *data = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(KvPdfGetDssData(h, KVPDF_DSS_CERTS, 0, &data, &length), 0);
    EXPECT_EQ(KvPdfGetDssData(h, KVPDF_DSS_OCSPS, 0, &data, &length), 1);
    EXPECT_EQ(kvtest::Str(data, length), "abc");
    EXPECT_LE(KvPdfGetDssData(h, KVPDF_DSS_CRLS, 0, nullptr, nullptr), 1);
    EXPECT_EQ(KvPdfGetDssData(h, 4, 0, nullptr, nullptr), -1);
    KvPDFClose(h);
}

} // namespace
