// SPDX-License-Identifier: Apache-2.0
// The operating-system calls of the signing library, for POSIX and for Windows.
#ifndef KVSX_PLATFORM_H
#define KVSX_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace kvsx {

// A file opened for reading by descriptor; -1 when it cannot be opened (errno set).
int os_open_read(const char *path);
void os_close(int fd);
// Bytes read at offset (the file position stays on POSIX only); -1 on error (errno set).
int64_t os_pread(int fd, void *buffer, size_t size, uint64_t offset);
int64_t os_read(int fd, void *buffer, size_t size);
// The size of a regular file; false for anything else.
bool os_regular_size(int fd, uint64_t *size);
void os_advise_sequential(int fd, uint64_t offset, uint64_t length);

bool os_gmtime(time_t t, struct tm *out);
int64_t os_timegm(struct tm *utc);

enum class ConnectResult { kConnected, kUnresolved, kTimedOut, kFailed };
// One TCP connection to host:port within the time left, closed again at once; *error
// says why it failed.
ConnectResult os_probe_connect(const char *host, const char *port, int64_t milliseconds,
                               std::string *error);

} // namespace kvsx

#endif
