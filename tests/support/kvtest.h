// SPDX-License-Identifier: Apache-2.0
// The tests' one support library: files and commands, a throw-away PKI with its TSA,
// OCSP responder and CRL server on 127.0.0.1, a PDF builder, the external checkers and
// the host's half of a signing request. Byte strings are std::string throughout.
#ifndef KVPDF_TESTS_SUPPORT_KVTEST_H
#define KVPDF_TESTS_SUPPORT_KVTEST_H

#include "kvpdf.h"

#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kvtest {

// The one owning pointer for OpenSSL objects: Ptr<X509, X509_free>.
template <auto Free> struct Deleter {
    template <class T> void operator()(T *p) const { Free(p); }
};
template <class T, auto Free> using Ptr = std::unique_ptr<T, Deleter<Free>>;
// DER of an OpenSSL object by its i2d function; "" when it cannot be encoded.
template <class I2d, class T> std::string Der(I2d i2d, T *object) {
    unsigned char *der = nullptr;
    int n = object ? i2d(object, &der) : -1;
    std::string out = n > 0 ? std::string(reinterpret_cast<char *>(der), size_t(n)) : "";
    OPENSSL_free(der);
    return out;
}

// A fresh folder under $TMPDIR (or /tmp), removed with its files.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void WriteFile(const std::string &path, const std::string &bytes); // throws when it cannot
std::string ReadFile(const std::string &path);                     // "" when there is none
std::string Quote(const std::string &text);                        // for a shell command line
// Runs a shell command: its exit status (-1 when it did not exit), output its stdout.
int Run(const std::string &command, std::string *output = nullptr);
// `openssl <args>` exits 0; the failure carries its output.
::testing::AssertionResult Openssl(const std::string &args);

inline const uint8_t *U8(const std::string &s) {
    return reinterpret_cast<const uint8_t *>(s.data());
}
inline std::string Str(const uint8_t *p, size_t n) {
    return p ? std::string(reinterpret_cast<const char *>(p), n) : std::string();
}
// Every fragment occurs in text; the failure names the missing ones and shows the text.
::testing::AssertionResult Contains(const std::string &text,
                                    const std::vector<std::string> &fragments);

// The shared corpus: $KVPDF_CORPUS when set, else <source>/../shared/corpus; "" when
// that folder has no manifest.tsv.
std::string CorpusDir();
using Row = std::map<std::string, std::string>; // manifest column -> value
std::vector<Row> CorpusManifest();

// Corpus tests are skipped, visibly, where the corpus is missing.
class CorpusTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = CorpusDir();
        if (dir_.empty())
            GTEST_SKIP() << "no corpus: set KVPDF_CORPUS or provide " KVPDF_SOURCE_DIR
                            "/../shared/corpus";
        rows_ = CorpusManifest();
    }
    std::string dir_;
    std::vector<Row> rows_;
};

// A certificate, its key and its files in the PKI's folder: <name>.pem, .der, .key.pem,
// .p12 (password Pki::kPassword, with the intermediate) and -chain.pem (the certificate
// and its issuers below the root).
struct Entity {
    Ptr<X509, X509_free> cert;
    Ptr<EVP_PKEY, EVP_PKEY_free> key;
    const Entity *issuer = nullptr; // nullptr for the root
    std::string pem, der, key_pem, p12, chain_pem;
    std::string CertDer() const;
};

// Root and intermediate CA and what they issue, valid around `created`. The certificates
// below the root name the OCSP responder and CRL server given, when given.
class Pki {
public:
    static constexpr const char *kPassword = "secret";

    Pki(const std::string &ocsp_url, const std::string &crl_base_url);
    ~Pki();

    Entity root, inter;
    Entity signer;  // RSA, UTF-8 common name, serial 1A2B3C; also signer_enc_key
    Entity revoked; // on inter.crl, and "revoked" for the OCSP responder
    Entity expired; // validity ended a year ago
    Entity ec_signer;
    Entity tsa; // critical extendedKeyUsage timeStamping
    time_t created, revocation_time;
    TempDir dir;
    std::string signer_enc_key;                     // PKCS#8 PEM encrypted with kPassword
    std::string root_crl, inter_crl, inter_crl_pem; // files

    // A CRL of ca revoking the entities listed, valid from last_update to next_update.
    std::string MakeCrl(const Entity &ca, const std::vector<const Entity *> &revoked_list,
                        time_t last_update, time_t next_update) const;
    // The responder's answer to a DER OCSPRequest (malformedRequest for anything else).
    std::string AnswerOcsp(const std::string &request) const;
    std::string OcspResponse(const Entity &subject) const; // a successful one
    // The TSA's TimeStampResp to a DER TimeStampReq; "" when none could be made.
    std::string AnswerTimestamp(const std::string &request) const;
    // A TimeStampToken (the SignedData ContentInfo) over SHA-256 of data.
    std::string TimestampToken(const std::string &data) const;

private:
    struct Tsa;
    std::unique_ptr<Tsa> tsa_state_;
};

// DER of a detached CMS SignedData over data by signer, SHA-256 (adbe.pkcs7.detached),
// with signing-certificate-v2 when cades (ETSI.CAdES.detached).
std::string SignDetachedCms(const std::string &data, const Entity &signer, bool cades);

using CmsPtr = Ptr<CMS_ContentInfo, CMS_ContentInfo_free>;
CmsPtr ParseCms(const std::string &der);
std::string EncodeCms(CMS_ContentInfo *cms);
CMS_SignerInfo *FirstSigner(CMS_ContentInfo *cms);
std::string SignatureValue(CMS_SignerInfo *si);
// The DER token of the first signature-time-stamp attribute, "" when there is none.
std::string SignatureToken(CMS_SignerInfo *si);
// The same token with one bit of its signature value flipped.
std::string CorruptTokenSignature(const std::string &token);

struct HttpRequest {
    std::string method, path, body;
};
struct HttpReply {
    HttpReply(int s, std::string b = "", bool h = false) : status(s), body(std::move(b)), hang(h) {}
    int status;
    std::string body;
    bool hang; // keep the connection open without answering
};

// HTTP/1.0, one connection at a time. The port is bound on construction but refuses
// connections until Start, so a handler never runs before the state it uses exists; a
// server never started is a refused port no other process can be handed meanwhile.
class HttpServer {
public:
    using Handler = std::function<HttpReply(const HttpRequest &)>;
    HttpServer();
    ~HttpServer(); // stops and joins
    void Start(Handler handler);
    std::string Url(const std::string &path) const;
    int Requests() const { return requests_.load(); }

private:
    void Serve(int fd);
    Handler handler_;
    int fd_ = -1, stop_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::atomic<int> requests_{0};
    std::thread thread_;
};

enum class TsaMode : int { Normal, Garbage, Reject, WrongImprint, Silent };
enum class OcspMode : int { Normal, TryLater };

// The PKI and the servers its certificates point at, made once per test process.
class World {
public:
    static World &Get();
    Pki &pki() { return *pki_; }
    std::string TsaUrl() const { return tsa_.Url("/tsa"); }
    void SetTsaMode(TsaMode mode) { tsa_mode_ = mode; }
    void SetOcspMode(OcspMode mode) { ocsp_mode_ = mode; }
    int TsaRequests() const { return tsa_.Requests(); }
    int OcspRequests() const { return ocsp_.Requests(); }
    int CrlRequests() const { return crl_.Requests(); }

private:
    World();
    HttpReply AnswerTsa(const HttpRequest &request) const;
    HttpReply AnswerOcsp(const HttpRequest &request) const;
    HttpReply AnswerCrl(const HttpRequest &request) const;
    std::atomic<TsaMode> tsa_mode_{TsaMode::Normal};
    std::atomic<OcspMode> ocsp_mode_{OcspMode::Normal};
    std::unique_ptr<Pki> pki_;    // made once the ports are known, before any server starts
    HttpServer tsa_, ocsp_, crl_; // and destroyed first, so no handler outlives the PKI
};

struct ClassicOptions {
    std::string eol = "\r\n";  // the two end-of-line bytes of every entry
    std::string trailer_extra; // more trailer keys, e.g. "/Encrypt 9 0 R"
    int64_t size = -1;         // /Size (default: highest object + 1)
    uint32_t generation = 0;   // written in every in-use entry
};

struct StreamOptions {
    std::vector<int> widths = {1, 2, 1};
    int predictor = 0;     // 12: PNG Up on every row
    bool use_index = true; // /Index with one range per run of numbers
    int64_t size = -1;
};

// Small PDFs byte by byte: objects, object streams, classic tables and cross-reference
// streams, in as many revisions as a test needs.
class PdfBuilder {
public:
    explicit PdfBuilder(const std::string &header = "%PDF-1.7\n") : data_(header) {}
    // "n 0 obj\n<body>\nendobj\n", listed in the next section.
    void Object(uint32_t number, const std::string &body);
    void Raw(const std::string &bytes) { data_ += bytes; }
    void Free(uint32_t number) { pending_[number] = {0, 0, 65535}; }
    // An object stream of the objects given, listed as compressed entries.
    void ObjectStream(uint32_t number,
                      const std::vector<std::pair<uint32_t, std::string>> &objects);
    size_t ClassicXref(const ClassicOptions &options = {}); // ends the revision; its offset
    size_t XrefStream(uint32_t number, const StreamOptions &options = {});
    const std::string &bytes() const { return data_; }
    size_t offset_of(uint32_t number) const { return all_.at(number); }

private:
    struct Entry {
        int type; // 0 free, 1 plain, 2 compressed
        uint64_t field2, field3;
    };
    std::vector<std::pair<uint32_t, uint32_t>> Runs() const; // (first, count) of pending_
    std::string data_;
    std::map<uint32_t, Entry> pending_; // the revision being built
    std::map<uint32_t, size_t> all_;    // newest offset of every plain object
    uint32_t highest_ = 0;
    int64_t last_xref_ = -1;
};

// An incremental update of pdf: the objects given (an empty body frees the number) and a
// classic table chained to pdf's last section, with its /Root and /Size carried over.
std::string AppendUpdate(const std::string &pdf, const std::map<uint32_t, std::string> &objects);

// Catalog 1, page tree 2 and one Letter page 3; no section yet.
PdfBuilder OnePage(const std::string &header = "%PDF-1.7\n");
std::string OnePagePdf(const std::string &header = "%PDF-1.7\n"); // ended by a table
// The same with stream_bytes of random data in an object nothing names.
std::string OnePagePdfOfSize(size_t stream_bytes);
std::string Deflate(const std::string &data, int level = 6);

// One "Signature #N:" block of `pdfsig -nocert` (poppler 22.12), for a signed field.
struct PdfsigSignature {
    bool valid = false;        // "Signature is Valid."
    bool whole_file = false;   // "Total document signed"
    std::string subfilter;     // "Signature Type"; "unknown" for ETSI.RFC3161
    std::string signed_ranges; // e.g. "[0 - 1234], [5678 - 9012]"
    std::string raw;           // the whole block, for failure messages
};
// One entry per field pdfsig lists; output gets its stdout and stderr.
std::vector<PdfsigSignature> RunPdfsig(const std::string &pdf, std::string *output = nullptr);
// `qpdf --check` exits 0: status 3 (warnings about recovered damage) counts as failure.
bool QpdfCheck(const std::string &pdf, std::string *output = nullptr);
// qpdf --check passes and pdfsig lists `signatures` fields, each valid where pdfsig can
// judge it (not document timestamps), the last one covering the whole file.
::testing::AssertionResult CheckersAccept(const std::string &pdf, size_t signatures);

// The PDF library's side (pdf_host.cpp, in builds that have the library).
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

// Inside the library, and the only place tests look there: what the reader made of a
// file (read as for listing attachments).
struct Structure {
    int32_t rc = 0;
    std::vector<int> ring;
    int64_t size = -1;                     // /Size of the newest trailer
    std::vector<uint32_t> sections;        // cross-reference sections, newest first
    std::map<uint32_t, uint64_t> offsets;  // in-use plain objects
    std::map<uint32_t, uint32_t> streams;  // compressed objects: their object stream
    std::map<uint32_t, std::string> texts; // every object above, read by number
};
// writing: read as a write does (into path + ".out"), with the checks only writers need.
Structure ReadStructure(const std::string &path, bool read_texts = false, bool writing = false);

// Runs scenario once to count its tracked allocations (at least `least`), then once
// more with each of them failing in turn: every run must end with a result of 1 or
// below and without a leaked block.
void OutOfMemorySweep(const std::function<int32_t()> &scenario, uint64_t least);

} // namespace kvtest

#endif
