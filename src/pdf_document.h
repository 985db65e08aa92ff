// SPDX-License-Identifier: Apache-2.0
// The document handle, split into records by lifetime, and the views through which the
// reading and the writing stages reach it.
#ifndef KVPDF_PDF_DOCUMENT_H
#define KVPDF_PDF_DOCUMENT_H

#include "kvpdf.h"

#include <cstdint>
#include <cstdio>

struct KvsDigest;

namespace kvpdf {

struct PdfDocument;
struct DssInfo;
struct CertStoreEntry;
struct RevocationStoreEntry;
struct AttachmentEntry;
struct BackgroundCopy;

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

extern const FileOps kStdioFileOps;

// ---------------------------------------------------------------- operation modes

enum : int32_t {
    kModeSign = 0,
    kModeFindSignatures = 1,
    kModeDocTimestamp = 2,
    kModeReadAttachments = 3,
    kModeWriteAttachments = 4,
    kModeRevocation = 5,
};

// Modes 0, 2, 4 and 5 append a revision to a copy of the source; 1 and 3 only read.
constexpr bool WritesRevision(int32_t mode) {
    return mode == kModeSign || mode == kModeDocTimestamp || mode == kModeWriteAttachments ||
           mode == kModeRevocation;
}
// The file the walk reads: the fresh copy in modes 0, 2 and 5, the source otherwise.
constexpr bool ReadsOutput(int32_t mode) {
    return mode == kModeSign || mode == kModeDocTimestamp || mode == kModeRevocation;
}
// A new signature field: the walk rewrites page, form or catalog to name it.
constexpr bool PlacesSignature(int32_t mode) {
    return mode == kModeSign || mode == kModeDocTimestamp;
}
// The walk runs the signature-field reader over annotations and fields.
constexpr bool ReadsSignatures(int32_t mode) {
    return mode == kModeFindSignatures || mode == kModeRevocation;
}
// The walk locates the names dictionary.
constexpr bool UsesAttachments(int32_t mode) {
    return mode == kModeReadAttachments || mode == kModeWriteAttachments;
}
// A last handle closed after these modes leaves the process-wide stores to the next one.
constexpr bool KeepsProcessStores(int32_t mode) {
    return mode == kModeFindSignatures || mode == kModeReadAttachments ||
           mode == kModeWriteAttachments;
}

constexpr uint32_t kNoOffset = 0xFFFFFFFFu;
constexpr int kErrorRingSize = 10;
constexpr int kMessageCodes = 235; // codes -1 .. -234 have a row

// ---------------------------------------------------------------- the host's settings

// What the host sets through the exported setters; kept from KvPDFInit to KvPDFClose.
struct HostSettings {
    char *src_path;
    char *target_path;
    uint32_t sig_buffer_size; // signature bytes reserved in /Contents
    int32_t sig_rect[4];
    char *signer_name;
    char *sig_location;
    char *sig_reason;
    char *contact_info;
    char *signing_time_text; // replaced by the /M text of the last signature written
    char *sig_subfilter;
    const char *reason_suffix; // the locale's product sentence, not owned
    int32_t no_page_walk;
    int32_t find_all_signatures; // complete signature discovery (an opt-in)
    int32_t ltv_every_entry;     // validation data of every signature and timestamp (opt-in)
    int32_t visible_signature;
    char *kontir_text;
    char *kontir_subject;
    char *kontir_title;
    int32_t kontir_rect[4];
    int32_t kontir_popup_rect[4];
    int32_t kontir_popup_open;
    char *logo_file_path;
    int32_t logo_width; // of the appearance image last loaded for the handle
    int32_t logo_height;
    int32_t logo_box_width;
    int32_t logo_box_height;
    int32_t logo_is_sigappx;
    int32_t prop30_value;
    char *prop31_text;
    uint32_t attachment_list_count;
    AttachmentEntry *attachment_list;
    int32_t all_attachments;         // the whole name tree and every page (an opt-in)
    int32_t attachment_basename;     // attachments named without their directories (opt-in)
    uint32_t attachment_limit;       // bytes one embedded file may inflate to
    int32_t attachment_inline_names; // a write may replace an inline /Names (opt-in)
    int32_t reason_only;             // /Reason without the product sentence (opt-in)
    char *field_name;                // /T of the new field, or the field to fill (opt-in)
    int32_t sign_existing_field;     // fill the named unsigned signature field (opt-in)
    int32_t page_number;             // the page of the widget, 1-based; 0 the first
    int32_t certify_level;           // DocMDP /P of a certification; 0 approval
    int32_t copy_digest;             // 256, 384 or 512: hash while copying (opt-in); 0 off
    int64_t fixed_time;              // seconds since 1970 written instead of the clock's; 0 off
};

// ---------------------------------------------------------------- the parsed document

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

// The object stream read last, decoded, with its header: the members of one stream are
// read one after another, and decoding the stream again for each is quadratic.
struct ObjectStreamCache {
    uint32_t number; // 0: empty
    uint32_t offset; // of the stream object, so that a later revision's stream is not taken
    uint8_t *data;
    uint32_t length;
    uint32_t *members; // pairs (object number, start in data), in header order
    uint32_t member_count;
};

// What one operation learns by reading the document. Every operation starts from an
// empty record: nothing read earlier is trusted again.
struct ParsedDocument {
    int32_t pdf_major;
    int32_t pdf_minor;
    uint32_t file_length;   // length seen by the cross-reference search
    uint32_t source_length; // length of the file read, before any update
    int32_t is_linearized;
    int32_t linearized_first_xref_used; // the linearization probe gave a position
    int32_t linearized_first_xref;      // its /T
    int32_t xref_position;              // the newest cross-reference section
    uint32_t trailer_position;
    int32_t prev_xref;     // /Prev of the section just read, -1 at the end of the chain
    int32_t declared_size; // /Size of the newest section
    int64_t section_size;  // /Size of the section just read, -1 when it has none
    int32_t trailer_size;  // first object number an update may use
    int32_t xref_sections_read;
    int32_t xref_is_stream; // any section of the chain is a cross-reference stream
    XrefSection *xref_sections;
    XrefSection *xref_current;
    XrefSection *xref_oldest;
    uint32_t xref_section_count;
    uint64_t listed_entries;  // in all sections' lists, held to the file's length
    uint32_t *object_offsets; // file offset by object number, kNoOffset for none
    uint32_t object_offsets_count;
    uint32_t *object_streams; // newest object stream listing each object, 0 = none
    int32_t used_compressed_objects;
    int32_t reading_compressed; // an object stream is being read: no nested lookups
    int32_t root_obj;
    int32_t pages_obj;
    int32_t page_obj; // the page that receives the widget
    int32_t annots_obj;
    int32_t info_obj;
    int32_t acroform_obj;
    int32_t fields_obj;
    int32_t names_obj;
    int32_t embedded_files_obj;
    int32_t embedded_files_kid_obj;
    uint32_t *annot_refs;
    uint32_t annot_count;
    uint32_t *field_refs;
    uint32_t field_count;
    int32_t annots_modified; // the page had /Annots, or an indirect /Fields grows
    uint32_t filled_field;   // the existing field that receives the signature, 0 none
    int32_t page_box[4];     // the widget page's crop box, with page_box_known
    int32_t page_box_known;
    DssInfo *dss_info;  // the newest revision's Document Security Store
    uint64_t dss_bytes; // DSS data held for all revisions, held to PdfDecodeLimit
    ObjectStreamCache object_stream;
};

// ---------------------------------------------------------------- the update

// An object created by the update being built.
struct NewObjectEntry {
    uint32_t number;
    uint32_t offset;
};

// An existing object whose new text the update carries.
struct UpdatedObject {
    uint32_t number;
    uint32_t offset; // in the file; inside an object stream, the body's length
    char *text;      // owned: the whole object, header to endobj
    uint32_t length; // 0: NUL-terminated
};

struct UpdatedObjectList {
    UpdatedObject *items;
    uint32_t count;
};

enum class SignatureLayout : int32_t {
    kPlain,           // a widget without appearance: invisible signatures, timestamps
    kStandardVisible, // an image in nested forms, contents compressed
    kSigAppx,         // the .sigappx layout, widget last
};

// The object numbers of a signature update, fixed as soon as the cross-reference data
// is read: the walk names them in the rewritten page and form before anything is
// written, and the writers open their objects in exactly this order (BeginObject checks
// it in debug builds). 0 means the object is not written.
struct UpdatePlan {
    SignatureLayout layout;
    uint32_t sig_dict_obj;
    uint32_t image_obj;
    uint32_t sig_field_obj;  // the widget, which is also the field
    uint32_t appearance_obj; // /AP /N
    uint32_t frm_obj;
    uint32_t n0_obj;
    uint32_t empty_obj; // standard layout only
    uint32_t n2_obj;
    uint32_t kontir_annot_obj;
    uint32_t kontir_popup_obj;
    uint32_t kontir_icon_obj;
    uint32_t objstm_obj;      // after a cross-reference-stream source
    uint32_t xref_stream_obj; // after a cross-reference-stream source
    // The opt-ins the walk follows (the settings' values; the name is not owned).
    const char *field_name;
    int32_t sign_existing_field;
    int32_t page_number;
    int32_t certify_level;
};

// What an appearance file read during a write told about itself; the handle takes it
// over once the write is done.
struct LoadedAppearance {
    int32_t loaded;
    int32_t box_width;
    int32_t box_height;
    int32_t image_width;
    int32_t image_height;
    int32_t is_sigappx;
};

// The update being built: from the start of a write operation until the next one or
// KvPDFClose. The /Contents and byte-range fields serve the completion calls after it.
struct UpdateInProgress {
    UpdatePlan plan;
    char *out_buffer; // text that follows the reserved /Contents value
    NewObjectEntry *new_objects;
    uint32_t new_object_count;
    uint32_t last_object_number;
    UpdatedObjectList updated_objects;
    int32_t updated_objects_plain; // rewritten objects as plain objects, also after streams
    uint32_t contents_start;
    uint32_t contents_end; // where out_buffer stands in the file
    uint32_t byte_range[4];
    uint32_t byte_range_patch_pos;
    uint32_t xref_start;
    uint32_t update_end;
    char signing_time[32]; // the /M text written
    LoadedAppearance appearance_file;
    // What the first phase left in the output, for the completion calls to find again:
    // the dictionary's head after the source, and the source's last bytes.
    char *head_text;
    char source_tail[256];
    uint32_t source_tail_length;
    // The digest computed while the source was copied (an opt-in), and once the revision
    // is written, the finished digest of both signed ranges.
    KvsDigest *copy_digest;
    uint64_t copy_digested;
    uint8_t signed_digest[64];
    uint32_t signed_digest_length;
};

// ---------------------------------------------------------------- the other records

struct FoundSignatures {
    SignatureInfo *signatures; // grows over the operations of a handle
    uint32_t signature_count;
    uint32_t operation_start; // the first record of the operation under way
};

struct ErrorRing {
    ErrorEntry error_entries[kErrorRingSize];
    const char *error_texts[2][kMessageCodes];
    int32_t last_error_index;
    int32_t locale; // selects the message row
};

struct HostStores {
    CertStoreEntry *cert_store;
    RevocationStoreEntry *crl_store;
    RevocationStoreEntry *ocsp_store;
};

struct PdfDocument {
    HostSettings settings;
    ParsedDocument parsed;
    UpdateInProgress update;
    FoundSignatures found;
    ErrorRing errors;
    HostStores stores;
    FileOps file_ops;
    int32_t mode;              // of the last operation started
    uint32_t *checked_objects; // the other_objects of the last KvPdfCheckSignature
    BackgroundCopy *copying;   // the copy running while validation data is collected
};

// One initialiser and one release per record. Each release frees what the record owns
// and leaves it as its initialiser made it.
[[nodiscard]] bool InitSettings(HostSettings *settings, const char *src_path,
                                const char *target_path, int32_t sig_buffer_size);
void ReleaseSettings(HostSettings *settings);
void InitParsed(ParsedDocument *parsed);
void ReleaseParsed(ParsedDocument *parsed);
void InitUpdate(UpdateInProgress *update);
void ReleaseUpdate(UpdateInProgress *update);
void ReleaseFound(FoundSignatures *found);
void InitErrors(ErrorRing *errors);
void ReleaseStores(HostStores *stores);

// ---------------------------------------------------------------- views of the handle

// The handle's file operations as a stage may use them, without the rest of the handle.
// Without a handle, the stdio set.
class FileAccess {
public:
    explicit FileAccess(PdfDocument *doc)
        : doc_(doc), ops_(doc ? &doc->file_ops : &kStdioFileOps) {}
    FileAccess(PdfDocument *doc, const FileOps *ops) : doc_(doc), ops_(ops) {}
    FILE *open(const char *path, const char *mode) const { return ops_->open(doc_, path, mode); }
    int seek(FILE *f, int64_t offset, int origin) const {
        return ops_->seek(doc_, f, offset, origin);
    }
    int64_t tell(FILE *f) const { return ops_->tell(doc_, f); }
    size_t read(void *buffer, size_t size, size_t count, FILE *f) const {
        return ops_->read(doc_, buffer, size, count, f);
    }
    size_t write(const void *buffer, size_t size, size_t count, FILE *f) const {
        return ops_->write(doc_, buffer, size, count, f);
    }
    int close(FILE *f) const { return ops_->close(doc_, f); }
    int copy(const char *target, const char *source, const char *mode) const {
        return ops_->copy(doc_, target, source, mode);
    }
    int eof(FILE *f) const { return ops_->eof(doc_, f); }
    int flush(FILE *f) const { return ops_->flush(doc_, f); }

private:
    PdfDocument *doc_;
    const FileOps *ops_;
};

// Owns a file opened through a FileAccess and closes it on scope exit; writers call
// close() themselves where its result matters.
class PdfFile {
public:
    PdfFile(const FileAccess &files, FILE *file) : files_(files), file_(file) {}
    PdfFile(const PdfFile &) = delete;
    PdfFile &operator=(const PdfFile &) = delete;
    ~PdfFile() { (void)close(); } // the result matters only where close() is called
    FILE *get() const { return file_; }
    explicit operator bool() const { return file_ != nullptr; }
    [[nodiscard]] int close() {
        int rc = 0;
        if (file_) rc = files_.close(file_);
        file_ = nullptr;
        return rc;
    }

private:
    FileAccess files_;
    FILE *file_;
};

// What reading a document may touch: the parsed-document record it fills, the handle's
// files and error ring, and the operation's mode. Settings and the update are out of
// its reach.
struct Reader {
    ParsedDocument &parsed;
    ErrorRing &errors;
    FileAccess files;
    int32_t mode;
};

inline Reader ReaderOf(PdfDocument *doc) {
    return Reader{doc->parsed, doc->errors, FileAccess(doc), doc->mode};
}

// What building an update may touch: the update record; the parsed document and the
// settings only to read them.
struct UpdateWriter {
    UpdateInProgress &update;
    const ParsedDocument &parsed;
    const HostSettings &settings;
    ErrorRing &errors;
    FileAccess files;
    int32_t mode;
    const LogoImage *logo; // the appearance record of the write call, or NULL
};

inline UpdateWriter WriterOf(PdfDocument *doc, const LogoImage *logo) {
    return UpdateWriter{doc->update,     doc->parsed, doc->settings, doc->errors,
                        FileAccess(doc), doc->mode,   logo};
}

// ---------------------------------------------------------------- the frame

// pdfsign_handles.cpp: the set of live handles.
PdfDocument *HandleLookup(KvPdfHandle handle);
[[nodiscard]] bool HandleRegister(PdfDocument *doc);
void HandleUnregister(PdfDocument *doc);
int HandleOpenCount();

// pdfsign.cpp / pdfsign_process.cpp
[[nodiscard]] int32_t ProcessPdf(PdfDocument *doc, const LogoImage *logo = nullptr);
[[nodiscard]] int32_t ProbeLinearized(Reader r, FILE *file, uint32_t position);
[[nodiscard]] int32_t ApplyVersionRule(PdfDocument *doc, int32_t result);
[[nodiscard]] int32_t UpdateLocale(PdfDocument *doc);
[[nodiscard]] int32_t ReadHeaderVersion(PdfDocument *doc, const char *path, int32_t *major,
                                        int32_t *minor);
[[nodiscard]] int32_t TestPdfHeader(PdfDocument *doc, FILE *file);
// Refuses a path that names no regular file, or one too large for 32-bit offsets.
[[nodiscard]] int32_t CheckInputFile(PdfDocument *doc, const char *path);
// Cuts the output back to the source's length: 1, or -10, -48, -49 with the ring entry.
[[nodiscard]] int32_t RestoreOutput(PdfDocument *doc);
// The copy of source to target with the digest of its bytes (KVPDF_PROP_COPY_DIGEST),
// and that digest completed over the written revision's signed bytes.
[[nodiscard]] int32_t CopyWithDigest(PdfDocument *doc, const char *target, const char *source);
[[nodiscard]] int32_t CompleteSignedDigest(PdfDocument *doc);
// Waits for the copy a collection of validation data started beside its reading, and
// with check, after a collection that succeeded, checks it is the document that was
// read: 1, or -9 recorded (no output left then).
[[nodiscard]] int32_t FinishBackgroundCopy(PdfDocument *doc, bool check);

} // namespace kvpdf

#endif
