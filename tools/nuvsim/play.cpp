#include "tools/nuvsim/play.h"

#include "host/client/scheduledclient.h"
#include "host/engine/clock.h"
#include "host/engine/trace.h"
#include "host/kernel/conduct.h"
#include "host/portcls/pin.h"
#include "host/portcls/portclass.h"
#include "host/portcls/servicegroup.h"
#include "host/portcls/system.h"
#include "tools/nuvsim/filterviews.h"
#include "tools/nuvsim/devicerun.h"
#include "tools/nuvsim/playclock.h"
#include "tools/nuvsim/signal.h"
#include "tools/nuvsim/streamformat.h"
#include "tools/nuvsim/summary.h"
#include "tools/nuvsim/wavio.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <ostream>

namespace nuvsim
{
namespace
{

constexpr const char* kTool = "nuvsim play: ";

std::u16string WaveName(int device)
{
    return u"NUV_Wave" + std::u16string(1, static_cast<char16_t>(u'0' + device));
}

bool CheckOptions(const PlayOptions& options, std::ostream& err)
{
    if (options.periodFrames == 0 || options.mappingBytes == 0 || options.bufferMs == 0)
    {
        err << kTool << "--period, --mapping-bytes and --buffer-ms must be at least 1\n";
        return false;
    }
    if (!options.schedule.empty() && options.clock && *options.clock != ClockKind::Virtual)
    {
        err << kTool << "--schedule plays on the virtual clock; "
            << (*options.clock == ClockKind::Realtime ? "--realtime" : "--clock threaded")
            << " does not go with it\n";
        return false;
    }
    if (options.signalBits != 16 && options.signalBits != 24 && options.signalBits != 32)
    {
        err << kTool << "--signal-bits: the test signal has 16, 24 or 32 bits\n";
        return false;
    }
    if (!(options.signalSeconds > 0) || options.signalSeconds > 1e6 || options.signalRate == 0)
    {
        err << kTool << "--signal-seconds and --signal-rate must be above 0\n";
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

// What one stream reads: the input twice (once for the client, once for the
// comparison with what the device played), and where its output goes.
struct StreamInput
{
    StreamRequest request;
    std::unique_ptr<AudioSource> client;
    std::unique_ptr<AudioSource> again;
    std::unique_ptr<ContainerWavWriter> wav;
};

// The file, or the test signal in as many channels as the device takes.
std::unique_ptr<AudioSource> OpenInput(const StreamRequest& request, const PlayOptions& options,
                                       std::ostream& err)
{
    if (request.input.empty())
        return MakeTestSignal({.channels = request.device == kDevices ? 6u : 2u,
                               .sampleRate = options.signalRate,
                               .bits = options.signalBits,
                               .seconds = options.signalSeconds});
    std::string error;
    std::unique_ptr<AudioSource> source = OpenAudioFile(request.input, error);
    if (!source)
    {
        err << kTool << "cannot read " << request.input << ": " << error << "\n";
        return nullptr;
    }
    if (source->Frames() == 0 || source->Format().channels == 0)
    {
        err << kTool << request.input << " holds no audio\n";
        return nullptr;
    }
    return source;
}

std::optional<std::vector<StreamInput>> OpenInputs(const std::vector<StreamRequest>& requests,
                                                   const PlayOptions& options, std::ostream& err)
{
    std::vector<StreamInput> inputs;
    for (const StreamRequest& request : requests)
    {
        StreamInput input{request, OpenInput(request, options, err), nullptr, nullptr};
        if (!input.client)
            return std::nullopt;
        std::string error;
        input.again = input.client->Reopen(error);
        if (!input.again)
        {
            err << kTool << "cannot read " << request.input << " again: " << error << "\n";
            return std::nullopt;
        }
        inputs.push_back(std::move(input));
    }
    // One engine clock paces every output: the device runs them all at one
    // rate, and a second stream at another would change it under the first.
    for (const StreamInput& input : inputs)
    {
        const StreamInput& first = inputs.front();
        if (input.client->Format().sampleRate == first.client->Format().sampleRate)
            continue;
        err << kTool << "the device plays all its outputs at one rate: device "
            << first.request.device << " would play " << first.client->Name() << " at "
            << first.client->Format().sampleRate << " Hz, device " << input.request.device << " "
            << input.client->Name() << " at " << input.client->Format().sampleRate << " Hz\n";
        return std::nullopt;
    }
    return inputs;
}

// The output files, created (as temporary files) before anything plays, so
// that a path that cannot be written stops the run at once.
bool PrepareOutputs(std::vector<StreamInput>& inputs, const PlayOptions& options,
                    std::unique_ptr<PendingFile>& trace, std::ostream& err)
{
    std::string error;
    for (StreamInput& input : inputs)
    {
        if (input.request.output.empty())
            continue;
        const AudioFormat& format = input.client->Format();
        input.wav = ContainerWavWriter::Create(input.request.output, format.channels,
                                               format.sampleRate, error);
        if (!input.wav)
        {
            err << kTool << "cannot write " << input.request.output << ": " << error << "\n";
            return false;
        }
    }
    if (!options.trace.empty())
    {
        trace = PendingFile::Create(options.trace, error);
        if (!trace)
        {
            err << kTool << "cannot write " << options.trace << ": " << error << "\n";
            return false;
        }
    }
    return true;
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

void PrintRefusal(const AudioSource& input, const DeviceRules& rules, NTSTATUS openStatus,
                  std::ostream& err)
{
    err << kTool << "device " << rules.device << " refuses " << input.Name() << " ("
        << Describe(input.Format()) << ")\n";
    const std::vector<std::string> reasons = RefusalReasons(input.Format(), rules);
    for (const std::string& reason : reasons)
        err << "  " << reason << "\n";
    if (reasons.empty())
        err << "  (the driver gave no reason that its published limits explain)\n";
    err << "device " << rules.device << " takes " << DescribeLimits(rules) << "\n";
    if (NT_SUCCESS(openStatus) && !CanFeed(input.Format()))
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

// Where the readings are drawn, if the run is traced.
struct PositionTrace
{
    host::engine::TraceRecorder* recorder = nullptr;
    bool severalDevices = false;
};

// Opens pin 0 of the input's device as a client does; null (with the
// refusal printed) if the device does not take the stream.
std::unique_ptr<DeviceRun> OpenStream(host::System& system, StreamInput& input,
                                      const PlayOptions& options, const PositionTrace& trace,
                                      std::ostream& err)
{
    const int device = input.request.device;
    PUNKNOWN port = nullptr;
    for (const host::portcls::Subdevice& subdevice :
         host::portcls::Subdevices(system.AdapterDevice()))
    {
        if (subdevice.name == WaveName(device))
            port = subdevice.port;
    }
    const std::optional<host::portcls::FilterDescription> description =
        host::portcls::Description(port);
    PMINIPORTWAVEPCI miniport =
        host::portcls::FindWaveMiniport(system.AdapterDevice(), WaveName(device));
    if (port == nullptr || !description || description->pins.empty() || miniport == nullptr)
    {
        err << kTool << "the adapter registered no wave filter for device " << device << "\n";
        return nullptr;
    }

    DeviceRules rules;
    rules.device = device;
    rules.ranges = AudioRanges(description->pins[0].dataRanges);
    rules.engineRates = system.Engine().SupportedRates();

    const AudioFormat& format = input.client->Format();
    const std::optional<std::vector<std::uint8_t>> proposal = AskForProposal(port, format);
    const std::vector<std::uint8_t> dataFormat =
        DataFormatFor(format, proposal ? &*proposal : nullptr);
    std::unique_ptr<host::portcls::Pin> pin;
    const NTSTATUS status = host::portcls::Pin::Open(
        miniport, 0, dataFormat, {.maxMappingBytes = options.mappingBytes}, pin);
    if (!NT_SUCCESS(status) || !RangeReasons(format, rules).empty() || !CanFeed(format))
    {
        PrintRefusal(*input.client, rules, status, err);
        if (pin)
        {
            for (const std::string& problem : pin->Close())
                err << kTool << "at close: " << problem << "\n";
        }
        return nullptr;
    }
    DeviceRunSetup setup;
    setup.device = device;
    setup.periodFrames = options.periodFrames;
    setup.bufferMs = options.bufferMs;
    setup.proposal = proposal ? DescribeProposal(*proposal) : "";
    setup.schedule = options.schedule;
    setup.outputPath = input.request.output;
    setup.trace = trace.recorder;
    // Each device's readings are a counter of their own.
    if (trace.severalDevices)
        setup.traceName = "position device " + std::to_string(device);
    return std::make_unique<DeviceRun>(setup, std::move(pin), system.Engine(),
                                       std::move(input.client), std::move(input.again),
                                       std::move(input.wav));
}

// The input as a scheduled client writes it: any number of bytes at a time,
// read from the source as they are needed.
class ScheduleInput final : public host::client::ClientInput
{
public:
    explicit ScheduleInput(std::unique_ptr<AudioSource> source) : m_source(std::move(source))
    {
        const AudioFormat& format = m_source->Format();
        m_size = m_source->Frames() * format.channels * (format.bits / 8);
    }
    std::uint64_t Size() const override { return m_size; }
    std::span<const std::uint8_t> Next(std::uint64_t count) override
    {
        m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<std::ptrdiff_t>(m_handed));
        const AudioFormat& format = m_source->Format();
        m_block.resize(4096 * format.channels);
        while (m_bytes.size() < count)
        {
            const std::size_t frames = m_source->Read(m_block);
            if (frames == 0)
                break;
            AppendClientBytes(std::span(m_block).first(frames * format.channels), format.bits,
                              m_bytes);
        }
        m_handed = static_cast<std::size_t>(std::min<std::uint64_t>(count, m_bytes.size()));
        return std::span(m_bytes).first(m_handed);
    }

private:
    std::unique_ptr<AudioSource> m_source;
    std::uint64_t m_size = 0;
    std::vector<std::int32_t> m_block;
    std::vector<std::uint8_t> m_bytes;
    std::size_t m_handed = 0;
};

// The one client follows the schedule on the virtual clock, its output
// collected after every step of the device; the pin ends in STOP.
bool RunSchedule(host::System& system, DeviceRun& run, const PlayOptions& options,
                 const host::client::Schedule& schedule, std::ostream& err)
{
    std::string error;
    std::unique_ptr<AudioSource> source = run.Input().Reopen(error);
    if (!source)
    {
        err << kTool << "cannot read " << run.Input().Name() << " again: " << error << "\n";
        return false;
    }
    ScheduleInput input(std::move(source));
    const AudioFormat& format = run.Input().Format();
    host::engine::VirtualClock clock(system.Engine());
    host::client::ScheduledClient client(run.Pin(), clock, options.periodFrames,
                                         format.channels * format.bits / 8, input);
    client.SetAfterStep([&run] { run.Collect(); });
    // Positions every quarter period, as on the clocks, and once more when
    // everything has played.
    client.SetProbe([&options] { return std::max(1u, options.periodFrames / 4); },
                    [&run] { run.ReadPosition(); });
    client.Play(schedule);
    run.Collect();
    return true;
}

// What the driver left behind: each pin's findings at close, the system's at
// shutdown, and any violation reported on the way.
std::vector<std::string> TearDown(host::System& system,
                                  std::vector<std::unique_ptr<DeviceRun>>& runs)
{
    std::vector<std::string> problems;
    for (auto& run : runs)
    {
        for (std::string& problem : run->Close())
            problems.push_back(std::move(problem));
    }
    host::portcls::SetNotifyDelivery(nullptr);
    if (host::portcls::LiveServiceGroupCount() != 0)
        problems.push_back("a service group is still alive");
    for (std::string& problem : system.Shutdown())
        problems.push_back("at shutdown: " + problem);
    if (host::ViolationCount() != 0)
        problems.push_back(std::to_string(host::ViolationCount()) +
                           " violations of the driver's conduct (printed above)");
    return problems;
}

// Clean: bit-exact, silence after, no underrun, no finding, no position
// that went back or strayed, and the final one at the end of the input. A
// schedule may leave the client late, so silence in the output is no fault
// by itself: the oracle decides.
bool PlayedClean(const PlaySummary& summary)
{
    if (!summary.problems.empty() || !summary.verdict.Clean() || !summary.positions.Clean())
        return false;
    return !summary.schedule.empty() ||
           (summary.output.equal && summary.output.tailSilent && summary.underruns == 0 &&
            summary.positions.finalPosition == summary.inputBytes);
}

} // namespace

const char* ClockName(ClockKind clock)
{
    switch (clock)
    {
    case ClockKind::Virtual:
        return "virtual";
    case ClockKind::Threaded:
        return "threaded";
    case ClockKind::Realtime:
        return "realtime";
    }
    return "?";
}

int RunPlay(const PlayOptions& options, std::ostream& out, std::ostream& err)
{
    if (!CheckOptions(options, err))
        return kNotPlayed;
    std::string planError;
    const std::optional<std::vector<StreamRequest>> requests =
        PlanStreams(options.streams, planError);
    if (!requests)
    {
        err << kTool << planError << "\n";
        return kNotPlayed;
    }
    std::optional<host::client::Schedule> schedule;
    if (!options.schedule.empty())
    {
        if (requests->size() != 1)
        {
            err << kTool << "--schedule is one client's timing: it plays one device\n";
            return kNotPlayed;
        }
        schedule = ParseSchedule(options, err);
        if (!schedule)
            return kNotPlayed;
    }
    std::optional<std::vector<StreamInput>> inputs = OpenInputs(*requests, options, err);
    if (!inputs)
        return kNotPlayed;
    std::unique_ptr<PendingFile> traceFile;
    if (!PrepareOutputs(*inputs, options, traceFile, err))
        return kNotPlayed;
    const std::optional<host::DriverBinary> driver = ChooseDriver(options.driver, err);
    if (!driver)
        return kNotPlayed;

    // The tool reports what the driver does wrong and goes on to the end.
    host::SetViolationHandler(host::PrintAndCountHandler());
    host::ResetViolationCounts();
    std::optional<host::engine::TraceRecorder> recorder;
    if (traceFile)
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

    // Every stream opens before anything plays: one the device refuses
    // stops the run with nothing played.
    std::vector<std::unique_ptr<DeviceRun>> runs;
    for (StreamInput& input : *inputs)
    {
        const PositionTrace trace{recorder ? &*recorder : nullptr, inputs->size() > 1};
        std::unique_ptr<DeviceRun> run = OpenStream(system, input, options, trace, err);
        if (!run)
        {
            for (const std::string& problem : TearDown(system, runs))
                err << kTool << problem << "\n";
            return kNotPlayed;
        }
        runs.push_back(std::move(run));
    }

    const auto began = std::chrono::steady_clock::now();
    bool ran = true;
    if (schedule)
    {
        ran = RunSchedule(system, *runs.front(), options, *schedule, err);
    }
    else
    {
        const ClockRun how{options.clock.value_or(ClockKind::Threaded), options.periodFrames,
                           !options.quiet};
        ran = RunOnClock(system, runs, how, err);
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

    std::vector<PlaySummary> summaries;
    for (auto& run : runs)
        summaries.push_back(run->Finish(err));
    const std::vector<std::string> problems = TearDown(system, runs);
    bool written = true;
    if (traceFile && recorder)
    {
        std::string error;
        if (!traceFile->WriteAll(recorder->ChromeJson()) || !traceFile->Commit(error))
        {
            err << kTool << "cannot write " << options.trace << ": " << error << "\n";
            written = false;
        }
    }

    RunFacts facts;
    facts.driver = DescribeDriver(*driver);
    facts.clock = schedule ? "virtual, following the schedule"
                           : ClockName(options.clock.value_or(ClockKind::Threaded));
    facts.wallSeconds = wall;
    for (const PlaySummary& summary : summaries)
    {
        if (summary.format.sampleRate != 0)
            facts.audioSeconds = std::max(facts.audioSeconds, static_cast<double>(summary.frames) /
                                                                  summary.format.sampleRate);
    }
    if (traceFile && written)
        summaries.front().traceFile = options.trace;
    if (!options.quiet)
        PrintSummaries(out, facts, summaries);
    for (const std::string& problem : problems)
        err << kTool << problem << "\n";

    const bool clean = ran && written && problems.empty() &&
                       std::all_of(summaries.begin(), summaries.end(), PlayedClean);
    return clean ? kPlayedClean : kPlayedWithFaults;
}

} // namespace nuvsim
