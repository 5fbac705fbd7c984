// The violation recorder and the test program's listener.
#include "host/kernel/hostkernel.h"
#include "host/test/support/conductlistener.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <thread>

using host::ViolationCapture;
using host::ViolationKind;

TEST(ViolationCapture, CollectsInsteadOfForwarding)
{
    std::vector<host::Violation> forwarded;
    host::ViolationHandler previous =
        host::SetViolationHandler([&](const host::Violation& v) { forwarded.push_back(v); });
    {
        ViolationCapture capture;
        host::ReportViolation(ViolationKind::Custom, "mapping released twice");
        EXPECT_EQ(capture.Count(), 1u);
        EXPECT_TRUE(capture.Contains(ViolationKind::Custom, "released twice"));
        EXPECT_FALSE(capture.Contains(ViolationKind::PoolLeak, "released twice"));
    }
    host::ReportViolation(ViolationKind::DoubleFree, "after the capture");
    host::SetViolationHandler(previous);

    ASSERT_EQ(forwarded.size(), 1u) << "only the violation outside the capture is forwarded";
    EXPECT_EQ(forwarded[0].kind, ViolationKind::DoubleFree);
    EXPECT_EQ(host::Describe(forwarded[0]), "[DoubleFree] after the capture");
}

TEST(ViolationCapture, InnermostCollectsAndTakeEmpties)
{
    ViolationCapture outer;
    {
        ViolationCapture inner;
        host::ReportViolation(ViolationKind::PoolLeak, "inner");
        EXPECT_EQ(inner.Count(ViolationKind::PoolLeak), 1u);
        std::vector<host::Violation> taken = inner.Take();
        ASSERT_EQ(taken.size(), 1u);
        EXPECT_EQ(taken[0].message, "inner");
        EXPECT_EQ(inner.Count(), 0u);
    }
    host::ReportViolation(ViolationKind::PoolLeak, "outer");
    EXPECT_EQ(outer.Count(), 1u);
}

TEST(ViolationCapture, CollectsFromOtherThreads)
{
    ViolationCapture capture;
    std::thread worker([] { host::ReportViolation(ViolationKind::Custom, "from a worker"); });
    worker.join();
    EXPECT_TRUE(capture.Contains(ViolationKind::Custom, "from a worker"));
    EXPECT_EQ(host::ViolationCount(ViolationKind::Custom), 1u)
        << "counted even when captured; counts restart with every test";
}

TEST(ConductListener, FailsTheRunningTestWithTheMessage)
{
    ASSERT_TRUE(nuvtest::ConductListenerInstalled());
    EXPECT_NONFATAL_FAILURE(
        host::ReportViolation(host::ViolationKind::Custom, "mapping 0x10 released twice"),
        "[Custom] mapping 0x10 released twice");
}

TEST(ConductListener, EndOfTestCheckSeesHeldLockAndRaisedIrql)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_TRUE(nuvtest::KernelLeftClean());

    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    ::testing::AssertionResult held = nuvtest::KernelLeftClean();
    EXPECT_FALSE(held);
    EXPECT_NE(std::string(held.message()).find("1 spin lock(s) still held"), std::string::npos);
    EXPECT_NE(std::string(held.message()).find("DISPATCH_LEVEL"), std::string::npos);
    KeReleaseSpinLock(&lock, old);

    EXPECT_TRUE(nuvtest::KernelLeftClean());
}

TEST(ResetKernelState, ClearsPlansLevelAndCounts)
{
    host::FailEveryCallOf("PcNewPort");
    host::SetProcessorFeatureOverride(PF_XMMI64_INSTRUCTIONS_AVAILABLE, false);
    host::SetWdm60Available(false);
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, host::Tag("Test"));
    {
        ViolationCapture capture;
        host::ResetKernelState(true);
        EXPECT_EQ(capture.Count(ViolationKind::PoolLeak), 1u) << "asked to report leaks first";
    }
    EXPECT_FALSE(host::ShouldFail("PcNewPort"));
    EXPECT_TRUE(ExIsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE));
    EXPECT_TRUE(IoIsWdmVersionAvailable(6, 0));
    EXPECT_EQ(host::Pool().Outstanding(), 0u);
    EXPECT_EQ(host::ViolationCount(), 0u);
    ExFreePool(block);
}
