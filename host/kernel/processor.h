// ExIsProcessorFeaturePresent: the host processor's features, unless a test
// says otherwise for one of them.
//
//     host::SetProcessorFeatureOverride(PF_SSSE3_INSTRUCTIONS_AVAILABLE, false);
#pragma once

#include <wdm.h>

namespace host
{

void SetProcessorFeatureOverride(ULONG feature, bool present);
void ClearProcessorFeatureOverrides();

} // namespace host
