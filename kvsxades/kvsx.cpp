// SPDX-License-Identifier: Apache-2.0
// Library frame: global set-up, contexts, settings, and the small utility calls.
#include "kvsx_context.h"

#include "kvsx_io.h"
#include "kvsx_key.h"
#include "kvsx_log.h"
#include "kvsx_store.h"

#include <openssl/crypto.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

namespace kvsx {
namespace {

std::mutex g_settings_mutex;
Settings g_settings;

std::mutex g_contexts_mutex;
std::set<const KvsContext *> &live_contexts() {
    static auto *contexts = new std::set<const KvsContext *>; // outlives static destructors
    return *contexts;
}

void free_cert_chain(KvsCertDataChain *node) {
    while (node != nullptr) {
        KvsCertDataChain *next = node->next;
        free(node->cert);
        free(node->crl);
        free(node->ocsp);
        free(node);
        node = next;
    }
}

void free_timestamp_infos(KvsTimestampInfo *node) {
    while (node != nullptr) {
        KvsTimestampInfo *next = node->next;
        free(node->data);
        free_cert_chain(node->chain);
        free(node);
        node = next;
    }
}

// Allocation failures surface as bad_alloc and become KVSX_E_NO_MEMORY at the boundary;
// the owners below make sure a half-built list is freed first.
struct ChainOwner {
    KvsCertDataChain *head = nullptr;
    ~ChainOwner() { free_cert_chain(head); }
};
struct TimestampOwner {
    KvsTimestampInfo *head = nullptr;
    ~TimestampOwner() { free_timestamp_infos(head); }
};

uint8_t *copy_block(const Bytes &bytes, uint32_t &length) {
    length = static_cast<uint32_t>(bytes.size());
    if (bytes.empty()) return nullptr;
    auto *block = static_cast<uint8_t *>(malloc(bytes.size()));
    if (block == nullptr) throw std::bad_alloc();
    memcpy(block, bytes.data(), bytes.size());
    return block;
}

KvsCertDataChain *export_chain(const std::vector<CertRecord> &records) {
    ChainOwner owner;
    KvsCertDataChain **tail = &owner.head;
    for (const CertRecord &record : records) {
        auto *node = static_cast<KvsCertDataChain *>(calloc(1, sizeof(KvsCertDataChain)));
        if (node == nullptr) throw std::bad_alloc();
        *tail = node;
        tail = &node->next;
        node->cert = copy_block(record.cert, node->cert_length);
        node->crl = copy_block(record.crl, node->crl_length);
        node->ocsp = copy_block(record.ocsp, node->ocsp_length);
        node->revocation = record.revocation;
        snprintf(node->revocation_note, sizeof node->revocation_note, "%s", record.note.c_str());
    }
    KvsCertDataChain *head = owner.head;
    owner.head = nullptr;
    return head;
}

KvsContext *checked_context(KvsContext *ctx) {
    return context_is_live(ctx) ? ctx : nullptr;
}

int decode_base64(const char *text, size_t length, Bytes &out) {
    EvpEncodeCtxPtr dctx(EVP_ENCODE_CTX_new());
    if (!dctx) throw std::bad_alloc();
    EVP_DecodeInit(dctx.get());
    out.resize(length / 4 * 3 + 3);
    size_t produced = 0;
    size_t done = 0;
    constexpr size_t kChunk = 1u << 24; // EVP_DecodeUpdate counts in int
    while (done < length) {
        int in_len = static_cast<int>(std::min(kChunk, length - done));
        int got = 0;
        if (EVP_DecodeUpdate(dctx.get(), out.data() + produced, &got,
                             reinterpret_cast<const unsigned char *>(text) + done, in_len) < 0)
            return fail(KVSX_E_BASE64, "invalid Base64 near offset %zu", done);
        produced += static_cast<size_t>(got);
        done += static_cast<size_t>(in_len);
    }
    int got = 0;
    if (EVP_DecodeFinal(dctx.get(), out.data() + produced, &got) < 0)
        return fail(KVSX_E_BASE64, "Base64 text is truncated");
    produced += static_cast<size_t>(got);
    out.resize(produced);
    return KVSX_OK;
}

} // namespace

Settings current_settings() {
    std::lock_guard<std::mutex> lock(g_settings_mutex);
    return g_settings;
}

const EVP_MD *hash_md(int hash_type) {
    switch (hash_type) {
    case KVS_HASH_SHA256:
        return EVP_sha256();
    case KVS_HASH_SHA384:
        return EVP_sha384();
    case KVS_HASH_SHA512:
        return EVP_sha512();
    case KVS_HASH_SHA1:
        return EVP_sha1();
    default:
        return nullptr;
    }
}

bool context_is_live(const KvsContext *ctx) {
    std::lock_guard<std::mutex> lock(g_contexts_mutex);
    return ctx != nullptr && live_contexts().count(ctx) != 0;
}

} // namespace kvsx

using kvsx::fail;
using kvsx::guarded;

extern "C" KVSX_API int kvsx_global_init(int reserved) {
    (void)reserved;
    return guarded("kvsx_global_init", [] {
        if (OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr) != 1)
            return fail(KVSX_E_CRYPTO, "OpenSSL initialisation failed");
        return KVSX_OK;
    });
}

extern "C" KVSX_API int kvsx_global_cleanup(void) {
    return guarded("kvsx_global_cleanup", [] {
        kvsx::store_clear_all();
        kvsx::unload_key_providers();
        {
            std::lock_guard<std::mutex> lock(kvsx::g_settings_mutex);
            kvsx::g_settings = kvsx::Settings();
        }
        kvsx::log_close();
        return KVSX_OK;
    });
}

extern "C" KVSX_API int kvsx_init(KvsContext **ctx) {
    return guarded("kvsx_init", [&] {
        if (ctx == nullptr) return fail(KVSX_E_INVALID_ARG, "ctx is NULL");
        *ctx = nullptr;
        auto context = std::make_unique<KvsContext>();
        std::lock_guard<std::mutex> lock(kvsx::g_contexts_mutex);
        kvsx::live_contexts().insert(context.get());
        *ctx = context.release();
        return KVSX_OK;
    });
}

extern "C" KVSX_API int kvsx_cleanup(KvsContext *ctx) {
    return guarded("kvsx_cleanup", [&] {
        {
            std::lock_guard<std::mutex> lock(kvsx::g_contexts_mutex);
            if (ctx == nullptr || kvsx::live_contexts().erase(ctx) == 0)
                return fail(KVSX_E_BAD_CONTEXT, "not a live context");
        }
        delete ctx;
        return KVSX_OK;
    });
}

extern "C" KVSX_API int kvsx_set_grace_time(int seconds) {
    return guarded("kvsx_set_grace_time", [&] {
        if (seconds < 0) return fail(KVSX_E_INVALID_ARG, "grace time %d is negative", seconds);
        std::lock_guard<std::mutex> lock(kvsx::g_settings_mutex);
        kvsx::g_settings.grace_seconds = seconds;
        return KVSX_OK;
    });
}

extern "C" KVSX_API int kvsx_set_use_cdp(int on) {
    return guarded("kvsx_set_use_cdp", [&] {
        std::lock_guard<std::mutex> lock(kvsx::g_settings_mutex);
        kvsx::g_settings.use_cdp = on != 0;
        return KVSX_OK;
    });
}

extern "C" KVSX_API int kvsx_set_hash_type(int type) {
    return guarded("kvsx_set_hash_type", [&] {
        if (kvsx::hash_md(type) == nullptr)
            return fail(KVSX_E_INVALID_ARG, "hash type %d is not 0..3", type);
        std::lock_guard<std::mutex> lock(kvsx::g_settings_mutex);
        kvsx::g_settings.hash_type = type;
        return KVSX_OK;
    });
}

extern "C" KVSX_API int kvsx_set_proxy(const char *host_port) {
    return guarded("kvsx_set_proxy", [&] {
        std::string proxy = host_port != nullptr ? host_port : "";
        if (proxy.find_first_of(" \t\r\n") != std::string::npos)
            return fail(KVSX_E_INVALID_ARG, "proxy '%s' contains white space", proxy.c_str());
        std::lock_guard<std::mutex> lock(kvsx::g_settings_mutex);
        kvsx::g_settings.proxy = proxy;
        return KVSX_OK;
    });
}

extern "C" KVSX_API int kvsx_set_http_timeout(int seconds) {
    return guarded("kvsx_set_http_timeout", [&] {
        if (seconds < 1 || seconds > 600)
            return fail(KVSX_E_INVALID_ARG, "HTTP timeout %d is not 1..600", seconds);
        std::lock_guard<std::mutex> lock(kvsx::g_settings_mutex);
        kvsx::g_settings.http_timeout = seconds;
        return KVSX_OK;
    });
}

extern "C" KVSX_API void kvsx_free(void *block) {
    free(block);
}

extern "C" KVSX_API int kvsx_digest(const void *data, uint32_t length, uint8_t **out,
                                    uint32_t *out_length) {
    return guarded("kvsx_digest", [&] {
        if (out == nullptr || out_length == nullptr || (data == nullptr && length != 0))
            return fail(KVSX_E_INVALID_ARG, "NULL argument");
        *out = nullptr;
        *out_length = 0;
        const EVP_MD *md = kvsx::hash_md(kvsx::current_settings().hash_type);
        kvsx::Bytes value;
        int rc = kvsx::digest_bytes(md, static_cast<const uint8_t *>(data), length, value);
        if (rc != KVSX_OK) return rc;
        return kvsx::export_block(value, out, out_length);
    });
}

extern "C" KVSX_API int kvsx_base64_decode(const char *text, uint32_t length, uint32_t *out_length,
                                           uint8_t **out) {
    return guarded("kvsx_base64_decode", [&] {
        if (out != nullptr) *out = nullptr;
        if (out_length != nullptr) *out_length = 0;
        if (text == nullptr || out == nullptr || out_length == nullptr)
            return fail(KVSX_E_INVALID_ARG, "NULL argument");
        size_t text_length = length != 0 ? length : strlen(text);
        kvsx::Bytes decoded;
        int rc = kvsx::decode_base64(text, text_length, decoded);
        if (rc != KVSX_OK || decoded.empty()) return rc;
        return kvsx::export_block(decoded, out, out_length);
    });
}

extern "C" KVSX_API int kvsx_get_signer_chain(KvsContext *ctx, KvsCertDataChain **out) {
    return guarded("kvsx_get_signer_chain", [&] {
        if (out == nullptr) return fail(KVSX_E_INVALID_ARG, "out is NULL");
        *out = nullptr;
        KvsContext *live = kvsx::checked_context(ctx);
        if (live == nullptr) return fail(KVSX_E_BAD_CONTEXT, "not a live context");
        std::lock_guard<std::mutex> lock(live->lock);
        *out = kvsx::export_chain(live->last.signer_chain);
        return KVSX_OK;
    });
}

extern "C" KVSX_API void kvsx_free_cert_data_chain(KvsCertDataChain *chain) {
    kvsx::free_cert_chain(chain);
}

extern "C" KVSX_API int kvsx_get_timestamp_infos(KvsContext *ctx, KvsTimestampInfo **out) {
    return guarded("kvsx_get_timestamp_infos", [&] {
        if (out == nullptr) return fail(KVSX_E_INVALID_ARG, "out is NULL");
        *out = nullptr;
        KvsContext *live = kvsx::checked_context(ctx);
        if (live == nullptr) return fail(KVSX_E_BAD_CONTEXT, "not a live context");
        std::lock_guard<std::mutex> lock(live->lock);
        kvsx::TimestampOwner owner;
        KvsTimestampInfo **tail = &owner.head;
        for (const kvsx::TimestampRecord &record : live->last.timestamps) {
            auto *node = static_cast<KvsTimestampInfo *>(calloc(1, sizeof(KvsTimestampInfo)));
            if (node == nullptr) throw std::bad_alloc();
            *tail = node;
            tail = &node->next;
            node->time = record.time;
            node->data = kvsx::copy_block(record.token, node->data_length);
            node->chain = kvsx::export_chain(record.chain);
        }
        *out = owner.head;
        owner.head = nullptr;
        return KVSX_OK;
    });
}

extern "C" KVSX_API void kvsx_free_timestamp_infos(KvsTimestampInfo *list) {
    kvsx::free_timestamp_infos(list);
}
