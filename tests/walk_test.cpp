// SPDX-License-Identifier: Apache-2.0
// The structure walk, seen in the update it writes: which existing objects a signature
// rewrites, and how.
#include "kvtest.h"

namespace {

struct Case {
    const char *what;
    std::vector<std::pair<uint32_t, std::string>> objects;
    bool kontir;
    std::vector<std::string> rewritten; // texts the update must carry, in this order
};

TEST(Walk, ExistingArraysAndFormsGetTheNewField) {
    const Case cases[] = {
        // The page's inline /Annots gets the widget appended; the indirect AcroForm's
        // inline /Fields too, just before the closing bracket. /Size 8 after a classic
        // table: the dictionary is 9, the widget 10.
        {"inline arrays",
         {{1, "<</Type/Catalog/Pages 2 0 R/AcroForm 5 0 R>>"},
          {2, "<</Type/Pages/Kids[3 0 R]/Count 1>>"},
          {3, "<</Type/Page/Parent 2 0 R/Annots[ 6 0 R ]>>"},
          {5, "<</Fields [6 0 R]/DA(/Helv 0 Tf)>>"},
          {6, "<</FT/Tx/T(name)>>"},
          {7, "(filler)"}},
         false,
         {"3 0 obj\n<</Type/Page/Parent 2 0 R/Annots[ 6 0 R  10 0 R]>>\nendobj",
          "5 0 obj\n<</Fields [6 0 R 10 0 R]/DA(/Helv 0 Tf)>>\nendobj"}},
        // Indirect /Annots and /Fields arrays are rewritten themselves; the page and the
        // form keep their texts. A line feed before a reference counts; /Kids may be an
        // array object.
        {"indirect arrays",
         {{1, "<</Type/Catalog/Pages 2 0 R/AcroForm\n5 0 R>>"},
          {2, "<</Type/Pages/Kids 9 0 R/Count 1>>"},
          {3, "<</Type/Page/Parent 2 0 R/Annots 4 0 R>>"},
          {4, "[6 0 R]"},
          {5, "<</Fields 8 0 R>>"},
          {6, "<</FT/Tx>>"},
          {8, "[6  0  R]"},
          {9, "[3 0 R]"}},
         false,
         {"4 0 obj\n[6 0 R 12 0 R ]\nendobj", "8 0 obj\n[6  0  R 12 0 R]\nendobj"}},
        // A form without /Fields gets one naming the new field; a Kontir note adds itself
        // and its popup to a page without /Annots.
        {"form without fields, note",
         {{1, "<</Type/Catalog/Pages 2 0 R/AcroForm<</DA(/Helv 0 Tf)>>>>"},
          {2, "<</Type/Pages/Kids[3 0 R]/Count 1>>"},
          {3, "<</Type/Page/Parent 2 0 R>>"}},
         true,
         {"1 0 obj\n<</Type/Catalog/Pages 2 0 R/AcroForm<</Fields[6 0 R]/DA(/Helv 0 "
          "Tf)>>>>\nendobj",
          "3 0 obj\n<</Type/Page\n/Annots [6 0 R 7 0 R 8 0 R]\n/Parent 2 0 R>>\nendobj"}},
    };
    kvtest::TempDir dir;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        kvtest::PdfBuilder b;
        for (const auto &o : c.objects)
            b.Object(o.first, o.second);
        b.ClassicXref();
        kvtest::WriteFile(dir.file("in.pdf"), b.bytes());
        kvtest::SignRequest r;
        if (c.kontir)
            r.configure = [](KvPdfHandle h) {
                KvPDFSetProperty(h, KVPDF_PROP_KONTIR_TEXT, KVPDF_TEXT("k"));
            };
        ASSERT_EQ(kvtest::HostSign(dir.file("in.pdf"), dir.file("out.pdf"), r).value, 1);
        const std::string update = kvtest::ReadFile(dir.file("out.pdf")).substr(b.bytes().size());
        size_t from = 0;
        for (const std::string &text : c.rewritten) {
            size_t at = update.find(text + "\n", from);
            EXPECT_NE(at, std::string::npos) << text << "\nin\n" << update;
            from = at == std::string::npos ? from : at;
        }
        // Nothing else of the source is written again.
        int old_objects = 0;
        for (const auto &o : c.objects)
            old_objects +=
                update.find("\n" + std::to_string(o.first) + " 0 obj\n") != std::string::npos;
        EXPECT_EQ(old_objects, static_cast<int>(c.rewritten.size()));
        EXPECT_TRUE(kvtest::CheckersAccept(dir.file("out.pdf"), 1));
    }
}

} // namespace
