// The host pool: tracking by tag, fill patterns, guards and the misuse it
// reports.
#include "host/kernel/hostkernel.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

using host::ViolationCapture;
using host::ViolationKind;

namespace
{

constexpr ULONG kTagA = host::Tag("PcCr");
constexpr ULONG kTagB = host::Tag("wVUN");

bool AllBytesAre(const void* memory, std::size_t size, unsigned char value)
{
    const auto* bytes = static_cast<const unsigned char*>(memory);
    for (std::size_t i = 0; i < size; ++i)
    {
        if (bytes[i] != value)
            return false;
    }
    return true;
}

} // namespace

TEST(PoolTag, MemoryOrder)
{
    // 'P','c','C','r' in memory, least significant byte first.
    EXPECT_EQ(host::Tag("PcCr"), 0x72436350u);
    EXPECT_EQ(host::TagName(0x72436350u), "PcCr");
    EXPECT_EQ(host::TagName(0x00414243u), "CBA\\x00");
}

TEST(ExAllocatePoolWithTag, TracksEveryBlockByTag)
{
    void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 24, kTagA);
    void* b = ExAllocatePoolWithTag(PagedPool, 100, kTagB);
    void* c = ExAllocatePoolWithTag(NonPagedPoolNxCacheAligned, 8, kTagA);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(c, nullptr);

    EXPECT_EQ(host::Pool().Outstanding(), 3u);
    EXPECT_EQ(host::Pool().Outstanding(kTagA), 2u);
    EXPECT_EQ(host::Pool().OutstandingBytes(kTagA), 32u);
    EXPECT_EQ(host::Pool().OutstandingBytes(), 132u);

    std::vector<host::PoolBlock> blocks = host::Pool().Blocks();
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[1].address, b);
    EXPECT_EQ(blocks[1].size, 100u);
    EXPECT_EQ(blocks[1].tag, kTagB);
    EXPECT_EQ(blocks[1].type, PagedPool);
    EXPECT_EQ(blocks[1].sequence, 2u);

    ExFreePoolWithTag(b, kTagB);
    EXPECT_EQ(host::Pool().Outstanding(kTagB), 0u);
    EXPECT_FALSE(host::Pool().Find(b).has_value());
    ExFreePool(a);
    ExFreePool(c);
    EXPECT_EQ(host::Pool().Outstanding(), 0u);
    EXPECT_EQ(host::Pool().AllocationCount(), 3u);
}

TEST(ExAllocatePoolWithTag, FillsWithNonZeroPatternAndAligns)
{
    auto* plain = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTagA));
    auto* aligned =
        static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNxCacheAligned, 3, kTagA));
    EXPECT_TRUE(AllBytesAre(plain, 40, host::kPoolFillOnAllocate));
    EXPECT_NE(host::kPoolFillOnAllocate, 0);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(plain) % 16, 0u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(aligned) % 64, 0u);
    ExFreePool(plain);
    ExFreePool(aligned);
}

TEST(ExFreePool, ReportsDoubleFree)
{
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagA);
    ExFreePool(block);
    ViolationCapture capture;
    ExFreePool(block);
    EXPECT_EQ(capture.Count(), 1u);
    EXPECT_TRUE(capture.Contains(ViolationKind::DoubleFree, "already freed"));
}

TEST(ExFreePool, ReportsUnknownPointerAndNull)
{
    ViolationCapture capture;
    int onTheStack = 0;
    ExFreePool(&onTheStack);
    ExFreePool(nullptr);
    EXPECT_EQ(capture.Count(ViolationKind::UnknownFree), 2u);
    EXPECT_TRUE(capture.Contains(ViolationKind::UnknownFree, "ExFreePool(NULL)"));
}

TEST(ExFreePoolWithTag, ReportsOtherTagAndStillFrees)
{
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagA);
    ViolationCapture capture;
    ExFreePoolWithTag(block, kTagB);
    EXPECT_TRUE(capture.Contains(ViolationKind::PoolTagMismatch, "tag 'PcCr'"));
    EXPECT_TRUE(capture.Contains(ViolationKind::PoolTagMismatch, "freed with tag 'wVUN'"));
    EXPECT_EQ(host::Pool().Outstanding(), 0u);
}

TEST(ExAllocatePoolWithTag, ReportsZeroSize)
{
    ViolationCapture capture;
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 0, kTagA);
    EXPECT_EQ(capture.Count(ViolationKind::ZeroSizeAllocation), 1u);
    ExFreePool(block);
    EXPECT_EQ(capture.Count(), 1u) << "the zero-size block frees like any other";
}

// Memory integrity refuses executable pool to a driver: the non-paged types
// without Nx. Paged pool is never executable. The block is still handed out,
// so that the test that asked goes on to its own checks.
TEST(ExAllocatePoolWithTag, ReportsExecutablePool)
{
    const struct
    {
        POOL_TYPE type;
        bool executable;
    } cases[] = {
        {NonPagedPool, true},
        {NonPagedPoolMustSucceed, true},
        {NonPagedPoolCacheAligned, true},
        {NonPagedPoolCacheAlignedMustS, true},
        {NonPagedPoolNx, false},
        {NonPagedPoolNxCacheAligned, false},
        {PagedPool, false},
        {PagedPoolCacheAligned, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(host::PoolTypeName(c.type));
        ViolationCapture capture;
        void* block = ExAllocatePoolWithTag(c.type, 8, kTagA);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(capture.Count(), c.executable ? 1u : 0u);
        EXPECT_EQ(capture.Contains(ViolationKind::ExecutablePool,
                                   std::string("ExAllocatePoolWithTag(") +
                                       host::PoolTypeName(c.type) + ", 8, 'PcCr')"),
                  c.executable);
        ExFreePool(block);
    }
}

TEST(ExAllocatePoolWithTag, ChecksTheLevel)
{
    ViolationCapture capture;
    void* nonPaged;
    void* paged;
    {
        host::ScopedIrql atDispatch(DISPATCH_LEVEL);
        nonPaged = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
        EXPECT_EQ(capture.Count(), 0u) << "non-paged pool is fine at DISPATCH_LEVEL";
        paged = ExAllocatePoolWithTag(PagedPool, 8, kTagA);
        EXPECT_EQ(capture.Count(ViolationKind::PagedPoolAtHighIrql), 1u);
        ExFreePool(paged);
        EXPECT_EQ(capture.Count(ViolationKind::PagedPoolAtHighIrql), 2u) << "freed there too";
    }
    {
        host::ScopedIrql atHigh(HIGH_LEVEL);
        ExFreePool(nonPaged);
        EXPECT_TRUE(capture.Contains(ViolationKind::IrqlViolation, "called at HIGH_LEVEL"));
    }
}

TEST(ExFreePool, ReportsOverwrittenGuards)
{
    auto* after = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 10, kTagA));
    auto* before = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 10, kTagB));
    after[10] = 0;  // one past the end
    before[-1] = 0; // one before the start
    {
        ViolationCapture capture;
        EXPECT_EQ(host::Pool().CheckGuards(), 2u);
        EXPECT_EQ(capture.Count(ViolationKind::PoolOverrun), 2u);
    }
    ViolationCapture capture;
    ExFreePool(after);
    ExFreePool(before);
    EXPECT_TRUE(capture.Contains(ViolationKind::PoolOverrun, "1 guard bytes after the end"));
    EXPECT_TRUE(capture.Contains(ViolationKind::PoolOverrun, "1 guard bytes before the start"));
    EXPECT_TRUE(capture.Contains(ViolationKind::PoolOverrun, "tag 'wVUN', 10 bytes"));
}

TEST(PoolTracker, ReportsLeaksOfTheGivenTags)
{
    void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 568, kTagA);
    void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 12, kTagB);
    {
        ViolationCapture capture;
        EXPECT_EQ(host::Pool().ReportLeaks({kTagA}), 1u);
        EXPECT_TRUE(capture.Contains(ViolationKind::PoolLeak,
                                     "(tag 'PcCr', 568 bytes, NonPagedPoolNx, allocation #1)"));
        EXPECT_EQ(capture.Count(), 1u);
    }
    {
        ViolationCapture capture;
        EXPECT_EQ(host::Pool().ReportLeaks(), 2u);
        EXPECT_EQ(capture.Count(ViolationKind::PoolLeak), 2u);
    }
    ExFreePool(a);
    ExFreePool(b);
    ViolationCapture capture;
    EXPECT_EQ(host::Pool().ReportLeaks(), 0u);
    EXPECT_EQ(capture.Count(), 0u);
}

TEST(PoolTracker, ResetForgetsCountsButKeepsBlocksFreeable)
{
    void* kept = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    host::Pool().Reset();
    EXPECT_EQ(host::Pool().Outstanding(), 0u);
    EXPECT_EQ(host::Pool().ReportLeaks(), 0u);

    void* fresh = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    EXPECT_EQ(host::Pool().Blocks().at(0).sequence, 1u) << "the sequence restarts";
    ViolationCapture capture;
    ExFreePool(kept);
    ExFreePool(fresh);
    EXPECT_EQ(capture.Count(), 0u);
}
