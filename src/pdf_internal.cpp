// SPDX-License-Identifier: Apache-2.0
// The incremental update writer: the numbering plan, object framing, re-written objects
// (plain or packed in an object stream) and the deflate routine.
#include "pdf_internal.h"

#include "pdf_error.h"
#include "pdf_mem.h"
#include "pdf_utils.h"

#include "kvsxades.h"

#include <cassert>
#include <cstdarg>
#include <cstring>
#include <strings.h>
#include <zlib.h>

#define KV_UNIT "../src/pdf_internal.cpp"

namespace kvpdf {
namespace {

int AppendFailed(UpdateWriter &w, int32_t *err) {
    return KV_WRITE_FAIL(w, err, KVPDF_ERR_BUFFER);
}

// The body of a re-written object: its text without "n 0 obj" and "endobj".
void ObjectBody(const UpdatedObject &u, const char **body, uint32_t *length) {
    const char *text = u.text;
    size_t n = u.length ? u.length : strlen(text);
    int is_ref = 0;
    size_t start = PdfSkipObjectHeader(text, n, 0, &is_ref);
    if (!is_ref) start = 0;
    size_t end = n;
    if (end >= start + 6 && strncasecmp(text + end - 6, "endobj", 6) == 0) end -= 6;
    *body = text + start;
    *length = static_cast<uint32_t>(end - start);
}

uint32_t BeginWith(UpdateWriter &w, uint32_t planned, int32_t *err, const char *format) {
    uint32_t number = AllocateObjectNumber(w, planned);
    if (number == 0) return AppendFailed(w, err);
    if (!BufferAppendf(KV_UNIT, __LINE__, &w.update.out_buffer, 0, format,
                       static_cast<unsigned long>(number)))
        return AppendFailed(w, err);
    return number;
}

} // namespace

int WriterFailed(ErrorRing *ring, int32_t *err, int32_t code, const char *unit, int line) {
    PushError(ring, code, unit, line);
    if (err) *err = code;
    return 0;
}

SignatureLayout LayoutOf(const HostSettings &settings, const LogoImage *logo, int32_t mode) {
    // A .sigappx image is drawn only for a visible flag of exactly 1; any other non-zero
    // value (a VB host's True is -1) gets the plain widget, as in the standard layouts.
    if (PdfNeedsLogoObjects(&settings, logo))
        return settings.visible_signature == 1 ? SignatureLayout::kSigAppx
                                               : SignatureLayout::kPlain;
    if (mode == kModeSign && settings.visible_signature == 1)
        return SignatureLayout::kStandardVisible;
    return SignatureLayout::kPlain;
}

UpdatePlan PlanSignatureUpdate(const ParsedDocument &parsed, const HostSettings &settings,
                               const LogoImage *logo, int32_t mode) {
    UpdatePlan plan{};
    uint32_t next = static_cast<uint32_t>(parsed.trailer_size);
    auto take = [&next] { return next++; };
    plan.field_name = settings.field_name && settings.field_name[0] ? settings.field_name : nullptr;
    plan.sign_existing_field = settings.sign_existing_field;
    plan.page_number = settings.page_number;
    plan.certify_level = mode == kModeSign ? settings.certify_level : 0;
    plan.layout = LayoutOf(settings, logo, mode);
    plan.sig_dict_obj = take();
    if (parsed.filled_field) {
        // An existing field takes the signature: its widgets stay as they are.
        plan.layout = SignatureLayout::kPlain;
        if (parsed.xref_is_stream) {
            plan.objstm_obj = take();
            plan.xref_stream_obj = take();
        }
        return plan;
    }
    switch (plan.layout) {
    case SignatureLayout::kSigAppx:
        plan.image_obj = take();
        plan.n2_obj = take(); // the background form
        plan.n0_obj = take();
        plan.frm_obj = take();
        plan.appearance_obj = take();
        plan.sig_field_obj = take(); // written last
        break;
    case SignatureLayout::kStandardVisible:
        plan.image_obj = take();
        plan.sig_field_obj = take();
        plan.appearance_obj = take();
        plan.frm_obj = take();
        plan.n0_obj = take();
        plan.empty_obj = take();
        plan.n2_obj = take();
        break;
    case SignatureLayout::kPlain:
        plan.sig_field_obj = take();
        break;
    }
    // The .sigappx layouts carry no note, so the page must not name one.
    if (settings.kontir_text && !PdfNeedsLogoObjects(&settings, logo)) {
        plan.kontir_annot_obj = take();
        plan.kontir_popup_obj = take();
        plan.kontir_icon_obj = take();
    }
    if (parsed.xref_is_stream) {
        plan.objstm_obj = take();
        plan.xref_stream_obj = take();
    }
    return plan;
}

void BeginUpdate(UpdateWriter &w) {
    UpdateInProgress &u = w.update;
    TrackedFreeT(u.new_objects);
    u.new_object_count = 0;
    u.last_object_number = static_cast<uint32_t>(w.parsed.trailer_size - 1);
    u.contents_end = w.parsed.source_length;
    TrackedFreeT(u.out_buffer);
}

uint32_t UpdateLength(const UpdateInProgress &u) {
    return BufferLength(&u.out_buffer);
}

uint32_t UpdateOffset(const UpdateInProgress &u) {
    return u.contents_end + UpdateLength(u);
}

uint32_t AllocateObjectNumber(UpdateWriter &w, uint32_t planned) {
    UpdateInProgress &u = w.update;
    if (!TrackedReallocT(KV_UNIT, __LINE__, u.new_objects, u.new_object_count + 1)) return 0;
    uint32_t number = ++u.last_object_number;
    assert(number == planned && "a writer left the update's numbering plan");
    (void)planned;
    NewObjectEntry &e = u.new_objects[u.new_object_count++];
    e.number = number;
    e.offset = UpdateOffset(u);
    return number;
}

uint32_t BeginObject(UpdateWriter &w, uint32_t planned, int32_t *err) {
    return BeginWith(w, planned, err, "%lu 0 obj\n");
}

uint32_t BeginDictObject(UpdateWriter &w, uint32_t planned, int32_t *err) {
    return BeginWith(w, planned, err, "%lu 0 obj\n<<");
}

int AppendText(UpdateWriter &w, int32_t *err, const char *text) {
    return AppendBytes(w, err, static_cast<uint32_t>(strlen(text)), text);
}

int AppendFormat(UpdateWriter &w, int32_t *err, const char *format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n < 0) {
        va_end(args);
        return AppendFailed(w, err);
    }
    TrackedPtr<char> text(static_cast<char *>(TrackedAlloc(KV_UNIT, __LINE__, size_t(n) + 1)));
    if (!text) {
        va_end(args);
        return AppendFailed(w, err);
    }
    vsnprintf(text.get(), size_t(n) + 1, format, args);
    va_end(args);
    return AppendBytes(w, err, static_cast<uint32_t>(n), text.get());
}

int AppendBytes(UpdateWriter &w, int32_t *err, uint32_t length, const void *bytes) {
    if (!BufferAppendBytes(KV_UNIT, __LINE__, &w.update.out_buffer, length, bytes))
        return AppendFailed(w, err);
    return 1;
}

int AppendDeflatedStream(UpdateWriter &w, int32_t *err, const uint8_t *data, uint32_t length) {
    // The compressed bytes go behind room for the longest header, which then moves up to
    // them once their length is known: one copy of the data in memory, not two.
    constexpr size_t kSlot = 32;
    const uLong bound = compressBound(length);
    char *at = BufferReserve(KV_UNIT, __LINE__, &w.update.out_buffer, kSlot + bound);
    if (!at) return AppendFailed(w, err);
    const int64_t n = PdfDeflate(data, length, reinterpret_cast<uint8_t *>(at + kSlot),
                                 static_cast<uint32_t>(bound));
    if (n < 0) return KV_WRITE_FAIL(w, err, static_cast<int32_t>(n));
    char header[kSlot];
    const int h =
        snprintf(header, sizeof header, "/Length %lu >>stream\r\n", static_cast<unsigned long>(n));
    memmove(at + h, at + kSlot, static_cast<size_t>(n));
    memcpy(at, header, static_cast<size_t>(h));
    BufferCommit(&w.update.out_buffer, static_cast<size_t>(h + n));
    return 1;
}

int EndObject(UpdateWriter &w, int32_t *err) {
    return AppendText(w, err, "\nendobj\n\n");
}

int EndDictObject(UpdateWriter &w, int32_t *err) {
    return AppendText(w, err, ">>\nendobj\n\n");
}

int EndStreamObject(UpdateWriter &w, int32_t *err) {
    return AppendText(w, err, "\nendstream\nendobj\n\n");
}

int AddUpdatedObject(UpdatedObjectList *list, char *text, uint32_t number, uint32_t length) {
    if (!TrackedReallocT(KV_UNIT, __LINE__, list->items, list->count + 1)) {
        TrackedFreeT(text);
        return 0;
    }
    UpdatedObject &u = list->items[list->count++];
    u.number = number;
    u.offset = 0;
    u.text = text;
    u.length = length;
    return 1;
}

int32_t AddRewrittenObject(UpdateWriter &w, uint32_t number, char *text, uint32_t length,
                           int32_t stage) {
    TrackedPtr<char> body(text);
    const size_t at = PdfSkipSpace(text, length, 0);
    const bool header = at < length && PdfIsDigit(text[at]);
    char *whole = nullptr;
    if (header) {
        whole = body.release();
    } else if (!BufferAppendf(KV_UNIT, __LINE__, &whole, 0, "%lu 0 obj\n",
                              static_cast<unsigned long>(number)) ||
               !BufferAppendBytes(KV_UNIT, __LINE__, &whole, length, text) ||
               !BufferAppendf(KV_UNIT, __LINE__, &whole, 0, "\nendobj")) {
        TrackedFreeT(whole);
        return KV_FAIL(w, KVPDF_ERR_BUFFER, stage);
    }
    const uint32_t whole_length = header ? length : BufferLength(&whole);
    const int64_t broken = PdfSyntaxError(whole, whole_length);
    if (broken >= 0) {
        TrackedFreeT(whole);
        char what[32];
        snprintf(what, sizeof what, "Object %lu", static_cast<unsigned long>(number));
        KV_ERROR(w, KVPDF_ERR_OBJECT_SYNTAX, what, static_cast<unsigned long>(broken));
        return KVPDF_ERR_OBJECT_SYNTAX;
    }
    if (!AddUpdatedObject(&w.update.updated_objects, whole, number, whole_length))
        return KV_FAIL(w, KVPDF_ERR_BUFFER, stage);
    return 1;
}

int32_t AppendUpdateToTarget(UpdateWriter &w, FILE *f) {
    if (w.files.seek(f, 0, 2) != 0 || w.files.tell(f) != int64_t{w.parsed.source_length}) {
        KV_ERROR(w, KVPDF_ERR_SEEK_END);
        KV_ERROR(w, KVPDF_ERR_FINDXREF);
        return KVPDF_ERR_SEEK_END;
    }
    const uint32_t n = BufferLength(&w.update.out_buffer);
    if (w.files.write(w.update.out_buffer, 1, n, f) != n || w.files.flush(f) != 0) {
        KV_ERROR(w, KVPDF_ERR_POSITION);
        return KVPDF_ERR_POSITION;
    }
    return 1;
}

void SortUpdatedObjects(UpdatedObjectList *list) {
    // A handful of entries: insertion order is kept for equal numbers.
    UpdatedObject *u = list->items;
    for (uint32_t i = 1; i < list->count; ++i) {
        UpdatedObject key = u[i];
        uint32_t j = i;
        while (j > 0 && u[j - 1].number > key.number) {
            u[j] = u[j - 1];
            --j;
        }
        u[j] = key;
    }
}

int WriteUpdatedObjects(UpdateWriter &w, int32_t *err) {
    UpdatedObjectList &list = w.update.updated_objects;
    for (uint32_t i = 0; i < list.count; ++i) {
        UpdatedObject &u = list.items[i];
        if (!u.text) continue; // written in place already (registered without a text)
        u.offset = UpdateOffset(w.update);
        uint32_t n = u.length ? u.length : static_cast<uint32_t>(strlen(u.text));
        if (!AppendBytes(w, err, n, u.text) || !AppendText(w, err, "\n\n")) return 0;
    }
    return 1;
}

int WriteObjectStream(UpdateWriter &w, int32_t *err) {
    if (!BeginObject(w, w.update.plan.objstm_obj, err)) return 0;
    UpdatedObjectList &list = w.update.updated_objects;
    char *index = nullptr;
    uint32_t total = 0;
    for (uint32_t i = 0; i < list.count; ++i) {
        UpdatedObject &u = list.items[i];
        const char *body;
        uint32_t length;
        ObjectBody(u, &body, &length);
        u.offset = length;
        bool last = i + 1 == list.count;
        if (!BufferAppendf(KV_UNIT, __LINE__, &index, 0, last ? "%lu %lu" : "%lu %lu ",
                           static_cast<unsigned long>(u.number), static_cast<unsigned long>(total)))
            return AppendFailed(w, err);
        total += length;
    }
    TrackedPtr<char> index_text(index);
    uint32_t first = BufferLength(&index);
    char *data = nullptr;
    if (!BufferAppendBytes(KV_UNIT, __LINE__, &data, first, index_text.get()))
        return AppendFailed(w, err);
    TrackedPtr<char> stream(data);
    for (uint32_t i = 0; i < list.count; ++i) {
        const char *body;
        uint32_t length;
        ObjectBody(list.items[i], &body, &length);
        if (!BufferAppendBytes(KV_UNIT, __LINE__, &stream.ref(), length, body))
            return AppendFailed(w, err);
    }
    uint8_t *packed = nullptr;
    int64_t packed_length = PdfDeflateBlock(reinterpret_cast<const uint8_t *>(stream.get()),
                                            BufferLength(&stream.ref()), &packed);
    TrackedPtr<uint8_t> compressed(packed);
    if (packed_length < 0) return KV_WRITE_FAIL(w, err, static_cast<int32_t>(packed_length));
    return AppendFormat(w, err, "<</Type/ObjStm/N %lu /Length %lu /First %lu ",
                        static_cast<unsigned long>(list.count),
                        static_cast<unsigned long>(packed_length),
                        static_cast<unsigned long>(first)) &&
           AppendText(w, err, "/Filter/FlateDecode >>stream\r\n") &&
           AppendBytes(w, err, static_cast<uint32_t>(packed_length), compressed.get()) &&
           EndStreamObject(w, err);
}

void FinishUpdate(UpdateInProgress *u) {
    UpdatedObjectList &list = u->updated_objects;
    for (uint32_t i = 0; list.items && i < list.count; ++i)
        TrackedFreeT(list.items[i].text);
    TrackedFreeT(list.items);
    list.count = 0;
}

void InitUpdate(UpdateInProgress *update) {
    memset(update, 0, sizeof *update);
}

void ReleaseUpdate(UpdateInProgress *update) {
    FinishUpdate(update);
    TrackedFreeT(update->new_objects);
    TrackedFreeT(update->out_buffer);
    TrackedFreeT(update->head_text);
    kvsx_digest_free(update->copy_digest);
    InitUpdate(update);
}

int64_t PdfDeflate(const uint8_t *input, uint32_t length, uint8_t *output, uint32_t capacity) {
    z_stream zs;
    memset(&zs, 0, sizeof zs);
    if (deflateInit(&zs, 1) != Z_OK) return KVPDF_ERR_ZLIB_DEFLATE;
    zs.next_in = const_cast<Bytef *>(input);
    zs.avail_in = length;
    zs.next_out = output;
    zs.avail_out = capacity;
    if (deflate(&zs, Z_NO_FLUSH) == Z_STREAM_ERROR || zs.avail_in != 0) {
        deflateEnd(&zs);
        return KVPDF_ERR_ZLIB_DEFLATE;
    }
    if (deflate(&zs, Z_FINISH) != Z_STREAM_END) {
        deflateEnd(&zs);
        return KVPDF_ERR_ZLIB_DEFLATEEND;
    }
    int64_t produced = static_cast<int64_t>(zs.total_out);
    deflateEnd(&zs);
    return produced;
}

int64_t PdfDeflateBlock(const uint8_t *input, uint32_t length, uint8_t **out) {
    *out = nullptr;
    uLong bound = compressBound(length);
    auto *buffer = static_cast<uint8_t *>(TrackedAlloc(KV_UNIT, __LINE__, bound));
    if (!buffer) return KVPDF_ERR_ZLIB_DEFLATE;
    int64_t n = PdfDeflate(input, length, buffer, static_cast<uint32_t>(bound));
    if (n < 0) {
        TrackedFreeT(buffer);
        return n;
    }
    *out = buffer;
    return n;
}

} // namespace kvpdf
