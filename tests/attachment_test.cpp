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
    const std::string saved = dir.file("detached");
    kvtest::Run("rm -rf " + kvtest::Quote(saved) + " && mkdir " + kvtest::Quote(saved) +
                " && pdfdetach -saveall -o " + kvtest::Quote(saved) + " " + kvtest::Quote(pdf));
    for (const std::string &name : d.names)
        d.files[name] = kvtest::ReadFile(saved + "/" + name);
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

} // namespace
