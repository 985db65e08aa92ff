#include "pdf_check.h"

#include "test_support.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace kvtest {
namespace {

std::string Quote(const std::string &s) {
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// "  - Key: value" -> value, when the line is about that key.
bool Field(const std::string &line, const std::string &key, std::string *value) {
    const std::string head = "  - " + key + ": ";
    if (line.compare(0, head.size(), head) != 0) return false;
    *value = line.substr(head.size());
    return true;
}

// The pixel box [x0,x1) x [y0,y1) whose centres lie in the rectangle.
struct Box {
    int x0, y0, x1, y1;
};

Box PixelBox(const Image &img, double x1, double y1, double x2, double y2, double page_height_pt,
             int dpi) {
    const double s = dpi / 72.0;
    auto first = [](double edge, int limit) {
        return std::clamp(static_cast<int>(std::ceil(edge - 0.5)), 0, limit);
    };
    return {first(std::min(x1, x2) * s, img.width),
            first((page_height_pt - std::max(y1, y2)) * s, img.height),
            first(std::max(x1, x2) * s, img.width),
            first((page_height_pt - std::min(y1, y2)) * s, img.height)};
}

template <typename Take> RegionStats Measure(const Image &before, const Image &after, Take take) {
    if (before.width != after.width || before.height != after.height)
        throw std::runtime_error("renderings of different sizes");
    RegionStats st;
    double luma = 0;
    size_t changed = 0;
    for (int y = 0; y < after.height; ++y) {
        for (int x = 0; x < after.width; ++x) {
            if (!take(x, y)) continue;
            const size_t i = (static_cast<size_t>(y) * after.width + x) * 3;
            const uint8_t *p = &after.rgb[i], *q = &before.rgb[i];
            luma += 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
            int d = 0;
            for (int c = 0; c < 3; ++c)
                d = std::max(d, std::abs(p[c] - q[c]));
            if (d > 32) ++changed;
            ++st.pixels;
        }
    }
    if (st.pixels) {
        st.mean_luma = luma / st.pixels;
        st.changed_fraction = static_cast<double>(changed) / st.pixels;
    }
    return st;
}

// Reads a binary PPM (P6, maxval 255) as pdftoppm writes it.
Image ParsePpm(const std::string &bytes) {
    size_t pos = 0;
    auto token = [&]() {
        for (;;) {
            while (pos < bytes.size() && isspace(static_cast<unsigned char>(bytes[pos])))
                ++pos;
            if (pos < bytes.size() && bytes[pos] == '#') {
                while (pos < bytes.size() && bytes[pos] != '\n')
                    ++pos;
                continue;
            }
            break;
        }
        size_t start = pos;
        while (pos < bytes.size() && !isspace(static_cast<unsigned char>(bytes[pos])))
            ++pos;
        return bytes.substr(start, pos - start);
    };
    if (token() != "P6") throw std::runtime_error("not a binary PPM");
    Image img;
    img.width = std::atoi(token().c_str());
    img.height = std::atoi(token().c_str());
    if (token() != "255" || img.width <= 0 || img.height <= 0)
        throw std::runtime_error("unexpected PPM header");
    ++pos; // the single whitespace byte ending the header
    const size_t n = static_cast<size_t>(img.width) * img.height * 3;
    if (bytes.size() < pos + n) throw std::runtime_error("PPM shorter than its header says");
    img.rgb.assign(bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                   bytes.begin() + static_cast<std::ptrdiff_t>(pos + n));
    return img;
}

} // namespace

std::vector<PdfsigSignature> RunPdfsig(const std::string &pdf, std::string *output) {
    // stderr apart: interleaved with buffered stdout it could split a line.
    TempDir dir;
    std::string out;
    Run("pdfsig -nocert " + Quote(pdf) + " 2>" + Quote(dir.file("err")), &out);
    if (output) {
        const std::string err = ReadFile(dir.file("err"));
        *output = out + (err.empty() ? "" : "[pdfsig stderr]\n" + err);
    }
    std::vector<PdfsigSignature> sigs;
    std::istringstream lines(out);
    std::string line, value;
    while (std::getline(lines, line)) {
        if (line.compare(0, 11, "Signature #") == 0) {
            sigs.emplace_back();
            sigs.back().index = std::atoi(line.c_str() + 11);
        }
        if (sigs.empty()) continue;
        PdfsigSignature &s = sigs.back();
        s.raw += line + "\n";
        if (Field(line, "Signature Field Name", &value))
            s.field_name = value;
        else if (Field(line, "Signer Certificate Common Name", &value))
            s.signer = value;
        else if (Field(line, "Signature Type", &value))
            s.subfilter = value;
        else if (Field(line, "Signed Ranges", &value))
            s.signed_ranges = value;
        else if (Field(line, "Signing Time", &value))
            s.signing_time = value;
        else if (Field(line, "Signature Validation", &value)) {
            s.validation = value;
            s.valid = value == "Signature is Valid.";
        } else if (line == "  - Total document signed")
            s.total_document_signed = true;
    }
    return sigs;
}

bool QpdfCheck(const std::string &pdf, std::string *output) {
    return Run("qpdf --check " + Quote(pdf) + " 2>&1", output) == 0;
}

Image RenderPage(const std::string &pdf, int page, int dpi) {
    TempDir dir;
    const std::string p = std::to_string(page);
    std::string out;
    int status = Run("pdftoppm -r " + std::to_string(dpi) + " -f " + p + " -l " + p +
                         " -singlefile " + Quote(pdf) + " " + Quote(dir.file("page")) + " 2>&1",
                     &out);
    if (status != 0) throw std::runtime_error("pdftoppm failed on " + pdf + ":\n" + out);
    return ParsePpm(ReadFile(dir.file("page.ppm")));
}

RegionStats CompareRegion(const Image &before, const Image &after, double x1, double y1, double x2,
                          double y2, double page_height_pt, int dpi) {
    const Box b = PixelBox(after, x1, y1, x2, y2, page_height_pt, dpi);
    return Measure(before, after,
                   [&](int x, int y) { return x >= b.x0 && x < b.x1 && y >= b.y0 && y < b.y1; });
}

RegionStats CompareOutside(const Image &before, const Image &after, double x1, double y1, double x2,
                           double y2, double page_height_pt, int dpi, int margin_px) {
    const Box b = PixelBox(after, x1, y1, x2, y2, page_height_pt, dpi);
    return Measure(before, after, [&](int x, int y) {
        return x < b.x0 - margin_px || x >= b.x1 + margin_px || y < b.y0 - margin_px ||
               y >= b.y1 + margin_px;
    });
}

} // namespace kvtest
