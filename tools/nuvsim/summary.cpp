#include "tools/nuvsim/summary.h"

#include <cstdlib>
#include <iomanip>
#include <ostream>

namespace nuvsim
{
namespace
{

std::int32_t Container(const std::vector<std::uint8_t>& bytes, std::size_t index)
{
    std::uint32_t value = 0;
    for (unsigned b = 0; b < 4; ++b)
        value |= std::uint32_t{bytes[4 * index + b]} << (8 * b);
    return static_cast<std::int32_t>(value);
}

std::string Plural(std::uint64_t count, const char* one, const char* many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

} // namespace

PositionCheck CheckPositions(const std::vector<PositionReading>& readings, std::uint64_t dataFrames,
                             unsigned frameBytes)
{
    PositionCheck check;
    for (const PositionReading& reading : readings)
    {
        if (reading.streamFrame > dataFrames)
            continue;
        ++check.readings;
        const auto truth = static_cast<std::int64_t>(reading.streamFrame * frameBytes);
        const std::int64_t error = static_cast<std::int64_t>(reading.reportedBytes) - truth;
        if (std::llabs(error) > std::llabs(check.largestErrorBytes))
        {
            check.largestErrorBytes = error;
            check.largestErrorAtFrame = reading.streamFrame;
        }
    }
    return check;
}

OutputCheck CheckOutput(const std::vector<std::uint8_t>& played,
                        const std::vector<std::int32_t>& expected, unsigned channels)
{
    OutputCheck check;
    const std::size_t playedSamples = played.size() / 4;
    const std::size_t compared = std::min(playedSamples, expected.size());
    check.comparedFrames = channels == 0 ? 0 : compared / channels;
    for (std::size_t k = 0; k < compared; ++k)
    {
        if (Container(played, k) == expected[k])
            continue;
        if (!check.firstDifferentFrame)
        {
            check.firstDifferentFrame = k / channels;
            check.firstDifferentChannel = static_cast<unsigned>(k % channels);
        }
        ++check.differentSamples;
    }
    check.equal = compared == expected.size() && check.differentSamples == 0;
    for (std::size_t frame = compared / channels; channels != 0 && frame < playedSamples / channels;
         ++frame)
    {
        bool loud = false;
        for (unsigned c = 0; c < channels; ++c)
            loud = loud || Container(played, frame * channels + c) != 0;
        if (loud)
            ++check.loudTailFrames;
    }
    check.tailSilent = check.loudTailFrames == 0;
    check.tailFrames = channels == 0 ? 0 : (playedSamples - compared) / channels;
    return check;
}

void PrintSummary(std::ostream& out, const PlaySummary& s)
{
    const double seconds =
        s.format.sampleRate == 0 ? 0.0 : static_cast<double>(s.frames) / s.format.sampleRate;
    out << "input     " << s.source << ": " << Describe(s.format) << ", " << std::fixed
        << std::setprecision(2) << seconds << " s\n";
    if (!s.driver.empty())
        out << "driver    " << s.driver << "\n";
    out << "device    " << s.device << " (NUV_Wave" << s.device << "), period " << s.periodFrames
        << " frames";
    if (!s.proposal.empty())
        out << "; the filter proposed " << s.proposal;
    out << "\n";
    out << "played    " << s.frames << " frames in " << Plural(s.dataPeriods, "period", "periods")
        << " (" << s.periodsPlayed << " with the silence after), "
        << Plural(s.underruns, "underrun", "underruns") << ", "
        << Plural(s.silentPeriods, "silent period", "silent periods") << " (" << s.silentDataPeriods
        << " while the input played)\n";

    const OutputCheck& o = s.output;
    out << "output    ";
    if (o.equal)
    {
        out << "bit-exact: the device received the input widened to 32-bit containers";
    }
    else if (o.firstDifferentFrame)
    {
        out << "DIFFERS: " << o.differentSamples << " samples, the first at frame "
            << *o.firstDifferentFrame << " channel " << o.firstDifferentChannel;
    }
    else
    {
        out << "DIFFERS: the device played " << o.comparedFrames << " of " << s.frames << " frames";
    }
    if (o.tailSilent)
        out << "; silence after the last sample\n";
    else
        out << "; NOT silent after the last sample (" << o.loudTailFrames << " of " << o.tailFrames
            << " frames carry samples)\n";

    const PositionCheck& p = s.positions;
    out << "position  largest error " << p.largestErrorBytes << " bytes";
    const std::uint64_t periodBytes = std::uint64_t{s.periodFrames} * s.frameBytes;
    if (p.largestErrorBytes != 0 && periodBytes != 0)
    {
        const double periods = static_cast<double>(std::llabs(p.largestErrorBytes)) / periodBytes;
        out << (p.largestErrorBytes < 0 ? " (behind by " : " (ahead by ") << std::setprecision(2)
            << periods << (periods == 1.0 ? " period" : " periods") << ", at frame "
            << p.largestErrorAtFrame << ")";
    }
    out << " over " << p.readings << " readings; final position " << s.finalPosition << " of "
        << s.inputBytes << " bytes\n";
    if (!s.outputFile.empty())
        out << "wrote     " << s.outputFile << " (32-bit integer PCM)\n";
    if (!s.traceFile.empty())
        out << "trace     " << s.traceFile << " (chrome://tracing or ui.perfetto.dev)\n";
}

} // namespace nuvsim
