// Signing properties, the Kontir note's settings, and signature-appearance files.
#include "pdfsign_props.h"
#include "pdf_attachment.h"
#include "pdf_document.h"
#include "pdf_error.h"
#include "pdf_mem.h"
#include "pdf_utils.h"

#include <cstring>

#define KV_UNIT "../src/pdfsign.cpp"

using kvpdf::TrackedPtr;

namespace {

constexpr size_t kHeaderBytes = 60;
constexpr uint32_t kWholeReadLimit = 4096;

int SetText(char **field, intptr_t value) {
    const char *text = reinterpret_cast<const char *>(value);
    char *copy = TrackedStrdup(text);
    if (text && !copy) return 0;
    TrackedFreeT(*field);
    *field = copy;
    return 1;
}

int32_t Number(intptr_t value) {
    return static_cast<int32_t>(value);
}

// The decimal number after key within the header (its characters and any non-digits
// skipped); *end receives the position right after its digits. 0 when absent.
int32_t HeaderNumber(const char *header, size_t length, const char *key, size_t *end) {
    int64_t at = PdfFind(header, length, key);
    if (at < 0) return -1;
    size_t next = 0;
    uint32_t v = PdfParseNumber(header, length, static_cast<size_t>(at) + strlen(key), &next);
    if (end) *end = next;
    return v > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(v);
}

FILE *OpenRead(PdfDocument *doc, const char *path) {
    if (!path) return nullptr;
    return doc ? doc->file_ops.open(doc, path, "rb") : fopen(path, "rb");
}

void CloseFile(PdfDocument *doc, FILE *f) {
    if (doc)
        doc->file_ops.close(doc, f);
    else
        fclose(f);
}

} // namespace

void ReadImageSize(const char *text, uint32_t length, int32_t *height, int32_t *width,
                   PdfDocument *doc, LogoImage *logo) {
    auto value = [&](const char *key, size_t skip) -> int32_t {
        int64_t at = PdfFind(text, length, key);
        if (at < 0) return 0;
        uint32_t v = PdfParseNumber(text, length, static_cast<size_t>(at) + skip, nullptr);
        return v > 0x7FFFFFFF ? 0 : static_cast<int32_t>(v);
    };
    int32_t h = value("/Height", 7), w = value("/Width", 6);
    if (height) *height = h;
    if (width) *width = w;
    if (doc) {
        doc->logo_height = h;
        doc->logo_width = w;
    }
    if (logo) {
        logo->image_height = h;
        logo->image_width = w;
    }
}

int32_t LoadAppearanceFile(const char *path, uint8_t **out_data, uint32_t *out_length,
                           PdfDocument *doc, LogoImage *logo) {
    *out_data = nullptr;
    *out_length = 0;
    FILE *f = OpenRead(doc, path);
    if (!f) {
        if (doc) KV_ERROR(doc, KVPDF_ERR_LOGO_OPEN);
        return KVPDF_ERR_LOGO_OPEN;
    }
    auto fail = [&](int32_t code) {
        CloseFile(doc, f);
        if (doc) KV_ERROR(doc, code);
        return code;
    };
    const int sigappx = PdfEndsWithNoCase(path, ".sigappx");
    if (logo) {
        logo->version = 0;
        logo->header_value = 0;
        logo->is_sigappx = sigappx;
    }
    if (doc) doc->logo_is_sigappx = sigappx;
    char header[kHeaderBytes];
    size_t n = fread(header, 1, sizeof header, f);
    size_t body = 0;
    int32_t box_height = HeaderNumber(header, n, "/KvImgHeight", nullptr);
    int32_t box_width = HeaderNumber(header, n, "/KvImgWidth", &body);
    // Without /KvImgWidth there is no telling where the image object starts.
    if (box_width < 0) return fail(KVPDF_ERR_LOGO_READ);
    if (box_height < 0) box_height = 0;
    if (logo) {
        logo->box_height = box_height;
        logo->box_width = box_width;
    }
    if (doc) {
        doc->logo_box_height = box_height;
        doc->logo_box_width = box_width;
    }
    if (fseeko(f, 0, SEEK_END) != 0) return fail(KVPDF_ERR_LOGO_READ);
    off_t end = ftello(f);
    if (end < 0 || static_cast<uint64_t>(end) <= body || end > 0x7FFFFFFF)
        return fail(KVPDF_ERR_LOGO_READ);
    uint32_t length = static_cast<uint32_t>(end - static_cast<off_t>(body));
    TrackedPtr<uint8_t> data(
        static_cast<uint8_t *>(TrackedAlloc(KV_UNIT, __LINE__, size_t{length} + 1)));
    if (!data || fseeko(f, static_cast<off_t>(body), SEEK_SET) != 0)
        return fail(KVPDF_ERR_LOGO_READ);
    size_t got = fread(data.get(), 1, length, f);
    if (got == 0) return fail(KVPDF_ERR_LOGO_READ);
    data[got] = 0;
    CloseFile(doc, f);
    (void)kWholeReadLimit;
    *out_length = static_cast<uint32_t>(got);
    ReadImageSize(reinterpret_cast<const char *>(data.get()), *out_length, nullptr, nullptr, doc,
                  logo);
    *out_data = data.release();
    return 1;
}

extern "C" {

KVPDF_API int32_t KvPDFSetProperty(KvPdfHandle handle, int32_t id, intptr_t value) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return KVPDF_ERR_SET_PROPERTY;
    switch (id) {
    case KVPDF_PROP_REASON:
        return SetText(&doc->sig_reason, value);
    case KVPDF_PROP_NAME:
        return SetText(&doc->signer_name, value);
    case KVPDF_PROP_LOCATION:
        return SetText(&doc->sig_location, value);
    case KVPDF_PROP_CONTACT:
        return SetText(&doc->contact_info, value);
    case KVPDF_PROP_APPEARANCE_FILE:
        return SetText(&doc->logo_file_path, value);
    case KVPDF_PROP_NO_PAGE_WALK:
        doc->no_page_walk = Number(value);
        return 1;
    case KVPDF_PROP_VISIBLE:
        doc->visible_signature = Number(value);
        return 1;
    case KVPDF_PROP_RECT_LLX:
    case KVPDF_PROP_RECT_LLY:
    case KVPDF_PROP_RECT_URX:
    case KVPDF_PROP_RECT_URY:
        doc->sig_rect[id - KVPDF_PROP_RECT_LLX] = Number(value);
        return 1;
    case KVPDF_PROP_LOCALE:
        doc->locale = Number(value);
        UpdateLocale(doc);
        return 1;
    case KVPDF_PROP_KONTIR_TEXT:
        return SetText(&doc->kontir_text, value);
    case KVPDF_PROP_KONTIR_TITLE:
        return SetText(&doc->kontir_title, value);
    case KVPDF_PROP_KONTIR_SUBJECT:
        return SetText(&doc->kontir_subject, value);
    case KVPDF_PROP_KONTIR_LLX:
    case KVPDF_PROP_KONTIR_LLY:
    case KVPDF_PROP_KONTIR_URX:
    case KVPDF_PROP_KONTIR_URY:
        doc->kontir_rect[id - KVPDF_PROP_KONTIR_LLX] = Number(value);
        return 1;
    case KVPDF_PROP_POPUP_LLX:
    case KVPDF_PROP_POPUP_LLY:
    case KVPDF_PROP_POPUP_URX:
    case KVPDF_PROP_POPUP_URY:
        doc->kontir_popup_rect[id - KVPDF_PROP_POPUP_LLX] = Number(value);
        return 1;
    case KVPDF_PROP_POPUP_OPEN:
        doc->kontir_popup_open = Number(value);
        return 1;
    case KVPDF_PROP_SIGNING_TIME:
        return SetText(&doc->signing_time_text, value);
    case KVPDF_PROP_SUBFILTER_SELECT:
        if (Number(value) == KVPDF_SUBFILTER_PKCS7)
            return SetText(&doc->sig_subfilter, reinterpret_cast<intptr_t>("adbe.pkcs7.detached"));
        if (Number(value) == KVPDF_SUBFILTER_CADES)
            return SetText(&doc->sig_subfilter, reinterpret_cast<intptr_t>("ETSI.CAdES.detached"));
        return 0;
    case KVPDF_PROP_VALUE30:
        doc->prop30_value = Number(value);
        return 1;
    case KVPDF_PROP_TEXT31:
        return SetText(&doc->prop31_text, value);
    case KVPDF_PROP_ATTACHMENTS_CLEAR:
        AttachmentListClear(doc);
        return 1;
    case KVPDF_PROP_ATTACHMENT_ADD:
        return AttachmentListAdd(doc, reinterpret_cast<const char *>(value));
    case KVPDF_PROP_SUBFILTER:
        // The writers need a name here: an absent text keeps the current one.
        if (!value) return 0;
        return SetText(&doc->sig_subfilter, value);
    default:
        return 0;
    }
}

KVPDF_API int32_t KvPDFGetProperty(KvPdfHandle handle, int32_t id, char *buffer) {
    if (!HandleLookup(handle)) return KVPDF_ERR_NULL_HANDLE;
    if (id == 0) return KvPDFGetVersionStr(buffer);
    return id == 42 ? 1 : 0;
}

KVPDF_API int32_t KvPDFSetProperties(KvPdfHandle handle, int32_t llx, int32_t lly, int32_t urx,
                                     int32_t ury, const char *name, const char *location,
                                     const char *reason, const char *contact,
                                     const char *appearance_file, int32_t no_page_walk,
                                     int32_t visible) {
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

KVPDF_API int32_t KvPDFSetKontirProperties(KvPdfHandle handle, const char *text,
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

KVPDF_API intptr_t KvPDFSetLogo(KvPdfHandle handle, const char *path) {
    PdfDocument *doc = HandleLookup(handle);
    auto *logo = static_cast<LogoImage *>(TrackedAlloc(KV_UNIT, __LINE__, sizeof(LogoImage)));
    if (!logo) return 0;
    memset(logo, 0, sizeof *logo);
    logo->path = path;
    if (!path) return reinterpret_cast<intptr_t>(logo);
    int32_t rc = LoadAppearanceFile(path, &logo->data, &logo->data_length, doc, logo);
    if (rc < 0) {
        TrackedFreeT(logo);
        return rc;
    }
    return reinterpret_cast<intptr_t>(logo);
}

KVPDF_API int32_t KvPDFLogoFree(LogoImage *logo) {
    if (!logo) return 0;
    TrackedFreeT(logo->data);
    TrackedFreeT(logo);
    return 1;
}

KVPDF_API int32_t KvPdfGetLogoDimension(KvPdfHandle handle, const LogoImage *logo, int32_t *height,
                                        int32_t *width) {
    PdfDocument *doc = HandleLookup(handle);
    if (!doc) return 0;
    if (height) *height = logo ? logo->image_height : doc->logo_height;
    if (width) *width = logo ? logo->image_width : doc->logo_width;
    return 1;
}

KVPDF_API int32_t KvPdfGetLogoDimensionFile(const char *path, int32_t *height, int32_t *width) {
    if (height) *height = 0;
    if (width) *width = 0;
    if (!path) return 0;
    FILE *f = fopen(path, "rb");
    if (!f) return KVPDF_ERR_LOGO_OPEN;
    int rc = 0;
    if (fseeko(f, 0, SEEK_END) == 0) {
        off_t end = ftello(f);
        if (end > 3 && end < 0x7FFFFFFF && fseeko(f, 3, SEEK_SET) == 0) {
            TrackedPtr<char> data(
                static_cast<char *>(TrackedAlloc(KV_UNIT, __LINE__, size_t(end))));
            size_t n = data ? fread(data.get(), 1, size_t(end) - 3, f) : 0;
            if (n == size_t(end) - 3) {
                ReadImageSize(data.get(), static_cast<uint32_t>(n), height, width, nullptr,
                              nullptr);
                rc = 1;
            }
        }
    }
    fclose(f);
    return rc;
}

} // extern "C"
