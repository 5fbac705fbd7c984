// DriverCallGuard: a driver routine returns at the level it was called at
// and holding exactly the locks its caller held.
#include "host/kernel/hostkernel.h"

#include <gtest/gtest.h>

using host::DriverCallGuard;
using host::ViolationCapture;
using host::ViolationKind;

TEST(DriverCallGuard, ABalancedCallIsNotReported)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    ViolationCapture capture;
    {
        DriverCallGuard guard("IMiniportWavePciStream::Service");
        const KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
        KeReleaseSpinLock(&lock, old);
    }
    EXPECT_EQ(capture.Count(), 0u);
}

TEST(DriverCallGuard, ReturningAtAnotherLevelIsAnIrqlViolation)
{
    ViolationCapture capture;
    {
        DriverCallGuard guard("IMiniportWavePciStream::SetState");
        KfRaiseIrql(DISPATCH_LEVEL);
    }
    EXPECT_TRUE(capture.Contains(ViolationKind::IrqlViolation,
                                 "IMiniportWavePciStream::SetState returned at DISPATCH_LEVEL; "
                                 "it was called at PASSIVE_LEVEL"));
    host::SetCurrentIrql(PASSIVE_LEVEL);
}

TEST(DriverCallGuard, ReturningWithALockItTookIsReported)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    ViolationCapture capture;
    host::ScopedIrql atDispatch(DISPATCH_LEVEL);
    {
        DriverCallGuard guard("IMiniportWavePciStream::Service");
        KeAcquireSpinLockAtDpcLevel(&lock);
    }
    EXPECT_TRUE(capture.Contains(ViolationKind::Custom,
                                 "DriverCall: IMiniportWavePciStream::Service returned holding"));
    KeReleaseSpinLockFromDpcLevel(&lock);
}

TEST(DriverCallGuard, TheCallersLockMayStayHeldButNotBeReleased)
{
    KSPIN_LOCK portLock;
    KeInitializeSpinLock(&portLock);
    ViolationCapture capture;
    const KIRQL old = KeAcquireSpinLockRaiseToDpc(&portLock);
    {
        DriverCallGuard guard("IMiniportWavePciStream::RevokeMappings");
    }
    EXPECT_EQ(capture.Count(), 0u);
    {
        DriverCallGuard guard("IMiniportWavePciStream::RevokeMappings");
        KeReleaseSpinLockFromDpcLevel(&portLock);
    }
    EXPECT_TRUE(capture.Contains(ViolationKind::Custom, "released its caller's spin lock"));
    KeLowerIrql(old);
}
