// SPDX-License-Identifier: Apache-2.0
// kvpdf sign and kvpdf timestamp: the whole host flow of a signing request.
#include "cli.h"

#include "kvsxades.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace cli {

const Command kSignCommand{
    "sign",
    "IN OUT (--p12 FILE | --key FILE --cert FILE) [options]\n"
    "--out-dir DIR IN... (--p12 FILE | --key FILE --cert FILE) [options]",
    "Signs IN into OUT by an incremental update: OUT is IN followed by one new revision\n"
    "holding the signature field and a detached CMS signature over the whole file but\n"
    "its own value. IN is never written (OUT may name IN itself: it is then updated in\n"
    "place). Exit status 0 when OUT is signed (with --ltv or --lta: and extended), 1 on\n"
    "failure of any step (OUT is then removed, or brought back to IN's bytes when signing\n"
    "in place), 2 for a usage error.\n"
    "\n"
    "With --out-dir, every IN is signed into DIR under its own file name, with the key\n"
    "loaded once and the files shared out among the processor's cores. One line per\n"
    "file, in the order given: the line of a signed file on stdout, the first line of a\n"
    "failure on stderr. Exit status 1 when any file failed; the others are signed.\n",
    {
        {"--p12", "FILE", "PKCS#12 file with key, certificate and chain", "key:"},
        {"--key", "FILE", "PEM private key (with --cert)"},
        {"--cert", "FILE", "PEM file: signer certificate and intermediates"},
        {"--password", "P",
         "password of the PKCS#12 file or the PEM key (other users of\n"
         "the machine can see it: prefer one of the next two)"},
        {"--password-file", "F", "the password is the first line of F"},
        {"--password-env", "NAME",
         "the password is the value of the environment variable NAME\n"
         "(none given: a key that needs one asks for it at the terminal)"},
        {"--cades", nullptr, "ETSI.CAdES.detached (PAdES baseline) instead of adbe.pkcs7.detached",
         "signature:"},
        {"--tsa", "URL", "add a signature timestamp from this RFC 3161 service (http://)"},
        {"--reason", "T", "the reason for signing (UTF-8)"},
        {"--name", "T", "the signer's name (UTF-8)"},
        {"--location", "T", "where it was signed (UTF-8)"},
        {"--contact", "T", "how to reach the signer (UTF-8)"},
        {"--reason-only", nullptr,
         "/Reason without the product sentence (always so for a reason\n"
         "beyond Latin-1: the sentence cannot follow UTF-16 text)"},
        {"--reserve", "BYTES", "bytes reserved for the signature (default 30000, at most 8388608)"},
        {"--timeout", "SECONDS",
         "time limit of each exchange with the TSA, OCSP responders and CRL\n"
         "distribution points (1..600, default 10); a refused connection\n"
         "fails at once"},
        {"--ltv", nullptr,
         "then add the validation data of the signature (its chains'\n"
         "certificates, CRLs and OCSP responses) in a second revision",
         "long-term validation (both need --tsa):"},
        {"--lta", nullptr,
         "as --ltv, then a document timestamp from the same TSA and the\n"
         "validation data of its chain in further revisions"},
        {"--trust", "CERT", "a trust anchor of the chains (they must verify to be collected)"},
        {"--crl", "FILE",
         "a CRL to add (PEM or DER); with no --crl nor --ocsp, --online\n"
         "is implied"},
        {"--ocsp", "FILE", "an OCSP response to add (DER)"},
        {"--online", nullptr, "fetch an OCSP response (else a CRL) for every certificate"},
        {"--invisible", nullptr, "no visible appearance (default: visible, on the first page)",
         "appearance:"},
        {"--rect", "x1,y1,x2,y2",
         "the widget's rectangle in points, 0..14400, x1 < x2, y1 < y2\n"
         "(default 47,575,255,634)"},
        {"--appearance", "FILE", "a .sigappx appearance file instead of the built-in stamp"},
        {"--kontir", "TEXT", "add a Kontir note"},
        {"--kontir-title", "T", "the note's title"},
        {"--kontir-subject", "T", "the note's subject"},
        {"--page", "N",
         "the widget on page N (1 = the first); the rectangle is kept\n"
         "inside that page's crop box"},
        {"--field", "NAME",
         "the signature field's name (default KvSignature<n>); an\n"
         "unsigned signature field of that name is signed where it is",
         "form field and certification:"},
        {"--certify", nullptr, "a certification signature (DocMDP), level 2 unless --docmdp"},
        {"--docmdp", "1|2|3",
         "the changes it permits: 1 none, 2 form filling and signing,\n"
         "3 also annotations"},
        {"--out-dir", "DIR",
         "sign every IN into DIR under its file name (not with --ltv\n"
         "or --lta); DIR must not hold an IN itself",
         "many files:"},
        {"--lang", "en|hu", "language of the library's messages (default en)", "messages:"},
        {"--quiet", nullptr, "no progress on a terminal while a large file is hashed"},
    }};

const Command kTimestampCommand{
    "timestamp",
    "IN OUT --tsa URL [--reserve BYTES] [--timeout SECONDS] [--lang en|hu]",
    "Adds a document timestamp (/DocTimeStamp, ETSI.RFC3161) to IN, written into OUT as\n"
    "a new revision: an RFC 3161 token from URL (http://) over the whole file but the\n"
    "token itself. Exit status 0 when OUT is stamped, 1 on failure, 2 for a usage error.\n",
    {
        {"--tsa", "URL", "the RFC 3161 service"},
        {"--reserve", "BYTES", "bytes reserved for the token (default 30000, at most 8388608)"},
        {"--timeout", "SECONDS", "time limit of the exchange with the TSA (1..600, default 10)"},
        kLangOption,
    }};

namespace {

// The largest /Contents the tool reserves: the value is written twice as long in hex.
constexpr int64_t kMaxReserve = 8 << 20;
// The largest page a reader must show is 14400 units square (ISO 32000-1, C.2).
constexpr long kMaxCoordinate = 14400;

bool ParseRect(const std::string &text, int32_t rect[4]) {
    long v[4];
    char tail = 0;
    int used = 0;
    if (sscanf(text.c_str(), "%ld,%ld,%ld,%ld%n%c", &v[0], &v[1], &v[2], &v[3], &used, &tail) !=
            4 ||
        static_cast<size_t>(used) != text.size() || strchr(text.c_str(), ' ') ||
        strchr(text.c_str(), '+') || v[0] >= v[2] || v[1] >= v[3])
        return false;
    for (int i = 0; i < 4; ++i) {
        if (v[i] < 0 || v[i] > kMaxCoordinate) return false;
        rect[i] = static_cast<int32_t>(v[i]);
    }
    return true;
}

// The number of --reserve, 0 for the library's default; false (said) when bad.
bool Reserve(const Args &a, int32_t *reserve) {
    int64_t value = 0;
    if (!Number(a, "--reserve", 0, kMaxReserve, &value)) return false;
    *reserve = static_cast<int32_t>(value);
    return true;
}

// The signed bytes of an output file: [0, start) and [second, second + second_length),
// the reserved value in between.
struct SignedBytes {
    uint32_t start = 0, second = 0, second_length = 0;
};

// Where the outcome of one file goes: said at once, or in a batch kept as one line for
// the output in the order of the files.
struct Outcome {
    bool batch = false;
    bool failed = false;
    std::string line;
    int Fail(KvPdfHandle h, const std::string &file, const std::string &what, int32_t code) {
        failed = true;
        if (!batch) return Failure(h, file, what, code);
        line = FailureLine(h, file, what, code);
        return 1;
    }
    // A failure of the signing library.
    int FailSigning(const std::string &file, int code) {
        failed = true;
        line = "kvpdf: " + file + ": the signature could not be made: " + NetworkCause() + " (" +
               std::to_string(code) + ": " + kvsx_code_text(code) + ")";
        if (!batch) fprintf(stderr, "%s\n", line.c_str());
        return 1;
    }
    void Done(const std::string &text) {
        line = text;
        if (!batch) printf("%s\n", text.c_str());
    }
};

// One signing request on a handle, undone on failure: in place the revision is taken
// back out, otherwise the output file is removed.
class Request {
public:
    Request(const std::string &in, const std::string &out, int32_t reserve, int32_t locale,
            Outcome *outcome = nullptr)
        : in_(in), out_(out), in_place_(SameFile(in, out)), outcome_(outcome),
          handle_(KvPDFInit(in.c_str(), out.c_str(), reserve)), reserved_(ReservedBytes(reserve)) {
        KvPdfSetLocale(handle_, locale);
        KvPDFSetProperty(handle_, KVPDF_PROP_LOCALE, locale);
    }
    ~Request() {
        if (!done_) {
            if (in_place_)
                KvPDFRestorePDF(handle_);
            else
                unlink(out_.c_str());
        }
        KvPDFClose(handle_);
    }
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;
    KvPdfHandle handle() const { return handle_; }
    int Fail(const std::string &what, int32_t code) {
        return outcome_ ? outcome_->Fail(handle_, in_, what, code)
                        : Failure(handle_, in_, what, code);
    }
    // Writes the revision, and with bytes its placeholder and where the signed bytes lie
    // around it (without, the library's digest stands for them).
    int32_t Prepare(intptr_t logo, SignedBytes *bytes) {
        int32_t rc = KvPdfWritePDFWithoutSignature(handle_, logo);
        // An old or x.0 header only draws a warning: the revision is complete, and
        // readers of any version take the signature.
        if (rc == KVPDF_ERR_VERSION_UNSUPPORTED)
            fprintf(stderr, "kvpdf: warning: %s (The revision is complete: it is signed.)\n",
                    Message(handle_, rc).c_str());
        else if (rc != 1)
            return rc;
        if (!bytes) return 1;
        rc = KvPdfWriteDummySignatureAndAddedContent(handle_, &bytes->start);
        if (rc != 1) return rc;
        bytes->second = bytes->start + 2 * reserved_ + 2;
        bytes->second_length = static_cast<uint32_t>(FileSize(out_) - bytes->second);
        return rc;
    }
    void Done() { done_ = true; }
    const std::string &out() const { return out_; }

private:
    std::string in_, out_;
    bool in_place_;
    Outcome *outcome_;
    KvPdfHandle handle_;
    uint32_t reserved_;
    bool done_ = false;
};

// An appearance file loaded for the request, freed after it.
class Logo {
public:
    Logo() = default;
    ~Logo() {
        if (logo_ > 0) KvPDFLogoFree(reinterpret_cast<LogoImage *>(logo_));
    }
    Logo(const Logo &) = delete;
    Logo &operator=(const Logo &) = delete;
    // The library's result: a logo (> 0) or a failure code.
    intptr_t Load(KvPdfHandle h, const std::string &path) {
        return logo_ = KvPDFSetLogo(h, path.c_str());
    }
    intptr_t get() const { return logo_; }

private:
    intptr_t logo_ = 0;
};

struct SignSettings {
    std::string in, out;
    int32_t locale = KVPDF_LOCALE_EN;
    int32_t reserve = 0;
    bool cades = false, invisible = false;
    std::optional<std::array<int32_t, 4>> rect;
    std::string appearance;
    std::string key;
    std::optional<std::string> certs, password, tsa;
    std::vector<std::pair<int32_t, std::string>> texts; // property id, literal-string body
    bool reason_only = false;
    bool ltv = false, lta = false;
    LtvSources sources;
    std::optional<std::string> field; // as the user gave it
    int32_t page = 0, certify = 0;
};

// --field, --page, --certify and --docmdp; false with the reason on stderr.
bool ParseWorkflow(const Args &a, SignSettings *out) {
    int64_t page = 0, level = 2;
    if (!Number(a, "--page", 1, INT32_MAX, &page)) return false;
    if (a.has("--docmdp") && !a.has("--certify")) {
        fprintf(stderr, "kvpdf: --docmdp goes with --certify\n");
        return false;
    }
    if (!Number(a, "--docmdp", 1, 3, &level)) return false;
    if (a.has("--field") && a.value("--field").empty()) {
        fprintf(stderr, "kvpdf: --field wants a name\n");
        return false;
    }
    out->page = static_cast<int32_t>(page);
    out->certify = a.has("--certify") ? static_cast<int32_t>(level) : 0;
    if (a.has("--field")) out->field = a.value("--field");
    return true;
}

// The texts of the signature in the order the library receives them.
const struct {
    int32_t id;
    const char *flag;
} kTexts[] = {{KVPDF_PROP_REASON, "--reason"},
              {KVPDF_PROP_NAME, "--name"},
              {KVPDF_PROP_LOCATION, "--location"},
              {KVPDF_PROP_CONTACT, "--contact"},
              {KVPDF_PROP_KONTIR_TEXT, "--kontir"},
              {KVPDF_PROP_KONTIR_TITLE, "--kontir-title"},
              {KVPDF_PROP_KONTIR_SUBJECT, "--kontir-subject"}};

std::optional<std::string> Optional(const Args &a, const char *flag) {
    if (!a.has(flag)) return std::nullopt;
    return a.value(flag);
}

// 0, or the exit status after the reason on stderr: 2 for a usage error.
// 0, or the exit status after the reason on stderr: 2 for a usage error. With --out-dir
// every positional argument is an input.
int ParseSignSettings(const std::vector<std::string> &args, SignSettings *out,
                      std::vector<std::string> *inputs, std::string *out_dir) {
    Args a;
    const bool parsed = Parse(args, kSignCommand, &a), batch = parsed && a.has("--out-dir");
    if (!parsed || (batch ? a.positional.empty() : a.positional.size() != 2) ||
        !Locale(a, &out->locale) || a.has("--p12") == a.has("--key") ||
        (a.has("--key") && !a.has("--cert"))) {
        PrintUsage(kSignCommand, stderr);
        return 2;
    }
    if (batch && (a.has("--ltv") || a.has("--lta") || a.value("--out-dir").empty())) {
        fprintf(stderr, "kvpdf: --out-dir wants a folder and goes without --ltv and --lta\n");
        return 2;
    }
    if (batch) {
        *inputs = a.positional;
        *out_dir = a.value("--out-dir");
        a.positional = {inputs->front(), *out_dir};
    }
    if (a.has("--rect") && !ParseRect(a.value("--rect"), out->rect.emplace().data())) {
        fprintf(stderr,
                "kvpdf: --rect %s: not four whole numbers x1,y1,x2,y2 from 0 to %ld with x1 < x2 "
                "and y1 < y2\n",
                a.value("--rect").c_str(), kMaxCoordinate);
        return 2;
    }
    if (!Reserve(a, &out->reserve) || !HttpTimeout(a) || !ParseWorkflow(a, out)) return 2;
    out->ltv = a.has("--ltv") || a.has("--lta");
    out->lta = a.has("--lta");
    if (out->ltv && !a.has("--tsa")) {
        fprintf(stderr, "kvpdf: --ltv and --lta need --tsa\n");
        return 2;
    }
    if (!out->ltv && (a.has("--trust") || a.has("--crl") || a.has("--ocsp") || a.has("--online"))) {
        fprintf(stderr, "kvpdf: --trust, --crl, --ocsp and --online go with --ltv or --lta\n");
        return 2;
    }
    out->sources = {a.values("--trust"), a.values("--crl"), a.values("--ocsp"),
                    a.has("--online") || (!a.has("--crl") && !a.has("--ocsp"))};
    out->in = a.positional[0];
    out->out = a.positional[1];
    out->cades = a.has("--cades");
    out->invisible = a.has("--invisible");
    out->appearance = a.value("--appearance");
    out->key = a.has("--p12") ? a.value("--p12") : a.value("--key");
    out->certs = Optional(a, "--cert");
    out->tsa = Optional(a, "--tsa");
    // The library writes the texts into literal strings as they come.
    for (const auto &t : kTexts)
        if (a.has(t.flag)) out->texts.emplace_back(t.id, PdfLiteralBody(a.value(t.flag)));
    out->reason_only = a.has("--reason-only") ||
                       (a.has("--reason") && IsUtf16Body(PdfLiteralBody(a.value("--reason"))));
    Progress::quiet = a.has("--quiet");
    return PasswordOption(a, &out->password);
}

void SetProperties(KvPdfHandle h, const SignSettings &s) {
    for (const auto &[id, value] : s.texts)
        KvPDFSetProperty(h, id, KVPDF_TEXT(value.c_str()));
    KvPDFSetProperty(h, KVPDF_PROP_VISIBLE, s.invisible ? 0 : 1);
    if (s.rect)
        for (int i = 0; i < 4; ++i)
            KvPDFSetProperty(h, KVPDF_PROP_RECT_LLX + i, (*s.rect)[i]);
    if (s.cades) KvPDFSetProperty(h, KVPDF_PROP_SUBFILTER_SELECT, KVPDF_SUBFILTER_CADES);
    if (s.reason_only) KvPDFSetProperty(h, KVPDF_PROP_REASON_ONLY, 1);
    if (s.field) {
        KvPDFSetProperty(h, KVPDF_PROP_FIELD_NAME, KVPDF_TEXT(PdfLiteralBody(*s.field).c_str()));
        KvPDFSetProperty(h, KVPDF_PROP_SIGN_EXISTING_FIELD, 1);
    }
    if (s.page) KvPDFSetProperty(h, KVPDF_PROP_PAGE, s.page);
    if (s.certify) KvPDFSetProperty(h, KVPDF_PROP_CERTIFY, s.certify);
}

KvsSigningParameters Parameters(const SignSettings &s, const std::optional<std::string> &password) {
    KvsSigningParameters params;
    memset(&params, 0, sizeof params);
    params.key = s.key.c_str();
    params.secret = password ? password->c_str() : nullptr;
    params.certs = s.certs ? s.certs->c_str() : nullptr;
    params.tsa_url = s.tsa ? s.tsa->c_str() : nullptr;
    params.flags = s.cades ? KVS_CADES : 0;
    return params;
}

// The signer's key and certificates, loaded once for every file the command signs.
class Signer {
public:
    Signer() = default;
    ~Signer() { kvsx_free_signer(signer_); }
    Signer(const Signer &) = delete;
    Signer &operator=(const Signer &) = delete;
    // 0, or the exit status after the cause on stderr. Only a key that needs a password
    // asks for one, and only at a terminal.
    int Load(const SignSettings &s) {
        KvsSigningParameters params = Parameters(s, s.password);
        int rc = kvsx_load_signer(&params, &signer_);
        if (rc == KVSX_WRONG_PASSWORD && !s.password) {
            const std::optional<std::string> typed = PromptPassword("Password of " + s.key + ": ");
            params = Parameters(s, typed);
            if (typed) rc = kvsx_load_signer(&params, &signer_);
        }
        if (rc == KVSX_OK) return 0;
        fprintf(stderr, "kvpdf: %s: the key cannot be loaded: %s\n  %d: %s\n", s.key.c_str(),
                NetworkCause().c_str(), rc, kvsx_code_text(rc));
        return 1;
    }
    const KvsSigner *get() const { return signer_; }

private:
    KvsSigner *signer_ = nullptr;
};

// Signs the prepared revision over the digest the library computed while it wrote the
// output, and writes the value into its placeholder.
int SignPrepared(Request &r, const SignSettings &s, const Signer &signer, int64_t source_size,
                 Outcome &outcome) {
    uint8_t digest[KVSX_MAX_DIGEST];
    const int32_t n = KvPdfGetSignedDigest(r.handle(), digest, sizeof digest);
    if (n <= 0) return r.Fail("no digest of the signed bytes", n);
    const KvsSigningParameters params = Parameters(s, std::nullopt);
    uint8_t *signature = nullptr;
    uint32_t length = 0;
    const int made = kvsx_sign_digest(nullptr, signer.get(), &params, KVS_HASH_SHA256, digest,
                                      static_cast<uint32_t>(n), &signature, &length);
    if (made != KVSX_OK) return outcome.FailSigning(s.in, made);
    int32_t rc = KvPdfWriteSignature(r.handle(), signature, length);
    kvsx_free(signature);
    if (rc != 1) return r.Fail("cannot write the signature", rc);
    outcome.Done("Signed " + r.out() + ": " +
                 (s.cades ? "ETSI.CAdES.detached" : "adbe.pkcs7.detached") + " signature of " +
                 std::to_string(length) + " bytes in a revision of " +
                 std::to_string(FileSize(r.out()) - source_size) + " bytes.");
    return 0;
}

// Signs s.in into s.out with the loaded key: 0, or the exit status of the failure. The
// request stays open (not done) for the caller to extend or to keep.
int SignOne(Request &r, const SignSettings &s, const Signer &signer, Outcome &outcome) {
    if (r.handle() <= 0) return r.Fail("cannot create a document handle", int32_t(r.handle()));
    SetProperties(r.handle(), s);
    KvPDFSetProperty(r.handle(), KVPDF_PROP_COPY_DIGEST, 256);
    Logo logo;
    if (!s.appearance.empty()) {
        intptr_t loaded = logo.Load(r.handle(), s.appearance);
        if (loaded <= 0)
            return outcome.Fail(r.handle(), s.appearance, "cannot load the appearance file",
                                int32_t(loaded));
    }
    const int64_t size = FileSize(s.in);
    int32_t rc;
    {
        Progress progress("Signing", static_cast<uint64_t>(std::max<int64_t>(size, 0)));
        rc = r.Prepare(logo.get(), nullptr);
    }
    if (rc != 1) return r.Fail("cannot write the revision to sign", rc);
    return SignPrepared(r, s, signer, size, outcome);
}

// The token is requested over the file's contents: the stamped bytes go to a
// temporary file first. 0, or the exit status of the failure.
int RequestToken(Request &r, const SignedBytes &bytes, const std::string &tsa, uint8_t **token,
                 uint32_t *length) {
    std::string temp_path;
    if (!MakeTempFile("kvpdf-stamp", &temp_path)) {
        fprintf(stderr, "kvpdf: %s: cannot make a temporary file in $TMPDIR (else /tmp): %s\n",
                r.out().c_str(), strerror(errno));
        return 1;
    }
    uint32_t value_length = 0;
    int32_t error = 0;
    void *value =
        KvPdfWritePDFByteRange(r.handle(), r.out().c_str(), temp_path.c_str(), &value_length,
                               &error, bytes.start, bytes.second, bytes.second_length);
    KvPDFDestroyer(&value);
    if (error != 0) {
        unlink(temp_path.c_str());
        return r.Fail("cannot copy the bytes to stamp", error);
    }
    void *context = nullptr;
    KvPDF_CryptoInit(&context);
    int32_t rc =
        KvPDF_CreateTimeStamp(r.handle(), context, temp_path.c_str(), token, length, tsa.c_str());
    unlink(temp_path.c_str());
    KvPDF_CryptoCleanup(context);
    if (rc != 0) {
        if (rc > 0) fprintf(stderr, "kvpdf: %s\n", kvsx_code_text(rc));
        return r.Fail(NetworkCause(), rc);
    }
    return 0;
}

// A document timestamp of in, written into out (shown as shown). 0, or the exit status
// of the failure.
int Stamp(const std::string &in, const std::string &out, const std::string &shown,
          const std::string &tsa, int32_t reserve, int32_t locale) {
    Request r(in, out, reserve, locale);
    KvPdfCreateDocTimeStamp(r.handle());
    SignedBytes bytes;
    int32_t rc = r.Prepare(0, &bytes);
    if (rc != 1) return r.Fail("cannot write the revision to stamp", rc);
    uint8_t *token = nullptr;
    uint32_t length = 0;
    if (int failed = RequestToken(r, bytes, tsa, &token, &length); failed != 0) return failed;
    rc = KvPdfWriteTimestamp(r.handle(), token, length);
    KvPDF_FreeData(token);
    if (rc != 1) return r.Fail("cannot write the timestamp", rc);
    r.Done();
    printf("Timestamped %s: token of %u bytes.\n", shown.c_str(), length);
    return 0;
}

// The validation data after the signature, and for --lta a document timestamp and the
// data of its chain, each revision staged beside OUT: OUT takes them only when every
// step succeeded, and the signed revision goes with them otherwise.
int Extend(Request &r, const SignSettings &s) {
    Staged lt(s.out), stamped(s.out), lta(s.out);
    if (!lt.ok() || !stamped.ok() || !lta.ok()) {
        fprintf(stderr, "kvpdf: cannot create a file beside %s\n", s.out.c_str());
        return 1;
    }
    bool added = false;
    if (int failed = AddValidationData(s.out, lt.path(), s.sources, s.locale, &added); failed)
        return failed;
    Staged *last = &lt;
    if (s.lta) {
        if (int failed = Stamp(lt.path(), stamped.path(), s.out, *s.tsa, 0, s.locale); failed)
            return failed;
        if (int failed = AddValidationData(stamped.path(), lta.path(), s.sources, s.locale, &added);
            failed)
            return failed;
        last = &lta;
    }
    if (!last->Commit()) {
        fprintf(stderr, "kvpdf: %s: cannot write: %s\n", s.out.c_str(), strerror(errno));
        return 1;
    }
    r.Done();
    return 0;
}

// The output of each input in dir; false (said) when two inputs share a name or an
// output would be an input itself.
bool BatchOutputs(const std::vector<std::string> &inputs, const std::string &dir,
                  std::vector<std::string> *outputs) {
    std::set<std::string> names;
    for (const std::string &in : inputs) {
        const size_t slash = in.rfind('/');
        const std::string name = slash == std::string::npos ? in : in.substr(slash + 1);
        std::string out = dir;
        out.append("/").append(name);
        if (name.empty() || !names.insert(name).second) {
            fprintf(stderr, "kvpdf: %s: another input has the name \"%s\" in %s\n", in.c_str(),
                    name.c_str(), dir.c_str());
            return false;
        }
        if (SameFile(in, out)) {
            fprintf(stderr, "kvpdf: %s: --out-dir %s holds the input itself\n", in.c_str(),
                    dir.c_str());
            return false;
        }
        outputs->push_back(out);
    }
    return true;
}

// Signs every input into dir on all cores, with one key load: each file on a handle of
// its own. The lines are written in the order of the inputs as soon as all before them
// are.
int SignBatch(const SignSettings &s, const std::vector<std::string> &inputs,
              const std::string &dir) {
    std::vector<std::string> outputs;
    if (!BatchOutputs(inputs, dir, &outputs)) return 2;
    if (!OutputFile(outputs[0])) return 1;
    Signer signer;
    if (int failed = signer.Load(s); failed) return failed;
    Progress::quiet = true;
    // Each file allocates and frees the same few hundred kilobytes: the C library would
    // give them back to the system and fault them in again for every file.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    const size_t n = inputs.size();
    std::vector<Outcome> outcomes(n);
    std::vector<char> finished(n, 0);
    std::atomic<size_t> next{0};
    std::mutex mutex;
    size_t written = 0, failures = 0;
    auto work = [&] {
        for (size_t i = next++; i < n; i = next++) {
            Outcome &o = outcomes[i];
            o.batch = true;
            SignSettings one = s;
            one.in = inputs[i];
            one.out = outputs[i];
            const std::string problem = InputProblem(one.in);
            if (!problem.empty()) {
                o.failed = true;
                o.line = "kvpdf: " + problem;
            } else {
                Request r(one.in, one.out, one.reserve, one.locale, &o);
                if (SignOne(r, one, signer, o) == 0) r.Done();
            }
            std::lock_guard<std::mutex> lock(mutex);
            finished[i] = 1;
            for (; written < n && finished[written]; ++written) {
                const Outcome &done = outcomes[written];
                fprintf(done.failed ? stderr : stdout, "%s\n", done.line.c_str());
                failures += done.failed ? 1 : 0;
            }
        }
    };
    const size_t cores = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::thread> threads;
    for (size_t t = 1; t < std::min(cores, n); ++t)
        threads.emplace_back(work);
    work();
    for (std::thread &t : threads)
        t.join();
    fflush(stdout);
    if (failures == 0) return 0;
    fprintf(stderr, "kvpdf: %zu of %zu files were not signed\n", failures, n);
    return 1;
}

} // namespace

int CommandSign(const std::vector<std::string> &args) {
    if (PrintHelp(args, kSignCommand)) return 0;
    SignSettings settings;
    std::vector<std::string> inputs;
    std::string out_dir;
    if (int status = ParseSignSettings(args, &settings, &inputs, &out_dir); status != 0)
        return status;
    // A batch says what is wrong with an input on that input's line.
    if (out_dir.empty() && !InputFile(settings.in)) return 1;
    for (const std::string *file : {&settings.key, &settings.appearance})
        if (!file->empty() && !InputFile(*file)) return 1;
    if (settings.certs && !InputFile(*settings.certs)) return 1;
    if (!out_dir.empty()) return SignBatch(settings, inputs, out_dir);
    if (!OutputFile(settings.out)) return 1;
    Signer signer;
    if (int failed = signer.Load(settings); failed) return failed;
    Outcome outcome;
    Request r(settings.in, settings.out, settings.reserve, settings.locale, &outcome);
    if (int failed = SignOne(r, settings, signer, outcome); failed) return failed;
    if (settings.ltv) {
        const int status = Extend(r, settings);
        if (status != 0)
            fprintf(stderr,
                    "kvpdf: the signature is not kept without its validation data: %s is "
                    "as it was\n",
                    settings.out.c_str());
        return status;
    }
    r.Done();
    return 0;
}

int CommandTimestamp(const std::vector<std::string> &args) {
    if (PrintHelp(args, kTimestampCommand)) return 0;
    Args a;
    int32_t locale = KVPDF_LOCALE_EN;
    if (!Parse(args, kTimestampCommand, &a) || a.positional.size() != 2 || !Locale(a, &locale) ||
        !a.has("--tsa")) {
        PrintUsage(kTimestampCommand, stderr);
        return 2;
    }
    int32_t reserve = 0;
    if (!Reserve(a, &reserve) || !HttpTimeout(a)) return 2;
    if (!InputFile(a.positional[0]) || !OutputFile(a.positional[1])) return 1;
    return Stamp(a.positional[0], a.positional[1], a.positional[1], a.value("--tsa"), reserve,
                 locale);
}

} // namespace cli
