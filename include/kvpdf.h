/*
 * kvpdf.h - PDF digital-signature library, flat C interface.
 *
 * Ownership, once for the whole interface:
 *  - A document handle (KvPdfHandle) comes from KvPDFInit and is released only by
 *    KvPDFClose. A handle that was never returned, or was already closed, is treated
 *    as an absent handle: nothing is recorded and the function returns its
 *    absent-handle result (usually -1).
 *  - Texts the host passes in are copied when the library keeps them.
 *  - Blocks the library hands to the host are freed with KvPDFDestroyer (or with the
 *    free function named at the function), never with the host's free(): the library
 *    and its host may use different C runtimes.
 *  - Failures are recorded in the handle's ring of ten ErrorEntry records (read them
 *    with KvPdfGetError and friends) and the function returns a negative code
 *    (KVPDF_ERR_...). Messages are Hungarian (Windows-1250 bytes) by default and
 *    English after KvPdfSetLocale(handle, 1).
 *  - A handle belongs to one thread at a time; create and close handles from one thread.
 *
 * The header is plain C (C99 for <stdint.h>); it compiles as C and as C++.
 */
#ifndef KVPDF_H
#define KVPDF_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#if defined(_WIN32)
#if defined(KVPDF_BUILDING)
#define KVPDF_API __declspec(dllexport)
#else
#define KVPDF_API __declspec(dllimport)
#endif
#else
#define KVPDF_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A document handle: pointer-sized and signed, so that the negative results of
 * KvPDFInit stay representable. */
typedef intptr_t KvPdfHandle;

/* Library version: 1.5.0.457. */
#define KVPDF_VERSION_MAJOR 1
#define KVPDF_VERSION_MINOR 5
#define KVPDF_VERSION_RELEASE 0
#define KVPDF_VERSION_BUILD 457

/* ---------------------------------------------------------------- error codes */
#define KVPDF_ERR_NULL_HANDLE (-1)
#define KVPDF_ERR_NOT_PDF (-2)
#define KVPDF_ERR_TRAILER_NO_SIZE (-3)
#define KVPDF_ERR_ENCRYPTED (-4)
#define KVPDF_ERR_TRAILER_NO_ROOT (-5)
#define KVPDF_ERR_OLD_VERSION (-6)
#define KVPDF_ERR_LINEARIZED_UPDATED (-7)
#define KVPDF_ERR_LINEARIZED_NO_XREF (-8)
#define KVPDF_ERR_COPY (-9)
#define KVPDF_ERR_OPEN_INPUT (-10)
#define KVPDF_ERR_OPEN_OUTPUT (-11)
#define KVPDF_ERR_NO_TRAILER (-12)
#define KVPDF_ERR_OBJECT_TABLE_MEMORY (-13)
#define KVPDF_ERR_POSITION (-14)
#define KVPDF_ERR_SEEK_END (-15)
#define KVPDF_ERR_FINDXREF (-16)
#define KVPDF_ERR_STARTXREF_NUMBER (-17)
#define KVPDF_ERR_XREF_LINE (-18)
#define KVPDF_ERR_TRAILER_MEMORY (-19)
#define KVPDF_ERR_TRAILER_READ (-20)
#define KVPDF_ERR_PNG_FILTER (-21)
#define KVPDF_ERR_FILTER_UNSUPPORTED (-22)
#define KVPDF_ERR_XREFSTM_NO_SIZE (-23)
#define KVPDF_ERR_XREFSTM_NO_INDEX (-24)
#define KVPDF_ERR_XREFSTM_NO_W (-25)
#define KVPDF_ERR_XREFSTM_NO_LENGTH (-26)
#define KVPDF_ERR_XREFSTM_NO_STREAM (-27)
#define KVPDF_ERR_NO_FIELDS (-28)
#define KVPDF_ERR_NO_PAGES (-29)
#define KVPDF_ERR_ROOT_END (-30)
#define KVPDF_ERR_NO_PARENT (-31)
#define KVPDF_ERR_NO_SIG_OBJECT (-32)
#define KVPDF_ERR_NO_SIG_CONTENTS (-33)
#define KVPDF_ERR_PAGE_OBJECT (-34)
#define KVPDF_ERR_ANNOTS_OBJECT (-35)
#define KVPDF_ERR_ACROFORM_OBJECT (-36)
#define KVPDF_ERR_FIELDS_OBJECT (-37)
#define KVPDF_ERR_STAGE_XREF (-38)
#define KVPDF_ERR_STAGE_OBJXREF (-39)
#define KVPDF_ERR_STAGE_TRAILER (-40)
#define KVPDF_ERR_STAGE_ROOT (-41)
#define KVPDF_ERR_STAGE_PAGE (-42)
#define KVPDF_ERR_STAGE_SIGANNOT (-43)
#define KVPDF_ERR_STAGE_OBJECTS (-44)
#define KVPDF_ERR_STAGE_PDF (-45)
#define KVPDF_ERR_EMPTY_SIGNATURE (-46)
#define KVPDF_ERR_STAGE_WRITESIGN (-47)
#define KVPDF_ERR_RESTORE (-48)
#define KVPDF_ERR_RESTORE_FLUSH (-49)
#define KVPDF_ERR_COMPRESSED_OBJECT (-50)
#define KVPDF_ERR_SET_PROPERTY (-51)
#define KVPDF_ERR_SET_PROPERTIES (-52)
#define KVPDF_ERR_SIGNATURE_TOO_LARGE (-53)
#define KVPDF_ERR_INVALID_XREF_TRAILER (-54)
#define KVPDF_ERR_NO_SIGNATURE (-55)
#define KVPDF_ERR_INVALID_XREF (-56)
#define KVPDF_ERR_OBJSTM_NO_FIRST (-57)
#define KVPDF_ERR_KONTIR_EMPTY (-60)
#define KVPDF_ERR_SET_KONTIR (-61)
#define KVPDF_ERR_LOGO_OPEN (-70)
#define KVPDF_ERR_LOGO_VERSION (-71)
#define KVPDF_ERR_LOGO_READ (-72)
#define KVPDF_ERR_ZLIB_INFLATEINIT (-80)
#define KVPDF_ERR_ZLIB_MEMORY (-81)
#define KVPDF_ERR_ZLIB_INFLATE (-82)
#define KVPDF_ERR_ZLIB_INFLATEEND (-83)
#define KVPDF_ERR_ZLIB_DEFLATE (-84)
#define KVPDF_ERR_ZLIB_DEFLATEEND (-85)
#define KVPDF_ERR_BUFFER (-90)
#define KVPDF_ERR_BYTERANGE (-100)
#define KVPDF_ERR_EXTRACT (-101)
#define KVPDF_ERR_SIGNATURE_INDEX (-102)
#define KVPDF_ERR_TEMP_REMOVE (-103)
#define KVPDF_ERR_ATTACHMENT_INDEX (-110)
#define KVPDF_ERR_ATTACHMENT_NAME (-111)
#define KVPDF_ERR_ATTACHMENT_OPEN (-112)
#define KVPDF_ERR_ATTACHMENT_READ (-113)
#define KVPDF_ERR_NAMES_READ (-114)
#define KVPDF_ERR_EMBEDDED_FILES (-116)
#define KVPDF_ERR_KIDS (-117)
#define KVPDF_ERR_EMBEDDED_FILE (-118)
#define KVPDF_ERR_STREAM_NO_LENGTH (-119)
#define KVPDF_ERR_STREAM_NOT_FOUND (-120)
#define KVPDF_ERR_ATTACHMENT_SAVE (-121)
#define KVPDF_ERR_ENCRYPTED_UNSUPPORTED (-122)
#define KVPDF_ERR_RAW_READ (-123)
#define KVPDF_ERR_NO_NAMES (-124)
#define KVPDF_ERR_NO_FIELD (-125)
#define KVPDF_ERR_NAMES_INLINE (-126)
#define KVPDF_ERR_DSS (-130)
#define KVPDF_ERR_NO_REVOCATION_ADDED (-131)
#define KVPDF_ERR_SIGNATURE_INVALID (-150)
#define KVPDF_ERR_TIMESTAMP_INVALID (-151)
#define KVPDF_ERR_ADD_CRL (-152)
#define KVPDF_ERR_ADD_CERT (-153)
#define KVPDF_ERR_ADD_OCSP (-154)
#define KVPDF_ERR_CREATE_SIGNATURE (-155)
#define KVPDF_ERR_CREATE_TIMESTAMP (-156)
#define KVPDF_ERR_VERSION_UNSUPPORTED (-200)
#define KVPDF_WARN_COMPRESSED_FEATURES (-201)
/* Reported only through the error cell of the extraction calls; no message. */
#define KVPDF_ERR_EXTRACT_OPEN_SOURCE (-307)
#define KVPDF_ERR_EXTRACT_OPEN_DEST (-308)

/* ---------------------------------------------------------------- records */

/* One recorded error. Exchanged byte for byte: 500 + 4 + 4 + 500 = 1008 bytes. */
typedef struct ErrorEntry {
    char src_file[500]; /* source unit that detected the error, NUL-terminated */
    int32_t line;       /* line in that unit */
    int32_t code;       /* negative error code */
    char message[500];  /* message in the handle's language, NUL-terminated */
} ErrorEntry;

/* One signature found by KvPdfFindSignatures. The texts belong to the handle and
 * stay valid until KvPDFClose; the host must not free them. */
typedef struct SignatureInfo {
    uint32_t field_obj;       /* object number of the signature field (widget) */
    int32_t kind;             /* KVPDF_SIG_KIND_... */
    char *name;               /* /Name, or NULL */
    char *location;           /* /Location, or NULL */
    char *reason;             /* /Reason, or NULL */
    char *contact_info;       /* /ContactInfo, or NULL */
    char *signing_time;       /* /M, or NULL */
    char *subfilter;          /* /SubFilter, or NULL */
    uint32_t contents_offset; /* file offset of the first hex digit of /Contents */
    uint32_t byte_range[4];   /* the four numbers of /ByteRange */
} SignatureInfo;

#define KVPDF_SIG_KIND_SIGNATURE 0
#define KVPDF_SIG_KIND_CADES 1
#define KVPDF_SIG_KIND_DOC_TIMESTAMP 2

/* A signature-appearance image loaded ahead of time by KvPDFSetLogo; freed with
 * KvPDFLogoFree. */
typedef struct LogoImage {
    const char *path;     /* the host's path, not copied */
    uint8_t *data;        /* image object body read from the file */
    uint32_t data_length; /* its length in bytes */
    int32_t version;      /* header version (0: not read) */
    int32_t header_value; /* second header value (0: not read) */
    int32_t image_width;  /* /Width of the image object */
    int32_t image_height; /* /Height of the image object */
    int32_t box_width;    /* /KvImgWidth of the file header */
    int32_t box_height;   /* /KvImgHeight of the file header */
    int32_t is_sigappx;   /* 1 when the path ends in ".sigappx" (any case) */
} LogoImage;

/* Locales of the messages. */
#define KVPDF_LOCALE_HU 0
#define KVPDF_LOCALE_EN 1

/* ---------------------------------------------------------------- lifecycle */

/* Creates a document handle for a source PDF and an output PDF. No file is opened.
 * target_path may be NULL: every write then goes into the source file itself.
 * sig_buffer_size is the number of signature bytes reserved in /Contents: below 1
 * reserves 30000, 1 to 1999 reserve 2000, larger values are taken unchanged.
 * Returns the handle (> 0), -10 when src_path is NULL, 0 when memory is short. */
KVPDF_API KvPdfHandle KvPDFInit(const char *src_path, const char *target_path,
                                int32_t sig_buffer_size);

/* Frees everything the handle owns. Returns 1 (also for an absent handle). */
KVPDF_API int32_t KvPDFClose(KvPdfHandle handle);

/* Frees a block the library handed to the host and sets *block to NULL. */
KVPDF_API void KvPDFDestroyer(void **block);

/* Takes the update appended by the last write back out: truncates the output file to
 * the length the source had. Returns 1; -1 absent handle; -48 no document processed
 * yet or truncation failed; -10 the output file does not open; -49 flush failed. */
KVPDF_API int32_t KvPDFRestorePDF(KvPdfHandle handle);

/* Sets the product sentence appended to /Reason for the handle's locale.
 * Returns 1, or -1 for an absent handle or a locale other than 0 and 1. */
KVPDF_API int32_t KvPDFUpdateLocal(KvPdfHandle handle);

/* Fills the library version 1.5.0.457 into the given places (each may be NULL).
 * Returns 1. */
KVPDF_API int32_t KvPDFGetVersion(int32_t *major, int32_t *minor, int32_t *release, int32_t *build);

/* Writes "1.5.0.457" into buffer (at least 16 bytes). Returns 1; 0 when buffer is NULL. */
KVPDF_API int32_t KvPDFGetVersionStr(char *buffer);

/* Tests whether the file begins with "%PDF-". Returns 1 for a PDF, -2 when the header
 * test fails, -10 when the file cannot be opened, -1 for an absent handle. Errors are
 * recorded in the handle. */
KVPDF_API int32_t KvIsPDFFile(const char *path, KvPdfHandle handle);

/* As KvIsPDFFile on a file the host opened for reading (binary). The file position
 * is moved. Returns 1, -2, or -1 for an absent handle or file. */
KVPDF_API int32_t KvIsPDFFilePointer(FILE *file, KvPdfHandle handle);

/* Reads the header version ("%PDF-1.7": major 1, minor 7) into the two places and
 * returns the header length (7 + number of minor digits, 8 here), or -2 (not a PDF),
 * -10 (cannot open), -1 (absent handle). */
KVPDF_API int32_t KvGetPDFFileVersion(const char *path, int32_t *major, int32_t *minor,
                                      KvPdfHandle handle);

/* ---------------------------------------------------------------- errors */

/* Index (0 to 9) of the newest entry of the error ring; -1 when none was recorded
 * since creation or the last reset, or for an absent handle. */
KVPDF_API int32_t KvPdfGetLastErrorIndex(KvPdfHandle handle);

/* Marks the ring empty (entries stay readable until overwritten). Returns 1; 0 for
 * an absent handle. */
KVPDF_API int32_t KvPdfResetErrors(KvPdfHandle handle);

/* Sets the message language: 0 Hungarian, 1 English. Any other value is stored and
 * makes later messages empty. Does not change the /Reason sentence (property 12
 * does both). Returns 1; 0 for an absent handle. */
KVPDF_API int32_t KvPdfSetLocale(KvPdfHandle handle, int32_t locale);

/* Fills the handle's message tables again. Returns 1; 0 for an absent handle. */
KVPDF_API int32_t KvPdfInitErrorStr(KvPdfHandle handle);

/* The message template of a code (5 and -5 are the same) in the handle's language:
 * a constant text owned by the library, "" when the code has none in that language,
 * NULL for an absent handle or an unknown locale. A magnitude of 202 or more gives the
 * text of code 0; with an unknown locale that is a new block the host frees with
 * KvPDFDestroyer. */
KVPDF_API const char *KvPdfGetErrorStr(KvPdfHandle handle, int32_t code);

/* Copies entry index (0 to 9) of the ring into *entry. Returns 1; 0 for an absent
 * handle, a NULL entry or an index outside 0 to 9 (*entry is then left untouched). */
KVPDF_API int32_t KvPdfGetError(KvPdfHandle handle, int32_t index, ErrorEntry *entry);

/* Copies the message of entry 0 into buffer (at least 500 bytes). Returns 1; -1 for
 * an absent handle or buffer or when no error is recorded (buffer untouched). */
KVPDF_API int32_t KvPdfGetFirstErrorString(KvPdfHandle handle, char *buffer);

/* Prints entries 0 to the newest to standard output. Returns 1; 0 for an absent
 * handle. */
KVPDF_API int32_t KvPdfPrintErrors(KvPdfHandle handle);

#ifdef __cplusplus
}
#endif

#endif /* KVPDF_H */
