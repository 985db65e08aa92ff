// SPDX-License-Identifier: Apache-2.0
#include "kvtest.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>
#include <zlib.h>

namespace kvtest {

std::string Deflate(const std::string &data, int level) {
    uLongf n = compressBound(data.size());
    std::string out(n, '\0');
    if (compress2(reinterpret_cast<Bytef *>(&out[0]), &n,
                  reinterpret_cast<const Bytef *>(data.data()), data.size(), level) != Z_OK)
        throw std::runtime_error("compress2 failed");
    out.resize(n);
    return out;
}

std::string AppendUpdate(const std::string &pdf, const std::map<uint32_t, std::string> &objects) {
    auto last_number = [&](const char *key) {
        size_t at = pdf.rfind(key);
        return at == std::string::npos ? 0ul : std::stoul(pdf.substr(at + strlen(key)));
    };
    std::string out = pdf;
    if (!out.empty() && out.back() != '\n') out += '\n';
    std::map<uint32_t, size_t> offsets;
    uint32_t size = static_cast<uint32_t>(last_number("/Size"));
    for (const auto &[n, body] : objects) {
        if (!body.empty()) offsets[n] = out.size();
        if (!body.empty()) out += std::to_string(n) + " 0 obj\n" + body + "\nendobj\n";
        size = std::max(size, n + 1);
    }
    const size_t at = out.size();
    out += "xref\n";
    for (const auto &[n, body] : objects) {
        char line[48];
        snprintf(line, sizeof line, "%u 1\n%010zu %05u %c\r\n", n, body.empty() ? 0 : offsets[n],
                 body.empty() ? 1u : 0u, body.empty() ? 'f' : 'n');
        out += line;
    }
    out += "trailer\n<</Size " + std::to_string(size) + "/Root " +
           std::to_string(last_number("/Root")) + " 0 R/Prev " +
           std::to_string(last_number("startxref")) + ">>\nstartxref\n" + std::to_string(at) +
           "\n%%EOF\n";
    return out;
}

PdfBuilder OnePage(const std::string &header) {
    PdfBuilder b(header);
    b.Object(1, "<</Type/Catalog/Pages 2 0 R>>");
    b.Object(2, "<</Type/Pages/Kids[3 0 R]/Count 1>>");
    b.Object(3, "<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]>>");
    return b;
}

std::string OnePagePdf(const std::string &header) {
    PdfBuilder b = OnePage(header);
    b.ClassicXref();
    return b.bytes();
}

std::string OnePagePdfOfSize(size_t stream_bytes) {
    PdfBuilder b = OnePage();
    std::string data(stream_bytes, '\0');
    std::mt19937 rng(7);
    for (char &c : data)
        c = static_cast<char>(rng());
    b.Object(4, "<</Length " + std::to_string(stream_bytes) + ">>stream\n" + data + "\nendstream");
    b.ClassicXref();
    return b.bytes();
}

void PdfBuilder::Object(uint32_t number, const std::string &body) {
    pending_[number] = {1, data_.size(), 0};
    all_[number] = data_.size();
    if (number > highest_) highest_ = number;
    data_ += std::to_string(number) + " 0 obj\n" + body + "\nendobj\n";
}

void PdfBuilder::ObjectStream(uint32_t number,
                              const std::vector<std::pair<uint32_t, std::string>> &objects) {
    std::string head, bodies;
    for (size_t i = 0; i < objects.size(); ++i) {
        head += std::to_string(objects[i].first) + " " + std::to_string(bodies.size()) + " ";
        bodies += objects[i].second + "\n";
        pending_[objects[i].first] = {2, number, i};
        if (objects[i].first > highest_) highest_ = objects[i].first;
    }
    std::string packed = Deflate(head + bodies);
    Object(number, "<</Type/ObjStm/N " + std::to_string(objects.size()) + "/First " +
                       std::to_string(head.size()) + "/Filter/FlateDecode/Length " +
                       std::to_string(packed.size()) + ">>\nstream\n" + packed + "\nendstream");
}

std::vector<std::pair<uint32_t, uint32_t>> PdfBuilder::Runs() const {
    std::vector<std::pair<uint32_t, uint32_t>> runs;
    for (const auto &entry : pending_) {
        if (!runs.empty() && runs.back().first + runs.back().second == entry.first)
            ++runs.back().second;
        else
            runs.push_back({entry.first, 1});
    }
    return runs;
}

size_t PdfBuilder::ClassicXref(const ClassicOptions &o) {
    const size_t at = data_.size();
    std::string x = "xref\n";
    if (!pending_.count(0)) pending_[0] = {0, 0, 65535};
    for (auto [first, count] : Runs()) {
        x += std::to_string(first) + " " + std::to_string(count) + "\n";
        for (uint32_t n = first; n < first + count; ++n) {
            const Entry &e = pending_.at(n);
            char line[32];
            snprintf(line, sizeof line, "%010llu %05u %c",
                     e.type ? (unsigned long long)e.field2 : 0, e.type ? o.generation : 65535u,
                     e.type ? 'n' : 'f');
            x += line + o.eol;
        }
    }
    const int64_t size = o.size >= 0 ? o.size : highest_ + 1;
    x += "trailer\n<</Size " + std::to_string(size) + "/Root 1 0 R";
    if (last_xref_ >= 0) x += "/Prev " + std::to_string(last_xref_);
    data_ += x + o.trailer_extra + ">>\nstartxref\n" + std::to_string(at) + "\n%%EOF\n";
    pending_.clear();
    last_xref_ = static_cast<int64_t>(at);
    return at;
}

size_t PdfBuilder::XrefStream(uint32_t number, const StreamOptions &o) {
    const size_t at = data_.size();
    pending_[number] = {1, at, 0};
    if (number > highest_) highest_ = number;
    std::string rows, index;
    const int row_length = o.widths[0] + o.widths[1] + o.widths[2];
    auto put = [&](uint64_t v, int w) {
        for (int i = w - 1; i >= 0; --i)
            rows += static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    for (auto [first, count] : Runs())
        index += std::to_string(first) + " " + std::to_string(count) + " ";
    for (const auto &[n, e] : pending_) {
        put(static_cast<uint64_t>(e.type), o.widths[0]);
        put(e.field2, o.widths[1]);
        put(e.field3, o.widths[2]);
    }
    if (o.predictor == 12) {
        std::string encoded, prev(row_length, '\0');
        for (size_t r = 0; r < rows.size(); r += row_length) {
            encoded += '\x02';
            for (int i = 0; i < row_length; ++i) {
                encoded += static_cast<char>(rows[r + i] - prev[i]);
                prev[i] = rows[r + i];
            }
        }
        rows = encoded;
    }
    std::string packed = Deflate(rows);
    int64_t size = o.size >= 0 ? o.size : highest_ + 1;
    std::string dict = "<</Type/XRef/Size " + std::to_string(size) + "/Root 1 0 R/W [" +
                       std::to_string(o.widths[0]) + " " + std::to_string(o.widths[1]) + " " +
                       std::to_string(o.widths[2]) + "]";
    if (o.use_index) dict += "/Index [" + index + "]";
    if (last_xref_ >= 0) dict += "/Prev " + std::to_string(last_xref_);
    if (o.predictor == 12)
        dict += "/DecodeParms<</Columns " + std::to_string(row_length) + "/Predictor 12>>";
    dict += "/Filter/FlateDecode/Length " + std::to_string(packed.size()) + ">>";
    data_ += std::to_string(number) + " 0 obj\n" + dict + "\nstream\n" + packed +
             "\nendstream\nendobj\nstartxref\n" + std::to_string(at) + "\n%%EOF\n";
    all_[number] = at;
    pending_.clear();
    last_xref_ = static_cast<int64_t>(at);
    return at;
}

} // namespace kvtest
