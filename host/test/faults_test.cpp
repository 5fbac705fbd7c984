// Fault injection plans and the sweep they support.
#include "host/kernel/hostkernel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace
{

constexpr ULONG kTag = host::Tag("Test");

// A start-up with three failable steps that undoes what it did when a step
// fails, as driver code must.
NTSTATUS StartThreeSteps()
{
    void* first = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
    if (first == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status =
        host::ShouldFail("PcNewPort") ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
    void* second = nullptr;
    if (NT_SUCCESS(status))
    {
        second = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
        if (second == nullptr)
            status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (second != nullptr)
        ExFreePool(second);
    ExFreePool(first);
    return status;
}

std::vector<bool> Decisions(int calls)
{
    std::vector<bool> decisions;
    for (int i = 0; i < calls; ++i)
        decisions.push_back(host::ShouldFail("ExAllocatePoolWithTag"));
    return decisions;
}

} // namespace

TEST(ShouldFail, NothingFailsOrCountsUnarmed)
{
    EXPECT_FALSE(host::ShouldFail("PcNewPort"));
    EXPECT_EQ(host::FailableCallCount(), 0u);
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
    EXPECT_NE(block, nullptr);
    ExFreePool(block);
    EXPECT_EQ(host::FailableCallCount(), 0u);
    EXPECT_TRUE(host::FailedCalls().empty());
}

TEST(FaultScope, FailsTheNthCallOfAnyName)
{
    host::FaultScope faults;
    faults.FailNth(3);
    EXPECT_FALSE(host::ShouldFail("PcNewPort"));
    EXPECT_FALSE(host::ShouldFail("ExAllocatePoolWithTag"));
    EXPECT_TRUE(host::ShouldFail("PcRegisterSubdevice"));
    EXPECT_FALSE(host::ShouldFail("ExAllocatePoolWithTag"));
    EXPECT_EQ(faults.CallsSeen(), 4u);
    EXPECT_EQ(faults.CallsSeen("ExAllocatePoolWithTag"), 2u);

    std::vector<host::FailedCall> failed = faults.Failed();
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].operation, "PcRegisterSubdevice");
    EXPECT_EQ(failed[0].callIndex, 3u);
    EXPECT_EQ(failed[0].operationIndex, 1u);
    EXPECT_EQ(host::Describe(failed[0]), "PcRegisterSubdevice (failable call #3, #1 of its name)");
}

TEST(FaultScope, FailsTheNthCallOfOneName)
{
    host::FaultScope faults;
    faults.FailNthOf("ExAllocatePoolWithTag", 2);
    void* first = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
    EXPECT_FALSE(host::ShouldFail("PcNewPort")) << "other names do not count";
    void* second = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
    void* third = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(host::Pool().Outstanding(kTag), 2u) << "a failed allocation leaves no block";
    ExFreePool(first);
    ExFreePool(third);
}

TEST(FaultScope, FailsEveryCallOfOneNameUntilItEnds)
{
    {
        host::FaultScope faults;
        faults.FailEveryCallOf("PcNewServiceGroup");
        EXPECT_TRUE(host::ShouldFail("PcNewServiceGroup"));
        EXPECT_TRUE(host::ShouldFail("PcNewServiceGroup"));
        EXPECT_FALSE(host::ShouldFail("PcNewPort"));
        EXPECT_EQ(faults.Failed().size(), 2u);
    }
    EXPECT_FALSE(host::ShouldFail("PcNewServiceGroup")) << "the scope disarmed the plan";
    EXPECT_EQ(host::FailableCallCount(), 0u);
}

TEST(FaultScope, RandomModeRepeatsForASeed)
{
    std::vector<bool> first;
    std::vector<bool> second;
    std::vector<bool> other;
    {
        host::FaultScope faults;
        faults.FailRandomly(50, 1234);
        first = Decisions(64);
    }
    {
        host::FaultScope faults;
        faults.FailRandomly(50, 1234);
        second = Decisions(64);
    }
    {
        host::FaultScope faults;
        faults.FailRandomly(50, 99);
        other = Decisions(64);
    }
    EXPECT_EQ(first, second);
    EXPECT_NE(first, other);
    EXPECT_NE(std::count(first.begin(), first.end(), true), 0);
    EXPECT_NE(std::count(first.begin(), first.end(), false), 0);
    {
        host::FaultScope faults;
        faults.FailRandomly(0, 5);
        EXPECT_EQ(Decisions(32), std::vector<bool>(32, false));
        faults.FailRandomly(100, 5);
        EXPECT_EQ(Decisions(32), std::vector<bool>(32, true));
    }
}

TEST(FaultScope, SweepFailsEachCallOnceThenStops)
{
    std::vector<std::string> failedOperations;
    std::uint64_t n = 1;
    for (;; ++n)
    {
        host::FaultScope faults;
        faults.FailNth(n);
        NTSTATUS status = StartThreeSteps();
        std::vector<host::FailedCall> failed = faults.Failed();
        if (failed.empty())
        {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(faults.CallsSeen(), 3u);
            break;
        }
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(failed[0].callIndex, n);
        failedOperations.push_back(failed[0].operation);
        EXPECT_EQ(host::Pool().Outstanding(kTag), 0u) << "leak when call " << n << " failed";
        ASSERT_LT(n, 10u);
    }
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(failedOperations, (std::vector<std::string>{"ExAllocatePoolWithTag", "PcNewPort",
                                                          "ExAllocatePoolWithTag"}));
}
