// The document handle record and the declarations shared between units.
#ifndef KVPDF_PDF_DOCUMENT_H
#define KVPDF_PDF_DOCUMENT_H

#include "kvpdf.h"

#include <cstdint>
#include <cstdio>

struct PdfDocument;

// All file access of a handle goes through this table; KvPDFInit installs the stdio set.
struct FileOps {
    FILE *(*open)(PdfDocument *doc, const char *path, const char *mode);
    int (*seek)(PdfDocument *doc, FILE *file, int64_t offset, int origin);
    int64_t (*tell)(PdfDocument *doc, FILE *file);
    size_t (*read)(PdfDocument *doc, void *buffer, size_t size, size_t count, FILE *file);
    size_t (*write)(PdfDocument *doc, const void *buffer, size_t size, size_t count, FILE *file);
    int (*close)(PdfDocument *doc, FILE *file);
    int (*puts)(PdfDocument *doc, const char *text, FILE *file);
    int (*printf)(PdfDocument *doc, FILE *file, const char *format, ...);
    int (*copy)(PdfDocument *doc, const char *target, const char *source, const char *mode);
    int (*eof)(PdfDocument *doc, FILE *file);
    int (*flush)(PdfDocument *doc, FILE *file);
};

// One in-use entry of a revision reached through /Prev.
struct XrefEntry {
    uint32_t offset;
    uint32_t object_number;
    XrefEntry *next;
};

// One object listed as stored in an object stream.
struct CompressedEntry {
    uint32_t object_number;
    uint32_t object_stream;
    uint32_t index;
    CompressedEntry *next;
};

struct DssInfo;

// One cross-reference section (revision), newest first.
struct XrefSection {
    uint32_t offset;
    DssInfo *dss;
    XrefEntry *entries_head;
    XrefEntry *entries_tail;
    CompressedEntry *compressed_head;
    CompressedEntry *compressed_tail;
    XrefSection *next;     // next older section
    XrefSection *previous; // next newer section
    int32_t is_stream;     // the section is a cross-reference stream
};

// An object created by the update being built.
struct NewObjectEntry {
    uint32_t number;
    uint32_t offset;
};

// An existing object whose new text the update carries.
struct UpdatedObject {
    uint32_t number;
    uint32_t offset;
    char *text;
    uint32_t length;
};

struct CertStoreEntry;
struct RevocationStoreEntry;
struct AttachmentEntry;

// Operation modes: what the document-processing run does.
enum : int32_t {
    kModeSign = 0,
    kModeFindSignatures = 1,
    kModeDocTimestamp = 2,
    kModeReadAttachments = 3,
    kModeWriteAttachments = 4,
    kModeRevocation = 5,
};

constexpr uint32_t kNoOffset = 0xFFFFFFFFu;
constexpr int kErrorRingSize = 10;
constexpr int kMessageCodes = 202;

struct PdfDocument {
    char *src_path;
    char *target_path;
    int32_t sig_rect[4];
    char *signer_name;
    char *sig_location;
    char *sig_reason;
    char *contact_info;
    char *signing_time_text;
    char *sig_subfilter;
    uint32_t byte_range[4];
    char *logo_file_path;
    int32_t no_page_walk;
    int32_t visible_signature;
    int32_t xref_is_stream;
    int32_t pdf_major;
    int32_t pdf_minor;
    const char *reason_suffix;
    char *kontir_text;
    char *kontir_subject;
    char *kontir_title;
    int32_t kontir_rect[4];
    int32_t kontir_popup_rect[4];
    int32_t kontir_popup_open;
    uint32_t walk_flags;
    SignatureInfo *signatures;
    uint32_t signature_count;
    uint32_t *field_refs;
    uint32_t field_count;
    DssInfo *dss_info;
    XrefSection *xref_sections;
    XrefSection *xref_current;
    XrefSection *xref_oldest;
    uint32_t xref_section_count;
    CertStoreEntry *cert_store;
    RevocationStoreEntry *crl_store;
    RevocationStoreEntry *ocsp_store;
    uint32_t sig_buffer_size;
    char *out_buffer;
    uint32_t file_length;
    uint32_t contents_start;
    uint32_t contents_end;
    uint32_t byte_range_patch_pos;
    uint32_t image_obj;
    uint32_t xref_start;
    uint32_t update_end;
    uint32_t trailer_position;
    uint32_t source_length;
    int32_t linearized_first_xref_used;
    int32_t is_linearized;
    int32_t annots_modified;
    uint32_t *object_offsets;
    uint32_t object_offsets_count; // entries of object_offsets
    uint32_t *object_streams;      // newest object stream listing each object, 0 = none
    uint32_t new_object_count;
    uint32_t updated_object_count;
    uint32_t objstm_obj;
    uint32_t last_object_number;
    NewObjectEntry *new_objects;
    UpdatedObject *updated_objects;
    uint32_t root_text_length;
    uint32_t *annot_refs;
    uint32_t annot_count;
    int32_t xref_position;
    int32_t root_obj;
    int32_t pages_obj;
    int32_t page_obj;
    int32_t annots_obj;
    int32_t info_obj;
    int32_t declared_size;
    int32_t prev_xref;
    int32_t acroform_obj;
    int32_t fields_obj;
    int32_t sig_dict_obj;
    int32_t sig_field_obj;
    int32_t names_obj;
    int32_t embedded_files_obj;
    int32_t new_names_obj;
    int32_t kontir_annot_obj;
    int32_t kontir_popup_obj;
    char *new_root_text;
    char *new_page_text;
    char *new_annots_text;
    char *new_acroform_text;
    char *new_fields_text;
    uint32_t new_root_length;
    int32_t linearized_first_xref;
    int32_t trailer_size;
    int32_t trailer_size_digits;
    int32_t xref_sections_read;
    int32_t logo_width;
    int32_t logo_height;
    int32_t logo_box_width;
    int32_t logo_box_height;
    int32_t logo_is_sigappx;
    ErrorEntry error_entries[kErrorRingSize];
    const char *error_texts[2][kMessageCodes];
    int32_t last_error_index;
    int32_t locale;
    int32_t used_compressed_objects;
    int32_t prop30_value;
    int32_t mode;
    char *prop31_text;
    uint32_t attachment_list_count;
    AttachmentEntry *attachment_list;
    FileOps file_ops;
    int32_t reading_compressed;    // an object stream is being read: no nested lookups
    int32_t updated_objects_plain; // the update writes re-written objects as plain objects
    const LogoImage *write_logo;   // the appearance record of the write being prepared
};

// pdfsign_handles.cpp: the set of live handles.
PdfDocument *HandleLookup(KvPdfHandle handle);
bool HandleRegister(PdfDocument *doc);
void HandleUnregister(PdfDocument *doc);
int HandleOpenCount();

// pdfsign_fileops.cpp
extern const FileOps kStdioFileOps;

namespace kvpdf {

// Closes a handle's file through its file operations on scope exit.
class PdfFile {
public:
    PdfFile(PdfDocument *doc, FILE *file) : doc_(doc), file_(file) {}
    PdfFile(const PdfFile &) = delete;
    PdfFile &operator=(const PdfFile &) = delete;
    ~PdfFile() { close(); }
    FILE *get() const { return file_; }
    explicit operator bool() const { return file_ != nullptr; }
    int close() {
        int rc = 0;
        if (file_) rc = doc_->file_ops.close(doc_, file_);
        file_ = nullptr;
        return rc;
    }

private:
    PdfDocument *doc_;
    FILE *file_;
};

} // namespace kvpdf

// pdfsign.cpp / pdfsign_process.cpp
int32_t ProcessPdf(PdfDocument *doc, const LogoImage *logo = nullptr);
int32_t ProbeLinearized(FILE *file, uint32_t position, PdfDocument *doc);
int32_t ApplyVersionRule(PdfDocument *doc, int32_t result);
int32_t UpdateLocale(PdfDocument *doc);
int32_t ReadHeaderVersion(PdfDocument *doc, const char *path, int32_t *major, int32_t *minor);
int32_t TestPdfHeader(PdfDocument *doc, FILE *file);
void FreeDocumentState(PdfDocument *doc);
// Frees what reading a document left in the handle: the update being prepared, the
// revision records with their DSS, the offset table, the annotation and field lists.
void FreeParsedState(PdfDocument *doc);

#endif
