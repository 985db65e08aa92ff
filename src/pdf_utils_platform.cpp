// SPDX-License-Identifier: Apache-2.0
// The operating-system calls of the file utilities: POSIX, and Windows (mingw-w64).
// Everything else in the library uses only the C library through these.
#include "pdf_utils.h"

#include "pdf_mem.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#define KV_UNIT "../src/pdf_utils.cpp"

namespace kvpdf {

#if defined(_WIN32)

const void *PdfMemFind(const void *haystack, size_t length, const void *needle,
                       size_t needle_length) {
    if (needle_length == 0) return haystack;
    const auto *h = static_cast<const unsigned char *>(haystack);
    const auto *n = static_cast<const unsigned char *>(needle);
    for (size_t i = 0; i + needle_length <= length; ++i) {
        const void *first = memchr(h + i, n[0], length - i - needle_length + 1);
        if (!first) return nullptr;
        i = static_cast<size_t>(static_cast<const unsigned char *>(first) - h);
        if (memcmp(h + i, n, needle_length) == 0) return h + i;
    }
    return nullptr;
}

void PdfWipe(void *block, size_t size) {
    SecureZeroMemory(block, size);
}

FileKind PdfFileKind(const char *path, uint64_t *size) {
    struct _stat64 st;
    *size = 0;
    if (!path || _stat64(path, &st) != 0) return FileKind::kMissing;
    *size = static_cast<uint64_t>(st.st_size);
    if ((st.st_mode & _S_IFMT) == _S_IFREG) return FileKind::kRegular;
    if ((st.st_mode & _S_IFMT) == _S_IFDIR) return FileKind::kDirectory;
    return FileKind::kDevice;
}

namespace {

// The volume serial number and file index name one file whatever path reaches it
// (links, 8.3 names, case, "." and ".." segments).
bool FileIdentity(const char *path, BY_HANDLE_FILE_INFORMATION *info) {
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(h, info) != 0;
    CloseHandle(h);
    return ok;
}

} // namespace

bool PdfSameFile(const char *a, const char *b) {
    BY_HANDLE_FILE_INFORMATION ia, ib;
    if (!a || !b || !FileIdentity(a, &ia) || !FileIdentity(b, &ib)) return false;
    return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

bool PdfCopyInKernel(FILE *, FILE *, bool *failed) {
    *failed = false;
    return false;
}

int PdfSeek(FILE *file, int64_t offset, int whence) {
    return _fseeki64(file, offset, whence);
}

int64_t PdfTell(FILE *file) {
    return _ftelli64(file);
}

int PdfTruncate(FILE *file, uint64_t length) {
    return _chsize_s(_fileno(file), static_cast<__int64>(length)) == 0 ? 0 : -1;
}

int PdfRemoveFile(const char *path) {
    return DeleteFileA(path) ? 0 : -1;
}

bool PdfLocalTime(time_t t, struct tm *out, long *utc_offset) {
    if (localtime_s(out, &t) != 0) return false;
    // _mkgmtime reads the local fields as UTC: the difference is the zone's offset.
    struct tm copy = *out;
    *utc_offset = static_cast<long>(_mkgmtime(&copy) - t);
    return true;
}

char *PdfCreateTempFile() {
    char dir[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof dir, dir);
    if (n == 0 || n > MAX_PATH) return nullptr;
    char *name = static_cast<char *>(TrackedAlloc(KV_UNIT, __LINE__, MAX_PATH + 1));
    if (!name) return nullptr;
    // GetTempFileNameA takes three letters of a prefix; the name is made here instead
    // so that it keeps the whole one, and _O_EXCL claims it as mkstemp would.
    static LONG counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const unsigned long tag = (GetCurrentProcessId() * 7919ul) ^ GetTickCount() ^
                                  static_cast<unsigned long>(InterlockedIncrement(&counter));
        snprintf(name, MAX_PATH + 1, "%sKV_Temp_PDF%06lX", dir, tag & 0xFFFFFFul);
        const int fd = _open(name, _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd >= 0) {
            _close(fd);
            return name;
        }
        if (errno != EEXIST) break;
    }
    TrackedFreeT(name);
    return nullptr;
}

#else

const void *PdfMemFind(const void *haystack, size_t length, const void *needle,
                       size_t needle_length) {
    return memmem(haystack, length, needle, needle_length);
}

void PdfWipe(void *block, size_t size) {
    explicit_bzero(block, size);
}

FileKind PdfFileKind(const char *path, uint64_t *size) {
    struct stat st;
    *size = 0;
    if (!path || stat(path, &st) != 0) return FileKind::kMissing;
    *size = static_cast<uint64_t>(st.st_size);
    if (S_ISREG(st.st_mode)) return FileKind::kRegular;
    if (S_ISDIR(st.st_mode)) return FileKind::kDirectory;
    if (S_ISFIFO(st.st_mode)) return FileKind::kFifo;
    if (S_ISSOCK(st.st_mode)) return FileKind::kSocket;
    return FileKind::kDevice;
}

bool PdfSameFile(const char *a, const char *b) {
    struct stat sa, sb;
    if (!a || !b || stat(a, &sa) != 0 || stat(b, &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool PdfCopyInKernel(FILE *source, FILE *target, bool *failed) {
    const int in = fileno(source), out = fileno(target);
    *failed = false;
    for (;;) {
        ssize_t n = copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
        if (n > 0) continue;
        if (n == 0) return true;
        if (errno == EINTR) continue;
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EBADF ||
            errno == EOPNOTSUPP)
            return false;
        *failed = true;
        return true;
    }
}

int PdfSeek(FILE *file, int64_t offset, int whence) {
    return fseeko(file, static_cast<off_t>(offset), whence);
}

int64_t PdfTell(FILE *file) {
    return ftello(file);
}

int PdfTruncate(FILE *file, uint64_t length) {
    return ftruncate(fileno(file), static_cast<off_t>(length));
}

int PdfRemoveFile(const char *path) {
    return unlink(path);
}

bool PdfLocalTime(time_t t, struct tm *out, long *utc_offset) {
    if (!localtime_r(&t, out)) return false;
    *utc_offset = out->tm_gmtoff;
    return true;
}

char *PdfCreateTempFile() {
    const char *dir = getenv("TMPDIR");
    if (!dir || !*dir) dir = P_tmpdir;
    char *name = nullptr;
    // A failed append leaves name NULL: the caller falls back to a name beside the source.
    (void)BufferAppendf(KV_UNIT, __LINE__, &name, 0, "%s/KV_Temp_PDFXXXXXX", dir);
    if (!name) return nullptr;
    int fd = mkstemp(name);
    if (fd >= 0) {
        close(fd);
        return name;
    }
    TrackedFreeT(name);
    return nullptr;
}

#endif

} // namespace kvpdf
