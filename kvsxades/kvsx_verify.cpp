// SPDX-License-Identifier: Apache-2.0
// Verifying signatures and document timestamps.
#include "kvsx_chain.h"
#include "kvsx_cms.h"
#include "kvsx_context.h"
#include "kvsx_io.h"
#include "kvsx_log.h"
#include "kvsx_store.h"
#include "kvsx_tsp.h"

#include <ctime>
#include <functional>
#include <map>

namespace kvsx {
namespace {

using ImprintSource = std::function<int(const EVP_MD *, Bytes &)>;

struct Verifier {
    StoreSnapshot stores = store_snapshot();
    Settings settings = current_settings();
    VerifyOutcome outcome;
    std::string report;

    void note(const std::string &line) { report += line + "\n"; }
};

// Token signature, imprint, and the TSA chain at the token's own time.
int verify_token(Verifier &v, const uint8_t *der, size_t length, const ImprintSource &source,
                 TimestampRecord &record) {
    record.token.assign(der, der + length);
    TokenInfo token;
    int rc = read_token(der, length, nullptr, token);
    record.time = token.gen_time;
    if (rc != KVSX_OK) return rc;
    const EVP_MD *md = token_imprint_md(token);
    if (md == nullptr) return KVSX_TIMESTAMP_INVALID;
    Bytes digest;
    rc = source(md, digest);
    if (rc != KVSX_OK) return rc;
    if (!token_imprint_equals(token, digest))
        return fail(KVSX_TIMESTAMP_INVALID, "the token's imprint does not match the stamped data");
    ChainRequest req;
    req.leaf = token.tsa_cert;
    req.untrusted = token.certs.get();
    req.when = token.gen_time;
    req.purpose = X509_PURPOSE_TIMESTAMP_SIGN; // RFC 3161, 2.3: critical EKU timeStamping
    req.label = "TSA";
    return validate_chain(req, v.stores, v.settings, record.chain);
}

void note_chain(Verifier &v, const std::vector<CertRecord> &chain) {
    for (const CertRecord &record : chain) {
        const unsigned char *p = record.cert.data();
        X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(record.cert.size())));
        std::string source = !record.ocsp.empty() ? "OCSP" : !record.crl.empty() ? "CRL" : "-";
        v.note("  " + (cert ? subject_of(cert.get()) : std::string("?")) +
               " [revocation: " + source + "]");
    }
}

// Signature-time-stamp tokens (RFC 3161, appendix A) of one SignerInfo; returns the
// time of the first valid one (0 = none) and whether any was bad.
int64_t verify_signature_timestamps(Verifier &v, CMS_SignerInfo *si, bool record, bool &any_bad) {
    ASN1_OCTET_STRING *sig = CMS_SignerInfo_get0_signature(si);
    ImprintSource source = [sig](const EVP_MD *md, Bytes &out) {
        return digest_bytes(md, ASN1_STRING_get0_data(sig),
                            static_cast<size_t>(ASN1_STRING_length(sig)), out);
    };
    int64_t first_valid = 0;
    any_bad = false;
    int idx = -1;
    while ((idx = CMS_unsigned_get_attr_by_NID(si, NID_id_smime_aa_timeStampToken, idx)) >= 0) {
        X509_ATTRIBUTE *attr = CMS_unsigned_get_attr(si, idx);
        for (int j = 0; j < X509_ATTRIBUTE_count(attr); ++j) {
            ASN1_TYPE *value = X509_ATTRIBUTE_get0_type(attr, j);
            if (value == nullptr || value->type != V_ASN1_SEQUENCE) {
                any_bad = true;
                fail(KVSX_E_BAD_TOKEN, "signature timestamp attribute value is not a token");
                continue;
            }
            TimestampRecord rec;
            int rc = verify_token(v, ASN1_STRING_get0_data(value->value.sequence),
                                  static_cast<size_t>(ASN1_STRING_length(value->value.sequence)),
                                  source, rec);
            v.note("timestamp: " + time_text(rec.time) + " " + code_text(rc));
            if (rc == KVSX_OK && first_valid == 0) first_valid = rec.time;
            if (rc != KVSX_OK) any_bad = true;
            if (record && rc != KVSX_E_BAD_TOKEN) v.outcome.timestamps.push_back(std::move(rec));
        }
    }
    return first_valid;
}

struct SignatureInput {
    CMS_ContentInfo *cms;
    STACK_OF(X509) *certs; // carried by the signature
    STACK_OF(X509) *pool;  // signature certificates plus the stores
    ImprintSource content_digest;
    int64_t explicit_time;
};

int verify_signer(Verifier &v, const SignatureInput &in, CMS_SignerInfo *si, bool record) {
    const EVP_MD *md = signer_digest(si);
    if (md == nullptr) return KVSX_E_UNSUPPORTED;
    X509 *signer = find_signer_cert(si, in.pool);
    if (signer == nullptr)
        return fail(KVSX_E_NO_CERT,
                    "the signer certificate is neither in the signature nor stored");
    v.note("signer: " + subject_of(signer));
    if (record)
        v.outcome.signer_chain.push_back(
            CertRecord{to_der(i2d_X509, signer), {}, {}, KVS_REVOCATION_NOT_CHECKED, {}});

    Bytes digest;
    int rc = in.content_digest(md, digest);
    if (rc != KVSX_OK) return rc;
    X509StackPtr ess_chain = signer_first(signer, in.pool);
    rc = check_signer_info(in.cms, si, signer, digest, ess_chain.get(), false);
    if (rc != KVSX_OK) return rc;

    bool bad_timestamp = false;
    int64_t stamped = verify_signature_timestamps(v, si, record, bad_timestamp);
    int64_t when = in.explicit_time != 0 ? in.explicit_time
                   : stamped != 0        ? stamped
                                         : static_cast<int64_t>(time(nullptr));
    v.note("validation time: " + time_text(when) +
           (in.explicit_time != 0 ? " (given)"
            : stamped != 0        ? " (signature timestamp)"
                                  : " (now)"));

    ChainRequest req;
    req.leaf = signer;
    req.untrusted = in.certs;
    req.when = when;
    req.signing_key_usage = true;
    req.label = "signer";
    std::vector<CertRecord> chain;
    rc = validate_chain(req, v.stores, v.settings, chain);
    v.note("chain:");
    note_chain(v, chain);
    if (record) v.outcome.signer_chain = std::move(chain);
    if (rc == KVSX_OK && bad_timestamp)
        return fail(KVSX_TIMESTAMP_INVALID, "a signature timestamp does not verify");
    return rc;
}

int verify_signature(Verifier &v, const KvsDataObject *data, const uint8_t *sig,
                     uint32_t sig_length, int64_t explicit_time) {
    if (sig == nullptr || sig_length == 0 || sig_length > static_cast<uint32_t>(INT32_MAX))
        return fail(KVSX_E_INVALID_ARG, "no signature given");
    const unsigned char *p = sig;
    CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(sig_length)));
    if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed)
        return fail(KVSX_E_BAD_CMS, "the signature (%u bytes) is not a CMS SignedData", sig_length);
    STACK_OF(CMS_SignerInfo) *signers = CMS_get0_SignerInfos(cms.get());
    if (sk_CMS_SignerInfo_num(signers) <= 0)
        return fail(KVSX_E_BAD_CMS, "the SignedData has no SignerInfo");
    ASN1_OCTET_STRING **embedded = CMS_get0_content(cms.get());
    bool has_embedded = embedded != nullptr && *embedded != nullptr;
    if (data == nullptr && !has_embedded)
        return fail(KVSX_E_INVALID_ARG, "detached signature and no data given");

    X509StackPtr certs(CMS_get1_certs(cms.get()));
    if (!certs) certs = new_x509_stack();
    X509StackPtr pool = new_x509_stack();
    for (STACK_OF(X509) *source :
         {certs.get(), v.stores.intermediates.get(), v.stores.anchors.get()})
        for (int i = 0; i < sk_X509_num(source); ++i)
            push_ref(pool.get(), sk_X509_value(source, i));

    // Several signers with one digest algorithm hash the (possibly large) data once.
    std::map<int, Bytes> digests;
    ImprintSource content_digest = [&](const EVP_MD *md, Bytes &out) {
        auto found = digests.find(EVP_MD_get_type(md));
        if (found != digests.end()) {
            out = found->second;
            return KVSX_OK;
        }
        int rc = data != nullptr
                     ? digest_data_chain(data, md, out)
                     : digest_bytes(md, ASN1_STRING_get0_data(*embedded),
                                    static_cast<size_t>(ASN1_STRING_length(*embedded)), out);
        if (rc == KVSX_OK) digests[EVP_MD_get_type(md)] = out;
        return rc;
    };
    SignatureInput in{cms.get(), certs.get(), pool.get(), content_digest, explicit_time};
    int result = KVSX_OK;
    for (int i = 0; i < sk_CMS_SignerInfo_num(signers); ++i) {
        int rc = verify_signer(v, in, sk_CMS_SignerInfo_value(signers, i), i == 0);
        if (result == KVSX_OK) result = rc;
        if (rc < 0) break;
    }
    return result;
}

int export_report(const std::string &report, char **out) {
    if (out == nullptr) return KVSX_OK;
    Bytes text(report.begin(), report.end());
    text.push_back('\0');
    uint8_t *block = nullptr;
    int rc = export_block(text, &block, nullptr);
    *out = reinterpret_cast<char *>(block);
    return rc;
}

void keep_outcome(KvsContext *ctx, VerifyOutcome &&outcome) {
    std::lock_guard<std::mutex> lock(ctx->lock);
    ctx->last = std::move(outcome);
}

} // namespace
} // namespace kvsx

using kvsx::fail;

extern "C" KVSX_API int kvsx_verify_signature(KvsContext *ctx, const KvsDataObject *data,
                                              const uint8_t *sig, uint32_t sig_length,
                                              uint32_t time_low, int32_t time_high,
                                              char **out_report) {
    return kvsx::guarded("kvsx_verify_signature", [&] {
        if (out_report != nullptr) *out_report = nullptr;
        if (!kvsx::context_is_live(ctx)) return fail(KVSX_E_BAD_CONTEXT, "not a live context");
        kvsx::keep_outcome(ctx, kvsx::VerifyOutcome());
        const int64_t when = static_cast<int64_t>(
            (static_cast<uint64_t>(static_cast<uint32_t>(time_high)) << 32) | time_low);
        if (when < 0 || when > kvsx::kLatestTime)
            return fail(KVSX_E_INVALID_ARG, "verification time %lld is out of range",
                        static_cast<long long>(when));
        kvsx::Verifier v;
        int rc = kvsx::verify_signature(v, data, sig, sig_length, when);
        v.report = std::string("result: ") + kvsx::code_text(rc) + "\n" + v.report;
        kvsx::log_line(kvsx::LogLevel::Info, "signature verification: %s", kvsx::code_text(rc));
        kvsx::keep_outcome(ctx, std::move(v.outcome));
        int report_rc = kvsx::export_report(v.report, out_report);
        return report_rc != KVSX_OK ? report_rc : rc;
    });
}

extern "C" KVSX_API int kvsx_verify_doc_timestamp(KvsContext *ctx, const char *file_name,
                                                  int32_t data_length, const uint8_t *token,
                                                  uint32_t token_length) {
    return kvsx::guarded("kvsx_verify_doc_timestamp", [&] {
        if (!kvsx::context_is_live(ctx)) return fail(KVSX_E_BAD_CONTEXT, "not a live context");
        kvsx::keep_outcome(ctx, kvsx::VerifyOutcome());
        if (file_name == nullptr || token == nullptr || token_length == 0 ||
            token_length > static_cast<uint32_t>(INT32_MAX) || data_length < -1)
            return fail(KVSX_E_INVALID_ARG, "NULL argument or bad length");
        kvsx::ImprintSource source = [&](const EVP_MD *md, kvsx::Bytes &out) {
            if (data_length == -1) return kvsx::digest_file(file_name, md, out);
            return kvsx::digest_bytes(md, reinterpret_cast<const uint8_t *>(file_name),
                                      static_cast<size_t>(data_length), out);
        };
        kvsx::Verifier v;
        kvsx::TimestampRecord record;
        int rc = kvsx::verify_token(v, token, token_length, source, record);
        kvsx::log_line(kvsx::LogLevel::Info, "document timestamp of %s: %s",
                       kvsx::time_text(record.time).c_str(), kvsx::code_text(rc));
        if (rc != KVSX_E_BAD_TOKEN) {
            // The TSA is the "signer" of a document timestamp.
            v.outcome.signer_chain = record.chain;
            v.outcome.timestamps.push_back(std::move(record));
        }
        kvsx::keep_outcome(ctx, std::move(v.outcome));
        return rc;
    });
}
