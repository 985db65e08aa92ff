// SPDX-License-Identifier: Apache-2.0
#include "kvsx_store.h"

#include "kvsx_io.h"
#include "kvsx_log.h"

#include <mutex>

namespace kvsx {
namespace {

struct Stores {
    std::mutex lock;
    std::vector<X509Ptr> certs;
    std::vector<X509Ptr> named_anchors; // trusted because the caller said so
    std::vector<X509CrlPtr> crls;
    std::vector<Bytes> ocsp_responses;
};

Stores &stores() {
    static Stores *instance = new Stores; // never destroyed: usable from atexit handlers
    return *instance;
}

bool add_cert_locked(Stores &s, X509 *cert) {
    for (const X509Ptr &have : s.certs)
        if (X509_cmp(have.get(), cert) == 0) return false;
    s.certs.push_back(up_ref(cert));
    return true;
}

bool add_crl_locked(Stores &s, X509_CRL *crl) {
    for (const X509CrlPtr &have : s.crls)
        if (X509_CRL_match(have.get(), crl) == 0) return false;
    if (X509_CRL_up_ref(crl) != 1) return false;
    s.crls.emplace_back(crl);
    return true;
}

bool contains(const std::vector<X509Ptr> &list, X509 *cert) {
    for (const X509Ptr &have : list)
        if (X509_cmp(have.get(), cert) == 0) return true;
    return false;
}

int add_certs(const void *data, int32_t length, bool anchor) {
    Bytes input;
    int rc = load_input(data, length, input, "certificate");
    if (rc != KVSX_OK) return rc;
    std::vector<X509Ptr> parsed;
    for (const Bytes &der : der_blocks(input)) {
        const unsigned char *p = der.data();
        X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
        if (cert) parsed.push_back(std::move(cert));
    }
    if (parsed.empty())
        return fail(KVSX_E_BAD_CERT, "no certificate in %zu input bytes", input.size());
    drain_openssl_errors();
    Stores &s = stores();
    std::lock_guard<std::mutex> lock(s.lock);
    for (const X509Ptr &cert : parsed) {
        bool added = add_cert_locked(s, cert.get());
        if (anchor && !contains(s.named_anchors, cert.get()))
            s.named_anchors.push_back(up_ref(cert.get()));
        log_line(LogLevel::Debug, "certificate %s%s", added ? "added" : "already stored",
                 anchor || is_self_issued(cert.get()) ? " (trust anchor)" : "");
    }
    return KVSX_OK;
}

int add_crls(const void *data, int32_t length) {
    Bytes input;
    int rc = load_input(data, length, input, "CRL");
    if (rc != KVSX_OK) return rc;
    std::vector<X509CrlPtr> parsed;
    for (const Bytes &der : der_blocks(input)) {
        const unsigned char *p = der.data();
        X509CrlPtr crl(d2i_X509_CRL(nullptr, &p, static_cast<long>(der.size())));
        if (crl) parsed.push_back(std::move(crl));
    }
    if (parsed.empty()) return fail(KVSX_E_BAD_DATA, "no CRL in %zu input bytes", input.size());
    drain_openssl_errors();
    Stores &s = stores();
    std::lock_guard<std::mutex> lock(s.lock);
    for (const X509CrlPtr &crl : parsed)
        add_crl_locked(s, crl.get());
    return KVSX_OK;
}

int add_ocsps(const void *data, int32_t length) {
    Bytes input;
    int rc = load_input(data, length, input, "OCSP response");
    if (rc != KVSX_OK) return rc;
    std::vector<Bytes> parsed;
    for (const Bytes &der : der_blocks(input)) {
        const unsigned char *p = der.data();
        OcspResponsePtr resp(d2i_OCSP_RESPONSE(nullptr, &p, static_cast<long>(der.size())));
        if (!resp) continue;
        int status = OCSP_response_status(resp.get());
        if (status != OCSP_RESPONSE_STATUS_SUCCESSFUL)
            return fail(KVSX_E_BAD_DATA, "OCSP response status is %s, not successful",
                        OCSP_response_status_str(status));
        parsed.push_back(to_der(i2d_OCSP_RESPONSE, resp.get()));
    }
    if (parsed.empty())
        return fail(KVSX_E_BAD_DATA, "no OCSP response in %zu input bytes", input.size());
    drain_openssl_errors();
    Stores &s = stores();
    std::lock_guard<std::mutex> lock(s.lock);
    for (Bytes &der : parsed) {
        bool known = false;
        for (const Bytes &have : s.ocsp_responses)
            known = known || have == der;
        if (!known) s.ocsp_responses.push_back(std::move(der));
    }
    return KVSX_OK;
}

} // namespace

bool is_self_issued(X509 *cert) {
    return (X509_get_extension_flags(cert) & EXFLAG_SI) != 0;
}

StoreSnapshot store_snapshot() {
    StoreSnapshot snap;
    snap.anchors = new_x509_stack();
    snap.intermediates = new_x509_stack();
    Stores &s = stores();
    std::lock_guard<std::mutex> lock(s.lock);
    for (const X509Ptr &cert : s.certs) {
        const bool named = contains(s.named_anchors, cert.get());
        const bool anchor = named || is_self_issued(cert.get());
        snap.partial_chains = snap.partial_chains || (named && !is_self_issued(cert.get()));
        push_ref(anchor ? snap.anchors.get() : snap.intermediates.get(), cert.get());
    }
    for (const X509CrlPtr &crl : s.crls) {
        if (X509_CRL_up_ref(crl.get()) != 1) throw std::bad_alloc();
        snap.crls.emplace_back(crl.get());
    }
    snap.ocsp_responses = s.ocsp_responses;
    return snap;
}

void store_keep_fetched_crl(X509_CRL *crl) {
    Stores &s = stores();
    std::lock_guard<std::mutex> lock(s.lock);
    add_crl_locked(s, crl);
}

void store_clear_all() {
    Stores &s = stores();
    std::lock_guard<std::mutex> lock(s.lock);
    s.certs.clear();
    s.named_anchors.clear();
    s.crls.clear();
    s.ocsp_responses.clear();
}

} // namespace kvsx

using kvsx::guarded;

extern "C" KVSX_API int kvsx_add_cert(const void *data, int32_t length) {
    return guarded("kvsx_add_cert", [&] { return kvsx::add_certs(data, length, false); });
}

extern "C" KVSX_API int kvsx_add_trust_anchor(const void *data, int32_t length) {
    return guarded("kvsx_add_trust_anchor", [&] { return kvsx::add_certs(data, length, true); });
}

extern "C" KVSX_API int kvsx_add_crl(const void *data, int32_t length) {
    return guarded("kvsx_add_crl", [&] { return kvsx::add_crls(data, length); });
}

extern "C" KVSX_API int kvsx_add_ocsp(const void *data, int32_t length) {
    return guarded("kvsx_add_ocsp", [&] { return kvsx::add_ocsps(data, length); });
}

extern "C" KVSX_API void kvsx_clean_stores(void) {
    guarded("kvsx_clean_stores", [] {
        kvsx::store_clear_all();
        return KVSX_OK;
    });
}

extern "C" KVSX_API int kvsx_clean_crl_store(void) {
    return guarded("kvsx_clean_crl_store", [] {
        kvsx::Stores &s = kvsx::stores();
        std::lock_guard<std::mutex> lock(s.lock);
        s.crls.clear();
        return KVSX_OK;
    });
}
