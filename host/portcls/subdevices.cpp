// PcRegisterSubdevice and PcRegisterPhysicalConnection: the library's record
// of the filters an adapter makes visible and of the connections between
// them.
//
// A registered subdevice lives on through the reference the library takes
// here, until the adapter's device is removed. Connections name their ends
// by the IUnknown of a registered port; a port answers IID_IUnknown with the
// pointer PcNewPort returned, so the two are compared as pointers.
#include "host/kernel/conduct.h"
#include "host/kernel/faults.h"
#include "host/kernel/irql.h"
#include "host/portcls/library.h"
#include "host/portcls/portclass.h"

#include "host/kernel/boundary.h"

#include <mutex>
#include <optional>
#include <unordered_map>

namespace host::portcls
{
namespace
{

struct DeviceSubdevices
{
    std::vector<Subdevice> subdevices;
    std::vector<PhysicalConnection> connections;
};

struct FailurePlan
{
    unsigned nth = 0; // 0: none
    NTSTATUS status = STATUS_SUCCESS;
    unsigned calls = 0;
};

struct SubdeviceRegistry
{
    std::mutex mutex;
    std::unordered_map<PDEVICE_OBJECT, DeviceSubdevices> devices;
    FailurePlan subdeviceFailure;
    FailurePlan connectionFailure;
};

SubdeviceRegistry& Registry()
{
    static SubdeviceRegistry registry;
    return registry;
}

// Counts a call against the plan; the failure status if this is the one.
std::optional<NTSTATUS> Planned(FailurePlan& plan)
{
    ++plan.calls;
    if (plan.nth != 0 && plan.calls == plan.nth)
        return plan.status;
    return std::nullopt;
}

std::u16string NameOf(PCWSTR name)
{
    std::u16string text;
    for (; *name != 0; ++name)
        text.push_back(static_cast<char16_t>(*name));
    return text;
}

std::string Narrow(const std::u16string& text)
{
    std::string narrow;
    for (char16_t c : text)
        narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return narrow;
}

// Call with the registry's mutex held.
std::u16string SubdeviceNameLocked(const DeviceSubdevices& device, PUNKNOWN unknown)
{
    for (const Subdevice& subdevice : device.subdevices)
    {
        if (subdevice.port == unknown)
            return subdevice.name;
    }
    return {};
}

} // namespace

std::vector<Subdevice> Subdevices(PDEVICE_OBJECT adapterDevice)
{
    SubdeviceRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    auto found = registry.devices.find(adapterDevice);
    return found == registry.devices.end() ? std::vector<Subdevice>{} : found->second.subdevices;
}

std::vector<PhysicalConnection> PhysicalConnections(PDEVICE_OBJECT adapterDevice)
{
    SubdeviceRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    auto found = registry.devices.find(adapterDevice);
    return found == registry.devices.end() ? std::vector<PhysicalConnection>{}
                                           : found->second.connections;
}

void FailSubdeviceRegistration(unsigned nth, NTSTATUS status)
{
    SubdeviceRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    registry.subdeviceFailure = {nth, status, 0};
}

void FailPhysicalConnection(unsigned nth, NTSTATUS status)
{
    SubdeviceRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    registry.connectionFailure = {nth, status, 0};
}

namespace detail
{

void ResetSubdeviceFailures()
{
    SubdeviceRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    registry.subdeviceFailure = {};
    registry.connectionFailure = {};
}

void ReleaseSubdevices(PDEVICE_OBJECT adapterDevice)
{
    // The ports' miniports first, registered or not: each holds its port.
    ReleaseBoundMiniports(adapterDevice);
    DeviceSubdevices released;
    {
        SubdeviceRegistry& registry = Registry();
        std::lock_guard lock(registry.mutex);
        auto found = registry.devices.find(adapterDevice);
        if (found == registry.devices.end())
            return;
        released = std::move(found->second);
        registry.devices.erase(found);
    }
    // In reverse order of registration, as the library tears filters down.
    for (auto it = released.subdevices.rbegin(); it != released.subdevices.rend(); ++it)
        it->port->Release();
}

} // namespace detail
} // namespace host::portcls

using host::portcls::detail::RecordCall;

extern "C" NTSTATUS NTAPI PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWCHAR Name,
                                              PUNKNOWN Unknown)
try
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "PcRegisterSubdevice");
    using namespace host::portcls;
    if (DeviceObject == nullptr || Name == nullptr || *Name == 0 || Unknown == nullptr ||
        !IsAdapterDevice(DeviceObject))
    {
        RecordCall("PcRegisterSubdevice", "", STATUS_INVALID_PARAMETER, DeviceObject);
        return STATUS_INVALID_PARAMETER;
    }
    const std::u16string name = NameOf(Name);
    const ULONG maxObjects = MaxObjects(DeviceObject);

    NTSTATUS status = STATUS_SUCCESS;
    {
        SubdeviceRegistry& registry = Registry();
        std::lock_guard lock(registry.mutex);
        DeviceSubdevices& device = registry.devices[DeviceObject];
        if (auto planned = Planned(registry.subdeviceFailure))
            status = *planned;
        else if (host::ShouldFail("PcRegisterSubdevice"))
            status = STATUS_INSUFFICIENT_RESOURCES;
        else if (!SubdeviceNameLocked(device, Unknown).empty())
            status = STATUS_INVALID_PARAMETER; // the same port twice
        else if (device.subdevices.size() >= maxObjects)
            status = STATUS_INSUFFICIENT_RESOURCES; // more than PcAddAdapterDevice allowed
        else
        {
            for (const Subdevice& subdevice : device.subdevices)
            {
                if (subdevice.name == name)
                    status = STATUS_OBJECT_NAME_COLLISION;
            }
        }
        if (NT_SUCCESS(status))
            device.subdevices.push_back({name, Unknown});
    }
    if (NT_SUCCESS(status))
        Unknown->AddRef();
    RecordCall("PcRegisterSubdevice", Narrow(name), status, DeviceObject);
    return status;
}
catch (...)
{
    return host::CaughtAtBoundary("PcRegisterSubdevice", STATUS_INSUFFICIENT_RESOURCES);
}

extern "C" NTSTATUS NTAPI PcRegisterPhysicalConnection(PDEVICE_OBJECT DeviceObject,
                                                       PUNKNOWN FromUnknown, ULONG FromPin,
                                                       PUNKNOWN ToUnknown, ULONG ToPin)
try
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "PcRegisterPhysicalConnection");
    using namespace host::portcls;
    if (DeviceObject == nullptr || FromUnknown == nullptr || ToUnknown == nullptr ||
        !IsAdapterDevice(DeviceObject))
    {
        RecordCall("PcRegisterPhysicalConnection", "", STATUS_INVALID_PARAMETER, DeviceObject);
        return STATUS_INVALID_PARAMETER;
    }

    NTSTATUS status = STATUS_SUCCESS;
    PhysicalConnection connection{};
    {
        SubdeviceRegistry& registry = Registry();
        std::lock_guard lock(registry.mutex);
        DeviceSubdevices& device = registry.devices[DeviceObject];
        connection = {SubdeviceNameLocked(device, FromUnknown), FromPin,
                      SubdeviceNameLocked(device, ToUnknown), ToPin, STATUS_SUCCESS};
        if (auto planned = Planned(registry.connectionFailure))
            status = *planned;
        else if (host::ShouldFail("PcRegisterPhysicalConnection"))
            status = STATUS_INSUFFICIENT_RESOURCES;
        else if (connection.from.empty() || connection.to.empty())
            status = STATUS_INVALID_PARAMETER; // an end that is no registered subdevice
        connection.status = status;
        device.connections.push_back(connection);
    }
    RecordCall("PcRegisterPhysicalConnection",
               Narrow(connection.from) + " pin " + std::to_string(FromPin) + " -> " +
                   Narrow(connection.to) + " pin " + std::to_string(ToPin),
               status, DeviceObject);
    return status;
}
catch (...)
{
    return host::CaughtAtBoundary("PcRegisterPhysicalConnection", STATUS_INSUFFICIENT_RESOURCES);
}
