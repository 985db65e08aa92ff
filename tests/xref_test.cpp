// SPDX-License-Identifier: Apache-2.0
// The reader over hand-built cross-reference data: where it finds each object, and the
// code and error ring a damaged file gives.
#include "kvtest.h"

namespace {

using kvtest::ClassicOptions;
using kvtest::PdfBuilder;
using kvtest::StreamOptions;

kvtest::Structure Read(const std::string &bytes, bool writing = false) {
    kvtest::TempDir dir;
    kvtest::WriteFile(dir.file("x.pdf"), bytes);
    return kvtest::ReadStructure(dir.file("x.pdf"), true, writing);
}

// The plain objects named sit where the builder put them.
void ExpectAt(const kvtest::Structure &s, const PdfBuilder &b, std::vector<uint32_t> objects) {
    for (uint32_t n : objects)
        EXPECT_EQ(s.offsets.count(n) ? s.offsets.at(n) : 0, b.offset_of(n)) << "object " << n;
}

TEST(Xref, ClassicRevisionsNewestEntryAndTrailerWin) {
    PdfBuilder b = kvtest::OnePage();
    b.Object(4, "<</Producer(first)>>");
    ClassicOptions o;
    o.trailer_extra = "/Info 4 0 R";
    const size_t x1 = b.ClassicXref(o);
    b.Object(3, "<</Type/Page/Parent 2 0 R/Rev 2>>");
    // "endobj" starts at byte 509 of this object: it straddles two 512-byte chunks.
    b.Object(5, "<</Type/Annot" + std::string(481, ' ') + "/F 4>>");
    const size_t x2 = b.ClassicXref(o);
    b.Object(2, "<</Type/Pages/Kids[3 0 R]/Count 1/Rev 3>>");
    b.Object(6, "(" + std::string(5000, 'x') + ")"); // longer than the 1024-byte tail window
    const size_t x3 = b.ClassicXref();
    b.Raw(std::string("\r\n\0\0 filler", 11) + std::string(900, ' ')); // after %%EOF
    kvtest::Structure s = Read(b.bytes());
    ASSERT_EQ(s.rc, 1);
    EXPECT_EQ(s.sections, (std::vector<uint32_t>{uint32_t(x3), uint32_t(x2), uint32_t(x1)}));
    EXPECT_EQ(s.size, 7);
    EXPECT_EQ(s.offsets.size(), 6u); // the 65535 entry of object 0 is skipped
    ExpectAt(s, b, {1, 2, 3, 4, 5, 6});
    EXPECT_NE(s.texts[3].find("/Rev 2"), std::string::npos);
    EXPECT_EQ(s.texts[5].size(), 515u);
    EXPECT_EQ(s.texts[5].substr(509), "endobj");
}

TEST(Xref, EntryQuirksOfClassicTables) {
    // An in-use entry whose generation reads 65535 is skipped like a free one.
    PdfBuilder b = kvtest::OnePage();
    ClassicOptions o;
    o.generation = 65535;
    b.ClassicXref(o);
    kvtest::Structure s = Read(b.bytes());
    EXPECT_LT(s.rc, 0); // no catalog left to walk
    EXPECT_TRUE(s.offsets.empty());

    // One-byte ends of line shift every following entry by a byte: entry k is read k
    // bytes late. While the shift eats only leading zeros the offsets come out right;
    // from entry 8 on it eats significant digits.
    PdfBuilder shifted = kvtest::OnePage();
    for (uint32_t n = 4; n <= 9; ++n)
        shifted.Object(n, "(filler)");
    o = ClassicOptions();
    o.eol = "\n";
    shifted.ClassicXref(o);
    s = Read(shifted.bytes());
    ASSERT_EQ(s.rc, 1);
    ExpectAt(s, shifted, {1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(s.offsets[8], shifted.offset_of(8) % 100);
}

TEST(Xref, PrevLoopsAndRepeatedSubsectionsAreRefused) {
    // 3 -> 2 -> 1 -> 3: the oldest section's /Prev leads back to the newest.
    PdfBuilder c = kvtest::OnePage();
    ClassicOptions o;
    o.trailer_extra = "/Prev 00000000";
    c.ClassicXref(o);
    c.Object(4, "(four)");
    c.ClassicXref();
    c.Object(5, "(five)");
    const size_t third = c.ClassicXref();
    std::string bytes = c.bytes();
    char patched[16];
    snprintf(patched, sizeof patched, "/Prev %08zu", third);
    bytes.replace(bytes.find("/Prev 00000000"), 14, patched);
    kvtest::Structure s = Read(bytes);
    EXPECT_EQ(s.rc, KVPDF_ERR_XREF_CONTRADICTION);
    EXPECT_EQ(s.ring, (std::vector<int>{-212, -38, -45}));
    // A stream's /Index that lists one object twice, runs past 2^32 or past /Size, or
    // lists nothing while the stream holds entries: refused where a revision is written
    // (a reader follows entries past /Size).
    for (const char *index : {"[0 2 1 2]", "[4294967295 1]", "[0 9]", "[5 0]"}) {
        PdfBuilder b = kvtest::OnePage("%PDF-1.5\n");
        b.XrefStream(4);
        std::string stream = b.bytes();
        const size_t at = stream.find("/Index [");
        stream.replace(at + 7, stream.find(']', at) + 1 - at - 7, index);
        s = Read(stream, true);
        EXPECT_EQ(s.rc, KVPDF_ERR_XREF_CONTRADICTION) << index;
        EXPECT_EQ(s.ring, (std::vector<int>{-212, -39, -45})) << index;
    }
}

TEST(Xref, StreamsWithPredictorIndexObjectStreamsAndWithout) {
    PdfBuilder b("%PDF-1.5\n");
    b.Object(1, "<</Type/Catalog/Pages 2 0 R>>");
    b.ObjectStream(5, {{2, "<</Type/Pages/Kids[3 0 R]/Count 1>>"},
                       {3, "<</Type/Page/Parent 2 0 R/Old true>>"},
                       {3, "<</Type/Page/Parent 2 0 R/MediaBox[0 0 10 10]>>"}});
    b.Object(7, "(seven)");
    b.Object(8, "(eight)");
    StreamOptions o;
    o.widths = {1, 3, 2};
    o.predictor = 12;
    b.XrefStream(9, o);
    kvtest::Structure s = Read(b.bytes());
    ASSERT_EQ(s.rc, 1);
    EXPECT_EQ(s.offsets.size(), 5u);
    ExpectAt(s, b, {1, 5, 7, 8, 9});
    EXPECT_EQ(s.streams, (std::map<uint32_t, uint32_t>{{2, 5}, {3, 5}}));
    EXPECT_EQ(s.texts[2], "<</Type/Pages/Kids[3 0 R]/Count 1>>\n");
    EXPECT_EQ(s.texts[3], "<</Type/Page/Parent 2 0 R/MediaBox[0 0 10 10]>>\n"); // the later copy
    EXPECT_EQ(s.texts[7], "7 0 obj\n(seven)\nendobj");
    // Without /Index (entries from 0), and without a type field (every entry type 1).
    for (std::vector<int> widths : {std::vector<int>{1, 2, 1}, {0, 2, 0}}) {
        PdfBuilder c = kvtest::OnePage("%PDF-1.5\n");
        o = StreamOptions();
        o.widths = widths;
        o.use_index = widths[0] == 0;
        if (!o.use_index) c.Free(0);
        c.XrefStream(4, o);
        s = Read(c.bytes());
        ASSERT_EQ(s.rc, 1);
        ExpectAt(s, c, {1, 2, 3, 4});
    }
}

TEST(Xref, ChainsMixingKindsKeepTheNewestEntry) {
    PdfBuilder b = kvtest::OnePage("%PDF-1.5\n");
    const size_t x1 = b.ClassicXref();
    b.ObjectStream(5, {{3, "<</Type/Page/Parent 2 0 R/InStream true>>"}, {6, "(six)"}});
    const size_t x2 = b.XrefStream(7);
    b.Object(8, "(eight)");
    b.Object(6, "(six, plain again)");
    const size_t x3 = b.ClassicXref();
    kvtest::Structure s = Read(b.bytes());
    ASSERT_EQ(s.rc, 1);
    EXPECT_EQ(s.sections, (std::vector<uint32_t>{uint32_t(x3), uint32_t(x2), uint32_t(x1)}));
    // Object 3 moved into an object stream in a newer revision: it stays compressed,
    // although the oldest table gives it an offset. Object 6 left its stream again.
    EXPECT_EQ(s.streams, (std::map<uint32_t, uint32_t>{{3, 5}}));
    EXPECT_EQ(s.texts[3], "<</Type/Page/Parent 2 0 R/InStream true>>\n");
    ExpectAt(s, b, {1, 2, 5, 6, 7, 8});
    EXPECT_EQ(s.texts[8], "8 0 obj\n(eight)\nendobj");
}

// A damaged file, written the way a host signs: the code, the ring and (English) the
// first message. Every row is a damage a real file has shown.
TEST(Refusals, DamagedFilesGiveTheirCodeRingAndMessage) {
    const std::string good = kvtest::OnePagePdf();
    const std::string startxref = good.substr(good.rfind("startxref"));
    auto edited = [&](const std::string &from, const std::string &to) {
        std::string s = good;
        return s.replace(s.rfind(from), from.size(), to);
    };
    auto classic = [](const std::string &one, const std::string &two, const std::string &three,
                      const std::string &trailer = "") {
        PdfBuilder b;
        b.Object(1, one.empty() ? "<</Type/Catalog/Pages 2 0 R>>" : one);
        b.Object(2, two.empty() ? "<</Type/Pages/Kids[3 0 R]/Count 1>>" : two);
        if (!three.empty()) b.Object(3, three);
        ClassicOptions o;
        o.trailer_extra = trailer;
        b.ClassicXref(o);
        return b.bytes();
    };
    PdfBuilder older = kvtest::OnePage();
    ClassicOptions encrypt;
    encrypt.trailer_extra = "/Encrypt 9 0 R";
    older.ClassicXref(encrypt);
    older.Object(4, "(new)");
    older.ClassicXref();
    PdfBuilder png = kvtest::OnePage("%PDF-1.5\n");
    const size_t at = png.bytes().size();
    const std::string rows = kvtest::Deflate(std::string("\x05\x01\x00\x09\x00", 5));
    png.Raw("4 0 obj\n<</Type/XRef/Size 5/Root 1 0 R/W[1 2 1]/Index[1 1]/DecodeParms<</Columns 4"
            "/Predictor 12>>/Filter/FlateDecode/Length " +
            std::to_string(rows.size()) + ">>\nstream\n" + rows +
            "\nendstream\nendobj\nstartxref\n" + std::to_string(at) + "\n%%EOF\n");
    PdfBuilder past = kvtest::OnePage("%PDF-1.5\n");
    past.Free(0);
    StreamOptions promise;
    promise.use_index = false;
    promise.size = 40; // 40 entries promised, 5 stored
    past.XrefStream(4, promise);
    const std::string page = "<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]>>";

    const struct {
        const char *what;
        std::string bytes;
        int32_t rc;
        const char *ring;
    } cases[] = {
        {"not a PDF", "GIF89a not a pdf", -2, "-2 -45"},
        {"encrypted", classic("", "", page, "/Encrypt 9 0 R"), -4, "-4 -40 -38 -45"},
        {"encrypted in an older trailer", older.bytes(), -4, "-4 -40 -38 -45"},
        {"trailer without /Root", edited("/Root", "/Rxxx"), -5, "-5 -40 -38 -45"},
        {"trailer without /Size", edited("/Size", "/Sxxx"), -3, "-3 -40 -38 -45"},
        {"no trailer keyword", edited("trailer", "trailex"), -12, "-12 -38 -45"},
        {"/Size beyond memory", edited("/Size 4", "/Size 4000000000"), -13, "-13 -38 -45"},
        {"no %%EOF", edited("%%EOF", "%%XXX"), -16, "-16 -45"},
        {"startxref not a number", edited(startxref, "startxref\nabc\n%%EOF\n"), -17,
         "-17 -16 -45"},
        {"startxref beyond the end", edited(startxref, "startxref\n99999\n%%EOF\n"), -14,
         "-38 -45"},
        {"unknown PNG filter type", png.bytes(), -21, "-21 -39 -45"},
        {"stream table shorter than /Size", past.bytes(), -56, "-56 -39 -45"},
        {"catalog without /Pages", classic("<</Type/Catalog/Outlines 2 0 R>>", "<<>>", ""), -29,
         "-29 -41 -44 -45"},
        {"page without /Parent", classic("", "", "<</Type/Page/MediaBox[0 0 612 792]>>"), -31,
         "-31 -42 -45"},
        {"page tree loop", classic("", "", "<</Type/Pages/Kids[2 0 R]/Count 1>>"), -34,
         "-34 -44 -45"},
        {"/Annots of a missing object",
         classic("", "", "<</Type/Page/Parent 2 0 R/Annots 12 0 R>>"), -35, "-35 -42 -45"},
        {"/AcroForm of a missing object",
         classic("<</Type/Catalog/Pages 2 0 R/AcroForm 14 0 R>>", "", page), -1, "-36 -41 -44 -45"},
        {"version 1.1", kvtest::OnePagePdf("%PDF-1.1\n"), -200, "-200"},
        {"version 2.0", kvtest::OnePagePdf("%PDF-2.0\n"), -200, "-200"},
        {"version 1.9", kvtest::OnePagePdf("%PDF-1.9\n"), 1, ""},
        {"/Encrypt null", classic("", "", page, "/Encrypt null"), 1, ""},
    };
    const std::map<std::string, std::string> messages = {
        {"encrypted",
         "The source PDF file is encrypted. It is impossible to sign encrypted PDF file."},
        {"unknown PNG filter type", "Unknown PNG filter (5)"},
        {"version 2.0", "PDF version (2.0) not supported. Higher PDF version needed."},
    };
    kvtest::TempDir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        kvtest::WriteFile(dir.file("in.pdf"), c.bytes);
        KvPdfHandle h = KvPDFInit(dir.file("in.pdf").c_str(), dir.file("out.pdf").c_str(), 0);
        KvPdfSetLocale(h, 1);
        EXPECT_EQ(KvPdfWritePDFWithoutSignature(h, 0), c.rc);
        std::string ring;
        for (int code : kvtest::RingCodes(h))
            ring += (ring.empty() ? "" : " ") + std::to_string(code);
        EXPECT_EQ(ring, c.ring);
        ErrorEntry e;
        if (messages.count(c.what) && KvPdfGetError(h, 0, &e) == 1) {
            EXPECT_STREQ(e.message, messages.at(c.what).c_str());
        }
        KvPDFClose(h);
    }
}

} // namespace
