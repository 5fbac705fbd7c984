// Playback end to end on a whole host system: a client's buffers through the
// port's mappings, the driver's stream and transfer, into the engine's
// device output, on the virtual clock.
#include "host/engine/clock.h"
#include "host/engine/playoracle.h"
#include "host/kernel/pool.h"
#include "host/portcls/pin.h"
#include "tests/support/systemstreaming.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<std::uint8_t>;
using nuvtest::ExpectedContainers;

// Which period of `expected` each played period is ("-" silence, "?" other).
std::string PeriodMap(const Bytes& played, const Bytes& expected, std::size_t periodBytes)
{
    std::string map;
    for (std::size_t at = 0; at + periodBytes <= played.size(); at += periodBytes)
    {
        const Bytes one(played.begin() + at, played.begin() + at + periodBytes);
        if (std::all_of(one.begin(), one.end(), [](std::uint8_t b) { return b == 0; }))
        {
            map += '-';
            continue;
        }
        char found = '?';
        for (std::size_t k = 0; k * periodBytes < expected.size(); ++k)
        {
            if (std::equal(one.begin(), one.end(), expected.begin() + k * periodBytes))
                found = static_cast<char>('0' + k);
        }
        map += found;
    }
    return map;
}

struct Playback
{
    const char* name;
    int device; // NUV_Wave<device>
    USHORT channels;
    USHORT bits;
    ULONG maxMappingBytes;  // the port's largest mapping
    std::size_t writeBytes; // the client's buffer size (the last one is shorter)
    ULONG splitEvery;       // extra mapping ends every this many stream bytes (0: none)
};

// The period is 64 frames. The cases cover each sample width on both
// descriptors, page-sized mappings, mappings and client buffers whose ends
// fall inside a sample (sizes not a multiple of the frame or the sample),
// and single-byte splits.
const Playback kPlaybacks[] = {
    {"Stereo16Pages", 1, 2, 16, 4096, 4096, 0},
    {"Stereo24Pages", 1, 2, 24, 4096, 4096, 0},
    {"Stereo32Pages", 1, 2, 32, 4096, 4096, 0},
    {"Stereo24OddMappings", 1, 2, 24, 100, 1000, 0},
    {"Stereo16OddBuffers", 1, 2, 16, 4096, 333, 0},
    {"Stereo24SplitInsideSamples", 1, 2, 24, 4096, 4096, 7},
    {"Stereo32SplitEveryByteOfOneSample", 1, 2, 32, 4096, 4096, 1},
    {"SixChannel16Pages", 4, 6, 16, 4096, 4096, 0},
    {"SixChannel24OddMappings", 4, 6, 24, 250, 1024, 0},
    {"SixChannel32SplitInsideSamples", 4, 6, 32, 4096, 777, 5},
};

void PrintTo(const Playback& playback, std::ostream* out)
{
    *out << playback.name;
}

class EndToEnd : public nuvtest::SystemStreamingTestbed,
                 public ::testing::WithParamInterface<Playback>
{
};

constexpr std::size_t kDataPeriods = 6;

// STOP -> ACQUIRE -> PAUSE -> RUN, six periods of client data on the
// virtual clock with positions read half-way and at the end of each period,
// then two periods of silence, PAUSE, STOP, close.
TEST_P(EndToEnd, PlaysTheClientsSamplesWidenedAndReportsWhatWasPlayed)
{
    const Playback& p = GetParam();
    const unsigned bytesPerSample = p.bits / 8;
    const ULONG period = PeriodFrames();
    const std::size_t periodClientBytes = period * p.channels * bytesPerSample;
    const Bytes client =
        nuvtest::ClientSamples(kDataPeriods * period, p.channels, bytesPerSample, 1234);

    auto& pin = OpenPin(p.device, {.channels = p.channels, .bits = p.bits},
                        {.maxMappingBytes = p.maxMappingBytes});
    for (std::uint64_t at = p.splitEvery; p.splitEvery != 0 && at < client.size();
         at += p.splitEvery)
        pin.SplitAt(at);
    for (std::size_t at = 0; at < client.size(); at += p.writeBytes)
    {
        const std::size_t size = std::min(p.writeBytes, client.size() - at);
        pin.Write(std::span(client).subspan(at, size));
    }

    ASSERT_EQ(pin.SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(pin.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);

    for (std::size_t k = 0; k < kDataPeriods; ++k)
    {
        SCOPED_TRACE(::testing::Message() << "period " << k);
        ULONGLONG position = 0;
        ASSERT_EQ(pin.GetPosition(&position), STATUS_SUCCESS);
        EXPECT_EQ(position, k * periodClientBytes) << "at the period's start";
        Clock().AdvanceFrames(period / 2);
        ASSERT_EQ(pin.GetPosition(&position), STATUS_SUCCESS);
        EXPECT_EQ(position, k * periodClientBytes + periodClientBytes / 2) << "half-way";
        EXPECT_EQ(Played(p.device).size(), (k * period + period / 2) * p.channels * 4u);
        Clock().AdvanceFrames(period - period / 2);
    }
    Clock().AdvancePeriods(2);

    ASSERT_EQ(pin.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);

    const host::engine::StreamState record = Record(p.device);
    const Bytes expected = ExpectedContainers(client, bytesPerSample);
    ASSERT_EQ(record.output.size(), expected.size() + 2 * period * p.channels * 4u);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), record.output.begin()))
        << "the device played other bytes than the client's, widened";
    EXPECT_TRUE(std::all_of(record.output.begin() + expected.size(), record.output.end(),
                            [](std::uint8_t b) { return b == 0; }))
        << "after the client's data the device plays silence";
    EXPECT_EQ(record.periodCount, kDataPeriods + 2);
    EXPECT_EQ(record.underruns, 0u);
    EXPECT_EQ(record.silentPeriods, 2u);

    const auto counts = pin.Port().Counts();
    EXPECT_EQ(counts.outstanding, 0u);
    EXPECT_EQ(counts.releases, counts.mappingsHandedOut);
    for (const auto& finished : pin.Port().Finished())
        EXPECT_FALSE(finished.cancelled);
    ClosePin(pin);
    EXPECT_EQ(host::Pool().Outstanding(host::Tag("wVUN")), 0u);
}

INSTANTIATE_TEST_SUITE_P(Formats, EndToEnd, ::testing::ValuesIn(kPlaybacks),
                         [](const auto& info) { return std::string(info.param.name); });

using EndToEndStreaming = nuvtest::SystemStreamingTestbed;

// A client that starts with nothing queued: RUN plays silence (the period
// playing when the data comes, and the one taken at its end), and the data
// written while the stream runs (MappingAvailable) follows whole, in order.
TEST_F(EndToEndStreaming, DataWrittenWhileRunningFollowsTheSilenceWhole)
{
    const ULONG period = PeriodFrames();
    auto& pin = OpenPin(1, {.channels = 2, .bits = 16});
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Clock().AdvancePeriods(1);
    const Bytes client = nuvtest::ClientSamples(3 * period, 2, 2, 99);
    pin.Write(client);
    Clock().AdvancePeriods(5);
    ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);

    const std::size_t periodBytes = period * 2 * 4u;
    EXPECT_EQ(PeriodMap(Played(1), ExpectedContainers(client, 2), periodBytes), "--012-");
    EXPECT_GE(pin.Port().Counts().mappingAvailableCalls, 1u);
}

// An underrun in the middle of a stream: the client runs dry for two
// periods, then writes three more while the stream runs; `meanwhile` runs a
// period after that write. MappingAvailable completes the period left open,
// so the stream runs a period further ahead than usual; the Service that
// finds nothing at the end must silence only the half the engine has
// played, not the one it takes next. Returns the period map of the output.
class EndToEndUnderrun : public nuvtest::SystemStreamingTestbed
{
protected:
    std::string PlayThroughAnUnderrun(const std::function<void(host::portcls::Pin&)>& meanwhile)
    {
        const ULONG period = PeriodFrames();
        auto& pin = OpenPin(1, {.channels = 2, .bits = 16});
        const std::size_t periodClientBytes = period * 2 * 2u;
        const Bytes client = nuvtest::ClientSamples(5 * period, 2, 2, 5);
        pin.Write(std::span(client).subspan(0, 2 * periodClientBytes));
        EXPECT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        Clock().AdvancePeriods(3);
        pin.Write(std::span(client).subspan(2 * periodClientBytes));
        Clock().AdvancePeriods(1);
        meanwhile(pin);
        Clock().AdvancePeriods(5);
        EXPECT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);
        return PeriodMap(Played(1), ExpectedContainers(client, 2), period * 2 * 4u);
    }
};

TEST_F(EndToEndUnderrun, DataWrittenAfterAnUnderrunFollowsWhole)
{
    EXPECT_EQ(PlayThroughAnUnderrun([](host::portcls::Pin&) {}), "01--234--");
}

// A client that runs dry for any number of periods, of either parity: the
// periods it sends afterwards are played next, whole and in order. Each
// case queues `queued` periods, runs, writes `more` periods once the device
// has played `dryUntil` periods, and runs on to `total` periods.
struct UnderrunCase
{
    std::size_t queued;
    std::size_t dryUntil;
    std::size_t more;
    std::size_t total;
    const char* map;
};

TEST_F(EndToEndUnderrun, ClientDataAfterADryStretchOfEitherParityIsPlayedNextInOrder)
{
    const UnderrunCase cases[] = {
        {2, 3, 2, 10, "01--23----"},  {2, 3, 3, 10, "01--234---"}, {2, 4, 2, 11, "01---23----"},
        {2, 4, 3, 11, "01---234---"}, {0, 2, 2, 8, "---01---"},    {0, 2, 3, 9, "---012---"},
    };
    const ULONG period = PeriodFrames();
    const std::size_t periodClientBytes = period * 2 * 2u;
    for (const UnderrunCase& c : cases)
    {
        SCOPED_TRACE(c.map);
        const std::size_t before = Played(1).size();
        auto& pin = OpenPin(1, {.channels = 2, .bits = 16});
        const Bytes client = nuvtest::ClientSamples((c.queued + c.more) * period, 2, 2, 31);
        pin.Write(std::span(client).subspan(0, c.queued * periodClientBytes));
        ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        Clock().AdvancePeriods(c.dryUntil);
        pin.Write(std::span(client).subspan(c.queued * periodClientBytes));
        Clock().AdvancePeriods(c.total - c.dryUntil);
        ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);
        ClosePin(pin);
        const Bytes all = Played(1);
        const Bytes played(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
        EXPECT_EQ(PeriodMap(played, ExpectedContainers(client, 2), period * 2 * 4u), c.map);
    }
}

// The same, paused and run again in the middle of a period while the
// stream is a period further ahead: the engine goes on with the half it
// holds, and the stream's record of what it has taken stays true.
TEST_F(EndToEndUnderrun, DataWrittenAfterAnUnderrunFollowsWholeAcrossAPause)
{
    const std::string map = PlayThroughAnUnderrun(
        [this](host::portcls::Pin& pin)
        {
            const ULONG period = PeriodFrames();
            Clock().AdvanceFrames(period / 2);
            ASSERT_EQ(pin.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
            ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
            Clock().AdvanceFrames(period - period / 2);
        });
    EXPECT_EQ(map, "01--234---");
}

// A stream that ends inside a period: the device plays the client's last
// samples and then silence, not the rest of the half as it was two periods
// before. For each width, with the last sample split across two mappings.
TEST_F(EndToEndStreaming, AStreamEndingInsideAPeriodIsFollowedBySilence)
{
    for (const USHORT bits : {16, 24, 32})
    {
        SCOPED_TRACE(::testing::Message() << bits << "-bit");
        const ULONG period = PeriodFrames();
        const unsigned bytesPerSample = bits / 8u;
        const std::size_t frames = 3 * period + period / 3;
        const Bytes client = nuvtest::ClientSamples(frames, 2, bytesPerSample, bits);
        const std::size_t before = Played(1).size();
        auto& pin = OpenPin(1, {.channels = 2, .bits = bits});
        pin.SplitAt(client.size() - 1);
        pin.Write(client);
        ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        Clock().AdvancePeriods(6);
        ASSERT_EQ(pin.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);

        const Bytes all = Played(1);
        const Bytes played(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
        const Bytes expected = ExpectedContainers(client, bytesPerSample);
        ASSERT_EQ(played.size(), 6 * period * 2 * 4u);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), played.begin()));
        EXPECT_TRUE(std::all_of(played.begin() + static_cast<std::ptrdiff_t>(expected.size()),
                                played.end(), [](std::uint8_t b) { return b == 0; }))
            << "after the last sample the device plays silence";
        ClosePin(pin);
    }
}

// A period that runs short one byte into its half (the byte a sample's
// first): the engine takes that half silent beyond the whole frames before
// it, never with what the half held two periods before, and the byte waits
// for the rest of its frame, which is played whole when it comes.
TEST_F(EndToEndStreaming, APeriodShortByOneByteIntoItsHalfIsSilentBeyondIt)
{
    for (const USHORT bits : {16, 24, 32})
    {
        SCOPED_TRACE(::testing::Message() << bits << "-bit");
        const ULONG period = PeriodFrames();
        const unsigned bytesPerSample = bits / 8u;
        const std::size_t periodBytes = period * 2 * bytesPerSample;
        const Bytes client = nuvtest::ClientSamples(5 * period, 2, bytesPerSample, bits + 1);
        const std::size_t before = Played(1).size();
        auto& pin = OpenPin(1, {.channels = 2, .bits = bits});
        pin.Write(std::span(client).subspan(0, 3 * periodBytes + 1));
        ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        Clock().AdvancePeriods(6);
        const Bytes all = Played(1);
        const Bytes played(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
        const Bytes expected = ExpectedContainers(
            Bytes(client.begin(), client.begin() + static_cast<std::ptrdiff_t>(3 * periodBytes)),
            bytesPerSample);
        ASSERT_EQ(played.size(), 6 * period * 2 * 4u);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), played.begin()));
        EXPECT_TRUE(std::all_of(played.begin() + static_cast<std::ptrdiff_t>(expected.size()),
                                played.end(), [](std::uint8_t b) { return b == 0; }))
            << "after the last whole frame the device plays silence";

        pin.Write(std::span(client).subspan(3 * periodBytes + 1));
        Clock().AdvancePeriods(4);
        ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);
        const auto verdict = host::engine::JudgePlayback(
            pin.Port().Journal(), Record(1), pin.ClientFormat(), pin.Port().OpenOrder());
        EXPECT_TRUE(verdict.Clean()) << verdict.Summary();
        EXPECT_EQ(verdict.clientFramesPlayed, 5u * period);
        ClosePin(pin);
    }
}

// Each buffer the client writes while the stream runs is announced with
// MappingAvailable, and each of those transfers a whole further period when
// none ran short: the transfer runs ahead of the engine by one period per
// write and overwrites halves the engine has not played yet.
TEST_F(EndToEndStreaming, BuffersWrittenWhileRunningArePlayedWhole)
{
    const ULONG period = PeriodFrames();
    auto& pin = OpenPin(1, {.channels = 2, .bits = 16});
    const Bytes client = nuvtest::ClientSamples(6 * period, 2, 2, 11);
    const std::size_t periodClientBytes = period * 2 * 2u;
    pin.Write(std::span(client).subspan(0, 2 * periodClientBytes));
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    for (std::size_t k = 2; k < 6; ++k)
        pin.Write(std::span(client).subspan(k * periodClientBytes, periodClientBytes));
    Clock().AdvancePeriods(7);
    EXPECT_EQ(PeriodMap(Played(1), ExpectedContainers(client, 2), period * 2 * 4u), "012345-");
}

// PAUSE in the middle of a period and RUN again: nothing of the client's
// data is lost or played twice; the pause only inserts time in which the
// stream plays nothing.
TEST_F(EndToEndStreaming, PauseAndRunAgainContinuesWhereItStopped)
{
    const ULONG period = PeriodFrames();
    auto& pin = OpenPin(1, {.channels = 2, .bits = 24});
    const Bytes client = nuvtest::ClientSamples(6 * period, 2, 3, 7);
    pin.Write(client);
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Clock().AdvancePeriods(2);
    ASSERT_EQ(pin.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    Clock().AdvancePeriods(3);
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Clock().AdvancePeriods(6);
    ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);

    EXPECT_EQ(PeriodMap(Played(1), ExpectedContainers(client, 3), period * 2 * 4u), "012345--");
    EXPECT_EQ(Record(1).underruns, 0u);
}

// The same pause, for the part the stream gets right: what was playing when
// the pause came continues at the frame where it stopped, and the periods
// after it follow in order.
TEST_F(EndToEndStreaming, PauseInsideAPeriodResumesAtTheFrameWhereItStopped)
{
    const ULONG period = PeriodFrames();
    auto& pin = OpenPin(1, {.channels = 2, .bits = 24});
    const Bytes client = nuvtest::ClientSamples(8 * period, 2, 3, 7);
    pin.Write(client);
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Clock().AdvancePeriods(2);
    Clock().AdvanceFrames(period / 4);
    ASSERT_EQ(pin.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    const std::size_t atPause = Played(1).size();
    Clock().AdvancePeriods(3);
    EXPECT_EQ(Played(1).size(), atPause) << "a paused stream plays nothing";
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Clock().AdvancePeriods(4);
    ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);

    const Bytes played = Played(1);
    const Bytes expected = ExpectedContainers(client, 3);
    const std::size_t fiveAndAQuarter = (5 * period + period / 4) * 2 * 4u;
    ASSERT_GE(played.size(), fiveAndAQuarter);
    EXPECT_TRUE(std::equal(played.begin(), played.begin() + fiveAndAQuarter, expected.begin()));
    EXPECT_EQ(Record(1).underruns, 0u);
}

// The device goes on while PAUSE reaches the engine: a period ends between
// the stream's STOP and the clearing of its callback. The engine must not take a half then that the
// stream never hears of, or the stream goes on in the wrong half after RUN:
// STOP goes first, then the callback is cleared.
TEST_F(EndToEndStreaming, APeriodEndingWhilePauseReachesTheEngineTakesNoHalfUnheard)
{
    const ULONG period = PeriodFrames();
    auto& pin = OpenPin(1, {.channels = 2, .bits = 16});
    const Bytes client = nuvtest::ClientSamples(8 * period, 2, 2, 3);
    pin.Write(client);
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Clock().AdvancePeriods(2);
    bool armed = true;
    Engine().SetCommandObserver(
        [&](ULONG command)
        {
            if (armed && command == ENGINE_CMD_STOP)
            {
                armed = false;
                Clock().AdvancePeriods(1);
            }
        });
    ASSERT_EQ(pin.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    Engine().SetCommandObserver({});
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Clock().AdvancePeriods(8);
    ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    const auto verdict = host::engine::JudgePlayback(pin.Port().Journal(), Record(1),
                                                     pin.ClientFormat(), pin.Port().OpenOrder());
    EXPECT_TRUE(verdict.Clean()) << verdict.Summary();
    EXPECT_EQ(PeriodMap(Played(1), ExpectedContainers(client, 2), period * 2 * 4u), "01234567--");
}

// The engine may end periods as soon as START reaches it, before the
// thread that sent START goes on (a preempted RUN, or a revocation's
// restart). Each of those ends must be serviced: a Service that found the
// stream not yet running, or a notification that found no service group,
// would leave the engine to go round both halves unrefreshed and play a
// period again. The engine ends three periods while each START is on its
// way; the device must play every period once, in order.
class StartHeldUp : public EndToEndStreaming
{
protected:
    // Device 1, 16-bit stereo, with eight periods of the client's queued.
    host::portcls::Pin& OpenWithEightPeriods(host::portcls::PinOptions options = {})
    {
        auto& pin = OpenPin(1, {.channels = 2, .bits = 16}, options);
        m_client = nuvtest::ClientSamples(8 * PeriodFrames(), 2, 2, 3);
        pin.Write(m_client);
        return pin;
    }
    void HoldUpTheNextStart(ULONG periods)
    {
        m_armed = true;
        Engine().SetCommandObserver(
            [this, periods](ULONG command)
            {
                if (m_armed && command == ENGINE_CMD_START)
                {
                    m_armed = false;
                    Clock().AdvancePeriods(periods);
                }
            });
    }
    void ExpectPlayedOnceInOrder(host::portcls::Pin& pin)
    {
        Engine().SetCommandObserver({});
        EXPECT_FALSE(m_armed) << "no START was held up";
        const auto verdict = host::engine::JudgePlayback(
            pin.Port().Journal(), Record(1), pin.ClientFormat(), pin.Port().OpenOrder());
        EXPECT_TRUE(verdict.Clean()) << verdict.Summary();
    }
    // The eight periods, each once and in order, then silence.
    std::string PeriodsPlayed()
    {
        return PeriodMap(Played(1), ExpectedContainers(m_client, 2), PeriodFrames() * 2 * 4u);
    }

private:
    bool m_armed = false;
    Bytes m_client;
};

TEST_F(StartHeldUp, AtTheFirstRunEveryPeriodEndIsServiced)
{
    auto& pin = OpenWithEightPeriods();
    HoldUpTheNextStart(3);
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Clock().AdvancePeriods(7);
    ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    ExpectPlayedOnceInOrder(pin);
    EXPECT_EQ(PeriodsPlayed(), "01234567--");
}

TEST_F(StartHeldUp, AtARunAfterPauseEveryPeriodEndIsServiced)
{
    auto& pin = OpenWithEightPeriods();
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Clock().AdvancePeriods(2);
    ASSERT_EQ(pin.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    HoldUpTheNextStart(3);
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Clock().AdvancePeriods(5);
    ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    ExpectPlayedOnceInOrder(pin);
    EXPECT_EQ(PeriodsPlayed(), "01234567--");
}

// A revocation stops and restarts the engine stream; what the client writes
// after it is played once, in order, after what was in the buffer.
TEST_F(StartHeldUp, AtARestartAfterARevocationEveryPeriodEndIsServiced)
{
    auto& pin = OpenWithEightPeriods({.maxMappingBytes = 400});
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Clock().AdvancePeriods(2);
    HoldUpTheNextStart(3);
    const auto cancelled = pin.CancelQueued();
    ASSERT_TRUE(cancelled.revokeCalled);
    pin.Write(nuvtest::ClientSamples(4 * PeriodFrames(), 2, 2, 9));
    Clock().AdvancePeriods(6);
    ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    ExpectPlayedOnceInOrder(pin);
}

// Both devices at once, each with its own data: the streams do not mix.
TEST_F(EndToEndStreaming, TwoDevicesPlayTheirOwnData)
{
    const ULONG period = PeriodFrames();
    auto& stereo = OpenPin(1, {.channels = 2, .bits = 16});
    auto& six = OpenPin(4, {.channels = 6, .bits = 32});
    const Bytes a = nuvtest::ClientSamples(3 * period, 2, 2, 1);
    const Bytes b = nuvtest::ClientSamples(3 * period, 6, 4, 2);
    stereo.Write(a);
    six.Write(b);
    ASSERT_EQ(stereo.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(six.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Clock().AdvancePeriods(3);
    EXPECT_EQ(Played(1), ExpectedContainers(a, 2));
    EXPECT_EQ(Played(4), ExpectedContainers(b, 4));
}

// The client cancels what it queued: the stream gives up the mapping it held
// (RevokeMappings), releases nothing it was given back, and plays silence
// once the data already moved into its buffer has been played.
TEST_F(EndToEndStreaming, CancelledDataIsNotPlayedAndItsMappingsAreNotReleased)
{
    const ULONG period = PeriodFrames();
    auto& pin = OpenPin(1, {.channels = 2, .bits = 16}, {.maxMappingBytes = 400});
    const Bytes client = nuvtest::ClientSamples(8 * period, 2, 2, 5);
    pin.Write(client);
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Clock().AdvancePeriods(2);
    const auto cancelled = pin.CancelQueued();
    EXPECT_EQ(cancelled.buffers, 1u);
    EXPECT_TRUE(cancelled.revokeCalled) << "a mapping was outstanding";
    EXPECT_EQ(cancelled.mappingsRevoked, 1u);
    Clock().AdvancePeriods(4);
    ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);

    // Periods 0 and 1 played, period 2 was in the buffer when the client
    // cancelled; then silence.
    const std::size_t periodBytes = period * 2 * 4u;
    const Bytes played = Played(1);
    ASSERT_EQ(played.size(), 6 * periodBytes);
    const Bytes expected = ExpectedContainers(client, 2);
    EXPECT_TRUE(std::equal(played.begin(), played.begin() + 3 * periodBytes, expected.begin()));
    EXPECT_TRUE(std::all_of(played.begin() + 3 * periodBytes, played.end(),
                            [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(pin.Port().Counts().outstanding, 0u);
}

// A long-running client takes the output as it plays (the ALSA plugin
// does, every period): each take hands over what was played since the one
// before, once, in order, and the stream's other records stay.
TEST_F(EndToEndStreaming, TakenOutputIsWhatWasPlayedSinceTheLastTake)
{
    const ULONG period = PeriodFrames();
    auto& pin = OpenPin(1, {.channels = 2, .bits = 24});
    const Bytes client = nuvtest::ClientSamples(5 * period, 2, 3, 17);
    pin.Write(client);
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    host::engine::Engine& engine = System().Engine();

    Clock().AdvanceFrames(2 * period + period / 2);
    Bytes taken = engine.TakeOutput({0, 0, 0}).output;
    EXPECT_EQ(taken.size(), (2 * period + period / 2) * 2 * 4u);
    EXPECT_TRUE(engine.TakeOutput({0, 0, 0}).output.empty()) << "taken once";
    Clock().AdvanceFrames(3 * period - period / 2);
    const Bytes rest = engine.TakeOutput({0, 0, 0}).output;
    taken.insert(taken.end(), rest.begin(), rest.end());
    EXPECT_EQ(taken, ExpectedContainers(client, 3));

    const host::engine::StreamState record = Record(1);
    EXPECT_TRUE(record.output.empty());
    EXPECT_EQ(record.periodCount, 5u) << "the period records stay";
    EXPECT_TRUE(engine.TakeOutput({0, 3, 0}).output.empty()) << "a stream the engine does not know";
}

} // namespace
