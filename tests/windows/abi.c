/* SPDX-License-Identifier: Apache-2.0 */
/* The layout of every public record as the mingw compilers see it (compiled, never run,
 * by scripts/check-windows.sh for both widths). On Win32 the records are the 32-bit
 * words the hosts' declarations count; Win64 has the natural 8-byte pointers. Linux
 * i386 would not prove this: it aligns 8-byte members to 4. */
#include "kvpdf.h"

#include <stddef.h>

#if defined(_WIN64)
#define W(win32, win64) (win64)
#else
#define W(win32, win64) (win32)
#endif
#define SIZE(type, win32, win64) _Static_assert(sizeof(type) == W(win32, win64), #type)
#define AT(type, field, win32, win64)                                                              \
    _Static_assert(offsetof(type, field) == W(win32, win64), #type "." #field)

SIZE(KvPdfHandle, 4, 8);

SIZE(ErrorEntry, 1008, 1008);
AT(ErrorEntry, line, 500, 500);
AT(ErrorEntry, code, 504, 504);
AT(ErrorEntry, message, 508, 508);

SIZE(SignatureInfo, 13 * 4, 80);
AT(SignatureInfo, kind, 4, 4);
AT(SignatureInfo, name, 8, 8);
AT(SignatureInfo, location, 12, 16);
AT(SignatureInfo, reason, 16, 24);
AT(SignatureInfo, contact_info, 20, 32);
AT(SignatureInfo, signing_time, 24, 40);
AT(SignatureInfo, subfilter, 28, 48);
AT(SignatureInfo, contents_offset, 32, 56);
AT(SignatureInfo, byte_range, 36, 60);

SIZE(LogoImage, 10 * 4, 48);
AT(LogoImage, data, 4, 8);
AT(LogoImage, data_length, 8, 16);
AT(LogoImage, version, 12, 20);
AT(LogoImage, header_value, 16, 24);
AT(LogoImage, image_width, 20, 28);
AT(LogoImage, image_height, 24, 32);
AT(LogoImage, box_width, 28, 36);
AT(LogoImage, box_height, 32, 40);
AT(LogoImage, is_sigappx, 36, 44);

SIZE(SignedDataItem, 16, 32);
AT(SignedDataItem, length, 4, 8);
AT(SignedDataItem, content_type, 8, 16);
AT(SignedDataItem, next, 12, 24);

SIZE(SigningParameters, 20, 40);
AT(SigningParameters, secret, 4, 8);
AT(SigningParameters, certs, 8, 16);
AT(SigningParameters, tsa_url, 12, 24);
AT(SigningParameters, flags, 16, 32);

SIZE(CertificateInfo, 40, 64);
AT(CertificateInfo, issuer, 4, 8);
AT(CertificateInfo, serial, 8, 16);
AT(CertificateInfo, not_before, 12, 24);
AT(CertificateInfo, not_after, 16, 32);
AT(CertificateInfo, reserved, 20, 40);
AT(CertificateInfo, key_usage, 24, 48);
AT(CertificateInfo, is_ca, 28, 52);
AT(CertificateInfo, path_length, 32, 56);
AT(CertificateInfo, signature_nid, 36, 60);

SIZE(CertDataChain, 28, 56);
AT(CertDataChain, cert_length, 4, 8);
AT(CertDataChain, crl, 8, 16);
AT(CertDataChain, crl_length, 12, 24);
AT(CertDataChain, ocsp, 16, 32);
AT(CertDataChain, ocsp_length, 20, 40);
AT(CertDataChain, next, 24, 48);

SIZE(TSChain, 24, 40);
AT(TSChain, time_high, 4, 4);
AT(TSChain, data, 8, 8);
AT(TSChain, data_length, 12, 16);
AT(TSChain, chain, 16, 24);
AT(TSChain, next, 20, 32);

SIZE(KvPdfSignatureCheck, 36, 40);
AT(KvPdfSignatureCheck, changes, 4, 4);
AT(KvPdfSignatureCheck, docmdp, 8, 8);
AT(KvPdfSignatureCheck, docmdp_violated, 12, 12);
AT(KvPdfSignatureCheck, analysis, 16, 16);
AT(KvPdfSignatureCheck, signed_length, 20, 20);
AT(KvPdfSignatureCheck, revisions_after, 24, 24);
AT(KvPdfSignatureCheck, other_count, 28, 28);
AT(KvPdfSignatureCheck, other_objects, 32, 32);
