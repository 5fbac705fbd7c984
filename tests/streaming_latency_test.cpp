// A stream whose Services come late: the threaded clock, Notify delivered by
// a DPC thread that holds some deliveries back (a quarter, a half, one and a
// quarter, two and a half periods of device time) and folds the period ends
// that come meanwhile into the one DPC, a client that runs dry now and then,
// pauses, stops and cancels, and a thread reading positions throughout.
//
// Judged by the oracle (host/engine/playoracle.h): nothing but the client's
// frames in order and silence, except at periods the engine took before their
// Service ran. There the design cannot always help it: a Service more than a
// period late finds the engine has taken both halves since it last ran, and
// the half it filled then is played a second time (the stream does not run
// in between to silence it). Those are glitches, and the frames after each
// must again be the client's next ones.
//
// The client acts, and late DPCs run, between steps of the clock, so that
// nothing writes a half while the engine takes it: what the device plays
// then depends only on what the driver did, which the oracle judges.
#include "host/engine/clock.h"
#include "host/engine/playoracle.h"
#include "host/portcls/dpcqueue.h"
#include "host/portcls/portclass.h"
#include "tests/support/systemstreaming.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

namespace
{

class StreamingLatency : public nuvtest::SystemStreamingTestbed
{
protected:
    void TearDown() override
    {
        host::portcls::SetNotifyDelivery(nullptr);
        SystemStreamingTestbed::TearDown();
    }
};

// The client's side, run by the clock between its steps: writes of one byte
// to a period and a half while fewer than three periods wait in the port,
// with dry spells of up to six periods, and now and then a pause, a cancel
// or a stop.
class LateClient
{
public:
    LateClient(host::portcls::Pin& pin, ULONG periodFrames, unsigned frameBytes, unsigned seed)
        : pin_(pin), periodBytes_(std::uint64_t{periodFrames} * frameBytes), rng_(seed),
          input_(nuvtest::ClientSamples(4000 * std::size_t{periodFrames}, 2, frameBytes / 2, seed))
    {
    }

    void Step()
    {
        ++step_;
        if (pausedSteps_ > 0 && --pausedSteps_ == 0)
            pin_.SetState(KSSTATE_RUN);
        if (drySteps_ > 0)
        {
            --drySteps_;
            return;
        }
        switch (Roll(400))
        {
        case 0:
            drySteps_ = static_cast<unsigned>(Roll(24));
            return;
        case 1:
            pin_.SetState(KSSTATE_PAUSE);
            pausedSteps_ = 1 + static_cast<unsigned>(Roll(8));
            return;
        case 2:
            pin_.CancelQueued();
            return;
        case 3:
            pin_.SetState(KSSTATE_STOP);
            pin_.SetState(KSSTATE_RUN);
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

private:
    std::uint64_t Roll(std::uint64_t below) { return rng_() % below; }

    host::portcls::Pin& pin_;
    std::uint64_t periodBytes_;
    std::mt19937 rng_;
    std::vector<std::uint8_t> input_;
    std::size_t next_ = 0;
    std::uint64_t step_ = 0;
    unsigned drySteps_ = 0;
    unsigned pausedSteps_ = 0;
};

TEST_F(StreamingLatency, LateAndFoldedServicesPlayOnlyTheClientsFramesInOrderAndSilence)
{
    const ULONG period = PeriodFrames();
    const ULONG step = period / 4;
    constexpr ULONGLONG kPeriods = 600;

    host::portcls::DpcQueue dpc;
    std::mt19937 latencyRng(7);
    // Most DPCs on time; some a quarter or a half period late (the Service
    // finds the engine inside the period it took), some one and a quarter or
    // two and a half periods (period ends folded into one Service).
    dpc.SetLatency(Engine(),
                   [&](std::size_t)
                   {
                       const ULONGLONG late[] = {step, 2 * step, 5 * step, 10 * step};
                       const unsigned roll = latencyRng() % 10;
                       return roll < 6 ? ULONGLONG{0} : late[roll - 6];
                   });
    host::portcls::SetNotifyDelivery([&](PSERVICEGROUP group) { dpc.Deliver(group); });
    auto& pin = OpenPin(1, {.channels = 2, .bits = 24}, {.maxMappingBytes = 1000});
    LateClient client(pin, period, 2 * 3, 11);

    host::engine::ThreadedClock::Options options;
    options.stepFrames = step;
    options.settle = [&] { dpc.DrainDue(); };
    options.stepped = [&]
    {
        dpc.DrainDue();
        client.Step();
    };
    host::engine::ThreadedClock clock(Engine(), options);
    std::atomic<bool> finished{false};
    std::thread positions(
        [&]
        {
            while (!finished)
            {
                ULONGLONG position = 0;
                EXPECT_EQ(pin.GetPosition(&position), STATUS_SUCCESS);
                std::this_thread::yield();
            }
        });
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    clock.Start();
    clock.WaitForPeriodEnds(kPeriods);
    clock.Stop();
    finished = true;
    positions.join();
    dpc.Drain();
    ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    const auto verdict = host::engine::JudgePlayback(pin.Port().Journal(), Record(1),
                                                     pin.ClientFormat(), pin.Port().OpenOrder());
    const auto record = Record(1);
    ClosePin(pin);
    host::portcls::SetNotifyDelivery(nullptr);

    EXPECT_TRUE(verdict.NoFindings()) << verdict.Summary();
    // The run did what it is about: Services late, deliveries folded, the
    // client's frames played.
    EXPECT_GT(record.underruns, 10u);
    EXPECT_GT(dpc.Coalesced(), 10u);
    EXPECT_GT(verdict.clientFramesPlayed, kPeriods * period / 2);
    RecordProperty("late_periods", static_cast<int>(record.underruns));
    RecordProperty("folded_notifications", static_cast<int>(dpc.Coalesced()));
    RecordProperty("glitches", static_cast<int>(verdict.glitchCount));
    RecordProperty("silent_frames", static_cast<int>(verdict.silentFrames));
}

} // namespace
