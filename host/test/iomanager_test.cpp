// The host I/O manager: device objects and stacks, synchronous requests,
// dispatch and completion across threads.
#include "host/kernel/hostkernel.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

using host::ViolationCapture;
using host::ViolationKind;

namespace
{

// A driver object with one device, deleted at the end of the test.
class IoManagerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        lowerDriver = host::CreateDriverObject(u"\\Driver\\lower");
        upperDriver = host::CreateDriverObject(u"\\Driver\\upper");
        ASSERT_EQ(IoCreateDevice(lowerDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower),
                  STATUS_SUCCESS);
    }

    void TearDown() override
    {
        host::DestroyDriverObject(upperDriver);
        host::DestroyDriverObject(lowerDriver);
        EXPECT_EQ(host::LiveDeviceCount(), 0u);
        EXPECT_EQ(host::LiveIrpCount(), 0u) << "a request was never completed";
    }

    // Builds the query the adapter sends: IRP_MJ_PNP, status preset.
    PIRP BuildPnp(PDEVICE_OBJECT target)
    {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        iosb = {};
        PIRP irp =
            IoBuildSynchronousFsdRequest(IRP_MJ_PNP, target, nullptr, 0, nullptr, &event, &iosb);
        if (irp != nullptr)
            irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        return irp;
    }

    PDRIVER_OBJECT lowerDriver = nullptr;
    PDRIVER_OBJECT upperDriver = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    KEVENT event{};
    IO_STATUS_BLOCK iosb{};
};

std::thread completer;

// The lower driver answers later, from another thread.
NTSTATUS NTAPI PendAndCompleteLater(PDEVICE_OBJECT, PIRP irp)
{
    IoMarkIrpPending(irp);
    completer = std::thread(
        [irp]
        {
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = 56;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        });
    return STATUS_PENDING;
}

NTSTATUS NTAPI CompleteAtOnce(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

struct CompletionSeen
{
    PDEVICE_OBJECT device = nullptr;
    BOOLEAN pendingReturned = FALSE;
    int calls = 0;
    NTSTATUS answer = STATUS_SUCCESS;
};

NTSTATUS NTAPI RecordCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto* seen = static_cast<CompletionSeen*>(context);
    seen->device = device;
    seen->pendingReturned = irp->PendingReturned;
    seen->calls++;
    if (irp->PendingReturned && seen->answer != STATUS_MORE_PROCESSING_REQUIRED)
        IoMarkIrpPending(irp);
    return seen->answer;
}

CompletionSeen upperSeen;

// The upper driver forwards with a completion routine of its own.
NTSTATUS NTAPI ForwardWithCompletion(PDEVICE_OBJECT device, PIRP irp)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, RecordCompletion, &upperSeen, TRUE, TRUE, TRUE);
    PDEVICE_OBJECT* lowerOf = static_cast<PDEVICE_OBJECT*>(device->DeviceExtension);
    return IoCallDriver(*lowerOf, irp);
}

} // namespace

TEST_F(IoManagerTest, DefaultDispatchCompletesWithInvalidDeviceRequest)
{
    PIRP irp = BuildPnp(lower);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(lower, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(iosb.Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
}

TEST_F(IoManagerTest, CreateDeviceZeroesExtensionAndLinksIntoDriver)
{
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(lowerDriver, 568, nullptr, FILE_DEVICE_KS, 0, FALSE, &device),
              STATUS_SUCCESS);
    EXPECT_EQ(lowerDriver->DeviceObject, device) << "newest first";
    EXPECT_EQ(device->NextDevice, lower);
    EXPECT_EQ(device->DriverObject, lowerDriver);
    EXPECT_EQ(device->StackSize, 1);
    EXPECT_EQ(device->DeviceType, static_cast<ULONG>(FILE_DEVICE_KS));
    ASSERT_NE(device->DeviceExtension, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(device->DeviceExtension) % 16, 0u);
    const auto* extension = static_cast<const unsigned char*>(device->DeviceExtension);
    for (int i = 0; i < 568; ++i)
        ASSERT_EQ(extension[i], 0) << "byte " << i;

    IoDeleteDevice(device);
    EXPECT_EQ(lowerDriver->DeviceObject, lower);
}

TEST_F(IoManagerTest, CreateDeviceHonoursFaultInjection)
{
    host::FaultScope faults;
    faults.FailEveryCallOf("IoCreateDevice");
    PDEVICE_OBJECT device = lower;
    EXPECT_EQ(IoCreateDevice(lowerDriver, 16, nullptr, FILE_DEVICE_KS, 0, FALSE, &device),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device, nullptr);
}

TEST_F(IoManagerTest, AttachBuildsTheStack)
{
    PDEVICE_OBJECT middle = nullptr;
    PDEVICE_OBJECT top = nullptr;
    ASSERT_EQ(IoCreateDevice(upperDriver, 0, nullptr, FILE_DEVICE_KS, 0, FALSE, &middle),
              STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(upperDriver, 0, nullptr, FILE_DEVICE_KS, 0, FALSE, &top),
              STATUS_SUCCESS);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(middle, lower), lower);
    EXPECT_EQ(middle->StackSize, 2);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(top, lower), middle) << "attaches to the top";
    EXPECT_EQ(top->StackSize, 3);

    PDEVICE_OBJECT referenced = IoGetAttachedDeviceReference(lower);
    EXPECT_EQ(referenced, top);
    EXPECT_EQ(top->ReferenceCount, 1);
    ObDereferenceObject(referenced);
    EXPECT_EQ(top->ReferenceCount, 0);

    IoDetachDevice(middle);
    EXPECT_EQ(middle->AttachedDevice, nullptr);
    IoDetachDevice(lower);
    IoDeleteDevice(top);
    IoDeleteDevice(middle);
}

TEST_F(IoManagerTest, DeleteWhileAttachedIsReported)
{
    PDEVICE_OBJECT upper = nullptr;
    ASSERT_EQ(IoCreateDevice(upperDriver, 0, nullptr, FILE_DEVICE_KS, 0, FALSE, &upper),
              STATUS_SUCCESS);
    IoAttachDeviceToDeviceStack(upper, lower);
    ViolationCapture capture;
    IoDeleteDevice(upper);
    EXPECT_TRUE(capture.Contains(ViolationKind::RequestMisuse, "IoDetachDevice comes first"));
    EXPECT_EQ(lower->AttachedDevice, nullptr);
}

TEST_F(IoManagerTest, BuildSynchronousRequestLaysOutTheStack)
{
    lower->StackSize = 3;
    PIRP irp = BuildPnp(lower);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->StackCount, 3);
    EXPECT_EQ(irp->CurrentLocation, 4);
    PIO_STACK_LOCATION first = IoGetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION locations = irp->Tail.Overlay.CurrentStackLocation - 3;
    EXPECT_EQ(first, &locations[2]) << "the called driver sees the last location";
    EXPECT_EQ(first->MajorFunction, IRP_MJ_PNP);
    EXPECT_EQ(irp->UserEvent, &event);
    EXPECT_EQ(irp->UserIosb, &iosb);

    lowerDriver->MajorFunction[IRP_MJ_PNP] = CompleteAtOnce;
    EXPECT_EQ(IoCallDriver(lower, irp), STATUS_SUCCESS);
}

TEST_F(IoManagerTest, BuildSynchronousRequestHonoursFaultInjection)
{
    host::FaultScope faults;
    faults.FailNthOf("IoBuildSynchronousFsdRequest", 1);
    EXPECT_EQ(BuildPnp(lower), nullptr);
    EXPECT_EQ(faults.Failed().size(), 1u);
}

TEST_F(IoManagerTest, PendingRequestCompletedFromAnotherThreadIsWaitedFor)
{
    lowerDriver->MajorFunction[IRP_MJ_PNP] = PendAndCompleteLater;
    PIRP irp = BuildPnp(lower);
    ASSERT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_QUERY_INTERFACE;

    NTSTATUS status = IoCallDriver(lower, irp);
    EXPECT_EQ(status, STATUS_PENDING);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    completer.join();
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 56u);
}

TEST_F(IoManagerTest, CompletionRoutineSeesItsDeviceAndPending)
{
    PDEVICE_OBJECT upper = nullptr;
    ASSERT_EQ(IoCreateDevice(upperDriver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_KS, 0, FALSE,
                             &upper),
              STATUS_SUCCESS);
    *static_cast<PDEVICE_OBJECT*>(upper->DeviceExtension) =
        IoAttachDeviceToDeviceStack(upper, lower);
    upperDriver->MajorFunction[IRP_MJ_PNP] = ForwardWithCompletion;
    lowerDriver->MajorFunction[IRP_MJ_PNP] = PendAndCompleteLater;
    upperSeen = {};

    PIRP irp = BuildPnp(upper);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(upper, irp), STATUS_PENDING);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    completer.join();
    EXPECT_EQ(upperSeen.calls, 1);
    EXPECT_EQ(upperSeen.device, upper);
    EXPECT_TRUE(upperSeen.pendingReturned);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);

    IoDetachDevice(lower);
    IoDeleteDevice(upper);
}

TEST_F(IoManagerTest, MoreProcessingRequiredStopsCompletion)
{
    PDEVICE_OBJECT upper = nullptr;
    ASSERT_EQ(IoCreateDevice(upperDriver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_KS, 0, FALSE,
                             &upper),
              STATUS_SUCCESS);
    *static_cast<PDEVICE_OBJECT*>(upper->DeviceExtension) =
        IoAttachDeviceToDeviceStack(upper, lower);
    upperDriver->MajorFunction[IRP_MJ_PNP] = ForwardWithCompletion;
    lowerDriver->MajorFunction[IRP_MJ_PNP] = CompleteAtOnce;
    upperSeen = {};
    upperSeen.answer = STATUS_MORE_PROCESSING_REQUIRED;

    PIRP irp = BuildPnp(upper);
    ASSERT_NE(irp, nullptr);
    IoCallDriver(upper, irp);
    EXPECT_EQ(upperSeen.calls, 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "the upper driver took the request back";
    EXPECT_EQ(host::LiveIrpCount(), 1u);

    // The upper driver finishes it later, as the driver that owns it now.
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(upperSeen.calls, 1) << "a routine runs once";

    IoDetachDevice(lower);
    IoDeleteDevice(upper);
}

TEST_F(IoManagerTest, CompletingTwiceIsReported)
{
    lowerDriver->MajorFunction[IRP_MJ_PNP] = CompleteAtOnce;
    PIRP irp = BuildPnp(lower);
    ASSERT_NE(irp, nullptr);
    IoCallDriver(lower, irp);
    ViolationCapture capture;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_TRUE(capture.Contains(ViolationKind::RequestMisuse, "already completed"));
}

TEST_F(IoManagerTest, RunningOutOfStackLocationsIsReported)
{
    // The request has one location, which the device's own dispatch holds;
    // it forwards anyway (to itself: there is nothing below) and then
    // completes the request as the last driver.
    lowerDriver->MajorFunction[IRP_MJ_PNP] = [](PDEVICE_OBJECT device, PIRP irp) NTAPI -> NTSTATUS
    {
        NTSTATUS status = IoCallDriver(device, irp);
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    };
    PIRP irp = BuildPnp(lower);
    ASSERT_NE(irp, nullptr);
    ViolationCapture capture;
    EXPECT_EQ(IoCallDriver(lower, irp), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(capture.Contains(ViolationKind::RequestMisuse, "no stack location left"));
    EXPECT_EQ(iosb.Status, STATUS_INVALID_PARAMETER);
}

TEST_F(IoManagerTest, PnpRequestWithoutPresetStatusIsReported)
{
    PIRP irp = BuildPnp(lower);
    ASSERT_NE(irp, nullptr);
    irp->IoStatus.Status = STATUS_SUCCESS;
    ViolationCapture capture;
    IoCallDriver(lower, irp);
    EXPECT_TRUE(capture.Contains(ViolationKind::RequestMisuse, "STATUS_NOT_SUPPORTED"));
}

TEST(IoIsWdmVersionAvailable, AnswersAsConfigured)
{
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x30));
    EXPECT_TRUE(IoIsWdmVersionAvailable(6, 0));
    EXPECT_FALSE(IoIsWdmVersionAvailable(6, 1));
    host::SetWdm60Available(false);
    EXPECT_FALSE(IoIsWdmVersionAvailable(6, 0));
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x30));
}

TEST(ExIsProcessorFeaturePresent, HostFeaturesAndOverrides)
{
    EXPECT_TRUE(ExIsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE));
    EXPECT_EQ(ExIsProcessorFeaturePresent(PF_SSSE3_INSTRUCTIONS_AVAILABLE) != FALSE,
              __builtin_cpu_supports("ssse3") != 0);
    host::SetProcessorFeatureOverride(PF_XMMI64_INSTRUCTIONS_AVAILABLE, false);
    host::SetProcessorFeatureOverride(PF_SSSE3_INSTRUCTIONS_AVAILABLE, true);
    EXPECT_FALSE(ExIsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE));
    EXPECT_TRUE(ExIsProcessorFeaturePresent(PF_SSSE3_INSTRUCTIONS_AVAILABLE));
    host::ClearProcessorFeatureOverrides();
    EXPECT_TRUE(ExIsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE));
}
