// The wave stream object: creation, Init's sizes and engine commands,
// SetFormat, allocator framing, the interface query and destruction.
#include "engine/engineabsent.h"
#include "host/kernel/faults.h"
#include "host/kernel/pool.h"
#include "host/portcls/servicegroup.h"
#include "host/test/support/engineexpect.h"
#include "tests/support/streamonfakeports.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace
{

class StreamObject : public nuvtest::StreamOnFakePortsTestbed
{
};

using CreateMiniportWavePciStreamTest = StreamObject;
using Init = StreamObject;
using SetFormat = StreamObject;
using GetAllocatorFraming = StreamObject;
using NonDelegatingQueryInterface = StreamObject;

// --- CreateMiniportWavePciStream -------------------------------------------

TEST_F(CreateMiniportWavePciStreamTest, PoolExhaustedGivesNullAndInsufficientResources)
{
    host::FaultScope faults;
    faults.FailEveryCallOf("ExAllocatePoolWithTag");
    CMiniportWavePciStream* stream = reinterpret_cast<CMiniportWavePciStream*>(0x1);
    EXPECT_EQ(CreateMiniportWavePciStream(&stream, nullptr, NonPagedPoolNx),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(stream, nullptr);
}

TEST_F(CreateMiniportWavePciStreamTest, StreamComesWithOneReferenceAndTagPcCr)
{
    CMiniportWavePciStream* stream = nullptr;
    ASSERT_EQ(CreateMiniportWavePciStream(&stream, nullptr, NonPagedPoolNx), STATUS_SUCCESS);
    auto block = host::Pool().Find(stream);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->tag, host::Tag("PcCr"));
    EXPECT_EQ(block->type, NonPagedPoolNx);
    EXPECT_EQ(static_cast<PMINIPORTWAVEPCISTREAM>(stream)->Release(), 0u);
}

// --- Init -----------------------------------------------------------------------

// F = 128, N = 2, B = 3.
TEST_F(Init, DerivesTheWorkedSizes)
{
    Engine().SetPeriodFrames(128);
    ASSERT_EQ(CreateStream({.channels = 2, .bits = 24}), STATUS_SUCCESS);
    EXPECT_EQ(Peer().PeriodContainerBytes(), 1024u);
    EXPECT_EQ(Peer().BufferBytes(), 2048u);
    EXPECT_EQ(Peer().PeriodClientBytes(), 768u);
    EXPECT_EQ(Peer().BufferClientBytes(), 1536u);
}

// The benchmarks prepare streams through the peer, also in layouts Init
// refuses; where Init accepts one, both must come to the same sizes.
TEST_F(Init, PeerPreparesTheSizesInitDerives)
{
    for (bool capture : {false, true})
        for (USHORT bits : {16, 24, 32})
            for (USHORT channels : {2, 6})
                for (ULONG frames : {32u, 480u})
                {
                    SCOPED_TRACE(testing::Message() << "capture " << capture << ", " << bits
                                                    << " bits, " << channels << " x " << frames);
                    Engine().SetPeriodFrames(frames);
                    ASSERT_EQ(CreateStream({.channels = channels, .bits = bits}, capture),
                              STATUS_SUCCESS);
                    CMiniportWavePciStream* prepared = nullptr;
                    ASSERT_EQ(CreateMiniportWavePciStream(&prepared, nullptr, NonPagedPoolNx),
                              STATUS_SUCCESS);
                    CMiniportWavePciStreamTestPeer peer(prepared);
                    UCHAR ring[1];
                    peer.PrepareForTransfer(&PortStream(), ring, frames, channels, bits / 8u,
                                            capture);
                    EXPECT_EQ(peer.Channels(), Peer().Channels());
                    EXPECT_EQ(peer.ClientBytesPerSample(), Peer().ClientBytesPerSample());
                    EXPECT_EQ(peer.PeriodContainerBytes(), Peer().PeriodContainerBytes());
                    EXPECT_EQ(peer.BufferBytes(), Peer().BufferBytes());
                    EXPECT_EQ(peer.PeriodClientBytes(), Peer().PeriodClientBytes());
                    EXPECT_EQ(peer.BufferClientBytes(), Peer().BufferClientBytes());
                    EXPECT_EQ(peer.FrameClientBytes(), Peer().FrameClientBytes());
                    EXPECT_EQ(peer.FrameContainerBytes(), Peer().FrameContainerBytes());
                    EXPECT_EQ(peer.PeriodFrames(), Peer().PeriodFrames());
                    EXPECT_EQ(peer.Capture(), Peer().Capture());
                    peer.ForgetRing();
                    static_cast<PMINIPORTWAVEPCISTREAM>(prepared)->Release();
                    ReleaseStream();
                }
}

// B = wBitsPerSample / 8, truncated.
TEST_F(Init, BytesPerSampleIsTheBitWidthDividedByEight)
{
    const struct
    {
        USHORT bits;
        ULONG bytes;
    } cases[] = {{16, 2}, {20, 2}, {24, 3}, {31, 3}, {32, 4}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.bits);
        ASSERT_EQ(CreateStream({.channels = 2, .bits = c.bits}), STATUS_SUCCESS);
        EXPECT_EQ(Peer().ClientBytesPerSample(), c.bytes);
        ReleaseStream();
    }
}

TEST_F(Init, AsksThePeriodThenSetsRateAndFormat)
{
    ASSERT_EQ(CreateStream({.channels = 2, .rate = 44100, .bits = 24}), STATUS_SUCCESS);
    ExpectEngineCommands(Engine(),
                         {ENGINE_CMD_GET_PERIOD, ENGINE_CMD_SAMPLE_RATE, ENGINE_CMD_SET_FORMAT});
    auto format = Engine().LastBlock<ENGINE_FORMAT_PARAMS>();
    ASSERT_TRUE(format);
    EXPECT_EQ(format->DeviceIndex, kDeviceIndex);
    EXPECT_EQ(format->SampleRate, 44100u);
    EXPECT_EQ(format->Channels, 2u);
    EXPECT_EQ(format->BitsPerSample, 24u);
    EXPECT_EQ(format->NonPcm, 0u);
    EXPECT_EQ(Engine().SampleRate(), 44100u);
    EXPECT_EQ(Peer().SampleRate(), 44100u);
}

TEST_F(Init, HandsOutTheServiceGroupWithAReferenceForTheCaller)
{
    ASSERT_EQ(CreateStream({.channels = 2, .bits = 16}), STATUS_SUCCESS);
    ASSERT_NE(ServiceGroup(), nullptr);
    EXPECT_EQ(ServiceGroup(), Peer().ServiceGroup());
    EXPECT_EQ(host::portcls::ServiceGroupReferences(ServiceGroup()), 2);
}

// A compressed pass-through format may pass the format rules with 0
// channels; the sizes would all be 0 and the transfer would divide by them.
TEST_F(Init, RefusesZeroChannelsBeforeAskingTheEngine)
{
    EXPECT_EQ(CreateStream({.channels = 0, .bits = 16}, false, 0, WAVE_FORMAT_DOLBY_AC3_SPDIF),
              STATUS_INVALID_PARAMETER);
    ExpectEngineCommands(Engine(), {});
    PMINIPORTWAVEPCI miniport = Miniport();
    EXPECT_EQ(miniport->AddRef(), 2u) << "the failed stream's miniport reference went";
    miniport->Release();
}

// The absent engine answers GET_PERIOD with 0 frames.
TEST_F(Init, RefusesAPeriodOfZeroFrames)
{
    ENGINE_INTERFACE absent{};
    UseAbsentEngine(&absent);
    PUNKNOWN unknown = nullptr;
    ASSERT_EQ(CreateMiniportWavePci(&unknown, GUID_NULL, nullptr, NonPagedPoolNx), STATUS_SUCCESS);
    auto* miniport = static_cast<CMiniportWavePci*>(static_cast<PMINIPORTWAVEPCI>(unknown));
    PSERVICEGROUP none = nullptr;
    ASSERT_EQ(miniport->Init(reinterpret_cast<PUNKNOWN>(&absent), nullptr, &WavePort(), &none),
              STATUS_SUCCESS);

    CMiniportWavePciStream* stream = nullptr;
    ASSERT_EQ(CreateMiniportWavePciStream(&stream, nullptr, NonPagedPoolNx), STATUS_SUCCESS);
    PSERVICEGROUP group = nullptr;
    EXPECT_EQ(stream->Init(miniport, &PortStream(), 0, 0, FALSE, Format({}), &group),
              STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(group, nullptr);
    static_cast<PMINIPORTWAVEPCISTREAM>(stream)->Release();
    EXPECT_EQ(unknown->Release(), 0u);
}

TEST_F(Init, ReturnsTheEnginesFormatResult)
{
    Engine().SetFormatResult(static_cast<ULONG>(STATUS_NOT_SUPPORTED));
    EXPECT_EQ(CreateStream({.channels = 2, .bits = 16}), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(LiveServiceGroups(), 0u);
}

TEST_F(Init, ServiceGroupFailureIsReturnedAndNothingStays)
{
    host::FaultScope faults;
    faults.FailEveryCallOf("PcNewServiceGroup");
    EXPECT_EQ(CreateStream({.channels = 2, .bits = 16}), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PortStream().References(), 1);
}

// --- SetFormat ----------------------------------------------------------------

TEST_F(SetFormat, WhileRunningIsRefusedWithoutAnEngineCommand)
{
    Engine().SetPeriodFrames(4);
    ASSERT_EQ(CreateStream({.channels = 2, .bits = 16}), STATUS_SUCCESS);
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Engine().ClearCommands();
    EXPECT_EQ(Stream()->SetFormat(Format({.channels = 2, .rate = 44100, .bits = 16})),
              STATUS_INVALID_DEVICE_REQUEST);
    ExpectEngineCommands(Engine(), {});
}

TEST_F(SetFormat, AcceptedWhilePausedAfterARun)
{
    Engine().SetPeriodFrames(4);
    ASSERT_EQ(CreateStream({.channels = 2, .bits = 16}), STATUS_SUCCESS);
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(Stream()->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(Stream()->SetFormat(Format({.channels = 2, .rate = 96000, .bits = 16})),
              STATUS_SUCCESS);
    EXPECT_EQ(Peer().SampleRate(), 96000u);
}

TEST_F(SetFormat, RateTheEngineDoesNotTakeIsRefusedBeforeTheFormatIsSet)
{
    ASSERT_EQ(CreateStream({.channels = 2, .bits = 16}), STATUS_SUCCESS);
    Engine().SetSupportedRates({48000});
    Engine().ClearCommands();
    EXPECT_EQ(Stream()->SetFormat(Format({.channels = 2, .rate = 44100, .bits = 16})),
              STATUS_INVALID_DEVICE_REQUEST);
    ExpectEngineCommands(Engine(), {ENGINE_CMD_SAMPLE_RATE});
    EXPECT_EQ(Peer().SampleRate(), 48000u);
}

// The rate is requested before the format is checked: a refused format
// still leaves the device at the requested rate.
TEST_F(SetFormat, RefusedFormatStillLeavesTheRequestedRate)
{
    ASSERT_EQ(CreateStream({.channels = 2, .bits = 16}), STATUS_SUCCESS);
    Engine().ClearCommands();
    // PCM subformat with a wave format tag the rules do not accept.
    EXPECT_EQ(Stream()->SetFormat(Format(
                  {.formatTag = WAVE_FORMAT_ADPCM, .channels = 2, .rate = 44100, .bits = 16})),
              STATUS_INVALID_DEVICE_REQUEST);
    ExpectEngineCommands(Engine(), {ENGINE_CMD_SAMPLE_RATE});
    EXPECT_EQ(Engine().SampleRate(), 44100u);
}

// The buffer, the period and the framing the port was given depend on the
// channel count and sample size of the creation format.
TEST_F(SetFormat, OtherChannelCountOrSampleSizeIsRefusedUntouched)
{
    Engine().SetPeriodFrames(4);
    ASSERT_EQ(CreateStream({.channels = 2, .bits = 16}), STATUS_SUCCESS);
    Engine().ClearCommands();
    EXPECT_EQ(Stream()->SetFormat(Format({.channels = 4, .bits = 16})),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Stream()->SetFormat(Format({.channels = 2, .bits = 24})),
              STATUS_INVALID_DEVICE_REQUEST);
    ExpectEngineCommands(Engine(), {});
    EXPECT_EQ(Peer().Channels(), 2u);
    EXPECT_EQ(Peer().PeriodClientBytes(), 16u);
    EXPECT_EQ(Stream()->SetFormat(Format({.channels = 2, .bits = 20})), STATUS_SUCCESS)
        << "20 bits keep the 2-byte sample";
}

TEST_F(SetFormat, PassThroughTagsSetNonPcm)
{
    for (USHORT tag : {USHORT(WAVE_FORMAT_DOLBY_AC3_SPDIF), USHORT(WAVE_FORMAT_WMASPDIF),
                       USHORT(WAVE_FORMAT_DTS)})
    {
        SCOPED_TRACE(tag);
        ASSERT_EQ(CreateStream({.channels = 2, .bits = 16}, false, 0, tag), STATUS_SUCCESS);
        EXPECT_EQ(Peer().NonPcm(), 1u);
        EXPECT_EQ(Engine().LastBlock<ENGINE_FORMAT_PARAMS>()->NonPcm, 1u);
        ReleaseStream();
    }
    ASSERT_EQ(CreateStream({.channels = 2, .bits = 16}), STATUS_SUCCESS);
    EXPECT_EQ(Engine().LastBlock<ENGINE_FORMAT_PARAMS>()->NonPcm, 0u);
}

// --- GetAllocatorFraming -------------------------------------------------------

TEST_F(GetAllocatorFraming, OneFrameOfOnePeriodOfClientBytes)
{
    Engine().SetPeriodFrames(128);
    ASSERT_EQ(CreateStream({.channels = 2, .bits = 24}), STATUS_SUCCESS);
    KSALLOCATOR_FRAMING framing;
    std::memset(&framing, 0x77, sizeof(framing));
    EXPECT_EQ(Stream()->GetAllocatorFraming(&framing), STATUS_SUCCESS);
    EXPECT_EQ(framing.RequirementsFlags, 0x80000002u);
    EXPECT_EQ(framing.PoolType, NonPagedPoolNx);
    EXPECT_EQ(framing.Frames, 1u);
    EXPECT_EQ(framing.FrameSize, 768u);
    EXPECT_EQ(framing.FileAlignment, 3u);
    EXPECT_EQ(framing.Reserved, 0x77777777u) << "left as the caller passed it";
}

// --- NonDelegatingQueryInterface ------------------------------------------------

TEST_F(NonDelegatingQueryInterface, AnswersItsTwoIdentifiersWithThePrimaryInterface)
{
    ASSERT_EQ(CreateStream({.channels = 2, .bits = 16}), STATUS_SUCCESS);
    PMINIPORTWAVEPCISTREAM primary = Stream();
    for (const GUID* iid : {&IID_IMiniportWavePciStream, &IID_IUnknown})
    {
        PVOID result = nullptr;
        EXPECT_EQ(primary->QueryInterface(*iid, &result), STATUS_SUCCESS);
        EXPECT_EQ(result, primary);
    }
    EXPECT_EQ(primary->Release(), 2u) << "each answer added one reference";
    primary->Release();
}

// The stream does not implement IServiceSink: a caller that called
// RequestService (its slot 3) through the answer would call SetFormat with
// no format, in pageable code, at DISPATCH_LEVEL.
TEST_F(NonDelegatingQueryInterface, RefusesTheServiceSinkItDoesNotImplement)
{
    ASSERT_EQ(CreateStream({.channels = 2, .bits = 16}), STATUS_SUCCESS);
    PVOID result = reinterpret_cast<PVOID>(0x1);
    EXPECT_EQ(Stream()->QueryInterface(IID_IServiceSink, &result), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(result, nullptr);
}

TEST_F(NonDelegatingQueryInterface, RefusesTheMiniportInterfaces)
{
    ASSERT_EQ(CreateStream({.channels = 2, .bits = 16}), STATUS_SUCCESS);
    const GUID desktopUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    for (const GUID* iid : {&IID_IMiniport, &IID_IMiniportWavePci, &desktopUnknown})
    {
        PVOID result = reinterpret_cast<PVOID>(0x1);
        EXPECT_EQ(Stream()->QueryInterface(*iid, &result), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(result, nullptr);
    }
}

// --- destruction ------------------------------------------------------------------

TEST_F(StreamObject, DestructionDropsEveryReferenceAndFreesThePin)
{
    ASSERT_EQ(CreateStream({.channels = 2, .bits = 16}), STATUS_SUCCESS);
    EXPECT_EQ(PortStream().References(), 2);
    ReleaseStream();
    EXPECT_EQ(PortStream().References(), 1);
    EXPECT_EQ(LiveServiceGroups(), 0u);
    EXPECT_EQ(host::Pool().Outstanding(host::Tag("PcCr")), 1u) << "only the miniport";
}

} // namespace
