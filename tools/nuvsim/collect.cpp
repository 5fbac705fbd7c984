#include "tools/nuvsim/collect.h"

#include "host/kernel/conduct.h"
#include "host/kernel/iomanager.h"
#include "host/portcls/portclass.h"
#include "host/portcls/system.h"

#include <ks.h>

#include <algorithm>
#include <ostream>
#include <string>

namespace nuvsim
{
namespace
{

std::string Narrow(const std::u16string& text)
{
    std::string narrow;
    for (char16_t c : text)
    {
        narrow += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return narrow;
}

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.rfind(prefix, 0) == 0;
}

// Pairs by their reference strings: NUV_Wave<n> with NUV_Mixer<n>.
std::vector<PairView> PairFilters(const std::vector<FilterView>& filters)
{
    std::vector<PairView> pairs;
    for (const FilterView& filter : filters)
    {
        if (!StartsWith(filter.referenceString, "NUV_Wave"))
        {
            continue;
        }
        PairView pair;
        pair.wave = filter.referenceString;
        pair.deviceIndex = filter.deviceIndex;
        const std::string mixer = "NUV_Mixer" + filter.referenceString.substr(8);
        for (const FilterView& other : filters)
        {
            if (other.referenceString == mixer)
            {
                pair.topology = mixer;
            }
        }
        pairs.push_back(pair);
    }
    return pairs;
}

const char* KindOf(PUNKNOWN port)
{
    struct Kind
    {
        const GUID* iid;
        const char* name;
    };
    for (const Kind& kind : {Kind{&IID_IPortWavePci, "wave"}, Kind{&IID_IPortTopology, "topology"}})
    {
        PUNKNOWN answer = nullptr;
        if (NT_SUCCESS(port->QueryInterface(*kind.iid, reinterpret_cast<PVOID*>(&answer))))
        {
            answer->Release();
            return kind.name;
        }
    }
    return "unknown";
}

// NUV_Wave<n> and NUV_Mixer<n> are pair n - 1.
std::optional<ULONG> DeviceIndexOf(const std::string& referenceString)
{
    for (const char* prefix : {"NUV_Wave", "NUV_Mixer"})
    {
        const std::string number = referenceString.substr(
            std::min(referenceString.size(), std::char_traits<char>::length(prefix)));
        if (StartsWith(referenceString, prefix) && number.size() == 1 && number[0] >= '1' &&
            number[0] <= '9')
        {
            return static_cast<ULONG>(number[0] - '1');
        }
    }
    return std::nullopt;
}

// The filter as the port read it during its Init, and its component
// identifier asked for the way a client asks: through the library's
// property dispatch.
void ReadFilter(PUNKNOWN port, FilterView& filter)
{
    filter.kind = KindOf(port);
    filter.deviceIndex = DeviceIndexOf(filter.referenceString);

    std::optional<host::portcls::FilterDescription> description = host::portcls::Description(port);
    if (!description)
    {
        return;
    }
    for (ULONG id = 0; id < description->pins.size(); id++)
    {
        const host::portcls::PinDescription& pin = description->pins[id];
        PinView view;
        view.id = id;
        view.dataFlow = pin.dataFlow;
        view.communication = pin.communication;
        view.category = pin.category;
        view.name = pin.name;
        view.maxGlobalInstances = pin.maxGlobalInstanceCount;
        view.maxFilterInstances = pin.maxFilterInstanceCount;
        view.minFilterInstances = pin.minFilterInstanceCount;
        for (const std::vector<unsigned char>& range : pin.dataRanges)
        {
            view.dataRanges.push_back(ReadDataRange(range));
        }
        filter.pins.push_back(view);
    }
    for (ULONG id = 0; id < description->nodes.size(); id++)
    {
        filter.nodes.push_back({id, description->nodes[id].type, description->nodes[id].name});
    }
    for (const PCCONNECTION_DESCRIPTOR& c : description->connections)
    {
        filter.connections.push_back({c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin});
    }
    filter.categories = description->categories;

    KSCOMPONENTID componentId{};
    ULONG size = 0;
    filter.componentIdStatus = host::portcls::GetProperty(
        port, KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, host::portcls::kFilterNode,
        &componentId, sizeof(componentId), &size);
    if (NT_SUCCESS(filter.componentIdStatus) && size == sizeof(componentId))
    {
        filter.componentId = componentId;
    }
}

} // namespace

std::optional<DeviceView> StartAndCollect(const host::DriverBinary& driver, bool withoutWdm6,
                                          std::ostream& err)
{
    // The tool reports what the driver did wrong and goes on.
    host::SetViolationHandler(host::PrintAndCountHandler());
    host::SetWdm60Available(!withoutWdm6);

    host::System system(driver);
    if (NTSTATUS status = system.Load(); !NT_SUCCESS(status))
    {
        err << "nuvsim: DriverEntry failed with " << StatusName(status) << "\n";
        return std::nullopt;
    }
    if (NTSTATUS status = system.AddDevice(); !NT_SUCCESS(status))
    {
        err << "nuvsim: AddDevice failed with " << StatusName(status) << "\n";
        return std::nullopt;
    }

    DeviceView device;
    device.startStatus = system.Start();

    for (const host::portcls::Subdevice& subdevice :
         host::portcls::Subdevices(system.AdapterDevice()))
    {
        FilterView filter;
        filter.referenceString = Narrow(subdevice.name);
        ReadFilter(subdevice.port, filter);
        device.filters.push_back(filter);
    }
    for (const host::portcls::PhysicalConnection& connection :
         host::portcls::PhysicalConnections(system.AdapterDevice()))
    {
        device.physicalConnections.push_back({Narrow(connection.from), connection.fromPin,
                                              Narrow(connection.to), connection.toPin,
                                              connection.status});
    }
    device.pairs = PairFilters(device.filters);

    for (const std::string& problem : system.Shutdown())
    {
        err << "nuvsim: at shutdown: " << problem << "\n";
    }
    return device;
}

} // namespace nuvsim
