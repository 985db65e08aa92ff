// The PDF library's side of the support library: the host's half of a signing request,
// and the one place (internals.cpp) where tests look inside the library.
#ifndef KVPDF_TESTS_SUPPORT_KVTEST_PDF_H
#define KVPDF_TESTS_SUPPORT_KVTEST_PDF_H

#include "kvpdf.h"
#include "kvtest.h"

namespace kvtest {

// The codes in a handle's error ring, oldest first.
std::vector<int> RingCodes(KvPdfHandle handle);
// The four numbers of the last /ByteRange in a file, zeros when there is none.
std::vector<uint32_t> LastByteRange(const std::string &path);

struct SignRequest {
    bool visible = false;
    bool cades = false;
    bool timestamp = false;                     // a document timestamp instead
    std::string logo_path;                      // loaded with KvPDFSetLogo
    int32_t buffer = 8192;                      // signature bytes reserved
    std::function<void(KvPdfHandle)> configure; // more properties
};

struct SignOutcome {
    int32_t write = 0; // KvPdfWritePDFWithoutSignature
    int32_t value = 0; // KvPdfWriteSignature / KvPdfWriteTimestamp
    std::vector<uint32_t> byte_range;
    std::string signed_bytes, der;
    std::vector<int> ring; // after the write
};

// The library writes the revision, the PKI's signer (or TSA) signs its byte ranges,
// the library writes the value.
SignOutcome HostSign(const std::string &source, const std::string &target,
                     const SignRequest &request);

// ---------------------------------------------------------------- inside the library

// What the reader made of a file (read as for listing attachments).
struct Structure {
    int32_t rc = 0;
    std::vector<int> ring;
    int32_t root = -1;
    int64_t size = -1;                     // /Size of the newest trailer
    std::vector<uint32_t> sections;        // cross-reference sections, newest first
    std::map<uint32_t, uint64_t> offsets;  // in-use plain objects
    std::map<uint32_t, uint32_t> streams;  // compressed objects: their object stream
    std::map<uint32_t, std::string> texts; // every object above, read by number
    // The newest revision's Document Security Store: counts, -1 without one; every
    // entry of every revision's store non-empty DER (a SEQUENCE).
    int64_t dss_certs = -1, dss_crls = -1, dss_ocsps = -1;
    bool dss_entries_der = true;
};
Structure ReadStructure(const std::string &path, bool read_texts = false);

// Signing time for the writers: fixed at t, 0 for the clock again.
void FixSigningTime(time_t t);

// Runs scenario once to count its tracked allocations (at least `least`), then once
// more with each of them failing in turn: every run must end with a result of 1 or
// below and without a leaked block.
void OutOfMemorySweep(const std::function<int32_t()> &scenario, uint64_t least);

} // namespace kvtest

#endif
