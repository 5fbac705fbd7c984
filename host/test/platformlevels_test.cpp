// The documented IRQL of every platform routine the driver calls, checked
// by the host: one level above the highest allowed is reported, naming the
// routine. Where the call is cheap to make properly, the highest allowed
// level itself is shown to pass.
//
//     routine                       highest level         above it
//     ExAllocatePoolWithTag NP      DISPATCH_LEVEL        IrqlViolation
//     ExAllocatePoolWithTag paged   APC_LEVEL             PagedPoolAtHighIrql
//     ExFreePool NP                 DISPATCH_LEVEL        IrqlViolation
//     KeWaitForSingleObject, limit  APC_LEVEL (may block) WaitAtDispatch
//     KeWaitForSingleObject, 0      DISPATCH_LEVEL        IrqlViolation
//     KeAcquireSpinLockRaiseToDpc   DISPATCH_LEVEL        SpinLockWrongIrql
//     IoBuildSynchronousFsdRequest  PASSIVE_LEVEL         IrqlViolation
//     IofCallDriver                 DISPATCH_LEVEL        IrqlViolation
//     PcInitializeAdapterDriver, PcAddAdapterDevice, PcNewPort,
//     PcRegisterSubdevice, PcRegisterPhysicalConnection,
//     PcNewServiceGroup             PASSIVE_LEVEL         IrqlViolation
#include "host/kernel/hostkernel.h"

#include <portcls.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

using host::ViolationCapture;
using host::ViolationKind;

namespace
{

struct PlatformCall
{
    const char* name;
    KIRQL highest;
    ViolationKind above;
    // Makes the call at the current level and undoes what it did; arguments
    // may be invalid where the level check comes first.
    std::function<void()> call;
    // Whether `call` is a proper call that must pass at `highest`.
    bool proper;
};

KIRQL NextLevel(KIRQL irql)
{
    return irql == PASSIVE_LEVEL ? APC_LEVEL : irql == APC_LEVEL ? DISPATCH_LEVEL : HIGH_LEVEL;
}

void AllocateAndFree(POOL_TYPE type)
{
    PVOID block = ExAllocatePoolWithTag(type, 16, host::Tag("Test"));
    host::ScopedIrql passive(PASSIVE_LEVEL);
    if (block != nullptr)
        ExFreePool(block);
}

void FreeAtCurrentLevel()
{
    PVOID block = nullptr;
    {
        host::ScopedIrql passive(PASSIVE_LEVEL);
        block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, host::Tag("Test"));
    }
    ExFreePool(block);
}

void WaitSignalled(LONGLONG timeout)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    LARGE_INTEGER limit;
    limit.QuadPart = timeout;
    (void)KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &limit);
}

void AcquireAndRelease()
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    const KIRQL current = KeGetCurrentIrql();
    const KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    if (current <= DISPATCH_LEVEL)
        KeReleaseSpinLock(&lock, old);
    else
        host::ForgetHeldSpinLocks(); // the lock is on the stack and goes
}

void NewAndReleasePort()
{
    PPORT port = nullptr;
    if (NT_SUCCESS(PcNewPort(&port, CLSID_PortTopology)) && port != nullptr)
    {
        host::ScopedIrql passive(PASSIVE_LEVEL);
        port->Release();
    }
}

void NewAndReleaseServiceGroup()
{
    PSERVICEGROUP group = nullptr;
    if (NT_SUCCESS(PcNewServiceGroup(&group, nullptr)) && group != nullptr)
    {
        host::ScopedIrql passive(PASSIVE_LEVEL);
        group->Release();
    }
}

const PlatformCall kPlatformCalls[] = {
    {"ExAllocatePoolWithTag", DISPATCH_LEVEL, ViolationKind::IrqlViolation,
     [] { AllocateAndFree(NonPagedPoolNx); }, true},
    {"ExAllocatePoolWithTag", APC_LEVEL, ViolationKind::PagedPoolAtHighIrql,
     [] { AllocateAndFree(PagedPool); }, true},
    {"ExFreePool", DISPATCH_LEVEL, ViolationKind::IrqlViolation, FreeAtCurrentLevel, true},
    {"KeWaitForSingleObject", APC_LEVEL, ViolationKind::WaitAtDispatch,
     [] { WaitSignalled(-10000); }, true},
    {"KeWaitForSingleObject", DISPATCH_LEVEL, ViolationKind::IrqlViolation,
     [] { WaitSignalled(0); }, true},
    {"KeAcquireSpinLockRaiseToDpc", DISPATCH_LEVEL, ViolationKind::SpinLockWrongIrql,
     AcquireAndRelease, true},
    {"IoBuildSynchronousFsdRequest", PASSIVE_LEVEL, ViolationKind::IrqlViolation,
     []
     { (void)IoBuildSynchronousFsdRequest(0xFF, nullptr, nullptr, 0, nullptr, nullptr, nullptr); },
     false},
    {"IofCallDriver", DISPATCH_LEVEL, ViolationKind::IrqlViolation,
     [] { (void)IofCallDriver(nullptr, nullptr); }, false},
    {"PcInitializeAdapterDriver", PASSIVE_LEVEL, ViolationKind::IrqlViolation,
     [] { (void)PcInitializeAdapterDriver(nullptr, nullptr, nullptr); }, false},
    {"PcAddAdapterDevice", PASSIVE_LEVEL, ViolationKind::IrqlViolation,
     [] { (void)PcAddAdapterDevice(nullptr, nullptr, nullptr, 0, 0); }, false},
    {"PcNewPort", PASSIVE_LEVEL, ViolationKind::IrqlViolation, NewAndReleasePort, true},
    {"PcRegisterSubdevice", PASSIVE_LEVEL, ViolationKind::IrqlViolation,
     [] { (void)PcRegisterSubdevice(nullptr, nullptr, nullptr); }, false},
    {"PcRegisterPhysicalConnection", PASSIVE_LEVEL, ViolationKind::IrqlViolation,
     [] { (void)PcRegisterPhysicalConnection(nullptr, nullptr, 0, nullptr, 0); }, false},
    {"PcNewServiceGroup", PASSIVE_LEVEL, ViolationKind::IrqlViolation, NewAndReleaseServiceGroup,
     true},
};

class PlatformCallLevel : public ::testing::TestWithParam<PlatformCall>
{
};

std::string RowName(const ::testing::TestParamInfo<PlatformCall>& info)
{
    return std::string(info.param.name) + "_" + std::to_string(info.index);
}

} // namespace

TEST_P(PlatformCallLevel, AboveTheHighestAllowedLevelIsReported)
{
    const PlatformCall& row = GetParam();
    ViolationCapture capture;
    {
        host::ScopedIrql above(NextLevel(row.highest));
        row.call();
    }
    EXPECT_TRUE(capture.Contains(row.above, row.name))
        << row.name << " at " << host::IrqlName(NextLevel(row.highest)) << " was not reported as "
        << host::ViolationKindName(row.above);
}

TEST(PlatformCallLevels, AtTheHighestAllowedLevelEveryProperCallPasses)
{
    for (const PlatformCall& row : kPlatformCalls)
    {
        if (!row.proper)
            continue;
        SCOPED_TRACE(std::string(row.name) + " at " + host::IrqlName(row.highest));
        ViolationCapture capture;
        {
            host::ScopedIrql highest(row.highest);
            row.call();
        }
        for (const host::Violation& violation : capture.Take())
            ADD_FAILURE() << host::Describe(violation);
    }
}

INSTANTIATE_TEST_SUITE_P(DriverCalls, PlatformCallLevel, ::testing::ValuesIn(kPlatformCalls),
                         RowName);
