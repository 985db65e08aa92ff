// Visible signatures look right: the signed page, rendered by pdftoppm, shows the stamp
// inside the widget's rectangle and is unchanged elsewhere.
#include "kvtest.h"

namespace {

constexpr int kDpi = 72;
constexpr double kPageHeight = 792;

struct Layout {
    const char *name;
    bool sigappx;
    bool timestamp;
};

class Appearance : public ::testing::TestWithParam<Layout> {};

TEST_P(Appearance, StampFillsTheWidgetRectangleOnly) {
    kvtest::TempDir dir;
    kvtest::PdfBuilder b;
    b.Object(1, "<</Type/Catalog/Pages 2 0 R>>");
    b.Object(2, "<</Type/Pages/Kids[3 0 R]/Count 1>>");
    std::string content =
        "0.2 0.3 0.6 rg 50 600 512 120 re f BT /F1 18 Tf 60 560 Td (Contract) Tj ET";
    b.Object(3, "<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]/Contents 4 0 R"
                "/Resources<</Font<</F1 5 0 R>>>>>>");
    b.Object(4, "<</Length " + std::to_string(content.size()) + ">>stream\n" + content +
                    "\nendstream");
    b.Object(5, "<</Type/Font/Subtype/Type1/BaseFont/Helvetica>>");
    b.ClassicXref();
    const std::string src = dir.file("in.pdf"), dst = dir.file("out.pdf");
    kvtest::WriteFile(src, b.bytes());

    const Layout layout = GetParam();
    const double x1 = 150, y1 = 200, x2 = 450, y2 = 300;
    kvtest::SignRequest r;
    r.visible = true;
    r.timestamp = layout.timestamp;
    r.configure = [&](KvPdfHandle h) {
        KvPDFSetProperties(h, int32_t(x1), int32_t(y1), int32_t(x2), int32_t(y2), nullptr, nullptr,
                           nullptr, nullptr, nullptr, 0, 1);
    };
    if (layout.sigappx) {
        kvtest::WriteFile(dir.file("stamp.sigappx"),
                          kvtest::ReadFile(KVPDF_SOURCE_DIR "/data/image_b.sigappx"));
        r.logo_path = dir.file("stamp.sigappx");
    }
    ASSERT_EQ(kvtest::HostSign(src, dst, r).value, 1);
    const kvtest::Image before = kvtest::RenderPage(src, kDpi),
                        after = kvtest::RenderPage(dst, kDpi);
    auto region = [&](double left, double right, bool outside = false) {
        return kvtest::Compare(before, after, left, y1, right, y2, kPageHeight, kDpi, outside);
    };
    auto inside = region(x1, x2), outside = region(x1, x2, true);
    EXPECT_EQ(outside.changed_fraction, 0) << layout.name;
    // The stamp: a dark border and emblem on a light ground, over most of the box.
    EXPECT_GT(inside.changed_fraction, 0.15) << layout.name;
    EXPECT_LT(inside.mean_luma, 235) << layout.name;
    // Its right and left halves both hold ink: the picture is not squeezed into a corner.
    auto left = region(x1, (x1 + x2) / 2), right = region((x1 + x2) / 2, x2);
    EXPECT_GT(left.changed_fraction, 0.05) << layout.name;
    EXPECT_GT(right.changed_fraction, 0.05) << layout.name;
}

INSTANTIATE_TEST_SUITE_P(Layouts, Appearance,
                         ::testing::Values(Layout{"standard", false, false},
                                           Layout{"sigappx", true, false},
                                           Layout{"sigappx timestamp", true, true}),
                         [](const auto &test) {
                             return std::string(test.param.sigappx ? "Sigappx" : "Standard") +
                                    (test.param.timestamp ? "Timestamp" : "");
                         });

} // namespace
