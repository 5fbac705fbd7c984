// `nuvsim play`: a file (or the built-in test signal) through the whole
// driver as a client plays it, and what the device received.
//
//     nuvsim play --device 4 --output out.wav music.flac
//
// The adapter starts on a host system; the client intersects its format
// with pin 0 of NUV_Wave<device>, opens the pin with the file's format, takes
// the stream STOP -> ACQUIRE -> PAUSE -> RUN, and keeps the port supplied
// with buffers of --buffer-ms while the engine's threaded clock runs (as fast
// as it can, or in real time). When the last sample and the period after it
// have played, the stream goes back to STOP, the pin closes and the system
// shuts down. With a schedule (--schedule "write 2p, wait 3p, rest 333")
// the client follows it on the virtual clock instead, so that an underrun,
// a pause or a cancel happens exactly where the schedule says. Either way
// the oracle over the device's output (host/engine/playoracle.h) judges what
// was played.
#pragma once

#include "tools/nuvsim/driverchoice.h"

#include <iosfwd>
#include <string>

namespace nuvsim
{

struct PlayOptions
{
    std::string input;  // empty: the built-in test signal
    std::string output; // the device output as a 32-bit WAV, if set
    std::string trace;  // a Chrome trace-event JSON, if set
    int device = 1;
    unsigned periodFrames = 480;
    unsigned mappingBytes = 4096; // the port's largest mapping
    unsigned bufferMs = 10;       // the client's buffer size
    bool realtime = false;
    bool quiet = false; // no progress, no summary
    DriverOption driver;
    // The client's timing (host/client/schedule.h), played on the virtual
    // clock instead of the threaded one; empty: keep the port supplied.
    std::string schedule;
};

// Exit codes.
constexpr int kPlayedClean = 0;
// Played, but the device output differs from the input or the driver left
// problems behind.
constexpr int kPlayedWithFaults = 1;
// Nothing played: bad options, an unreadable input, a format the device
// refuses, an output that cannot be written.
constexpr int kNotPlayed = 2;

int RunPlay(const PlayOptions& options, std::ostream& out, std::ostream& err);

} // namespace nuvsim
