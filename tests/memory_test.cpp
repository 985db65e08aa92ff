// SPDX-License-Identifier: Apache-2.0
// Peak memory of damaged documents: counts and streams the file does not back with data
// must not size what the library allocates. Measured in a child process, whose
// high-water mark starts at what it shares with the test process.
#include "kvtest.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

long MaxRssKiB() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

struct Peak {
    int32_t write = 0; // KvPdfWritePDFWithoutSignature
    long grown = -1;   // KiB over the child's start; -1 when the child died
};

// Writes a revision of src and then lists its signatures, in a child.
Peak Measure(const std::string &src, const std::string &out) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const long start = MaxRssKiB();
        KvPdfHandle h = KvPDFInit(src.c_str(), out.c_str(), 0);
        Peak peak;
        peak.write = KvPdfWritePDFWithoutSignature(h, 0);
        KvPDFClose(h);
        h = KvPDFInit(src.c_str(), nullptr, 0);
        (void)KvPdfFindSignatures(h);
        KvPDFClose(h);
        peak.grown = MaxRssKiB() - start;
        _exit(write(fds[1], &peak, sizeof peak) == sizeof peak ? 0 : 1);
    }
    close(fds[1]);
    Peak peak;
    if (read(fds[0], &peak, sizeof peak) != sizeof peak) peak = {};
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return peak;
}

std::string Noise(size_t n) {
    std::string s(n, '\0');
    uint32_t x = 2463534242u;
    for (char &c : s) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        c = static_cast<char>(x);
    }
    return s;
}

std::string Stream(const std::string &data) {
    return "<</Length " + std::to_string(data.size()) + ">>\nstream\n" + data + "\nendstream";
}

TEST(Memory, DamagedCountsAndStreamsDoNotSizeThePeak) {
    if (kSanitized) GTEST_SKIP() << "peak memory is measured in builds without AddressSanitizer";
    const std::string catalog_dss = "<</Type/Catalog/Pages 2 0 R/DSS 4 0 R>>";
    const std::string pages = "<</Type/Pages/Kids[3 0 R]/Count 1>>";
    const std::string page = "<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]>>";
    struct Case {
        const char *what;
        std::function<std::string()> make;
        int32_t write;
    };
    const Case cases[] = {
        {"a /Size of 8,000,000 on a page of 400 bytes",
         [] {
             kvtest::PdfBuilder b = kvtest::OnePage();
             kvtest::ClassicOptions o;
             o.size = 8000000;
             b.ClassicXref(o);
             return b.bytes();
         },
         -13},
        {"an object stream that inflates to 128 MiB after the page",
         [&] {
             kvtest::PdfBuilder b;
             b.Object(1, "<</Type/Catalog/Pages 2 0 R>>");
             b.Object(2, pages);
             b.ObjectStream(5, {{3, page}, {4, "<<>>" + std::string(128u << 20, ' ')}});
             kvtest::StreamOptions o;
             o.widths = {1, 4, 2};
             b.XrefStream(6, o);
             return b.bytes();
         },
         1},
        {"an object stream whose /N and /First claim more than it holds",
         [&] {
             kvtest::PdfBuilder b;
             b.Object(1, "<</Type/Catalog/Pages 2 0 R>>");
             b.Object(2, pages);
             b.ObjectStream(5, {{3, page}});
             kvtest::StreamOptions o;
             o.widths = {1, 4, 2};
             b.XrefStream(6, o);
             std::string bytes = b.bytes();
             // Same length, so that no offset moves.
             const size_t from = bytes.find("/Type/ObjStm"), to = bytes.find("/Filter", from);
             std::string claim = "/N 999999999/First ";
             claim.append(to - from - claim.size(), '9');
             return bytes.replace(from, to - from, claim);
         },
         -50},
        {"one DSS certificate of 64 KiB listed 4,000 times",
         [&] {
             kvtest::PdfBuilder b;
             b.Object(1, catalog_dss);
             b.Object(2, pages);
             b.Object(3, page);
             std::string certs;
             for (int i = 0; i < 4000; ++i)
                 certs += "5 0 R ";
             b.Object(4, "<</Certs[" + certs + "]>>");
             b.Object(5, Stream(Noise(64u << 10)));
             b.ClassicXref();
             return b.bytes();
         },
         1},
        {"a DSS of 1 MiB defined again in 100 revisions",
         [&] {
             kvtest::PdfBuilder b;
             b.Object(1, catalog_dss);
             b.Object(2, pages);
             b.Object(3, page);
             b.Object(5, Stream(Noise(1u << 20)));
             for (int i = 0; i < 100; ++i) {
                 b.Object(4, "<</Certs[5 0 R]/Revision " + std::to_string(i) + ">>");
                 b.ClassicXref();
             }
             return b.bytes();
         },
         -217},
    };
    kvtest::TempDir dir;
    const std::string src = dir.file("in.pdf"), out = dir.file("out.pdf");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        kvtest::WriteFile(src, c.make());
        Peak peak = Measure(src, out);
        EXPECT_EQ(peak.write, c.write);
        // The floor a damaged stream may inflate to is 16 MiB; twice that, plus the
        // copies made on the way, stays well below what the damage asked for.
        EXPECT_GE(peak.grown, 0);
        EXPECT_LT(peak.grown, 64 << 10) << "KiB";
        unlink(out.c_str());
    }
}

} // namespace
