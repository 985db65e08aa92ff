// SPDX-License-Identifier: Apache-2.0
// Signature revisions byte for byte, the host flow through the independent checkers,
// and the failures of a signing write.
#include "kvtest.h"

#include <climits>
#include <cstdlib>
#include <zlib.h>

using kvtest::ReadFile;
using kvtest::TempDir;
using kvtest::WriteFile;

namespace {

constexpr time_t kSigningTime = 1796472000; // 2026-12-05 12:00:00 UTC
constexpr const char kWhen[] = "20261205120000+00'00'";
constexpr const char kWhenKontir[] = "20261205120000+01'00'";
constexpr const char kHuSentence[] =
    "A digit\xE1lis al\xE1\xEDr\xE1s a Korvane Kft. PDF Plume term\xE9k\xE9vel k\xE9sz\xFClt.";

// A classic one-revision source: catalog without a form, a page without /Annots, /Info.
std::string Source() {
    kvtest::PdfBuilder b = kvtest::OnePage();
    b.Object(4, "<</Producer(test)>>");
    kvtest::ClassicOptions o;
    o.trailer_extra = "/Info 4 0 R";
    b.ClassicXref(o);
    return b.bytes();
}

// The text of an update as the templates give it, offsets counted from its base.
struct Expected {
    uint32_t base;
    std::string text;
    std::map<uint32_t, uint32_t> offsets;
    void Object(uint32_t n, const std::string &s) {
        offsets[n] = base + static_cast<uint32_t>(text.size());
        text += s;
    }
    void Form(uint32_t n, const std::string &dict_head, const std::string &dict_tail,
              const std::string &content) {
        std::string packed = kvtest::Deflate(content, 1);
        Object(n, std::to_string(n) + " 0 obj\n" + dict_head + std::to_string(packed.size()) +
                      dict_tail + packed + "\nendstream\nendobj\n\n");
    }
    // The classic section for updated then new objects, trailer and the end.
    void Xref(const std::vector<uint32_t> &updated, const std::vector<uint32_t> &created,
              uint32_t size, uint32_t prev) {
        uint32_t at = base + static_cast<uint32_t>(text.size());
        text += "xref\n";
        char line[64];
        for (const auto *list : {&updated, &created}) {
            for (uint32_t n : *list) {
                snprintf(line, sizeof line, "%u 1\n%010u 00000 n \n", n, offsets.at(n));
                text += line;
            }
        }
        text += "trailer\r<<\n/Size " + std::to_string(size) +
                "\n/Root 1 0 R\n/Info 4 0 R\n/Prev " + std::to_string(prev) + "\n>>\nstartxref\n" +
                std::to_string(at) + "\n%%EOF\r\n";
    }
    // The rewritten catalog and page naming the new field (and annots), the classic
    // section listing them and the created objects, the /ByteRange completed as the
    // library completes it.
    void Finish(uint32_t field, const std::string &annots, const std::vector<uint32_t> &created,
                uint32_t prev) {
        Object(1, "1 0 obj\n<</Type/Catalog/AcroForm<</SigFlags 3/Fields[" + std::to_string(field) +
                      " 0 R]>>/Pages 2 0 R>>\nendobj\n\n");
        Object(3, "3 0 obj\n<</Type/Page\n/Annots [" + annots +
                      "]\n/Parent 2 0 R/MediaBox[0 0 612 792]>>\nendobj\n\n");
        Xref({1, 3}, created, created.back() + 1, prev);
        const size_t at = text.find("00000000000000000000000000>>");
        const std::string length = std::to_string(text.size());
        text.replace(at, 28, length + " ]>>" + std::string(24 - length.size(), ' '));
    }
};

// Equal bytes, or the first difference with some context on each side.
::testing::AssertionResult SameBytes(const std::string &actual, const std::string &expected) {
    if (actual == expected) return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < actual.size() && i < expected.size() && actual[i] == expected[i])
        ++i;
    size_t from = i > 60 ? i - 60 : 0;
    return ::testing::AssertionFailure()
           << "sizes " << actual.size() << " and " << expected.size() << ", first difference at "
           << i << "\n  actual:   " << ::testing::PrintToString(actual.substr(from, 120))
           << "\n  expected: " << ::testing::PrintToString(expected.substr(from, 120));
}

class SignBytes : public ::testing::Test {
protected:
    void SetUp() override {
        const char *tz = getenv("TZ");
        saved_tz_ = tz ? tz : "";
        had_tz_ = tz != nullptr;
        Zone("UTC");
        WriteFile(src_, source_);
    }
    void TearDown() override { Zone(had_tz_ ? saved_tz_.c_str() : nullptr); }
    static void Zone(const char *tz) {
        tz ? setenv("TZ", tz, 1) : unsetenv("TZ");
        tzset();
    }
    // Writes the revision with the value kValue and returns the file.
    std::string Sign(const std::function<void(KvPdfHandle)> &configure,
                     intptr_t (*logo)(KvPdfHandle, const std::string &) = nullptr,
                     bool timestamp = false) {
        KvPdfHandle h = KvPDFInit(src_.c_str(), dst_.c_str(), kBuffer);
        KvPDFSetProperty(h, KVPDF_PROP_FIXED_TIME, KVPDF_TEXT(std::to_string(when_).c_str()));
        if (configure) configure(h);
        if (timestamp) KvPdfCreateDocTimeStamp(h);
        intptr_t record = logo ? logo(h, dir_.path()) : 0;
        EXPECT_EQ(KvPdfWritePDFWithoutSignature(h, record), 1);
        EXPECT_EQ(KvPdfWriteSignature(h, kValue, sizeof kValue), 1);
        if (record > 0) KvPDFLogoFree(reinterpret_cast<LogoImage *>(record));
        KvPDFClose(h);
        return ReadFile(dst_);
    }
    // The source, the dictionary head, and the reserved value holding kValue.
    std::string Head(const std::string &type, const std::string &subfilter, uint32_t number) {
        std::string head = source_ + "\n" + std::to_string(number) + " 0 obj\n<</Type/" + type +
                           "/Filter/Adobe.PPKLite/SubFilter/" + subfilter + "/Contents";
        contents_start_ = static_cast<uint32_t>(head.size());
        contents_end_ = contents_start_ + 2 * kBuffer + 2;
        const std::string value = "308201abff"; // kValue
        return head + "<" + value + std::string(2 * kBuffer - value.size(), '0') + ">";
    }
    std::string ByteRange() const {
        return "/ByteRange[0 " + std::to_string(contents_start_) + " " +
               std::to_string(contents_end_) + " 00000000000000000000000000>>\nendobj\n\n";
    }
    Expected Start(uint32_t dict) {
        Expected e{contents_end_, {}, {}};
        e.offsets[dict] = static_cast<uint32_t>(source_.size()) + 1;
        return e;
    }

    static constexpr uint32_t kBuffer = 2000;
    static constexpr uint8_t kValue[5] = {0x30, 0x82, 0x01, 0xAB, 0xFF};
    TempDir dir_;
    const std::string source_ = Source(), src_ = dir_.file("in.pdf"), dst_ = dir_.file("out.pdf");
    const uint32_t prev_ = static_cast<uint32_t>(source_.rfind("\nxref\n") + 1);
    std::string saved_tz_;
    bool had_tz_ = false;
    time_t when_ = kSigningTime; // written by every handle of Sign
    uint32_t contents_start_ = 0, contents_end_ = 0;
};

// Hosts in VB pass True as -1: with a .sigappx appearance that once wrote through a
// missing box size. Any visible flag but 1 gives the plain widget and no note.
TEST_F(SignBytes, InvisibleSignature) {
    WriteFile(dir_.file("stamp.sigappx"), ReadFile(KVPDF_SOURCE_DIR "/data/image_b.sigappx"));
    for (int32_t visible : {0, -1, 2}) {
        std::string file = Sign(
            [visible](KvPdfHandle h) {
                KvPDFSetProperty(h, KVPDF_PROP_VISIBLE, visible);
                if (visible) KvPDFSetKontirProperties(h, "note", 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8);
            },
            [](KvPdfHandle h, const std::string &dir) {
                return KvPDFSetLogo(h, (dir + "/stamp.sigappx").c_str());
            });
        // /Size 5 after a classic table: new objects start at 6; the widget is 7.
        std::string expected = Head("Sig", "adbe.pkcs7.detached", 6);
        Expected u = Start(6);
        u.text = std::string("/M(D:") + kWhen + ")\n/Reason (" + kHuSentence + ")\n" + ByteRange();
        u.Object(7, "7 0 obj\n<</Type/Annot/F 132/T(KvSignature1)/P 3 0 R/V 6 0 R"
                    "/Rect[47 575 255 634]/Subtype/Widget/FT/Sig>>endobj\n\n");
        u.Finish(7, "7 0 R", {6, 7}, prev_);
        EXPECT_TRUE(SameBytes(file, expected + u.text)) << visible;
    }
}

TEST_F(SignBytes, VisibleStandardLayoutWithTexts) {
    std::string file = Sign([](KvPdfHandle h) {
        KvPDFSetProperties(h, 100, 200, 0, 0, "Jane Roe", "Budapest", "Approved",
                           "jane@example.org", nullptr, 0, 1);
        KvPdfSetLocale(h, 1);
        KvPDFSetProperty(h, KVPDF_PROP_LOCALE, 1);
    });
    std::string expected = Head("Sig", "adbe.pkcs7.detached", 6);
    Expected u = Start(6);
    u.text =
        std::string("\n/Name(Jane Roe)\n/Location(Budapest)\n/ContactInfo(jane@example.org)\n") +
        "/M(D:" + kWhen + ")\n/Reason (Approved - Digitally signed and timestamped by Korvane " +
        "PDF Plume.)\n" + ByteRange();
    std::string image = ReadFile(KVPDF_SOURCE_DIR "/data/image_a.body");
    u.Object(7, "7 0 obj\n" + image + "\nendstream\nendobj\n\n");
    // urx and ury 0: the rectangle takes the default box, 210 x 50.
    u.Object(8, "8 0 obj\n<</Type/Annot/F 132/T(KvSignature1)/P 3 0 R/V 6 0 R/Rect[100 200 310 250]"
                "/Subtype/Widget/DR<</XObject<</FRM 10 0 R>>>>/FT/Sig/AP<</N 9 0 R>>>>endobj\n\n");
    const std::string head =
        "<</Matrix [1 0 0 1 0 0]/Filter/FlateDecode/Type/XObject/FormType 1/Length ";
    const std::string procset =
        "/ProcSet [/PDF /Text /ImageB /ImageC /ImageI]>>/Subtype/Form/BBox[0 0 ";
    u.Form(9, head, "/Resources<</XObject<</FRM 10 0 R>>" + procset + "210 50]>>stream\n",
           "q 1 0 0 1 0 0 cm /FRM Do Q\n");
    u.Form(10, head, "/Resources<</XObject<</n2 13 0 R/n0 11 0 R>>" + procset + "210 50]>>stream\n",
           "q 1 0 0 1 0 0 cm /n0 Do Q\nq 1 0 0 1 0 0 cm /n2 Do Q\n");
    u.Form(11, head, "/Resources<<" + procset + "100 100]>>stream\n", "% DSBlank\n");
    u.Form(12, head, "/Resources<<" + procset + "210 50]>>stream\n", "");
    u.Form(13, head, "/Resources<</XObject<</img0 7 0 R>>" + procset + "210 50]>>stream\n",
           "q 205 0 0 50 0 0 cm /img0 Do Q\n");
    u.Finish(8, "8 0 R", {6, 7, 8, 9, 10, 11, 12, 13}, prev_);
    EXPECT_TRUE(SameBytes(file, expected + u.text));
}

TEST_F(SignBytes, SigappxLayoutFromAnAppearanceFile) {
    std::string appx = ReadFile(KVPDF_SOURCE_DIR "/data/image_b.sigappx");
    WriteFile(dir_.file("stamp.SIGAPPX"), appx);
    std::string file = Sign(
        [](KvPdfHandle h) {
            KvPDFSetProperty(h, KVPDF_PROP_KONTIR_TEXT, KVPDF_TEXT("not written in this layout"));
        },
        [](KvPdfHandle h, const std::string &dir) {
            return KvPDFSetLogo(h, (dir + "/stamp.SIGAPPX").c_str());
        });
    std::string expected = Head("Sig", "adbe.pkcs7.detached", 6);
    Expected u = Start(6);
    u.text = std::string("/M(D:") + kWhen + ")\n/Reason (" + kHuSentence + ")\n" + ByteRange();
    // The record's image object starts right after the header's width digits.
    u.Object(7, "7 0 obj\n" + appx.substr(appx.find("205") + 3) + "\nendstream\nendobj\n\n");
    u.Object(8,
             "8 0 obj\n<</Subtype /Form /Matrix [1 0 0 1 0 0]/Type /XObject /BBox [1 1 184 69]"
             "/FormType 1/Resources <</ProcSet [/PDF/Text]/XObject << /SBBgImg 7 0 R >>>>"
             "/Length 195>>stream\nq\r\n2.64 0 0 1.00 1 1 cm\r\nq 66 0 0 66 0 0 cm /SBBgImg Do "
             "Q\r\nQ\r\nq\r\n1.00 0 0 1.00 1 1 cm\r\n1 1 174.43 66.00 re\r\nW* n\r\nq\r\n1 0 0 1 "
             "1 1 cm\r\n0 0 174.43 66.00 re\r\nW n\r\n1 0 0 1 -1 -1 cm\r\n0 g\r\n1 i\r\nQ\r\nQ\r"
             "\n\r\n\r\n\nendstream\nendobj\n\n");
    u.Object(9, "9 0 obj\n<</Subtype /Form /Matrix [1 0 0 1 0 0]/Type /XObject /BBox [0 0 100 100]"
                "/FormType 1/Resources << /ProcSet [/PDF]>>/Length 13>>stream\r\n% DSBlank\r\n\r\n"
                "\r\n\nendstream\nendobj\n\n");
    u.Object(10, "10 0 obj\n<</Subtype /Form /Matrix [1 0 0 1 0 0]/Type /XObject /BBox [0 0 185 70]"
                 "/FormType 1 /Resources << /XObject << /n0 9 0 R /n2 8 0 R >>/ProcSet [ /PDF ]>>"
                 "/Length 56 >>stream\r\nq 1 0 0 1 0 0 cm /n0 Do Q\r\nq 1 0 0 1 0 0 cm /n2 Do Q\r\n"
                 "\r\n\nendstream\nendobj\n\n");
    u.Object(11, "11 0 obj\n<</Subtype /Form/Matrix [1 0 0 1 0 0]/Type /XObject /BBox [0 0 185 70]"
                 "/FormType 1 /Resources << /XObject << /FRM 10 0 R >>/ProcSet [/PDF]>>/Length 28>>"
                 "stream\r\nq 1 0 0 1 0 0 cm /FRM Do Q\r\n\nendstream\nendobj\n\n");
    u.Object(12,
             "12 0 obj\n<</FT /Sig /T (KvSignature1) /Type /Annot /Subtype /Widget /F 132 /P 3 0 "
             "R /AP << /N 11 0 R >>/DA (/Helv 0 Tf 0 g ) /MK <<\t>>/Rect [47 575 255 634]/V 6 "
             "0 R >>\nendobj\n\n");
    // No Kontir note in this layout, and none named in /Annots.
    u.Finish(12, "12 0 R", {6, 7, 8, 9, 10, 11, 12}, prev_);
    EXPECT_TRUE(SameBytes(file, expected + u.text));
}

TEST_F(SignBytes, DocumentTimestamp) {
    std::string file = Sign(nullptr, nullptr, true);
    std::string expected = Head("DocTimeStamp", "ETSI.RFC3161", 6);
    Expected u = Start(6);
    u.text = ByteRange();
    u.Object(7, "7 0 obj\n<</Type/Annot/F 132/T(KvSignature1)/P 3 0 R/V 6 0 R/Rect[0.0 0.0 0.0 0.0]"
                "/Subtype/Widget/FT/Sig>>endobj\n\n");
    u.Finish(7, "7 0 R", {6, 7}, prev_);
    EXPECT_TRUE(SameBytes(file, expected + u.text));
}

// A document timestamp with an appearance file draws exactly what a signature draws.
TEST_F(SignBytes, DocumentTimestampWithAnAppearanceFileDrawsLikeASignature) {
    WriteFile(dir_.file("stamp.sigappx"), ReadFile(KVPDF_SOURCE_DIR "/data/image_b.sigappx"));
    auto logo = [](KvPdfHandle h, const std::string &dir) {
        return KvPDFSetLogo(h, (dir + "/stamp.sigappx").c_str());
    };
    auto appearance = [](const std::string &file) {
        const size_t from = file.find("\n7 0 obj\n");
        return file.substr(from, file.rfind("\nxref\n") - from);
    };
    const std::string signature = appearance(Sign(nullptr, logo));
    EXPECT_NE(signature.find("/AP << /N 11 0 R >>"), std::string::npos);
    EXPECT_TRUE(appearance(Sign(nullptr, logo, true)) == signature);
}

TEST_F(SignBytes, InvisibleSignatureWithKontirNote) {
    std::string file = Sign([](KvPdfHandle h) {
        KvPDFSetProperty(h, KVPDF_PROP_VISIBLE, 0);
        KvPDFSetKontirProperties(h, "Cost centre 42", nullptr, nullptr, 0, 297, 652, 317, 670, 595,
                                 550, 775, 670);
    });
    std::string expected = Head("Sig", "adbe.pkcs7.detached", 6);
    Expected u = Start(6);
    u.text = std::string("/M(D:") + kWhen + ")\n/Reason (" + kHuSentence + ")\n" + ByteRange();
    u.Object(7, "7 0 obj\n<</Type/Annot/F 132/T(KvSignature1)/P 3 0 R/V 6 0 R/Rect[47 575 255 634]"
                "/Subtype/Widget/FT/Sig>>endobj\n\n");
    u.Object(8,
             std::string("8 0 obj\n<</CreationDate(D:") + kWhenKontir +
                 ")/Rect[297 652 317 670]/NM(8161a3f7-bb67-411d-b0a2-20f104c3580d)/Subtype/Text"
                 "/C[1.0 1.0 0.0]/F 28/Contents(Cost centre 42)/M(D:" +
                 kWhenKontir +
                 ")/Name/Comment/P 3 0 R/T()/Subj(Kont\xEDr megjegyz\xE9s)/Type/Annot/Popup 9 0 R"
                 "/AP<</N 10 0 R>>>>\n\nendobj\n\n");
    u.Object(9, "9 0 obj\n<</Rect[595 550 775 670]/Subtype/Popup/Parent 8 0 R/F 28/Open false"
                "/Type/Annot>>\n\nendobj\n\n");
    // The note's icon, pinned by length and CRC-32, compressed at level 1.
    const size_t from = file.find("stream\n", file.find("\n10 0 obj\n")) + 7;
    std::string icon(847, '\0');
    uLongf n = icon.size();
    ASSERT_EQ(uncompress(reinterpret_cast<Bytef *>(&icon[0]), &n, kvtest::U8(file) + from,
                         file.size() - from),
              Z_OK);
    EXPECT_EQ(crc32(0, kvtest::U8(icon), 847), 0x7d06c35u);
    std::string packed = kvtest::Deflate(icon, 1);
    u.Object(10,
             "10 0 obj\n<</Subtype/Form/Length " + std::to_string(packed.size()) +
                 "/Filter/FlateDecode/Matrix[1.0 0.0 0.0 1.0 0.0 0.0]/Resources<</ProcSet[/PDF]>>"
                 "/Type/XObject/BBox[0.0 0.0 20.0 18.0]/FormType 1>>stream\n" +
                 packed + "\nendstream\nendobj\n\n");
    u.Finish(7, "7 0 R 8 0 R 9 0 R", {6, 7, 8, 9, 10}, prev_);
    EXPECT_TRUE(SameBytes(file, expected + u.text));
}

TEST_F(SignBytes, SigningTimeFollowsTheLocalZone) {
    const struct {
        const char *zone;
        time_t when;
        const char *m;
    } cases[] = {{"EST5EDT", kSigningTime, "20261205070000-05'00'"}, // winter: five hours west
                 {"Europe/Budapest", kSigningTime, "20261205130000+01'00'"},
                 {"Europe/Budapest", kSigningTime - 150 * 86400, "20260708140000+02'00'"},
                 {"Asia/Kolkata", kSigningTime, "20261205173000+05'00'"}}; // half hours are cut
    for (const auto &c : cases) {
        Zone(c.zone);
        when_ = c.when;
        std::string file = Sign([](KvPdfHandle h) { KvPDFSetProperty(h, KVPDF_PROP_VISIBLE, 0); });
        EXPECT_NE(file.find(std::string("/M(D:") + c.m + ")"), std::string::npos) << c.zone;
    }
}

// ---------------------------------------------------------------- host flow

class HostFlow : public ::testing::Test {
protected:
    std::string Made(const std::string &name, const std::string &bytes = kvtest::OnePagePdf()) {
        WriteFile(dir_.file(name), bytes);
        return dir_.file(name);
    }
    TempDir dir_;
};

TEST_F(HostFlow, StreamSourceGetsAnObjectStreamACrossReferenceStreamAndTheirRanges) {
    kvtest::PdfBuilder b("%PDF-1.5\n");
    b.Object(1, "<</Type/Catalog/Pages 2 0 R>>");
    b.ObjectStream(4, {{2, "<</Type/Pages/Kids[3 0 R]/Count 1>>"},
                       {3, "<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]>>"}});
    b.XrefStream(5);
    const std::string src = Made("in.pdf", b.bytes()), dst = dir_.file("out.pdf");
    kvtest::SignOutcome o = kvtest::HostSign(src, dst, {});
    ASSERT_EQ(o.value, 1);
    EXPECT_TRUE(kvtest::CheckersAccept(dst, 1));
    EXPECT_EQ(o.byte_range[2] + o.byte_range[3], ReadFile(dst).size());
    // /Size 6 after a stream: dictionary 6, widget 7, object stream 8, xref stream 9.
    std::string update = ReadFile(dst).substr(b.bytes().size());
    EXPECT_NE(update.find("8 0 obj\n<</Type/ObjStm/N 2 /Length "), std::string::npos);
    const uint32_t xref_start = static_cast<uint32_t>(b.bytes().size() + update.find("9 0 obj\n"));
    EXPECT_NE(update.find("/W [1 " + std::to_string(xref_start < 65536 ? 2 : 3) +
                          " 2] /Type/XRef /Size 10 /Index [1 1\r\n3 1\r\n6 1\r\n7 1\r\n8 1\r\n"
                          "9 1\r\n] /Filter/FlateDecode >>stream\r\n"),
              std::string::npos)
        << update.substr(update.find("9 0 obj"));
    EXPECT_EQ(update.substr(update.size() - std::to_string(xref_start).size() - 18),
              "startxref\n" + std::to_string(xref_start) + "\n%%EOF\r\n");
}

TEST_F(HostFlow, OversizedAndEmptyValuesAndTheRestore) {
    const std::string src = Made("in.pdf"), dst = dir_.file("out.pdf");
    const std::string source = ReadFile(src);
    KvPdfHandle h = KvPDFInit(src.c_str(), dst.c_str(), 2000);
    ASSERT_EQ(KvPdfWritePDFWithoutSignature(h, 0), 1);
    ASSERT_EQ(KvPdfWriteDummySignatureAndAddedContent(h, nullptr), 1);
    const std::string placed = ReadFile(dst);
    std::vector<uint8_t> big(2001, 0x42);
    EXPECT_EQ(KvPdfWriteSignature(h, big.data(), 2001), -53);
    EXPECT_EQ(kvtest::RingCodes(h), (std::vector<int>{-53, -47}));
    EXPECT_EQ(ReadFile(dst), placed);                       // an oversized value changes nothing
    EXPECT_EQ(KvPdfWriteSignature(h, big.data(), 2000), 1); // exactly the reserved size fits
    const std::vector<uint32_t> br = kvtest::LastByteRange(dst);
    EXPECT_EQ(ReadFile(dst).find('>', br[1]), br[2] - 1);
    EXPECT_EQ(KvPdfWriteSignature(h, nullptr, 0), -46);
    EXPECT_EQ(KvPDFRestorePDF(h), 1);
    EXPECT_EQ(ReadFile(dst), source);
    EXPECT_EQ(ReadFile(src), source);
    KvPDFClose(h);
}

TEST_F(HostFlow, OverlongTextsAndRectanglesOfAnyValue) {
    const std::string src = Made("in.pdf"), dst = dir_.file("out.pdf");
    const std::string reason(200000, 'r');
    kvtest::SignRequest r;
    r.visible = true;
    r.configure = [&](KvPdfHandle h) {
        KvPDFSetProperties(h, INT32_MAX, INT32_MIN, 0, 7, "n", "l", reason.c_str(), "c", nullptr, 0,
                           1);
        KvPDFSetKontirProperties(h, reason.c_str(), "s", "t", 1, INT32_MIN, 0, INT32_MAX, 1, 0, 0,
                                 0, 0);
    };
    ASSERT_EQ(kvtest::HostSign(src, dst, r).value, 1);
    EXPECT_TRUE(kvtest::CheckersAccept(dst, 1));
    // A missing corner is the box away from the other one, kept within 32 bits.
    EXPECT_TRUE(kvtest::Contains(ReadFile(dst), {"/Rect[2147483647 -2147483648 2147483647 "
                                                 "-2147483598]",
                                                 "/Subj(s)/Type/Annot", "/Open true"}));
}

} // namespace
