#include "tools/nuvsim/devicerun.h"

#include "host/kernel/irql.h"

#include <algorithm>
#include <ostream>

namespace nuvsim
{
namespace
{

constexpr const char* kTool = "nuvsim play: ";

host::engine::PositionFormat PositionFormat(const AudioSource& input)
{
    const AudioFormat& format = input.Format();
    return {format.channels * format.bits / 8, format.sampleRate};
}

} // namespace

DeviceRun::DeviceRun(const DeviceRunSetup& setup, std::unique_ptr<host::portcls::Pin> pin,
                     host::engine::Engine& engine, std::unique_ptr<AudioSource> input,
                     std::unique_ptr<AudioSource> expected, std::unique_ptr<ContainerWavWriter> wav)
    : m_setup(setup), m_pin(std::move(pin)),
      m_engine(engine), m_key{0, static_cast<ULONG>(setup.device - 1), 0},
      m_input(std::move(input)), m_expected(std::move(expected)), m_wav(std::move(wav)),
      m_judge(m_pin->ClientFormat(), m_pin->Port().OpenOrder(),
              host::engine::JudgeLimits::Streaming()),
      m_positions(m_judge, PositionFormat(*m_input),
                  ClientPositionBounds(PositionFormat(*m_input))),
      m_comparison(m_input->Format().channels, m_input->Frames())
{
    const AudioFormat& format = m_input->Format();
    m_frameBytes = format.channels * format.bits / 8;
    if (m_setup.trace != nullptr)
        m_positions.OnJudged([this](const host::engine::JudgedReading& reading)
                             { TraceReading(reading); });
    m_periodBytes = std::uint64_t{setup.periodFrames} * m_frameBytes;
    m_dataPeriods = (m_input->Frames() + setup.periodFrames - 1) / setup.periodFrames;
    m_targetFrames = (m_dataPeriods + 1) * setup.periodFrames;
    m_bufferFrames =
        std::max<std::size_t>(1, std::size_t{format.sampleRate} * setup.bufferMs / 1000);
    // The port keeps eight periods or three buffers ahead of the device:
    // the client is never the reason for a late period in the fast modes.
    m_lowWater = std::max(8 * m_periodBytes, 3 * std::uint64_t{m_bufferFrames} * m_frameBytes);
    m_wavBytesLeft = m_input->Frames() * format.channels * 4;
}

void DeviceRun::Feed()
{
    const unsigned channels = m_input->Format().channels;
    while (!m_fedAll.load() && m_pin->Port().UnmappedBytes() < m_lowWater)
    {
        m_block.resize(m_bufferFrames * channels);
        const std::size_t frames = m_input->Read(m_block);
        if (frames == 0)
        {
            m_inputError = m_input->Error();
            m_fedAll.store(true);
            break;
        }
        m_clientBytes.clear();
        AppendClientBytes(std::span(m_block).first(frames * channels), m_input->Format().bits,
                          m_clientBytes);
        m_pin->Write(m_clientBytes);
    }
}

bool DeviceRun::Starved() const
{
    return !m_fedAll.load() && m_pin->Port().UnmappedBytes() < m_periodBytes;
}

void DeviceRun::ReadPosition()
{
    std::lock_guard lock(m_readingsMutex);
    if (!m_stopped.load())
        TakeReading();
}

// With m_readingsMutex held, so that Collect takes every reading made
// before the output it takes.
void DeviceRun::TakeReading()
{
    const std::chrono::nanoseconds time = host::engine::TraceTime();
    ULONGLONG position = 0;
    m_pin->GetPosition(&position);
    const std::optional<host::engine::PositionSample> sample =
        host::engine::SampleOfLastQuery(m_engine, m_key, position);
    if (!sample)
        return;
    m_newReadings.push_back({*sample, time});
    m_lastReadingOrder = sample->order;
    m_writtenAtLastReading = m_pin->Port().BytesWritten();
}

void DeviceRun::TraceReading(const host::engine::JudgedReading& reading)
{
    if (m_traceTimes.empty())
        return;
    const std::chrono::nanoseconds time = m_traceTimes.front();
    m_traceTimes.pop_front();
    m_setup.trace->AddCounter(time, "position", m_setup.traceName,
                              {{"reported", static_cast<double>(reading.sample.reported)},
                               {"played", static_cast<double>(reading.truth)}});
    m_setup.trace->AddCounter(time, "position", m_setup.traceName + " error",
                              {{"bytes", static_cast<double>(reading.Error())}});
}

void DeviceRun::Collect()
{
    // The journal before the output: the judge waits for a journal that
    // covers each take it judges. The readings after the output: every one
    // taken before it goes to the position judge before its output reaches
    // the judge.
    const host::engine::ClientJournal journal = m_pin->Port().TakeJournal();
    const host::engine::PlayedOutput played = m_engine.TakeOutput(m_key);
    std::vector<Reading> readings;
    {
        std::lock_guard lock(m_readingsMutex);
        readings.swap(m_newReadings);
    }
    for (const Reading& reading : readings)
    {
        m_positions.Add(reading.sample);
        if (m_setup.trace != nullptr)
            m_traceTimes.push_back(reading.traceTime);
    }
    for (const host::engine::ClientJournal::Cut& cut : journal.cuts)
    {
        if (cut.atStop)
            m_stops.emplace_back(cut.order, cut.to);
    }
    m_judge.AddClient(journal);
    m_judge.AddPlayed(played);
    m_positions.Update();
    for (const host::engine::PeriodRecord& period : played.periods)
    {
        if (period.index < m_dataPeriods && period.silent)
            ++m_silentDataPeriods;
    }
    CompareWithInput(played.output);
    WriteOutput(played.output);
    // The port's list of finished buffers is for tests; a long run drops it.
    m_pin->Port().TakeFinished();
}

void DeviceRun::CompareWithInput(std::span<const std::uint8_t> played)
{
    const unsigned channels = m_expected->Format().channels;
    const std::uint64_t blockSamples = std::uint64_t{m_bufferFrames} * channels * 16;
    while (played.size() >= 4)
    {
        // The input's samples for these containers, a block at a time.
        const std::uint64_t samples =
            std::min<std::uint64_t>({played.size() / 4, m_comparison.ExpectedLeft(), blockSamples});
        m_expectedBlock.resize(static_cast<std::size_t>(samples / channels * channels));
        const std::size_t frames = m_expectedBlock.empty() ? 0 : m_expected->Read(m_expectedBlock);
        if (frames == 0)
        {
            // After the input's end (or where it could not be read again).
            m_comparison.Compare(played, {});
            return;
        }
        const std::size_t compared = frames * channels;
        m_comparison.Compare(played.first(compared * 4),
                             std::span(m_expectedBlock).first(compared));
        played = played.subspan(compared * 4);
    }
}

void DeviceRun::WriteOutput(std::span<const std::uint8_t> played)
{
    if (!m_wav || !m_wavError.empty())
        return;
    const std::size_t bytes =
        static_cast<std::size_t>(std::min<std::uint64_t>(played.size(), m_wavBytesLeft));
    if (bytes == 0)
        return;
    m_wavBytesLeft -= bytes;
    std::string error;
    if (!m_wav->Write(played.first(bytes), error))
        m_wavError = error;
}

bool DeviceRun::Stop(std::ostream& err)
{
    {
        std::lock_guard lock(m_readingsMutex);
        TakeReading();
        m_stopped.store(true);
    }
    const NTSTATUS status = m_pin->SetState(KSSTATE_STOP);
    Collect();
    if (!NT_SUCCESS(status))
    {
        err << kTool << "device " << m_setup.device << ": the stream refused STOP: " << status
            << "\n";
        return false;
    }
    return true;
}

PlaySummary DeviceRun::Finish(std::ostream& err)
{
    Collect();
    m_judge.Finish();
    m_positions.Update();
    const AudioFormat& format = m_input->Format();
    const std::optional<host::engine::StreamState> record =
        m_engine.Stream(m_key.capture, m_key.deviceIndex, m_key.pin);

    PlaySummary summary;
    summary.source = m_input->Name();
    summary.format = format;
    summary.frames = m_input->Frames();
    summary.device = m_setup.device;
    summary.periodFrames = m_setup.periodFrames;
    summary.proposal = m_setup.proposal;
    summary.dataPeriods = m_dataPeriods;
    if (record)
    {
        summary.periodsPlayed = record->periodCount;
        summary.underruns = record->underruns;
        summary.silentPeriods = record->silentPeriods;
    }
    summary.silentDataPeriods = m_silentDataPeriods;
    summary.output = m_comparison.Result();
    summary.positions.figures = m_positions.Figures();
    if (m_positions.Last())
    {
        summary.positions.finalPosition = m_positions.Last()->sample.reported;
        summary.positions.finalPlayed = m_positions.Last()->truth;
    }
    summary.positions.written = WrittenSinceLastStop();
    summary.inputBytes = m_input->Frames() * m_frameBytes;
    summary.frameBytes = m_frameBytes;
    summary.schedule = m_setup.schedule;
    summary.verdict = m_judge.Verdict();
    if (!m_inputError.empty())
        summary.problems.push_back("cannot read " + m_input->Name() + ": " + m_inputError);
    if (!m_expected->Error().empty())
        summary.problems.push_back("cannot read " + m_input->Name() +
                                   " again: " + m_expected->Error());
    if (m_wav)
    {
        std::string error = m_wavError;
        if (error.empty() && m_wav->Commit(error))
            summary.outputFile = m_setup.outputPath;
        else
            summary.problems.push_back("cannot write " + m_setup.outputPath + ": " + error);
        m_wav.reset();
    }
    for (const std::string& problem : summary.problems)
        err << kTool << problem << "\n";
    return summary;
}

// The client bytes written since the last STOP before the last reading:
// what the position should reach once it has all played.
std::uint64_t DeviceRun::WrittenSinceLastStop() const
{
    std::uint64_t stop = 0;
    for (const auto& [order, to] : m_stops)
    {
        if (order < m_lastReadingOrder)
            stop = to;
    }
    return m_writtenAtLastReading - stop;
}

std::vector<std::string> DeviceRun::Close()
{
    std::vector<std::string> problems;
    if (!m_pin)
        return problems;
    if (m_pin->Port().QueuedBuffers() > 0)
        m_pin->CancelQueued();
    for (std::string& problem : m_pin->Close())
        problems.push_back("device " + std::to_string(m_setup.device) + " at close: " + problem);
    m_pin.reset();
    return problems;
}

} // namespace nuvsim
