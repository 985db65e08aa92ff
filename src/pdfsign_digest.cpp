// SPDX-License-Identifier: Apache-2.0
// The digest of the signed bytes computed while the source is copied (an opt-in): each
// block is read once, hashed on one thread and written from the same memory on the
// other, so the digest is of exactly the bytes the output holds.
#include "pdf_document.h"
#include "pdf_error.h"
#include "pdf_mem.h"
#include "pdf_utils.h"

#include "kvsxades.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#define KV_UNIT "../src/pdfsign.cpp"

namespace kvpdf {
namespace {

constexpr size_t kBlock = size_t{1} << 20;
// The block of a source smaller than kBlock: below the sizes at which the C library maps
// and trims memory, which would cost a small signature more than its copy.
constexpr size_t kSmallBlock = size_t{64} << 10;
// Enough blocks in flight that neither the hashing nor the writing waits on the other.
constexpr int kSlots = 4;

int32_t HashType(int32_t bits) {
    return bits == 384 ? KVS_HASH_SHA384 : bits == 512 ? KVS_HASH_SHA512 : KVS_HASH_SHA256;
}

// Blocks handed from the copying thread to the hashing thread in order; a block is
// refilled only after it was hashed.
class HashQueue {
public:
    explicit HashQueue(KvsDigest *digest) : digest_(digest) {}
    HashQueue(const HashQueue &) = delete;
    HashQueue &operator=(const HashQueue &) = delete;
    ~HashQueue() { Finish(); }

    // false when no thread can be started: the caller hashes itself.
    bool Start() {
        try {
            worker_ = std::thread([this] { Run(); });
            return true;
        } catch (...) {
            return false;
        }
    }
    // Waits until slot `index % kSlots` may be filled; false when hashing failed.
    bool WaitFree(uint64_t index) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return failed_ || hashed_ + kSlots > index; });
        return !failed_;
    }
    void Post(const char *data, size_t length) {
        std::lock_guard<std::mutex> lock(mutex_);
        const int slot = static_cast<int>(posted_ % kSlots);
        data_[slot] = data;
        length_[slot] = length;
        ++posted_;
        changed_.notify_all();
    }
    // Waits for every posted block; false when one failed to hash.
    bool Finish() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
            changed_.notify_all();
        }
        if (worker_.joinable()) worker_.join();
        return !failed_;
    }

private:
    void Run() {
        for (uint64_t index = 0;; ++index) {
            const char *data;
            size_t length;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] { return closed_ || posted_ > index; });
                if (posted_ <= index || failed_) return;
                data = data_[index % kSlots];
                length = length_[index % kSlots];
            }
            const bool ok = kvsx_digest_update(digest_, data, static_cast<uint32_t>(length)) == 0;
            std::lock_guard<std::mutex> lock(mutex_);
            failed_ = failed_ || !ok;
            hashed_ = index + 1;
            changed_.notify_all();
        }
    }

    KvsDigest *digest_;
    std::thread worker_;
    std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t posted_ = 0, hashed_ = 0;
    bool closed_ = false, failed_ = false;
    const char *data_[kSlots] = {};
    size_t length_[kSlots] = {};
};

// The memory of the copy: kSlots blocks for a large source; for a small one a single
// small block, hashed on the copying thread, since a thread would cost more than it
// saves. A source that grows while it is copied still copies whole.
struct CopyBuffer {
    size_t block = kBlock;
    int slots = kSlots;
    TrackedPtr<char> memory;
    explicit CopyBuffer(uint64_t source_size) {
        if (source_size < kBlock) {
            block = source_size < kSmallBlock ? static_cast<size_t>(source_size) + 1 : kSmallBlock;
            slots = 1;
        }
        memory.reset(static_cast<char *>(TrackedAlloc(KV_UNIT, __LINE__, block * slots)));
    }
};

// Copies in to out block by block; every block written is hashed into digest. The
// number of bytes copied, or -1.
int64_t CopyBlocks(const FileAccess &files, FILE *in, FILE *out, const CopyBuffer &buffer,
                   KvsDigest *digest) {
    HashQueue queue(digest);
    bool threaded = false, ok = true;
    uint64_t copied = 0;
    for (uint64_t index = 0; ok; ++index) {
        char *block = buffer.memory.get() + (index % buffer.slots) * buffer.block;
        if (threaded && !queue.WaitFree(index)) return -1;
        const size_t n = files.read(block, 1, buffer.block, in);
        if (n < buffer.block && !files.eof(in)) return -1;
        if (n == 0) break;
        if (index == 0 && n == buffer.block && buffer.slots == kSlots) threaded = queue.Start();
        if (threaded)
            queue.Post(block, n);
        else
            ok = kvsx_digest_update(digest, block, static_cast<uint32_t>(n)) == 0;
        ok = ok && files.write(block, 1, n, out) == n;
        copied += n;
        if (n < buffer.block) break;
    }
    return queue.Finish() && ok ? static_cast<int64_t>(copied) : -1;
}

// Hashes bytes [0, length) of the file at path, for an update in place: nothing is
// copied there, so the first range is read once.
bool HashPrefix(const FileAccess &files, const char *path, uint64_t length, KvsDigest *digest) {
    FILE *f = files.open(path, "rb");
    if (!f) return false;
    PdfFile file(files, f);
    const size_t size = length < kSmallBlock ? static_cast<size_t>(length) + 1 : kSmallBlock;
    TrackedPtr<char> block(static_cast<char *>(TrackedAlloc(KV_UNIT, __LINE__, size)));
    if (!block) return false;
    while (length > 0) {
        const size_t want = length < size ? static_cast<size_t>(length) : size;
        if (files.read(block.get(), 1, want, f) != want ||
            kvsx_digest_update(digest, block.get(), static_cast<uint32_t>(want)) != 0)
            return false;
        length -= want;
    }
    return true;
}

} // namespace

int32_t CopyWithDigest(PdfDocument *doc, const char *target, const char *source) {
    UpdateInProgress &u = doc->update;
    const FileAccess files(doc);
    if (kvsx_digest_begin(HashType(doc->settings.copy_digest), &u.copy_digest) != 0)
        return KV_FAIL(doc, KVPDF_ERR_BUFFER, KVPDF_ERR_COPY);
    uint64_t size = 0;
    (void)PdfFileKind(source, &size);
    const CopyBuffer buffer(size);
    if (!buffer.memory) return KV_FAIL(doc, KVPDF_ERR_BUFFER, KVPDF_ERR_COPY);
    FILE *in = files.open(source, "rb");
    if (!in) {
        KV_ERROR(doc, KVPDF_ERR_COPY);
        return KVPDF_ERR_COPY;
    }
    PdfFile input(files, in);
    FILE *out = files.open(target, "wb+");
    if (!out) {
        KV_ERROR(doc, KVPDF_ERR_COPY);
        return KVPDF_ERR_COPY;
    }
    PdfFile output(files, out);
    const int64_t copied = CopyBlocks(files, in, out, buffer, u.copy_digest);
    if (output.close() != 0 || copied < 0) {
        // Half a copy is not a document.
        (void)PdfRemoveFile(target);
        KV_ERROR(doc, KVPDF_ERR_COPY);
        return KVPDF_ERR_COPY;
    }
    u.copy_digested = static_cast<uint64_t>(copied);
    return 1;
}

int32_t CompleteSignedDigest(PdfDocument *doc) {
    UpdateInProgress &u = doc->update;
    const HostSettings &s = doc->settings;
    const uint64_t source_length = doc->parsed.source_length;
    const size_t head = u.head_text ? strlen(u.head_text) : 0;
    const FileAccess files(doc);
    bool ok = head > 0 && source_length + head == u.contents_start;
    if (ok && !u.copy_digest)
        ok = kvsx_digest_begin(HashType(s.copy_digest), &u.copy_digest) == 0 &&
             HashPrefix(files, s.target_path, source_length, u.copy_digest);
    else if (ok)
        // The copy must be the document the revision was written for: a source that grew
        // or shrank while it was copied is not signed.
        ok = u.copy_digested == source_length;
    uint32_t length = 0;
    ok = ok && kvsx_digest_update(u.copy_digest, u.head_text, static_cast<uint32_t>(head)) == 0 &&
         kvsx_digest_update(u.copy_digest, u.out_buffer, BufferLength(&u.out_buffer)) == 0 &&
         kvsx_digest_end(u.copy_digest, u.signed_digest, &length) == 0;
    kvsx_digest_free(u.copy_digest);
    u.copy_digest = nullptr;
    if (!ok) {
        // As after a revision that does not read back: the output is the copy again.
        (void)RestoreOutput(doc);
        return KV_FAIL(doc, KVPDF_ERR_COPY, KVPDF_ERR_STAGE_WRITESIGN);
    }
    u.signed_digest_length = length;
    return 1;
}

} // namespace kvpdf

using namespace kvpdf;

extern "C" KVPDF_API int32_t KVPDF_CALL KvPdfGetSignedDigest(KvPdfHandle handle, uint8_t *digest,
                                                             uint32_t capacity) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    const UpdateInProgress &u = doc->update;
    if (u.signed_digest_length == 0) {
        KV_ERROR(doc, KVPDF_ERR_NO_DIGEST);
        return KVPDF_ERR_NO_DIGEST;
    }
    if (!digest || capacity < u.signed_digest_length) return 0;
    memcpy(digest, u.signed_digest, u.signed_digest_length);
    return static_cast<int32_t>(u.signed_digest_length);
}
