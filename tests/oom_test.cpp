// SPDX-License-Identifier: Apache-2.0
// Every tracked allocation of a signing write, or of reading a file back, fails in turn:
// each run must end with a clean code recorded in the ring, no leaked block and a handle
// that closes.
#include "kvtest.h"

namespace {

TEST(OutOfMemory, SigningWritesSurviveEveryFailingAllocation) {
    kvtest::TempDir dir;
    // Classic, with a Kontir note; and a chain of table, object stream and cross-reference
    // stream whose page sits in the object stream.
    kvtest::PdfBuilder mixed = kvtest::OnePage("%PDF-1.6\n");
    mixed.ClassicXref();
    mixed.ObjectStream(5, {{3, "<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]>>"}, {6, "(six)"}});
    kvtest::StreamOptions o;
    o.predictor = 12;
    mixed.XrefStream(7, o);
    mixed.Object(8, "(eight)");
    mixed.ClassicXref();
    for (const std::string &source : {kvtest::OnePagePdf(), mixed.bytes()}) {
        const std::string src = dir.file("in.pdf"), dst = dir.file("out.pdf");
        kvtest::WriteFile(src, source);
        kvtest::OutOfMemorySweep(
            [&]() {
                KvPdfHandle h = KvPDFInit(src.c_str(), dst.c_str(), 0);
                if (h == 0) return 0; // the record itself could not be allocated
                KvPDFSetKontirProperties(h, "note", "subject", "title", 1, 1, 2, 3, 4, 5, 6, 7, 8);
                int32_t rc = KvPdfWritePDFWithoutSignature(h, 0);
                if (rc == 1) rc = KvPdfWriteDummySignatureAndAddedContent(h, nullptr);
                if (rc < 0 && kvtest::RingCodes(h).empty()) rc = 1000; // unrecorded
                return KvPDFClose(h) == 1 ? rc : 1001;
            },
            30);
        // Reading every object back, the compressed one through its object stream: a
        // lack of memory must fail the read, never pass for an object not held.
        kvtest::OutOfMemorySweep(
            [&]() {
                const kvtest::Structure s = kvtest::ReadStructure(src, true);
                if (s.rc < 0 && s.ring.empty()) return 1000;
                for (const auto &t : s.texts)
                    if (t.second.empty()) return 1001;
                return s.rc;
            },
            5);
    }
}

} // namespace
