// SPDX-License-Identifier: Apache-2.0
// RFC 3161 time-stamp protocol: requesting tokens and reading them.
#ifndef KVSX_TSP_H
#define KVSX_TSP_H

#include "kvsx_context.h"
#include "kvsx_ossl.h"

#include <string>

namespace kvsx {

// Asks url for a token over digest (made with md), with a random nonce and certReq.
// The answer must be granted, carry our imprint and nonce, and its signature must verify.
// Returns KVSX_OK, KVSX_TSA_NOT_GRANTED, KVSX_E_NETWORK, KVSX_E_UNSUPPORTED,
// KVSX_E_TSA_RESPONSE or KVSX_E_TSA_MISMATCH.
int request_timestamp(const Settings &settings, const std::string &url, const EVP_MD *md,
                      const Bytes &digest, Bytes &token);

struct TokenInfo {
    CmsPtr cms;
    TsTstInfoPtr tst_info;
    int64_t gen_time = 0;
    X509 *tsa_cert = nullptr; // borrowed from certs
    X509StackPtr certs;       // the token's certificates plus the extra ones given
};

// Parses a TimeStampToken and checks its own signature (content digest, signature value,
// ESS signing certificate), not the TSA chain. extra may name the TSA certificate when
// the token does not carry it.
// Returns KVSX_OK, KVSX_E_BAD_TOKEN (not a token) or KVSX_TIMESTAMP_INVALID.
int read_token(const uint8_t *der, size_t length, STACK_OF(X509) *extra, TokenInfo &out);

// The token's imprint algorithm, nullptr (logged) when unknown.
const EVP_MD *token_imprint_md(const TokenInfo &token);

bool token_imprint_equals(const TokenInfo &token, const Bytes &digest);

} // namespace kvsx

#endif
