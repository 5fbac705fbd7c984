// `nuvsim formats`: which formats each device accepts, as a person reads it.
//
// Nothing here is copied from the driver's tables by hand. The rule table
// comes from probing the driver's format check (CheckWaveFormat) along each
// dimension; the device table from pin 0's data range as the port read it,
// the filter's proposal for a client that offers everything, and actual
// stream opens over a grid of channels, widths and rates.
#pragma once

#include <iosfwd>

namespace nuvsim
{

int RunFormats(std::ostream& out, std::ostream& err);

} // namespace nuvsim
