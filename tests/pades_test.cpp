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
        KvPdfHandle h = KvPDFInit(in.c_str(), out.c_str(), 0);
        KvPDFSetProperty(h, KVPDF_PROP_FIND_ALL_SIGNATURES, 1);
        KvPDFSetProperty(h, KVPDF_PROP_LTV_EVERY_ENTRY, every ? 1 : 0);
        KvPDF_AddCert(h, pki().root.pem.c_str(), -1);
        if (!without_crls) {
            KvPDF_AddCrl(h, pki().inter_crl.c_str(), -1);
            KvPDF_AddCrl(h, pki().root_crl.c_str(), -1);
        }
        Ltv r;
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
    // Again on the result: everything is there already.
    const std::string again = dir_.file("again.pdf");
    r = AddLtv(ltv, again);
    EXPECT_EQ(r.add, 1);
    EXPECT_EQ(r.write, KVPDF_ERR_NO_REVOCATION_ADDED);
    EXPECT_EQ(kvtest::ReadFile(again), out);
}

} // namespace
