// The judge of reported positions (host/engine/positionjudge.h) on a run
// written out by hand: what it takes as the truth at each reading, and the
// figures it computes from the errors.
#include "host/engine/positionjudge.h"

#include <gtest/gtest.h>

#include <cmath>

namespace
{

using host::engine::PositionSample;

// Stereo 16-bit: 4 client bytes and 8 container bytes a frame, 48 kHz.
// The device played 100 frames: 50 of the client's, 10 of silence, 40 of
// the client's again; a STOP came before the third take, which began at
// output frame 60.
class PositionJudge : public ::testing::Test
{
protected:
    void SetUp() override
    {
        verdict_.clientFrameBytes = 4;
        verdict_.framesPlayed = 100;
        verdict_.played = {{0, 0, true}, {50, 200, false}, {60, 200, true}};
        record_.periods = {Take(10, 0), Take(20, 50), Take(30, 60)};
        journal_.cuts.push_back({25, 0, 0, 0, true});
    }

    static host::engine::PeriodRecord Take(std::uint64_t order, std::size_t frame)
    {
        host::engine::PeriodRecord take;
        take.order = order;
        take.outputBytes = frame * 8;
        return take;
    }
    // A reading at `order`, after `frames` output frames, at device frame
    // `device`.
    static PositionSample Sample(std::uint64_t reported, std::uint64_t order, std::uint64_t frames,
                                 std::uint64_t device)
    {
        return {reported, order, device, frames * 8};
    }

    host::engine::PlayVerdict verdict_;
    host::engine::StreamState record_;
    host::engine::ClientJournal journal_;
    const host::engine::PlayFormat format_{.channels = 2, .bytesPerSample = 2};
};

// Client bytes played, not silence; counted afresh after the STOP.
TEST_F(PositionJudge, TruthIsTheClientBytesPlayedSinceTheLastStop)
{
    const host::engine::PlayedBytes truth(verdict_, record_, journal_, format_, 0);
    EXPECT_EQ(truth.At(Sample(0, 11, 0, 0)), 0u);
    EXPECT_EQ(truth.At(Sample(0, 15, 10, 10)), 40u);
    EXPECT_EQ(truth.At(Sample(0, 22, 55, 55)), 200u) << "silence does not count";
    EXPECT_EQ(truth.At(Sample(0, 24, 60, 70)), 200u);
    EXPECT_EQ(truth.At(Sample(0, 26, 60, 70)), 0u) << "right after the STOP";
    EXPECT_EQ(truth.At(Sample(0, 40, 80, 90)), 80u);
    EXPECT_EQ(truth.RunOf(Sample(0, 24, 60, 70)), 0u);
    EXPECT_EQ(truth.RunOf(Sample(0, 26, 60, 70)), 1u);
}

// Output before the stream opened (`since`) belongs to an earlier pin.
TEST_F(PositionJudge, OutputBeforeTheOpeningIsNotTheStreams)
{
    record_.periods.insert(record_.periods.begin(), Take(5, 0));
    for (auto& take : record_.periods)
        take.outputBytes += take.order == 5 ? 0 : 30 * 8;
    const host::engine::PlayedBytes truth(verdict_, record_, journal_, format_, 8);
    EXPECT_EQ(truth.At(Sample(0, 15, 30 + 10, 40)), 40u);
}

// A reading a frame (4 bytes) ahead everywhere: bias of one frame at 48 kHz,
// no spread, no slope.
TEST_F(PositionJudge, AConstantErrorIsBiasOnly)
{
    const host::engine::PlayedBytes truth(verdict_, record_, journal_, format_, 0);
    std::vector<PositionSample> samples;
    for (unsigned frame = 0; frame < 50; frame += 5)
        samples.push_back(Sample(frame * 4 + 4, 15, frame, frame));
    const auto figures = host::engine::JudgePositions(samples, truth, {4, 48000}, {4, 0});
    EXPECT_EQ(figures.readings, 10u);
    EXPECT_NEAR(figures.biasMicroseconds, 1e6 / 48000, 1e-6);
    EXPECT_NEAR(figures.jitterMicroseconds, 0, 1e-6);
    EXPECT_NEAR(figures.driftPpm, 0, 1e-6);
    EXPECT_EQ(figures.mostAheadBytes, 4u);
    EXPECT_EQ(figures.outOfBounds, 0u) << "a frame ahead is within the bound given";
    const auto strict = host::engine::JudgePositions(samples, truth, {4, 48000}, {0, 0});
    EXPECT_EQ(strict.outOfBounds, 10u);
}

// An error that grows by one frame every 1000 frames of device time: a
// drift of 1000 ppm; the spread and mean follow from it.
TEST_F(PositionJudge, AGrowingErrorIsDrift)
{
    verdict_.played = {{0, 0, false}};
    const host::engine::PlayedBytes truth(verdict_, record_, journal_, format_, 0);
    std::vector<PositionSample> samples;
    for (std::uint64_t k = 0; k <= 4; ++k)
        samples.push_back(Sample(k * 4, 15, 0, k * 1000));
    const auto figures = host::engine::JudgePositions(samples, truth, {4, 48000}, {100, 100});
    EXPECT_NEAR(figures.driftPpm, 1000.0, 1e-6);
    EXPECT_NEAR(figures.biasMicroseconds, 2e6 / 48000, 1e-6);
    EXPECT_NEAR(figures.jitterMicroseconds, std::sqrt(2.0) * 1e6 / 48000, 1e-6);
}

// A reading below the one before is a backward step, except across a STOP,
// where the position starts again.
TEST_F(PositionJudge, BackwardStepsAreCountedWithinARun)
{
    const host::engine::PlayedBytes truth(verdict_, record_, journal_, format_, 0);
    const std::vector<PositionSample> samples = {Sample(40, 15, 10, 10), Sample(36, 16, 10, 10),
                                                 Sample(200, 22, 55, 55), Sample(0, 26, 60, 70),
                                                 Sample(80, 40, 80, 90)};
    const auto figures = host::engine::JudgePositions(samples, truth, {4, 48000}, {0, 4});
    EXPECT_EQ(figures.backwardSteps, 1u);
    ASSERT_EQ(figures.firstBackwardSteps.size(), 1u);
    EXPECT_EQ(figures.firstBackwardSteps.front().sample.reported, 36u);
    EXPECT_EQ(figures.mostBehindBytes, 4u);
    EXPECT_EQ(figures.outOfBounds, 0u);
}

} // namespace
