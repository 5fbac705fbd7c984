// The adapter side of the library: driver initialisation, the adapter's
// device object, its PnP handling, and the library's part of the device
// extension.
//
// Locking: the registry of adapter devices is under one mutex that is never
// held while a driver routine or a lower driver runs.
#include "host/portcls/portclass.h"

#include "host/kernel/boundary.h"
#include "host/kernel/conduct.h"
#include "host/kernel/drivercall.h"
#include "host/kernel/faults.h"
#include "host/kernel/iomanager.h"
#include "host/kernel/irql.h"
#include "host/portcls/library.h"
#include "host/portcls/resourcelist.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <unordered_set>

namespace host::portcls
{
namespace
{

constexpr ULONG kExtensionMagic = 0x78456350; // "PcEx" in memory

// The library's state at the start of the adapter's device extension. The
// rest of the first PORT_CLASS_DEVICE_EXTENSION_SIZE bytes carries a fill
// pattern, so that a write anywhere into the library's part shows.
struct LibraryExtension
{
    ULONG magic;
    ULONG maxObjects;
    PDEVICE_OBJECT physicalDevice;
    PDEVICE_OBJECT lowerDevice;
    PCPFNSTARTDEVICE startDevice;
    ULONG extensionSize;
    ULONG reserved;
};
static_assert(sizeof(LibraryExtension) <= PORT_CLASS_DEVICE_EXTENSION_SIZE);

struct AdapterRecord
{
    LibraryExtension expected; // what the library wrote; the extension must still hold it
};

struct AdapterRegistry
{
    std::mutex mutex;
    std::unordered_set<PDRIVER_OBJECT> drivers; // PcInitializeAdapterDriver done
    std::unordered_map<PDEVICE_OBJECT, AdapterRecord> adapters;
};

AdapterRegistry& Registry()
{
    static AdapterRegistry registry;
    return registry;
}

std::string Address(const void* address)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%p", address);
    return text;
}

LibraryExtension* ExtensionOf(PDEVICE_OBJECT adapterDevice)
{
    return static_cast<LibraryExtension*>(adapterDevice->DeviceExtension);
}

std::optional<AdapterRecord> FindAdapter(PDEVICE_OBJECT adapterDevice)
{
    AdapterRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    auto found = registry.adapters.find(adapterDevice);
    if (found == registry.adapters.end())
        return std::nullopt;
    return found->second;
}

void WriteLibraryExtension(PDEVICE_OBJECT adapterDevice, const LibraryExtension& state)
{
    auto* bytes = static_cast<unsigned char*>(adapterDevice->DeviceExtension);
    for (std::size_t offset = sizeof(LibraryExtension); offset < PORT_CLASS_DEVICE_EXTENSION_SIZE;
         ++offset)
        bytes[offset] = LibraryFillByte(offset);
    std::memcpy(bytes, &state, sizeof(state));
}

// Gives the request back to the library once the lower driver is done.
NTSTATUS NTAPI LowerDone(PDEVICE_OBJECT, PIRP, PVOID context)
try
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
catch (...)
{
    return host::CaughtAtBoundary("LowerDone", STATUS_INSUFFICIENT_RESOURCES);
}

// Sends the request down and waits until the lower driver completed it; the
// request is the library's again afterwards.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT lowerDevice, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, LowerDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(lowerDevice, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The lower driver starts first; the adapter's start routine then gets the
// device object, the start request and the device's resources.
NTSTATUS StartAdapter(PDEVICE_OBJECT adapterDevice, PIRP irp, const LibraryExtension& state)
{
    NTSTATUS status = ForwardAndWait(state.lowerDevice, irp);
    detail::RecordCall("lower driver start", "", status, adapterDevice);
    if (NT_SUCCESS(status))
    {
        auto* resources = new ResourceList();
        status = GuardDriverCall("StartDevice routine",
                                 [&] { return state.startDevice(adapterDevice, irp, resources); });
        resources->Release();
        detail::RecordCall("StartDevice routine", "", status, adapterDevice);
        CheckLibraryExtensionIntact(adapterDevice);
    }
    return CompleteRequest(irp, status);
}

// Down the stack first, then the adapter's device object goes.
NTSTATUS RemoveAdapter(PDEVICE_OBJECT adapterDevice, PIRP irp, const LibraryExtension& state)
{
    CheckLibraryExtensionIntact(adapterDevice);
    IoSkipCurrentIrpStackLocation(irp);
    const NTSTATUS status = IoCallDriver(state.lowerDevice, irp);
    {
        AdapterRegistry& registry = Registry();
        std::lock_guard lock(registry.mutex);
        registry.adapters.erase(adapterDevice);
    }
    detail::ReleaseSubdevices(adapterDevice);
    IoDetachDevice(state.lowerDevice);
    IoDeleteDevice(adapterDevice);
    detail::RecordCall("remove device", "", status, adapterDevice);
    return status;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp)
try
{
    auto adapter = FindAdapter(deviceObject);
    if (!adapter)
    {
        ReportViolation(ViolationKind::Custom,
                        "port class PnP dispatch: " + Address(deviceObject) +
                            " is not a device object made by PcAddAdapterDevice");
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    // The library's state is read from where the library keeps it: the
    // extension (the shadow copy only tells whether it is intact).
    const LibraryExtension state = *ExtensionOf(deviceObject);
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    switch (minor)
    {
    case IRP_MN_START_DEVICE:
        return StartAdapter(deviceObject, irp, state);
    case IRP_MN_REMOVE_DEVICE:
        return RemoveAdapter(deviceObject, irp, state);
    default:
        // Everything else is the lower drivers' to answer; in particular
        // the query for the engine interface that the driver sends to its
        // own device object.
        detail::RecordCall("PnP forwarded", std::to_string(minor), STATUS_SUCCESS, deviceObject);
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(state.lowerDevice, irp);
    }
}
catch (...)
{
    return host::CaughtAtBoundary("DispatchPnp", STATUS_INSUFFICIENT_RESOURCES);
}

// WMI requests travel down the stack, as on the platform.
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT deviceObject, PIRP irp)
try
{
    auto adapter = FindAdapter(deviceObject);
    if (!adapter)
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ExtensionOf(deviceObject)->lowerDevice, irp);
}
catch (...)
{
    return host::CaughtAtBoundary("DispatchSystemControl", STATUS_INSUFFICIENT_RESOURCES);
}

// Create, close and device control reach the filters of registered
// subdevices; power goes to the adapter's power handling. Both come with
// subdevice registration; until then the library refuses them.
NTSTATUS NTAPI DispatchNotYetCarriedOut(PDEVICE_OBJECT deviceObject, PIRP irp)
try
{
    detail::RecordCall("dispatch refused",
                       std::to_string(IoGetCurrentIrpStackLocation(irp)->MajorFunction),
                       STATUS_INVALID_DEVICE_REQUEST, deviceObject);
    return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
}
catch (...)
{
    return host::CaughtAtBoundary("DispatchNotYetCarriedOut", STATUS_INSUFFICIENT_RESOURCES);
}

bool WasInitialised(PDRIVER_OBJECT driver)
{
    AdapterRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    return registry.drivers.contains(driver);
}

} // namespace

unsigned char LibraryFillByte(std::size_t offset)
{
    // Position-dependent, so that a block copied within the extension shows.
    return static_cast<unsigned char>(0xA5 ^ (offset * 7));
}

bool CheckLibraryExtensionIntact(PDEVICE_OBJECT adapterDevice)
{
    auto adapter = FindAdapter(adapterDevice);
    if (!adapter)
    {
        ReportViolation(ViolationKind::Custom,
                        "CheckLibraryExtensionIntact: " + Address(adapterDevice) +
                            " is not an adapter's device object");
        return false;
    }
    const auto* bytes = static_cast<const unsigned char*>(adapterDevice->DeviceExtension);
    const auto* expected = reinterpret_cast<const unsigned char*>(&adapter->expected);
    for (std::size_t offset = 0; offset < PORT_CLASS_DEVICE_EXTENSION_SIZE; ++offset)
    {
        const unsigned char want =
            offset < sizeof(LibraryExtension) ? expected[offset] : LibraryFillByte(offset);
        if (bytes[offset] != want)
        {
            ReportViolation(ViolationKind::Custom,
                            "device extension of " + Address(adapterDevice) + ": byte " +
                                std::to_string(offset) + " of the port class library's first " +
                                std::to_string(PORT_CLASS_DEVICE_EXTENSION_SIZE) +
                                " bytes was overwritten by the driver");
            return false;
        }
    }
    return true;
}

PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT adapterDevice)
{
    auto adapter = FindAdapter(adapterDevice);
    return adapter ? adapter->expected.lowerDevice : nullptr;
}

ULONG MaxObjects(PDEVICE_OBJECT adapterDevice)
{
    auto adapter = FindAdapter(adapterDevice);
    return adapter ? adapter->expected.maxObjects : 0;
}

bool IsAdapterDevice(PDEVICE_OBJECT adapterDevice)
{
    return FindAdapter(adapterDevice).has_value();
}

namespace
{

// Builds and sends one PnP request to the adapter's device object, as the PnP
// manager does: status preset to STATUS_NOT_SUPPORTED, waited for.
NTSTATUS SendPnp(PDEVICE_OBJECT adapterDevice, UCHAR minor)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "host::portcls PnP request");
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp = nullptr;
    {
        // The PnP manager's own request is not the driver's to fail; what
        // the driver does while handling it stays failable.
        FaultExemption systemStep;
        irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, adapterDevice, nullptr, 0, nullptr, &done,
                                           &ioStatus);
    }
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MinorFunction = minor;
    NTSTATUS status = IoCallDriver(adapterDevice, irp);
    if (status == STATUS_PENDING)
    {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

} // namespace

NTSTATUS StartDevice(PDEVICE_OBJECT adapterDevice)
{
    return SendPnp(adapterDevice, IRP_MN_START_DEVICE);
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT adapterDevice)
{
    return SendPnp(adapterDevice, IRP_MN_REMOVE_DEVICE);
}

} // namespace host::portcls

using host::portcls::detail::RecordCall;

extern "C" NTSTATUS NTAPI PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject,
                                                    PUNICODE_STRING RegistryPathName,
                                                    PDRIVER_ADD_DEVICE AddDevice)
try
{
    UNREFERENCED_PARAMETER(RegistryPathName);
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "PcInitializeAdapterDriver");
    if (DriverObject == nullptr || AddDevice == nullptr)
    {
        RecordCall("PcInitializeAdapterDriver", "", STATUS_INVALID_PARAMETER, DriverObject);
        return STATUS_INVALID_PARAMETER;
    }

    for (PDRIVER_DISPATCH& dispatch : DriverObject->MajorFunction)
        dispatch = host::portcls::DispatchNotYetCarriedOut;
    DriverObject->MajorFunction[IRP_MJ_PNP] = host::portcls::DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = host::portcls::DispatchSystemControl;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    {
        auto& registry = host::portcls::Registry();
        std::lock_guard lock(registry.mutex);
        registry.drivers.insert(DriverObject);
    }
    RecordCall("PcInitializeAdapterDriver", "", STATUS_SUCCESS, DriverObject);
    return STATUS_SUCCESS;
}
catch (...)
{
    return host::CaughtAtBoundary("PcInitializeAdapterDriver", STATUS_INSUFFICIENT_RESOURCES);
}

extern "C" NTSTATUS NTAPI PcAddAdapterDevice(PDRIVER_OBJECT DriverObject,
                                             PDEVICE_OBJECT PhysicalDeviceObject,
                                             PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects,
                                             ULONG DeviceExtensionSize)
try
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "PcAddAdapterDevice");
    const std::string detail = "extension " + std::to_string(DeviceExtensionSize) +
                               ", max objects " + std::to_string(MaxObjects);
    // The library's part of the extension comes first; a smaller extension
    // leaves no room for the driver's.
    if (DriverObject == nullptr || PhysicalDeviceObject == nullptr || StartDevice == nullptr ||
        DeviceExtensionSize < PORT_CLASS_DEVICE_EXTENSION_SIZE)
    {
        RecordCall("PcAddAdapterDevice", detail, STATUS_INVALID_PARAMETER, DriverObject);
        return STATUS_INVALID_PARAMETER;
    }
    if (!host::portcls::WasInitialised(DriverObject))
        host::ReportViolation(host::ViolationKind::Custom,
                              "PcAddAdapterDevice: the driver object was not given to "
                              "PcInitializeAdapterDriver first");

    PDEVICE_OBJECT adapterDevice = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, DeviceExtensionSize, nullptr, FILE_DEVICE_KS, 0,
                                     FALSE, &adapterDevice);
    if (!NT_SUCCESS(status))
    {
        RecordCall("PcAddAdapterDevice", detail, status, DriverObject);
        return status;
    }
    PDEVICE_OBJECT lowerDevice = IoAttachDeviceToDeviceStack(adapterDevice, PhysicalDeviceObject);
    if (lowerDevice == nullptr)
    {
        IoDeleteDevice(adapterDevice);
        RecordCall("PcAddAdapterDevice", detail, STATUS_NO_SUCH_DEVICE, DriverObject);
        return STATUS_NO_SUCH_DEVICE;
    }

    host::portcls::LibraryExtension state{};
    state.magic = host::portcls::kExtensionMagic;
    state.maxObjects = MaxObjects;
    state.physicalDevice = PhysicalDeviceObject;
    state.lowerDevice = lowerDevice;
    state.startDevice = StartDevice;
    state.extensionSize = DeviceExtensionSize;
    host::portcls::WriteLibraryExtension(adapterDevice, state);
    {
        auto& registry = host::portcls::Registry();
        std::lock_guard lock(registry.mutex);
        registry.adapters[adapterDevice] = host::portcls::AdapterRecord{state};
    }
    adapterDevice->Flags |= DO_POWER_PAGABLE;
    adapterDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    RecordCall("PcAddAdapterDevice", detail, STATUS_SUCCESS, adapterDevice);
    return STATUS_SUCCESS;
}
catch (...)
{
    return host::CaughtAtBoundary("PcAddAdapterDevice", STATUS_INSUFFICIENT_RESOURCES);
}
