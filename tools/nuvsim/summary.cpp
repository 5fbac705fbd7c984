#include "tools/nuvsim/summary.h"

#include <bit>
#include <cstring>
#include <iomanip>
#include <ostream>

namespace nuvsim
{
namespace
{

static_assert(std::endian::native == std::endian::little);

std::int32_t Container(std::span<const std::uint8_t> bytes, std::size_t index)
{
    const std::uint8_t* at = bytes.data() + 4 * index;
    return static_cast<std::int32_t>(std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 |
                                     std::uint32_t{at[2]} << 16 | std::uint32_t{at[3]} << 24);
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
    const std::uint64_t shown = std::min<std::uint64_t>(map.size(), kShown);
    if (v.takeCount > shown)
        out << "... (" << v.takeCount - shown << " more)";
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

host::engine::PositionBounds ClientPositionBounds(const host::engine::PositionFormat& format)
{
    const std::uint64_t millisecond =
        (std::uint64_t{format.sampleRate} + 999) / 1000 * format.frameBytes;
    return {.aheadBytes = format.frameBytes, .behindBytes = millisecond};
}

OutputComparison::OutputComparison(unsigned channels, std::uint64_t inputFrames)
    : m_channels(channels), m_inputSamples(inputFrames * channels)
{
}

std::uint64_t OutputComparison::ExpectedLeft() const
{
    return m_inputSamples - m_compared;
}

void OutputComparison::Compare(std::span<const std::uint8_t> played,
                               std::span<const std::int32_t> expected)
{
    const std::size_t samples = played.size() / 4;
    const std::size_t compared = std::min(samples, expected.size());
    // The expected samples are the containers, as the host holds them.
    const bool same =
        compared == 0 || std::memcmp(played.data(), expected.data(), compared * 4) == 0;
    for (std::size_t k = 0; !same && k < compared; ++k)
    {
        if (Container(played, k) == expected[k])
            continue;
        if (!m_check.firstDifferentFrame)
        {
            m_check.firstDifferentFrame = (m_compared + k) / m_channels;
            m_check.firstDifferentChannel = static_cast<unsigned>((m_compared + k) % m_channels);
        }
        ++m_check.differentSamples;
    }
    m_compared += compared;
    // After the input's last sample: frames with any sample other than 0.
    for (std::size_t k = compared; m_channels != 0 && k < samples; ++k)
    {
        if (Container(played, k) != 0)
            m_tailFrameIsLoud = true;
        if (++m_tailSamples % m_channels == 0)
        {
            m_check.loudTailFrames += m_tailFrameIsLoud ? 1 : 0;
            m_tailFrameIsLoud = false;
        }
    }
}

OutputCheck OutputComparison::Result() const
{
    OutputCheck check = m_check;
    check.comparedFrames = m_channels == 0 ? 0 : m_compared / m_channels;
    check.equal = m_compared == m_inputSamples && check.differentSamples == 0;
    check.tailFrames = m_channels == 0 ? 0 : m_tailSamples / m_channels;
    check.tailSilent = check.loudTailFrames == 0;
    return check;
}

OutputCheck CheckOutput(const std::vector<std::uint8_t>& played,
                        const std::vector<std::int32_t>& expected, unsigned channels)
{
    OutputComparison comparison(channels, channels == 0 ? 0 : expected.size() / channels);
    comparison.Compare(played, expected);
    return comparison.Result();
}

void PrintSummary(std::ostream& out, const PlaySummary& s)
{
    const double seconds =
        s.format.sampleRate == 0 ? 0.0 : static_cast<double>(s.frames) / s.format.sampleRate;
    out << "input     " << s.source << ": " << Describe(s.format) << ", " << std::fixed
        << std::setprecision(2) << seconds << " s\n";
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

void PrintSummaries(std::ostream& out, const RunFacts& run,
                    const std::vector<PlaySummary>& summaries)
{
    out << "driver    " << run.driver << "\n";
    out << "clock     " << run.clock << ": " << std::fixed << std::setprecision(2)
        << run.audioSeconds << " s of audio";
    if (summaries.size() > 1)
        out << " on " << summaries.size() << " devices at once";
    out << " in " << std::setprecision(3) << run.wallSeconds << " s";
    if (run.wallSeconds > 0)
        out << " (" << std::setprecision(0) << run.audioSeconds / run.wallSeconds << "x real time)";
    out << "\n";
    for (const PlaySummary& summary : summaries)
    {
        out << "\n";
        PrintSummary(out, summary);
    }
}

} // namespace nuvsim
