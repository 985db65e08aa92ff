// SPDX-License-Identifier: Apache-2.0
// The .sigappx appearance: an image drawn as the background /SBBgImg of nested forms,
// uncompressed contents, the widget written last; and appearance files themselves.
#include "pdf_internal.h"

#include "pdf_error.h"
#include "pdf_internal_images.h"
#include "pdf_mem.h"
#include "pdf_utils.h"

#include <cstring>

#define KV_UNIT "../src/pdf_logo_jp2.cpp"

namespace kvpdf {
namespace {

// The stored copy of image B starts with an appearance-file header of this length.
constexpr uint32_t kBuiltinHeader = 35;

constexpr const char kBackground[] =
    "q\r\n2.64 0 0 1.00 1 1 cm\r\nq 66 0 0 66 0 0 cm /SBBgImg Do Q\r\nQ\r\nq\r\n"
    "1.00 0 0 1.00 1 1 cm\r\n1 1 174.43 66.00 re\r\nW* n\r\nq\r\n1 0 0 1 1 1 cm\r\n"
    "0 0 174.43 66.00 re\r\nW n\r\n1 0 0 1 -1 -1 cm\r\n0 g\r\n1 i\r\nQ\r\nQ\r\n\r\n\r\n";

} // namespace

int WriteSigAppxAppearance(UpdateWriter &w, int32_t *err) {
    const UpdatePlan &plan = w.update.plan;
    uint32_t image = BeginObject(w, plan.image_obj, err);
    if (!image || !AppendImageBody(w, err, kBuiltinImageB, kBuiltinImageBSize, kBuiltinHeader) ||
        !EndStreamObject(w, err))
        return 0;
    uint32_t background = BeginDictObject(w, plan.n2_obj, err);
    if (!background ||
        !AppendFormat(w, err,
                      "/Subtype /Form /Matrix [1 0 0 1 0 0]/Type /XObject /BBox [1 1 184 69]"
                      "/FormType 1/Resources <</ProcSet [/PDF/Text]/XObject << /SBBgImg %lu 0 R "
                      ">>>>/Length 195>>stream\n",
                      static_cast<unsigned long>(image)) ||
        !AppendText(w, err, kBackground) || !EndStreamObject(w, err))
        return 0;
    uint32_t blank = BeginDictObject(w, plan.n0_obj, err);
    if (!blank ||
        !AppendText(w, err,
                    "/Subtype /Form /Matrix [1 0 0 1 0 0]/Type /XObject /BBox [0 0 100 100]"
                    "/FormType 1/Resources << /ProcSet [/PDF]>>/Length 13>>stream\r\n"
                    "% DSBlank\r\n\r\n\r\n") ||
        !EndStreamObject(w, err))
        return 0;
    uint32_t frm = BeginDictObject(w, plan.frm_obj, err);
    if (!frm ||
        !AppendFormat(w, err,
                      "/Subtype /Form /Matrix [1 0 0 1 0 0]/Type /XObject /BBox [0 0 185 70]"
                      "/FormType 1 /Resources << /XObject << /n0 %lu 0 R /n2 %lu 0 R >>/ProcSet "
                      "[ /PDF ]>>/Length 56 >>stream\r\nq 1 0 0 1 0 0 cm /n0 Do Q\r\n"
                      "q 1 0 0 1 0 0 cm /n2 Do Q\r\n\r\n",
                      static_cast<unsigned long>(blank), static_cast<unsigned long>(background)) ||
        !EndStreamObject(w, err))
        return 0;
    uint32_t ap = BeginDictObject(w, plan.appearance_obj, err);
    if (!ap ||
        !AppendFormat(w, err,
                      "/Subtype /Form/Matrix [1 0 0 1 0 0]/Type /XObject /BBox [0 0 185 70]"
                      "/FormType 1 /Resources << /XObject << /FRM %lu 0 R >>/ProcSet [/PDF]>>"
                      "/Length 28>>stream\r\nq 1 0 0 1 0 0 cm /FRM Do Q\r\n",
                      static_cast<unsigned long>(frm)) ||
        !EndStreamObject(w, err))
        return 0;
    int32_t r[4] = {w.settings.sig_rect[0], w.settings.sig_rect[1], w.settings.sig_rect[2],
                    w.settings.sig_rect[3]};
    FitIntoPageBox(w, r);
    char numbered[32];
    return BeginDictObject(w, plan.sig_field_obj, err) &&
           AppendFormat(w, err,
                        "/FT /Sig /T (%s) /Type /Annot /Subtype /Widget /F 132 /P %lu "
                        "0 R /AP << /N %lu 0 R >>/DA (/Helv 0 Tf 0 g ) /MK <<\t>>/Rect [%d %d %d "
                        "%d]/V %lu 0 R >>",
                        FieldTitle(w, numbered), static_cast<unsigned long>(w.parsed.page_obj),
                        static_cast<unsigned long>(ap), r[0], r[1], r[2], r[3],
                        static_cast<unsigned long>(plan.sig_dict_obj)) &&
           EndObject(w, err);
}

} // namespace kvpdf

using namespace kvpdf;

namespace {

// The results of KvWriteDigSigAppImage, which records nothing: it has no handle.
constexpr int32_t kNoOutputPath = -1;
constexpr int32_t kOutputDoesNotOpen = -2;
constexpr int32_t kImageNotCopied = -3;

} // namespace

extern "C" KVPDF_API int32_t KVPDF_CALL KvWriteDigSigAppImage(const char *image_path,
                                                              const char *output_path,
                                                              const char *box_height,
                                                              const char *box_width) {
    if (!output_path) return kNoOutputPath;
    FILE *out = fopen(output_path, "w+b");
    if (!out) return kOutputDoesNotOpen;
    fprintf(out, "%s%s%s %s %s %s ", "1.", "5", "/KvImgHeight", box_height ? box_height : "",
            "/KvImgWidth", box_width ? box_width : "");
    if (!image_path) {
        size_t n = fwrite(kBuiltinImageA, 1, kBuiltinImageASize, out);
        return fclose(out) == 0 && n == kBuiltinImageASize ? 1 : kImageNotCopied;
    }
    FILE *in = fopen(image_path, "rb");
    if (!in) {
        fclose(out);
        return 1; // a missing image leaves a file with the header only
    }
    int rc = 1;
    int64_t size = PdfSeek(in, 0, SEEK_END) == 0 ? PdfTell(in) : -1;
    if (size >= 0 && size < 0x7FFFFFFF && PdfSeek(in, 0, SEEK_SET) == 0) {
        TrackedPtr<char> data(
            static_cast<char *>(TrackedAlloc(KV_UNIT, __LINE__, size_t(size) + 1)));
        if (data) {
            size_t n = fread(data.get(), 1, size_t(size), in);
            rc = n == size_t(size) && fwrite(data.get(), 1, n, out) == n ? 1 : kImageNotCopied;
        }
    }
    fclose(in);
    if (fclose(out) != 0) rc = kImageNotCopied;
    return rc;
}
