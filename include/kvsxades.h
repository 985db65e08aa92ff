/* SPDX-License-Identifier: Apache-2.0 */
/*
 * kvsxades: CMS / CAdES signing, RFC 3161 timestamping and signature verification
 * for the kvpdf library, built on OpenSSL 3 (libcrypto only).
 *
 * Conventions used by every function below:
 *
 * - Results: 0 (KVSX_OK) is success. A negative KVSX_E_* code is a failure (bad
 *   argument, unreadable input, network or OpenSSL failure). A positive code is a
 *   definite "no" the host can act on (wrong password, untrusted chain, revoked ...).
 *   Every failure and every "no" writes a line to the log set with kvsx_set_log().
 * - Ownership: every block, text or list the library hands out is allocated by the
 *   library and must be released with the matching kvsx_* function (kvsx_free,
 *   kvsx_free_cert_data_chain, kvsx_free_timestamp_infos, kvsx_release_certificate),
 *   never with the host's free(): host and library may use different C runtimes.
 *   Inputs are only read during the call; the library keeps no pointer to them.
 * - Times are seconds since 1970-01-01T00:00:00Z (signed 64-bit).
 * - Texts are NUL-terminated UTF-8.
 * - Process-wide state (log, settings, certificate/CRL/OCSP stores) is guarded by a
 *   mutex. A KvsContext holds the outcome of its last verification; one context must
 *   not be used by two threads at the same time.
 * - HTTP (TSA, OCSP, CRL distribution points) is plain http:// through OpenSSL's own
 *   client; https:// URLs are refused with KVSX_E_UNSUPPORTED.
 */
#ifndef KVSXADES_H
#define KVSXADES_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(KVSX_BUILDING) && !defined(KVSX_STATIC)
#define KVSX_API __declspec(dllexport)
#else
#define KVSX_API
#endif
#else
#define KVSX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes -------------------------------------------------------------- */

#define KVSX_OK 0

/* Definite "no" results. */
#define KVSX_WRONG_PASSWORD 1 /* key or PKCS#12 password/PIN does not open it */
#define KVSX_UNTRUSTED 2      /* chain does not end at a trust anchor of the store */
#define KVSX_REVOKED 3        /* a certificate of the chain was revoked at the time */
#define KVSX_EXPIRED                                                                               \
    4                            /* a certificate was not valid at the time (expired or            \
                                    not yet valid) */
#define KVSX_DIGEST_MISMATCH 5   /* signed data does not match the message digest */
#define KVSX_SIGNATURE_INVALID 6 /* signature value (or a required attribute) is wrong */
#define KVSX_TSA_NOT_GRANTED 7   /* the TSA answered with a status other than granted */
#define KVSX_TIMESTAMP_INVALID 8 /* a timestamp token does not match or does not verify */
#define KVSX_CHAIN_INVALID                                                                         \
    9 /* chain fails for another reason (bad certificate                                           \
         signature, CA constraints, key usage, purpose) */

/* Failures. */
#define KVSX_E_INVALID_ARG (-1) /* null pointer, bad length, bad value */
#define KVSX_E_BAD_CONTEXT (-2) /* not a context returned by kvsx_init, or cleaned up */
#define KVSX_E_NO_MEMORY (-3)
#define KVSX_E_IO (-4)           /* file cannot be opened or read */
#define KVSX_E_KEY_LOAD (-5)     /* key file unreadable or not a key */
#define KVSX_E_KEY_MISMATCH (-6) /* no certificate given matches the private key */
/* No signer certificate: none in the key source, or the one a signature names is
   neither embedded nor stored. */
#define KVSX_E_NO_CERT (-7)
#define KVSX_E_UNSUPPORTED (-8)   /* pkcs11: URIs, https://, SHA-1 signing, unknown kind */
#define KVSX_E_CRYPTO (-9)        /* an OpenSSL operation failed */
#define KVSX_E_NETWORK (-10)      /* connect, send, receive or HTTP status failure */
#define KVSX_E_TSA_RESPONSE (-11) /* TSA answer is not a timestamp response */
#define KVSX_E_TSA_MISMATCH (-12) /* TSA token imprint or nonce differs from the request */
#define KVSX_E_BAD_CMS (-13)      /* signature is not a CMS SignedData with a signer */
#define KVSX_E_BAD_TOKEN (-14)    /* timestamp token cannot be parsed */
#define KVSX_E_BAD_CERT (-15)     /* certificate cannot be parsed */
#define KVSX_E_BAD_DATA (-16)     /* CRL, OCSP response or PEM text cannot be parsed */
#define KVSX_E_DATA_RANGE (-17)   /* file byte range lies outside the file */
#define KVSX_E_BASE64 (-18)       /* text is not valid Base64 */
#define KVSX_E_INTERNAL (-19)     /* unexpected internal failure */

/* ---- Records ------------------------------------------------------------------- */

typedef struct KvsContext KvsContext;

/* KvsSigningParameters.flags */
#define KVS_CADES 0x1u /* ETSI.CAdES.detached profile; otherwise PKCS#7 detached */

typedef struct KvsSigningParameters {
    const char *key;     /* PKCS#12 (.p12/.pfx) path, PEM/DER private key path, or a
                            pkcs11: URI (refused with KVSX_E_UNSUPPORTED) */
    const char *secret;  /* PKCS#12 or key password, may be NULL */
    const char *certs;   /* PEM file: signer certificate and intermediates, may be NULL
                            when the key source carries them (PKCS#12) */
    const char *tsa_url; /* http:// RFC 3161 service for a signature timestamp, or NULL */
    uint32_t flags;      /* KVS_CADES or 0 */
} KvsSigningParameters;

/*
 * One item of the data to sign or verify; items are concatenated in list order.
 * A memory item has length >= 0 bytes at data. A file item has length -1 and data
 * points to the NUL-terminated file name; range_offset/range_length then select a byte
 * range of the file (both 0 = whole file; range_length 0 = from range_offset to the
 * end). The file is streamed, never loaded whole. Unused words must be 0.
 */
typedef struct KvsDataObject {
    uint32_t reserved0;
    const void *data;
    int32_t length;
    uint32_t range_offset;
    uint32_t range_length;
    const char *content_type; /* informational MIME type, may be NULL */
    uint32_t reserved6;
    uint32_t reserved7;
    uint32_t reserved8;
    uint32_t reserved9;
    struct KvsDataObject *next;
} KvsDataObject;

/* One certificate of a chain with the revocation data used for it (DER, NULL = none). */
typedef struct KvsCertDataChain {
    uint8_t *cert;
    uint32_t cert_length;
    uint8_t *crl;
    uint32_t crl_length;
    uint8_t *ocsp; /* a complete OCSPResponse */
    uint32_t ocsp_length;
    struct KvsCertDataChain *next;
    int32_t revocation;        /* KVS_REVOCATION_*: what the verification settled */
    char revocation_note[200]; /* why not checked (KVS_REVOCATION_NOT_CHECKED), else "" */
} KvsCertDataChain;

/* KvsCertDataChain.revocation */
#define KVS_REVOCATION_NOT_CHECKED 0 /* no usable CRL or OCSP response: see the note */
#define KVS_REVOCATION_GOOD 1
#define KVS_REVOCATION_REVOKED 2
#define KVS_REVOCATION_ANCHOR 3 /* the trust anchor: nothing vouches for its status */

/* One RFC 3161 timestamp of the last verification. */
typedef struct KvsTimestampInfo {
    int64_t time;  /* genTime, seconds since the epoch */
    uint8_t *data; /* the TimeStampToken (ContentInfo), DER */
    uint32_t data_length;
    uint32_t reserved;
    KvsCertDataChain *chain; /* TSA certificate first, then its issuers; NULL if unknown */
    struct KvsTimestampInfo *next;
} KvsTimestampInfo;

#define KVS_KEY_USAGE_ABSENT 0xFFFFFFFFu

typedef struct KvsCertificateInfo {
    char *subject;    /* RFC 2253 distinguished name */
    char *issuer;     /* RFC 2253 distinguished name */
    char *serial;     /* upper-case hexadecimal */
    char *not_before; /* ISO 8601 UTC, e.g. 2026-12-05T10:00:00Z */
    char *not_after;  /* ISO 8601 UTC */
    void *reserved5;
    uint32_t key_usage;    /* RFC 5280 bits as OpenSSL's KU_* values (digitalSignature
                              0x80, nonRepudiation 0x40, ... decipherOnly 0x8000), or
                              KVS_KEY_USAGE_ABSENT when the extension is missing */
    int32_t is_ca;         /* basicConstraints cA: 1 or 0 */
    int32_t path_length;   /* basicConstraints pathLenConstraint, -1 = none */
    int32_t signature_nid; /* OpenSSL NID of the certificate's signature algorithm */
} KvsCertificateInfo;

/* kvsx_create_timestamp kind: RFC 3161 token, TSA certificate requested. */
#define KVS_TS_RFC3161 12

/* kvsx_set_hash_type values */
#define KVS_HASH_SHA256 0
#define KVS_HASH_SHA384 1
#define KVS_HASH_SHA512 2
#define KVS_HASH_SHA1 3 /* verification and kvsx_digest only; signing refuses it */

/* kvsx_set_log levels */
#define KVS_LOG_ERROR 0 /* failures and definite "no" results */
#define KVS_LOG_INFO 1  /* plus one line per operation */
#define KVS_LOG_DEBUG 2 /* plus details (chain building, revocation sources) */

/* ---- Library set-up ------------------------------------------------------------ */

/* Initialises OpenSSL for the library. reserved: pass 0. Safe to call more than once;
   the other functions also work without it. Returns KVSX_OK. */
KVSX_API int kvsx_global_init(int reserved);

/* Empties the stores, resets the settings to their defaults, closes the log and
   unloads the OpenSSL provider loaded for legacy PKCS#12 files. Live contexts stay
   valid. Returns KVSX_OK. */
KVSX_API int kvsx_global_cleanup(void);

/* Creates a context in *ctx (released with kvsx_cleanup).
   Returns KVSX_OK, KVSX_E_INVALID_ARG (ctx NULL) or KVSX_E_NO_MEMORY. */
KVSX_API int kvsx_init(KvsContext **ctx);

/* Releases a context and its last verification outcome.
   Returns KVSX_OK or KVSX_E_BAD_CONTEXT (NULL, unknown or already released). */
KVSX_API int kvsx_cleanup(KvsContext *ctx);

/* Appends timestamped lines to log_path (created if needed); NULL or "" turns the log
   off. reserved: pass 0. level: KVS_LOG_ERROR, KVS_LOG_INFO or KVS_LOG_DEBUG.
   Returns KVSX_OK, KVSX_E_IO (cannot open the file) or KVSX_E_INVALID_ARG (level). */
KVSX_API int kvsx_set_log(const char *log_path, int reserved, int level);

/* Grace time for revocation data. "Good" status is taken from a CRL or OCSP response
   only when it was produced no later than `seconds` after the validation time (the
   signing time); a revocation dated before the validation time is always honoured.
   Default 86400. Returns KVSX_OK or KVSX_E_INVALID_ARG (negative). */
KVSX_API int kvsx_set_grace_time(int seconds);

/* on != 0: when verifying, fetch OCSP responses from the AIA OCSP URL and CRLs from the
   CRL distribution points of certificates whose status the stores cannot settle.
   Fetched CRLs are kept in the CRL store. Default off. Returns KVSX_OK. */
KVSX_API int kvsx_set_use_cdp(int on);

/* Hash for signing, timestamp requests and kvsx_digest: KVS_HASH_*. Default SHA-256.
   Returns KVSX_OK or KVSX_E_INVALID_ARG. */
KVSX_API int kvsx_set_hash_type(int type);

/* HTTP proxy "host:port" (or "http://host:port") for TSA, OCSP and CRL requests;
   NULL or "" = direct connections (the environment's proxy variables are not used).
   Returns KVSX_OK or KVSX_E_INVALID_ARG. */
KVSX_API int kvsx_set_proxy(const char *host_port);

/* Time limit for one whole HTTP exchange (connect included), 1..600 seconds: a server
   that accepts and never answers fails after it; one that refuses the connection fails
   at once. Default 20. Returns KVSX_OK or KVSX_E_INVALID_ARG. */
KVSX_API int kvsx_set_http_timeout(int seconds);

/* Called after each block (a few MiB) that a digest reads from a file item, with the
   bytes of file items hashed so far by that digest (signing, verifying, timestamping)
   and the host's user pointer, on the calling thread. */
typedef void (*KvsProgressCallback)(uint64_t done, void *user);

/* Sets the process-wide progress callback and its user pointer; NULL (the default)
   reports nothing. Kept until replaced, kvsx_global_cleanup included. Returns KVSX_OK. */
KVSX_API int kvsx_set_progress(KvsProgressCallback callback, void *user);

/* ---- Stores -------------------------------------------------------------------- */

/*
 * Add a certificate, CRL or OCSP response to the process-wide stores.
 * length > 0: DER bytes at data; 0: data is a NUL-terminated PEM text (may hold several
 * objects); -1: data is a file path (DER or PEM). Self-issued certificates become trust
 * anchors; the others serve as intermediates. Duplicates are ignored.
 * Returns KVSX_OK, KVSX_E_INVALID_ARG, KVSX_E_IO, KVSX_E_BAD_CERT (certificates) or
 * KVSX_E_BAD_DATA (CRLs, OCSP responses, empty PEM).
 */
KVSX_API int kvsx_add_cert(const void *data, int32_t length);
KVSX_API int kvsx_add_crl(const void *data, int32_t length);
KVSX_API int kvsx_add_ocsp(const void *data, int32_t length);

/* As kvsx_add_cert, but every certificate given becomes a trust anchor, self-issued or
 * not: a chain that reaches an intermediate CA added here ends there (its issuers are
 * neither needed nor checked). kvsx_clean_stores removes them. Same results. */
KVSX_API int kvsx_add_trust_anchor(const void *data, int32_t length);

/* Empties all three stores. */
KVSX_API void kvsx_clean_stores(void);

/* Empties the CRL store (loaded and fetched CRLs). Returns KVSX_OK. */
KVSX_API int kvsx_clean_crl_store(void);

/* Frees a block or text returned by the library (signature, token, digest, decoded
   Base64, verification report). NULL is ignored. */
KVSX_API void kvsx_free(void *block);

/* Text for a result code (static storage, never NULL). */
KVSX_API const char *kvsx_code_text(int code);

/* The message of the newest failure the calling thread's calls recorded, as the log
   writes it without the code ("" when none); valid until the thread's next call. */
KVSX_API const char *kvsx_last_message(void);

/* ---- Signing and timestamping ---------------------------------------------------- */

/*
 * Creates a detached CMS SignedData (DER) over the concatenated data of `chain`, hashed
 * with the current hash type. Signed attributes: content-type and message-digest; with
 * KVS_CADES also signing-certificate-v2 and no signing-time, otherwise signing-time.
 * The signer certificate and its chain (completed from the certificate store) are
 * embedded. With params->tsa_url a signature-time-stamp unsigned attribute is added.
 * A signer certificate outside its validity is not refused (it is logged): judging it is
 * the verifier's task. ctx may be NULL. On success *out (free with kvsx_free) and *out_length are
 * set; on failure *out is NULL. reserved1, reserved2: pass 0. Returns KVSX_OK, KVSX_WRONG_PASSWORD,
 * KVSX_TSA_NOT_GRANTED, or KVSX_E_INVALID_ARG, KVSX_E_BAD_CONTEXT, KVSX_E_IO, KVSX_E_DATA_RANGE,
 * KVSX_E_KEY_LOAD, KVSX_E_KEY_MISMATCH, KVSX_E_NO_CERT, KVSX_E_UNSUPPORTED, KVSX_E_NETWORK,
 * KVSX_E_TSA_RESPONSE, KVSX_E_TSA_MISMATCH, KVSX_E_CRYPTO, KVSX_E_NO_MEMORY.
 */
KVSX_API int kvsx_create_signature(KvsContext *ctx, const KvsSigningParameters *params,
                                   const KvsDataObject *chain, uint8_t **out, uint32_t *out_length,
                                   int32_t reserved1, int32_t reserved2);

/* A signer loaded once for many signatures (kvsx_sign_digest): the key and certificates
   of a KvsSigningParameters, read and decrypted by kvsx_load_signer. Read-only once
   loaded: one signer may sign on several threads at the same time. */
typedef struct KvsSigner KvsSigner;

/* Loads params->key (with params->secret and params->certs) into *out, released with
   kvsx_free_signer; tsa_url and flags are not kept. Returns KVSX_OK, KVSX_WRONG_PASSWORD,
   KVSX_E_INVALID_ARG, KVSX_E_IO, KVSX_E_KEY_LOAD, KVSX_E_KEY_MISMATCH, KVSX_E_NO_CERT,
   KVSX_E_UNSUPPORTED or KVSX_E_NO_MEMORY. */
KVSX_API int kvsx_load_signer(const KvsSigningParameters *params, KvsSigner **out);
KVSX_API void kvsx_free_signer(KvsSigner *signer);

/*
 * As kvsx_create_signature, over a message digest the host computed instead of the data:
 * hash_type (KVS_HASH_SHA256, _SHA384 or _SHA512, whatever kvsx_set_hash_type says) names
 * its algorithm and digest_length must be that algorithm's size; the signed attributes
 * carry the digest as given. Of params only tsa_url and flags are read (the key comes
 * from signer). Same results as kvsx_create_signature.
 */
KVSX_API int kvsx_sign_digest(KvsContext *ctx, const KvsSigner *signer,
                              const KvsSigningParameters *params, int32_t hash_type,
                              const uint8_t *digest, uint32_t digest_length, uint8_t **out,
                              uint32_t *out_length);

/*
 * Obtains an RFC 3161 TimeStampToken (DER) from tsa_url for the data: data_length -1 =
 * data is a file name whose contents are stamped (streamed), otherwise data_length
 * bytes at data. kind must be KVS_TS_RFC3161. The request carries a random nonce and
 * certReq; the answer must be granted and carry the imprint and nonce sent, and the
 * token's signature must verify. ctx may be NULL; reserved: pass 0. On success *out
 * (free with kvsx_free) and *out_length are set.
 * Returns KVSX_OK, KVSX_TSA_NOT_GRANTED, or KVSX_E_INVALID_ARG, KVSX_E_BAD_CONTEXT,
 * KVSX_E_IO, KVSX_E_UNSUPPORTED, KVSX_E_NETWORK, KVSX_E_TSA_RESPONSE,
 * KVSX_E_TSA_MISMATCH, KVSX_E_CRYPTO, KVSX_E_NO_MEMORY.
 */
KVSX_API int kvsx_create_timestamp(KvsContext *ctx, int32_t data_length, int32_t kind,
                                   const void *data, uint8_t **out, uint32_t *out_length,
                                   const char *tsa_url, int32_t reserved);

/* ---- Verification -------------------------------------------------------------- */

/*
 * Verifies a CMS SignedData signature (DER, sig_length bytes) over the data of `data`
 * (NULL: the content embedded in the signature). Checks per signer: message digest,
 * signature value, signing-certificate(-v2) when present, signature timestamps (imprint,
 * signature, TSA chain at their time), then the signer chain to a trust anchor at the
 * validation time and revocation (stores, then OCSP/CRL fetches if kvsx_set_use_cdp).
 * Validation time: (time_high:time_low) when not 0 (at most 253402300799, the end of
 * year 9999); else the time of a valid signature timestamp; else now. No usable revocation data for
 * a certificate is logged, not failed. The context keeps the signer chain and timestamps
 * (kvsx_get_signer_chain, kvsx_get_timestamp_infos), also when the result is a "no". out_report
 * (may be NULL) receives a text summary, freed with kvsx_free. Returns KVSX_OK (valid),
 * KVSX_DIGEST_MISMATCH, KVSX_SIGNATURE_INVALID, KVSX_TIMESTAMP_INVALID, KVSX_UNTRUSTED,
 * KVSX_EXPIRED, KVSX_REVOKED, KVSX_CHAIN_INVALID, or KVSX_E_INVALID_ARG, KVSX_E_BAD_CONTEXT,
 * KVSX_E_BAD_CMS, KVSX_E_NO_CERT, KVSX_E_IO, KVSX_E_DATA_RANGE, KVSX_E_UNSUPPORTED (digest
 * algorithm not accepted, e.g. MD5), KVSX_E_CRYPTO, KVSX_E_NO_MEMORY.
 */
KVSX_API int kvsx_verify_signature(KvsContext *ctx, const KvsDataObject *data, const uint8_t *sig,
                                   uint32_t sig_length, uint32_t time_low, int32_t time_high,
                                   char **out_report);

/*
 * Verifies an RFC 3161 token (document timestamp) over the contents of file_name
 * (data_length -1) or over data_length bytes at file_name: imprint, token signature,
 * TSA chain to a trust anchor at the token's time (extended key usage timeStamping),
 * revocation as for signatures. The context keeps the token as the only timestamp
 * and the TSA chain as the signer chain.
 * Returns KVSX_OK, KVSX_TIMESTAMP_INVALID, KVSX_UNTRUSTED, KVSX_EXPIRED, KVSX_REVOKED,
 * KVSX_CHAIN_INVALID, or KVSX_E_INVALID_ARG, KVSX_E_BAD_CONTEXT, KVSX_E_BAD_TOKEN,
 * KVSX_E_IO, KVSX_E_NO_MEMORY.
 */
KVSX_API int kvsx_verify_doc_timestamp(KvsContext *ctx, const char *file_name, int32_t data_length,
                                       const uint8_t *token, uint32_t token_length);

/* Timestamps of the context's last verification, as a fresh list (*out NULL when there
   are none), freed with kvsx_free_timestamp_infos.
   Returns KVSX_OK, KVSX_E_INVALID_ARG, KVSX_E_BAD_CONTEXT or KVSX_E_NO_MEMORY. */
KVSX_API int kvsx_get_timestamp_infos(KvsContext *ctx, KvsTimestampInfo **out);
KVSX_API void kvsx_free_timestamp_infos(KvsTimestampInfo *list);

/* Signer chain of the context's last verification (signer first, then its issuers up
   to the trust anchor) with the CRL/OCSP response used for each certificate, as a fresh
   list (*out NULL when empty), freed with kvsx_free_cert_data_chain.
   Returns KVSX_OK, KVSX_E_INVALID_ARG, KVSX_E_BAD_CONTEXT or KVSX_E_NO_MEMORY. */
KVSX_API int kvsx_get_signer_chain(KvsContext *ctx, KvsCertDataChain **out);
KVSX_API void kvsx_free_cert_data_chain(KvsCertDataChain *chain);

/*
 * Validates a certificate (length > 0 DER; 0 PEM text; -1 file path) against the stores
 * at `time` (0 = now, at most 253402300799): chain to a trust anchor, validity,
 * revocation as for signatures.
 * Returns KVSX_OK, KVSX_UNTRUSTED, KVSX_EXPIRED, KVSX_REVOKED, KVSX_CHAIN_INVALID, or
 * KVSX_E_INVALID_ARG, KVSX_E_IO, KVSX_E_BAD_CERT, KVSX_E_NO_MEMORY.
 */
KVSX_API int kvsx_verify_cert_chain(const void *cert, int32_t length, int64_t time);

/* ---- Utilities ----------------------------------------------------------------- */

/* Hash of length bytes at data with the current hash type; *out (free with kvsx_free)
   and *out_length receive it. Returns KVSX_OK, KVSX_E_INVALID_ARG or KVSX_E_CRYPTO. */
KVSX_API int kvsx_digest(const void *data, uint32_t length, uint8_t **out, uint32_t *out_length);

/* A digest fed piece by piece, for hosts that hash data while they copy it: begin with
   type KVS_HASH_SHA256, _SHA384 or _SHA512 (KVSX_E_INVALID_ARG otherwise), update in
   order, end writes the value (at most KVSX_MAX_DIGEST bytes) to out and its length to
   *out_length, after which only kvsx_digest_free is valid. Returns KVSX_OK,
   KVSX_E_INVALID_ARG, KVSX_E_CRYPTO or KVSX_E_NO_MEMORY. A state belongs to one thread
   at a time. */
#define KVSX_MAX_DIGEST 64
typedef struct KvsDigest KvsDigest;
KVSX_API int kvsx_digest_begin(int32_t type, KvsDigest **out);
KVSX_API int kvsx_digest_update(KvsDigest *digest, const void *data, uint32_t length);
KVSX_API int kvsx_digest_end(KvsDigest *digest, uint8_t *out, uint32_t *out_length);
KVSX_API void kvsx_digest_free(KvsDigest *digest);

/* Decodes Base64 text (length 0 = strlen(text)); white space is ignored. *out (free with
   kvsx_free; NULL for empty input) and *out_length receive the bytes.
   Returns KVSX_OK, KVSX_E_INVALID_ARG, KVSX_E_BASE64 or KVSX_E_NO_MEMORY. */
KVSX_API int kvsx_base64_decode(const char *text, uint32_t length, uint32_t *out_length,
                                uint8_t **out);

/* Fills *info (caller's record, zeroed first) from a certificate (length > 0 DER; 0 PEM
   text; -1 file path). The texts are released with kvsx_release_certificate.
   Returns KVSX_OK, KVSX_E_INVALID_ARG, KVSX_E_IO, KVSX_E_BAD_CERT or KVSX_E_NO_MEMORY. */
KVSX_API int kvsx_parse_certificate(const void *data, int32_t length, KvsCertificateInfo *info);

/* Frees the texts of a record filled by kvsx_parse_certificate and zeroes it (not the
   record itself). NULL is ignored. */
KVSX_API void kvsx_release_certificate(KvsCertificateInfo *info);

#ifdef __cplusplus
}
#endif

#endif /* KVSXADES_H */
