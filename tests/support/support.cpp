// SPDX-License-Identifier: Apache-2.0
#include "kvtest.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>

namespace kvtest {

TempDir::TempDir() {
    const char *base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/kvtest-XXXXXX";
    if (!mkdtemp(&templ[0])) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

TempDir::~TempDir() {
    Run("rm -rf " + Quote(path_));
}

void WriteFile(const std::string &path, const std::string &bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string Quote(const std::string &text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

int Run(const std::string &command, std::string *output) {
    FILE *p = popen(command.c_str(), "r");
    if (!p) return -1;
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int status = pclose(p);
    if (output) *output = out;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

::testing::AssertionResult Openssl(const std::string &args) {
    std::string out;
    const int rc = Run(KVTEST_OPENSSL " " + args + " 2>&1", &out);
    if (rc == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "openssl " << args << ": exit " << rc << "\n" << out;
}

::testing::AssertionResult Contains(const std::string &text,
                                    const std::vector<std::string> &fragments) {
    std::string missing;
    for (const std::string &f : fragments)
        if (text.find(f) == std::string::npos) missing += "\n  missing: " + f;
    if (missing.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << missing << "\n  in:\n" << text;
}

std::string CorpusDir() {
    const char *env = getenv("KVPDF_CORPUS");
    const std::string dir = env && *env ? env : KVPDF_SOURCE_DIR "/../shared/corpus";
    return std::ifstream(dir + "/manifest.tsv") ? dir : "";
}

std::vector<Row> CorpusManifest() {
    std::vector<Row> rows;
    std::istringstream in(ReadFile(CorpusDir() + "/manifest.tsv"));
    std::vector<std::string> columns;
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> cells;
        std::istringstream s(line);
        for (std::string cell; std::getline(s, cell, '\t');)
            cells.push_back(cell);
        if (columns.empty()) {
            columns = cells;
            continue;
        }
        Row row;
        for (size_t i = 0; i < columns.size(); ++i)
            row[columns[i]] = i < cells.size() ? cells[i] : "";
        rows.push_back(row);
    }
    return rows;
}

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
