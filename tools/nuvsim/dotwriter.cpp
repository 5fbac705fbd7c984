#include "tools/nuvsim/dotwriter.h"

#include "tools/nuvsim/guidnames.h"

#include <map>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <utility>

namespace nuvsim
{
namespace
{

// Graphviz identifiers: f<filter>_p<pin> and f<filter>_n<node>.
std::string PinId(std::size_t filter, ULONG pin)
{
    return "f" + std::to_string(filter) + "_p" + std::to_string(pin);
}

std::string NodeId(std::size_t filter, ULONG node)
{
    return "f" + std::to_string(filter) + "_n" + std::to_string(node);
}

std::string EndpointId(std::size_t filter, ULONG node, ULONG pin)
{
    return node == PCFILTER_NODE ? PinId(filter, pin) : NodeId(filter, node);
}

// A quoted Graphviz string. Backslashes pass unchanged: the labels use \n
// for their line breaks.
std::string Quoted(const std::string& text)
{
    std::string quoted = "\"";
    for (char c : text)
    {
        if (c == '"')
        {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "\"";
}

// Platform names are long; the label drops the set prefix.
std::string ShortName(const std::optional<GUID>& guid)
{
    if (!guid)
    {
        return "";
    }
    std::string name = GuidName(*guid);
    for (const char* prefix : {"KSNODETYPE_", "KSCATEGORY_", "KSAUDFNAME_"})
    {
        if (name.rfind(prefix, 0) == 0)
        {
            return name.substr(std::char_traits<char>::length(prefix));
        }
    }
    return name;
}

std::string PinLabel(const PinView& pin)
{
    std::ostringstream label;
    label << "pin " << pin.id << (pin.dataFlow == KSPIN_DATAFLOW_IN ? " (in)" : " (out)");
    if (pin.category)
    {
        label << "\\n" << ShortName(pin.category);
    }
    if (pin.name)
    {
        label << "\\n" << ShortName(pin.name);
    }
    return label.str();
}

void WriteFilter(std::ostream& out, std::size_t index, const FilterView& filter)
{
    out << "  subgraph cluster_" << index << " {\n"
        << "    label=" << Quoted(filter.referenceString + " (" + filter.kind + ")") << ";\n"
        << "    style=rounded;\n";
    for (const PinView& pin : filter.pins)
    {
        out << "    " << PinId(index, pin.id) << " [shape=box, label=" << Quoted(PinLabel(pin))
            << "];\n";
    }
    for (const NodeView& node : filter.nodes)
    {
        out << "    " << NodeId(index, node.id) << " [shape=ellipse, label=\"node " << node.id
            << "\\n"
            << ShortName(node.type) << "\"];\n";
    }
    for (const ConnectionView& connection : filter.connections)
    {
        out << "    " << EndpointId(index, connection.fromNode, connection.fromPin) << " -> "
            << EndpointId(index, connection.toNode, connection.toPin) << ";\n";
    }
    out << "  }\n";
}

} // namespace

void WriteDot(std::ostream& out, const DeviceView& device)
{
    out << "digraph nuvaudio {\n"
        << "  rankdir=LR;\n"
        << "  fontname=\"Helvetica\";\n"
        << "  node [fontname=\"Helvetica\", fontsize=10];\n"
        << "  label=" << Quoted("start: " + StatusName(device.startStatus)) << ";\n";

    std::map<std::string, std::size_t> filterIndex;
    std::set<std::pair<std::size_t, ULONG>> describedPins;
    for (std::size_t index = 0; index < device.filters.size(); index++)
    {
        const FilterView& filter = device.filters[index];
        filterIndex[filter.referenceString] = index;
        for (const PinView& pin : filter.pins)
        {
            describedPins.insert({index, pin.id});
        }
        WriteFilter(out, index, filter);
    }

    // A physical connection may name a pin its filter does not describe;
    // such a pin is drawn dashed, outside the cluster.
    for (const PhysicalConnectionView& connection : device.physicalConnections)
    {
        auto from = filterIndex.find(connection.from);
        auto to = filterIndex.find(connection.to);
        if (from == filterIndex.end() || to == filterIndex.end())
        {
            continue;
        }
        for (auto [filter, pin] :
             {std::pair{from->second, connection.fromPin}, std::pair{to->second, connection.toPin}})
        {
            if (describedPins.insert({filter, pin}).second)
            {
                out << "  " << PinId(filter, pin) << " [shape=box, style=dashed, label="
                    << Quoted(device.filters[filter].referenceString + " pin " +
                              std::to_string(pin) + "\\n(not described)")
                    << "];\n";
            }
        }
        // Refused connections are drawn too, dotted and red.
        out << "  " << PinId(from->second, connection.fromPin) << " -> "
            << PinId(to->second, connection.toPin)
            << (connection.status == STATUS_SUCCESS ? " [style=bold, color=blue];\n"
                                                    : " [style=dotted, color=red];\n");
    }
    out << "}\n";
}

} // namespace nuvsim
