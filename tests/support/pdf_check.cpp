#include "kvtest.h"

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

} // namespace kvtest
