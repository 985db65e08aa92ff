#include "pdf_builder.h"
#include "pdf_mem.h"
#include "pdf_utils.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace kvpdf;

using kvtest::RingCodes;

namespace {

std::string Owned(char *text, uint32_t length) {
    std::string s = text ? std::string(text, length) : "<null>";
    TrackedFreeT(text);
    return s;
}

std::string KeyString(const std::string &text, const char *key) {
    uint32_t n = 0;
    char *v = PdfKeyString(text.data(), text.size(), key, &n);
    return Owned(v, n);
}

TEST(Scanners, NumbersReferencesAndHeaders) {
    const std::string t = "<</Size 42 /Root 7 0 R /Prev 12345678901234>>";
    EXPECT_EQ(PdfKeyNumber(t.data(), t.size(), "/Size"), 42u);
    EXPECT_EQ(PdfKeyNumber(t.data(), t.size(), "/Info"), 0xFFFFFFFFu);
    size_t next = 0;
    // At most 11 digits form one number; a value beyond 32 bits saturates.
    EXPECT_EQ(PdfParseNumber(t.data(), t.size(), t.find("/Prev"), &next), 0xFFFFFFFFu);
    EXPECT_EQ(next, t.find("/Prev") + 6 + 11);
    int ref = -1;
    EXPECT_EQ(PdfParseNumberRef(t.data(), t.size(), t.find("/Root"), &ref), 7u);
    EXPECT_EQ(ref, 1);
    EXPECT_EQ(PdfParseNumberRef(t.data(), t.size(), t.find("/Size"), &ref), 42u);
    EXPECT_EQ(ref, 0);
    // A number at the very end of the text: no reference, no read past the end.
    const std::string end = "/Length 12";
    EXPECT_EQ(PdfParseNumberRef(end.data(), end.size(), 0, &ref), 12u);
    EXPECT_EQ(ref, 0);
    EXPECT_EQ(PdfParseNumber("/Key", 4, 0, &next), 0u);
    EXPECT_EQ(next, 4u);
    // Keys match anywhere: /N also stops at /Names.
    const std::string names = "/Names 5 0 R /N 3";
    EXPECT_EQ(PdfKeyNumber(names.data(), names.size(), "/N"), 5u);

    const std::string obj = "  12 0 obj\r\n  <</Type/Catalog>>";
    EXPECT_EQ(PdfSkipObjectHeader(obj.data(), obj.size(), 0, &ref), obj.find("<<"));
    EXPECT_EQ(ref, 1);
    EXPECT_EQ(PdfSkipObjectHeader("<<>>", 4, 0, &ref), 0u);
    EXPECT_EQ(ref, 0);
    EXPECT_EQ(Owned(PdfMakeRef(4294967295u), 15), " 4294967295 0 R");
    EXPECT_EQ(PdfFind("abcabc", 6, "ca"), 2);
    EXPECT_EQ(PdfFind("abcabc", 4, "bc"), 1);
    EXPECT_EQ(PdfFind("abcabc", 2, "bc"), -1); // the key must lie within the length
    EXPECT_EQ(PdfFindBytes("xxEOF", 2, "EOF"), 2);
    EXPECT_EQ(PdfFindBytes("xxEOF", 1, "EOF"), -1);
}

TEST(Scanners, KeyValuesOfEveryShapeAndCutOffValues) {
    EXPECT_EQ(KeyString("/ByteRange [0 840 960 240]/X", "/ByteRange"), "0 840 960 240");
    EXPECT_EQ(KeyString("/Reason (Test)", "/Reason"), "Test");
    EXPECT_EQ(KeyString("/Type /Sig /F 1", "/Type"), "Sig ");
    EXPECT_EQ(KeyString("/SubFilter/ETSI.CAdES.detached/Contents", "/SubFilter"),
              "ETSI.CAdES.detached");
    EXPECT_EQ(KeyString("/Contents <48656c6C6f2>", "/Contents"), "Hello"); // odd digit dropped
    EXPECT_EQ(KeyString("/Name <4zz1>", "/Name"), std::string("\x40\x01", 2));
    EXPECT_EQ(KeyString("/Name (A / B)", "/Name"), "A ");
    // Values whose closing delimiter is missing, or whose opener never comes, are absent.
    EXPECT_EQ(KeyString("/Reason (never closed", "/Reason"), "<null>");
    EXPECT_EQ(KeyString("/Reason", "/Reason"), "<null>");
    EXPECT_EQ(KeyString("/Reason 12 0 R", "/Reason"), "<null>");
    EXPECT_EQ(KeyString("/Other (x)", "/Reason"), "<null>");

    uint32_t n = 0;
    const std::string hex = "/V 3 0 R /Contents <00FF10>";
    uint8_t *bytes = PdfKeyHexString(hex.data(), hex.size(), "/Contents", &n);
    EXPECT_EQ(Owned(reinterpret_cast<char *>(bytes), n), std::string("\x00\xFF\x10", 3));
    EXPECT_EQ(PdfKeyHexString("/Contents <0011", 15, "/Contents", &n), nullptr);

    const std::string filespec = "<</Type/Filespec/Filter/X /F 5 0 R /F (report.txt)>>";
    EXPECT_EQ(Owned(PdfFileSpecName(filespec.data(), filespec.size()), 10), "report.txt");
    const std::string hexspec = "<</F<612E62>>>";
    EXPECT_EQ(Owned(PdfFileSpecName(hexspec.data(), hexspec.size()), 3), "a.b");
    EXPECT_EQ(PdfFileSpecName("/Filter/F", 9), nullptr);
    const std::string inline_ef = "/EF <</F 12 0 R>>";
    KvPdfHandle h = KvPDFInit("x.pdf", nullptr, 0);
    Reader r = ReaderOf(HandleLookup(h));
    EXPECT_EQ(PdfEmbeddedFileObj(r, nullptr, inline_ef.data(), inline_ef.size()), 12);
    EXPECT_EQ(PdfEmbeddedFileObj(r, nullptr, "/Type", 5), 0);
    KvPDFClose(h);
}

// Readers over a real file: objects by number, streams of every shape.
class Readers : public ::testing::Test {
protected:
    void SetUp() override {
        kvtest::PdfBuilder b("%PDF-1.5\n");
        b.Object(1, "<</Type/Catalog/Pages 2 0 R>>");
        b.Object(2, "<</Type/Pages/Kids[18 0 R]/Count 1>>");
        std::string flate = kvtest::Deflate("decoded stream data");
        b.Object(3, "<</Length 15 0 R>>\nstream\r\nraw-bytes-12345\nendstream");
        b.Object(4, "<</Length 5>>stream\nABCDE\nendstream");
        b.Object(5, "<</Length 5>>stream\rABCDE\nendstream");
        b.Object(6, "<</Length 5>>stream  ABCDE\nendstream");
        b.Object(7, "<</Filter[/FlateDecode]/Length " + std::to_string(flate.size()) +
                        ">>stream\n" + flate + "\nendstream");
        b.Object(8, "<</Filter/DCTDecode/Length 3>>stream\nabc\nendstream");
        // A wrong checksum at the end, and a stream cut in the middle: both yield what
        // was decoded before the damage.
        std::string long_text;
        for (int i = 0; i < 300; ++i)
            long_text += std::to_string(i * 7919) + ",";
        std::string checksum = kvtest::Deflate(long_text);
        checksum[checksum.size() - 1] ^= 0x55;
        b.Object(9, "<</Filter/FlateDecode/Length " + std::to_string(checksum.size()) +
                        ">>stream\n" + checksum + "\nendstream");
        std::string cut = kvtest::Deflate(long_text).substr(0, checksum.size() / 2);
        b.Object(17, "<</Filter/FlateDecode/Length " + std::to_string(cut.size()) + ">>stream\n" +
                         cut + "\nendstream");
        long_text_ = long_text;
        b.Object(10, "<</Type/XObject>>stream\nno length\nendstream");
        b.Object(11, "<</Length 4>>\nno keyword");
        b.Object(12, "<</Length 20>>stream\nhas endobj inside it\nendstream");
        b.Object(13, "<</Type/Annot" + std::string(1500, ' ') + "/F 4>>");
        b.Object(15, "15");
        // "endobj" starts at byte 509 of this object: it straddles two 512-byte chunks.
        b.Object(16, "<</Type/Annot" + std::string(480, ' ') + "/F 4>>");
        b.Object(18, "<</Type/Page/Parent 2 0 R>>");
        b.ClassicXref();
        path_ = dir_.file("r.pdf");
        kvtest::WriteFile(path_, b.bytes());
        handle_ = KvPDFInit(path_.c_str(), nullptr, 0);
        doc_ = HandleLookup(handle_);
        doc_->mode = kModeReadAttachments;
        ASSERT_EQ(ProcessPdf(doc_), 1);
        file_ = fopen(path_.c_str(), "rb");
        KvPdfSetLocale(handle_, 1);
    }
    void TearDown() override {
        fclose(file_);
        KvPDFClose(handle_);
    }
    std::string Stream(int object, int32_t *rc) {
        uint8_t *data = nullptr;
        uint32_t n = 0;
        *rc = PdfReadStream(ReaderOf(doc_), file_, object, nullptr, 0, &data, &n);
        return Owned(reinterpret_cast<char *>(data), n);
    }
    kvtest::TempDir dir_;
    std::string path_, long_text_;
    KvPdfHandle handle_ = 0;
    PdfDocument *doc_ = nullptr;
    FILE *file_ = nullptr;
};

TEST_F(Readers, ObjectsEndWithTheirTerminatorAcrossChunkBorders) {
    char *text = nullptr;
    ASSERT_EQ(PdfReadObject(ReaderOf(doc_), file_, 13, &text), 1);
    std::string t = text;
    TrackedFreeT(text);
    EXPECT_EQ(t.substr(0, 9), "13 0 obj\n");
    EXPECT_EQ(t.substr(t.size() - 13), "/F 4>>\nendobj");
    uint32_t n = 0;
    ASSERT_EQ(PdfReadObjectBinary(ReaderOf(doc_), file_, 16, &text, &n), 1);
    EXPECT_EQ(n, 515u);
    EXPECT_EQ(Owned(text, n).substr(509), "endobj");
    // The first "endobj" ends an object, even inside its stream data.
    ASSERT_EQ(PdfReadObjectBinary(ReaderOf(doc_), file_, 12, &text, &n), 1);
    EXPECT_EQ(Owned(text, n), "12 0 obj\n<</Length 20>>stream\nhas endobj");
    // Reading at an absolute offset stops after its byte limit.
    ASSERT_EQ(PdfReadObjectAt(ReaderOf(doc_), file_, 9, &text, &n), 1);
    EXPECT_EQ(Owned(text, n).substr(0, 8), "1 0 obj\n");
    EXPECT_EQ(PdfReadObjectAt(ReaderOf(doc_), file_, static_cast<uint32_t>(doc_->parsed.object_offsets[13]) + 20, &text, &n),
              -1);
    EXPECT_EQ(text, nullptr);
    // An object without a known offset, in a file without cross-reference streams, is
    // read from the current position.
    ASSERT_EQ(fseek(file_, static_cast<long>(doc_->parsed.object_offsets[4]), SEEK_SET), 0);
    ASSERT_EQ(PdfReadObject(ReaderOf(doc_), file_, 14, &text), 1);
    EXPECT_EQ(std::string(text).substr(0, 8), "4 0 obj\n");
    TrackedFreeT(text);
    ASSERT_EQ(PdfReadRaw(ReaderOf(doc_), file_, 4, &text, 8, &n), 1);
    EXPECT_EQ(Owned(text, n), "4 0 obj\n");
}

TEST_F(Readers, StreamsWithEveryEndOfLineLengthAndFilter) {
    int32_t rc = 0;
    EXPECT_EQ(Stream(3, &rc), "raw-bytes-12345"); // /Length 15 0 R: "15" after "obj"
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(Stream(4, &rc), "ABCDE");
    EXPECT_EQ(Stream(5, &rc), "ABCDE");
    EXPECT_EQ(Stream(6, &rc), "ABCDE");
    EXPECT_EQ(Stream(7, &rc), "decoded stream data");
    // The object text stops at the "endobj" inside the data: the bytes are read again.
    EXPECT_EQ(Stream(12, &rc), "has endobj inside it");
    EXPECT_EQ(Stream(9, &rc), long_text_);
    EXPECT_EQ(rc, 1);
    std::string partial = Stream(17, &rc);
    EXPECT_EQ(rc, 1);
    EXPECT_GT(partial.size(), 100u);
    EXPECT_LT(partial.size(), long_text_.size());
    EXPECT_EQ(partial, long_text_.substr(0, partial.size()));
    EXPECT_EQ(KvPdfGetLastErrorIndex(handle_), -1);

    Stream(8, &rc);
    EXPECT_EQ(rc, -22);
    Stream(10, &rc);
    EXPECT_EQ(rc, -119);
    Stream(11, &rc);
    EXPECT_EQ(rc, -120);
    EXPECT_EQ(RingCodes(handle_), (std::vector<int>{-22, -118, -119, -118, -120, -118}));
}

TEST(Inflate, GrowsTheBufferAndStopsAtTheLimit) {
    std::string plain(100000, 'q');
    std::string packed = kvtest::Deflate(plain);
    uint32_t capacity = 16;
    auto *buffer = static_cast<uint8_t *>(TrackedAlloc("t", 1, capacity));
    int64_t n = PdfInflate(reinterpret_cast<const uint8_t *>(packed.data()),
                           static_cast<uint32_t>(packed.size()), &buffer, &capacity, 0x7FFFFFFF);
    EXPECT_EQ(n, 100000);
    EXPECT_GE(capacity, 100000u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), 100000), plain);
    n = PdfInflate(reinterpret_cast<const uint8_t *>(packed.data()),
                   static_cast<uint32_t>(packed.size()), &buffer, &capacity, capacity);
    EXPECT_EQ(n, 100000);
    uint32_t small = 8;
    auto *limited = static_cast<uint8_t *>(TrackedAlloc("t", 1, small));
    EXPECT_EQ(PdfInflate(reinterpret_cast<const uint8_t *>(packed.data()),
                         static_cast<uint32_t>(packed.size()), &limited, &small, 1000),
              1000);
    // Not a zlib stream at all.
    EXPECT_EQ(PdfInflate(reinterpret_cast<const uint8_t *>("garbage!"), 8, &limited, &small, 1000),
              0);
    TrackedFreeT(buffer);
    TrackedFreeT(limited);
}

} // namespace
