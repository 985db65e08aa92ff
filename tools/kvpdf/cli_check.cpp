// SPDX-License-Identifier: Apache-2.0
// Checks of what a person types on the command line, made before any work starts, and
// the one-line causes of failures: each says the file or option and what is wrong.
#include "cli.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {

bool Number(const Args &a, const char *flag, int64_t min, int64_t max, int64_t *value) {
    if (!a.has(flag)) return true;
    const std::string text = a.value(flag);
    char *end = nullptr;
    errno = 0;
    const long long n = strtoll(text.c_str(), &end, 10);
    // Blanks strtoll would skip and a leading '+' are refused too: a number is digits.
    const bool digits = !text.empty() && (isdigit(static_cast<unsigned char>(text[0])) ||
                                          (text[0] == '-' && text.size() > 1));
    if (!digits || *end || errno == ERANGE || n < min || n > max) {
        fprintf(stderr, "kvpdf: %s %s: not a whole number from %" PRId64 " to %" PRId64 "\n", flag,
                text.c_str(), min, max);
        return false;
    }
    *value = n;
    return true;
}

std::string InputProblem(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return path + ": cannot open: " + strerror(errno);
    if (S_ISDIR(st.st_mode)) return path + ": is a folder, not a file";
    if (S_ISREG(st.st_mode) && st.st_size > kMaxInput)
        return path + ": too large (" + std::to_string(st.st_size) +
               " bytes): a PDF file of 4 GiB or more cannot be described by the 32-bit offsets "
               "this format uses";
    return "";
}

bool InputFile(const std::string &path) {
    const std::string problem = InputProblem(path);
    if (!problem.empty()) fprintf(stderr, "kvpdf: %s\n", problem.c_str());
    return problem.empty();
}

bool OutputFile(const std::string &path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    struct stat st;
    const char *cause = stat(folder.c_str(), &st) != 0      ? strerror(errno)
                        : !S_ISDIR(st.st_mode)              ? "its folder is not a folder"
                        : access(folder.c_str(), W_OK) != 0 ? "its folder is not writable"
                                                            : nullptr;
    if (cause) fprintf(stderr, "kvpdf: %s: cannot write: %s\n", path.c_str(), cause);
    return cause == nullptr;
}

bool HttpTimeout(const Args &a) {
    int64_t seconds = kHttpSeconds;
    if (!Number(a, "--timeout", 1, 600, &seconds)) return false;
    kvsx_set_http_timeout(static_cast<int>(seconds));
    return true;
}

std::string NetworkCause() {
    const char *text = kvsx_last_message();
    return text && *text ? text : "no cause recorded";
}

std::string FailureLine(KvPdfHandle h, const std::string &file, const std::string &what,
                        int32_t code) {
    const std::string cause = h > 0 ? Message(h, code) : "";
    return "kvpdf: " + file + ": " + what + (cause.empty() ? "" : ": ") + cause + " (code " +
           std::to_string(code) + ")";
}

int Failure(KvPdfHandle h, const std::string &file, const std::string &what, int32_t code) {
    fprintf(stderr, "%s\n%s", FailureLine(h, file, what, code).c_str(),
            h > 0 ? Messages(h).c_str() : "");
    return 1;
}

} // namespace cli
