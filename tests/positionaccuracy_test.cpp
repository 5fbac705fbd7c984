// The render position against what the device really played, the way the
// platform's position test judges a driver: the position read at many
// instants of a long run, each reading against the client bytes the device
// had played when the stream asked the engine where it was (the engine
// records that at every GET_POSITION; the oracle over the output says how
// much of it was the client's: host/engine/positionjudge.h), and over the
// run the bias, jitter and drift of the error and the backward steps.
//
// The rules a client can synchronise to:
//   - while the stream runs the position never goes back, is never ahead of
//     the bytes played by more than the engine reports (a frame), and never
//     behind by more than one frame on the virtual clock (1 ms on the
//     threaded one, where it is read while the device moves);
//   - over an underrun it holds at the end of the data played, and moves on
//     with the next data; in PAUSE it holds, and RUN goes on from there;
//   - after STOP, RUN starts it from 0;
//   - at the end of the data it reaches the bytes written, once played;
//   - the engine's 32-bit frame counter wrapping moves nothing.
//
// PositionRules shows each rule in a run written by hand. PositionCertification
// runs a grid of formats and periods on both clocks with a client that runs
// dry, pauses, stops and cancels at seeded points, and reads at seeded
// instants (virtual clock) or from a thread of its own (threaded clock).
#include "host/client/scheduledclient.h"
#include "host/engine/clock.h"
#include "host/engine/playoracle.h"
#include "host/engine/positionjudge.h"
#include "host/portcls/dpcqueue.h"
#include "host/portcls/portclass.h"
#include "host/test/support/judgeparts.h"
#include "tests/support/systemstreaming.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

namespace
{

using host::engine::PositionSample;
using host::portcls::Pin;

std::uint64_t Pick(std::mt19937& rng, std::uint64_t from, std::uint64_t to)
{
    return std::uniform_int_distribution<std::uint64_t>(from, to)(rng);
}

// GetPosition of one pin, each answer kept with the engine's record of the
// query the stream made for it.
class Readings
{
public:
    Readings(host::engine::Engine& engine, int device)
        : engine_(engine), key_{0, static_cast<ULONG>(device - 1), 0}
    {
    }

    std::uint64_t Take(Pin& pin)
    {
        ULONGLONG position = 0;
        EXPECT_EQ(pin.GetPosition(&position), STATUS_SUCCESS);
        const auto sample = host::engine::SampleOfLastQuery(engine_, key_, position);
        EXPECT_TRUE(sample) << "GetPosition did not ask the engine";
        if (sample)
            samples_.push_back(*sample);
        return position;
    }
    const std::vector<PositionSample>& Samples() const { return samples_; }

private:
    host::engine::Engine& engine_;
    host::engine::StreamKey key_;
    std::vector<PositionSample> samples_;
};

// What a run came to: the oracle's verdict and the readings judged by it.
struct Judged
{
    host::engine::PlayVerdict verdict;
    std::vector<host::engine::JudgedReading> readings;
    host::engine::PositionFigures figures;
    std::size_t lateTakes = 0;
    host::engine::ClientJournal journal;
};

// Client bytes written before the last STOP ahead of the sample; whether
// a cancel came between that STOP and the sample.
struct SinceStop
{
    std::uint64_t written = 0;
    bool cancelled = false;
};

SinceStop LastStopBefore(const host::engine::ClientJournal& journal, const PositionSample& sample)
{
    SinceStop since;
    for (const host::engine::ClientJournal::Cut& cut : journal.cuts)
    {
        if (cut.order > sample.order)
            break;
        if (cut.atStop)
            since = {cut.to, false};
        else
            since.cancelled = true;
    }
    return since;
}

Judged JudgeRun(Pin& pin, const host::engine::StreamState& record, const Readings& readings,
                ULONG rate, const host::engine::PositionBounds& bounds)
{
    Judged judged;
    const host::engine::ClientJournal journal = pin.Port().Journal();
    const auto format = pin.ClientFormat();
    const std::uint64_t opened = pin.Port().OpenOrder();
    judged.verdict = host::engine::JudgePlayback(journal, record, format, opened);
    const host::engine::PlayedBytes truth(judged.verdict, record, journal, format, opened);
    judged.readings = host::engine::JudgeEach(readings.Samples(), truth);
    judged.figures = host::engine::JudgePositions(
        readings.Samples(), truth, {format.channels * format.bytesPerSample, rate}, bounds);
    for (const host::engine::PeriodRecord& take : record.periods)
        judged.lateTakes += take.order > opened && take.underrun ? 1 : 0;
    judged.journal = journal;
    return judged;
}

// --- the rules, one run each ---------------------------------------------------

// Device 1, stereo 16-bit (4 bytes a frame), periods of 64 frames.
class PositionRules : public nuvtest::SystemStreamingTestbed
{
protected:
    static constexpr unsigned kFrameBytes = 4;

    Pin& Open() { return OpenPin(1, {.channels = 2, .rate = 48000, .bits = 16}); }
    std::vector<std::uint8_t> Frames(std::size_t frames, std::uint32_t seed = 1)
    {
        return nuvtest::ClientSamples(frames, 2, 2, seed);
    }
    // Reads every `step` frames while the device runs `frames` frames.
    void ReadWhile(Pin& pin, Readings& readings, ULONGLONG frames, ULONGLONG step)
    {
        for (ULONGLONG done = 0; done < frames; done += step)
        {
            readings.Take(pin);
            Clock().AdvanceFrames(std::min(step, frames - done));
        }
        readings.Take(pin);
    }
    // Every reading exact, none backward; the figures for the record.
    Judged ExpectExact(Pin& pin, const Readings& readings)
    {
        Judged judged = JudgeRun(pin, Record(1), readings, 48000, {});
        EXPECT_TRUE(judged.verdict.Clean()) << judged.verdict.Summary();
        EXPECT_EQ(judged.figures.outOfBounds, 0u) << judged.figures.Summary();
        EXPECT_EQ(judged.figures.backwardSteps, 0u) << judged.figures.Summary();
        return judged;
    }
};

// RUN a third of the way into a device period: the engine begins the stream
// at the next period boundary, and until then has played nothing of it.
TEST_F(PositionRules, ZeroUntilTheEngineBeginsThenEveryFrameAsItPlays)
{
    const ULONG period = PeriodFrames();
    auto& pin = Open();
    Readings readings(Engine(), 1);
    Clock().AdvanceFrames(period / 3);
    pin.Write(Frames(4 * period));
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    const ULONG untilBoundary = period - period / 3;
    for (ULONG frame = 0; frame <= untilBoundary; ++frame)
    {
        EXPECT_EQ(readings.Take(pin), 0u) << frame << " frames after RUN";
        Clock().AdvanceFrames(1);
    }
    for (ULONG frame = 1; frame < 3 * period; ++frame)
    {
        EXPECT_EQ(readings.Take(pin), frame * kFrameBytes) << frame << " frames played";
        Clock().AdvanceFrames(1);
    }
    ExpectExact(pin, readings);
}

// A period and a half written: the position reaches the end of it and stays
// there while the device plays silence, then moves on with the next data.
TEST_F(PositionRules, HoldsOverAnUnderrunAndMovesOnWithTheNextData)
{
    const ULONG period = PeriodFrames();
    auto& pin = Open();
    Readings readings(Engine(), 1);
    pin.Write(Frames(period + period / 2));
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ReadWhile(pin, readings, 4 * period, 8);
    EXPECT_EQ(readings.Samples().back().reported, (period + period / 2) * kFrameBytes);
    pin.Write(Frames(period, 2));
    ReadWhile(pin, readings, 4 * period, 8);
    EXPECT_EQ(readings.Samples().back().reported, (2 * period + period / 2) * kFrameBytes);
    const Judged judged = ExpectExact(pin, readings);
    EXPECT_GT(judged.verdict.silentFrames, 2u * period) << "the run had no underrun";
}

// PAUSE in the middle of a period: the position holds while the device runs
// on; RUN goes on from there (the engine resumes where the device's offset
// in the period comes round to where it stopped).
TEST_F(PositionRules, HeldInPauseAndGoesOnFromThereAtRun)
{
    const ULONG period = PeriodFrames();
    auto& pin = Open();
    Readings readings(Engine(), 1);
    pin.Write(Frames(8 * period));
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Clock().AdvanceFrames(2 * period + period / 2);
    const std::uint64_t paused = readings.Take(pin);
    EXPECT_EQ(paused, (2 * period + period / 2) * kFrameBytes);
    ASSERT_EQ(pin.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(readings.Take(pin), paused) << "PAUSE moved the position";
    for (int step = 0; step < 9; ++step)
    {
        Clock().AdvanceFrames(period / 3);
        EXPECT_EQ(readings.Take(pin), paused) << "the position moved in PAUSE";
    }
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(readings.Take(pin), paused) << "RUN moved the position";
    ReadWhile(pin, readings, 3 * period, 5);
    EXPECT_GT(readings.Samples().back().reported, paused + 2 * period * kFrameBytes);
    ExpectExact(pin, readings);
}

// The engine begins as soon as START reaches it, and the thread that sent
// START may be held up before it asks the engine where it is: the periods
// the engine ended meanwhile count, so that the position does not lag by
// them for the rest of the run. Both for a fresh buffer and after PAUSE. A
// reading while RUN is still on its way may lag, but is never ahead and
// never below the one before.
TEST_F(PositionRules, PeriodsPlayedWhileRunWasHeldUpAfterStartCount)
{
    const ULONG period = PeriodFrames();
    auto& pin = Open();
    Readings readings(Engine(), 1);
    Readings whileHeldUp(Engine(), 1);
    std::vector<std::uint64_t> before;
    pin.Write(Frames(12 * period));
    bool armed = true;
    Engine().SetCommandObserver(
        [&](ULONG command)
        {
            if (armed && command == ENGINE_CMD_START)
            {
                armed = false;
                before.push_back(readings.Samples().empty() ? 0
                                                            : readings.Samples().back().reported);
                Clock().AdvanceFrames(2 * period + period / 3);
                whileHeldUp.Take(pin);
            }
        });
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ReadWhile(pin, readings, 2 * period + period / 2, 7);
    ASSERT_EQ(pin.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    readings.Take(pin);
    Clock().AdvanceFrames(period / 5);
    armed = true;
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ReadWhile(pin, readings, 3 * period, 7);
    Engine().SetCommandObserver({});
    EXPECT_FALSE(armed);
    ExpectExact(pin, readings);

    const Judged held = JudgeRun(pin, Record(1), whileHeldUp, 48000, {});
    ASSERT_EQ(held.readings.size(), 2u);
    for (std::size_t i = 0; i < held.readings.size(); ++i)
    {
        EXPECT_LE(held.readings[i].Error(), 0) << "ahead while RUN was held up, start " << i;
        EXPECT_GE(held.readings[i].sample.reported, before[i]) << "back while RUN was held up";
    }
}

// After STOP the position is 0, and RUN counts from 0 what plays next.
TEST_F(PositionRules, StopThenRunStartsFromZero)
{
    const ULONG period = PeriodFrames();
    auto& pin = Open();
    Readings readings(Engine(), 1);
    pin.Write(Frames(4 * period));
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ReadWhile(pin, readings, 2 * period + 7, 9);
    ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(readings.Take(pin), 0u) << "after STOP";
    pin.Write(Frames(3 * period, 2));
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(readings.Take(pin), 0u) << "at RUN after STOP";
    ReadWhile(pin, readings, 2 * period, 9);
    EXPECT_LE(readings.Samples().back().reported, 2 * period * kFrameBytes);
    EXPECT_GT(readings.Samples().back().reported, period * kFrameBytes);
    const Judged judged = ExpectExact(pin, readings);
    EXPECT_EQ(judged.readings.back().run, 1u) << "the judge saw no STOP";
}

// 333 frames in pieces of any size: once they have played, the position is
// 333 frames of bytes and stays there; a client waiting for that ends.
TEST_F(PositionRules, ReachesTheBytesWrittenOnceTheyHavePlayed)
{
    auto& pin = Open();
    Readings readings(Engine(), 1);
    const auto data = Frames(333);
    std::mt19937 rng(5);
    for (std::size_t at = 0; at < data.size();)
    {
        const std::size_t size = std::min<std::size_t>(Pick(rng, 1, 300), data.size() - at);
        pin.Write(std::span(data).subspan(at, size));
        at += size;
    }
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ReadWhile(pin, readings, 8 * PeriodFrames(), 11);
    EXPECT_EQ(readings.Samples().back().reported, data.size());
    ExpectExact(pin, readings);
}

// The port takes back queued buffers while the stream runs (RevokeMappings):
// what the stream moved before still plays and counts, and the position
// goes on from there; it does not start again.
TEST_F(PositionRules, ACancelDoesNotSendItBack)
{
    const ULONG period = PeriodFrames();
    auto& pin = Open();
    Readings readings(Engine(), 1);
    pin.Write(Frames(8 * period));
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ReadWhile(pin, readings, 2 * period + 10, 10);
    const auto cancelled = pin.CancelQueued();
    ASSERT_TRUE(cancelled.revokeCalled);
    pin.Write(Frames(2 * period, 2));
    ReadWhile(pin, readings, 5 * period, 10);
    ExpectExact(pin, readings);
}

// The engine's counter is 32 bits and wraps after 2^32 frames. Started just
// before the wrap, with a period that does not divide 2^32 (so the counter
// modulo the period jumps at the wrap), the stream plays on and the
// position moves on frame by frame.
TEST_F(PositionRules, TheEngineCounterWrappingMovesNothing)
{
    const ULONG period = 480;
    Engine().SetPeriodFrames(period);
    Engine().SetDevicePosition((ULONGLONG{1} << 32) - 5 * period / 2);
    auto& pin = Open();
    Readings readings(Engine(), 1);
    pin.Write(Frames(10 * period));
    Clock().AdvanceToBoundary();
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ReadWhile(pin, readings, 9 * period, 37);
    ASSERT_GT(Clock().DevicePosition(), ULONGLONG{1} << 32);
    const Judged judged = ExpectExact(pin, readings);
    EXPECT_EQ(readings.Samples().back().reported, 9u * period * kFrameBytes);
    EXPECT_EQ(judged.verdict.clientFramesPlayed, 9u * period);
}

// --- the grid, on both clocks ------------------------------------------------------

struct GridPoint
{
    USHORT bits = 16;
    USHORT channels = 2;
    ULONG rate = 48000;
    ULONG periodFrames = 480;
    unsigned index = 0;

    unsigned FrameBytes() const { return channels * (bits / 8u); }
    int Device() const { return channels > 2 ? 4 : 1 + static_cast<int>(index % 3); }
    std::uint64_t PeriodBytes() const { return std::uint64_t{periodFrames} * FrameBytes(); }
    // The engine reports whole frames: a reading may be a frame ahead.
    std::uint64_t AheadBytes() const { return FrameBytes(); }
    std::uint64_t MillisecondBytes() const { return (rate + 999) / 1000 * FrameBytes(); }
};

// Every sample size and channel count at every rate (24 points), each with
// one of eight periods from 32 to 2048 frames, so that each period meets
// three formats and each format several periods across the rates.
std::vector<GridPoint> Grid()
{
    const USHORT bits[] = {16, 24, 32};
    const USHORT channels[] = {2, 6};
    const ULONG rates[] = {44100, 48000, 88200, 96000};
    const ULONG periods[] = {32, 2048, 100, 441, 64, 1024, 480, 256};
    std::vector<GridPoint> grid;
    for (USHORT b : bits)
    {
        for (USHORT c : channels)
        {
            for (ULONG r : rates)
            {
                const auto index = static_cast<unsigned>(grid.size());
                grid.push_back({b, c, r, periods[(index * 3) % 8], index});
            }
        }
    }
    return grid;
}

std::string GridName(const ::testing::TestParamInfo<GridPoint>& info)
{
    const GridPoint& g = info.param;
    return std::to_string(g.bits) + "bit_" + std::to_string(g.channels) + "ch_" +
           std::to_string(g.rate) + "Hz_" + std::to_string(g.periodFrames) + "f";
}

// Device time of one run on the virtual clock: about two seconds of the
// stream, and at least 60 periods. The threaded clock's runs are shorter:
// each period there is a round trip through the DPC thread, which a loaded
// machine makes slow.
std::uint64_t RunPeriods(const GridPoint& g)
{
    return std::max<std::uint64_t>(60, 96000 / g.periodFrames);
}
std::uint64_t ThreadedRunPeriods(const GridPoint& g)
{
    return std::max<std::uint64_t>(64, 24000 / g.periodFrames);
}

// A client's run for the virtual clock: spells of steady data, dry spells
// (underruns), pauses, STOP and RUN, now and then a cancel or another
// mapping size, every amount in bytes that need not be whole frames. Each
// kind comes at least once in the first five spells.
struct VirtualRun
{
    host::client::Schedule schedule;
    std::vector<std::uint8_t> input;
};

VirtualRun MakeVirtualRun(const GridPoint& g, unsigned seed)
{
    using host::client::StepKind;
    using host::client::Unit;
    std::mt19937 rng(seed);
    VirtualRun run;
    auto& steps = run.schedule.steps;
    std::uint64_t written = 0;
    std::uint64_t frames = 0;
    auto write = [&](std::uint64_t bytes)
    {
        steps.push_back({StepKind::Write, bytes, Unit::Bytes});
        written += bytes;
    };
    auto waitFrames = [&](std::uint64_t count)
    {
        steps.push_back({StepKind::Wait, count, Unit::Frames});
        frames += count;
    };
    steps.push_back({StepKind::Run});
    int kinds[] = {0, 1, 2, 3, 4};
    std::shuffle(std::begin(kinds), std::end(kinds), rng);
    for (std::size_t spell = 0; frames < RunPeriods(g) * g.periodFrames; ++spell)
    {
        const int kind = spell < 5 ? kinds[spell] : static_cast<int>(Pick(rng, 0, 9));
        switch (kind)
        {
        case 0: // dry: less than the device plays
            write(Pick(rng, 1, g.PeriodBytes()));
            waitFrames(Pick(rng, 2 * g.periodFrames, 4 * g.periodFrames));
            break;
        case 1: // paused for a while, in the middle of a period
            waitFrames(Pick(rng, 1, g.periodFrames));
            steps.push_back({StepKind::PauseFor, Pick(rng, 0, 2 * g.periodFrames), Unit::Frames});
            break;
        case 2: // STOP, new data, RUN
            steps.push_back({StepKind::Pause});
            steps.push_back({StepKind::Stop});
            waitFrames(Pick(rng, 0, g.periodFrames));
            write(Pick(rng, 1, 3 * g.PeriodBytes()));
            steps.push_back({StepKind::Run});
            break;
        case 3:
            if (Pick(rng, 0, 1) == 0)
                steps.push_back({StepKind::Cancel});
            else
                steps.push_back({StepKind::Mapping, Pick(rng, 1, 4 * g.PeriodBytes())});
            break;
        default: // steady: the client keeps ahead of the device
        {
            const std::uint64_t ahead = Pick(rng, 2, 5);
            for (std::uint64_t piece = Pick(rng, 1, 3); piece > 0; --piece)
                write(ahead * g.PeriodBytes() / 3 + Pick(rng, 0, g.FrameBytes()));
            waitFrames(Pick(rng, 1, (ahead - 1) * g.periodFrames));
            break;
        }
        }
    }
    // The end of the data in whole frames, so that all of it can play.
    write(g.FrameBytes() - written % g.FrameBytes() + Pick(rng, 1, 2) * g.PeriodBytes());
    run.input = nuvtest::ClientSamples(written / g.FrameBytes() + 1, g.channels, g.bits / 8u, seed);
    return run;
}

class PositionCertification : public nuvtest::SystemStreamingTestbed,
                              public ::testing::WithParamInterface<GridPoint>
{
protected:
    void TearDown() override
    {
        host::portcls::SetNotifyDelivery(nullptr);
        SystemStreamingTestbed::TearDown();
    }

    Pin& Open(const GridPoint& g)
    {
        Engine().SetPeriodFrames(g.periodFrames);
        return OpenPin(g.Device(), {.channels = g.channels, .rate = g.rate, .bits = g.bits},
                       {.maxMappingBytes = static_cast<ULONG>(Pick(rng_, 64, 16384))});
    }

    // The figures go into the test's record (the XML report), in
    // hundredths of a microsecond and of a ppm.
    void RecordFigures(const host::engine::PositionFigures& figures)
    {
        RecordProperty("readings", static_cast<int>(figures.readings));
        RecordProperty("bias_us_x100",
                       static_cast<int>(std::lround(figures.biasMicroseconds * 100)));
        RecordProperty("jitter_us_x100",
                       static_cast<int>(std::lround(figures.jitterMicroseconds * 100)));
        RecordProperty("drift_ppm_x100", static_cast<int>(std::lround(figures.driftPpm * 100)));
        RecordProperty("backward_steps", static_cast<int>(figures.backwardSteps));
        RecordProperty("most_ahead_bytes", static_cast<int>(figures.mostAheadBytes));
        RecordProperty("most_behind_bytes", static_cast<int>(figures.mostBehindBytes));
    }

    // The conversion to time against exact arithmetic: its truncation of the
    // units per byte costs under 0.02 %, and an hour converts within that.
    void ExpectTimeWithinTolerance(Pin& pin, const GridPoint& g)
    {
        const LONGLONG hour = LONGLONG{3600} * g.rate * g.FrameBytes();
        LONGLONG units = hour;
        ASSERT_EQ(pin.NormalizePhysicalPosition(&units), STATUS_SUCCESS);
        const double ppm = (36'000'000'000.0 - static_cast<double>(units)) / 36'000.0;
        EXPECT_GE(ppm, 0.0) << "the conversion runs ahead of time";
        EXPECT_LT(ppm, 200.0) << "an hour of bytes converts to " << units << " units";
        RecordProperty("time_error_ppm_x100", static_cast<int>(std::lround(ppm * 100)));
    }

    std::mt19937 rng_{GetParam().index + 1};
};

// Readings at seeded instants (a gap of 0 to 2 periods of device time
// between two), the client following a seeded schedule.
TEST_P(PositionCertification, OnTheVirtualClock)
{
    const GridPoint g = GetParam();
    const VirtualRun run = MakeVirtualRun(g, 100 + g.index);
    auto& pin = Open(g);
    Readings readings(Engine(), g.Device());
    host::client::ScheduledClient client(pin, Clock(), g.periodFrames, g.FrameBytes(), run.input);
    client.SetProbe([&] { return Pick(rng_, 0, 2 * std::uint64_t{g.periodFrames}); },
                    [&] { readings.Take(pin); });
    client.Play(run.schedule);
    EXPECT_EQ(readings.Take(pin), 0u) << "after the last STOP";
    ExpectTimeWithinTolerance(pin, g);

    const Judged judged =
        JudgeRun(pin, Record(g.Device()), readings, g.rate, {g.AheadBytes(), g.FrameBytes()});
    const std::string context = "schedule: " + run.schedule.ToString() + "\n";
    EXPECT_TRUE(judged.verdict.Clean()) << context << judged.verdict.Summary();
    EXPECT_EQ(judged.figures.outOfBounds, 0u) << context << judged.figures.Summary();
    EXPECT_EQ(judged.figures.backwardSteps, 0u) << context << judged.figures.Summary();
    EXPECT_EQ(judged.lateTakes, 0u);

    // The reading before the last STOP came after the play-out: the data
    // written since the STOP before it has played in full.
    ASSERT_GE(judged.readings.size(), 2u);
    const auto& final = judged.readings[judged.readings.size() - 2];
    EXPECT_EQ(final.sample.reported, final.truth);
    const SinceStop since = LastStopBefore(judged.journal, final.sample);
    if (!since.cancelled)
    {
        const std::uint64_t written = client.Written() - since.written;
        EXPECT_EQ(final.sample.reported, written / g.FrameBytes() * g.FrameBytes())
            << "the end of the data\n"
            << context << judged.verdict.Summary();
    }
    // The run had what it is about.
    EXPECT_GT(judged.verdict.silentFrames, 0u) << "no underrun";
    EXPECT_GE(judged.readings.back().run, 1u) << "no STOP";
    RecordFigures(judged.figures);
}

// One run's readings judged two ways: beside the stream, as nuvsim judges
// them (each held only until the oracle has judged the output it was read
// at: PositionJudge), and over the whole run at its end. The oracle beside
// the stream keeps only a few runs of bytes played, so that what a waiting
// reading needs must be held for it.
class JudgedBothWays
{
public:
    JudgedBothWays(Pin& pin, host::engine::Engine& engine, const GridPoint& g,
                   const host::engine::PositionBounds& bounds)
        : readings_(engine, g.Device()), format_(pin.ClientFormat()),
          opened_(pin.Port().OpenOrder()), positionFormat_{g.FrameBytes(), g.rate}, bounds_(bounds),
          beside_(pin.Port(), engine, {0, static_cast<ULONG>(g.Device() - 1), 0}, format_, opened_,
                  Limits()),
          positions_(beside_.Judge(), positionFormat_, bounds_)
    {
        positions_.OnJudged([this](const host::engine::JudgedReading& reading)
                            { judged_.push_back(reading); });
    }

    // GetPosition, on any thread.
    void Read(Pin& pin)
    {
        std::lock_guard lock(mutex_);
        readings_.Take(pin);
    }
    // The journal and the output since the last call, judged; every
    // reading taken before the output was goes to the position judge
    // first, as nuvsim's DeviceRun hands them over.
    void Collect()
    {
        beside_.Take(
            [this]
            {
                std::lock_guard lock(mutex_);
                for (; handedOver_ < readings_.Samples().size(); ++handedOver_)
                    positions_.Add(readings_.Samples()[handedOver_]);
                mostWaiting_ = std::max(mostWaiting_, positions_.Waiting());
            });
        positions_.Update();
    }

    // The last parts; then every reading must have the truth the whole run
    // gives it, and the figures must be the same to the last bit. Returns
    // the whole run's judgement.
    Judged FinishAndCompare()
    {
        Collect();
        beside_.Finish();
        positions_.Update();
        EXPECT_EQ(positions_.Waiting(), 0u) << "readings left after the oracle finished";
        Judged whole;
        whole.journal = beside_.WholeJournal();
        whole.verdict =
            host::engine::JudgePlayback(whole.journal, beside_.WholeRecord(), format_, opened_);
        const host::engine::PlayedBytes truth(whole.verdict, beside_.WholeRecord(), whole.journal,
                                              format_, opened_);
        whole.readings = host::engine::JudgeEach(readings_.Samples(), truth);
        whole.figures =
            host::engine::JudgePositions(readings_.Samples(), truth, positionFormat_, bounds_);
        ExpectSameReadings(whole.readings);
        ExpectSameFigures(whole.figures, positions_.Figures());
        return whole;
    }
    // The most readings that waited for the oracle at once.
    std::size_t MostWaiting() const { return mostWaiting_; }

private:
    static host::engine::JudgeLimits Limits()
    {
        host::engine::JudgeLimits limits = host::engine::JudgeLimits::Streaming();
        limits.keptPlayedRuns = 4;
        return limits;
    }

    void ExpectSameReadings(const std::vector<host::engine::JudgedReading>& whole) const
    {
        ASSERT_EQ(judged_.size(), whole.size());
        for (std::size_t i = 0; i < whole.size(); ++i)
        {
            ASSERT_EQ(judged_[i].sample.order, whole[i].sample.order);
            ASSERT_EQ(judged_[i].truth, whole[i].truth) << "reading " << i;
            ASSERT_EQ(judged_[i].run, whole[i].run) << "reading " << i;
        }
    }

    static void ExpectSameFigures(const host::engine::PositionFigures& whole,
                                  const host::engine::PositionFigures& beside)
    {
        EXPECT_EQ(beside.readings, whole.readings);
        EXPECT_EQ(beside.biasMicroseconds, whole.biasMicroseconds);
        EXPECT_EQ(beside.jitterMicroseconds, whole.jitterMicroseconds);
        EXPECT_EQ(beside.driftPpm, whole.driftPpm);
        EXPECT_EQ(beside.backwardSteps, whole.backwardSteps);
        EXPECT_EQ(beside.mostAheadBytes, whole.mostAheadBytes);
        EXPECT_EQ(beside.mostBehindBytes, whole.mostBehindBytes);
        EXPECT_EQ(beside.outOfBounds, whole.outOfBounds);
        EXPECT_EQ(beside.Summary(), whole.Summary());
    }

    std::mutex mutex_;
    Readings readings_;
    std::size_t handedOver_ = 0;
    std::size_t mostWaiting_ = 0;
    const host::engine::PlayFormat format_;
    const std::uint64_t opened_;
    const host::engine::PositionFormat positionFormat_;
    const host::engine::PositionBounds bounds_;
    nuvtest::JudgeBeside beside_;
    host::engine::PositionJudge positions_;
    std::vector<host::engine::JudgedReading> judged_;
};

// The client of OnTheVirtualClock, with the parts taken every one to eight
// steps of the device.
TEST_P(PositionCertification, JudgedBesideTheStreamAsOverTheWhole)
{
    const GridPoint g = GetParam();
    const VirtualRun run = MakeVirtualRun(g, 300 + g.index);
    auto& pin = Open(g);
    JudgedBothWays judge(pin, Engine(), g, {g.AheadBytes(), g.FrameBytes()});
    host::client::ScheduledClient client(pin, Clock(), g.periodFrames, g.FrameBytes(), run.input);
    client.SetProbe([&] { return Pick(rng_, 0, 2 * std::uint64_t{g.periodFrames}); },
                    [&] { judge.Read(pin); });
    std::uint64_t stepsToCollect = 1;
    client.SetAfterStep(
        [&]
        {
            if (--stepsToCollect > 0)
                return;
            judge.Collect();
            stepsToCollect = Pick(rng_, 1, 8);
        });
    client.Play(run.schedule);
    judge.Read(pin);
    const Judged whole = judge.FinishAndCompare();
    // Those of a few parts, however long the run.
    EXPECT_LT(judge.MostWaiting(), 64u) << "of " << whole.readings.size() << " readings";
    // The run had what it is about.
    EXPECT_GT(whole.verdict.silentFrames, 0u) << "no underrun";
    EXPECT_GE(whole.readings.back().run, 1u) << "no STOP";
}

// The client acts on the clock's thread between two steps of the device (a
// quarter period each), as the latency test's does: it runs dry, pauses,
// stops and cancels at seeded steps. A thread of its own reads positions
// while the device moves; the clock waits for it when it falls eight steps
// behind, so that every run has readings however the machine is loaded. A
// STOP never overlaps a reading: which side of it the reading is on decides
// what it should be, and only the engine could tell.
class SteppedClient
{
public:
    SteppedClient(Pin& pin, const GridPoint& g, unsigned seed, std::mutex& stopping)
        : pin_(pin), periodBytes_(g.PeriodBytes()), rng_(seed), stopping_(stopping),
          input_(nuvtest::ClientSamples(std::size_t{g.periodFrames} * (ThreadedRunPeriods(g) + 8),
                                        g.channels, g.bits / 8u, seed))
    {
    }

    void Step()
    {
        const std::uint64_t step = ++steps_;
        if (pausedSteps_ > 0 && --pausedSteps_ == 0)
            pin_.SetState(KSSTATE_RUN);
        // The first pause, STOP and dry spell at fixed steps, the rest at
        // random ones.
        std::uint64_t roll = step == 20 ? 1 : step == 60 ? 2 : step == 100 ? 0 : Roll(200);
        if (drySteps_ > 0)
        {
            --drySteps_;
            if (roll > 2)
                return;
        }
        switch (roll)
        {
        case 0:
            drySteps_ = 6 + static_cast<unsigned>(Roll(16));
            ++dry_;
            return;
        case 1:
            pin_.SetState(KSSTATE_PAUSE);
            pausedSteps_ = 1 + static_cast<unsigned>(Roll(8));
            ++pauses_;
            return;
        case 2:
        {
            std::lock_guard lock(stopping_);
            pin_.SetState(KSSTATE_STOP);
            pin_.SetState(KSSTATE_RUN);
            pausedSteps_ = 0;
            ++stops_;
            return;
        }
        case 3:
            pin_.CancelQueued();
            return;
        default:
            break;
        }
        while (pin_.Port().UnmappedBytes() < 3 * periodBytes_ && next_ < input_.size())
        {
            const std::size_t size =
                std::min<std::size_t>(1 + Roll(periodBytes_ * 3 / 2), input_.size() - next_);
            pin_.Write(std::span(input_).subspan(next_, size));
            next_ += size;
        }
    }

    std::uint64_t Steps() const { return steps_.load(); }
    unsigned Pauses() const { return pauses_; }
    unsigned Stops() const { return stops_; }
    unsigned DrySpells() const { return dry_; }

private:
    std::uint64_t Roll(std::uint64_t below) { return rng_() % below; }

    Pin& pin_;
    std::uint64_t periodBytes_;
    std::mt19937 rng_;
    std::mutex& stopping_;
    std::vector<std::uint8_t> input_;
    std::size_t next_ = 0;
    std::atomic<std::uint64_t> steps_{0};
    unsigned drySteps_ = 0;
    unsigned pausedSteps_ = 0;
    unsigned pauses_ = 0;
    unsigned stops_ = 0;
    unsigned dry_ = 0;
};

TEST_P(PositionCertification, OnTheThreadedClock)
{
    const GridPoint g = GetParam();
    host::portcls::DpcQueue dpc;
    host::portcls::SetNotifyDelivery([&](PSERVICEGROUP group) { dpc.Deliver(group); });
    auto& pin = Open(g);
    std::mutex stopping;
    SteppedClient client(pin, g, 200 + g.index, stopping);
    Readings readings(Engine(), g.Device());
    std::atomic<std::uint64_t> stepsAtReading{0};
    std::atomic<bool> finished{false};

    host::engine::ThreadedClock::Options options;
    options.stepFrames = std::max<ULONG>(1, g.periodFrames / 4);
    options.settle = [&] { dpc.Drain(); };
    options.stepped = [&] { client.Step(); };
    options.mayAdvance = [&]
    { return finished.load() || client.Steps() < stepsAtReading.load() + 8; };
    host::engine::ThreadedClock clock(Engine(), options);

    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    // At most two readings a step of the device: the reader keeps up with
    // the clock and leaves it the processor otherwise.
    std::thread reader(
        [&]
        {
            std::uint64_t step = ~0ull;
            unsigned atStep = 0;
            while (!finished.load())
            {
                const std::uint64_t now = client.Steps();
                if (now == step && atStep >= 2)
                {
                    std::this_thread::yield();
                    continue;
                }
                atStep = now == step ? atStep + 1 : 1;
                step = now;
                {
                    std::lock_guard lock(stopping);
                    readings.Take(pin);
                }
                stepsAtReading = now;
            }
        });
    clock.Start();
    clock.WaitForPeriodEnds(ThreadedRunPeriods(g));
    finished = true;
    reader.join();
    clock.Stop();
    dpc.Drain();
    ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);

    const Judged judged =
        JudgeRun(pin, Record(g.Device()), readings, g.rate, {g.AheadBytes(), g.MillisecondBytes()});
    EXPECT_TRUE(judged.verdict.Clean()) << judged.verdict.Summary();
    EXPECT_EQ(judged.figures.outOfBounds, 0u) << judged.figures.Summary();
    EXPECT_EQ(judged.figures.backwardSteps, 0u) << judged.figures.Summary();
    EXPECT_EQ(judged.lateTakes, 0u) << "Services came late: the run is not the one meant";
    EXPECT_GT(judged.figures.readings, ThreadedRunPeriods(g) / 2) << "too few readings";
    EXPECT_GT(judged.verdict.silentFrames, 0u) << "no underrun";
    EXPECT_GE(client.Pauses(), 1u);
    EXPECT_GE(client.Stops(), 1u);
    RecordFigures(judged.figures);
}

// Long spells where the device plays nothing of the stream: PAUSE before
// the first RUN, STOP with the client waiting before it runs again, and
// PAUSE in between. The readings there wait for nothing: the oracle beside
// the stream knows the truth at each as soon as the client's journal is as
// recent as it (what a STOP ended once the output before it is in).
TEST_F(PositionRules, ReadingsWhileNothingPlaysWaitForNoPlay)
{
    auto& pin = Open();
    const GridPoint g{16, 2, 48000, PeriodFrames(), 0};
    JudgedBothWays judge(pin, Engine(), g, {g.AheadBytes(), g.FrameBytes()});
    const std::vector<std::uint8_t> input = Frames(20 * PeriodFrames());
    host::client::ScheduledClient client(pin, Clock(), PeriodFrames(), kFrameBytes, input);
    client.SetProbe([&] { return std::uint64_t{PeriodFrames() / 4}; }, [&] { judge.Read(pin); });
    client.SetAfterStep([&] { judge.Collect(); });
    std::string error;
    const auto schedule =
        host::client::Schedule::Parse("write 4p, pause 100p, wait 2p, stop, wait 100p, write 4p, "
                                      "run, wait 1p, pause 100p, rest 1p",
                                      error);
    ASSERT_TRUE(schedule) << error;
    client.Play(*schedule);
    const Judged whole = judge.FinishAndCompare();
    EXPECT_GT(whole.readings.size(), 1200u);
    EXPECT_LE(judge.MostWaiting(), 2u);
    EXPECT_EQ(whole.readings.back().run, 1u);
    EXPECT_EQ(whole.figures.outOfBounds, 0u) << whole.figures.Summary();
}

// The same on the threaded clock: the client of OnTheThreadedClock, the
// readings from a thread of their own while the device moves, the parts
// taken on the test's thread as the device plays.
TEST_P(PositionCertification, JudgedBesideTheStreamAsOverTheWholeOnTheThreadedClock)
{
    const GridPoint g = GetParam();
    host::portcls::DpcQueue dpc;
    host::portcls::SetNotifyDelivery([&](PSERVICEGROUP group) { dpc.Deliver(group); });
    auto& pin = Open(g);
    std::mutex stopping;
    SteppedClient client(pin, g, 400 + g.index, stopping);
    JudgedBothWays judge(pin, Engine(), g, {g.AheadBytes(), g.MillisecondBytes()});
    std::atomic<std::uint64_t> stepsAtReading{0};
    std::atomic<bool> finished{false};

    host::engine::ThreadedClock::Options options;
    options.stepFrames = std::max<ULONG>(1, g.periodFrames / 4);
    options.settle = [&] { dpc.Drain(); };
    options.stepped = [&] { client.Step(); };
    options.mayAdvance = [&]
    { return finished.load() || client.Steps() < stepsAtReading.load() + 8; };
    host::engine::ThreadedClock clock(Engine(), options);

    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    std::thread reader(
        [&]
        {
            std::uint64_t step = ~0ull;
            while (!finished.load())
            {
                const std::uint64_t now = client.Steps();
                if (now == step)
                {
                    std::this_thread::yield();
                    continue;
                }
                step = now;
                {
                    std::lock_guard lock(stopping);
                    judge.Read(pin);
                }
                stepsAtReading = now;
            }
        });
    clock.Start();
    while (clock.PeriodEnds() < ThreadedRunPeriods(g))
    {
        judge.Collect();
        std::this_thread::yield();
    }
    finished = true;
    reader.join();
    clock.Stop();
    dpc.Drain();
    ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    judge.Read(pin);
    const Judged whole = judge.FinishAndCompare();
    EXPECT_GE(client.Stops(), 1u);
    EXPECT_GE(whole.readings.back().run, 1u) << "no STOP";
}

INSTANTIATE_TEST_SUITE_P(Grid, PositionCertification, ::testing::ValuesIn(Grid()), GridName);

} // namespace
