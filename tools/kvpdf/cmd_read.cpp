// SPDX-License-Identifier: Apache-2.0
// kvpdf signatures: what the library finds of a file's signatures.
#include "cli.h"

#include <cstdio>

namespace cli {

const Command kSignaturesCommand{
    "signatures",
    "FILE [--lang en|hu]",
    "Lists what the library finds of FILE's signatures and document timestamps: the\n"
    "field, the kind and subfilter, the texts of the signature dictionary, the offset of\n"
    "the signature value, the byte range, and whether the byte range reaches the end of\n"
    "the file (a signature followed by later revisions does not). The file is never\n"
    "written. The search is the library's complete one: every signed field of the form\n"
    "and of every page's widgets, document timestamps included, in signing order; what it\n"
    "cannot read is skipped and its message printed.\n"
    "Exit status 0 when the search completes (also with no signature), 1 when the library\n"
    "stops it (its code and message are printed), 2 for a usage error.\n",
    {
        kLangOption,
    }};

namespace {

void PrintCoverage(const uint32_t r[4], int64_t size) {
    const int64_t end = int64_t{r[2]} + r[3];
    if (end == size)
        printf("    covers:          the whole file\n");
    else if (end < size)
        printf("    covers:          not the whole file: %lld bytes of later revisions follow\n",
               static_cast<long long>(size - end));
    else
        printf("    covers:          the byte range reaches past the end of the file\n");
}

void PrintSignature(int32_t index, const SignatureInfo &s, int64_t size) {
    static const char *const kKinds[] = {"signature", "signature (CAdES)", "document timestamp"};
    const uint32_t *r = s.byte_range;
    printf("\n#%d  field %u 0 R\n", index + 1, s.field_obj);
    printf("    kind:            %s\n", s.kind >= 0 && s.kind <= 2 ? kKinds[s.kind] : "unknown");
    printf("    subfilter:       %s\n", PdfText(s.subfilter).c_str());
    printf("    name:            %s\n", PdfText(s.name).c_str());
    printf("    reason:          %s\n", PdfText(s.reason).c_str());
    printf("    location:        %s\n", PdfText(s.location).c_str());
    printf("    contact:         %s\n", PdfText(s.contact_info).c_str());
    printf("    signing time:    %s\n", PdfText(s.signing_time).c_str());
    printf("    contents offset: %u\n", s.contents_offset);
    printf("    byte range:      [%u %u %u %u]\n", r[0], r[1], r[2], r[3]);
    PrintCoverage(r, size);
}

} // namespace

int CommandSignatures(const std::vector<std::string> &args) {
    if (PrintHelp(args, kSignaturesCommand)) return 0;
    Args a;
    int32_t locale = KVPDF_LOCALE_EN;
    if (!ParseOneFile(args, kSignaturesCommand, &a, &locale)) return 2;
    const std::string &path = a.positional[0];
    const int64_t size = FileSize(path);
    if (!InputFile(path)) return 1;
    KvPdfHandle h = KvPDFInit(path.c_str(), nullptr, 0);
    KvPdfSetLocale(h, locale);
    KvPDFSetProperty(h, KVPDF_PROP_FIND_ALL_SIGNATURES, 1);
    int32_t rc = KvPdfFindSignatures(h);
    int32_t count = KvPDFGetSignatureCount(h);
    printf("File: %s (%lld bytes)\n", path.c_str(), static_cast<long long>(size));
    printf("Signatures: %d\n", count);
    for (int32_t i = 0; i < count; ++i) {
        SignatureInfo s;
        if (KvPDFGetSignature(h, i, &s) == 1) PrintSignature(i, s, size);
    }
    int status = 0;
    if (rc < 1 && rc != KVPDF_ERR_NO_SIGNATURE) {
        fprintf(stderr, "kvpdf: %s: the search stopped: %s (code %d)\n%s", path.c_str(),
                Message(h, rc).c_str(), rc, Messages(h).c_str());
        status = 1;
    } else if (rc == 1 && KvPdfGetLastErrorIndex(h) >= 0) {
        fprintf(stderr, "kvpdf: warning: %s: the search skipped what it could not read:\n%s",
                path.c_str(), Messages(h).c_str());
    }
    KvPDFClose(h);
    return status;
}

} // namespace cli
