// Finding signatures, the list queries, and extracting the signed bytes.
#include "pdf_builder.h"
#include "pdf_check.h"
#include "pdf_mem.h"
#include "sign_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>

using namespace kvpdf;

using kvtest::ReadFile;
using kvtest::TempDir;
using kvtest::WriteFile;

namespace {

std::string Base() {
    return kvtest::OnePagePdf();
}

class Find : public ::testing::Test {
protected:
    void SetUp() override {
        // Three revisions: an invisible PKCS#7 signature, a visible CAdES one with texts,
        // then a document timestamp.
        WriteFile(dir_.file("0.pdf"), Base());
        kvtest::SignRequest first;
        ASSERT_EQ(kvtest::HostSign(dir_.file("0.pdf"), dir_.file("1.pdf"), first).value, 1);
        kvtest::SignRequest second;
        second.cades = true;
        second.visible = true;
        second.configure = [](KvPdfHandle h) {
            KvPDFSetProperties(h, 300, 100, 500, 160, "Jane Roe", "Pecs", "Approved", nullptr,
                               nullptr, 0, 1);
        };
        ranges_[1] = kvtest::HostSign(dir_.file("1.pdf"), dir_.file("2.pdf"), second);
        ASSERT_EQ(ranges_[1].value, 1);
        kvtest::SignRequest third;
        third.timestamp = true;
        ranges_[2] = kvtest::HostSign(dir_.file("2.pdf"), dir_.file("3.pdf"), third);
        ASSERT_EQ(ranges_[2].value, 1);
        path_ = dir_.file("3.pdf");
    }
    TempDir dir_;
    std::string path_;
    kvtest::SignOutcome ranges_[3];
};

TEST_F(Find, ListsEverySignatureWithItsKindTextsAndRange) {
    KvPdfHandle h = KvPDFInit(path_.c_str(), nullptr, 0);
    ASSERT_EQ(KvPdfFindSignatures(h), 1);
    ASSERT_EQ(KvPDFGetSignatureCount(h), 3);
    SignatureInfo s[3];
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(KvPDFGetSignature(h, i, &s[i]), 1);
    EXPECT_EQ(s[0].kind, KVPDF_SIG_KIND_SIGNATURE);
    EXPECT_EQ(s[1].kind, KVPDF_SIG_KIND_CADES);
    EXPECT_EQ(s[2].kind, KVPDF_SIG_KIND_DOC_TIMESTAMP);
    EXPECT_STREQ(s[0].subfilter, "adbe.pkcs7.detached");
    EXPECT_STREQ(s[2].subfilter, "ETSI.RFC3161");
    EXPECT_STREQ(s[1].name, "Jane Roe");
    EXPECT_STREQ(s[1].location, "Pecs");
    EXPECT_EQ(std::string(s[1].reason).rfind("Approved - ", 0), 0u);
    EXPECT_EQ(s[1].contact_info, nullptr);
    EXPECT_EQ(std::string(s[0].signing_time).substr(0, 2), "D:");
    EXPECT_EQ(s[2].signing_time, nullptr);
    for (int i = 1; i < 3; ++i)
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(s[i].byte_range[k], ranges_[i].byte_range[k]) << i;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(s[i].contents_offset, s[i].byte_range[1] + 1);
        EXPECT_EQ(KvPdfSignatureSupported(h, i), 1);
    }
    // The fields are found in page order: widget numbers ascend with the revisions.
    EXPECT_LT(s[0].field_obj, s[1].field_obj);
    SignatureInfo last;
    EXPECT_EQ(KvPDFGetSignature(h, -1, &last), 1);
    EXPECT_EQ(last.field_obj, s[2].field_obj);
    EXPECT_EQ(KvPDFGetSignature(h, 3, &last), 0);
    EXPECT_EQ(KvPDFGetSignature(h, 0, nullptr), 0);
    EXPECT_EQ(KvPdfSignatureSupported(h, 3), 0);
    // A second find on the same handle appends the signatures again.
    EXPECT_EQ(KvPdfFindLastSignaturePos(h), static_cast<int32_t>(s[2].contents_offset));
    EXPECT_EQ(KvPDFGetSignatureCount(h), 6);
    KvPDFClose(h);
}

TEST_F(Find, ExtractionWritesTheSignedBytesAndReturnsTheValue) {
    KvPdfHandle h = KvPDFInit(path_.c_str(), nullptr, 0);
    ASSERT_EQ(KvPdfFindSignatures(h), 1);
    SignatureInfo cades;
    KvPDFGetSignature(h, 1, &cades);
    std::string out = dir_.file("ranges.bin");
    uint32_t length = 0;
    int32_t error = 99;
    uint8_t *value = KvPdfWritePDFForVerify(h, path_.c_str(), out.c_str(), 1, &length, &error);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(error, 0);
    // a + c bytes: the signature's own revision, not the timestamp revision after it.
    EXPECT_EQ(ReadFile(out).size(), size_t{cades.byte_range[1]} + cades.byte_range[3]);
    EXPECT_EQ(ReadFile(out), ranges_[1].signed_bytes);
    EXPECT_EQ(length, 8192u);
    std::string der = ranges_[1].der;
    EXPECT_EQ(std::string(reinterpret_cast<char *>(value), der.size()), der);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(value) + der.size(), length - der.size()),
              std::string(length - der.size(), '\0'));
    void *block = value;
    KvPDFDestroyer(&block);
    // The handle's own source, the newest signature.
    value = KvPdfWritePDFSignatureByteRange(h, out.c_str(), &length, -1, &error);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(ReadFile(out), ranges_[2].signed_bytes);
    block = value;
    KvPDFDestroyer(&block);
    EXPECT_EQ(KvPdfWritePDFForVerify(h, path_.c_str(), out.c_str(), 7, &length, &error), nullptr);
    EXPECT_EQ(error, -102);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(
        KvPdfWritePDFForVerify(h, dir_.file("none.pdf").c_str(), out.c_str(), 0, &length, &error),
        nullptr);
    EXPECT_EQ(error, -307);
    EXPECT_EQ(
        KvPdfWritePDFForVerify(h, path_.c_str(), dir_.file("no/dir").c_str(), 0, &length, &error),
        nullptr);
    EXPECT_EQ(error, -308);
    KvPDFClose(h);
}

// Signature fields written by hand: the reader's quirks on dictionaries it did not write.
TEST(FindQuirks, DictionaryShapesAndTheStopAtAForeignAnnotation) {
    TempDir dir;
    auto find = [&](const std::string &annots, const std::string &extra,
                    std::vector<int> *ring = nullptr) {
        kvtest::PdfBuilder b;
        b.Object(1, "<</Type/Catalog/Pages 2 0 R/AcroForm<</Fields[5 0 R 6 0 R]>>>>");
        b.Object(2, "<</Type/Pages/Kids[3 0 R]/Count 1>>");
        b.Object(3, "<</Type/Page/Parent 2 0 R" + annots + ">>");
        b.Object(4, "<</Type/Annot/Subtype/Link/Rect[0 0 1 1]>>");
        b.Object(5, "<</FT/Sig/T(a)/V 7 0 R/Subtype/Widget>>");
        b.Object(6, "<</FT/Sig/T(b)/V 8 0 R/Subtype/Widget>>");
        b.Object(
            7,
            "<</Type/Sig/SubFilter /ETSI.CAdES.detached /Contents <3082>/ByteRange [0 10 20 30]>>");
        b.Object(8, "<</Type /Sig /SubFilter/adbe.pkcs7.sha1/Contents<00>" + extra + ">>");
        b.ClassicXref();
        WriteFile(dir.file("q.pdf"), b.bytes());
        KvPdfHandle h = KvPDFInit(dir.file("q.pdf").c_str(), nullptr, 0);
        int32_t rc = KvPdfFindSignatures(h);
        if (ring) *ring = kvtest::RingCodes(h);
        std::vector<SignatureInfo> found(static_cast<size_t>(KvPDFGetSignatureCount(h)));
        for (size_t i = 0; i < found.size(); ++i)
            KvPDFGetSignature(h, int32_t(i), &found[i]);
        std::vector<int> kinds;
        for (auto &s : found)
            kinds.push_back(s.kind);
        if (!found.empty()) {
            EXPECT_EQ(found[0].byte_range[3], 30u);
        }
        KvPDFClose(h);
        return std::make_pair(rc, kinds);
    };
    // Page annotations: both widgets, kinds by /Type and /SubFilter (blanks after the
    // names do not matter); a sha1 subfilter is a signature of kind 0.
    EXPECT_EQ(find("/Annots[5 0 R 6 0 R]", "/ByteRange[0 1 2 3]"),
              std::make_pair(1, std::vector<int>{1, 0}));
    // A link annotation first ends the page's list; the form's fields are read then.
    EXPECT_EQ(find("/Annots[4 0 R 5 0 R]", "/ByteRange[0 1 2 3]"),
              std::make_pair(1, std::vector<int>{1, 0}));
    // No annotations at all: -55 from the page is cleared, the fields are read.
    std::vector<int> ring;
    EXPECT_EQ(find("", "/ByteRange[0 1 2 3]", &ring), std::make_pair(1, std::vector<int>{1, 0}));
    EXPECT_TRUE(ring.empty());
    // A signature dictionary without /ByteRange is refused with -100 but stays listed.
    auto broken = find("/Annots[5 0 R 6 0 R]", "", &ring);
    EXPECT_EQ(broken.first, -100);
    EXPECT_EQ(broken.second, (std::vector<int>{1, 0}));
    EXPECT_EQ(ring.front(), -100);
}

TEST(FindQuirks, DocumentWithoutSignatures) {
    TempDir dir;
    WriteFile(dir.file("plain.pdf"), Base());
    KvPdfHandle h = KvPDFInit(dir.file("plain.pdf").c_str(), nullptr, 0);
    EXPECT_EQ(KvPdfFindSignatures(h), -55);
    EXPECT_EQ(kvtest::RingCodes(h), (std::vector<int>{-55, -42, -45}));
    EXPECT_EQ(KvPDFGetSignatureCount(h), 0);
    KvPDFClose(h);
}

} // namespace
