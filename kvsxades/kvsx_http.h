// SPDX-License-Identifier: Apache-2.0
// HTTP exchanges through OpenSSL's client (TSA, OCSP, CRL distribution points).
#ifndef KVSX_HTTP_H
#define KVSX_HTTP_H

#include "kvsx_context.h"
#include "kvsx_ossl.h"

#include <string>

namespace kvsx {

// POSTs body and reads an ASN.1 answer of at most max_length bytes.
// Returns KVSX_OK, KVSX_E_UNSUPPORTED (not http://), KVSX_E_NETWORK, or KVSX_E_BAD_DATA
// when the server answered with something that is not ASN.1.
int http_post(const Settings &settings, const std::string &url, const char *content_type,
              const Bytes &body, size_t max_length, Bytes &answer);

// GETs an ASN.1 resource (a CRL) of at most max_length bytes. Same results.
int http_get(const Settings &settings, const std::string &url, size_t max_length, Bytes &answer);

} // namespace kvsx

#endif
