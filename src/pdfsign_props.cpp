// SPDX-License-Identifier: Apache-2.0
// Signing properties, the Kontir note's settings, and signature-appearance files.
#include "pdfsign_props.h"
#include "pdf_attachment.h"
#include "pdf_document.h"
#include "pdf_error.h"
#include "pdf_mem.h"
#include "pdf_utils.h"

#include <cstring>

#define KV_UNIT "../src/pdfsign.cpp"

namespace kvpdf {
namespace {

constexpr size_t kHeaderBytes = 60;

int SetText(char **field, intptr_t value) {
    const char *text = reinterpret_cast<const char *>(value);
    char *copy = TrackedStrdup(text);
    if (text && !copy) return 0;
    TrackedFreeT(*field);
    *field = copy;
    return 1;
}

// Whole seconds from 1970 to the end of 2999 in plain digits; NULL or "" clears.
int32_t SetTimeText(HostSettings *s, const char *text) {
    if (!text || !*text) {
        s->fixed_time = 0;
        return 1;
    }
    int64_t seconds = 0;
    for (const char *c = text; *c; ++c) {
        if (*c < '0' || *c > '9' || c - text >= 11) return 0;
        seconds = seconds * 10 + (*c - '0');
    }
    if (seconds < 1 || seconds > 32503679999) return 0;
    s->fixed_time = seconds;
    return 1;
}

int32_t Number(intptr_t value) {
    return static_cast<int32_t>(value);
}

// The decimal number after key within the header (its characters and any non-digits
// skipped); *end receives the position right after its digits. -1 when absent.
int32_t HeaderNumber(const char *header, size_t length, const char *key, size_t *end) {
    int64_t at = PdfFind(header, length, key);
    if (at < 0) return -1;
    size_t next = 0;
    uint32_t v = PdfParseNumber(header, length, static_cast<size_t>(at) + strlen(key), &next);
    if (end) *end = next;
    return v > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(v);
}

// The rest of the file from offset on, as a new NUL-terminated block; its length, or -1
// when there is nothing there or it cannot all be read.
int64_t ReadRest(const FileAccess &files, FILE *f, uint64_t offset, TrackedPtr<uint8_t> *out) {
    if (files.seek(f, 0, 2) != 0) return -1;
    int64_t end = files.tell(f);
    if (end < 0 || static_cast<uint64_t>(end) <= offset || end > 0x7FFFFFFF) return -1;
    auto length = static_cast<size_t>(static_cast<uint64_t>(end) - offset);
    out->reset(static_cast<uint8_t *>(TrackedAlloc(KV_UNIT, __LINE__, length + 1)));
    if (!*out || files.seek(f, static_cast<int64_t>(offset), 0) != 0) return -1;
    if (files.read(out->get(), 1, length, f) != length) return -1;
    (*out)[length] = 0;
    return static_cast<int64_t>(length);
}

void ApplyToHandle(HostSettings *s, const AppearanceFile &file) {
    s->logo_is_sigappx = file.is_sigappx;
    s->logo_box_height = file.box_height;
    s->logo_box_width = file.box_width;
    s->logo_height = file.image_height;
    s->logo_width = file.image_width;
}

} // namespace

void ReadImageSize(const char *text, uint32_t length, int32_t *height, int32_t *width) {
    auto value = [&](const char *key, size_t skip) -> int32_t {
        int64_t at = PdfFind(text, length, key);
        if (at < 0) return 0;
        uint32_t v = PdfParseNumber(text, length, static_cast<size_t>(at) + skip, nullptr);
        return v > 0x7FFFFFFF ? 0 : static_cast<int32_t>(v);
    };
    if (height) *height = value("/Height", 7);
    if (width) *width = value("/Width", 6);
}

int32_t LoadAppearanceFile(const FileAccess &files, ErrorRing *ring, const char *path,
                           AppearanceFile *out) {
    FILE *f = path ? files.open(path, "rb") : nullptr;
    if (!f) {
        KV_ERROR(ring, KVPDF_ERR_LOGO_OPEN);
        return KVPDF_ERR_LOGO_OPEN;
    }
    PdfFile file(files, f);
    out->is_sigappx = PdfEndsWithNoCase(path, ".sigappx");
    char header[kHeaderBytes];
    size_t n = files.read(header, 1, sizeof header, f);
    size_t body = 0;
    int32_t box_height = HeaderNumber(header, n, "/KvImgHeight", nullptr);
    int32_t box_width = HeaderNumber(header, n, "/KvImgWidth", &body);
    // Without /KvImgWidth there is no telling where the image object starts.
    if (box_width < 0) {
        KV_ERROR(ring, KVPDF_ERR_LOGO_READ);
        return KVPDF_ERR_LOGO_READ;
    }
    out->box_height = box_height < 0 ? 0 : box_height;
    out->box_width = box_width;
    int64_t got = ReadRest(files, f, body, &out->data);
    if (got <= 0) {
        KV_ERROR(ring, KVPDF_ERR_LOGO_READ);
        return KVPDF_ERR_LOGO_READ;
    }
    out->length = static_cast<uint32_t>(got);
    ReadImageSize(reinterpret_cast<const char *>(out->data.get()), out->length, &out->image_height,
                  &out->image_width);
    return 1;
}

} // namespace kvpdf

using namespace kvpdf;

extern "C" {

KVPDF_API int32_t KVPDF_CALL KvPDFSetProperty(KvPdfHandle handle, int32_t id, intptr_t value) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_SET_PROPERTY;
    HostSettings *s = &doc->settings;
    switch (id) {
    case KVPDF_PROP_REASON:
        return SetText(&s->sig_reason, value);
    case KVPDF_PROP_NAME:
        return SetText(&s->signer_name, value);
    case KVPDF_PROP_LOCATION:
        return SetText(&s->sig_location, value);
    case KVPDF_PROP_CONTACT:
        return SetText(&s->contact_info, value);
    case KVPDF_PROP_APPEARANCE_FILE:
        return SetText(&s->logo_file_path, value);
    case KVPDF_PROP_NO_PAGE_WALK:
        s->no_page_walk = Number(value);
        return 1;
    case KVPDF_PROP_VISIBLE:
        s->visible_signature = Number(value);
        return 1;
    case KVPDF_PROP_RECT_LLX:
    case KVPDF_PROP_RECT_LLY:
    case KVPDF_PROP_RECT_URX:
    case KVPDF_PROP_RECT_URY:
        s->sig_rect[id - KVPDF_PROP_RECT_LLX] = Number(value);
        return 1;
    case KVPDF_PROP_LOCALE:
        doc->errors.locale = Number(value);
        // Another locale keeps the sentence it had; the property is set all the same.
        (void)UpdateLocale(doc);
        return 1;
    case KVPDF_PROP_KONTIR_TEXT:
        return SetText(&s->kontir_text, value);
    case KVPDF_PROP_KONTIR_TITLE:
        return SetText(&s->kontir_title, value);
    case KVPDF_PROP_KONTIR_SUBJECT:
        return SetText(&s->kontir_subject, value);
    case KVPDF_PROP_KONTIR_LLX:
    case KVPDF_PROP_KONTIR_LLY:
    case KVPDF_PROP_KONTIR_URX:
    case KVPDF_PROP_KONTIR_URY:
        s->kontir_rect[id - KVPDF_PROP_KONTIR_LLX] = Number(value);
        return 1;
    case KVPDF_PROP_POPUP_LLX:
    case KVPDF_PROP_POPUP_LLY:
    case KVPDF_PROP_POPUP_URX:
    case KVPDF_PROP_POPUP_URY:
        s->kontir_popup_rect[id - KVPDF_PROP_POPUP_LLX] = Number(value);
        return 1;
    case KVPDF_PROP_POPUP_OPEN:
        s->kontir_popup_open = Number(value);
        return 1;
    case KVPDF_PROP_SIGNING_TIME:
        return SetText(&s->signing_time_text, value);
    case KVPDF_PROP_SUBFILTER_SELECT:
        if (Number(value) == KVPDF_SUBFILTER_PKCS7)
            return SetText(&s->sig_subfilter, reinterpret_cast<intptr_t>("adbe.pkcs7.detached"));
        if (Number(value) == KVPDF_SUBFILTER_CADES)
            return SetText(&s->sig_subfilter, reinterpret_cast<intptr_t>("ETSI.CAdES.detached"));
        return 0;
    case KVPDF_PROP_VALUE30:
        s->prop30_value = Number(value);
        return 1;
    case KVPDF_PROP_TEXT31:
        return SetText(&s->prop31_text, value);
    case KVPDF_PROP_ATTACHMENTS_CLEAR:
        AttachmentListClear(s);
        return 1;
    case KVPDF_PROP_ATTACHMENT_ADD:
        return AttachmentListAdd(s, reinterpret_cast<const char *>(value));
    case KVPDF_PROP_SUBFILTER:
        // The writers need a name here: an absent text keeps the current one.
        if (!value) return 0;
        return SetText(&s->sig_subfilter, value);
    case KVPDF_PROP_FIND_ALL_SIGNATURES:
        s->find_all_signatures = Number(value) == 1 ? 1 : 0;
        return 1;
    case KVPDF_PROP_LTV_EVERY_ENTRY:
        s->ltv_every_entry = Number(value) == 1 ? 1 : 0;
        return 1;
    case KVPDF_PROP_ALL_ATTACHMENTS:
        s->all_attachments = Number(value) == 1 ? 1 : 0;
        return 1;
    case KVPDF_PROP_ATTACHMENT_BASENAME:
        s->attachment_basename = Number(value) == 1 ? 1 : 0;
        return 1;
    case KVPDF_PROP_ATTACHMENT_INLINE_NAMES:
        s->attachment_inline_names = Number(value) == 1 ? 1 : 0;
        return 1;
    case KVPDF_PROP_REASON_ONLY:
        s->reason_only = Number(value) == 1 ? 1 : 0;
        return 1;
    case KVPDF_PROP_FIELD_NAME:
        return SetText(&s->field_name, value);
    case KVPDF_PROP_SIGN_EXISTING_FIELD:
        s->sign_existing_field = Number(value) == 1 ? 1 : 0;
        return 1;
    case KVPDF_PROP_PAGE:
        if (Number(value) < 0) return 0;
        s->page_number = Number(value);
        return 1;
    case KVPDF_PROP_CERTIFY:
        if (Number(value) < 0 || Number(value) > 3) return 0;
        s->certify_level = Number(value);
        return 1;
    case KVPDF_PROP_COPY_DIGEST:
        if (Number(value) != 0 && Number(value) != 256 && Number(value) != 384 &&
            Number(value) != 512)
            return 0;
        s->copy_digest = Number(value);
        return 1;
    case KVPDF_PROP_FIXED_TIME:
        return SetTimeText(s, reinterpret_cast<const char *>(value));
    case KVPDF_PROP_ATTACHMENT_LIMIT:
        if (Number(value) < 1) return 0;
        s->attachment_limit = static_cast<uint32_t>(Number(value));
        return 1;
    default:
        return 0;
    }
}

KVPDF_API int32_t KVPDF_CALL KvPDFGetProperty(KvPdfHandle handle, int32_t id, char *buffer) {
    if (!HandleLookup(handle)) return KVPDF_ERR_NULL_HANDLE;
    if (id == 0) return KvPDFGetVersionStr(buffer);
    return id == 42 ? 1 : 0;
}

KVPDF_API int32_t KVPDF_CALL KvPDFSetProperties(KvPdfHandle handle, int32_t llx, int32_t lly,
                                                int32_t urx, int32_t ury, const char *name,
                                                const char *location, const char *reason,
                                                const char *contact, const char *appearance_file,
                                                int32_t no_page_walk, int32_t visible) {
    if (!HandleLookup(handle)) return KVPDF_ERR_SET_PROPERTIES;
    KvPDFSetProperty(handle, KVPDF_PROP_NAME, reinterpret_cast<intptr_t>(name));
    KvPDFSetProperty(handle, KVPDF_PROP_LOCATION, reinterpret_cast<intptr_t>(location));
    KvPDFSetProperty(handle, KVPDF_PROP_REASON, reinterpret_cast<intptr_t>(reason));
    KvPDFSetProperty(handle, KVPDF_PROP_CONTACT, reinterpret_cast<intptr_t>(contact));
    KvPDFSetProperty(handle, KVPDF_PROP_APPEARANCE_FILE,
                     reinterpret_cast<intptr_t>(appearance_file));
    KvPDFSetProperty(handle, KVPDF_PROP_NO_PAGE_WALK, no_page_walk);
    KvPDFSetProperty(handle, KVPDF_PROP_VISIBLE, visible);
    KvPDFSetProperty(handle, KVPDF_PROP_RECT_LLX, llx);
    KvPDFSetProperty(handle, KVPDF_PROP_RECT_LLY, lly);
    KvPDFSetProperty(handle, KVPDF_PROP_RECT_URX, urx);
    KvPDFSetProperty(handle, KVPDF_PROP_RECT_URY, ury);
    return 1;
}

KVPDF_API int32_t KVPDF_CALL KvPDFSetKontirProperties(KvPdfHandle handle, const char *text,
                                                      const char *subject, const char *title,
                                                      int32_t popup_open, int32_t llx, int32_t lly,
                                                      int32_t urx, int32_t ury, int32_t popup_llx,
                                                      int32_t popup_lly, int32_t popup_urx,
                                                      int32_t popup_ury) {
    if (!HandleLookup(handle)) return KVPDF_ERR_SET_KONTIR;
    KvPDFSetProperty(handle, KVPDF_PROP_KONTIR_TEXT, reinterpret_cast<intptr_t>(text));
    KvPDFSetProperty(handle, KVPDF_PROP_KONTIR_SUBJECT, reinterpret_cast<intptr_t>(subject));
    KvPDFSetProperty(handle, KVPDF_PROP_KONTIR_TITLE, reinterpret_cast<intptr_t>(title));
    KvPDFSetProperty(handle, KVPDF_PROP_POPUP_OPEN, popup_open);
    const int32_t values[8] = {llx, lly, urx, ury, popup_llx, popup_lly, popup_urx, popup_ury};
    for (int i = 0; i < 8; ++i)
        KvPDFSetProperty(handle, KVPDF_PROP_KONTIR_LLX + i, values[i]);
    return 1;
}

KVPDF_API intptr_t KVPDF_CALL KvPDFSetLogo(KvPdfHandle handle, const char *path) {
    PdfDocument *doc = HandleLookup(handle);
    auto *logo = static_cast<LogoImage *>(TrackedAlloc(KV_UNIT, __LINE__, sizeof(LogoImage)));
    if (!logo) return 0;
    memset(logo, 0, sizeof *logo);
    logo->path = path;
    if (!path) return reinterpret_cast<intptr_t>(logo);
    AppearanceFile file;
    int32_t rc = LoadAppearanceFile(FileAccess(doc), RingOf(doc), path, &file);
    if (rc < 0) {
        TrackedFreeT(logo);
        return rc;
    }
    logo->is_sigappx = file.is_sigappx;
    logo->box_height = file.box_height;
    logo->box_width = file.box_width;
    logo->image_height = file.image_height;
    logo->image_width = file.image_width;
    logo->data_length = file.length;
    logo->data = file.data.release();
    if (doc) ApplyToHandle(&doc->settings, file);
    return reinterpret_cast<intptr_t>(logo);
}

KVPDF_API int32_t KVPDF_CALL KvPDFLogoFree(LogoImage *logo) {
    if (!logo) return 0;
    TrackedFreeT(logo->data);
    TrackedFreeT(logo);
    return 1;
}

KVPDF_API int32_t KVPDF_CALL KvPdfGetLogoDimension(KvPdfHandle handle, const LogoImage *logo,
                                                   int32_t *height, int32_t *width) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return 0;
    if (height) *height = logo ? logo->image_height : doc->settings.logo_height;
    if (width) *width = logo ? logo->image_width : doc->settings.logo_width;
    return 1;
}

KVPDF_API int32_t KVPDF_CALL KvPdfGetLogoDimensionFile(const char *path, int32_t *height,
                                                       int32_t *width) {
    if (height) *height = 0;
    if (width) *width = 0;
    if (!path) return 0;
    const FileAccess files(nullptr);
    FILE *f = files.open(path, "rb");
    if (!f) return KVPDF_ERR_LOGO_OPEN;
    PdfFile file(files, f);
    // The body follows a three-byte version text.
    TrackedPtr<uint8_t> data;
    int64_t n = ReadRest(files, f, 3, &data);
    if (n <= 0) return 0;
    ReadImageSize(reinterpret_cast<const char *>(data.get()), static_cast<uint32_t>(n), height,
                  width);
    return 1;
}

} // extern "C"
