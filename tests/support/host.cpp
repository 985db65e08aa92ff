#include "kvtest.h"

#include <cstdio>

namespace kvtest {

std::vector<int> RingCodes(KvPdfHandle handle) {
    std::vector<int> codes;
    ErrorEntry e;
    for (int i = 0; i <= KvPdfGetLastErrorIndex(handle); ++i)
        if (KvPdfGetError(handle, i, &e) == 1) codes.push_back(e.code);
    return codes;
}

std::vector<uint32_t> LastByteRange(const std::string &path) {
    const std::string bytes = ReadFile(path);
    std::vector<uint32_t> r(4, 0);
    size_t at = bytes.rfind("/ByteRange[");
    if (at != std::string::npos)
        sscanf(bytes.c_str() + at + 11, "%u %u %u %u", &r[0], &r[1], &r[2], &r[3]);
    return r;
}

SignOutcome HostSign(const std::string &source, const std::string &target,
                     const SignRequest &request) {
    SignOutcome out;
    const Pki &pki = World::Get().pki();
    KvPdfHandle h = KvPDFInit(source.c_str(), target.c_str(), request.buffer);
    KvPDFSetProperty(h, KVPDF_PROP_VISIBLE, request.visible ? 1 : 0);
    if (request.cades) KvPDFSetProperty(h, KVPDF_PROP_SUBFILTER_SELECT, KVPDF_SUBFILTER_CADES);
    if (request.configure) request.configure(h);
    if (request.timestamp) KvPdfCreateDocTimeStamp(h);
    intptr_t logo = request.logo_path.empty() ? 0 : KvPDFSetLogo(h, request.logo_path.c_str());
    out.write = KvPdfWritePDFWithoutSignature(h, logo);
    out.ring = RingCodes(h);
    if (out.write == 1 && KvPdfWriteDummySignatureAndAddedContent(h, nullptr) == 1) {
        out.byte_range = LastByteRange(target);
        const auto &r = out.byte_range;
        const std::string file = ReadFile(target);
        out.signed_bytes = file.substr(0, r[1]) + file.substr(r[2], r[3]);
        out.der = request.timestamp ? pki.TimestampToken(out.signed_bytes)
                                    : SignDetachedCms(out.signed_bytes, pki.signer, request.cades);
        const auto n = static_cast<uint32_t>(out.der.size());
        out.value = request.timestamp ? KvPdfWriteTimestamp(h, U8(out.der), n)
                                      : KvPdfWriteSignature(h, U8(out.der), n);
    }
    if (logo > 0) KvPDFLogoFree(reinterpret_cast<LogoImage *>(logo));
    KvPDFClose(h);
    return out;
}

} // namespace kvtest
