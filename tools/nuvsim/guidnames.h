// Names of the identifiers a filter description holds, as the platform's
// headers spell them, for printing.
#pragma once

#include "host/kernel/guidstring.h"

#include <ntdef.h>

#include <string>

namespace nuvsim
{

// "KSNODETYPE_SPEAKER", "PINNAME_OUTPUT_3", ... or the GUID in braces when
// the table does not know it.
std::string GuidName(const GUID& guid);

// "{DFF21CE1-F70F-11D0-B917-00A0C9223196}".
using host::GuidString;

} // namespace nuvsim
