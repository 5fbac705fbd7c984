// ResetKernelState: one call that puts every part of the host kernel back.
#include "host/kernel/hostkernel.h"

namespace host
{

void ResetKernelState(bool reportLeaksFirst)
{
    if (reportLeaksFirst)
        Pool().ReportLeaks();
    ClearFaultPlans();
    ResetViolationCounts();
    Pool().Reset();
    SetCurrentIrql(PASSIVE_LEVEL);
    ForgetHeldSpinLocks();
    ForgetLockOrder();
    ClearProcessorFeatureOverrides();
    SetWdm60Available(true);
}

} // namespace host
