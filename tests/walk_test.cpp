// The structure walk: which existing objects a signature rewrites, and how; the page it
// chooses; the Document Security Store it reads.
#include "pdf_builder.h"
#include "pdf_mem.h"
#include "pdf_pades.h"
#include "pdfsign_walk.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>

using namespace kvpdf;

namespace {

// Runs the processing of a signature write (no file is written) and returns the texts
// of the rewritten objects by number.
class Walk : public ::testing::Test {
protected:
    void TearDown() override { KvPDFClose(handle_); }
    int32_t Run(kvtest::PdfBuilder &b, int32_t mode = kModeSign,
                const std::function<void(KvPdfHandle)> &configure = nullptr) {
        KvPDFClose(handle_);
        b.ClassicXref();
        kvtest::WriteFile(dir_.file("w.pdf"), b.bytes());
        handle_ = KvPDFInit(dir_.file("w.pdf").c_str(), dir_.file("o.pdf").c_str(), 0);
        KvPDFSetProperty(handle_, KVPDF_PROP_VISIBLE, 0);
        if (configure) configure(handle_);
        doc_ = HandleLookup(handle_);
        doc_->mode = mode;
        int32_t rc = ProcessPdf(doc_);
        rewritten_.clear();
        for (uint32_t i = 0; i < doc_->update.updated_objects.count; ++i) {
            const UpdatedObject &u = doc_->update.updated_objects.items[i];
            rewritten_[u.number] = std::string(u.text, u.length ? u.length : strlen(u.text));
        }
        return rc;
    }
    kvtest::TempDir dir_;
    KvPdfHandle handle_ = 0;
    PdfDocument *doc_ = nullptr;
    std::map<uint32_t, std::string> rewritten_;
};

TEST_F(Walk, ExistingArraysAndFormsGetTheNewField) {
    // The page's inline /Annots gets the widget appended; the indirect AcroForm's inline
    // /Fields too, just before the closing bracket. /Size 8 after a classic table: the
    // dictionary is 9, the widget 10.
    kvtest::PdfBuilder a;
    a.Object(1, "<</Type/Catalog/Pages 2 0 R/AcroForm 5 0 R>>");
    a.Object(2, "<</Type/Pages/Kids[3 0 R]/Count 1>>");
    a.Object(3, "<</Type/Page/Parent 2 0 R/Annots[ 6 0 R ]>>");
    a.Object(5, "<</Fields [6 0 R]/DA(/Helv 0 Tf)>>");
    a.Object(6, "<</FT/Tx/T(name)>>");
    a.Object(7, "(filler)");
    ASSERT_EQ(Run(a), 1);
    EXPECT_EQ(rewritten_.size(), 2u);
    EXPECT_EQ(rewritten_[3], "3 0 obj\n<</Type/Page/Parent 2 0 R/Annots[ 6 0 R  10 0 R]>>\nendobj");
    EXPECT_EQ(rewritten_[5], "5 0 obj\n<</Fields [6 0 R 10 0 R]/DA(/Helv 0 Tf)>>\nendobj");
    EXPECT_EQ(doc_->parsed.annots_modified, 1);

    // An indirect /Annots array and an indirect /Fields array are rewritten themselves;
    // the page and the form keep their texts. A line feed before a reference counts.
    kvtest::PdfBuilder b;
    b.Object(1, "<</Type/Catalog/Pages 2 0 R/AcroForm\n5 0 R>>");
    b.Object(2, "<</Type/Pages/Kids 9 0 R/Count 1>>");
    b.Object(3, "<</Type/Page/Parent 2 0 R/Annots 4 0 R>>");
    b.Object(4, "[6 0 R]");
    b.Object(5, "<</Fields 8 0 R>>");
    b.Object(6, "<</FT/Tx>>");
    b.Object(8, "[6  0  R]");
    b.Object(9, "[3 0 R]");
    ASSERT_EQ(Run(b), 1);
    EXPECT_EQ(rewritten_.size(), 2u);
    EXPECT_EQ(rewritten_[4], "4 0 obj\n[6 0 R 12 0 R ]\nendobj");
    EXPECT_EQ(rewritten_[8], "8 0 obj\n[6  0  R 12 0 R]\nendobj");
    EXPECT_EQ(doc_->parsed.page_obj, 3); // the page tree's /Kids held in an array object

    // A form without /Fields gets one naming the new field; a Kontir note adds itself
    // and its popup to a page without /Annots.
    kvtest::PdfBuilder c;
    c.Object(1, "<</Type/Catalog/Pages 2 0 R/AcroForm<</DA(/Helv 0 Tf)>>>>");
    c.Object(2, "<</Type/Pages/Kids[3 0 R]/Count 1>>");
    c.Object(3, "<</Type/Page/Parent 2 0 R>>");
    ASSERT_EQ(
        Run(c, kModeSign,
            [](KvPdfHandle h) { KvPDFSetProperty(h, KVPDF_PROP_KONTIR_TEXT, KVPDF_TEXT("k")); }),
        1);
    EXPECT_EQ(
        rewritten_[1],
        "1 0 obj\n<</Type/Catalog/Pages 2 0 R/AcroForm<</Fields[6 0 R]/DA(/Helv 0 Tf)>>>>\nendobj");
    EXPECT_EQ(rewritten_[3],
              "3 0 obj\n<</Type/Page\n/Annots [6 0 R 7 0 R 8 0 R]\n/Parent 2 0 R>>\nendobj");
    EXPECT_EQ(doc_->update.plan.kontir_annot_obj, 7); // an invisible signature: S + 2
}

TEST_F(Walk, ReadingModesLeaveObjectsAloneAndListTheFields) {
    kvtest::PdfBuilder b;
    b.Object(1, "<</Type/Catalog/Pages 2 0 R/AcroForm<</Fields[7 0 R 8 0 R]>>/Names 9 0 R>>");
    b.Object(2, "<</Type/Pages/Kids[4 0 R]/Count 1>>");
    b.Object(4, "<</Type/Pages/Kids[3 0 R]/Count 1/Parent 2 0 R>>");
    b.Object(3, "<</Type/Page/Parent 4 0 R/Annots[]>>");
    b.Object(9, "<</EmbeddedFiles 10 0 R>>");
    ASSERT_EQ(Run(b, kModeReadAttachments), 1);
    EXPECT_TRUE(rewritten_.empty());
    EXPECT_EQ(doc_->parsed.field_refs[1], 8u);
    EXPECT_EQ(doc_->parsed.page_obj, 3);
    EXPECT_EQ(doc_->parsed.names_obj, 9);
    EXPECT_EQ(doc_->parsed.field_count, 2u);
}

TEST_F(Walk, PageTreeCyclesAndMissingPieces) {
    kvtest::PdfBuilder loop;
    loop.Object(1, "<</Type/Catalog/Pages 2 0 R>>");
    loop.Object(2, "<</Type/Pages/Kids[4 0 R]/Count 1>>");
    loop.Object(4, "<</Type/Pages/Kids[2 0 R]/Count 1>>");
    EXPECT_EQ(Run(loop), -34);
    EXPECT_EQ(kvtest::RingCodes(handle_), (std::vector<int>{-34, -44, -45}));
    kvtest::PdfBuilder empty;
    empty.Object(1, "<</Type/Catalog/Pages 2 0 R>>");
    empty.Object(2, "<</Type/Pages/Kids[]/Count 0>>");
    EXPECT_EQ(Run(empty), -34);
    kvtest::PdfBuilder annots;
    annots.Object(1, "<</Type/Catalog/Pages 2 0 R>>");
    annots.Object(2, "<</Type/Pages/Kids[3 0 R]/Count 1>>");
    annots.Object(3, "<</Type/Page/Parent 2 0 R/Annots 12 0 R>>");
    EXPECT_EQ(Run(annots), -35);
    EXPECT_EQ(kvtest::RingCodes(handle_), (std::vector<int>{-35, -42, -45}));
    kvtest::PdfBuilder form;
    form.Object(1, "<</Type/Catalog/Pages 2 0 R/AcroForm 14 0 R>>");
    form.Object(2, "<</Type/Pages/Kids[3 0 R]/Count 1>>");
    EXPECT_EQ(Run(form), -1);
    EXPECT_EQ(kvtest::RingCodes(handle_), (std::vector<int>{-36, -41, -44, -45}));
}

// The Document Security Stores of the corpus, read revision by revision.
TEST(WalkDss, CorpusStoresAreReadWithTheirCounts) {
    const std::string dir = kvtest::CorpusDir();
    if (dir.empty()) GTEST_SKIP() << "the shared corpus is not on this machine";
    int checked = 0;
    for (const auto &row : kvtest::CorpusManifest()) {
        const std::string name = kvtest::ManifestValue(row, "file");
        const std::string dss = kvtest::ManifestValue(row, "dss");
        if (dss.empty() || kvtest::ManifestValue(row, "encrypted") == "1") continue;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(dss, m, std::regex(R"(C(\d+)/R(\d+)/O(\d+))"))) << dss;
        KvPdfHandle h = KvPDFInit((dir + "/" + name).c_str(), nullptr, 0);
        PdfDocument *doc = HandleLookup(h);
        doc->mode = kModeReadAttachments;
        EXPECT_EQ(ProcessPdf(doc), 1) << name;
        ASSERT_NE(doc->parsed.dss_info, nullptr) << name;
        // The newest revision's store, as qpdf (through pikepdf) counted it.
        EXPECT_EQ(doc->parsed.dss_info->cert_count, std::stoul(m[1])) << name;
        EXPECT_EQ(doc->parsed.dss_info->crl_count, std::stoul(m[2])) << name;
        EXPECT_EQ(doc->parsed.dss_info->ocsp_count, std::stoul(m[3])) << name;
        EXPECT_EQ(doc->parsed.dss_info->changed, 0);
        int revisions = 0;
        for (XrefSection *s = doc->parsed.xref_sections; s; s = s->next) {
            if (!s->dss) continue;
            ++revisions;
            for (DssArray *a : s->dss->arrays)
                for (uint32_t i = 0; a && i < a->count; ++i) {
                    EXPECT_GT(a->entries[i].length, 0u) << name;
                    EXPECT_EQ(a->entries[i].is_new, 0);
                    // Certificates, CRLs and OCSP responses are DER: a SEQUENCE.
                    EXPECT_EQ(a->entries[i].data[0], 0x30) << name;
                }
        }
        EXPECT_GE(revisions, 1) << name;
        ++checked;
        KvPDFClose(h);
    }
    EXPECT_EQ(checked, 3);
}

} // namespace
