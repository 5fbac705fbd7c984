// The judge of the positions a render stream reported: each reading against
// the bytes the device had really played when the stream asked the engine
// where it was, and the figures a position test of the platform's
// certification computes over a run of readings (bias, jitter, drift,
// backward steps).
//
// The ground truth is the device's: at every GET_POSITION the engine records
// how much of each stream's output it had played (PositionQuery), and the
// oracle over that output (playoracle.h) says how many of the client's bytes
// were in it, silence it inserted not counted. A position counts from the
// last STOP, so the truth does too.
//
//     auto verdict = host::engine::JudgePlayback(journal, record, format, opened);
//     host::engine::PlayedBytes truth(verdict, record, journal, format, opened);
//     ... for each reading: pin.GetPosition(&reported);
//         samples.push_back(*host::engine::SampleOfLastQuery(engine, key, reported));
//     auto figures = host::engine::JudgePositions(samples, truth,
//                                                 {.frameBytes = 4, .sampleRate = 48000});
//     EXPECT_EQ(figures.outOfBounds, 0u) << figures.Summary();
//
// Beside a stream of any length, with the oracle's PlayJudge, PositionJudge
// does the same without keeping the run: each reading waits only until the
// play judge has judged the output it was taken at, and is then folded into
// running sums (PositionTally, which JudgePositions uses too, so that the
// two come to the same figures):
//
//     host::engine::PositionJudge positions(judge, format, bounds);
//     positions.Add(sample);                 // before its output reaches `judge`
//     judge.AddClient(...); judge.AddPlayed(...);
//     positions.Update();                    // after every part, and after Finish
#pragma once

#include "host/engine/engine.h"
#include "host/engine/playoracle.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace host::engine
{

// One GetPosition: its answer, and where the device stood at the engine
// query the stream made for it (the last one, if it asked more than once).
struct PositionSample
{
    std::uint64_t reported = 0;    // client bytes
    std::uint64_t order = 0;       // eventorder.h, at the engine's answer
    std::uint64_t deviceFrame = 0; // the device's frame counter
    std::uint64_t outputBytes = 0; // of the stream's device output, as containers
};

// The sample for a GetPosition of the stream `key` that has just answered
// `reported` on this thread: the engine's record of the thread's last
// GET_POSITION. Nullopt if the thread never asked the engine.
std::optional<PositionSample> SampleOfLastQuery(const Engine& engine, const StreamKey& key,
                                                std::uint64_t reported);

// The client bytes the device had played, since the last STOP, at any
// sample of the judged stream.
class PlayedBytes
{
public:
    // `verdict` is the oracle's over (journal, record, format) from `since`;
    // it must outlive this.
    PlayedBytes(const PlayVerdict& verdict, const StreamState& record, const ClientJournal& journal,
                const PlayFormat& format, std::uint64_t since);

    std::uint64_t At(const PositionSample& sample) const;
    // The run the sample belongs to: 0 until the first STOP, then one more
    // after each.
    std::size_t RunOf(const PositionSample& sample) const;

private:
    struct Stop
    {
        std::uint64_t order = 0;
        std::uint64_t played = 0; // client bytes played before it
    };
    const PlayVerdict& m_verdict;
    std::uint64_t m_origin = 0; // output bytes before the first judged take
    unsigned m_containerFrameBytes = 0;
    std::vector<Stop> m_stops;
};

struct PositionFormat
{
    unsigned frameBytes = 4; // the client's
    unsigned sampleRate = 48000;
};

// How far a reading may be from the truth: at most `aheadBytes` ahead of
// it, at most `behindBytes` behind it.
struct PositionBounds
{
    std::uint64_t aheadBytes = 0;
    std::uint64_t behindBytes = 0;
};

// One reading, judged.
struct JudgedReading
{
    PositionSample sample;
    std::uint64_t truth = 0;
    std::size_t run = 0;
    std::int64_t Error() const
    {
        return static_cast<std::int64_t>(sample.reported) - static_cast<std::int64_t>(truth);
    }
};

struct PositionFigures
{
    std::size_t readings = 0;
    // The error (reported minus true) in microseconds of the stream: its
    // mean, its spread (standard deviation), and its slope over device time
    // in parts per million.
    double biasMicroseconds = 0;
    double jitterMicroseconds = 0;
    double driftPpm = 0;
    // Readings smaller than the one before in the same run.
    std::size_t backwardSteps = 0;
    // The largest errors each way, in client bytes (0 if none).
    std::uint64_t mostAheadBytes = 0;
    std::uint64_t mostBehindBytes = 0;
    // Readings beyond the bounds, and the first few of them.
    std::size_t outOfBounds = 0;
    static constexpr std::size_t kKeptReadings = 8;
    std::vector<JudgedReading> firstOutOfBounds;
    std::vector<JudgedReading> firstBackwardSteps; // the reading after each step
    unsigned frameBytes = 0;

    // A few lines: the figures, the first readings out of bounds.
    std::string Summary() const;
};

// The figures over readings judged one at a time, in the order taken, in
// running sums: nothing grows with the number of readings but the few kept
// to show.
class PositionTally
{
public:
    PositionTally(const PositionFormat& format, const PositionBounds& bounds);

    void Add(const JudgedReading& reading);
    PositionFigures Figures() const;
    // The reading added last.
    const std::optional<JudgedReading>& Last() const { return m_last; }

private:
    PositionFormat m_format;
    PositionBounds m_bounds;
    double m_microsecondsPerByte = 0;
    PositionFigures m_figures;
    // Means and sums of squared deviations from them, updated per reading
    // (Welford's method): the error in microseconds, device time in seconds.
    double m_meanError = 0;
    double m_meanTime = 0;
    double m_errorSquares = 0;
    double m_timeSquares = 0;
    double m_products = 0;
    std::optional<JudgedReading> m_last;
};

// Judges `samples` in the order taken (backward steps are counted in that
// order).
PositionFigures JudgePositions(const std::vector<PositionSample>& samples, const PlayedBytes& truth,
                               const PositionFormat& format, const PositionBounds& bounds);

// The same judgement beside a stream, with the oracle judging its output
// there (PlayJudge::PlayedAt gives the truth). A reading is held until the
// play judge can tell the truth at it (its output judged, what a STOP before
// it ended known), then folded into the tally and let go; the play judge is
// told to keep the record of the bytes played that the oldest reading
// waiting needs. Readings come in the order taken, each before the output it
// was taken at reaches the play judge.
class PositionJudge
{
public:
    PositionJudge(PlayJudge& played, const PositionFormat& format, const PositionBounds& bounds);

    void Add(const PositionSample& sample);
    // Judges the readings the play judge can now tell the truth of: after
    // each part it took, and after its Finish (then every reading).
    void Update();
    // Each reading as it is judged (a trace draws them).
    void OnJudged(std::function<void(const JudgedReading&)> judged)
    {
        m_onJudged = std::move(judged);
    }

    PositionFigures Figures() const { return m_tally.Figures(); }
    const std::optional<JudgedReading>& Last() const { return m_tally.Last(); }
    std::size_t Waiting() const { return m_waiting.size(); }

private:
    PlayJudge& m_played;
    PositionTally m_tally;
    std::deque<PositionSample> m_waiting;
    std::function<void(const JudgedReading&)> m_onJudged;
};

// Every reading with its truth, in order (for a trace or a table).
std::vector<JudgedReading> JudgeEach(const std::vector<PositionSample>& samples,
                                     const PlayedBytes& truth);

} // namespace host::engine
