// A throw-away PKI for tests: root CA, intermediate CA, signers (good, revoked, expired,
// EC), a TSA certificate, CRLs and OCSP responses, written as PEM/DER/PKCS#12 files to a
// temporary directory. Made with OpenSSL, in process.
#ifndef KVSX_TEST_PKI_H
#define KVSX_TEST_PKI_H

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace kvsx_test {

using Bytes = std::vector<uint8_t>;

Bytes read_file(const std::string &path);
void write_file(const std::string &path, const Bytes &data);
std::string make_temp_dir(const char *prefix);
void remove_tree(const std::string &path);
// Runs a shell command; returns its exit status, output gets stdout and stderr.
int run_command(const std::string &command, std::string *output = nullptr);
std::string hex(const Bytes &data);

struct OsslFree {
    void operator()(X509 *p) const { X509_free(p); }
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
};

// One certificate with its key and files: <dir>/<name>.pem (certificate), .der,
// .key.pem, .p12 (password TestPki::kPassword, with the intermediate), -chain.pem
// (certificate and its issuers below the root).
struct Entity {
    std::string name;
    std::unique_ptr<X509, OsslFree> cert;
    std::unique_ptr<EVP_PKEY, OsslFree> key;
    const Entity *issuer = nullptr; // nullptr for the root
    std::string pem, der, key_pem, p12, chain_pem;
    Bytes cert_der() const;
};

struct PkiOptions {
    std::string ocsp_url;     // AIA OCSP URL put in issued certificates ("" = none)
    std::string crl_base_url; // CDP is <crl_base_url>root.crl / inter.crl ("" = none)
};

class TestPki {
public:
    static constexpr const char *kPassword = "secret";

    explicit TestPki(const PkiOptions &options);
    ~TestPki();
    TestPki(const TestPki &) = delete;
    TestPki &operator=(const TestPki &) = delete;

    const std::string &dir() const { return dir_; }
    std::string path(const std::string &file) const { return dir_ + "/" + file; }

    Entity root, inter;
    Entity signer;  // RSA 2048, UTF-8 common name, serial 1A2B3C, p12 + plain and encrypted PEM key
    Entity revoked; // listed on inter.crl and answered "revoked" by OCSP
    Entity expired; // validity ended a year ago
    Entity ec_signer;
    Entity tsa; // extendedKeyUsage timeStamping, critical
    time_t created;
    time_t revocation_time;
    std::string signer_enc_key;                     // PKCS#8 PEM encrypted with kPassword
    std::string root_crl, inter_crl, inter_crl_pem; // DER files (and one PEM)

    // A CRL of ca, revoking the certificates listed, valid from last_update to next_update.
    Bytes make_crl(const Entity &ca, const std::vector<const Entity *> &revoked_list,
                   time_t last_update, time_t next_update) const;
    // A successful OCSP response for subject signed by its issuer, status from this PKI.
    Bytes ocsp_response(const Entity &subject) const;
    // The responder: answers a DER OCSPRequest.
    Bytes answer_ocsp_request(const Bytes &request) const;

private:
    const Entity *find_issuer_by_id(const void *cert_id) const;
    std::string dir_;
    PkiOptions options_;
};

} // namespace kvsx_test

#endif
