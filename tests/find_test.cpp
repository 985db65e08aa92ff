// SPDX-License-Identifier: Apache-2.0
// Finding signatures, the list queries, and extracting the signed bytes.
#include "kvtest.h"

#include <set>

using kvtest::ReadFile;
using kvtest::WriteFile;

namespace {

TEST(Find, ListsAndExtractsEverySignatureOfThreeRevisions) {
    // An invisible PKCS#7 signature, a visible CAdES one with texts, a document timestamp.
    kvtest::TempDir dir;
    const std::string path = dir.file("3.pdf"), out = dir.file("ranges.bin");
    WriteFile(dir.file("0.pdf"), kvtest::OnePagePdf());
    kvtest::SignRequest r[3];
    r[1].cades = r[1].visible = true;
    r[1].configure = [](KvPdfHandle h) {
        KvPDFSetProperties(h, 300, 100, 500, 160, "Jane Roe", "Pecs", "Approved", nullptr, nullptr,
                           0, 1);
    };
    r[2].timestamp = true;
    kvtest::SignOutcome made[3];
    for (int i = 0; i < 3; ++i) {
        made[i] = kvtest::HostSign(dir.file(std::to_string(i) + ".pdf"),
                                   dir.file(std::to_string(i + 1) + ".pdf"), r[i]);
        ASSERT_EQ(made[i].value, 1);
    }
    KvPdfHandle h = KvPDFInit(path.c_str(), nullptr, 0);
    ASSERT_EQ(KvPdfFindSignatures(h), 1);
    ASSERT_EQ(KvPDFGetSignatureCount(h), 3);
    SignatureInfo s[3];
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(KvPDFGetSignature(h, i, &s[i]), 1);
        EXPECT_EQ(s[i].kind, i) << "signature, CAdES, document timestamp";
        EXPECT_EQ(std::vector<uint32_t>(s[i].byte_range, s[i].byte_range + 4), made[i].byte_range);
        EXPECT_EQ(s[i].contents_offset, s[i].byte_range[1] + 1);
        EXPECT_EQ(KvPdfSignatureSupported(h, i), 1);
    }
    EXPECT_STREQ(s[0].subfilter, "adbe.pkcs7.detached");
    EXPECT_STREQ(s[2].subfilter, "ETSI.RFC3161");
    EXPECT_STREQ(s[1].location, "Pecs");
    EXPECT_TRUE(s[1].contact_info == nullptr && s[2].signing_time == nullptr);
    // The fields are found in page order: widget numbers ascend with the revisions.
    EXPECT_LT(s[0].field_obj, s[1].field_obj);
    SignatureInfo last;
    EXPECT_EQ(KvPDFGetSignature(h, -1, &last), 1);
    EXPECT_EQ(last.field_obj, s[2].field_obj);
    EXPECT_EQ(KvPDFGetSignature(h, 3, &last), 0);
    EXPECT_EQ(KvPDFGetSignature(h, 0, nullptr), 0);
    EXPECT_EQ(KvPdfSignatureSupported(h, 3), 0);

    // The CAdES signature's own revision (a + c bytes), not the timestamp's after it, and
    // its value followed by the reserved zeros.
    uint32_t length = 0;
    int32_t error = 99;
    uint8_t *value = KvPdfWritePDFForVerify(h, path.c_str(), out.c_str(), 1, &length, &error);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(ReadFile(out), made[1].signed_bytes);
    EXPECT_EQ(kvtest::Str(value, length), made[1].der + std::string(8192 - made[1].der.size(), 0));
    void *block = value;
    KvPDFDestroyer(&block);
    // The handle's own source, the newest signature.
    block = KvPdfWritePDFSignatureByteRange(h, out.c_str(), &length, -1, &error);
    EXPECT_NE(block, nullptr);
    EXPECT_EQ(ReadFile(out), made[2].signed_bytes);
    KvPDFDestroyer(&block);
    EXPECT_EQ(KvPdfWritePDFForVerify(h, path.c_str(), out.c_str(), 7, &length, &error), nullptr);
    EXPECT_EQ(error, -102);
    EXPECT_EQ(length, 0u);
    const std::string none = dir.file("none.pdf"), no_dir = dir.file("no/dir");
    EXPECT_EQ(KvPdfWritePDFForVerify(h, none.c_str(), out.c_str(), 0, &length, &error), nullptr);
    EXPECT_EQ(error, -307);
    EXPECT_EQ(KvPdfWritePDFForVerify(h, path.c_str(), no_dir.c_str(), 0, &length, &error), nullptr);
    EXPECT_EQ(error, -308);
    // A second find on the same handle appends the signatures again.
    EXPECT_EQ(KvPdfFindLastSignaturePos(h), static_cast<int32_t>(s[2].contents_offset));
    EXPECT_EQ(KvPDFGetSignatureCount(h), 6);
    KvPDFClose(h);
}

// Signature fields written by hand: the reader's quirks on dictionaries it did not write.
TEST(Find, DictionaryShapesAndTheStopAtAForeignAnnotation) {
    const struct {
        const char *what, *annots, *second_extra;
        int32_t rc;
        const char *ring;
    } cases[] = {
        // Kinds by /Type and /SubFilter, blanks after the names or not; a sha1 subfilter
        // is a signature of kind 0.
        {"page annotations", "/Annots[5 0 R 6 0 R]", "/ByteRange[0 1 2 3]", 1, ""},
        // A link annotation first ends the page's list; the form's fields are read then.
        {"a link first", "/Annots[4 0 R 5 0 R]", "/ByteRange[0 1 2 3]", 1, ""},
        {"no annotations: -55 from the page is cleared", "", "/ByteRange[0 1 2 3]", 1, ""},
        {"fields listed again are listed once", "/Annots[5 0 R 5 0 R 6 0 R 5 0 R 6 0 R]",
         "/ByteRange[0 1 2 3]", 1, ""},
        // Refused with -100, yet listed.
        {"a dictionary without /ByteRange", "/Annots[5 0 R 6 0 R]", "", -100, "-100"},
    };
    kvtest::TempDir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        kvtest::PdfBuilder b;
        b.Object(1, "<</Type/Catalog/Pages 2 0 R/AcroForm<</Fields[5 0 R 6 0 R]>>>>");
        b.Object(2, "<</Type/Pages/Kids[3 0 R]/Count 1>>");
        b.Object(3, std::string("<</Type/Page/Parent 2 0 R") + c.annots + ">>");
        b.Object(4, "<</Type/Annot/Subtype/Link/Rect[0 0 1 1]>>");
        b.Object(5, "<</FT/Sig/T(a)/V 7 0 R/Subtype/Widget>>");
        b.Object(6, "<</FT/Sig/T(b)/V 8 0 R/Subtype/Widget>>");
        b.Object(7, "<</Type/Sig/SubFilter /ETSI.CAdES.detached /Contents <3082>"
                    "/ByteRange [0 10 20 30]>>");
        b.Object(8, std::string("<</Type /Sig /SubFilter/adbe.pkcs7.sha1/Contents<00>") +
                        c.second_extra + ">>");
        b.ClassicXref();
        WriteFile(dir.file("q.pdf"), b.bytes());
        KvPdfHandle h = KvPDFInit(dir.file("q.pdf").c_str(), nullptr, 0);
        EXPECT_EQ(KvPdfFindSignatures(h), c.rc);
        std::vector<int> ring = kvtest::RingCodes(h);
        EXPECT_EQ(ring.empty() ? "" : std::to_string(ring.front()), c.ring);
        SignatureInfo s[2];
        ASSERT_EQ(KvPDFGetSignatureCount(h), 2);
        for (int i = 0; i < 2; ++i)
            KvPDFGetSignature(h, i, &s[i]);
        EXPECT_EQ(std::make_pair(s[0].kind, s[1].kind), std::make_pair(1, 0));
        EXPECT_EQ(s[0].byte_range[3], 30u);
        KvPDFClose(h);
    }
}

// A form of every shape the default search misses. The fields are met in the order
// 11, 15, then 13 from page 2; their values lie in the file in the order 22, 23, 24,
// so the list comes out in signing order (15, 13, 11) only when it is sorted.
using Objects = std::vector<std::pair<uint32_t, std::string>>;
std::string ShapesPdf(const std::string &fields, const Objects &extra) {
    kvtest::PdfBuilder b;
    b.Object(1, "<</Type/Catalog/Pages 2 0 R/AcroForm<</Fields[" + fields + "]>>>>");
    b.Object(2, "<</Type/Pages/Kids[3 0 R 4 0 R]/Count 2>>");
    b.Object(3, "<</Type/Page/Parent 2 0 R/Annots[5 0 R 6 0 R 7 0 R]>>");
    b.Object(4, "<</Type/Pages/Parent 2 0 R/Kids[8 0 R]/Count 1>>");
    b.Object(8, "<</Type/Page/Parent 4 0 R/Annots 9 0 R>>");
    b.Object(9, "[10 0 R]");
    b.Object(5, "<</Type/Annot/Subtype/Link/Rect[0 0 1 1]>>");
    b.Object(6, "<</FT/Tx/T(t)/V(x)/Subtype/Widget>>");
    b.Object(7, "<</FT/Sig/T(u)/Subtype/Widget>>"); // not signed
    // /FT and /V of a field with a separate widget; the widget's action /V is no value.
    b.Object(11, "<</FT/Sig/T(p)/V 24 0 R/Kids[12 0 R]>>");
    b.Object(12, "<</Parent 11 0 R/Subtype/Widget/AA<</V 99 0 R>>>>");
    // A page-2 widget whose field the form does not name.
    b.Object(10, "<</Parent 13 0 R/Subtype/Widget>>");
    b.Object(13, "<</FT/Sig/T(w)/V 23 0 R>>");
    // A document timestamp on no page, the kid of a non-terminal field.
    b.Object(14, "<</T(n)/Kids[15 0 R]>>");
    b.Object(15, "<</FT/Sig/T(d)/Parent 14 0 R/V 22 0 R>>");
    for (const auto &[n, body] : extra)
        b.Object(n, body);
    const char *kinds[] = {"/Type/DocTimeStamp/SubFilter/ETSI.RFC3161", "/Type/Sig", "/Type/Sig"};
    for (uint32_t i = 0; i < 3; ++i)
        b.Object(22 + i, std::string("<<") + kinds[i] + "/Contents<30820000>/ByteRange[0 " +
                             std::to_string(10 + i) + " 20 30]>>");
    b.ClassicXref();
    return b.bytes();
}

TEST(Find, CompleteDiscoveryFollowsTheWholeFormAndEveryPage) {
    const struct {
        const char *what, *fields;
        Objects extra;
        std::vector<uint32_t> found; // field objects, in list order
        std::vector<int> ring;
    } cases[] = {
        {"every shape", "6 0 R 7 0 R 11 0 R 14 0 R", {}, {15, 13, 11}, {}},
        {"a field listed twice, a cycle through /Kids",
         "11 0 R 14 0 R 11 0 R 16 0 R",
         {{16, "<</T(c)/Kids[16 0 R 14 0 R]>>"}},
         {15, 13, 11},
         {}},
        // A reference to no object is null: nothing to say about it.
        {"a /V that is no signature dictionary, a field that is not there",
         "17 0 R 40 0 R 14 0 R 11 0 R",
         {{17, "<</FT/Sig/T(v)/V 18 0 R>>"}, {18, "42"}},
         {15, 13, 11},
         {-220}},
        {"a /ByteRange of three numbers is listed, for the verifier to refuse",
         "19 0 R 11 0 R",
         {{19, "<</FT/Sig/T(r)/V 20 0 R>>"}, {20, "<</Contents<00>/ByteRange[0 1 2]>>"}},
         {19, 13, 11},
         {-100}},
    };
    kvtest::TempDir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(dir.file("f.pdf"), ShapesPdf(c.fields, c.extra));
        KvPdfHandle h = KvPDFInit(dir.file("f.pdf").c_str(), nullptr, 0);
        ASSERT_EQ(KvPDFSetProperty(h, KVPDF_PROP_FIND_ALL_SIGNATURES, 1), 1);
        EXPECT_EQ(KvPdfFindSignatures(h), 1);
        std::vector<uint32_t> found;
        for (int32_t i = 0; i < KvPDFGetSignatureCount(h); ++i) {
            SignatureInfo s;
            KvPDFGetSignature(h, i, &s);
            found.push_back(s.field_obj);
        }
        EXPECT_EQ(found, c.found);
        EXPECT_EQ(kvtest::RingCodes(h), c.ring);
        EXPECT_EQ(KvPdfFindLastSignaturePos(h),
                  int32_t(ReadFile(dir.file("f.pdf")).find("<30820000>/ByteRange[0 12")) + 1);
        KvPDFClose(h);
    }
}

// Over the corpus, complete discovery finds the signed fields pdfsig lists (it lists
// unsigned ones too), with the same byte ranges, in signing order.
using Corpus = kvtest::CorpusTest;

TEST_F(Corpus, CompleteDiscoveryListsWhatPdfsigLists) {
    for (const kvtest::Row &row : rows_) {
        const std::string path = dir_ + "/" + row.at("file");
        SCOPED_TRACE(row.at("file"));
        std::string out;
        std::multiset<std::string> theirs;
        for (const kvtest::PdfsigSignature &p : kvtest::RunPdfsig(path, &out))
            if (p.raw.find("is not signed") == std::string::npos) theirs.insert(p.signed_ranges);
        KvPdfHandle h = KvPDFInit(path.c_str(), nullptr, 0);
        KvPDFSetProperty(h, KVPDF_PROP_FIND_ALL_SIGNATURES, 1);
        (void)KvPdfFindSignatures(h);
        std::multiset<std::string> ours;
        uint32_t previous = 0;
        for (int32_t i = 0; i < KvPDFGetSignatureCount(h); ++i) {
            SignatureInfo s;
            KvPDFGetSignature(h, i, &s);
            const uint32_t *r = s.byte_range;
            ours.insert("[" + std::to_string(r[0]) + " - " + std::to_string(r[0] + r[1]) + "], [" +
                        std::to_string(r[2]) + " - " + std::to_string(r[2] + r[3]) + "]");
            EXPECT_GT(r[1], previous);
            previous = r[1];
        }
        KvPDFClose(h);
        EXPECT_EQ(ours, theirs) << out;
    }
}

// A field tree 10,000 levels deep and a /Parent chain as long: the search stops at the
// bound, says so once, and still lists the signatures it reached.
TEST(Find, CompleteDiscoveryBoundsDeepTrees) {
    kvtest::PdfBuilder b;
    const uint32_t depth = 10000, first = 10;
    b.Object(1, "<</Type/Catalog/Pages 2 0 R/AcroForm<</Fields[5 0 R " + std::to_string(first) +
                    " 0 R]>>>>");
    b.Object(2, "<</Type/Pages/Kids[3 0 R]/Count 1>>");
    b.Object(3, "<</Type/Page/Parent 2 0 R/Annots[" + std::to_string(first + depth) + " 0 R]>>");
    b.Object(5, "<</FT/Sig/T(a)/V 6 0 R>>");
    b.Object(6, "<</Contents<00>/ByteRange[0 1 2 3]>>");
    for (uint32_t i = 0; i <= depth; ++i)
        b.Object(first + i, "<</T(k)/Kids[" + std::to_string(first + i + 1) + " 0 R]/Parent " +
                                std::to_string(i ? first + i - 1 : 1) + " 0 R>>");
    b.ClassicXref();
    kvtest::TempDir dir;
    WriteFile(dir.file("d.pdf"), b.bytes());
    KvPdfHandle h = KvPDFInit(dir.file("d.pdf").c_str(), nullptr, 0);
    KvPDFSetProperty(h, KVPDF_PROP_FIND_ALL_SIGNATURES, 1);
    EXPECT_EQ(KvPdfFindSignatures(h), 1);
    EXPECT_EQ(KvPDFGetSignatureCount(h), 1);
    EXPECT_EQ(kvtest::RingCodes(h), (std::vector<int>{-221}));
    KvPDFClose(h);
}

} // namespace
