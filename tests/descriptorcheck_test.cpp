// The library's check of the filter descriptors its ports read: the
// driver's own descriptors pass, each kind of fault in a copy of the stereo
// wave descriptor is found on its own, and a port that reads a faulty
// descriptor reports it and still works.
#include "host/kernel/hostkernel.h"
#include "host/portcls/portclass.h"
#include "topology/topotables.h"
#include "wave/wavetables.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

namespace
{

using host::portcls::CheckFilterDescriptor;

std::string Joined(const std::vector<std::string>& findings)
{
    std::string text;
    for (const std::string& finding : findings)
        text += finding + "\n";
    return text;
}

TEST(DescriptorCheck, TheDriversDescriptorsAreClean)
{
    EXPECT_EQ(Joined(CheckFilterDescriptor(&WaveFilterDescriptorStereo)), "");
    EXPECT_EQ(Joined(CheckFilterDescriptor(&WaveFilterDescriptorMulti)), "");
    EXPECT_EQ(Joined(CheckFilterDescriptor(&TopologyFilterDescriptor)), "");
    EXPECT_EQ(CheckFilterDescriptor(nullptr), std::vector<std::string>{"no filter descriptor"});
}

// A writable copy of the stereo wave descriptor, with room for one more pin,
// node and connection, a short data range and a copy of the filter's
// automation table.
struct WritableFilter
{
    PCPIN_DESCRIPTOR pins[3];
    PCNODE_DESCRIPTOR nodes[2];
    PCCONNECTION_DESCRIPTOR connections[3];
    KSDATARANGE shortRange;
    PKSDATARANGE shortRanges[1];
    PCPROPERTY_ITEM items[1];
    PCAUTOMATION_TABLE automation;
    PCFILTER_DESCRIPTOR descriptor;

    WritableFilter()
    {
        std::memset(static_cast<void*>(this), 0, sizeof(*this));
        std::memcpy(pins, WavePinsStereo, sizeof(WavePinsStereo));
        std::memcpy(nodes, WaveNodes, sizeof(WaveNodes));
        std::memcpy(connections, WaveConnections, sizeof(WaveConnections));
        shortRange = WaveBridgeDataRange;
        shortRange.FormatSize = 32;
        shortRanges[0] = &shortRange;
        items[0] = WaveFilterAutomation.Properties[0];
        automation = WaveFilterAutomation;
        automation.Properties = items;
        descriptor = WaveFilterDescriptorStereo;
        descriptor.AutomationTable = &automation;
        descriptor.Pins = pins;
        descriptor.Nodes = nodes;
        descriptor.Connections = connections;
    }
};

struct Fault
{
    const char* name;
    std::function<void(WritableFilter&)> apply;
    const char* finding; // in the first finding
    std::size_t count;   // findings in all
};

void PrintTo(const Fault& fault, std::ostream* out)
{
    *out << fault.name;
}

class DescriptorFault : public ::testing::TestWithParam<Fault>
{
};

TEST_P(DescriptorFault, IsFound)
{
    WritableFilter filter;
    ASSERT_TRUE(CheckFilterDescriptor(&filter.descriptor).empty());
    GetParam().apply(filter);
    const std::vector<std::string> findings = CheckFilterDescriptor(&filter.descriptor);
    ASSERT_EQ(findings.size(), GetParam().count) << Joined(findings);
    EXPECT_NE(findings[0].find(GetParam().finding), std::string::npos) << findings[0];
}

// Connection 0 is filter pin 0 -> DAC pin 1, connection 1 DAC pin 0 ->
// filter pin 1; pin 0 is the IN sink, pin 1 the OUT bridge.
INSTANTIATE_TEST_SUITE_P(
    OneEach, DescriptorFault,
    ::testing::Values(
        Fault{"PinSizeTooSmall", [](auto& f) { f.descriptor.PinSize -= 8; }, "PinSize 104", 1},
        Fault{"NodeSizeTooSmall", [](auto& f) { f.descriptor.NodeSize = 8; }, "NodeSize 8", 1},
        Fault{"PinsCountedButMissing", [](auto& f) { f.descriptor.Pins = nullptr; },
              "2 pins, no pin table", 1},
        // Without connections the DAC node is an orphan as well.
        Fault{"ConnectionsCountedButMissing", [](auto& f) { f.descriptor.Connections = nullptr; },
              "2 connections, no connection table", 2},
        Fault{"UnknownNode", [](auto& f) { f.connections[1].FromNode = 1; },
              "connection 1: from node 1, the filter has 1 nodes", 1},
        Fault{"UnknownFilterPin", [](auto& f) { f.connections[1].ToNodePin = 2; },
              "connection 1: to filter pin 2, the filter has 2 pins", 1},
        Fault{"NodeLeftByItsInput", [](auto& f) { f.connections[1].FromNodePin = 1; },
              "not its output", 1},
        Fault{"NodeEnteredByItsOutput", [](auto& f) { f.connections[0].ToNodePin = 0; },
              "not an input", 1},
        Fault{"EnteredAtAnOutPin", [](auto& f) { f.connections[0].FromNodePin = 1; },
              "from filter pin 1, which is not an IN pin", 1},
        Fault{"OrphanNode",
              [](auto& f)
              {
                  f.nodes[1] = f.nodes[0];
                  f.descriptor.NodeCount = 2;
              },
              "node 1 is in no connection", 1},
        Fault{"NodeWithoutType", [](auto& f) { f.nodes[0].Type = nullptr; }, "node 0: no node type",
              1},
        Fault{"PinWithoutDataRange", [](auto& f) { f.pins[0].KsPinDescriptor.DataRangesCount = 0; },
              "pin 0: no data range", 1},
        Fault{"RangesCountedButMissing",
              [](auto& f) { f.pins[0].KsPinDescriptor.DataRanges = nullptr; },
              "pin 0: 1 data ranges, no table", 1},
        Fault{"RangeShorterThanAKsDataRange",
              [](auto& f) { f.pins[1].KsPinDescriptor.DataRanges = f.shortRanges; },
              "pin 1: data range 0 has FormatSize 32", 1},
        Fault{"InstantiableBridgePin", [](auto& f) { f.pins[1].MaxFilterInstanceCount = 1; },
              "pin 1: a bridge pin", 1},
        Fault{"MoreRequiredThanAllowed", [](auto& f) { f.pins[0].MinFilterInstanceCount = 2; },
              "pin 0: MinFilterInstanceCount 2 above MaxFilterInstanceCount 1", 1},
        Fault{"PropertyItemSizeTooSmall", [](auto& f) { f.automation.PropertyItemSize = 8; },
              "filter automation table: PropertyItemSize 8", 1},
        Fault{"PropertyWithoutHandler", [](auto& f) { f.items[0].Handler = nullptr; },
              "filter automation table: property 0: no handler", 1}),
    [](const ::testing::TestParamInfo<Fault>& info) { return info.param.name; });

TEST(DescriptorCheck, ASumNodeTakesInputsAbovePinOne)
{
    WritableFilter filter;
    filter.nodes[0].Type = &KSNODETYPE_SUM;
    filter.connections[0].ToNodePin = 2;
    EXPECT_EQ(Joined(CheckFilterDescriptor(&filter.descriptor)), "");
    filter.connections[0].ToNodePin = 0;
    EXPECT_EQ(CheckFilterDescriptor(&filter.descriptor).size(), 1u);
}

// A topology miniport describing whatever filter the test gives it.
class DescribingMiniport : public IMiniportTopology
{
public:
    explicit DescribingMiniport(PCFILTER_DESCRIPTOR* descriptor) : m_descriptor(descriptor) {}

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override
    {
        if (IsEqualGUID(iid, IID_IMiniportTopology))
        {
            *object = static_cast<IMiniportTopology*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_references; }
    STDMETHODIMP_(ULONG) Release() override { return --m_references; }
    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* description) override
    {
        *description = m_descriptor;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS)
    DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN, PRESOURCELIST, PPORTTOPOLOGY) override
    {
        return STATUS_SUCCESS;
    }

private:
    PCFILTER_DESCRIPTOR* m_descriptor;
    ULONG m_references = 1;
};

TEST(DescriptorCheck, APortReportsWhatItFindsAndStillWorks)
{
    host::ResetKernelState();
    host::portcls::ResetConfiguration();
    WritableFilter filter;
    filter.nodes[1] = filter.nodes[0];
    filter.descriptor.NodeCount = 2;
    DescribingMiniport miniport(&filter.descriptor);
    PPORT port = nullptr;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortTopology), STATUS_SUCCESS);

    host::ViolationCapture violations;
    EXPECT_EQ(port->Init(nullptr, nullptr, &miniport, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(violations.Count(), 1u);
    EXPECT_TRUE(violations.Contains(host::ViolationKind::Custom,
                                    "filter descriptor of Topology port: node 1 is in no "
                                    "connection"));
    auto description = host::portcls::Description(port);
    ASSERT_TRUE(description.has_value());
    EXPECT_EQ(description->nodes.size(), 2u);
    port->Release();
}

} // namespace
