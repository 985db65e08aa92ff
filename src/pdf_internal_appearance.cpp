// SPDX-License-Identifier: Apache-2.0
// The standard visible appearance: one image XObject drawn at 205 x 50 inside nested
// forms (/AP /N -> FRM -> n0 + n2 -> img0), contents Flate-compressed.
#include "pdf_internal.h"

#include "pdf_error.h"
#include "pdf_internal_images.h"
#include "pdf_mem.h"
#include "pdfsign_props.h"

#include <cstring>

#define KV_UNIT "../src/pdf_internal.cpp"

namespace kvpdf {
namespace {

constexpr const char kProcSet[] = "/ProcSet [/PDF /Text /ImageB /ImageC /ImageI]";

// One form XObject: the dictionary (given up to its /Length value and from
// /Resources on), the compressed content, the end of the stream object.
int WriteForm(UpdateWriter &w, int32_t *err, uint32_t planned, const char *content,
              const char *resources, int32_t width, int32_t height) {
    uint8_t *packed_raw = nullptr;
    int64_t length = PdfDeflateBlock(reinterpret_cast<const uint8_t *>(content),
                                     static_cast<uint32_t>(strlen(content)), &packed_raw);
    TrackedPtr<uint8_t> packed(packed_raw);
    if (length < 0) return KV_WRITE_FAIL(w, err, static_cast<int32_t>(length));
    if (!BeginObject(w, planned, err)) return 0;
    return AppendFormat(w, err,
                        "<</Matrix [1 0 0 1 0 0]/Filter/FlateDecode/Type/XObject/FormType 1"
                        "/Length %lu/Resources<<%s%s>>/Subtype/Form/BBox[0 0 %d %d]>>stream\n",
                        static_cast<unsigned long>(length), resources, kProcSet, width, height) &&
           AppendBytes(w, err, static_cast<uint32_t>(length), packed.get()) &&
           EndStreamObject(w, err);
}

} // namespace

int AppendImageBody(UpdateWriter &w, int32_t *err, const unsigned char *builtin,
                    uint32_t builtin_size, uint32_t skip) {
    if (w.logo && w.logo->data_length != 0)
        return AppendBytes(w, err, w.logo->data_length, w.logo->data);
    if (w.settings.logo_file_path) {
        AppearanceFile file;
        int32_t rc = LoadAppearanceFile(w.files, &w.errors, w.settings.logo_file_path, &file);
        if (rc < 1) {
            *err = rc;
            return 0;
        }
        // The handle takes over what the file says once the write is done; the widget
        // written next already sizes its box by it.
        LoadedAppearance &loaded = w.update.appearance_file;
        loaded.loaded = 1;
        loaded.box_width = file.box_width;
        loaded.box_height = file.box_height;
        loaded.image_width = file.image_width;
        loaded.image_height = file.image_height;
        loaded.is_sigappx = file.is_sigappx;
        return AppendBytes(w, err, file.length, file.data.get());
    }
    return AppendBytes(w, err, builtin_size - skip, builtin + skip);
}

int WriteAppearanceImage(UpdateWriter &w, int32_t *err) {
    return BeginObject(w, w.update.plan.image_obj, err) &&
           AppendImageBody(w, err, kBuiltinImageA, kBuiltinImageASize, 0) &&
           EndStreamObject(w, err);
}

int WriteAppearanceForms(UpdateWriter &w, int32_t *err, int32_t width, int32_t height) {
    const UpdatePlan &plan = w.update.plan;
    char resources[96];
    snprintf(resources, sizeof resources, "/XObject<</FRM %lu 0 R>>",
             static_cast<unsigned long>(plan.frm_obj));
    if (!WriteForm(w, err, plan.appearance_obj, "q 1 0 0 1 0 0 cm /FRM Do Q\n", resources, width,
                   height))
        return 0;
    snprintf(resources, sizeof resources, "/XObject<</n2 %lu 0 R/n0 %lu 0 R>>",
             static_cast<unsigned long>(plan.n2_obj), static_cast<unsigned long>(plan.n0_obj));
    if (!WriteForm(w, err, plan.frm_obj, "q 1 0 0 1 0 0 cm /n0 Do Q\nq 1 0 0 1 0 0 cm /n2 Do Q\n",
                   resources, width, height))
        return 0;
    if (!WriteForm(w, err, plan.n0_obj, "% DSBlank\n", "", 100, 100)) return 0;
    if (!WriteForm(w, err, plan.empty_obj, "", "", width, height)) return 0;
    snprintf(resources, sizeof resources, "/XObject<</img0 %lu 0 R>>",
             static_cast<unsigned long>(plan.image_obj));
    return WriteForm(w, err, plan.n2_obj, "q 205 0 0 50 0 0 cm /img0 Do Q\n", resources, width,
                     height);
}

} // namespace kvpdf
