// The host's side of a signing request, played by the tests: the library writes the
// revision, OpenSSL signs its byte ranges, the library writes the value.
#ifndef KVPDF_TESTS_SIGN_SUPPORT_H
#define KVPDF_TESTS_SIGN_SUPPORT_H

#include "host_crypto.h"
#include "kvpdf.h"

#include <functional>
#include <string>

namespace kvtest {

struct SignRequest {
    bool visible = false;
    bool cades = false;
    bool timestamp = false;                     // a document timestamp instead of a signature
    std::string logo_path;                      // loaded with KvPDFSetLogo and passed to the write
    int32_t buffer = 8192;                      // signature bytes reserved
    std::function<void(KvPdfHandle)> configure; // more properties
};

struct SignOutcome {
    int32_t write = 0; // KvPdfWritePDFWithoutSignature
    int32_t placeholder = 0;
    int32_t value = 0; // KvPdfWriteSignature / KvPdfWriteTimestamp
    uint32_t byte_range[4] = {0, 0, 0, 0};
    std::string signed_bytes;
    std::string der;
    std::vector<int> ring; // the handle's errors after the write
};

// The shared test identities (RSA keys are slow to make: one of each per process).
const TestKey &Signer();
const TestTsa &Tsa();

SignOutcome HostSign(const std::string &source, const std::string &target,
                     const SignRequest &request);

} // namespace kvtest

#endif
