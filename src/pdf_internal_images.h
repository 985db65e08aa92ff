// SPDX-License-Identifier: Apache-2.0
// Built-in signature-appearance images, embedded at build time by data/embed.cmake.
#ifndef KVPDF_PDF_INTERNAL_IMAGES_H
#define KVPDF_PDF_INTERNAL_IMAGES_H

namespace kvpdf {

extern const unsigned char kBuiltinImageA[]; // data/image_a.body
extern const unsigned int kBuiltinImageASize;
extern const unsigned char kBuiltinImageB[]; // data/image_b.sigappx
extern const unsigned int kBuiltinImageBSize;

} // namespace kvpdf

#endif // KVPDF_PDF_INTERNAL_IMAGES_H
