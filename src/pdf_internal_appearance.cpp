// The standard visible appearance: one image XObject drawn at 205 x 50 inside nested
// forms (/AP /N -> FRM -> n0 + n2 -> img0), contents Flate-compressed.
#include "pdf_internal.h"

#include "pdf_error.h"
#include "pdf_internal_images.h"
#include "pdf_mem.h"
#include "pdfsign_props.h"

#include <cstring>

#define KV_UNIT "../src/pdf_internal.cpp"

using kvpdf::TrackedPtr;

namespace {

constexpr const char kProcSet[] = "/ProcSet [/PDF /Text /ImageB /ImageC /ImageI]";

// One form XObject: the dictionary (given up to its /Length value and from
// /Resources on), the compressed content, the end of the stream object.
int WriteForm(PdfDocument *doc, int32_t *err, const char *content, const char *resources,
              int32_t width, int32_t height) {
    uint8_t *packed_raw = nullptr;
    int64_t length = PdfDeflateBlock(reinterpret_cast<const uint8_t *>(content),
                                     static_cast<uint32_t>(strlen(content)), &packed_raw);
    TrackedPtr<uint8_t> packed(packed_raw);
    if (length < 0) {
        KV_ERROR(doc, static_cast<int32_t>(length));
        *err = static_cast<int32_t>(length);
        return 0;
    }
    if (!BeginObject(doc, 0, err, nullptr)) return 0;
    return AppendFormat(doc, err,
                        "<</Matrix [1 0 0 1 0 0]/Filter/FlateDecode/Type/XObject/FormType 1"
                        "/Length %lu/Resources<<%s%s>>/Subtype/Form/BBox[0 0 %d %d]>>stream\n",
                        static_cast<unsigned long>(length), resources, kProcSet, width, height) &&
           AppendBytes(doc, err, static_cast<uint32_t>(length), packed.get()) &&
           EndStreamObject(doc, err);
}

} // namespace

// The image body, by the image-source rule: a record's data, else the appearance file
// of the handle, else the built-in image of the layout (builtin, skipping its header).
int AppendImageBody(PdfDocument *doc, int32_t *err, const LogoImage *logo,
                    const unsigned char *builtin, uint32_t builtin_size, uint32_t skip) {
    if (logo && logo->data_length != 0) return AppendBytes(doc, err, logo->data_length, logo->data);
    if (doc->logo_file_path) {
        uint8_t *data = nullptr;
        uint32_t length = 0;
        int32_t rc = LoadAppearanceFile(doc->logo_file_path, &data, &length, doc, nullptr);
        TrackedPtr<uint8_t> owned(data);
        if (rc < 1) {
            *err = rc;
            return 0;
        }
        return AppendBytes(doc, err, length, owned.get());
    }
    return AppendBytes(doc, err, builtin_size - skip, builtin + skip);
}

int WriteAppearanceImage(PdfDocument *doc, int32_t *err, const LogoImage *logo) {
    if (doc->visible_signature != 1) return 1;
    uint32_t image = BeginObject(doc, 0, err, nullptr);
    if (!image) return 0;
    doc->image_obj = image;
    return AppendImageBody(doc, err, logo, kBuiltinImageA, kBuiltinImageASize, 0) &&
           EndStreamObject(doc, err);
}

int WriteAppearanceForms(PdfDocument *doc, int32_t *err, int32_t width, int32_t height) {
    if (doc->visible_signature != 1) return 1;
    // Numbers: A (/AP /N), B = A+1 (FRM), C = B+1 (n0), D = B+2 (unused), E = B+3 (n2).
    const unsigned long a = doc->last_object_number + 1, b = a + 1;
    char resources[96];
    snprintf(resources, sizeof resources, "/XObject<</FRM %lu 0 R>>", b);
    if (!WriteForm(doc, err, "q 1 0 0 1 0 0 cm /FRM Do Q\n", resources, width, height)) return 0;
    snprintf(resources, sizeof resources, "/XObject<</n2 %lu 0 R/n0 %lu 0 R>>", b + 3, b + 1);
    if (!WriteForm(doc, err, "q 1 0 0 1 0 0 cm /n0 Do Q\nq 1 0 0 1 0 0 cm /n2 Do Q\n", resources,
                   width, height))
        return 0;
    if (!WriteForm(doc, err, "% DSBlank\n", "", 100, 100)) return 0;
    if (!WriteForm(doc, err, "", "", width, height)) return 0;
    snprintf(resources, sizeof resources, "/XObject<</img0 %lu 0 R>>",
             static_cast<unsigned long>(doc->image_obj));
    return WriteForm(doc, err, "q 205 0 0 50 0 0 cm /img0 Do Q\n", resources, width, height);
}
