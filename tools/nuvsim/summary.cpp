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

void PrintFiles(std::ostream& out, const PlaySummary& s)
{
    if (!s.outputFile.empty())
        out << "wrote     " << s.outputFile << " (32-bit integer PCM)\n";
    if (!s.traceFile.empty())
        out << "trace     " << s.traceFile << " (chrome://tracing or ui.perfetto.dev)\n";
}

// The oracle's verdict, and a letter per period the device played.
void PrintVerdict(std::ostream& out, const host::engine::PlayVerdict& v)
{
    out << "oracle    ";
    if (v.NoFindings())
    {
        out << "every frame once, in order, intact: "
            << Plural(v.clientFramesPlayed, "client frame", "client frames") << ", "
            << Plural(v.silentFrames, "frame", "frames")
            << " of silence where the client's data came late";
        if (v.glitchCount != 0)
            out << ", " << v.glitchCount << " frames wrong at periods taken before their Service";
        out << "\n";
    }
    else
    {
        out << "FINDINGS: " << Plural(v.findingCount, "frame", "frames")
            << " wrong; the first bad period is " << *v.FirstBadTake() << ": "
            << v.findings.front().Describe(v.clientFrameBytes) << "\n";
    }
    constexpr std::size_t kShown = 200;
    const std::string map = v.TakeMap();
    out << "periods   " << map.substr(0, kShown);
    if (map.size() > kShown)
        out << "... (" << map.size() - kShown << " more)";
    out << "  (a the client's frames, - silence, p both, X a finding, L a late period)\n";
}

// The position figures against the bytes the device played, and where
// the last reading stood.
void PrintPositions(std::ostream& out, const PlaySummary& s)
{
    const PositionCheck& p = s.positions;
    const host::engine::PositionFigures& f = p.figures;
    out << "position  " << std::setprecision(1) << "bias " << f.biasMicroseconds << " us, jitter "
        << f.jitterMicroseconds << " us, drift " << std::setprecision(2) << f.driftPpm << " ppm, "
        << Plural(f.backwardSteps, "backward step", "backward steps") << " over " << f.readings
        << " readings";
    if (f.mostAheadBytes != 0 || f.mostBehindBytes != 0)
        out << " (at most " << f.mostAheadBytes << " bytes ahead, " << f.mostBehindBytes
            << " behind the bytes played)";
    else
        out << " (each the bytes played)";
    out << "; final position " << p.finalPosition << " of " << p.written << " bytes written";
    if (p.finalPosition != p.finalPlayed)
        out << " (" << p.finalPlayed << " played)";
    out << "\n";
    if (f.outOfBounds != 0)
        out << "          " << f.outOfBounds
            << " readings more than a frame ahead or 1 ms behind; the first at device frame "
            << f.firstOutOfBounds.front().sample.deviceFrame << "\n";
}

} // namespace

PositionCheck CheckPositions(const std::vector<PositionReading>& readings,
                             const host::engine::PlayedBytes& truth,
                             const host::engine::PositionFormat& format)
{
    PositionCheck check;
    std::vector<host::engine::PositionSample> samples;
    samples.reserve(readings.size());
    for (const PositionReading& reading : readings)
    {
        samples.push_back(reading.sample);
        check.traceTimes.push_back(reading.traceTime);
    }
    const std::uint64_t millisecond =
        (std::uint64_t{format.sampleRate} + 999) / 1000 * format.frameBytes;
    check.figures = host::engine::JudgePositions(
        samples, truth, format, {.aheadBytes = format.frameBytes, .behindBytes = millisecond});
    check.judged = host::engine::JudgeEach(samples, truth);
    if (!check.judged.empty())
    {
        check.finalPosition = check.judged.back().sample.reported;
        check.finalPlayed = check.judged.back().truth;
    }
    return check;
}

void TracePositions(host::engine::TraceRecorder& recorder, const PositionCheck& check)
{
    for (std::size_t i = 0; i < check.judged.size() && i < check.traceTimes.size(); ++i)
    {
        const host::engine::JudgedReading& reading = check.judged[i];
        recorder.AddCounter(check.traceTimes[i], "position", "position",
                            {{"reported", static_cast<double>(reading.sample.reported)},
                             {"played", static_cast<double>(reading.truth)}});
        recorder.AddCounter(check.traceTimes[i], "position", "position error",
                            {{"bytes", static_cast<double>(reading.Error())}});
    }
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
    if (!s.schedule.empty())
    {
        out << "played    " << Plural(s.periodsPlayed, "period", "periods") << ", "
            << Plural(s.underruns, "underrun", "underruns") << ", "
            << Plural(s.silentPeriods, "silent period", "silent periods") << "\n";
    }
    else
    {
        out << "played    " << s.frames << " frames in "
            << Plural(s.dataPeriods, "period", "periods") << " (" << s.periodsPlayed
            << " with the silence after), " << Plural(s.underruns, "underrun", "underruns") << ", "
            << Plural(s.silentPeriods, "silent period", "silent periods") << " ("
            << s.silentDataPeriods << " while the input played)\n";
    }

    if (!s.schedule.empty())
        out << "client    followed the schedule: " << s.schedule << "\n";
    PrintVerdict(out, s.verdict);
    // On a schedule the client may be late on purpose: the oracle says what
    // is right, and the output is not compared with the whole input.
    if (!s.schedule.empty())
    {
        PrintPositions(out, s);
        PrintFiles(out, s);
        return;
    }

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

    PrintPositions(out, s);
    PrintFiles(out, s);
}

} // namespace nuvsim
