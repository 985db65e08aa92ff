#include "test_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>

namespace kvtest {

TempDir::TempDir() {
    const char *base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/kvpdf-test-XXXXXX";
    if (!mkdtemp(&templ[0])) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

TempDir::~TempDir() {
    Run("rm -rf '" + path_ + "'");
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

long long FileSizeOf(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

std::string CorpusDir() {
    const char *env = getenv("KVPDF_CORPUS");
    std::vector<std::string> candidates;
    if (env && *env) candidates.push_back(env);
    candidates.push_back(KVPDF_SOURCE_DIR "/../shared/corpus");
    candidates.push_back("/work/shared/corpus");
    for (const auto &c : candidates) {
        struct stat st;
        if (stat((c + "/manifest.tsv").c_str(), &st) == 0) return c;
    }
    return "";
}

std::vector<std::vector<std::pair<std::string, std::string>>> CorpusManifest() {
    std::vector<std::vector<std::pair<std::string, std::string>>> rows;
    std::string dir = CorpusDir();
    if (dir.empty()) return rows;
    std::istringstream in(ReadFile(dir + "/manifest.tsv"));
    std::string line;
    std::vector<std::string> columns;
    auto split = [](const std::string &l) {
        std::vector<std::string> cells;
        std::string cell;
        std::istringstream s(l);
        while (std::getline(s, cell, '\t'))
            cells.push_back(cell);
        return cells;
    };
    while (std::getline(in, line)) {
        auto cells = split(line);
        if (columns.empty()) {
            columns = cells;
            continue;
        }
        std::vector<std::pair<std::string, std::string>> row;
        for (size_t i = 0; i < columns.size(); ++i)
            row.emplace_back(columns[i], i < cells.size() ? cells[i] : "");
        rows.push_back(row);
    }
    return rows;
}

std::string ManifestValue(const std::vector<std::pair<std::string, std::string>> &row,
                          const std::string &column) {
    for (const auto &c : row)
        if (c.first == column) return c.second;
    return "";
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

std::vector<int> RingCodes(KvPdfHandle handle) {
    std::vector<int> codes;
    ErrorEntry e;
    for (int i = 0; i <= KvPdfGetLastErrorIndex(handle); ++i)
        if (KvPdfGetError(handle, i, &e) == 1) codes.push_back(e.code);
    return codes;
}

} // namespace kvtest
