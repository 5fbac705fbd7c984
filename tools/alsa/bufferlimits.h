// The period and buffer sizes the plugin allows, from the engine's period.
//
// The device moves one engine period (P frames) at a time, and the driver
// fills each period a period ahead of the engine: an ALSA period is best a
// whole number of engine periods, and a buffer must hold at least two of
// them or the driver runs dry between two engine callbacks. ALSA's external
// plugin interface constrains these sizes in bytes only, independently of
// the format and channels, so the lists below hold, for every frame size the
// device offers (fb), the byte sizes of k engine periods:
//
//     period bytes   k * P * fb   for k = 1 .. kMostPeriodMultiple
//     buffer bytes   k * P * fb   for k = 2 .. kMostBufferMultiple, and at
//                                 least two engine periods of the largest
//                                 frame, so that every format gets two
//
// ALSA settles on one value of each list, so every client can choose an
// ALSA period of exactly one engine period; a size that is a whole number
// of periods in another frame size (1.5 P of 16-bit stereo is one P of
// 24-bit stereo) cannot be ruled out in bytes and is allowed too.
#pragma once

#include <vector>

namespace nuvalsa
{

constexpr unsigned kMostPeriodMultiple = 16;
constexpr unsigned kMostBufferMultiple = 64;

struct BufferLimits
{
    std::vector<unsigned> periodBytes; // ascending, each once
    std::vector<unsigned> bufferBytes; // ascending, each once
    unsigned minimumPeriods = 2;
    unsigned maximumPeriods = 1024;
};

// `frameSizes` are the device's offered frame sizes in bytes (not empty).
BufferLimits LimitsFor(unsigned periodFrames, const std::vector<unsigned>& frameSizes);

} // namespace nuvalsa
