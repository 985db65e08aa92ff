// Shared helpers of the test programs: temporary folders, files, the corpus, and
// running the independent checkers.
#ifndef KVPDF_TESTS_TEST_SUPPORT_H
#define KVPDF_TESTS_TEST_SUPPORT_H

#include "kvpdf.h"

#include <string>
#include <vector>

namespace kvtest {

// A fresh folder under the system's temporary directory, removed with its files.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void WriteFile(const std::string &path, const std::string &bytes);
std::string ReadFile(const std::string &path);
// The size of a file, -1 when there is none.
long long FileSizeOf(const std::string &path);

// The shared corpus folder, or "" when it is not on this machine.
std::string CorpusDir();
// Rows of the corpus manifest: column name -> value.
std::vector<std::vector<std::pair<std::string, std::string>>> CorpusManifest();
std::string ManifestValue(const std::vector<std::pair<std::string, std::string>> &row,
                          const std::string &column);

// Runs a shell command; returns its exit status and fills its standard output.
int Run(const std::string &command, std::string *output = nullptr);

// The error ring of a handle, newest last, as "code" values.
std::vector<int> RingCodes(KvPdfHandle handle);

} // namespace kvtest

#endif
