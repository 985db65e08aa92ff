// SPDX-License-Identifier: Apache-2.0
// The PDF library's side of the support library. Only the second half reads or switches
// anything inside the library.
#include "kvtest.h"

#include "pdf_document.h"
#include "pdf_internal.h"
#include "pdf_mem.h"
#include "pdf_utils.h"

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

// ---------------------------------------------------------------- inside the library

Structure ReadStructure(const std::string &path, bool read_texts, bool writing) {
    Structure s;
    const std::string out = path + ".out";
    KvPdfHandle h = KvPDFInit(path.c_str(), writing ? out.c_str() : nullptr, 0);
    kvpdf::PdfDocument *doc = kvpdf::HandleLookup(h);
    if (!doc) return s;
    doc->mode = writing ? kvpdf::kModeWriteAttachments : kvpdf::kModeReadAttachments;
    s.rc = kvpdf::ProcessPdf(doc);
    s.ring = RingCodes(h);
    const kvpdf::ParsedDocument &p = doc->parsed;
    s.size = p.declared_size;
    for (kvpdf::XrefSection *x = p.xref_sections; x; x = x->next)
        s.sections.push_back(x->offset);
    for (uint32_t n = 1; n < p.object_offsets_count; ++n) {
        if (p.object_streams[n])
            s.streams[n] = p.object_streams[n];
        else if (p.object_offsets[n] != kvpdf::kNoOffset)
            s.offsets[n] = p.object_offsets[n];
    }
    FILE *f = read_texts ? fopen(path.c_str(), "rb") : nullptr;
    for (uint32_t n = 1; f && n < p.object_offsets_count; ++n) {
        if (!s.offsets.count(n) && !s.streams.count(n)) continue;
        char *text = nullptr;
        uint32_t length = 0;
        if (kvpdf::PdfReadObjectBinary(kvpdf::ReaderOf(doc), f,
                                       static_cast<kvpdf::ObjectSelector>(n), &text, &length) == 1)
            s.texts[n] = std::string(text ? text : "", text ? length : 0);
        kvpdf::TrackedFreeT(text);
    }
    if (f) fclose(f);
    KvPDFClose(h);
    return s;
}

void OutOfMemorySweep(const std::function<int32_t()> &scenario, uint64_t least) {
    const int64_t live = kvpdf::TrackedLiveBlocks();
    const uint64_t before = kvpdf::TrackedAllocationCount();
    ASSERT_EQ(scenario(), 1);
    const uint64_t total = kvpdf::TrackedAllocationCount() - before;
    ASSERT_GE(total, least);
    ASSERT_EQ(kvpdf::TrackedLiveBlocks(), live);
    for (uint64_t nth = 1; nth <= total; ++nth) {
        kvpdf::TrackedFailAt(nth);
        const int32_t rc = scenario();
        kvpdf::TrackedFailAt(0);
        EXPECT_LE(rc, 1) << "allocation " << nth;
        EXPECT_EQ(kvpdf::TrackedLiveBlocks(), live) << "allocation " << nth << " leaked";
    }
}

} // namespace kvtest
