// SPDX-License-Identifier: Apache-2.0
// Reading inputs: files, the (data, length) convention of the store calls, PEM blocks,
// and streaming digests over KvsDataObject chains.
#ifndef KVSX_IO_H
#define KVSX_IO_H

#include "kvsx_ossl.h"
#include "kvsxades.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvsx {

// Small inputs (keys, certificates, CRLs, tokens) are read whole; this is their cap.
constexpr size_t kMaxSmallFile = size_t{64} << 20;

int read_file(const char *path, Bytes &out, size_t max_size);

// length > 0: DER bytes; 0: NUL-terminated text; -1: file path. Logs failures.
int load_input(const void *data, int32_t length, Bytes &out, const char *what);

// The DER of every PEM block of input, or input itself when it holds no PEM.
std::vector<Bytes> der_blocks(const Bytes &input);

// First certificate of an input in the store-call convention.
int load_certificate(const void *data, int32_t length, X509Ptr &out);

int digest_bytes(const EVP_MD *md, const uint8_t *data, size_t length, Bytes &out);

// Hashes the concatenated items of chain in one streaming pass.
int digest_data_chain(const KvsDataObject *chain, const EVP_MD *md, Bytes &out);

// Hashes a whole file (streamed).
int digest_file(const char *path, const EVP_MD *md, Bytes &out);

// Copies bytes into a block the host frees with kvsx_free.
int export_block(const Bytes &bytes, uint8_t **out, uint32_t *out_length);

} // namespace kvsx

#endif
