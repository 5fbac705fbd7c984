// `nuvsim formats`: which formats each device accepts, as a person reads it.
//
// Nothing here is copied from the driver's tables by hand. The rule table
// comes from probing the driver's format check (CheckWaveFormat) along each
// dimension; the device table from pin 0's data range as the port read it,
// the filter's proposal for a client that offers everything, and actual
// stream opens over a grid of channels, widths and rates.
#pragma once

#include "tools/nuvsim/driverchoice.h"

#include <iosfwd>

namespace nuvsim
{

// With an image, the format check probed is the image's own, found by its
// symbols (its symbol table, or its PDB); an image without them cannot be
// probed, which is said with the reason, and the device table follows
// alone.
int RunFormats(const DriverOption& driver, std::ostream& out, std::ostream& err);

} // namespace nuvsim
