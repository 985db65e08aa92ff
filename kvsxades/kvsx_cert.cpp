// SPDX-License-Identifier: Apache-2.0
// Certificate information and stand-alone chain validation.
#include "kvsx_chain.h"
#include "kvsx_context.h"
#include "kvsx_io.h"
#include "kvsx_log.h"
#include "kvsx_store.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace kvsx {
namespace {

char *dup_text(const std::string &text) {
    auto *copy = static_cast<char *>(malloc(text.size() + 1));
    if (copy == nullptr) throw std::bad_alloc();
    memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

std::string serial_hex(X509 *cert) {
    BignumPtr bn(ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr));
    if (!bn) return std::string();
    OsslTextPtr hex(BN_bn2hex(bn.get()));
    return hex ? std::string(hex.get()) : std::string();
}

std::string asn1_time_text(const ASN1_TIME *t) {
    int64_t when = 0;
    return to_unix_time(t, when) ? time_text(when) : std::string();
}

void release(KvsCertificateInfo *info) {
    free(info->subject);
    free(info->issuer);
    free(info->serial);
    free(info->not_before);
    free(info->not_after);
    memset(info, 0, sizeof *info);
}

} // namespace
} // namespace kvsx

using kvsx::fail;

extern "C" KVSX_API int kvsx_parse_certificate(const void *data, int32_t length,
                                               KvsCertificateInfo *info) {
    return kvsx::guarded("kvsx_parse_certificate", [&] {
        if (info == nullptr) return fail(KVSX_E_INVALID_ARG, "info is NULL");
        memset(info, 0, sizeof *info);
        kvsx::X509Ptr cert;
        int rc = kvsx::load_certificate(data, length, cert);
        if (rc != KVSX_OK) return rc;
        try {
            info->subject = kvsx::dup_text(kvsx::subject_of(cert.get()));
            info->issuer = kvsx::dup_text(kvsx::name_text(X509_get_issuer_name(cert.get())));
            info->serial = kvsx::dup_text(kvsx::serial_hex(cert.get()));
            info->not_before =
                kvsx::dup_text(kvsx::asn1_time_text(X509_get0_notBefore(cert.get())));
            info->not_after = kvsx::dup_text(kvsx::asn1_time_text(X509_get0_notAfter(cert.get())));
        } catch (...) {
            kvsx::release(info);
            throw;
        }
        uint32_t flags = X509_get_extension_flags(cert.get());
        info->key_usage =
            (flags & EXFLAG_KUSAGE) != 0 ? X509_get_key_usage(cert.get()) : KVS_KEY_USAGE_ABSENT;
        info->is_ca = (flags & EXFLAG_CA) != 0 ? 1 : 0;
        long path_length = X509_get_pathlen(cert.get());
        info->path_length =
            path_length >= 0 && path_length <= INT32_MAX ? static_cast<int32_t>(path_length) : -1;
        info->signature_nid = X509_get_signature_nid(cert.get());
        return KVSX_OK;
    });
}

extern "C" KVSX_API void kvsx_release_certificate(KvsCertificateInfo *info) {
    if (info != nullptr) kvsx::release(info);
}

extern "C" KVSX_API int kvsx_verify_cert_chain(const void *cert, int32_t length, int64_t time) {
    return kvsx::guarded("kvsx_verify_cert_chain", [&] {
        if (time < 0 || time > kvsx::kLatestTime)
            return fail(KVSX_E_INVALID_ARG, "verification time %lld is out of range",
                        static_cast<long long>(time));
        kvsx::X509Ptr leaf;
        int rc = kvsx::load_certificate(cert, length, leaf);
        if (rc != KVSX_OK) return rc;
        kvsx::ChainRequest req;
        req.leaf = leaf.get();
        req.when = time != 0 ? time : static_cast<int64_t>(::time(nullptr));
        std::vector<kvsx::CertRecord> chain;
        return kvsx::validate_chain(req, kvsx::store_snapshot(), kvsx::current_settings(), chain);
    });
}
