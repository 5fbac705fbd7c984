// Simulated interrupt request level.
//
// Each host thread has its own current IRQL, starting at PASSIVE_LEVEL, which
// the kernel routines (KfRaiseIrql, KeLowerIrql, the spin locks) move and the
// checks read. Tests run code at a level with a scope:
//
//     {
//         host::ScopedIrql atDispatch(DISPATCH_LEVEL);
//         stream->Service();     // PAGED_CODE() in there now fails the test
//     }
//
// Other host components check the documented level of a platform call:
//
//     host::RequireIrqlAtMost(PASSIVE_LEVEL, "PcRegisterSubdevice");
#pragma once

#include <wdm.h>

#include <string>

namespace host
{

// "DISPATCH_LEVEL", "PASSIVE_LEVEL", ... or the number.
std::string IrqlName(KIRQL irql);

// Sets the calling thread's IRQL without any check (for host threads that
// model a caller at a given level, such as a DPC).
void SetCurrentIrql(KIRQL irql);

// Reports an IrqlViolation naming `what` if the calling thread is above
// `highest`; returns whether the level was allowed.
bool RequireIrqlAtMost(KIRQL highest, const char* what);
// The same for a call that needs exactly one level.
bool RequireIrqlExactly(KIRQL level, const char* what);

// Runs the enclosing scope at `irql` and restores the previous level at its
// end, whatever the code inside did to it.
class ScopedIrql
{
public:
    explicit ScopedIrql(KIRQL irql);
    ~ScopedIrql();
    ScopedIrql(const ScopedIrql&) = delete;
    ScopedIrql& operator=(const ScopedIrql&) = delete;

private:
    KIRQL previous_;
};

} // namespace host
