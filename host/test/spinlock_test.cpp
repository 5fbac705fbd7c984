// Host spin locks: exclusion between real threads, and the misuse they
// report.
#include "host/kernel/hostkernel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using host::ViolationCapture;
using host::ViolationKind;

TEST(KeAcquireSpinLockRaiseToDpc, RaisesRecordsOwnerAndReleaseLowers)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_EQ(lock, 0u);

    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(lock, host::CurrentThreadLockOwner());
    EXPECT_EQ(host::HeldSpinLockCount(), 1u);

    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(lock, 0u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(host::HeldSpinLockCount(), 0u);
}

TEST(KeAcquireSpinLockRaiseToDpc, ExcludesAnotherThread)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    constexpr int kRounds = 200000;
    // A plain counter: only the lock keeps the two read-modify-writes apart.
    long counter = 0;
    auto work = [&]
    {
        for (int i = 0; i < kRounds; ++i)
        {
            KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
            long value = counter;
            std::atomic_signal_fence(std::memory_order_seq_cst);
            counter = value + 1;
            KeReleaseSpinLock(&lock, old);
        }
    };
    std::thread first(work);
    std::thread second(work);
    first.join();
    second.join();
    EXPECT_EQ(counter, 2L * kRounds);
}

TEST(KeAcquireSpinLockRaiseToDpc, ReportsRecursionWithoutDeadlock)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    ViolationCapture capture;
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    KIRQL inner = KeAcquireSpinLockRaiseToDpc(&lock);
    EXPECT_EQ(inner, DISPATCH_LEVEL);
    EXPECT_TRUE(capture.Contains(ViolationKind::SpinLockRecursive, "already held"));
    EXPECT_EQ(host::HeldSpinLockCount(), 1u);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(capture.Count(), 1u);
}

TEST(KeAcquireSpinLockRaiseToDpc, ReportsAcquisitionAboveDispatch)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    ViolationCapture capture;
    host::ScopedIrql atHigh(HIGH_LEVEL);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    EXPECT_TRUE(capture.Contains(ViolationKind::SpinLockWrongIrql, "acquired at HIGH_LEVEL"));
    host::SetCurrentIrql(DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
}

TEST(KeReleaseSpinLock, ReportsLockNotHeld)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    ViolationCapture capture;
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_TRUE(capture.Contains(ViolationKind::SpinLockNotHeld, "is not held"));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the level is still lowered";
}

TEST(KeReleaseSpinLock, ReportsLockHeldByAnotherThread)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    ViolationCapture capture;
    std::thread other(
        [&lock]
        {
            host::ScopedIrql atDispatch(DISPATCH_LEVEL);
            KeReleaseSpinLockFromDpcLevel(&lock);
        });
    other.join();
    EXPECT_TRUE(capture.Contains(ViolationKind::SpinLockNotHeld, "held by another thread"));
    EXPECT_EQ(lock, host::CurrentThreadLockOwner()) << "the owner keeps it";
    KeReleaseSpinLock(&lock, old);
}

TEST(KeAcquireSpinLockAtDpcLevel, RequiresDispatchLevel)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    ViolationCapture capture;
    {
        host::ScopedIrql atDispatch(DISPATCH_LEVEL);
        KeAcquireSpinLockAtDpcLevel(&lock);
        KeReleaseSpinLockFromDpcLevel(&lock);
        EXPECT_EQ(capture.Count(), 0u);
    }
    KeAcquireSpinLockAtDpcLevel(&lock);
    EXPECT_TRUE(capture.Contains(ViolationKind::SpinLockWrongIrql, "KeAcquireSpinLockAtDpcLevel"));
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_TRUE(
        capture.Contains(ViolationKind::SpinLockWrongIrql, "KeReleaseSpinLockFromDpcLevel"));
    EXPECT_EQ(lock, 0u);
}

TEST(HeldSpinLocks, KeepsAcquisitionOrderAndOutOfOrderRelease)
{
    KSPIN_LOCK first;
    KSPIN_LOCK second;
    KeInitializeSpinLock(&first);
    KeInitializeSpinLock(&second);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&first);
    KeAcquireSpinLockAtDpcLevel(&second);
    EXPECT_EQ(host::HeldSpinLocks(), (std::vector<const KSPIN_LOCK*>{&first, &second}));
    KeReleaseSpinLockFromDpcLevel(&first);
    EXPECT_EQ(host::HeldSpinLocks(), (std::vector<const KSPIN_LOCK*>{&second}));
    KeReleaseSpinLock(&second, old);
    EXPECT_EQ(host::HeldSpinLockCount(), 0u);
}
