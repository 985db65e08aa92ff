// Out-of-memory sweep: count the tracked allocations of a scenario, then make each one
// fail in turn. Every run must end with a clean code, no leaked block and a handle that
// closes.
#include "pdf_builder.h"
#include "pdf_mem.h"
#include "pdf_utils.h"
#include "test_support.h"

#include <gtest/gtest.h>

using namespace kvpdf;

namespace {

TEST(OutOfMemory, InitAndProcessingSurviveEveryFailingAllocation) {
    kvtest::TempDir dir;
    kvtest::PdfBuilder b = kvtest::OnePage("%PDF-1.6\n");
    b.ClassicXref();
    b.ObjectStream(5, {{4, "<</Producer(x)>>"}, {6, "(six)"}});
    kvtest::StreamOptions o;
    o.predictor = 12;
    b.XrefStream(7, o);
    b.Object(8, "(eight)");
    b.ClassicXref();
    std::string src = dir.file("in.pdf"), dst = dir.file("out.pdf");
    kvtest::WriteFile(src, b.bytes());

    auto scenario = [&](int32_t *process_rc) -> bool {
        *process_rc = 0;
        KvPdfHandle h = KvPDFInit(src.c_str(), dst.c_str(), 0);
        if (h == 0) return true; // the record itself could not be allocated
        PdfDocument *doc = HandleLookup(h);
        if (!doc) return false;
        doc->mode = kModeSign;
        *process_rc = ProcessPdf(doc);
        if (*process_rc == 1) {
            // Reading a compressed object allocates through the object stream path.
            FILE *f = fopen(dst.c_str(), "rb");
            char *text = nullptr;
            int32_t rc = PdfReadObject(ReaderOf(doc), f, 6, &text);
            // A lack of memory must fail the read, never pass for an object not held.
            const bool held = rc < 1 || text;
            TrackedFreeT(text);
            fclose(f);
            if (!held) {
                KvPDFClose(h);
                return false;
            }
        } else if (*process_rc < 0 && kvtest::RingCodes(h).empty()) {
            KvPDFClose(h);
            return false;
        }
        return KvPDFClose(h) == 1;
    };

    int64_t live = kvpdf::TrackedLiveBlocks();
    uint64_t before = kvpdf::TrackedAllocationCount();
    int32_t rc = 0;
    ASSERT_TRUE(scenario(&rc));
    ASSERT_EQ(rc, 1);
    uint64_t total = kvpdf::TrackedAllocationCount() - before;
    ASSERT_GT(total, 20u);
    ASSERT_EQ(kvpdf::TrackedLiveBlocks(), live);
    int failed = 0;
    for (uint64_t nth = 1; nth <= total; ++nth) {
        kvpdf::TrackedFailAt(nth);
        bool clean = scenario(&rc);
        kvpdf::TrackedFailAt(0);
        EXPECT_TRUE(clean) << "allocation " << nth;
        EXPECT_TRUE(rc == 1 || rc <= 0) << "allocation " << nth;
        EXPECT_EQ(kvpdf::TrackedLiveBlocks(), live) << "allocation " << nth << " leaked";
        failed += rc != 1;
    }
    EXPECT_GT(failed, 0);
}

} // namespace
