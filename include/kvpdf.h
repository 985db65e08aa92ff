/* SPDX-License-Identifier: Apache-2.0 */
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
 *  - Threads: separate handles may be used on separate threads at the same time, each
 *    created and closed on any thread: the set of open handles, the process-wide stores
 *    and the signing library's settings are locked. One handle belongs to one thread at
 *    a time. The stores are shared: a host that adds to them while other threads verify
 *    or collect validation data decides what those see.
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
/* The build's .def file is the export list; dllexport would add decorated names. */
#define KVPDF_API
#else
#define KVPDF_API __declspec(dllimport)
#endif
#else
#define KVPDF_API __attribute__((visibility("default")))
#endif

/* The calling convention, written between the return type and the name of every
 * function. 32-bit Windows: __stdcall, what .NET, VB6 and Delphi hosts call by default,
 * with the names exported undecorated (KvPDFInit, not _KvPDFInit@12) by a .def file.
 * Everywhere else there is one convention.
 * Paths on Windows are in the ANSI code page (the A functions); a host holding UTF-8
 * or UTF-16 paths converts them with WideCharToMultiByte(CP_ACP, ...) first, or passes
 * the short (8.3) name of a path the code page cannot spell. */
#if defined(_WIN32) && !defined(_WIN64)
#define KVPDF_CALL __stdcall
#else
#define KVPDF_CALL
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
#define KVPDF_ERR_NO_EMBEDDED_FILES (-115)
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
/* Extensions: refusals the library adds for inputs it cannot handle safely. */
#define KVPDF_ERR_NOT_REGULAR_FILE (-210)   /* a directory, FIFO, socket or device */
#define KVPDF_ERR_INPUT_TOO_LARGE (-211)    /* 4 GiB or more: beyond 32-bit offsets */
#define KVPDF_ERR_XREF_CONTRADICTION (-212) /* a subsection repeats or overflows, /Prev loops */
#define KVPDF_ERR_OBJECT_KIND (-213)        /* an object is named for a role it cannot have */
#define KVPDF_ERR_READ_BACK (-214)          /* the revision built does not read back */
#define KVPDF_ERR_OUTPUT_CHANGED (-215)     /* the output changed between the two phases */
#define KVPDF_ERR_OBJECT_MISSING (-216)     /* a reference the update relies on names nothing */
#define KVPDF_ERR_DSS_TOO_LARGE (-217)      /* DSS data beyond what the file's length backs */
#define KVPDF_ERR_OBJECT_SYNTAX (-218)      /* an object the update rewrites is malformed */
/* Extensions: what complete signature discovery skips, the search going on. */
#define KVPDF_ERR_FIELD_UNREADABLE (-219) /* a field, widget or page is not a readable object */
#define KVPDF_ERR_SIGNATURE_VALUE (-220)  /* a signature field's /V is no signature dictionary */
#define KVPDF_ERR_FIELD_DEPTH (-221)      /* the field tree or a /Parent chain is too deep */
#define KVPDF_ERR_LATER_REVISION (-222)   /* a revision cannot be compared with one signed */
/* Extensions: what reading embedded files skips, the others being read. */
#define KVPDF_ERR_NAME_TREE (-223)            /* the name tree loops or is too deep */
#define KVPDF_ERR_ATTACHMENT_TOO_LARGE (-224) /* an embedded file inflates past the limit */
#define KVPDF_ERR_STREAM_LENGTH (-225)        /* a stream's /Length passes the end of the file */
/* Extensions: refusals of the signing workflows (properties 108 to 111). */
#define KVPDF_ERR_FIELD_SIGNED (-230) /* the named signature field is signed already */
#define KVPDF_ERR_FIELD_EXISTS (-231) /* a field of the name exists and is not to be filled */
#define KVPDF_ERR_PAGE_NUMBER (-232)  /* the document has no page of the number asked for */
#define KVPDF_ERR_CERTIFY (-233)      /* the catalog has permissions: no certification */
/* Extension: KvPdfGetSignedDigest without a digest (KVPDF_PROP_COPY_DIGEST). */
#define KVPDF_ERR_NO_DIGEST (-234)
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

/* ---------------------------------------------------------------- properties */

/* Property numbers of KvPDFSetProperty. Text properties take a text pointer, number
 * properties a number, both passed as intptr_t (KVPDF_TEXT / KVPDF_NUMBER). */
#define KVPDF_TEXT(s) ((intptr_t)(const char *)(s))
#define KVPDF_NUMBER(n) ((intptr_t)(n))

#define KVPDF_PROP_REASON 1          /* text: user part of /Reason */
#define KVPDF_PROP_NAME 2            /* text: /Name */
#define KVPDF_PROP_LOCATION 3        /* text: /Location */
#define KVPDF_PROP_CONTACT 4         /* text: /ContactInfo */
#define KVPDF_PROP_APPEARANCE_FILE 5 /* text: signature-appearance file (.sigappx) */
#define KVPDF_PROP_NO_PAGE_WALK 6    /* number: 1 = field on no page, invisible */
#define KVPDF_PROP_VISIBLE 7         /* number: 1 = visible appearance */
#define KVPDF_PROP_RECT_LLX 8        /* numbers 8 to 11: widget rectangle */
#define KVPDF_PROP_RECT_LLY 9
#define KVPDF_PROP_RECT_URX 10
#define KVPDF_PROP_RECT_URY 11
#define KVPDF_PROP_LOCALE 12         /* number: messages and /Reason sentence language */
#define KVPDF_PROP_KONTIR_TEXT 13    /* text: the Kontir note (written only when set) */
#define KVPDF_PROP_KONTIR_TITLE 14   /* text: /T of the note */
#define KVPDF_PROP_KONTIR_SUBJECT 15 /* text: /Subj of the note */
#define KVPDF_PROP_KONTIR_LLX 16     /* numbers 16 to 19: the note's rectangle */
#define KVPDF_PROP_KONTIR_LLY 17
#define KVPDF_PROP_KONTIR_URX 18
#define KVPDF_PROP_KONTIR_URY 19
#define KVPDF_PROP_POPUP_LLX 20 /* numbers 20 to 23: the popup's rectangle */
#define KVPDF_PROP_POPUP_LLY 21
#define KVPDF_PROP_POPUP_URX 22
#define KVPDF_PROP_POPUP_URY 23
#define KVPDF_PROP_POPUP_OPEN 24        /* number: popup initially open */
#define KVPDF_PROP_SIGNING_TIME 25      /* text: replaced by the signing time when written */
#define KVPDF_PROP_SUBFILTER_SELECT 26  /* number: KVPDF_SUBFILTER_PKCS7 or _CADES */
#define KVPDF_PROP_VALUE30 30           /* number: stored only */
#define KVPDF_PROP_TEXT31 31            /* text: stored only */
#define KVPDF_PROP_ATTACHMENTS_CLEAR 40 /* empties the list of files to attach */
#define KVPDF_PROP_ATTACHMENT_ADD 41    /* text: a file path added to the list to attach */
#define KVPDF_PROP_SUBFILTER 50         /* text: /SubFilter name, without the slash */

/* Extension: 1 turns on complete signature discovery for the searches of this handle
 * (KvPdfFindSignatures, KvPdfFindLastSignaturePos, KvPDF_AddRevocationInformation):
 * every signed signature field and document timestamp is listed once, from the whole
 * form field tree (/Kids followed, /FT inherited) and then from the widgets of every
 * page that the form does not name; other fields and annotations are skipped instead of
 * ending the search; the list is in signing order (by the start of the /ByteRange gap).
 * A field that cannot be read is recorded in the error ring and skipped. 0 (the
 * default) keeps the search of the first page and the top-level fields. */
#define KVPDF_PROP_FIND_ALL_SIGNATURES 100
/* Extension: 1 makes KvPDF_AddRevocationInformation verify (with the host's stores, at
 * the current time) and collect the signer and timestamp chains of every signature and
 * document timestamp found (index -1, whatever DSS the document has) or of the one
 * entry index names, skipping entries the signing library cannot read. 0 (the default)
 * keeps the selection by the last document timestamp: entries after it are not
 * verified, and an unreadable entry ends the collection. */
#define KVPDF_PROP_LTV_EVERY_ENTRY 101
/* Extension: 1 makes KvPdfGetAttachments read the whole /EmbeddedFiles name tree (every
 * kid at every level, each node once, at most 32 levels deep) and the FileAttachment
 * annotations of every page, each /Filespec dictionary once; a names dictionary that
 * cannot be read is recorded and the annotations are still read. 0 (the default) reads
 * the root's names, or only its first kid's, and the annotations of the first page. */
#define KVPDF_PROP_ALL_ATTACHMENTS 102
/* Extension: 1 makes KvPDFSetAttachmentInfo name an attachment by the last component of
 * its path (after the last '/' or '\'), so that the document does not carry the host's
 * directories. 0 (the default) names it by the whole path, backslashes doubled. */
#define KVPDF_PROP_ATTACHMENT_BASENAME 103
/* Extension: the most bytes one embedded file may inflate to when attachments are read
 * (default 1 GiB, the least accepted 1). A larger file is left without data and -224 is
 * recorded, so a small stream that inflates without end cannot exhaust memory. */
#define KVPDF_PROP_ATTACHMENT_LIMIT 104
/* Extension: 1 lets KvPdfWriteAttachments add files to a catalog whose /Names dictionary
 * is inline: the update writes it as a names dictionary of its own (other entries kept,
 * existing names merged with the new ones) and the catalog names that instead. 0 (the
 * default) refuses such a catalog with -124 after -126. */
#define KVPDF_PROP_ATTACHMENT_INLINE_NAMES 105
/* Extension: 1 writes /Reason as the host's text alone (KVPDF_PROP_REASON; no /Reason
 * at all without one), so that a text string in UTF-16 stays one. 0 (the default)
 * appends " - " and the locale's product sentence to it. */
#define KVPDF_PROP_REASON_ONLY 106
/* Extension: the name (/T) of the new signature field instead of "KvSignature<n>",
 * written between parentheses as given: the host escapes '(', ')' and '\' of a literal
 * string. A field whose fully qualified name (the /T of its ancestors and its own, joined
 * by '.') equals the name is never doubled: KvPdfWritePDFWithoutSignature refuses with
 * -231, or fills it with KVPDF_PROP_SIGN_EXISTING_FIELD. NULL (the default) keeps
 * "KvSignature<n>". */
#define KVPDF_PROP_FIELD_NAME 108
/* Extension: 1 makes the signature (or document timestamp) go into the existing field
 * that KVPDF_PROP_FIELD_NAME names when that field is a signature field (/FT /Sig, own or
 * inherited) without /V: the update rewrites that field to add /V, adds /SigFlags 3 to
 * the form when it has none, and adds no widget, no /Fields and no /Annots entry; the
 * field's widgets keep their page, /Rect and appearance (the visible flag, the rectangle,
 * the appearance file and the Kontir note have no effect then). A field of that name that
 * has /V gives -230; one of another type gives -231. 0 (the default) refuses any field of
 * that name with -231. Without a name it has no effect. */
#define KVPDF_PROP_SIGN_EXISTING_FIELD 109
/* Extension: the page (1 = the first, in page-tree order) that receives the new widget
 * and names it in its /Annots. The rectangle is then kept inside that page's crop box
 * (/CropBox, else /MediaBox, own or inherited): one that does not lie inside moves in,
 * its size kept (cut to the box's where larger). A number past the last page gives
 * -232. 0 (the default) keeps the first page (a linearized file's /O) and the rectangle
 * as set. */
#define KVPDF_PROP_PAGE 110
/* Extension: 1, 2 or 3 makes the signature a certification (ISO 32000-1, 12.8.2.2):
 * its dictionary gets a DocMDP /Reference with that /P (1 no changes, 2 form filling and
 * signing, 3 also annotations) and the catalog /Perms << /DocMDP sig >>. A catalog that
 * has /Perms already gives -233. The host certifies the first signature of a document
 * only. 0 (the default) writes an approval signature; other values are refused (0). */
#define KVPDF_PROP_CERTIFY 111
/* Extension: 256, 384 or 512 makes KvPdfWritePDFWithoutSignature compute the SHA-256,
 * SHA-384 or SHA-512 digest of the signed bytes as it writes them: each block of the
 * source is read once, hashed on a second thread and written from the same memory (so
 * the digest is of the bytes the output holds, whatever happens to the source), and the
 * digest is completed over the dictionary's head and the text after the value. A source
 * updated in place is read once instead. KvPdfGetSignedDigest then gives the digest,
 * for the host to sign without reading the output again. A failure of the combined copy
 * gives -9 and leaves no output; a source that changed length while it was copied gives
 * -9 and the output back as the copy. 0 (the default) copies in the kernel and computes
 * nothing. Only signatures and document timestamps use it. */
#define KVPDF_PROP_COPY_DIGEST 112
/* Extension: the time this handle writes instead of the clock's, as the decimal text of
 * seconds since 1970-01-01 UTC ("1767225600"), for /M of the signature dictionary and
 * the Kontir note's date, formatted as the clock's time is (the process's zone). Output
 * signed twice with one time, key and CAdES in one time zone is then the same byte for
 * byte, on Linux and on Windows. The time inside a PKCS#7 signature (its signing-time
 * attribute) and inside timestamps stays the clock's and the TSA's. NULL or "" (the
 * default) goes back to the clock; any other text than a number from 1 to 32503679999
 * (year 2999) is refused (0). */
#define KVPDF_PROP_FIXED_TIME 113

#define KVPDF_SUBFILTER_PKCS7 2 /* "adbe.pkcs7.detached" */
#define KVPDF_SUBFILTER_CADES 3 /* "ETSI.CAdES.detached" */

/* ---------------------------------------------------------------- cryptography records */

/* One item of the data to sign (KvPDF_CreateSignatureAdv): length bytes at data, or
 * with length -1, data is the name of a file whose contents are signed. Items are
 * signed as one concatenation, in list order. */
typedef struct SignedDataItem {
    const void *data;
    int32_t length;
    const char *content_type; /* a MIME type, informational */
    struct SignedDataItem *next;
} SignedDataItem;

/* The signing key and profile, handed to the signing library as they are. */
typedef struct SigningParameters {
    const char *key;     /* PKCS#12 file, or PEM private-key file */
    const char *secret;  /* its password, or NULL */
    const char *certs;   /* PEM file: signer certificate and intermediates (for a PEM key) */
    const char *tsa_url; /* http:// RFC 3161 service for a signature timestamp, or NULL */
    uint32_t flags;      /* KVPDF_SIGN_CADES: ETSI.CAdES.detached; 0: PKCS#7 detached */
} SigningParameters;

#define KVPDF_SIGN_CADES 0x1u

/* A certificate's description (KvPDF_GetCertInfo). Texts are UTF-8. */
typedef struct CertificateInfo {
    char *subject;         /* RFC 2253 distinguished name */
    char *issuer;          /* RFC 2253 distinguished name */
    char *serial;          /* hexadecimal */
    char *not_before;      /* ISO 8601 UTC */
    char *not_after;       /* ISO 8601 UTC */
    void *reserved;        /* not filled */
    uint32_t key_usage;    /* key-usage bits (0x80 digitalSignature, 0x40 nonRepudiation ...),
                              0xFFFFFFFF when the extension is absent */
    int32_t is_ca;         /* basicConstraints cA */
    int32_t path_length;   /* pathLenConstraint, -1 none */
    int32_t signature_nid; /* OpenSSL NID of the signature algorithm */
} CertificateInfo;

/* One certificate of a chain, with the CRL and OCSP response used for it (DER; NULL
 * when none). Lists come from the library; free them with KvPDF_FreeCertDataChain. */
typedef struct CertDataChain {
    uint8_t *cert;
    uint32_t cert_length;
    uint8_t *crl;
    uint32_t crl_length;
    uint8_t *ocsp;
    uint32_t ocsp_length;
    struct CertDataChain *next;
} CertDataChain;

/* One timestamp of the last verification: its time (seconds since 1970, as two
 * words), the token (DER) and the TSA's chain. Free lists with KvPDF_FreeTSChain. */
typedef struct TSChain {
    uint32_t time_low;
    int32_t time_high;
    uint8_t *data;
    uint32_t data_length;
    CertDataChain *chain;
    struct TSChain *next;
} TSChain;

/* ---------------------------------------------------------------- lifecycle */

/* Creates a document handle for a source PDF and an output PDF. No file is opened.
 * target_path may be NULL: every write then goes into the source file itself.
 * sig_buffer_size is the number of signature bytes reserved in /Contents: below 1
 * reserves 30000, 1 to 1999 reserve 2000, larger values are taken unchanged.
 * Returns the handle (> 0), -10 when src_path is NULL, 0 when memory is short. */
KVPDF_API KvPdfHandle KVPDF_CALL KvPDFInit(const char *src_path, const char *target_path,
                                           int32_t sig_buffer_size);

/* Frees everything the handle owns. Returns 1 (also for an absent handle). */
KVPDF_API int32_t KVPDF_CALL KvPDFClose(KvPdfHandle handle);

/* Frees a block the library handed to the host and sets *block to NULL. */
KVPDF_API void KVPDF_CALL KvPDFDestroyer(void **block);

/* Takes the update appended by the last write back out: truncates the output file to
 * the length the source had. Returns 1; -1 absent handle; -48 no document processed
 * yet or truncation failed; -10 the output file does not open; -49 flush failed. */
KVPDF_API int32_t KVPDF_CALL KvPDFRestorePDF(KvPdfHandle handle);

/* Sets the product sentence appended to /Reason for the handle's locale.
 * Returns 1, or -1 for an absent handle or a locale other than 0 and 1. */
KVPDF_API int32_t KVPDF_CALL KvPDFUpdateLocal(KvPdfHandle handle);

/* Fills the library version 1.5.0.457 into the given places (each may be NULL).
 * Returns 1. */
KVPDF_API int32_t KVPDF_CALL KvPDFGetVersion(int32_t *major, int32_t *minor, int32_t *release,
                                             int32_t *build);

/* Writes "1.5.0.457" into buffer (at least 16 bytes). Returns 1; 0 when buffer is NULL. */
KVPDF_API int32_t KVPDF_CALL KvPDFGetVersionStr(char *buffer);

/* Tests whether the file begins with "%PDF-". Returns 1 for a PDF, -2 when the header
 * test fails, -10 when the file cannot be opened, -1 for an absent handle. Errors are
 * recorded in the handle. */
KVPDF_API int32_t KVPDF_CALL KvIsPDFFile(const char *path, KvPdfHandle handle);

/* As KvIsPDFFile on a file the host opened for reading (binary). The file position
 * is moved. Returns 1, -2, or -1 for an absent handle or file. On Windows the FILE
 * must come from the C runtime the DLL uses (msvcrt.dll, as mingw programs have it): a
 * FILE of another runtime (ucrtbase, a static one) is not a FILE to the library. */
KVPDF_API int32_t KVPDF_CALL KvIsPDFFilePointer(FILE *file, KvPdfHandle handle);

/* Reads the header version ("%PDF-1.7": major 1, minor 7) into the two places and
 * returns the header length (7 + number of minor digits, 8 here), or -2 (not a PDF),
 * -10 (cannot open), -1 (absent handle). */
KVPDF_API int32_t KVPDF_CALL KvGetPDFFileVersion(const char *path, int32_t *major, int32_t *minor,
                                                 KvPdfHandle handle);

/* ---------------------------------------------------------------- errors */

/* Index (0 to 9) of the newest entry of the error ring; -1 when none was recorded
 * since creation or the last reset, or for an absent handle. */
KVPDF_API int32_t KVPDF_CALL KvPdfGetLastErrorIndex(KvPdfHandle handle);

/* Marks the ring empty (entries stay readable until overwritten). Returns 1; 0 for
 * an absent handle. */
KVPDF_API int32_t KVPDF_CALL KvPdfResetErrors(KvPdfHandle handle);

/* Sets the message language: 0 Hungarian, 1 English. Any other value is stored and
 * makes later messages empty. Does not change the /Reason sentence (property 12
 * does both). Returns 1; 0 for an absent handle. */
KVPDF_API int32_t KVPDF_CALL KvPdfSetLocale(KvPdfHandle handle, int32_t locale);

/* Fills the handle's message tables again. Returns 1; 0 for an absent handle. */
KVPDF_API int32_t KVPDF_CALL KvPdfInitErrorStr(KvPdfHandle handle);

/* The message template of a code (5 and -5 are the same) in the handle's language:
 * a constant text owned by the library, "" when the code has none in that language,
 * NULL for an absent handle or an unknown locale. A magnitude of 202 or more gives the
 * text of code 0; with an unknown locale that is a new block the host frees with
 * KvPDFDestroyer. */
KVPDF_API const char *KVPDF_CALL KvPdfGetErrorStr(KvPdfHandle handle, int32_t code);

/* Copies entry index (0 to 9) of the ring into *entry. Returns 1; 0 for an absent
 * handle, a NULL entry or an index outside 0 to 9 (*entry is then left untouched). */
KVPDF_API int32_t KVPDF_CALL KvPdfGetError(KvPdfHandle handle, int32_t index, ErrorEntry *entry);

/* Copies the message of entry 0 into buffer (at least 500 bytes). Returns 1; -1 for
 * an absent handle or buffer or when no error is recorded (buffer untouched). */
KVPDF_API int32_t KVPDF_CALL KvPdfGetFirstErrorString(KvPdfHandle handle, char *buffer);

/* Prints entries 0 to the newest to standard output. Returns 1; 0 for an absent
 * handle. */
KVPDF_API int32_t KVPDF_CALL KvPdfPrintErrors(KvPdfHandle handle);

/* ---------------------------------------------------------------- properties */

/* Sets property id (KVPDF_PROP_...) to value (a text pointer or a number, as intptr_t).
 * Texts are copied; a NULL text clears the property. Returns 1 when the id was handled,
 * 0 for an id outside 1 to 50, an id without effect, or KVPDF_PROP_SUBFILTER_SELECT
 * with a value other than 2 and 3; -51 for an absent handle. */
KVPDF_API int32_t KVPDF_CALL KvPDFSetProperty(KvPdfHandle handle, int32_t id, intptr_t value);

/* id 0 writes the version text (at least 16 bytes) into buffer and returns 1; id 42
 * returns 1; other ids 0; an absent handle -1. */
KVPDF_API int32_t KVPDF_CALL KvPDFGetProperty(KvPdfHandle handle, int32_t id, char *buffer);

/* Sets the widget rectangle, name, location, reason, contact, appearance file, the
 * no-page-walk and visible flags in one call. Returns 1; -52 for an absent handle. */
KVPDF_API int32_t KVPDF_CALL KvPDFSetProperties(KvPdfHandle handle, int32_t llx, int32_t lly,
                                                int32_t urx, int32_t ury, const char *name,
                                                const char *location, const char *reason,
                                                const char *contact, const char *appearance_file,
                                                int32_t no_page_walk, int32_t visible);

/* Sets the Kontir note: text, subject, title, popup open flag, the note's rectangle and
 * the popup's rectangle. Returns 1; -61 for an absent handle. */
KVPDF_API int32_t KVPDF_CALL KvPDFSetKontirProperties(KvPdfHandle handle, const char *text,
                                                      const char *subject, const char *title,
                                                      int32_t popup_open, int32_t llx, int32_t lly,
                                                      int32_t urx, int32_t ury, int32_t popup_llx,
                                                      int32_t popup_lly, int32_t popup_urx,
                                                      int32_t popup_ury);

/* Loads a signature-appearance file. Returns a new LogoImage (as intptr_t, > 0; free it
 * with KvPDFLogoFree), -70 when the file does not open, -72 when it cannot be read or
 * has no /KvImgWidth header, 0 when memory is short. A NULL path gives an empty record.
 * The record keeps the path pointer: keep the text alive while the record is used. The
 * handle (may be absent) records errors and takes the image size. */
KVPDF_API intptr_t KVPDF_CALL KvPDFSetLogo(KvPdfHandle handle, const char *path);

/* Frees a record of KvPDFSetLogo. Returns 1; 0 for NULL. */
KVPDF_API int32_t KVPDF_CALL KvPDFLogoFree(LogoImage *logo);

/* The image size of logo, or without one of the image loaded last through the handle.
 * Returns 1; 0 for an absent handle. */
KVPDF_API int32_t KVPDF_CALL KvPdfGetLogoDimension(KvPdfHandle handle, const LogoImage *logo,
                                                   int32_t *height, int32_t *width);

/* The image size (/Height, /Width) of an appearance file. Returns 1; 0 when path is
 * NULL or the file cannot be read; -70 when it does not open. */
KVPDF_API int32_t KVPDF_CALL KvPdfGetLogoDimensionFile(const char *path, int32_t *height,
                                                       int32_t *width);

/* ---------------------------------------------------------------- signing */

/* Writes the revision to be signed into the output file: the signature dictionary with
 * a reserved /Contents of 2 x sig_buffer_size zeros, the signature field and widget
 * (visible with an appearance unless KVPDF_PROP_VISIBLE is 0), the optional Kontir
 * note, the rewritten page, form or catalog, the cross-reference section and the final
 * /ByteRange. After KvPdfCreateDocTimeStamp it writes a document timestamp instead.
 * logo is a record of KvPDFSetLogo or 0 (any value below 1 counts as none).
 * The file is not a finished PDF until KvPdfWriteDummySignatureAndAddedContent or
 * KvPdfWriteSignature. Returns 1 or a negative code (-200: written, but the header
 * version is below 1.2 or x.0/x.1); KvPDFRestorePDF takes the update back out. */
KVPDF_API int32_t KVPDF_CALL KvPdfWritePDFWithoutSignature(KvPdfHandle handle, intptr_t logo);
/* The same operation. */
KVPDF_API int32_t KVPDF_CALL KvPdfWritePDFWithoutTimestamp(KvPdfHandle handle, intptr_t logo);
/* Switches the handle to document timestamps (mode 2). Returns 1; -1 absent handle. */
KVPDF_API int32_t KVPDF_CALL KvPdfCreateDocTimeStamp(KvPdfHandle handle);

/* Brings the output file into its final layout with an all-zero /Contents and stores
 * the file offset of its "<" in *contents_offset (may be NULL). The host then signs
 * bytes [0, byte_range[1]) and [byte_range[2], end of file). Returns 1; -1 absent
 * handle; -11 the output file does not open; -47 no revision was written; -14 a
 * write failed. */
KVPDF_API int32_t KVPDF_CALL KvPdfWriteDummySignatureAndAddedContent(KvPdfHandle handle,
                                                                     uint32_t *contents_offset);
/* Blanks the /Contents value again (a file already in its final layout). */
KVPDF_API int32_t KVPDF_CALL KvPdfWriteDummySignature(KvPdfHandle handle);
/* Writes the DER signature (count bytes, at most sig_buffer_size) in hexadecimal into
 * the reserved value; the rest stays "0". Returns 1; -46 no bytes; -53 too long (the
 * file is left unchanged); -11, -14, -47 as above. */
KVPDF_API int32_t KVPDF_CALL KvPdfWriteSignature(KvPdfHandle handle, const uint8_t *bytes,
                                                 uint32_t count);
/* The same operation for a timestamp token. */
KVPDF_API int32_t KVPDF_CALL KvPdfWriteTimestamp(KvPdfHandle handle, const uint8_t *token,
                                                 uint32_t count);

/* ---------------------------------------------------------------- finding signatures */

/* Finds the signatures of the source file and appends them to the handle's list (a
 * second call appends them again). Returns 1 or a negative code (-55: none found). */
KVPDF_API int32_t KVPDF_CALL KvPdfFindSignatures(KvPdfHandle handle);
/* As KvPdfFindSignatures; returns the last signature's contents offset, 1 for an
 * empty list, or the negative code. */
KVPDF_API int32_t KVPDF_CALL KvPdfFindLastSignaturePos(KvPdfHandle handle);
/* The number of signatures in the handle's list; -1 for an absent handle. */
KVPDF_API int32_t KVPDF_CALL KvPDFGetSignatureCount(KvPdfHandle handle);
/* Copies entry index (a negative index: the last) into *info. Its texts stay owned by
 * the handle. Returns 1; 0 for a NULL info or an index out of range; -1 absent handle. */
KVPDF_API int32_t KVPDF_CALL KvPDFGetSignature(KvPdfHandle handle, int32_t index,
                                               SignatureInfo *info);
/* 1 when the entry's /SubFilter is adbe.pkcs7.detached, ETSI.CAdES.detached or
 * ETSI.RFC3161 (any case); else 0; -1 absent handle. */
KVPDF_API int32_t KVPDF_CALL KvPdfSignatureSupported(KvPdfHandle handle, int32_t index);

/* Extension: what the file shows about one signature of the list, beyond its
 * cryptography: whether its /ByteRange is sound (the signature-wrapping tricks), and
 * what later revisions changed. */
typedef struct KvPdfSignatureCheck {
    int32_t byte_range;       /* KVPDF_RANGE_OK or the first problem found */
    int32_t changes;          /* KVPDF_CHANGES_...: the strongest class of the later revisions */
    int32_t docmdp;           /* /P of a certification signature (1, 2 or 3); 0: not one */
    int32_t docmdp_violated;  /* 1 when a later change goes beyond that permission */
    int32_t analysis;         /* 1; a negative code when a later revision could not be read
                                 (changes is then KVPDF_CHANGES_OTHER) */
    uint32_t signed_length;   /* end of the signed bytes: /ByteRange [2] + [3] */
    uint32_t revisions_after; /* later cross-reference sections compared */
    uint32_t other_count;     /* objects of KVPDF_CHANGES_OTHER */
    const uint32_t *other_objects; /* their numbers, ascending; owned by the handle, valid
                                      until its next call or KvPDFClose */
} KvPdfSignatureCheck;

#define KVPDF_RANGE_OK 0
#define KVPDF_RANGE_MALFORMED 1     /* not exactly four non-negative integers */
#define KVPDF_RANGE_NOT_AT_START 2  /* the first range does not start at 0 */
#define KVPDF_RANGE_NOT_ASCENDING 3 /* the second range does not start after the first */
#define KVPDF_RANGE_OVERLAP 4       /* the second range starts inside the first */
#define KVPDF_RANGE_PAST_END 5      /* a range runs past the end of the file */
#define KVPDF_RANGE_GAP 6           /* the gap is not exactly the /Contents hex string */
#define KVPDF_RANGE_TRAILING_DATA 7 /* the value is not one DER object padded with zeros */

#define KVPDF_CHANGES_NONE 0
#define KVPDF_CHANGES_VALIDATION 1   /* DSS and document timestamps only */
#define KVPDF_CHANGES_SIGNATURES 2   /* and new signatures with their fields and widgets */
#define KVPDF_CHANGES_FORM_FILLING 3 /* and the values of existing fields */
#define KVPDF_CHANGES_ANNOTATIONS 4  /* and annotations */
#define KVPDF_CHANGES_OTHER 5        /* anything else: the objects are listed */

/* Extension: checks entry index of the list (after KvPdfFindSignatures; negative: the
 * last) against the source file as it is now. Returns 1; 0 for a NULL out or an index
 * out of range; -1 for an absent handle; a negative code, recorded in the error ring,
 * when the signature dictionary cannot be reached (-10 the file does not open, -216 the
 * field or its /V names nothing, -213 /V is not a dictionary). A malformed /ByteRange
 * leaves no revision signed: changes is then KVPDF_CHANGES_OTHER. A revision that cannot
 * be read or compared gives analysis -222 (KVPDF_ERR_LATER_REVISION), also when the
 * revisions after the signature do not chain to the one it signs. */
KVPDF_API int32_t KVPDF_CALL KvPdfCheckSignature(KvPdfHandle handle, int32_t index,
                                                 KvPdfSignatureCheck *out);

/* Copies bytes [0, a) and [b, b + c) of source to destination (the signed bytes of a
 * signature) and returns the decoded /Contents value found between them: a new block of
 * *length bytes, the signature followed by the reserved zeros, freed with
 * KvPDFDestroyer. NULL when the value was not reached; *error (may be NULL) is 0, -307
 * (source does not open) or -308 (destination does not open). */
KVPDF_API uint8_t *KVPDF_CALL KvPdfWritePDFByteRange(KvPdfHandle handle, const char *source,
                                                     const char *destination, uint32_t *length,
                                                     int32_t *error, uint32_t a, uint32_t b,
                                                     uint32_t c);
/* As KvPdfWritePDFByteRange with the byte range of found signature index (negative:
 * the last); an index out of range gives NULL with *error -102. */
KVPDF_API uint8_t *KVPDF_CALL KvPdfWritePDFForVerify(KvPdfHandle handle, const char *source,
                                                     const char *destination, int32_t index,
                                                     uint32_t *length, int32_t *error);
/* As KvPdfWritePDFForVerify on the handle's source file. */
KVPDF_API uint8_t *KVPDF_CALL KvPdfWritePDFSignatureByteRange(KvPdfHandle handle,
                                                              const char *destination,
                                                              uint32_t *length, int32_t index,
                                                              int32_t *error);

/* Writes an appearance file: "1.5/KvImgHeight <height> /KvImgWidth <width> " and the
 * image object body read from image_path (NULL: the built-in image). Returns 1; -1 no
 * output path; -2 the output does not open; -3 the image could not be copied whole. A
 * missing image file leaves the header alone and still returns 1. */
KVPDF_API int32_t KVPDF_CALL KvWriteDigSigAppImage(const char *image_path, const char *output_path,
                                                   const char *box_height, const char *box_width);

/* ---------------------------------------------------------------- cryptography */

/* The calls below reach the signing library kvsxades. A context (void *) comes from
 * KvPDF_CryptoInit and keeps the outcome of its last verification. Results of the
 * forwarders are the signing library's own: 0 success, negative failure, positive a
 * definite "no" (see kvsxades.h). */
KVPDF_API int32_t KVPDF_CALL KvPDF_CryptoInit(void **context);
KVPDF_API int32_t KVPDF_CALL KvPDF_CryptoInitGlobal(void);
KVPDF_API int32_t KVPDF_CALL KvPDF_CryptoCleanup(void *context);
KVPDF_API int32_t KVPDF_CALL KvPDF_CryptoCleanupGlobal(void);
KVPDF_API int32_t KVPDF_CALL KvPDF_SetHashType(int32_t type); /* 0 SHA-256, 1 SHA-384, 2 SHA-512 */
KVPDF_API int32_t KVPDF_CALL KvPDF_SetUseCDP(int32_t on); /* fetch CRLs and OCSP when verifying */
KVPDF_API int32_t KVPDF_CALL KvPDF_SetProxy(const char *host_port);
KVPDF_API int32_t KVPDF_CALL KvPDF_SetGraceTime(int32_t seconds);
KVPDF_API int32_t KVPDF_CALL KvPDF_SetLog(const char *path, int32_t level);

/* Signs the concatenated items (NULL: nothing, refused) with the key of params:
 * *signature receives a detached CMS (DER, *length bytes), freed with KvPDF_FreeData.
 * Returns 0; a positive "no" of the library (wrong password ...) with *signature NULL;
 * -155 on failure, recorded in the handle. reserved1, reserved2: 0. */
KVPDF_API int32_t KVPDF_CALL KvPDF_CreateSignatureAdv(KvPdfHandle handle, void *context,
                                                      const SigningParameters *params,
                                                      const SignedDataItem *items,
                                                      uint8_t **signature, uint32_t *length,
                                                      int32_t reserved1, int32_t reserved2);
/* As KvPDF_CreateSignatureAdv with both reserved words 0. */
KVPDF_API int32_t KVPDF_CALL KvPDF_CreateSignature(KvPdfHandle handle, void *context,
                                                   const SigningParameters *params,
                                                   const SignedDataItem *items, uint8_t **signature,
                                                   uint32_t *length);
/* An RFC 3161 token from tsa_url over the contents of the file named file_name;
 * *token (freed with KvPDF_FreeData), *length. Returns 0, a positive "no", or -156
 * (recorded). */
KVPDF_API int32_t KVPDF_CALL KvPDF_CreateTimeStamp(KvPdfHandle handle, void *context,
                                                   const char *file_name, uint8_t **token,
                                                   uint32_t *length, const char *tsa_url);
/* Verifies a detached CMS over the file named file_name at the given time (0, 0: now,
 * or a signature timestamp's time). Returns 1 valid, 0 not. The handle is not read. */
KVPDF_API int32_t KVPDF_CALL KvPDF_CryptoVerifiySignature(KvPdfHandle handle, void *context,
                                                          const char *file_name,
                                                          const uint8_t *signature, uint32_t length,
                                                          uint32_t time_low, int32_t time_high);
/* Verifies an RFC 3161 token over the file named file_name. Returns 1 valid, 0 not. */
KVPDF_API int32_t KVPDF_CALL KvPDF_VerifiyTimestamp(KvPdfHandle handle, void *context,
                                                    const char *file_name, const uint8_t *token,
                                                    uint32_t length);
/* 1 when the last verified signature carried a timestamp. */
KVPDF_API int32_t KVPDF_CALL KvPDF_SignatureHasTimeStamp(void *context);
/* Decodes Base64 (length 0: the text's own length) into *bytes (KvPDF_FreeData). */
KVPDF_API int32_t KVPDF_CALL KvPDF_DecodeBase64(const char *text, uint32_t length,
                                                uint32_t *out_length, uint8_t **bytes);
/* Validates a certificate (length > 0 DER, 0 PEM text, -1 file path) against the
 * library's stores at time (0: now). */
KVPDF_API int32_t KVPDF_CALL KvPDF_VerifyCertChain(const void *certificate, int32_t length,
                                                   int32_t time);
/* Fills *info from a certificate (length > 0 DER, 0 PEM text, -1 file path). The texts
 * are copies the host frees with KvPDF_FreeCertificate. Returns 1 filled, 0 not. */
KVPDF_API int32_t KVPDF_CALL KvPDF_GetCertInfo(const void *certificate, int32_t length,
                                               CertificateInfo *info);
/* A zeroed record for KvPDF_GetCertInfo that KvPDF_FreeCertificate releases whole;
 * NULL when memory is short. */
KVPDF_API CertificateInfo *KVPDF_CALL KvPDF_AllocCertificate(void);
/* The signer chain of the context's last verification, with the CRL and OCSP response
 * used for each certificate: *chain (KvPDF_FreeCertDataChain). Returns 1 copied, 0 none,
 * else the library's code. */
KVPDF_API int32_t KVPDF_CALL KvPDF_GetSignerCertDataChain(void *context, CertDataChain **chain);
/* Kept for compatibility: returns 0 and touches nothing. */
KVPDF_API int32_t KVPDF_CALL KvPDF_GetOcspCertDataChain(void *a, void *b, void *c, void *d);
/* The timestamps of the context's last verification: *chain (KvPDF_FreeTSChain).
 * Returns 1 copied, 0 none, else the library's code. */
KVPDF_API int32_t KVPDF_CALL KvPDF_GetTSChainInfo(void *context, TSChain **chain);
/* Frees a block the signing library returned (signature, token, decoded Base64). */
KVPDF_API void KVPDF_CALL KvPDF_FreeData(void *block);
KVPDF_API void KVPDF_CALL KvPDF_FreeCertDataChain(CertDataChain *chain);
KVPDF_API void KVPDF_CALL KvPDF_FreeTSChain(TSChain *chain);
/* Frees the texts of info and the record itself (a record of KvPDF_AllocCertificate). */
KVPDF_API void KVPDF_CALL KvPDF_FreeCertificate(CertificateInfo *info);
/* Empty the signing library's CRL store, or all its stores. */
KVPDF_API int32_t KVPDF_CALL KvPDF_CleanKVSXADESCRLStore(void);
KVPDF_API void KVPDF_CALL KvPDF_CleanKVSXADESStores(void);

/* ---------------------------------------------------------------- stores */

/* Certificates, CRLs and OCSP responses of the host, kept for revocation information:
 * the handle's own stores, or with handle 0 the process-wide ones (any other value that
 * is not a live handle does nothing). length > 0: DER bytes, copied; 0: a NUL-terminated
 * PEM text, copied; -1: a NUL-terminated file path, copied. Return 0. */
KVPDF_API int32_t KVPDF_CALL KvPDF_AddCert(KvPdfHandle handle, const void *data, int32_t length);
KVPDF_API int32_t KVPDF_CALL KvPDF_AddCrl(KvPdfHandle handle, const void *data, int32_t length);
KVPDF_API int32_t KVPDF_CALL KvPDF_AddOcsp(KvPdfHandle handle, const void *data, int32_t length);
/* Empty all three stores, the CRLs, the OCSP responses, or both of those. */
KVPDF_API void KVPDF_CALL KvPDF_CleanStores(KvPdfHandle handle);
KVPDF_API void KVPDF_CALL KvPDF_CleanCRLStore(KvPdfHandle handle);
KVPDF_API void KVPDF_CALL KvPDF_CleanOCSPStore(KvPdfHandle handle);
KVPDF_API void KVPDF_CALL KvPDF_CleanCRLOCSPStore(KvPdfHandle handle);

/* ---------------------------------------------------------------- long-term validation */

/* Give the signing library the host's certificates (self-issued ones become trust
 * anchors), CRLs or OCSP responses: the handle's store of that kind when it has
 * entries, else the process-wide one (handle 0). Return 0, or the library's code of the
 * first entry refused, recorded in the handle as -153, -152 or -154. */
KVPDF_API int32_t KVPDF_CALL KvPDF_UseCerts(KvPdfHandle handle);
KVPDF_API int32_t KVPDF_CALL KvPDF_UseCRLs(KvPdfHandle handle);
KVPDF_API int32_t KVPDF_CALL KvPDF_UseOCSPs(KvPdfHandle handle);

/* Verifies found signature index (negative: the last) at time (0, 0: now, or its
 * timestamp's time) over a temporary copy of its signed bytes; a document timestamp is
 * verified as an RFC 3161 token. Returns 1 valid, 0 the signed bytes could not be
 * extracted, -150 (signature) or -151 (document timestamp) invalid, -103 the temporary
 * copy could not be removed. */
KVPDF_API int32_t KVPDF_CALL KvPDF_VeriySignature(KvPdfHandle handle, void *context, int32_t index,
                                                  uint32_t time_low, int32_t time_high);
/* Copies the source to the target, finds the signatures, verifies them with the host's
 * stores and collects the certificates, CRLs and OCSP responses the signing library used
 * for each signer and timestamp chain into the handle's Document Security Store (only
 * those not already in it). index -1: every signature when the document has no DSS with
 * /Certs, else the last; any other index: that signature (negative: the last). reserved:
 * 0. Returns a positive value; -102 bad index or no signature; -150/-151 with the index
 * of a signature or timestamp that is not valid (nothing is collected); -152/-153/-154
 * a store entry refused by the library. */
KVPDF_API int32_t KVPDF_CALL KvPDF_AddRevocationInformation(KvPdfHandle handle, void *context,
                                                            int32_t index, int32_t reserved);
/* Appends to the target one incremental update with the new DSS streams, arrays and
 * dictionary and a catalog that names /DSS and declares the extension level (ADBE
 * ExtensionLevel 5), as plain objects whatever the source's cross-reference form.
 * Returns 1; -131 when nothing is new (nothing appended); -1, -11, -15; after a write,
 * -201 (objects were read from object streams) and -200 (version) as warnings. */
KVPDF_API int32_t KVPDF_CALL KvPdfWritePDFWithRevocationInformation(KvPdfHandle handle);

/* ---------------------------------------------------------------- attachments */

/* Reads the embedded files of the source into the handle's attachment table, replacing
 * what it held: the files of the catalog's /EmbeddedFiles name tree (its root's names
 * array, or its first kid's; an inline /Names or /EmbeddedFiles dictionary is read too),
 * then those of the FileAttachment annotations of the first page
 * (KVPDF_PROP_ALL_ATTACHMENTS reads them all). A name is the /F string with its escapes
 * resolved, or the /UF text in UTF-8 when /F is absent or empty. A file whose stream
 * cannot be read or inflated is listed without data and its error recorded; the others
 * are read. Returns 0; the walk's code (below 1) when the document cannot be read;
 * -115 (/Names without /EmbeddedFiles), -116 or -117 (node unreadable). */
KVPDF_API int32_t KVPDF_CALL KvPdfGetAttachments(KvPdfHandle handle);
/* The number of entries in the attachment table; -1 absent handle. */
KVPDF_API int32_t KVPDF_CALL KvPDFGetAttachmentCount(KvPdfHandle handle);
/* Copies entry index: *name and *description (both required; NULL when the entry has
 * none), and when data is given and the entry has data, *data and *length (length may be
 * NULL); otherwise *data = NULL and *length = 0. Copies are freed with KvPDFDestroyer.
 * Returns 1; -110 bad index (all out values NULL or 0); -1 absent handle. */
KVPDF_API int32_t KVPDF_CALL KvPDFGetAttachmentInfo(KvPdfHandle handle, int32_t index, char **name,
                                                    char **description, uint8_t **data,
                                                    uint32_t *length);
/* Extension: the number of bytes of entry index's data, without a copy; -118 when the
 * entry has no data (its stream could not be read, or no file was loaded); -110 bad
 * index; -1 absent handle. */
KVPDF_API int32_t KVPDF_CALL KvPdfGetAttachmentLength(KvPdfHandle handle, int32_t index);

/* Extension: copies the digest of the signed bytes that the last
 * KvPdfWritePDFWithoutSignature computed with KVPDF_PROP_COPY_DIGEST (both ranges of
 * the /ByteRange, the value excluded) to digest, and returns its length: 32, 48 or 64.
 * The value written later does not change it. 0 for a NULL digest or a capacity below
 * the length; -1 for an absent handle; -234, recorded, when the last write computed
 * none. */
KVPDF_API int32_t KVPDF_CALL KvPdfGetSignedDigest(KvPdfHandle handle, uint8_t *digest,
                                                  uint32_t capacity);
/* Copies the name of entry index into *name (freed with KvPDFDestroyer). Returns 1; -110
 * bad index (*name = NULL); -1 absent handle. */
KVPDF_API int32_t KVPDF_CALL KvPDFGetAttachmentFileName(KvPdfHandle handle, int32_t index,
                                                        char **name);
/* Writes the data of entry index to path (created or truncated). Note the argument
 * order. Returns 1; -110 bad index; -121 null path, the file does not open or the write
 * is short; -1 absent handle. */
KVPDF_API int32_t KVPDF_CALL KvPDFSaveAttachment(int32_t index, const char *path,
                                                 KvPdfHandle handle);
/* Loads the file at path into entry index of the table: index equal to the count
 * appends an entry, a smaller one replaces it. The name is the path with every '\'
 * doubled (see KVPDF_PROP_ATTACHMENT_BASENAME); description may be NULL. Returns 1;
 * -110 index past the count; -111 null path; -112 the file does not open or is not a
 * regular file; -113 it is empty, unreadable or 2 GiB or more (the entry keeps its name
 * and has no data); -1 absent handle. */
KVPDF_API int32_t KVPDF_CALL KvPDFSetAttachmentInfo(KvPdfHandle handle, int32_t index,
                                                    const char *path, const char *description);
/* Copies the source to the target and appends one incremental update with every entry of
 * the table as an embedded file (a Flate stream and a /Filespec dictionary with /F, and
 * /UF when the name is not ASCII), a names array, a names dictionary and the catalog
 * naming it; after a cross-reference-stream source the rewritten catalog goes into an
 * object stream and the section is a cross-reference stream. Names and descriptions are
 * escaped so that a reader gets back the host's text. When the catalog already names a
 * names dictionary, a new one keeps its other entries and a new /EmbeddedFiles root holds
 * every existing name (the whole tree) with the new ones, sorted. Returns 1; -124 with
 * -126 an inline /Names dictionary; -84/-85 compression failed (nothing appended); -1,
 * -11, the walk's codes; -200 (version) as a warning after a write. */
KVPDF_API int32_t KVPDF_CALL KvPdfWriteAttachments(KvPdfHandle handle);

#define KVPDF_DSS_CERTS 1
#define KVPDF_DSS_CRLS 2
#define KVPDF_DSS_OCSPS 3

/* Extension: the validation data the document already carries, from the DSS of every
 * revision that defines one, read by the last operation on the handle (any mode). kind
 * is KVPDF_DSS_*; entries are counted over all revisions, oldest first, each distinct
 * stream once. With index in range, *data and *length (both may be NULL) receive entry
 * index (DER, owned by the handle, valid until its next operation or KvPDFClose).
 * Returns the number of entries of that kind; -1 bad handle or kind. */
KVPDF_API int32_t KVPDF_CALL KvPdfGetDssData(KvPdfHandle handle, int32_t kind, int32_t index,
                                             const uint8_t **data, uint32_t *length);

#ifdef __cplusplus
}
#endif

#endif /* KVPDF_H */
