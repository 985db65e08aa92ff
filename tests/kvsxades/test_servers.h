// Small HTTP/1.0 servers on 127.0.0.1 (one thread each, ephemeral port) for tests: an
// RFC 3161 TSA, an OCSP responder and a CRL server backed by a TestPki.
#ifndef KVSX_TEST_SERVERS_H
#define KVSX_TEST_SERVERS_H

#include "test_pki.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace kvsx_test {

struct HttpRequest {
    std::string method;
    std::string path;
    Bytes body;
};

struct HttpReply {
    int status = 200;
    std::string content_type = "application/octet-stream";
    Bytes body;
    bool hang = false; // keep the connection open without answering
};

class HttpServer {
public:
    using Handler = std::function<HttpReply(const HttpRequest &)>;
    explicit HttpServer(Handler handler);
    ~HttpServer(); // stops and joins
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    uint16_t port() const { return port_; }
    std::string url(const std::string &path = "/") const;
    int requests() const { return requests_.load(); }

private:
    void run();
    void serve(int fd);
    Handler handler_;
    int listen_fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::atomic<int> requests_{0};
    std::thread thread_;
};

// A port on 127.0.0.1 where nothing listens.
uint16_t unused_port();

enum class TsaMode : int { Normal, Garbage, Reject, WrongImprint, Silent };
enum class OcspMode : int { Normal, TryLater };

// The servers and the PKI whose certificates point at them, made once per test process.
class TestWorld {
public:
    static TestWorld &get();
    ~TestWorld();

    TestPki &pki() { return *pki_; }
    std::string tsa_url() const { return tsa_->url("/tsa"); }
    std::string ocsp_url() const { return ocsp_->url("/"); }
    std::string crl_url(const char *name) const { return crl_->url(std::string("/") + name); }
    void set_tsa_mode(TsaMode mode) { tsa_mode_ = mode; }
    void set_ocsp_mode(OcspMode mode) { ocsp_mode_ = mode; }
    int tsa_requests() const { return tsa_->requests(); }
    int ocsp_requests() const { return ocsp_->requests(); }
    int crl_requests() const { return crl_->requests(); }

private:
    TestWorld();
    HttpReply answer_tsa(const HttpRequest &request);
    HttpReply answer_ocsp(const HttpRequest &request);
    HttpReply answer_crl(const HttpRequest &request);

    std::atomic<TsaMode> tsa_mode_{TsaMode::Normal};
    std::atomic<OcspMode> ocsp_mode_{OcspMode::Normal};
    std::unique_ptr<HttpServer> tsa_, ocsp_, crl_;
    std::unique_ptr<TestPki> pki_;
    struct TsaState;
    std::unique_ptr<TsaState> tsa_state_;
};

} // namespace kvsx_test

#endif
