// SPDX-License-Identifier: Apache-2.0
// Loading the signer's private key and certificates from PKCS#12 or PEM files.
#ifndef KVSX_KEY_H
#define KVSX_KEY_H

#include "kvsx_ossl.h"
#include "kvsxades.h"

namespace kvsx {

struct SignerKey {
    EvpPkeyPtr key;
    X509Ptr cert;
    X509StackPtr others; // every other certificate the key source or certs file holds
};

// Returns KVSX_OK, KVSX_WRONG_PASSWORD, KVSX_E_KEY_LOAD, KVSX_E_KEY_MISMATCH,
// KVSX_E_NO_CERT, KVSX_E_UNSUPPORTED, KVSX_E_IO.
int load_signer_key(const KvsSigningParameters &params, SignerKey &out);

// Releases the OpenSSL providers key loading brought in (kvsx_global_cleanup).
void unload_key_providers();

} // namespace kvsx

#endif
