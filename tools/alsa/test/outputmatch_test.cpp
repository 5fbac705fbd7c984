// The client tests' judge: it must find the client's audio in what the
// device played whatever silence the timing put around it, and it must fail
// every fault a device could commit on the way: a frame dropped, repeated,
// swapped or changed, sound where silence belongs, an end that never came.
#include "tools/alsa/test/outputmatch.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{

using nuvalsa::MatchOutput;
using nuvalsa::MatchResult;
using nuvalsa::MatchRules;

// Stereo frames whose samples tell them apart: frame f holds (f+1, -(f+1)),
// with `leadingSilence` silent frames first.
std::vector<std::int32_t> Tone(std::size_t frames, std::size_t leadingSilence = 0)
{
    std::vector<std::int32_t> samples(2 * leadingSilence, 0);
    for (std::size_t f = 0; f < frames; ++f)
    {
        samples.push_back(static_cast<std::int32_t>((f + 1) << 8));
        samples.push_back(-static_cast<std::int32_t>((f + 1) << 8));
    }
    return samples;
}

std::vector<std::int32_t> Surround(std::vector<std::int32_t> samples, std::size_t before,
                                   std::size_t after)
{
    samples.insert(samples.begin(), 2 * before, 0);
    samples.insert(samples.end(), 2 * after, 0);
    return samples;
}

TEST(MatchOutput, FindsTheAudioBetweenTheSilenceTheTimingAdds)
{
    const auto expected = Tone(100, 3);
    const MatchResult result = MatchOutput(expected, Surround(expected, 480, 960), {});
    EXPECT_TRUE(result.matched) << result.text;
    EXPECT_NE(result.text.find("at frame 480"), std::string::npos) << result.text;
    EXPECT_TRUE(MatchOutput(expected, expected, {}).matched) << "no silence around at all";
}

// The test of the test: each fault a device could commit fails the match.
TEST(MatchOutput, FailsEveryPlantedFault)
{
    const auto expected = Tone(100);
    struct Fault
    {
        const char* name;
        std::vector<std::int32_t> played;
    };
    std::vector<Fault> faults;

    auto dropped = Surround(expected, 10, 10);
    dropped.erase(dropped.begin() + 2 * (10 + 50), dropped.begin() + 2 * (10 + 51));
    faults.push_back({"a frame dropped", dropped});

    auto repeated = Surround(expected, 10, 10);
    repeated.insert(repeated.begin() + 2 * (10 + 50), repeated.begin() + 2 * (10 + 49),
                    repeated.begin() + 2 * (10 + 50));
    faults.push_back({"a frame repeated", repeated});

    auto swapped = Surround(expected, 10, 10);
    std::swap(swapped[2 * (10 + 20)], swapped[2 * (10 + 21)]);
    std::swap(swapped[2 * (10 + 20) + 1], swapped[2 * (10 + 21) + 1]);
    faults.push_back({"two frames swapped", swapped});

    auto channelsSwapped = Surround(expected, 10, 10);
    std::swap(channelsSwapped[2 * (10 + 7)], channelsSwapped[2 * (10 + 7) + 1]);
    faults.push_back({"the channels of a frame swapped", channelsSwapped});

    auto lowBits = Surround(expected, 10, 10);
    lowBits[2 * (10 + 99)] |= 1;
    faults.push_back({"a low bit set in the last frame", lowBits});

    auto strayAfter = Surround(expected, 10, 10);
    strayAfter[strayAfter.size() - 2] = 5;
    faults.push_back({"sound after the end", strayAfter});

    auto strayBefore = Surround(expected, 10, 10);
    strayBefore[4] = 5;
    faults.push_back({"sound before the start", strayBefore});

    auto truncated = Surround(expected, 10, 0);
    truncated.resize(truncated.size() - 2);
    faults.push_back({"the last frame never played", truncated});

    auto gap = Surround(expected, 10, 10);
    gap.insert(gap.begin() + 2 * (10 + 40), 2 * 7, 0);
    faults.push_back({"silence inside", gap});

    faults.push_back({"only silence", std::vector<std::int32_t>(400, 0)});

    for (const Fault& fault : faults)
    {
        SCOPED_TRACE(fault.name);
        const MatchResult result = MatchOutput(expected, fault.played, {});
        EXPECT_FALSE(result.matched) << result.text;
        EXPECT_FALSE(result.text.empty());
    }
}

TEST(MatchOutput, AllowsAnEarlyEndOnlyWithinTheLimit)
{
    const auto expected = Tone(100);
    auto played = Surround(expected, 10, 0);
    played.resize(played.size() - 2 * 30);
    played.insert(played.end(), 2 * 50, 0);
    EXPECT_FALSE(MatchOutput(expected, played, {}).matched);
    EXPECT_FALSE(MatchOutput(expected, played, {.allowShortFrames = 29}).matched);
    const MatchResult result = MatchOutput(expected, played, {.allowShortFrames = 30});
    EXPECT_TRUE(result.matched) << result.text;
    EXPECT_NE(result.text.find("the last 30 were not played"), std::string::npos) << result.text;

    // An early end is silence to the end: a changed frame is still a fault.
    played[2 * (10 + 5)] = 1;
    EXPECT_FALSE(MatchOutput(expected, played, {.allowShortFrames = 30}).matched);
}

TEST(MatchOutput, WithGapsWantsEverySoundFrameInOrder)
{
    const auto expected = Tone(100);
    auto played = Surround(expected, 10, 10);
    played.insert(played.begin() + 2 * (10 + 40), 2 * 700, 0);
    const MatchResult result = MatchOutput(expected, played, {.gaps = true});
    EXPECT_TRUE(result.matched) << result.text;
    EXPECT_NE(result.text.find("silence in 1 places"), std::string::npos) << result.text;

    auto dropped = played;
    dropped.erase(dropped.begin() + 2 * 30, dropped.begin() + 2 * 31); // expected frame 20
    EXPECT_FALSE(MatchOutput(expected, dropped, {.gaps = true}).matched);
    auto repeated = played;
    repeated.insert(repeated.end() - 20, {1 << 8, -(1 << 8)});
    EXPECT_FALSE(MatchOutput(expected, repeated, {.gaps = true}).matched);
    auto shortened = Surround(expected, 10, 0);
    shortened.resize(shortened.size() - 2);
    EXPECT_FALSE(MatchOutput(expected, shortened, {.gaps = true}).matched);
}

TEST(MatchOutput, RefusesSamplesThatAreNotWholeFrames)
{
    const std::vector<std::int32_t> three = {1, 2, 3};
    EXPECT_FALSE(MatchOutput(three, three, {.channels = 2}).matched);
    EXPECT_TRUE(MatchOutput(three, three, {.channels = 3}).matched);
}

} // namespace
