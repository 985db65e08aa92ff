// kvpdf: the command-line front end of the PDF signature library.
#include "kvpdf.h"
#include "pdfsign_inspect.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iconv.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

const char kUsage[] =
    "usage: kvpdf COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  info FILE        show what the library reads of a PDF: header, linearization,\n"
    "                   cross-reference sections, objects, root\n"
    "  signatures FILE  list the signatures and document timestamps of a PDF\n"
    "  version          show the library version\n"
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

const char kSignaturesUsage[] =
    "usage: kvpdf signatures FILE [--lang en|hu]\n"
    "\n"
    "Lists what the library finds of FILE's signatures and document timestamps: the\n"
    "field, the kind and subfilter, the texts of the signature dictionary, the offset of\n"
    "the signature value, the byte range, and whether the byte range reaches the end of\n"
    "the file (a signature followed by later revisions does not). The file is never\n"
    "written. The search reads the first page's annotations, else the form's fields, and\n"
    "stops at the first one that is not a signed signature field.\n"
    "Exit status 0 when the search completes (also with no signature), 1 when the library\n"
    "stops it (its code and message are printed), 2 for a usage error.\n"
    "\n"
    "  --lang en|hu   language of the library's messages (default en)\n";

std::string Convert(const std::string &text, const char *from) {
    iconv_t cd = iconv_open("UTF-8", from);
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

// Library messages are Windows-1250; the terminal wants UTF-8.
std::string ToUtf8(const std::string &text) {
    return Convert(text, "WINDOWS-1250");
}

bool ValidUtf8(const std::string &s) {
    iconv_t cd = iconv_open("UTF-8", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return true;
    std::string out(s.size() + 1, '\0');
    char *in = const_cast<char *>(s.data()), *dst = &out[0];
    size_t in_left = s.size(), out_left = out.size();
    bool ok = iconv(cd, &in, &in_left, &dst, &out_left) != static_cast<size_t>(-1);
    iconv_close(cd);
    return ok;
}

// A text string of a PDF: UTF-16BE with its byte-order mark, else PDFDocEncoding, which
// matches Latin-1 for the letters that matter here.
std::string PdfText(const char *value) {
    if (!value) return "-";
    std::string s;
    // Literal-string escapes (ISO 32000-1, 7.3.4.2), for display.
    for (const char *p = value; *p; ++p) {
        if (*p != '\\' || !p[1]) {
            s += *p;
            continue;
        }
        char c = *++p;
        if (c >= '0' && c <= '7') {
            int v = 0;
            for (int n = 0; n < 3 && *p >= '0' && *p <= '7'; ++n, ++p)
                v = v * 8 + (*p - '0');
            --p;
            s += static_cast<char>(v);
        } else {
            const char *from = "nrtbf", *to = "\n\r\t\b\f";
            const char *k = strchr(from, c);
            s += k ? to[k - from] : c;
        }
    }
    while (!s.empty() && strchr(" \t\r\n", s.back()))
        s.pop_back();
    if (s.size() >= 2 && static_cast<unsigned char>(s[0]) == 0xFE &&
        static_cast<unsigned char>(s[1]) == 0xFF)
        return Convert(s.substr(2), "UTF-16BE");
    return ValidUtf8(s) ? s : Convert(s, "LATIN1");
}

std::string Messages(KvPdfHandle handle) {
    std::string text;
    ErrorEntry entry;
    for (int32_t i = 0; i <= KvPdfGetLastErrorIndex(handle); ++i) {
        if (KvPdfGetError(handle, i, &entry) != 1) continue;
        text += "  " + std::to_string(entry.code) + ": " + ToUtf8(entry.message) + "\n";
    }
    return text;
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

int CommandSignatures(const std::vector<std::string> &args) {
    if (WantsHelp(args)) {
        fputs(kSignaturesUsage, stdout);
        return 0;
    }
    std::string path;
    int32_t locale = KVPDF_LOCALE_EN;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--lang") {
            if (!ParseLang(args, &i, &locale)) {
                fputs(kSignaturesUsage, stderr);
                return 2;
            }
        } else if (path.empty() && args[i].rfind("--", 0) != 0) {
            path = args[i];
        } else {
            fputs(kSignaturesUsage, stderr);
            return 2;
        }
    }
    if (path.empty()) {
        fputs(kSignaturesUsage, stderr);
        return 2;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        fprintf(stderr, "kvpdf: cannot open %s: %s\n", path.c_str(), strerror(errno));
        return 1;
    }
    KvPdfHandle h = KvPDFInit(path.c_str(), nullptr, 0);
    KvPdfSetLocale(h, locale);
    int32_t rc = KvPdfFindSignatures(h);
    int32_t count = KvPDFGetSignatureCount(h);
    printf("File: %s (%lld bytes)\n", path.c_str(), static_cast<long long>(st.st_size));
    printf("Signatures: %d\n", count);
    static const char *const kKinds[] = {"signature", "signature (CAdES)", "document timestamp"};
    for (int32_t i = 0; i < count; ++i) {
        SignatureInfo s;
        if (KvPDFGetSignature(h, i, &s) != 1) continue;
        const uint32_t *r = s.byte_range;
        uint64_t end = uint64_t{r[2]} + r[3];
        printf("\n#%d  field %u 0 R\n", i + 1, s.field_obj);
        printf("    kind:            %s\n",
               s.kind >= 0 && s.kind <= 2 ? kKinds[s.kind] : "unknown");
        printf("    subfilter:       %s\n", PdfText(s.subfilter).c_str());
        printf("    name:            %s\n", PdfText(s.name).c_str());
        printf("    reason:          %s\n", PdfText(s.reason).c_str());
        printf("    location:        %s\n", PdfText(s.location).c_str());
        printf("    contact:         %s\n", PdfText(s.contact_info).c_str());
        printf("    signing time:    %s\n", PdfText(s.signing_time).c_str());
        printf("    contents offset: %u\n", s.contents_offset);
        printf("    byte range:      [%u %u %u %u]\n", r[0], r[1], r[2], r[3]);
        if (end == static_cast<uint64_t>(st.st_size))
            printf("    covers:          the whole file\n");
        else if (end < static_cast<uint64_t>(st.st_size))
            printf(
                "    covers:          not the whole file: %llu bytes of later revisions follow\n",
                static_cast<unsigned long long>(st.st_size) - static_cast<unsigned long long>(end));
        else
            printf("    covers:          the byte range reaches past the end of the file\n");
    }
    int status = 0;
    if (rc < 1 && rc != KVPDF_ERR_NO_SIGNATURE) {
        fprintf(stderr, "kvpdf: the search stopped (code %d)\n%s", rc, Messages(h).c_str());
        status = 1;
    }
    KvPDFClose(h);
    return status;
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
    if (command == "signatures") return CommandSignatures(args);
    if (command == "version" || command == "--version") return CommandVersion();
    fprintf(stderr, "kvpdf: unknown command '%s'\n\n%s", command.c_str(), kUsage);
    return 2;
}
