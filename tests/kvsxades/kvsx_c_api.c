/* SPDX-License-Identifier: Apache-2.0 */
/* Compiles the public header as C and checks the word order of the records the PDF
   library builds or reads word by word. */
#include "kvsxades.h"

#include <stddef.h>
#include <string.h>

int kvsx_c_api_problems(void);

#define WORD sizeof(void *)
#define EXPECT(cond) problems += (cond) ? 0 : 1

int kvsx_c_api_problems(void) {
    int problems = 0;
    /* DataObject: word 1 data, 2 length, 3/4 range, 5 content type, 10 next. */
    EXPECT(offsetof(KvsDataObject, data) < offsetof(KvsDataObject, length));
    EXPECT(offsetof(KvsDataObject, length) < offsetof(KvsDataObject, range_offset));
    EXPECT(offsetof(KvsDataObject, range_length) < offsetof(KvsDataObject, content_type));
    EXPECT(offsetof(KvsDataObject, reserved9) < offsetof(KvsDataObject, next));
    EXPECT(offsetof(KvsDataObject, next) + WORD == sizeof(KvsDataObject));
    /* CertDataChain: (cert, length), (crl, length), (ocsp, length), next. */
    EXPECT(offsetof(KvsCertDataChain, cert) == 0);
    EXPECT(offsetof(KvsCertDataChain, crl) == 2 * WORD);
    EXPECT(offsetof(KvsCertDataChain, ocsp) == 4 * WORD);
    EXPECT(offsetof(KvsCertDataChain, next) == 6 * WORD);
    /* TimestampInfo: time (two words, low first), block, unused word, chain, next. */
    EXPECT(offsetof(KvsTimestampInfo, time) == 0);
    EXPECT(offsetof(KvsTimestampInfo, data) == 8);
    EXPECT(offsetof(KvsTimestampInfo, data_length) < offsetof(KvsTimestampInfo, reserved));
    EXPECT(offsetof(KvsTimestampInfo, reserved) < offsetof(KvsTimestampInfo, chain));
    EXPECT(offsetof(KvsTimestampInfo, chain) + WORD == offsetof(KvsTimestampInfo, next));
    /* CertificateInfo: texts 0..4, word 5, values 6..9. */
    EXPECT(offsetof(KvsCertificateInfo, not_after) == 4 * WORD);
    EXPECT(offsetof(KvsCertificateInfo, reserved5) == 5 * WORD);
    EXPECT(offsetof(KvsCertificateInfo, signature_nid) == 6 * WORD + 12);
    /* Linkable from C. */
    EXPECT(strcmp(kvsx_code_text(KVSX_OK), "KVSX_OK: success") == 0);
    EXPECT(kvsx_set_hash_type(KVS_HASH_SHA256) == KVSX_OK);
    return problems;
}
