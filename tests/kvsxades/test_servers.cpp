#include "test_servers.h"

#include <openssl/ocsp.h>
#include <openssl/ts.h>

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kvsx_test {
namespace {

constexpr size_t kMaxRequest = 1u << 20;
constexpr int kReadTimeoutMs = 5000;

int listen_on_loopback(uint16_t &port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        close(fd);
        throw std::runtime_error("bind 127.0.0.1");
    }
    port = ntohs(addr.sin_port);
    return fd;
}

bool read_some(int fd, std::string &buffer) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kReadTimeoutMs) <= 0) return false;
    char chunk[8192];
    ssize_t got = recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(got));
    return buffer.size() <= kMaxRequest;
}

bool parse_request(int fd, HttpRequest &request) {
    std::string buffer;
    size_t header_end;
    while ((header_end = buffer.find("\r\n\r\n")) == std::string::npos)
        if (!read_some(fd, buffer)) return false;
    std::string head = buffer.substr(0, header_end);
    size_t sp1 = head.find(' ');
    size_t sp2 = head.find(' ', sp1 + 1);
    if (sp1 == std::string::npos || sp2 == std::string::npos) return false;
    request.method = head.substr(0, sp1);
    request.path = head.substr(sp1 + 1, sp2 - sp1 - 1);
    size_t length = 0;
    for (size_t pos = head.find("\r\n"); pos != std::string::npos;
         pos = head.find("\r\n", pos + 2)) {
        if (strncasecmp(head.c_str() + pos + 2, "Content-Length:", 15) == 0)
            length = strtoul(head.c_str() + pos + 17, nullptr, 10);
    }
    if (length > kMaxRequest) return false;
    while (buffer.size() < header_end + 4 + length)
        if (!read_some(fd, buffer)) return false;
    request.body.assign(buffer.begin() + static_cast<long>(header_end) + 4,
                        buffer.begin() + static_cast<long>(header_end + 4 + length));
    return true;
}

void send_all(int fd, const std::string &data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t sent = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (sent <= 0) return;
        done += static_cast<size_t>(sent);
    }
}

template <auto FreeFn> struct Deleter {
    template <class T> void operator()(T *p) const { FreeFn(p); }
};
using TsCtxPtr = std::unique_ptr<TS_RESP_CTX, Deleter<TS_RESP_CTX_free>>;
using TsRespPtr = std::unique_ptr<TS_RESP, Deleter<TS_RESP_free>>;
using TsReqPtr = std::unique_ptr<TS_REQ, Deleter<TS_REQ_free>>;
using TsStatusPtr = std::unique_ptr<TS_STATUS_INFO, Deleter<TS_STATUS_INFO_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using OcspRespPtr = std::unique_ptr<OCSP_RESPONSE, Deleter<OCSP_RESPONSE_free>>;
void free_x509_stack(STACK_OF(X509) * s) {
    sk_X509_free(s);
}
using StackPtr = std::unique_ptr<STACK_OF(X509), Deleter<free_x509_stack>>;

template <class I2d, class T> Bytes der_of(I2d i2d, T *obj) {
    unsigned char *der = nullptr;
    int len = obj != nullptr ? i2d(obj, &der) : -1;
    if (len <= 0) return Bytes();
    Bytes out(der, der + len);
    OPENSSL_free(der);
    return out;
}

ASN1_INTEGER *next_serial(TS_RESP_CTX *, void *data) {
    auto *counter = static_cast<std::atomic<long> *>(data);
    ASN1_INTEGER *serial = ASN1_INTEGER_new();
    ASN1_INTEGER_set(serial, ++*counter);
    return serial;
}

} // namespace

HttpServer::HttpServer(Handler handler) : handler_(std::move(handler)) {
    listen_fd_ = listen_on_loopback(port_);
    if (pipe2(stop_pipe_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    thread_ = std::thread([this] { run(); });
}

HttpServer::~HttpServer() {
    char stop = 'x';
    if (write(stop_pipe_[1], &stop, 1) != 1) perror("stop pipe");
    thread_.join();
    close(listen_fd_);
    close(stop_pipe_[0]);
    close(stop_pipe_[1]);
}

std::string HttpServer::url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void HttpServer::run() {
    for (;;) {
        pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents != 0) return;
        if ((fds[0].revents & POLLIN) == 0) continue;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        serve(fd);
        close(fd);
    }
}

void HttpServer::serve(int fd) {
    HttpRequest request;
    if (!parse_request(fd, request)) return;
    ++requests_;
    HttpReply reply = handler_(request);
    if (reply.hang) { // until the client gives up or the server stops
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        poll(fds, 2, -1);
        return;
    }
    std::string text = "HTTP/1.0 " + std::to_string(reply.status) +
                       (reply.status == 200 ? " OK" : " Error") +
                       "\r\nContent-Type: " + reply.content_type +
                       "\r\nContent-Length: " + std::to_string(reply.body.size()) +
                       "\r\nConnection: close\r\n\r\n";
    text.append(reply.body.begin(), reply.body.end());
    send_all(fd, text);
}

uint16_t unused_port() {
    uint16_t port = 0;
    close(listen_on_loopback(port));
    return port;
}

struct TestWorld::TsaState {
    TsCtxPtr ctx;
    std::atomic<long> serial{0};
};

TestWorld &TestWorld::get() {
    static TestWorld world;
    return world;
}

TestWorld::TestWorld() {
    tsa_ = std::make_unique<HttpServer>([this](const HttpRequest &r) { return answer_tsa(r); });
    ocsp_ = std::make_unique<HttpServer>([this](const HttpRequest &r) { return answer_ocsp(r); });
    crl_ = std::make_unique<HttpServer>([this](const HttpRequest &r) { return answer_crl(r); });
    pki_ = std::make_unique<TestPki>(PkiOptions{ocsp_->url("/"), crl_->url("/")});

    tsa_state_ = std::make_unique<TsaState>();
    TS_RESP_CTX *ctx = TS_RESP_CTX_new();
    tsa_state_->ctx.reset(ctx);
    StackPtr certs(sk_X509_new_null());
    sk_X509_push(certs.get(), pki_->inter.cert.get());
    ASN1_OBJECT *policy = OBJ_txt2obj("1.3.6.1.4.1.4146.1.2", 1);
    if (TS_RESP_CTX_set_signer_cert(ctx, pki_->tsa.cert.get()) != 1 ||
        TS_RESP_CTX_set_signer_key(ctx, pki_->tsa.key.get()) != 1 ||
        TS_RESP_CTX_set_certs(ctx, certs.get()) != 1 ||
        TS_RESP_CTX_set_def_policy(ctx, policy) != 1 ||
        TS_RESP_CTX_set_signer_digest(ctx, EVP_sha256()) != 1 ||
        TS_RESP_CTX_set_ess_cert_id_digest(ctx, EVP_sha256()) != 1)
        throw std::runtime_error("TSA set-up");
    ASN1_OBJECT_free(policy);
    for (const EVP_MD *md : {EVP_sha256(), EVP_sha384(), EVP_sha512(), EVP_sha1()})
        TS_RESP_CTX_add_md(ctx, md);
    TS_RESP_CTX_set_accuracy(ctx, 1, 0, 0);
    TS_RESP_CTX_set_serial_cb(ctx, next_serial, &tsa_state_->serial);
}

// Servers first: their handlers use the PKI and TSA state, which are freed after them.
TestWorld::~TestWorld() {
    tsa_.reset();
    ocsp_.reset();
    crl_.reset();
}

HttpReply TestWorld::answer_tsa(const HttpRequest &request) {
    HttpReply reply;
    reply.content_type = "application/timestamp-reply";
    switch (tsa_mode_.load()) {
    case TsaMode::Silent:
        reply.hang = true;
        return reply;
    case TsaMode::Garbage: {
        const char junk[] = "<html>this is not a time-stamp response</html>";
        reply.body.assign(junk, junk + sizeof junk - 1);
        return reply;
    }
    case TsaMode::Reject: {
        TsRespPtr resp(TS_RESP_new());
        TsStatusPtr status(TS_STATUS_INFO_new());
        TS_STATUS_INFO_set_status(status.get(), TS_STATUS_REJECTION);
        TS_RESP_set_status_info(resp.get(), status.get());
        reply.body = der_of(i2d_TS_RESP, resp.get());
        return reply;
    }
    case TsaMode::WrongImprint:
    case TsaMode::Normal:
        break;
    }
    Bytes body = request.body;
    if (tsa_mode_.load() == TsaMode::WrongImprint) {
        const unsigned char *p = body.data();
        TsReqPtr req(d2i_TS_REQ(nullptr, &p, static_cast<long>(body.size())));
        if (req) {
            ASN1_OCTET_STRING *msg = TS_MSG_IMPRINT_get_msg(TS_REQ_get_msg_imprint(req.get()));
            Bytes other(ASN1_STRING_get0_data(msg),
                        ASN1_STRING_get0_data(msg) + ASN1_STRING_length(msg));
            if (!other.empty()) other[0] ^= 0xff;
            ASN1_OCTET_STRING_set(msg, other.data(), static_cast<int>(other.size()));
            body = der_of(i2d_TS_REQ, req.get());
        }
    }
    BioPtr in(BIO_new_mem_buf(body.data(), static_cast<int>(body.size())));
    TsRespPtr resp(TS_RESP_create_response(tsa_state_->ctx.get(), in.get()));
    reply.body = der_of(i2d_TS_RESP, resp.get());
    if (reply.body.empty()) reply.status = 500;
    return reply;
}

HttpReply TestWorld::answer_ocsp(const HttpRequest &request) {
    HttpReply reply;
    reply.content_type = "application/ocsp-response";
    if (ocsp_mode_.load() == OcspMode::TryLater) {
        OcspRespPtr later(OCSP_response_create(OCSP_RESPONSE_STATUS_TRYLATER, nullptr));
        reply.body = der_of(i2d_OCSP_RESPONSE, later.get());
        return reply;
    }
    reply.body = pki_->answer_ocsp_request(request.body);
    return reply;
}

HttpReply TestWorld::answer_crl(const HttpRequest &request) {
    HttpReply reply;
    reply.content_type = "application/pkix-crl";
    if (request.method == "GET" && request.path == "/root.crl")
        reply.body = read_file(pki_->root_crl);
    else if (request.method == "GET" && request.path == "/inter.crl")
        reply.body = read_file(pki_->inter_crl);
    else
        reply.status = 404;
    return reply;
}

} // namespace kvsx_test
