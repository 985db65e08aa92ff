#include "kvsx_http.h"

#include "kvsx_log.h"

#include <openssl/err.h>
#include <openssl/http.h>
#include <openssl/httperr.h>

#include <climits>

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

int finish(BIO *answer_bio, const char *method, const std::string &url, Bytes &answer) {
    BioPtr answer_owner(answer_bio);
    if (!answer_owner) {
        auto errors = drain_openssl_errors();
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
    BIO *result = OSSL_HTTP_transfer(nullptr, parsed.host.get(), parsed.port.get(), path.c_str(), 0,
                                     proxy.c_str(), "", nullptr, nullptr, nullptr, nullptr, 0,
                                     nullptr, content_type, request.get(), nullptr, 1, max_length,
                                     settings.http_timeout, 0);
    return finish(result, "POST", url, answer);
}

int http_get(const Settings &settings, const std::string &url, size_t max_length, Bytes &answer) {
    ParsedUrl parsed;
    int rc = parse_http_url(url, parsed);
    if (rc != KVSX_OK) return rc;
    std::string proxy = proxy_url(settings);
    log_line(LogLevel::Debug, "GET %s%s%s", url.c_str(), proxy.empty() ? "" : " via proxy ",
             proxy.c_str());
    BIO *result = OSSL_HTTP_get(url.c_str(), proxy.c_str(), "", nullptr, nullptr, nullptr, nullptr,
                                0, nullptr, nullptr, 1, max_length, settings.http_timeout);
    return finish(result, "GET", url, answer);
}

} // namespace kvsx
