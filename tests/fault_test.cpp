// SPDX-License-Identifier: Apache-2.0
// Faults around a signing write: a write through the handle's file operations comes up
// short or the process dies in the middle of it, the output changes between the two
// phases, the disk is full. The source never changes, a restore gives the output back as
// the source was, and nothing left behind holds a signature value.
#include "kvtest.h"
#include "pdf_document.h"

#include <csignal>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The fault_at-th write through the handle comes up half done; with kill the process
// dies right after it. 0 only counts the writes.
int g_writes = 0, g_fault_at = 0;
bool g_kill = false;

size_t FaultyWrite(kvpdf::PdfDocument *, const void *buffer, size_t size, size_t count, FILE *f) {
    if (++g_writes != g_fault_at) return fwrite(buffer, size, count, f);
    size_t half = fwrite(buffer, size, count / 2, f);
    fflush(f);
    if (g_kill) raise(SIGKILL);
    return half;
}

// The copy dies after half of the source.
int DyingCopy(kvpdf::PdfDocument *, const char *target, const char *source, const char *) {
    std::string bytes = kvtest::ReadFile(source);
    kvtest::WriteFile(target, bytes.substr(0, bytes.size() / 2));
    raise(SIGKILL);
    return -1;
}

KvPdfHandle Open(const std::string &src, const char *out, int fault_at, bool kill) {
    g_writes = 0;
    g_fault_at = fault_at;
    g_kill = kill;
    KvPdfHandle h = KvPDFInit(src.c_str(), out, 2000);
    kvpdf::HandleLookup(h)->file_ops.write = FaultyWrite;
    return h;
}

// The three calls of a signing; the first result that is not 1.
int32_t Sign(KvPdfHandle h) {
    const uint8_t value[] = {0x30, 0x03, 0x02, 0x01, 0x07};
    int32_t rc = KvPdfWritePDFWithoutSignature(h, 0);
    if (rc == 1) rc = KvPdfWriteDummySignatureAndAddedContent(h, nullptr);
    if (rc == 1) rc = KvPdfWriteSignature(h, value, sizeof value);
    return rc;
}

// What a file left behind holds: no signature with a value.
bool HoldsNoValue(const std::string &path) {
    KvPdfHandle h = KvPDFInit(path.c_str(), nullptr, 0);
    bool none = true;
    if (KvPdfFindSignatures(h) >= 1 && KvPDFGetSignatureCount(h) > 0) {
        uint32_t n = 0;
        int32_t error = 0;
        uint8_t *value = KvPdfWritePDFForVerify(h, path.c_str(), nullptr, -1, &n, &error);
        for (uint32_t i = 0; value && i < n; ++i)
            none = none && value[i] == 0;
        KvPDFDestroyer(reinterpret_cast<void **>(&value));
    }
    KvPDFClose(h);
    return none;
}

// The writes one clean signing of pdf (written to src) makes through the handle.
int CountWrites(const std::string &src, const std::string &out, const std::string &pdf) {
    kvtest::WriteFile(src, pdf);
    KvPdfHandle h = Open(src, out.c_str(), 0, false);
    EXPECT_EQ(Sign(h), 1);
    KvPDFClose(h);
    return g_writes;
}

TEST(Faults, AShortWriteAnywhereLeavesTheSourceAndARestorableOutput) {
    kvtest::TempDir dir;
    const std::string src = dir.file("in.pdf"), out = dir.file("out.pdf");
    const std::string pdf = kvtest::OnePagePdf();
    const int writes = CountWrites(src, out, pdf);
    ASSERT_GT(writes, 5);
    for (const bool in_place : {false, true}) {
        for (int k = 1; k <= writes; ++k) {
            SCOPED_TRACE(std::string(in_place ? "in place, " : "") + "write " + std::to_string(k));
            kvtest::WriteFile(src, pdf);
            KvPdfHandle h = Open(src, in_place ? nullptr : out.c_str(), k, false);
            EXPECT_LT(Sign(h), 0);
            EXPECT_FALSE(kvtest::RingCodes(h).empty());
            EXPECT_EQ(KvPDFRestorePDF(h), 1);
            EXPECT_EQ(kvtest::ReadFile(in_place ? src : out), pdf);
            EXPECT_EQ(kvtest::ReadFile(src), pdf);
            KvPDFClose(h);
        }
    }
}

TEST(Faults, AProcessKilledInTheMiddleLeavesNoSignedFile) {
    kvtest::TempDir dir;
    const std::string src = dir.file("in.pdf"), out = dir.file("out.pdf");
    const std::string pdf = kvtest::OnePagePdf();
    const int writes = CountWrites(src, out, pdf);
    // 0: the copy dies half way; k: the k-th write, up to the last one of the value.
    for (int k = 0; k <= writes; ++k) {
        SCOPED_TRACE("write " + std::to_string(k));
        unlink(out.c_str());
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            KvPdfHandle h = Open(src, out.c_str(), k, true);
            if (k == 0) kvpdf::HandleLookup(h)->file_ops.copy = DyingCopy;
            Sign(h);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        EXPECT_EQ(kvtest::ReadFile(src), pdf);
        EXPECT_TRUE(HoldsNoValue(out));
    }
}

TEST(Faults, AnOutputChangedBetweenThePhasesIsNotWrittenInto) {
    kvtest::TempDir dir;
    const std::string src = dir.file("in.pdf"), out = dir.file("out.pdf");
    const std::string pdf = kvtest::OnePagePdf();
    const struct {
        const char *what;
        std::function<void(std::string &)> change;
        const char *reason;
    } cases[] = {
        {"cut by a byte", [](std::string &b) { b.pop_back(); }, "length"},
        {"a byte longer", [](std::string &b) { b += ' '; }, "length"},
        {"the dictionary's head", [&](std::string &b) { b[pdf.size() + 3] ^= 1; }, "dictionary"},
        {"the source's end", [&](std::string &b) { b[pdf.size() - 3] ^= 1; }, "end of the source"},
    };
    for (const bool in_place : {false, true}) {
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(in_place ? "in place, " : "") + c.what);
            kvtest::WriteFile(src, pdf);
            const std::string &target = in_place ? src : out;
            KvPdfHandle h = KvPDFInit(src.c_str(), in_place ? nullptr : out.c_str(), 2000);
            KvPdfSetLocale(h, KVPDF_LOCALE_EN);
            ASSERT_EQ(KvPdfWritePDFWithoutSignature(h, 0), 1);
            std::string bytes = kvtest::ReadFile(target);
            c.change(bytes);
            kvtest::WriteFile(target, bytes);
            const uint8_t value[] = {0x30, 0x00};
            EXPECT_EQ(KvPdfWriteDummySignatureAndAddedContent(h, nullptr), -215);
            EXPECT_EQ(KvPdfWriteSignature(h, value, sizeof value), -215);
            EXPECT_EQ(kvtest::RingCodes(h), (std::vector<int>{-215, -47, -215, -47}));
            ErrorEntry e;
            KvPdfGetError(h, 0, &e);
            EXPECT_NE(std::string(e.message).find(c.reason), std::string::npos) << e.message;
            EXPECT_EQ(kvtest::ReadFile(target), bytes); // not written into
            EXPECT_EQ(KvPDFRestorePDF(h), 1);
            EXPECT_EQ(kvtest::ReadFile(target).substr(0, pdf.size() - 3),
                      pdf.substr(0, pdf.size() - 3));
            KvPDFClose(h);
        }
    }
}

TEST(Faults, AFullFileSystemOrAnUnwritableFolder) {
    kvtest::TempDir dir;
    const std::string small = dir.file("small.pdf"), large = dir.file("large.pdf");
    kvtest::WriteFile(small, kvtest::OnePagePdf());
    kvtest::PdfBuilder b = kvtest::OnePage();
    b.Object(4, "(" + std::string(200000, 'x') + ")");
    b.ClassicXref();
    kvtest::WriteFile(large, b.bytes());
    // A folder that is a file: the copy cannot start, nothing is created.
    KvPdfHandle h = KvPDFInit(small.c_str(), (small + "/out.pdf").c_str(), 0);
    EXPECT_EQ(KvPdfWritePDFWithoutSignature(h, 0), -9);
    KvPDFClose(h);

    const std::string full = dir.file("full");
    ASSERT_EQ(mkdir(full.c_str(), 0700), 0);
    if (mount("tmpfs", full.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "a small tmpfs needs the right to mount: " << strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{full};
    // The copy fills the disk: no half copy stays. The copy fits but the reserved value
    // does not: the output is restored to the source.
    h = KvPDFInit(large.c_str(), (full + "/out.pdf").c_str(), 0);
    EXPECT_EQ(KvPdfWritePDFWithoutSignature(h, 0), -9);
    EXPECT_EQ(access((full + "/out.pdf").c_str(), F_OK), -1);
    KvPDFClose(h);
    h = KvPDFInit(small.c_str(), (full + "/out.pdf").c_str(), 40000);
    EXPECT_EQ(KvPdfWritePDFWithoutSignature(h, 0), 1);
    EXPECT_EQ(KvPdfWriteDummySignatureAndAddedContent(h, nullptr), -14);
    EXPECT_EQ(KvPDFRestorePDF(h), 1);
    EXPECT_EQ(kvtest::ReadFile(full + "/out.pdf"), kvtest::ReadFile(small));
    KvPDFClose(h);
}

} // namespace
