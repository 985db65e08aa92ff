// kvpdf: the command-line front end of the PDF signature library.
#include "kvpdf.h"
#include "pdfsign_inspect.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iconv.h>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: kvpdf COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  info FILE     show what the library reads of a PDF: header, linearization,\n"
    "                cross-reference sections, objects, root\n"
    "  version       show the library version\n"
    "\n"
    "Run 'kvpdf COMMAND --help' for the options of a command.\n";

const char kInfoUsage[] =
    "usage: kvpdf info FILE [--lang en|hu]\n"
    "\n"
    "Reads FILE's header and its whole cross-reference chain (classic tables and\n"
    "cross-reference streams, following /Prev) and prints them. The file is never\n"
    "written. Exit status 0 when the file is read, 1 when the library refuses it\n"
    "(the library's code and message are printed), 2 for a usage error.\n"
    "\n"
    "  --lang en|hu   language of the library's messages (default en)\n";

// Library messages are Windows-1250; the terminal wants UTF-8.
std::string ToUtf8(const std::string &text) {
    iconv_t cd = iconv_open("UTF-8", "WINDOWS-1250");
    if (cd == reinterpret_cast<iconv_t>(-1)) return text;
    std::string out(text.size() * 3 + 1, '\0');
    char *in = const_cast<char *>(text.data());
    size_t in_left = text.size();
    char *dst = &out[0];
    size_t out_left = out.size();
    size_t rc = iconv(cd, &in, &in_left, &dst, &out_left);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1)) return text;
    out.resize(out.size() - out_left);
    return out;
}

bool WantsHelp(const std::vector<std::string> &args) {
    for (const auto &a : args)
        if (a == "--help" || a == "-h") return true;
    return false;
}

int ParseLang(const std::vector<std::string> &args, size_t *i, int32_t *locale) {
    if (*i + 1 >= args.size()) return 0;
    const std::string &v = args[++*i];
    if (v == "en")
        *locale = KVPDF_LOCALE_EN;
    else if (v == "hu")
        *locale = KVPDF_LOCALE_HU;
    else
        return 0;
    return 1;
}

int CommandInfo(const std::vector<std::string> &args) {
    if (WantsHelp(args)) {
        fputs(kInfoUsage, stdout);
        return 0;
    }
    std::string path;
    int32_t locale = KVPDF_LOCALE_EN;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--lang") {
            if (!ParseLang(args, &i, &locale)) {
                fputs(kInfoUsage, stderr);
                return 2;
            }
        } else if (path.empty() && args[i].rfind("--", 0) != 0) {
            path = args[i];
        } else {
            fputs(kInfoUsage, stderr);
            return 2;
        }
    }
    if (path.empty()) {
        fputs(kInfoUsage, stderr);
        return 2;
    }
    kvpdf::DocumentInfo info;
    std::string message;
    int32_t rc = kvpdf::InspectDocument(path.c_str(), locale, &info, &message);
    if (rc != 1) {
        fprintf(stderr, "kvpdf: cannot read %s (code %d)\n%s\n", path.c_str(), rc,
                ToUtf8(message).c_str());
        return 1;
    }
    printf("File: %s (%u bytes)\n", path.c_str(), info.file_length);
    printf("Header: %%PDF-%d.%d (header length %d)\n", info.major, info.minor, info.header_length);
    printf("Linearized: %s\n", info.linearized ? "yes" : "no");
    printf("Cross-reference sections (newest first): %zu\n", info.sections.size());
    for (size_t i = 0; i < info.sections.size(); ++i)
        printf("  %zu. offset %u, %s\n", i + 1, info.sections[i].offset,
               info.sections[i].is_stream ? "stream" : "table");
    printf("Objects: %u in use (%u in object streams), /Size %d\n", info.objects_in_use,
           info.compressed_objects, info.declared_size);
    printf("Root object: %d\n", info.root_obj);
    if (info.info_obj) printf("Info object: %d\n", info.info_obj);
    return 0;
}

int CommandVersion() {
    char version[16];
    KvPDFGetVersionStr(version);
    printf("kvpdf %s\n", version);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fputs(kUsage, stderr);
        return 2;
    }
    std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "--help" || command == "-h" || command == "help") {
        fputs(kUsage, stdout);
        return 0;
    }
    if (command == "info") return CommandInfo(args);
    if (command == "version" || command == "--version") return CommandVersion();
    fprintf(stderr, "kvpdf: unknown command '%s'\n\n%s", command.c_str(), kUsage);
    return 2;
}
