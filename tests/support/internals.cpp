// Everything the tests read or switch inside the library, and nothing else, lives here.
#include "kvtest.h"

#include "pdf_document.h"
#include "pdf_internal.h"
#include "pdf_mem.h"
#include "pdf_utils.h"

namespace kvtest {

Structure ReadStructure(const std::string &path, bool read_texts) {
    Structure s;
    KvPdfHandle h = KvPDFInit(path.c_str(), nullptr, 0);
    PdfDocument *doc = HandleLookup(h);
    doc->mode = kModeReadAttachments;
    s.rc = ProcessPdf(doc);
    s.ring = RingCodes(h);
    s.root = doc->root_obj;
    s.size = doc->declared_size;
    for (XrefSection *x = doc->xref_sections; x; x = x->next)
        s.sections.push_back(x->offset);
    for (uint32_t n = 1; n < doc->object_offsets_count; ++n) {
        if (doc->object_streams[n])
            s.streams[n] = doc->object_streams[n];
        else if (doc->object_offsets[n] != kNoOffset)
            s.offsets[n] = doc->object_offsets[n];
    }
    FILE *f = read_texts ? fopen(path.c_str(), "rb") : nullptr;
    for (uint32_t n = 1; f && n < doc->object_offsets_count; ++n) {
        if (!s.offsets.count(n) && !s.streams.count(n)) continue;
        char *text = nullptr;
        uint32_t length = 0;
        if (PdfReadObjectBinary(f, static_cast<ObjectSelector>(n), &text, &length, doc) == 1)
            s.texts[n] = std::string(text ? text : "", text ? length : 0);
        TrackedFreeT(text);
    }
    if (f) fclose(f);
    KvPDFClose(h);
    return s;
}

void FixSigningTime(time_t t) {
    kvpdf::SetFixedTime(t);
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
