/* SPDX-License-Identifier: Apache-2.0 */
/* A program built against an installed kvpdf: both libraries must load from the prefix
   and read a real file. Prints the version and the PDF version of the sample. */
#include <kvpdf.h>
#include <kvsxades.h>
#include <stdio.h>

int main(int argc, char **argv) {
    char version[16];
    int32_t major = 0, minor = 0;
    if (argc != 2 || KvPDFGetVersionStr(version) != 1) return 2;
    KvPdfHandle h = KvPDFInit(argv[1], NULL, 0);
    int32_t header = KvGetPDFFileVersion(argv[1], &major, &minor, h);
    KvPDFClose(h);
    printf("kvpdf %s, PDF %d.%d, %s\n", version, major, minor, kvsx_code_text(0));
    return header > 0 ? 0 : 1;
}
