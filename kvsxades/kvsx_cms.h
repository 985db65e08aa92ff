// SPDX-License-Identifier: Apache-2.0
// CMS SignerInfo helpers shared by signing, timestamp tokens and verification.
#ifndef KVSX_CMS_H
#define KVSX_CMS_H

#include "kvsx_ossl.h"

namespace kvsx {

// DER of the signed attributes as the signature covers them: a universal SET OF in DER
// order (RFC 5652, 5.4), which is also how OpenSSL encodes them inside the SignerInfo.
Bytes signed_attributes_der(CMS_SignerInfo *si);

// The digest named by the SignerInfo's digestAlgorithm; nullptr (logged) when unknown.
const EVP_MD *signer_digest(CMS_SignerInfo *si);

// The certificate the SignerInfo names, from pool (borrowed), or nullptr.
X509 *find_signer_cert(CMS_SignerInfo *si, STACK_OF(X509) *pool);

// A new stack: signer, then every certificate of others (references taken).
X509StackPtr signer_first(X509 *signer, STACK_OF(X509) *others);

// Checks one SignerInfo against the digest of its content: message-digest and
// content-type attributes, the signature value, and the ESS signing-certificate(-v2)
// attribute (required when require_ess). chain holds the signer first.
// Returns KVSX_OK, KVSX_DIGEST_MISMATCH or KVSX_SIGNATURE_INVALID (logged).
int check_signer_info(CMS_ContentInfo *cms, CMS_SignerInfo *si, X509 *signer,
                      const Bytes &content_digest, STACK_OF(X509) *chain, bool require_ess);

} // namespace kvsx

#endif
