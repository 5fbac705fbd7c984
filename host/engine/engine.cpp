#include "host/engine/engine.h"

#include "host/engine/eventorder.h"
#include "host/engine/trace.h"
#include "host/kernel/boundary.h"
#include "host/kernel/conduct.h"
#include "host/kernel/spinlock.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace host::engine
{
namespace
{

void ReportEngineViolation(const std::string& message)
{
    ReportViolation(ViolationKind::Custom, "engine: " + message);
}

// Copies the block of a known command; unknown commands and null blocks
// record no block.
EngineBlock CopyBlock(ULONG command, const void* parameters)
{
    if (parameters == nullptr)
        return std::monostate{};
    switch (command)
    {
    case ENGINE_CMD_REGISTER_NOTIFY:
        return *static_cast<const ENGINE_NOTIFY_PARAMS*>(parameters);
    case ENGINE_CMD_ATTACH_BUFFER:
        return *static_cast<const ENGINE_BUFFER_PARAMS*>(parameters);
    case ENGINE_CMD_START:
    case ENGINE_CMD_STOP:
        return *static_cast<const ENGINE_STREAM_PARAMS*>(parameters);
    case ENGINE_CMD_SET_FORMAT:
        return *static_cast<const ENGINE_FORMAT_PARAMS*>(parameters);
    case ENGINE_CMD_SAMPLE_RATE:
        return *static_cast<const ENGINE_RATE_PARAMS*>(parameters);
    case ENGINE_CMD_GET_PERIOD:
        return *static_cast<const ENGINE_PERIOD_PARAMS*>(parameters);
    case ENGINE_CMD_GET_POSITION:
        return *static_cast<const ENGINE_POSITION_PARAMS*>(parameters);
    default:
        return std::monostate{};
    }
}

bool IsKnownCommand(ULONG command)
{
    switch (command)
    {
    case ENGINE_CMD_REGISTER_NOTIFY:
    case ENGINE_CMD_ATTACH_BUFFER:
    case ENGINE_CMD_START:
    case ENGINE_CMD_STOP:
    case ENGINE_CMD_SET_FORMAT:
    case ENGINE_CMD_SAMPLE_RATE:
    case ENGINE_CMD_GET_PERIOD:
    case ENGINE_CMD_GET_POSITION:
        return true;
    default:
        return false;
    }
}

std::string Describe(const StreamKey& key)
{
    return "stream (capture " + std::to_string(key.capture) + ", device " +
           std::to_string(key.deviceIndex) + ", pin " + std::to_string(key.pin) + ")";
}

} // namespace

std::string CommandName(ULONG command)
{
    switch (command)
    {
    case ENGINE_CMD_REGISTER_NOTIFY:
        return "REGISTER_NOTIFY";
    case ENGINE_CMD_ATTACH_BUFFER:
        return "ATTACH_BUFFER";
    case ENGINE_CMD_START:
        return "START";
    case ENGINE_CMD_STOP:
        return "STOP";
    case ENGINE_CMD_SET_FORMAT:
        return "SET_FORMAT";
    case ENGINE_CMD_SAMPLE_RATE:
        return "SAMPLE_RATE";
    case ENGINE_CMD_GET_PERIOD:
        return "GET_PERIOD";
    case ENGINE_CMD_GET_POSITION:
        return "GET_POSITION";
    default:
        return "command " + std::to_string(command);
    }
}

Engine::Engine() : m_supportedRates{44100, 48000, 88200, 96000, 176400, 192000} {}

NTSTATUS NTAPI Engine::Call(PVOID engineContext, ULONG command, PVOID parameters)
try
{
    if (engineContext == nullptr)
    {
        ReportEngineViolation(CommandName(command) + " sent with a null engine context");
        return STATUS_INVALID_PARAMETER;
    }
    return static_cast<Engine*>(engineContext)->Execute(command, parameters);
}
catch (...)
{
    return host::CaughtAtBoundary("Engine::Call", STATUS_INSUFFICIENT_RESOURCES);
}

NTSTATUS Engine::Execute(ULONG command, PVOID parameters)
{
    EngineCommand record;
    record.command = command;
    record.blockAddress = parameters;
    record.issued = CopyBlock(command, parameters);
    record.irql = KeGetCurrentIrql();
    record.spinLocksHeld = HeldSpinLockCount();

    std::unique_lock lock(m_mutex);
    if (parameters == nullptr)
        m_problems.push_back(CommandName(command) + " sent without a parameter block");
    else
        Answer(command, parameters);
    // A cleared callback is not called again, and a stopped stream hears no
    // more periods: when either command returns, no callback of the stream
    // is still running on the clock's thread.
    if (parameters != nullptr && command == ENGINE_CMD_REGISTER_NOTIFY)
    {
        const auto& block = *static_cast<const ENGINE_NOTIFY_PARAMS*>(parameters);
        const StreamKey key{block.Capture, block.DeviceIndex, block.Pin};
        if (block.Callback == nullptr)
            WaitForCallbacks(lock, &key);
    }
    if (parameters != nullptr && command == ENGINE_CMD_STOP)
    {
        const auto& block = *static_cast<const ENGINE_STREAM_PARAMS*>(parameters);
        const StreamKey key{block.Capture, block.DeviceIndex, block.Pin};
        WaitForCallbacks(lock, block.Capture > 1 ? nullptr : &key);
    }
    record.answered = CopyBlock(command, parameters);
    m_commands.push_back(std::move(record));

    // Reported without the mutex: a handler may look at the engine.
    std::vector<std::string> problems;
    problems.swap(m_problems);
    const CommandObserver observer = m_observer;
    lock.unlock();
    for (const auto& problem : problems)
        ReportEngineViolation(problem);
    if (observer)
        observer(command);

    if (parameters == nullptr)
        return STATUS_INVALID_PARAMETER;
    return IsKnownCommand(command) ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
}

void Engine::Answer(ULONG command, PVOID parameters)
{
    // An unknown command is kept in the record and otherwise ignored.
    switch (command)
    {
    case ENGINE_CMD_REGISTER_NOTIFY:
        RegisterNotify(*static_cast<ENGINE_NOTIFY_PARAMS*>(parameters));
        break;
    case ENGINE_CMD_ATTACH_BUFFER:
        AttachBuffer(*static_cast<ENGINE_BUFFER_PARAMS*>(parameters));
        break;
    case ENGINE_CMD_START:
        Start(*static_cast<ENGINE_STREAM_PARAMS*>(parameters));
        break;
    case ENGINE_CMD_STOP:
        Stop(*static_cast<ENGINE_STREAM_PARAMS*>(parameters));
        break;
    case ENGINE_CMD_SET_FORMAT:
        SetFormat(*static_cast<ENGINE_FORMAT_PARAMS*>(parameters));
        break;
    case ENGINE_CMD_SAMPLE_RATE:
        SampleRateCommand(*static_cast<ENGINE_RATE_PARAMS*>(parameters));
        break;
    case ENGINE_CMD_GET_PERIOD:
        GetPeriod(*static_cast<ENGINE_PERIOD_PARAMS*>(parameters));
        break;
    case ENGINE_CMD_GET_POSITION:
        GetPosition(*static_cast<ENGINE_POSITION_PARAMS*>(parameters));
        break;
    default:
        break;
    }
}

void Engine::RegisterNotify(ENGINE_NOTIFY_PARAMS& block)
{
    StreamState& stream = m_streams[{block.Capture, block.DeviceIndex, block.Pin}];
    stream.capture = block.Capture == 1;
    // Both null clears; a cleared callback is not called again.
    stream.callback = block.Callback;
    stream.callbackContext = block.CallbackContext;
}

void Engine::AttachBuffer(ENGINE_BUFFER_PARAMS& block)
{
    const StreamKey key{block.Capture, block.DeviceIndex, block.Pin};
    StreamState& stream = m_streams[key];
    stream.capture = block.Capture == 1;
    const bool detach =
        block.Buffer == nullptr && block.PeriodBytes == 0 && block.BufferChannels == 0;
    if (detach)
    {
        // A detached buffer is not touched again: the clock reads and writes
        // buffers only under the mutex this runs under.
        stream.buffer = nullptr;
        stream.periodBytes = 0;
        stream.bufferChannels = 0;
        stream.playing = false;
        stream.staging.clear();
        return;
    }

    // The buffer holds two halves of one period each: PeriodBytes must be
    // exactly one period of Channels 32-bit containers, or the engine would
    // read past the buffer or play a period of the wrong length.
    const ULONGLONG expected =
        ULONGLONG{m_periodFrames} * block.Channels * ULONGLONG{kBytesPerContainer};
    if (block.Buffer == nullptr || block.PeriodBytes != expected)
    {
        m_problems.push_back("ATTACH_BUFFER for " + Describe(key) + ": PeriodBytes " +
                             std::to_string(block.PeriodBytes) + " is not one period of " +
                             std::to_string(m_periodFrames) + " frames x " +
                             std::to_string(block.Channels) + " channels x 4 bytes (" +
                             std::to_string(expected) + ")" +
                             (block.Buffer == nullptr ? ", and Buffer is null" : ""));
    }
    if (block.BufferChannels != block.Channels)
    {
        m_problems.push_back("ATTACH_BUFFER for " + Describe(key) + ": BufferChannels " +
                             std::to_string(block.BufferChannels) + " differs from Channels " +
                             std::to_string(block.Channels));
    }
    // The buffer already attached, attached again: the stream goes on where
    // it is. Another buffer starts over at its first half.
    const bool same = stream.buffer == block.Buffer && stream.periodBytes == block.PeriodBytes &&
                      stream.bufferChannels == block.BufferChannels;
    stream.buffer = block.Buffer;
    stream.periodBytes = block.PeriodBytes;
    stream.bufferChannels = block.BufferChannels;
    if (same)
        return;
    stream.playing = false;
    stream.half = 0;
    stream.cursorFrame = 0;
    stream.staging.clear();
    stream.judgeTakes = false;
    stream.positionFrames = 0;
    stream.freshBuffer = true;
}

void Engine::Start(ENGINE_STREAM_PARAMS& block)
{
    const StreamKey key{block.Capture, block.DeviceIndex, block.Pin};
    StreamState& stream = m_streams[key];
    if (stream.buffer == nullptr)
        m_problems.push_back("START of " + Describe(key) + " with no buffer attached");
    if (stream.callback == nullptr)
        m_problems.push_back("START of " + Describe(key) + " with no callback registered");
    stream.started = true;
    stream.channels = block.Channels;
    if (stream.freshBuffer)
        stream.startOrders.push_back(NextEventOrder());
    stream.freshBuffer = false;
}

void Engine::Stop(ENGINE_STREAM_PARAMS& block)
{
    // Capture values other than 0 and 1 (the power-down STOP sends 4) stop
    // every stream of the device.
    // A stopped stream keeps its cursor and the half it took; START resumes.
    if (block.Capture > 1)
    {
        for (auto& [key, stream] : m_streams)
        {
            stream.started = false;
            stream.playing = false;
        }
        return;
    }
    auto it = m_streams.find({block.Capture, block.DeviceIndex, block.Pin});
    if (it != m_streams.end())
    {
        it->second.started = false;
        it->second.playing = false;
    }
}

void Engine::SetFormat(ENGINE_FORMAT_PARAMS& block)
{
    block.Result = m_formatResult;
    if (m_formatResult == 0)
        m_acceptedFormats[block.DeviceIndex] = block;
}

void Engine::SampleRateCommand(ENGINE_RATE_PARAMS& block)
{
    // 0 only asks; an unsupported rate is answered with the rate kept.
    if (block.SampleRate != 0 && IsSupported(block.SampleRate))
        m_sampleRate = block.SampleRate;
    block.CurrentRate = m_sampleRate;
}

void Engine::GetPeriod(ENGINE_PERIOD_PARAMS& block)
{
    block.PeriodFrames = m_periodFrames;
}

void Engine::GetPosition(ENGINE_POSITION_PARAMS& block)
{
    // One clock paces every stream of the device, so the position is the
    // device's: the frames it has run through, which the driver reduces
    // modulo one period. Answered unreduced so that a missing reduction shows.
    block.Position = static_cast<ULONG>(m_devicePosition);

    PositionQuery query;
    query.order = NextEventOrder();
    query.deviceFrame = m_devicePosition;
    for (const auto& [key, stream] : m_streams)
    {
        if (!stream.capture)
            query.outputBytes.emplace_back(key, stream.outputTaken + stream.output.size());
    }
    m_lastPositionQueries[std::this_thread::get_id()] = std::move(query);
}

std::optional<std::size_t> PositionQuery::OutputBytes(const StreamKey& key) const
{
    for (const auto& [stream, bytes] : outputBytes)
    {
        if (stream == key)
            return bytes;
    }
    return std::nullopt;
}

std::optional<PositionQuery> Engine::LastPositionQuery() const
{
    std::lock_guard lock(m_mutex);
    auto it = m_lastPositionQueries.find(std::this_thread::get_id());
    if (it == m_lastPositionQueries.end())
        return std::nullopt;
    return it->second;
}

void Engine::WaitForCallbacks(std::unique_lock<std::mutex>& lock, const StreamKey* key)
{
    // The clock's own thread may stop a stream from inside a callback; it
    // cannot wait for itself.
    if (std::this_thread::get_id() == m_callbackThread)
        return;
    m_callbackDone.wait(lock,
                        [&]
                        {
                            if (key != nullptr)
                            {
                                auto it = m_streams.find(*key);
                                return it == m_streams.end() || it->second.callbacksInFlight == 0;
                            }
                            return std::all_of(m_streams.begin(), m_streams.end(),
                                               [](const auto& entry)
                                               { return entry.second.callbacksInFlight == 0; });
                        });
}

ULONG CaptureSample(ULONGLONG frame, ULONG channel)
{
    // Distinct in every byte position for neighbouring frames and channels,
    // and never 0, so that a capture client can tell a sample from silence.
    const ULONG n = static_cast<ULONG>(frame) * 8u + channel + 1u;
    return n * 0x01000193u | 1u;
}

void Engine::TakeHalf(StreamState& stream)
{
    PeriodRecord record;
    record.index = stream.periodsTaken + stream.periods.size();
    record.half = stream.half;
    record.deviceFrame = m_devicePosition;
    record.order = NextEventOrder();
    record.outputBytes = static_cast<std::size_t>(stream.outputTaken + stream.output.size());
    const auto* half = static_cast<const BYTE*>(stream.buffer) +
                       std::size_t{stream.half} * std::size_t{stream.periodBytes};
    if (stream.judgeTakes && stream.servicedUpTo < stream.periodEnds)
    {
        record.underrun = true;
        ++stream.underruns;
    }
    stream.judgeTakes = true;
    if (stream.capture)
    {
        stream.staging.assign(stream.periodBytes, 0);
    }
    else
    {
        stream.staging.assign(half, half + stream.periodBytes);
        record.silent = std::all_of(stream.staging.begin(), stream.staging.end(),
                                    [](BYTE b) { return b == 0; });
    }
    stream.lastTakeSilent = record.silent;
    stream.periods.push_back(record);
    if (TraceEnabled())
        TracePoint("engine", "period", TracePhase::Begin,
                   "half " + std::to_string(record.half) + (record.underrun ? ", underrun" : "") +
                       (record.silent ? ", silent" : ""),
                   m_devicePosition);
}

void Engine::TakeDueHalves()
{
    std::lock_guard lock(m_mutex);
    const ULONG offset = static_cast<ULONG>(m_devicePosition % m_periodFrames);
    for (auto& [key, stream] : m_streams)
    {
        if (!stream.started || stream.buffer == nullptr || stream.periodBytes == 0)
            continue;
        if (!stream.playing && stream.cursorFrame == offset)
            stream.playing = true;
        if (stream.playing && stream.cursorFrame == 0 && stream.staging.empty())
            TakeHalf(stream);
    }
}

void Engine::EndPeriod(const StreamKey& key, StreamState& stream, std::vector<DueCallback>& due)
{
    if (stream.capture)
    {
        const ULONG channels = stream.bufferChannels;
        auto* half = static_cast<BYTE*>(stream.buffer) +
                     std::size_t{stream.half} * std::size_t{stream.periodBytes};
        const std::size_t frames = channels == 0 ? 0 : stream.periodBytes / (channels * 4u);
        for (std::size_t f = 0; f < frames; ++f)
        {
            for (ULONG c = 0; c < channels; ++c)
            {
                const ULONG sample = CaptureSample(stream.captureFrames + f, c);
                std::memcpy(half + (f * channels + c) * 4u, &sample, 4);
            }
        }
        stream.captureFrames += frames;
    }
    if (TraceEnabled())
        TracePoint("engine", "period", TracePhase::End, Describe(key), m_devicePosition);
    // Silent periods are counted when played to their end.
    if (stream.lastTakeSilent)
        ++stream.silentPeriods;
    stream.lastTakeSilent = false;
    ++stream.periodCount;
    ++stream.periodEnds;
    stream.cursorFrame = 0;
    stream.staging.clear();
    stream.half ^= 1u;
    if (stream.callback == nullptr)
        return;
    due.push_back({key, stream.callback, stream.callbackContext, stream.periodEnds});
    ++stream.callbacksMade;
    ++stream.callbacksInFlight;
    m_callbackThread = std::this_thread::get_id();
}

ULONG Engine::AdvanceDevice(ULONG frames, std::vector<DueCallback>& due)
{
    TakeDueHalves();
    std::lock_guard lock(m_mutex);
    const ULONG period = m_periodFrames;
    const ULONG offset = static_cast<ULONG>(m_devicePosition % period);
    ULONG step = std::min(frames, period - offset);
    for (const auto& [key, stream] : m_streams)
    {
        if (!stream.started || stream.playing || stream.buffer == nullptr)
            continue;
        const ULONG until = (stream.cursorFrame + period - offset) % period;
        if (until != 0)
            step = std::min(step, until);
    }

    for (auto& [key, stream] : m_streams)
    {
        if (!stream.playing || stream.staging.empty())
            continue;
        const std::size_t frameBytes = std::size_t{stream.bufferChannels} * 4u;
        const std::size_t from = std::min(stream.cursorFrame * frameBytes, stream.staging.size());
        const std::size_t to = std::min(from + step * frameBytes, stream.staging.size());
        if (!stream.capture)
            stream.output.insert(stream.output.end(), stream.staging.begin() + from,
                                 stream.staging.begin() + to);
        stream.cursorFrame += step;
        stream.positionFrames += step;
    }
    m_devicePosition += step;

    if (m_devicePosition % period == 0)
    {
        for (auto& [key, stream] : m_streams)
        {
            if (stream.playing && !stream.staging.empty() && stream.cursorFrame >= period)
                EndPeriod(key, stream, due);
        }
    }
    return step;
}

void Engine::CallbackReturned(const StreamKey& key)
{
    {
        std::lock_guard lock(m_mutex);
        auto it = m_streams.find(key);
        if (it != m_streams.end() && it->second.callbacksInFlight > 0)
            --it->second.callbacksInFlight;
        const bool anyInFlight =
            std::any_of(m_streams.begin(), m_streams.end(),
                        [](const auto& entry) { return entry.second.callbacksInFlight != 0; });
        if (!anyInFlight)
            m_callbackThread = std::thread::id{};
    }
    m_callbackDone.notify_all();
}

void Engine::MarkServiced(const StreamKey& key, ULONGLONG sequence)
{
    std::lock_guard lock(m_mutex);
    auto it = m_streams.find(key);
    if (it != m_streams.end())
        it->second.servicedUpTo = std::max(it->second.servicedUpTo, sequence);
}

bool Engine::ServicePending() const
{
    std::lock_guard lock(m_mutex);
    return std::any_of(m_streams.begin(), m_streams.end(),
                       [](const auto& entry)
                       {
                           const StreamState& s = entry.second;
                           return s.playing && s.callbacksMade != 0 &&
                                  s.servicedUpTo < s.periodEnds;
                       });
}

bool Engine::IsSupported(ULONG rate) const
{
    return std::find(m_supportedRates.begin(), m_supportedRates.end(), rate) !=
           m_supportedRates.end();
}

void Engine::SetPeriodFrames(ULONG frames)
{
    if (frames == 0)
        throw std::invalid_argument("engine period must be at least one frame");
    std::lock_guard lock(m_mutex);
    m_periodFrames = frames;
}

ULONG Engine::PeriodFrames() const
{
    std::lock_guard lock(m_mutex);
    return m_periodFrames;
}

void Engine::SetSampleRate(ULONG rate)
{
    std::lock_guard lock(m_mutex);
    m_sampleRate = rate;
}

ULONG Engine::SampleRate() const
{
    std::lock_guard lock(m_mutex);
    return m_sampleRate;
}

void Engine::SetSupportedRates(std::vector<ULONG> rates)
{
    std::lock_guard lock(m_mutex);
    m_supportedRates = std::move(rates);
}

std::vector<ULONG> Engine::SupportedRates() const
{
    std::lock_guard lock(m_mutex);
    return m_supportedRates;
}

void Engine::SetFormatResult(ULONG result)
{
    std::lock_guard lock(m_mutex);
    m_formatResult = result;
}

std::vector<EngineCommand> Engine::Commands() const
{
    std::lock_guard lock(m_mutex);
    return m_commands;
}

std::vector<ULONG> Engine::CommandNumbers() const
{
    std::lock_guard lock(m_mutex);
    std::vector<ULONG> numbers;
    numbers.reserve(m_commands.size());
    for (const auto& record : m_commands)
        numbers.push_back(record.command);
    return numbers;
}

std::size_t Engine::CountOf(ULONG command) const
{
    std::lock_guard lock(m_mutex);
    return static_cast<std::size_t>(std::count_if(m_commands.begin(), m_commands.end(),
                                                  [command](const EngineCommand& record)
                                                  { return record.command == command; }));
}

void Engine::SetCommandObserver(CommandObserver observer)
{
    std::lock_guard lock(m_mutex);
    m_observer = std::move(observer);
}

void Engine::ClearCommands()
{
    std::lock_guard lock(m_mutex);
    m_commands.clear();
}

void Engine::ForgetPlayed()
{
    std::lock_guard lock(m_mutex);
    for (auto& [key, stream] : m_streams)
    {
        // Counted as taken, so that later records still say where in the
        // stream's whole output they begin.
        stream.outputTaken += stream.output.size();
        stream.periodsTaken += stream.periods.size();
        std::vector<BYTE>().swap(stream.output);
        std::vector<PeriodRecord>().swap(stream.periods);
        std::vector<std::uint64_t>().swap(stream.startOrders);
    }
}

PlayedOutput Engine::TakeOutput(const StreamKey& key)
{
    std::lock_guard lock(m_mutex);
    PlayedOutput played;
    auto it = m_streams.find(key);
    if (it == m_streams.end())
        return played;
    StreamState& stream = it->second;
    played.outputFrom = stream.outputTaken;
    stream.outputTaken += stream.output.size();
    stream.periodsTaken += stream.periods.size();
    played.output = std::exchange(stream.output, {});
    played.periods = std::exchange(stream.periods, {});
    played.startOrders = std::exchange(stream.startOrders, {});
    played.asOf = NextEventOrder();
    // The next run of output is about as long as this one.
    stream.output.reserve(played.output.size());
    return played;
}

std::optional<StreamState> Engine::Stream(ULONG capture, ULONG deviceIndex, ULONG pin) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_streams.find({capture, deviceIndex, pin});
    if (it == m_streams.end())
        return std::nullopt;
    return it->second;
}

std::vector<StreamKey> Engine::StartedStreams() const
{
    std::lock_guard lock(m_mutex);
    std::vector<StreamKey> started;
    for (const auto& [key, stream] : m_streams)
    {
        if (stream.started)
            started.push_back(key);
    }
    return started;
}

void Engine::SetDevicePosition(ULONGLONG frames)
{
    std::lock_guard lock(m_mutex);
    m_devicePosition = frames;
}

ULONGLONG Engine::DevicePosition() const
{
    std::lock_guard lock(m_mutex);
    return m_devicePosition;
}

std::optional<ENGINE_FORMAT_PARAMS> Engine::AcceptedFormat(ULONG deviceIndex) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_acceptedFormats.find(deviceIndex);
    if (it == m_acceptedFormats.end())
        return std::nullopt;
    return it->second;
}

} // namespace host::engine
