// SPDX-License-Identifier: Apache-2.0
// kvpdf verify: every signature and document timestamp of a file, checked.
#include "cli.h"

#include "kvsxades.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace cli {

const Command kVerifyCommand{
    "verify",
    "FILE [--trust CERT]... [--cert CERT]... [--crl FILE]... [--ocsp FILE]... [--online [--timeout "
    "SECONDS]] [--json] [--lang en|hu]",
    "Verifies every signature and document timestamp the library finds in FILE: whether\n"
    "the signed bytes are intact (the /ByteRange sound and the digest matching), the\n"
    "signature value valid, and the signer trusted (a chain to a trusted root, valid at\n"
    "the signing time, not revoked), with the reason when not; the signer, the signing\n"
    "time, the timestamp, the revocation data used, whether the signature covers the\n"
    "whole file, what later revisions changed, and a certification's permission. The\n"
    "certificates, CRLs and OCSP responses of the file's validation data (its DSS) are\n"
    "used first (its certificates only as intermediates: trust comes from --trust); for\n"
    "each signature the report says where the revocation data came from (file, given,\n"
    "fetched, none) and whether the file carries them complete (every certificate of the\n"
    "signer and timestamp chains, and a CRL or OCSP response for each below the anchor).\n"
    "Per certificate the report says whether its revocation was checked: good, revoked,\n"
    "or not checked and why (no data at hand, no responder named, a responder refusing\n"
    "or silent). A signature whose subfilter the tool cannot check (adbe.x509.rsa_sha1)\n"
    "is reported as \"unsupported subfilter\", neither intact nor broken. The file is\n"
    "never written.\n"
    "Exit status 0 when every signature is intact, valid and trusted (with --online: and\n"
    "the revocation of every certificate below its anchor checked), no later revision\n"
    "changes more than signatures, timestamps, validation data, form fields and\n"
    "annotations, and no certification permission is violated; 1 otherwise (an\n"
    "unsupported subfilter included), when no signature is found or the search fails;\n"
    "2 for a usage error.\n",
    {
        {"--trust", "CERT",
         "a trusted certificate (PEM or DER file): a root, or an intermediate CA\n"
         "whose chains then end there"},
        {"--cert", "CERT", "an intermediate certificate"},
        {"--crl", "FILE", "a CRL to check revocation with (PEM or DER)"},
        {"--ocsp", "FILE", "an OCSP response to check revocation with (DER)"},
        {"--online", nullptr, "fetch CRLs and OCSP responses named in the certificates"},
        {"--timeout", "SECONDS",
         "time limit of each exchange with a responder or distribution\n"
         "point (1..600, default 10); a refused connection fails at once"},
        {"--json", nullptr, "one JSON document on standard output instead of the text report"},
        kLangOption,
        {"--quiet", nullptr, "no progress on a terminal while a large file is hashed"},
    }};

namespace {

// More later-changed objects than this are counted, not listed, in the text report.
constexpr size_t kListedObjects = 20;

std::string Utc(int64_t t, const char *format = "%Y-%m-%d %H:%M:%S UTC") {
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    gmtime_r(&tt, &tm);
    char text[32];
    strftime(text, sizeof text, format, &tm);
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

// The subject of the signer (or TSA) certificate, and the revocation data the signing
// library used for it.
void SignerFacts(KvsContext *context, std::string *subject, std::string *revocation) {
    KvsCertDataChain *chain = nullptr;
    if (kvsx_get_signer_chain(context, &chain) == KVSX_OK && chain) {
        KvsCertificateInfo info;
        memset(&info, 0, sizeof info);
        if (kvsx_parse_certificate(chain->cert, static_cast<int32_t>(chain->cert_length), &info) ==
                KVSX_OK &&
            info.subject)
            *subject = info.subject;
        kvsx_release_certificate(&info);
        *revocation = chain->ocsp ? "ocsp" : chain->crl ? "crl" : "none";
    }
    kvsx_free_cert_data_chain(chain);
}

std::optional<int64_t> TimestampTime(KvsContext *context) {
    KvsTimestampInfo *list = nullptr;
    std::optional<int64_t> time;
    if (kvsx_get_timestamp_infos(context, &list) == KVSX_OK && list) time = list->time;
    if (list) kvsx_free_timestamp_infos(list);
    return time;
}

std::string Bytes(const uint8_t *p, uint32_t n) {
    return p ? std::string(reinterpret_cast<const char *>(p), n) : std::string();
}

// Subject equals issuer; false for what does not parse.
bool SelfIssued(const std::string &der) {
    KvsCertificateInfo info;
    memset(&info, 0, sizeof info);
    const bool self =
        kvsx_parse_certificate(der.data(), static_cast<int32_t>(der.size()), &info) == KVSX_OK &&
        info.subject && info.issuer && strcmp(info.subject, info.issuer) == 0;
    kvsx_release_certificate(&info);
    return self;
}

// The subject of a DER certificate; "?" when it does not parse.
std::string Subject(const std::string &der) {
    KvsCertificateInfo info;
    memset(&info, 0, sizeof info);
    std::string subject = "?";
    if (kvsx_parse_certificate(der.data(), static_cast<int32_t>(der.size()), &info) == KVSX_OK &&
        info.subject)
        subject = info.subject;
    kvsx_release_certificate(&info);
    return subject;
}

// One certificate of a chain and what settled its revocation status.
struct CertCheck {
    std::string cert, subject, item; // item: the CRL or OCSP response used, or ""
    int32_t revocation = KVS_REVOCATION_NOT_CHECKED;
    std::string note;   // why it was not checked
    bool ocsp = false;  // the item is an OCSP response
    std::string origin; // of the item: file, given, fetched
    std::string Status() const {
        switch (revocation) {
        case KVS_REVOCATION_GOOD:
            return std::string("good (") + (ocsp ? "OCSP" : "CRL") + ", " + origin + ")";
        case KVS_REVOCATION_REVOKED:
            return "REVOKED";
        case KVS_REVOCATION_ANCHOR:
            return "trust anchor";
        default:
            return "not checked - " + (note.empty() ? "the chain was not validated" : note);
        }
    }
};

// The validation data at hand: the file's DSS, the --crl and --ocsp files (DER), and
// whether fetching was on.
struct Evidence {
    std::set<std::string> certs, revocation, given;
    bool online = false;
    int32_t counts[3] = {0, 0, 0}; // the DSS's certificates, CRLs, OCSP responses
    // Where a CRL or OCSP response the signing library used came from.
    const char *Origin(const std::string &item) const {
        if (revocation.count(item)) return "file";
        return given.count(item) || !online ? "given" : "fetched";
    }
};

std::string ReadAll(const std::string &path) {
    std::string bytes;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return bytes;
    char buffer[65536];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;)
        bytes.append(buffer, n);
    fclose(f);
    return bytes;
}

// The DER objects of a file: the file itself, or the blocks of a PEM file.
std::vector<std::string> DerObjects(const std::string &path) {
    const std::string text = ReadAll(path);
    const size_t npos = std::string::npos;
    if (text.find("-----BEGIN") == npos) return {text};
    std::vector<std::string> out;
    for (size_t at = text.find("-----BEGIN"); at != npos; at = text.find("-----BEGIN", at)) {
        const size_t body = text.find('\n', at), end = text.find("-----END", at);
        if (body == npos || end == npos || end < body) break;
        uint8_t *der = nullptr;
        uint32_t n = 0;
        if (kvsx_base64_decode(text.c_str() + body, static_cast<uint32_t>(end - body), &n, &der) ==
            KVSX_OK)
            out.push_back(Bytes(der, n));
        kvsx_free(der);
        at = end + 1;
    }
    return out;
}

// The file's validation data into the signing library's stores, once the search has
// read the document. Self-issued certificates stay out: the library would make them
// trust anchors.
void LoadFileData(KvPdfHandle h, Evidence *e) {
    for (int32_t kind = KVPDF_DSS_CERTS; kind <= KVPDF_DSS_OCSPS; ++kind) {
        const int32_t count = KvPdfGetDssData(h, kind, -1, nullptr, nullptr);
        e->counts[kind - 1] = count > 0 ? count : 0;
        for (int32_t i = 0; i < count; ++i) {
            const uint8_t *data = nullptr;
            uint32_t length = 0;
            if (KvPdfGetDssData(h, kind, i, &data, &length) < 0 || !data || length == 0) continue;
            const std::string der = Bytes(data, length);
            const int32_t n = static_cast<int32_t>(length);
            if (kind == KVPDF_DSS_CERTS) {
                e->certs.insert(der);
                if (!SelfIssued(der)) kvsx_add_cert(data, n);
                continue;
            }
            e->revocation.insert(der);
            (kind == KVPDF_DSS_CRLS ? kvsx_add_crl : kvsx_add_ocsp)(data, n);
        }
    }
}

struct Verdict {
    bool intact = false, valid = false, trusted = false;
    std::string reason;
};

// The subfilters the signing library checks; adbe.x509.rsa_sha1 (a bare PKCS #1 value)
// is not among them.
bool IsCheckable(const std::string &subfilter) {
    for (const char *known :
         {"adbe.pkcs7.detached", "ETSI.CAdES.detached", "ETSI.RFC3161", "adbe.pkcs7.sha1"})
        if (subfilter == known) return true;
    return false;
}

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

// Names and words of the library's /ByteRange results and change classes, by code.
const char *const kRangeNames[] = {"ok",      "malformed", "not_at_start", "not_ascending",
                                   "overlap", "past_end",  "gap",          "trailing_data"};
const char *const kRangeTexts[] = {"the /ByteRange is sound",
                                   "/ByteRange is not four non-negative numbers",
                                   "/ByteRange does not start at 0",
                                   "the ranges are not in ascending order",
                                   "the signed ranges overlap",
                                   "a range runs past the end of the file",
                                   "the gap is not exactly the /Contents string",
                                   "the signature value is followed by other data"};
const char *const kChangeNames[] = {"none",         "validation",  "signatures",
                                    "form_filling", "annotations", "other"};
const char *const kChangeTexts[] = {"no later changes",
                                    "signatures, timestamps and validation data only",
                                    "signatures, timestamps and validation data only",
                                    "form filling",
                                    "annotations",
                                    "OTHER CHANGES"};

template <size_t N> const char *Named(const char *const (&names)[N], int32_t code) {
    return code >= 0 && static_cast<size_t>(code) < N ? names[code] : "unknown";
}

// Everything the report says about one entry of the signature list.
struct Facts {
    int32_t index = 0;
    bool read = false;   // KvPDFGetSignature gave the entry
    std::string failure; // why the entry could not be read or checked
    uint32_t field = 0;
    bool timestamp = false;
    std::string subfilter;
    std::optional<std::string> signing_time;
    uint32_t range[4] = {0, 0, 0, 0};
    int64_t size = 0;
    Verdict crypto;
    std::optional<std::string> signer;
    std::string revocation = "none";
    std::vector<std::string> origins; // of the chains' revocation data: file, given, fetched, none
    std::vector<CertCheck> certs;     // of the signer and timestamp chains
    bool unsupported = false;         // a subfilter the tool cannot check
    bool online = false;
    int certificates = 0, certificates_in_file = 0, revocation_needed = 0, revocation_in_file = 0;
    std::optional<int64_t> stamped;
    int32_t checked = 0; // KvPdfCheckSignature
    KvPdfSignatureCheck check{};
    std::vector<uint32_t> others;
    std::string analysis_message;

    bool RangeOk() const { return checked == 1 && check.byte_range == KVPDF_RANGE_OK; }
    bool Intact() const { return read && crypto.intact && RangeOk(); }
    std::string IntactReason() const {
        if (unsupported) return "unsupported subfilter " + subfilter;
        if (!read || checked != 1) return failure;
        return RangeOk() ? crypto.reason : Named(kRangeTexts, check.byte_range);
    }
    bool OtherChanges() const { return checked == 1 && check.changes == KVPDF_CHANGES_OTHER; }
    bool Violated() const { return checked == 1 && check.docmdp > 0 && check.docmdp_violated; }
    uint64_t SignedLength() const {
        return checked == 1 ? check.signed_length : uint64_t{range[2]} + range[3];
    }
    int Unchecked() const {
        int n = 0;
        for (const CertCheck &c : certs)
            n += c.revocation == KVS_REVOCATION_NOT_CHECKED ? 1 : 0;
        return n;
    }
    // Fetching was asked for: a status that could not be had is no "not revoked".
    bool RevocationShort() const { return online && crypto.trusted && Unchecked() > 0; }
    bool Trusted() const {
        return Intact() && crypto.valid && crypto.trusted && !RevocationShort();
    }
    std::string TrustReason() const {
        if (!RevocationShort()) return crypto.reason;
        return "the revocation of " + std::to_string(Unchecked()) + " certificate" +
               (Unchecked() == 1 ? "" : "s") + " could not be checked";
    }
    bool Reliable() const { return Trusted() && !OtherChanges() && !Violated(); }
    bool Complete() const {
        return certificates > 0 && certificates_in_file == certificates &&
               revocation_in_file == revocation_needed;
    }
};

// Every certificate of the signer and timestamp chains of the context's verification,
// once, with the CRL or OCSP response used for it ("" for none) and its status.
std::vector<CertCheck> UsedData(KvsContext *context) {
    std::vector<CertCheck> used;
    std::map<std::string, size_t> seen;
    auto add = [&](const KvsCertDataChain *c) {
        for (; c; c = c->next) {
            const std::string cert = Bytes(c->cert, c->cert_length);
            const std::string item =
                c->ocsp ? Bytes(c->ocsp, c->ocsp_length) : Bytes(c->crl, c->crl_length);
            auto [at, fresh] = seen.emplace(cert, used.size());
            if (fresh)
                used.push_back(
                    {cert, Subject(cert), "", c->revocation, c->revocation_note, false, ""});
            CertCheck &u = used[at->second];
            if (!u.item.empty() || item.empty()) continue;
            u.item = item;
            u.ocsp = c->ocsp != nullptr;
            u.revocation = c->revocation;
            u.note.clear();
        }
    };
    KvsCertDataChain *chain = nullptr;
    if (kvsx_get_signer_chain(context, &chain) == KVSX_OK) add(chain);
    kvsx_free_cert_data_chain(chain);
    KvsTimestampInfo *list = nullptr;
    if (kvsx_get_timestamp_infos(context, &list) == KVSX_OK)
        for (const KvsTimestampInfo *t = list; t; t = t->next)
            add(t->chain);
    if (list) kvsx_free_timestamp_infos(list);
    return used;
}

// Where the revocation data came from, and how much of the chains the file carries.
void JudgeValidationData(KvsContext *context, const Evidence &e, Facts *f) {
    std::set<std::string> origins;
    f->certs = UsedData(context);
    for (CertCheck &c : f->certs) {
        ++f->certificates;
        f->certificates_in_file += e.certs.count(c.cert) ? 1 : 0;
        // The anchor: nobody vouches for its status.
        if (c.revocation == KVS_REVOCATION_ANCHOR || SelfIssued(c.cert)) {
            c.revocation = KVS_REVOCATION_ANCHOR;
            continue;
        }
        ++f->revocation_needed;
        const char *origin = c.item.empty() ? "none" : e.Origin(c.item);
        c.origin = origin;
        f->revocation_in_file += strcmp(origin, "file") == 0 ? 1 : 0;
        origins.insert(origin);
    }
    for (const char *origin : {"file", "given", "fetched", "none"})
        if (origins.count(origin)) f->origins.push_back(origin);
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
    bool json = false;
    Args args; // the trust and revocation files, --online
};

bool ParseVerifySettings(const std::vector<std::string> &args, VerifySettings *out) {
    Args &a = out->args;
    if (!Parse(args, kVerifyCommand, &a) || a.positional.size() != 1 || !Locale(a, &out->locale))
        return false;
    out->path = a.positional[0];
    out->json = a.has("--json");
    Progress::quiet = a.has("--quiet");
    return true;
}

// Hands the certificates, CRLs and OCSP responses named on the command line to the
// signing library's stores; the failure in words.
std::string LoadStores(const Args &a) {
    struct Loaded {
        const char *flag;
        int (*add)(const void *, int32_t);
    } const sources[] = {{"--trust", kvsx_add_trust_anchor},
                         {"--cert", kvsx_add_cert},
                         {"--crl", kvsx_add_crl},
                         {"--ocsp", kvsx_add_ocsp}};
    for (const Loaded &s : sources)
        for (const std::string &file : a.values(s.flag))
            if (int rc = s.add(file.c_str(), -1); rc != KVSX_OK)
                return file + ": cannot load it for " + s.flag + ": " + NetworkCause() + " (" +
                       kvsx_code_text(rc) + ")";
    kvsx_set_use_cdp(a.has("--online") ? 1 : 0);
    return "";
}

// A token is checked over a file of the stamped bytes.
int CheckTimestamp(KvPdfHandle h, KvsContext *context, const std::string &path, const uint32_t r[4],
                   const std::vector<uint8_t> &value, uint32_t der) {
    std::string temp_path;
    if (!MakeTempFile("kvpdf-verify", &temp_path)) return KVSX_E_IO;
    uint32_t ignored = 0;
    int32_t error = 0;
    void *again = KvPdfWritePDFByteRange(h, path.c_str(), temp_path.c_str(), &ignored, &error, r[1],
                                         r[2], r[3]);
    KvPDFDestroyer(&again);
    int code = kvsx_verify_doc_timestamp(context, temp_path.c_str(), -1, value.data(), der);
    unlink(temp_path.c_str());
    return code;
}

// The signing library's result over the ranges the /ByteRange names.
int Check(KvPdfHandle h, KvsContext *context, const std::string &path, const uint32_t r[4],
          bool timestamp) {
    // A zero length means "to the end of the file" to the signing library.
    if (r[1] == 0 || r[3] == 0) return KVSX_E_DATA_RANGE;
    // The value, read from the file; the signed bytes stay in the file.
    std::vector<uint8_t> value = ReadValue(path, r[1], r[2]);
    if (value.empty()) return KVSX_E_BAD_CMS;
    const uint32_t der = DerLength(value.data(), static_cast<uint32_t>(value.size()));
    Progress progress("Verifying", uint64_t{r[1]} + r[3]);
    if (timestamp) return CheckTimestamp(h, context, path, r, value, der);
    KvsDataObject ranges[2];
    FileRanges(path.c_str(), r[1], r[2], r[3], nullptr, ranges);
    ranges[0].range_offset = r[0];
    return kvsx_verify_signature(context, ranges, value.data(), der, 0, 0, nullptr);
}

// The library's own check of the entry: its /ByteRange and the later revisions.
void CheckStructure(KvPdfHandle h, Facts *f) {
    f->checked = KvPdfCheckSignature(h, f->index, &f->check);
    if (f->checked != 1) {
        const std::string message = Message(h, f->checked);
        f->failure = "the file could not be checked (code " + std::to_string(f->checked) + ")" +
                     (message.empty() ? "" : ": " + message);
        return;
    }
    if (f->check.other_objects)
        f->others.assign(f->check.other_objects, f->check.other_objects + f->check.other_count);
    if (f->check.analysis < 0) f->analysis_message = Message(h, f->check.analysis);
}

Facts Gather(KvPdfHandle h, const std::string &path, int64_t size, int32_t index,
             const Evidence &evidence) {
    Facts f;
    f.index = index;
    f.size = size;
    SignatureInfo s;
    memset(&s, 0, sizeof s);
    if (int32_t rc = KvPDFGetSignature(h, index, &s); rc != 1) {
        f.failure = "the signature cannot be read (code " + std::to_string(rc) + ")";
        return f;
    }
    f.read = true;
    f.field = s.field_obj;
    f.timestamp = s.kind == KVPDF_SIG_KIND_DOC_TIMESTAMP;
    f.subfilter = PdfText(s.subfilter);
    if (s.signing_time) f.signing_time = PdfText(s.signing_time);
    memcpy(f.range, s.byte_range, sizeof f.range);
    // A context of its own, so no chain or timestamp of an earlier entry shows here.
    KvsContext *context = nullptr;
    kvsx_init(&context);
    f.online = evidence.online;
    f.unsupported = !IsCheckable(f.subfilter);
    f.crypto = f.unsupported ? Verdict{false, false, false, f.IntactReason()}
                             : Judge(Check(h, context, path, f.range, f.timestamp));
    std::string subject;
    SignerFacts(context, &subject, &f.revocation);
    if (!subject.empty()) f.signer = subject;
    f.stamped = TimestampTime(context);
    JudgeValidationData(context, evidence, &f);
    kvsx_cleanup(context);
    CheckStructure(h, &f);
    return f;
}

std::string ChangesText(const Facts &f) {
    if (f.checked != 1) return "unknown - " + f.failure;
    if (f.check.changes != KVPDF_CHANGES_OTHER) return Named(kChangeTexts, f.check.changes);
    std::string text = "OTHER CHANGES";
    if (f.check.analysis < 0)
        return text + ": a later revision could not be read" +
               (f.analysis_message.empty() ? "" : " - " + f.analysis_message);
    if (f.others.empty()) return text;
    text += ": objects ";
    for (size_t i = 0; i < f.others.size() && i < kListedObjects; ++i)
        text += (i ? ", " : "") + std::to_string(f.others[i]);
    if (f.others.size() > kListedObjects)
        text += ", ... (" + std::to_string(f.others.size()) + " objects)";
    return text;
}

// One "label: yes" or "label: no - reason" line; a reason already given is not repeated.
void PrintAnswer(const char *label, bool yes, const std::string &reason, std::string *said) {
    if (yes || reason == *said) {
        printf("  %-14s %s\n", label, YesNo(yes));
        return;
    }
    printf("  %-14s no - %s\n", label, reason.c_str());
    *said = reason;
}

// Where the chains' revocation data came from, in words; "none" when nowhere.
std::string Origins(const Facts &f) {
    std::string text;
    for (const std::string &o : f.origins)
        if (o != "none") text += (text.empty() ? "" : " + ") + o;
    if (text.empty()) return "none";
    return f.origins.back() == "none" ? text + ", none for some certificates" : text;
}

std::string LtvText(const Facts &f) {
    if (f.certificates == 0) return "unknown: no chain was built";
    if (f.Complete()) return "complete in the file";
    if (f.certificates_in_file == 0 && f.revocation_in_file == 0) return "none in the file";
    return "incomplete in the file: " + std::to_string(f.certificates_in_file) + " of " +
           std::to_string(f.certificates) + " certificates, " +
           std::to_string(f.revocation_in_file) + " of " + std::to_string(f.revocation_needed) +
           " CRLs or OCSP responses";
}

void PrintText(const Facts &f) {
    if (!f.read) {
        printf("\nSignature #%d\n  cannot be read: %s\n", f.index + 1, f.failure.c_str());
        return;
    }
    printf("\nSignature #%d (field %u 0 R)\n", f.index + 1, f.field);
    printf("  kind:          %s, %s\n", f.timestamp ? "document timestamp" : "signature",
           f.subfilter.c_str());
    printf("  signer:        %s\n", f.signer.value_or("-").c_str());
    if (!f.timestamp) printf("  signing time:  %s\n", f.signing_time.value_or("-").c_str());
    std::string said;
    if (f.unsupported) {
        printf(
            "  intact:        unknown - %s\n  valid:         unknown\n  trusted:       unknown\n",
            f.IntactReason().c_str());
    } else {
        PrintAnswer("intact:", f.Intact(), f.IntactReason(), &said);
        PrintAnswer("valid:", f.crypto.valid, f.crypto.reason, &said);
        PrintAnswer("trusted:", f.crypto.trusted && !f.RevocationShort(), f.TrustReason(), &said);
    }
    const std::string origins = Origins(f);
    if (origins == "none")
        printf("  revocation:    %s\n", f.revocation.c_str());
    else
        printf("  revocation:    %s (the chains' data from: %s)\n", f.revocation.c_str(),
               origins.c_str());
    printf("  LTV data:      %s\n", LtvText(f).c_str());
    if (!f.certs.empty()) printf("  certificates:  revocation of each\n");
    for (const CertCheck &c : f.certs)
        printf("    %s: %s\n", c.subject.c_str(), c.Status().c_str());
    printf("  timestamp:     %s\n", f.stamped ? Utc(*f.stamped).c_str() : "none");
    const uint64_t end = f.SignedLength();
    if (end == uint64_t(f.size))
        printf("  covers:        the whole file\n");
    else if (end < uint64_t(f.size))
        printf("  covers:        not the whole file: %llu bytes of later revisions follow\n",
               static_cast<unsigned long long>(uint64_t(f.size) - end));
    else
        printf("  covers:        the byte range reaches past the end of the file\n");
    printf("  later changes: %s\n", ChangesText(f).c_str());
    if (f.checked == 1 && f.check.docmdp > 0)
        printf("  certification: DocMDP /P %d, %s\n", f.check.docmdp,
               f.check.docmdp_violated ? "VIOLATED by later changes" : "permission respected");
}

// "reason" as a string when the answer is no, else null.
void Reason(JsonWriter &j, const char *key, bool yes, const std::string &reason) {
    if (yes)
        j.Null(key);
    else
        j.String(key, reason);
}

void OptionalString(JsonWriter &j, const char *key, const std::optional<std::string> &value) {
    if (value)
        j.String(key, *value);
    else
        j.Null(key);
}

void WriteJson(JsonWriter &j, const Facts &f) {
    j.Begin(nullptr, '{');
    j.Number("index", f.index + 1);
    j.Bool("readable", f.read);
    if (!f.read) {
        j.String("error", f.failure);
        j.End('}');
        return;
    }
    j.Number("field_object", f.field);
    j.String("kind", f.timestamp ? "document timestamp" : "signature");
    j.String("subfilter", f.subfilter);
    OptionalString(j, "signer", f.signer);
    OptionalString(j, "signing_time", f.signing_time);
    OptionalString(j, "timestamp_time",
                   f.stamped ? std::optional<std::string>(Utc(*f.stamped, "%Y-%m-%dT%H:%M:%SZ"))
                             : std::nullopt);
    j.Bool("intact", f.Intact());
    Reason(j, "intact_reason", f.Intact(), f.IntactReason());
    j.Bool("valid", f.crypto.valid);
    Reason(j, "valid_reason", f.crypto.valid, f.crypto.reason);
    j.Bool("trusted", f.crypto.trusted && !f.RevocationShort());
    Reason(j, "trusted_reason", f.crypto.trusted && !f.RevocationShort(), f.TrustReason());
    j.Bool("unsupported_subfilter", f.unsupported);
    j.Begin("certificates", '[');
    for (const CertCheck &c : f.certs) {
        static const char *const kStatus[] = {"not_checked", "good", "revoked", "anchor"};
        j.Begin(nullptr, '{');
        j.String("subject", c.subject);
        j.String("revocation", Named(kStatus, c.revocation));
        j.String("text", c.Status());
        j.End('}');
    }
    j.End(']');
    j.String("revocation", f.revocation);
    j.Begin("revocation_sources", '[');
    for (const std::string &o : f.origins)
        j.String(nullptr, o);
    j.End(']');
    j.Begin("validation_data", '{');
    j.Bool("complete", f.Complete());
    j.Number("certificates", f.certificates);
    j.Number("certificates_in_file", f.certificates_in_file);
    j.Number("revocation_needed", f.revocation_needed);
    j.Number("revocation_in_file", f.revocation_in_file);
    j.End('}');
    j.Begin("coverage", '{');
    j.Number("signed_length", static_cast<int64_t>(f.SignedLength()));
    j.Number("file_size", f.size);
    j.Bool("whole_file", f.SignedLength() == uint64_t(f.size));
    j.End('}');
    j.Begin("byte_range", '{');
    j.Numbers("values", {f.range[0], f.range[1], f.range[2], f.range[3]});
    if (f.checked == 1) {
        j.String("check", Named(kRangeNames, f.check.byte_range));
        j.String("text", Named(kRangeTexts, f.check.byte_range));
    } else {
        j.Null("check");
        j.String("text", f.failure);
    }
    j.End('}');
    j.Begin("later_changes", '{');
    if (f.checked == 1) {
        j.String("class", Named(kChangeNames, f.check.changes));
        j.String("text", ChangesText(f));
        j.Numbers("objects", f.others);
        j.Number("revisions_after", f.check.revisions_after);
        j.Number("analysis", f.check.analysis);
        if (f.check.analysis < 0)
            j.String("analysis_message", f.analysis_message);
        else
            j.Null("analysis_message");
    } else {
        j.Null("class");
        j.String("text", f.failure);
    }
    j.End('}');
    j.Begin("docmdp", '{');
    if (f.checked == 1 && f.check.docmdp > 0)
        j.Number("permission", f.check.docmdp);
    else
        j.Null("permission");
    j.Bool("violated", f.Violated());
    j.End('}');
    j.Bool("reliable", f.Reliable());
    j.End('}');
}

// The search's result and what it recorded; messages empty when it met nothing.
struct Search {
    int32_t code = 0;
    std::vector<std::string> messages; // "code: text"
    bool Failed() const { return code < 1 && code != KVPDF_ERR_NO_SIGNATURE; }
    std::string Lines() const {
        std::string text;
        for (const std::string &m : messages)
            text += "  " + m + "\n";
        return text;
    }
};

Search Find(KvPdfHandle h) {
    Search search;
    search.code = KvPdfFindSignatures(h);
    // Fields skipped by the search are recorded even when it succeeds.
    ErrorEntry entry;
    for (int32_t i = 0; i <= KvPdfGetLastErrorIndex(h); ++i)
        if (KvPdfGetError(h, i, &entry) == 1)
            search.messages.push_back(std::to_string(entry.code) + ": " + ToUtf8(entry.message));
    return search;
}

void PrintJson(const std::string &path, int64_t size, const Search &search, const Evidence &e,
               const std::vector<Facts> &all, const std::string &error, int status) {
    JsonWriter j;
    j.Begin(nullptr, '{');
    j.String("file", path);
    j.Number("file_size", size);
    if (error.empty())
        j.Null("error");
    else
        j.String("error", error);
    j.Number("search_code", search.code);
    j.Begin("search_messages", '[');
    for (const std::string &m : search.messages)
        j.String(nullptr, m);
    j.End(']');
    j.Begin("dss", '{');
    j.Number("certificates", e.counts[0]);
    j.Number("crls", e.counts[1]);
    j.Number("ocsp_responses", e.counts[2]);
    j.End('}');
    j.Number("count", static_cast<int64_t>(all.size()));
    j.Begin("signatures", '[');
    for (const Facts &f : all)
        WriteJson(j, f);
    j.End(']');
    j.Number("exit_status", status);
    j.End('}');
    fputs(j.text().c_str(), stdout);
}

} // namespace

int CommandVerify(const std::vector<std::string> &args) {
    if (PrintHelp(args, kVerifyCommand)) return 0;
    VerifySettings settings;
    if (!ParseVerifySettings(args, &settings)) {
        PrintUsage(kVerifyCommand, stderr);
        return 2;
    }
    if (!HttpTimeout(settings.args)) return 2;
    const std::string &path = settings.path;
    const int64_t size = FileSize(path);
    std::string error = InputProblem(path);
    if (error.empty()) error = LoadStores(settings.args);
    Search search;
    Evidence evidence;
    evidence.online = settings.args.has("--online");
    for (const char *flag : {"--crl", "--ocsp"})
        for (const std::string &file : settings.args.values(flag))
            for (std::string &der : DerObjects(file))
                evidence.given.insert(std::move(der));
    std::vector<Facts> all;
    KvPdfHandle h = error.empty() ? KvPDFInit(path.c_str(), nullptr, 0) : 0;
    if (error.empty() && h <= 0) error = "cannot create a document handle";
    if (error.empty()) {
        KvPdfSetLocale(h, settings.locale);
        KvPDFSetProperty(h, KVPDF_PROP_FIND_ALL_SIGNATURES, 1);
        search = Find(h);
        LoadFileData(h, &evidence);
        const int32_t count = KvPDFGetSignatureCount(h);
        for (int32_t i = 0; i < count; ++i)
            all.push_back(Gather(h, path, size, i, evidence));
        KvPDFClose(h);
    }
    int reliable = 0, trusted = 0;
    for (const Facts &f : all) {
        reliable += f.Reliable() ? 1 : 0;
        trusted += f.Trusted() ? 1 : 0;
    }
    // A field the search skipped is a signature nobody checked.
    const bool ok = error.empty() && !all.empty() && reliable == int(all.size()) &&
                    search.code == 1 && search.messages.empty();
    const int status = ok ? 0 : 1;
    if (settings.json) {
        PrintJson(path, size, search, evidence, all, error, status);
        if (!error.empty()) fprintf(stderr, "kvpdf: %s\n", error.c_str());
        return status;
    }
    if (!error.empty()) {
        fprintf(stderr, "kvpdf: %s\n", error.c_str());
        return 1;
    }
    printf("File: %s\nValidation data in the file: %d certificates, %d CRLs, %d OCSP responses.\n",
           path.c_str(), evidence.counts[0], evidence.counts[1], evidence.counts[2]);
    for (const Facts &f : all)
        PrintText(f);
    printf("\n%d of %d signature%s intact, valid and trusted.\n", trusted, int(all.size()),
           all.size() == 1 ? "" : "s");
    if (trusted != reliable)
        printf("%d of them with other later changes or a certification violated.\n",
               trusted - reliable);
    if (search.Failed())
        fprintf(stderr, "kvpdf: %s: the search for signatures stopped (code %d)\n%s", path.c_str(),
                search.code, search.Lines().c_str());
    else if (search.code == 1 && !search.messages.empty())
        fprintf(stderr, "kvpdf: %s: the search skipped what it could not read:\n%s", path.c_str(),
                search.Lines().c_str());
    return status;
}

} // namespace cli
