// The judge of what a render stream's device played: every frame the client
// sent, once, in order, converted exactly; silence only where the client's
// data came late.
//
// From what the client did (ClientJournal, which the port stream keeps: its
// bytes in stream order, when each was written, what it cancelled and what
// STOP took back) and what the engine took out of the transfer buffer (the
// stream's StreamState: the containers played and a PeriodRecord per take),
// JudgePlayback walks the device's output frame by frame. Each frame is
//
//   (a) the client's next frame, converted (each little-endian sample s of
//       B bytes as the 32-bit container s << (32 - 8 B)), or
//   (b) silence (every container 0), allowed only where the client's next
//       frame was not yet written when the stream decided what the half
//       would hold: at the Service before the take, or, for the engine's
//       first take of a buffer, at the START on that buffer; or
//   (c) anything else: a finding. A frame the client wrote earlier played
//       again (duplicate, reordered, a stale half), frames passed over while
//       queued in time, a frame no client frame converts to (a shifted or
//       torn sample), silence while the data was there.
//
// What the design drops on purpose comes from the marks, not from a looser
// rule. "The client's next frame" skips what a cut took away: a cancel takes
// back the queued buffers [from, to), of which the stream may already have
// moved the part the port had handed out ([from, handedOut)); it plays a
// prefix of that part, in whole frames, and then goes on at `to`, frames
// counted afresh from there. A STOP takes back everything written before it
// and not yet played: the first take after it starts with the frames after
// it. Silence where the client's next frame is digital silence too counts as
// that frame if it was written in time, as inserted silence otherwise.
//
// A take the engine made before the Service of the period end before it had
// run (PeriodRecord::underrun: a late DPC) is a glitch the design cannot
// always avoid: what is wrong there, and in the take right after, is
// reported as a glitch, not a finding, and the walk goes on from where the
// device went on, so the frames after the glitch are judged again.
//
//     host::engine::PlayVerdict verdict =
//         host::engine::JudgePlayback(port.Journal(), *engine.Stream(0, 0, 0),
//                                     {.channels = 2, .bytesPerSample = 2}, port.OpenOrder());
//     EXPECT_TRUE(verdict.Clean()) << verdict.Summary();
//
// The verdict also says, for every output frame, how many client bytes the
// device had played by then: the ground truth a reported position is
// compared with.
//
// The same judge runs beside a stream of any length (PlayJudge): it takes
// the client's journal and the device's output in parts as they come
// (PortStream::TakeJournal, Engine::TakeOutput), judges each take once the
// journal covers the moment it was made, and forgets what no later frame can
// need, so that what it holds does not grow with the run:
//
//     host::engine::PlayJudge judge(pin->ClientFormat(), port.OpenOrder(),
//                                   host::engine::JudgeLimits::Streaming());
//     while (...) {                                  // now and then
//         judge.AddClient(port.TakeJournal());       // the journal first
//         judge.AddPlayed(engine.TakeOutput(key));
//     }
//     judge.Finish();
//     const host::engine::PlayVerdict& verdict = judge.Verdict();
#pragma once

#include "host/engine/engine.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace host::engine
{

// What a client did with a render stream, as the port saw it. Every stamp
// is an eventorder.h stamp.
struct ClientJournal
{
    // Every byte the client wrote, in stream order.
    std::vector<std::uint8_t> bytes;
    // Bytes [previous end, end) were written at `order`.
    struct Write
    {
        std::uint64_t order = 0;
        std::uint64_t end = 0;
    };
    std::vector<Write> writes;
    // Buffers taken back: by a cancel, or at STOP (atStop). Bytes [from, to)
    // were queued; the port had handed out [from, handedOut) of them.
    struct Cut
    {
        std::uint64_t order = 0;
        std::uint64_t from = 0;
        std::uint64_t to = 0;
        std::uint64_t handedOut = 0;
        bool atStop = false;
    };
    std::vector<Cut> cuts;
    // When each Service call of the stream began.
    std::vector<std::uint64_t> services;

    // Of a part of the journal (PortStream::TakeJournal): the client stream
    // byte that bytes[0] is, and the stamp taken when the part was cut off;
    // every event before it is in this part or an earlier one. A whole
    // journal starts at byte 0 and is complete.
    static constexpr std::uint64_t kComplete = ~0ull;
    std::uint64_t firstByte = 0;
    std::uint64_t asOf = kComplete;
};

struct PlayFormat
{
    unsigned channels = 2;
    unsigned bytesPerSample = 2; // B: 2, 3 or 4
};

enum class FindingKind
{
    Gap,     // silence while the client's next frame was written in time
    Repeat,  // a frame the client wrote before the next one, played again
    Skip,    // the client's next frames passed over, a later one played
    Corrupt, // a frame that no frame of the client converts to
};

const char* FindingName(FindingKind kind);

struct Finding
{
    FindingKind kind = FindingKind::Corrupt;
    std::size_t take = 0;                      // index in the judged takes
    std::uint64_t outputFrame = 0;             // of the judged output
    std::uint64_t expectedOffset = 0;          // client stream byte of the frame due
    std::optional<std::uint64_t> playedOffset; // of the frame played, if the client wrote it
    std::string Describe(unsigned frameBytes) const;
};

// One take: what the device played from it.
struct TakeVerdict
{
    std::uint64_t frames = 0;                       // played of it (STOP may cut a take short)
    std::uint64_t clientFrames = 0;                 // (a)
    std::uint64_t silentFrames = 0;                 // (b)
    std::uint64_t badFrames = 0;                    // (c), findings or glitches
    std::optional<std::uint64_t> firstClientOffset; // of its first (a) frame
    bool late = false;                              // PeriodRecord::underrun
    // 'a' client frames only, '-' silence only, 'p' both, 'L' a glitch at a
    // late take, 'X' a finding, '.' nothing played.
    char Letter() const;
};

// Client bytes played over the judged output, as runs: from output frame
// `frame` on, each frame adds one client frame (rising) or nothing, and
// `bytes` had been played before it.
struct PlayedRun
{
    std::uint64_t frame = 0;
    std::uint64_t bytes = 0;
    bool rising = false;
};

struct PlayVerdict
{
    // The first JudgeLimits::keptTakes takes (all of them, judged whole),
    // of takeCount.
    std::vector<TakeVerdict> takes;
    std::uint64_t takeCount = 0;
    static constexpr std::size_t kKeptFindings = 16;
    std::vector<Finding> findings; // the first kKeptFindings
    std::size_t findingCount = 0;
    std::vector<Finding> glitches; // the first kKeptFindings, at late takes
    std::size_t glitchCount = 0;
    std::uint64_t framesPlayed = 0;
    std::uint64_t clientFramesPlayed = 0;
    std::uint64_t silentFrames = 0;
    unsigned clientFrameBytes = 0;

    // No finding and no glitch.
    bool Clean() const { return findingCount == 0 && glitchCount == 0; }
    // No finding; glitches only at late takes (and the take after each).
    bool NoFindings() const { return findingCount == 0; }
    // The first take with a finding.
    std::optional<std::size_t> FirstBadTake() const;
    // Client bytes the device had played when it had played `outputFrames`
    // frames of the judged output (the inserted silence not counted). A
    // judge that runs beside a stream keeps the recent runs only (before
    // the first one kept: the bytes at its start).
    std::uint64_t ClientBytesPlayed(std::uint64_t outputFrames) const;
    // One letter per take kept (TakeVerdict::Letter).
    std::string TakeMap() const;
    // A few lines: the counts, the take map, the first findings.
    std::string Summary() const;

    std::vector<PlayedRun> played;
};

// The client bytes a render stream's device had played since its last
// STOP (a position counts from there), and which run of the stream that is:
// 0 until the first STOP, one more after each.
struct PlayedSinceStop
{
    std::uint64_t bytes = 0;
    std::size_t run = 0;
};

// What a judge beside a stream keeps; the defaults keep everything, as a
// judgement of a whole run does.
struct JudgeLimits
{
    static constexpr std::uint64_t kAll = std::numeric_limits<std::uint64_t>::max();
    // Client bytes kept behind the frame due, where a frame played out of
    // turn is looked for: one found there is a Repeat or a Skip, one from
    // further back a Corrupt frame.
    std::uint64_t lookBehindBytes = kAll;
    std::uint64_t keptTakes = kAll;
    std::uint64_t keptPlayedRuns = kAll; // the older half goes when exceeded
    // 1 MiB behind (at least several periods of any stream), the first 200
    // takes, 4096 runs.
    static JudgeLimits Streaming();
};

// Judges a stream's takes as their parts arrive (see the top of this file).
// Everything before Finish may arrive in any number of parts; each kind in
// order, the journal's parts each at least as recent as the output's.
class PlayJudge
{
public:
    // Judges the takes stamped after `since` (the stream's opening: the
    // record of an engine stream outlives the pins opened on it).
    explicit PlayJudge(const PlayFormat& format, std::uint64_t since = 0, JudgeLimits limits = {});
    ~PlayJudge();
    PlayJudge(const PlayJudge&) = delete;
    PlayJudge& operator=(const PlayJudge&) = delete;

    void AddClient(const ClientJournal& part);
    void AddPlayed(const PlayedOutput& part);
    // The same from a stream's record: `output` begins at byte `outputFrom`
    // of the stream's whole output (`asOf`: PlayedOutput's).
    void AddPlayed(std::uint64_t outputFrom, std::span<const BYTE> output,
                   std::span<const PeriodRecord> takes, std::span<const std::uint64_t> starts,
                   std::uint64_t asOf = 0);
    // Nothing more comes: judges what waits.
    void Finish();

    // Complete after Finish; before it, up to the frames judged so far.
    const PlayVerdict& Verdict() const;
    std::uint64_t FramesJudged() const;
    // About how many bytes the judge holds now (what it must not let grow).
    std::size_t HeldBytes() const;

    // The truth a position read at `order` is judged against
    // (positionjudge.h): the client bytes the device had played, since the
    // last STOP before `order`, when the stream's output had reached byte
    // `outputBytes` of its whole output (TakeOutput's earlier parts
    // counted). Nullopt until the judge can tell: the output judged that
    // far, the journal as recent as `order`, and what each STOP before it
    // ended. After Finish, always.
    std::optional<PlayedSinceStop> PlayedAt(std::uint64_t order, std::uint64_t outputBytes) const;
    // Keeps the record of the client bytes played (PlayVerdict::played) from
    // output byte `outputBytes` on, however many runs that is, for the
    // questions still to come; nullopt lets go.
    void HoldPlayedFrom(std::optional<std::uint64_t> outputBytes);

private:
    class Walk;
    std::unique_ptr<Walk> m_walk;
};

// Judges the takes stamped after `since` (see PlayJudge) and the output they
// played: the whole journal, the whole record.
PlayVerdict JudgePlayback(const ClientJournal& journal, const StreamState& record,
                          const PlayFormat& format, std::uint64_t since = 0);

} // namespace host::engine
