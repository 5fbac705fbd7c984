// Starts the adapter on a fresh host system and collects what the
// operating system would see of it.
#pragma once

#include "host/portcls/system.h"
#include "tools/nuvsim/filterviews.h"

#include <iosfwd>
#include <optional>

namespace nuvsim
{

// Loads the driver (the host build or an image), adds and starts the device, and reads the
// registered subdevices, their filter descriptions and component identifiers, and the physical
// connections. Empty (with a message on `err`) if the driver could not even be loaded or added; a
// failed start is reported in the view.
std::optional<DeviceView> StartAndCollect(const host::DriverBinary& driver, bool withoutWdm6,
                                          std::ostream& err);

} // namespace nuvsim
