// SPDX-License-Identifier: Apache-2.0
#include "kvtest.h"

#include <openssl/ocsp.h>
#include <openssl/ts.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kvtest {
namespace {

constexpr size_t kMaxRequest = 1u << 20;
constexpr int kReadTimeoutMs = 5000;

// A TCP socket bound to 127.0.0.1 on a port of the system's choice, not listening.
int BindLoopback(uint16_t &port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        if (fd >= 0) close(fd);
        throw std::runtime_error("cannot bind 127.0.0.1");
    }
    port = ntohs(addr.sin_port);
    return fd;
}

bool ReadSome(int fd, std::string &buffer) {
    pollfd p{fd, POLLIN, 0};
    char chunk[8192];
    ssize_t got = poll(&p, 1, kReadTimeoutMs) > 0 ? recv(fd, chunk, sizeof chunk, 0) : -1;
    if (got <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(got));
    return buffer.size() <= kMaxRequest;
}

// false for anything but a whole request: a bad request line, a cut or oversized body.
bool ParseRequest(int fd, HttpRequest &request) {
    std::string buffer;
    size_t end;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos)
        if (!ReadSome(fd, buffer)) return false;
    const std::string head = buffer.substr(0, end);
    size_t sp1 = head.find(' '), sp2 = head.find(' ', sp1 + 1);
    if (sp1 == std::string::npos || sp2 == std::string::npos) return false;
    request.method = head.substr(0, sp1);
    request.path = head.substr(sp1 + 1, sp2 - sp1 - 1);
    if (request.path.rfind("http://", 0) == 0) { // through a proxy: the absolute form
        size_t slash = request.path.find('/', 7);
        request.path = slash == std::string::npos ? "/" : request.path.substr(slash);
    }
    size_t length = 0;
    for (size_t at = head.find("\r\n"); at != std::string::npos; at = head.find("\r\n", at + 2))
        if (strncasecmp(head.c_str() + at + 2, "Content-Length:", 15) == 0)
            length = strtoul(head.c_str() + at + 17, nullptr, 10);
    if (length > kMaxRequest) return false;
    while (buffer.size() < end + 4 + length)
        if (!ReadSome(fd, buffer)) return false;
    request.body = buffer.substr(end + 4, length);
    return true;
}

void SendAll(int fd, const std::string &data) {
    for (size_t done = 0; done < data.size();) {
        ssize_t sent = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (sent <= 0) return;
        done += static_cast<size_t>(sent);
    }
}

} // namespace

HttpServer::HttpServer() {
    fd_ = BindLoopback(port_);
    if (pipe2(stop_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
}

HttpServer::~HttpServer() {
    if (thread_.joinable()) {
        char stop = 'x';
        if (write(stop_[1], &stop, 1) != 1) perror("stop pipe");
        thread_.join();
    }
    close(fd_);
    close(stop_[0]);
    close(stop_[1]);
}

void HttpServer::Start(Handler handler) {
    handler_ = std::move(handler);
    if (listen(fd_, 16) != 0) throw std::runtime_error("listen");
    thread_ = std::thread([this] {
        for (;;) {
            pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents != 0) return;
            if ((fds[0].revents & POLLIN) == 0) continue;
            int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            Serve(fd);
            close(fd);
        }
    });
}

std::string HttpServer::Url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void HttpServer::Serve(int fd) {
    HttpRequest request;
    HttpReply reply{400};
    if (ParseRequest(fd, request)) {
        ++requests_;
        try {
            reply = handler_(request);
        } catch (const std::exception &) {
            reply = {500};
        }
    }
    if (reply.hang) { // until the client gives up or the server stops
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        poll(fds, 2, -1);
        return;
    }
    SendAll(fd,
            "HTTP/1.0 " + std::to_string(reply.status) + (reply.status == 200 ? " OK" : " Error") +
                "\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                std::to_string(reply.body.size()) + "\r\nConnection: close\r\n\r\n" + reply.body);
}

World &World::Get() {
    static World world;
    return world;
}

World::World() {
    pki_ = std::make_unique<Pki>(ocsp_.Url("/"), crl_.Url("/"));
    tsa_.Start([this](const HttpRequest &r) { return AnswerTsa(r); });
    ocsp_.Start([this](const HttpRequest &r) { return AnswerOcsp(r); });
    crl_.Start([this](const HttpRequest &r) { return AnswerCrl(r); });
}

HttpReply World::AnswerTsa(const HttpRequest &request) const {
    if (request.method != "POST" || request.path != "/tsa") return {404};
    std::string body = request.body;
    switch (tsa_mode_.load()) {
    case TsaMode::Silent:
        return {200, "", true};
    case TsaMode::Garbage:
        return {200, "<html>this is not a time-stamp response</html>"};
    case TsaMode::Reject: {
        Ptr<TS_RESP, TS_RESP_free> resp(TS_RESP_new());
        Ptr<TS_STATUS_INFO, TS_STATUS_INFO_free> status(TS_STATUS_INFO_new());
        TS_STATUS_INFO_set_status(status.get(), TS_STATUS_REJECTION);
        TS_RESP_set_status_info(resp.get(), status.get());
        return {200, Der(i2d_TS_RESP, resp.get())};
    }
    case TsaMode::WrongImprint: { // the answer stamps another digest
        const auto *p = U8(body);
        Ptr<TS_REQ, TS_REQ_free> req(d2i_TS_REQ(nullptr, &p, static_cast<long>(body.size())));
        if (!req) return {400};
        ASN1_OCTET_STRING *msg = TS_MSG_IMPRINT_get_msg(TS_REQ_get_msg_imprint(req.get()));
        std::string other = Str(ASN1_STRING_get0_data(msg), ASN1_STRING_length(msg));
        if (!other.empty()) other[0] ^= 0xff;
        ASN1_OCTET_STRING_set(msg, U8(other), static_cast<int>(other.size()));
        body = Der(i2d_TS_REQ, req.get());
        break;
    }
    case TsaMode::Normal:
        break;
    }
    body = pki_->AnswerTimestamp(body);
    return {body.empty() ? 400 : 200, body};
}

HttpReply World::AnswerOcsp(const HttpRequest &request) const {
    if (request.method != "POST" || request.path != "/") return {404};
    if (ocsp_mode_.load() == OcspMode::Normal) return {200, pki_->AnswerOcsp(request.body)};
    Ptr<OCSP_RESPONSE, OCSP_RESPONSE_free> later(
        OCSP_response_create(OCSP_RESPONSE_STATUS_TRYLATER, nullptr));
    return {200, Der(i2d_OCSP_RESPONSE, later.get())};
}

HttpReply World::AnswerCrl(const HttpRequest &request) const {
    if (request.method != "GET") return {404};
    if (request.path == "/root.crl") return {200, ReadFile(pki_->root_crl)};
    if (request.path == "/inter.crl") return {200, ReadFile(pki_->inter_crl)};
    return {404};
}

} // namespace kvtest
