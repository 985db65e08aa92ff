// SPDX-License-Identifier: Apache-2.0
#include "kvsx_key.h"

#include "kvsx_io.h"
#include "kvsx_log.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/provider.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <strings.h>

namespace kvsx {
namespace {

// Never prompts: without a secret an encrypted key simply fails to open.
int password_cb(char *buf, int size, int rwflag, void *userdata) {
    (void)rwflag;
    const char *secret = static_cast<const char *>(userdata);
    if (secret == nullptr || size <= 0) return 0;
    size_t len = strlen(secret);
    if (len > static_cast<size_t>(size)) return 0;
    std::copy(secret, secret + len, buf);
    return static_cast<int>(len);
}

bool contains(const Bytes &data, const char *needle) {
    size_t n = strlen(needle);
    return std::search(data.begin(), data.end(), needle, needle + n) != data.end();
}

void collect_certs(const Bytes &input, std::vector<X509Ptr> &pool) {
    for (const Bytes &der : der_blocks(input)) {
        const unsigned char *p = der.data();
        X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
        if (cert) pool.push_back(std::move(cert));
    }
    ERR_clear_error(); // blocks that are keys, not certificates, are expected
}

// PKCS#12 files from older Windows exports use RC2/3DES, which live in the legacy
// provider; it is loaded only when a file needs it, and unloaded by global clean-up.
std::mutex g_legacy_mutex;
OSSL_PROVIDER *g_legacy = nullptr;

bool load_legacy_provider() {
    std::lock_guard<std::mutex> lock(g_legacy_mutex);
    if (g_legacy == nullptr) g_legacy = OSSL_PROVIDER_try_load(nullptr, "legacy", 1);
    return g_legacy != nullptr;
}

int load_pkcs12(PKCS12 *p12, const char *path, const char *secret, EvpPkeyPtr &key,
                std::vector<X509Ptr> &pool) {
    const char *pass = secret != nullptr ? secret : "";
    if (PKCS12_mac_present(p12) == 1) {
        bool ok = PKCS12_verify_mac(p12, pass, -1) == 1;
        // An empty password may have been encoded as absent (RFC 7292 leaves it open).
        if (!ok && *pass == '\0') {
            ok = PKCS12_verify_mac(p12, nullptr, 0) == 1;
            if (ok) pass = nullptr;
        }
        if (!ok) return fail(KVSX_WRONG_PASSWORD, "password does not open '%s'", path);
    }
    EVP_PKEY *pkey = nullptr;
    X509 *cert = nullptr;
    STACK_OF(X509) *ca = nullptr;
    int parsed = PKCS12_parse(p12, pass, &pkey, &cert, &ca);
    if (parsed != 1) {
        clear_openssl_errors(); // the retry reports its own errors if it fails as well
        if (load_legacy_provider()) {
            log_line(LogLevel::Info, "retrying '%s' with the legacy provider", path);
            parsed = PKCS12_parse(p12, pass, &pkey, &cert, &ca);
        }
    }
    if (parsed != 1) return fail(KVSX_E_KEY_LOAD, "cannot decode PKCS#12 file '%s'", path);
    key.reset(pkey);
    X509StackPtr ca_owner(ca);
    if (cert != nullptr) pool.emplace_back(cert);
    while (ca_owner && sk_X509_num(ca_owner.get()) > 0)
        pool.emplace_back(sk_X509_shift(ca_owner.get()));
    if (!key) return fail(KVSX_E_KEY_LOAD, "PKCS#12 file '%s' holds no private key", path);
    return KVSX_OK;
}

int load_key_file(const Bytes &bytes, const char *path, const char *secret, EvpPkeyPtr &key,
                  std::vector<X509Ptr> &pool) {
    if (bytes.size() > INT_MAX) return fail(KVSX_E_KEY_LOAD, "'%s' is too large", path);
    BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    if (!bio) throw std::bad_alloc();
    void *cb_arg = const_cast<char *>(secret);
    bool pem = contains(bytes, "-----BEGIN ");
    bool encrypted;
    if (pem) {
        encrypted = contains(bytes, "ENCRYPTED");
        key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, password_cb, cb_arg));
        collect_certs(bytes, pool);
    } else {
        const unsigned char *p = bytes.data();
        X509_SIG *sig = d2i_X509_SIG(nullptr, &p, static_cast<long>(bytes.size()));
        encrypted = sig != nullptr;
        X509_SIG_free(sig);
        if (encrypted) {
            key.reset(d2i_PKCS8PrivateKey_bio(bio.get(), nullptr, password_cb, cb_arg));
        } else {
            p = bytes.data();
            key.reset(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(bytes.size())));
        }
    }
    if (key) return KVSX_OK;
    if (encrypted)
        return fail(KVSX_WRONG_PASSWORD, "%s does not open the encrypted key '%s'",
                    secret != nullptr ? "the password" : "no password given: it", path);
    return fail(KVSX_E_KEY_LOAD, "'%s' holds no readable private key", path);
}

} // namespace

void unload_key_providers() {
    std::lock_guard<std::mutex> lock(g_legacy_mutex);
    if (g_legacy != nullptr) OSSL_PROVIDER_unload(g_legacy);
    g_legacy = nullptr;
}

int load_signer_key(const KvsSigningParameters &params, SignerKey &out) {
    if (params.key == nullptr || *params.key == '\0')
        return fail(KVSX_E_INVALID_ARG, "no key given");
    if (strncasecmp(params.key, "pkcs11:", 7) == 0)
        return fail(KVSX_E_UNSUPPORTED, "PKCS#11 keys are not supported: '%s'", params.key);

    Bytes key_bytes;
    if (read_file(params.key, key_bytes, kMaxSmallFile) != KVSX_OK)
        return fail(KVSX_E_KEY_LOAD, "cannot read key file '%s'", params.key);

    std::vector<X509Ptr> pool;
    const unsigned char *p = key_bytes.data();
    Pkcs12Ptr p12(d2i_PKCS12(nullptr, &p, static_cast<long>(key_bytes.size())));
    ERR_clear_error(); // not being PKCS#12 is a normal outcome here
    int rc = p12 ? load_pkcs12(p12.get(), params.key, params.secret, out.key, pool)
                 : load_key_file(key_bytes, params.key, params.secret, out.key, pool);
    if (rc != KVSX_OK) return rc;

    if (params.certs != nullptr && *params.certs != '\0') {
        Bytes cert_bytes;
        rc = read_file(params.certs, cert_bytes, kMaxSmallFile);
        if (rc != KVSX_OK) return rc;
        size_t before = pool.size();
        collect_certs(cert_bytes, pool);
        if (pool.size() == before)
            return fail(KVSX_E_NO_CERT, "'%s' holds no certificate", params.certs);
    }
    if (pool.empty())
        return fail(KVSX_E_NO_CERT, "no signer certificate given for '%s'", params.key);

    out.others = new_x509_stack();
    for (X509Ptr &cert : pool) {
        if (!out.cert) {
            ERR_set_mark();
            bool match = X509_check_private_key(cert.get(), out.key.get()) == 1;
            ERR_pop_to_mark();
            if (match) {
                out.cert = std::move(cert);
                continue;
            }
        }
        push_ref(out.others.get(), cert.get());
    }
    if (!out.cert)
        return fail(KVSX_E_KEY_MISMATCH, "none of %zu certificates matches the key in '%s'",
                    pool.size(), params.key);
    // OpenSSL fills a certificate's extension cache on first use; filled here, a loaded
    // signer is only read by the threads that sign with it.
    (void)X509_get_extension_flags(out.cert.get());
    for (int i = 0; i < sk_X509_num(out.others.get()); ++i)
        (void)X509_get_extension_flags(sk_X509_value(out.others.get(), i));
    return KVSX_OK;
}

} // namespace kvsx
