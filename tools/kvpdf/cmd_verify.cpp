// kvpdf verify: every signature and document timestamp of a file, checked.
#include "cli.h"

#include "kvsxades.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>
#include <vector>

namespace cli {

namespace {

const char kVerifyUsage[] =
    "usage: kvpdf verify FILE [--trust CERT]... [--cert CERT]... [--crl FILE]... [--ocsp FILE]...\n"
    "                         [--online] [--lang en|hu]\n"
    "\n"
    "Verifies every signature and document timestamp the library finds in FILE: whether\n"
    "the signed bytes are intact, the signature value valid, and the signer trusted (a\n"
    "chain to a trusted root, valid at the signing time, not revoked), with the reason\n"
    "when not; the signer, the signing time, the timestamp, and whether the signature\n"
    "covers the whole file or later revisions follow. The file is never written.\n"
    "Exit status 0 when every signature is intact, valid and trusted; 1 otherwise or on\n"
    "failure; 2 for a usage error.\n"
    "\n"
    "  --trust CERT   a trusted root certificate (PEM or DER file)\n"
    "  --cert CERT    an intermediate certificate\n"
    "  --crl FILE     a CRL to check revocation with (PEM or DER)\n"
    "  --ocsp FILE    an OCSP response to check revocation with (DER)\n"
    "  --online       fetch CRLs and OCSP responses named in the certificates\n"
    "  --lang en|hu   language of the library's messages (default en)\n";

std::string Utc(int64_t t) {
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    gmtime_r(&tt, &tm);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return text;
}

// The length of the DER object at the start of a /Contents value (zeros follow it).
uint32_t DerLength(const uint8_t *p, uint32_t n) {
    if (n < 2 || p[0] != 0x30) return n;
    if (p[1] < 0x80) return 2u + p[1] <= n ? 2u + p[1] : n;
    uint32_t k = p[1] & 0x7F, length = 0;
    if (k == 0 || k > 4 || 2 + k > n) return n;
    for (uint32_t i = 0; i < k; ++i)
        length = length << 8 | p[2 + i];
    uint64_t total = uint64_t{2} + k + length;
    return total <= n ? static_cast<uint32_t>(total) : n;
}

std::string Signer(KvsContext *context) {
    KvsCertDataChain *chain = nullptr;
    std::string subject = "-";
    if (kvsx_get_signer_chain(context, &chain) == KVSX_OK && chain) {
        KvsCertificateInfo info;
        memset(&info, 0, sizeof info);
        if (kvsx_parse_certificate(chain->cert, static_cast<int32_t>(chain->cert_length), &info) ==
                KVSX_OK &&
            info.subject)
            subject = info.subject;
        kvsx_release_certificate(&info);
    }
    kvsx_free_cert_data_chain(chain);
    return subject;
}

std::string Timestamp(KvsContext *context) {
    KvsTimestampInfo *list = nullptr;
    std::string text = "none";
    if (kvsx_get_timestamp_infos(context, &list) == KVSX_OK && list) text = Utc(list->time);
    if (list) kvsx_free_timestamp_infos(list);
    return text;
}

struct Verdict {
    bool intact = false, valid = false, trusted = false;
    std::string reason;
};

// What a result of the signing library says about the three questions.
Verdict Judge(int code) {
    Verdict v;
    v.reason = kvsx_code_text(code);
    switch (code) {
    case KVSX_OK:
        v.intact = v.valid = v.trusted = true;
        break;
    case KVSX_SIGNATURE_INVALID:
        v.intact = true;
        break;
    case KVSX_TIMESTAMP_INVALID:
    case KVSX_UNTRUSTED:
    case KVSX_EXPIRED:
    case KVSX_REVOKED:
    case KVSX_CHAIN_INVALID:
        v.intact = v.valid = true;
        break;
    default:
        break; // the digest does not match, or the signature could not be read
    }
    return v;
}

const char *YesNo(bool b) {
    return b ? "yes" : "no";
}

// The decoded /Contents value between offsets a ("<") and b (just after ">").
std::vector<uint8_t> ReadValue(const std::string &path, uint32_t a, uint32_t b) {
    std::vector<uint8_t> value;
    if (b < uint64_t{a} + 2 || b - a > (1u << 26)) return value;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return value;
    std::string hex(b - a - 2, '\0');
    bool ok =
        fseeko(f, off_t(a) + 1, SEEK_SET) == 0 && fread(&hex[0], 1, hex.size(), f) == hex.size();
    fclose(f);
    if (!ok) return value;
    auto nibble = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : 0;
    };
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        value.push_back(static_cast<uint8_t>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
    return value;
}

struct VerifySettings {
    std::string path;
    int32_t locale = KVPDF_LOCALE_EN;
    Args args; // the trust and revocation files, --online
};

bool ParseVerifySettings(const std::vector<std::string> &args, VerifySettings *out) {
    Args &a = out->args;
    if (!Parse(args, {"--trust", "--cert", "--crl", "--ocsp", "--lang"}, {"--online"}, &a) ||
        a.positional.size() != 1 || !Locale(a, &out->locale))
        return false;
    out->path = a.positional[0];
    return true;
}

// Hands the certificates, CRLs and OCSP responses named on the command line to the
// signing library's stores.
bool LoadStores(const Args &a) {
    struct Loaded {
        const char *flag;
        int (*add)(const void *, int32_t);
    } const sources[] = {{"--trust", kvsx_add_cert},
                         {"--cert", kvsx_add_cert},
                         {"--crl", kvsx_add_crl},
                         {"--ocsp", kvsx_add_ocsp}};
    for (const Loaded &s : sources)
        for (const std::string &file : a.values(s.flag))
            if (int rc = s.add(file.c_str(), -1); rc != KVSX_OK) {
                fprintf(stderr, "kvpdf: cannot load %s %s: %s\n", s.flag + 2, file.c_str(),
                        kvsx_code_text(rc));
                return false;
            }
    kvsx_set_use_cdp(a.has("--online") ? 1 : 0);
    return true;
}

// A token is checked over a file of the stamped bytes.
int CheckTimestamp(KvPdfHandle h, KvsContext *context, const std::string &path, const uint32_t r[4],
                   const std::vector<uint8_t> &value, uint32_t der) {
    std::string temp_path;
    if (!MakeTempFile("kvpdf-verify", &temp_path)) return KVSX_E_BAD_CMS;
    uint32_t ignored = 0;
    int32_t error = 0;
    void *again = KvPdfWritePDFByteRange(h, path.c_str(), temp_path.c_str(), &ignored, &error, r[1],
                                         r[2], r[3]);
    KvPDFDestroyer(&again);
    int code = kvsx_verify_doc_timestamp(context, temp_path.c_str(), -1, value.data(), der);
    unlink(temp_path.c_str());
    return code;
}

// The signing library's result for one signature or document timestamp.
int Check(KvPdfHandle h, KvsContext *context, const std::string &path, const SignatureInfo &s) {
    const uint32_t *r = s.byte_range;
    // The value, read from the file; the signed bytes stay in the file.
    std::vector<uint8_t> value = ReadValue(path, r[1], r[2]);
    if (value.empty()) return KVSX_E_BAD_CMS;
    const uint32_t der = DerLength(value.data(), static_cast<uint32_t>(value.size()));
    if (s.kind == KVPDF_SIG_KIND_DOC_TIMESTAMP)
        return CheckTimestamp(h, context, path, r, value, der);
    KvsDataObject ranges[2];
    FileRanges(path.c_str(), r[1], r[2], r[3], nullptr, ranges);
    return kvsx_verify_signature(context, ranges, value.data(), der, 0, 0, nullptr);
}

void PrintVerdict(KvsContext *context, const SignatureInfo &s, const Verdict &v, int64_t size) {
    printf("  signer:        %s\n", Signer(context).c_str());
    if (s.kind != KVPDF_SIG_KIND_DOC_TIMESTAMP)
        printf("  signing time:  %s\n", PdfText(s.signing_time).c_str());
    printf("  intact:        %s\n", YesNo(v.intact));
    printf("  valid:         %s\n", YesNo(v.valid));
    printf("  trusted:       %s%s%s\n", YesNo(v.trusted), v.trusted ? "" : " - ",
           v.trusted ? "" : v.reason.c_str());
    printf("  timestamp:     %s\n", Timestamp(context).c_str());
    const int64_t end = int64_t{s.byte_range[2]} + s.byte_range[3];
    if (end == size)
        printf("  covers:        the whole file\n");
    else
        printf("  covers:        not the whole file: %lld bytes of later revisions follow\n",
               static_cast<long long>(size - end));
}

// Verifies and reports signature index; true when it is intact, valid and trusted.
bool VerifyOne(KvPdfHandle h, KvsContext *context, const std::string &path, int64_t size,
               int32_t index) {
    SignatureInfo s;
    memset(&s, 0, sizeof s);
    KvPDFGetSignature(h, index, &s);
    const bool timestamp = s.kind == KVPDF_SIG_KIND_DOC_TIMESTAMP;
    printf("\nSignature #%d (field %u 0 R)\n", index + 1, s.field_obj);
    printf("  kind:          %s, %s\n", timestamp ? "document timestamp" : "signature",
           PdfText(s.subfilter).c_str());
    const Verdict v = Judge(Check(h, context, path, s));
    PrintVerdict(context, s, v, size);
    return v.intact && v.valid && v.trusted;
}

// Verifies every signature the handle found; the number that pass.
int VerifyAll(KvPdfHandle h, const std::string &path, int64_t size, int32_t count) {
    KvsContext *context = nullptr;
    kvsx_init(&context);
    int good = 0;
    for (int32_t i = 0; i < count; ++i)
        good += VerifyOne(h, context, path, size, i) ? 1 : 0;
    kvsx_cleanup(context);
    return good;
}

} // namespace

int CommandVerify(const std::vector<std::string> &args) {
    if (PrintHelp(args, kVerifyUsage)) return 0;
    VerifySettings settings;
    if (!ParseVerifySettings(args, &settings)) {
        fputs(kVerifyUsage, stderr);
        return 2;
    }
    const std::string &path = settings.path;
    const int64_t size = FileSize(path);
    if (size < 0) {
        fprintf(stderr, "kvpdf: cannot open %s\n", path.c_str());
        return 1;
    }
    if (!LoadStores(settings.args)) return 1;
    KvPdfHandle h = KvPDFInit(path.c_str(), nullptr, 0);
    KvPdfSetLocale(h, settings.locale);
    int32_t found = KvPdfFindSignatures(h);
    int32_t count = KvPDFGetSignatureCount(h);
    printf("File: %s\n", path.c_str());
    const int good = VerifyAll(h, path, size, count);
    int status = count > 0 && good == count ? 0 : 1;
    printf("\n%d of %d signature%s intact, valid and trusted.\n", good, count,
           count == 1 ? "" : "s");
    if (found < 1 && found != KVPDF_ERR_NO_SIGNATURE) {
        fprintf(stderr, "kvpdf: the search for signatures stopped (code %d)\n%s", found,
                Messages(h).c_str());
        status = 1;
    }
    KvPDFClose(h);
    return status;
}

} // namespace cli
