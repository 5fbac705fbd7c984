// The host library's topology port: each port keeps the pin-1 variant its
// miniport wrote during Init, although the driver's pin table is shared and
// rewritten by every topology miniport; the rest of the description is the
// driver's tables, copied.
#include "adapter/adapter.h"
#include "host/kernel/hostkernel.h"
#include "host/portcls/portclass.h"
#include "tests/support/startedadapter.h"
#include "topology/mintopo.h"
#include "topology/topotables.h"
#include "wave/minwave.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace
{

std::u16string MixerName(int number)
{
    return u"NUV_Mixer" + std::u16string(1, static_cast<char16_t>(u'0' + number));
}

bool SameGuid(const std::optional<GUID>& a, const GUID& b)
{
    return a.has_value() && IsEqualGUID(*a, b);
}

using PortTopologyOnStart = nuvtest::StartedAdapter;

// Pin 1 per topology filter, by the pair's number: the line outputs 1 to 3
// and the speaker output 4.
struct PinOneVariant
{
    int number;
    const GUID* category;
    const GUID* name;
};

TEST_F(PortTopologyOnStart, EachPortKeepsThePinOneVariantItsMiniportWroteAtInit)
{
    // The shared table holds the last miniport's variant by now.
    ASSERT_TRUE(
        IsEqualGUID(*TopologyPins[TOPOLOGY_PIN_OUTPUT].KsPinDescriptor.Name, PINNAME_OUTPUT_4));

    const PinOneVariant variants[] = {
        {1, &KSNODETYPE_LINE_CONNECTOR, &PINNAME_OUTPUT_1},
        {2, &KSNODETYPE_LINE_CONNECTOR, &PINNAME_OUTPUT_2},
        {3, &KSNODETYPE_LINE_CONNECTOR, &PINNAME_OUTPUT_3},
        {4, &KSNODETYPE_SPEAKER, &PINNAME_OUTPUT_4},
    };
    for (const PinOneVariant& variant : variants)
    {
        SCOPED_TRACE(variant.number);
        auto description = host::portcls::Description(Port(MixerName(variant.number)));
        ASSERT_TRUE(description.has_value());
        ASSERT_EQ(description->pins.size(), 4u);
        EXPECT_TRUE(SameGuid(description->pins[1].category, *variant.category));
        EXPECT_TRUE(SameGuid(description->pins[1].name, *variant.name));
        // Pin 0 never changes.
        EXPECT_TRUE(SameGuid(description->pins[0].category, KSNODETYPE_SPEAKER));
    }
}

TEST_F(PortTopologyOnStart, TheRestOfTheDescriptionIsTheDriversTables)
{
    auto description = host::portcls::Description(Port(MixerName(2)));
    ASSERT_TRUE(description.has_value());
    EXPECT_TRUE(description->properties.empty());
    EXPECT_TRUE(description->categories.empty());
    ASSERT_EQ(description->nodes.size(), 2u);
    for (const host::portcls::NodeDescription& node : description->nodes)
        EXPECT_TRUE(SameGuid(node.type, KSNODETYPE_SRC));
    ASSERT_EQ(description->connections.size(), 4u);
    EXPECT_EQ(std::memcmp(description->connections.data(), TopologyConnections,
                          sizeof(TopologyConnections)),
              0);
    for (const host::portcls::PinDescription& pin : description->pins)
    {
        EXPECT_EQ(pin.communication, KSPIN_COMMUNICATION_NONE);
        ASSERT_EQ(pin.dataRanges.size(), 1u);
        ASSERT_EQ(pin.dataRanges[0].size(), sizeof(KSDATARANGE));
        EXPECT_EQ(
            std::memcmp(pin.dataRanges[0].data(), &TopologyBridgeDataRange, sizeof(KSDATARANGE)),
            0);
    }
    EXPECT_FALSE(description->pins[2].name.has_value());
}

TEST_F(PortTopologyOnStart, WaveFiltersShowTheirDescriptorByDeviceIndex)
{
    for (int number = 1; number <= 4; number++)
    {
        SCOPED_TRACE(number);
        const std::u16string name =
            u"NUV_Wave" + std::u16string(1, static_cast<char16_t>(u'0' + number));
        auto description = host::portcls::Description(Port(name));
        ASSERT_TRUE(description.has_value());
        ASSERT_EQ(description->pins.size(), 2u);
        ASSERT_EQ(description->pins[0].dataRanges.size(), 1u);
        const auto& range = description->pins[0].dataRanges[0];
        ASSERT_EQ(range.size(), sizeof(KSDATARANGE_AUDIO));
        KSDATARANGE_AUDIO audio;
        std::memcpy(&audio, range.data(), sizeof(audio));
        EXPECT_EQ(audio.MaximumChannels, number == 4 ? 6u : 2u);
        ASSERT_EQ(description->nodes.size(), 1u);
        ASSERT_EQ(description->nodes[0].properties.size(), 1u);
        EXPECT_EQ(description->nodes[0].properties[0].flags, ULONG{KSPROPERTY_TYPE_SET});
    }
}

class PortTopologyBinding : public ::testing::Test
{
protected:
    // A library that refuses nothing and counts from zero, whatever tests
    // before this one configured or left alive.
    void SetUp() override
    {
        host::ResetKernelState();
        host::portcls::ResetConfiguration();
        host::portcls::ForgetLiveObjects();
    }
};

TEST_F(PortTopologyBinding, InitGivesTheMiniportTheAdapterRecordAndThisPort)
{
    PPORT port = nullptr;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortTopology), STATUS_SUCCESS);
    PUNKNOWN miniport = nullptr;
    ASSERT_EQ(CreateMiniportTopology(&miniport, CLSID_PortTopology, nullptr, NonPagedPoolNx),
              STATUS_SUCCESS);
    ENGINE_INTERFACE record{};
    record.InstanceCount = 2;

    ASSERT_EQ(port->Init(nullptr, nullptr, miniport, reinterpret_cast<PUNKNOWN>(&record), nullptr),
              STATUS_SUCCESS);
    // The miniport read device index 2 from the record it was handed.
    auto description = host::portcls::Description(port);
    ASSERT_TRUE(description.has_value());
    EXPECT_TRUE(SameGuid(description->pins[1].name, PINNAME_OUTPUT_3));
    // The miniport holds the port, and the port its miniport: the cycle
    // stays when both outside references go, until the library releases
    // the miniports, as it does at the device's removal.
    miniport->Release();
    EXPECT_EQ(port->Release(), 1u);
    EXPECT_EQ(host::portcls::LivePortCount(), 1u);
    host::portcls::ReleaseMiniports(nullptr);
    EXPECT_EQ(host::portcls::LivePortCount(), 0u);
    EXPECT_EQ(host::Pool().Outstanding(host::Tag("PcCr")), 0u);
}

TEST_F(PortTopologyBinding, AMiniportWithoutTheTopologyInterfaceIsRefused)
{
    PPORT port = nullptr;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortTopology), STATUS_SUCCESS);
    PUNKNOWN waveMiniport = nullptr;
    ASSERT_EQ(CreateMiniportWavePci(&waveMiniport, CLSID_PortWavePci, nullptr, NonPagedPoolNx),
              STATUS_SUCCESS);
    ENGINE_INTERFACE record{};

    EXPECT_EQ(
        port->Init(nullptr, nullptr, waveMiniport, reinterpret_cast<PUNKNOWN>(&record), nullptr),
        STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(host::portcls::Description(port).has_value());
    waveMiniport->Release();
    EXPECT_EQ(port->Release(), 0u);
    EXPECT_EQ(host::Pool().Outstanding(host::Tag("PcCr")), 0u);
}

} // namespace
