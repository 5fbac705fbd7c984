#include "tools/nuvsim/devices.h"

#include "tools/nuvsim/collect.h"
#include "tools/nuvsim/dotwriter.h"
#include "tools/nuvsim/guidnames.h"
#include "tools/nuvsim/installfacts.h"

#include <fstream>
#include <ostream>
#include <sstream>

namespace nuvsim
{
namespace
{

const char* DataFlowName(KSPIN_DATAFLOW flow)
{
    switch (flow)
    {
    case KSPIN_DATAFLOW_IN:
        return "in";
    case KSPIN_DATAFLOW_OUT:
        return "out";
    }
    return "?";
}

const char* CommunicationName(KSPIN_COMMUNICATION communication)
{
    switch (communication)
    {
    case KSPIN_COMMUNICATION_NONE:
        return "none";
    case KSPIN_COMMUNICATION_SINK:
        return "sink";
    case KSPIN_COMMUNICATION_SOURCE:
        return "source";
    case KSPIN_COMMUNICATION_BOTH:
        return "both";
    case KSPIN_COMMUNICATION_BRIDGE:
        return "bridge";
    }
    return "?";
}

std::string OptionalGuidName(const std::optional<GUID>& guid)
{
    return guid ? GuidName(*guid) : "none";
}

std::string Endpoint(ULONG node, ULONG pin)
{
    std::ostringstream text;
    if (node == PCFILTER_NODE)
    {
        text << "filter pin " << pin;
    }
    else
    {
        text << "node " << node << " pin " << pin;
    }
    return text.str();
}

void PrintDataRange(std::ostream& out, std::size_t index, const DataRangeView& range)
{
    out << "      range " << index << ": " << GuidName(range.majorFormat) << " / "
        << GuidName(range.subFormat) << " / " << GuidName(range.specifier) << ", "
        << range.formatSize << " bytes";
    if (range.audio)
    {
        out << "; up to " << range.audio->maximumChannels << " channels, "
            << range.audio->minimumBitsPerSample << "-" << range.audio->maximumBitsPerSample
            << " bits, " << range.audio->minimumSampleFrequency << "-"
            << range.audio->maximumSampleFrequency << " Hz";
    }
    out << "\n";
}

void PrintPin(std::ostream& out, const PinView& pin)
{
    out << "    pin " << pin.id << ": " << DataFlowName(pin.dataFlow) << ", communication "
        << CommunicationName(pin.communication) << "\n"
        << "      category " << OptionalGuidName(pin.category) << ", name "
        << OptionalGuidName(pin.name) << "\n"
        << "      instances: max " << pin.maxGlobalInstances << " global, max "
        << pin.maxFilterInstances << " per filter, min " << pin.minFilterInstances
        << " per filter\n";
    for (std::size_t index = 0; index < pin.dataRanges.size(); index++)
    {
        PrintDataRange(out, index, pin.dataRanges[index]);
    }
}

void PrintComponentId(std::ostream& out, const FilterView& filter)
{
    out << "  component id:";
    if (!filter.componentId)
    {
        out << " not answered (" << StatusName(filter.componentIdStatus) << ")\n";
        return;
    }
    const KSCOMPONENTID& id = *filter.componentId;
    out << "\n    manufacturer " << GuidName(id.Manufacturer) << "\n    product      "
        << GuidName(id.Product) << "\n    component    " << GuidName(id.Component)
        << "\n    name         " << GuidName(id.Name) << "\n    version " << id.Version
        << ", revision " << id.Revision << "\n";
}

void PrintFilter(std::ostream& out, const FilterView& filter)
{
    out << "\n" << filter.referenceString << " (" << filter.kind << " filter";
    if (filter.deviceIndex)
    {
        out << ", device index " << *filter.deviceIndex;
    }
    out << ")\n";
    PrintComponentId(out, filter);

    out << "  categories:";
    if (filter.categories.empty())
    {
        out << " none";
    }
    for (const GUID& category : filter.categories)
    {
        out << " " << GuidName(category);
    }
    out << "\n  pins: " << filter.pins.size() << "\n";
    for (const PinView& pin : filter.pins)
    {
        PrintPin(out, pin);
    }
    out << "  nodes: " << filter.nodes.size() << "\n";
    for (const NodeView& node : filter.nodes)
    {
        out << "    node " << node.id << ": " << OptionalGuidName(node.type) << ", name "
            << OptionalGuidName(node.name) << "\n";
    }
    out << "  connections: " << filter.connections.size() << "\n";
    for (const ConnectionView& connection : filter.connections)
    {
        out << "    " << Endpoint(connection.fromNode, connection.fromPin) << " -> "
            << Endpoint(connection.toNode, connection.toPin) << "\n";
    }
}

void PrintPhysicalConnections(std::ostream& out, const DeviceView& device)
{
    out << "\nphysical connections: " << device.physicalConnections.size() << "\n";
    for (const PhysicalConnectionView& connection : device.physicalConnections)
    {
        out << "  " << connection.from << " pin " << connection.fromPin << " -> " << connection.to
            << " pin " << connection.toPin;
        if (connection.status != STATUS_SUCCESS)
        {
            out << "  (refused: " << StatusName(connection.status) << ")";
        }
        out << "\n";
    }
}

void PrintPairs(std::ostream& out, const DeviceView& device)
{
    out << "playback devices: " << device.pairs.size() << "\n";
    for (std::size_t index = 0; index < device.pairs.size(); index++)
    {
        const PairView& pair = device.pairs[index];
        out << "  " << index + 1 << ": wave " << pair.wave << ", topology "
            << (pair.topology.empty() ? "(none)" : pair.topology) << ", device index ";
        if (pair.deviceIndex)
        {
            out << *pair.deviceIndex;
        }
        else
        {
            out << "unknown";
        }
        out << "\n";
    }
}

// Writes the graph; false (with a message) if the file cannot be written.
bool WriteFile(const std::string& path, const DeviceView& device, std::ostream& err,
               void (*write)(std::ostream&, const DeviceView&))
{
    std::ofstream file(path);
    if (file)
    {
        write(file, device);
    }
    if (!file)
    {
        err << "nuvsim: cannot write " << path << "\n";
        return false;
    }
    return true;
}

} // namespace

void PrintDevices(std::ostream& out, const DeviceView& device)
{
    out << "start: " << StatusName(device.startStatus) << "\n";
    PrintPairs(out, device);
    for (const FilterView& filter : device.filters)
    {
        PrintFilter(out, filter);
    }
    PrintPhysicalConnections(out, device);
}

void PrintStartSummary(std::ostream& out, const DeviceView& device)
{
    out << "start: " << StatusName(device.startStatus) << "\n";
    out << "subdevices: " << device.filters.size() << "\n";
    for (const FilterView& filter : device.filters)
    {
        out << "  " << filter.referenceString << " (" << filter.kind;
        if (filter.deviceIndex)
        {
            out << ", device index " << *filter.deviceIndex;
        }
        out << ")\n";
    }
    out << "physical connections: " << device.physicalConnections.size() << "\n";
}

int RunDevices(const DevicesOptions& options, std::ostream& out, std::ostream& err)
{
    const std::optional<host::DriverBinary> driver = ChooseDriver(options.driver, err);
    if (!driver)
    {
        return 2;
    }
    std::optional<DeviceView> device = StartAndCollect(*driver, options.withoutWdm6, err);
    if (!device)
    {
        return 2;
    }
    PrintDevices(out, *device);
    if (!options.dotFile.empty() && !WriteFile(options.dotFile, *device, err, WriteDot))
    {
        return 2;
    }
    if (!options.factsFile.empty() &&
        !WriteFile(options.factsFile, *device, err, WriteInstallFacts))
    {
        return 2;
    }
    return NT_SUCCESS(device->startStatus) ? 0 : 1;
}

int RunStart(const DevicesOptions& options, std::ostream& out, std::ostream& err)
{
    const std::optional<host::DriverBinary> driver = ChooseDriver(options.driver, err);
    if (!driver)
    {
        return 2;
    }
    std::optional<DeviceView> device = StartAndCollect(*driver, options.withoutWdm6, err);
    if (!device)
    {
        return 2;
    }
    PrintStartSummary(out, *device);
    return NT_SUCCESS(device->startStatus) ? 0 : 1;
}

} // namespace nuvsim
