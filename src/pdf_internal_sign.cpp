// SPDX-License-Identifier: Apache-2.0
// Signature and document-timestamp dictionaries with their reserved /Contents, the
// signing time, and the widget of the standard layouts (ISO 32000-1, 12.8.1).
#include "pdf_internal.h"

#include "pdf_error.h"
#include "pdf_mem.h"
#include "pdf_utils.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#define KV_UNIT "../src/pdf_internal.cpp"

namespace kvpdf {
namespace {

constexpr int32_t kDefaultBoxWidth = 210;
constexpr int32_t kDefaultBoxHeight = 50;

// The dictionary's head goes straight into the file, up to "/Contents"; its end is
// where the reserved value starts.
int WriteHead(UpdateWriter &w, int32_t *err, FILE *target, uint32_t number, const char *type,
              const char *subfilter) {
    char head[128];
    int n = snprintf(head, sizeof head, "\n%lu 0 obj\n<</Type/%s/Filter/Adobe.PPKLite/SubFilter/",
                     static_cast<unsigned long>(number), type);
    size_t sub = strlen(subfilter);
    const FileAccess &files = w.files;
    bool ok = files.write(head, 1, static_cast<size_t>(n), target) == static_cast<size_t>(n) &&
              files.write(subfilter, 1, sub, target) == sub &&
              files.write("/Contents", 1, 9, target) == 9 && files.flush(target) == 0;
    int64_t position = ok ? files.tell(target) : -1;
    uint64_t end = position < 0 ? 0 : uint64_t(position) + 2ull * w.settings.sig_buffer_size + 2;
    if (position < 0 || end > 0xFFFFFFFFull) return KV_WRITE_FAIL(w, err, KVPDF_ERR_POSITION);
    TrackedFreeT(w.update.head_text);
    if (!BufferAppendf(KV_UNIT, __LINE__, &w.update.head_text, 0, "%s%s/Contents", head, subfilter))
        return KV_WRITE_FAIL(w, err, KVPDF_ERR_BUFFER);
    w.update.contents_start = static_cast<uint32_t>(position);
    w.update.contents_end = static_cast<uint32_t>(end);
    return 1;
}

// "/ByteRange[0 a b " and 26 zeros that the byte-range completion replaces.
int WriteByteRange(UpdateWriter &w, int32_t *err) {
    UpdateInProgress &u = w.update;
    u.byte_range[0] = 0;
    u.byte_range[1] = u.contents_start;
    u.byte_range[2] = u.contents_end;
    if (!AppendFormat(w, err, "/ByteRange[0 %lu", static_cast<unsigned long>(u.contents_start)) ||
        !AppendFormat(w, err, " %lu ", static_cast<unsigned long>(u.contents_end)))
        return 0;
    u.byte_range_patch_pos = UpdateLength(u);
    return AppendText(w, err, "00000000000000000000000000") && AppendText(w, err, ">>\nendobj\n\n");
}

uint32_t AllocateDictionary(UpdateWriter &w, int32_t *err) {
    uint32_t number = AllocateObjectNumber(w, w.update.plan.sig_dict_obj);
    if (!number) return KV_WRITE_FAIL(w, err, KVPDF_ERR_BUFFER);
    // The object starts one past the line feed written in front of it.
    w.update.new_objects[w.update.new_object_count - 1].offset = w.update.contents_end + 1;
    return number;
}

int32_t Clamp(int64_t v) {
    return static_cast<int32_t>(v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v);
}

} // namespace

time_t CurrentTime(const HostSettings &s) {
    return s.fixed_time ? static_cast<time_t>(s.fixed_time) : time(nullptr);
}

void FormatSigningTime(time_t t, char *out, size_t size) {
    // The zone is read once per process; PdfLocalTime leaves the C library's shared
    // globals alone, so handles on several threads can sign at once.
    static std::once_flag zone_read;
    std::call_once(zone_read, [] { tzset(); });
    struct tm local {};
    long offset = 0;
    (void)PdfLocalTime(t, &local, &offset);
    // Whole hours east of UTC, summer time included; half hours are cut.
    long hours = offset / 3600;
    char stamp[22];
    strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &local);
    char zone[16];
    long magnitude = hours < 0 ? -hours : hours;
    snprintf(zone, sizeof zone, hours >= 0 ? "+%s%ld'00'" : "-%s%ld'00'", magnitude < 10 ? "0" : "",
             magnitude);
    snprintf(out, size, "%s%s", stamp, zone);
}

int WriteSignatureDictionary(UpdateWriter &w, int32_t *err, FILE *target) {
    const HostSettings &s = w.settings;
    uint32_t number = AllocateDictionary(w, err);
    if (!number) return 0;
    const char *subfilter = s.sig_subfilter ? s.sig_subfilter : "adbe.pkcs7.detached";
    if (!WriteHead(w, err, target, number, "Sig", subfilter)) return 0;
    char *when = w.update.signing_time;
    FormatSigningTime(CurrentTime(s), when, sizeof w.update.signing_time);
    if (s.signer_name && !AppendFormat(w, err, "\n/Name(%s)\n", s.signer_name)) return 0;
    if (s.sig_location && !AppendFormat(w, err, "/Location(%s)\n", s.sig_location)) return 0;
    if (s.contact_info && !AppendFormat(w, err, "/ContactInfo(%s)\n", s.contact_info)) return 0;
    if (!AppendFormat(w, err, "/M(D:%s)\n", when)) return 0;
    if (s.reason_only) {
        if (s.sig_reason && !AppendFormat(w, err, "/Reason (%s)\n", s.sig_reason)) return 0;
    } else if (!AppendFormat(w, err, "/Reason (%s%s%s)\n", s.sig_reason ? s.sig_reason : "",
                             s.sig_reason ? " - " : "", s.reason_suffix ? s.reason_suffix : "")) {
        return 0;
    }
    if (w.update.plan.certify_level &&
        !AppendFormat(w, err,
                      "/Reference[<</Type/SigRef/TransformMethod/DocMDP/TransformParams<</Type"
                      "/TransformParams/P %d/V/1.2>>>>]\n",
                      static_cast<int>(w.update.plan.certify_level)))
        return 0;
    return WriteByteRange(w, err);
}

int WriteDocTimeStampDictionary(UpdateWriter &w, int32_t *err, FILE *target) {
    uint32_t number = AllocateDictionary(w, err);
    return number && WriteHead(w, err, target, number, "DocTimeStamp", "ETSI.RFC3161") &&
           WriteByteRange(w, err);
}

int32_t FieldNumber(const ParsedDocument &parsed) {
    int32_t n = parsed.xref_sections_read;
    if (n == 1 && parsed.annots_modified == 1) n = 2;
    if (parsed.linearized_first_xref_used == 1)
        n = 1;
    else if (parsed.is_linearized == 1)
        --n;
    return n;
}

const char *FieldTitle(const UpdateWriter &w, char (&numbered)[32]) {
    if (w.update.plan.field_name) return w.update.plan.field_name;
    snprintf(numbered, sizeof numbered, "KvSignature%d", static_cast<int>(FieldNumber(w.parsed)));
    return numbered;
}

void FitIntoPageBox(const UpdateWriter &w, int32_t r[4]) {
    const ParsedDocument &p = w.parsed;
    if (w.update.plan.page_number < 1 || !p.page_box_known) return;
    const int32_t *box = p.page_box;
    if (r[0] >= box[0] && r[1] >= box[1] && r[2] <= box[2] && r[3] <= box[3] && r[0] <= r[2] &&
        r[1] <= r[3])
        return;
    int64_t width = std::llabs(int64_t{r[2]} - r[0]), height = std::llabs(int64_t{r[3]} - r[1]);
    width = std::min<int64_t>(width, int64_t{box[2]} - box[0]);
    height = std::min<int64_t>(height, int64_t{box[3]} - box[1]);
    const int64_t x = std::clamp<int64_t>(std::min(r[0], r[2]), box[0], box[2] - width);
    const int64_t y = std::clamp<int64_t>(std::min(r[1], r[3]), box[1], box[3] - height);
    r[0] = Clamp(x);
    r[1] = Clamp(y);
    r[2] = Clamp(x + width);
    r[3] = Clamp(y + height);
}

int WriteSignatureWidget(UpdateWriter &w, int32_t *err, int32_t *width, int32_t *height) {
    const UpdatePlan &plan = w.update.plan;
    const HostSettings &s = w.settings;
    if (!BeginObject(w, plan.sig_field_obj, err)) return 0;
    // The built-in image has no appearance file to give a box: it takes the same
    // default box as a record without one.
    const LoadedAppearance &file = w.update.appearance_file;
    int32_t box_width = w.logo        ? w.logo->box_width
                        : file.loaded ? file.box_width
                                      : s.logo_box_width;
    int32_t box_height = w.logo        ? w.logo->box_height
                         : file.loaded ? file.box_height
                                       : s.logo_box_height;
    *width = box_width ? box_width : kDefaultBoxWidth;
    *height = box_height ? box_height : kDefaultBoxHeight;
    int32_t r[4] = {s.sig_rect[0], s.sig_rect[1], s.sig_rect[2], s.sig_rect[3]};
    if (r[2] == 0 || r[3] == 0) {
        r[2] = Clamp(int64_t{r[0]} + *width);
        r[3] = Clamp(int64_t{r[1]} + *height);
    }
    FitIntoPageBox(w, r);
    char numbered[32];
    const char *title = FieldTitle(w, numbered);
    const auto page = static_cast<unsigned long>(w.parsed.page_obj);
    const auto dict = static_cast<unsigned long>(plan.sig_dict_obj);
    if (w.mode == kModeDocTimestamp)
        return AppendFormat(w, err,
                            "<</Type/Annot/F 132/T(%s)/P %lu 0 R/V %lu 0 R/Rect[0.0 0.0 "
                            "0.0 0.0]/Subtype/Widget/FT/Sig>>endobj\n\n",
                            title, page, dict);
    if (plan.layout != SignatureLayout::kStandardVisible)
        return AppendFormat(w, err,
                            "<</Type/Annot/F 132/T(%s)/P %lu 0 R/V %lu 0 R/Rect[%d %d %d "
                            "%d]/Subtype/Widget/FT/Sig>>endobj\n\n",
                            title, page, dict, r[0], r[1], r[2], r[3]);
    return AppendFormat(w, err,
                        "<</Type/Annot/F 132/T(%s)/P %lu 0 R/V %lu 0 R/Rect[%d %d %d "
                        "%d]/Subtype/Widget/DR<</XObject<</FRM %lu 0 R>>>>/FT/Sig/AP<</N %lu 0 "
                        "R>>>>endobj\n\n",
                        title, page, dict, r[0], r[1], r[2], r[3],
                        static_cast<unsigned long>(plan.frm_obj),
                        static_cast<unsigned long>(plan.appearance_obj));
}

} // namespace kvpdf
