// The topology filter: its shared descriptor tables and the miniport that
// adapts pin 1 of them to its device index.
#include "engine/engineinterface.h"
#include "common/pooltags.h"
#include "topology/mintopo.h"
#include "topology/topotables.h"

#include "host/kernel/hostkernel.h"
#include "tests/support/faketopologyport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

namespace
{

// Expected identifiers, spelled out here rather than taken from the headers
// the tables use, so that a table pointing at the wrong name is caught.
constexpr GUID kSpeaker = {
    0xDFF21CE1, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID kLineConnector = {
    0xDFF21FE3, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID kMicrophone = {
    0xDFF21BE1, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID kSrc = {
    0x9DB7B9E0, 0xC555, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};
constexpr GUID kDefaultPinName = {
    0x185FEDE3, 0x9905, 0x11D1, {0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3}};
constexpr GUID kOutputNames[4] = {
    {0x04310FB9, 0xABB8, 0x4729, {0xBE, 0x87, 0xBF, 0x34, 0xCC, 0xD9, 0x45, 0xE2}},
    {0xB452985B, 0x27E6, 0x4745, {0x83, 0xB1, 0x28, 0xE5, 0xBF, 0x48, 0x96, 0xD9}},
    {0x63DBA496, 0x91F6, 0x4D7A, {0xA7, 0xDF, 0x10, 0xCE, 0xC0, 0x94, 0x22, 0xAE}},
    {0xC79A4E69, 0xC689, 0x4639, {0x8B, 0xF7, 0x16, 0xDF, 0x8A, 0x75, 0xEB, 0xD6}},
};
constexpr GUID kAudio = {
    0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID kAnalog = {
    0x6DBA3190, 0x67BD, 0x11CF, {0xA0, 0xF7, 0x00, 0x20, 0xAF, 0xD1, 0x56, 0xE4}};
constexpr GUID kSpecifierNone = {
    0x0F6417D6, 0xC318, 0x11D0, {0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID kDesktopIUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

bool Same(const GUID* actual, const GUID& expected)
{
    return actual != nullptr && std::memcmp(actual, &expected, sizeof(GUID)) == 0;
}

// Pin 1 as the tables hold it before any GetDescription. The tables are
// constant-initialised, so this runs before any test can have written them.
struct Pin1
{
    const GUID* category;
    const GUID* name;
};
const Pin1 kPristinePin1 = {TopologyPins[1].KsPinDescriptor.Category,
                            TopologyPins[1].KsPinDescriptor.Name};
const PCPIN_DESCRIPTOR kPristinePin0 = TopologyPins[0];

Pin1 CurrentPin1()
{
    return {TopologyPins[1].KsPinDescriptor.Category, TopologyPins[1].KsPinDescriptor.Name};
}

// Every test starts with pin 1 as the driver loads it and ends without
// leaking a miniport.
class TopologyTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        host::ResetKernelState();
        RestorePin1();
    }
    void TearDown() override
    {
        RestorePin1();
        EXPECT_EQ(host::Pool().ReportLeaks({POOL_TAG_OBJECT}), 0u);
    }
    static void RestorePin1()
    {
        TopologyPins[1].KsPinDescriptor.Category = kPristinePin1.category;
        TopologyPins[1].KsPinDescriptor.Name = kPristinePin1.name;
    }

    // A miniport initialised as device start would for pair `deviceIndex`.
    PMINIPORTTOPOLOGY NewInitialisedMiniport(ULONG deviceIndex)
    {
        PMINIPORTTOPOLOGY miniport = NewMiniport();
        engine_.InstanceCount = deviceIndex;
        EXPECT_EQ(miniport->Init(reinterpret_cast<PUNKNOWN>(&engine_), nullptr, &port_),
                  STATUS_SUCCESS);
        return miniport;
    }
    static PMINIPORTTOPOLOGY NewMiniport()
    {
        PUNKNOWN unknown = nullptr;
        EXPECT_EQ(CreateMiniportTopology(&unknown, CLSID_PortTopology, nullptr, NonPagedPoolNx),
                  STATUS_SUCCESS);
        return static_cast<PMINIPORTTOPOLOGY>(unknown);
    }
    static PPCFILTER_DESCRIPTOR Describe(PMINIPORTTOPOLOGY miniport)
    {
        PPCFILTER_DESCRIPTOR descriptor = nullptr;
        EXPECT_EQ(miniport->GetDescription(&descriptor), STATUS_SUCCESS);
        return descriptor;
    }

    ENGINE_INTERFACE engine_ = {};
    nuvtest::FakeTopologyPort port_;
};

// --- The descriptor tables --------------------------------------------------

using TopologyDescriptor = TopologyTest;

TEST_F(TopologyDescriptor, HasFourPinsTwoNodesFourConnectionsAndNoCategories)
{
    const PCFILTER_DESCRIPTOR& filter = TopologyFilterDescriptor;
    EXPECT_EQ(filter.Version, 0u);
    EXPECT_EQ(filter.AutomationTable, nullptr);
    EXPECT_EQ(filter.PinSize, 112u);
    EXPECT_EQ(filter.PinCount, 4u);
    EXPECT_EQ(filter.Pins, TopologyPins);
    EXPECT_EQ(filter.NodeSize, 32u);
    EXPECT_EQ(filter.NodeCount, 2u);
    EXPECT_EQ(filter.Nodes, TopologyNodes);
    EXPECT_EQ(filter.ConnectionCount, 4u);
    EXPECT_EQ(filter.Connections, TopologyConnections);
    EXPECT_EQ(filter.CategoryCount, 0u);
    EXPECT_EQ(filter.Categories, nullptr);
}

TEST_F(TopologyDescriptor, EveryPinOffersOnlyTheAnalogBridgeRange)
{
    const KSDATARANGE& range = TopologyBridgeDataRange;
    EXPECT_EQ(range.FormatSize, 64u);
    EXPECT_EQ(range.Flags, 0u);
    EXPECT_EQ(range.SampleSize, 0u);
    EXPECT_EQ(range.Reserved, 0u);
    EXPECT_TRUE(Same(&range.MajorFormat, kAudio));
    EXPECT_TRUE(Same(&range.SubFormat, kAnalog));
    EXPECT_TRUE(Same(&range.Specifier, kSpecifierNone));
    ASSERT_EQ(TopologyDataRanges[0], &TopologyBridgeDataRange);

    for (ULONG pin = 0; pin < TOPOLOGY_PIN_COUNT; pin++)
    {
        SCOPED_TRACE(testing::Message() << "pin " << pin);
        const PCPIN_DESCRIPTOR& descriptor = TopologyPins[pin];
        const KSPIN_DESCRIPTOR& ks = descriptor.KsPinDescriptor;
        EXPECT_EQ(descriptor.AutomationTable, nullptr);
        EXPECT_EQ(ks.DataRangesCount, 1u);
        EXPECT_EQ(ks.DataRanges, TopologyDataRanges);
        EXPECT_EQ(ks.InterfacesCount, 0u);
        EXPECT_EQ(ks.Interfaces, nullptr);
        EXPECT_EQ(ks.MediumsCount, 0u);
        EXPECT_EQ(ks.Mediums, nullptr);
        EXPECT_EQ(ks.Communication, KSPIN_COMMUNICATION_NONE);
        EXPECT_EQ(ks.ConstrainedDataRangesCount, 0u);
        EXPECT_EQ(ks.ConstrainedDataRanges, nullptr);
    }
}

TEST_F(TopologyDescriptor, PinsHaveTheirDirectionsCategoriesAndNames)
{
    const KSPIN_DESCRIPTOR* ks[TOPOLOGY_PIN_COUNT];
    for (ULONG pin = 0; pin < TOPOLOGY_PIN_COUNT; pin++)
    {
        ks[pin] = &TopologyPins[pin].KsPinDescriptor;
    }
    EXPECT_EQ(ks[0]->DataFlow, KSPIN_DATAFLOW_IN);
    EXPECT_EQ(ks[1]->DataFlow, KSPIN_DATAFLOW_OUT);
    EXPECT_EQ(ks[2]->DataFlow, KSPIN_DATAFLOW_IN);
    EXPECT_EQ(ks[3]->DataFlow, KSPIN_DATAFLOW_OUT);

    EXPECT_TRUE(Same(ks[0]->Category, kSpeaker));
    EXPECT_TRUE(Same(ks[0]->Name, kDefaultPinName));
    EXPECT_TRUE(Same(ks[2]->Category, kMicrophone));
    EXPECT_TRUE(Same(ks[3]->Category, kMicrophone));
    EXPECT_EQ(ks[2]->Name, nullptr);
    EXPECT_EQ(ks[3]->Name, nullptr);
}

TEST_F(TopologyDescriptor, Pin1StartsLikePin0)
{
    EXPECT_TRUE(Same(kPristinePin1.category, kSpeaker));
    EXPECT_TRUE(Same(kPristinePin1.name, kDefaultPinName));
}

TEST_F(TopologyDescriptor, NodesAreTwoPlainSampleRateConverters)
{
    for (ULONG node = 0; node < TOPOLOGY_NODE_COUNT; node++)
    {
        SCOPED_TRACE(testing::Message() << "node " << node);
        EXPECT_EQ(TopologyNodes[node].Flags, 0u);
        EXPECT_EQ(TopologyNodes[node].AutomationTable, nullptr);
        EXPECT_TRUE(Same(TopologyNodes[node].Type, kSrc));
        EXPECT_EQ(TopologyNodes[node].Name, nullptr);
    }
}

// Where the signal entering at filter pin `entry` goes: the nodes it passes
// (entering each at its input, pin 1, leaving at its output, pin 0) and the
// filter pin it leaves at. Fails the test on a branch, a loop or a dead end.
struct Path
{
    std::vector<ULONG> nodes;
    std::optional<ULONG> exitPin;
};

Path Follow(ULONG entry)
{
    Path path;
    ULONG fromNode = PCFILTER_NODE;
    ULONG fromPin = entry;
    for (ULONG hops = 0; hops <= TOPOLOGY_CONNECTION_COUNT; hops++)
    {
        const PCCONNECTION_DESCRIPTOR* next = nullptr;
        for (const PCCONNECTION_DESCRIPTOR& connection : TopologyConnections)
        {
            if (connection.FromNode == fromNode && connection.FromNodePin == fromPin)
            {
                EXPECT_EQ(next, nullptr) << "the path branches";
                next = &connection;
            }
        }
        if (next == nullptr)
        {
            ADD_FAILURE() << "the path ends inside the filter";
            return path;
        }
        if (next->ToNode == PCFILTER_NODE)
        {
            path.exitPin = next->ToNodePin;
            return path;
        }
        EXPECT_EQ(next->ToNodePin, static_cast<ULONG>(KSNODEPIN_STANDARD_IN));
        path.nodes.push_back(next->ToNode);
        fromNode = next->ToNode;
        fromPin = KSNODEPIN_STANDARD_OUT;
    }
    ADD_FAILURE() << "the path loops";
    return path;
}

TEST_F(TopologyDescriptor, EachPathRunsThroughItsOwnNodeAndTheyNeverJoin)
{
    Path output = Follow(0);
    EXPECT_EQ(output.nodes, std::vector<ULONG>{0});
    EXPECT_EQ(output.exitPin, 1u);

    Path microphone = Follow(2);
    EXPECT_EQ(microphone.nodes, std::vector<ULONG>{1});
    EXPECT_EQ(microphone.exitPin, 3u);

    // Four connections, all on these two paths: nothing else joins them.
    EXPECT_EQ(TopologyFilterDescriptor.ConnectionCount,
              output.nodes.size() + 1 + microphone.nodes.size() + 1);
}

// --- The miniport -------------------------------------------------------------

using CMiniportTopologyTest = TopologyTest;

// Pin 1 per device index: line outputs named 1 to 3, then the speaker.
TEST_F(CMiniportTopologyTest, DeviceIndexSelectsPin1CategoryAndName)
{
    const GUID* expectedCategory[4] = {&kLineConnector, &kLineConnector, &kLineConnector,
                                       &kSpeaker};
    for (ULONG index = 0; index < 4; index++)
    {
        SCOPED_TRACE(testing::Message() << "device index " << index);
        PMINIPORTTOPOLOGY miniport = NewInitialisedMiniport(index);
        PPCFILTER_DESCRIPTOR descriptor = Describe(miniport);
        ASSERT_EQ(descriptor, &TopologyFilterDescriptor);
        const KSPIN_DESCRIPTOR& pin1 = descriptor->Pins[1].KsPinDescriptor;
        EXPECT_TRUE(Same(pin1.Category, *expectedCategory[index]));
        EXPECT_TRUE(Same(pin1.Name, kOutputNames[index]));
        miniport->Release();
    }
}

TEST_F(CMiniportTopologyTest, IndexPastThreeIsALineOutputAndKeepsTheLastName)
{
    PMINIPORTTOPOLOGY beyond = NewInitialisedMiniport(4);
    Describe(beyond);
    EXPECT_TRUE(Same(CurrentPin1().category, kLineConnector));
    EXPECT_TRUE(Same(CurrentPin1().name, kDefaultPinName));

    PMINIPORTTOPOLOGY speaker = NewInitialisedMiniport(3);
    Describe(speaker);
    Describe(beyond);
    EXPECT_TRUE(Same(CurrentPin1().category, kLineConnector));
    EXPECT_TRUE(Same(CurrentPin1().name, kOutputNames[3]));

    speaker->Release();
    beyond->Release();
}

TEST_F(CMiniportTopologyTest, GetDescriptionNeverTouchesPin0)
{
    for (ULONG index = 0; index < 6; index++)
    {
        PMINIPORTTOPOLOGY miniport = NewInitialisedMiniport(index);
        Describe(miniport);
        miniport->Release();
        EXPECT_EQ(std::memcmp(&TopologyPins[0], &kPristinePin0, sizeof(PCPIN_DESCRIPTOR)), 0)
            << "device index " << index;
    }
}

TEST_F(CMiniportTopologyTest, AllMiniportsShareOneDescriptorHoldingTheLastVariant)
{
    PMINIPORTTOPOLOGY first = NewInitialisedMiniport(0);
    PMINIPORTTOPOLOGY last = NewInitialisedMiniport(3);

    PPCFILTER_DESCRIPTOR firstView = Describe(first);
    PPCFILTER_DESCRIPTOR lastView = Describe(last);
    EXPECT_EQ(firstView, lastView);
    EXPECT_TRUE(Same(firstView->Pins[1].KsPinDescriptor.Category, kSpeaker));
    EXPECT_TRUE(Same(firstView->Pins[1].KsPinDescriptor.Name, kOutputNames[3]));

    first->Release();
    last->Release();
}

TEST_F(CMiniportTopologyTest, BeforeInitDescribesDeviceIndexZero)
{
    PMINIPORTTOPOLOGY speaker = NewInitialisedMiniport(3);
    Describe(speaker); // pin 1 now differs from index 0's variant

    PMINIPORTTOPOLOGY fresh = NewMiniport();
    Describe(fresh);
    EXPECT_TRUE(Same(CurrentPin1().category, kLineConnector));
    EXPECT_TRUE(Same(CurrentPin1().name, kOutputNames[0]));

    fresh->Release();
    speaker->Release();
}

TEST_F(CMiniportTopologyTest, DataRangeIntersectionDeclinesAndWritesNothing)
{
    PMINIPORTTOPOLOGY miniport = NewInitialisedMiniport(1);
    const ULONG pins[] = {0, 1, 2, 3, 4, 100, 0xFFFFFFFF};
    for (ULONG pin : pins)
    {
        SCOPED_TRACE(testing::Message() << "pin " << pin);
        unsigned char format[128];
        std::memset(format, 0xA5, sizeof(format));
        ULONG length = 0x5EED;
        KSDATARANGE client = TopologyBridgeDataRange;
        EXPECT_EQ(miniport->DataRangeIntersection(pin, &client, TopologyDataRanges[0],
                                                  sizeof(format), format, &length),
                  STATUS_NOT_IMPLEMENTED);
        EXPECT_EQ(length, 0x5EEDu);
        for (unsigned char byte : format)
        {
            ASSERT_EQ(byte, 0xA5);
        }
    }
    miniport->Release();
}

TEST_F(CMiniportTopologyTest, AnswersItsThreeIdentifiersWithOnePointer)
{
    PMINIPORTTOPOLOGY miniport = NewMiniport();
    const GUID* answered[] = {&IID_IUnknown, &IID_IMiniport, &IID_IMiniportTopology};
    for (const GUID* id : answered)
    {
        PVOID result = nullptr;
        EXPECT_EQ(miniport->QueryInterface(*id, &result), STATUS_SUCCESS);
        EXPECT_EQ(result, static_cast<PVOID>(miniport));
        // The query added one reference: this Release leaves the creator's.
        EXPECT_EQ(static_cast<PUNKNOWN>(result)->Release(), 1u);
    }

    const GUID* refused[] = {&IID_IMiniportWavePci, &IID_IPowerNotify, &IID_IPortTopology,
                             &kDesktopIUnknown};
    for (const GUID* id : refused)
    {
        PVOID result = miniport;
        EXPECT_EQ(miniport->QueryInterface(*id, &result), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(result, nullptr);
    }
    EXPECT_EQ(miniport->Release(), 0u);
}

TEST_F(CMiniportTopologyTest, HoldsItsPortFromInitUntilDestroyed)
{
    PMINIPORTTOPOLOGY miniport = NewInitialisedMiniport(2);
    EXPECT_EQ(port_.References(), 2);
    miniport->Release();
    EXPECT_EQ(port_.References(), 1);
}

TEST_F(CMiniportTopologyTest, DestroyingAnUninitialisedMiniportReleasesNoPort)
{
    PMINIPORTTOPOLOGY miniport = NewMiniport();
    EXPECT_EQ(host::Pool().Outstanding(POOL_TAG_OBJECT), 1u);
    miniport->Release();
    EXPECT_EQ(port_.References(), 1);
    EXPECT_EQ(host::Pool().Outstanding(POOL_TAG_OBJECT), 0u);
}

// The adapter is never queried, only read; a null one is refused before it
// is read, and the port is then not kept either.
TEST_F(CMiniportTopologyTest, InitRefusesANullAdapterAndKeepsNoPort)
{
    PMINIPORTTOPOLOGY miniport = NewMiniport();
    EXPECT_EQ(miniport->Init(nullptr, nullptr, &port_), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(port_.References(), 1);

    Describe(miniport);
    EXPECT_TRUE(Same(CurrentPin1().name, kOutputNames[0]));

    miniport->Release();
    EXPECT_EQ(port_.References(), 1);
}

TEST_F(CMiniportTopologyTest, IsAllocatedFromTheRequestedPoolWithItsTag)
{
    PUNKNOWN unknown = nullptr;
    ASSERT_EQ(CreateMiniportTopology(&unknown, GUID_NULL, nullptr, PagedPool), STATUS_SUCCESS);
    std::optional<host::PoolBlock> block = host::Pool().Find(unknown);
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(block->tag, host::Tag("PcCr"));
    EXPECT_EQ(block->type, PagedPool);
    EXPECT_EQ(unknown->Release(), 0u);
}

TEST_F(CMiniportTopologyTest, AllocationFailureLeavesTheOutPointerUntouched)
{
    host::FaultScope faults;
    faults.FailEveryCallOf("ExAllocatePoolWithTag");
    PUNKNOWN unknown = reinterpret_cast<PUNKNOWN>(&port_);
    EXPECT_EQ(CreateMiniportTopology(&unknown, CLSID_PortTopology, nullptr, NonPagedPoolNx),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(unknown, reinterpret_cast<PUNKNOWN>(&port_));
    EXPECT_EQ(host::Pool().Outstanding(POOL_TAG_OBJECT), 0u);
}

// Intersection and the last Release may come at DISPATCH_LEVEL; a pageable
// one there would be reported as a conduct violation and fail the test.
TEST_F(CMiniportTopologyTest, IntersectionAndDestructionAreResident)
{
    PMINIPORTTOPOLOGY miniport = NewInitialisedMiniport(0);
    host::ScopedIrql atDispatch(DISPATCH_LEVEL);
    ULONG length = 0;
    EXPECT_EQ(miniport->DataRangeIntersection(0, TopologyDataRanges[0], TopologyDataRanges[0], 0,
                                              nullptr, &length),
              STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(miniport->Release(), 0u);
    EXPECT_EQ(port_.References(), 1);
}

} // namespace
