// SPDX-License-Identifier: Apache-2.0
// The signing workflows a host opts into: the field's name, an existing unsigned field
// signed where it is, the page of the widget and certification.
#include "kvtest.h"

#include <sstream>

namespace {

using kvtest::HostSign;
using kvtest::SignRequest;

// A page rendered by pdftoppm at 36 dpi (half a point a pixel): width, height, RGB.
struct Image {
    int width = 0, height = 0;
    std::string rgb;
    // Pixels darker than white inside a rectangle in points (PDF's lower-left origin).
    int Inked(const std::vector<int> &rect, int page_height) const {
        int n = 0;
        for (int y = (page_height - rect[3]) / 2; y < (page_height - rect[1]) / 2; ++y)
            for (int x = rect[0] / 2; x < rect[2] / 2; ++x)
                n += static_cast<unsigned char>(rgb[3 * (size_t(y) * width + x)]) < 200;
        return n;
    }
};

Image Render(const std::string &pdf, int page) {
    const std::string prefix = pdf + "-" + std::to_string(page);
    const std::string p = std::to_string(page);
    EXPECT_EQ(kvtest::Run("pdftoppm -singlefile -r 36 -f " + p + " -l " + p + " " +
                          kvtest::Quote(pdf) + " " + kvtest::Quote(prefix)),
              0);
    Image image;
    std::istringstream in(kvtest::ReadFile(prefix + ".ppm"));
    std::string magic;
    int depth = 0;
    in >> magic >> image.width >> image.height >> depth;
    in.get();
    image.rgb.assign(std::istreambuf_iterator<char>(in), {});
    EXPECT_EQ(image.rgb.size(), size_t(3) * image.width * image.height) << magic;
    return image;
}

// The numbers after the last "/Rect[" of a file.
std::vector<int> LastRect(const std::string &pdf) {
    std::istringstream in(pdf.substr(pdf.rfind("/Rect[") + 6));
    std::vector<int> r(4);
    for (int &v : r)
        in >> v;
    return r;
}

std::string Corpus(const std::string &name) {
    const std::string dir = kvtest::CorpusDir();
    return dir.empty() ? "" : dir + "/" + name;
}

TEST(Workflow, NamedWidgetOnTheAskedPageInsideItsBox) {
    const std::string source = Corpus("classic-pagetree-depth2-01.pdf");
    if (source.empty()) GTEST_SKIP() << "no corpus";
    kvtest::TempDir dir;
    const std::string out = dir.file("page3.pdf");
    SignRequest r;
    r.visible = true;
    int32_t page = 3;
    r.configure = [&page](KvPdfHandle h) {
        KvPDFSetProperty(h, KVPDF_PROP_FIELD_NAME, KVPDF_TEXT("Approval \\(A\\)"));
        KvPDFSetProperty(h, KVPDF_PROP_PAGE, page);
        // Past the page's right edge: moved in, its size kept.
        const int32_t rect[4] = {500, 100, 700, 160};
        for (int i = 0; i < 4; ++i)
            KvPDFSetProperty(h, KVPDF_PROP_RECT_LLX + i, rect[i]);
    };
    ASSERT_EQ(HostSign(source, out, r).value, 1);
    EXPECT_TRUE(kvtest::CheckersAccept(out, 1));
    std::string report;
    (void)kvtest::RunPdfsig(out, &report);
    EXPECT_TRUE(kvtest::Contains(report, {"Signature Field Name: Approval (A)"}));
    const std::string signed_pdf = kvtest::ReadFile(out);
    const std::vector<int> rect = LastRect(signed_pdf);
    EXPECT_EQ(rect, (std::vector<int>{412, 100, 612, 160}));
    // Page 3 is object 7, under the second /Pages node: it names the widget.
    EXPECT_NE(signed_pdf.find("/P 7 0 R", kvtest::ReadFile(source).size()), std::string::npos);
    EXPECT_GT(Render(out, 3).Inked(rect, 792), 100);
    EXPECT_EQ(Render(source, 3).Inked(rect, 792), 0);
    EXPECT_EQ(Render(out, 1).rgb, Render(source, 1).rgb);

    page = 5;
    const kvtest::SignOutcome past = HostSign(source, dir.file("page5.pdf"), r);
    EXPECT_EQ(past.write, KVPDF_ERR_PAGE_NUMBER);
    EXPECT_EQ(past.ring.front(), KVPDF_ERR_PAGE_NUMBER);
}

// A form whose signature field "form.sig" (inline form, no /SigFlags) is its own widget,
// under a field without a type.
std::string EmptyFieldPdf() {
    kvtest::PdfBuilder b;
    b.Object(1, "<</Type/Catalog/Pages 2 0 R/AcroForm<</Fields[5 0 R]>>>>");
    b.Object(2, "<</Type/Pages/Kids[3 0 R]/Count 1>>");
    b.Object(3, "<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]/Annots[6 0 R 7 0 R]>>");
    b.Object(5, "<</T(form)/Kids[6 0 R 7 0 R]>>");
    b.Object(6, "<</Type/Annot/Subtype/Widget/FT/Sig/T(sig)/Parent 5 0 R/Rect[100 100 300 150]/P "
                "3 0 R/F 4>>");
    b.Object(7, "<</Type/Annot/Subtype/Widget/FT/Tx/T(note)/Parent 5 0 R/Rect[0 0 9 9]/P 3 0 R>>");
    b.ClassicXref();
    return b.bytes();
}

TEST(Workflow, AnExistingUnsignedFieldIsSignedWhereItIs) {
    kvtest::TempDir dir;
    kvtest::WriteFile(dir.file("form.pdf"), EmptyFieldPdf());
    struct Case {
        std::string source, name;
        int32_t fill;
        int32_t write;      // the result of the write
        uint32_t field = 0; // the object that gets /V, 0 for a new field
    };
    const std::string linearized = Corpus("xrefstream-linearized-updated-8rev-01.pdf");
    const std::string dss = Corpus("dts-only-xrefstream-dss-01.pdf");
    std::vector<Case> cases = {
        {dir.file("form.pdf"), "form.sig", 1, 1, 6},
        {dir.file("form.pdf"), "form.sig", 0, KVPDF_ERR_FIELD_EXISTS},
        {dir.file("form.pdf"), "form.note", 1, KVPDF_ERR_FIELD_EXISTS},
        {dir.file("0.pdf"), "form.sig", 1, KVPDF_ERR_FIELD_SIGNED},
        // Not a fully qualified name: a new field.
        {dir.file("0.pdf"), "sig", 1, 1},
    };
    if (!linearized.empty()) {
        cases.push_back({linearized, "Signature", 1, 1, 25});
        cases.push_back({linearized, "CheckBox2", 1, KVPDF_ERR_FIELD_EXISTS});
        cases.push_back({dss, "Signature1", 1, 1, 76});
    }
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.source + " " + c.name);
        const std::string out = dir.file(std::to_string(n++) + ".pdf");
        SignRequest r;
        r.visible = true;
        r.configure = [&c](KvPdfHandle h) {
            KvPDFSetProperty(h, KVPDF_PROP_FIELD_NAME, KVPDF_TEXT(c.name.c_str()));
            KvPDFSetProperty(h, KVPDF_PROP_SIGN_EXISTING_FIELD, c.fill);
            if (c.name == "form.sig") KvPDFSetProperty(h, KVPDF_PROP_CERTIFY, 2);
        };
        const kvtest::SignOutcome o = HostSign(c.source, out, r);
        ASSERT_EQ(o.write, c.write);
        if (o.write != 1) {
            EXPECT_EQ(o.ring.front(), c.write);
            continue;
        }
        ASSERT_EQ(o.value, 1);
        EXPECT_TRUE(kvtest::QpdfCheck(out));
        // The field pdfsig lists under the name (fully qualified) holds a valid signature
        // over the whole file.
        int named = 0;
        for (const kvtest::PdfsigSignature &p : kvtest::RunPdfsig(out)) {
            if (p.raw.find("Signature Field Name: " + c.name + "\n") == std::string::npos) continue;
            ++named;
            EXPECT_TRUE(p.valid && p.whole_file) << p.raw;
        }
        EXPECT_EQ(named, 1);
        const std::string source = kvtest::ReadFile(c.source);
        const std::string update = kvtest::ReadFile(out).substr(source.size());
        // A filled field: no widget of the update's own, the field's text kept around /V.
        EXPECT_EQ(update.find("/F 132/T(") == std::string::npos, c.field != 0);
        if (c.field) {
            std::string before, after;
            const std::string show = "qpdf --show-object=" + std::to_string(c.field) + " ";
            (void)kvtest::Run(show + kvtest::Quote(c.source) + " 2>/dev/null", &before);
            (void)kvtest::Run(show + kvtest::Quote(out) + " 2>/dev/null", &after);
            const size_t rect = before.find("/Rect");
            EXPECT_TRUE(kvtest::Contains(
                after, {before.substr(rect, before.find(']', rect) - rect), "/V "}));
        }
        if (c.field == 6) {
            EXPECT_TRUE(kvtest::Contains(update, {"6 0 obj\n<</V ", "<</Perms<</DocMDP ",
                                                  "/AcroForm<</SigFlags 3/Fields[5 0 R]>>"}));
        }
    }
}

} // namespace
