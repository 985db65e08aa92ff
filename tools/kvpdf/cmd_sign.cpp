// SPDX-License-Identifier: Apache-2.0
// kvpdf sign and kvpdf timestamp: the whole host flow of a signing request.
#include "cli.h"

#include "kvsxades.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace cli {

const Command kSignCommand{
    "sign",
    "IN OUT (--p12 FILE | --key FILE --cert FILE) [options]",
    "Signs IN into OUT by an incremental update: OUT is IN followed by one new revision\n"
    "holding the signature field and a detached CMS signature over the whole file but\n"
    "its own value. IN is never written (OUT may name IN itself: it is then updated in\n"
    "place). Exit status 0 when OUT is signed (with --ltv or --lta: and extended), 1 on\n"
    "failure of any step (OUT is then removed, or brought back to IN's bytes when signing\n"
    "in place), 2 for a usage error.\n",
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
    uint32_t RevisionLength() const { return second_length + (second - start); }
};

// One signing request on a handle, undone on failure: in place the revision is taken
// back out, otherwise the output file is removed.
class Request {
public:
    Request(const std::string &in, const std::string &out, int32_t reserve, int32_t locale)
        : in_(in), out_(out), in_place_(SameFile(in, out)),
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
    int Fail(const std::string &what, int32_t code) { return Failure(handle_, in_, what, code); }
    // Writes the revision and its placeholder, and where the signed bytes lie around it.
    int32_t Prepare(intptr_t logo, SignedBytes *bytes) {
        int32_t rc = KvPdfWritePDFWithoutSignature(handle_, logo);
        // An old or x.0 header only draws a warning: the revision is complete, and
        // readers of any version take the signature.
        if (rc == KVPDF_ERR_VERSION_UNSUPPORTED)
            fprintf(stderr, "kvpdf: warning: %s (The revision is complete: it is signed.)\n",
                    Message(handle_, rc).c_str());
        else if (rc != 1)
            return rc;
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
int ParseSignSettings(const std::vector<std::string> &args, SignSettings *out) {
    Args a;
    if (!Parse(args, kSignCommand, &a) || a.positional.size() != 2 || !Locale(a, &out->locale) ||
        a.has("--p12") == a.has("--key") || (a.has("--key") && !a.has("--cert"))) {
        PrintUsage(kSignCommand, stderr);
        return 2;
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

// The signing library's signature over the output's signed bytes, hashed straight
// from the file.
int CreateSignature(const SignSettings &s, const SignedBytes &bytes, uint8_t **signature,
                    uint32_t *length) {
    KvsDataObject ranges[2];
    FileRanges(s.out.c_str(), bytes.start, bytes.second, bytes.second_length, "application/pdf",
               ranges);
    KvsSigningParameters params;
    memset(&params, 0, sizeof params);
    params.key = s.key.c_str();
    params.secret = s.password ? s.password->c_str() : nullptr;
    params.certs = s.certs ? s.certs->c_str() : nullptr;
    params.tsa_url = s.tsa ? s.tsa->c_str() : nullptr;
    params.flags = s.cades ? KVS_CADES : 0;
    Progress progress("Signing", uint64_t{bytes.start} + bytes.second_length);
    return kvsx_create_signature(nullptr, &params, ranges, signature, length, 0, 0);
}

// Signs the prepared revision and writes the value into its placeholder.
int SignPrepared(Request &r, const SignSettings &s, const SignedBytes &bytes) {
    uint8_t *signature = nullptr;
    uint32_t length = 0;
    int made = CreateSignature(s, bytes, &signature, &length);
    // Only a key that needs a password asks for one, and only at a terminal.
    if (made == KVSX_WRONG_PASSWORD && !s.password) {
        SignSettings typed = s;
        typed.password = PromptPassword("Password of " + s.key + ": ");
        if (typed.password) made = CreateSignature(typed, bytes, &signature, &length);
    }
    if (made != KVSX_OK) {
        fprintf(stderr, "kvpdf: %s: the signature could not be made: %s\n  %d: %s\n", s.in.c_str(),
                NetworkCause().c_str(), made, kvsx_code_text(made));
        return 1;
    }
    int32_t rc = KvPdfWriteSignature(r.handle(), signature, length);
    kvsx_free(signature);
    if (rc != 1) return r.Fail("cannot write the signature", rc);
    printf("Signed %s: %s signature of %u bytes in a revision of %u bytes.\n", r.out().c_str(),
           s.cades ? "ETSI.CAdES.detached" : "adbe.pkcs7.detached", length, bytes.RevisionLength());
    return 0;
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

} // namespace

int CommandSign(const std::vector<std::string> &args) {
    if (PrintHelp(args, kSignCommand)) return 0;
    SignSettings settings;
    if (int status = ParseSignSettings(args, &settings); status != 0) return status;
    for (const std::string *file : {&settings.in, &settings.key, &settings.appearance})
        if (!file->empty() && !InputFile(*file)) return 1;
    if ((settings.certs && !InputFile(*settings.certs)) || !OutputFile(settings.out)) return 1;
    Request r(settings.in, settings.out, settings.reserve, settings.locale);
    if (r.handle() <= 0) {
        fprintf(stderr, "kvpdf: cannot create a document handle\n");
        return 1;
    }
    SetProperties(r.handle(), settings);
    Logo logo;
    if (!settings.appearance.empty()) {
        intptr_t loaded = logo.Load(r.handle(), settings.appearance);
        if (loaded <= 0)
            return Failure(r.handle(), settings.appearance, "cannot load the appearance file",
                           int32_t(loaded));
    }
    SignedBytes bytes;
    int32_t rc = r.Prepare(logo.get(), &bytes);
    if (rc != 1) return r.Fail("cannot write the revision to sign", rc);
    if (int failed = SignPrepared(r, settings, bytes); failed) return failed;
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
