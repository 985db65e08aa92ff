// SPDX-License-Identifier: Apache-2.0
// kvpdf attachments and kvpdf attach: a document's embedded files listed, saved and added.
#include "cli.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace cli {

const Command kAttachmentsCommand{
    "attachments",
    "FILE [--json] [--lang en|hu]\n"
    "FILE (--extract N | --all) [--to DIR] [--force] [--lang en|hu]",
    "Lists the embedded files of FILE, one line each: the number, the name, the size in\n"
    "bytes (\"-\" when the library could not read the file's data) and the description\n"
    "(\"-\" when none). Every entry of the /EmbeddedFiles name tree and every file\n"
    "attachment annotation of every page is read. Names are shown in UTF-8 (a name that\n"
    "is not UTF-8 is read as Latin-1), control characters as '?'. What the library cannot\n"
    "read is printed on stderr as a warning. FILE is never written.\n"
    "\n"
    "--extract N (a number of the list) or --all saves the files into DIR, each under the\n"
    "last component of its name (after the last '/' or '\\'; control characters become\n"
    "'_'), so that nothing is written outside DIR; a name with no usable last component\n"
    "(empty, \".\" or \"..\") becomes attachment-N. When names repeat, the later entries\n"
    "get -N before the extension (report.pdf, report-3.pdf), with --extract as with --all.\n"
    "An existing file is not replaced without --force.\n"
    "\n"
    "Exit status 0 when the document was read (listing) or every file asked for was saved;\n"
    "1 when the document cannot be read or a file cannot be saved (the others still are);\n"
    "2 for a usage error.\n",
    {
        {"--extract", "N", "save entry N of the list"},
        {"--all", nullptr, "save every entry"},
        {"--to", "DIR", "the folder to save into, which must exist (default: the current one)"},
        {"--force", nullptr, "replace existing files"},
        {"--json", nullptr, "one JSON document on standard output instead of the list"},
        kLangOption,
    }};

const Command kAttachCommand{
    "attach",
    "IN OUT FILE... [--desc TEXT]... [--lang en|hu]",
    "Embeds the FILEs in the document IN as one new revision written into OUT, next to\n"
    "the embedded files IN already has. Each is named by its file name, without folders;\n"
    "two FILEs of the same name are refused. IN is never written; OUT must be another\n"
    "file. --desc given once describes every FILE; given once per FILE, the descriptions\n"
    "go to the FILEs in order.\n"
    "Exit status 0 when OUT is written, 1 on failure (OUT is then left as it was), 2 for a\n"
    "usage error.\n",
    {
        {"--desc", "TEXT", "the description of the files (/Desc)"},
        kLangOption,
    }};

namespace {

// A library text for a terminal: UTF-8, with control characters replaced.
std::string Shown(const std::string &bytes, char replacement) {
    std::string text = TextBytes(bytes);
    for (char &c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = replacement;
    return text;
}

struct Entry {
    int32_t index = 0; // the library's, from 0
    bool named = false, described = false, has_data = false;
    std::string name, description;
    uint32_t size = 0;
    std::string file; // the name it is saved under
};

std::vector<Entry> ReadEntries(KvPdfHandle h) {
    std::vector<Entry> entries;
    for (int32_t i = 0; i < KvPDFGetAttachmentCount(h); ++i) {
        char *name = nullptr, *description = nullptr;
        Entry e;
        e.index = i;
        // The data stays in the library: only its length is asked for.
        if (KvPDFGetAttachmentInfo(h, i, &name, &description, nullptr, nullptr) != 1) continue;
        const int32_t length = KvPdfGetAttachmentLength(h, i);
        e.named = name != nullptr;
        e.described = description != nullptr;
        e.has_data = length >= 0;
        e.size = length >= 0 ? static_cast<uint32_t>(length) : 0;
        e.name = name ? name : "";
        e.description = description ? description : "";
        for (void *block : {static_cast<void *>(name), static_cast<void *>(description)})
            KvPDFDestroyer(&block);
        entries.push_back(std::move(e));
    }
    return entries;
}

// The last component of a name, split at '/' and '\' both (a name the library took from
// a Windows path has its backslashes doubled); "" for none, "." and "..".
std::string LastComponent(const std::string &name) {
    const size_t cut = name.find_last_of("/\\");
    std::string last = cut == std::string::npos ? name : name.substr(cut + 1);
    return last == "." || last == ".." ? "" : last;
}

// File names for every entry in list order, so that --extract N names a file as --all
// does: the last component of the name, attachment-N without one, -N before the
// extension when an earlier entry took it.
void NameFiles(std::vector<Entry> *entries) {
    std::set<std::string> used;
    for (Entry &e : *entries) {
        const std::string number = std::to_string(e.index + 1);
        std::string file = LastComponent(Shown(e.name, '_'));
        if (file.empty()) file = "attachment-" + number;
        while (used.count(file)) {
            const size_t dot = file.rfind('.');
            file.insert(dot == std::string::npos || dot == 0 ? file.size() : dot, "-" + number);
        }
        used.insert(file);
        e.file = file;
    }
}

std::string Label(const Entry &e) {
    return "#" + std::to_string(e.index + 1) + " (" + (e.named ? Shown(e.name, '?') : "-") + ")";
}

bool SaveEntry(KvPdfHandle h, const std::string &path, const Entry &e, const std::string &dir,
               bool force) {
    const std::string target = dir + "/" + e.file;
    if (!e.has_data) {
        fprintf(stderr, "kvpdf: %s: attachment %s has no data that can be read: not saved\n",
                path.c_str(), Label(e).c_str());
        return false;
    }
    struct stat st;
    if (lstat(target.c_str(), &st) == 0) {
        if (!force || S_ISDIR(st.st_mode)) {
            fprintf(stderr, "kvpdf: %s: attachment %s: %s exists: not replaced%s\n", path.c_str(),
                    Label(e).c_str(), target.c_str(),
                    S_ISDIR(st.st_mode) ? " (a folder)" : " (--force replaces it)");
            return false;
        }
        // A new file, not one written through whatever link stands there.
        unlink(target.c_str());
    }
    KvPdfResetErrors(h);
    const int32_t rc = KvPDFSaveAttachment(e.index, target.c_str(), h);
    if (rc != 1) {
        fprintf(stderr, "kvpdf: %s: cannot save attachment %s to %s (code %d)\n%s", path.c_str(),
                Label(e).c_str(), target.c_str(), rc, Messages(h).c_str());
        return false;
    }
    printf("Saved %s to %s (%u bytes).\n", Label(e).c_str(), target.c_str(), e.size);
    return true;
}

void PrintJson(const std::string &path, const std::string &error, int32_t rc,
               const std::vector<std::string> &messages, const std::vector<Entry> &entries,
               int status) {
    JsonWriter j;
    j.Begin(nullptr, '{');
    j.String("file", path);
    j.Number("file_size", FileSize(path));
    if (error.empty())
        j.Null("error");
    else
        j.String("error", error);
    j.Number("read_code", rc);
    j.Begin("read_messages", '[');
    for (const std::string &m : messages)
        j.String(nullptr, m);
    j.End(']');
    j.Number("count", static_cast<int64_t>(entries.size()));
    j.Begin("attachments", '[');
    for (const Entry &e : entries) {
        j.Begin(nullptr, '{');
        j.Number("index", e.index + 1);
        e.named ? j.String("name", TextBytes(e.name)) : j.Null("name");
        e.has_data ? j.Number("size", e.size) : j.Null("size");
        e.described ? j.String("description", TextBytes(e.description)) : j.Null("description");
        j.End('}');
    }
    j.End(']');
    j.Number("exit_status", status);
    j.End('}');
    fputs(j.text().c_str(), stdout);
}

std::vector<std::string> RingLines(KvPdfHandle h) {
    std::vector<std::string> lines;
    ErrorEntry entry;
    for (int32_t i = 0; i <= KvPdfGetLastErrorIndex(h); ++i)
        if (KvPdfGetError(h, i, &entry) == 1)
            lines.push_back(std::to_string(entry.code) + ": " + ToUtf8(entry.message));
    return lines;
}

class Document {
public:
    Document(const std::string &in, const char *out, int32_t locale)
        : h_(KvPDFInit(in.c_str(), out, 0)) {
        KvPdfSetLocale(h_, locale);
    }
    ~Document() { Close(); }
    void Close() {
        KvPDFClose(h_);
        h_ = 0;
    }
    Document(const Document &) = delete;
    Document &operator=(const Document &) = delete;
    KvPdfHandle get() const { return h_; }

private:
    KvPdfHandle h_;
};

} // namespace

int CommandAttachments(const std::vector<std::string> &args) {
    if (PrintHelp(args, kAttachmentsCommand)) return 0;
    Args a;
    int32_t locale = KVPDF_LOCALE_EN;
    if (!Parse(args, kAttachmentsCommand, &a) || a.positional.size() != 1 || !Locale(a, &locale) ||
        (a.has("--extract") && a.has("--all")) ||
        (!a.has("--extract") && !a.has("--all") && (a.has("--to") || a.has("--force"))) ||
        ((a.has("--extract") || a.has("--all")) && a.has("--json"))) {
        PrintUsage(kAttachmentsCommand, stderr);
        return 2;
    }
    int64_t entry = 0;
    if (!Number(a, "--extract", 1, INT32_MAX, &entry)) return 2;
    const std::string &path = a.positional[0];
    const bool json = a.has("--json");
    std::string error;
    error = InputProblem(path);
    Document doc(path, nullptr, locale);
    const KvPdfHandle h = doc.get();
    if (error.empty() && h <= 0) error = "cannot create a document handle";
    int32_t rc = 0;
    std::vector<Entry> entries;
    if (error.empty()) {
        KvPDFSetProperty(h, KVPDF_PROP_ALL_ATTACHMENTS, 1);
        rc = KvPdfGetAttachments(h);
        // A names dictionary without embedded files: a document without any.
        if (rc == KVPDF_ERR_NO_EMBEDDED_FILES) {
            rc = 0;
            KvPdfResetErrors(h);
        }
        if (rc < 0)
            error = path + ": cannot read the embedded files: " + Message(h, rc) + " (code " +
                    std::to_string(rc) + ")";
        else
            entries = ReadEntries(h);
    }
    const std::vector<std::string> messages = h > 0 ? RingLines(h) : std::vector<std::string>();
    if (json) {
        const int status = error.empty() ? 0 : 1;
        PrintJson(path, error, rc, messages, entries, status);
        if (!error.empty()) fprintf(stderr, "kvpdf: %s\n", error.c_str());
        return status;
    }
    if (!error.empty()) {
        fprintf(stderr, "kvpdf: %s\n%s", error.c_str(), h > 0 ? Messages(h).c_str() : "");
        return 1;
    }
    // Entries the library could not read are listed without data, their errors kept.
    if (!messages.empty())
        fprintf(stderr, "kvpdf: warning: %s: the library could not read everything:\n%s",
                path.c_str(), Messages(h).c_str());
    if (!a.has("--extract") && !a.has("--all")) {
        printf("File: %s\nAttachments: %zu\n", path.c_str(), entries.size());
        for (const Entry &e : entries) {
            const std::string name = Shown(e.name, '?'), desc = Shown(e.description, '?');
            printf("%3d  %s  %s  %s\n", e.index + 1, name.empty() ? "-" : name.c_str(),
                   e.has_data ? (std::to_string(e.size) + " bytes").c_str() : "-",
                   desc.empty() ? "-" : desc.c_str());
        }
        return 0;
    }
    const std::string dir = a.value("--to", ".");
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        fprintf(stderr, "kvpdf: cannot save into %s: not a folder\n", dir.c_str());
        return 1;
    }
    NameFiles(&entries);
    const long wanted = static_cast<long>(entry);
    if (wanted > static_cast<long>(entries.size())) {
        fprintf(stderr, "kvpdf: %s: no attachment #%ld: the file has %zu\n", path.c_str(), wanted,
                entries.size());
        return 1;
    }
    bool ok = true;
    for (const Entry &e : entries)
        if (wanted == 0 || e.index + 1 == wanted)
            ok = SaveEntry(h, path, e, dir, a.has("--force")) && ok;
    return ok ? 0 : 1;
}

int CommandAttach(const std::vector<std::string> &args) {
    if (PrintHelp(args, kAttachCommand)) return 0;
    Args a;
    int32_t locale = KVPDF_LOCALE_EN;
    if (!Parse(args, kAttachCommand, &a) || a.positional.size() < 3 || !Locale(a, &locale)) {
        PrintUsage(kAttachCommand, stderr);
        return 2;
    }
    const std::string &in = a.positional[0], &out = a.positional[1];
    const std::vector<std::string> files(a.positional.begin() + 2, a.positional.end());
    const std::vector<std::string> &descs = a.values("--desc");
    if (descs.size() > 1 && descs.size() != files.size()) {
        fprintf(stderr, "kvpdf: give --desc once, or once for each of the %zu files\n",
                files.size());
        return 2;
    }
    if (!InputFile(in) || !OutputFile(out)) return 1;
    if (SameFile(in, out)) {
        fprintf(stderr, "kvpdf: %s and %s are the same file: attach writes a new one\n", in.c_str(),
                out.c_str());
        return 2;
    }
    // The library names each by this component; a name tree's keys must differ.
    std::map<std::string, std::string> names;
    for (const std::string &f : files) {
        const size_t cut = f.find_last_of("/\\");
        const std::string name = cut == std::string::npos ? f : f.substr(cut + 1);
        if (!names.emplace(name, f).second) {
            fprintf(stderr, "kvpdf: %s and %s would both be named %s in the document\n",
                    names[name].c_str(), f.c_str(), name.c_str());
            return 1;
        }
    }
    Staged staged(out);
    if (!staged.ok()) {
        fprintf(stderr, "kvpdf: cannot create a file beside %s\n", out.c_str());
        return 1;
    }
    Document doc(in, staged.path().c_str(), locale);
    const KvPdfHandle h = doc.get();
    if (h <= 0) {
        fprintf(stderr, "kvpdf: cannot create a document handle\n");
        return 1;
    }
    KvPDFSetProperty(h, KVPDF_PROP_ATTACHMENT_BASENAME, 1);
    KvPDFSetProperty(h, KVPDF_PROP_ATTACHMENT_INLINE_NAMES, 1);
    for (size_t i = 0; i < files.size(); ++i) {
        const char *desc = descs.empty() ? nullptr : descs[descs.size() == 1 ? 0 : i].c_str();
        const int32_t rc =
            KvPDFSetAttachmentInfo(h, static_cast<int32_t>(i), files[i].c_str(), desc);
        if (rc == 1) continue;
        const char *cause = rc == KVPDF_ERR_ATTACHMENT_OPEN ? "it does not open or is not a file"
                            : rc == KVPDF_ERR_ATTACHMENT_READ
                                ? "it is empty, unreadable or 4 GiB or more"
                                : "the library refuses it";
        fprintf(stderr, "kvpdf: cannot attach %s: %s (code %d)\n%s", files[i].c_str(), cause, rc,
                Messages(h).c_str());
        return 1;
    }
    const int32_t rc = KvPdfWriteAttachments(h);
    // Warnings only: the revision is written whole.
    if (rc == KVPDF_ERR_VERSION_UNSUPPORTED || rc == KVPDF_WARN_COMPRESSED_FEATURES) {
        fprintf(stderr, "kvpdf: warning: %s\n", Message(h, rc).c_str());
    } else if (rc != 1) {
        return Failure(h, in, "cannot add the files (" + out + " is left as it was)", rc);
    }
    const int64_t added = FileSize(staged.path()) - FileSize(in);
    doc.Close();
    if (!staged.Commit()) {
        fprintf(stderr, "kvpdf: %s: cannot write: %s\n", out.c_str(), strerror(errno));
        return 1;
    }
    printf("Attached %zu file%s to %s in a revision of %lld bytes.\n", files.size(),
           files.size() == 1 ? "" : "s", out.c_str(), static_cast<long long>(added));
    return 0;
}

} // namespace cli
