// SPDX-License-Identifier: Apache-2.0
#include "kvsx_io.h"

#include "kvsx_context.h"
#include "kvsx_log.h"
#include "kvsx_platform.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

namespace kvsx {
namespace {

// Large enough that hashing is bound by the digest, not by system calls.
constexpr size_t kStreamBlock = size_t{4} << 20;
// Guards against cyclic or absurd item lists.
constexpr size_t kMaxChainItems = 1u << 20;

std::mutex g_progress_mutex;
KvsProgressCallback g_progress = nullptr;
void *g_progress_user = nullptr;

// The callback as it stood when a digest began, and the file bytes that digest has read.
struct Progress {
    KvsProgressCallback callback;
    void *user;
    uint64_t done = 0;
    void Add(uint64_t bytes) {
        done += bytes;
        if (callback) callback(done, user);
    }
};

Progress current_progress() {
    std::lock_guard<std::mutex> lock(g_progress_mutex);
    return {g_progress, g_progress_user};
}

class FileHandle {
public:
    explicit FileHandle(const char *path) : fd_(os_open_read(path)) {}
    ~FileHandle() {
        if (fd_ >= 0) os_close(fd_);
    }
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

// Reads `length` bytes from `offset` into the digest, in large blocks.
int digest_file_range(int fd, const char *path, uint64_t offset, uint64_t length, EVP_MD_CTX *mctx,
                      std::vector<uint8_t> &buffer, Progress &progress) {
    uint64_t done = 0;
    while (done < length) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), length - done));
        int64_t got = os_pread(fd, buffer.data(), want, offset + done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return fail(KVSX_E_IO, "cannot read '%s': %s", path, strerror(errno));
        if (got == 0) return fail(KVSX_E_IO, "'%s' ended early (file changed?)", path);
        if (EVP_DigestUpdate(mctx, buffer.data(), static_cast<size_t>(got)) != 1)
            return fail(KVSX_E_CRYPTO, "digest update failed");
        done += static_cast<uint64_t>(got);
        progress.Add(static_cast<uint64_t>(got));
    }
    return KVSX_OK;
}

int digest_file_item(const char *path, uint32_t range_offset, uint32_t range_length,
                     EVP_MD_CTX *mctx, std::vector<uint8_t> &buffer, Progress &progress) {
    FileHandle file(path);
    if (file.fd() < 0) return fail(KVSX_E_IO, "cannot open '%s': %s", path, strerror(errno));
    uint64_t size = 0;
    if (!os_regular_size(file.fd(), &size))
        return fail(KVSX_E_IO, "'%s' is not a regular file", path);
    uint64_t offset = range_offset;
    uint64_t length = range_length;
    if (offset > size || offset + length > size)
        return fail(KVSX_E_DATA_RANGE, "range %llu+%llu lies outside '%s' (%llu bytes)",
                    static_cast<unsigned long long>(offset),
                    static_cast<unsigned long long>(length), path,
                    static_cast<unsigned long long>(size));
    if (length == 0) length = size - offset;
    os_advise_sequential(file.fd(), offset, length);
    if (buffer.empty()) buffer.resize(kStreamBlock);
    return digest_file_range(file.fd(), path, offset, length, mctx, buffer, progress);
}

} // namespace

int read_file(const char *path, Bytes &out, size_t max_size) {
    out.clear();
    FileHandle file(path);
    if (file.fd() < 0) return fail(KVSX_E_IO, "cannot open '%s': %s", path, strerror(errno));
    uint64_t size = 0;
    if (!os_regular_size(file.fd(), &size))
        return fail(KVSX_E_IO, "'%s' is not a regular file", path);
    if (size > max_size) return fail(KVSX_E_IO, "'%s' is larger than %zu bytes", path, max_size);
    out.resize(static_cast<size_t>(size));
    size_t done = 0;
    while (done < out.size()) {
        int64_t got = os_read(file.fd(), out.data() + done, out.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return fail(KVSX_E_IO, "cannot read '%s'", path);
        done += static_cast<size_t>(got);
    }
    return KVSX_OK;
}

int load_input(const void *data, int32_t length, Bytes &out, const char *what) {
    if (data == nullptr) return fail(KVSX_E_INVALID_ARG, "%s: data is NULL", what);
    if (length > 0) {
        const auto *p = static_cast<const uint8_t *>(data);
        out.assign(p, p + length);
        return KVSX_OK;
    }
    if (length == 0) {
        const char *text = static_cast<const char *>(data);
        out.assign(text, text + strlen(text));
        return KVSX_OK;
    }
    if (length == -1) return read_file(static_cast<const char *>(data), out, kMaxSmallFile);
    return fail(KVSX_E_INVALID_ARG, "%s: length %d is not > 0, 0 or -1", what, length);
}

std::vector<Bytes> der_blocks(const Bytes &input) {
    static const char kMarker[] = "-----BEGIN ";
    std::vector<Bytes> blocks;
    auto begin = std::search(input.begin(), input.end(), kMarker, kMarker + sizeof kMarker - 1);
    if (begin == input.end()) {
        blocks.push_back(input);
        return blocks;
    }
    if (input.size() > INT_MAX) return blocks;
    BioPtr bio(BIO_new_mem_buf(input.data(), static_cast<int>(input.size())));
    if (!bio) return blocks;
    for (;;) {
        char *name = nullptr;
        char *header = nullptr;
        unsigned char *der = nullptr;
        long len = 0;
        if (PEM_read_bio(bio.get(), &name, &header, &der, &len) != 1) break;
        OsslTextPtr name_owner(name);
        OsslTextPtr header_owner(header);
        OsslBlockPtr der_owner(der);
        if (len > 0) blocks.emplace_back(der, der + len);
    }
    // The loop ends on "no start line" at the end of the text: expected, not an error.
    ERR_clear_error();
    return blocks;
}

int load_certificate(const void *data, int32_t length, X509Ptr &out) {
    Bytes input;
    int rc = load_input(data, length, input, "certificate");
    if (rc != KVSX_OK) return rc;
    for (const Bytes &der : der_blocks(input)) {
        const unsigned char *p = der.data();
        out.reset(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
        if (out) return KVSX_OK;
    }
    return fail(KVSX_E_BAD_CERT, "input (%zu bytes) holds no parsable certificate", input.size());
}

int digest_bytes(const EVP_MD *md, const uint8_t *data, size_t length, Bytes &out) {
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int value_len = 0;
    if (EVP_Digest(data, length, value, &value_len, md, nullptr) != 1)
        return fail(KVSX_E_CRYPTO, "digest failed");
    out.assign(value, value + value_len);
    return KVSX_OK;
}

int digest_data_chain(const KvsDataObject *chain, const EVP_MD *md, Bytes &out) {
    EvpMdCtxPtr mctx(EVP_MD_CTX_new());
    if (!mctx || EVP_DigestInit_ex(mctx.get(), md, nullptr) != 1)
        return fail(KVSX_E_CRYPTO, "cannot start %s digest", EVP_MD_get0_name(md));
    std::vector<uint8_t> buffer;
    Progress progress = current_progress();
    size_t index = 0;
    for (const KvsDataObject *item = chain; item != nullptr; item = item->next, ++index) {
        if (index >= kMaxChainItems)
            return fail(KVSX_E_INVALID_ARG, "data chain longer than %zu items (cyclic?)",
                        kMaxChainItems);
        if (item->length == -1) {
            if (item->data == nullptr)
                return fail(KVSX_E_INVALID_ARG, "data item %zu: file name is NULL", index);
            int rc = digest_file_item(static_cast<const char *>(item->data), item->range_offset,
                                      item->range_length, mctx.get(), buffer, progress);
            if (rc != KVSX_OK) return rc;
        } else if (item->length >= 0) {
            if (item->data == nullptr && item->length > 0)
                return fail(KVSX_E_INVALID_ARG, "data item %zu: data is NULL", index);
            if (item->length > 0 &&
                EVP_DigestUpdate(mctx.get(), item->data, static_cast<size_t>(item->length)) != 1)
                return fail(KVSX_E_CRYPTO, "digest update failed");
        } else {
            return fail(KVSX_E_INVALID_ARG, "data item %zu: length %d is not >= 0 or -1", index,
                        item->length);
        }
    }
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int value_len = 0;
    if (EVP_DigestFinal_ex(mctx.get(), value, &value_len) != 1)
        return fail(KVSX_E_CRYPTO, "digest final failed");
    out.assign(value, value + value_len);
    return KVSX_OK;
}

int digest_file(const char *path, const EVP_MD *md, Bytes &out) {
    KvsDataObject item{};
    item.data = path;
    item.length = -1;
    return digest_data_chain(&item, md, out);
}

int export_block(const Bytes &bytes, uint8_t **out, uint32_t *out_length) {
    if (bytes.size() > UINT32_MAX) return fail(KVSX_E_INTERNAL, "block too large to return");
    auto *block = static_cast<uint8_t *>(malloc(bytes.empty() ? 1 : bytes.size()));
    if (block == nullptr) return fail(KVSX_E_NO_MEMORY, "cannot allocate %zu bytes", bytes.size());
    if (!bytes.empty()) memcpy(block, bytes.data(), bytes.size());
    *out = block;
    if (out_length != nullptr) *out_length = static_cast<uint32_t>(bytes.size());
    return KVSX_OK;
}

} // namespace kvsx

extern "C" KVSX_API int kvsx_set_progress(KvsProgressCallback callback, void *user) {
    std::lock_guard<std::mutex> lock(kvsx::g_progress_mutex);
    kvsx::g_progress = callback;
    kvsx::g_progress_user = user;
    return KVSX_OK;
}

using kvsx::fail;

struct KvsDigest {
    kvsx::EvpMdCtxPtr ctx;
    kvsx::Progress progress; // as it stood at kvsx_digest_begin
    bool ended = false;
};

extern "C" KVSX_API int kvsx_digest_begin(int32_t type, KvsDigest **out) {
    return kvsx::guarded("kvsx_digest_begin", [&] {
        if (out == nullptr) return fail(KVSX_E_INVALID_ARG, "NULL argument");
        *out = nullptr;
        const EVP_MD *md = type == KVS_HASH_SHA1 ? nullptr : kvsx::hash_md(type);
        if (md == nullptr) return fail(KVSX_E_INVALID_ARG, "hash type %d is not 0..2", type);
        auto state = std::make_unique<KvsDigest>();
        state->progress = kvsx::current_progress();
        state->ctx.reset(EVP_MD_CTX_new());
        if (!state->ctx) throw std::bad_alloc();
        if (EVP_DigestInit_ex(state->ctx.get(), md, nullptr) != 1)
            return fail(KVSX_E_CRYPTO, "digest init failed");
        *out = state.release();
        return KVSX_OK;
    });
}

extern "C" KVSX_API int kvsx_digest_update(KvsDigest *digest, const void *data, uint32_t length) {
    return kvsx::guarded("kvsx_digest_update", [&] {
        if (digest == nullptr || digest->ended || (data == nullptr && length != 0))
            return fail(KVSX_E_INVALID_ARG, "NULL argument or ended digest");
        if (length != 0 && EVP_DigestUpdate(digest->ctx.get(), data, length) != 1)
            return fail(KVSX_E_CRYPTO, "digest update failed");
        digest->progress.Add(length);
        return KVSX_OK;
    });
}

extern "C" KVSX_API int kvsx_digest_end(KvsDigest *digest, uint8_t *out, uint32_t *out_length) {
    return kvsx::guarded("kvsx_digest_end", [&] {
        if (digest == nullptr || digest->ended || out == nullptr || out_length == nullptr)
            return fail(KVSX_E_INVALID_ARG, "NULL argument or ended digest");
        digest->ended = true;
        unsigned int n = 0;
        if (EVP_DigestFinal_ex(digest->ctx.get(), out, &n) != 1)
            return fail(KVSX_E_CRYPTO, "digest final failed");
        *out_length = n;
        return KVSX_OK;
    });
}

extern "C" KVSX_API void kvsx_digest_free(KvsDigest *digest) {
    delete digest;
}
