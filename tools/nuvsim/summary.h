// What `nuvsim play` found, and how it says so in a few lines.
#pragma once

#include "host/engine/playoracle.h"
#include "host/engine/positionjudge.h"
#include "tools/nuvsim/audio.h"

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace nuvsim
{

// The readings against the client bytes the device had really played
// (host/engine/positionjudge.h): the figures of a position test (bias,
// jitter, drift, backward steps) and the bounds a client relies on (never
// a frame ahead, never 1 ms behind).
struct PositionCheck
{
    host::engine::PositionFigures figures;
    // The last reading, and the client bytes written since the last STOP
    // before it (the whole input, unless the client followed a schedule).
    std::uint64_t finalPosition = 0;
    std::uint64_t finalPlayed = 0;
    std::uint64_t written = 0;

    // Nothing backward, nothing out of bounds (the last reading included).
    bool Clean() const { return figures.backwardSteps == 0 && figures.outOfBounds == 0; }
};

// How far a reading may be from the bytes played: a frame ahead (the engine
// reports whole frames), 1 ms behind.
host::engine::PositionBounds ClientPositionBounds(const host::engine::PositionFormat& format);

// Where the device output first differs from the expected containers.
struct OutputCheck
{
    bool equal = false;
    std::uint64_t comparedFrames = 0; // frames of the input the device played
    std::optional<std::uint64_t> firstDifferentFrame;
    unsigned firstDifferentChannel = 0;
    std::uint64_t differentSamples = 0;
    bool tailSilent = true; // everything played after the last sample was zero
    std::uint64_t tailFrames = 0;
    std::uint64_t loudTailFrames = 0; // of those, frames with a sample other than 0
};

// The engine's output compared with the input as both arrive: the
// containers the device played, in order, beside the input's samples for
// them (left-justified, audio.h) as far as the input goes.
class OutputComparison
{
public:
    OutputComparison(unsigned channels, std::uint64_t inputFrames);

    // `played`: whole little-endian containers; `expected`: the input's
    // samples for the first of them, as many as the input still has.
    void Compare(std::span<const std::uint8_t> played, std::span<const std::int32_t> expected);
    // Input samples the next containers are compared with.
    std::uint64_t ExpectedLeft() const;
    OutputCheck Result() const;

private:
    unsigned m_channels;
    std::uint64_t m_inputSamples;
    std::uint64_t m_compared = 0; // samples
    std::uint64_t m_tailSamples = 0;
    std::uint64_t m_tailFrameLoud = 0; // samples of the tail frame under way, loud ones marked
    bool m_tailFrameIsLoud = false;
    OutputCheck m_check;
};

// The same over a whole output and input.
OutputCheck CheckOutput(const std::vector<std::uint8_t>& played,
                        const std::vector<std::int32_t>& expected, unsigned channels);

struct PlaySummary
{
    std::string source;
    AudioFormat format;
    std::uint64_t frames = 0; // the input's
    int device = 1;
    unsigned periodFrames = 0;
    std::string proposal; // the filter's answer to the intersection, in words
    std::uint64_t periodsPlayed = 0;
    std::uint64_t dataPeriods = 0; // periods that held the input's samples
    std::uint64_t underruns = 0;
    std::uint64_t silentPeriods = 0;
    std::uint64_t silentDataPeriods = 0; // of those, while the input played
    OutputCheck output;
    PositionCheck positions;
    std::uint64_t inputBytes = 0;
    unsigned frameBytes = 0; // the client's
    std::string outputFile;
    std::string traceFile;
    std::string schedule;              // the client's timing, if it followed one
    host::engine::PlayVerdict verdict; // the oracle's, over the device's output
    std::vector<std::string> problems; // of the run itself: input, output file
};

// How the whole run went: which driver, on which clock, how fast.
struct RunFacts
{
    std::string driver; // "the host build", "the Windows image ..."
    std::string clock;  // "virtual", "threaded", "real-time"
    double audioSeconds = 0;
    double wallSeconds = 0;
};

void PrintSummary(std::ostream& out, const PlaySummary& summary);
// The run's facts, then each device's summary.
void PrintSummaries(std::ostream& out, const RunFacts& run,
                    const std::vector<PlaySummary>& summaries);

} // namespace nuvsim
