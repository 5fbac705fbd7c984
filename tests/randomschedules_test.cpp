// Client schedules (host/client/schedule.h): thousands of seeded random
// ones played through the whole driver on the virtual clock, each judged by
// the oracle over the device's output (host/engine/playoracle.h) and by the
// host's conduct checks. A failing seed prints a one-line reproduction and
// the schedule shrunk to the steps that still fail.
//
//     NUV_SCHEDULE_SEED=1234 build/tests/nuv_driver_tests
//         --gtest_filter='RandomSchedulesFromTheEnvironment.*'
//
// runs that one seed and prints its verdict.
#include "host/client/scheduledclient.h"
#include "host/engine/playoracle.h"
#include "host/kernel/conduct.h"
#include "host/kernel/pool.h"
#include "host/portcls/servicegroup.h"
#include "host/test/support/judgeparts.h"
#include "tests/support/systemstreaming.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace
{

using host::client::Schedule;
using host::client::ScheduleStep;
using host::client::StepKind;
using host::client::Unit;

// --- random schedules on the virtual clock -----------------------------------

struct RandomCase
{
    unsigned seed = 0;
    int device = 1;
    USHORT channels = 2;
    USHORT bits = 16;
    ULONG periodFrames = 64;
    Schedule schedule;
    std::vector<std::uint8_t> input;

    unsigned FrameBytes() const { return channels * (bits / 8u); }
    std::string Describe() const
    {
        std::ostringstream text;
        text << "seed " << seed << ": period " << periodFrames << " frames, " << channels
             << " channels, " << bits << "-bit, device " << device;
        return text.str();
    }
};

std::uint64_t Pick(std::mt19937& rng, std::uint64_t from, std::uint64_t to)
{
    return std::uniform_int_distribution<std::uint64_t>(from, to)(rng);
}

// Periods from 1 to 2048 frames, mostly short (so that thousands of runs
// stay quick), now and then long; amounts from one byte to several periods;
// mappings and split points that fall inside samples; underruns of every
// length and parity; state changes and cancels anywhere.
RandomCase MakeCase(unsigned seed)
{
    std::mt19937 rng(seed);
    RandomCase c;
    c.seed = seed;
    const USHORT bits[] = {16, 24, 32};
    c.bits = bits[Pick(rng, 0, 2)];
    c.channels = Pick(rng, 0, 3) == 0 ? static_cast<USHORT>(Pick(rng, 3, 6)) : 2;
    c.device = c.channels > 2 ? 4 : static_cast<int>(Pick(rng, 1, 3));
    switch (Pick(rng, 0, 9))
    {
    case 0:
        c.periodFrames = 1;
        break;
    case 1:
        c.periodFrames = static_cast<ULONG>(Pick(rng, 256, 2048));
        break;
    default:
        c.periodFrames = static_cast<ULONG>(Pick(rng, 2, 48));
        break;
    }
    const std::uint64_t periodBytes = std::uint64_t{c.periodFrames} * c.FrameBytes();
    const bool longPeriod = c.periodFrames > 64;
    std::uint64_t written = 0;
    std::uint64_t waited = 0;
    const std::size_t steps = Pick(rng, 2, longPeriod ? 8 : 30);
    for (std::size_t i = 0; i < steps; ++i)
    {
        ScheduleStep step;
        const std::uint64_t roll = Pick(rng, 0, 99);
        if (roll < 35)
        {
            step.kind = StepKind::Write;
            switch (Pick(rng, 0, 2))
            {
            case 0:
                step.unit = Unit::Bytes;
                step.amount = Pick(rng, 1, 3 * periodBytes);
                break;
            case 1:
                step.unit = Unit::Frames;
                step.amount = Pick(rng, 1, 3 * std::uint64_t{c.periodFrames});
                break;
            default:
                step.unit = Unit::Periods;
                step.amount = Pick(rng, 1, 3);
                break;
            }
            written += step.unit == Unit::Bytes    ? step.amount
                       : step.unit == Unit::Frames ? step.amount * c.FrameBytes()
                                                   : step.amount * periodBytes;
        }
        else if (roll < 65)
        {
            step.kind = StepKind::Wait;
            if (Pick(rng, 0, 2) == 0)
            {
                step.unit = Unit::Frames;
                step.amount = Pick(rng, 1, 2 * std::uint64_t{c.periodFrames});
            }
            else
            {
                step.unit = Unit::Periods;
                step.amount = Pick(rng, 1, longPeriod ? 3 : 6);
            }
            waited += step.amount;
        }
        else if (roll < 72)
        {
            step.kind = StepKind::PauseFor;
            step.unit = Unit::Periods;
            step.amount = Pick(rng, 0, 3);
        }
        else if (roll < 76)
        {
            step.kind = Pick(rng, 0, 1) == 0 ? StepKind::Stop : StepKind::Run;
        }
        else if (roll < 80)
        {
            step.kind = StepKind::Pause;
        }
        else if (roll < 85)
        {
            step.kind = StepKind::Cancel;
        }
        else if (roll < 90)
        {
            step.kind = StepKind::CancelAt;
            step.amount = written + Pick(rng, 0, 2 * periodBytes);
        }
        else if (roll < 95)
        {
            step.kind = StepKind::Mapping;
            step.amount = Pick(rng, 0, 1) == 0 ? Pick(rng, 1, 16) : Pick(rng, 17, 8192);
        }
        else
        {
            step.kind = StepKind::Split;
            step.amount = written + Pick(rng, 0, periodBytes);
        }
        c.schedule.steps.push_back(step);
    }
    (void)waited;
    if (Pick(rng, 0, 3) == 0)
    {
        ScheduleStep rest;
        rest.kind = StepKind::Rest;
        rest.amount = Pick(rng, 1, 2 * periodBytes);
        c.schedule.steps.push_back(rest);
        written += Pick(rng, 1, 3 * periodBytes);
    }
    c.input = nuvtest::ClientSamples(written / c.FrameBytes() + 1, c.channels, c.bits / 8u, seed);
    return c;
}

// What one run of a schedule came to.
struct Outcome
{
    host::engine::PlayVerdict verdict;
    std::vector<host::Violation> violations;
    std::vector<std::string> problems; // at close, and pool left behind
    std::size_t lateTakes = 0;

    bool Good() const
    {
        return verdict.Clean() && violations.empty() && problems.empty() && lateTakes == 0;
    }
    std::string Describe() const
    {
        std::ostringstream text;
        text << verdict.Summary();
        if (lateTakes != 0)
            text << lateTakes << " periods taken before their Service ran\n";
        for (const host::Violation& violation : violations)
            text << "conduct: " << host::Describe(violation) << "\n";
        for (const std::string& problem : problems)
            text << "problem: " << problem << "\n";
        return text.str();
    }
};

class RandomSchedules : public nuvtest::SystemStreamingTestbed,
                        public ::testing::WithParamInterface<unsigned>
{
protected:
    static constexpr unsigned kShards = 8;
    static constexpr unsigned kSeedsPerShard = 400;

    Outcome Play(const RandomCase& c, const Schedule& schedule)
    {
        Outcome outcome;
        host::ViolationCapture capture;
        Engine().ForgetPlayed();
        Engine().SetPeriodFrames(c.periodFrames);
        const auto format =
            nuvtest::DataFormatBytes(nuvtest::WaveSubFormat(WAVE_FORMAT_PCM),
                                     {.channels = c.channels, .rate = 48000, .bits = c.bits});
        std::unique_ptr<host::portcls::Pin> pin;
        const NTSTATUS status =
            host::portcls::Pin::Open(WaveMiniport(c.device), 0, format, {}, pin);
        if (!NT_SUCCESS(status))
        {
            outcome.problems.push_back("the pin did not open: " + std::to_string(status));
            return outcome;
        }
        // Besides the judgement of the whole run, a judge beside the stream
        // takes it in parts after every step of the device, keeping a few
        // periods only; the two must agree.
        const host::engine::PlayFormat played{.channels = c.channels,
                                              .bytesPerSample = c.bits / 8u};
        const std::uint64_t opened = pin->Port().OpenOrder();
        host::engine::JudgeLimits few;
        few.lookBehindBytes = 4 * std::uint64_t{c.periodFrames} * c.FrameBytes();
        nuvtest::JudgeBeside beside(pin->Port(), Engine(), {0, static_cast<ULONG>(c.device - 1), 0},
                                    played, opened, few);
        host::client::ScheduledClient client(*pin, Clock(), c.periodFrames, c.FrameBytes(),
                                             c.input);
        client.SetAfterStep([&beside] { beside.Take(); });
        client.Play(schedule);
        beside.Take();
        for (std::string& problem : pin->Close())
            outcome.problems.push_back("at close: " + problem);
        pin.reset();
        const host::engine::StreamState& record = beside.WholeRecord();
        outcome.verdict =
            host::engine::JudgePlayback(beside.WholeJournal(), record, played, opened);
        const std::string difference = nuvtest::VerdictDifference(outcome.verdict, beside.Finish());
        if (!difference.empty())
            outcome.problems.push_back("the judge beside the stream disagrees: " + difference);
        for (const host::engine::PeriodRecord& take : record.periods)
        {
            if (take.order > opened && take.underrun)
                ++outcome.lateTakes;
        }
        if (host::Pool().Outstanding(host::Tag("wVUN")) != 0)
            outcome.problems.push_back("a transfer buffer is left");
        if (host::portcls::LiveServiceGroupCount() != 0)
            outcome.problems.push_back("a service group outlived its pin");
        outcome.violations = capture.Take();
        Clock().AdvanceToBoundary();
        return outcome;
    }

    // Drops steps, then halves amounts, while the schedule still fails.
    Schedule Shrink(const RandomCase& c)
    {
        Schedule best = c.schedule;
        for (bool changed = true; changed;)
        {
            changed = false;
            for (std::size_t i = 0; i < best.steps.size(); ++i)
            {
                Schedule fewer = best;
                fewer.steps.erase(fewer.steps.begin() + static_cast<std::ptrdiff_t>(i));
                if (!Play(c, fewer).Good())
                {
                    best = fewer;
                    changed = true;
                    --i;
                }
            }
            for (ScheduleStep& step : best.steps)
            {
                while (step.amount > 1)
                {
                    const std::uint64_t before = step.amount;
                    step.amount /= 2;
                    if (!Play(c, best).Good())
                    {
                        changed = true;
                        continue;
                    }
                    step.amount = before;
                    break;
                }
            }
        }
        return best;
    }

    // What the seeds of a shard exercised, for the test's record.
    struct Totals
    {
        std::uint64_t periods = 0;
        std::uint64_t clientFrames = 0;
        std::uint64_t silentFrames = 0;
        std::uint64_t partialPeriods = 0;
    };
    Totals totals_;

    void Check(unsigned seed)
    {
        const RandomCase c = MakeCase(seed);
        const Outcome outcome = Play(c, c.schedule);
        totals_.periods += outcome.verdict.takes.size();
        totals_.clientFrames += outcome.verdict.clientFramesPlayed;
        totals_.silentFrames += outcome.verdict.silentFrames;
        for (const host::engine::TakeVerdict& take : outcome.verdict.takes)
            totals_.partialPeriods += take.Letter() == 'p' ? 1 : 0;
        if (outcome.Good())
            return;
        const Schedule minimal = Shrink(c);
        const Outcome shrunk = Play(c, minimal);
        const std::string program = ::testing::internal::GetArgvs().empty()
                                        ? "nuv_driver_tests"
                                        : ::testing::internal::GetArgvs()[0];
        ADD_FAILURE()
            << c.Describe() << "\n"
            << outcome.Describe() << "reproduce: NUV_SCHEDULE_SEED=" << seed << " " << program
            << " --gtest_filter='RandomSchedulesFromTheEnvironment.SeedFromTheEnvironment'\n"
            << "schedule: " << c.schedule.ToString() << "\n"
            << "minimal schedule: " << minimal.ToString() << "\n"
            << shrunk.Describe() << "the same timing with nuvsim's own signal: nuvsim play"
            << " --device " << c.device << " --period " << c.periodFrames << " --schedule '"
            << minimal.ToString() << "'";
    }
};

TEST_P(RandomSchedules, EveryFrameOnceInOrderIntact)
{
    const unsigned shard = GetParam();
    for (unsigned seed = shard * kSeedsPerShard + 1; seed <= (shard + 1) * kSeedsPerShard; ++seed)
    {
        Check(seed);
        if (HasFailure())
            return;
    }
    RecordProperty("periods", static_cast<int>(totals_.periods));
    RecordProperty("client_frames", static_cast<int>(totals_.clientFrames));
    RecordProperty("silent_frames", static_cast<int>(totals_.silentFrames));
    RecordProperty("periods_cut_short", static_cast<int>(totals_.partialPeriods));
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomSchedules, ::testing::Range(0u, 8u));

using RandomSchedulesFromTheEnvironment = RandomSchedules;

TEST_F(RandomSchedulesFromTheEnvironment, SeedFromTheEnvironment)
{
    const char* seed = std::getenv("NUV_SCHEDULE_SEED");
    if (seed == nullptr)
        GTEST_SKIP() << "NUV_SCHEDULE_SEED is not set";
    const RandomCase c = MakeCase(static_cast<unsigned>(std::strtoul(seed, nullptr, 10)));
    const Outcome outcome = Play(c, c.schedule);
    std::cout << c.Describe() << "\nschedule: " << c.schedule.ToString() << "\n"
              << outcome.Describe();
    Check(c.seed);
}

} // namespace
