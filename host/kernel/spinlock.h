// Host spin locks: real mutual exclusion between host threads, with the
// checks of a checked kernel.
//
// A KSPIN_LOCK holds the owner's thread identity (0 when free), set with an
// atomic compare-exchange; waiters spin with a pause and then yield. The
// acquire raises the simulated IRQL to DISPATCH_LEVEL and the release lowers
// it. Misuse is a conduct violation: release of a lock not held or held by
// another thread, recursive acquisition, a call at a level the routine
// forbids.
//
// Each thread also keeps the locks it holds in the order it took them, so
// the host can check that none is held where none may be:
//
//     EXPECT_EQ(host::HeldSpinLockCount(), 0u);
//
// Every acquisition made while other locks are held is also recorded in a
// process-wide lock-order graph; one that closes a cycle (B wanted while A
// is held, after A was once wanted while B was held, directly or through
// other locks) is a Custom violation whose message starts with "LockOrder".
#pragma once

#include <wdm.h>

#include <cstddef>
#include <vector>

namespace host
{

// Locks the calling thread holds, oldest acquisition first.
std::size_t HeldSpinLockCount();
std::vector<const KSPIN_LOCK*> HeldSpinLocks();

// Forgets the calling thread's held locks (for a test fixture cleaning up
// after a test that failed while holding one). The locks are not released.
void ForgetHeldSpinLocks();

// The lock-order graph (see spinlock.cpp): forgets every recorded order, for
// a new test; and the number of recorded orders (edges).
void ForgetLockOrder();
std::size_t LockOrderEdgeCount();

// Forgets the orders of every lock in [begin, begin + bytes): the pool calls
// it for each block it frees. A driver built for Windows initialises its
// locks with an inline store (the kernel never sees KeInitializeSpinLock),
// so without this an object allocated later at a freed object's address
// would inherit the old lock's orders and could close a cycle that no two
// real locks ever formed.
void ForgetLockOrderWithin(const void* begin, std::size_t bytes);

// The identity the calling thread stores in a lock it owns; never 0.
ULONG_PTR CurrentThreadLockOwner();

} // namespace host
