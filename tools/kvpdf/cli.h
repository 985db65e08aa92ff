// SPDX-License-Identifier: Apache-2.0
// Shared pieces of the kvpdf commands.
#ifndef KVPDF_TOOLS_CLI_H
#define KVPDF_TOOLS_CLI_H

#include "kvpdf.h"
#include "kvsxades.h"

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace cli {

// Parsed command line: positional arguments and --flags with their values.
struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::vector<std::string>> flags;
    bool has(const std::string &flag) const { return flags.count(flag) != 0; }
    std::string value(const std::string &flag, const std::string &fallback = "") const;
    const std::vector<std::string> &values(const std::string &flag) const;
};

// One option of a command. A command's table drives its parser, its --help and its
// section of the man page, so that the three cannot disagree.
struct Option {
    const char *name;
    const char *value;           // what it takes ("FILE"); nullptr for a flag without one
    const char *help;            // '\n' starts another line
    const char *group = nullptr; // a heading ("signature:") that starts a group of options
};

struct Command {
    const char *name;
    const char *synopsis;    // after "kvpdf NAME "; '\n' starts another form
    const char *description; // '\n' ends a line; an empty line starts a paragraph
    std::vector<Option> options;
};

inline const Option kLangOption{"--lang", "en|hu",
                                "language of the library's messages (default en)"};

extern const Command kInfoCommand, kSignaturesCommand, kSignCommand, kTimestampCommand,
    kVerifyCommand, kLtvCommand, kAttachmentsCommand, kAttachCommand;

// Splits args by the command's options: those with a value take the next argument.
// Returns false (with a message on stderr) for an unknown option or a missing value.
bool Parse(const std::vector<std::string> &args, const Command &command, Args *out);

// The usage of a command laid out from its table.
void PrintUsage(const Command &command, FILE *to);
// Prints the usage to standard output when args ask for help.
bool PrintHelp(const std::vector<std::string> &args, const Command &command);

// The whole manual page in troff (man macros): the commands in order, then "version".
void PrintManPage(const std::vector<const Command *> &commands, const char *version);

// FILE [--lang en|hu]: false (usage on stderr) for anything else.
bool ParseOneFile(const std::vector<std::string> &args, const Command &command, Args *a,
                  int32_t *locale);

// The language of library messages from --lang (default English); false when invalid.
bool Locale(const Args &args, int32_t *locale);

std::string ToUtf8(const std::string &windows1250);
// A PDF text string for display: literal-string escapes resolved, UTF-16BE decoded,
// PDFDocEncoding shown as Latin-1, trailing blanks cut. "-" for NULL.
std::string PdfText(const char *value);
// Text bytes as the library hands them over (escapes already resolved) in UTF-8: UTF-16BE
// after a byte-order mark decoded, valid UTF-8 kept, anything else read as Latin-1.
std::string TextBytes(const std::string &bytes);
// Text as typed (UTF-8; a byte outside it read as Latin-1) as the body of a PDF literal
// string holding a text string: PDFDocEncoding when every character is printable ASCII or
// in U+00A0..U+00FF but U+00AD, else UTF-16BE after a byte-order mark. Bytes outside
// printable ASCII are written \ddd and parentheses and backslashes escaped, so the body
// holds no NUL, no line end and no bracket that could end the string.
std::string PdfLiteralBody(const std::string &utf8);
// A body from PdfLiteralBody that holds UTF-16.
bool IsUtf16Body(const std::string &body);
// The handle's recorded errors, one per line, in UTF-8.
std::string Messages(KvPdfHandle handle);
// The newest recorded message with that code, in UTF-8; "" when there is none.
std::string Message(KvPdfHandle handle, int32_t code);
// Bytes of signature reserved for a --reserve value, by the library's rule.
uint32_t ReservedBytes(int32_t requested);
int64_t FileSize(const std::string &path);
// Both paths name one existing file.
bool SameFile(const std::string &a, const std::string &b);
// Creates an empty file named stem plus a unique suffix in $TMPDIR (else /tmp).
bool MakeTempFile(const char *stem, std::string *path);
// The signed bytes of a file as the signing library reads them, without a copy:
// [0, first_length) and [second_offset, second_offset + second_length).
void FileRanges(const char *path, uint32_t first_length, uint32_t second_offset,
                uint32_t second_length, const char *content_type, KvsDataObject ranges[2]);

// The key's password from at most one of --password P, --password-file F (its first line)
// and --password-env NAME; none given leaves *out empty. 0, or the exit status after one
// line on stderr: 2 for two sources, 1 for a file or variable that is missing.
int PasswordOption(const Args &args, std::optional<std::string> *out);
// The password typed at the terminal without echo, the prompt on stderr; nullopt when
// standard input is not a terminal.
std::optional<std::string> PromptPassword(const std::string &prompt);

// While it lives, the signing library's hashing of more than 50 MB shows a percentage on
// stderr, rewritten in place and ended by a newline; nothing when stderr is not a
// terminal or quiet is set (--quiet).
class Progress {
public:
    Progress(const char *what, uint64_t total);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;
    static bool quiet;

private:
    static void Report(uint64_t done, void *self);
    const char *what_;
    uint64_t total_;
    int shown_ = -1; // percent last written; -1 before the first line, -2 when off
};

// A JSON string literal of UTF-8 text: quotes, backslashes and control characters
// escaped, a byte that is not part of valid UTF-8 written as U+FFFD.
std::string JsonString(const std::string &text);

// A JSON document written in order, two spaces of indent a level; keys are plain ASCII.
class JsonWriter {
public:
    void Begin(const char *key, char bracket); // key nullptr inside an array
    void End(char bracket);
    void String(const char *key, const std::string &value);
    void Number(const char *key, int64_t value);
    void Bool(const char *key, bool value);
    void Null(const char *key);
    void Numbers(const char *key, const std::vector<uint32_t> &values); // on one line
    const std::string &text() const { return out_; }

private:
    void Key(const char *key);
    std::string out_;
    std::vector<bool> first_;
};

// Seconds an HTTP exchange with a responder or distribution point may take: a slow
// one must not hold a command for the signing library's default. --timeout changes it.
constexpr int kHttpSeconds = 10;

// Where the revocation data of a validation-data run comes from: the given files (and the
// trust anchors the verification needs), and with online, the responders and
// distribution points the certificates name.
struct LtvSources {
    std::vector<std::string> trust, crls, ocsps;
    bool online = false;
};

// Adds the validation data of every signature and document timestamp of in to the
// document as one new revision, written to out (a path other than in, removed on
// failure), and says what it did on stdout. 0 when out holds the new revision, or a
// plain copy of in when the library had nothing new to add (*added false); else 1,
// with the library's codes and messages on stderr.
int AddValidationData(const std::string &in, const std::string &out, const LtvSources &sources,
                      int32_t locale, bool *added);

// A file beside dest (same folder) that replaces dest on Commit and is removed otherwise.
class Staged {
public:
    explicit Staged(const std::string &dest);
    ~Staged();
    Staged(const Staged &) = delete;
    Staged &operator=(const Staged &) = delete;
    bool ok() const { return !path_.empty(); }
    const std::string &path() const { return path_; }
    bool Commit(); // false when the rename fails
private:
    std::string dest_, path_;
};

// The largest input the format's 32-bit offsets can describe.
constexpr int64_t kMaxInput = 0xFFFFFFFEll;

// The value of flag as a whole number in [min, max] into *value (left alone when the flag
// is absent); false, with "--flag VALUE: ..." on stderr, when it is no such number.
bool Number(const Args &a, const char *flag, int64_t min, int64_t max, int64_t *value);
// Why path is no input file ("PATH: cause"): missing, a folder, or kMaxInput or longer;
// "" when it is one.
std::string InputProblem(const std::string &path);
// InputProblem said on stderr; true when there was none.
bool InputFile(const std::string &path);
// path's folder exists and is writable; false with the path and the cause on stderr.
bool OutputFile(const std::string &path);
// --timeout SECONDS (1..600, default kHttpSeconds) to the signing library; false when bad.
bool HttpTimeout(const Args &a);
// The signing library's newest failure in words (a refused or silent server included).
std::string NetworkCause();
// "kvpdf: FILE: WHAT: the code's message (code N)", then every message of the handle;
// returns 1.
int Failure(KvPdfHandle h, const std::string &file, const std::string &what, int32_t code);
// The first line of Failure, without its line feed.
std::string FailureLine(KvPdfHandle h, const std::string &file, const std::string &what,
                        int32_t code);

int CommandInfo(const std::vector<std::string> &args);
int CommandSignatures(const std::vector<std::string> &args);
int CommandSign(const std::vector<std::string> &args);
int CommandTimestamp(const std::vector<std::string> &args);
int CommandVerify(const std::vector<std::string> &args);
int CommandLtv(const std::vector<std::string> &args);
int CommandAttachments(const std::vector<std::string> &args);
int CommandAttach(const std::vector<std::string> &args);

} // namespace cli

#endif
