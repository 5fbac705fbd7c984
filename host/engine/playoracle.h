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
#pragma once

#include "host/engine/engine.h"

#include <cstddef>
#include <cstdint>
#include <optional>
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

struct PlayVerdict
{
    std::vector<TakeVerdict> takes;
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
    // frames of the judged output (the inserted silence not counted).
    std::uint64_t ClientBytesPlayed(std::uint64_t outputFrames) const;
    // One letter per take (TakeVerdict::Letter).
    std::string TakeMap() const;
    // A few lines: the counts, the take map, the first findings.
    std::string Summary() const;

    // Client bytes played after each output frame.
    std::vector<std::uint64_t> playedAfterFrame;
};

// Judges the takes stamped after `since` (the stream's opening: the record
// of an engine stream outlives the pins opened on it) and the output they
// played.
PlayVerdict JudgePlayback(const ClientJournal& journal, const StreamState& record,
                          const PlayFormat& format, std::uint64_t since = 0);

} // namespace host::engine
