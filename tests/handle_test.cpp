// SPDX-License-Identifier: Apache-2.0
// Handles, versions, the header test, and what a write does to the files around it.
#include "kvtest.h"

#include <unistd.h>

using kvtest::ReadFile;
using kvtest::RingCodes;
using kvtest::TempDir;
using kvtest::WriteFile;

namespace {

TEST(Handle, OnlyLiveHandlesAreUsed) {
    EXPECT_EQ(KvPDFInit(nullptr, "b.pdf", 0), -10);
    KvPdfHandle h = KvPDFInit("a.pdf", nullptr, 0);
    ASSERT_GT(h, 0);
    EXPECT_EQ(KvPDFClose(h), 1);
    // A closed handle, an invented one and the codes KvPDFInit returns are all absent.
    for (KvPdfHandle bad : {h, h + 16, KvPdfHandle{0}, KvPdfHandle{-10}}) {
        EXPECT_EQ(KvPDFClose(bad), 1);
        EXPECT_EQ(KvPDFRestorePDF(bad), -1);
        EXPECT_EQ(KvPDFUpdateLocal(bad), -1);
        EXPECT_EQ(KvIsPDFFile("a.pdf", bad), -1);
        EXPECT_EQ(KvGetPDFFileVersion("a.pdf", nullptr, nullptr, bad), -1);
        EXPECT_EQ(KvPDFSetProperty(bad, KVPDF_PROP_REASON, 0), -51);
        EXPECT_EQ(
            KvPDFSetProperties(bad, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0),
            -52);
        EXPECT_EQ(
            KvPDFSetKontirProperties(bad, nullptr, nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0),
            -61);
        EXPECT_EQ(KvPDFGetProperty(bad, 0, nullptr), -1);
    }
}

TEST(Handle, HeaderTestAndVersion) {
    TempDir dir;
    KvPdfHandle h = KvPDFInit("x.pdf", nullptr, 0);
    const struct {
        std::string bytes;
        int32_t result, major, minor;
    } cases[] = {
        {"%PDF-1.4\n%rest", 8, 1, 4},
        {"%PDF-1.10\n", 9, 1, 10},
        {"%PDF-2.0", 8, 2, 0},
        {"%PDF-1", 7, 1, 0},
        {"\xEF\xBB\xBF%PDF-1.4\n", -2, -1, -1},
        {" %PDF-1.4\n", -2, -1, -1},
        {"%PDF", -2, -1, -1},
    };
    const std::string path = dir.file("v.pdf");
    for (const auto &c : cases) {
        WriteFile(path, c.bytes);
        int32_t major = -1, minor = -1;
        EXPECT_EQ(KvGetPDFFileVersion(path.c_str(), &major, &minor, h), c.result) << c.bytes;
        EXPECT_EQ(major * 100 + minor, c.major * 100 + c.minor) << c.bytes;
        EXPECT_EQ(KvIsPDFFile(path.c_str(), h), c.result > 0 ? 1 : -2) << c.bytes;
        std::unique_ptr<FILE, int (*)(FILE *)> f(fopen(path.c_str(), "rb"), fclose);
        EXPECT_EQ(KvIsPDFFilePointer(f.get(), h), c.result > 0 ? 1 : -2);
    }
    KvPdfResetErrors(h);
    EXPECT_EQ(KvIsPDFFile(dir.file("missing.pdf").c_str(), h), -10);
    EXPECT_EQ(KvGetPDFFileVersion(dir.file("missing.pdf").c_str(), nullptr, nullptr, h), -10);
    EXPECT_EQ(RingCodes(h), (std::vector<int>{-10, -10}));
    KvPDFClose(h);
}

// The reserved /Contents, read back from the byte range of the written file.
TEST(Handle, SignatureBufferSizes) {
    TempDir dir;
    WriteFile(dir.file("in.pdf"), kvtest::OnePagePdf());
    const std::map<int32_t, uint32_t> sizes = {{0, 30000},   {-5, 30000},  {1, 2000},
                                               {1999, 2000}, {2000, 2000}, {50000, 50000}};
    for (auto [given, reserved] : sizes) {
        KvPdfHandle h = KvPDFInit(dir.file("in.pdf").c_str(), dir.file("out.pdf").c_str(), given);
        ASSERT_EQ(KvPdfWritePDFWithoutSignature(h, 0), 1);
        KvPDFClose(h);
        const std::vector<uint32_t> r = kvtest::LastByteRange(dir.file("out.pdf"));
        EXPECT_EQ(r[2] - r[1], 2 * reserved + 2) << given;
    }
}

TEST(Handle, WhatAWriteDoesToTheFilesAroundIt) {
    TempDir dir;
    const std::string src = dir.file("in.pdf"), dst = dir.file("out.pdf");
    const std::string pdf = kvtest::OnePagePdf();
    WriteFile(src, pdf);
    // Nothing written, or only read: nothing to take back.
    WriteFile(dst, "an unrelated file");
    KvPdfHandle h = KvPDFInit(src.c_str(), dst.c_str(), 0);
    EXPECT_EQ(KvPdfFindSignatures(h), -55);
    EXPECT_EQ(RingCodes(h), (std::vector<int>{-55, -42, -45}));
    EXPECT_EQ(KvPDFGetSignatureCount(h), 0);
    EXPECT_EQ(KvPDFRestorePDF(h), -48);
    EXPECT_EQ(ReadFile(dst), "an unrelated file");
    KvPDFClose(h);

    // The target cannot be created: -9 alone, nothing else.
    h = KvPDFInit(src.c_str(), dir.file("no/such/dir/out.pdf").c_str(), 0);
    EXPECT_EQ(KvPdfWritePDFWithoutSignature(h, 0), -9);
    EXPECT_EQ(RingCodes(h), std::vector<int>{-9});
    KvPDFClose(h);

    // Another name of the source (a link, no target) is written in place: the source is
    // never copied onto itself first, which would truncate it.
    ASSERT_EQ(symlink(src.c_str(), dir.file("link.pdf").c_str()), 0);
    ASSERT_EQ(link(src.c_str(), dir.file("hard.pdf").c_str()), 0);
    for (const char *other : {"link.pdf", "hard.pdf", ""}) {
        WriteFile(src, pdf);
        h = KvPDFInit(src.c_str(), *other ? dir.file(other).c_str() : nullptr, 0);
        EXPECT_EQ(KvPdfWritePDFWithoutSignature(h, 0), 1) << other;
        EXPECT_EQ(KvPdfWriteDummySignatureAndAddedContent(h, nullptr), 1) << other;
        KvPDFClose(h);
        EXPECT_EQ(ReadFile(src).compare(0, pdf.size(), pdf), 0) << other;
        std::string out;
        EXPECT_TRUE(kvtest::QpdfCheck(src, &out)) << other << out;
    }
}

} // namespace
