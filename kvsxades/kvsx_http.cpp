// SPDX-License-Identifier: Apache-2.0
#include "kvsx_http.h"

#include "kvsx_log.h"
#include "kvsx_platform.h"

#include <openssl/err.h>
#include <openssl/http.h>
#include <openssl/httperr.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

namespace kvsx {
namespace {

struct ParsedUrl {
    OsslTextPtr host;
    OsslTextPtr port;
    OsslTextPtr path;
    OsslTextPtr query;
};

int parse_http_url(const std::string &url, ParsedUrl &out) {
    int use_ssl = 0;
    char *host = nullptr;
    char *port = nullptr;
    char *path = nullptr;
    char *query = nullptr;
    if (OSSL_HTTP_parse_url(url.c_str(), &use_ssl, nullptr, &host, &port, nullptr, &path, &query,
                            nullptr) != 1)
        return fail(KVSX_E_INVALID_ARG, "cannot parse URL '%s'", url.c_str());
    out.host.reset(host);
    out.port.reset(port);
    out.path.reset(path);
    out.query.reset(query);
    // TLS would need libssl, which this library deliberately does not link.
    if (use_ssl != 0) return fail(KVSX_E_UNSUPPORTED, "https is not supported: '%s'", url.c_str());
    return KVSX_OK;
}

// "" (for proxy and no_proxy) keeps OpenSSL from reading http_proxy / no_proxy from the
// environment: only kvsx_set_proxy decides.
std::string proxy_url(const Settings &settings) {
    if (settings.proxy.empty()) return std::string();
    if (settings.proxy.find("://") != std::string::npos) return settings.proxy;
    return "http://" + settings.proxy;
}

using Clock = std::chrono::steady_clock;

// OpenSSL takes a refused connection for a passing failure and retries it until the
// timeout: one connect of our own first tells a closed port, or a host that never
// accepts, at once.
int probe(const char *host, const char *port, const char *method, const std::string &url,
          Clock::time_point deadline, int seconds) {
    std::string error;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    switch (os_probe_connect(host, port != nullptr ? port : "80", left.count(), &error)) {
    case ConnectResult::kConnected:
        break;
    case ConnectResult::kUnresolved:
        return fail(KVSX_E_NETWORK, "%s %s: cannot resolve %s", method, url.c_str(), host);
    case ConnectResult::kTimedOut:
        return fail(KVSX_E_NETWORK, "%s %s: timed out: no connection within %d s", method,
                    url.c_str(), seconds);
    case ConnectResult::kFailed:
        return fail(KVSX_E_NETWORK, "%s %s: cannot connect to %s: %s", method, url.c_str(), host,
                    error.c_str());
    }
    return KVSX_OK;
}

// The probe against the proxy when there is one, else against the server; the seconds
// left of the exchange's limit.
int connect_first(const std::string &proxy, const ParsedUrl &server, const char *method,
                  const std::string &url, int seconds, int *left) {
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::seconds(seconds);
    ParsedUrl via;
    if (!proxy.empty() && parse_http_url(proxy, via) != KVSX_OK) return KVSX_E_INVALID_ARG;
    const ParsedUrl &target = proxy.empty() ? server : via;
    int rc = probe(target.host.get(), target.port.get(), method, url, deadline, seconds);
    const auto spent = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start);
    *left = std::max(1, seconds - static_cast<int>(spent.count()));
    return rc;
}

bool is_timeout(const std::vector<unsigned long> &errors) {
    for (unsigned long e : errors) {
        const int lib = ERR_GET_LIB(e), reason = ERR_GET_REASON(e);
        if ((lib == ERR_LIB_BIO &&
             (reason == BIO_R_TRANSFER_TIMEOUT || reason == BIO_R_CONNECT_TIMEOUT)) ||
            (lib == ERR_LIB_HTTP && reason == HTTP_R_RETRY_TIMEOUT))
            return true;
    }
    return false;
}

bool is_bad_answer(const std::vector<unsigned long> &errors) {
    for (unsigned long e : errors) {
        if (ERR_GET_LIB(e) != ERR_LIB_HTTP) continue;
        switch (ERR_GET_REASON(e)) {
        case HTTP_R_MISSING_ASN1_ENCODING:
        case HTTP_R_ERROR_PARSING_ASN1_LENGTH:
        case HTTP_R_UNEXPECTED_CONTENT_TYPE:
        case HTTP_R_MAX_RESP_LEN_EXCEEDED:
        case HTTP_R_ASN1_LEN_EXCEEDS_MAX_RESP_LEN:
            return true;
        default:
            break;
        }
    }
    return false;
}

int finish(BIO *answer_bio, const char *method, const std::string &url, int seconds,
           Bytes &answer) {
    BioPtr answer_owner(answer_bio);
    if (!answer_owner) {
        auto errors = drain_openssl_errors();
        if (is_timeout(errors))
            return fail(KVSX_E_NETWORK, "%s %s: timed out: no answer within %d s", method,
                        url.c_str(), seconds);
        if (is_bad_answer(errors))
            return fail(KVSX_E_BAD_DATA, "%s %s: the answer is not a DER object", method,
                        url.c_str());
        return fail(KVSX_E_NETWORK, "%s %s failed", method, url.c_str());
    }
    answer.clear();
    unsigned char chunk[16384];
    for (;;) {
        int got = BIO_read(answer_owner.get(), chunk, sizeof chunk);
        if (got <= 0) break;
        answer.insert(answer.end(), chunk, chunk + got);
    }
    drain_openssl_errors();
    if (answer.empty()) return fail(KVSX_E_BAD_DATA, "%s %s: empty answer", method, url.c_str());
    log_line(LogLevel::Debug, "%s %s: %zu bytes", method, url.c_str(), answer.size());
    return KVSX_OK;
}

} // namespace

int http_post(const Settings &settings, const std::string &url, const char *content_type,
              const Bytes &body, size_t max_length, Bytes &answer) {
    ParsedUrl parsed;
    int rc = parse_http_url(url, parsed);
    if (rc != KVSX_OK) return rc;
    std::string path = parsed.path ? parsed.path.get() : "/";
    if (parsed.query && *parsed.query != '\0') path += std::string("?") + parsed.query.get();
    if (body.size() > INT_MAX) return fail(KVSX_E_INVALID_ARG, "request too large");
    BioPtr request(BIO_new_mem_buf(body.data(), static_cast<int>(body.size())));
    if (!request) return fail(KVSX_E_NO_MEMORY, "cannot allocate request buffer");
    std::string proxy = proxy_url(settings);
    log_line(LogLevel::Debug, "POST %s (%zu bytes%s%s)", url.c_str(), body.size(),
             proxy.empty() ? "" : ", proxy ", proxy.c_str());
    int left = 0;
    rc = connect_first(proxy, parsed, "POST", url, settings.http_timeout, &left);
    if (rc != KVSX_OK) return rc;
    BIO *result =
        OSSL_HTTP_transfer(nullptr, parsed.host.get(), parsed.port.get(), path.c_str(), 0,
                           proxy.c_str(), "", nullptr, nullptr, nullptr, nullptr, 0, nullptr,
                           content_type, request.get(), nullptr, 1, max_length, left, 0);
    return finish(result, "POST", url, settings.http_timeout, answer);
}

int http_get(const Settings &settings, const std::string &url, size_t max_length, Bytes &answer) {
    ParsedUrl parsed;
    int rc = parse_http_url(url, parsed);
    if (rc != KVSX_OK) return rc;
    std::string proxy = proxy_url(settings);
    log_line(LogLevel::Debug, "GET %s%s%s", url.c_str(), proxy.empty() ? "" : " via proxy ",
             proxy.c_str());
    int left = 0;
    rc = connect_first(proxy, parsed, "GET", url, settings.http_timeout, &left);
    if (rc != KVSX_OK) return rc;
    BIO *result = OSSL_HTTP_get(url.c_str(), proxy.c_str(), "", nullptr, nullptr, nullptr, nullptr,
                                0, nullptr, nullptr, 1, max_length, left);
    return finish(result, "GET", url, settings.http_timeout, answer);
}

} // namespace kvsx
