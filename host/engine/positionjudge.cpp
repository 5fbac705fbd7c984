#include "host/engine/positionjudge.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <sstream>

namespace host::engine
{
namespace
{

constexpr unsigned kContainerBytes = 4;

std::string DescribeReading(const JudgedReading& reading)
{
    std::ostringstream text;
    text << "device frame " << reading.sample.deviceFrame << ": reported "
         << reading.sample.reported << ", played " << reading.truth << " (error " << reading.Error()
         << " bytes)";
    return text.str();
}

} // namespace

std::optional<PositionSample> SampleOfLastQuery(const Engine& engine, const StreamKey& key,
                                                std::uint64_t reported)
{
    const std::optional<PositionQuery> query = engine.LastPositionQuery();
    if (!query)
        return std::nullopt;
    PositionSample sample;
    sample.reported = reported;
    sample.order = query->order;
    sample.deviceFrame = query->deviceFrame;
    sample.outputBytes = query->OutputBytes(key).value_or(0);
    return sample;
}

PlayedBytes::PlayedBytes(const PlayVerdict& verdict, const StreamState& record,
                         const ClientJournal& journal, const PlayFormat& format,
                         std::uint64_t since)
    : m_verdict(verdict), m_containerFrameBytes(format.channels * kContainerBytes)
{
    std::vector<const PeriodRecord*> takes;
    for (const PeriodRecord& period : record.periods)
    {
        if (period.order > since)
            takes.push_back(&period);
    }
    if (!takes.empty())
        m_origin = takes.front()->outputBytes;
    if (m_containerFrameBytes == 0)
        m_containerFrameBytes = kContainerBytes;

    // The output of a run ends where the first take after its STOP begins:
    // the engine plays nothing of the stream between STOP and the next RUN.
    for (const ClientJournal::Cut& cut : journal.cuts)
    {
        if (!cut.atStop || cut.order <= since)
            continue;
        std::uint64_t frames = verdict.framesPlayed;
        for (const PeriodRecord* take : takes)
        {
            if (take->order > cut.order)
            {
                frames = (take->outputBytes - m_origin) / m_containerFrameBytes;
                break;
            }
        }
        m_stops.push_back({cut.order, verdict.ClientBytesPlayed(frames)});
    }
}

std::size_t PlayedBytes::RunOf(const PositionSample& sample) const
{
    std::size_t run = 0;
    while (run < m_stops.size() && m_stops[run].order < sample.order)
        ++run;
    return run;
}

std::uint64_t PlayedBytes::At(const PositionSample& sample) const
{
    const std::uint64_t frames =
        sample.outputBytes > m_origin ? (sample.outputBytes - m_origin) / m_containerFrameBytes : 0;
    const std::uint64_t played = m_verdict.ClientBytesPlayed(frames);
    const std::size_t run = RunOf(sample);
    return run == 0 ? played : played - m_stops[run - 1].played;
}

std::vector<JudgedReading> JudgeEach(const std::vector<PositionSample>& samples,
                                     const PlayedBytes& truth)
{
    std::vector<JudgedReading> judged;
    judged.reserve(samples.size());
    for (const PositionSample& sample : samples)
        judged.push_back({sample, truth.At(sample), truth.RunOf(sample)});
    return judged;
}

PositionTally::PositionTally(const PositionFormat& format, const PositionBounds& bounds)
    : m_format(format), m_bounds(bounds)
{
    m_figures.frameBytes = format.frameBytes;
    if (format.frameBytes != 0 && format.sampleRate != 0)
        m_microsecondsPerByte = 1e6 / (static_cast<double>(format.frameBytes) * format.sampleRate);
}

void PositionTally::Add(const JudgedReading& reading)
{
    PositionFigures& figures = m_figures;
    ++figures.readings;
    if (m_format.frameBytes == 0 || m_format.sampleRate == 0)
    {
        m_last = reading;
        return;
    }
    const double count = static_cast<double>(figures.readings);
    const double error = static_cast<double>(reading.Error()) * m_microsecondsPerByte;
    const double time = static_cast<double>(reading.sample.deviceFrame) / m_format.sampleRate;
    const double errorStep = error - m_meanError;
    const double timeStep = time - m_meanTime;
    m_meanError += errorStep / count;
    m_meanTime += timeStep / count;
    m_errorSquares += errorStep * (error - m_meanError);
    m_timeSquares += timeStep * (time - m_meanTime);
    m_products += timeStep * (error - m_meanError);

    const std::int64_t bytes = reading.Error();
    if (bytes > 0)
        figures.mostAheadBytes = std::max(figures.mostAheadBytes, std::uint64_t(bytes));
    if (bytes < 0)
        figures.mostBehindBytes = std::max(figures.mostBehindBytes, std::uint64_t(-bytes));
    const bool outside = (bytes > 0 && std::uint64_t(bytes) > m_bounds.aheadBytes) ||
                         (bytes < 0 && std::uint64_t(-bytes) > m_bounds.behindBytes);
    if (outside)
    {
        ++figures.outOfBounds;
        if (figures.firstOutOfBounds.size() < PositionFigures::kKeptReadings)
            figures.firstOutOfBounds.push_back(reading);
    }
    if (m_last && m_last->run == reading.run && reading.sample.reported < m_last->sample.reported)
    {
        ++figures.backwardSteps;
        if (figures.firstBackwardSteps.size() < PositionFigures::kKeptReadings)
            figures.firstBackwardSteps.push_back(reading);
    }
    m_last = reading;
}

PositionFigures PositionTally::Figures() const
{
    PositionFigures figures = m_figures;
    if (figures.readings == 0)
        return figures;
    const double count = static_cast<double>(figures.readings);
    figures.biasMicroseconds = m_meanError;
    figures.jitterMicroseconds = std::sqrt(m_errorSquares / count);
    // Microseconds of error per second of device time: parts per million.
    figures.driftPpm = m_timeSquares == 0 ? 0 : m_products / m_timeSquares;
    return figures;
}

PositionFigures JudgePositions(const std::vector<PositionSample>& samples, const PlayedBytes& truth,
                               const PositionFormat& format, const PositionBounds& bounds)
{
    PositionTally tally(format, bounds);
    for (const PositionSample& sample : samples)
        tally.Add({sample, truth.At(sample), truth.RunOf(sample)});
    return tally.Figures();
}

PositionJudge::PositionJudge(PlayJudge& played, const PositionFormat& format,
                             const PositionBounds& bounds)
    : m_played(played), m_tally(format, bounds)
{
}

void PositionJudge::Add(const PositionSample& sample)
{
    if (m_waiting.empty())
        m_played.HoldPlayedFrom(sample.outputBytes);
    m_waiting.push_back(sample);
}

void PositionJudge::Update()
{
    while (!m_waiting.empty())
    {
        const PositionSample& sample = m_waiting.front();
        const std::optional<PlayedSinceStop> truth =
            m_played.PlayedAt(sample.order, sample.outputBytes);
        if (!truth)
            break;
        const JudgedReading reading{sample, truth->bytes, truth->run};
        m_tally.Add(reading);
        if (m_onJudged)
            m_onJudged(reading);
        m_waiting.pop_front();
    }
    m_played.HoldPlayedFrom(m_waiting.empty() ? std::nullopt
                                              : std::optional(m_waiting.front().outputBytes));
}

std::string PositionFigures::Summary() const
{
    std::ostringstream text;
    text << std::fixed << std::setprecision(1) << readings << " readings: bias " << biasMicroseconds
         << " us, jitter " << jitterMicroseconds << " us, drift " << std::setprecision(2)
         << driftPpm << " ppm, " << backwardSteps << " backward steps; most ahead "
         << mostAheadBytes << " bytes, most behind " << mostBehindBytes << " bytes; " << outOfBounds
         << " out of bounds\n";
    for (const JudgedReading& reading : firstOutOfBounds)
        text << "out of bounds: " << DescribeReading(reading) << "\n";
    for (const JudgedReading& reading : firstBackwardSteps)
        text << "backward step to: " << DescribeReading(reading) << "\n";
    return text.str();
}

} // namespace host::engine
