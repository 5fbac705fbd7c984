// A running stream under concurrent load: the threaded clock with Notify on
// a DPC thread, a client writing and cancelling, state changes between RUN
// and PAUSE, and position queries, all on their own threads.
//
// What "no lost or reordered sample" means here. The client's frames are
// numbered in the order written; each sample carries its frame number and
// channel. The device output, read frame by frame, must satisfy:
//   (a) every frame that is not silent is intact: all its channels carry
//       the same frame number, each in its own channel;
//   (b) the frame numbers, silent frames left out, increase strictly (none
//       played twice or out of order; in particular no frame repeats the
//       one played two periods earlier: a period that runs short is
//       followed by silence, not by the rest of its half as it was);
//   (c) every frame written is played, except: frames the client cancelled;
//       frames within two periods before or after a cancelled range (the
//       stream loses the period it ran ahead with when its Service zeroes
//       both halves, the rest of the period that ran short, and the period
//       pre-filled by the next RUN if the engine resumes on the other half);
//       and at most one period per RUN after a PAUSE (a RUN zeroes the whole
//       buffer, also a half completed for the engine and not yet taken when
//       the PAUSE came).
// The client writes only while the pin is paused: a write while the stream
// runs makes MappingAvailable transfer a whole further period whether or not
// the engine has played the one before (see endtoend_test.cpp), which would
// lose data by itself.
#include "host/engine/clock.h"
#include "host/kernel/conduct.h"
#include "host/portcls/dpcqueue.h"
#include "host/portcls/portclass.h"
#include "tests/support/systemstreaming.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace
{

using Bytes = std::vector<std::uint8_t>;

constexpr unsigned kChannels = 2;
constexpr unsigned kFrameBytes = kChannels * 4; // 32-bit client samples

std::uint32_t SampleOf(std::uint64_t frame, unsigned channel)
{
    return static_cast<std::uint32_t>((frame + 1) << 2) | channel;
}

Bytes Frames(std::uint64_t first, std::size_t count)
{
    Bytes bytes(count * kFrameBytes);
    for (std::size_t f = 0; f < count; ++f)
    {
        for (unsigned c = 0; c < kChannels; ++c)
        {
            const std::uint32_t sample = SampleOf(first + f, c);
            std::memcpy(bytes.data() + (f * kChannels + c) * 4, &sample, 4);
        }
    }
    return bytes;
}

struct Range
{
    std::uint64_t from; // frames
    std::uint64_t to;
};

class StreamingThreaded : public nuvtest::SystemStreamingTestbed
{
protected:
    void TearDown() override
    {
        host::portcls::SetNotifyDelivery(nullptr);
        SystemStreamingTestbed::TearDown();
    }
};

TEST_F(StreamingThreaded, StateChangesRevocationsAndPositionsAgainstARunningStream)
{
    const ULONG period = PeriodFrames();
    const std::uint64_t periodBytes = std::uint64_t{period} * kFrameBytes;
    constexpr std::uint64_t kTotalFrames = 64 * 640;

    host::portcls::DpcQueue dpc;
    host::portcls::SetNotifyDelivery([&](PSERVICEGROUP group) { dpc.Deliver(group); });
    // Mappings of 1000 bytes end inside samples.
    auto& pin = OpenPin(1, {.channels = kChannels, .bits = 32}, {.maxMappingBytes = 1000});

    // The clock moves only while the client has at least two periods left
    // unmapped, so that a client thread held up between its waits does not
    // see the stream run dry. Two rules keep the client from waiting for a
    // clock that has stopped at that bar. It counts the period ends it waits
    // for from before RUN (or before it looks at what is left), so that a
    // clock that ran on while the client was held up has already passed
    // them. And it leaves eight periods beyond those it waits for: the
    // stream maps up to about five periods ahead of what the engine plays
    // (the half playing, two halves filled and the rest of a 1000-byte
    // mapping).
    constexpr std::uint64_t kMargin = 8;
    std::atomic<bool> finished{false};
    host::engine::ThreadedClock clock(
        Engine(),
        {.settle = [&] { dpc.Drain(); },
         .mayAdvance = [&] { return finished || pin.Port().UnmappedBytes() >= 2 * periodBytes; }});
    clock.Start();

    std::vector<Range> cancelled;
    std::size_t resumes = 0;
    std::atomic<std::size_t> positionQueries{0};
    std::thread positions(
        [&]
        {
            while (!finished)
            {
                ULONGLONG position = 0;
                EXPECT_EQ(pin.GetPosition(&position), STATUS_SUCCESS);
                // A position counts only what the stream completed, which it
                // took from what the client wrote.
                EXPECT_LE(position, pin.Port().BytesWritten());
                ++positionQueries;
                std::this_thread::yield();
            }
        });
    // The queries overlap everything below, however the threads are scheduled.
    while (positionQueries.load() == 0)
        std::this_thread::yield();

    // The client: rounds of (write while paused, run for a few periods, now
    // and then cancel while running), against the clock's and the DPC's
    // threads and the position queries.
    std::mt19937 random(42);
    std::uint64_t next = 0;
    for (unsigned round = 0; next < kTotalFrames; ++round)
    {
        const unsigned runPeriods = 1 + random() % 4;
        const std::uint64_t target =
            std::min<std::uint64_t>(kTotalFrames, next + (runPeriods + kMargin) * period);
        while (next < target)
        {
            const std::size_t count =
                std::min<std::uint64_t>(target - next, 1 + random() % (2 * period));
            pin.Write(Frames(next, count));
            next += count;
        }
        if (next == kTotalFrames)
            break;
        const ULONGLONG endsAtRun = clock.PeriodEnds();
        ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ++resumes;
        clock.WaitForPeriodEnds(endsAtRun + runPeriods);
        if (round % 3 == 2)
        {
            const auto result = pin.CancelQueued();
            cancelled.push_back({result.from / kFrameBytes, result.to / kFrameBytes});
        }
        ASSERT_EQ(pin.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    }
    // The tail: play what is left but the last periods, then cancel those,
    // so that the run does not end in a period that ran short.
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ++resumes;
    for (ULONGLONG ends = clock.PeriodEnds(); pin.Port().UnmappedBytes() > kMargin * periodBytes;)
        clock.WaitForPeriodEnds(++ends);
    {
        const auto result = pin.CancelQueued();
        cancelled.push_back({result.from / kFrameBytes, result.to / kFrameBytes});
    }
    finished = true;
    clock.WaitForPeriodEnds(clock.PeriodEnds() + 4);
    positions.join();
    clock.Stop();
    ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    const auto counts = pin.Port().Counts();
    ClosePin(pin);
    host::portcls::SetNotifyDelivery(nullptr);

    // --- the device output -------------------------------------------------
    const Bytes output = Played(1);
    ASSERT_EQ(output.size() % kFrameBytes, 0u);
    const std::size_t outputFrames = output.size() / kFrameBytes;
    std::vector<std::int64_t> frameAt(outputFrames, -1); // -1: silent
    std::size_t torn = 0;
    for (std::size_t i = 0; i < outputFrames; ++i)
    {
        std::uint32_t s[kChannels];
        std::memcpy(s, output.data() + i * kFrameBytes, kFrameBytes);
        if (s[0] == 0 && s[1] == 0)
            continue;
        const bool intact =
            (s[0] & 3) == 0 && (s[1] & 3) == 1 && (s[0] >> 2) == (s[1] >> 2) && (s[0] >> 2) != 0;
        if (!intact)
        {
            ++torn;
            continue;
        }
        frameAt[i] = static_cast<std::int64_t>(s[0] >> 2) - 1;
    }
    EXPECT_EQ(torn, 0u) << "(a) frames played whose channels do not belong together";

    std::vector<bool> played(kTotalFrames, false);
    std::int64_t last = -1;
    std::size_t reordered = 0, stale = 0;
    for (std::size_t i = 0; i < outputFrames; ++i)
    {
        const std::int64_t f = frameAt[i];
        if (f < 0)
            continue;
        if (f > last)
        {
            played[static_cast<std::size_t>(f)] = true;
            last = f;
        }
        else if (i >= 2 * period && frameAt[i - 2 * period] == f)
            ++stale;
        else
            ++reordered;
    }
    EXPECT_EQ(reordered, 0u) << "(b) frames played twice or out of order";
    EXPECT_EQ(stale, 0u) << "(b) the rest of a half played again";

    auto nearACancel = [&](std::uint64_t f)
    {
        for (const Range& range : cancelled)
        {
            if (f + 2 * period >= range.from && f < range.to + 2 * period)
                return true;
        }
        return false;
    };
    std::size_t lost = 0;
    for (std::uint64_t f = 0; f < kTotalFrames; ++f)
    {
        if (!played[f] && !nearACancel(f))
            ++lost;
    }
    EXPECT_LE(lost, (resumes - 1) * period)
        << "(c) frames neither played nor cancelled, beyond one period per RUN after a PAUSE";

    // The run did overlap: revocations reached a stream holding a mapping,
    // the stream was paused and run again.
    EXPECT_GT(counts.revocations, 10u);
    EXPECT_GT(counts.mappingsRevoked, 0u);
    EXPECT_GT(resumes, 20u);
    EXPECT_GT(dpc.Runs(), 100u);
    EXPECT_EQ(counts.outstanding, 0u);
    RecordProperty("stale_frames", static_cast<int>(stale));
    RecordProperty("revocations", static_cast<int>(counts.revocations));
    RecordProperty("lost_frames", static_cast<int>(lost));
    RecordProperty("position_queries", static_cast<int>(positionQueries.load()));
    const auto record = Record(1);
    RecordProperty("periods", static_cast<int>(record.periodCount));
    RecordProperty("silent_periods", static_cast<int>(record.silentPeriods));
    RecordProperty("underruns", static_cast<int>(record.underruns));
}

} // namespace
