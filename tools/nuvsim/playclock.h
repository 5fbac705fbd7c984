// The engine's clocks as `nuvsim play` runs its devices on them: until each
// device has played its input and the period after it, stopping each
// stream there, with its client keeping the port supplied and its output
// collected as the run goes (devicerun.h).
//
//   virtual   one thread: the clients feed, positions are read, the device
//             advances a quarter period and its callbacks run the driver's
//             Service at once. Deterministic, and as fast as the driver and
//             the checks go.
//   threaded  the clock on its own thread, the port's Notify through a DPC
//             thread, the clients and the checks on the calling thread;
//             between a period's callbacks and its next take the clock waits
//             for the DPCs, so that a period is late only when the driver was.
//   realtime  the same, paced by the sample rate; the device waits for the
//             DPCs at most until its next step is due (a quarter period), and
//             a half it takes before its Service ran is an underrun.
#pragma once

#include "host/portcls/system.h"
#include "tools/nuvsim/devicerun.h"
#include "tools/nuvsim/play.h"

#include <iosfwd>
#include <memory>
#include <vector>

namespace nuvsim
{

struct ClockRun
{
    ClockKind kind = ClockKind::Threaded;
    unsigned periodFrames = 480;
    bool progress = false; // a progress bar on the error stream
};

// Runs every stream from RUN to its end and leaves each in STOP; false if a
// stream refused a state.
bool RunOnClock(host::System& system, std::vector<std::unique_ptr<DeviceRun>>& runs,
                const ClockRun& how, std::ostream& err);

} // namespace nuvsim
