// The written form of a client schedule (host/client/schedule.h): parsed
// and printed back, and what is no schedule refused. The schedules played
// through the driver are tests/randomschedules_test.cpp.
#include "host/client/schedule.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

using host::client::Schedule;
using host::client::StepKind;
using host::client::Unit;

TEST(Schedule, ParsesEveryStepAndPrintsItBack)
{
    std::string error;
    const auto schedule = Schedule::Parse(
        "write 2p, wait 3p; rest 333, cancel@5000, pause 2p, wait 7f, run, pause, stop, "
        "cancel, mapping 61, split 17, write 5f",
        error);
    ASSERT_TRUE(schedule) << error;
    ASSERT_EQ(schedule->steps.size(), 13u);
    EXPECT_EQ(schedule->steps[0].kind, StepKind::Write);
    EXPECT_EQ(schedule->steps[0].unit, Unit::Periods);
    EXPECT_EQ(schedule->steps[3].kind, StepKind::CancelAt);
    EXPECT_EQ(schedule->steps[3].amount, 5000u);
    EXPECT_EQ(schedule->steps[4].kind, StepKind::PauseFor);
    EXPECT_EQ(schedule->steps[5].unit, Unit::Frames);
    EXPECT_EQ(schedule->steps[7].kind, StepKind::Pause);
    EXPECT_EQ(schedule->ToString(), "write 2p, wait 3p, rest 333, cancel@5000, pause 2p, wait 7f, "
                                    "run, pause, stop, cancel, mapping 61, split 17, write 5f");
    EXPECT_TRUE(schedule->SaysRun());
}

TEST(Schedule, RefusesWhatIsNoSchedule)
{
    for (const char* text : {"write", "wait", "wait 3b", "write 0", "jump 3", "write 2x",
                             "cancel@3p", "mapping 0", "pause 1b", "run 2"})
    {
        SCOPED_TRACE(text);
        std::string error;
        EXPECT_FALSE(Schedule::Parse(text, error));
        EXPECT_FALSE(error.empty());
    }
}

} // namespace
