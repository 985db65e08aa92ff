// SPDX-License-Identifier: Apache-2.0
#include "kvsx_chain.h"

#include "kvsx_cms.h"
#include "kvsx_http.h"
#include "kvsx_log.h"
#include "kvsx_platform.h"
#include "kvsxades.h"

#include <openssl/err.h>

#include <algorithm>

namespace kvsx {
namespace {

constexpr size_t kMaxCrlSize = size_t{32} << 20;
constexpr size_t kMaxOcspSize = size_t{1} << 20;

enum class Status : int { Unknown, Good, Revoked };

struct Verdict {
    Status status = Status::Unknown;
    Bytes crl;
    Bytes ocsp;
    std::string why; // of an Unknown status, as the caller should hear it
};

struct Subject {
    X509 *cert;
    X509 *issuer;
    STACK_OF(X509) *chain;
    int64_t when;
    const StoreSnapshot &stores;
    const Settings &settings;
};

X509StorePtr anchor_store(const StoreSnapshot &stores, int64_t when) {
    X509StorePtr store(X509_STORE_new());
    if (!store) throw std::bad_alloc();
    for (int i = 0; i < sk_X509_num(stores.anchors.get()); ++i)
        if (X509_STORE_add_cert(store.get(), sk_X509_value(stores.anchors.get(), i)) != 1)
            throw std::bad_alloc();
    X509_VERIFY_PARAM *param = X509_STORE_get0_param(store.get());
    X509_VERIFY_PARAM_set_time(param, static_cast<time_t>(when));
    // An intermediate the caller trusts ends the chain there, as a root would.
    if (stores.partial_chains) X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_PARTIAL_CHAIN);
    return store;
}

// A revocation dated before the validation time settles the question whenever the data
// was produced; "good" needs data produced within the grace window after the validation
// time and still current at it.
Status judge(bool revoked, int64_t revoked_at, int64_t produced, const ASN1_TIME *next_update,
             const Subject &s, const char *source) {
    if (revoked && revoked_at <= s.when) return Status::Revoked;
    if (revoked) return Status::Good; // revoked only after the validation time
    int64_t next = 0;
    bool has_next = to_unix_time(next_update, next);
    if (produced > s.when + s.settings.grace_seconds) {
        log_line(LogLevel::Debug, "%s produced %s, after the grace window ending %s: not used",
                 source, time_text(produced).c_str(),
                 time_text(s.when + s.settings.grace_seconds).c_str());
        return Status::Unknown;
    }
    if (has_next && next < s.when) {
        log_line(LogLevel::Debug, "%s expired at %s, before %s: not used", source,
                 time_text(next).c_str(), time_text(s.when).c_str());
        return Status::Unknown;
    }
    return Status::Good;
}

OCSP_SINGLERESP *find_single(OCSP_BASICRESP *basic, X509 *cert, X509 *issuer) {
    for (int i = 0; i < OCSP_resp_count(basic); ++i) {
        OCSP_SINGLERESP *single = OCSP_resp_get0(basic, i);
        const OCSP_CERTID *id = OCSP_SINGLERESP_get0_id(single);
        ASN1_OBJECT *md_oid = nullptr;
        if (OCSP_id_get0_info(nullptr, &md_oid, nullptr, nullptr, const_cast<OCSP_CERTID *>(id)) !=
            1)
            continue;
        const EVP_MD *md = EVP_get_digestbyobj(md_oid);
        if (md == nullptr) continue;
        OcspCertIdPtr mine(OCSP_cert_to_id(md, cert, issuer));
        if (mine && OCSP_id_cmp(mine.get(), id) == 0) return single;
    }
    return nullptr;
}

Status ocsp_verdict(const Bytes &der, const Subject &s, const char *source) {
    const unsigned char *p = der.data();
    OcspResponsePtr resp(d2i_OCSP_RESPONSE(nullptr, &p, static_cast<long>(der.size())));
    if (!resp || OCSP_response_status(resp.get()) != OCSP_RESPONSE_STATUS_SUCCESSFUL) {
        drain_openssl_errors();
        return Status::Unknown;
    }
    OcspBasicPtr basic(OCSP_response_get1_basic(resp.get()));
    if (!basic) return Status::Unknown;
    OCSP_SINGLERESP *single = find_single(basic.get(), s.cert, s.issuer);
    if (single == nullptr) return Status::Unknown;
    int64_t produced = 0;
    if (!to_unix_time(OCSP_resp_get0_produced_at(basic.get()), produced)) return Status::Unknown;
    // The responder's certificate is judged when it signed, not now.
    X509StorePtr store = anchor_store(s.stores, produced);
    if (OCSP_basic_verify(basic.get(), s.chain, store.get(), 0) != 1) {
        log_line(LogLevel::Info, "%s for %s does not verify: ignored", source,
                 subject_of(s.cert).c_str());
        drain_openssl_errors();
        return Status::Unknown;
    }
    int reason = 0;
    ASN1_GENERALIZEDTIME *revoked_time = nullptr;
    ASN1_GENERALIZEDTIME *this_update = nullptr;
    ASN1_GENERALIZEDTIME *next_update = nullptr;
    int status =
        OCSP_single_get0_status(single, &reason, &revoked_time, &this_update, &next_update);
    if (status == V_OCSP_CERTSTATUS_UNKNOWN || status < 0) return Status::Unknown;
    int64_t revoked_at = 0;
    bool revoked = status == V_OCSP_CERTSTATUS_REVOKED;
    if (revoked && !to_unix_time(revoked_time, revoked_at)) return Status::Unknown;
    return judge(revoked, revoked_at, produced, next_update, s, source);
}

Status crl_verdict(X509_CRL *crl, const Subject &s, const char *source) {
    if (X509_NAME_cmp(X509_CRL_get_issuer(crl), X509_get_subject_name(s.issuer)) != 0)
        return Status::Unknown;
    // Delta CRLs only make sense next to their base; this library reads complete CRLs.
    if (X509_CRL_get_ext_by_NID(crl, NID_delta_crl, -1) >= 0) return Status::Unknown;
    if ((X509_get_extension_flags(s.issuer) & EXFLAG_KUSAGE) != 0 &&
        (X509_get_key_usage(s.issuer) & KU_CRL_SIGN) == 0)
        return Status::Unknown;
    if (X509_CRL_verify(crl, X509_get0_pubkey(s.issuer)) != 1) {
        log_line(LogLevel::Info, "%s for %s has a bad signature: ignored", source,
                 subject_of(s.cert).c_str());
        drain_openssl_errors();
        return Status::Unknown;
    }
    int64_t produced = 0;
    if (!to_unix_time(X509_CRL_get0_lastUpdate(crl), produced)) return Status::Unknown;
    X509_REVOKED *entry = nullptr;
    bool revoked = X509_CRL_get0_by_cert(crl, &entry, s.cert) == 1;
    int64_t revoked_at = 0;
    if (revoked && !to_unix_time(X509_REVOKED_get0_revocationDate(entry), revoked_at))
        return Status::Unknown;
    return judge(revoked, revoked_at, produced, X509_CRL_get0_nextUpdate(crl), s, source);
}

std::vector<std::string> ocsp_urls(X509 *cert) {
    std::vector<std::string> urls;
    STACK_OF(OPENSSL_STRING) *list = X509_get1_ocsp(cert);
    urls.reserve(static_cast<size_t>(std::max(0, sk_OPENSSL_STRING_num(list))));
    for (int i = 0; i < sk_OPENSSL_STRING_num(list); ++i)
        urls.emplace_back(sk_OPENSSL_STRING_value(list, i));
    X509_email_free(list);
    return urls;
}

std::vector<std::string> crl_urls(X509 *cert) {
    std::vector<std::string> urls;
    DistPointsPtr points(static_cast<CRL_DIST_POINTS *>(
        X509_get_ext_d2i(cert, NID_crl_distribution_points, nullptr, nullptr)));
    for (int i = 0; points && i < sk_DIST_POINT_num(points.get()); ++i) {
        DIST_POINT *point = sk_DIST_POINT_value(points.get(), i);
        if (point->distpoint == nullptr || point->distpoint->type != 0) continue;
        GENERAL_NAMES *names = point->distpoint->name.fullname;
        for (int j = 0; j < sk_GENERAL_NAME_num(names); ++j) {
            GENERAL_NAME *name = sk_GENERAL_NAME_value(names, j);
            if (name->type != GEN_URI) continue;
            const ASN1_IA5STRING *uri = name->d.uniformResourceIdentifier;
            urls.emplace_back(reinterpret_cast<const char *>(ASN1_STRING_get0_data(uri)),
                              static_cast<size_t>(ASN1_STRING_length(uri)));
        }
    }
    return urls;
}

bool is_http(const std::string &url) {
    return url.compare(0, 7, "http://") == 0;
}

Status fetch_ocsp(const Subject &s, Verdict &verdict) {
    for (const std::string &url : ocsp_urls(s.cert)) {
        if (!is_http(url)) continue;
        verdict.why = "the answer of the OCSP responder " + url + " was not usable";
        OcspRequestPtr request(OCSP_REQUEST_new());
        OcspCertIdPtr id(OCSP_cert_to_id(EVP_sha1(), s.cert, s.issuer));
        if (!request || !id || OCSP_request_add0_id(request.get(), id.get()) == nullptr)
            throw std::bad_alloc();
        (void)id.release(); // owned by the request now
        OCSP_request_add1_nonce(request.get(), nullptr, -1);
        Bytes answer;
        if (http_post(s.settings, url, "application/ocsp-request",
                      to_der(i2d_OCSP_REQUEST, request.get()), kMaxOcspSize, answer) != KVSX_OK) {
            verdict.why = last_failure();
            continue;
        }
        const unsigned char *p = answer.data();
        OcspResponsePtr resp(d2i_OCSP_RESPONSE(nullptr, &p, static_cast<long>(answer.size())));
        if (!resp || OCSP_response_status(resp.get()) != OCSP_RESPONSE_STATUS_SUCCESSFUL) {
            log_line(LogLevel::Info, "OCSP responder %s: %s", url.c_str(),
                     resp ? OCSP_response_status_str(OCSP_response_status(resp.get()))
                          : "answer is not an OCSP response");
            drain_openssl_errors();
            continue;
        }
        OcspBasicPtr basic(OCSP_response_get1_basic(resp.get()));
        // RFC 6960, 4.4.1: a nonce sent must come back unchanged; absent is tolerated.
        if (!basic || OCSP_check_nonce(request.get(), basic.get()) == 0) {
            log_line(LogLevel::Info, "OCSP responder %s returned another nonce", url.c_str());
            continue;
        }
        std::string source = "OCSP response from " + url;
        Status status = ocsp_verdict(answer, s, source.c_str());
        if (status != Status::Unknown) {
            verdict.ocsp = std::move(answer);
            return status;
        }
    }
    return Status::Unknown;
}

Status fetch_crl(const Subject &s, Verdict &verdict) {
    for (const std::string &url : crl_urls(s.cert)) {
        if (!is_http(url)) continue;
        const std::string before = verdict.why;
        verdict.why = "the CRL from " + url + " was not usable";
        Bytes answer;
        if (http_get(s.settings, url, kMaxCrlSize, answer) != KVSX_OK) {
            // The OCSP responder's failure is the one worth telling when both fail.
            verdict.why = before.empty() ? last_failure() : before;
            continue;
        }
        const unsigned char *p = answer.data();
        X509CrlPtr crl(d2i_X509_CRL(nullptr, &p, static_cast<long>(answer.size())));
        if (!crl) {
            log_line(LogLevel::Info, "%s is not a DER CRL", url.c_str());
            drain_openssl_errors();
            continue;
        }
        store_keep_fetched_crl(crl.get());
        std::string source = "CRL from " + url;
        Status status = crl_verdict(crl.get(), s, source.c_str());
        if (status != Status::Unknown) {
            verdict.crl = std::move(answer);
            return status;
        }
    }
    return Status::Unknown;
}

Verdict check_revocation(const Subject &s) {
    Verdict verdict;
    for (const Bytes &der : s.stores.ocsp_responses) {
        verdict.status = ocsp_verdict(der, s, "stored OCSP response");
        if (verdict.status != Status::Unknown) {
            verdict.ocsp = der;
            return verdict;
        }
    }
    for (const X509CrlPtr &crl : s.stores.crls) {
        verdict.status = crl_verdict(crl.get(), s, "stored CRL");
        if (verdict.status != Status::Unknown) {
            verdict.crl = to_der(i2d_X509_CRL, crl.get());
            return verdict;
        }
    }
    if (!s.settings.use_cdp) {
        verdict.why = "no CRL or OCSP response for it at hand, and fetching is off";
        return verdict;
    }
    verdict.status = fetch_ocsp(s, verdict);
    if (verdict.status == Status::Unknown) verdict.status = fetch_crl(s, verdict);
    if (verdict.status == Status::Unknown && verdict.why.empty())
        verdict.why = "it names no http:// OCSP responder or CRL distribution point";
    return verdict;
}

int map_verify_error(int error) {
    switch (error) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return KVSX_EXPIRED;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_REJECTED:
        return KVSX_UNTRUSTED;
    case X509_V_ERR_CERT_REVOKED:
        return KVSX_REVOKED;
    default:
        return KVSX_CHAIN_INVALID;
    }
}

X509StackPtr untrusted_pool(const StoreSnapshot &stores, STACK_OF(X509) *extra) {
    X509StackPtr pool = new_x509_stack();
    for (STACK_OF(X509) *source : {stores.intermediates.get(), extra}) {
        for (int i = 0; source != nullptr && i < sk_X509_num(source); ++i) {
            push_ref(pool.get(), sk_X509_value(source, i));
        }
    }
    return pool;
}

} // namespace

std::string name_text(const X509_NAME *name) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio) throw std::bad_alloc();
    X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char *data = nullptr;
    long len = BIO_get_mem_data(bio.get(), &data);
    return len > 0 ? std::string(data, static_cast<size_t>(len)) : std::string();
}

std::string subject_of(X509 *cert) {
    return name_text(X509_get_subject_name(cert));
}

std::string time_text(int64_t when) {
    time_t t = static_cast<time_t>(when);
    struct tm tm_utc {};
    char text[32] = "?";
    if (os_gmtime(t, &tm_utc)) strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm_utc);
    return text;
}

int validate_chain(const ChainRequest &req, const StoreSnapshot &stores, const Settings &settings,
                   std::vector<CertRecord> &chain) {
    chain.clear();
    X509StorePtr store = anchor_store(stores, req.when);
    X509StackPtr untrusted = untrusted_pool(stores, req.untrusted);
    X509StoreCtxPtr vctx(X509_STORE_CTX_new());
    if (!vctx || X509_STORE_CTX_init(vctx.get(), store.get(), req.leaf, untrusted.get()) != 1)
        return fail(KVSX_E_NO_MEMORY, "cannot set up chain validation");
    X509_STORE_CTX_set_time(vctx.get(), 0, static_cast<time_t>(req.when));
    if (req.purpose != 0) X509_STORE_CTX_set_purpose(vctx.get(), req.purpose);
    bool valid = X509_verify_cert(vctx.get()) == 1;

    X509StackPtr built(X509_STORE_CTX_get1_chain(vctx.get()));
    if (!built || sk_X509_num(built.get()) == 0) built = signer_first(req.leaf, nullptr);
    for (int i = 0; i < sk_X509_num(built.get()); ++i)
        chain.push_back(CertRecord{to_der(i2d_X509, sk_X509_value(built.get(), i)),
                                   {},
                                   {},
                                   KVS_REVOCATION_NOT_CHECKED,
                                   {}});

    if (!valid) {
        int error = X509_STORE_CTX_get_error(vctx.get());
        X509 *at = X509_STORE_CTX_get_current_cert(vctx.get());
        return fail(map_verify_error(error), "%s chain at %s: %s (depth %d, %s)", req.label,
                    time_text(req.when).c_str(), X509_verify_cert_error_string(error),
                    X509_STORE_CTX_get_error_depth(vctx.get()),
                    at != nullptr ? subject_of(at).c_str() : "?");
    }
    if (req.signing_key_usage && (X509_get_extension_flags(req.leaf) & EXFLAG_KUSAGE) != 0 &&
        (X509_get_key_usage(req.leaf) & (KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION)) == 0)
        return fail(KVSX_CHAIN_INVALID, "%s key usage does not allow signatures (%s)", req.label,
                    subject_of(req.leaf).c_str());

    // The last certificate is the trust anchor: nothing to revoke it.
    int count = sk_X509_num(built.get());
    for (int i = 0; i + 1 < count; ++i) {
        Subject subject{sk_X509_value(built.get(), i),
                        sk_X509_value(built.get(), i + 1),
                        built.get(),
                        req.when,
                        stores,
                        settings};
        Verdict verdict = check_revocation(subject);
        CertRecord &record = chain[static_cast<size_t>(i)];
        record.crl = std::move(verdict.crl);
        record.ocsp = std::move(verdict.ocsp);
        record.revocation = verdict.status == Status::Good      ? KVS_REVOCATION_GOOD
                            : verdict.status == Status::Revoked ? KVS_REVOCATION_REVOKED
                                                                : KVS_REVOCATION_NOT_CHECKED;
        if (verdict.status == Status::Unknown) record.note = verdict.why;
        std::string who = subject_of(subject.cert);
        if (verdict.status == Status::Revoked)
            return fail(KVSX_REVOKED, "%s chain: %s was revoked before %s", req.label, who.c_str(),
                        time_text(req.when).c_str());
        if (verdict.status == Status::Unknown)
            log_line(LogLevel::Info, "%s chain: no usable revocation data for %s: %s", req.label,
                     who.c_str(), verdict.why.c_str());
        else
            log_line(LogLevel::Debug, "%s chain: %s good (%s)", req.label, who.c_str(),
                     chain[static_cast<size_t>(i)].ocsp.empty() ? "CRL" : "OCSP");
    }
    if (count > 0) chain[static_cast<size_t>(count - 1)].revocation = KVS_REVOCATION_ANCHOR;
    log_line(LogLevel::Info, "%s chain valid at %s (%d certificates)", req.label,
             time_text(req.when).c_str(), count);
    return KVSX_OK;
}

} // namespace kvsx
