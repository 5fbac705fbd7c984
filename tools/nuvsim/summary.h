// What `nuvsim play` found, and how it says so in a few lines.
#pragma once

#include "host/engine/playoracle.h"
#include "host/engine/positionjudge.h"
#include "host/engine/trace.h"
#include "tools/nuvsim/audio.h"

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace nuvsim
{

// One position a client would have read: GetPosition's answer with where
// the device stood at the engine query the stream made for it, and when
// (the trace's clock, 0 without a trace).
struct PositionReading
{
    host::engine::PositionSample sample;
    std::chrono::nanoseconds traceTime{0};
};

// The readings against the client bytes the device had really played
// (host/engine/positionjudge.h): the figures of a position test (bias,
// jitter, drift, backward steps) and the bounds a client relies on (never
// a frame ahead, never 1 ms behind).
struct PositionCheck
{
    host::engine::PositionFigures figures;
    std::vector<host::engine::JudgedReading> judged;
    std::vector<std::chrono::nanoseconds> traceTimes; // of `judged`, in order
    // The last reading, and the client bytes written since the last STOP
    // before it (the whole input, unless the client followed a schedule).
    std::uint64_t finalPosition = 0;
    std::uint64_t finalPlayed = 0;
    std::uint64_t written = 0;

    // Nothing backward, nothing out of bounds (the last reading included).
    bool Clean() const { return figures.backwardSteps == 0 && figures.outOfBounds == 0; }
};

PositionCheck CheckPositions(const std::vector<PositionReading>& readings,
                             const host::engine::PlayedBytes& truth,
                             const host::engine::PositionFormat& format);

// The readings and the truth as counters of the trace, at the readings'
// times: "position" (reported and played, in client bytes) and "position
// error" (reported minus played).
void TracePositions(host::engine::TraceRecorder& recorder, const PositionCheck& check);

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

// `played`: the engine's output, little-endian containers; `expected`: the
// input, left-justified (audio.h).
OutputCheck CheckOutput(const std::vector<std::uint8_t>& played,
                        const std::vector<std::int32_t>& expected, unsigned channels);

struct PlaySummary
{
    std::string driver; // which one played: "the host build", "the Windows image ..."
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
};

void PrintSummary(std::ostream& out, const PlaySummary& summary);

} // namespace nuvsim
