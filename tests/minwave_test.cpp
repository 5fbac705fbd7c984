// CMiniportWavePci: creation, interface queries, Init from the engine
// record, descriptions, intersections through the engine's rate, power
// changes and destruction.
#include "wave/minwave.h"
#include "wave/wavetables.h"

#include "common/pooltags.h"
#include "host/kernel/hostkernel.h"
#include "host/test/support/engineexpect.h"
#include "tests/support/waveformats.h"
#include "tests/support/waveminiporttestbed.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace
{

const GUID kDesktopIUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

class MiniportWavePciTest : public testing::Test
{
protected:
    void SetUp() override { host::ResetKernelState(); }
    void TearDown() override
    {
        wave_.Release();
        EXPECT_EQ(host::Pool().ReportLeaks({POOL_TAG_OBJECT}), 0u);
    }

    void CreateAndInit(ULONG deviceIndex = 0)
    {
        wave_.record.InstanceCount = deviceIndex;
        ASSERT_EQ(wave_.Create(), STATUS_SUCCESS);
        ASSERT_EQ(wave_.Init(), STATUS_SUCCESS);
        wave_.engine.ClearCommands();
    }

    void Power(DEVICE_POWER_STATE state)
    {
        POWER_STATE power{};
        power.DeviceState = state;
        PPOWERNOTIFY notify = nullptr;
        ASSERT_EQ(
            wave_.miniport->QueryInterface(IID_IPowerNotify, reinterpret_cast<PVOID*>(&notify)),
            STATUS_SUCCESS);
        notify->PowerChangeNotify(power);
        notify->Release();
    }

    nuvtest::WaveMiniportTestbed wave_;
};

TEST_F(MiniportWavePciTest, CreationHandsOutOneReferenceToAZeroedPoolObject)
{
    ASSERT_EQ(wave_.Create(), STATUS_SUCCESS);
    EXPECT_EQ(host::Pool().Outstanding(POOL_TAG_OBJECT), 1u);
    auto blocks = host::Pool().Blocks();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].type, NonPagedPoolNx);
    EXPECT_EQ(blocks[0].address, static_cast<void*>(wave_.object));

    EXPECT_EQ(wave_.miniport->AddRef(), 2u);
    EXPECT_EQ(wave_.miniport->Release(), 1u);
    // Fields Init has not set yet read zero, though the pool fills blocks.
    EXPECT_EQ(wave_.object->DeviceIndex(), 0u);
    EXPECT_EQ(wave_.object->ChannelCount(), 0u);

    wave_.Release();
    EXPECT_EQ(host::Pool().Outstanding(POOL_TAG_OBJECT), 0u);
}

TEST_F(MiniportWavePciTest, AllocationFailureLeavesTheOutPointerAlone)
{
    host::FaultScope faults;
    faults.FailEveryCallOf("ExAllocatePoolWithTag");
    PUNKNOWN sentinel = reinterpret_cast<PUNKNOWN>(0x1234);
    PUNKNOWN unknown = sentinel;
    EXPECT_EQ(CreateMiniportWavePci(&unknown, CLSID_PortWavePci, nullptr, NonPagedPoolNx),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(unknown, sentinel);
    EXPECT_EQ(faults.Failed().size(), 1u);
}

TEST_F(MiniportWavePciTest, QueryInterfaceIdentities)
{
    ASSERT_EQ(wave_.Create(), STATUS_SUCCESS);
    PMINIPORTWAVEPCI primary = wave_.miniport;

    for (const GUID* id : {&IID_IUnknown, &IID_IMiniport, &IID_IMiniportWavePci})
    {
        PVOID result = nullptr;
        ASSERT_EQ(primary->QueryInterface(*id, &result), STATUS_SUCCESS);
        EXPECT_EQ(result, static_cast<PVOID>(primary)) << "the primary interface";
        EXPECT_EQ(primary->Release(), 1u) << "the query added exactly one reference";
    }

    PVOID power = nullptr;
    ASSERT_EQ(primary->QueryInterface(IID_IPowerNotify, &power), STATUS_SUCCESS);
    EXPECT_NE(power, static_cast<PVOID>(primary));
    EXPECT_EQ(power, static_cast<PVOID>(static_cast<PPOWERNOTIFY>(wave_.object)));
    // Its AddRef and Release reach the same count.
    EXPECT_EQ(static_cast<PPOWERNOTIFY>(power)->AddRef(), 3u);
    EXPECT_EQ(static_cast<PPOWERNOTIFY>(power)->Release(), 2u);
    EXPECT_EQ(static_cast<PPOWERNOTIFY>(power)->Release(), 1u);

    for (const GUID* id : {&kDesktopIUnknown, &IID_IPort, &IID_IMiniportTopology})
    {
        PVOID result = reinterpret_cast<PVOID>(0x1234);
        EXPECT_EQ(primary->QueryInterface(*id, &result), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(result, nullptr);
    }
    EXPECT_EQ(primary->AddRef(), 2u) << "refusals left the count alone";
    primary->Release();
}

TEST_F(MiniportWavePciTest, InitTakesTheEngineRecordAndThePort)
{
    wave_.record.InstanceCount = 2;
    ASSERT_EQ(wave_.Create(), STATUS_SUCCESS);
    wave_.serviceGroup = reinterpret_cast<PSERVICEGROUP>(0x1234);
    ASSERT_EQ(wave_.Init(), STATUS_SUCCESS);

    EXPECT_EQ(wave_.serviceGroup, nullptr) << "no service group of its own";
    EXPECT_EQ(wave_.object->DeviceIndex(), 2u);
    EXPECT_EQ(wave_.object->ChannelCount(), 2);
    EXPECT_EQ(wave_.port.References(), 2) << "the test's and the miniport's";
    EXPECT_EQ(wave_.port.Dma().References(), 2) << "the port's and the miniport's";
    EXPECT_TRUE(wave_.engine.Commands().empty()) << "Init sends nothing";

    // The engine entry point and context were copied: a command reaches the
    // model.
    Power(PowerDeviceD3);
    ExpectEngineCommands(wave_.engine, {ENGINE_CMD_STOP});
}

TEST_F(MiniportWavePciTest, InitAsksForTheMasterDmaChannelExactly)
{
    ASSERT_EQ(wave_.Create(), STATUS_SUCCESS);
    ASSERT_EQ(wave_.Init(), STATUS_SUCCESS);
    ASSERT_EQ(wave_.port.DmaRequests().size(), 1u);
    const nuvtest::DmaChannelRequest& r = wave_.port.DmaRequests()[0];
    EXPECT_EQ(r.outerUnknown, nullptr);
    EXPECT_EQ(r.poolType, NonPagedPoolNx);
    EXPECT_EQ(r.resourceList, nullptr);
    EXPECT_EQ(r.scatterGather, TRUE);
    EXPECT_EQ(r.dma32BitAddresses, TRUE);
    EXPECT_EQ(r.dma64BitAddresses, FALSE);
    EXPECT_EQ(r.ignoreCount, FALSE);
    EXPECT_EQ(r.dmaWidth, 0xFFFFFFFFu);
    EXPECT_EQ(r.dmaSpeed, 0xFFFFFFFFu);
    EXPECT_EQ(r.maximumLength, 65536u);
    EXPECT_EQ(r.dmaPort, 0u);
}

TEST_F(MiniportWavePciTest, InitPassesOnADmaFailureAndKeepsThePortUntilDestruction)
{
    ASSERT_EQ(wave_.Create(), STATUS_SUCCESS);
    wave_.port.SetDmaChannelStatus(STATUS_INSUFFICIENT_RESOURCES);
    wave_.serviceGroup = reinterpret_cast<PSERVICEGROUP>(0x1234);
    EXPECT_EQ(wave_.Init(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(wave_.serviceGroup, nullptr) << "set also on failure";
    EXPECT_EQ(wave_.port.References(), 2);
    EXPECT_EQ(wave_.port.Dma().References(), 1) << "no channel was handed out";

    wave_.Release();
    EXPECT_EQ(wave_.port.References(), 1);
}

TEST_F(MiniportWavePciTest, InitTurnsAnInformationalDmaStatusIntoSuccess)
{
    ASSERT_EQ(wave_.Create(), STATUS_SUCCESS);
    wave_.port.SetDmaChannelStatus(STATUS_MORE_ENTRIES);
    EXPECT_EQ(wave_.Init(), STATUS_SUCCESS);
    EXPECT_EQ(wave_.port.Dma().References(), 2);
}

TEST_F(MiniportWavePciTest, InitWithoutAnEngineRecordIsRefused)
{
    ASSERT_EQ(wave_.Create(), STATUS_SUCCESS);
    PSERVICEGROUP serviceGroup = reinterpret_cast<PSERVICEGROUP>(0x1234);
    EXPECT_EQ(wave_.miniport->Init(nullptr, nullptr, &wave_.port, &serviceGroup),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(serviceGroup, nullptr);
    EXPECT_EQ(wave_.port.References(), 1) << "no reference taken";
    EXPECT_TRUE(wave_.port.DmaRequests().empty());
}

TEST_F(MiniportWavePciTest, DestructionReleasesPortAndDmaChannel)
{
    CreateAndInit();
    ASSERT_EQ(wave_.port.References(), 2);
    ASSERT_EQ(wave_.port.Dma().References(), 2);
    wave_.Release();
    EXPECT_EQ(wave_.port.References(), 1);
    EXPECT_EQ(wave_.port.Dma().References(), 1);
    EXPECT_EQ(host::Pool().Outstanding(POOL_TAG_OBJECT), 0u);
}

TEST_F(MiniportWavePciTest, DescriptionByDeviceIndex)
{
    struct Case
    {
        ULONG deviceIndex;
        const PCFILTER_DESCRIPTOR* expected;
    };
    for (Case c : {Case{0, &WaveFilterDescriptorStereo}, Case{1, &WaveFilterDescriptorStereo},
                   Case{2, &WaveFilterDescriptorStereo}, Case{3, &WaveFilterDescriptorMulti},
                   Case{4, &WaveFilterDescriptorStereo}})
    {
        SCOPED_TRACE(c.deviceIndex);
        nuvtest::WaveMiniportTestbed wave(c.deviceIndex);
        ASSERT_EQ(wave.Create(), STATUS_SUCCESS);
        ASSERT_EQ(wave.Init(), STATUS_SUCCESS);
        PPCFILTER_DESCRIPTOR description = nullptr;
        EXPECT_EQ(wave.miniport->GetDescription(&description), STATUS_SUCCESS);
        EXPECT_EQ(description, c.expected);
    }
}

TEST_F(MiniportWavePciTest, IntersectionAsksTheEngineRateOnEveryCall)
{
    CreateAndInit();
    wave_.engine.SetSampleRate(44100);
    KSDATARANGE_AUDIO client = nuvtest::PcmRange({.maxChannels = 2, .maxBits = 24});
    PKSDATARANGE mine = const_cast<PKSDATARANGE>(&WavePcmDataRangeStereo.DataRange);
    std::array<std::uint8_t, 104> result{};
    ULONG length = 0;

    EXPECT_EQ(
        wave_.miniport->DataRangeIntersection(0, &client.DataRange, mine, 0, nullptr, &length),
        STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(length, 104u);
    ASSERT_EQ(wave_.miniport->DataRangeIntersection(0, &client.DataRange, mine, result.size(),
                                                    result.data(), &length),
              STATUS_SUCCESS);
    EXPECT_EQ(nuvtest::ReadAt<ULONG>(result.data(), 64 + 4), 44100u);
    EXPECT_EQ(nuvtest::ReadAt<USHORT>(result.data(), 64 + 18), 24) << "valid bits";

    // Even a pin the filter does not have asks first.
    EXPECT_EQ(wave_.miniport->DataRangeIntersection(1, &client.DataRange,
                                                    const_cast<PKSDATARANGE>(&WaveBridgeDataRange),
                                                    result.size(), result.data(), &length),
              STATUS_NO_MATCH);

    ExpectEngineCommands(wave_.engine,
                         {ENGINE_CMD_SAMPLE_RATE, ENGINE_CMD_SAMPLE_RATE, ENGINE_CMD_SAMPLE_RATE});
    for (const auto& command : wave_.engine.Commands())
    {
        ASSERT_TRUE(std::holds_alternative<ENGINE_RATE_PARAMS>(command.issued));
        EXPECT_EQ(std::get<ENGINE_RATE_PARAMS>(command.issued).SampleRate, 0u) << "only asks";
    }
}

TEST_F(MiniportWavePciTest, IntersectionFromPin4OnIsTheCompressedPath)
{
    CreateAndInit();
    KSDATARANGE_AUDIO client = nuvtest::AudioRange(
        nuvtest::WaveSubFormat(WAVE_FORMAT_DOLBY_AC3_SPDIF), {.maxBits = 16, .maxRate = 48000});
    KSDATARANGE_AUDIO mine = client;
    ULONG length = 0;
    EXPECT_EQ(wave_.miniport->DataRangeIntersection(4, &client.DataRange, &mine.DataRange, 0,
                                                    nullptr, &length),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(length, 82u);
    EXPECT_EQ(wave_.miniport->DataRangeIntersection(3, &client.DataRange, &mine.DataRange, 0,
                                                    nullptr, &length),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(length, 104u) << "pins below 4 are PCM";
}

TEST_F(MiniportWavePciTest, EnteringD3SendsOneStop)
{
    CreateAndInit(3);
    Power(PowerDeviceD3);
    Power(PowerDeviceD3);
    ExpectEngineCommands(wave_.engine, {ENGINE_CMD_STOP});
    auto stop = wave_.engine.LastBlock<ENGINE_STREAM_PARAMS>(ENGINE_CMD_STOP);
    ASSERT_TRUE(stop.has_value());
    EXPECT_EQ(stop->Capture, 4u);
    EXPECT_EQ(stop->DeviceIndex, 0u) << "the same block from every device index";
    EXPECT_EQ(stop->Pin, 0u);
    EXPECT_EQ(stop->Channels, 0u);
}

TEST_F(MiniportWavePciTest, PowerSequences)
{
    CreateAndInit();
    Power(PowerDeviceD0); // the state after Init: nothing
    Power(PowerDeviceD3);
    Power(PowerDeviceD0); // starts nothing
    Power(PowerDeviceD3);
    ExpectEngineCommands(wave_.engine, {ENGINE_CMD_STOP, ENGINE_CMD_STOP});

    wave_.engine.ClearCommands();
    Power(PowerDeviceD0);
    Power(PowerDeviceUnspecified);
    Power(static_cast<DEVICE_POWER_STATE>(5));
    Power(PowerDeviceD3); // still a change from D0: the ignored states were not stored
    ExpectEngineCommands(wave_.engine, {ENGINE_CMD_STOP});

    wave_.engine.ClearCommands();
    Power(PowerDeviceD1);
    Power(PowerDeviceD2);
    EXPECT_TRUE(wave_.engine.Commands().empty());
}

TEST_F(MiniportWavePciTest, ResidentAndPageableOperations)
{
    CreateAndInit();
    host::ViolationCapture capture;
    {
        host::ScopedIrql atDispatch(DISPATCH_LEVEL);
        // The engine's rate query and the power-down STOP come from
        // resident code; Service is resident too.
        KSDATARANGE_AUDIO client = nuvtest::PcmRange({});
        ULONG length = 0;
        wave_.miniport->DataRangeIntersection(
            0, &client.DataRange, const_cast<PKSDATARANGE>(&WavePcmDataRangeStereo.DataRange), 0,
            nullptr, &length);
        wave_.miniport->Service();
        Power(PowerDeviceD3);
        EXPECT_EQ(capture.Count(), 0u);

        PPCFILTER_DESCRIPTOR description = nullptr;
        wave_.miniport->GetDescription(&description);
    }
    EXPECT_TRUE(capture.Contains(host::ViolationKind::IrqlViolation, "GetDescription"));
}

} // namespace
