// SPDX-License-Identifier: Apache-2.0
// What the reader learns of a file, for the command-line tool's "info" command.
#ifndef KVPDF_PDFSIGN_INSPECT_H
#define KVPDF_PDFSIGN_INSPECT_H

#include "kvpdf.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kvpdf {

struct SectionInfo {
    uint32_t offset;
    bool is_stream;
};

struct DocumentInfo {
    int32_t major = 0, minor = 0, header_length = 0;
    bool linearized = false;
    uint32_t file_length = 0;
    std::vector<SectionInfo> sections; // newest first
    int32_t declared_size = -1;        // /Size of the newest section
    uint32_t objects_in_use = 0;       // objects with a file offset or in an object stream
    uint32_t compressed_objects = 0;
    int32_t root_obj = -1;
    int32_t info_obj = 0;
};

// Reads the file's header and cross-reference chain through a fresh handle. Returns 1,
// or the library's negative code with its message (in the given locale) in *message.
[[nodiscard]] int32_t InspectDocument(const char *path, int32_t locale, DocumentInfo *info,
                                      std::string *message);

} // namespace kvpdf

#endif
