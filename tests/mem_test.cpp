#include "pdf_mem.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace kvpdf;

namespace {

const TrackedBlock *Header(const void *data) {
    return reinterpret_cast<const TrackedBlock *>(static_cast<const char *>(data) - 76);
}

TEST(TrackedMemory, HeaderSitsBeforeAlignedDataAndFreeClearsThePlace) {
    int64_t live = kvpdf::TrackedLiveBlocks();
    std::string unit(80, 'u');
    void *p = TrackedAlloc(unit.c_str(), 123, 40);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
    EXPECT_EQ(std::string(Header(p)->file), unit.substr(0, 63));
    EXPECT_EQ(Header(p)->line, 123u);
    EXPECT_EQ(Header(p)->block_size, 40u + 76u);
    uint32_t size = 0;
    EXPECT_EQ(TrackedDataSize(p, &size), 40);
    EXPECT_EQ(size, 40u);
    EXPECT_EQ(kvpdf::TrackedLiveBlocks(), live + 1);
    TrackedFree(&p);
    EXPECT_EQ(p, nullptr);
    TrackedFree(&p); // an empty place is left alone
    EXPECT_EQ(kvpdf::TrackedLiveBlocks(), live);
    EXPECT_EQ(TrackedAlloc("u", 1, 0), nullptr);
    EXPECT_EQ(TrackedDataSize(nullptr, &size), -1);
}

TEST(TrackedMemory, ReallocKeepsDataRewritesHeaderAndZeroFrees) {
    void *p = nullptr;
    ASSERT_NE(TrackedRealloc("a", 1, &p, 8), nullptr);
    memcpy(p, "abcdefg", 8);
    ASSERT_NE(TrackedRealloc("b", 2, &p, 4000), nullptr);
    EXPECT_STREQ(static_cast<char *>(p), "abcdefg");
    EXPECT_STREQ(Header(p)->file, "b");
    EXPECT_EQ(Header(p)->line, 2u);
    EXPECT_EQ(Header(p)->block_size, 4076u);
    EXPECT_EQ(TrackedRealloc("c", 3, &p, 0), nullptr);
    EXPECT_EQ(p, nullptr);
}

TEST(TrackedMemory, FormattedAppendsGrowOneBuffer) {
    char *buffer = nullptr;
    ASSERT_NE(BufferAppendf("u", 1, &buffer, 0, "%lu 0 obj\n", 12ul), nullptr);
    EXPECT_EQ(BufferLength(&buffer), 9u);
    EXPECT_STREQ(buffer, "12 0 obj\n");
    std::string expected = "12 0 obj\n";
    for (int i = 0; i < 2000; ++i) {
        ASSERT_NE(BufferAppendf("u", 1, &buffer, 0, "<%d>", i), nullptr);
        expected += "<" + std::to_string(i) + ">";
    }
    const char raw[] = {'x', '\0', 'y'};
    ASSERT_NE(BufferAppendBytes("u", 1, &buffer, 3, raw), nullptr);
    expected.append(raw, 3);
    ASSERT_EQ(BufferLength(&buffer), expected.size());
    EXPECT_EQ(std::string(buffer, BufferLength(&buffer)), expected);
    EXPECT_EQ(Header(buffer)->used, expected.size());
    void *p = buffer;
    TrackedFree(&p);
    char *empty = nullptr;
    EXPECT_EQ(BufferLength(&empty), 0u);
    ASSERT_NE(BufferAppendBytes("u", 1, &empty, 2, "ab"), nullptr);
    EXPECT_EQ(BufferLength(&empty), 2u);
    TrackedFreeT(empty);
}

TEST(TrackedMemory, FailedAppendDropsTheBufferAndInjectedFailureHitsTheNthAllocation) {
    int64_t live = kvpdf::TrackedLiveBlocks();
    char *buffer = nullptr;
    ASSERT_NE(BufferAppendf("u", 1, &buffer, 0, "%s", "start"), nullptr);
    kvpdf::TrackedFailAt(1);
    std::string big(10000, 'z');
    EXPECT_EQ(BufferAppendf("u", 1, &buffer, 0, "%s", big.c_str()), nullptr);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(kvpdf::TrackedLiveBlocks(), live);

    kvpdf::TrackedFailAt(2);
    void *first = TrackedAlloc("u", 1, 8);
    void *second = TrackedAlloc("u", 1, 8);
    void *third = TrackedAlloc("u", 1, 8);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    kvpdf::TrackedFailAt(0);
    TrackedFree(&first);
    TrackedFree(&third);
    EXPECT_EQ(kvpdf::TrackedLiveBlocks(), live);
}

} // namespace
