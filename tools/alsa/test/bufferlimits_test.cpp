// The period and buffer sizes from the engine's period. ALSA settles on one
// value of each list: the properties below are what a client can rely on
// whatever it picks.
#include "tools/alsa/bufferlimits.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace
{

using nuvalsa::LimitsFor;

bool Has(const std::vector<unsigned>& list, unsigned value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

// Device 1 offers 16-, 24- and 32-bit stereo (frames of 4, 6 and 8 bytes),
// device 4 also 4 and 6 channels.
const std::vector<unsigned> kStereo = {4, 6, 8};
const std::vector<unsigned> kUpToSix = {4, 6, 8, 9, 12, 16, 18, 24};

TEST(BufferLimits, OffersEveryFormatPeriodsOfWholeEnginePeriods)
{
    const auto limits = LimitsFor(480, kUpToSix);
    for (unsigned frameBytes : kUpToSix)
    {
        SCOPED_TRACE(frameBytes);
        for (unsigned k = 1; k <= nuvalsa::kMostPeriodMultiple; ++k)
            EXPECT_TRUE(Has(limits.periodBytes, k * 480 * frameBytes)) << k << " periods";
        EXPECT_FALSE(Has(limits.periodBytes, 480 * frameBytes / 2 * 3 + 1));
    }
    EXPECT_TRUE(std::is_sorted(limits.periodBytes.begin(), limits.periodBytes.end()));
    EXPECT_TRUE(std::adjacent_find(limits.periodBytes.begin(), limits.periodBytes.end()) ==
                limits.periodBytes.end())
        << "each value once";
}

// Whatever a client chooses, its buffer holds two engine periods: the
// driver fills one ahead of the one the engine plays.
TEST(BufferLimits, EveryBufferHoldsTwoEnginePeriodsOfEveryFormat)
{
    for (const auto& sizes : {kStereo, kUpToSix})
    {
        const auto limits = LimitsFor(480, sizes);
        ASSERT_FALSE(limits.bufferBytes.empty());
        for (unsigned frameBytes : sizes)
        {
            SCOPED_TRACE(frameBytes);
            bool some = false;
            for (unsigned bytes : limits.bufferBytes)
            {
                if (bytes % frameBytes != 0)
                    continue; // not a whole number of this format's frames
                some = true;
                EXPECT_GE(bytes / frameBytes, 2u * 480) << bytes << " bytes";
            }
            EXPECT_TRUE(some) << "no buffer size for this format";
            EXPECT_TRUE(Has(limits.bufferBytes, 64 * 480 * frameBytes));
        }
    }
    EXPECT_EQ(LimitsFor(480, kStereo).bufferBytes.front(), 2u * 480 * 8);
}

TEST(BufferLimits, LeavesOutWhatDoesNotFitAlsasSizesAndNeedsAFrame)
{
    // 192000 frames of 1024 bytes: only 21 periods fit in 32 bits.
    const auto huge = LimitsFor(192000, {1024});
    EXPECT_EQ(huge.periodBytes.size(), nuvalsa::kMostPeriodMultiple);
    EXPECT_EQ(huge.bufferBytes.size(), 20u);
    EXPECT_EQ(huge.bufferBytes.back(), 21u * 192000 * 1024);
    EXPECT_TRUE(LimitsFor(480, {}).periodBytes.empty());
    EXPECT_TRUE(LimitsFor(0, {4}).bufferBytes.empty());
}

} // namespace
