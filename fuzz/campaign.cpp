// SPDX-License-Identifier: Apache-2.0
// The mutation campaign: every corpus PDF (and, on request, a large synthetic one) is
// mutated N times, and each mutant goes through a whole host flow in a child process of
// its own: sign through the two phases, find the signatures, extract and verify them.
// A crash, a hang, a changed source, a half-written output, a success that pdfsig or
// qpdf cannot read back, or a large peak RSS is a defect; mutants behind defects can be
// saved and replayed one by one with --case.
#include "kvpdf.h"
#include "kvsxades.h"
#include "kvtest.h"
#include "pdf_mutator.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using kvtest::ReadFile;
using kvtest::WriteFile;

constexpr int kSkip = 77; // ctest's SKIP_RETURN_CODE

// Set by SIGINT or SIGTERM: no new case starts, and the cases run so far are reported.
volatile sig_atomic_t g_stop = 0;
constexpr int32_t kReserved = 8192;
constexpr int32_t kExtracted = 16; // signatures extracted besides ours

const char kUsage[] =
    "usage: kvpdf_campaign [--mutants N] [--seed S] [--jobs J] [--out DIR] [--big]\n"
    "                      [--big-mutants N] [--timeout SEC] [--rss-limit MB]\n"
    "                      [--checker-cpu SEC] [--max-size BYTES]\n"
    "       kvpdf_campaign --case FILE...   replays saved mutants one by one\n"
    "       kvpdf_campaign --make-big FILE  writes the large synthetic PDF\n"
    "The corpus is $KVPDF_CORPUS, else <source>/../shared/corpus. Exit status: 0 clean,\n"
    "1 defects found, 2 usage, 77 skipped (no pdfsig, qpdf or corpus).\n";

struct Options {
    int mutants = 10, big_mutants = -1, jobs = 1, timeout = 300, rss_limit_mb = 200;
    int checker_cpu = 30; // seconds of CPU for one pdfsig or qpdf run
    long max_size = -1;   // corpus files larger than this are left out
    uint64_t seed = 1;
    bool big = false;
    std::string out, make_big;
    std::vector<std::string> cases;
};

// One input and how to make the case's bytes from it.
struct Case {
    std::string path, name;
    uint64_t seed = 0;
    bool replay = false; // the file is the mutant
};

enum class Outcome : int { kRefused, kSigned, kUnreadable, kCrash, kHang };
const char *const kOutcomeNames[] = {"refused", "signed", "unreadable", "crash", "hang"};

// What the library reported, from the child that ran it.
struct LibraryRun {
    int32_t write = 0, dummy = 0, create = 0, value = 0, restore = 0;
    int32_t find = 0, found = 0, ours = -1, extract_error = 0, verify = -1;
    int32_t range_check = -1, changes = -1; // KvPdfCheckSignature of ours
    uint32_t range[4] = {0, 0, 0, 0};
};

struct Result {
    std::string name, kind, detail, phase, crash_line;
    uint64_t seed = 0;
    Outcome outcome = Outcome::kRefused;
    int32_t code = 0; // of the phase that refused
    bool input_readable = false, input_qpdf = false, source_changed = false;
    bool leftover = false, copy_left = false;
    long rss_kb = 0, baseline_kb = 0;
    LibraryRun lib;
};

// ---------------------------------------------------------------- the host flow

// The case's library work, in the child whose peak RSS is measured. The signing key is
// the support library's throw-away PKI; the value is made by the signing library.
LibraryRun RunLibrary(const std::string &src, const std::string &out, const std::string &ranges,
                      const kvtest::Pki &pki) {
    LibraryRun r;
    void *context = nullptr;
    KvPDF_CryptoInitGlobal();
    KvPDF_SetUseCDP(0);
    KvPDF_CryptoInit(&context);
    kvsx_add_cert(pki.root.pem.c_str(), -1);
    KvPdfHandle h = KvPDFInit(src.c_str(), out.c_str(), kReserved);
    KvPDFSetProperty(h, KVPDF_PROP_SUBFILTER_SELECT, KVPDF_SUBFILTER_CADES);
    r.write = KvPdfWritePDFWithoutSignature(h, 0);
    if (r.write == 1) r.dummy = KvPdfWriteDummySignatureAndAddedContent(h, nullptr);
    if (r.dummy == 1) {
        const std::vector<uint32_t> range = kvtest::LastByteRange(out);
        std::copy(range.begin(), range.end(), r.range);
        const std::string file = ReadFile(out);
        const std::string first = file.substr(0, std::min<size_t>(range[1], file.size()));
        const std::string second = file.substr(std::min<size_t>(range[2], file.size()));
        SignedDataItem items[2] = {
            {first.data(), int32_t(first.size()), "application/pdf", &items[1]},
            {second.data(), int32_t(second.size()), "application/pdf", nullptr}};
        const SigningParameters params = {pki.signer.p12.c_str(), kvtest::Pki::kPassword, nullptr,
                                          nullptr, KVPDF_SIGN_CADES};
        uint8_t *signature = nullptr;
        uint32_t length = 0;
        r.create = KvPDF_CreateSignatureAdv(h, context, &params, items, &signature, &length, 0, 0);
        if (r.create == 0) r.value = KvPdfWriteSignature(h, signature, length);
        KvPDF_FreeData(signature);
    }
    const bool signed_ok = r.write == 1 && r.dummy == 1 && r.create == 0 && r.value == 1;
    // A host takes back a revision it could not finish; a refusal before writing
    // appends nothing, so there is nothing to take back.
    if (!signed_ok && (r.write == 1 || r.write == KVPDF_ERR_VERSION_UNSUPPORTED))
        r.restore = KvPDFRestorePDF(h);
    KvPDFClose(h);

    // The signatures of the result, or of the mutant when nothing was written.
    const std::string read = signed_ok ? out : src;
    h = KvPDFInit(read.c_str(), nullptr, 0);
    // A verifying host searches everything.
    KvPDFSetProperty(h, KVPDF_PROP_FIND_ALL_SIGNATURES, 1);
    r.find = KvPdfFindSignatures(h);
    r.found = KvPDFGetSignatureCount(h);
    for (int32_t i = 0; i < r.found; ++i) {
        SignatureInfo info;
        if (KvPDFGetSignature(h, i, &info) != 1) continue;
        // An /Annots array inflated to 50,000 widgets lists the same few signatures again
        // and again: extracting each would measure this loop, not the library.
        const bool ours = signed_ok && std::equal(info.byte_range, info.byte_range + 4, r.range);
        if (i >= kExtracted && !ours) continue;
        uint32_t length = 0;
        int32_t error = 0;
        uint8_t *value =
            KvPdfWritePDFForVerify(h, read.c_str(), ranges.c_str(), i, &length, &error);
        if (error) r.extract_error = error;
        if (ours) {
            r.ours = i;
            KvPdfSignatureCheck check;
            if (KvPdfCheckSignature(h, i, &check) == 1) {
                r.range_check = check.byte_range;
                r.changes = check.changes;
            }
            r.verify = value ? KvPDF_CryptoVerifiySignature(h, context, ranges.c_str(), value,
                                                            length, 0, 0)
                             : 0;
        }
        void *block = value;
        KvPDFDestroyer(&block);
    }
    KvPDFClose(h);
    KvPDF_CryptoCleanup(context);
    KvPDF_CryptoCleanupGlobal();
    return r;
}

std::string Encode(const LibraryRun &r) {
    std::ostringstream s;
    s << r.write << ' ' << r.dummy << ' ' << r.create << ' ' << r.value << ' ' << r.restore << ' '
      << r.find << ' ' << r.found << ' ' << r.ours << ' ' << r.extract_error << ' ' << r.verify
      << ' ' << r.range_check << ' ' << r.changes;
    for (uint32_t v : r.range)
        s << ' ' << v;
    return s.str();
}

bool Decode(const std::string &text, LibraryRun *r) {
    std::istringstream s(text);
    s >> r->write >> r->dummy >> r->create >> r->value >> r->restore >> r->find >> r->found >>
        r->ours >> r->extract_error >> r->verify >> r->range_check >> r->changes;
    for (uint32_t &v : r->range)
        s >> v;
    return static_cast<bool>(s);
}

// The first line of a sanitizer report in the child's standard error.
std::string CrashLine(const std::string &log) {
    for (const char *mark : {"ERROR: ", "runtime error: ", "LeakSanitizer"}) {
        size_t at = log.find(mark);
        if (at == std::string::npos) continue;
        size_t start = log.rfind('\n', at);
        start = start == std::string::npos ? 0 : start + 1;
        return log.substr(start, std::min<size_t>(log.find('\n', at) - start, 160));
    }
    return "";
}

// Runs check in a child process with a CPU budget of its own, inherited by the tools it
// starts: pdfsig loops forever on some mutants. The check's result, -1 when it ran out
// of time.
int Checked(const std::function<int()> &check, int cpu_seconds) {
    const pid_t pid = fork();
    if (pid == 0) {
        struct rlimit cpu;
        getrlimit(RLIMIT_CPU, &cpu);
        cpu.rlim_cur = static_cast<rlim_t>(cpu_seconds);
        setrlimit(RLIMIT_CPU, &cpu);
        _exit(check());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool PdfsigReads(const std::string &pdf) {
    // 0: signatures listed, 2: none; 1 is a file it could not open.
    const int rc = kvtest::Run("pdfsig -nocert " + kvtest::Quote(pdf) + " >/dev/null 2>&1");
    return rc == 0 || rc == 2;
}

// pdfsig lists a signature over exactly the ranges we signed.
bool PdfsigFinds(const std::string &pdf, const uint32_t *range) {
    const std::string ranges = "[0 - " + std::to_string(range[1]) + "], [" +
                               std::to_string(range[2]) + " - " +
                               std::to_string(uint64_t{range[2]} + range[3]) + "]";
    for (const kvtest::PdfsigSignature &s : kvtest::RunPdfsig(pdf))
        if (s.signed_ranges == ranges) return true;
    return false;
}

// bytes receives the mutant, log what the library's child wrote to standard error.
Result RunCase(const Case &c, const Options &o, const kvtest::Pki &pki, std::string *bytes_out,
               std::string *log) {
    Result r;
    r.name = c.name;
    r.seed = c.seed;
    std::string bytes;
    if (c.replay) {
        bytes = ReadFile(c.path);
        r.kind = "replay";
    } else {
        kvfuzz::Mutant m = kvfuzz::MutatePdf(ReadFile(c.path), c.seed);
        bytes = std::move(m.bytes);
        r.kind = m.kind;
        r.detail = m.detail.substr(0, 200);
    }
    kvtest::TempDir dir;
    const std::string src = dir.file("in.pdf"), out = dir.file("out.pdf");
    WriteFile(src, bytes);
    const int cpu = o.checker_cpu;

    int channel[2];
    if (pipe(channel) != 0) abort();
    struct rusage self;
    getrusage(RUSAGE_SELF, &self);
    r.baseline_kb = self.ru_maxrss;
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        const int fd = open(dir.file("stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        alarm(static_cast<unsigned>(o.timeout));
        const std::string line = Encode(RunLibrary(src, out, dir.file("ranges.bin"), pki)) + "\n";
        if (write(channel[1], line.data(), line.size()) < 0) _exit(3);
        // exit, not _exit: LeakSanitizer checks at exit.
        exit(0);
    }
    close(channel[1]);
    std::string line;
    char buffer[512];
    for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) > 0;)
        line.append(buffer, static_cast<size_t>(n));
    close(channel[0]);
    int status = 0;
    struct rusage usage;
    wait4(child, &status, 0, &usage);
    r.rss_kb = usage.ru_maxrss;
    // Compared byte for byte, stronger than comparing hashes.
    r.source_changed = ReadFile(src) != bytes;

    const bool clean_exit = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!clean_exit || !Decode(line, &r.lib)) {
        const bool hang = WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM;
        r.outcome = hang ? Outcome::kHang : Outcome::kCrash;
        *log = ReadFile(dir.file("stderr.txt"));
        r.crash_line = CrashLine(*log);
        if (r.crash_line.empty())
            r.crash_line = WIFSIGNALED(status)
                               ? std::string("signal ") + strsignal(WTERMSIG(status))
                               : "exit status " + std::to_string(WEXITSTATUS(status));
    } else if (r.lib.write != 1 || r.lib.dummy != 1 || r.lib.create != 0 || r.lib.value != 1) {
        r.outcome = Outcome::kRefused;
        const LibraryRun &l = r.lib;
        r.phase = l.write != 1    ? "write"
                  : l.dummy != 1  ? "dummy"
                  : l.create != 0 ? "create"
                                  : "value";
        r.code = l.write != 1    ? l.write
                 : l.dummy != 1  ? l.dummy
                 : l.create != 0 ? l.create
                                 : l.value;
        // A refusal leaves no output, or the plain copy of the source the first phase
        // makes; anything else is a half-written file.
        struct stat st;
        if (stat(out.c_str(), &st) == 0) {
            r.copy_left = ReadFile(out) == bytes;
            r.leftover = !r.copy_left;
        }
    } else {
        // qpdf takes seconds on large files: the input is checked only when the output
        // fails, to tell whether it passed before.
        const int checked = Checked(
            [&] { return PdfsigFinds(out, r.lib.range) | kvtest::QpdfCheck(out) << 1; }, cpu);
        const bool found = checked > 0 && (checked & 1), out_qpdf = checked > 0 && (checked & 2);
        r.input_qpdf = out_qpdf || Checked([&] { return int{kvtest::QpdfCheck(src)}; }, cpu) == 1;
        r.outcome = found && (out_qpdf || !r.input_qpdf) ? Outcome::kSigned : Outcome::kUnreadable;
        // Whether pdfsig could read the mutant as it was handed over: a copy made from the
        // bytes, so a source the library changed does not count.
        if (r.outcome == Outcome::kUnreadable) {
            WriteFile(dir.file("mutant.pdf"), bytes);
            r.input_readable =
                Checked([&] { return int{PdfsigReads(dir.file("mutant.pdf"))}; }, cpu) == 1;
        }
    }
    *bytes_out = std::move(bytes);
    return r;
}

// ---------------------------------------------------------------- records between processes

std::string Serialize(const Result &r) {
    std::ostringstream s;
    s << r.name << '\t' << r.kind << '\t' << r.detail << '\t' << r.phase << '\t' << r.crash_line
      << '\t' << r.seed << '\t' << static_cast<int>(r.outcome) << '\t' << r.code << '\t'
      << r.input_readable << '\t' << r.input_qpdf << '\t' << r.source_changed << '\t' << r.leftover
      << '\t' << r.copy_left << '\t' << r.rss_kb << '\t' << r.baseline_kb << '\t' << Encode(r.lib);
    return s.str();
}

bool Deserialize(const std::string &text, Result *r) {
    std::vector<std::string> f;
    std::istringstream s(text);
    for (std::string cell; std::getline(s, cell, '\t');)
        f.push_back(cell);
    if (f.size() != 16) return false;
    r->name = f[0], r->kind = f[1], r->detail = f[2], r->phase = f[3], r->crash_line = f[4];
    r->seed = std::stoull(f[5]);
    r->outcome = static_cast<Outcome>(std::stoi(f[6]));
    r->code = std::stoi(f[7]);
    r->input_readable = f[8] == "1", r->input_qpdf = f[9] == "1", r->source_changed = f[10] == "1";
    r->leftover = f[11] == "1", r->copy_left = f[12] == "1";
    r->rss_kb = std::stol(f[13]), r->baseline_kb = std::stol(f[14]);
    return Decode(f[15], &r->lib);
}

// ---------------------------------------------------------------- the large input

// One page with 32,000 text annotations, all of them and 33,000 more objects in a single
// object stream, a cross-reference stream over the 65,000: about 1.5 MB.
std::string SyntheticPdf() {
    constexpr uint32_t kAnnots = 32000, kObjects = 65000, kFirst = 5;
    std::mt19937_64 rng(7);
    auto noise = [&rng] {
        char text[17];
        snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(rng()));
        return std::string(text);
    };
    kvtest::PdfBuilder b;
    b.Object(1, "<</Type/Catalog/Pages 2 0 R>>");
    b.Object(2, "<</Type/Pages/Kids[3 0 R]/Count 1>>");
    std::string annots;
    for (uint32_t n = kFirst; n < kFirst + kAnnots; ++n)
        annots += std::to_string(n) + " 0 R ";
    b.Object(3, "<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]/Annots[" + annots + "]>>");
    std::vector<std::pair<uint32_t, std::string>> objects;
    for (uint32_t i = 0; i < kObjects; ++i) {
        const std::string x = std::to_string(i % 600), y = std::to_string(i / 600 % 780);
        objects.push_back({kFirst + i, i < kAnnots ? "<</Type/Annot/Subtype/Text/Rect[" + x + " " +
                                                         y + " " + x + " " + y + "]/P 3 0 R" +
                                                         "/Contents(" + noise() + ")>>"
                                                   : "<</Filler(" + noise() + ")>>"});
    }
    b.ObjectStream(4, objects);
    kvtest::StreamOptions o;
    o.widths = {1, 4, 2};
    b.XrefStream(kFirst + kObjects, o);
    return b.bytes();
}

// ---------------------------------------------------------------- the report

// The signature just made covers the whole file with a sound /ByteRange: the library's
// own check must say so.
bool OwnCheckFails(const Result &r) {
    return r.outcome == Outcome::kSigned && r.lib.ours >= 0 &&
           (r.lib.range_check != KVPDF_RANGE_OK || r.lib.changes != KVPDF_CHANGES_NONE);
}

bool IsDefect(const Result &r, const Options &o) {
    return r.outcome == Outcome::kCrash || r.outcome == Outcome::kHang || r.source_changed ||
           r.leftover || (r.outcome == Outcome::kUnreadable && r.input_readable) ||
           (r.outcome == Outcome::kSigned && r.lib.ours >= 0 && r.lib.verify != 1) ||
           OwnCheckFails(r) || r.rss_kb > long{o.rss_limit_mb} * 1024;
}

std::string Describe(const Result &r) {
    std::string text = r.name + " seed " + std::to_string(r.seed) + " [" + r.kind + "] " +
                       kOutcomeNames[static_cast<int>(r.outcome)];
    if (r.outcome == Outcome::kRefused) text += " " + r.phase + " " + std::to_string(r.code);
    if (!r.crash_line.empty()) text += ": " + r.crash_line;
    if (r.outcome == Outcome::kUnreadable)
        text += r.input_readable ? " (input readable by pdfsig)" : " (input unreadable by pdfsig)";
    if (r.source_changed) text += " SOURCE CHANGED";
    if (r.leftover) text += " LEFTOVER";
    if (r.outcome == Outcome::kSigned && r.lib.ours >= 0 && r.lib.verify != 1)
        text += " OUR SIGNATURE DOES NOT VERIFY";
    if (OwnCheckFails(r))
        text += " OUR SIGNATURE FAILS ITS CHECK (range " + std::to_string(r.lib.range_check) +
                ", changes " + std::to_string(r.lib.changes) + ")";
    text += " rss " + std::to_string(r.rss_kb / 1024) + " MB";
    if (!r.detail.empty()) text += " (" + r.detail + ")";
    return text;
}

struct Tally {
    int tried = 0, refused = 0, signed_ok = 0, unreadable_in_ok = 0, unreadable_in_bad = 0;
    int crashes = 0, hangs = 0, changed = 0, leftovers = 0, copies = 0;
    int ours_found = 0, verified = 0;
    long rss_max = 0;
    void Add(const Result &r) {
        ++tried;
        refused += r.outcome == Outcome::kRefused;
        signed_ok += r.outcome == Outcome::kSigned;
        unreadable_in_ok += r.outcome == Outcome::kUnreadable && r.input_readable;
        unreadable_in_bad += r.outcome == Outcome::kUnreadable && !r.input_readable;
        crashes += r.outcome == Outcome::kCrash;
        hangs += r.outcome == Outcome::kHang;
        changed += r.source_changed;
        leftovers += r.leftover;
        copies += r.copy_left;
        ours_found += r.lib.ours >= 0;
        verified += r.lib.ours >= 0 && r.lib.verify == 1;
        rss_max = std::max(rss_max, r.rss_kb);
    }
};

void PrintTally(const std::string &label, const Tally &t) {
    printf("%-15s %6d %7d %6d %8d %9d %6d %5d %7d %8d %6d %8d %8ld\n", label.c_str(), t.tried,
           t.refused, t.signed_ok, t.unreadable_in_ok, t.unreadable_in_bad, t.crashes, t.hangs,
           t.changed, t.leftovers, t.copies, t.verified, t.rss_max / 1024);
}

int Report(const std::vector<Result> &results, const Options &o) {
    std::map<std::string, Tally> by_kind;
    Tally total;
    std::map<std::string, int> codes;
    for (const Result &r : results) {
        by_kind[r.kind].Add(r);
        total.Add(r);
        if (r.outcome == Outcome::kRefused) ++codes[r.phase + " " + std::to_string(r.code)];
    }
    printf("\n%-15s %6s %7s %6s %8s %9s %6s %5s %7s %8s %6s %8s %8s\n", "class", "tried", "refused",
           "signed", "unread", "unread", "crash", "hang", "source", "leftover", "copy", "verified",
           "rss-max");
    printf("%-15s %6s %7s %6s %8s %9s %6s %5s %7s %8s %6s %8s %8s\n", "", "", "", "", "(in-ok)",
           "(in-bad)", "", "", "changed", "", "left", "", "MB");
    for (const auto &[kind, t] : by_kind)
        PrintTally(kind, t);
    PrintTally("total", total);
    printf("\nrefused, by phase and code:");
    for (const auto &[code, n] : codes)
        printf("  %s x%d", code.c_str(), n);
    std::vector<const Result *> by_rss;
    for (const Result &r : results)
        by_rss.push_back(&r);
    std::sort(by_rss.begin(), by_rss.end(),
              [](const Result *a, const Result *b) { return a->rss_kb > b->rss_kb; });
    printf("\n\npeak RSS: max %ld MB (a case's process starts from %ld MB); top 5:\n",
           total.rss_max / 1024, results.empty() ? 0 : results[0].baseline_kb / 1024);
    for (size_t i = 0; i < by_rss.size() && i < 5; ++i)
        printf("  %s\n", Describe(*by_rss[i]).c_str());
    printf("\nour signature found again by the library in %d of %d signed, verified in %d\n",
           total.ours_found, total.signed_ok + total.unreadable_in_ok + total.unreadable_in_bad,
           total.verified);
    int defects = 0;
    for (const Result &r : results)
        defects += IsDefect(r, o);
    printf("\n%d defects\n", defects);
    for (const Result &r : results)
        if (IsDefect(r, o)) printf("  %s\n", Describe(r).c_str());
    return defects ? 1 : 0;
}

// ---------------------------------------------------------------- running

std::string SavedName(const Result &r) {
    char seed[17];
    snprintf(seed, sizeof seed, "%016llx", static_cast<unsigned long long>(r.seed));
    std::string stem = r.name.substr(0, r.name.rfind('.'));
    return std::string(seed) + "-" + r.kind + "-" + stem + ".pdf";
}

// Runs the cases, at most o.jobs at a time, each in a worker process that runs the
// library in a child of its own and the checkers itself.
std::vector<Result> RunAll(const std::vector<Case> &cases, const Options &o,
                           const kvtest::Pki &pki) {
    struct Worker {
        size_t index;
        int fd;
    };
    std::map<pid_t, Worker> running;
    std::vector<Result> results;
    size_t next = 0;
    fflush(stdout);
    while ((next < cases.size() && !g_stop) || !running.empty()) {
        while (running.size() < static_cast<size_t>(o.jobs) && next < cases.size() && !g_stop) {
            int channel[2];
            if (pipe(channel) != 0) abort();
            const pid_t pid = fork();
            if (pid == 0) {
                signal(SIGINT, SIG_IGN);
                signal(SIGTERM, SIG_IGN);
                close(channel[0]);
                std::string bytes, log;
                Result r = RunCase(cases[next], o, pki, &bytes, &log);
                if (!o.out.empty() && IsDefect(r, o) && !cases[next].replay) {
                    WriteFile(o.out + "/" + SavedName(r), bytes);
                    if (!log.empty()) WriteFile(o.out + "/" + SavedName(r) + ".log", log);
                }
                const std::string line = Serialize(r);
                _exit(write(channel[1], line.data(), line.size()) < 0 ? 3 : 0);
            }
            close(channel[1]);
            running[pid] = {next++, channel[0]};
        }
        int status = 0;
        const pid_t pid = waitpid(-1, &status, 0);
        if (pid < 0 && errno == EINTR) continue;
        auto it = running.find(pid);
        if (it == running.end()) continue;
        std::string line;
        char buffer[4096];
        for (ssize_t n; (n = read(it->second.fd, buffer, sizeof buffer)) > 0;)
            line.append(buffer, static_cast<size_t>(n));
        close(it->second.fd);
        Result r;
        if (!Deserialize(line, &r)) {
            r.name = cases[it->second.index].name;
            r.seed = cases[it->second.index].seed;
            r.kind = "worker";
            r.outcome = Outcome::kCrash;
            r.crash_line = "the worker itself failed";
        }
        if (IsDefect(r, o)) printf("defect: %s\n", Describe(r).c_str());
        if ((results.size() + 1) % 250 == 0)
            printf("... %zu of %zu cases\n", results.size() + 1, cases.size());
        fflush(stdout);
        results.push_back(r);
        running.erase(it);
    }
    return results;
}

bool ParseOptions(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--big") {
            o->big = true;
        } else if (!has_value) {
            return false;
        } else if (a == "--mutants") {
            o->mutants = atoi(argv[++i]);
        } else if (a == "--big-mutants") {
            o->big_mutants = atoi(argv[++i]);
        } else if (a == "--seed") {
            o->seed = strtoull(argv[++i], nullptr, 0);
        } else if (a == "--jobs") {
            o->jobs = std::max(1, atoi(argv[++i]));
        } else if (a == "--timeout") {
            o->timeout = std::max(1, atoi(argv[++i]));
        } else if (a == "--max-size") {
            o->max_size = atol(argv[++i]);
        } else if (a == "--checker-cpu") {
            o->checker_cpu = std::max(1, atoi(argv[++i]));
        } else if (a == "--rss-limit") {
            o->rss_limit_mb = atoi(argv[++i]);
        } else if (a == "--out") {
            o->out = argv[++i];
        } else if (a == "--case") {
            o->cases.push_back(argv[++i]);
        } else if (a == "--make-big") {
            o->make_big = argv[++i];
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    if (!ParseOptions(argc, argv, &o)) {
        fputs(kUsage, stderr);
        return 2;
    }
    if (!o.make_big.empty()) {
        WriteFile(o.make_big, SyntheticPdf());
        return 0;
    }
    for (const char *tool : {"pdfsig", "qpdf"}) {
        if (kvtest::Run(std::string("command -v ") + tool + " >/dev/null") != 0) {
            printf("SKIPPED: %s is not installed (scripts/deps.sh installs it)\n", tool);
            return kSkip;
        }
    }
    if (!o.out.empty()) mkdir(o.out.c_str(), 0755);
    const kvtest::Pki pki("", "");
    kvtest::TempDir work;
    std::vector<Case> cases;
    for (const std::string &path : o.cases)
        cases.push_back({path, path.substr(path.rfind('/') + 1), 0, true});
    if (cases.empty()) {
        const std::string corpus = kvtest::CorpusDir();
        if (corpus.empty()) {
            printf("SKIPPED: no corpus: set KVPDF_CORPUS or provide %s/../shared/corpus\n",
                   KVPDF_SOURCE_DIR);
            return kSkip;
        }
        std::vector<std::string> inputs;
        int left_out = 0;
        for (const kvtest::Row &row : kvtest::CorpusManifest()) {
            if (o.max_size >= 0 && std::stol(row.at("size")) > o.max_size)
                ++left_out;
            else
                inputs.push_back(corpus + "/" + row.at("file"));
        }
        for (const std::string &path : inputs)
            for (int k = 0; k < o.mutants; ++k)
                cases.push_back({path, path.substr(path.rfind('/') + 1),
                                 kvfuzz::CaseSeed(o.seed, path.substr(path.rfind('/') + 1), k)});
        if (o.big) {
            const std::string big = work.file("synthetic-65000.pdf");
            // Made in a child: every case's process starts as a copy of this one, and
            // building the file would add some 100 MB to each case's peak RSS.
            const pid_t maker = fork();
            if (maker == 0) {
                WriteFile(big, SyntheticPdf());
                _exit(0);
            }
            waitpid(maker, nullptr, 0);
            const int n = o.big_mutants < 0 ? o.mutants : o.big_mutants;
            for (int k = 0; k < n; ++k)
                cases.push_back({big, "synthetic-65000.pdf",
                                 kvfuzz::CaseSeed(o.seed, "synthetic-65000.pdf", k)});
        }
        printf("campaign: seed %llu, %d mutants per corpus file, %zu corpus files (%d larger "
               "than --max-size left out)%s, %zu cases, %d jobs\n",
               static_cast<unsigned long long>(o.seed), o.mutants, inputs.size(), left_out,
               o.big ? " + the synthetic file" : "", cases.size(), o.jobs);
    }
    struct sigaction stop;
    memset(&stop, 0, sizeof stop);
    stop.sa_handler = [](int) { g_stop = 1; };
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    std::vector<Result> results = RunAll(cases, o, pki);
    if (results.size() < cases.size())
        printf("stopped: %zu of %zu cases run\n", results.size(), cases.size());
    if (!o.cases.empty())
        for (const Result &r : results)
            printf("%s\n  library: %s\n", Describe(r).c_str(), Encode(r.lib).c_str());
    return Report(results, o);
}
