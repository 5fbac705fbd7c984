// KeInitializeSpinLock and the acquire/release routines.
//
// The fast path is one compare-exchange and a push onto a thread-local
// vector; bookkeeping beyond that belongs to the checks that fail.
#include "host/kernel/spinlock.h"

#include "host/kernel/conduct.h"
#include "host/kernel/irql.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace host
{
namespace
{

std::atomic<ULONG_PTR> nextOwner{1};

// Identities are handed out once per thread and never reused, so a lock
// left held by a thread that ended cannot look owned by a new one.
thread_local const ULONG_PTR selfOwner = nextOwner.fetch_add(1, std::memory_order_relaxed);

// Held locks in order of acquisition. A lock-order check builds on this
// order: each acquisition sees every lock the thread already holds.
thread_local std::vector<const KSPIN_LOCK*> heldLocks;

constexpr int kSpinsBeforeYield = 64;

std::atomic_ref<ULONG_PTR> LockWord(PKSPIN_LOCK lock)
{
    return std::atomic_ref<ULONG_PTR>(*lock);
}

std::string LockName(const KSPIN_LOCK* lock)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%p", static_cast<const void*>(lock));
    return std::string("spin lock ") + text;
}

void Pause()
{
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
}

// Reports a recursive acquisition and returns true; the caller then does not
// spin on a lock it can never get.
bool IsRecursive(PKSPIN_LOCK lock, const char* function)
{
    if (LockWord(lock).load(std::memory_order_relaxed) != selfOwner)
        return false;
    ReportViolation(ViolationKind::SpinLockRecursive, std::string(function) + ": " +
                                                          LockName(lock) +
                                                          " is already held by the calling thread");
    return true;
}

void Spin(PKSPIN_LOCK lock)
{
    std::atomic_ref<ULONG_PTR> word = LockWord(lock);
    for (;;)
    {
        ULONG_PTR expected = 0;
        if (word.compare_exchange_weak(expected, selfOwner, std::memory_order_acquire,
                                       std::memory_order_relaxed))
            break;
        int spins = 0;
        while (word.load(std::memory_order_relaxed) != 0)
        {
            if (++spins < kSpinsBeforeYield)
            {
                Pause();
                continue;
            }
            std::this_thread::yield();
            spins = 0;
        }
    }
    heldLocks.push_back(lock);
}

// Releases the lock if the calling thread owns it; reports otherwise.
void Unlock(PKSPIN_LOCK lock, const char* function)
{
    std::atomic_ref<ULONG_PTR> word = LockWord(lock);
    const ULONG_PTR owner = word.load(std::memory_order_relaxed);
    if (owner != selfOwner)
    {
        ReportViolation(ViolationKind::SpinLockNotHeld,
                        std::string(function) + ": " + LockName(lock) +
                            (owner == 0 ? " is not held" : " is held by another thread"));
        return;
    }
    auto held = std::find(heldLocks.rbegin(), heldLocks.rend(), lock);
    if (held != heldLocks.rend())
        heldLocks.erase(std::next(held).base());
    word.store(0, std::memory_order_release);
}

} // namespace

std::size_t HeldSpinLockCount()
{
    return heldLocks.size();
}

std::vector<const KSPIN_LOCK*> HeldSpinLocks()
{
    return heldLocks;
}

void ForgetHeldSpinLocks()
{
    heldLocks.clear();
}

ULONG_PTR CurrentThreadLockOwner()
{
    return selfOwner;
}

} // namespace host

extern "C" VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    host::LockWord(SpinLock).store(0, std::memory_order_release);
}

extern "C" KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    const KIRQL old = KeGetCurrentIrql();
    if (old > DISPATCH_LEVEL)
        host::ReportViolation(host::ViolationKind::SpinLockWrongIrql,
                              "KeAcquireSpinLockRaiseToDpc: " + host::LockName(SpinLock) +
                                  " acquired at " + host::IrqlName(old));
    if (host::IsRecursive(SpinLock, "KeAcquireSpinLockRaiseToDpc"))
        return old;
    if (old < DISPATCH_LEVEL)
        host::SetCurrentIrql(DISPATCH_LEVEL);
    host::Spin(SpinLock);
    return old;
}

extern "C" VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    const KIRQL irql = KeGetCurrentIrql();
    if (irql != DISPATCH_LEVEL)
        host::ReportViolation(host::ViolationKind::SpinLockWrongIrql,
                              "KeReleaseSpinLock: " + host::LockName(SpinLock) + " released at " +
                                  host::IrqlName(irql));
    host::Unlock(SpinLock, "KeReleaseSpinLock");
    KeLowerIrql(NewIrql);
}

extern "C" VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    const KIRQL irql = KeGetCurrentIrql();
    if (irql != DISPATCH_LEVEL)
        host::ReportViolation(host::ViolationKind::SpinLockWrongIrql,
                              "KeAcquireSpinLockAtDpcLevel: " + host::LockName(SpinLock) +
                                  " acquired at " + host::IrqlName(irql));
    if (host::IsRecursive(SpinLock, "KeAcquireSpinLockAtDpcLevel"))
        return;
    host::Spin(SpinLock);
}

extern "C" VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    const KIRQL irql = KeGetCurrentIrql();
    if (irql != DISPATCH_LEVEL)
        host::ReportViolation(host::ViolationKind::SpinLockWrongIrql,
                              "KeReleaseSpinLockFromDpcLevel: " + host::LockName(SpinLock) +
                                  " released at " + host::IrqlName(irql));
    host::Unlock(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}
