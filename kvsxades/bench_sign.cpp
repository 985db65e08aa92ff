// SPDX-License-Identifier: Apache-2.0
// Times kvsx_create_signature over a file given by name (compare with
// `time openssl dgst -sha256 FILE`).
//   kvsx_bench_sign FILE [KEY [SECRET [CERTS]]]
// Without KEY a throw-away RSA key and self-signed certificate are made.
// KVSX_BENCH_LOG=path writes the library's debug log there.
#include "kvsxades.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

template <auto FreeFn> struct Deleter {
    template <class T> void operator()(T *p) const { FreeFn(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using FilePtr = std::unique_ptr<FILE, Deleter<fclose>>;

bool make_throwaway_key(const std::string &key_path, const std::string &cert_path) {
    PkeyPtr key(EVP_RSA_gen(2048));
    X509Ptr cert(X509_new());
    if (!key || !cert) return false;
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
    X509_NAME *name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>("kvsx bench"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_set_pubkey(cert.get(), key.get());
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0) return false;
    FilePtr kf(fopen(key_path.c_str(), "w"));
    FilePtr cf(fopen(cert_path.c_str(), "w"));
    return kf && cf &&
           PEM_write_PrivateKey(kf.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1 &&
           PEM_write_X509(cf.get(), cert.get()) == 1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s FILE [KEY [SECRET [CERTS]]]\n", argv[0]);
        return 2;
    }
    std::string key_path = argc > 2 ? argv[2] : "";
    std::string cert_path = argc > 4 ? argv[4] : "";
    std::string temp_dir;
    if (key_path.empty()) {
        char pattern[] = "/tmp/kvsx-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return 1;
        temp_dir = pattern;
        key_path = temp_dir + "/key.pem";
        cert_path = temp_dir + "/cert.pem";
        if (!make_throwaway_key(key_path, cert_path)) {
            fprintf(stderr, "cannot make a key\n");
            return 1;
        }
    }
    kvsx_global_init(0);
    if (const char *log = getenv("KVSX_BENCH_LOG")) kvsx_set_log(log, 0, KVS_LOG_DEBUG);
    KvsSigningParameters params{};
    params.key = key_path.c_str();
    params.secret = argc > 3 ? argv[3] : nullptr;
    params.certs = cert_path.empty() ? nullptr : cert_path.c_str();
    params.flags = KVS_CADES;
    KvsDataObject item{};
    item.data = argv[1];
    item.length = -1;
    item.content_type = "application/pdf";

    uint8_t *sig = nullptr;
    uint32_t sig_length = 0;
    auto start = std::chrono::steady_clock::now();
    int rc = kvsx_create_signature(nullptr, &params, &item, &sig, &sig_length, 0, 0);
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (rc == KVSX_OK)
        printf("signed %s in %.3f s, signature %u bytes\n", argv[1], elapsed.count(), sig_length);
    else
        fprintf(stderr, "kvsx_create_signature: %d %s\n", rc, kvsx_code_text(rc));
    kvsx_free(sig);
    if (!temp_dir.empty()) {
        unlink(key_path.c_str());
        unlink(cert_path.c_str());
        rmdir(temp_dir.c_str());
    }
    kvsx_global_cleanup();
    return rc == KVSX_OK ? 0 : 1;
}
