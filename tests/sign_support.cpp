#include "sign_support.h"

#include "pdf_document.h"
#include "test_support.h"

using namespace kvpdf;

namespace kvtest {

const TestKey &Signer() {
    static const TestKey key = MakeTestKey("kvpdf test signer");
    return key;
}

const TestTsa &Tsa() {
    static const TestTsa tsa = MakeTestTsa();
    return tsa;
}

SignOutcome HostSign(const std::string &source, const std::string &target,
                     const SignRequest &request) {
    SignOutcome out;
    KvPdfHandle h = KvPDFInit(source.c_str(), target.c_str(), request.buffer);
    KvPDFSetProperty(h, KVPDF_PROP_VISIBLE, request.visible ? 1 : 0);
    if (request.cades) KvPDFSetProperty(h, KVPDF_PROP_SUBFILTER_SELECT, KVPDF_SUBFILTER_CADES);
    if (request.configure) request.configure(h);
    if (request.timestamp) KvPdfCreateDocTimeStamp(h);
    intptr_t logo = request.logo_path.empty() ? 0 : KvPDFSetLogo(h, request.logo_path.c_str());
    out.write = KvPdfWritePDFWithoutSignature(h, logo);
    out.ring = RingCodes(h);
    if (out.write == 1) {
        uint32_t at = 0;
        out.placeholder = KvPdfWriteDummySignatureAndAddedContent(h, &at);
        const PdfDocument *doc = HandleLookup(h);
        for (int i = 0; i < 4; ++i)
            out.byte_range[i] = doc->update.byte_range[i];
        out.signed_bytes =
            ReadRanges(target, out.byte_range[1], out.byte_range[2], out.byte_range[3]);
        out.der = request.timestamp ? MakeTimestampToken(out.signed_bytes, Tsa())
                                    : SignDetachedCms(out.signed_bytes, Signer(), request.cades);
        const auto *der = reinterpret_cast<const uint8_t *>(out.der.data());
        out.value = request.timestamp
                        ? KvPdfWriteTimestamp(h, der, static_cast<uint32_t>(out.der.size()))
                        : KvPdfWriteSignature(h, der, static_cast<uint32_t>(out.der.size()));
    }
    if (logo > 0) KvPDFLogoFree(reinterpret_cast<LogoImage *>(logo));
    KvPDFClose(h);
    return out;
}

} // namespace kvtest
