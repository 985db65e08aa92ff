/* SPDX-License-Identifier: Apache-2.0 */
/* Compiles the public header as strict C and checks the record layouts a host relies on. */
#include "kvpdf.h"

typedef char error_entry_is_1008_bytes[sizeof(ErrorEntry) == 1008 ? 1 : -1];
typedef char handle_is_pointer_sized[sizeof(KvPdfHandle) == sizeof(void *) ? 1 : -1];

int kvpdf_c_api_check(void) {
    ErrorEntry entry;
    int32_t major = 0, minor = 0;
    KvPdfHandle h = KvPDFInit("in.pdf", NULL, 0);
    KvGetPDFFileVersion("in.pdf", &major, &minor, h);
    KvPdfGetError(h, 0, &entry);
    return KvPDFClose(h) + entry.code;
}
