// The companion USB driver's engine, as a device model.
//
// The audio driver reaches the device only through EngineCall(EngineContext,
// command, block). This model answers the eight commands the driver uses,
// keeps the device's state (period, device-wide sample rate, one record per
// stream) and records every command in the order it arrived, with a copy of
// its block as issued and as answered. Tests drive the model through its own
// API and assert through it (host/test/support/engineexpect.h has the named helpers):
//
//     host::engine::Engine engine;
//     engine.SetPeriodFrames(256);
//     ... start the device, open a stream ...
//     ExpectEngineCommands(engine, {ENGINE_CMD_GET_PERIOD, ENGINE_CMD_SAMPLE_RATE});
//     auto format = engine.LastBlock<ENGINE_FORMAT_PARAMS>();
//
// Commands may arrive at DISPATCH_LEVEL and from several threads; one mutex
// guards the whole state. The registered notification callbacks are never
// called with that mutex held: the clock (next to this class, not in it)
// takes what it needs under the mutex, drops it, then calls back.
//
// Conduct the engine can see is reported as a violation: a null block, START
// of a stream without a buffer or callback, a buffer whose period does not
// match the engine's period and the given channels.
#pragma once

#include <engine/engineinterface.h>

#include <compare>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

namespace host::engine
{

// A block as the engine saw it. monostate: no block (null) or a command the
// engine does not know, whose block size it cannot tell.
using EngineBlock = std::variant<std::monostate, ENGINE_NOTIFY_PARAMS, ENGINE_BUFFER_PARAMS,
                                 ENGINE_STREAM_PARAMS, ENGINE_FORMAT_PARAMS, ENGINE_RATE_PARAMS,
                                 ENGINE_PERIOD_PARAMS, ENGINE_POSITION_PARAMS>;

// One EngineCall, in arrival order.
struct EngineCommand
{
    ULONG command = 0;
    PVOID blockAddress = nullptr;
    EngineBlock issued;   // copied before the engine touched it
    EngineBlock answered; // copied after the engine wrote its answers
    KIRQL irql = PASSIVE_LEVEL;
    std::size_t spinLocksHeld = 0; // by the sending thread
};

// Streams are told apart by (capture, device index, pin), as the stream
// commands address them.
struct StreamKey
{
    ULONG capture = 0;
    ULONG deviceIndex = 0;
    ULONG pin = 0;
    auto operator<=>(const StreamKey&) const = default;
};

// The engine's record of one stream. The fields below "clocked streaming"
// belong to the clock (clock.h), which drives the device's frame counter:
//
//   - every stream plays on the device's period grid (GET_POSITION carries
//     no device index, so the position is the device's): a stream started
//     with its cursor at frame c of a half begins when the device's offset
//     in the period is c (at the next period boundary for a fresh buffer);
//   - at the start of each period the engine takes the half it plays next
//     (a copy: "staging") and plays it frame by frame into `output`; at the
//     end of the period it calls the callback, then takes the next half;
//   - STOP keeps the cursor and what was taken, START resumes there;
//     attaching another buffer starts over at half 0, attaching the one
//     already attached changes nothing, detaching drops everything.
//
// A capture stream gets CaptureSample(n) for its n-th frame's samples,
// written into the half at the end of the period in which it was recorded.
struct PeriodRecord
{
    ULONGLONG index = 0;       // periods begun by this stream before this one
    ULONG half = 0;            // 0 or 1
    ULONGLONG deviceFrame = 0; // the device's frame counter at the take
    bool silent = false;       // render: every byte of the half taken was 0
    bool underrun = false;     // taken before the driver serviced the period before
    std::uint64_t order = 0;   // eventorder.h, at the take
    // Render: the bytes the stream had played at the take (those moved out
    // by TakeOutput included), i.e. where this take's containers begin.
    std::size_t outputBytes = 0;
};

struct StreamState
{
    // REGISTER_NOTIFY
    PENGINE_NOTIFY callback = nullptr;
    PVOID callbackContext = nullptr;
    // ATTACH_BUFFER (all zero when detached)
    PVOID buffer = nullptr;
    ULONG periodBytes = 0;
    ULONG bufferChannels = 0;
    // START / STOP
    bool started = false;
    ULONG channels = 0;
    bool capture = false;
    // Clocked streaming
    ULONGLONG positionFrames = 0; // frames played since the buffer was attached
    ULONGLONG periodCount = 0;    // periods played to their end
    std::vector<BYTE> output;     // render: every container played, in order
    // Bytes of `output` and records of `periods` that TakeOutput moved out
    // (the records' index and outputBytes count them).
    std::uint64_t outputTaken = 0;
    ULONGLONG periodsTaken = 0;
    bool lastTakeSilent = false; // of the take being played
    bool playing = false;        // started and on the grid
    ULONG half = 0;              // the half being played (or next to be taken)
    ULONG cursorFrame = 0;       // frames played of the current period
    std::vector<BYTE> staging;   // the half taken for the current period
    bool judgeTakes = false;     // false until the first take after an attach
    ULONGLONG underruns = 0;
    ULONGLONG silentPeriods = 0;
    ULONGLONG callbacksMade = 0;
    ULONGLONG periodEnds = 0;   // sequence number of the last period end
    ULONGLONG servicedUpTo = 0; // the last period end whose service has run
    ULONGLONG captureFrames = 0;
    std::vector<PeriodRecord> periods;
    // The eventorder.h stamp of the first START on each buffer attached:
    // the engine's first take of a buffer follows it. (A START that resumes
    // a stream goes on with the halves as they stand.)
    std::vector<std::uint64_t> startOrders;
    bool freshBuffer = false; // attached, not yet started
    // Callbacks running now, and on which thread (the clock's).
    int callbacksInFlight = 0;
};

// What one stream played since the last TakeOutput: containers from byte
// `outputFrom` of its whole output on, the takes made, and the STARTs on a
// fresh buffer stamped. A judge that runs beside the stream
// (playoracle.h's PlayJudge) takes these in turn, so that nothing grows
// with the length of a run.
struct PlayedOutput
{
    std::uint64_t outputFrom = 0;
    std::vector<BYTE> output;
    std::vector<PeriodRecord> periods;
    std::vector<std::uint64_t> startOrders;
    // The eventorder.h stamp of the take: everything the stream played
    // before it is in this part or an earlier one (0: not said).
    std::uint64_t asOf = 0;
};

// The sample value a capture stream's n-th frame carries on channel c.
ULONG CaptureSample(ULONGLONG frame, ULONG channel);

// Where the device stood when it answered a GET_POSITION: the ground truth
// a reported position is judged against (positionjudge.h). Taken under the
// engine's mutex, so nothing played between the answer and this record.
struct PositionQuery
{
    std::uint64_t order = 0;   // eventorder.h, at the answer
    ULONGLONG deviceFrame = 0; // the device's frame counter (64 bits)
    // Every render stream the engine knows, and how many bytes of
    // containers each had played (those TakeOutput moved out included).
    std::vector<std::pair<StreamKey, std::size_t>> outputBytes;

    std::optional<std::size_t> OutputBytes(const StreamKey& key) const;
};

// A callback the clock must make now, taken from the record under the
// engine's mutex and made after it was dropped.
struct DueCallback
{
    StreamKey key;
    PENGINE_NOTIFY callback = nullptr;
    PVOID context = nullptr;
    ULONGLONG sequence = 0; // the period end it reports
};

class Engine
{
public:
    static constexpr ULONG kDefaultPeriodFrames = 480;
    static constexpr ULONG kDefaultSampleRate = 48000;
    static constexpr ULONG kBytesPerContainer = 4;

    Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // The values the companion driver puts into ENGINE_INTERFACE.
    static NTSTATUS NTAPI Call(PVOID engineContext, ULONG command, PVOID parameters);
    PENGINE_CALL EntryPoint() const { return &Engine::Call; }
    PVOID Context() { return this; }

    // What Call does, without the context: record, check, answer.
    NTSTATUS Execute(ULONG command, PVOID parameters);

    // --- configuration (tests) ---------------------------------------------
    // Frames per period; at least 1 (0 throws std::invalid_argument).
    void SetPeriodFrames(ULONG frames);
    ULONG PeriodFrames() const;
    // The device-wide rate; SAMPLE_RATE only changes it to a supported rate.
    void SetSampleRate(ULONG rate);
    ULONG SampleRate() const;
    void SetSupportedRates(std::vector<ULONG> rates);
    std::vector<ULONG> SupportedRates() const;
    // Written into ENGINE_FORMAT_PARAMS.Result by every SET_FORMAT.
    void SetFormatResult(ULONG result);

    // --- observation (tests) -----------------------------------------------
    std::vector<EngineCommand> Commands() const;
    // Called with each command's number once the engine has answered it, on
    // the sending thread and without the engine's mutex (a test may send
    // commands or drive the driver from there). Empty: none.
    using CommandObserver = std::function<void(ULONG command)>;
    void SetCommandObserver(CommandObserver observer);
    std::vector<ULONG> CommandNumbers() const;
    std::size_t CountOf(ULONG command) const;
    void ClearCommands();
    // Drops every stream's played output and period records, which grow with
    // every period played: for long runs (fuzzers) that never read them.
    void ForgetPlayed();
    // Moves out what the stream played since the last take, with its period
    // records (empty for a stream the engine does not know): a run judged as
    // it comes (nuvsim) or a client that runs for as long as its user likes
    // (the ALSA plugin) passes the output on as it plays, and the record does
    // not grow.
    PlayedOutput TakeOutput(const StreamKey& key);

    // The last block of type Block as issued, of any command or of the given
    // one (START and STOP share ENGINE_STREAM_PARAMS).
    template <class Block> std::optional<Block> LastBlock() const
    {
        return LastIssued<Block>([](ULONG) { return true; });
    }
    template <class Block> std::optional<Block> LastBlock(ULONG command) const
    {
        return LastIssued<Block>([command](ULONG c) { return c == command; });
    }

    std::optional<StreamState> Stream(ULONG capture, ULONG deviceIndex, ULONG pin) const;
    std::vector<StreamKey> StartedStreams() const;
    // Frames the device has run through; GET_POSITION answers this. The
    // clock advances it; tests may set it directly until the clock exists.
    void SetDevicePosition(ULONGLONG frames);
    ULONGLONG DevicePosition() const;
    // The last GET_POSITION the calling thread sent, as the engine answered
    // it (nullopt: none yet).
    std::optional<PositionQuery> LastPositionQuery() const;
    // The last format each device index accepted through SET_FORMAT.
    std::optional<ENGINE_FORMAT_PARAMS> AcceptedFormat(ULONG deviceIndex) const;

    // --- the clock's side (clock.h) -------------------------------------------
    // Starts every started stream that is due at the device's current frame
    // and takes the half each playing stream needs at a period start.
    void TakeDueHalves();
    // Advances the device by at most `frames`, stopping early at the next
    // frame where something happens (a period boundary, a waiting stream's
    // resume point). Returns the frames advanced; the callbacks that became
    // due at a period end are appended to `due`, each counted as in flight
    // until CallbackReturned.
    ULONG AdvanceDevice(ULONG frames, std::vector<DueCallback>& due);
    void CallbackReturned(const StreamKey& key);
    // The service that the callback of period end `sequence` asked for ran.
    void MarkServiced(const StreamKey& key, ULONGLONG sequence);
    // Whether a callback made is still waiting for its service.
    bool ServicePending() const;

private:
    template <class Block, class Match> std::optional<Block> LastIssued(Match match) const
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_commands.rbegin(); it != m_commands.rend(); ++it)
        {
            if (match(it->command) && std::holds_alternative<Block>(it->issued))
                return std::get<Block>(it->issued);
        }
        return std::nullopt;
    }

    // Each runs with m_mutex held, answers into the block and leaves what it
    // found wrong in m_problems, which Execute reports after unlocking.
    void Answer(ULONG command, PVOID parameters);
    void RegisterNotify(ENGINE_NOTIFY_PARAMS& block);
    void AttachBuffer(ENGINE_BUFFER_PARAMS& block);
    void Start(ENGINE_STREAM_PARAMS& block);
    void Stop(ENGINE_STREAM_PARAMS& block);
    void SetFormat(ENGINE_FORMAT_PARAMS& block);
    void SampleRateCommand(ENGINE_RATE_PARAMS& block);
    void GetPeriod(ENGINE_PERIOD_PARAMS& block);
    void GetPosition(ENGINE_POSITION_PARAMS& block);
    bool IsSupported(ULONG rate) const;
    // With `lock` held: waits until no callback of the stream (or of any
    // stream, for `key` null) is in flight on another thread.
    void WaitForCallbacks(std::unique_lock<std::mutex>& lock, const StreamKey* key);
    void TakeHalf(StreamState& stream);
    void EndPeriod(const StreamKey& key, StreamState& stream, std::vector<DueCallback>& due);

    mutable std::mutex m_mutex;
    std::condition_variable m_callbackDone;
    // The thread making callbacks now (the clock's), if any.
    std::thread::id m_callbackThread;
    ULONG m_periodFrames = kDefaultPeriodFrames;
    ULONG m_sampleRate = kDefaultSampleRate;
    std::vector<ULONG> m_supportedRates;
    ULONG m_formatResult = 0;
    ULONGLONG m_devicePosition = 0;
    std::map<ULONG, ENGINE_FORMAT_PARAMS> m_acceptedFormats;
    std::map<StreamKey, StreamState> m_streams;
    std::map<std::thread::id, PositionQuery> m_lastPositionQueries;
    std::vector<EngineCommand> m_commands;
    std::vector<std::string> m_problems;
    CommandObserver m_observer;
};

// A command's name for messages ("GET_PERIOD", or the number if unknown).
std::string CommandName(ULONG command);

} // namespace host::engine
