// `nuvsim play`: files (or the built-in test signal) through the whole
// driver as clients play them, on up to four devices at once, and what each
// device received.
//
//     nuvsim play --device 4 --output out.wav music.flac
//     nuvsim play --device 1 a.wav --device 4 b.flac --clock virtual
//     nuvsim play --device all --clock realtime
//
// The adapter starts on a host system; for each device the client
// intersects its format with pin 0 of NUV_Wave<device> and opens the pin
// with the file's format; every pin is open before anything plays, so a
// refused stream stops the run with nothing played. Then each stream goes
// STOP -> ACQUIRE -> PAUSE -> RUN and its client keeps the port supplied
// with buffers of --buffer-ms, read from the input as they are needed, while
// the engine's clock runs (playclock.h: virtual, threaded as fast as it
// goes, or threaded in real time). When a device has played its input and
// the period after it, its stream goes back to STOP; when all have, the pins
// close and the system shuts down. With a schedule (--schedule "write 2p,
// wait 3p, rest 333") one client follows it on the virtual clock instead,
// so that an underrun, a pause or a cancel happens exactly where the
// schedule says. Either way the oracle over each device's output
// (host/engine/playoracle.h) judges what was played, beside the stream, so
// that no run holds more than a few periods of audio (devicerun.h).
#pragma once

#include "tools/nuvsim/driverchoice.h"
#include "tools/nuvsim/playplan.h"

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace nuvsim
{

// What paces the device (host/engine/clock.h).
enum class ClockKind
{
    Virtual,  // one thread, deterministic, as fast as it goes
    Threaded, // the clock's own thread and a DPC thread, as fast as it goes
    Realtime, // the same, paced by the sample rate
};

struct PlayOptions
{
    // --device, INPUT and --output, in the order written (playplan.h).
    std::vector<PlayArgument> streams;
    std::string trace; // a Chrome trace-event JSON, if set
    unsigned periodFrames = 480;
    unsigned mappingBytes = 4096;   // the port's largest mapping
    unsigned bufferMs = 10;         // the client's buffer size
    std::optional<ClockKind> clock; // none given: threaded (a schedule: virtual)
    bool quiet = false;             // no progress, no summary
    DriverOption driver;
    // The client's timing (host/client/schedule.h), played on the virtual
    // clock; empty: keep the port supplied.
    std::string schedule;
    // The test signal: its length, rate and width (its channels: 2, or 6 on
    // device 4).
    double signalSeconds = 3.0;
    unsigned signalRate = 48000;
    unsigned signalBits = 24;
};

// Exit codes.
constexpr int kPlayedClean = 0;
// Played, but a device's output differs from its input or the driver left
// problems behind.
constexpr int kPlayedWithFaults = 1;
// Nothing played: bad options, an unreadable input, a format a device
// refuses, an output that cannot be written.
constexpr int kNotPlayed = 2;

int RunPlay(const PlayOptions& options, std::ostream& out, std::ostream& err);

// "virtual", "threaded", "realtime".
const char* ClockName(ClockKind clock);

} // namespace nuvsim
