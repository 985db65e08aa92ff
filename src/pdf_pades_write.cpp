// SPDX-License-Identifier: Apache-2.0
// The incremental update that carries the Document Security Store: its streams, arrays
// and dictionary, and the catalog that names it.
#include "pdf_document.h"
#include "pdf_error.h"
#include "pdf_internal.h"
#include "pdf_mem.h"
#include "pdf_pades.h"
#include "pdf_utils.h"
#include "pdf_xref.h"

#include <cstring>

#define KV_UNIT "../src/pdf_pades.cpp"

namespace kvpdf {
namespace {

const char *const kArrayKeys[3] = {"/Certs", "/CRLs", "/OCSPs"};

// Opens an object: a new one takes the next number; an existing one is written again
// under its own number and listed as its new version.
uint32_t Begin(UpdateWriter &w, uint32_t number, bool dict, int32_t *err) {
    if (number == 0) {
        const uint32_t next = w.update.last_object_number + 1;
        return dict ? BeginDictObject(w, next, err) : BeginObject(w, next, err);
    }
    const uint32_t offset = UpdateOffset(w.update);
    if (!AddUpdatedObject(&w.update.updated_objects, nullptr, number, 0))
        return KV_WRITE_FAIL(w, err, KVPDF_ERR_BUFFER);
    w.update.updated_objects.items[w.update.updated_objects.count - 1].offset = offset;
    if (!AppendFormat(w, err, dict ? "%lu 0 obj\n<<" : "%lu 0 obj\n",
                      static_cast<unsigned long>(number)))
        return 0;
    return number;
}

int WriteEntryStream(UpdateWriter &w, DssEntry &e, int32_t *err) {
    if (!e.data) return KV_WRITE_FAIL(w, err, KVPDF_ERR_DSS);
    const uint32_t number = Begin(w, e.object_number, true, err);
    if (number == 0) return 0;
    e.object_number = number;
    uint8_t *packed_raw = nullptr;
    const int64_t packed = PdfDeflateBlock(e.data, e.length, &packed_raw);
    TrackedPtr<uint8_t> owned(packed_raw);
    // Data that does not compress is still validation data: it goes in as it is.
    const bool deflated = packed >= 0;
    const uint32_t length = deflated ? static_cast<uint32_t>(packed) : e.length;
    return AppendFormat(w, err,
                        deflated ? "/Filter/FlateDecode/Length %lu>>stream\r\n"
                                 : "/Length %lu>>stream\r\n",
                        static_cast<unsigned long>(length)) &&
           AppendBytes(w, err, length, deflated ? owned.get() : e.data) && EndStreamObject(w, err);
}

int AppendRefs(UpdateWriter &w, const DssArray &a, int32_t *err) {
    for (uint32_t i = 0; i < a.count; ++i)
        if (!AppendFormat(w, err, "%lu 0 R ",
                          static_cast<unsigned long>(a.entries[i].object_number)))
            return 0;
    return 1;
}

int WriteArray(UpdateWriter &w, DssInfo *info, DssArray &a, int32_t *err) {
    for (uint32_t i = 0; i < a.count; ++i)
        if (a.entries[i].is_new && !WriteEntryStream(w, a.entries[i], err)) return 0;
    if (a.object_number == 0) return 1; // written inside the dictionary
    if (a.object_number == -1) info->changed = 1;
    const uint32_t number = Begin(w, a.object_number > 0 ? a.object_number : 0, false, err);
    if (number == 0) return 0;
    a.object_number = static_cast<int32_t>(number);
    return AppendText(w, err, "\n [") && AppendRefs(w, a, err) && AppendText(w, err, "]\n") &&
           EndObject(w, err);
}

// The catalog again, naming the DSS and declaring the extension level, when it lacks
// either. A catalog read from an object stream has no header of its own: it gets one.
int32_t RewriteCatalog(PdfDocument *doc, FILE *f, const DssInfo *info) {
    const ParsedDocument &p = doc->parsed;
    char *raw = nullptr;
    uint32_t length = 0;
    const int32_t rc = PdfReadObjectBinary(ReaderOf(doc), f,
                                           static_cast<ObjectSelector>(p.root_obj), &raw, &length);
    TrackedPtr<char> text(raw);
    if (rc < 1 || !raw) return KV_FAIL(doc, KVPDF_ERR_ROOT_END, KVPDF_ERR_STAGE_OBJECTS);
    const int64_t pages = PdfFind(raw, length, "/Pages");
    if (pages < 0) return 1;
    const bool extensions = PdfFind(raw, length, "/Extensions") >= 0;
    const bool dss = PdfFind(raw, length, "/DSS") >= 0;
    // A DSS that was never written has no number to name.
    const bool name_dss = !dss && info->object_number != 0;
    if (extensions && !name_dss) return 1;
    char insert[128];
    int n = 0;
    if (name_dss)
        n = snprintf(insert, sizeof insert, "/DSS %lu 0 R ",
                     static_cast<unsigned long>(info->object_number));
    // A catalog that states its version keeps it: a second /Version key would make the
    // dictionary invalid, and could lower a 2.0 document's.
    const bool version = PdfFind(raw, length, "/Version") >= 0;
    snprintf(insert + n, sizeof insert - static_cast<size_t>(n), "%s%s",
             extensions || version ? "" : " /Version/1.7",
             extensions ? "" : " /Extensions<</ADBE<</BaseVersion/1.7/ExtensionLevel 5>>>>");
    char *rewritten = nullptr;
    uint32_t size = PdfInsertBytes(raw, length, insert, static_cast<uint32_t>(pages), &rewritten);
    if (!size) return KV_FAIL(doc, KVPDF_ERR_BUFFER, KVPDF_ERR_DSS);
    UpdateWriter w = WriterOf(doc, nullptr);
    return AddRewrittenObject(w, static_cast<uint32_t>(p.root_obj), rewritten, size - 1,
                              KVPDF_ERR_DSS);
}

int32_t WriteRevocationRevision(PdfDocument *doc) {
    UpdateWriter w = WriterOf(doc, nullptr);
    BeginUpdate(w);
    UpdateInProgress &u = doc->update;
    // No /Contents gap: the update text follows the source directly.
    u.contents_start = u.contents_end = doc->parsed.source_length;
    u.updated_objects_plain = 1;
    FILE *f = w.files.open(doc->settings.target_path, "a+b");
    if (!f) {
        KV_ERROR(doc, KVPDF_ERR_OPEN_OUTPUT);
        return KVPDF_ERR_OPEN_OUTPUT;
    }
    PdfFile file(w.files, f);
    DssInfo *info = doc->parsed.dss_info;
    int32_t err = 0;
    if (info && !WriteDssObjects(w, info, &err)) return err;
    if (info && doc->parsed.root_obj > 0) {
        const int32_t rc = RewriteCatalog(doc, f, info);
        if (rc < 1) return rc;
    }
    if (u.updated_objects.count == 0 && u.new_object_count == 0) {
        KV_ERROR(doc, KVPDF_ERR_NO_REVOCATION_ADDED);
        return KVPDF_ERR_NO_REVOCATION_ADDED;
    }
    SortUpdatedObjects(&u.updated_objects);
    if (doc->parsed.xref_is_stream) u.plan.xref_stream_obj = u.last_object_number + 1;
    if (!WriteUpdatedObjects(w, &err) || !WriteUpdateXref(w, &err) ||
        !AppendText(w, &err, "%%EOF\r\n"))
        return err;
    int32_t rc = CheckWrittenRevision(w);
    if (rc < 1) return rc;
    rc = AppendUpdateToTarget(w, f);
    if (rc < 1) return rc;
    if (file.close() != 0) {
        KV_ERROR(doc, KVPDF_ERR_POSITION);
        return KVPDF_ERR_POSITION;
    }
    DssMarkWritten(info);
    return 1;
}

} // namespace

int WriteDssObjects(UpdateWriter &w, DssInfo *info, int32_t *err) {
    for (DssArray *a : info->arrays)
        if (a && a->changed && !WriteArray(w, info, *a, err)) return 0;
    if (!info->changed) return 1;
    const uint32_t number = Begin(w, info->object_number, true, err);
    if (number == 0) return 0;
    info->object_number = number;
    for (int k = 0; k < 3; ++k) {
        const DssArray *a = info->arrays[k];
        if (!a) continue;
        if (a->object_number > 0) {
            if (!AppendFormat(w, err, "\n%s %lu 0 R\n", kArrayKeys[k],
                              static_cast<unsigned long>(a->object_number)))
                return 0;
        } else if (!AppendFormat(w, err, "\n %s [", kArrayKeys[k]) || !AppendRefs(w, *a, err) ||
                   !AppendText(w, err, "]\n")) {
            return 0;
        }
    }
    return EndDictObject(w, err);
}

} // namespace kvpdf

using namespace kvpdf;

extern "C" {

KVPDF_API int32_t KVPDF_CALL KvPdfWritePDFWithRevocationInformation(KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    int32_t result = WriteRevocationRevision(doc);
    FinishUpdate(&doc->update);
    if (doc->parsed.xref_is_stream == 1 && doc->parsed.used_compressed_objects) {
        KV_ERROR(doc, KVPDF_WARN_COMPRESSED_FEATURES);
        if (result > 0) result = KVPDF_WARN_COMPRESSED_FEATURES;
    }
    result = ApplyVersionRule(doc, result);
    return result > 0 ? 1 : result;
}

} // extern "C"
