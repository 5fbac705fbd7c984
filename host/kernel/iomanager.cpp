// Driver objects, device objects and stacks, IoBuildSynchronousFsdRequest,
// IofCallDriver and IofCompleteRequest.
//
// The bookkeeping (which objects and requests exist, what each device is
// attached to) is under one mutex that is never held while a driver routine
// runs: dispatch and completion routines may call back into the I/O manager
// from any thread.
#include "host/kernel/iomanager.h"

#include "host/kernel/boundary.h"
#include "host/kernel/conduct.h"
#include "host/kernel/drivercall.h"
#include "host/kernel/faults.h"
#include "host/kernel/irql.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace host
{
namespace
{

constexpr SHORT kIoTypeDevice = 3;
constexpr SHORT kIoTypeDriver = 4;
constexpr SHORT kIoTypeIrp = 6;
// Completed requests kept back from the allocator, so that a second
// completion of one is recognised as such.
constexpr std::size_t kRetiredIrps = 64;
constexpr unsigned char kRetiredFill = 0xDF;

struct HostDriver
{
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::vector<WCHAR> name;
};

struct DeviceRecord
{
    void* memory;
    PDEVICE_OBJECT lower = nullptr; // the device this one is attached to
    bool deletePending = false;
};

struct IrpRecord
{
    std::size_t bytes;
};

struct IoState
{
    std::mutex mutex;
    std::unordered_map<PDRIVER_OBJECT, std::unique_ptr<HostDriver>> drivers;
    std::unordered_map<PDEVICE_OBJECT, DeviceRecord> devices;
    std::unordered_map<PIRP, IrpRecord> irps;
    std::deque<PIRP> retired;
    std::unordered_set<PIRP> retiredSet;
    std::atomic<bool> wdm60{true};
};

IoState& State()
{
    // Never destroyed, so that objects freed by static destructors still find
    // their records (and retired requests stay reachable).
    static IoState& state = *new IoState;
    return state;
}

std::string Address(const void* address)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%p", address);
    return text;
}

void Misuse(const std::string& message)
{
    ReportViolation(ViolationKind::RequestMisuse, message);
}

std::vector<WCHAR> WideCopy(std::u16string_view text)
{
    std::vector<WCHAR> wide(text.begin(), text.end());
    wide.push_back(0);
    return wide;
}

void SetUnicodeString(UNICODE_STRING& target, std::vector<WCHAR>& storage)
{
    const std::size_t chars = storage.size() - 1;
    target.Buffer = storage.data();
    target.Length = static_cast<USHORT>(chars * sizeof(WCHAR));
    target.MaximumLength = static_cast<USHORT>(storage.size() * sizeof(WCHAR));
}

// Call with the mutex held.
void FreeDeviceLocked(IoState& state, PDEVICE_OBJECT device)
{
    auto found = state.devices.find(device);
    if (found == state.devices.end())
        return;
    std::free(found->second.memory);
    state.devices.erase(found);
}

void UnlinkFromDriver(PDEVICE_OBJECT device)
{
    PDRIVER_OBJECT driver = device->DriverObject;
    if (driver == nullptr)
        return;
    for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != nullptr;
         link = &(*link)->NextDevice)
    {
        if (*link == device)
        {
            *link = device->NextDevice;
            device->NextDevice = nullptr;
            return;
        }
    }
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device)
{
    while (device->AttachedDevice != nullptr)
        device = device->AttachedDevice;
    return device;
}

bool IsLiveIrp(PIRP irp, const char* function)
{
    IoState& state = State();
    std::lock_guard lock(state.mutex);
    if (state.irps.contains(irp))
        return true;
    if (state.retiredSet.contains(irp))
        Misuse(std::string(function) + ": request " + Address(irp) +
               " was already completed and freed");
    else
        Misuse(std::string(function) + ": " + Address(irp) + " is not a request the host built");
    return false;
}

void RetireIrp(PIRP irp)
{
    IoState& state = State();
    std::lock_guard lock(state.mutex);
    auto found = state.irps.find(irp);
    if (found == state.irps.end())
        return;
    std::memset(static_cast<void*>(irp), kRetiredFill, found->second.bytes);
    state.irps.erase(found);
    state.retired.push_back(irp);
    state.retiredSet.insert(irp);
    if (state.retired.size() > kRetiredIrps)
    {
        PIRP oldest = state.retired.front();
        state.retired.pop_front();
        state.retiredSet.erase(oldest);
        std::free(oldest);
    }
}

bool ShouldInvoke(UCHAR control, PIRP irp)
{
    const NTSTATUS status = irp->IoStatus.Status;
    return (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
           (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
           (irp->Cancel && (control & SL_INVOKE_ON_CANCEL));
}

// The request has left the last driver: hand the result to its originator.
void FinishSynchronousRequest(PIRP irp)
{
    if (irp->UserIosb != nullptr)
        *irp->UserIosb = irp->IoStatus;
    PKEVENT event = irp->UserEvent;
    // Freed before the event is set: once the waiter runs, it owns nothing of
    // the request any more.
    RetireIrp(irp);
    if (event != nullptr)
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

} // namespace

PDRIVER_OBJECT CreateDriverObject(std::u16string_view name, PDRIVER_INITIALIZE entry)
{
    auto driver = std::make_unique<HostDriver>();
    DRIVER_OBJECT& object = driver->object;
    object.Type = kIoTypeDriver;
    object.Size = sizeof(DRIVER_OBJECT);
    object.DriverExtension = &driver->extension;
    object.DriverInit = entry;
    for (PDRIVER_DISPATCH& dispatch : object.MajorFunction)
        dispatch = CompleteInvalidDeviceRequest;
    driver->extension.DriverObject = &object;
    driver->name = WideCopy(name);
    SetUnicodeString(object.DriverName, driver->name);

    IoState& state = State();
    std::lock_guard lock(state.mutex);
    PDRIVER_OBJECT result = &driver->object;
    state.drivers.emplace(result, std::move(driver));
    return result;
}

void DestroyDriverObject(PDRIVER_OBJECT driver)
{
    IoState& state = State();
    std::lock_guard lock(state.mutex);
    auto found = state.drivers.find(driver);
    if (found == state.drivers.end())
    {
        ReportViolation(ViolationKind::Custom,
                        "DestroyDriverObject: " + Address(driver) + " is not a host driver object");
        return;
    }
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr;)
    {
        PDEVICE_OBJECT next = device->NextDevice;
        FreeDeviceLocked(state, device);
        device = next;
    }
    // Devices deleted earlier but kept for outstanding references go too.
    for (auto it = state.devices.begin(); it != state.devices.end();)
    {
        auto current = it++;
        if (current->first->DriverObject == driver)
            FreeDeviceLocked(state, current->first);
    }
    state.drivers.erase(found);
}

NTSTATUS CallDriverEntry(PDRIVER_OBJECT driver, std::u16string_view registryPath)
{
    if (driver->DriverInit == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::vector<WCHAR> storage = WideCopy(registryPath);
    UNICODE_STRING path{};
    SetUnicodeString(path, storage);
    ScopedIrql passive(PASSIVE_LEVEL);
    DriverCallGuard guard("DriverEntry");
    return driver->DriverInit(driver, &path);
}

NTSTATUS NTAPI CompleteInvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp)
try
{
    UNREFERENCED_PARAMETER(device);
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}
catch (...)
{
    return host::CaughtAtBoundary("CompleteInvalidDeviceRequest", STATUS_INSUFFICIENT_RESOURCES);
}

std::size_t LiveDeviceCount()
{
    IoState& state = State();
    std::lock_guard lock(state.mutex);
    return state.devices.size();
}

std::size_t LiveIrpCount()
{
    IoState& state = State();
    std::lock_guard lock(state.mutex);
    return state.irps.size();
}

void SetWdm60Available(bool available)
{
    State().wdm60.store(available);
}

} // namespace host

extern "C" NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                         PUNICODE_STRING DeviceName, ULONG DeviceType,
                                         ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                         PDEVICE_OBJECT* DeviceObject)
try
{
    UNREFERENCED_PARAMETER(DeviceName);
    UNREFERENCED_PARAMETER(Exclusive);
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
    *DeviceObject = nullptr;
    if (host::ShouldFail("IoCreateDevice"))
        return STATUS_INSUFFICIENT_RESOURCES;

    // The extension follows the object, 16-byte aligned, zeroed.
    const std::size_t objectBytes = (sizeof(DEVICE_OBJECT) + 15) / 16 * 16;
    void* memory = std::calloc(1, objectBytes + DeviceExtensionSize);
    if (memory == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto* device = static_cast<PDEVICE_OBJECT>(memory);
    device->Type = host::kIoTypeDevice;
    device->Size = static_cast<USHORT>(objectBytes + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING;
    device->Characteristics = DeviceCharacteristics;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->DeviceExtension =
        DeviceExtensionSize != 0 ? static_cast<unsigned char*>(memory) + objectBytes : nullptr;

    host::IoState& state = host::State();
    std::lock_guard lock(state.mutex);
    state.devices.emplace(device, host::DeviceRecord{memory});
    if (DriverObject != nullptr)
    {
        device->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = device;
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}
catch (...)
{
    return host::CaughtAtBoundary("IoCreateDevice", STATUS_INSUFFICIENT_RESOURCES);
}

extern "C" VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
try
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
    host::IoState& state = host::State();
    std::lock_guard lock(state.mutex);
    auto found = state.devices.find(DeviceObject);
    if (found == state.devices.end() || found->second.deletePending)
    {
        host::Misuse("IoDeleteDevice: " + host::Address(DeviceObject) +
                     " is not a device object (or was deleted already)");
        return;
    }
    host::DeviceRecord& record = found->second;
    if (DeviceObject->AttachedDevice != nullptr)
        host::Misuse("IoDeleteDevice: device " + host::Address(DeviceObject) + " still has " +
                     host::Address(DeviceObject->AttachedDevice) + " attached above it");
    if (record.lower != nullptr)
    {
        host::Misuse("IoDeleteDevice: device " + host::Address(DeviceObject) +
                     " is still attached to " + host::Address(record.lower) +
                     "; IoDetachDevice comes first");
        record.lower->AttachedDevice = nullptr;
        record.lower = nullptr;
    }
    host::UnlinkFromDriver(DeviceObject);
    if (DeviceObject->ReferenceCount > 0)
    {
        // Freed by the last ObDereferenceObject, as the object manager does.
        record.deletePending = true;
        return;
    }
    host::FreeDeviceLocked(state, DeviceObject);
}
catch (...)
{
    host::CaughtAtBoundary("IoDeleteDevice");
}

extern "C" PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                            PDEVICE_OBJECT TargetDevice)
try
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAttachDeviceToDeviceStack");
    if (SourceDevice == nullptr || TargetDevice == nullptr)
        return nullptr;
    host::IoState& state = host::State();
    std::lock_guard lock(state.mutex);
    auto source = state.devices.find(SourceDevice);
    if (source == state.devices.end() || !state.devices.contains(TargetDevice))
    {
        host::Misuse("IoAttachDeviceToDeviceStack: unknown device object");
        return nullptr;
    }
    if (source->second.lower != nullptr)
    {
        host::Misuse("IoAttachDeviceToDeviceStack: device " + host::Address(SourceDevice) +
                     " is already attached to a stack");
        return nullptr;
    }
    PDEVICE_OBJECT top = host::TopOfStack(TargetDevice);
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    source->second.lower = top;
    return top;
}
catch (...)
{
    return host::CaughtAtBoundary("IoAttachDeviceToDeviceStack", PDEVICE_OBJECT{});
}

extern "C" VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice)
try
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "IoDetachDevice");
    host::IoState& state = host::State();
    std::lock_guard lock(state.mutex);
    PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
    if (above == nullptr)
    {
        host::Misuse("IoDetachDevice: nothing is attached to device " +
                     host::Address(TargetDevice));
        return;
    }
    auto record = state.devices.find(above);
    if (record != state.devices.end())
        record->second.lower = nullptr;
    TargetDevice->AttachedDevice = nullptr;
}
catch (...)
{
    host::CaughtAtBoundary("IoDetachDevice");
}

extern "C" PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
try
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "IoGetAttachedDeviceReference");
    host::IoState& state = host::State();
    std::lock_guard lock(state.mutex);
    PDEVICE_OBJECT top = host::TopOfStack(DeviceObject);
    InterlockedIncrement(&top->ReferenceCount);
    return top;
}
catch (...)
{
    return host::CaughtAtBoundary("IoGetAttachedDeviceReference", PDEVICE_OBJECT{});
}

extern "C" VOID NTAPI ObfDereferenceObject(PVOID Object)
try
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "ObfDereferenceObject");
    host::IoState& state = host::State();
    std::lock_guard lock(state.mutex);
    auto device = static_cast<PDEVICE_OBJECT>(Object);
    auto found = state.devices.find(device);
    if (found == state.devices.end())
    {
        host::ReportViolation(host::ViolationKind::Custom,
                              "ObfDereferenceObject: " + host::Address(Object) +
                                  " is not an object the host knows");
        return;
    }
    const LONG count = InterlockedDecrement(&device->ReferenceCount);
    if (count < 0)
    {
        host::ReportViolation(host::ViolationKind::Custom,
                              "ObfDereferenceObject: device " + host::Address(Object) +
                                  " dereferenced more often than referenced");
        device->ReferenceCount = 0;
    }
    if (device->ReferenceCount == 0 && found->second.deletePending)
        host::FreeDeviceLocked(state, device);
}
catch (...)
{
    host::CaughtAtBoundary("ObfDereferenceObject");
}

extern "C" PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject,
                                                   PVOID Buffer, ULONG Length,
                                                   PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                                   PIO_STATUS_BLOCK IoStatusBlock)
try
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "IoBuildSynchronousFsdRequest");
    if (MajorFunction > IRP_MJ_MAXIMUM_FUNCTION)
    {
        host::Misuse("IoBuildSynchronousFsdRequest: major function " +
                     std::to_string(MajorFunction) + " does not exist");
        return nullptr;
    }
    if (MajorFunction == IRP_MJ_PNP &&
        (Buffer != nullptr || Length != 0 || StartingOffset != nullptr))
        host::Misuse("IoBuildSynchronousFsdRequest: a PnP request carries no buffer, length or "
                     "offset");
    if (host::ShouldFail("IoBuildSynchronousFsdRequest"))
        return nullptr;

    const CCHAR stackSize = DeviceObject->StackSize;
    const std::size_t irpBytes = (sizeof(IRP) + 15) / 16 * 16;
    const std::size_t bytes = irpBytes + stackSize * sizeof(IO_STACK_LOCATION);
    void* memory = std::calloc(1, bytes);
    if (memory == nullptr)
        return nullptr;
    auto* irp = static_cast<PIRP>(memory);
    auto* locations =
        reinterpret_cast<PIO_STACK_LOCATION>(static_cast<unsigned char*>(memory) + irpBytes);
    irp->Type = host::kIoTypeIrp;
    irp->Size = static_cast<USHORT>(bytes);
    irp->StackCount = stackSize;
    // One past the last location: the first IofCallDriver moves onto it.
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = locations + stackSize;
    irp->ThreadListEntry.Flink = &irp->ThreadListEntry;
    irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
    irp->RequestorMode = KernelMode;
    irp->UserBuffer = Buffer;
    irp->UserEvent = Event;
    irp->UserIosb = IoStatusBlock;
    IoGetNextIrpStackLocation(irp)->MajorFunction = static_cast<UCHAR>(MajorFunction);

    host::IoState& state = host::State();
    std::lock_guard lock(state.mutex);
    state.irps.emplace(irp, host::IrpRecord{bytes});
    return irp;
}
catch (...)
{
    return host::CaughtAtBoundary("IoBuildSynchronousFsdRequest", PIRP{});
}

extern "C" NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
try
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "IofCallDriver");
    if (!host::IsLiveIrp(Irp, "IofCallDriver"))
        return STATUS_INVALID_PARAMETER;
    if (Irp->CurrentLocation <= 1)
    {
        host::Misuse("IofCallDriver: request " + host::Address(Irp) + " has no stack location " +
                     "left for device " + host::Address(DeviceObject) + " (stack count " +
                     std::to_string(Irp->StackCount) + ")");
        return STATUS_INVALID_PARAMETER;
    }
    const bool fromOriginator = Irp->CurrentLocation == Irp->StackCount + 1;
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    location->DeviceObject = DeviceObject;
    if (fromOriginator && location->MajorFunction == IRP_MJ_PNP &&
        Irp->IoStatus.Status != STATUS_NOT_SUPPORTED)
        host::Misuse("IofCallDriver: a PnP request must be sent with its status preset to "
                     "STATUS_NOT_SUPPORTED");
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    if (location->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION || driver == nullptr ||
        driver->MajorFunction[location->MajorFunction] == nullptr)
    {
        host::Misuse("IofCallDriver: device " + host::Address(DeviceObject) +
                     " has no dispatch routine for major function " +
                     std::to_string(location->MajorFunction));
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return driver->MajorFunction[location->MajorFunction](DeviceObject, Irp);
}
catch (...)
{
    return host::CaughtAtBoundary("IofCallDriver", STATUS_INSUFFICIENT_RESOURCES);
}

extern "C" VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
try
{
    UNREFERENCED_PARAMETER(PriorityBoost);
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
    if (!host::IsLiveIrp(Irp, "IofCompleteRequest"))
        return;
    if (Irp->CurrentLocation > Irp->StackCount)
    {
        host::Misuse("IofCompleteRequest: request " + host::Address(Irp) +
                     " is not with any driver (completed twice?)");
        return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING)
        host::Misuse("IofCompleteRequest: request " + host::Address(Irp) +
                     " completed with STATUS_PENDING");

    // Walk back up: each location holds the completion routine that the
    // driver above it set, which sees the device of its own location (none
    // for the originator).
    while (Irp->CurrentLocation <= Irp->StackCount)
    {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
        const UCHAR control = location->Control;
        PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
        PVOID context = location->Context;
        location->Control = 0;
        location->CompletionRoutine = nullptr;
        location->Context = nullptr;

        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        Irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0;
        const bool atTop = Irp->CurrentLocation > Irp->StackCount;

        if (routine != nullptr && host::ShouldInvoke(control, Irp))
        {
            PDEVICE_OBJECT device =
                atTop ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED)
                return;
        }
        else if (Irp->PendingReturned && !atTop)
        {
            IoMarkIrpPending(Irp);
        }
    }
    host::FinishSynchronousRequest(Irp);
}
catch (...)
{
    host::CaughtAtBoundary("IofCompleteRequest");
}

extern "C" BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion)
try
{
    const unsigned version = MajorVersion * 256u + MinorVersion;
    const unsigned wdm60 = 6 * 256u;
    if (host::State().wdm60.load())
        return version <= wdm60 ? TRUE : FALSE;
    return version < wdm60 ? TRUE : FALSE;
}
catch (...)
{
    return host::CaughtAtBoundary("IoIsWdmVersionAvailable", BOOLEAN{});
}
