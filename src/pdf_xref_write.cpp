// The cross-reference section of an incremental update (ISO 32000-1, 7.5.4 and 7.5.8).
#include "pdf_xref.h"

#include "pdf_error.h"
#include "pdf_internal.h"
#include "pdf_mem.h"

#include <cstring>

#define KV_UNIT "../src/pdf_xref.cpp"

using kvpdf::TrackedPtr;

namespace {

int ClassicSection(PdfDocument *doc, int32_t *err, uint32_t new_size) {
    if (!AppendText(doc, err, "xref\n")) return 0;
    for (uint32_t i = 0; i < doc->updated_object_count; ++i) {
        const UpdatedObject &u = doc->updated_objects[i];
        if (!AppendFormat(doc, err, "%lu 1\n", static_cast<unsigned long>(u.number)) ||
            !AppendFormat(doc, err, "%.10ld 00000 n \n", static_cast<long>(u.offset)))
            return 0;
    }
    for (uint32_t i = 0; i < doc->new_object_count; ++i) {
        const NewObjectEntry &e = doc->new_objects[i];
        if (!AppendFormat(doc, err, "%lu %lu\n", static_cast<unsigned long>(e.number), 1ul) ||
            !AppendFormat(doc, err, "%.10ld 00000 n \n", static_cast<long>(e.offset)))
            return 0;
    }
    if (!AppendText(doc, err, "trailer\r<<\n") ||
        !AppendFormat(doc, err, "/Size %lu\n", static_cast<unsigned long>(new_size)) ||
        !AppendFormat(doc, err, "/Root %lu 0 R\n", static_cast<unsigned long>(doc->root_obj)))
        return 0;
    if (doc->info_obj != 0 &&
        !AppendFormat(doc, err, "/Info %lu 0 R\n", static_cast<unsigned long>(doc->info_obj)))
        return 0;
    return AppendFormat(doc, err, "/Prev %lu\n>>\n",
                        static_cast<unsigned long>(doc->xref_position));
}

int StreamSection(PdfDocument *doc, int32_t *err, uint32_t new_size) {
    const int w = PdfValueWidth(doc->xref_start);
    if (!BeginObject(doc, 0, err, nullptr)) return 0;
    const uint32_t entries = doc->updated_object_count + doc->new_object_count;
    const uint32_t row = 1 + static_cast<uint32_t>(w) + 2;
    TrackedPtr<uint8_t> table(
        static_cast<uint8_t *>(TrackedAlloc(KV_UNIT, __LINE__, size_t{entries} * row + 1)));
    if (!table) {
        KV_ERROR(doc, KVPDF_ERR_BUFFER);
        *err = KVPDF_ERR_BUFFER;
        return 0;
    }
    uint32_t position = 0;
    const bool packed = doc->xref_is_stream && !doc->updated_objects_plain;
    for (uint32_t i = 0; i < doc->updated_object_count; ++i) {
        if (packed)
            PdfPutXrefStreamEntry(2, w, table.get(), &position, doc->objstm_obj, i);
        else
            PdfPutXrefStreamEntry(1, w, table.get(), &position, doc->updated_objects[i].offset, 0);
    }
    for (uint32_t i = 0; i < doc->new_object_count; ++i)
        PdfPutXrefStreamEntry(1, w, table.get(), &position, doc->new_objects[i].offset, 0);
    uint8_t *compressed_raw = nullptr;
    int64_t length = PdfDeflateBlock(table.get(), position, &compressed_raw);
    TrackedPtr<uint8_t> compressed(compressed_raw);
    if (length < 0) {
        KV_ERROR(doc, static_cast<int32_t>(length));
        *err = static_cast<int32_t>(length);
        return 0;
    }
    int ok =
        doc->info_obj != 0
            ? AppendFormat(doc, err, "<</Length %d /Root %lu 0 R /Info %lu 0 R /Prev %lu /W [1 ",
                           static_cast<int>(length), static_cast<unsigned long>(doc->root_obj),
                           static_cast<unsigned long>(doc->info_obj),
                           static_cast<unsigned long>(doc->xref_position))
            : AppendFormat(doc, err, "<</Length %d /Root %lu 0 R /Prev %lu /W [1 ",
                           static_cast<int>(length), static_cast<unsigned long>(doc->root_obj),
                           static_cast<unsigned long>(doc->xref_position));
    if (!ok ||
        !AppendFormat(doc, err, "%lu 2] /Type/XRef /Size %lu /Index [",
                      static_cast<unsigned long>(w), static_cast<unsigned long>(new_size + 1)))
        return 0;
    for (uint32_t i = 0; i < doc->updated_object_count; ++i)
        if (!AppendFormat(doc, err, "%lu 1\r\n",
                          static_cast<unsigned long>(doc->updated_objects[i].number)))
            return 0;
    for (uint32_t i = 0; i < doc->new_object_count; ++i)
        if (!AppendFormat(doc, err, "%lu 1\r\n",
                          static_cast<unsigned long>(doc->new_objects[i].number)))
            return 0;
    return AppendText(doc, err, "] /Filter/FlateDecode >>stream\r\n") &&
           AppendBytes(doc, err, static_cast<uint32_t>(length), compressed.get()) &&
           EndStreamObject(doc, err);
}

} // namespace

int WriteUpdateXref(PdfDocument *doc, int32_t *err) {
    doc->xref_start = UpdateOffset(doc);
    const uint32_t new_size = static_cast<uint32_t>(doc->trailer_size) + doc->new_object_count;
    int ok = doc->xref_is_stream ? StreamSection(doc, err, new_size)
                                 : ClassicSection(doc, err, new_size);
    return ok && AppendText(doc, err, "startxref\n") &&
           AppendFormat(doc, err, "%lu\n", static_cast<unsigned long>(doc->xref_start));
}
