// The judge of the client tests: does what the device received hold exactly
// the client's audio, converted independently to 32-bit containers (by sox
// or ffmpeg, never by this project's code)?
//
// The device plays on its own clock: before the client's first frame it may
// play silence, and after the last one silence until the client stops it.
// So the played frames must be the expected frames at one offset, with only
// silent frames (every channel 0) before and after: no frame missing,
// repeated, reordered or changed. Two looser rules serve clients that need
// them:
//   - allowShortFrames: the client stopped without draining (speaker-test
//     closes its PCM with up to a buffer of audio unplayed), so the played
//     frames may end up to that many frames before the expected ones do;
//   - gaps: the client ran dry and recovered (an xrun), so silence may also
//     lie between the expected frames; the frames that are not silent must
//     still be the expected ones that are not silent, in order.
//
//     const MatchResult result = MatchOutput(expected, played, {.channels = 2});
//     if (!result.matched) std::cerr << result.text << "\n";
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace nuvalsa
{

struct MatchRules
{
    unsigned channels = 2;
    std::size_t allowShortFrames = 0;
    bool gaps = false;
};

struct MatchResult
{
    bool matched = false;
    std::string text; // what matched where, or the first thing that did not
};

// Both are interleaved 32-bit samples; their sizes must be whole frames.
MatchResult MatchOutput(std::span<const std::int32_t> expected,
                        std::span<const std::int32_t> played, const MatchRules& rules);

} // namespace nuvalsa
