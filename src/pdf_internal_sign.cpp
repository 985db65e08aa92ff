// Signature and document-timestamp dictionaries with their reserved /Contents, the
// signing time, and the widget of the standard layouts (ISO 32000-1, 12.8.1).
#include "pdf_internal.h"

#include "pdf_error.h"
#include "pdf_mem.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#define KV_UNIT "../src/pdf_internal.cpp"

namespace {

std::atomic<time_t> g_fixed_time{0};

constexpr int32_t kDefaultBoxWidth = 210;
constexpr int32_t kDefaultBoxHeight = 50;

// The dictionary's head goes straight into the file, up to "/Contents"; its end is
// where the reserved value starts.
int WriteHead(PdfDocument *doc, int32_t *err, FILE *target, uint32_t number, const char *type,
              const char *subfilter) {
    FileOps &ops = doc->file_ops;
    char head[128];
    int n = snprintf(head, sizeof head, "\n%lu 0 obj\n<</Type/%s/Filter/Adobe.PPKLite/SubFilter/",
                     static_cast<unsigned long>(number), type);
    size_t sub = strlen(subfilter);
    bool ok = ops.write(doc, head, 1, static_cast<size_t>(n), target) == static_cast<size_t>(n) &&
              ops.write(doc, subfilter, 1, sub, target) == sub &&
              ops.write(doc, "/Contents", 1, 9, target) == 9 && ops.flush(doc, target) == 0;
    int64_t position = ok ? ops.tell(doc, target) : -1;
    int closed = ops.close(doc, target);
    uint64_t end = position < 0 ? 0 : uint64_t(position) + 2ull * doc->sig_buffer_size + 2;
    if (!ok || closed != 0 || position < 0 || end > 0xFFFFFFFFull) {
        KV_ERROR(doc, KVPDF_ERR_POSITION);
        *err = KVPDF_ERR_POSITION;
        return 0;
    }
    doc->contents_start = static_cast<uint32_t>(position);
    doc->contents_end = static_cast<uint32_t>(end);
    return 1;
}

// "/ByteRange[0 a b " and 26 zeros that the byte-range completion replaces.
int WriteByteRange(PdfDocument *doc, int32_t *err) {
    doc->byte_range[0] = 0;
    doc->byte_range[1] = doc->contents_start;
    doc->byte_range[2] = doc->contents_end;
    if (!AppendFormat(doc, err, "/ByteRange[0 %lu",
                      static_cast<unsigned long>(doc->contents_start)) ||
        !AppendFormat(doc, err, " %lu ", static_cast<unsigned long>(doc->contents_end)))
        return 0;
    doc->byte_range_patch_pos = UpdateLength(doc);
    return AppendText(doc, err, "00000000000000000000000000") &&
           AppendText(doc, err, ">>\nendobj\n\n");
}

uint32_t AllocateDictionary(PdfDocument *doc, int32_t *err) {
    uint32_t number = AllocateObjectNumber(doc, 1);
    if (!number) {
        KV_ERROR(doc, KVPDF_ERR_BUFFER);
        *err = KVPDF_ERR_BUFFER;
        return 0;
    }
    // The object starts one past the line feed written in front of it.
    doc->new_objects[doc->new_object_count - 1].offset = doc->contents_end + 1;
    return number;
}

} // namespace

namespace kvpdf {

time_t CurrentTime() {
    time_t fixed = g_fixed_time.load();
    return fixed ? fixed : time(nullptr);
}

void SetFixedTime(time_t t) {
    g_fixed_time = t;
}

void FormatSigningTime(time_t t, char *out, size_t size) {
    tzset();
    struct tm local;
    localtime_r(&t, &local);
    // Hours east of UTC: the standard offset truncated, plus one in summer time.
    long hours = -timezone / 3600 + (local.tm_isdst > 0 ? 1 : 0);
    char stamp[22];
    strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &local);
    char zone[16];
    long magnitude = hours < 0 ? -hours : hours;
    snprintf(zone, sizeof zone, hours >= 0 ? "+%s%ld'00'" : "-%s%ld'00'", magnitude < 10 ? "0" : "",
             magnitude);
    snprintf(out, size, "%s%s", stamp, zone);
}

} // namespace kvpdf

int WriteSignatureDictionary(PdfDocument *doc, int32_t *err, FILE *target) {
    uint32_t number = AllocateDictionary(doc, err);
    if (!number) {
        doc->file_ops.close(doc, target);
        return 0;
    }
    const char *subfilter = doc->sig_subfilter ? doc->sig_subfilter : "adbe.pkcs7.detached";
    if (!WriteHead(doc, err, target, number, "Sig", subfilter)) return 0;
    char when[40];
    kvpdf::FormatSigningTime(kvpdf::CurrentTime(), when, sizeof when);
    char *copy = TrackedStrdup(when);
    if (!copy) {
        KV_ERROR(doc, KVPDF_ERR_BUFFER);
        *err = KVPDF_ERR_BUFFER;
        return 0;
    }
    TrackedFreeT(doc->signing_time_text);
    doc->signing_time_text = copy;
    if (doc->signer_name && !AppendFormat(doc, err, "\n/Name(%s)\n", doc->signer_name)) return 0;
    if (doc->sig_location && !AppendFormat(doc, err, "/Location(%s)\n", doc->sig_location))
        return 0;
    if (doc->contact_info && !AppendFormat(doc, err, "/ContactInfo(%s)\n", doc->contact_info))
        return 0;
    if (!AppendFormat(doc, err, "/M(D:%s)\n", when)) return 0;
    if (!AppendFormat(doc, err, "/Reason (%s%s%s)\n", doc->sig_reason ? doc->sig_reason : "",
                      doc->sig_reason ? " - " : "", doc->reason_suffix ? doc->reason_suffix : ""))
        return 0;
    return WriteByteRange(doc, err);
}

int WriteDocTimeStampDictionary(PdfDocument *doc, int32_t *err, FILE *target) {
    uint32_t number = AllocateDictionary(doc, err);
    if (!number) {
        doc->file_ops.close(doc, target);
        return 0;
    }
    return WriteHead(doc, err, target, number, "DocTimeStamp", "ETSI.RFC3161") &&
           WriteByteRange(doc, err);
}

int32_t FieldNumber(const PdfDocument *doc) {
    return doc->xref_sections_read;
}

int WriteSignatureWidget(PdfDocument *doc, const LogoImage *logo, int32_t *err, int32_t *width,
                         int32_t *height) {
    uint32_t w = BeginObject(doc, 0, err, nullptr);
    if (!w) return 0;
    if (doc->logo_height == 0 && logo && logo->image_height != 0) {
        doc->logo_width = logo->image_width;
        doc->logo_height = logo->image_height;
    }
    // The built-in image has no appearance file to give a box: it takes the same
    // default box as a record without one.
    int32_t box_width = logo ? logo->box_width : doc->logo_box_width;
    int32_t box_height = logo ? logo->box_height : doc->logo_box_height;
    *width = box_width ? box_width : kDefaultBoxWidth;
    *height = box_height ? box_height : kDefaultBoxHeight;
    int32_t *r = doc->sig_rect;
    if (r[2] == 0 || r[3] == 0) {
        auto clamp = [](int64_t v) {
            return static_cast<int32_t>(v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v);
        };
        r[2] = clamp(int64_t{r[0]} + *width);
        r[3] = clamp(int64_t{r[1]} + *height);
    }
    const int32_t n = FieldNumber(doc);
    const unsigned long page = static_cast<unsigned long>(doc->page_obj);
    if (doc->mode == kModeDocTimestamp)
        return AppendFormat(doc, err,
                            "<</Type/Annot/F 132/T(KvSignature%d)/P %lu 0 R/V %lu 0 R/Rect[0.0 0.0 "
                            "0.0 0.0]/Subtype/Widget/FT/Sig>>endobj\n\n",
                            n, page, static_cast<unsigned long>(w - 1));
    if (doc->visible_signature != 1)
        return AppendFormat(
            doc, err,
            "<</Type/Annot/F 132/T(KvSignature%d)/P %lu 0 R/V %lu 0 R/Rect[%d %d %d "
            "%d]/Subtype/Widget/FT/Sig>>endobj\n\n",
            n, page, static_cast<unsigned long>(w - 1), r[0], r[1], r[2], r[3]);
    return AppendFormat(doc, err,
                        "<</Type/Annot/F 132/T(KvSignature%d)/P %lu 0 R/V %lu 0 R/Rect[%d %d %d "
                        "%d]/Subtype/Widget/DR<</XObject<</FRM %lu 0 R>>>>/FT/Sig/AP<</N %lu 0 "
                        "R>>>>endobj\n\n",
                        n, page, static_cast<unsigned long>(w - 2), r[0], r[1], r[2], r[3],
                        static_cast<unsigned long>(w + 2), static_cast<unsigned long>(w + 1));
}
