// SPDX-License-Identifier: Apache-2.0
// The library's log file, OpenSSL error-queue draining and the exported-call frame.
#ifndef KVSX_LOG_H
#define KVSX_LOG_H

#include "kvsxades.h"

#include <new>
#include <string>
#include <vector>

namespace kvsx {

enum class LogLevel : int { Error = 0, Info = 1, Debug = 2 };

int log_open(const char *path, int level);
void log_close();
bool log_enabled(LogLevel level);

// mingw checks "printf" against msvcrt's formats; the library prints through mingw's
// own printf (__USE_MINGW_ANSI_STDIO), which takes the C99 ones.
#if defined(__MINGW32__)
#define KVSX_PRINTF gnu_printf
#else
#define KVSX_PRINTF printf
#endif

void log_line(LogLevel level, const char *fmt, ...) __attribute__((format(KVSX_PRINTF, 2, 3)));

// Logs the failure (the message and the code's text), drains OpenSSL's error queue into
// the log and returns code, so failure paths read `return fail(KVSX_E_..., "...")`.
int fail(int code, const char *fmt, ...) __attribute__((format(KVSX_PRINTF, 2, 3)));

// Moves OpenSSL's queued errors into the log (at error level) and clears the queue;
// returns the packed codes, oldest first, for callers that classify them.
std::vector<unsigned long> drain_openssl_errors();

// Discards what others left in OpenSSL's queue (not ours to report).
void clear_openssl_errors();

const char *code_text(int code);

// The text of the calling thread's newest fail().
const std::string &last_failure();

// Names the exported call that log lines belong to, for the current thread.
class OpScope {
public:
    explicit OpScope(const char *name);
    ~OpScope();
    OpScope(const OpScope &) = delete;
    OpScope &operator=(const OpScope &) = delete;

private:
    const char *previous_;
};

// The boundary of every exported call: no exception crosses into C, and no error left
// in OpenSSL's queue by someone else is reported against this call.
template <class Body> int guarded(const char *name, Body &&body) noexcept {
    OpScope scope(name);
    try {
        clear_openssl_errors();
        return body();
    } catch (const std::bad_alloc &) {
        return fail(KVSX_E_NO_MEMORY, "out of memory");
    } catch (...) {
        return fail(KVSX_E_INTERNAL, "unexpected internal exception");
    }
}

} // namespace kvsx

#endif
