// SPDX-License-Identifier: Apache-2.0
// kvpdf ltv: the validation data of every signature of a file in one new revision.
#include "cli.h"

#include "kvsxades.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace cli {

const Command kLtvCommand{
    "ltv",
    "IN OUT [--trust CERT]... [--crl FILE]... [--ocsp FILE]... [--online] [--timeout SECONDS] "
    "[--lang en|hu]",
    "Adds the validation data of every signature and document timestamp of IN (the\n"
    "certificates of the signer and timestamp chains, and the CRLs and OCSP responses\n"
    "that show them unrevoked) to the document's Document Security Store, written into\n"
    "OUT as one new revision; IN is never written (OUT may name IN: it is then replaced\n"
    "only when the run succeeds). Every signature must verify: give its trust anchors with\n"
    "--trust. The revocation data come from the files given, and with --online from the\n"
    "OCSP responders and CRL distribution points the certificates name (http://).\n"
    "When the document already carries everything the run would add, OUT is a plain\n"
    "copy of IN and the tool says \"nothing new\": exit status 0 all the same.\n"
    "Exit status 0 when OUT is written, 1 on failure (OUT is then left as it was), 2 for a\n"
    "usage error.\n",
    {
        {"--trust", "CERT",
         "a trusted certificate (PEM or DER file): a root, or an intermediate CA\n"
         "whose chain then ends there"},
        {"--crl", "FILE", "a CRL (PEM or DER)"},
        {"--ocsp", "FILE", "an OCSP response (DER)"},
        {"--online", nullptr,
         "fetch an OCSP response (else a CRL) for every certificate of the\n"
         "chains first"},
        {"--timeout", "SECONDS",
         "time limit of each exchange with a responder or distribution\n"
         "point (1..600, default 10); a refused connection fails at once"},
        kLangOption,
    }};

namespace {

// The CRLs and OCSP responses of a chain into the handle's stores; how many.
int KeepRevocation(KvPdfHandle h, const CertDataChain *c) {
    int kept = 0;
    for (; c; c = c->next) {
        if (c->ocsp && KvPDF_AddOcsp(h, c->ocsp, static_cast<int32_t>(c->ocsp_length)) == 0) ++kept;
        if (c->crl && KvPDF_AddCrl(h, c->crl, static_cast<int32_t>(c->crl_length)) == 0) ++kept;
    }
    return kept;
}

// Verifies every signature with fetching on, so the signing library reaches the
// responders and distribution points of every chain, and keeps what it used in the
// stores of h: the collecting run verifies offline. The search runs on a handle of its
// own: the library's searches on one handle add to its list of signatures. The number
// of blocks kept.
int Fetch(KvPdfHandle h, const std::string &in) {
    KvPDF_UseCerts(h);
    KvPDF_UseCRLs(h);
    KvPDF_UseOCSPs(h);
    KvPDF_SetUseCDP(1);
    int kept = 0;
    const KvPdfHandle reader = KvPDFInit(in.c_str(), nullptr, 0);
    KvPDFSetProperty(reader, KVPDF_PROP_FIND_ALL_SIGNATURES, 1);
    KvPdfFindSignatures(reader);
    for (int32_t i = 0; i < KvPDFGetSignatureCount(reader); ++i) {
        void *context = nullptr;
        if (KvPDF_CryptoInit(&context) != 0) continue;
        KvPDF_VeriySignature(reader, context, i, 0, 0);
        CertDataChain *chain = nullptr;
        if (KvPDF_GetSignerCertDataChain(context, &chain) == 1) kept += KeepRevocation(h, chain);
        KvPDF_FreeCertDataChain(chain);
        TSChain *stamps = nullptr;
        if (KvPDF_GetTSChainInfo(context, &stamps) == 1)
            for (const TSChain *t = stamps; t; t = t->next)
                kept += KeepRevocation(h, t->chain);
        KvPDF_FreeTSChain(stamps);
        KvPDF_CryptoCleanup(context);
    }
    KvPDFClose(reader);
    KvPDF_SetUseCDP(0);
    return kept;
}

int32_t DssCount(KvPdfHandle h, int32_t kind) {
    return KvPdfGetDssData(h, kind, -1, nullptr, nullptr);
}

// What the written file's DSS holds, in words.
std::string DssSummary(const std::string &path) {
    KvPdfHandle h = KvPDFInit(path.c_str(), nullptr, 0);
    if (h <= 0) return "";
    KvPDFSetProperty(h, KVPDF_PROP_FIND_ALL_SIGNATURES, 1);
    KvPdfFindSignatures(h);
    std::string text = std::to_string(DssCount(h, KVPDF_DSS_CERTS)) + " certificates, " +
                       std::to_string(DssCount(h, KVPDF_DSS_CRLS)) + " CRLs, " +
                       std::to_string(DssCount(h, KVPDF_DSS_OCSPS)) + " OCSP responses";
    KvPDFClose(h);
    return text;
}

class Handle {
public:
    Handle(const std::string &in, const std::string &out, int32_t locale)
        : h_(KvPDFInit(in.c_str(), out.c_str(), 0)) {
        KvPdfSetLocale(h_, locale);
        KvPDFSetProperty(h_, KVPDF_PROP_FIND_ALL_SIGNATURES, 1);
    }
    ~Handle() { KvPDFClose(h_); }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    KvPdfHandle get() const { return h_; }

private:
    KvPdfHandle h_;
};

} // namespace

Staged::Staged(const std::string &dest) : dest_(dest) {
    path_ = dest + ".XXXXXX";
    const int fd = mkstemp(&path_[0]);
    if (fd < 0) {
        path_.clear();
        return;
    }
    close(fd);
    // As a file the tool creates directly would be: mkstemp makes it private.
    const mode_t mask = umask(0);
    umask(mask);
    chmod(path_.c_str(), 0666 & ~mask);
}

Staged::~Staged() {
    if (!path_.empty()) unlink(path_.c_str());
}

bool Staged::Commit() {
    if (path_.empty() || rename(path_.c_str(), dest_.c_str()) != 0) return false;
    path_.clear();
    return true;
}

int AddValidationData(const std::string &in, const std::string &out, const LtvSources &sources,
                      int32_t locale, bool *added) {
    *added = false;
    Handle handle(in, out, locale);
    const KvPdfHandle h = handle.get();
    if (h <= 0) {
        fprintf(stderr, "kvpdf: cannot create a document handle\n");
        return 1;
    }
    for (const auto *files : {&sources.trust, &sources.crls, &sources.ocsps})
        for (const std::string &f : *files)
            if (!InputFile(f)) {
                unlink(out.c_str());
                return 1;
            }
    // Each one an anchor as given, an intermediate CA included.
    for (const std::string &f : sources.trust) {
        KvPDF_AddCert(h, f.c_str(), -1);
        if (kvsx_add_trust_anchor(f.c_str(), -1) != KVSX_OK) {
            fprintf(stderr, "kvpdf: %s: not a certificate: %s\n", f.c_str(),
                    NetworkCause().c_str());
            unlink(out.c_str());
            return 1;
        }
    }
    for (const std::string &f : sources.crls)
        KvPDF_AddCrl(h, f.c_str(), -1);
    for (const std::string &f : sources.ocsps)
        KvPDF_AddOcsp(h, f.c_str(), -1);
    if (sources.online)
        printf("Revocation data after fetching: %d CRLs and OCSP responses for the chains.\n",
               Fetch(h, in));
    void *context = nullptr;
    KvPDF_CryptoInit(&context);
    // Every entry verified now and collected, whatever DSS the document already has: a
    // signature added after an earlier run is covered too.
    KvPDFSetProperty(h, KVPDF_PROP_LTV_EVERY_ENTRY, 1);
    int32_t rc = KvPDF_AddRevocationInformation(h, context, -1, 0);
    KvPDF_CryptoCleanup(context);
    const int64_t before = FileSize(in);
    if (rc < 0) {
        unlink(out.c_str());
        // The library words these codes in Hungarian only.
        if (rc == KVPDF_ERR_SIGNATURE_INVALID || rc == KVPDF_ERR_TIMESTAMP_INVALID)
            return Failure(
                h, in,
                "cannot collect the validation data: a signature or document timestamp "
                "does not verify (each must be valid and trusted now: give its root with "
                "--trust)",
                rc);
        return Failure(h, in, "cannot collect the validation data", rc);
    }
    const int32_t signatures = KvPDFGetSignatureCount(h);
    rc = KvPdfWritePDFWithRevocationInformation(h);
    if (rc == KVPDF_ERR_NO_REVOCATION_ADDED) {
        printf("Nothing new: the document already carries the validation data of its %d "
               "signature%s.\n",
               signatures, signatures == 1 ? "" : "s");
        return 0;
    }
    // Warnings only: the revision is written whole.
    if (rc == KVPDF_ERR_VERSION_UNSUPPORTED || rc == KVPDF_WARN_COMPRESSED_FEATURES)
        fprintf(stderr, "kvpdf: warning: %s\n", Message(h, rc).c_str());
    else if (rc != 1) {
        unlink(out.c_str());
        return Failure(h, in, "cannot write the validation data", rc);
    }
    *added = true;
    printf("Added the validation data of %d signature%s in a revision of %lld bytes; the DSS "
           "holds %s.\n",
           signatures, signatures == 1 ? "" : "s", static_cast<long long>(FileSize(out) - before),
           DssSummary(out).c_str());
    return 0;
}

int CommandLtv(const std::vector<std::string> &args) {
    if (PrintHelp(args, kLtvCommand)) return 0;
    Args a;
    int32_t locale = KVPDF_LOCALE_EN;
    if (!Parse(args, kLtvCommand, &a) || a.positional.size() != 2 || !Locale(a, &locale)) {
        PrintUsage(kLtvCommand, stderr);
        return 2;
    }
    if (!HttpTimeout(a)) return 2;
    LtvSources sources{a.values("--trust"), a.values("--crl"), a.values("--ocsp"),
                       a.has("--online")};
    const std::string &in = a.positional[0], &out = a.positional[1];
    if (!InputFile(in) || !OutputFile(out)) return 1;
    const bool in_place = SameFile(in, out);
    Staged staged(out);
    if (!staged.ok()) {
        fprintf(stderr, "kvpdf: cannot create a file beside %s\n", out.c_str());
        return 1;
    }
    bool added = false;
    if (int failed = AddValidationData(in, staged.path(), sources, locale, &added); failed)
        return failed;
    if (!added && in_place) {
        printf("Nothing was added: %s is as it was.\n", out.c_str());
        return 0;
    }
    if (!staged.Commit()) {
        fprintf(stderr, "kvpdf: %s: cannot write: %s\n", out.c_str(), strerror(errno));
        return 1;
    }
    if (!added) printf("Nothing was added: %s is a copy of %s.\n", out.c_str(), in.c_str());
    return 0;
}

} // namespace cli
