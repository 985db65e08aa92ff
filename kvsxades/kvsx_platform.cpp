// SPDX-License-Identifier: Apache-2.0
#include "kvsx_platform.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

#if defined(_WIN32)
#include <io.h>
#include <mutex>
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kvsx {
namespace {
using Clock = std::chrono::steady_clock;

int milliseconds_left(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<int64_t>(0, left.count()));
}
} // namespace

#if defined(_WIN32)

int os_open_read(const char *path) {
    return _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

void os_close(int fd) {
    _close(fd);
}

int64_t os_pread(int fd, void *buffer, size_t size, uint64_t offset) {
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
    if (ReadFile(h, buffer, want, &got, &at)) return got;
    if (GetLastError() == ERROR_HANDLE_EOF) return 0;
    errno = EIO;
    return -1;
}

int64_t os_read(int fd, void *buffer, size_t size) {
    return _read(fd, buffer, static_cast<unsigned>(std::min<size_t>(size, 1u << 30)));
}

bool os_regular_size(int fd, uint64_t *size) {
    struct _stat64 st {};
    if (_fstat64(fd, &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) return false;
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

void os_advise_sequential(int, uint64_t, uint64_t) {}

bool os_gmtime(time_t t, struct tm *out) {
    return gmtime_s(out, &t) == 0;
}

int64_t os_timegm(struct tm *utc) {
    return static_cast<int64_t>(_mkgmtime(utc));
}

namespace {

std::string error_text(int code) {
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    std::string s(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.'))
        s.pop_back();
    return s.empty() ? "socket error " + std::to_string(code) : s;
}

// 0 when it connects, kTimedOut, or the socket error.
int connect_once(const addrinfo *a, Clock::time_point deadline) {
    SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) return WSAGetLastError();
    u_long nonblocking = 1;
    int error = 0;
    if (ioctlsocket(s, FIONBIO, &nonblocking) != 0) {
        error = WSAGetLastError();
    } else if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
        error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            WSAPOLLFD p{s, POLLOUT, 0};
            const int ready = WSAPoll(&p, 1, milliseconds_left(deadline));
            int size = sizeof error;
            if (ready == 0)
                error = WSAETIMEDOUT;
            else if (ready < 0 || getsockopt(s, SOL_SOCKET, SO_ERROR,
                                             reinterpret_cast<char *>(&error), &size) != 0)
                error = WSAGetLastError();
        }
    }
    closesocket(s);
    return error;
}

constexpr int kTimedOut = WSAETIMEDOUT;

// OpenSSL starts Winsock for its own sockets only when it opens one.
void start_sockets() {
    static std::once_flag started;
    std::call_once(started, [] {
        WSADATA data;
        (void)WSAStartup(MAKEWORD(2, 2), &data);
    });
}

} // namespace

#else

int os_open_read(const char *path) {
    return open(path, O_RDONLY | O_CLOEXEC);
}

void os_close(int fd) {
    close(fd);
}

int64_t os_pread(int fd, void *buffer, size_t size, uint64_t offset) {
    return pread(fd, buffer, size, static_cast<off_t>(offset));
}

int64_t os_read(int fd, void *buffer, size_t size) {
    return read(fd, buffer, size);
}

bool os_regular_size(int fd, uint64_t *size) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

void os_advise_sequential(int fd, uint64_t offset, uint64_t length) {
    posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(length),
                  POSIX_FADV_SEQUENTIAL);
}

bool os_gmtime(time_t t, struct tm *out) {
    return gmtime_r(&t, out) != nullptr;
}

int64_t os_timegm(struct tm *utc) {
    return static_cast<int64_t>(timegm(utc));
}

namespace {

// 0 when it connects, else the errno.
int connect_once(const addrinfo *a, Clock::time_point deadline) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) return errno;
    int error = connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
    if (error == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        const int ready = poll(&p, 1, milliseconds_left(deadline));
        socklen_t size = sizeof error;
        if (ready == 0)
            error = ETIMEDOUT;
        else if (ready < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
            error = errno;
    }
    close(fd);
    return error;
}

constexpr int kTimedOut = ETIMEDOUT;

void start_sockets() {}

std::string error_text(int code) {
    return strerror(code);
}

} // namespace

#endif

ConnectResult os_probe_connect(const char *host, const char *port, int64_t milliseconds,
                               std::string *error) {
    start_sockets();
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host, port, &hints, &found) != 0 || !found) return ConnectResult::kUnresolved;
    int code = 0;
    for (const addrinfo *a = found; a != nullptr; a = a->ai_next)
        if ((code = connect_once(a, deadline)) == 0 || code == kTimedOut) break;
    freeaddrinfo(found);
    if (code == 0) return ConnectResult::kConnected;
    if (code == kTimedOut) return ConnectResult::kTimedOut;
    *error = error_text(code);
    return ConnectResult::kFailed;
}

} // namespace kvsx
