// The incremental update writer: object numbers, object framing, re-written objects
// (plain or packed in an object stream) and the deflate routine.
#include "pdf_internal.h"

#include "pdf_error.h"
#include "pdf_mem.h"
#include "pdf_utils.h"

#include <cstdarg>
#include <cstring>
#include <strings.h>
#include <zlib.h>

#define KV_UNIT "../src/pdf_internal.cpp"

using kvpdf::TrackedPtr;

namespace {

int AppendFailed(PdfDocument *doc, int32_t *err) {
    KV_ERROR(doc, KVPDF_ERR_BUFFER);
    if (err) *err = KVPDF_ERR_BUFFER;
    return 0;
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

} // namespace

void BeginUpdate(PdfDocument *doc) {
    doc->new_object_count = 0;
    doc->last_object_number = static_cast<uint32_t>(doc->trailer_size - 1);
    doc->contents_end = doc->source_length;
    if (doc->out_buffer) {
        void *p = doc->out_buffer;
        TrackedFree(&p);
        doc->out_buffer = nullptr;
    }
}

uint32_t UpdateLength(const PdfDocument *doc) {
    return BufferLength(&doc->out_buffer);
}

uint32_t UpdateOffset(const PdfDocument *doc) {
    return doc->contents_end + UpdateLength(doc);
}

uint32_t AllocateObjectNumber(PdfDocument *doc, int record) {
    if (!TrackedReallocT(KV_UNIT, __LINE__, doc->new_objects, doc->new_object_count + 1)) return 0;
    uint32_t number = ++doc->last_object_number;
    NewObjectEntry &e = doc->new_objects[doc->new_object_count++];
    e.number = number;
    e.offset = record ? UpdateOffset(doc) : 0;
    return number;
}

static uint32_t BeginWith(PdfDocument *doc, uint32_t number, int32_t *err, uint32_t *out_offset,
                          const char *format) {
    uint32_t offset = UpdateOffset(doc);
    if (number == 0) {
        number = AllocateObjectNumber(doc, 1);
        if (number == 0) return AppendFailed(doc, err);
    }
    if (out_offset) *out_offset = offset;
    if (!BufferAppendf(KV_UNIT, __LINE__, &doc->out_buffer, 0, format,
                       static_cast<unsigned long>(number)))
        return AppendFailed(doc, err);
    return number;
}

uint32_t BeginObject(PdfDocument *doc, uint32_t number, int32_t *err, uint32_t *out_offset) {
    return BeginWith(doc, number, err, out_offset, "%lu 0 obj\n");
}

uint32_t BeginDictObject(PdfDocument *doc, uint32_t number, int32_t *err, uint32_t *out_offset) {
    return BeginWith(doc, number, err, out_offset, "%lu 0 obj\n<<");
}

int AppendText(PdfDocument *doc, int32_t *err, const char *text) {
    return AppendBytes(doc, err, static_cast<uint32_t>(strlen(text)), text);
}

int AppendFormat(PdfDocument *doc, int32_t *err, const char *format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n < 0) {
        va_end(args);
        return AppendFailed(doc, err);
    }
    TrackedPtr<char> text(static_cast<char *>(TrackedAlloc(KV_UNIT, __LINE__, size_t(n) + 1)));
    if (!text) {
        va_end(args);
        return AppendFailed(doc, err);
    }
    vsnprintf(text.get(), size_t(n) + 1, format, args);
    va_end(args);
    return AppendBytes(doc, err, static_cast<uint32_t>(n), text.get());
}

int AppendBytes(PdfDocument *doc, int32_t *err, uint32_t length, const void *bytes) {
    if (!BufferAppendBytes(KV_UNIT, __LINE__, &doc->out_buffer, length, bytes))
        return AppendFailed(doc, err);
    return 1;
}

int EndObject(PdfDocument *doc, int32_t *err) {
    return AppendText(doc, err, "\nendobj\n\n");
}

int EndDictObject(PdfDocument *doc, int32_t *err) {
    return AppendText(doc, err, ">>\nendobj\n\n");
}

int EndStreamObject(PdfDocument *doc, int32_t *err) {
    return AppendText(doc, err, "\nendstream\nendobj\n\n");
}

int AddUpdatedObject(PdfDocument *doc, char *text, uint32_t number, uint32_t length) {
    if (!TrackedReallocT(KV_UNIT, __LINE__, doc->updated_objects, doc->updated_object_count + 1)) {
        TrackedFreeT(text);
        return 0;
    }
    UpdatedObject &u = doc->updated_objects[doc->updated_object_count++];
    u.number = number;
    u.offset = 0;
    u.text = text;
    u.length = length;
    return 1;
}

void SetUpdatedOffset(PdfDocument *doc, uint32_t index, uint32_t value) {
    if (index < doc->updated_object_count) doc->updated_objects[index].offset = value;
}

int SetUpdatedOffsetByNumber(PdfDocument *doc, uint32_t number, uint32_t value) {
    for (uint32_t i = 0; i < doc->updated_object_count; ++i) {
        if (doc->updated_objects[i].number == number) {
            doc->updated_objects[i].offset = value;
            return 1;
        }
    }
    return 0;
}

void SortUpdatedObjects(PdfDocument *doc) {
    // A handful of entries: insertion order is kept for equal numbers.
    UpdatedObject *u = doc->updated_objects;
    for (uint32_t i = 1; i < doc->updated_object_count; ++i) {
        UpdatedObject key = u[i];
        uint32_t j = i;
        while (j > 0 && u[j - 1].number > key.number) {
            u[j] = u[j - 1];
            --j;
        }
        u[j] = key;
    }
}

int WriteUpdatedObjects(PdfDocument *doc, int32_t *err) {
    for (uint32_t i = 0; i < doc->updated_object_count; ++i) {
        UpdatedObject &u = doc->updated_objects[i];
        if (!u.text) continue; // written in place already (registered without a text)
        u.offset = UpdateOffset(doc);
        uint32_t n = u.length ? u.length : static_cast<uint32_t>(strlen(u.text));
        if (!AppendBytes(doc, err, n, u.text) || !AppendText(doc, err, "\n\n")) return 0;
    }
    return 1;
}

int WriteObjectStream(PdfDocument *doc, int32_t *err) {
    uint32_t number = BeginObject(doc, 0, err, nullptr);
    if (!number) return 0;
    doc->objstm_obj = number;
    char *index = nullptr;
    uint32_t total = 0;
    for (uint32_t i = 0; i < doc->updated_object_count; ++i) {
        UpdatedObject &u = doc->updated_objects[i];
        const char *body;
        uint32_t length;
        ObjectBody(u, &body, &length);
        u.offset = length;
        bool last = i + 1 == doc->updated_object_count;
        if (!BufferAppendf(KV_UNIT, __LINE__, &index, 0, last ? "%lu %lu" : "%lu %lu ",
                           static_cast<unsigned long>(u.number),
                           static_cast<unsigned long>(total))) {
            return AppendFailed(doc, err);
        }
        total += length;
    }
    TrackedPtr<char> index_text(index);
    uint32_t first = BufferLength(&index);
    char *data = nullptr;
    if (!BufferAppendBytes(KV_UNIT, __LINE__, &data, first, index_text.get()))
        return AppendFailed(doc, err);
    TrackedPtr<char> stream(data);
    for (uint32_t i = 0; i < doc->updated_object_count; ++i) {
        const char *body;
        uint32_t length;
        ObjectBody(doc->updated_objects[i], &body, &length);
        if (!BufferAppendBytes(KV_UNIT, __LINE__, &stream.ref(), length, body))
            return AppendFailed(doc, err);
    }
    uint8_t *packed = nullptr;
    int64_t packed_length = PdfDeflateBlock(reinterpret_cast<const uint8_t *>(stream.get()),
                                            BufferLength(&stream.ref()), &packed);
    TrackedPtr<uint8_t> compressed(packed);
    if (packed_length < 0) {
        KV_ERROR(doc, static_cast<int32_t>(packed_length));
        if (err) *err = static_cast<int32_t>(packed_length);
        return 0;
    }
    return AppendFormat(doc, err, "<</Type/ObjStm/N %lu /Length %lu /First %lu ",
                        static_cast<unsigned long>(doc->updated_object_count),
                        static_cast<unsigned long>(packed_length),
                        static_cast<unsigned long>(first)) &&
           AppendText(doc, err, "/Filter/FlateDecode >>stream\r\n") &&
           AppendBytes(doc, err, static_cast<uint32_t>(packed_length), compressed.get()) &&
           EndStreamObject(doc, err);
}

void FinishUpdate(PdfDocument *doc) {
    for (uint32_t i = 0; doc->updated_objects && i < doc->updated_object_count; ++i)
        TrackedFreeT(doc->updated_objects[i].text);
    TrackedFreeT(doc->updated_objects);
    doc->updated_object_count = 0;
    // The rewritten texts were handed to the updated-object list, which owned them.
    doc->new_root_text = doc->new_page_text = doc->new_annots_text = nullptr;
    doc->new_acroform_text = doc->new_fields_text = nullptr;
    doc->new_root_length = 0;
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
