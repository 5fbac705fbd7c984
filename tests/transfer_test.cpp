// The sample transfer: sample conversion into and out of 32-bit containers,
// one period per Service call, silence when nothing came, the capture
// warm-up, MappingAvailable, and the engine's notification path.
#include "stream/convert.h"

#include "host/kernel/pool.h"
#include "tests/support/streamonfakeports.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace
{

using Bytes = std::vector<std::uint8_t>;

// Runs the reference conversion over a ring of `ringSize` bytes filled with
// `fill`; returns the ring and leaves the final offset in `offset`.
Bytes Convert(Bytes client, ULONG bytesPerSample, bool capture, Bytes ring, ULONG& offset)
{
    ConvertSamplesReference(ring.data(), &offset, client.data(), static_cast<ULONG>(client.size()),
                            bytesPerSample, capture ? TRUE : FALSE);
    return capture ? client : ring;
}

// --- ConvertSamplesReference ---------------------------------------------

TEST(ConvertSamplesReference, Render16BitGetsTwoZeroLowBytes)
{
    ULONG offset = 0;
    Bytes ring = Convert({0x34, 0x12, 0xCD, 0xAB}, 2, false, Bytes(8, 0xEE), offset);
    EXPECT_EQ(ring, (Bytes{0x00, 0x00, 0x34, 0x12, 0x00, 0x00, 0xCD, 0xAB}));
    EXPECT_EQ(offset, 8u);
}

TEST(ConvertSamplesReference, Render24BitLeavesContainerByteZeroUnwritten)
{
    ULONG offset = 0;
    Bytes ring = Convert({0x56, 0x34, 0x12, 0xBC, 0x9A, 0x78}, 3, false, Bytes(8, 0xEE), offset);
    EXPECT_EQ(ring, (Bytes{0xEE, 0x56, 0x34, 0x12, 0xEE, 0xBC, 0x9A, 0x78}));
    EXPECT_EQ(offset, 8u);
}

TEST(ConvertSamplesReference, Render24BitSampleSplitAfterTwoBytesEndsUpWhole)
{
    Bytes ring(8, 0x00);
    ULONG offset = 0;
    Bytes first = {0x56, 0x34};
    ConvertSamplesReference(ring.data(), &offset, first.data(), 2, 3, FALSE);
    EXPECT_EQ(offset, 3u) << "the first call stops before container byte 3";
    Bytes second = {0x12, 0xBC, 0x9A, 0x78};
    ConvertSamplesReference(ring.data(), &offset, second.data(), 4, 3, FALSE);
    EXPECT_EQ(ring, (Bytes{0x00, 0x56, 0x34, 0x12, 0x00, 0xBC, 0x9A, 0x78}));
    EXPECT_EQ(offset, 8u);
}

TEST(ConvertSamplesReference, Render32BitIsCopiedUnchanged)
{
    ULONG offset = 0;
    Bytes ring = Convert({1, 2, 3, 4, 5, 6, 7, 8}, 4, false, Bytes(8, 0xEE), offset);
    EXPECT_EQ(ring, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(ConvertSamplesReference, CaptureTakesTheHighBytesOfEachContainer)
{
    const Bytes containers = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    ULONG offset = 0;
    EXPECT_EQ(Convert(Bytes(4, 0), 2, true, containers, offset), (Bytes{0x33, 0x44, 0x77, 0x88}));
    offset = 0;
    EXPECT_EQ(Convert(Bytes(6, 0), 3, true, containers, offset),
              (Bytes{0x22, 0x33, 0x44, 0x66, 0x77, 0x88}));
    offset = 0;
    EXPECT_EQ(Convert(Bytes(8, 0), 4, true, containers, offset), containers);
}

// Splitting the client bytes at any point, into two calls, must give the
// ring that one call gives: the carry of a partial sample (the odd byte of a
// 2-byte stream, the first bytes of a 3-byte sample) is exact.
TEST(ConvertSamplesReference, AnySplitOfTheClientBytesGivesTheSameRing)
{
    for (ULONG bytesPerSample : {2u, 3u, 4u})
    {
        const Bytes client = nuvtest::Ramp(6 * bytesPerSample);
        ULONG wholeOffset = 0;
        Bytes whole = Convert(client, bytesPerSample, false, Bytes(24, 0x00), wholeOffset);
        for (std::size_t split = 0; split <= client.size(); ++split)
        {
            SCOPED_TRACE(::testing::Message() << "B " << bytesPerSample << ", split " << split);
            Bytes ring(24, 0x00);
            Bytes head(client.begin(), client.begin() + split);
            Bytes tail(client.begin() + split, client.end());
            ULONG offset = 0;
            ConvertSamplesReference(ring.data(), &offset, head.data(), ULONG(head.size()),
                                    bytesPerSample, FALSE);
            ConvertSamplesReference(ring.data(), &offset, tail.data(), ULONG(tail.size()),
                                    bytesPerSample, FALSE);
            EXPECT_EQ(ring, whole);
            EXPECT_EQ(offset, wholeOffset);
        }
    }
}

// --- Service --------------------------------------------------------------

class Service : public nuvtest::StreamOnFakePortsTestbed
{
protected:
    // F = 4, 16-bit stereo: period 16 client bytes, 32 container bytes.
    void StartRender16(ULONG frames = 4)
    {
        Engine().SetPeriodFrames(frames);
        ASSERT_EQ(CreateStream({.channels = 2, .bits = 16}), STATUS_SUCCESS);
        ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    }

    // The containers render makes of 16-bit client bytes.
    static Bytes Widen16(const Bytes& client)
    {
        Bytes containers;
        for (std::size_t i = 0; i + 1 < client.size(); i += 2)
            containers.insert(containers.end(), {0, 0, client[i], client[i + 1]});
        return containers;
    }

    Bytes Ring(std::size_t from, std::size_t to)
    {
        Bytes ring = Peer().BufferBytesNow();
        return Bytes(ring.begin() + from, ring.begin() + to);
    }
};

// RUN found no mapping, so the engine takes half 0 silent at its start, and
// the stream's first period goes into half 1, the one the engine takes next.
// From there each Service fills the half the engine takes right after it.
TEST_F(Service, WorkedPeriodOfFourCalls)
{
    StartRender16();
    const Bytes data = nuvtest::Ramp(40);
    PortStream().QueueMapping(data);

    // Service 1: GetMapping gives 40 bytes, 16 move into ring bytes 32 to 63.
    RunService();
    EXPECT_EQ(Ring(32, 64), Widen16(Bytes(data.begin(), data.begin() + 16)));
    EXPECT_EQ(Peer().MappingBytes(), 24u);
    EXPECT_EQ(Peer().BufferOffset(), 0u) << "64 mod 64";
    EXPECT_EQ(Peer().CompletedBytes(), 16u);

    // Service 2: the held 24 bytes, 16 move into ring bytes 0 to 31.
    RunService();
    EXPECT_EQ(Ring(0, 32), Widen16(Bytes(data.begin() + 16, data.begin() + 32)));
    EXPECT_EQ(Peer().MappingBytes(), 8u);
    EXPECT_EQ(Peer().BufferOffset(), 32u);
    EXPECT_EQ(Peer().CompletedBytes(), 32u);
    EXPECT_EQ(PortStream().ReleaseCount(), 0u);
    EXPECT_EQ(Ring(32, 64), Bytes(32, 0))
        << "the half the engine has played and takes next is silent until it is filled";

    // Service 3: the last 8 bytes, release, then GetMapping fails. The
    // engine takes the half with its two frames and silence after them;
    // the next period starts in the other half.
    RunService();
    EXPECT_EQ(PortStream().ReleaseCount(), 1u);
    EXPECT_EQ(Ring(32, 48), Widen16(Bytes(data.begin() + 32, data.end())));
    EXPECT_EQ(Ring(48, 64), Bytes(16, 0));
    EXPECT_EQ(Ring(0, 32), Bytes(32, 0));
    EXPECT_EQ(Peer().PeriodBytesDone(), 0u);
    EXPECT_EQ(Peer().BufferOffset(), 0u);

    // MappingAvailable: 100 bytes, a whole period moves into the half the
    // engine takes next.
    const Bytes more = nuvtest::Ramp(100, 0x80);
    PortStream().QueueMapping(more);
    RunMappingAvailable();
    EXPECT_EQ(Ring(0, 32), Widen16(Bytes(more.begin(), more.begin() + 16)));
    EXPECT_EQ(Peer().MappingBytes(), 84u);
    EXPECT_EQ(Peer().CompletedBytes(), 48u);
    EXPECT_EQ(Peer().BufferOffset(), 32u);

    ASSERT_EQ(Stream()->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(Stream()->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    AllowOutstandingMappings(); // the port revokes the 84 bytes when the pin closes
}

TEST_F(Service, TheEngineSeesTheBufferItWasGiven)
{
    StartRender16();
    PortStream().QueueMapping(nuvtest::Ramp(16));
    RunService();
    EXPECT_EQ(AttachedBuffer(), Peer().BufferBytesNow());
    EXPECT_EQ(AttachedBuffer().size(), 64u);
}

TEST_F(Service, CallThatMovesNothingZeroesBothHalves)
{
    Engine().SetPeriodFrames(4);
    ASSERT_EQ(CreateStream({.channels = 2, .bits = 16}), STATUS_SUCCESS);
    PortStream().QueueMapping(nuvtest::Ramp(32));
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS); // period 0
    RunService();                                               // period 1
    ASSERT_NE(Peer().BufferBytesNow(), Bytes(64, 0));
    RunService(); // no mapping left
    EXPECT_EQ(Peer().BufferBytesNow(), Bytes(64, 0));
}

// RUN found nothing, so the engine took the first half silent: the first
// period the client sends goes into the second half, which it takes next,
// and not into the half it has just played.
TEST_F(Service, AfterAnEmptyRunTheFirstPeriodGoesIntoTheHalfTakenNext)
{
    StartRender16();
    PortStream().QueueMapping(nuvtest::Ramp(16));
    RunService();
    EXPECT_EQ(Ring(32, 64), Widen16(nuvtest::Ramp(16)));
    EXPECT_EQ(Ring(0, 32), Bytes(32, 0));
}

// A period that runs short is played as far as it came, then silence, and
// nothing of it is left for the engine to play again two periods later.
TEST_F(Service, ShortPeriodPlaysItsFramesThenSilence)
{
    StartRender16();
    PortStream().QueueMapping(nuvtest::Ramp(32));
    RunService();
    RunService();
    PortStream().QueueMapping(nuvtest::Ramp(4, 0x70));
    RunService(); // 4 bytes, then the queue is empty
    EXPECT_EQ(Ring(32, 40), Widen16(nuvtest::Ramp(4, 0x70)));
    EXPECT_EQ(Ring(40, 64), Bytes(24, 0));
    EXPECT_EQ(Ring(0, 32), Bytes(32, 0)) << "the half taken next holds no old period";
}

TEST_F(Service, OffsetReturnsToZeroOnlyAfterTheSecondHalf)
{
    Engine().SetPeriodFrames(4);
    ASSERT_EQ(CreateStream({.channels = 2, .bits = 16}), STATUS_SUCCESS);
    PortStream().QueueMapping(nuvtest::Ramp(32));
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS); // pre-fill: half 0
    EXPECT_EQ(Peer().BufferOffset(), Peer().PeriodContainerBytes());
    RunService();
    EXPECT_EQ(Peer().BufferOffset(), 0u);
}

TEST_F(Service, OneCallCompletesAtMostOnePeriod)
{
    StartRender16();
    PortStream().QueueMapping(nuvtest::Ramp(8));
    PortStream().QueueMapping(nuvtest::Ramp(8));
    PortStream().QueueMapping(nuvtest::Ramp(8));
    RunService();
    EXPECT_EQ(Peer().CompletedBytes(), 16u);
    EXPECT_EQ(PortStream().GetCount(), 3u) << "the RUN pre-fill's failed call and two mappings";
    EXPECT_EQ(PortStream().ReleaseCount(), 2u);
    RunService();
}

TEST_F(Service, OddByteMappingsOf16BitSamplesStayInsideMappingAndHalf)
{
    StartRender16();
    const Bytes data = nuvtest::Ramp(16);
    // 3 + 5 + 8 bytes: samples split in the middle twice. The mappings end
    // at a guard page, so reading past one crashes.
    PortStream().QueueMapping(Bytes(data.begin(), data.begin() + 3));
    PortStream().QueueMapping(Bytes(data.begin() + 3, data.begin() + 8));
    PortStream().QueueMapping(Bytes(data.begin() + 8, data.end()));
    RunService();
    EXPECT_EQ(Ring(32, 64), Widen16(data));
    EXPECT_EQ(Ring(0, 32), Bytes(32, 0));
    EXPECT_EQ(Peer().CompletedBytes(), 16u);
    EXPECT_EQ(Peer().BufferOffset(), 0u);
    EXPECT_EQ(host::Pool().CheckGuards(), 0u);
}

// One byte of a frame, then nothing: the engine takes the half silent (a
// frame is never played in part) and the byte goes along to the start of
// the next half, where the rest of its sample and frame complete it.
TEST_F(Service, OddByteIsCarriedToTheNextMapping)
{
    StartRender16();
    PortStream().QueueMapping({0x34});
    RunService(); // one byte, then nothing more
    EXPECT_EQ(Ring(32, 64), Bytes(32, 0)) << "the half the engine took";
    EXPECT_EQ(Peer().PeriodBytesDone(), 1u);
    EXPECT_EQ(Peer().BufferOffset(), 3u);
    PortStream().QueueMapping({0x12, 0xCD, 0xAB});
    RunMappingAvailable();
    EXPECT_EQ(Ring(0, 8), (Bytes{0, 0, 0x34, 0x12, 0, 0, 0xCD, 0xAB}));
    EXPECT_EQ(Peer().BufferOffset(), 8u);
}

TEST_F(Service, StoppedStreamTakesNoMapping)
{
    Engine().SetPeriodFrames(4);
    ASSERT_EQ(CreateStream({.channels = 2, .bits = 16}), STATUS_SUCCESS);
    PortStream().QueueMapping(nuvtest::Ramp(16));
    RunService();
    EXPECT_EQ(PortStream().GetCount(), 0u);
    EXPECT_EQ(Peer().ServiceCount(), 0u);
}

TEST_F(Service, CaptureIgnoresTheFirstTwoCallsThenTransfers)
{
    Engine().SetPeriodFrames(4);
    ASSERT_EQ(CreateStream({.channels = 2, .bits = 16}, /*capture=*/true), STATUS_SUCCESS);
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(PortStream().GetCount(), 0u) << "no pre-fill for capture";

    // What the engine recorded into the first half.
    PUCHAR ring = Peer().Buffer();
    for (ULONG i = 0; i < 32; ++i)
        ring[i] = static_cast<UCHAR>(0x40 + i);
    std::size_t space = PortStream().QueueSpace(16);

    RunService();
    RunService();
    EXPECT_EQ(PortStream().GetCount(), 0u);
    EXPECT_EQ(ring[0], 0x40) << "the warm-up calls do not zero the buffer";

    RunService();
    Bytes expected;
    for (ULONG i = 0; i < 32; i += 4)
        expected.insert(expected.end(), {UCHAR(0x40 + i + 2), UCHAR(0x40 + i + 3)});
    EXPECT_EQ(PortStream().Bytes(space), expected);
    EXPECT_EQ(PortStream().ReleaseCount(), 1u);
}

TEST_F(Service, Capture24BitFillsTheMappingExactly)
{
    Engine().SetPeriodFrames(1);
    ASSERT_EQ(CreateStream({.channels = 2, .bits = 24}, /*capture=*/true), STATUS_SUCCESS);
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    const Bytes containers = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    std::copy(containers.begin(), containers.end(), Peer().Buffer());
    std::size_t space = PortStream().QueueSpace(6);
    RunService();
    RunService();
    RunService();
    EXPECT_EQ(PortStream().Bytes(space), (Bytes{0x22, 0x33, 0x44, 0x66, 0x77, 0x88}));
}

// --- MappingAvailable -------------------------------------------------------

TEST_F(Service, MappingAvailableOnAPausedStreamMovesNothing)
{
    StartRender16();
    ASSERT_EQ(Stream()->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    PortStream().QueueMapping(nuvtest::Ramp(16));
    const std::size_t before = PortStream().GetCount();
    RunMappingAvailable();
    EXPECT_EQ(PortStream().GetCount(), before);
    EXPECT_EQ(Peer().TotalBytes(), 0u);
}

TEST_F(Service, MappingAvailableHasNoWarmUpAndNoSilence)
{
    Engine().SetPeriodFrames(4);
    ASSERT_EQ(CreateStream({.channels = 2, .bits = 16}, /*capture=*/true), STATUS_SUCCESS);
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    RunService();
    RunService();
    RunService(); // past the warm-up: a transfer that finds no mapping
    const std::size_t before = PortStream().GetCount();
    Peer().Buffer()[0] = 0x5A;
    RunMappingAvailable(); // the short period goes on; no mapping: nothing is zeroed
    EXPECT_EQ(PortStream().GetCount(), before + 1);
    EXPECT_EQ(Peer().Buffer()[0], 0x5A);
}

// A period that is complete is followed by the next one only at the
// engine's pace: MappingAvailable must not run ahead into the half the
// engine is about to take.
TEST_F(Service, MappingAvailableAfterACompletePeriodWaitsForTheEngine)
{
    StartRender16();
    PortStream().QueueMapping(nuvtest::Ramp(16));
    RunService(); // one whole period, from one whole mapping
    const ULONGLONG total = Peer().TotalBytes();
    const std::size_t gets = PortStream().GetCount();
    PortStream().QueueMapping(nuvtest::Ramp(16));
    RunMappingAvailable();
    EXPECT_EQ(Peer().TotalBytes(), total);
    EXPECT_EQ(PortStream().GetCount(), gets);
}

// --- EngineNotify -------------------------------------------------------

using EngineNotifyTest = Service;

TEST_F(EngineNotifyTest, EmptyStreamTableEntryCallsNothing)
{
    Engine().SetPeriodFrames(4);
    ASSERT_EQ(CreateStream({.channels = 2, .bits = 16}), STATUS_SUCCESS);
    RunEngineNotify(0, 0);
    EXPECT_TRUE(WavePort().Notifications().empty());
}

TEST_F(EngineNotifyTest, RunningStreamNotifiesItsServiceGroup)
{
    StartRender16();
    RunEngineNotify(0, 0);
    ASSERT_EQ(WavePort().Notifications().size(), 1u);
    EXPECT_EQ(WavePort().Notifications()[0], ServiceGroup());
    RunEngineNotify(1, 0);
    EXPECT_EQ(WavePort().Notifications().size(), 1u) << "the capture row is empty";
}

TEST_F(EngineNotifyTest, DirectionOrPinOutsideTheTableIsIgnored)
{
    StartRender16();
    RunEngineNotify(2, 0);
    RunEngineNotify(0, WAVE_STREAM_TABLE_PINS);
    RunEngineNotify(0xFFFFFFFF, 0xFFFFFFFF);
    EXPECT_TRUE(WavePort().Notifications().empty());
}

TEST(EngineNotify, MiniportWithoutPortCallsNothing)
{
    PUNKNOWN unknown = nullptr;
    ASSERT_EQ(CreateMiniportWavePci(&unknown, GUID_NULL, nullptr, NonPagedPoolNx), STATUS_SUCCESS);
    EngineNotify(0, 0, static_cast<CMiniportWavePci*>(static_cast<PMINIPORTWAVEPCI>(unknown)));
    EngineNotify(0, 0, nullptr);
    EXPECT_EQ(unknown->Release(), 0u);
}

} // namespace
