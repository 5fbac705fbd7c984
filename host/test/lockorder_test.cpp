// The lock-order graph of the host spin locks: an acquisition that closes a
// cycle of "wanted while holding" orders is reported, whichever threads
// took the earlier orders, and a reinitialised lock starts with no history.
#include "host/kernel/hostkernel.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

using host::ViolationCapture;
using host::ViolationKind;

namespace
{

// Takes `first`, then `second` inside it, and releases both.
void TakeInOrder(KSPIN_LOCK& first, KSPIN_LOCK& second)
{
    const KIRQL old = KeAcquireSpinLockRaiseToDpc(&first);
    KeAcquireSpinLockAtDpcLevel(&second);
    KeReleaseSpinLockFromDpcLevel(&second);
    KeReleaseSpinLock(&first, old);
}

std::size_t LockOrderReports(const ViolationCapture& capture)
{
    return capture.Contains(ViolationKind::Custom, "LockOrder")
               ? capture.Count(ViolationKind::Custom)
               : 0;
}

class LockOrder : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (KSPIN_LOCK* lock : {&a, &b, &c})
            KeInitializeSpinLock(lock);
    }

    KSPIN_LOCK a;
    KSPIN_LOCK b;
    KSPIN_LOCK c;
};

} // namespace

TEST_F(LockOrder, OneConsistentOrderIsNeverReported)
{
    ViolationCapture capture;
    for (int round = 0; round < 3; ++round)
        TakeInOrder(a, b);
    EXPECT_EQ(capture.Count(), 0u);
    EXPECT_EQ(host::LockOrderEdgeCount(), 1u);
}

TEST_F(LockOrder, TheOppositeOrderIsReportedOnceNamingBothLocks)
{
    ViolationCapture capture;
    TakeInOrder(a, b);
    TakeInOrder(b, a);
    TakeInOrder(b, a); // the same inversion again: already known
    ASSERT_EQ(capture.Count(ViolationKind::Custom), 1u);
    const std::string message = capture.Take().front().message;
    EXPECT_NE(message.find("LockOrder: KeAcquireSpinLockAtDpcLevel"), std::string::npos) << message;
    char expected[64];
    std::snprintf(expected, sizeof(expected), "cycle spin lock %p -> spin lock %p -> spin lock %p",
                  static_cast<void*>(&a), static_cast<void*>(&b), static_cast<void*>(&a));
    EXPECT_NE(message.find(expected), std::string::npos) << message;
}

TEST_F(LockOrder, ACycleThroughAThirdLockIsReportedWhenItCloses)
{
    ViolationCapture capture;
    TakeInOrder(a, b);
    TakeInOrder(b, c);
    EXPECT_EQ(capture.Count(), 0u);
    TakeInOrder(c, a);
    EXPECT_EQ(LockOrderReports(capture), 1u);
}

TEST_F(LockOrder, OrdersOfDifferentThreadsMeetInOneGraph)
{
    ViolationCapture capture;
    std::thread([this] { TakeInOrder(a, b); }).join();
    // Run one after the other, so this never deadlocks; it only could.
    std::thread([this] { TakeInOrder(b, a); }).join();
    EXPECT_EQ(LockOrderReports(capture), 1u);
}

TEST_F(LockOrder, AReinitialisedLockHasNoOrdersYet)
{
    ViolationCapture capture;
    TakeInOrder(a, b);
    // A new lock at a's address (as a freed object's storage is reused).
    KeInitializeSpinLock(&a);
    EXPECT_EQ(host::LockOrderEdgeCount(), 0u);
    TakeInOrder(b, a);
    EXPECT_EQ(capture.Count(), 0u);
}

TEST_F(LockOrder, ResetKernelStateForgetsEveryOrder)
{
    TakeInOrder(a, b);
    TakeInOrder(b, c);
    EXPECT_EQ(host::LockOrderEdgeCount(), 2u);
    host::ResetKernelState();
    EXPECT_EQ(host::LockOrderEdgeCount(), 0u);
    ViolationCapture capture;
    TakeInOrder(c, a);
    EXPECT_EQ(capture.Count(), 0u);
}

// A driver built for Windows sets its locks up with an inline store, which
// the host never sees: the pool forgets the orders of the locks in a block
// it frees, or the next object at that address would inherit them.
TEST_F(LockOrder, ALockInFreedPoolHasNoOrdersLeft)
{
    auto* object =
        static_cast<KSPIN_LOCK*>(ExAllocatePoolWithTag(NonPagedPoolNx, 64, host::Tag("Lock")));
    ASSERT_NE(object, nullptr);
    KSPIN_LOCK* lock = object + 2;
    *lock = 0; // as KeInitializeSpinLock is inlined in the image
    TakeInOrder(*lock, b);
    TakeInOrder(a, b);
    ASSERT_EQ(host::LockOrderEdgeCount(), 2u);

    ExFreePoolWithTag(object, host::Tag("Lock"));
    EXPECT_EQ(host::LockOrderEdgeCount(), 1u) << "only a -> b is left";
    ViolationCapture capture;
    TakeInOrder(b, a);
    EXPECT_EQ(LockOrderReports(capture), 1u) << "the orders of live locks still count";
}
