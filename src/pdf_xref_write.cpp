// SPDX-License-Identifier: Apache-2.0
// The cross-reference section of an incremental update (ISO 32000-1, 7.5.4 and 7.5.8).
#include "pdf_xref.h"

#include "pdf_error.h"
#include "pdf_internal.h"
#include "pdf_mem.h"

#include <cstring>

#define KV_UNIT "../src/pdf_xref.cpp"

namespace kvpdf {
namespace {

// The source's /Info, when the file holds it: a trailer naming a missing object would
// make readers doubt the whole new section.
uint32_t InfoObject(const ParsedDocument &p) {
    if (p.info_obj <= 0) return 0;
    const auto n = static_cast<uint32_t>(p.info_obj);
    const bool held = n < p.object_offsets_count &&
                      (p.object_offsets[n] != kNoOffset || p.object_streams[n] != 0);
    return held ? n : 0;
}

int ClassicSection(UpdateWriter &w, int32_t *err, uint32_t new_size) {
    const UpdateInProgress &u = w.update;
    if (!AppendText(w, err, "xref\n")) return 0;
    for (uint32_t i = 0; i < u.updated_objects.count; ++i) {
        const UpdatedObject &o = u.updated_objects.items[i];
        if (!AppendFormat(w, err, "%lu 1\n", static_cast<unsigned long>(o.number)) ||
            !AppendFormat(w, err, "%.10ld 00000 n \n", static_cast<long>(o.offset)))
            return 0;
    }
    for (uint32_t i = 0; i < u.new_object_count; ++i) {
        const NewObjectEntry &e = u.new_objects[i];
        if (!AppendFormat(w, err, "%lu %lu\n", static_cast<unsigned long>(e.number), 1ul) ||
            !AppendFormat(w, err, "%.10ld 00000 n \n", static_cast<long>(e.offset)))
            return 0;
    }
    const ParsedDocument &p = w.parsed;
    if (!AppendText(w, err, "trailer\r<<\n") ||
        !AppendFormat(w, err, "/Size %lu\n", static_cast<unsigned long>(new_size)) ||
        !AppendFormat(w, err, "/Root %lu 0 R\n", static_cast<unsigned long>(p.root_obj)))
        return 0;
    const uint32_t info = InfoObject(p);
    if (info != 0 && !AppendFormat(w, err, "/Info %lu 0 R\n", static_cast<unsigned long>(info)))
        return 0;
    return AppendFormat(w, err, "/Prev %lu\n>>\n", static_cast<unsigned long>(p.xref_position));
}

int StreamSection(UpdateWriter &w, int32_t *err, uint32_t new_size) {
    const UpdateInProgress &u = w.update;
    const ParsedDocument &p = w.parsed;
    const int width = PdfValueWidth(u.xref_start);
    if (!BeginObject(w, u.plan.xref_stream_obj, err)) return 0;
    const uint32_t entries = u.updated_objects.count + u.new_object_count;
    const uint32_t row = 1 + static_cast<uint32_t>(width) + 2;
    TrackedPtr<uint8_t> table(
        static_cast<uint8_t *>(TrackedAlloc(KV_UNIT, __LINE__, size_t{entries} * row + 1)));
    if (!table) return KV_WRITE_FAIL(w, err, KVPDF_ERR_BUFFER);
    uint32_t position = 0;
    const bool packed = p.xref_is_stream && !u.updated_objects_plain;
    for (uint32_t i = 0; i < u.updated_objects.count; ++i) {
        if (packed)
            PdfPutXrefStreamEntry(2, width, table.get(), &position, u.plan.objstm_obj, i);
        else
            PdfPutXrefStreamEntry(1, width, table.get(), &position,
                                  u.updated_objects.items[i].offset, 0);
    }
    for (uint32_t i = 0; i < u.new_object_count; ++i)
        PdfPutXrefStreamEntry(1, width, table.get(), &position, u.new_objects[i].offset, 0);
    uint8_t *compressed_raw = nullptr;
    int64_t length = PdfDeflateBlock(table.get(), position, &compressed_raw);
    TrackedPtr<uint8_t> compressed(compressed_raw);
    if (length < 0) return KV_WRITE_FAIL(w, err, static_cast<int32_t>(length));
    const uint32_t info = InfoObject(p);
    int ok = info != 0
                 ? AppendFormat(w, err, "<</Length %d /Root %lu 0 R /Info %lu 0 R /Prev %lu /W [1 ",
                                static_cast<int>(length), static_cast<unsigned long>(p.root_obj),
                                static_cast<unsigned long>(info),
                                static_cast<unsigned long>(p.xref_position))
                 : AppendFormat(w, err, "<</Length %d /Root %lu 0 R /Prev %lu /W [1 ",
                                static_cast<int>(length), static_cast<unsigned long>(p.root_obj),
                                static_cast<unsigned long>(p.xref_position));
    if (!ok ||
        !AppendFormat(w, err, "%lu 2] /Type/XRef /Size %lu /Index [",
                      static_cast<unsigned long>(width), static_cast<unsigned long>(new_size) + 1))
        return 0;
    for (uint32_t i = 0; i < u.updated_objects.count; ++i)
        if (!AppendFormat(w, err, "%lu 1\r\n",
                          static_cast<unsigned long>(u.updated_objects.items[i].number)))
            return 0;
    for (uint32_t i = 0; i < u.new_object_count; ++i)
        if (!AppendFormat(w, err, "%lu 1\r\n", static_cast<unsigned long>(u.new_objects[i].number)))
            return 0;
    return AppendText(w, err, "] /Filter/FlateDecode >>stream\r\n") &&
           AppendBytes(w, err, static_cast<uint32_t>(length), compressed.get()) &&
           EndStreamObject(w, err);
}

} // namespace

int WriteUpdateXref(UpdateWriter &w, int32_t *err) {
    w.update.xref_start = UpdateOffset(w.update);
    const uint32_t new_size =
        static_cast<uint32_t>(w.parsed.trailer_size) + w.update.new_object_count;
    int ok = w.parsed.xref_is_stream ? StreamSection(w, err, new_size)
                                     : ClassicSection(w, err, new_size);
    return ok && AppendText(w, err, "startxref\n") &&
           AppendFormat(w, err, "%lu\n", static_cast<unsigned long>(w.update.xref_start));
}

} // namespace kvpdf
