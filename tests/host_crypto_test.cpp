// Proves the host support code against OpenSSL and the real checkers, with PDFs signed
// by hand: no part of kvpdf takes part.
#include "host_crypto.h"
#include "pdf_builder.h"
#include "pdf_check.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/ts.h>

#include <cstdio>

namespace kvtest {
namespace {

using CmsPtr = std::unique_ptr<CMS_ContentInfo, OsslFree<CMS_ContentInfo_free>>;
using BioPtr = std::unique_ptr<BIO, OsslFree<BIO_free_all>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, OsslFree<PKCS7_free>>;
using TstInfoPtr = std::unique_ptr<TS_TST_INFO, OsslFree<TS_TST_INFO_free>>;

const TestKey &Signer() {
    static const TestKey key = MakeTestKey("kvpdf test signer");
    return key;
}

const TestTsa &Tsa() {
    static const TestTsa tsa = MakeTestTsa();
    return tsa;
}

BioPtr MemOf(const std::string &s) {
    return BioPtr(BIO_new_mem_buf(s.data(), static_cast<int>(s.size())));
}

TEST(HostCrypto, CmsProfilesCarryTheirSignedAttributes) {
    const std::string data = "bytes of the two ranges";
    for (bool cades : {false, true}) {
        SCOPED_TRACE(cades ? "CAdES" : "PKCS#7");
        const std::string der = SignDetachedCms(data, Signer(), cades);
        const auto *p = reinterpret_cast<const unsigned char *>(der.data());
        CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
        ASSERT_TRUE(cms);
        const unsigned flags = CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY;
        EXPECT_EQ(1, CMS_verify(cms.get(), nullptr, nullptr, MemOf(data).get(), nullptr, flags));
        EXPECT_EQ(0, CMS_verify(cms.get(), nullptr, nullptr, MemOf(data + "!").get(), nullptr,
                                flags));
        ERR_clear_error();

        ASSERT_EQ(1, sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(cms.get())));
        CMS_SignerInfo *si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
        X509_ALGOR *digest = nullptr;
        CMS_SignerInfo_get0_algs(si, nullptr, nullptr, &digest, nullptr);
        const ASN1_OBJECT *digest_oid = nullptr;
        X509_ALGOR_get0(&digest_oid, nullptr, nullptr, digest);
        EXPECT_EQ(NID_sha256, OBJ_obj2nid(digest_oid));
        EXPECT_EQ(0, CMS_SignerInfo_cert_cmp(si, Signer().x509()));
        auto has = [&](int nid) { return CMS_signed_get_attr_by_NID(si, nid, -1) >= 0; };
        EXPECT_TRUE(has(NID_pkcs9_contentType));
        EXPECT_TRUE(has(NID_pkcs9_messageDigest));
        EXPECT_EQ(!cades, has(NID_pkcs9_signingTime));
        EXPECT_EQ(cades, has(NID_id_smime_aa_signingCertificateV2));
    }
}

TEST(HostCrypto, TimestampTokenIsASignedDataOverTheImprint) {
    const std::string data = "document bytes";
    const std::string der = MakeTimestampToken(data, Tsa());
    const auto *p = reinterpret_cast<const unsigned char *>(der.data());
    Pkcs7Ptr token(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
    ASSERT_TRUE(token);
    ASSERT_TRUE(PKCS7_type_is_signed(token.get())); // a ContentInfo, not a TimeStampResp
    TstInfoPtr info(PKCS7_to_TS_TST_INFO(token.get()));
    ASSERT_TRUE(info);
    const ASN1_OCTET_STRING *imprint =
        TS_MSG_IMPRINT_get_msg(TS_TST_INFO_get_msg_imprint(info.get()));
    EXPECT_EQ(Sha256(data), std::string(reinterpret_cast<const char *>(imprint->data),
                                        static_cast<size_t>(imprint->length)));

    EXPECT_EQ("", VerifyTimestampToken(der, data, Tsa()));
    EXPECT_NE("", VerifyTimestampToken(der, data + "!", Tsa()));
    EXPECT_NE("", VerifyTimestampToken(der, data, MakeTestTsa())); // another root
}

// A one-page PDF and an incremental update adding a signature field whose value has a
// zero-filled /Contents of kReserved bytes; a signature gets a black appearance in kRect.
constexpr size_t kReserved = 8192;
constexpr double kRect[4] = {150, 40, 270, 100};
constexpr double kPageHeight = 200;
const std::string kBrPlaceholder = "[0 0000000000 0000000000 0000000000]";

struct Prepared {
    std::string pdf;
    std::string first_revision;
    size_t last_xref = 0;
    uint64_t a = 0, b = 0, c = 0;
};

Prepared Prepare(bool timestamp, const std::string &subfilter) {
    PdfBuilder pdf;
    const std::string page = "<</Type/Page/Parent 2 0 R/MediaBox[0 0 300 200]/Resources<<>>"
                             "/Contents 4 0 R";
    const std::string content = "0 0 1 rg 20 150 60 30 re f";
    pdf.Object(1, "<</Type/Catalog/Pages 2 0 R>>");
    pdf.Object(2, "<</Type/Pages/Kids[3 0 R]/Count 1>>");
    pdf.Object(3, page + ">>");
    pdf.Object(4, "<</Length " + std::to_string(content.size()) + ">>\nstream\n" + content +
                      "\nendstream");
    pdf.ClassicXref();
    Prepared out;
    out.first_revision = pdf.bytes();

    pdf.Object(1, "<</Type/Catalog/Pages 2 0 R/AcroForm<</Fields[5 0 R]/SigFlags 3>>>>");
    pdf.Object(3, page + "/Annots[5 0 R]>>");
    char rect[64];
    snprintf(rect, sizeof rect, "[%g %g %g %g]", kRect[0], kRect[1], kRect[2], kRect[3]);
    pdf.Object(5, std::string("<</Type/Annot/Subtype/Widget/FT/Sig/T(Signature1)/F 4/P 3 0 R") +
                      "/V 6 0 R" + (timestamp ? "/Rect[0 0 0 0]>>" : "/Rect" + std::string(rect) +
                                                                         "/AP<</N 7 0 R>>>>"));
    pdf.Object(6, std::string("<</Type/") + (timestamp ? "DocTimeStamp" : "Sig") +
                      "/Filter/Adobe.PPKLite/SubFilter/" + subfilter + "/ByteRange" +
                      kBrPlaceholder + "/Contents<" + std::string(2 * kReserved, '0') + ">" +
                      (timestamp ? "" : "/M(D:20240101120000Z)/Name(kvpdf host)") + ">>");
    if (!timestamp) {
        const std::string fill = "0 g 0 0 120 60 re f";
        pdf.Object(7, "<</Type/XObject/Subtype/Form/BBox[0 0 120 60]/Length " +
                          std::to_string(fill.size()) + ">>\nstream\n" + fill + "\nendstream");
    }
    out.last_xref = pdf.ClassicXref();
    out.pdf = pdf.bytes();

    out.a = out.pdf.find("/Contents<", pdf.offset_of(6)) + 9;
    out.b = out.a + 2 * kReserved + 2;
    out.c = out.pdf.size() - out.b;
    std::string ranges = "0 " + std::to_string(out.a) + " " + std::to_string(out.b) + " " +
                         std::to_string(out.c);
    ranges.resize(kBrPlaceholder.size() - 2, ' ');
    out.pdf.replace(out.pdf.find(kBrPlaceholder) + 1, ranges.size(), ranges);
    return out;
}

// Writes the prepared file, signs its byte ranges as read back from disk, fills in the
// DER and returns the signed file's path.
std::string Sign(const TempDir &dir, Prepared &p, bool timestamp, bool cades) {
    const std::string path = dir.file(timestamp ? "ts.pdf" : cades ? "cades.pdf" : "pkcs7.pdf");
    WriteFile(path, p.pdf);
    const std::string data = ReadRanges(path, p.a, p.b, p.c);
    const std::string der =
        timestamp ? MakeTimestampToken(data, Tsa()) : SignDetachedCms(data, Signer(), cades);
    EXPECT_LE(der.size(), kReserved);
    p.pdf.replace(p.a + 1, 2 * der.size(), Hex(der));
    WriteFile(path, p.pdf);
    return path;
}

std::string Flipped(std::string pdf, size_t at) {
    pdf[at] ^= 0x01;
    return pdf;
}

TEST(HostPdf, PdfsigAcceptsBothCmsProfilesAndNoticesChanges) {
    TempDir dir;
    for (bool cades : {false, true}) {
        const std::string subfilter = cades ? "ETSI.CAdES.detached" : "adbe.pkcs7.detached";
        SCOPED_TRACE(subfilter);
        Prepared p = Prepare(false, subfilter);
        const std::string path = Sign(dir, p, false, cades);
        std::string out;
        auto sigs = RunPdfsig(path, &out);
        ASSERT_EQ(1u, sigs.size()) << out;
        EXPECT_EQ(1, sigs[0].index);
        EXPECT_TRUE(sigs[0].valid) << out;
        EXPECT_TRUE(sigs[0].total_document_signed) << out;
        EXPECT_EQ(subfilter, sigs[0].subfilter);
        EXPECT_EQ("kvpdf test signer", sigs[0].signer);
        EXPECT_EQ("Signature1", sigs[0].field_name);
        EXPECT_EQ("[0 - " + std::to_string(p.a) + "], [" + std::to_string(p.b) + " - " +
                      std::to_string(p.b + p.c) + "]",
                  sigs[0].signed_ranges);
        if (cades) { // without signingTime in the CMS, pdfsig falls back to /M
            EXPECT_EQ("Jan 01 2024 12:00:00", sigs[0].signing_time);
        }
        EXPECT_TRUE(QpdfCheck(path, &out)) << out;

        // One bit in each range: the binary comment of the header, and the signature
        // dictionary's /Name after /Contents.
        for (size_t at : {size_t{10}, p.pdf.find("(kvpdf host)", p.b) + 1}) {
            const std::string bad = dir.file("bad.pdf");
            WriteFile(bad, Flipped(p.pdf, at));
            sigs = RunPdfsig(bad, &out);
            ASSERT_EQ(1u, sigs.size()) << out;
            EXPECT_FALSE(sigs[0].valid) << out;
            EXPECT_EQ("Digest Mismatch.", sigs[0].validation) << out;
        }

        // A later revision leaves the signature valid but no longer covering the file.
        char update[160];
        snprintf(update, sizeof update,
                 "xref\n0 1\n0000000000 65535 f\r\n8 1\n%010zu 00000 n\r\n"
                 "trailer\n<</Size 9/Root 1 0 R/Prev %zu>>\nstartxref\n",
                 p.pdf.size(), p.last_xref);
        const std::string object = "8 0 obj\n(an addition)\nendobj\n";
        const std::string later = dir.file("later.pdf");
        WriteFile(later, p.pdf + object + update + std::to_string(p.pdf.size() + object.size()) +
                             "\n%%EOF\n");
        sigs = RunPdfsig(later, &out);
        ASSERT_EQ(1u, sigs.size()) << out;
        EXPECT_TRUE(sigs[0].valid) << out;
        EXPECT_FALSE(sigs[0].total_document_signed) << out;
        EXPECT_TRUE(QpdfCheck(later, &out)) << out;
    }
}

// pdfsig 22.12 lists a document timestamp with its TSA as signer but neither knows its
// SubFilter nor validates it (and says on stderr "Unable to validate this type of
// signature"); OpenSSL checks the token over the ranges instead.
TEST(HostPdf, PdfsigListsADocumentTimestampWithoutValidatingIt) {
    TempDir dir;
    Prepared p = Prepare(true, "ETSI.RFC3161");
    const std::string path = Sign(dir, p, true, false);
    std::string out;
    auto sigs = RunPdfsig(path, &out);
    ASSERT_EQ(1u, sigs.size()) << out;
    EXPECT_EQ("unknown", sigs[0].subfilter) << out;
    EXPECT_EQ("Signature has not yet been verified.", sigs[0].validation) << out;
    EXPECT_FALSE(sigs[0].valid);
    EXPECT_TRUE(sigs[0].total_document_signed) << out;
    EXPECT_EQ("kvpdf test TSA", sigs[0].signer);
    EXPECT_EQ("Jan 01 1970 00:00:00", sigs[0].signing_time) << "no /M, and genTime unread";
    EXPECT_TRUE(QpdfCheck(path, &out)) << out;

    const std::string token = Unhex(p.pdf.substr(p.a + 1, p.b - p.a - 2));
    const std::string ranges = ReadRanges(path, p.a, p.b, p.c);
    EXPECT_EQ("", VerifyTimestampToken(token, ranges, Tsa()));
    EXPECT_NE("", VerifyTimestampToken(token, Flipped(ranges, 10), Tsa()));
}

TEST(HostPdf, RenderingShowsTheAppearanceOnlyInsideItsRectangle) {
    TempDir dir;
    Prepared p = Prepare(false, "ETSI.CAdES.detached");
    const std::string path = Sign(dir, p, false, true);
    WriteFile(dir.file("unsigned.pdf"), p.first_revision);
    const int dpi = 100;
    const Image before = RenderPage(dir.file("unsigned.pdf"), 1, dpi);
    const Image after = RenderPage(path, 1, dpi);
    ASSERT_EQ(417, after.width); // 300 pt at 100 dpi, rounded up
    ASSERT_EQ(278, after.height);
    const RegionStats in =
        CompareRegion(before, after, kRect[0], kRect[1], kRect[2], kRect[3], kPageHeight, dpi);
    const RegionStats rest =
        CompareOutside(before, after, kRect[0], kRect[1], kRect[2], kRect[3], kPageHeight, dpi);
    EXPECT_GT(in.pixels, 9000u);
    EXPECT_GT(in.changed_fraction, 0.99);
    EXPECT_LT(in.mean_luma, 5);
    EXPECT_GT(rest.pixels, 100000u);
    EXPECT_EQ(0, rest.changed_fraction);
    EXPECT_GT(rest.mean_luma, 200); // white page with a small blue box

    // The blue box of the page itself: unchanged, and dark enough to tell from white.
    const RegionStats box = CompareRegion(before, after, 20, 150, 80, 180, kPageHeight, dpi);
    EXPECT_EQ(0, box.changed_fraction);
    EXPECT_LT(box.mean_luma, 40);
}

} // namespace
} // namespace kvtest
