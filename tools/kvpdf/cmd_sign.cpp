// kvpdf sign and kvpdf timestamp: the whole host flow of a signing request.
#include "cli.h"

#include "kvsxades.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {

namespace {

const char kSignUsage[] =
    "usage: kvpdf sign IN OUT (--p12 FILE --password P | --key FILE --cert FILE) [options]\n"
    "\n"
    "Signs IN into OUT by an incremental update: OUT is IN followed by one new revision\n"
    "holding the signature field and a detached CMS signature over the whole file but\n"
    "its own value. IN is never written (OUT may name IN itself: it is then updated in\n"
    "place). Exit status 0 when OUT is signed, 1 on failure (OUT is then removed, or\n"
    "brought back to IN's bytes when signing in place), 2 for a usage error.\n"
    "\n"
    "key:\n"
    "  --p12 FILE            PKCS#12 file with key, certificate and chain\n"
    "  --key FILE            PEM private key (with --cert)\n"
    "  --cert FILE           PEM file: signer certificate and intermediates\n"
    "  --password P          password of the PKCS#12 file or the PEM key\n"
    "signature:\n"
    "  --cades               ETSI.CAdES.detached (PAdES baseline) instead of adbe.pkcs7.detached\n"
    "  --tsa URL             add a signature timestamp from this RFC 3161 service (http://)\n"
    "  --reason T, --name T, --location T, --contact T   texts of the signature\n"
    "  --reserve BYTES       bytes reserved for the signature (default 30000)\n"
    "appearance:\n"
    "  --invisible           no visible appearance (default: visible, on the first page)\n"
    "  --rect x1,y1,x2,y2    the widget's rectangle in points (default 47,575,255,634)\n"
    "  --appearance FILE     a .sigappx appearance file instead of the built-in stamp\n"
    "  --kontir TEXT         add a Kontir note; --kontir-title T, --kontir-subject T\n"
    "messages:\n"
    "  --lang en|hu          language of the library's messages (default en)\n";

const char kTimestampUsage[] =
    "usage: kvpdf timestamp IN OUT --tsa URL [--reserve BYTES] [--lang en|hu]\n"
    "\n"
    "Adds a document timestamp (/DocTimeStamp, ETSI.RFC3161) to IN, written into OUT as\n"
    "a new revision: an RFC 3161 token from URL (http://) over the whole file but the\n"
    "token itself. Exit status 0 when OUT is stamped, 1 on failure, 2 for a usage error.\n"
    "\n"
    "  --tsa URL         the RFC 3161 service\n"
    "  --reserve BYTES   bytes reserved for the token (default 30000)\n"
    "  --lang en|hu      language of the library's messages (default en)\n";

bool SameFile(const std::string &a, const std::string &b) {
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

bool ParseRect(const std::string &text, int32_t rect[4]) {
    long v[4];
    char tail = 0;
    if (sscanf(text.c_str(), "%ld,%ld,%ld,%ld%c", &v[0], &v[1], &v[2], &v[3], &tail) != 4)
        return false;
    for (int i = 0; i < 4; ++i) {
        if (v[i] < INT32_MIN || v[i] > INT32_MAX) return false;
        rect[i] = static_cast<int32_t>(v[i]);
    }
    return true;
}

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
    KvPdfHandle handle() const { return handle_; }
    int Fail(const char *what, int32_t code) {
        fprintf(stderr, "kvpdf: %s (code %d)\n%s", what, code, Messages(handle_).c_str());
        return 1;
    }
    // Writes the revision and its placeholder; *start is the reserved value's offset.
    int32_t Prepare(intptr_t logo, uint32_t *start) {
        int32_t rc = KvPdfWritePDFWithoutSignature(handle_, logo);
        if (rc != 1) return rc;
        return KvPdfWriteDummySignatureAndAddedContent(handle_, start);
    }
    // The two signed ranges of the output file: [0, start) and the rest after the value.
    void Ranges(uint32_t start, uint32_t *second, uint32_t *second_length) const {
        *second = start + 2 * reserved_ + 2;
        *second_length = static_cast<uint32_t>(FileSize(out_) - *second);
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

} // namespace

int CommandSign(const std::vector<std::string> &args) {
    if (PrintHelp(args, kSignUsage)) return 0;
    Args a;
    int32_t locale = KVPDF_LOCALE_EN;
    if (!Parse(args,
               {"--p12", "--key", "--cert", "--password", "--tsa", "--reason", "--name",
                "--location", "--contact", "--reserve", "--rect", "--appearance", "--kontir",
                "--kontir-title", "--kontir-subject", "--lang"},
               {"--cades", "--invisible"}, &a) ||
        a.positional.size() != 2 || !Locale(a, &locale) || a.has("--p12") == a.has("--key") ||
        (a.has("--key") && !a.has("--cert"))) {
        fputs(kSignUsage, stderr);
        return 2;
    }
    int32_t rect[4];
    if (a.has("--rect") && !ParseRect(a.value("--rect"), rect)) {
        fprintf(stderr, "kvpdf: --rect wants four integers: x1,y1,x2,y2\n");
        return 2;
    }
    Request r(a.positional[0], a.positional[1], atoi(a.value("--reserve", "0").c_str()), locale);
    KvPdfHandle h = r.handle();
    if (h <= 0) {
        fprintf(stderr, "kvpdf: cannot create a document handle\n");
        return 1;
    }
    auto text = [&](int32_t id, const char *flag) {
        if (a.has(flag)) KvPDFSetProperty(h, id, KVPDF_TEXT(a.value(flag).c_str()));
    };
    text(KVPDF_PROP_REASON, "--reason");
    text(KVPDF_PROP_NAME, "--name");
    text(KVPDF_PROP_LOCATION, "--location");
    text(KVPDF_PROP_CONTACT, "--contact");
    text(KVPDF_PROP_KONTIR_TEXT, "--kontir");
    text(KVPDF_PROP_KONTIR_TITLE, "--kontir-title");
    text(KVPDF_PROP_KONTIR_SUBJECT, "--kontir-subject");
    KvPDFSetProperty(h, KVPDF_PROP_VISIBLE, a.has("--invisible") ? 0 : 1);
    if (a.has("--rect"))
        for (int i = 0; i < 4; ++i)
            KvPDFSetProperty(h, KVPDF_PROP_RECT_LLX + i, rect[i]);
    if (a.has("--cades")) KvPDFSetProperty(h, KVPDF_PROP_SUBFILTER_SELECT, KVPDF_SUBFILTER_CADES);
    const std::string appearance = a.value("--appearance");
    intptr_t logo = 0;
    if (!appearance.empty()) {
        logo = KvPDFSetLogo(h, appearance.c_str());
        if (logo <= 0) return r.Fail("cannot load the appearance file", int32_t(logo));
    }
    struct LogoGuard {
        intptr_t logo;
        ~LogoGuard() {
            if (logo > 0) KvPDFLogoFree(reinterpret_cast<LogoImage *>(logo));
        }
    } guard{logo};

    uint32_t start = 0;
    int32_t rc = r.Prepare(logo, &start);
    if (rc != 1) return r.Fail("cannot write the revision to sign", rc);
    uint32_t second = 0, second_length = 0;
    r.Ranges(start, &second, &second_length);

    // The signed bytes are hashed straight from the output file: two ranges, no copy.
    KvsDataObject ranges[2];
    memset(ranges, 0, sizeof ranges);
    for (KvsDataObject &o : ranges) {
        o.data = r.out().c_str();
        o.length = -1;
        o.content_type = "application/pdf";
    }
    ranges[0].range_offset = 0;
    ranges[0].range_length = start;
    ranges[0].next = &ranges[1];
    ranges[1].range_offset = second;
    ranges[1].range_length = second_length;
    const std::string key = a.has("--p12") ? a.value("--p12") : a.value("--key");
    const std::string certs = a.value("--cert"), password = a.value("--password"),
                      tsa = a.value("--tsa");
    KvsSigningParameters params;
    memset(&params, 0, sizeof params);
    params.key = key.c_str();
    params.secret = a.has("--password") ? password.c_str() : nullptr;
    params.certs = a.has("--cert") ? certs.c_str() : nullptr;
    params.tsa_url = a.has("--tsa") ? tsa.c_str() : nullptr;
    params.flags = a.has("--cades") ? KVS_CADES : 0;
    uint8_t *signature = nullptr;
    uint32_t length = 0;
    int s = kvsx_create_signature(nullptr, &params, ranges, &signature, &length, 0, 0);
    if (s != KVSX_OK) {
        fprintf(stderr, "kvpdf: the signature could not be made: %s (%d)\n", kvsx_code_text(s), s);
        return 1;
    }
    rc = KvPdfWriteSignature(h, signature, length);
    kvsx_free(signature);
    if (rc != 1) return r.Fail("cannot write the signature", rc);
    r.Done();
    printf("Signed %s: %s signature of %u bytes in a revision of %u bytes.\n", r.out().c_str(),
           a.has("--cades") ? "ETSI.CAdES.detached" : "adbe.pkcs7.detached", length,
           second_length + (second - start));
    return 0;
}

int CommandTimestamp(const std::vector<std::string> &args) {
    if (PrintHelp(args, kTimestampUsage)) return 0;
    Args a;
    int32_t locale = KVPDF_LOCALE_EN;
    if (!Parse(args, {"--tsa", "--reserve", "--lang"}, {}, &a) || a.positional.size() != 2 ||
        !Locale(a, &locale) || !a.has("--tsa")) {
        fputs(kTimestampUsage, stderr);
        return 2;
    }
    Request r(a.positional[0], a.positional[1], atoi(a.value("--reserve", "0").c_str()), locale);
    KvPdfHandle h = r.handle();
    KvPdfCreateDocTimeStamp(h);
    uint32_t start = 0;
    int32_t rc = r.Prepare(0, &start);
    if (rc != 1) return r.Fail("cannot write the revision to stamp", rc);
    uint32_t second = 0, second_length = 0;
    r.Ranges(start, &second, &second_length);
    // The token is requested over the file's contents: the stamped bytes go to a
    // temporary file first.
    const char *dir = getenv("TMPDIR");
    std::string temp_path = std::string(dir && *dir ? dir : "/tmp") + "/kvpdf-stampXXXXXX";
    int fd = mkstemp(&temp_path[0]);
    if (fd < 0) {
        fprintf(stderr, "kvpdf: cannot make a temporary file\n");
        return 1;
    }
    close(fd);
    uint32_t value_length = 0;
    int32_t error = 0;
    uint8_t *value = KvPdfWritePDFByteRange(h, r.out().c_str(), temp_path.c_str(), &value_length,
                                            &error, start, second, second_length);
    void *block = value;
    KvPDFDestroyer(&block);
    if (error != 0) {
        unlink(temp_path.c_str());
        return r.Fail("cannot copy the bytes to stamp", error);
    }
    void *context = nullptr;
    KvPDF_CryptoInit(&context);
    uint8_t *token = nullptr;
    uint32_t length = 0;
    const std::string tsa = a.value("--tsa");
    rc = KvPDF_CreateTimeStamp(h, context, temp_path.c_str(), &token, &length, tsa.c_str());
    unlink(temp_path.c_str());
    KvPDF_CryptoCleanup(context);
    if (rc != 0) {
        if (rc > 0) fprintf(stderr, "kvpdf: %s\n", kvsx_code_text(rc));
        return r.Fail("the timestamp could not be obtained", rc);
    }
    rc = KvPdfWriteTimestamp(h, token, length);
    KvPDF_FreeData(token);
    if (rc != 1) return r.Fail("cannot write the timestamp", rc);
    r.Done();
    printf("Timestamped %s: token of %u bytes.\n", r.out().c_str(), length);
    return 0;
}

} // namespace cli
