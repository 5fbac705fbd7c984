// The pointer ALSA gets from the driver's readings: never invented, never
// backwards, never past the data; and what the readings showed, counted.
#include "tools/alsa/positiontracker.h"

#include <gtest/gtest.h>

namespace
{

using nuvalsa::PositionTracker;

TEST(PositionTracker, FollowsTheReadingsAndCountsWhatStepsBack)
{
    PositionTracker tracker;
    EXPECT_EQ(tracker.Take({.position = 100, .written = 4000, .played = 100}), 100u);
    EXPECT_EQ(tracker.Take({.position = 1900, .written = 4000, .played = 1900}), 1900u);
    // The driver's position falls back inside a period: the pointer stays
    // where the driver had put it; the delay sees the reading as it came.
    EXPECT_EQ(tracker.Take({.position = 1500, .written = 4000, .played = 2000}), 1900u);
    EXPECT_EQ(tracker.Latest(), 1500u);
    EXPECT_EQ(tracker.Take({.position = 1700, .written = 4000, .played = 2100}), 1900u);
    EXPECT_EQ(tracker.Take({.position = 2200, .written = 4000, .played = 2200}), 2200u);

    const auto& findings = tracker.Findings();
    EXPECT_EQ(findings.readings, 5u);
    EXPECT_EQ(findings.stepsBack, 1u) << "1700 after 1500 is forward";
    EXPECT_EQ(findings.largestStepBack, 400u);
    EXPECT_EQ(findings.largestBehind, 500u);
    EXPECT_EQ(findings.beyondWritten, 0u);
}

TEST(PositionTracker, NeverPointsPastWhatWasWritten)
{
    PositionTracker tracker;
    EXPECT_EQ(tracker.Take({.position = 5000, .written = 4000, .played = 4000}), 4000u);
    EXPECT_EQ(tracker.Findings().beyondWritten, 1u);
    EXPECT_EQ(tracker.Findings().largestAhead, 1000u);
}

// After the data, the device plays silence: how far the position trails it
// then says nothing about the driver.
TEST(PositionTracker, ComparesWithTheDeviceOnlyWhileTheDataPlays)
{
    PositionTracker tracker;
    tracker.Take({.position = 3000, .written = 4000, .played = 3200});
    tracker.Take({.position = 3800, .written = 4000, .played = 9000});
    EXPECT_EQ(tracker.Findings().largestBehind, 200u);
}

TEST(PositionTracker, StartsEachStreamAtZeroAndKeepsTheTotals)
{
    PositionTracker tracker;
    tracker.Take({.position = 3000, .written = 4000, .played = 3000});
    tracker.Take({.position = 1000, .written = 4000, .played = 3100});
    tracker.Reset();
    EXPECT_EQ(tracker.Pointer(), 0u);
    EXPECT_EQ(tracker.Take({.position = 200, .written = 4000, .played = 200}), 200u)
        << "a new stream's first reading is no step back";
    EXPECT_EQ(tracker.Findings().readings, 1u);
    EXPECT_EQ(tracker.Findings().stepsBack, 0u);
    EXPECT_EQ(tracker.Totals().readings, 3u);
    EXPECT_EQ(tracker.Totals().stepsBack, 1u);
}

} // namespace
