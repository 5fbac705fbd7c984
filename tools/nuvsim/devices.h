// `nuvsim devices` and `nuvsim start`: start the adapter on the host system
// and show what the operating system would see of it.
#pragma once

#include "tools/nuvsim/filterviews.h"
#include "tools/nuvsim/driverchoice.h"

#include <iosfwd>
#include <string>

namespace nuvsim
{

// Everything: pairs, each filter's pins, nodes, connections and component
// identifier, then the physical connections.
void PrintDevices(std::ostream& out, const DeviceView& device);

// A few lines: the start's status and the subdevices registered.
void PrintStartSummary(std::ostream& out, const DeviceView& device);

struct DevicesOptions
{
    bool withoutWdm6 = false; // start as on a system older than WDM 6.0
    std::string dotFile;      // also write the graph here, if not empty
    std::string factsFile;    // also write the install facts here (installfacts.h)
    DriverOption driver;
};

// The subcommands. Each returns the process's exit code: 0 when the start
// succeeded (and the graph could be written).
int RunDevices(const DevicesOptions& options, std::ostream& out, std::ostream& err);
int RunStart(const DevicesOptions& options, std::ostream& out, std::ostream& err);

} // namespace nuvsim
