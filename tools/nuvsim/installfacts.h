// What an installation must register for the filters a started adapter
// registered, one fact a line, for the tools that write and check the
// driver's INF (windows/package/):
//
//     nuvsim devices --install-facts facts.txt
//
//     start STATUS_SUCCESS
//     subdevice NUV_Wave1 wave 0                  reference string, kind, device index
//     interface NUV_Wave1 KSCATEGORY_AUDIO {6994AD04-93EF-11D0-A3CC-00A0C9223196}
//     interface NUV_Wave1 KSCATEGORY_RENDER {65E8773E-8F56-11D0-A3B9-00A0C9223196}
//     name {185FEDFF-9905-11D1-95A9-00C04FB925D3} KSAUDFNAME_PC_SPEAKER NUV_Wave1 pin 0
//     name {B9A541A2-F146-4678-9EDA-232E07896E70} NUV_COMPONENT_NAME NUV_Wave1 component
//
// The interfaces are the device interface classes the port class library
// registers for a subdevice: those its filter descriptor lists, or, when it
// lists none (as this driver's do), KSCATEGORY_AUDIO with KSCATEGORY_RENDER
// for a filter whose streaming pin takes data in (KSCATEGORY_CAPTURE for one
// that gives data out) and KSCATEGORY_TOPOLOGY for a topology filter. The
// names are every name identifier the filters hand out: each pin's and the
// component identifier's, by the platform's or the driver's own name for it.
#pragma once

#include "tools/nuvsim/filterviews.h"

#include <iosfwd>

namespace nuvsim
{

void WriteInstallFacts(std::ostream& out, const DeviceView& device);

} // namespace nuvsim
