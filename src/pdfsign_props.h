// SPDX-License-Identifier: Apache-2.0
// Signature-appearance files: the loader shared by KvPDFSetLogo and the appearance
// writers.
#ifndef KVPDF_PDFSIGN_PROPS_H
#define KVPDF_PDFSIGN_PROPS_H

#include "pdf_document.h"
#include "pdf_mem.h"

namespace kvpdf {

// What an appearance file holds: the box of its header and the image object after it.
struct AppearanceFile {
    TrackedPtr<uint8_t> data; // the image object body, NUL-terminated
    uint32_t length = 0;
    int32_t box_width = 0;
    int32_t box_height = 0;
    int32_t image_width = 0; // /Width and /Height of the image object
    int32_t image_height = 0;
    int32_t is_sigappx = 0; // the name ends in ".sigappx", any letter case
};

// Reads an appearance file through files: its header's box size (/KvImgHeight,
// /KvImgWidth) and the image object that follows. Returns 1, -70 (cannot open) or -72
// (cannot read, or no /KvImgWidth); records them in ring when one is given.
[[nodiscard]] int32_t LoadAppearanceFile(const FileAccess &files, ErrorRing *ring, const char *path,
                                         AppearanceFile *out);
// /Height and /Width of an image object text.
void ReadImageSize(const char *text, uint32_t length, int32_t *height, int32_t *width);

} // namespace kvpdf

#endif
