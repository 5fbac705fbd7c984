#include "host/portcls/filterdispatch.h"

#include "host/kernel/conduct.h"
#include "host/kernel/drivercall.h"
#include "host/kernel/irql.h"
#include "host/portcls/filterport.h"
#include "host/portcls/library.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace host::portcls
{
namespace
{

constexpr ULONG kVerbs = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;

bool IsWildcard(const GUID& guid)
{
    return IsEqualGUID(guid, GUID_NULL);
}

bool GuidsMatch(const GUID& a, const GUID& b)
{
    return IsEqualGUID(a, b) || IsWildcard(a) || IsWildcard(b);
}

// A reference on a filter port for the length of one request.
class HeldPort
{
public:
    explicit HeldPort(PUNKNOWN unknown) : m_port(FilterPort::Acquire(unknown)) {}
    ~HeldPort()
    {
        if (m_port != nullptr)
            m_port->ReleasePortReference();
    }
    HeldPort(const HeldPort&) = delete;
    HeldPort& operator=(const HeldPort&) = delete;

    FilterPort* operator->() const { return m_port; }
    // Not a port, or one whose miniport went with its device.
    NTSTATUS Usable() const
    {
        if (m_port == nullptr)
            return STATUS_INVALID_PARAMETER;
        return m_port->IsBound() ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
    }

private:
    FilterPort* m_port;
};

std::string ItemName(const PropertyRequest& request)
{
    return GuidName(request.set) + "/" + std::to_string(request.id) + " node " +
           (request.node == kFilterNode ? std::string("filter") : std::to_string(request.node));
}

// The automation table the request addresses, or a status for a node the
// filter does not have.
NTSTATUS FindTable(const CapturedFilter& filter, ULONG node, const PCAUTOMATION_TABLE** table)
{
    if (node == kFilterNode)
    {
        *table = filter.header.AutomationTable;
        return STATUS_SUCCESS;
    }
    if (node >= filter.nodes.size())
        return STATUS_INVALID_PARAMETER;
    *table = filter.nodes[node].AutomationTable;
    return STATUS_SUCCESS;
}

const PCPROPERTY_ITEM* FindItem(const PCAUTOMATION_TABLE* table, const GUID& set, ULONG id)
{
    if (table == nullptr || table->Properties == nullptr ||
        table->PropertyItemSize < sizeof(PCPROPERTY_ITEM))
        return nullptr;
    const auto* bytes = reinterpret_cast<const unsigned char*>(table->Properties);
    for (ULONG i = 0; i < table->PropertyCount; ++i)
    {
        const auto* item = reinterpret_cast<const PCPROPERTY_ITEM*>(
            bytes + std::size_t{i} * table->PropertyItemSize);
        if (item->Set != nullptr && IsEqualGUID(*item->Set, set) && item->Id == id)
            return item;
    }
    return nullptr;
}

// Basic support for an item whose handler does not take it: the access
// flags the item's flags give, or a whole KSPROPERTY_DESCRIPTION when the
// buffer holds one.
PropertyResult LibraryBasicSupport(const PCPROPERTY_ITEM& item, void* value, ULONG valueSize)
{
    const ULONG access =
        KSPROPERTY_TYPE_BASICSUPPORT | (item.Flags & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET));
    if (valueSize == 0)
        return {STATUS_BUFFER_OVERFLOW, sizeof(KSPROPERTY_DESCRIPTION), false};
    if (valueSize < sizeof(ULONG) || value == nullptr)
        return {STATUS_BUFFER_TOO_SMALL, 0, false};
    if (valueSize < sizeof(KSPROPERTY_DESCRIPTION))
    {
        std::memcpy(value, &access, sizeof(access));
        return {STATUS_SUCCESS, sizeof(ULONG), false};
    }
    KSPROPERTY_DESCRIPTION description{};
    description.AccessFlags = access;
    description.DescriptionSize = sizeof(KSPROPERTY_DESCRIPTION);
    description.PropTypeSet.Set = KSPROPTYPESETID_General;
    description.PropTypeSet.Id = 0; // VT_EMPTY: the library knows no type
    description.MembersListCount = 0;
    std::memcpy(value, &description, sizeof(description));
    return {STATUS_SUCCESS, sizeof(KSPROPERTY_DESCRIPTION), false};
}

PropertyResult CallHandler(const FilterPort& port, const PCPROPERTY_ITEM& item,
                           const PropertyRequest& request, ULONG verb)
{
    // The handler works on a buffer of exactly the client's size, so that
    // writing past it is caught rather than landing in the caller's memory.
    std::unique_ptr<unsigned char[]> buffer;
    if (request.valueSize != 0)
    {
        buffer = std::make_unique<unsigned char[]>(request.valueSize);
        if (request.value != nullptr)
            std::memcpy(buffer.get(), request.value, request.valueSize);
    }
    PCPROPERTY_REQUEST pcRequest{};
    pcRequest.MajorTarget = port.MiniportTarget();
    pcRequest.MinorTarget = nullptr;
    pcRequest.Node = request.node;
    pcRequest.PropertyItem = &item;
    pcRequest.Verb = verb;
    pcRequest.InstanceSize = 0;
    pcRequest.Instance = nullptr;
    pcRequest.ValueSize = request.valueSize;
    pcRequest.Value = buffer.get();
    pcRequest.Irp = nullptr;

    const NTSTATUS status =
        GuardDriverCall("property handler", [&] { return item.Handler(&pcRequest); });
    detail::RecordCall("property handler", ItemName(request), status, &port);

    if (NT_SUCCESS(status) && pcRequest.ValueSize > request.valueSize)
        ReportViolation(ViolationKind::Custom,
                        "property handler for " + ItemName(request) + " reported " +
                            std::to_string(pcRequest.ValueSize) + " bytes in a buffer of " +
                            std::to_string(request.valueSize));
    if (request.value != nullptr && request.valueSize != 0)
        std::memcpy(request.value, buffer.get(), request.valueSize);
    return {status, pcRequest.ValueSize, true};
}

} // namespace

PropertyResult DispatchProperty(PUNKNOWN port, const PropertyRequest& request)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "property request");
    HeldPort held(port);
    if (const NTSTATUS usable = held.Usable(); !NT_SUCCESS(usable))
        return {usable, 0, false};

    const PCAUTOMATION_TABLE* table = nullptr;
    if (const NTSTATUS found = FindTable(held->Filter(), request.node, &table); !NT_SUCCESS(found))
        return {found, 0, false};
    const PCPROPERTY_ITEM* item = FindItem(table, request.set, request.id);
    if (item == nullptr)
        return {STATUS_NOT_FOUND, 0, false};

    // The node request flag says where the request goes, which the node
    // index already tells; the handler sees the verb alone.
    const ULONG verb = request.verb & ~KSPROPERTY_TYPE_TOPOLOGY;
    if (verb != KSPROPERTY_TYPE_GET && verb != KSPROPERTY_TYPE_SET &&
        verb != KSPROPERTY_TYPE_BASICSUPPORT)
        return {STATUS_INVALID_PARAMETER, 0, false};
    if ((item->Flags & verb & kVerbs) == 0)
    {
        if (verb == KSPROPERTY_TYPE_BASICSUPPORT)
            return LibraryBasicSupport(*item, request.value, request.valueSize);
        return {STATUS_INVALID_DEVICE_REQUEST, 0, false};
    }
    if (item->Handler == nullptr)
        return {STATUS_INVALID_DEVICE_REQUEST, 0, false};
    return CallHandler(*held.operator->(), *item, request, verb);
}

NTSTATUS GetProperty(PUNKNOWN port, const GUID& set, ULONG id, ULONG node, void* value,
                     ULONG valueSize, ULONG* valueSizeOut)
{
    const PropertyResult result =
        DispatchProperty(port, {set, id, KSPROPERTY_TYPE_GET, node, value, valueSize});
    if (valueSizeOut != nullptr)
        *valueSizeOut = result.valueSize;
    return result.status;
}

NTSTATUS SetProperty(PUNKNOWN port, const GUID& set, ULONG id, ULONG node, void* value,
                     ULONG valueSize, ULONG* valueSizeOut)
{
    const PropertyResult result =
        DispatchProperty(port, {set, id, KSPROPERTY_TYPE_SET, node, value, valueSize});
    if (valueSizeOut != nullptr)
        *valueSizeOut = result.valueSize;
    return result.status;
}

bool DataRangesMatch(const KSDATARANGE& a, const KSDATARANGE& b)
{
    return GuidsMatch(a.MajorFormat, b.MajorFormat) && GuidsMatch(a.SubFormat, b.SubFormat) &&
           GuidsMatch(a.Specifier, b.Specifier);
}

NTSTATUS DefaultDataRangeIntersection(const KSDATARANGE& clientRange, const KSDATARANGE& pinRange,
                                      ULONG outputBufferLength, void* resultantFormat,
                                      ULONG* resultantFormatLength)
{
    if (pinRange.FormatSize != sizeof(KSDATARANGE) || !DataRangesMatch(clientRange, pinRange))
        return STATUS_NO_MATCH;
    if (outputBufferLength == 0)
    {
        *resultantFormatLength = sizeof(KSDATAFORMAT);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (outputBufferLength < sizeof(KSDATAFORMAT) || resultantFormat == nullptr)
        return STATUS_BUFFER_TOO_SMALL;

    KSDATAFORMAT format = pinRange;
    format.FormatSize = sizeof(KSDATAFORMAT);
    if (IsWildcard(format.MajorFormat))
        format.MajorFormat = clientRange.MajorFormat;
    if (IsWildcard(format.SubFormat))
        format.SubFormat = clientRange.SubFormat;
    if (IsWildcard(format.Specifier))
        format.Specifier = clientRange.Specifier;
    std::memcpy(resultantFormat, &format, sizeof(format));
    *resultantFormatLength = sizeof(KSDATAFORMAT);
    return STATUS_SUCCESS;
}

namespace
{

// A client range in a buffer of its own, exactly FormatSize long (not
// rounded up to whole words, so that the sanitizers see a read of even one
// byte past it), 8-byte aligned as a KSDATARANGE must be.
constexpr std::align_val_t kRangeAlignment{alignof(LONGLONG)};

struct AlignedDelete
{
    void operator()(void* block) const { ::operator delete(block, kRangeAlignment); }
};

struct ClientRange
{
    std::unique_ptr<void, AlignedDelete> storage;
    KSDATARANGE* range;
};

NTSTATUS CopyClientRanges(const std::vector<std::vector<unsigned char>>& clientRanges,
                          std::vector<ClientRange>& copies)
{
    if (clientRanges.empty())
        return STATUS_INVALID_PARAMETER;
    for (const std::vector<unsigned char>& bytes : clientRanges)
    {
        if (bytes.size() < sizeof(KSDATARANGE))
            return STATUS_INVALID_PARAMETER;
        ULONG formatSize = 0;
        std::memcpy(&formatSize, bytes.data(), sizeof(formatSize));
        if (formatSize != bytes.size())
            return STATUS_INVALID_PARAMETER;
        std::unique_ptr<void, AlignedDelete> storage(::operator new(bytes.size(), kRangeAlignment));
        std::memcpy(storage.get(), bytes.data(), bytes.size());
        auto* range = reinterpret_cast<KSDATARANGE*>(storage.get());
        copies.push_back({std::move(storage), range});
    }
    return STATUS_SUCCESS;
}

// One pair: the miniport first, the library's default if it declines.
NTSTATUS IntersectPair(const FilterPort& port, ULONG pin, KSDATARANGE* client, KSDATARANGE* mine,
                       ULONG outputBufferLength, void* output, ULONG* length, bool* byDefault)
{
    NTSTATUS status = STATUS_SUCCESS;
    {
        DriverCallGuard guard("IMiniport::DataRangeIntersection");
        status = port.Miniport()->DataRangeIntersection(pin, client, mine, outputBufferLength,
                                                        output, length);
    }
    *byDefault = false;
    if (status == STATUS_NOT_IMPLEMENTED)
    {
        *byDefault = true;
        status = DefaultDataRangeIntersection(*client, *mine, outputBufferLength, output, length);
    }
    return status;
}

} // namespace

IntersectionResult IntersectDataRanges(PUNKNOWN port, ULONG pin,
                                       const std::vector<std::vector<unsigned char>>& clientRanges,
                                       ULONG outputBufferLength)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "data-range intersection");
    IntersectionResult result;
    HeldPort held(port);
    if (const NTSTATUS usable = held.Usable(); !NT_SUCCESS(usable))
    {
        result.status = usable;
        return result;
    }
    const CapturedFilter& filter = held->Filter();
    std::vector<ClientRange> clients;
    if (pin >= filter.pins.size() || !NT_SUCCESS(CopyClientRanges(clientRanges, clients)))
    {
        result.status = STATUS_INVALID_PARAMETER;
        return result;
    }

    // Exactly as long as the client said; none at all for a size query.
    std::unique_ptr<unsigned char[]> output;
    if (outputBufferLength != 0)
        output = std::make_unique<unsigned char[]>(outputBufferLength);

    const KSPIN_DESCRIPTOR& ks = filter.pins[pin].KsPinDescriptor;
    for (const ClientRange& client : clients)
    {
        for (ULONG r = 0; ks.DataRanges != nullptr && r < ks.DataRangesCount; ++r)
        {
            KSDATARANGE* mine = ks.DataRanges[r];
            if (mine == nullptr || mine->FormatSize < sizeof(KSDATARANGE) ||
                !DataRangesMatch(*client.range, *mine))
                continue;
            ULONG length = 0;
            bool byDefault = false;
            const NTSTATUS status =
                IntersectPair(*held.operator->(), pin, client.range, mine, outputBufferLength,
                              output.get(), &length, &byDefault);
            detail::RecordCall("data-range intersection",
                               "pin " + std::to_string(pin) + (byDefault ? " (default)" : ""),
                               status, held.operator->());
            if (status == STATUS_NO_MATCH)
                continue;
            result.status = status;
            result.length = length;
            result.byDefaultHandler = byDefault;
            if (NT_SUCCESS(status))
            {
                if (length > outputBufferLength)
                    ReportViolation(ViolationKind::Custom,
                                    "data-range intersection on pin " + std::to_string(pin) +
                                        " reported a " + std::to_string(length) +
                                        "-byte format in a buffer of " +
                                        std::to_string(outputBufferLength));
                const ULONG written = std::min(length, outputBufferLength);
                result.format.assign(output.get(), output.get() + written);
            }
            return result;
        }
    }
    result.status = STATUS_NO_MATCH;
    return result;
}

} // namespace host::portcls
