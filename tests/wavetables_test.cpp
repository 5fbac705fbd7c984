// The wave filter's descriptor tables: the values the port class library
// reads, checked against the published identifiers written out here. Their
// consistency is the library's descriptor check's (descriptorcheck_test.cpp);
// the component identifier and its property item are checked through the
// library's dispatch (filterdispatch_test.cpp).
#include "wave/wavetables.h"
#include "wave/waveproperties.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <utility>

namespace
{

GUID MakeGuid(ULONG d1, USHORT d2, USHORT d3, std::initializer_list<UCHAR> d4)
{
    GUID guid{d1, d2, d3, {}};
    std::copy(d4.begin(), d4.end(), guid.Data4);
    return guid;
}

const GUID kAudio =
    MakeGuid(0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});
const GUID kPcm =
    MakeGuid(0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});
const GUID kAnalog =
    MakeGuid(0x6DBA3190, 0x67BD, 0x11CF, {0xA0, 0xF7, 0x00, 0x20, 0xAF, 0xD1, 0x56, 0xE4});
const GUID kSpecWaveFormatEx =
    MakeGuid(0x05589F81, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A});
const GUID kSpecNone =
    MakeGuid(0x0F6417D6, 0xC318, 0x11D0, {0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96});
const GUID kCategoryAudio =
    MakeGuid(0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96});
const GUID kPinName =
    MakeGuid(0x185FEDFF, 0x9905, 0x11D1, {0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3});
const GUID kNodeDac =
    MakeGuid(0x507AE360, 0xC554, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1});
const GUID kPropSetAudio =
    MakeGuid(0x45FFAAA0, 0x6E1B, 0x11D0, {0xBC, 0xF2, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00});

bool Same(const GUID* actual, const GUID& expected)
{
    return actual != nullptr && std::memcmp(actual, &expected, sizeof(GUID)) == 0;
}

bool Same(const GUID& actual, const GUID& expected)
{
    return Same(&actual, expected);
}

const KSDATARANGE_AUDIO& AudioRangeOf(const PCPIN_DESCRIPTOR& pin)
{
    return *reinterpret_cast<const KSDATARANGE_AUDIO*>(pin.KsPinDescriptor.DataRanges[0]);
}

struct FilterCase
{
    const PCFILTER_DESCRIPTOR* filter;
    const PCPIN_DESCRIPTOR* pins;
    const KSDATARANGE_AUDIO* renderRange;
    ULONG maxChannels;
    const char* name;
};

const FilterCase kFilters[] = {
    {&WaveFilterDescriptorMulti, WavePinsMulti, &WavePcmDataRangeMulti, 6, "multichannel"},
    {&WaveFilterDescriptorStereo, WavePinsStereo, &WavePcmDataRangeStereo, 2, "stereo"},
};

TEST(WaveFilterDescriptor, ShapeOfBothFilters)
{
    for (const FilterCase& c : kFilters)
    {
        SCOPED_TRACE(c.name);
        const PCFILTER_DESCRIPTOR& filter = *c.filter;
        EXPECT_EQ(filter.Version, 0u);
        EXPECT_EQ(filter.AutomationTable, &WaveFilterAutomation);
        EXPECT_EQ(filter.PinSize, sizeof(PCPIN_DESCRIPTOR));
        EXPECT_EQ(filter.PinCount, 2u);
        EXPECT_EQ(filter.Pins, c.pins);
        EXPECT_EQ(filter.NodeSize, sizeof(PCNODE_DESCRIPTOR));
        EXPECT_EQ(filter.NodeCount, 1u);
        EXPECT_EQ(filter.Nodes, WaveNodes);
        EXPECT_EQ(filter.ConnectionCount, 2u);
        EXPECT_EQ(filter.Connections, WaveConnections);
        EXPECT_EQ(filter.CategoryCount, 0u);
        EXPECT_EQ(filter.Categories, nullptr);
    }
}

TEST(WaveFilterDescriptor, RenderPinTakesOneClientStream)
{
    for (const FilterCase& c : kFilters)
    {
        SCOPED_TRACE(c.name);
        const PCPIN_DESCRIPTOR& pin = c.pins[WAVE_PIN_RENDER];
        EXPECT_EQ(pin.MaxGlobalInstanceCount, 1u);
        EXPECT_EQ(pin.MaxFilterInstanceCount, 1u);
        EXPECT_EQ(pin.MinFilterInstanceCount, 0u);
        EXPECT_EQ(pin.AutomationTable, nullptr);
        const KSPIN_DESCRIPTOR& ks = pin.KsPinDescriptor;
        EXPECT_EQ(ks.InterfacesCount, 0u);
        EXPECT_EQ(ks.Interfaces, nullptr);
        EXPECT_EQ(ks.MediumsCount, 0u);
        EXPECT_EQ(ks.Mediums, nullptr);
        EXPECT_EQ(ks.DataFlow, KSPIN_DATAFLOW_IN);
        EXPECT_EQ(ks.Communication, KSPIN_COMMUNICATION_SINK);
        EXPECT_TRUE(Same(ks.Category, kCategoryAudio));
        EXPECT_TRUE(Same(ks.Name, kPinName));
        EXPECT_EQ(ks.ConstrainedDataRangesCount, 0u);
        ASSERT_EQ(ks.DataRangesCount, 1u);
        EXPECT_EQ(reinterpret_cast<const void*>(ks.DataRanges[0]), c.renderRange);
    }
}

TEST(WaveFilterDescriptor, PcmRangesDifferOnlyInChannels)
{
    for (const FilterCase& c : kFilters)
    {
        SCOPED_TRACE(c.name);
        const KSDATARANGE_AUDIO& range = AudioRangeOf(c.pins[WAVE_PIN_RENDER]);
        EXPECT_EQ(range.DataRange.FormatSize, 88u);
        EXPECT_EQ(range.DataRange.Flags, 0u);
        EXPECT_EQ(range.DataRange.SampleSize, 0u);
        EXPECT_EQ(range.DataRange.Reserved, 0u);
        EXPECT_TRUE(Same(range.DataRange.MajorFormat, kAudio));
        EXPECT_TRUE(Same(range.DataRange.SubFormat, kPcm));
        EXPECT_TRUE(Same(range.DataRange.Specifier, kSpecWaveFormatEx));
        EXPECT_EQ(range.MaximumChannels, c.maxChannels);
        EXPECT_EQ(range.MinimumBitsPerSample, 16u);
        EXPECT_EQ(range.MaximumBitsPerSample, 32u);
        EXPECT_EQ(range.MinimumSampleFrequency, 44100u);
        EXPECT_EQ(range.MaximumSampleFrequency, 96000u);
    }
}

TEST(WaveFilterDescriptor, BridgePinIsNeverInstantiated)
{
    for (const FilterCase& c : kFilters)
    {
        SCOPED_TRACE(c.name);
        const PCPIN_DESCRIPTOR& pin = c.pins[WAVE_PIN_BRIDGE];
        EXPECT_EQ(pin.MaxGlobalInstanceCount, 0u);
        EXPECT_EQ(pin.MaxFilterInstanceCount, 0u);
        EXPECT_EQ(pin.MinFilterInstanceCount, 0u);
        const KSPIN_DESCRIPTOR& ks = pin.KsPinDescriptor;
        EXPECT_EQ(ks.DataFlow, KSPIN_DATAFLOW_OUT);
        EXPECT_EQ(ks.Communication, KSPIN_COMMUNICATION_NONE);
        EXPECT_TRUE(Same(ks.Category, kCategoryAudio));
        EXPECT_EQ(ks.Name, nullptr);
        ASSERT_EQ(ks.DataRangesCount, 1u);
        const KSDATARANGE& range = *ks.DataRanges[0];
        EXPECT_EQ(&range, &WaveBridgeDataRange);
        EXPECT_EQ(range.FormatSize, 64u);
        EXPECT_TRUE(Same(range.MajorFormat, kAudio));
        EXPECT_TRUE(Same(range.SubFormat, kAnalog));
        EXPECT_TRUE(Same(range.Specifier, kSpecNone));
    }
}

TEST(WaveFilterDescriptor, DacNodeCarriesTheChannelConfiguration)
{
    const PCNODE_DESCRIPTOR& node = WaveNodes[WAVE_NODE_DAC];
    EXPECT_EQ(node.Flags, 0u);
    EXPECT_TRUE(Same(node.Type, kNodeDac));
    EXPECT_EQ(node.Name, nullptr);
    ASSERT_EQ(node.AutomationTable, &DacNodeAutomation);

    const PCAUTOMATION_TABLE& table = DacNodeAutomation;
    EXPECT_EQ(table.PropertyItemSize, sizeof(PCPROPERTY_ITEM));
    EXPECT_EQ(table.MethodCount, 0u);
    EXPECT_EQ(table.EventCount, 0u);
    ASSERT_EQ(table.PropertyCount, 1u);
    const PCPROPERTY_ITEM& item = table.Properties[0];
    EXPECT_TRUE(Same(item.Set, kPropSetAudio));
    EXPECT_EQ(item.Id, 3u);
    EXPECT_EQ(item.Flags, 0x2u) << "SET only";
    EXPECT_EQ(item.Handler, &SetChannelConfig);
}

TEST(WaveFilterDescriptor, ConnectionsLeadFromRenderPinThroughTheDacToTheBridge)
{
    // Walk from the filter's pin 0: each hop must leave where the last one
    // arrived, entering a node on its input and leaving on its output.
    using Endpoint = std::pair<ULONG, ULONG>; // node, pin
    Endpoint at{PCFILTER_NODE, WAVE_PIN_RENDER};
    std::set<ULONG> nodesPassed;
    for (int hop = 0; hop < 4 && !(at.first == PCFILTER_NODE && at.second == WAVE_PIN_BRIDGE);
         ++hop)
    {
        const PCCONNECTION_DESCRIPTOR* next = nullptr;
        for (const PCCONNECTION_DESCRIPTOR& c : WaveConnections)
        {
            bool fromHere = c.FromNode == at.first &&
                            (at.first == PCFILTER_NODE ? c.FromNodePin == at.second
                                                       : c.FromNodePin == KSNODEPIN_STANDARD_OUT);
            if (fromHere)
                next = &c;
        }
        ASSERT_NE(next, nullptr) << "no connection leaves node " << at.first << " pin "
                                 << at.second;
        if (next->ToNode != PCFILTER_NODE)
        {
            EXPECT_EQ(next->ToNodePin, static_cast<ULONG>(KSNODEPIN_STANDARD_IN));
            nodesPassed.insert(next->ToNode);
        }
        at = {next->ToNode, next->ToNodePin};
    }
    EXPECT_EQ(at, (Endpoint{PCFILTER_NODE, WAVE_PIN_BRIDGE}));
    EXPECT_EQ(nodesPassed, (std::set<ULONG>{WAVE_NODE_DAC}));
}

} // namespace
