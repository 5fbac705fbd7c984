#include "host/portcls/descriptorcheck.h"

#include <ksmedia.h>

#include <cstring>
#include <string>

namespace host::portcls
{
namespace
{

using Findings = std::vector<std::string>;

std::string Number(std::size_t value)
{
    return std::to_string(value);
}

void CheckAutomationTable(const PCAUTOMATION_TABLE* table, const std::string& owner,
                          Findings& findings)
{
    if (table == nullptr)
        return;
    const std::string where = owner + " automation table: ";
    if (table->PropertyCount != 0)
    {
        if (table->Properties == nullptr)
            findings.push_back(where + Number(table->PropertyCount) + " properties, no table");
        if (table->PropertyItemSize < sizeof(PCPROPERTY_ITEM))
            findings.push_back(where + "PropertyItemSize " + Number(table->PropertyItemSize) +
                               " is smaller than a PCPROPERTY_ITEM (" +
                               Number(sizeof(PCPROPERTY_ITEM)) + ")");
    }
    if (table->MethodCount != 0)
    {
        if (table->Methods == nullptr)
            findings.push_back(where + Number(table->MethodCount) + " methods, no table");
        if (table->MethodItemSize < sizeof(PCMETHOD_ITEM))
            findings.push_back(where + "MethodItemSize " + Number(table->MethodItemSize) +
                               " is smaller than a PCMETHOD_ITEM (" +
                               Number(sizeof(PCMETHOD_ITEM)) + ")");
    }
    if (table->EventCount != 0)
    {
        if (table->Events == nullptr)
            findings.push_back(where + Number(table->EventCount) + " events, no table");
        if (table->EventItemSize < sizeof(PCEVENT_ITEM))
            findings.push_back(where + "EventItemSize " + Number(table->EventItemSize) +
                               " is smaller than a PCEVENT_ITEM (" + Number(sizeof(PCEVENT_ITEM)) +
                               ")");
    }
    if (table->Properties == nullptr || table->PropertyItemSize < sizeof(PCPROPERTY_ITEM))
        return;
    const auto* bytes = reinterpret_cast<const unsigned char*>(table->Properties);
    for (ULONG i = 0; i < table->PropertyCount; ++i)
    {
        const auto* item = reinterpret_cast<const PCPROPERTY_ITEM*>(
            bytes + std::size_t{i} * table->PropertyItemSize);
        const std::string itemWhere = where + "property " + Number(i) + ": ";
        if (item->Set == nullptr)
            findings.push_back(itemWhere + "no property set");
        if (item->Handler == nullptr)
            findings.push_back(itemWhere + "no handler");
        if ((item->Flags & (PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET |
                            PCPROPERTY_ITEM_FLAG_BASICSUPPORT)) == 0)
            findings.push_back(itemWhere + "flags allow no GET, SET or basic support");
    }
}

void CheckDataRanges(const KSPIN_DESCRIPTOR& ks, const std::string& where, Findings& findings)
{
    if (ks.DataRangesCount == 0)
    {
        findings.push_back(where + "no data range");
        return;
    }
    if (ks.DataRanges == nullptr)
    {
        findings.push_back(where + Number(ks.DataRangesCount) + " data ranges, no table");
        return;
    }
    for (ULONG r = 0; r < ks.DataRangesCount; ++r)
    {
        const PKSDATARANGE range = ks.DataRanges[r];
        if (range == nullptr)
            findings.push_back(where + "data range " + Number(r) + " is null");
        else if (range->FormatSize < sizeof(KSDATARANGE))
            findings.push_back(where + "data range " + Number(r) + " has FormatSize " +
                               Number(range->FormatSize) + ", less than a KSDATARANGE (" +
                               Number(sizeof(KSDATARANGE)) + ")");
    }
}

void CheckPin(const PCPIN_DESCRIPTOR& pin, ULONG index, Findings& findings)
{
    const std::string where = "pin " + Number(index) + ": ";
    const KSPIN_DESCRIPTOR& ks = pin.KsPinDescriptor;
    CheckDataRanges(ks, where, findings);
    if (ks.InterfacesCount != 0 && ks.Interfaces == nullptr)
        findings.push_back(where + Number(ks.InterfacesCount) + " interfaces, no table");
    if (ks.MediumsCount != 0 && ks.Mediums == nullptr)
        findings.push_back(where + Number(ks.MediumsCount) + " mediums, no table");
    if (ks.DataFlow != KSPIN_DATAFLOW_IN && ks.DataFlow != KSPIN_DATAFLOW_OUT)
        findings.push_back(where + "data flow " + Number(ks.DataFlow) + " is neither IN nor OUT");
    if (pin.MinFilterInstanceCount > pin.MaxFilterInstanceCount)
        findings.push_back(where + "MinFilterInstanceCount " + Number(pin.MinFilterInstanceCount) +
                           " above MaxFilterInstanceCount " + Number(pin.MaxFilterInstanceCount));
    if (ks.Communication == KSPIN_COMMUNICATION_NONE &&
        (pin.MaxGlobalInstanceCount != 0 || pin.MaxFilterInstanceCount != 0 ||
         pin.MinFilterInstanceCount != 0))
        findings.push_back(where +
                           "a bridge pin (KSPIN_COMMUNICATION_NONE) cannot be instantiated, yet "
                           "its instance counts are " +
                           Number(pin.MaxGlobalInstanceCount) + "/" +
                           Number(pin.MaxFilterInstanceCount) + "/" +
                           Number(pin.MinFilterInstanceCount));
    CheckAutomationTable(pin.AutomationTable, "pin " + Number(index), findings);
}

bool SameGuid(const GUID* a, const GUID& b)
{
    return a != nullptr && std::memcmp(a, &b, sizeof(GUID)) == 0;
}

// Sum and mux nodes take several inputs (pins 1 to n); every other node one.
bool TakesSeveralInputs(const PCNODE_DESCRIPTOR& node)
{
    return SameGuid(node.Type, KSNODETYPE_SUM) || SameGuid(node.Type, KSNODETYPE_MUX);
}

// One end of a connection; `from` tells which side it is on.
void CheckConnectionEnd(const PCFILTER_DESCRIPTOR& d, const PCNODE_DESCRIPTOR* nodes, ULONG node,
                        ULONG pin, bool from, const std::string& where, Findings& findings)
{
    const std::string side = from ? "from " : "to ";
    if (node == PCFILTER_NODE)
    {
        if (pin >= d.PinCount)
        {
            findings.push_back(where + side + "filter pin " + Number(pin) + ", the filter has " +
                               Number(d.PinCount) + " pins");
            return;
        }
        if (d.Pins == nullptr)
            return;
        const auto* pins = reinterpret_cast<const unsigned char*>(d.Pins);
        const auto& ks =
            reinterpret_cast<const PCPIN_DESCRIPTOR*>(pins + std::size_t{pin} * d.PinSize)
                ->KsPinDescriptor;
        // Data enters the filter at an IN pin and leaves at an OUT pin.
        const KSPIN_DATAFLOW expected = from ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT;
        if (ks.DataFlow != expected)
            findings.push_back(where + side + "filter pin " + Number(pin) +
                               (from ? ", which is not an IN pin: data enters the filter only "
                                       "at IN pins"
                                     : ", which is not an OUT pin: data leaves the filter only "
                                       "at OUT pins"));
        return;
    }
    if (node >= d.NodeCount)
    {
        findings.push_back(where + side + "node " + Number(node) + ", the filter has " +
                           Number(d.NodeCount) + " nodes");
        return;
    }
    if (from && pin != KSNODEPIN_STANDARD_OUT)
        findings.push_back(where + "from node " + Number(node) + " pin " + Number(pin) +
                           ", not its output (pin 0)");
    if (!from)
    {
        const bool several = nodes != nullptr && TakesSeveralInputs(nodes[node]);
        if (several ? pin < KSNODEPIN_STANDARD_IN : pin != KSNODEPIN_STANDARD_IN)
            findings.push_back(where + "to node " + Number(node) + " pin " + Number(pin) +
                               ", not an input (pin 1)");
    }
}

// The node table copied to the library's own layout, so that node types can
// be read whatever NodeSize the miniport used.
std::vector<PCNODE_DESCRIPTOR> NodesOf(const PCFILTER_DESCRIPTOR& d)
{
    std::vector<PCNODE_DESCRIPTOR> nodes;
    if (d.Nodes == nullptr || d.NodeSize < sizeof(PCNODE_DESCRIPTOR))
        return nodes;
    const auto* bytes = reinterpret_cast<const unsigned char*>(d.Nodes);
    for (ULONG i = 0; i < d.NodeCount; ++i)
        nodes.push_back(
            *reinterpret_cast<const PCNODE_DESCRIPTOR*>(bytes + std::size_t{i} * d.NodeSize));
    return nodes;
}

void CheckTables(const PCFILTER_DESCRIPTOR& d, Findings& findings)
{
    if (d.PinCount != 0 && d.Pins == nullptr)
        findings.push_back(Number(d.PinCount) + " pins, no pin table");
    if (d.PinCount != 0 && d.PinSize < sizeof(PCPIN_DESCRIPTOR))
        findings.push_back("PinSize " + Number(d.PinSize) +
                           " is smaller than a PCPIN_DESCRIPTOR (" +
                           Number(sizeof(PCPIN_DESCRIPTOR)) + ")");
    if (d.NodeCount != 0 && d.Nodes == nullptr)
        findings.push_back(Number(d.NodeCount) + " nodes, no node table");
    if (d.NodeCount != 0 && d.NodeSize < sizeof(PCNODE_DESCRIPTOR))
        findings.push_back("NodeSize " + Number(d.NodeSize) +
                           " is smaller than a PCNODE_DESCRIPTOR (" +
                           Number(sizeof(PCNODE_DESCRIPTOR)) + ")");
    if (d.ConnectionCount != 0 && d.Connections == nullptr)
        findings.push_back(Number(d.ConnectionCount) + " connections, no connection table");
    if (d.CategoryCount != 0 && d.Categories == nullptr)
        findings.push_back(Number(d.CategoryCount) + " categories, no category table");
}

} // namespace

std::vector<std::string> CheckFilterDescriptor(const PCFILTER_DESCRIPTOR* descriptor)
{
    Findings findings;
    if (descriptor == nullptr)
        return {"no filter descriptor"};
    const PCFILTER_DESCRIPTOR& d = *descriptor;
    CheckTables(d, findings);
    CheckAutomationTable(d.AutomationTable, "filter", findings);

    const bool pinsReadable = d.Pins != nullptr && d.PinSize >= sizeof(PCPIN_DESCRIPTOR);
    if (pinsReadable)
    {
        const auto* bytes = reinterpret_cast<const unsigned char*>(d.Pins);
        for (ULONG i = 0; i < d.PinCount; ++i)
            CheckPin(*reinterpret_cast<const PCPIN_DESCRIPTOR*>(bytes + std::size_t{i} * d.PinSize),
                     i, findings);
    }

    const std::vector<PCNODE_DESCRIPTOR> nodes = NodesOf(d);
    for (ULONG i = 0; i < nodes.size(); ++i)
    {
        if (nodes[i].Type == nullptr)
            findings.push_back("node " + Number(i) + ": no node type");
        CheckAutomationTable(nodes[i].AutomationTable, "node " + Number(i), findings);
    }

    if (d.Connections == nullptr)
    {
        for (ULONG i = 0; i < nodes.size(); ++i)
            findings.push_back("node " + Number(i) + " is in no connection");
        return findings;
    }
    // Connection ends that name filter pins are read only when the pin
    // table is readable in the library's layout.
    PCFILTER_DESCRIPTOR readable = d;
    if (!pinsReadable)
        readable.Pins = nullptr;
    std::vector<bool> connected(nodes.size(), false);
    for (ULONG c = 0; c < d.ConnectionCount; ++c)
    {
        const PCCONNECTION_DESCRIPTOR& connection = d.Connections[c];
        const std::string where = "connection " + Number(c) + ": ";
        const PCNODE_DESCRIPTOR* nodeTable = nodes.empty() ? nullptr : nodes.data();
        CheckConnectionEnd(readable, nodeTable, connection.FromNode, connection.FromNodePin, true,
                           where, findings);
        CheckConnectionEnd(readable, nodeTable, connection.ToNode, connection.ToNodePin, false,
                           where, findings);
        if (connection.FromNode < nodes.size())
            connected[connection.FromNode] = true;
        if (connection.ToNode < nodes.size())
            connected[connection.ToNode] = true;
    }
    for (ULONG i = 0; i < nodes.size(); ++i)
    {
        if (!connected[i])
            findings.push_back("node " + Number(i) + " is in no connection");
    }
    return findings;
}

} // namespace host::portcls
