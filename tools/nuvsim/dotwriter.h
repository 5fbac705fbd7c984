// The filters of a started adapter as a Graphviz graph: one cluster per
// filter with its pins and nodes, the filter's own connections inside it and
// the physical connections between the clusters.
//
//     nuvsim devices --dot devices.dot && dot -Tpng devices.dot -o devices.png
#pragma once

#include "tools/nuvsim/filterviews.h"

#include <iosfwd>

namespace nuvsim
{

void WriteDot(std::ostream& out, const DeviceView& device);

} // namespace nuvsim
