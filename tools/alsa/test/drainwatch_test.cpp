// A drain ends when the position reaches the end, and only then succeeds;
// it gives up once the device has played everything and the grace periods,
// or once the wall clock says the device itself has stopped.
#include "tools/alsa/drainwatch.h"

#include <gtest/gtest.h>

namespace
{

using nuvalsa::DrainWatch;
using Verdict = DrainWatch::Verdict;
using namespace std::chrono_literals;

const DrainWatch::Clock::time_point kStart{};

// 4-byte frames, 480-frame periods at 48000 Hz; 1000 frames queued (the
// position stands 4000 bytes short of the 40000 written) when the drain
// begins at device frame 5000.
DrainWatch Watch()
{
    return DrainWatch(40000, 36000, 4, 5000, 480, 48000, kStart);
}

TEST(DrainWatch, EndsWhenThePositionReachesTheEnd)
{
    const DrainWatch watch = Watch();
    EXPECT_EQ(watch.Judge(39996, 5500, kStart + 10ms), Verdict::Waiting);
    EXPECT_EQ(watch.Judge(40000, 6000, kStart + 20ms), Verdict::Drained);
    EXPECT_EQ(watch.Judge(40000, 99999, kStart + 1h), Verdict::Drained)
        << "the end reached counts even late";
}

TEST(DrainWatch, GivesUpOnceTheDevicePlayedEverythingAndTheGracePeriods)
{
    const DrainWatch watch = Watch();
    EXPECT_EQ(watch.BudgetFrames(), 1000u + DrainWatch::kGracePeriods * 480);
    const std::uint64_t last = 5000 + watch.BudgetFrames();
    EXPECT_EQ(watch.Judge(39996, last, kStart + 100ms), Verdict::Waiting);
    EXPECT_EQ(watch.Judge(39996, last + 1, kStart + 100ms), Verdict::GaveUp);
    EXPECT_EQ(watch.Played(last + 1), watch.BudgetFrames() + 1);
}

// A loaded machine slows the device down: no wall-clock limit short of
// several times the playing time may end the wait while the device moves.
TEST(DrainWatch, WaitsForASlowDeviceButNotForAStoppedOne)
{
    const DrainWatch watch = Watch();
    const auto playing = std::chrono::duration<double>(watch.BudgetFrames() / 48000.0);
    const auto slow = std::chrono::duration_cast<DrainWatch::Clock::duration>(playing * 4);
    EXPECT_EQ(watch.Judge(36000, 5000, kStart + slow + 9s), Verdict::Waiting);
    EXPECT_EQ(watch.Judge(36000, 5000, kStart + slow + 10s + 1ms), Verdict::GaveUp);
}

TEST(DrainWatch, NothingQueuedNeedsOnlyTheGracePeriods)
{
    const DrainWatch watch(4000, 4000, 4, 0, 480, 48000, kStart);
    EXPECT_EQ(watch.Judge(4000, 0, kStart), Verdict::Drained);
    const DrainWatch behind(4000, 5000, 4, 0, 480, 48000, kStart);
    EXPECT_EQ(behind.BudgetFrames(), DrainWatch::kGracePeriods * 480u);
}

} // namespace
