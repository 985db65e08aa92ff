// SPDX-License-Identifier: Apache-2.0
// KvPdfCheckSignature: the /ByteRange tricks and the classes of later revisions.
#include "kvtest.h"

#include <cstring>

using kvtest::AppendUpdate;
using kvtest::ReadFile;
using kvtest::WriteFile;

namespace {

struct Check {
    int32_t rc = 0;
    KvPdfSignatureCheck c{};
    std::vector<uint32_t> other;
};

Check CheckFile(const std::string &path, int32_t index) {
    Check out;
    KvPdfHandle h = KvPDFInit(path.c_str(), nullptr, 0);
    (void)KvPdfFindSignatures(h);
    out.rc = KvPdfCheckSignature(h, index, &out.c);
    out.other.assign(out.c.other_objects, out.c.other_objects + out.c.other_count);
    KvPDFClose(h);
    return out;
}

// The newest text of object n, and that text with one more key.
std::string Body(const std::string &pdf, uint32_t n) {
    const std::string head = "\n" + std::to_string(n) + " 0 obj";
    size_t at = pdf.rfind(head) + head.size();
    return pdf.substr(at, pdf.find("endobj", at) - at);
}
std::string WithKey(const std::string &body, const std::string &key) {
    return body.substr(0, body.rfind(">>")) + key + ">>";
}

// Catalog with a text field that is on no page (the default search stops at the first
// annotation of a page that is not a signature), signed once by kvpdf: the signature
// dictionary is object 6.
std::string SignedForm(const kvtest::TempDir &dir, const std::string &catalog_extra,
                       const std::string &reason = "") {
    kvtest::PdfBuilder b;
    b.Object(1, "<</Type/Catalog/Pages 2 0 R/AcroForm<</Fields[4 0 R]>>" + catalog_extra + ">>");
    b.Object(2, "<</Type/Pages/Kids[3 0 R]/Count 1>>");
    b.Object(3, "<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]>>");
    b.Object(4, "<</FT/Tx/T(name)/Subtype/Widget/Rect[0 0 90 20]>>");
    b.ClassicXref();
    WriteFile(dir.file("form.pdf"), b.bytes());
    kvtest::SignRequest r;
    if (!reason.empty())
        r.configure = [reason](KvPdfHandle h) {
            KvPDFSetProperties(h, 0, 0, 0, 0, nullptr, nullptr, reason.c_str(), nullptr, nullptr, 0,
                               0);
        };
    EXPECT_EQ(kvtest::HostSign(dir.file("form.pdf"), dir.file("signed.pdf"), r).value, 1);
    return ReadFile(dir.file("signed.pdf"));
}

TEST(Changes, ClassifiesLaterRevisionsAndJudgesThemAgainstCertification) {
    kvtest::TempDir dir;
    // The reason closes its string and adds the certification's /Reference: the
    // library writes host texts as given.
    const std::string p1 = "x)/Reference[<</Type/SigRef/TransformMethod/DocMDP/TransformParams"
                           "<</P 1/V/1.2>>>>]/Note(";
    const std::string plain = SignedForm(dir, ""),
                      certified = SignedForm(dir, "/Perms<</DocMDP 6 0 R>>"),
                      strict = SignedForm(dir, "/Perms<</DocMDP 6 0 R>>", p1);
    const std::string page = "<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]";
    auto update = [&](const std::string &base, const std::map<uint32_t, std::string> &o) {
        return AppendUpdate(base, o);
    };
    auto dss = [&](const std::string &s) {
        return update(s, {{1, WithKey(Body(s, 1), "/DSS 20 0 R")},
                          {20, "<</Certs[21 0 R]>>"},
                          {21, "<</Length 3>>stream\nabc\nendstream"}});
    };
    auto fill = [&](const std::string &s) {
        return update(s, {{4, "<</FT/Tx/T(name)/V(filled)/Subtype/Widget/Rect[0 0 90 20]>>"}});
    };
    auto annotate = [&](const std::string &s) {
        std::string annots = Body(s, 3);
        annots.insert(annots.find("]", annots.find("/Annots")), " 20 0 R");
        return update(s, {{3, annots},
                          {20, "<</Type/Annot/Subtype/Text/Rect[0 0 9 9]/Popup 21 0 R>>"},
                          {21, "<</Type/Annot/Subtype/Popup/Rect[0 0 9 9]/Parent 20 0 R>>"}});
    };
    auto second = [&](const std::string &s, bool timestamp) {
        WriteFile(dir.file("in.pdf"), s);
        kvtest::SignRequest r;
        r.timestamp = timestamp;
        EXPECT_EQ(kvtest::HostSign(dir.file("in.pdf"), dir.file("out.pdf"), r).value, 1);
        return ReadFile(dir.file("out.pdf"));
    };
    const struct {
        const char *what;
        std::string bytes;
        int32_t changes;
        std::vector<uint32_t> other;
        int32_t docmdp, violated;
    } cases[] = {
        {"nothing after", plain, KVPDF_CHANGES_NONE, {}, 0, 0},
        {"a DSS", dss(plain), KVPDF_CHANGES_VALIDATION, {}, 0, 0},
        {"a document timestamp", second(plain, true), KVPDF_CHANGES_VALIDATION, {}, 0, 0},
        {"a second signature", second(plain, false), KVPDF_CHANGES_SIGNATURES, {}, 0, 0},
        {"a field filled", fill(plain), KVPDF_CHANGES_FORM_FILLING, {}, 0, 0},
        {"an annotation", annotate(plain), KVPDF_CHANGES_ANNOTATIONS, {}, 0, 0},
        {"page contents",
         update(plain, {{3, WithKey(Body(plain, 3), "/Contents 20 0 R")},
                        {20, "<</Length 0>>stream\n\nendstream"}}),
         KVPDF_CHANGES_OTHER,
         {3, 20},
         0,
         0},
        {"a page added",
         update(plain, {{2, "<</Type/Pages/Kids[3 0 R 20 0 R]/Count 2>>"}, {20, page + ">>"}}),
         KVPDF_CHANGES_OTHER,
         {2, 20},
         0,
         0},
        {"an object freed", update(plain, {{4, ""}}), KVPDF_CHANGES_OTHER, {4}, 0, 0},
        {"P 2, DSS", dss(certified), KVPDF_CHANGES_VALIDATION, {}, 2, 0},
        {"P 2, a second signature", second(certified, false), KVPDF_CHANGES_SIGNATURES, {}, 2, 0},
        {"P 2, a field filled", fill(certified), KVPDF_CHANGES_FORM_FILLING, {}, 2, 0},
        {"P 2, an annotation", annotate(certified), KVPDF_CHANGES_ANNOTATIONS, {}, 2, 1},
        {"P 2, an object freed", update(certified, {{4, ""}}), KVPDF_CHANGES_OTHER, {4}, 2, 1},
        {"P 1, a document timestamp", second(strict, true), KVPDF_CHANGES_VALIDATION, {}, 1, 0},
        {"P 1, a second signature", second(strict, false), KVPDF_CHANGES_SIGNATURES, {}, 1, 1},
        {"P 1, a field filled", fill(strict), KVPDF_CHANGES_FORM_FILLING, {}, 1, 1},
    };
    for (const auto &t : cases) {
        WriteFile(dir.file("case.pdf"), t.bytes);
        Check c = CheckFile(dir.file("case.pdf"), 0);
        EXPECT_EQ(c.rc, 1) << t.what;
        EXPECT_EQ(c.c.byte_range, KVPDF_RANGE_OK) << t.what;
        EXPECT_EQ(c.c.analysis, 1) << t.what;
        EXPECT_EQ(c.c.changes, t.changes) << t.what;
        EXPECT_EQ(c.c.revisions_after, t.changes == KVPDF_CHANGES_NONE ? 0u : 1u) << t.what;
        EXPECT_EQ(c.other, t.other) << t.what;
        EXPECT_EQ(c.c.docmdp, t.docmdp) << t.what;
        EXPECT_EQ(c.c.docmdp_violated, t.violated) << t.what;
    }
}

TEST(Changes, ReportsTheFirstByteRangeTrick) {
    // A hand-made signature whose /ByteRange text is filled in once the offsets are known.
    const std::string der = "3003020101", pad(40, '0'), slot(40, ' ');
    auto file = [&](const std::string &contents) {
        kvtest::PdfBuilder b;
        b.Object(1, "<</Type/Catalog/Pages 2 0 R/AcroForm<</Fields[4 0 R]/SigFlags 3>>>>");
        b.Object(2, "<</Type/Pages/Kids[3 0 R]/Count 1>>");
        b.Object(3, "<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]/Annots[4 0 R]>>");
        b.Object(4, "<</FT/Sig/T(s)/Subtype/Widget/Rect[0 0 0 0]/P 3 0 R/V 5 0 R>>");
        b.Object(5, "<</Type/Sig/Filter/Adobe.PPKLite/SubFilter/adbe.pkcs7.detached/ByteRange[" +
                        slot + "]/Contents<" + contents + ">>>");
        b.ClassicXref();
        return b.bytes();
    };
    const std::string one = file(der + pad), two = file(der + der + pad);
    const uint32_t a = static_cast<uint32_t>(one.find("/Contents<") + 9);
    const uint32_t b = static_cast<uint32_t>(one.find('>', a) + 1), end = uint32_t(one.size());
    auto range = [&](const std::string &bytes, const std::string &numbers) {
        std::string out = bytes;
        out.replace(out.find(slot), slot.size(), numbers + std::string(40 - numbers.size(), ' '));
        return out;
    };
    auto n = [](uint32_t v) { return std::to_string(v); };
    const std::string sound = "0 " + n(a) + " " + n(b) + " " + n(end - b);
    const struct {
        const char *what;
        std::string bytes;
        int32_t expected;
    } cases[] = {
        {"sound", range(one, sound), KVPDF_RANGE_OK},
        {"starts at 5", range(one, "5 " + n(a - 5) + " " + n(b) + " " + n(end - b)),
         KVPDF_RANGE_NOT_AT_START},
        {"gap one byte too wide", range(one, "0 " + n(a - 1) + " " + n(b) + " " + n(end - b)),
         KVPDF_RANGE_GAP},
        {"overlapping", range(one, "0 " + n(a) + " 10 " + n(end - 10)), KVPDF_RANGE_OVERLAP},
        {"past the end", range(one, "0 " + n(a) + " " + n(b) + " " + n(end - b + 1)),
         KVPDF_RANGE_PAST_END},
        {"3 numbers", range(one, "0 " + n(a) + " " + n(b)), KVPDF_RANGE_MALFORMED},
        {"6 numbers", range(one, sound + " 0 0"), KVPDF_RANGE_MALFORMED},
        {"negative", range(one, "0 " + n(a) + " " + n(b) + " -5"), KVPDF_RANGE_MALFORMED},
        {"a second CMS blob", range(two, "0 " + n(a) + " " + n(b + 10) + " " + n(end - b)),
         KVPDF_RANGE_TRAILING_DATA},
    };
    kvtest::TempDir dir;
    for (const auto &t : cases) {
        WriteFile(dir.file("r.pdf"), t.bytes);
        Check c = CheckFile(dir.file("r.pdf"), 0);
        EXPECT_EQ(c.rc, 1) << t.what;
        EXPECT_EQ(c.c.byte_range, t.expected) << t.what;
    }
}

TEST(Changes, AnUnreadableLaterSectionFailsOnlyTheSignaturesBeforeIt) {
    kvtest::TempDir dir;
    // Signature A, an update whose table the shared reader passes over (an entry of
    // type 'x'), then signature B.
    std::string bytes = SignedForm(dir, "");
    bytes = AppendUpdate(bytes, {{20, "<</Length 0>>stream\n\nendstream"}});
    bytes[bytes.rfind(" n\r\n") + 1] = 'x';
    WriteFile(dir.file("a.pdf"), bytes);
    ASSERT_EQ(kvtest::HostSign(dir.file("a.pdf"), dir.file("b.pdf"), {}).value, 1);
    KvPdfHandle h = KvPDFInit(dir.file("b.pdf").c_str(), nullptr, 0);
    ASSERT_EQ(KvPdfFindSignatures(h), 1);
    KvPdfSignatureCheck c;
    ASSERT_EQ(KvPdfCheckSignature(h, 0, &c), 1);
    EXPECT_EQ(c.analysis, KVPDF_ERR_LATER_REVISION);
    EXPECT_EQ(c.changes, KVPDF_CHANGES_OTHER);
    EXPECT_EQ(c.revisions_after, 2u);
    std::vector<int> ring = kvtest::RingCodes(h);
    EXPECT_NE(std::find(ring.begin(), ring.end(), KVPDF_ERR_LATER_REVISION), ring.end());
    ASSERT_EQ(KvPdfCheckSignature(h, 1, &c), 1);
    EXPECT_EQ(c.analysis, 1);
    EXPECT_EQ(c.byte_range, KVPDF_RANGE_OK);
    EXPECT_EQ(c.changes, KVPDF_CHANGES_NONE);
    EXPECT_EQ(KvPdfCheckSignature(h, 2, &c), 0);
    EXPECT_EQ(KvPdfCheckSignature(h, 0, nullptr), 0);
    KvPDFClose(h);
    EXPECT_EQ(KvPdfCheckSignature(0, 0, &c), KVPDF_ERR_NULL_HANDLE);
}

} // namespace
