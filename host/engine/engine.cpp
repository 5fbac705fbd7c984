#include "host/engine/engine.h"

#include "host/kernel/conduct.h"

#include <algorithm>
#include <stdexcept>

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
{
    if (engineContext == nullptr)
    {
        ReportEngineViolation(CommandName(command) + " sent with a null engine context");
        return STATUS_INVALID_PARAMETER;
    }
    return static_cast<Engine*>(engineContext)->Execute(command, parameters);
}

NTSTATUS Engine::Execute(ULONG command, PVOID parameters)
{
    EngineCommand record;
    record.command = command;
    record.blockAddress = parameters;
    record.issued = CopyBlock(command, parameters);
    record.irql = KeGetCurrentIrql();

    std::unique_lock lock(m_mutex);
    if (parameters == nullptr)
        m_problems.push_back(CommandName(command) + " sent without a parameter block");
    else
        Answer(command, parameters);
    record.answered = CopyBlock(command, parameters);
    m_commands.push_back(std::move(record));

    // Reported without the mutex: a handler may look at the engine.
    std::vector<std::string> problems;
    problems.swap(m_problems);
    lock.unlock();
    for (const auto& problem : problems)
        ReportEngineViolation(problem);

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
    // Both null clears; a cleared callback is not called again.
    stream.callback = block.Callback;
    stream.callbackContext = block.CallbackContext;
}

void Engine::AttachBuffer(ENGINE_BUFFER_PARAMS& block)
{
    const StreamKey key{block.Capture, block.DeviceIndex, block.Pin};
    StreamState& stream = m_streams[key];
    const bool detach =
        block.Buffer == nullptr && block.PeriodBytes == 0 && block.BufferChannels == 0;
    if (detach)
    {
        stream.buffer = nullptr;
        stream.periodBytes = 0;
        stream.bufferChannels = 0;
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
    stream.buffer = block.Buffer;
    stream.periodBytes = block.PeriodBytes;
    stream.bufferChannels = block.BufferChannels;
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
}

void Engine::Stop(ENGINE_STREAM_PARAMS& block)
{
    // Capture values other than 0 and 1 (the power-down STOP sends 4) stop
    // every stream of the device.
    if (block.Capture > 1)
    {
        for (auto& [key, stream] : m_streams)
            stream.started = false;
        return;
    }
    auto it = m_streams.find({block.Capture, block.DeviceIndex, block.Pin});
    if (it != m_streams.end())
        it->second.started = false;
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

void Engine::ClearCommands()
{
    std::lock_guard lock(m_mutex);
    m_commands.clear();
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
