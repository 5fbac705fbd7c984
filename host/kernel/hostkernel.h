// The host kernel's C++ API for tests, fixtures and tools: conduct checks,
// pool bookkeeping, fault injection, simulated IRQL, spin-lock state, the
// I/O manager's objects and the processor-feature overrides. The driver
// itself sees only the kernel routines of <wdm.h>.
//
// A test fixture typically starts from a clean kernel and checks its own
// tags at the end:
//
//     void SetUp() override { host::ResetKernelState(); }
//     void TearDown() override { host::Pool().ReportLeaks({host::Tag("PcCr")}); }
#pragma once

#include "host/kernel/conduct.h"
#include "host/kernel/drivercall.h"
#include "host/kernel/event.h"
#include "host/kernel/faults.h"
#include "host/kernel/iomanager.h"
#include "host/kernel/irql.h"
#include "host/kernel/pool.h"
#include "host/kernel/processor.h"
#include "host/kernel/spinlock.h"

namespace host
{

// Back to a clean kernel for the calling thread and the process: fault plans
// disarmed, violation counts cleared, pool counts restarted (see
// PoolTracker::Reset; with reportLeaksFirst, blocks still outstanding are
// reported as leaks before), this thread at PASSIVE_LEVEL holding no lock in
// the books, the lock-order graph forgotten, processor-feature overrides
// cleared, WDM 6.0 available. The violation handler stays as installed.
void ResetKernelState(bool reportLeaksFirst = false);

} // namespace host
