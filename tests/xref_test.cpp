#include "pdf_builder.h"
#include "pdf_mem.h"
#include "pdf_utils.h"
#include "pdf_xref.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kvpdf;

using kvtest::ClassicOptions;
using kvtest::PdfBuilder;
using kvtest::StreamOptions;

namespace {

// Reads a PDF through the document-processing run and keeps the handle for inspection.
class Xref : public ::testing::Test {
protected:
    void TearDown() override {
        if (file_) fclose(file_);
        KvPDFClose(handle_);
    }
    int32_t Read(const std::string &bytes, int32_t mode = kModeReadAttachments) {
        if (file_) fclose(file_);
        file_ = nullptr;
        KvPDFClose(handle_);
        path_ = dir_.file("x.pdf");
        kvtest::WriteFile(path_, bytes);
        handle_ = KvPDFInit(path_.c_str(), dir_.file("out.pdf").c_str(), 0);
        doc_ = HandleLookup(handle_);
        KvPdfSetLocale(handle_, 1);
        doc_->mode = mode;
        int32_t rc = ProcessPdf(doc_);
        file_ = fopen(mode == kModeReadAttachments ? path_.c_str() : dir_.file("out.pdf").c_str(),
                      "rb");
        return rc;
    }
    uint32_t Offset(uint32_t object) const {
        return object < doc_->parsed.object_offsets_count ? doc_->parsed.object_offsets[object] : kNoOffset;
    }
    std::string Object(uint32_t object) {
        char *text = nullptr;
        uint32_t n = 0;
        if (PdfReadObjectBinary(ReaderOf(doc_), file_, static_cast<ObjectSelector>(object), &text, &n) < 1 ||
            !text)
            return "<none>";
        std::string s(text, n);
        TrackedFreeT(text);
        return s;
    }
    std::vector<int> Ring() const { return kvtest::RingCodes(handle_); }
    std::vector<uint32_t> SectionOffsets() const {
        std::vector<uint32_t> v;
        for (XrefSection *s = doc_->parsed.xref_sections; s; s = s->next)
            v.push_back(s->offset);
        return v;
    }
    std::vector<uint32_t> Listed(const XrefSection *s) const {
        std::vector<uint32_t> v;
        for (XrefEntry *e = s->entries_head; e; e = e->next)
            v.push_back(e->object_number);
        return v;
    }

    kvtest::TempDir dir_;
    std::string path_;
    KvPdfHandle handle_ = 0;
    PdfDocument *doc_ = nullptr;
    FILE *file_ = nullptr;
};

PdfBuilder ThreeObjects(const std::string &header = "%PDF-1.7\n") {
    return kvtest::OnePage(header);
}

TEST_F(Xref, ClassicRevisionsNewestEntryAndTrailerWin) {
    PdfBuilder b = ThreeObjects();
    b.Object(4, "<</Producer(first)>>");
    ClassicOptions o;
    o.trailer_extra = "/Info 4 0 R";
    size_t x1 = b.ClassicXref(o);
    b.Object(3, "<</Type/Page/Parent 2 0 R/Rev 2>>");
    b.Object(5, "<</Producer(second)>>");
    o.trailer_extra = "/Info 5 0 R";
    size_t x2 = b.ClassicXref(o);
    b.Object(2, "<</Type/Pages/Kids[3 0 R]/Count 1/Rev 3>>");
    b.Object(6, "(six)");
    size_t x3 = b.ClassicXref();
    ASSERT_EQ(Read(b.bytes(), kModeSign), 1);
    EXPECT_EQ(SectionOffsets(), (std::vector<uint32_t>{uint32_t(x3), uint32_t(x2), uint32_t(x1)}));
    EXPECT_EQ(doc_->parsed.xref_sections_read, 3);
    EXPECT_EQ(doc_->parsed.xref_is_stream, 0);
    EXPECT_EQ(doc_->parsed.root_obj, 1);
    EXPECT_EQ(doc_->parsed.info_obj, 5);
    EXPECT_EQ(doc_->parsed.declared_size, 7);
    EXPECT_EQ(doc_->parsed.trailer_size, 8);      // /Size + 1 after a classic table
    EXPECT_EQ(doc_->update.plan.sig_field_obj, 8 + 2); // visible signature by default
    for (uint32_t n = 1; n <= 6; ++n)
        EXPECT_EQ(Offset(n), b.offset_of(n)) << n;
    EXPECT_EQ(Offset(0), kNoOffset); // the 65535 entry of object 0 is skipped
    EXPECT_NE(Object(3).find("/Rev 2"), std::string::npos);
    // Only sections reached through /Prev list their entries.
    XrefSection *newest = doc_->parsed.xref_sections;
    EXPECT_TRUE(Listed(newest).empty());
    EXPECT_EQ(Listed(newest->next), (std::vector<uint32_t>{3, 5}));
    EXPECT_EQ(Listed(newest->next->next), (std::vector<uint32_t>{1, 2, 3, 4}));
    uint32_t at = 0;
    EXPECT_EQ(PdfFindSectionOf(doc_->parsed, nullptr, 3, &at), newest->next->next);
    EXPECT_NE(at, Offset(3)); // the oldest revision holds the first version of object 3
    EXPECT_EQ(PdfFindSectionOf(doc_->parsed, newest->next, 3, &at), newest->next);
    EXPECT_EQ(at, Offset(3));
    EXPECT_EQ(PdfFindSectionOf(doc_->parsed, nullptr, 6, nullptr), nullptr);
}

TEST_F(Xref, EntryQuirksOfClassicTables) {
    // An in-use entry whose generation reads 65535 is skipped like a free one.
    PdfBuilder b = ThreeObjects();
    ClassicOptions o;
    o.generation = 65535;
    b.ClassicXref(o);
    EXPECT_LT(Read(b.bytes()), 0); // no catalog left to walk
    EXPECT_EQ(Offset(1), kNoOffset);

    // One-byte ends of line shift every following entry by a byte: entry k is read k
    // bytes late. While the shift eats only leading zeros the offsets come out right;
    // from entry 8 on it eats significant digits.
    PdfBuilder shifted = ThreeObjects();
    for (uint32_t n = 4; n <= 9; ++n)
        shifted.Object(n, "(filler)");
    o = ClassicOptions();
    o.eol = "\n";
    shifted.ClassicXref(o);
    ASSERT_EQ(Read(shifted.bytes()), 1);
    for (uint32_t n = 1; n <= 7; ++n)
        EXPECT_EQ(Offset(n), shifted.offset_of(n)) << n;
    EXPECT_EQ(Offset(8), shifted.offset_of(8) % 100);

    // A table longer than /Size says: the extra entries are left out.
    PdfBuilder longer = ThreeObjects();
    o = ClassicOptions();
    o.size = 3;
    longer.ClassicXref(o);
    ASSERT_EQ(Read(longer.bytes()), 1);
    EXPECT_EQ(doc_->parsed.object_offsets_count, 4u);
    EXPECT_EQ(Offset(2), longer.offset_of(2));
}

TEST_F(Xref, BrokenTrailersAndTails) {
    PdfBuilder b = ThreeObjects();
    ClassicOptions o;
    o.trailer_extra = "/Encrypt 9 0 R";
    b.ClassicXref(o);
    EXPECT_EQ(Read(b.bytes()), -4);
    EXPECT_EQ(Ring(), (std::vector<int>{-4, -40, -38, -45}));

    // An /Encrypt in an older trailer refuses the file as well; /Encrypt null does not.
    PdfBuilder older = ThreeObjects();
    older.ClassicXref(o);
    older.Object(4, "(new)");
    older.ClassicXref();
    EXPECT_EQ(Read(older.bytes()), -4);
    PdfBuilder null_encrypt = ThreeObjects();
    o.trailer_extra = "/Encrypt null";
    null_encrypt.ClassicXref(o);
    EXPECT_EQ(Read(null_encrypt.bytes()), 1);

    PdfBuilder plain = ThreeObjects();
    plain.ClassicXref();
    const std::string good = plain.bytes();
    auto edited = [&](const std::string &from, const std::string &to) {
        std::string s = good;
        s.replace(s.rfind(from), from.size(), to);
        return s;
    };
    EXPECT_EQ(Read(edited("/Root", "/Rxxx")), -5);
    EXPECT_EQ(Ring(), (std::vector<int>{-5, -40, -38, -45}));
    EXPECT_EQ(Read(edited("/Size", "/Sxxx")), -3);
    EXPECT_EQ(Read(edited("trailer", "trailex")), -12);
    EXPECT_EQ(Ring(), (std::vector<int>{-12, -38, -45}));
    EXPECT_EQ(Read(edited("/Size 4", "/Size 4000000000")), -13);
    EXPECT_EQ(Ring(), (std::vector<int>{-13, -38, -45}));
    EXPECT_EQ(Read(edited("%%EOF", "%%XXX")), -16);
    EXPECT_EQ(Ring(), (std::vector<int>{-16, -45}));
    std::string startxref = good.substr(good.rfind("startxref"));
    EXPECT_EQ(Read(edited(startxref, "startxref\nabc\n%%EOF\n")), -17);
    EXPECT_EQ(Ring(), (std::vector<int>{-17, -16, -45}));
    EXPECT_EQ(Read(edited(startxref, "startxref\n99999\n%%EOF\n")), -14);
    EXPECT_EQ(Ring(), (std::vector<int>{-38, -45}));
    // Filler after %%EOF is passed over; the last "EOF" in the tail counts.
    EXPECT_EQ(Read(good + std::string("\r\n\0\0 filler", 11) + std::string(900, ' ')), 1);
    // A file longer than the 1024-byte tail window.
    PdfBuilder big = ThreeObjects();
    big.Object(4, "(" + std::string(5000, 'x') + ")");
    big.ClassicXref();
    EXPECT_EQ(Read(big.bytes()), 1);
    EXPECT_EQ(Offset(4), big.offset_of(4));
}

TEST_F(Xref, PrevLoopEndsTheChain) {
    PdfBuilder b = ThreeObjects();
    ClassicOptions o;
    o.with_prev = false;
    o.trailer_extra = "/Prev " + std::to_string(b.bytes().size()); // points at itself
    b.ClassicXref(o);
    ASSERT_EQ(Read(b.bytes()), 1);
    EXPECT_EQ(doc_->parsed.xref_section_count, 1u);

    // 3 -> 2 -> 1 -> 3: the oldest section's /Prev leads back to the newest.
    PdfBuilder c = ThreeObjects();
    o.trailer_extra = "/Prev 00000000";
    size_t first = c.ClassicXref(o);
    c.Object(4, "(four)");
    size_t second = c.ClassicXref();
    c.Object(5, "(five)");
    size_t third = c.ClassicXref();
    std::string s = c.bytes();
    char patched[16];
    snprintf(patched, sizeof patched, "/Prev %08zu", third);
    s.replace(s.find("/Prev 00000000"), 14, patched);
    ASSERT_EQ(Read(s), 1);
    EXPECT_EQ(SectionOffsets(),
              (std::vector<uint32_t>{uint32_t(third), uint32_t(second), uint32_t(first)}));
    for (uint32_t n = 1; n <= 5; ++n)
        EXPECT_EQ(Offset(n), c.offset_of(n));
}

TEST_F(Xref, StreamWithPredictorIndexAndObjectStreams) {
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
    ASSERT_EQ(Read(b.bytes(), kModeSign), 1);
    EXPECT_EQ(doc_->parsed.xref_is_stream, 1);
    EXPECT_EQ(doc_->parsed.trailer_size, 10); // /Size itself after a stream
    EXPECT_EQ(doc_->parsed.object_offsets_count, 11u);
    EXPECT_EQ(doc_->parsed.root_obj, 1);
    for (uint32_t n : {1u, 5u, 7u, 8u, 9u})
        EXPECT_EQ(Offset(n), b.offset_of(n)) << n;
    EXPECT_EQ(Offset(2), kNoOffset);
    EXPECT_EQ(PdfFindObjectStream(doc_->parsed, 3, nullptr), 5u);
    EXPECT_EQ(PdfFindObjectStream(doc_->parsed, 3, doc_->parsed.xref_sections), 5u);
    EXPECT_EQ(Object(2), "<</Type/Pages/Kids[3 0 R]/Count 1>>\n");
    EXPECT_EQ(Object(3), "<</Type/Page/Parent 2 0 R/MediaBox[0 0 10 10]>>\n"); // the later copy
    EXPECT_EQ(doc_->parsed.used_compressed_objects, 1);
    EXPECT_EQ(Object(7), "7 0 obj\n(seven)\nendobj");
    // An object that is neither in the table nor in any object stream.
    EXPECT_EQ(Object(6), "<none>");
    EXPECT_EQ(Ring(), (std::vector<int>{-50}));
    ErrorEntry e;
    KvPdfGetError(handle_, 0, &e);
    EXPECT_STREQ(e.message, "Error: reaching compressed object.  (ObjStm tomoritett objektum [6])");
}

TEST_F(Xref, StreamLayoutsWithoutIndexAndWithZeroWidths) {
    PdfBuilder b = ThreeObjects("%PDF-1.5\n");
    b.Free(0);
    StreamOptions o;
    o.use_index = false; // entries for 0 .. /Size - 1
    b.XrefStream(4, o);
    ASSERT_EQ(Read(b.bytes()), 1);
    for (uint32_t n = 1; n <= 4; ++n)
        EXPECT_EQ(Offset(n), b.offset_of(n));

    PdfBuilder zero = ThreeObjects("%PDF-1.5\n");
    o = StreamOptions();
    o.widths = {0, 2, 0}; // no type field: every entry is type 1
    zero.XrefStream(4, o);
    ASSERT_EQ(Read(zero.bytes()), 1);
    for (uint32_t n = 1; n <= 4; ++n)
        EXPECT_EQ(Offset(n), zero.offset_of(n));

    PdfBuilder past = ThreeObjects("%PDF-1.5\n");
    past.Free(0);
    o = StreamOptions();
    o.use_index = false;
    o.size = 40; // 40 entries promised, 5 stored
    past.XrefStream(4, o);
    EXPECT_EQ(Read(past.bytes()), -56);
    EXPECT_EQ(Ring(), (std::vector<int>{-56, -39, -45}));
}

TEST_F(Xref, UnknownPngFilterTypeIsRefused) {
    PdfBuilder b = ThreeObjects("%PDF-1.5\n");
    size_t at = b.bytes().size();
    std::string rows = std::string("\x05\x01\x00\x09\x00", 5);
    std::string packed = kvtest::Deflate(rows);
    b.Raw("4 0 obj\n<</Type/XRef/Size 5/Root 1 0 R/W[1 2 1]/Index[1 1]/DecodeParms<</Columns 4"
          "/Predictor 12>>/Filter/FlateDecode/Length " +
          std::to_string(packed.size()) + ">>\nstream\n" + packed +
          "\nendstream\nendobj\nstartxref\n" + std::to_string(at) + "\n%%EOF\n");
    EXPECT_EQ(Read(b.bytes()), -21);
    EXPECT_EQ(Ring(), (std::vector<int>{-21, -39, -45}));
    ErrorEntry e;
    KvPdfGetError(handle_, 0, &e);
    EXPECT_STREQ(e.message, "Unknown PNG filter (5)");
}

TEST_F(Xref, ChainsMixingKindsKeepTheNewestEntry) {
    // classic -> stream -> classic: xref_is_stream is set, every revision is read.
    PdfBuilder b = ThreeObjects("%PDF-1.5\n");
    size_t x1 = b.ClassicXref();
    b.ObjectStream(5, {{3, "<</Type/Page/Parent 2 0 R/InStream true>>"}, {6, "(six)"}});
    size_t x2 = b.XrefStream(7);
    b.Object(8, "(eight)");
    b.Object(6, "(six, plain again)");
    size_t x3 = b.ClassicXref();
    ASSERT_EQ(Read(b.bytes()), 1);
    EXPECT_EQ(doc_->parsed.xref_is_stream, 1);
    EXPECT_EQ(SectionOffsets(), (std::vector<uint32_t>{uint32_t(x3), uint32_t(x2), uint32_t(x1)}));
    EXPECT_EQ(doc_->parsed.xref_sections->next->is_stream, 1);
    // Object 3 moved into an object stream in a newer revision: it stays compressed,
    // although the oldest table gives it an offset.
    EXPECT_EQ(Offset(3), kNoOffset);
    EXPECT_EQ(Object(3), "<</Type/Page/Parent 2 0 R/InStream true>>\n");
    // Object 6 left its stream again in the newest revision.
    EXPECT_EQ(Offset(6), b.offset_of(6));
    EXPECT_EQ(Object(8), "8 0 obj\n(eight)\nendobj");
}

TEST_F(Xref, HybridFileObjectsOnlyInXRefStmHaveNoOffset) {
    // The /XRefStm of a hybrid-reference trailer is not read (a described limitation):
    // an object listed only there has no offset.
    PdfBuilder b = ThreeObjects("%PDF-1.5\n");
    ClassicOptions o;
    o.trailer_extra = "/XRefStm 9";
    o.size = 6;
    b.ClassicXref(o);
    ASSERT_EQ(Read(b.bytes()), 1);
    EXPECT_EQ(doc_->parsed.xref_is_stream, 0);
    EXPECT_EQ(Offset(4), kNoOffset);
    EXPECT_EQ(doc_->parsed.xref_section_count, 1u);
}

TEST(XrefStreamEncoding, ValueWidthsAndEntries) {
    EXPECT_EQ(PdfValueWidth(0), 1);
    EXPECT_EQ(PdfValueWidth(255), 1);
    EXPECT_EQ(PdfValueWidth(256), 2);
    EXPECT_EQ(PdfValueWidth(65536), 3);
    EXPECT_EQ(PdfValueWidth(1u << 24), 4);
    uint8_t buffer[16] = {};
    uint32_t position = 1;
    PdfPutXrefStreamEntry(1, 2, buffer, &position, 0x1234, 0);
    EXPECT_EQ(position, 6u);
    EXPECT_EQ(std::vector<uint8_t>(buffer + 1, buffer + 6),
              (std::vector<uint8_t>{1, 0x12, 0x34, 0, 0}));
    PdfPutXrefStreamEntry(2, 3, buffer, &position, 0x0A0B0C, 0x0102);
    EXPECT_EQ(position, 12u);
    EXPECT_EQ(std::vector<uint8_t>(buffer + 6, buffer + 12),
              (std::vector<uint8_t>{2, 0x0A, 0x0B, 0x0C, 0x01, 0x02}));
}

} // namespace
