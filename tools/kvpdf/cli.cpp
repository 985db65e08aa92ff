// SPDX-License-Identifier: Apache-2.0
#include "cli.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iconv.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace cli {

namespace {

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

// The length of the UTF-8 sequence at text[i]; 0 when it is not a valid one (overlong
// forms, surrogates and values past U+10FFFF included).
size_t Utf8Length(const std::string &text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = byte(i);
    if (c < 0x80) return 1;
    size_t n = c >= 0xC2 && c <= 0xDF   ? 2
               : c >= 0xE0 && c <= 0xEF ? 3
               : c >= 0xF0 && c <= 0xF4 ? 4
                                        : 0;
    if (n == 0 || i + n > text.size()) return 0;
    for (size_t k = 1; k < n; ++k)
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    const unsigned char d = byte(i + 1);
    if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d > 0x9F) || (c == 0xF0 && d < 0x90) ||
        (c == 0xF4 && d > 0x8F))
        return 0;
    return n;
}

// The characters of text: UTF-8 sequences decoded, any other byte taken as Latin-1.
std::vector<uint32_t> CodePoints(const std::string &text) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < text.size();) {
        const size_t n = Utf8Length(text, i);
        uint32_t c = static_cast<unsigned char>(text[i]);
        if (n > 1) {
            c &= 0x7Fu >> n;
            for (size_t k = 1; k < n; ++k)
                c = c << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
        }
        out.push_back(c);
        i += n ? n : 1;
    }
    return out;
}

// The first line of a file, without its line end; false when it cannot be read.
bool FirstLine(const std::string &path, std::string *line) {
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return false;
    int c = 0;
    while ((c = fgetc(f)) != EOF && c != '\n')
        *line += static_cast<char>(c);
    const bool ok = !ferror(f);
    fclose(f);
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return ok;
}

// Hashing below this many bytes ends before a percentage would be worth reading.
constexpr uint64_t kProgressFrom = 50000000;

} // namespace

std::string PdfLiteralBody(const std::string &utf8) {
    const std::vector<uint32_t> chars = CodePoints(utf8);
    // PDFDocEncoding is Latin-1 on these; it differs on 0x80..0x9F, leaves 0xAD and most
    // control characters undefined, and puts accents on 0x18..0x1F (ISO 32000-1, Annex D).
    const bool pdfdoc = std::all_of(chars.begin(), chars.end(), [](uint32_t c) {
        return (c >= 0x20 && c < 0x7F) || c == '\t' || c == '\n' || c == '\r' ||
               (c >= 0xA0 && c <= 0xFF && c != 0xAD);
    });
    std::string bytes = pdfdoc ? "" : "\xFE\xFF";
    const auto unit = [&bytes](uint32_t u) {
        bytes += static_cast<char>(u >> 8);
        bytes += static_cast<char>(u & 0xFF);
    };
    for (uint32_t c : chars) {
        if (pdfdoc) {
            bytes += static_cast<char>(c);
        } else if (c > 0xFFFF) {
            unit(0xD800 | (c - 0x10000) >> 10);
            unit(0xDC00 | (c & 0x3FF));
        } else {
            unit(c);
        }
    }
    std::string body;
    for (char b : bytes) {
        const auto u = static_cast<unsigned char>(b);
        if (b == '(' || b == ')' || b == '\\') {
            body += '\\';
            body += b;
        } else if (u >= 0x20 && u < 0x7F) {
            body += b;
        } else {
            char octal[8];
            snprintf(octal, sizeof octal, "\\%03o", u);
            body += octal;
        }
    }
    return body;
}

bool IsUtf16Body(const std::string &body) {
    return body.rfind("\\376\\377", 0) == 0;
}

int PasswordOption(const Args &a, std::optional<std::string> *out) {
    const char *sources[] = {"--password", "--password-file", "--password-env"};
    if (std::count_if(std::begin(sources), std::end(sources),
                      [&a](const char *flag) { return a.has(flag); }) > 1) {
        fprintf(stderr, "kvpdf: give the password one way: --password, --password-file or "
                        "--password-env\n");
        return 2;
    }
    if (a.has("--password")) {
        *out = a.value("--password");
    } else if (a.has("--password-file")) {
        const std::string path = a.value("--password-file");
        if (!FirstLine(path, &out->emplace())) {
            fprintf(stderr, "kvpdf: cannot read the password file %s\n", path.c_str());
            return 1;
        }
    } else if (a.has("--password-env")) {
        const std::string name = a.value("--password-env");
        const char *value = getenv(name.c_str());
        if (!value) {
            fprintf(stderr, "kvpdf: the environment variable %s is not set\n", name.c_str());
            return 1;
        }
        *out = value;
    }
    return 0;
}

std::optional<std::string> PromptPassword(const std::string &prompt) {
    termios shown{};
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &shown) != 0) return std::nullopt;
    termios hidden = shown;
    hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    fputs(prompt.c_str(), stderr);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden);
    std::string typed;
    int c = 0;
    while ((c = fgetc(stdin)) != EOF && c != '\n')
        typed += static_cast<char>(c);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &shown);
    fputc('\n', stderr);
    return typed;
}

bool Progress::quiet = false;

Progress::Progress(const char *what, uint64_t total) : what_(what), total_(total) {
    if (quiet || total <= kProgressFrom || !isatty(STDERR_FILENO)) {
        shown_ = -2;
        return;
    }
    kvsx_set_progress(&Progress::Report, this);
}

Progress::~Progress() {
    if (shown_ == -2) return;
    kvsx_set_progress(nullptr, nullptr);
    if (shown_ >= 0) fputc('\n', stderr);
}

void Progress::Report(uint64_t done, void *self) {
    auto *p = static_cast<Progress *>(self);
    const int percent = static_cast<int>(std::min(done, p->total_) * 100 / p->total_);
    if (percent == p->shown_) return;
    p->shown_ = percent;
    fprintf(stderr, "\r%s: %d%%", p->what_, percent);
}

std::string JsonString(const std::string &text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const size_t n = Utf8Length(text, i);
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (n == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (n == 1 && (c < 0x20 || c == '"' || c == '\\')) {
            const char *from = "\"\\\b\f\n\r\t", *to = "\"\\bfnrt";
            const char *k = c ? strchr(from, c) : nullptr;
            char escaped[8];
            if (k)
                snprintf(escaped, sizeof escaped, "\\%c", to[k - from]);
            else
                snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out.append(text, i, n);
        }
        i += n;
    }
    return out + "\"";
}

void JsonWriter::Key(const char *key) {
    if (!first_.empty()) {
        if (!first_.back()) out_ += ',';
        first_.back() = false;
        out_ += '\n';
        out_.append(2 * first_.size(), ' ');
    }
    if (key) out_ += JsonString(key) + ": ";
}

void JsonWriter::Begin(const char *key, char bracket) {
    Key(key);
    out_ += bracket;
    first_.push_back(true);
}

void JsonWriter::End(char bracket) {
    const bool empty = first_.back();
    first_.pop_back();
    if (!empty) {
        out_ += '\n';
        out_.append(2 * first_.size(), ' ');
    }
    out_ += bracket;
    if (first_.empty()) out_ += '\n';
}

void JsonWriter::String(const char *key, const std::string &value) {
    Key(key);
    out_ += JsonString(value);
}

void JsonWriter::Number(const char *key, int64_t value) {
    Key(key);
    out_ += std::to_string(value);
}

void JsonWriter::Bool(const char *key, bool value) {
    Key(key);
    out_ += value ? "true" : "false";
}

void JsonWriter::Null(const char *key) {
    Key(key);
    out_ += "null";
}

void JsonWriter::Numbers(const char *key, const std::vector<uint32_t> &values) {
    Key(key);
    out_ += '[';
    for (size_t i = 0; i < values.size(); ++i)
        out_ += (i ? ", " : "") + std::to_string(values[i]);
    out_ += ']';
}

std::string Args::value(const std::string &flag, const std::string &fallback) const {
    auto it = flags.find(flag);
    return it == flags.end() || it->second.empty() ? fallback : it->second.back();
}

const std::vector<std::string> &Args::values(const std::string &flag) const {
    static const std::vector<std::string> none;
    auto it = flags.find(flag);
    return it == flags.end() ? none : it->second;
}

bool Parse(const std::vector<std::string> &args, const Command &command, Args *out) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a.rfind("--", 0) != 0 || a == "--") {
            out->positional.push_back(a);
            continue;
        }
        const auto option = std::find_if(command.options.begin(), command.options.end(),
                                         [&a](const Option &o) { return a == o.name; });
        if (option == command.options.end()) {
            fprintf(stderr, "kvpdf: unknown option %s\n", a.c_str());
            return false;
        }
        if (!option->value) {
            out->flags[a];
        } else if (i + 1 >= args.size()) {
            fprintf(stderr, "kvpdf: %s needs a value\n", a.c_str());
            return false;
        } else {
            out->flags[a].push_back(args[++i]);
        }
    }
    return true;
}

void PrintUsage(const Command &command, FILE *to) {
    const std::string lead = std::string("kvpdf ") + command.name + " ";
    // A long form wraps before a bracket, under its first argument.
    constexpr size_t kWidth = 90;
    std::string form;
    bool first = true;
    const auto print = [&](const std::string &line) {
        std::string out = (first ? "usage: " : "       ") + lead;
        const size_t indent = out.size();
        size_t start = 0;
        while (line.size() - start > kWidth - indent) {
            const size_t cut = line.rfind(" [", start + (kWidth - indent));
            if (cut == std::string::npos || cut <= start) break;
            out += line.substr(start, cut - start) + "\n" + std::string(indent, ' ');
            start = cut + 1;
        }
        fprintf(to, "%s%s\n", out.c_str(), line.c_str() + start);
        first = false;
    };
    for (const char *p = command.synopsis;; ++p) {
        if (*p && *p != '\n') {
            form += *p;
            continue;
        }
        print(form);
        form.clear();
        if (!*p) break;
    }
    fprintf(to, "\n%s", command.description);
    if (command.options.empty()) return;
    size_t column = 0;
    const auto label = [](const Option &o) {
        return std::string(o.name) + (o.value ? std::string(" ") + o.value : "");
    };
    for (const Option &o : command.options)
        column = std::max(column, label(o).size());
    column = std::min<size_t>(column, 20) + 4;
    fputc('\n', to);
    for (const Option &o : command.options) {
        if (o.group) fprintf(to, "%s\n", o.group);
        std::string line = "  " + label(o);
        const std::string pad(column, ' ');
        if (line.size() + 1 > column) {
            fprintf(to, "%s\n", line.c_str());
            line = pad;
        } else {
            line.resize(column, ' ');
        }
        for (const char *h = o.help; *h; ++h) {
            line += *h;
            if (*h == '\n') line += pad;
        }
        fprintf(to, "%s\n", line.c_str());
    }
}

bool PrintHelp(const std::vector<std::string> &args, const Command &command) {
    for (const auto &a : args)
        if (a == "--help" || a == "-h") {
            PrintUsage(command, stdout);
            return true;
        }
    return false;
}

bool ParseOneFile(const std::vector<std::string> &args, const Command &command, Args *a,
                  int32_t *locale) {
    if (!Parse(args, command, a)) return false;
    if (a->positional.size() != 1 || !Locale(*a, locale)) {
        PrintUsage(command, stderr);
        return false;
    }
    return true;
}

bool Locale(const Args &args, int32_t *locale) {
    std::string lang = args.value("--lang", "en");
    if (lang == "en")
        *locale = KVPDF_LOCALE_EN;
    else if (lang == "hu")
        *locale = KVPDF_LOCALE_HU;
    else
        return false;
    return true;
}

std::string ToUtf8(const std::string &windows1250) {
    return Convert(windows1250, "WINDOWS-1250");
}

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
    return TextBytes(s);
}

std::string TextBytes(const std::string &s) {
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
        const std::string message =
            entry.message[0] ? ToUtf8(entry.message) : "(no text in this language)";
        text += "  " + std::to_string(entry.code) + ": " + message + "\n";
    }
    return text;
}

std::string Message(KvPdfHandle handle, int32_t code) {
    ErrorEntry entry;
    for (int32_t i = KvPdfGetLastErrorIndex(handle); i >= 0; --i)
        if (KvPdfGetError(handle, i, &entry) == 1 && entry.code == code)
            return ToUtf8(entry.message);
    return "";
}

uint32_t ReservedBytes(int32_t requested) {
    if (requested < 1) return 30000;
    if (requested < 2000) return 2000;
    return static_cast<uint32_t>(requested);
}

int64_t FileSize(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

bool SameFile(const std::string &a, const std::string &b) {
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

bool MakeTempFile(const char *stem, std::string *path) {
    const char *dir = getenv("TMPDIR");
    *path = std::string(dir && *dir ? dir : "/tmp") + "/" + stem + "XXXXXX";
    int fd = mkstemp(&(*path)[0]);
    if (fd < 0) return false;
    close(fd);
    return true;
}

void FileRanges(const char *path, uint32_t first_length, uint32_t second_offset,
                uint32_t second_length, const char *content_type, KvsDataObject ranges[2]) {
    memset(ranges, 0, 2 * sizeof *ranges);
    for (int i = 0; i < 2; ++i) {
        ranges[i].data = path;
        ranges[i].length = -1;
        ranges[i].content_type = content_type;
    }
    ranges[0].range_length = first_length;
    ranges[0].next = &ranges[1];
    ranges[1].range_offset = second_offset;
    ranges[1].range_length = second_length;
}

} // namespace cli
