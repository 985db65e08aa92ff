// SPDX-License-Identifier: Apache-2.0
// Embedded files: what the library reads equals what poppler's pdfdetach reads, what it
// writes pdfdetach and qpdf accept byte for byte, and bad input ends in a code.
#include "kvtest.h"

#include <sys/stat.h>

#include <random>
#include <regex>
#include <sstream>

namespace {

struct Attachment {
    std::string name, description, data;
    bool has_data = false;
};

// The table after KvPdfGetAttachments, the read's result and the ring.
struct Read {
    int32_t rc = 0;
    std::vector<Attachment> files;
    std::vector<int> ring;
};

Read ReadAttachments(const std::string &pdf, bool all = false, int32_t limit = 0) {
    Read out;
    KvPdfHandle h = KvPDFInit(pdf.c_str(), nullptr, 0);
    if (all) KvPDFSetProperty(h, KVPDF_PROP_ALL_ATTACHMENTS, 1);
    if (limit) KvPDFSetProperty(h, KVPDF_PROP_ATTACHMENT_LIMIT, limit);
    out.rc = KvPdfGetAttachments(h);
    for (int32_t i = 0; i < KvPDFGetAttachmentCount(h); ++i) {
        char *name = nullptr, *desc = nullptr;
        uint8_t *data = nullptr;
        uint32_t length = 0;
        Attachment a;
        if (KvPDFGetAttachmentInfo(h, i, &name, &desc, &data, &length) == 1) {
            a.name = name ? name : "";
            a.description = desc ? desc : "";
            a.has_data = data != nullptr;
            if (data) a.data.assign(reinterpret_cast<char *>(data), length);
        }
        KvPDFDestroyer(reinterpret_cast<void **>(&name));
        KvPDFDestroyer(reinterpret_cast<void **>(&desc));
        KvPDFDestroyer(reinterpret_cast<void **>(&data));
        out.files.push_back(a);
    }
    out.ring = kvtest::RingCodes(h);
    KvPDFClose(h);
    return out;
}

// Adds files (paths, each with a description) in one update; the write's result.
int32_t Attach(const std::string &in, const std::string &out,
               const std::vector<std::pair<std::string, std::string>> &files, bool basename = true,
               std::vector<int> *ring = nullptr) {
    KvPdfHandle h = KvPDFInit(in.c_str(), out.c_str(), 0);
    if (basename) KvPDFSetProperty(h, KVPDF_PROP_ATTACHMENT_BASENAME, 1);
    KvPDFSetProperty(h, KVPDF_PROP_ATTACHMENT_INLINE_NAMES, 1);
    int32_t rc = 1;
    for (size_t i = 0; i < files.size() && rc == 1; ++i)
        rc = KvPDFSetAttachmentInfo(h, int32_t(i), files[i].first.c_str(),
                                    files[i].second.empty() ? nullptr : files[i].second.c_str());
    if (rc == 1) rc = KvPdfWriteAttachments(h);
    if (ring) *ring = kvtest::RingCodes(h);
    KvPDFClose(h);
    return rc;
}

// pdfdetach's names, in its order, and the files -saveall writes, by name.
struct Detached {
    std::vector<std::string> names;
    std::map<std::string, std::string> files;
};

Detached Pdfdetach(const std::string &pdf, const kvtest::TempDir &dir) {
    Detached d;
    std::string out;
    kvtest::Run("pdfdetach -list " + kvtest::Quote(pdf) + " 2>&1", &out);
    std::istringstream lines(out);
    const std::regex entry(R"(^\d+: (.*)$)");
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_match(line, m, entry)) d.names.push_back(m[1]);
    }
    const std::string saved = dir.file("detached") + '/';
    kvtest::Run("rm -rf " + kvtest::Quote(saved) + " && mkdir " + kvtest::Quote(saved) +
                " && pdfdetach -saveall -o " + kvtest::Quote(saved) + " " + kvtest::Quote(pdf));
    for (const std::string &name : d.names)
        d.files[name] = kvtest::ReadFile(saved + name);
    return d;
}

std::string Random(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char &c : s)
        c = static_cast<char>(gen());
    return s;
}

class Attachments : public ::testing::Test {
protected:
    kvtest::TempDir dir_;
    const std::string corpus_ = kvtest::CorpusDir();
};

// Every corpus file with embedded files or file-attachment annotations reads as
// pdfdetach reads it: the names (the /UF text where /F is empty) and the bytes.
TEST_F(Attachments, CorpusFilesReadAsPdfdetachReadsThem) {
    int checked = 0;
    for (const kvtest::Row &row : kvtest::CorpusManifest()) {
        if (row.at("embedded_files") == "0" && row.at("fileattachment_annots") == "0") continue;
        // An encrypted document is refused: its strings and streams are encrypted.
        if (row.at("encrypted") != "0") continue;
        const std::string pdf = corpus_ + "/" + row.at("file");
        const Read r = ReadAttachments(pdf);
        const Detached d = Pdfdetach(pdf, dir_);
        EXPECT_EQ(r.rc, 0) << row.at("file");
        ASSERT_EQ(r.files.size(), d.names.size()) << row.at("file");
        for (size_t i = 0; i < r.files.size(); ++i) {
            EXPECT_EQ(r.files[i].name, d.names[i]) << row.at("file");
            EXPECT_TRUE(r.files[i].has_data);
            EXPECT_EQ(r.files[i].data, d.files.at(d.names[i])) << row.at("file") << " " << i;
        }
        ++checked;
    }
    EXPECT_EQ(checked, 2);
}

// Two files, one binary of several MB and one whose name holds parentheses and accented
// letters, into a classic and a cross-reference-stream document: an exact prefix, qpdf
// accepts it, pdfdetach and our reader get names and bytes back; a second update keeps
// the first one's files beside its own.
TEST_F(Attachments, AddedFilesComeBackByteForByteAndLaterUpdatesKeepThem) {
    const std::string big = dir_.file("big.bin"), text = dir_.file("r\xC3\xA9sum\xC3\xA9 (v2).txt");
    kvtest::WriteFile(big, Random(3 << 20, 7));
    kvtest::WriteFile(text, "a (small) \\ text\n");
    const std::string third = dir_.file("third.txt");
    kvtest::WriteFile(third, "third");
    for (const char *source : {"classic-fpdf-01.pdf", "xrefstream-objstm-pdftex-01.pdf"}) {
        SCOPED_TRACE(source);
        const std::string in = corpus_ + "/" + source, out = dir_.file("out.pdf");
        ASSERT_EQ(Attach(in, out, {{big, ""}, {text, "d\xC3\xA9sc (x) \\y"}}), 1);
        const std::string source_bytes = kvtest::ReadFile(in), written = kvtest::ReadFile(out);
        EXPECT_EQ(written.compare(0, source_bytes.size(), source_bytes), 0);
        std::string check;
        EXPECT_TRUE(kvtest::QpdfCheck(out, &check)) << check;
        Detached d = Pdfdetach(out, dir_);
        ASSERT_EQ(d.names, (std::vector<std::string>{"big.bin", "r\xC3\xA9sum\xC3\xA9 (v2).txt"}));
        EXPECT_EQ(d.files["big.bin"], kvtest::ReadFile(big));
        EXPECT_EQ(d.files[d.names[1]], kvtest::ReadFile(text));
        const Read r = ReadAttachments(out);
        ASSERT_EQ(r.files.size(), 2u);
        EXPECT_EQ(r.files[1].name, d.names[1]);
        EXPECT_EQ(r.files[1].description, "d\xC3\xA9sc (x) \\y");
        EXPECT_EQ(r.files[0].data, d.files["big.bin"]);

        const std::string again = dir_.file("again.pdf");
        ASSERT_EQ(Attach(out, again, {{third, ""}}), 1);
        EXPECT_TRUE(kvtest::QpdfCheck(again, &check)) << check;
        d = Pdfdetach(again, dir_);
        EXPECT_EQ(d.names.size(), 3u);
        EXPECT_EQ(d.files["third.txt"], "third");
        EXPECT_EQ(d.files["big.bin"], kvtest::ReadFile(big));
    }
}

// The update for two files on a small classic document, object by object: the names are
// the paths, a path's two backslashes are written as four.
TEST_F(Attachments, TwoFilesOnASmallClassicDocumentGiveExactlyTheseObjects) {
    const std::string in = dir_.file("in.pdf"), out = dir_.file("out.pdf");
    kvtest::WriteFile(in, kvtest::OnePagePdf());
    const std::string a = dir_.file("a.txt"), b = dir_.file("b\\\\c.bin");
    const std::string binary("\0\1\2\377", 4);
    kvtest::WriteFile(a, "hello");
    kvtest::WriteFile(b, binary);
    ASSERT_EQ(Attach(in, out, {{a, "greeting"}, {b, ""}}, false), 1);
    auto stream = [](int n, const std::string &data) {
        const std::string packed = kvtest::Deflate(data, 1);
        return std::to_string(n) + " 0 obj\n<</Filter /FlateDecode /Type /EmbeddedFile /Params " +
               "<</Size " + std::to_string(data.size()) + ">>/Length " +
               std::to_string(packed.size()) + " >>stream\r\n" + packed + "\nendstream\nendobj\n\n";
    };
    const std::string b_written = std::regex_replace(b, std::regex(R"(\\)"), R"(\\)");
    const std::string expected =
        stream(5, "hello") + stream(6, binary) + "7 0 obj\n<</Desc(greeting)/EF<</F 5 0 R>>/F(" +
        a + ")/Type/Filespec>>\nendobj\n\n8 0 obj\n<</EF<</F 6 0 R>>/F(" + b_written +
        ")/Type/Filespec>>\nendobj\n\n9 0 obj\n<</Names [(" + a + ") 7 0 R(" + b_written +
        ") 8 0 R]>>\nendobj\n\n10 0 obj\n<</EmbeddedFiles 9 0 R>>\nendobj\n\n"
        "1 0 obj\n<</Type/Catalog/Names 10 0 R/Pages 2 0 R>>\nendobj\n\nxref\n";
    const std::string source = kvtest::ReadFile(in), written = kvtest::ReadFile(out);
    EXPECT_EQ(written.substr(0, source.size()), source);
    EXPECT_EQ(written.substr(source.size(), expected.size()), expected);
    std::string check;
    EXPECT_TRUE(kvtest::QpdfCheck(out, &check)) << check;
    const Read r = ReadAttachments(out);
    ASSERT_EQ(r.files.size(), 2u);
    EXPECT_EQ(r.files[1].name, b);
    EXPECT_EQ(r.files[1].data, binary);
}

// A signature stays intact when files are added after it; it no longer covers the whole
// file, and a second signature over the update is found beside it.
TEST_F(Attachments, FilesAddedToASignedDocumentLeaveTheSignatureIntact) {
    const std::string signed_pdf = dir_.file("s.pdf"), attached = dir_.file("a.pdf"),
                      twice = dir_.file("t.pdf"), file = dir_.file("note.txt");
    kvtest::WriteFile(file, "note");
    ASSERT_EQ(kvtest::HostSign(KVPDF_SOURCE_DIR "/samples/sample.pdf", signed_pdf, {}).value, 1);
    ASSERT_EQ(Attach(signed_pdf, attached, {{file, ""}}), 1);
    const std::vector<kvtest::PdfsigSignature> sigs = kvtest::RunPdfsig(attached);
    ASSERT_EQ(sigs.size(), 1u);
    EXPECT_TRUE(sigs[0].valid) << sigs[0].raw;
    EXPECT_FALSE(sigs[0].whole_file) << sigs[0].raw;
    ASSERT_EQ(kvtest::HostSign(attached, twice, {}).value, 1);
    EXPECT_TRUE(kvtest::CheckersAccept(twice, 2));
    EXPECT_EQ(ReadAttachments(twice).files.at(0).data, "note");
}

// A names dictionary of its own with a tree of kids: the default read takes the first
// kid's names, the opt-in the whole tree (a kid naming the root again is a loop, a chain
// of 40 nodes too deep); a write keeps every name and the dictionary's other entries.
TEST_F(Attachments, NameTreesAreReadAndMergedWithinBounds) {
    kvtest::PdfBuilder b = kvtest::OnePage();
    b.Object(1, "<</Type/Catalog/Pages 2 0 R/Names 4 0 R>>");
    b.Object(4, "<</Dests 20 0 R/EmbeddedFiles 5 0 R>>");
    b.Object(5, "<</Kids[6 0 R 7 0 R 30 0 R]>>");
    b.Object(6, "<</Limits[(a)(a)]/Names[(a) 8 0 R]>>");
    b.Object(7, "<</Limits[(b)(b)]/Names[<62> 10 0 R]/Kids[5 0 R]>>");
    b.Object(8, "<</Type/Filespec/F(a)/EF<</F 9 0 R>>>>");
    b.Object(9, "<</Length 1>>stream\nA\nendstream");
    b.Object(10, "<</Type/Filespec/UF<FEFF0062>/EF 11 0 R>>");
    b.Object(11, "<</F 12 0 R>>");
    b.Object(12, "<</Length 13 0 R>>stream\nB\nendstream");
    b.Object(13, "1");
    b.Object(20, "<<>>");
    for (uint32_t n = 30; n < 70; ++n)
        b.Object(n, "<</Kids[" + std::to_string(n + 1) + " 0 R]>>");
    b.Object(70, "<</Names[(deep) 8 0 R]>>");
    b.ClassicXref();
    const std::string in = dir_.file("tree.pdf"), out = dir_.file("out.pdf"), c = dir_.file("c");
    kvtest::WriteFile(in, b.bytes());
    kvtest::WriteFile(c, "C");
    Read r = ReadAttachments(in);
    EXPECT_EQ(r.rc, 0);
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].data, "A");
    r = ReadAttachments(in, true);
    EXPECT_EQ(r.rc, 0);
    ASSERT_EQ(r.files.size(), 2u) << ::testing::PrintToString(r.ring);
    EXPECT_EQ(r.files[1].name, "b");
    EXPECT_EQ(r.files[1].data, "B");
    EXPECT_EQ(std::count(r.ring.begin(), r.ring.end(), KVPDF_ERR_NAME_TREE), 1);
    ASSERT_EQ(Attach(in, out, {{c, ""}}), 1);
    std::string check;
    EXPECT_TRUE(kvtest::QpdfCheck(out, &check)) << check;
    const Detached d = Pdfdetach(out, dir_);
    EXPECT_EQ(d.names, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_NE(kvtest::ReadFile(out).find("/EmbeddedFiles 74 0 R/Dests 20 0 R"), std::string::npos);
}

// The table's calls refuse bad indexes, paths and files with their codes; damaged
// streams leave their own entry without data and the others are read; a catalog with an
// inline /Names is refused for writing. The source is never changed.
TEST_F(Attachments, BadInputEndsInACodeAndLeavesTheSourceAlone) {
    const std::string empty = dir_.file("empty"), one = dir_.file("one");
    kvtest::WriteFile(empty, "");
    kvtest::WriteFile(one, "1");
    KvPdfHandle h = KvPDFInit(dir_.file("none.pdf").c_str(), nullptr, 0);
    char *name = nullptr, *desc = nullptr;
    const struct {
        const char *what;
        std::function<int32_t()> call;
        int32_t rc, count;
    } calls[] = {
        {"info of no entry", [&] { return KvPDFGetAttachmentInfo(h, 0, &name, &desc, 0, 0); },
         KVPDF_ERR_ATTACHMENT_INDEX, 0},
        {"name of -1", [&] { return KvPDFGetAttachmentFileName(h, -1, &name); },
         KVPDF_ERR_ATTACHMENT_INDEX, 0},
        {"save of no entry", [&] { return KvPDFSaveAttachment(0, one.c_str(), h); },
         KVPDF_ERR_ATTACHMENT_INDEX, 0},
        {"set past the count", [&] { return KvPDFSetAttachmentInfo(h, 1, one.c_str(), 0); },
         KVPDF_ERR_ATTACHMENT_INDEX, 0},
        {"set without path", [&] { return KvPDFSetAttachmentInfo(h, 0, nullptr, 0); },
         KVPDF_ERR_ATTACHMENT_NAME, 0},
        {"missing file", [&] { return KvPDFSetAttachmentInfo(h, 0, "/nonexistent/x", 0); },
         KVPDF_ERR_ATTACHMENT_OPEN, 0},
        {"directory", [&] { return KvPDFSetAttachmentInfo(h, 0, dir_.file("").c_str(), 0); },
         KVPDF_ERR_ATTACHMENT_OPEN, 0},
        {"empty file", [&] { return KvPDFSetAttachmentInfo(h, 0, empty.c_str(), 0); },
         KVPDF_ERR_ATTACHMENT_READ, 1},
        {"length without data", [&] { return KvPdfGetAttachmentLength(h, 0); },
         KVPDF_ERR_EMBEDDED_FILE, 1},
        {"one byte", [&] { return KvPDFSetAttachmentInfo(h, 0, one.c_str(), "d"); }, 1, 1},
        {"its length", [&] { return KvPdfGetAttachmentLength(h, 0); }, 1, 1},
        {"save without path", [&] { return KvPDFSaveAttachment(0, nullptr, h); },
         KVPDF_ERR_ATTACHMENT_SAVE, 1},
        {"save where no file opens",
         [&] { return KvPDFSaveAttachment(0, "/nonexistent/dir/x", h); }, KVPDF_ERR_ATTACHMENT_SAVE,
         1},
        {"no handle", [&] { return KvPDFGetAttachmentCount(0); }, KVPDF_ERR_NULL_HANDLE, 1},
    };
    for (const auto &c : calls) {
        EXPECT_EQ(c.call(), c.rc) << c.what;
        EXPECT_EQ(KvPDFGetAttachmentCount(h), c.count) << c.what;
        EXPECT_EQ(name, nullptr) << c.what;
    }
    EXPECT_EQ(KvPDFGetAttachmentInfo(h, 0, &name, &desc, nullptr, nullptr), 1);
    EXPECT_STREQ(name, one.c_str());
    EXPECT_STREQ(desc, "d");
    KvPDFDestroyer(reinterpret_cast<void **>(&name));
    KvPDFDestroyer(reinterpret_cast<void **>(&desc));
    KvPDFClose(h);

    // One names array: a good file, then a /Length past the end, a stream that inflates
    // past the limit, an unknown filter and broken Flate data.
    kvtest::PdfBuilder b = kvtest::OnePage();
    b.Object(1, "<</Type/Catalog/Pages 2 0 R/Names<</EmbeddedFiles<</Names[(ok) 10 0 R "
                "(long) 11 0 R(bomb) 12 0 R(dct) 13 0 R(broken) 14 0 R]>>>>>>");
    const std::string bomb = kvtest::Deflate(std::string(2 << 20, '\0'), 9);
    const std::pair<std::string, std::string> streams[] = {
        {"", "fine"},
        {"", "x"},
        {"/Filter/FlateDecode", bomb},
        {"/Filter/DCTDecode", "jpeg"},
        {"/Filter/FlateDecode", "not zlib at all"},
    };
    for (uint32_t i = 0; i < 5; ++i) {
        b.Object(10 + i, "<</Type/Filespec/F(f" + std::to_string(i) + ")/EF<</F " +
                             std::to_string(20 + i) + " 0 R>>>>");
        const std::string length = i == 1 ? "99999" : std::to_string(streams[i].second.size());
        b.Object(20 + i, "<</Length " + length + streams[i].first + ">>stream\r\n" +
                             streams[i].second + "\r\nendstream");
    }
    b.ClassicXref();
    const std::string damaged = dir_.file("damaged.pdf"), out = dir_.file("out.pdf");
    kvtest::WriteFile(damaged, b.bytes());
    const Read r = ReadAttachments(damaged, false, 1 << 20);
    EXPECT_EQ(r.rc, 0);
    ASSERT_EQ(r.files.size(), 5u);
    EXPECT_EQ(r.files[0].data, "fine");
    for (size_t i = 1; i < 5; ++i)
        EXPECT_FALSE(r.files[i].has_data) << i;
    for (int code : {KVPDF_ERR_STREAM_LENGTH, KVPDF_ERR_ATTACHMENT_TOO_LARGE,
                     KVPDF_ERR_FILTER_UNSUPPORTED, KVPDF_ERR_ZLIB_INFLATE})
        EXPECT_EQ(std::count(r.ring.begin(), r.ring.end(), code), 1) << code;
    EXPECT_EQ(ReadAttachments(damaged).files[2].data.size(), 2u << 20);

    std::vector<int> ring;
    kvtest::WriteFile(out, "");
    KvPdfHandle w = KvPDFInit(damaged.c_str(), out.c_str(), 0);
    ASSERT_EQ(KvPDFSetAttachmentInfo(w, 0, one.c_str(), nullptr), 1);
    EXPECT_EQ(KvPdfWriteAttachments(w), KVPDF_ERR_NO_NAMES);
    ring = kvtest::RingCodes(w);
    KvPDFClose(w);
    EXPECT_NE(std::find(ring.begin(), ring.end(), KVPDF_ERR_NAMES_INLINE), ring.end());
    EXPECT_EQ(kvtest::ReadFile(damaged), b.bytes());

    // A name given as a property is the text unchanged, its file empty.
    const std::string plain = dir_.file("plain.pdf");
    kvtest::WriteFile(plain, kvtest::OnePagePdf());
    w = KvPDFInit(plain.c_str(), out.c_str(), 0);
    ASSERT_EQ(KvPDFSetProperty(w, KVPDF_PROP_ATTACHMENT_ADD,
                               reinterpret_cast<intptr_t>("dir\\x (1).txt")),
              1);
    EXPECT_EQ(KvPdfWriteAttachments(w), 1);
    KvPDFClose(w);
    const Read named = ReadAttachments(out);
    ASSERT_EQ(named.files.size(), 1u);
    EXPECT_EQ(named.files[0].name, "dir\\x (1).txt");
    EXPECT_TRUE(named.files[0].has_data);
    EXPECT_EQ(named.files[0].data, "");
}

// Every allocation of a read and of a write may fail: each run ends cleanly.
TEST_F(Attachments, ReadsAndWritesSurviveEveryFailedAllocation) {
    const std::string in = corpus_ + "/embeddedfiles-fpdf-01.pdf", out = dir_.file("out.pdf"),
                      file = dir_.file("f.txt");
    kvtest::WriteFile(file, "contents");
    kvtest::OutOfMemorySweep([&] { return ReadAttachments(in).rc == 0 ? 1 : 0; }, 20);
    kvtest::OutOfMemorySweep([&] { return Attach(in, out, {{file, "d"}}); }, 20);
}

} // namespace
