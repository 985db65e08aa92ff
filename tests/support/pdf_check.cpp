#include "kvtest.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>

namespace kvtest {

std::vector<PdfsigSignature> RunPdfsig(const std::string &pdf, std::string *output) {
    // stderr apart: interleaved with buffered stdout it could split a line.
    TempDir dir;
    std::string out;
    Run("pdfsig -nocert " + Quote(pdf) + " 2>" + Quote(dir.file("err")), &out);
    if (output) *output = out + ReadFile(dir.file("err"));
    std::vector<PdfsigSignature> sigs;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Signature #", 0) == 0) sigs.emplace_back();
        if (sigs.empty()) continue;
        PdfsigSignature &s = sigs.back();
        s.raw += line + "\n";
        auto field = [&](const char *key, std::string *value) {
            const std::string head = std::string("  - ") + key + ": ";
            if (line.rfind(head, 0) == 0) *value = line.substr(head.size());
        };
        field("Signature Type", &s.subfilter);
        field("Signed Ranges", &s.signed_ranges);
        s.valid |= line == "  - Signature Validation: Signature is Valid.";
        s.whole_file |= line == "  - Total document signed";
    }
    return sigs;
}

bool QpdfCheck(const std::string &pdf, std::string *output) {
    return Run("qpdf --check " + Quote(pdf) + " 2>&1", output) == 0;
}

::testing::AssertionResult CheckersAccept(const std::string &pdf, size_t signatures) {
    std::string out;
    if (!QpdfCheck(pdf, &out)) return ::testing::AssertionFailure() << "qpdf --check:\n" << out;
    auto sigs = RunPdfsig(pdf, &out);
    bool ok = sigs.size() == signatures && (sigs.empty() || sigs.back().whole_file);
    for (const auto &s : sigs)
        ok &= s.valid || s.subfilter == "unknown";
    if (ok) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "pdfsig:\n" << out;
}

Image RenderPage(const std::string &pdf, int dpi) {
    TempDir dir;
    std::string out;
    if (Run("pdftoppm -r " + std::to_string(dpi) + " -f 1 -l 1 -singlefile " + Quote(pdf) + " " +
                Quote(dir.file("page")) + " 2>&1",
            &out) != 0)
        throw std::runtime_error("pdftoppm failed on " + pdf + ":\n" + out);
    // A binary PPM as pdftoppm writes it: "P6\n<w> <h>\n255\n" and the pixels.
    std::istringstream ppm(ReadFile(dir.file("page.ppm")));
    std::string magic;
    int maxval = 0;
    Image img;
    ppm >> magic >> img.width >> img.height >> maxval;
    ppm.get();
    img.rgb.resize(static_cast<size_t>(img.width) * img.height * 3);
    ppm.read(reinterpret_cast<char *>(img.rgb.data()),
             static_cast<std::streamsize>(img.rgb.size()));
    if (magic != "P6" || maxval != 255 || !ppm) throw std::runtime_error("not a PPM of pdftoppm");
    return img;
}

RegionStats Compare(const Image &before, const Image &after, double x1, double y1, double x2,
                    double y2, double h_pt, int dpi, bool outside) {
    if (before.width != after.width || before.height != after.height)
        throw std::runtime_error("renderings of different sizes");
    // The pixels whose centres lie in the rectangle: [bx0, bx1) x [by0, by1).
    const double s = dpi / 72.0;
    auto edge = [](double at, int limit) {
        return std::clamp(static_cast<int>(std::ceil(at - 0.5)), 0, limit);
    };
    const int bx0 = edge(std::min(x1, x2) * s, after.width);
    const int bx1 = edge(std::max(x1, x2) * s, after.width);
    const int by0 = edge((h_pt - std::max(y1, y2)) * s, after.height);
    const int by1 = edge((h_pt - std::min(y1, y2)) * s, after.height);
    const int m = outside ? 2 : 0; // anti-aliased edges are no change outside
    RegionStats st;
    size_t pixels = 0, changed = 0;
    for (int y = 0; y < after.height; ++y) {
        for (int x = 0; x < after.width; ++x) {
            const bool in = x >= bx0 - m && x < bx1 + m && y >= by0 - m && y < by1 + m;
            if (in == outside) continue;
            const size_t i = (static_cast<size_t>(y) * after.width + x) * 3;
            const uint8_t *p = &after.rgb[i], *q = &before.rgb[i];
            st.mean_luma += 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
            int d = 0;
            for (int c = 0; c < 3; ++c)
                d = std::max(d, std::abs(p[c] - q[c]));
            changed += d > 32;
            ++pixels;
        }
    }
    if (pixels) st.mean_luma /= pixels, st.changed_fraction = double(changed) / pixels;
    return st;
}

} // namespace kvtest
