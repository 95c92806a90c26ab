#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/domain.h"
#include "core/error.h"
#include "core/memory.h"
#include "kelvo.h"

TEST(SizeArithmeticTest, MultiplySaturates)
{
    EXPECT_EQ(_kv_size_multiply(8, SIZE_MAX / 8 + 1), SIZE_MAX);
    EXPECT_EQ(_kv_size_multiply(8, SIZE_MAX / 8), SIZE_MAX / 8 * 8);
    EXPECT_EQ(_kv_size_multiply(1, SIZE_MAX), SIZE_MAX);
    EXPECT_EQ(_kv_size_multiply(SIZE_MAX, 1), SIZE_MAX);
    EXPECT_EQ(_kv_size_multiply(3, 0), 0u);
    EXPECT_EQ(_kv_size_multiply(2, SIZE_MAX / 2), SIZE_MAX - 1);
    EXPECT_EQ(_kv_size_multiply(2, SIZE_MAX / 2 + 1), SIZE_MAX);
}

TEST(SizeArithmeticTest, AddSaturates)
{
    EXPECT_EQ(_kv_size_add(SIZE_MAX, 0), SIZE_MAX);
    EXPECT_EQ(_kv_size_add(1, SIZE_MAX - 1), SIZE_MAX);
    EXPECT_EQ(_kv_size_add(2, SIZE_MAX - 1), SIZE_MAX);
    EXPECT_EQ(_kv_size_add(1, SIZE_MAX - 2), SIZE_MAX - 1);
    EXPECT_EQ(_kv_size_add(0, 0), 0u);
}

TEST(SizeArithmeticTest, OverflowAnywhereInAChainEndsSaturated)
{
    size_t s = 1;
    for (int i = 0; i < 200; ++i)
        s = _kv_size_multiply(3, s);
    EXPECT_EQ(s, SIZE_MAX);
    EXPECT_EQ(_kv_size_add(_kv_size_multiply(7, s), 5), SIZE_MAX);
}

// Share bounds are floor(count * i / parts), exact where the product itself
// would not fit, and cut [0, count) into consecutive parts.
TEST(SizeArithmeticTest, ShareBoundsNeverOverflow)
{
    EXPECT_EQ(_kv_share_bound(10, 0, 4), 0u);
    EXPECT_EQ(_kv_share_bound(10, 1, 4), 2u);
    EXPECT_EQ(_kv_share_bound(10, 2, 4), 5u);
    EXPECT_EQ(_kv_share_bound(10, 3, 4), 7u);
    EXPECT_EQ(_kv_share_bound(10, 4, 4), 10u);
    EXPECT_EQ(_kv_share_bound(SIZE_MAX, 8, 8), SIZE_MAX);
    EXPECT_EQ(_kv_share_bound(SIZE_MAX, 4, 8), SIZE_MAX / 2);
    EXPECT_EQ(_kv_share_bound(SIZE_MAX, 1, 3), SIZE_MAX / 3);
    EXPECT_EQ(_kv_share_bound(SIZE_MAX - 1, 2, 3), (SIZE_MAX - 1) / 3 * 2 + 1);
    size_t parts = SIZE_MAX / 2 + 7, count = SIZE_MAX - 5;
    EXPECT_EQ(_kv_share_bound(count, parts, parts), count);
    EXPECT_EQ(_kv_share_bound(count, parts - 1, parts), count - 2);
    size_t previous = 0;
    for (size_t i = 1; i <= 8; ++i) {
        size_t b = _kv_share_bound(SIZE_MAX - 3, i, 8);
        EXPECT_GE(b - previous, (SIZE_MAX - 3) / 8);
        EXPECT_LE(b - previous, (SIZE_MAX - 3) / 8 + 1);
        previous = b;
    }
}

class AllocationTest : public ::testing::Test {
  protected:
    void TearDown() override { kv::fail_allocation_after(0); }
};

TEST_F(AllocationTest, AllocateLargestSizeFailsWithoutAskingTheSystem)
{
    kv::fail_allocation_after(1);
    _kv_set_error_code(kv_error_none);
    EXPECT_EQ(_kv_allocate(SIZE_MAX), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_no_memory);
    EXPECT_TRUE(kv::allocation_failure_pending()) << "the system allocator was reached";

    void *p = std::malloc(4);
    EXPECT_EQ(_kv_reallocate(p, SIZE_MAX), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_no_memory);
    EXPECT_TRUE(kv::allocation_failure_pending());
    std::free(p);
}

TEST_F(AllocationTest, SuccessSetsNoneAndFailureSetsNoMemory)
{
    _kv_set_error_code(kv_error_usage);
    void *p = _kv_allocate(16);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_none);
    kv::fail_allocation_after(1);
    EXPECT_EQ(_kv_allocate(16), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_no_memory);
    EXPECT_FALSE(kv::allocation_failure_pending());
    std::free(p);
}

TEST_F(AllocationTest, FailedReallocateKeepsTheOldBlock)
{
    char *p = static_cast<char *>(_kv_allocate(8));
    ASSERT_NE(p, nullptr);
    std::memcpy(p, "abcdefg", 8);
    kv::fail_allocation_after(1);
    EXPECT_EQ(_kv_reallocate(p, 1 << 20), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_no_memory);
    EXPECT_STREQ(p, "abcdefg");
    char *q = static_cast<char *>(_kv_reallocate(p, 1 << 20));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_none);
    EXPECT_STREQ(q, "abcdefg");
    std::free(q);
}

TEST_F(AllocationTest, ReallocateOfNullAllocates)
{
    void *p = _kv_reallocate(nullptr, 32);
    ASSERT_NE(p, nullptr);
    std::free(p);
}

TEST_F(AllocationTest, ShrinkNeverFailsAndLeavesTheCode)
{
    EXPECT_EQ(_kv_shrink(nullptr, 4), nullptr);
    char *p = static_cast<char *>(_kv_allocate(64));
    std::strcpy(p, "kept");
    _kv_set_error_code(kv_error_rounding);
    p = static_cast<char *>(_kv_shrink(p, 5));
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, "kept");
    EXPECT_EQ(kv_error_code(), kv_error_rounding);
    EXPECT_EQ(_kv_shrink(p, 0), nullptr); // frees p
    EXPECT_EQ(kv_error_code(), kv_error_rounding);
}

TEST_F(AllocationTest, AllocateString)
{
    char *s = _kv_allocate_string("Kelvo");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "Kelvo");
    std::free(s);
    char *e = _kv_allocate_string("");
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e, "");
    std::free(e);
    kv::fail_allocation_after(1);
    EXPECT_EQ(_kv_allocate_string("x"), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_no_memory);
}

TEST_F(AllocationTest, ScratchAllocatorThrowsWithoutTouchingTheCode)
{
    kv::ScratchAlloc<double> alloc;
    _kv_set_error_code(kv_error_usage);
    double *p = alloc.allocate(10);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    alloc.deallocate(p, 10);
    kv::fail_allocation_after(1);
    EXPECT_THROW(alloc.allocate(10), std::bad_alloc);
    EXPECT_THROW(alloc.allocate(SIZE_MAX / 4), std::bad_alloc);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
}

TEST_F(AllocationTest, RegionsHandOutDistinctAlignedBlocksAndNest)
{
    kv::Region outer;
    EXPECT_EQ(kv::Region::current(), &outer);
    std::vector<char *> blocks;
    std::vector<size_t> sizes = {1, 7, 16, 100, 70000, 3, (size_t(1) << 20) + 5, 9, 65536, 1};
    for (size_t n : sizes) {
        char *p = static_cast<char *>(outer.take(n));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % alignof(std::max_align_t), 0u) << n;
        std::memset(p, int(blocks.size()), n);
        blocks.push_back(p);
    }
    // No block overlaps another: each still holds its own fill.
    for (size_t i = 0; i < blocks.size(); ++i)
        for (size_t k = 0; k < sizes[i]; k += 997)
            ASSERT_EQ(blocks[i][k], char(i)) << i;
    {
        kv::Region inner;
        EXPECT_EQ(kv::Region::current(), &inner);
        std::vector<int, kv::RegionAlloc<int>> v(1000, 5);
        EXPECT_EQ(v[999], 5);
    }
    EXPECT_EQ(kv::Region::current(), &outer);
}

TEST_F(AllocationTest, RegionChunksComeFromTheInjectionPoint)
{
    kv::Region region;
    _kv_set_error_code(kv_error_usage);
    kv::fail_allocation_after(1);
    EXPECT_THROW(region.take(8), std::bad_alloc);
    void *p = region.take(8); // the next chunk is granted
    void *q = region.take(8); // and serves later blocks without asking again
    kv::fail_allocation_after(1);
    void *r = region.take(8);
    EXPECT_TRUE(kv::allocation_failure_pending());
    kv::fail_allocation_after(0);
    EXPECT_NE(p, q);
    EXPECT_NE(q, r);
    EXPECT_THROW(region.take(SIZE_MAX - 8), std::bad_alloc);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
}

TEST_F(AllocationTest, KeepErrorRestoresTheFirstCode)
{
    _kv_set_error_code(kv_error_zero_sum);
    {
        kv::KeepError keep;
        void *p = _kv_allocate(4); // sets none
        std::free(p);
        EXPECT_EQ(kv_error_code(), kv_error_none);
    }
    EXPECT_EQ(kv_error_code(), kv_error_zero_sum);
}

class DomainLogTest : public ::testing::Test {
  protected:
    void SetUp() override { d = kv_new_domain(); }
    void TearDown() override
    {
        if (d)
            kv_domain_delete(d);
    }
    kv_domain_t d = nullptr;
};

TEST_F(DomainLogTest, PrintSizeUsesARingOfEightBuffers)
{
    EXPECT_STREQ(_kv_print_size(d, SIZE_MAX), "HUGE");
    const char *first = _kv_print_size(d, 0);
    EXPECT_STREQ(first, "0");
    const char *results[8] = {first};
    for (size_t i = 1; i < 8; ++i)
        results[i] = _kv_print_size(d, i * 1000);
    for (size_t i = 1; i < 8; ++i) {
        EXPECT_NE(results[i], first);
        EXPECT_EQ(std::stoul(results[i]), i * 1000);
    }
    const char *ninth = _kv_print_size(d, SIZE_MAX - 1);
    EXPECT_EQ(ninth, first);
    EXPECT_EQ(std::to_string(SIZE_MAX - 1), ninth);
    EXPECT_STREQ(_kv_print_size(d, SIZE_MAX), "HUGE"); // does not advance the ring
    EXPECT_EQ(_kv_print_size(d, 5), results[1]);
}

TEST_F(DomainLogTest, NullStreamAllowedAndFlushWithoutStreamIsZero)
{
    EXPECT_EQ(kv_domain_set_log_file(d, nullptr), 0);
    EXPECT_EQ(_kv_domain_flush_log_file(d), 0);
    EXPECT_EQ(_kv_domain_flush_log_file(nullptr), kv_error_usage);
    EXPECT_EQ(kv_domain_set_log_file(nullptr, stderr), kv_error_usage);
    EXPECT_EQ(kv_class_set_log_file(nullptr, stderr), kv_error_usage);
}

TEST_F(DomainLogTest, FailedFlushIsIo)
{
    FILE *full = std::fopen("/dev/full", "w");
    if (!full)
        GTEST_SKIP() << "/dev/full is not available";
    EXPECT_EQ(kv_domain_set_log_file(d, full), 0);
    std::fputs("log text that cannot be written\n", full);
    EXPECT_EQ(_kv_domain_flush_log_file(d), kv_error_io);
    EXPECT_EQ(kv_error_code(), kv_error_io);
    std::clearerr(full);
    // The domain closes the stream it owns when deleted.
}

TEST_F(DomainLogTest, DeletingTheDomainClosesItsStream)
{
    char path[] = "/tmp/kelvo_log_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    FILE *log = fdopen(fd, "w");
    ASSERT_NE(log, nullptr);
    kv_domain_set_log_file(d, log);
    std::fputs("buffered", log);
    EXPECT_EQ(kv_domain_delete(d), 0);
    d = nullptr;
    // Closing flushed the buffered text.
    FILE *in = std::fopen(path, "r");
    char buffer[32] = {};
    ASSERT_NE(std::fgets(buffer, sizeof buffer, in), nullptr);
    EXPECT_STREQ(buffer, "buffered");
    std::fclose(in);
    std::remove(path);
}

TEST(LocaleTest, SelectSwitchesToCAndRestoreGoesBack)
{
    const char *before = std::setlocale(LC_ALL, nullptr);
    std::string original = before ? before : "C";
    // A locale with a decimal comma shows the switch most plainly, but any
    // installed locale will do; fall back to the one already set.
    const char *other = nullptr;
    for (const char *name : {"C.UTF-8", "C.utf8", "POSIX"})
        if ((other = std::setlocale(LC_ALL, name)))
            break;
    std::string host = std::setlocale(LC_ALL, nullptr);

    char *saved = _kv_select_C_locale();
    ASSERT_NE(saved, nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_none);
    EXPECT_EQ(host, saved);
    EXPECT_STREQ(std::setlocale(LC_ALL, nullptr), "C");
    _kv_restore_locale(saved);
    EXPECT_EQ(host, std::setlocale(LC_ALL, nullptr));
    std::setlocale(LC_ALL, original.c_str());
}

TEST(LocaleTest, SelectReportsNoMemory)
{
    kv::fail_allocation_after(1);
    EXPECT_EQ(_kv_select_C_locale(), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_no_memory);
    kv::fail_allocation_after(0);
}
