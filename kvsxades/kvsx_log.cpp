// SPDX-License-Identifier: Apache-2.0
#include "kvsx_log.h"
#include "kvsx_platform.h"

#include <openssl/err.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace kvsx {
namespace {

std::mutex g_log_mutex;
FILE *g_log_file = nullptr;
int g_log_level = 0;
thread_local const char *t_operation = nullptr;
thread_local std::string t_last_failure;

const char *level_tag(LogLevel level) {
    switch (level) {
    case LogLevel::Error:
        return "ERROR";
    case LogLevel::Info:
        return "INFO ";
    case LogLevel::Debug:
        return "DEBUG";
    }
    return "?";
}

void write_line(LogLevel level, const char *text) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    if (g_log_file == nullptr || static_cast<int>(level) > g_log_level) return;
    char stamp[32];
    time_t now = time(nullptr);
    struct tm tm_utc {};
    os_gmtime(now, &tm_utc);
    strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm_utc);
    fprintf(g_log_file, "%s %s %s: %s\n", stamp, level_tag(level),
            t_operation != nullptr ? t_operation : "kvsxades", text);
    fflush(g_log_file);
}

void vlog(LogLevel level, const char *fmt, va_list ap) {
    char text[1024];
    vsnprintf(text, sizeof text, fmt, ap);
    write_line(level, text);
}

} // namespace

int log_open(const char *path, int level) {
    if (level < 0 || level > static_cast<int>(LogLevel::Debug)) return KVSX_E_INVALID_ARG;
    FILE *file = nullptr;
    if (path != nullptr && *path != '\0') {
        file = fopen(path, "a");
        if (file == nullptr) return KVSX_E_IO;
    }
    std::lock_guard<std::mutex> lock(g_log_mutex);
    if (g_log_file != nullptr) fclose(g_log_file);
    g_log_file = file;
    g_log_level = level;
    return KVSX_OK;
}

void log_close() {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    if (g_log_file != nullptr) fclose(g_log_file);
    g_log_file = nullptr;
}

bool log_enabled(LogLevel level) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    return g_log_file != nullptr && static_cast<int>(level) <= g_log_level;
}

void log_line(LogLevel level, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vlog(level, fmt, ap);
    va_end(ap);
}

std::vector<unsigned long> drain_openssl_errors() {
    std::vector<unsigned long> codes;
    const char *file = nullptr;
    const char *func = nullptr;
    const char *data = nullptr;
    int line = 0;
    int flags = 0;
    unsigned long err;
    while ((err = ERR_get_error_all(&file, &line, &func, &data, &flags)) != 0) {
        codes.push_back(err);
        char reason[256];
        ERR_error_string_n(err, reason, sizeof reason);
        log_line(LogLevel::Error, "openssl: %s%s%s (%s:%d)", reason,
                 (flags & ERR_TXT_STRING) != 0 && data != nullptr ? ": " : "",
                 (flags & ERR_TXT_STRING) != 0 && data != nullptr ? data : "",
                 file != nullptr ? file : "?", line);
    }
    ERR_clear_error();
    return codes;
}

void clear_openssl_errors() {
    ERR_clear_error();
}

int fail(int code, const char *fmt, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    log_line(LogLevel::Error, "%s [%s]", text, code_text(code));
    drain_openssl_errors();
    t_last_failure = text;
    return code;
}

const std::string &last_failure() {
    return t_last_failure;
}

OpScope::OpScope(const char *name) : previous_(t_operation) {
    t_operation = name;
}
OpScope::~OpScope() {
    t_operation = previous_;
}

const char *code_text(int code) {
    switch (code) {
    case KVSX_OK:
        return "KVSX_OK: success";
    case KVSX_WRONG_PASSWORD:
        return "KVSX_WRONG_PASSWORD: the password does not open the key";
    case KVSX_UNTRUSTED:
        return "KVSX_UNTRUSTED: the chain does not reach a trust anchor";
    case KVSX_REVOKED:
        return "KVSX_REVOKED: a certificate of the chain is revoked";
    case KVSX_EXPIRED:
        return "KVSX_EXPIRED: a certificate is not valid at the time";
    case KVSX_DIGEST_MISMATCH:
        return "KVSX_DIGEST_MISMATCH: the data does not match the digest";
    case KVSX_SIGNATURE_INVALID:
        return "KVSX_SIGNATURE_INVALID: the signature does not verify";
    case KVSX_TSA_NOT_GRANTED:
        return "KVSX_TSA_NOT_GRANTED: the TSA did not grant the request";
    case KVSX_TIMESTAMP_INVALID:
        return "KVSX_TIMESTAMP_INVALID: a timestamp does not verify";
    case KVSX_CHAIN_INVALID:
        return "KVSX_CHAIN_INVALID: the certificate chain is not valid";
    case KVSX_E_INVALID_ARG:
        return "KVSX_E_INVALID_ARG: invalid argument";
    case KVSX_E_BAD_CONTEXT:
        return "KVSX_E_BAD_CONTEXT: not a live context";
    case KVSX_E_NO_MEMORY:
        return "KVSX_E_NO_MEMORY: out of memory";
    case KVSX_E_IO:
        return "KVSX_E_IO: file cannot be opened or read";
    case KVSX_E_KEY_LOAD:
        return "KVSX_E_KEY_LOAD: the private key cannot be loaded";
    case KVSX_E_KEY_MISMATCH:
        return "KVSX_E_KEY_MISMATCH: no certificate matches the key";
    case KVSX_E_NO_CERT:
        return "KVSX_E_NO_CERT: no signer certificate";
    case KVSX_E_UNSUPPORTED:
        return "KVSX_E_UNSUPPORTED: not supported";
    case KVSX_E_CRYPTO:
        return "KVSX_E_CRYPTO: cryptographic operation failed";
    case KVSX_E_NETWORK:
        return "KVSX_E_NETWORK: HTTP exchange failed";
    case KVSX_E_TSA_RESPONSE:
        return "KVSX_E_TSA_RESPONSE: the TSA answer is not a timestamp";
    case KVSX_E_TSA_MISMATCH:
        return "KVSX_E_TSA_MISMATCH: the TSA token does not match the request";
    case KVSX_E_BAD_CMS:
        return "KVSX_E_BAD_CMS: not a usable CMS SignedData";
    case KVSX_E_BAD_TOKEN:
        return "KVSX_E_BAD_TOKEN: not a usable timestamp token";
    case KVSX_E_BAD_CERT:
        return "KVSX_E_BAD_CERT: certificate cannot be parsed";
    case KVSX_E_BAD_DATA:
        return "KVSX_E_BAD_DATA: data cannot be parsed";
    case KVSX_E_DATA_RANGE:
        return "KVSX_E_DATA_RANGE: byte range outside the file";
    case KVSX_E_BASE64:
        return "KVSX_E_BASE64: invalid Base64 text";
    case KVSX_E_INTERNAL:
        return "KVSX_E_INTERNAL: internal failure";
    default:
        return "unknown kvsxades code";
    }
}

} // namespace kvsx

extern "C" KVSX_API const char *kvsx_last_message(void) {
    return kvsx::last_failure().c_str();
}

extern "C" KVSX_API const char *kvsx_code_text(int code) {
    return kvsx::code_text(code);
}

extern "C" KVSX_API int kvsx_set_log(const char *log_path, int reserved, int level) {
    (void)reserved;
    return kvsx::guarded("kvsx_set_log", [&] {
        int rc = kvsx::log_open(log_path, level);
        if (rc == KVSX_E_IO) return kvsx::fail(rc, "cannot open log file '%s'", log_path);
        if (rc != KVSX_OK) return kvsx::fail(rc, "log level %d is not 0..2", level);
        return rc;
    });
}
