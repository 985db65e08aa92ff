/* SPDX-License-Identifier: Apache-2.0 */
/* A host of the library that knows only kvpdf.h, built twice by tests/windows/run.sh:
 * for Linux and as a Win64 program run under wine. Both runs work in a folder holding
 * in.pdf, signer.p12 (password "test") and note.txt, write their files there and print
 * a transcript of every result; the script compares the two runs byte for byte (the
 * PKCS#7 value, which holds the clock's time, and the files the servers dated aside)
 * and has qpdf and pdfsig check the files.
 * With a TSA's URL, the folder also holds ltv-signer.p12 (password "secret"),
 * ltv-root.pem, root.crl and inter.crl of the tests' PKI (tests/windows/servers.cpp).
 *   host_flow DIR [TSA-URL] */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L /* fseeko, mmap */
#endif
#include "kvpdf.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>

#include <psapi.h>
#define seek64 _fseeki64
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#define seek64 fseeko
#endif

static char g_dir[512];

static const char *at(const char *name) {
    static char paths[8][600];
    static int next = 0;
    char *p = paths[next++ % 8];
    snprintf(p, sizeof paths[0], "%s/%s", g_dir, name);
    return p;
}

static long read_all(const char *path, unsigned char **data) {
    FILE *f = fopen(path, "rb");
    long n = -1;
    *data = NULL;
    if (!f) return -1;
    if (fseek(f, 0, SEEK_END) == 0 && (n = ftell(f)) >= 0 && fseek(f, 0, SEEK_SET) == 0) {
        *data = (unsigned char *)malloc((size_t)n + 1);
        if (!*data || fread(*data, 1, (size_t)n, f) != (size_t)n) n = -1;
    }
    fclose(f);
    return n;
}

static int write_all(const char *path, const void *data, size_t n) {
    FILE *f = fopen(path, "wb");
    int ok = f && fwrite(data, 1, n, f) == n;
    if (f && fclose(f) != 0) ok = 0;
    return ok;
}

/* Every handle writes one fixed time (2026-01-01 12:00 UTC), so that both systems
 * write the same bytes. */
static KvPdfHandle open_pdf(const char *src, const char *out, int32_t reserve) {
    KvPdfHandle h = KvPDFInit(src, out, reserve);
    KvPDFSetProperty(h, KVPDF_PROP_FIXED_TIME, KVPDF_TEXT("1767268800"));
    return h;
}

/* The whole ring, newest first, in the handle's language. */
static void print_ring(KvPdfHandle h, const char *what) {
    int32_t last = KvPdfGetLastErrorIndex(h), i;
    char first[1024] = "";
    KvPdfGetFirstErrorString(h, first);
    printf("%s: first \"%s\"\n", what, first);
    for (i = 0; i < 10 && last >= 0; ++i) {
        ErrorEntry e;
        if (KvPdfGetError(h, (last - i + 10) % 10, &e) != 1 || e.code == 0) break;
        printf("  %d %s:%d %s\n", e.code, e.src_file, e.line, e.message);
    }
}

/* The two signed ranges of a file whose value (reserve bytes) starts at start. */
static long ranges(const char *path, uint32_t start, int32_t reserve, unsigned char **file,
                   SignedDataItem items[2]) {
    long size = read_all(path, file);
    const uint32_t tail = start + 2 * (uint32_t)reserve + 2;
    if (size <= (long)tail) return -1;
    items[0].data = *file;
    items[0].length = (int32_t)start;
    items[0].content_type = "application/pdf";
    items[0].next = &items[1];
    items[1].data = *file + tail;
    items[1].length = (int32_t)(size - tail);
    items[1].content_type = "application/pdf";
    items[1].next = NULL;
    return (long)tail;
}

/* A name with letters of the ANSI code page (Windows-1252 under wine; the same letters
 * in UTF-8 on Linux): both runs must find the source and write one name on disk. */
#if defined(_WIN32)
#define ANSI_NAME "\xC1rv\xEDz-\xFCgy"
#else
#define ANSI_NAME "\xC3\x81rv\xC3\xADz-\xC3\xBCgy"
#endif

static void ansi_path(void) {
    unsigned char *data = NULL;
    const long n = read_all(at("in.pdf"), &data);
    KvPdfHandle h;
    if (n > 0) write_all(at(ANSI_NAME ".pdf"), data, (size_t)n);
    free(data);
    h = open_pdf(at(ANSI_NAME ".pdf"), at(ANSI_NAME "-out.pdf"), 0);
    printf("ANSI path: is pdf %d", KvIsPDFFile(at(ANSI_NAME ".pdf"), h));
    printf(", without signature %d", KvPdfWritePDFWithoutSignature(h, 0));
    printf(", dummy %d\n", KvPdfWriteDummySignatureAndAddedContent(h, NULL));
    KvPDFClose(h);
}

/* Two-phase signing: placeholder, the host's own digest ranges, then the CMS, with a
 * signature timestamp when tsa is given. */
static int sign(const char *src, const char *out, const char *p12, const char *secret,
                const char *tsa, int cades) {
    const int32_t reserve = tsa ? 16384 : 8192;
    KvPdfHandle h = open_pdf(at(src), out, reserve);
    SigningParameters key = {0};
    SignedDataItem items[2];
    unsigned char *file = NULL, *cms = NULL;
    uint32_t start = 0, cms_length = 0;
    int32_t rc;
    key.key = at(p12);
    key.secret = secret;
    key.tsa_url = tsa;
    key.flags = cades ? KVPDF_SIGN_CADES : 0;
    KvPDFSetProperty(h, KVPDF_PROP_NAME, KVPDF_TEXT("Wine Host"));
    KvPDFSetProperty(h, KVPDF_PROP_REASON, KVPDF_TEXT("Cross-platform check"));
    KvPDFSetProperty(h, KVPDF_PROP_LOCATION, KVPDF_TEXT("Budapest"));
    KvPDFSetProperty(h, KVPDF_PROP_VISIBLE, 1);
    if (cades) KvPDFSetProperty(h, KVPDF_PROP_SUBFILTER_SELECT, KVPDF_SUBFILTER_CADES);
    if (cades && !tsa) KvPDFSetProperty(h, KVPDF_PROP_KONTIR_TEXT, KVPDF_TEXT("Kontir 2024/117"));
    rc = KvPdfWritePDFWithoutSignature(h, 0);
    printf("sign %s: without signature %d", out + strlen(g_dir) + 1, rc);
    rc = KvPdfWriteDummySignatureAndAddedContent(h, &start);
    printf(", dummy %d at %u", rc, start);
    if (rc == 1 && ranges(out, start, reserve, &file, items) > 0) {
        rc = KvPDF_CreateSignatureAdv(h, NULL, &key, items, &cms, &cms_length, 0, 0);
        printf(", cms %d", rc);
        if (rc == 0) rc = KvPdfWriteSignature(h, cms, cms_length);
        printf(", written %d", rc);
        KvPDF_FreeData(cms);
    }
    free(file);
    printf("\n");
    if (rc != 1) print_ring(h, "  ring");
    printf("  close %d\n", KvPDFClose(h));
    return rc == 1;
}

static void find(const char *name) {
    KvPdfHandle h = open_pdf(at(name), NULL, 0);
    int32_t i, count, error = 0;
    uint32_t length = 0;
    uint8_t *value;
    KvPDFSetProperty(h, KVPDF_PROP_FIND_ALL_SIGNATURES, 1);
    printf("find %s: %d", name, KvPdfFindSignatures(h));
    count = KvPDFGetSignatureCount(h);
    printf(", %d signatures\n", count);
    for (i = 0; i < count; ++i) {
        SignatureInfo s;
        if (KvPDFGetSignature(h, i, &s) != 1) continue;
        printf("  %d: field %u kind %d name %s reason %s time %s subfilter %s contents %u"
               " range %u %u %u %u\n",
               i, s.field_obj, s.kind, s.name ? s.name : "-", s.reason ? s.reason : "-",
               s.signing_time ? s.signing_time : "-", s.subfilter ? s.subfilter : "-",
               s.contents_offset, s.byte_range[0], s.byte_range[1], s.byte_range[2],
               s.byte_range[3]);
    }
    value = KvPdfWritePDFForVerify(h, at(name), at("verify.bin"), -1, &length, &error);
    printf("  for verify: %u bytes, error %d\n", length, error);
    KvPDFDestroyer((void **)&value);
    KvPDFClose(h);
}

static void attach(void) {
    KvPdfHandle h = open_pdf(at("in.pdf"), at("attached.pdf"), 0);
    int32_t count, i;
    printf("attach: loaded %d", KvPDFSetAttachmentInfo(h, 0, at("note.txt"), "a note"));
    printf(", written %d", KvPdfWriteAttachments(h));
    KvPDFClose(h);
    h = open_pdf(at("attached.pdf"), NULL, 0);
    printf(", read %d", KvPdfGetAttachments(h));
    count = KvPDFGetAttachmentCount(h);
    printf(", %d files", count);
    for (i = 0; i < count; ++i) {
        char *name = NULL;
        printf(", name %d", KvPDFGetAttachmentFileName(h, i, &name));
        printf(" %s, saved %d", name ? name : "-", KvPDFSaveAttachment(i, at("saved.txt"), h));
        KvPDFDestroyer((void **)&name);
    }
    printf("\n");
    KvPDFClose(h);
}

/* Validation data, with the test servers on 127.0.0.1: a CAdES signature with a
 * signature timestamp, a document timestamp over it (its signed bytes copied out by the
 * library), then the certificates and CRLs of every chain in a DSS revision, and every
 * signature of the result verified. The servers date their answers, so only the results
 * are compared, not the files. */
static void ltv(const char *tsa) {
    const int32_t reserve = 16384;
    KvPdfHandle h;
    unsigned char *file = NULL;
    uint8_t *token = NULL, *value;
    SignedDataItem items[2];
    uint32_t start = 0, length = 0, value_length = 0;
    int32_t rc, error = 0, i, count;
    long tail;
    void *context = NULL;
    sign("in.pdf", at("ts-signed.pdf"), "ltv-signer.p12", "secret", tsa, 1);

    h = open_pdf(at("ts-signed.pdf"), at("stamped.pdf"), reserve);
    KvPdfCreateDocTimeStamp(h);
    printf("stamp: without timestamp %d", KvPdfWritePDFWithoutTimestamp(h, 0));
    rc = KvPdfWriteDummySignatureAndAddedContent(h, &start);
    printf(", dummy %d", rc);
    tail = ranges(at("stamped.pdf"), start, reserve, &file, items);
    value = KvPdfWritePDFByteRange(h, at("stamped.pdf"), at("stamp-data.bin"), &value_length,
                                   &error, start, (uint32_t)tail, (uint32_t)items[1].length);
    printf(", bytes copied %d, value %u", error, value_length);
    KvPDFDestroyer((void **)&value);
    KvPDF_CryptoInit(&context);
    rc = KvPDF_CreateTimeStamp(h, context, at("stamp-data.bin"), &token, &length, tsa);
    printf(", token %d", rc);
    if (rc == 0) rc = KvPdfWriteTimestamp(h, token, length);
    printf(", written %d\n", rc);
    KvPDF_FreeData(token);
    KvPDF_CryptoCleanup(context);
    free(file);
    if (rc != 1) print_ring(h, "  ring");
    KvPDFClose(h);

    h = open_pdf(at("stamped.pdf"), at("ltv.pdf"), 0);
    KvPDFSetProperty(h, KVPDF_PROP_FIND_ALL_SIGNATURES, 1);
    KvPDFSetProperty(h, KVPDF_PROP_LTV_EVERY_ENTRY, 1);
    KvPDF_AddCert(h, at("ltv-root.pem"), -1);
    KvPDF_AddCrl(h, at("root.crl"), -1);
    KvPDF_AddCrl(h, at("inter.crl"), -1);
    KvPDF_CryptoInit(&context);
    rc = KvPDF_AddRevocationInformation(h, context, -1, 0);
    printf("validation data: %d", rc);
    if (rc > 0) printf(", written %d", rc = KvPdfWritePDFWithRevocationInformation(h));
    if (rc < 1) print_ring(h, "  ring");
    KvPDFClose(h);
    h = open_pdf(at("ltv.pdf"), NULL, 0);
    KvPDFSetProperty(h, KVPDF_PROP_FIND_ALL_SIGNATURES, 1);
    KvPDF_AddCert(h, at("ltv-root.pem"), -1);
    KvPDF_UseCerts(h);
    count = KvPdfFindSignatures(h) == 1 ? KvPDFGetSignatureCount(h) : 0;
    printf(", DSS certificates %d CRLs %d OCSPs %d; %d signatures:",
           KvPdfGetDssData(h, KVPDF_DSS_CERTS, -1, NULL, NULL),
           KvPdfGetDssData(h, KVPDF_DSS_CRLS, -1, NULL, NULL),
           KvPdfGetDssData(h, KVPDF_DSS_OCSPS, -1, NULL, NULL), count);
    for (i = 0; i < count; ++i)
        printf(" %d", KvPDF_VeriySignature(h, context, i, 0, 0));
    printf("\n");
    KvPDF_CryptoCleanup(context);
    KvPDFClose(h);
}

/* The whole file mapped read-only: no memory for the holes of a sparse file. */
static const unsigned char *map_file(const char *path, long long *size) {
#if defined(_WIN32)
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, 0, NULL);
    LARGE_INTEGER length;
    HANDLE mapping;
    const void *view = NULL;
    if (file == INVALID_HANDLE_VALUE) return NULL;
    if (GetFileSizeEx(file, &length) &&
        (mapping = CreateFileMappingA(file, NULL, PAGE_READONLY, 0, 0, NULL)) != NULL) {
        view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
        CloseHandle(mapping);
        *size = length.QuadPart;
    }
    CloseHandle(file);
    return (const unsigned char *)view;
#else
    struct stat st;
    void *view = MAP_FAILED;
    const int fd = open(path, O_RDONLY);
    if (fd < 0) return NULL;
    if (fstat(fd, &st) == 0) view = mmap(NULL, (size_t)st.st_size, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    *size = (long long)st.st_size;
    return view == MAP_FAILED ? NULL : (const unsigned char *)view;
#endif
}

static void unmap_file(const unsigned char *view, long long size) {
#if defined(_WIN32)
    (void)size;
    UnmapViewOfFile(view);
#else
    munmap((void *)view, (size_t)size);
#endif
}

/* A document of nearly 2 GiB, signed in place: its objects and table at the start and
 * the end, a stream of zeros (a hole on disk) between. The host signs the ranges from a
 * mapping of the file, the first in pieces of 1 GiB. A revision that would end past
 * 2 GiB cannot be read back by 32-bit offsets: refused, and the file keeps its length. */
static void big(const char *name, long long data_length) {
    static const char *const kObjects[] = {"<</Type/Catalog/Pages 2 0 R>>",
                                           "<</Type/Pages/Kids[3 0 R]/Count 1>>",
                                           "<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]>>"};
    static const char kEnd[] = "\nendstream\nendobj\n";
    const int32_t reserve = 8192;
    long offsets[4];
    long long data_at, table, size = 0, done;
    FILE *f = fopen(at(name), "wb");
    KvPdfHandle h;
    SigningParameters key = {0};
    SignedDataItem items[4];
    const unsigned char *view;
    uint8_t *cms = NULL;
    uint32_t start = 0, cms_length = 0, tail;
    int32_t rc, n = 0, i;
    if (!f) return;
    fputs("%PDF-1.7\n", f);
    for (i = 0; i < 3; ++i) {
        offsets[i] = ftell(f);
        fprintf(f, "%d 0 obj\n%s\nendobj\n", i + 1, kObjects[i]);
    }
    offsets[3] = ftell(f);
    fprintf(f, "4 0 obj\n<</Length %lld>>\nstream\n", data_length);
    data_at = ftell(f);
    table = data_at + data_length + (long long)strlen(kEnd);
    if (seek64(f, data_at + data_length, SEEK_SET) != 0) return;
    fputs(kEnd, f);
    fputs("xref\n0 5\n0000000000 65535 f\r\n", f);
    for (i = 0; i < 4; ++i)
        fprintf(f, "%010ld 00000 n\r\n", offsets[i]);
    fprintf(f, "trailer\n<</Size 5/Root 1 0 R>>\nstartxref\n%lld\n%%%%EOF\n", table);
    if (fclose(f) != 0) return;

    h = open_pdf(at(name), at(name), reserve);
    KvPDFSetProperty(h, KVPDF_PROP_SUBFILTER_SELECT, KVPDF_SUBFILTER_CADES);
    rc = KvPdfWritePDFWithoutSignature(h, 0);
    printf("%s: without signature %d", name, rc);
    rc = KvPdfWriteDummySignatureAndAddedContent(h, &start);
    printf(", dummy %d at %u", rc, start);
    view = map_file(at(name), &size);
    tail = start + 2 * (uint32_t)reserve + 2;
    if (rc == 1 && view && size > (long long)tail) {
        for (done = 0; done < start; done += items[n++].length) {
            const long long piece = start - done < (1LL << 30) ? start - done : 1LL << 30;
            items[n].data = view + done;
            items[n].length = (int32_t)piece;
            items[n].content_type = "application/pdf";
            items[n].next = &items[n + 1];
        }
        items[n].data = view + tail;
        items[n].length = (int32_t)(size - tail);
        items[n].content_type = "application/pdf";
        items[n].next = NULL;
        key.key = at("signer.p12");
        key.secret = "test";
        key.flags = KVPDF_SIGN_CADES;
        rc = KvPDF_CreateSignatureAdv(h, NULL, &key, items, &cms, &cms_length, 0, 0);
        printf(", %d pieces, cms %d", n + 1, rc);
        if (rc == 0) rc = KvPdfWriteSignature(h, cms, cms_length);
        printf(", written %d", rc);
        KvPDF_FreeData(cms);
    }
    printf(", %lld bytes\n", size);
    if (view) unmap_file(view, size);
    if (rc != 1) print_ring(h, "  ring");
    KvPDFClose(h);
}

/* Sources of 3 and 5 GiB (holes with a header and a table's tail), read for their
 * signatures: the first names a section past 2^31, the second cannot be described by
 * 32-bit offsets at all, and signing it is refused before anything is copied. */
static void too_large(void) {
    static const long long kSizes[] = {3LL << 30, 5LL << 30};
    size_t i;
    KvPdfHandle h;
    FILE *f;
    for (i = 0; i < 2; ++i) {
        if (!(f = fopen(at("huge.pdf"), "wb"))) return;
        fputs("%PDF-1.7\n", f);
        if (seek64(f, kSizes[i] - 64, SEEK_SET) != 0) {
            fclose(f);
            return;
        }
        fprintf(f, "\nstartxref\n%lld\n%%%%EOF\n", kSizes[i] - 1024);
        fclose(f);
        h = open_pdf(at("huge.pdf"), NULL, 0);
        KvPdfSetLocale(h, KVPDF_LOCALE_EN);
        printf("%lld GiB: find %d\n", kSizes[i] >> 30, KvPdfFindSignatures(h));
        print_ring(h, "  en");
        KvPDFClose(h);
    }
    h = open_pdf(at("huge.pdf"), at("huge-out.pdf"), 0);
    printf("5 GiB: sign %d", KvPdfWritePDFWithoutSignature(h, 0));
    f = fopen(at("huge-out.pdf"), "rb");
    printf(", %s\n", f ? "output written" : "no output");
    if (f) fclose(f);
    KvPDFClose(h);
    remove(at("huge.pdf"));
}

/* The process's peak resident memory so far, in MiB. */
static long peak_mib(void) {
#if defined(_WIN32)
    PROCESS_MEMORY_COUNTERS c;
    return GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c)
               ? (long)(c.PeakWorkingSetSize >> 20)
               : -1;
#else
    struct rusage usage;
    return getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_maxrss / 1024 : -1;
#endif
}

/* A trailer whose /Size claims 8,000,000 objects for a file of 1.5 KB: the claim must
 * not size what the library allocates (the peak grows by less than 64 MiB). */
static void claimed_size(void) {
    unsigned char *data = NULL;
    const long size = read_all(at("in.pdf"), &data);
    const char *at_size = NULL;
    long i, before;
    FILE *f = fopen(at("claims.pdf"), "wb");
    KvPdfHandle h;
    for (i = size - 7; i >= 0 && !at_size; --i)
        if (memcmp(data + i, "/Size 8", 7) == 0) at_size = (const char *)data + i;
    if (!f || !at_size) {
        if (f) fclose(f);
        free(data);
        return;
    }
    fwrite(data, 1, (size_t)(at_size - (const char *)data), f);
    fputs("/Size 8000000", f);
    fwrite(at_size + 7, 1, (size_t)(size - (at_size + 7 - (const char *)data)), f);
    fclose(f);
    free(data);
    before = peak_mib();
    h = open_pdf(at("claims.pdf"), at("claims-out.pdf"), 0);
    KvPdfSetLocale(h, KVPDF_LOCALE_EN);
    printf("/Size 8000000: sign %d", KvPdfWritePDFWithoutSignature(h, 0));
    KvPDFClose(h);
    h = open_pdf(at("claims.pdf"), NULL, 0);
    printf(", find %d, peak grew under 64 MiB: %s\n", KvPdfFindSignatures(h),
           before > 0 && peak_mib() - before < 64 ? "yes" : "no");
    KvPDFClose(h);
}

/* Damaged copies of the input: each must end in a code and messages, never a crash. */
static void damaged(void) {
    unsigned char *data = NULL;
    long size = read_all(at("in.pdf"), &data), cuts[5];
    static const char *const kPatches[][2] = {
        {"startxref", "startxrXf"}, {"/Root", "/Ruut"}, {"xref", "xreX"}, {"trailer", "trai1er"}};
    size_t i;
    int32_t locale;
    cuts[0] = 0;
    cuts[1] = 9;
    cuts[2] = size / 2;
    cuts[3] = size - 30;
    cuts[4] = size - 1;
    for (i = 0; i < 5 + sizeof kPatches / sizeof kPatches[0]; ++i) {
        char label[64];
        KvPdfHandle h;
        if (i < 5) {
            write_all(at("damaged.pdf"), data, (size_t)cuts[i]);
            snprintf(label, sizeof label, "cut at %ld", cuts[i]);
        } else {
            unsigned char *copy = (unsigned char *)malloc((size_t)size);
            const char *const *p = kPatches[i - 5];
            unsigned char *hit = NULL;
            long j;
            memcpy(copy, data, (size_t)size);
            for (j = size - (long)strlen(p[0]); j >= 0 && !hit; --j)
                if (memcmp(copy + j, p[0], strlen(p[0])) == 0) hit = copy + j;
            if (hit) memcpy(hit, p[1], strlen(p[1]));
            write_all(at("damaged.pdf"), copy, (size_t)size);
            free(copy);
            snprintf(label, sizeof label, "%s to %s", p[0], p[1]);
        }
        for (locale = 0; locale < 2; ++locale) {
            h = open_pdf(at("damaged.pdf"), at("damaged-out.pdf"), 0);
            KvPdfSetLocale(h, locale);
            printf("damaged %s: find %d", label, KvPdfFindSignatures(h));
            printf(", sign %d\n", KvPdfWritePDFWithoutSignature(h, 0));
            print_ring(h, locale ? "  en" : "  hu");
            KvPDFClose(h);
        }
    }
    free(data);
}

int main(int argc, char **argv) {
    int32_t major = 0, minor = 0, release = 0, build = 0;
    KvPdfHandle h;
    if (argc < 2 || argc > 3) return 2;
    snprintf(g_dir, sizeof g_dir, "%s", argv[1]);
    KvPDFGetVersion(&major, &minor, &release, &build);
    printf("version %d.%d.%d.%d\n", major, minor, release, build);
    printf("is pdf: %d %d\n", KvIsPDFFile(at("in.pdf"), 0), KvIsPDFFile(at("note.txt"), 0));
    printf("absent handle: %d %d\n", KvPDFClose(0), KvPdfFindSignatures(12345));
    h = open_pdf(at("missing.pdf"), at("out.pdf"), 0);
    KvPdfSetLocale(h, KVPDF_LOCALE_EN);
    printf("missing input: %d\n", KvPdfWritePDFWithoutSignature(h, 0));
    print_ring(h, "  en");
    KvPDFClose(h);
    /* In place, the output named by another spelling of the input: only same-file
     * detection (device and inode; volume serial and file index) keeps the copy step
     * from truncating the document it is about to read. */
    h = open_pdf(at("inplace.pdf"), "inplace.pdf", 0);
    printf("in place: %d", KvPdfWritePDFWithoutSignature(h, 0));
    printf(", dummy %d\n", KvPdfWriteDummySignatureAndAddedContent(h, NULL));
    KvPDFClose(h);
    /* A revision taken back out: the output is truncated to the input's length. */
    h = open_pdf(at("in.pdf"), at("restored.pdf"), 0);
    printf("restore: %d", KvPdfWritePDFWithoutSignature(h, 0));
    printf(", %d\n", KvPDFRestorePDF(h));
    KvPDFClose(h);
    sign("in.pdf", at("signed.pdf"), "signer.p12", "test", NULL, 0);
    sign("in.pdf", at("signed-cades.pdf"), "signer.p12", "test", NULL, 1);
    find("signed.pdf");
    find("signed-cades.pdf");
    attach();
    claimed_size();
    ansi_path();
    if (argc == 3) ltv(argv[2]);
    big("big.pdf", (1LL << 31) - (128 << 10));
    big("big-past.pdf", (1LL << 31) - (4 << 10));
    too_large();
    damaged();
    return 0;
}
