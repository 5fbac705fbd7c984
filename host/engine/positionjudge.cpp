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

PositionFigures JudgePositions(const std::vector<PositionSample>& samples, const PlayedBytes& truth,
                               const PositionFormat& format, const PositionBounds& bounds)
{
    PositionFigures figures;
    figures.frameBytes = format.frameBytes;
    const std::vector<JudgedReading> judged = JudgeEach(samples, truth);
    figures.readings = judged.size();
    if (judged.empty() || format.frameBytes == 0 || format.sampleRate == 0)
        return figures;

    const double microsecondsPerByte =
        1e6 / (static_cast<double>(format.frameBytes) * format.sampleRate);
    double sumError = 0;
    double sumTime = 0;
    for (const JudgedReading& reading : judged)
    {
        sumError += static_cast<double>(reading.Error()) * microsecondsPerByte;
        sumTime += static_cast<double>(reading.sample.deviceFrame) / format.sampleRate;
    }
    const double count = static_cast<double>(judged.size());
    const double meanError = sumError / count;
    const double meanTime = sumTime / count;
    double errorSquares = 0;
    double timeSquares = 0;
    double products = 0;
    for (std::size_t i = 0; i < judged.size(); ++i)
    {
        const JudgedReading& reading = judged[i];
        const double error = static_cast<double>(reading.Error()) * microsecondsPerByte - meanError;
        const double time =
            static_cast<double>(reading.sample.deviceFrame) / format.sampleRate - meanTime;
        errorSquares += error * error;
        timeSquares += time * time;
        products += error * time;

        const std::int64_t bytes = reading.Error();
        if (bytes > 0)
            figures.mostAheadBytes = std::max(figures.mostAheadBytes, std::uint64_t(bytes));
        if (bytes < 0)
            figures.mostBehindBytes = std::max(figures.mostBehindBytes, std::uint64_t(-bytes));
        const bool outside = (bytes > 0 && std::uint64_t(bytes) > bounds.aheadBytes) ||
                             (bytes < 0 && std::uint64_t(-bytes) > bounds.behindBytes);
        if (outside)
        {
            ++figures.outOfBounds;
            if (figures.firstOutOfBounds.size() < PositionFigures::kKeptReadings)
                figures.firstOutOfBounds.push_back(reading);
        }
        if (i > 0 && judged[i - 1].run == reading.run &&
            reading.sample.reported < judged[i - 1].sample.reported)
        {
            ++figures.backwardSteps;
            if (figures.firstBackwardSteps.size() < PositionFigures::kKeptReadings)
                figures.firstBackwardSteps.push_back(reading);
        }
    }
    figures.biasMicroseconds = meanError;
    figures.jitterMicroseconds = std::sqrt(errorSquares / count);
    // Microseconds of error per second of device time: parts per million.
    figures.driftPpm = timeSquares == 0 ? 0 : products / timeSquares;
    return figures;
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
