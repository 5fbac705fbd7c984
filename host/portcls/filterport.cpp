#include "host/portcls/filterport.h"

#include "host/kernel/conduct.h"
#include "host/kernel/drivercall.h"
#include "host/kernel/irql.h"
#include "host/portcls/library.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace host::portcls
{
namespace
{

// Every filter port not yet destroyed; dead ones are skipped by lookups.
struct FilterPortRegistry
{
    std::mutex mutex;
    std::vector<FilterPort*> ports;
};

FilterPortRegistry& Registry()
{
    static FilterPortRegistry registry;
    return registry;
}

// Copies `count` entries laid out `stride` bytes apart into structures of the
// library's own size: a shorter stride leaves the rest zero, a longer one is
// the miniport's extension, not read.
template <class T> std::vector<T> CopyTable(const void* table, ULONG count, ULONG stride)
{
    std::vector<T> copies;
    if (table == nullptr || stride == 0)
        return copies;
    copies.resize(count);
    const auto* bytes = static_cast<const unsigned char*>(table);
    for (ULONG i = 0; i < count; ++i)
        std::memcpy(&copies[i], bytes + std::size_t{i} * stride,
                    std::min<std::size_t>(stride, sizeof(T)));
    return copies;
}

template <class T> std::vector<T> CopyArray(const T* table, ULONG count)
{
    if (table == nullptr)
        return {};
    return std::vector<T>(table, table + count);
}

} // namespace

FilterPort::FilterPort(const GUID& classId, const char* className, PUNKNOWN identity)
    : PortBase(classId, className), m_identity(identity)
{
    FilterPortRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    registry.ports.push_back(this);
}

FilterPort::~FilterPort()
{
    FilterPortRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    std::erase(registry.ports, this);
}

FilterPort* FilterPort::Acquire(PUNKNOWN unknown, bool initialisedOnly)
{
    if (unknown == nullptr)
        return nullptr;
    FilterPortRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    for (FilterPort* port : registry.ports)
    {
        if (port->m_identity == unknown && !port->IsDead() &&
            (port->m_initialised || !initialisedOnly))
        {
            port->AddPortReference();
            return port;
        }
    }
    return nullptr;
}

std::vector<FilterPort*> FilterPort::AcquireBoundPorts(PDEVICE_OBJECT deviceObject)
{
    std::vector<FilterPort*> bound;
    FilterPortRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    for (FilterPort* port : registry.ports)
    {
        if (!port->IsDead() && port->IsBound() && port->m_deviceObject == deviceObject)
        {
            port->AddPortReference();
            bound.push_back(port);
        }
    }
    return bound;
}

NTSTATUS FilterPort::BindMiniport(const char* method, PDEVICE_OBJECT deviceObject,
                                  PUNKNOWN unknownMiniport, REFIID miniportIid,
                                  const std::function<NTSTATUS(PUNKNOWN)>& initMiniport)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, method);
    if (!CheckAlive(method))
        return STATUS_INVALID_DEVICE_STATE;
    if (m_initialised || m_miniport != nullptr)
    {
        ReportViolation(ViolationKind::Custom,
                        std::string(method) + ": " + Name() + " initialised a second time");
        detail::RecordCall(method, Name(), STATUS_INVALID_DEVICE_REQUEST, this);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (unknownMiniport == nullptr)
    {
        detail::RecordCall(method, Name(), STATUS_INVALID_PARAMETER, this);
        return STATUS_INVALID_PARAMETER;
    }

    PVOID primary = nullptr;
    NTSTATUS status = unknownMiniport->QueryInterface(miniportIid, &primary);
    if (NT_SUCCESS(status) && primary == nullptr)
        status = STATUS_INVALID_PARAMETER;
    if (!NT_SUCCESS(status))
    {
        detail::RecordCall(method, "miniport refused " + GuidName(miniportIid), status, this);
        return status;
    }
    // Set before the miniport's Init: it may call back into the port.
    m_miniport = static_cast<PMINIPORT>(primary);
    m_deviceObject = deviceObject;

    PVOID powerNotify = nullptr;
    if (NT_SUCCESS(unknownMiniport->QueryInterface(IID_IPowerNotify, &powerNotify)))
        m_powerNotify = static_cast<PPOWERNOTIFY>(powerNotify);

    status = initMiniport(static_cast<PUNKNOWN>(primary));
    if (NT_SUCCESS(status))
        status = ReadDescription();
    if (!NT_SUCCESS(status))
    {
        ReleaseChildren();
        m_deviceObject = nullptr;
        detail::RecordCall(method, Name(), status, this);
        return status;
    }
    m_initialised = true;
    detail::RecordCall(method, Name(), STATUS_SUCCESS, this);
    return STATUS_SUCCESS;
}

NTSTATUS FilterPort::ReadDescription()
{
    PPCFILTER_DESCRIPTOR descriptor = nullptr;
    NTSTATUS status = GuardDriverCall("IMiniport::GetDescription",
                                      [&] { return m_miniport->GetDescription(&descriptor); });
    if (!NT_SUCCESS(status))
        return status;
    if (descriptor == nullptr)
    {
        ReportViolation(ViolationKind::Custom,
                        Name() + ": the miniport's GetDescription succeeded without a descriptor");
        return STATUS_INVALID_PARAMETER;
    }

    for (const std::string& finding : CheckFilterDescriptor(descriptor))
        ReportViolation(ViolationKind::Custom, "filter descriptor of " + Name() + ": " + finding);

    CapturedFilter filter;
    filter.header = *descriptor;
    filter.pins =
        CopyTable<PCPIN_DESCRIPTOR>(descriptor->Pins, descriptor->PinCount, descriptor->PinSize);
    filter.nodes = CopyTable<PCNODE_DESCRIPTOR>(descriptor->Nodes, descriptor->NodeCount,
                                                descriptor->NodeSize);
    filter.connections = CopyArray(descriptor->Connections, descriptor->ConnectionCount);
    filter.categories = CopyArray(descriptor->Categories, descriptor->CategoryCount);
    m_filter = std::move(filter);

    PCFILTER_DESCRIPTOR& header = m_filter.header;
    header.PinSize = sizeof(PCPIN_DESCRIPTOR);
    header.PinCount = static_cast<ULONG>(m_filter.pins.size());
    header.Pins = m_filter.pins.data();
    header.NodeSize = sizeof(PCNODE_DESCRIPTOR);
    header.NodeCount = static_cast<ULONG>(m_filter.nodes.size());
    header.Nodes = m_filter.nodes.data();
    header.ConnectionCount = static_cast<ULONG>(m_filter.connections.size());
    header.Connections = m_filter.connections.data();
    header.CategoryCount = static_cast<ULONG>(m_filter.categories.size());
    header.Categories = m_filter.categories.data();
    return STATUS_SUCCESS;
}

void FilterPort::ReleaseChildren()
{
    PMINIPORT miniport = m_miniport;
    PPOWERNOTIFY powerNotify = m_powerNotify;
    if (miniport == nullptr && powerNotify == nullptr)
        return;
    ReleaseClassChildren();
    m_powerNotify = nullptr;
    m_miniport = nullptr;
    detail::RecordCall("release children", Name(), STATUS_SUCCESS, this);
    // The miniport's last reference may be among these; its destructor
    // releases the reference it holds on this port.
    if (powerNotify != nullptr)
        powerNotify->Release();
    if (miniport != nullptr)
        miniport->Release();
}

NTSTATUS FilterPort::NotCarriedOut(const char* method)
{
    if (!CheckAlive(method))
        return STATUS_INVALID_DEVICE_STATE;
    detail::RecordCall(method, Name(), STATUS_NOT_IMPLEMENTED, this);
    ReportViolation(ViolationKind::Custom,
                    std::string(method) + " on a " + Name() +
                        ": the host does not carry it out, and the driver reads no registry "
                        "or device properties");
    return STATUS_NOT_IMPLEMENTED;
}

ULONG FilterPort::ReleasePort(const char* method)
{
    if (!IsDead() && References() == 1)
        ReleaseChildren();
    return Dereference(method);
}

namespace detail
{

void ReleaseBoundMiniports(PDEVICE_OBJECT adapterDevice)
{
    for (FilterPort* port : FilterPort::AcquireBoundPorts(adapterDevice))
    {
        port->ReleaseChildren();
        port->ReleasePortReference();
    }
}

} // namespace detail

void ReleaseMiniports(PDEVICE_OBJECT deviceObject)
{
    detail::ReleaseBoundMiniports(deviceObject);
}

} // namespace host::portcls

namespace host::portcls
{
namespace
{

std::optional<GUID> GuidAt(const GUID* guid)
{
    if (guid == nullptr)
        return std::nullopt;
    return *guid;
}

std::vector<PropertyItemDescription> PropertiesOf(const PCAUTOMATION_TABLE* table)
{
    std::vector<PropertyItemDescription> items;
    if (table == nullptr || table->Properties == nullptr ||
        table->PropertyItemSize < sizeof(PCPROPERTY_ITEM))
        return items;
    const auto* bytes = reinterpret_cast<const unsigned char*>(table->Properties);
    for (ULONG i = 0; i < table->PropertyCount; ++i)
    {
        const auto* item = reinterpret_cast<const PCPROPERTY_ITEM*>(
            bytes + std::size_t{i} * table->PropertyItemSize);
        items.push_back({item->Set != nullptr ? *item->Set : GUID{}, item->Id, item->Flags});
    }
    return items;
}

// Each range's FormatSize bytes; a range too short to say its size, or
// none at all, is left out (the descriptor check has reported it).
std::vector<std::vector<unsigned char>> RangesOf(const KSPIN_DESCRIPTOR& ks)
{
    std::vector<std::vector<unsigned char>> ranges;
    if (ks.DataRanges == nullptr)
        return ranges;
    for (ULONG r = 0; r < ks.DataRangesCount; ++r)
    {
        const PKSDATARANGE range = ks.DataRanges[r];
        if (range == nullptr || range->FormatSize < sizeof(KSDATARANGE))
            continue;
        const auto* bytes = reinterpret_cast<const unsigned char*>(range);
        ranges.emplace_back(bytes, bytes + range->FormatSize);
    }
    return ranges;
}

} // namespace

std::optional<FilterDescription> Description(PUNKNOWN port)
{
    FilterPort* filterPort = FilterPort::Acquire(port);
    if (filterPort == nullptr)
        return std::nullopt;
    const CapturedFilter& filter = filterPort->Filter();
    FilterDescription description;
    description.version = filter.header.Version;
    description.properties = PropertiesOf(filter.header.AutomationTable);
    for (const PCPIN_DESCRIPTOR& pin : filter.pins)
    {
        const KSPIN_DESCRIPTOR& ks = pin.KsPinDescriptor;
        description.pins.push_back({pin.MaxGlobalInstanceCount, pin.MaxFilterInstanceCount,
                                    pin.MinFilterInstanceCount, ks.DataFlow, ks.Communication,
                                    GuidAt(ks.Category), GuidAt(ks.Name), RangesOf(ks),
                                    PropertiesOf(pin.AutomationTable)});
    }
    for (const PCNODE_DESCRIPTOR& node : filter.nodes)
        description.nodes.push_back(
            {GuidAt(node.Type), GuidAt(node.Name), PropertiesOf(node.AutomationTable)});
    description.connections = filter.connections;
    description.categories = filter.categories;
    filterPort->ReleasePortReference();
    return description;
}

} // namespace host::portcls
