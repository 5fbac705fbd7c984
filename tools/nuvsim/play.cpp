#include "tools/nuvsim/play.h"

#include "host/client/scheduledclient.h"
#include "host/engine/clock.h"
#include "host/engine/playoracle.h"
#include "host/engine/trace.h"
#include "host/kernel/conduct.h"
#include "host/portcls/dpcqueue.h"
#include "host/portcls/pin.h"
#include "host/portcls/portclass.h"
#include "host/portcls/servicegroup.h"
#include "host/portcls/system.h"
#include "tools/nuvsim/devicemodel.h"
#include "tools/nuvsim/progress.h"
#include "tools/nuvsim/signal.h"
#include "tools/nuvsim/streamformat.h"
#include "tools/nuvsim/summary.h"
#include "tools/nuvsim/wavio.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <ostream>

namespace nuvsim
{
namespace
{

constexpr const char* kTool = "nuvsim play: ";
constexpr int kDevices = 4;

std::u16string WaveName(int device)
{
    return u"NUV_Wave" + std::u16string(1, static_cast<char16_t>(u'0' + device));
}

bool CheckOptions(const PlayOptions& options, std::ostream& err)
{
    if (options.device < 1 || options.device > kDevices)
    {
        err << kTool << "device " << options.device
            << " does not exist: the adapter has devices 1 to " << kDevices << "\n";
        return false;
    }
    if (options.periodFrames == 0 || options.mappingBytes == 0 || options.bufferMs == 0)
    {
        err << kTool << "--period, --mapping-bytes and --buffer-ms must be at least 1\n";
        return false;
    }
    if (!options.schedule.empty() && options.realtime)
    {
        err << kTool << "--schedule plays on the virtual clock; --realtime does not go with it\n";
        return false;
    }
    return true;
}

// The schedule, or nullopt (with the reason printed) if it is none.
std::optional<host::client::Schedule> ParseSchedule(const PlayOptions& options, std::ostream& err)
{
    std::string error;
    std::optional<host::client::Schedule> schedule =
        host::client::Schedule::Parse(options.schedule, error);
    if (!schedule)
        err << kTool << "--schedule: " << error << "\n";
    return schedule;
}

// The file, or the test signal in as many channels as the device takes.
std::optional<AudioClip> LoadInput(const PlayOptions& options, std::ostream& err)
{
    if (options.input.empty())
        return MakeTestSignal({.channels = options.device == kDevices ? 6u : 2u});
    std::string error;
    std::optional<AudioClip> clip = ReadAudioFile(options.input, error);
    if (!clip)
    {
        err << kTool << "cannot read " << options.input << ": " << error << "\n";
        return std::nullopt;
    }
    if (clip->frames == 0 || clip->format.channels == 0)
    {
        err << kTool << options.input << " holds no audio\n";
        return std::nullopt;
    }
    return clip;
}

// The output files, created (as temporary files) before anything plays, so
// that a path that cannot be written stops the run at once.
struct Outputs
{
    std::unique_ptr<ContainerWavWriter> wav;
    std::unique_ptr<PendingFile> trace;
};

std::optional<Outputs> PrepareOutputs(const PlayOptions& options, const AudioFormat& format,
                                      std::ostream& err)
{
    Outputs outputs;
    std::string error;
    if (!options.output.empty())
    {
        outputs.wav =
            ContainerWavWriter::Create(options.output, format.channels, format.sampleRate, error);
        if (!outputs.wav)
        {
            err << kTool << "cannot write " << options.output << ": " << error << "\n";
            return std::nullopt;
        }
    }
    if (!options.trace.empty())
    {
        outputs.trace = PendingFile::Create(options.trace, error);
        if (!outputs.trace)
        {
            err << kTool << "cannot write " << options.trace << ": " << error << "\n";
            return std::nullopt;
        }
    }
    return outputs;
}

// The filter's proposal for the client's range, by the two-call protocol a
// client uses: the size first, then the format.
std::optional<std::vector<std::uint8_t>> AskForProposal(PUNKNOWN port, const AudioFormat& format)
{
    const std::vector<std::vector<unsigned char>> ranges = {ClientRange(format)};
    const host::portcls::IntersectionResult sized =
        host::portcls::IntersectDataRanges(port, 0, ranges, 0);
    if (sized.status != STATUS_BUFFER_OVERFLOW || sized.length == 0)
        return std::nullopt;
    host::portcls::IntersectionResult result =
        host::portcls::IntersectDataRanges(port, 0, ranges, sized.length);
    if (!NT_SUCCESS(result.status))
        return std::nullopt;
    return std::move(result.format);
}

void PrintRefusal(const AudioClip& clip, const DeviceRules& rules, NTSTATUS openStatus,
                  std::ostream& err)
{
    err << kTool << "device " << rules.device << " refuses " << clip.source << " ("
        << Describe(clip.format) << ")\n";
    const std::vector<std::string> reasons = RefusalReasons(clip.format, rules);
    for (const std::string& reason : reasons)
        err << "  " << reason << "\n";
    if (reasons.empty())
        err << "  (the driver gave no reason that its published limits explain)\n";
    err << "device " << rules.device << " takes " << DescribeLimits(rules) << "\n";
    if (NT_SUCCESS(openStatus) && !CanFeed(clip.format))
    {
        err << "(the driver would open this stream, but nuvsim feeds integer PCM of 16, 24 or "
               "32 bits only)\n";
    }
    else if (NT_SUCCESS(openStatus))
    {
        err << "(the driver's format check would open this stream: it takes 2 to 6 channels on "
               "every device; pin 0's data range does not offer the format, and a client asks "
               "only for what the range offers)\n";
    }
    else
    {
        err << "(the driver refused the stream: " << StatusName(openStatus) << ")\n";
    }
}

// Everything one run of the stream gathers; read after the clock stopped.
struct StreamRun
{
    std::vector<PositionReading> readings;
    host::engine::StreamState record;
    std::uint64_t dataPeriods = 0;
    // What the client did, for the oracle; taken before the pin closes.
    host::engine::ClientJournal journal;
    std::uint64_t opened = 0;
};

// The client's side: buffers of bufferBytes, written while the port holds
// less than lowWater bytes it has not handed out.
class Client
{
public:
    Client(host::portcls::Pin& pin, const std::vector<std::uint8_t>& bytes, std::size_t bufferBytes,
           std::uint64_t lowWater)
        : m_pin(pin), m_bytes(bytes), m_bufferBytes(bufferBytes), m_lowWater(lowWater)
    {
    }

    void Feed()
    {
        while (m_next < m_bytes.size() && m_pin.Port().UnmappedBytes() < m_lowWater)
        {
            const std::size_t size = std::min(m_bufferBytes, m_bytes.size() - m_next);
            m_pin.Write(std::span(m_bytes).subspan(m_next, size));
            m_next += size;
        }
        if (m_next >= m_bytes.size())
            m_done.store(true);
    }
    bool Done() const { return m_done.load(); }

private:
    host::portcls::Pin& m_pin;
    const std::vector<std::uint8_t>& m_bytes;
    std::size_t m_bufferBytes;
    std::uint64_t m_lowWater;
    std::size_t m_next = 0;
    std::atomic<bool> m_done{false};
};

// GetPosition as a client calls it, kept with the engine's record of the
// query the stream made for it (the ground truth it is judged by).
void ReadPosition(host::portcls::Pin& pin, const host::engine::Engine& engine, int device,
                  std::vector<PositionReading>& readings)
{
    const std::chrono::nanoseconds time = host::engine::TraceTime();
    ULONGLONG position = 0;
    pin.GetPosition(&position);
    const std::optional<host::engine::PositionSample> sample =
        host::engine::SampleOfLastQuery(engine, {0, static_cast<ULONG>(device - 1), 0}, position);
    if (sample)
        readings.push_back({*sample, time});
}

const char* StateName(KSSTATE state)
{
    switch (state)
    {
    case KSSTATE_STOP:
        return "STOP";
    case KSSTATE_ACQUIRE:
        return "ACQUIRE";
    case KSSTATE_PAUSE:
        return "PAUSE";
    case KSSTATE_RUN:
        return "RUN";
    }
    return "?";
}

bool SetStates(host::portcls::Pin& pin, std::initializer_list<KSSTATE> states, std::ostream& err)
{
    for (KSSTATE state : states)
    {
        const NTSTATUS status = pin.SetState(state);
        if (!NT_SUCCESS(status))
        {
            err << kTool << "the stream refused " << StateName(state) << ": " << StatusName(status)
                << "\n";
            return false;
        }
    }
    return true;
}

// Runs the stream from RUN until the input and one period after it have
// played, then back to STOP. Positions are read on the clock's thread before
// each step of the device, where the device cannot move under the reading.
bool RunStream(host::System& system, host::portcls::Pin& pin, host::portcls::DpcQueue& dpc,
               const AudioClip& clip, const PlayOptions& options, StreamRun& run, std::ostream& err)
{
    host::engine::Engine& engine = system.Engine();
    const std::vector<std::uint8_t> bytes = ClientBytes(clip);
    const unsigned frameBytes = clip.format.channels * clip.format.bits / 8;
    const std::uint64_t periodBytes = std::uint64_t{options.periodFrames} * frameBytes;
    const std::size_t bufferFrames =
        std::max<std::size_t>(1, std::size_t{clip.format.sampleRate} * options.bufferMs / 1000);
    const std::size_t bufferBytes = bufferFrames * frameBytes;
    Client client(pin, bytes, bufferBytes,
                  std::max(8 * periodBytes, 3 * std::uint64_t{bufferBytes}));

    run.dataPeriods = (clip.frames + options.periodFrames - 1) / options.periodFrames;
    const ULONGLONG targetFrames = (run.dataPeriods + 1) * options.periodFrames;

    client.Feed();
    if (!SetStates(pin, {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}, err))
        return false;

    std::mutex mutex;
    std::condition_variable wanted;
    bool dataWanted = false;
    ULONGLONG lastReading = ~0ull;
    host::engine::ThreadedClock::Options clockOptions;
    clockOptions.realTime = options.realtime;
    // The engine takes the next half right after a period's callbacks, and
    // the driver fills that very half in its Service: the DPC must have run
    // by then, in real time as well, or every period would be an underrun
    // that says nothing about the driver.
    clockOptions.settle = [&dpc] { dpc.Drain(); };
    clockOptions.mayAdvance = [&]()
    {
        const ULONGLONG device = engine.DevicePosition();
        if (device >= targetFrames)
            return false;
        // The period ahead must be there before the device reaches its end.
        if (!client.Done() && pin.Port().UnmappedBytes() < periodBytes)
        {
            {
                std::lock_guard lock(mutex);
                dataWanted = true;
            }
            wanted.notify_one();
            return false;
        }
        if (device != lastReading)
        {
            ReadPosition(pin, engine, options.device, run.readings);
            lastReading = device;
        }
        return true;
    };

    host::engine::ThreadedClock clock(engine, clockOptions);
    ProgressBar progress(err, !options.quiet && ProgressBar::StderrIsTerminal(), clip.frames,
                         clip.format.sampleRate);
    clock.Start();
    while (engine.DevicePosition() < targetFrames)
    {
        client.Feed();
        progress.Update(engine.DevicePosition());
        std::unique_lock lock(mutex);
        wanted.wait_for(lock, std::chrono::milliseconds(2), [&] { return dataWanted; });
        dataWanted = false;
    }
    progress.Clear();

    ReadPosition(pin, engine, options.device, run.readings);
    const bool stopped = SetStates(pin, {KSSTATE_STOP}, err);
    clock.Stop();
    dpc.Drain();
    run.record = engine.Stream(0, static_cast<ULONG>(options.device - 1), 0)
                     .value_or(host::engine::StreamState{});
    return stopped;
}

// The client follows the schedule on the virtual clock; the pin ends in
// STOP.
void RunSchedule(host::System& system, host::portcls::Pin& pin, const AudioClip& clip,
                 const PlayOptions& options, const host::client::Schedule& schedule, StreamRun& run)
{
    const std::vector<std::uint8_t> bytes = ClientBytes(clip);
    const unsigned frameBytes = clip.format.channels * clip.format.bits / 8;
    host::engine::VirtualClock clock(system.Engine());
    host::client::ScheduledClient client(pin, clock, options.periodFrames, frameBytes, bytes);
    // Every quarter period, as on the threaded clock, and once more when
    // everything has played.
    client.SetProbe([&options] { return std::max(1u, options.periodFrames / 4); },
                    [&] { ReadPosition(pin, system.Engine(), options.device, run.readings); });
    client.Play(schedule);
    run.dataPeriods = (clip.frames + options.periodFrames - 1) / options.periodFrames;
    run.record = system.Engine()
                     .Stream(0, static_cast<ULONG>(options.device - 1), 0)
                     .value_or(host::engine::StreamState{});
}

// The client bytes written since the last STOP before the last reading:
// what the position should reach once it has all played.
std::uint64_t WrittenSinceLastStop(const host::engine::ClientJournal& journal,
                                   const std::vector<PositionReading>& readings)
{
    if (readings.empty())
        return 0;
    const std::uint64_t order = readings.back().sample.order;
    std::uint64_t written = 0;
    std::uint64_t stop = 0;
    for (const host::engine::ClientJournal::Write& write : journal.writes)
    {
        if (write.order < order)
            written = write.end;
    }
    for (const host::engine::ClientJournal::Cut& cut : journal.cuts)
    {
        if (cut.atStop && cut.order < order)
            stop = cut.to;
    }
    return written - stop;
}

PlaySummary Summarize(const AudioClip& clip, const PlayOptions& options,
                      const std::string& proposal, const StreamRun& run)
{
    PlaySummary summary;
    summary.source = clip.source;
    summary.format = clip.format;
    summary.frames = clip.frames;
    summary.device = options.device;
    summary.periodFrames = options.periodFrames;
    summary.proposal = proposal;
    summary.periodsPlayed = run.record.periodCount;
    summary.dataPeriods = run.dataPeriods;
    summary.underruns = run.record.underruns;
    summary.silentPeriods = run.record.silentPeriods;
    for (const host::engine::PeriodRecord& period : run.record.periods)
    {
        if (period.index < run.dataPeriods && period.silent)
            ++summary.silentDataPeriods;
    }
    const unsigned frameBytes = clip.format.channels * clip.format.bits / 8;
    summary.output = CheckOutput(run.record.output, clip.samples, clip.format.channels);
    summary.inputBytes = std::uint64_t{clip.frames} * frameBytes;
    summary.frameBytes = frameBytes;
    summary.schedule = options.schedule;
    const host::engine::PlayFormat format{.channels = clip.format.channels,
                                          .bytesPerSample = clip.format.bits / 8u};
    summary.verdict = host::engine::JudgePlayback(run.journal, run.record, format, run.opened);
    const host::engine::PlayedBytes truth(summary.verdict, run.record, run.journal, format,
                                          run.opened);
    summary.positions = CheckPositions(run.readings, truth, {frameBytes, clip.format.sampleRate});
    summary.positions.written = WrittenSinceLastStop(run.journal, run.readings);
    return summary;
}

// What the driver left behind: the pin's findings at close, the system's at
// shutdown, and any violation reported on the way.
std::vector<std::string> TearDown(host::System& system, std::unique_ptr<host::portcls::Pin> pin,
                                  std::optional<host::portcls::DpcQueue>& dpc)
{
    std::vector<std::string> problems;
    if (pin)
    {
        if (pin->Port().QueuedBuffers() > 0)
            pin->CancelQueued();
        for (std::string& problem : pin->Close())
            problems.push_back("at close: " + problem);
        pin.reset();
    }
    host::portcls::SetNotifyDelivery(nullptr);
    dpc.reset();
    if (host::portcls::LiveServiceGroupCount() != 0)
        problems.push_back("a service group is still alive");
    for (std::string& problem : system.Shutdown())
        problems.push_back("at shutdown: " + problem);
    if (host::ViolationCount() != 0)
        problems.push_back(std::to_string(host::ViolationCount()) +
                           " violations of the driver's conduct (printed above)");
    return problems;
}

bool WriteOutputs(Outputs& outputs, const AudioClip& clip, const StreamRun& run,
                  const std::optional<host::engine::TraceRecorder>& recorder,
                  const PlayOptions& options, std::ostream& err)
{
    std::string error;
    if (outputs.wav)
    {
        // The stream's samples: as many frames as the input has, or what
        // was played of them.
        const std::size_t bytes =
            std::min(run.record.output.size(), clip.samples.size() * std::size_t{4});
        const std::span<const std::uint8_t> played(run.record.output.data(), bytes);
        if (!outputs.wav->Write(played, error) || !outputs.wav->Commit(error))
        {
            err << kTool << "cannot write " << options.output << ": " << error << "\n";
            return false;
        }
    }
    if (outputs.trace && recorder)
    {
        const std::string json = recorder->ChromeJson();
        if (!outputs.trace->WriteAll(json) || !outputs.trace->Commit(error))
        {
            err << kTool << "cannot write " << options.trace << ": " << error << "\n";
            return false;
        }
    }
    return true;
}

} // namespace

int RunPlay(const PlayOptions& options, std::ostream& out, std::ostream& err)
{
    if (!CheckOptions(options, err))
        return kNotPlayed;
    std::optional<host::client::Schedule> schedule;
    if (!options.schedule.empty())
    {
        schedule = ParseSchedule(options, err);
        if (!schedule)
            return kNotPlayed;
    }
    std::optional<AudioClip> clip = LoadInput(options, err);
    if (!clip)
        return kNotPlayed;
    std::optional<Outputs> outputs = PrepareOutputs(options, clip->format, err);
    if (!outputs)
        return kNotPlayed;
    const std::optional<host::DriverBinary> driver = ChooseDriver(options.driver, err);
    if (!driver)
        return kNotPlayed;

    // The tool reports what the driver does wrong and goes on to the end.
    host::SetViolationHandler(host::PrintAndCountHandler());
    host::ResetViolationCounts();
    std::optional<host::engine::TraceRecorder> recorder;
    if (outputs->trace)
        recorder.emplace();

    host::System system(*driver);
    system.Engine().SetPeriodFrames(options.periodFrames);
    NTSTATUS status = system.Load();
    if (NT_SUCCESS(status))
        status = system.AddDevice();
    if (NT_SUCCESS(status))
        status = system.Start();
    if (!NT_SUCCESS(status))
    {
        err << kTool << "the adapter did not start: " << StatusName(status) << "\n";
        return kPlayedWithFaults;
    }

    PUNKNOWN port = nullptr;
    for (const host::portcls::Subdevice& subdevice :
         host::portcls::Subdevices(system.AdapterDevice()))
    {
        if (subdevice.name == WaveName(options.device))
            port = subdevice.port;
    }
    const std::optional<host::portcls::FilterDescription> description =
        host::portcls::Description(port);
    PMINIPORTWAVEPCI miniport =
        host::portcls::FindWaveMiniport(system.AdapterDevice(), WaveName(options.device));
    if (port == nullptr || !description || description->pins.empty() || miniport == nullptr)
    {
        err << kTool << "the adapter registered no wave filter for device " << options.device
            << "\n";
        return kPlayedWithFaults;
    }

    DeviceRules rules;
    rules.device = options.device;
    rules.ranges = AudioRanges(description->pins[0].dataRanges);
    rules.engineRates = system.Engine().SupportedRates();

    const std::optional<std::vector<std::uint8_t>> proposal = AskForProposal(port, clip->format);
    const std::vector<std::uint8_t> format =
        DataFormatFor(clip->format, proposal ? &*proposal : nullptr);
    std::unique_ptr<host::portcls::Pin> pin;
    status = host::portcls::Pin::Open(miniport, 0, format,
                                      {.maxMappingBytes = options.mappingBytes}, pin);
    if (!NT_SUCCESS(status) || !RangeReasons(clip->format, rules).empty() || !CanFeed(clip->format))
    {
        PrintRefusal(*clip, rules, status, err);
        std::optional<host::portcls::DpcQueue> noQueue;
        for (const std::string& problem : TearDown(system, std::move(pin), noQueue))
            err << kTool << problem << "\n";
        return kNotPlayed;
    }

    std::optional<host::portcls::DpcQueue> dpc;
    StreamRun run;
    bool ran = true;
    if (schedule)
    {
        RunSchedule(system, *pin, *clip, options, *schedule, run);
    }
    else
    {
        dpc.emplace();
        host::portcls::SetNotifyDelivery([&dpc](PSERVICEGROUP group) { dpc->Deliver(group); });
        ran = RunStream(system, *pin, *dpc, *clip, options, run, err);
    }
    run.journal = pin->Port().Journal();
    run.opened = pin->Port().OpenOrder();
    const std::vector<std::string> problems = TearDown(system, std::move(pin), dpc);
    PlaySummary summary =
        Summarize(*clip, options, proposal ? DescribeProposal(*proposal) : "", run);
    if (recorder)
        TracePositions(*recorder, summary.positions);
    const bool written = WriteOutputs(*outputs, *clip, run, recorder, options, err);

    summary.driver = DescribeDriver(*driver);
    if (outputs->wav && written)
        summary.outputFile = options.output;
    if (outputs->trace && written)
        summary.traceFile = options.trace;
    if (!options.quiet)
        PrintSummary(out, summary);
    for (const std::string& problem : problems)
        err << kTool << problem << "\n";

    // A schedule may leave the client late, so silence in the output is no
    // fault by itself: the oracle decides.
    const bool played =
        summary.positions.Clean() &&
        (schedule ? summary.verdict.Clean()
                  : summary.output.equal && summary.underruns == 0 && summary.verdict.Clean() &&
                        summary.positions.finalPosition == summary.inputBytes);
    const bool clean = ran && written && problems.empty() && played;
    return clean ? kPlayedClean : kPlayedWithFaults;
}

} // namespace nuvsim
