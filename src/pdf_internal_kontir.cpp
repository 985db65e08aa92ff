// SPDX-License-Identifier: Apache-2.0
// The Kontir note: a Text annotation with a popup and a fixed comment icon.
#include "pdf_internal.h"

#include "pdf_error.h"
#include "pdf_mem.h"
#include "pdf_utils.h"

#include <cstring>

#define KV_UNIT "../src/pdf_internal.cpp"

namespace kvpdf {
namespace {

// A yellow speech bubble with a black outline and three black bars, 20 x 18.
constexpr const char kIcon[] =
    "0 G 1 1 0 rg 0 i 0.60 w 4 M 1 j 0 J []0 d  19.62 7.52 m 19.62 5.72 18.12 4.26 16.28 4.26 "
    "c 9.07 4.25 l 4.93 0.32 l 6.03 4.26 l 3.70 4.26 l 1.86 4.26 0.36 5.72 0.36 7.52 c 0.36 "
    "14.37 l 0.36 16.17 1.86 17.63 3.70 17.63 c 16.28 17.63 l 18.12 17.63 19.62 16.17 19.62 "
    "14.37 c 19.62 7.52 l h B 0 g 3.87 14.41 m 3.70 14.41 3.57 14.28 3.57 14.11 c 3.57 13.95 "
    "3.70 13.81 3.87 13.81 c 16.10 13.81 l 16.27 13.81 16.41 13.95 16.41 14.11 c 16.41 14.28 "
    "16.27 14.41 16.10 14.41 c 3.87 14.41 l h f 3.87 11.23 m 3.70 11.23 3.57 11.10 3.57 10.93 "
    "c 3.57 10.76 3.70 10.63 3.87 10.63 c 16.10 10.63 l 16.27 10.63 16.41 10.76 16.41 10.93 c "
    "16.41 11.10 16.27 11.23 16.10 11.23 c 3.87 11.23 l h f 3.87 8.05 m 3.70 8.05 3.57 7.91 "
    "3.57 7.75 c 3.57 7.58 3.70 7.45 3.87 7.45 c 12.84 7.45 l 13.01 7.45 13.15 7.58 13.15 7.75 "
    "c 13.15 7.91 13.01 8.05 12.84 8.05 c 3.87 8.05 l h f ";

constexpr const char kDefaultSubject[] = "Kont\xEDr megjegyz\xE9s";

} // namespace

int WriteKontirNote(UpdateWriter &w, int32_t *err) {
    const HostSettings &s = w.settings;
    const UpdatePlan &plan = w.update.plan;
    time_t now = CurrentTime(s);
    struct tm local {};
    long offset = 0;
    (void)PdfLocalTime(now, &local, &offset);
    char when[22];
    // The zone text is fixed, whatever the local zone.
    strftime(when, sizeof when, "%Y%m%d%H%M%S+01'00'", &local);
    uint32_t note = BeginObject(w, plan.kontir_annot_obj, err);
    if (!note) return 0;
    const int32_t *r = s.kontir_rect;
    if (!AppendFormat(w, err,
                      "<</CreationDate(D:%s)/Rect[%d %d %d %d]/NM(8161a3f7-bb67-411d-b0a2-"
                      "20f104c3580d)/Subtype/Text/C[1.0 1.0 0.0]/F 28/Contents(%s)/M(D:%s)/Name/"
                      "Comment/P %lu 0 R/T(%s)/Subj(%s)/Type/Annot/Popup %lu 0 R/AP<</N %lu 0 "
                      "R>>>>\n",
                      when, r[0], r[1], r[2], r[3], s.kontir_text, when,
                      static_cast<unsigned long>(w.parsed.page_obj),
                      s.kontir_title ? s.kontir_title : "",
                      s.kontir_subject ? s.kontir_subject : kDefaultSubject,
                      static_cast<unsigned long>(plan.kontir_popup_obj),
                      static_cast<unsigned long>(plan.kontir_icon_obj)) ||
        !EndObject(w, err))
        return 0;
    if (!BeginObject(w, plan.kontir_popup_obj, err)) return 0;
    const int32_t *p = s.kontir_popup_rect;
    if (!AppendFormat(
            w, err, "<</Rect[%d %d %d %d]/Subtype/Popup/Parent %lu 0 R/F 28/Open %s/Type/Annot>>\n",
            p[0], p[1], p[2], p[3], static_cast<unsigned long>(note),
            s.kontir_popup_open ? "true" : "false") ||
        !EndObject(w, err))
        return 0;
    uint8_t *packed_raw = nullptr;
    int64_t length = PdfDeflateBlock(reinterpret_cast<const uint8_t *>(kIcon),
                                     static_cast<uint32_t>(strlen(kIcon)), &packed_raw);
    TrackedPtr<uint8_t> packed(packed_raw);
    if (length < 0) return KV_WRITE_FAIL(w, err, static_cast<int32_t>(length));
    return BeginObject(w, plan.kontir_icon_obj, err) &&
           AppendFormat(w, err,
                        "<</Subtype/Form/Length %lu/Filter/FlateDecode/Matrix[1.0 0.0 0.0 1.0 0.0 "
                        "0.0]/Resources<</ProcSet[/PDF]>>/Type/XObject/BBox[0.0 0.0 20.0 18.0]/"
                        "FormType 1>>stream\n",
                        static_cast<unsigned long>(length)) &&
           AppendBytes(w, err, static_cast<uint32_t>(length), packed.get()) &&
           EndStreamObject(w, err);
}

} // namespace kvpdf
