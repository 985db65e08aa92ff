// SPDX-License-Identifier: Apache-2.0
// Finding the signatures of a document, and the queries over the list found.
#include "pdf_document.h"
#include "pdf_error.h"
#include "pdf_mem.h"
#include "pdf_utils.h"
#include "pdfsign_walk.h"

#include <cstring>
#include <initializer_list>
#include <strings.h>

#define KV_UNIT "../src/pdfsign.cpp"

namespace kvpdf {
namespace {

char *Value(const char *text, uint32_t length, const char *key) {
    return PdfKeyString(text, length, key, nullptr);
}

// Compares a value with a name, white space around it ignored.
bool IsName(const char *value, const char *name) {
    if (!value) return false;
    while (PdfIsSpace(static_cast<unsigned char>(*value)))
        ++value;
    size_t n = strlen(name);
    if (strncmp(value, name, n) != 0) return false;
    for (value += n; *value; ++value)
        if (!PdfIsSpace(static_cast<unsigned char>(*value))) return false;
    return true;
}

// The four /ByteRange numbers, white space anywhere.
bool ReadByteRange(const char *value, uint32_t *range) {
    if (!value) return false;
    const char *p = value;
    for (int i = 0; i < 4; ++i) {
        while (PdfIsSpace(static_cast<unsigned char>(*p)))
            ++p;
        if (!PdfIsDigit(*p)) return false;
        uint64_t v = 0;
        while (PdfIsDigit(*p)) {
            v = v * 10 + static_cast<uint64_t>(*p++ - '0');
            if (v > 0xFFFFFFFFull) return false;
        }
        range[i] = static_cast<uint32_t>(v);
    }
    return true;
}

// The texts and the kind of a signature dictionary.
void FillTexts(SignatureInfo *s, uint32_t field, const char *dict, uint32_t length) {
    memset(s, 0, sizeof *s);
    s->field_obj = field;
    s->subfilter = Value(dict, length, "/SubFilter");
    s->reason = Value(dict, length, "/Reason");
    s->location = Value(dict, length, "/Location");
    s->name = Value(dict, length, "/Name");
    s->contact_info = Value(dict, length, "/ContactInfo");
    s->signing_time = Value(dict, length, "/M");
    TrackedPtr<char> type(Value(dict, length, "/Type"));
    // Names are compared without the white space the value reader leaves after them.
    s->kind = KVPDF_SIG_KIND_SIGNATURE;
    if (IsName(type.get(), "Sig")) {
        if (IsName(s->subfilter, "ETSI.CAdES.detached")) s->kind = KVPDF_SIG_KIND_CADES;
    } else if (IsName(type.get(), "DocTimeStamp")) {
        s->kind = KVPDF_SIG_KIND_DOC_TIMESTAMP;
    }
}

bool Listed(const FoundSignatures &found, uint32_t field) {
    for (uint32_t i = found.operation_start; i < found.signature_count; ++i)
        if (found.signatures[i].field_obj == field) return true;
    return false;
}

} // namespace

int32_t ProcessSignatureAnnot(Reader r, FoundSignatures *found, FILE *file, uint32_t object) {
    // An object that cannot be read ends the list with the reader's own code.
    if (object == 0 || object > 0x7FFFFFFF)
        return KV_FAIL_AS(r, KVPDF_ERR_PAGE_OBJECT, KVPDF_ERR_STAGE_SIGANNOT, kReadFailed);
    // A field listed again in one document (a damaged /Annots repeats it thousands of
    // times) is one signature, not one to verify per listing.
    if (Listed(*found, object)) return 1;
    char *raw = nullptr;
    uint32_t length = 0;
    int32_t rc = PdfReadObjectBinary(r, file, static_cast<ObjectSelector>(object), &raw, &length);
    TrackedPtr<char> field(raw);
    if (rc < 1 || !raw)
        return KV_FAIL_AS(r, KVPDF_ERR_PAGE_OBJECT, KVPDF_ERR_STAGE_SIGANNOT,
                          rc < 1 ? rc : kReadFailed);
    int64_t v = PdfFind(raw, length, "/V");
    if (v < 0) return KVPDF_ERR_NO_SIG_OBJECT;
    uint32_t sig = PdfParseNumber(raw, length, static_cast<size_t>(v) + 2, nullptr);
    if (sig == 0 || sig > 0x7FFFFFFF) return KVPDF_ERR_NO_SIG_OBJECT;
    return AddSignature(r, found, file, object, sig);
}

int32_t AddSignature(Reader r, FoundSignatures *found, FILE *file, uint32_t object, uint32_t sig) {
    const ParsedDocument &p = r.parsed;
    if (Listed(*found, object)) return 1;
    char *dict_raw = nullptr;
    uint32_t dict_length = 0;
    int32_t rc =
        PdfReadObjectBinary(r, file, static_cast<ObjectSelector>(sig), &dict_raw, &dict_length);
    TrackedPtr<char> dict(dict_raw);
    if (rc < 1 || !dict_raw)
        return KV_FAIL_AS(r, KVPDF_ERR_PAGE_OBJECT, KVPDF_ERR_STAGE_SIGANNOT,
                          rc < 1 ? rc : kReadFailed);
    int64_t contents = PdfFind(dict_raw, dict_length, "/Contents");
    if (contents < 0) return KVPDF_ERR_NO_SIG_CONTENTS;
    size_t open = static_cast<size_t>(contents) + 9;
    while (open < dict_length && dict_raw[open] != '<')
        ++open;
    if (open >= dict_length) return KVPDF_ERR_NO_SIG_CONTENTS;

    if (!TrackedReallocT(KV_UNIT, __LINE__, found->signatures, found->signature_count + 1))
        return KV_FAIL_AS(r, KVPDF_ERR_PAGE_OBJECT, KVPDF_ERR_STAGE_SIGANNOT, KVPDF_ERR_BUFFER);
    SignatureInfo &s = found->signatures[found->signature_count++];
    FillTexts(&s, object, dict_raw, dict_length);
    const bool known = sig < p.object_offsets_count && p.object_offsets[sig] != kNoOffset;
    TrackedPtr<char> range(Value(dict_raw, dict_length, "/ByteRange"));
    bool range_ok = ReadByteRange(range.get(), s.byte_range);
    // A dictionary inside an object stream has no offset of its own: its value then
    // starts where the byte range says.
    uint64_t offset =
        known ? uint64_t{p.object_offsets[sig]} + open + 1 : uint64_t{s.byte_range[1]} + 1;
    s.contents_offset = offset > 0xFFFFFFFFull ? 0 : static_cast<uint32_t>(offset);
    if (!range_ok) {
        KV_ERROR(r, KVPDF_ERR_BYTERANGE);
        return KVPDF_ERR_BYTERANGE;
    }
    return s.contents_offset >= 1 && s.contents_offset <= 0x7FFFFFFF
               ? static_cast<int32_t>(s.contents_offset)
               : 1;
}

void ReleaseFound(FoundSignatures *found) {
    for (uint32_t i = 0; found->signatures && i < found->signature_count; ++i) {
        SignatureInfo &s = found->signatures[i];
        TrackedFreeT(s.name);
        TrackedFreeT(s.location);
        TrackedFreeT(s.reason);
        TrackedFreeT(s.contact_info);
        TrackedFreeT(s.signing_time);
        TrackedFreeT(s.subfilter);
    }
    TrackedFreeT(found->signatures);
    found->signature_count = found->operation_start = 0;
}

} // namespace kvpdf

using namespace kvpdf;

extern "C" {

KVPDF_API int32_t KVPDF_CALL KvPdfFindSignatures(KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    doc->mode = kModeFindSignatures;
    return ProcessPdf(doc);
}

KVPDF_API int32_t KVPDF_CALL KvPdfFindLastSignaturePos(KvPdfHandle handle) {
    int32_t rc = KvPdfFindSignatures(handle);
    if (rc < 1) return rc;
    const FoundSignatures &found = HandleLookup(handle)->found;
    if (found.signature_count == 0) return 1;
    return static_cast<int32_t>(found.signatures[found.signature_count - 1].contents_offset);
}

KVPDF_API int32_t KVPDF_CALL KvPDFGetSignatureCount(KvPdfHandle handle) {
    PdfDocument *doc = HandleLookup(handle);
    return doc ? static_cast<int32_t>(doc->found.signature_count) : KVPDF_ERR_NULL_HANDLE;
}

KVPDF_API int32_t KVPDF_CALL KvPDFGetSignature(KvPdfHandle handle, int32_t index,
                                               SignatureInfo *out) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    int32_t error = 0;
    if (!out || !PdfCheckSignatureIndex(doc->found, &index, &error)) return 0;
    *out = doc->found.signatures[index];
    return 1;
}

KVPDF_API int32_t KVPDF_CALL KvPdfSignatureSupported(KvPdfHandle handle, int32_t index) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_NULL_HANDLE;
    int32_t error = 0;
    if (!PdfCheckSignatureIndex(doc->found, &index, &error)) return 0;
    char *subfilter = doc->found.signatures[index].subfilter;
    if (!subfilter) return 0;
    // Trailing white space is cut from the stored text itself.
    const char *trimmed = PdfTrim(subfilter);
    for (const char *name : {"adbe.pkcs7.detached", "ETSI.CAdES.detached", "ETSI.RFC3161"})
        if (strcasecmp(trimmed, name) == 0) return 1;
    return 0;
}

} // extern "C"
