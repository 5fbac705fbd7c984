// Installation of the four wave/topology pairs at device start, run on the
// whole host system: what is registered, under which names and device
// indices, with which physical connections, and what a failure at any step
// leaves behind.
#include "adapter/adapter.h"
#include "adapter/subdevices.h"

#include "host/kernel/hostkernel.h"
#include "host/portcls/portclass.h"
#include "host/portcls/system.h"
#include "tests/support/adaptertestbed.h"
#include "tests/support/driverundertest.h"
#include "tests/support/startedadapter.h"
#include "topology/topotables.h"

#include <ksmedia.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace
{

constexpr NTSTATUS kInjected = static_cast<NTSTATUS>(0xC0000001L); // STATUS_UNSUCCESSFUL

const std::vector<std::u16string> kAllSubdevices = {
    u"NUV_Wave1", u"NUV_Mixer1", u"NUV_Wave2", u"NUV_Mixer2",
    u"NUV_Wave3", u"NUV_Mixer3", u"NUV_Wave4", u"NUV_Mixer4",
};

std::vector<std::u16string> FirstSubdevices(std::size_t count)
{
    return {kAllSubdevices.begin(), kAllSubdevices.begin() + count};
}

// One connection as the library recorded it, in a form that prints well.
struct Connection
{
    std::u16string from;
    ULONG fromPin;
    std::u16string to;
    ULONG toPin;
    bool operator==(const Connection&) const = default;
};

void PrintTo(const Connection& c, std::ostream* out)
{
    auto narrow = [](const std::u16string& s) { return std::string(s.begin(), s.end()); };
    *out << narrow(c.from) << ":" << c.fromPin << " -> " << narrow(c.to) << ":" << c.toPin;
}

// The two connections every installed pair gets, in order.
std::vector<Connection> PairConnections(int pair)
{
    const std::u16string number(1, static_cast<char16_t>(u'0' + pair));
    const std::u16string wave = u"NUV_Wave" + number;
    const std::u16string mixer = u"NUV_Mixer" + number;
    return {{wave, 1, mixer, 0}, {mixer, 3, wave, 3}};
}

std::vector<Connection> ConnectionsOfPairs(int pairs, bool legacyThird = false)
{
    std::vector<Connection> all;
    for (int pair = 1; pair <= pairs; pair++)
    {
        for (const Connection& c : PairConnections(pair))
        {
            all.push_back(c);
        }
        if (pair == 1 && legacyThird)
        {
            all.push_back({u"NUV_Wave1", 5, u"NUV_Mixer1", 3});
        }
    }
    return all;
}

class SubdeviceInstallation : public nuvtest::AdapterTestbed
{
protected:
    std::vector<std::u16string> RegisteredNames()
    {
        std::vector<std::u16string> names;
        for (const host::portcls::Subdevice& subdevice : host::portcls::Subdevices(AdapterDevice()))
        {
            names.push_back(subdevice.name);
        }
        return names;
    }

    // Every PcRegisterPhysicalConnection call, failed ones included.
    std::vector<Connection> ConnectionCalls()
    {
        std::vector<Connection> calls;
        for (const host::portcls::PhysicalConnection& c :
             host::portcls::PhysicalConnections(AdapterDevice()))
        {
            calls.push_back({c.from, c.fromPin, c.to, c.toPin});
        }
        return calls;
    }

    std::vector<NTSTATUS> ConnectionStatuses()
    {
        std::vector<NTSTATUS> statuses;
        for (const host::portcls::PhysicalConnection& c :
             host::portcls::PhysicalConnections(AdapterDevice()))
        {
            statuses.push_back(c.status);
        }
        return statuses;
    }
};

// --- a complete start -----------------------------------------------------------

TEST_F(SubdeviceInstallation, RegistersTheEightSubdevicesInPairOrder)
{
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(RegisteredNames(), kAllSubdevices);
    EXPECT_EQ(EngineRecord()->InstanceCount, 4u);
}

// Both miniports of every pair: the port class library keeps them for as
// long as the device exists, and nothing ever runs from them.
TEST_F(SubdeviceInstallation, CreatesEveryMiniportFromNonExecutablePool)
{
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    std::size_t miniports = 0;
    for (const host::PoolBlock& block : host::Pool().Blocks())
    {
        if (block.tag != host::Tag("PcCr"))
            continue;
        ++miniports;
        EXPECT_EQ(block.type, NonPagedPoolNx) << host::PoolTypeName(block.type);
    }
    EXPECT_EQ(miniports, 8u);
}

TEST_F(SubdeviceInstallation, ConnectsEachPairTwiceOnWdm6)
{
    host::SetWdm60Available(true);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(ConnectionCalls(), ConnectionsOfPairs(4));
}

TEST_F(SubdeviceInstallation, AddsAThirdConnectionToTheFirstPairBeforeWdm6)
{
    host::SetWdm60Available(false);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(ConnectionCalls(), ConnectionsOfPairs(4, /*legacyThird=*/true));
}

// Each miniport learns its device index from InstanceCount during its Init,
// which the filters show: the topology port keeps the pin 1 variant its
// miniport wrote then (output k named PINNAME_OUTPUT_k, a speaker for the
// fourth), and only the fourth wave filter takes six channels.
TEST_F(SubdeviceInstallation, MiniportsOfPairKHaveDeviceIndexKMinusOne)
{
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const GUID* names[4] = {&PINNAME_OUTPUT_1, &PINNAME_OUTPUT_2, &PINNAME_OUTPUT_3,
                            &PINNAME_OUTPUT_4};
    for (int pair = 1; pair <= 4; pair++)
    {
        SCOPED_TRACE(testing::Message() << "pair " << pair);
        const std::u16string number(1, static_cast<char16_t>(u'0' + pair));

        auto topology = host::portcls::Description(
            nuvtest::SubdevicePort(AdapterDevice(), u"NUV_Mixer" + number));
        ASSERT_TRUE(topology.has_value());
        ASSERT_EQ(topology->pins.size(), 4u);
        const host::portcls::PinDescription& output = topology->pins[1];
        ASSERT_TRUE(output.category.has_value() && output.name.has_value());
        EXPECT_TRUE(IsEqualGUIDAligned(*output.category,
                                       pair == 4 ? KSNODETYPE_SPEAKER : KSNODETYPE_LINE_CONNECTOR));
        EXPECT_TRUE(IsEqualGUIDAligned(*output.name, *names[pair - 1]));

        auto wave = host::portcls::Description(
            nuvtest::SubdevicePort(AdapterDevice(), u"NUV_Wave" + number));
        ASSERT_TRUE(wave.has_value());
        ASSERT_FALSE(wave->pins.empty());
        ULONG channels = 0;
        for (const std::vector<unsigned char>& bytes : wave->pins[0].dataRanges)
        {
            ASSERT_GE(bytes.size(), sizeof(KSDATARANGE_AUDIO));
            KSDATARANGE_AUDIO range;
            std::memcpy(&range, bytes.data(), sizeof(range));
            channels = std::max(channels, range.MaximumChannels);
        }
        EXPECT_EQ(channels, pair == 4 ? 6u : 2u);
    }
}

// The names lie one after another from the buffer's start, each with its
// zero: 10 + 11 wide characters per pair, 84 in all, and nothing beyond.
TEST_F(SubdeviceInstallation, WritesTheNamesFromTheStartOfTheSharedBuffer)
{
    for (WCHAR& c : SubdeviceNameBuffer)
    {
        c = L'#';
    }
    ASSERT_EQ(Start(), STATUS_SUCCESS);

    std::u16string expected;
    for (const std::u16string& name : kAllSubdevices)
    {
        expected += name;
        expected += u'\0';
    }
    ASSERT_EQ(expected.size(), 84u);
    const std::u16string written(reinterpret_cast<const char16_t*>(SubdeviceNameBuffer), 84);
    EXPECT_EQ(written, expected);
    EXPECT_EQ(SubdeviceNameBuffer[84], L'#');
}

// --- failures --------------------------------------------------------------------

// What a failing step leaves: the subdevices registered up to it, and the
// connections (of the complete start's list, in order) that were made
// before it.
struct FailureCase
{
    const char* what;
    void (*arrange)();
    std::size_t registered;
    std::size_t connected;
    NTSTATUS status = kInjected;
};

void PrintTo(const FailureCase& failure, std::ostream* out)
{
    *out << failure.what;
}

class SubdeviceInstallationFailure : public SubdeviceInstallation,
                                     public ::testing::WithParamInterface<FailureCase>
{
};

TEST_P(SubdeviceInstallationFailure, EndsWithTheFailingStatusAndSkipsLaterPairs)
{
    GetParam().arrange();
    EXPECT_EQ(Start(), GetParam().status);
    EXPECT_EQ(RegisteredNames(), FirstSubdevices(GetParam().registered));
    EXPECT_EQ(EngineRecord()->InstanceCount, 4u);

    std::vector<Connection> connected;
    std::vector<Connection> calls = ConnectionCalls();
    std::vector<NTSTATUS> statuses = ConnectionStatuses();
    for (std::size_t i = 0; i < calls.size(); i++)
    {
        if (NT_SUCCESS(statuses[i]))
        {
            connected.push_back(calls[i]);
        }
    }
    const std::vector<Connection> all = ConnectionsOfPairs(4);
    EXPECT_EQ(connected, std::vector<Connection>(all.begin(), all.begin() + GetParam().connected));
}

// Pair 2 fails at each of its steps; the registration numbers count
// PcRegisterSubdevice calls (pair 2's wave subdevice is the 3rd).
INSTANTIATE_TEST_SUITE_P(
    AtEachStepOfThePair, SubdeviceInstallationFailure,
    ::testing::Values(
        FailureCase{"WavePortCreation",
                    [] { host::portcls::FailPortCreation(CLSID_PortWavePci, kInjected, 1); }, 2, 2},
        FailureCase{"TopologyPortCreation",
                    [] { host::portcls::FailPortCreation(CLSID_PortTopology, kInjected, 1); }, 3,
                    2},
        // The driver's pool allocations are its miniports, two per pair:
        // the 3rd is pair 2's wave miniport, the 4th its topology miniport.
        FailureCase{"WaveMiniportCreation", [] { host::FailNthOf("ExAllocatePoolWithTag", 3); }, 2,
                    2, STATUS_INSUFFICIENT_RESOURCES},
        FailureCase{"TopologyMiniportCreation", [] { host::FailNthOf("ExAllocatePoolWithTag", 4); },
                    3, 2, STATUS_INSUFFICIENT_RESOURCES},
        // The wave miniport's Init asks its port for a DMA channel.
        FailureCase{"WaveInit", [] { host::FailNthOf("NewMasterDmaChannel", 2); }, 2, 2,
                    STATUS_INSUFFICIENT_RESOURCES},
        FailureCase{"WaveRegistration",
                    [] { host::portcls::FailSubdeviceRegistration(3, kInjected); }, 2, 2},
        FailureCase{"TopologyRegistration",
                    [] { host::portcls::FailSubdeviceRegistration(4, kInjected); }, 3, 2},
        // Pair 2's second connection is the 4th call; its first was made.
        FailureCase{"SecondConnection", [] { host::portcls::FailPhysicalConnection(4, kInjected); },
                    4, 3}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.what; });

TEST_F(SubdeviceInstallation, APortRefusingIUnknownFailsTheStartAtItsPair)
{
    host::portcls::RefuseInterface(CLSID_PortTopology, IID_IUnknown);
    EXPECT_EQ(Start(), STATUS_INVALID_PARAMETER);
    // The refusal comes after registration, so the first pair's two filters
    // are there, but without connections.
    EXPECT_EQ(RegisteredNames(), FirstSubdevices(2));
    EXPECT_TRUE(ConnectionCalls().empty());
    EXPECT_EQ(EngineRecord()->InstanceCount, 4u);
}

TEST_F(SubdeviceInstallation, AFailingFirstConnectionDoesNotCount)
{
    host::portcls::FailPhysicalConnection(1, kInjected);
    EXPECT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(RegisteredNames(), kAllSubdevices);
    EXPECT_EQ(ConnectionCalls(), ConnectionsOfPairs(4));
    EXPECT_EQ(ConnectionStatuses().front(), kInjected);
}

TEST_F(SubdeviceInstallation, AFailingThirdConnectionFailsTheStart)
{
    host::SetWdm60Available(false);
    host::portcls::FailPhysicalConnection(3, kInjected);
    EXPECT_EQ(Start(), kInjected);
    EXPECT_EQ(RegisteredNames(), FirstSubdevices(2));
    EXPECT_EQ(ConnectionCalls(), ConnectionsOfPairs(1, /*legacyThird=*/true));
}

ULONG InstanceCountOf(host::System& system)
{
    PDEVICE_OBJECT device = system.AdapterDevice();
    return GetEngineInterface(device)->InstanceCount;
}

// Every failable call of a start fails once, in turn, until a start has
// nothing left to fail. Whatever fails, the start reports a failure, the
// subdevices registered are the leading ones in pair order, every pair is
// counted, and nothing is left behind when the device goes.
TEST(SubdeviceInstallationFaults, AFailureAtAnyCallLeavesAConsistentStartAndLeaksNothing)
{
    for (std::uint64_t n = 1;; n++)
    {
        SCOPED_TRACE(testing::Message() << "failing failable call #" << n << " of the start");
        host::System system(nuvtest::DriverUnderTest());
        ASSERT_EQ(system.Load(), STATUS_SUCCESS);
        ASSERT_EQ(system.AddDevice(), STATUS_SUCCESS);

        NTSTATUS status;
        std::vector<host::FailedCall> failed;
        {
            host::FaultScope faults;
            faults.FailNth(n);
            status = system.Start();
            failed = faults.Failed();
        }

        std::vector<std::u16string> names;
        for (const host::portcls::Subdevice& s : host::portcls::Subdevices(system.AdapterDevice()))
        {
            names.push_back(s.name);
        }
        if (failed.empty())
        {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(names, kAllSubdevices);
            EXPECT_TRUE(system.Shutdown().empty());
            EXPECT_GT(n, 8u) << "a start makes at least one failable call per subdevice";
            break;
        }
        SCOPED_TRACE(host::Describe(failed.front()));
        EXPECT_EQ(names, FirstSubdevices(std::min(names.size(), kAllSubdevices.size())));
        // Some failures are meant to pass unnoticed (the engine query, a
        // pair's first connection); a start that passes has all eight.
        if (NT_SUCCESS(status))
        {
            EXPECT_EQ(names, kAllSubdevices);
        }
        // Once the installation began, every pair is counted.
        if (!names.empty())
        {
            EXPECT_EQ(InstanceCountOf(system), 4u);
        }
        EXPECT_TRUE(system.Shutdown().empty());
        ASSERT_LT(n, 10000u) << "the start never ran out of failable calls";
    }
}

} // namespace
