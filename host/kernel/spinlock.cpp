// KeInitializeSpinLock and the acquire/release routines.
//
// The fast path is one compare-exchange and a push onto a thread-local
// vector; bookkeeping beyond that belongs to the checks that fail.
#include "host/kernel/spinlock.h"

#include "host/kernel/addressnames.h"
#include "host/kernel/boundary.h"
#include "host/kernel/conduct.h"
#include "host/kernel/irql.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>

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

// The lock-order graph, process-wide: an edge A -> B for every time a thread
// asked for B while it held A, keyed by lock address. Two threads that take
// the same two locks in opposite orders can deadlock even if no run so far
// did; the acquisition whose edge closes a cycle in this graph is reported
// (once per edge), before the thread spins, so that the report comes even
// when the run would deadlock. KeInitializeSpinLock starts a new lock at its
// address and forgets the old one's edges, so pool reuse of a freed object's
// address does not join two unrelated locks.
struct LockOrderGraph
{
    std::mutex mutex;
    std::unordered_map<const KSPIN_LOCK*, std::unordered_set<const KSPIN_LOCK*>> after;
    std::atomic<bool> empty{true};
};

LockOrderGraph& TheLockOrderGraph()
{
    // Never destroyed: locks may be taken by threads still running at exit.
    static LockOrderGraph& graph = *new LockOrderGraph;
    return graph;
}

// Extends `path` by a path from `from` to `to` along recorded edges, both
// ends included, and returns true; leaves it as it was if there is none.
// Depth-first: the graph has a few locks, not thousands.
bool FindOrderPath(const LockOrderGraph& graph, const KSPIN_LOCK* from, const KSPIN_LOCK* to,
                   std::unordered_set<const KSPIN_LOCK*>& visited,
                   std::vector<const KSPIN_LOCK*>& path)
{
    path.push_back(from);
    if (from == to)
        return true;
    if (visited.insert(from).second)
    {
        auto found = graph.after.find(from);
        if (found != graph.after.end())
        {
            for (const KSPIN_LOCK* next : found->second)
            {
                if (FindOrderPath(graph, next, to, visited, path))
                    return true;
            }
        }
    }
    path.pop_back();
    return false;
}

std::atomic_ref<ULONG_PTR> LockWord(PKSPIN_LOCK lock)
{
    return std::atomic_ref<ULONG_PTR>(*lock);
}

std::string LockName(const KSPIN_LOCK* lock)
{
    return "spin lock " + DescribeAddress(lock);
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

std::string DescribeOrderPath(const std::vector<const KSPIN_LOCK*>& path)
{
    std::string text;
    for (const KSPIN_LOCK* lock : path)
        text += (text.empty() ? "" : " -> ") + LockName(lock);
    return text;
}

// Records that `lock` is wanted while the thread holds heldLocks, and reports
// an order that closes a cycle.
void RecordAcquisitionOrder(const KSPIN_LOCK* lock, const char* function)
{
    if (heldLocks.empty())
        return;
    LockOrderGraph& graph = TheLockOrderGraph();
    std::vector<std::string> reports;
    {
        std::lock_guard guard(graph.mutex);
        graph.empty.store(false, std::memory_order_relaxed);
        for (const KSPIN_LOCK* held : heldLocks)
        {
            if (held == lock || !graph.after[held].insert(lock).second)
                continue;
            std::unordered_set<const KSPIN_LOCK*> visited;
            std::vector<const KSPIN_LOCK*> back;
            if (!FindOrderPath(graph, lock, held, visited, back))
                continue;
            back.push_back(lock);
            reports.push_back(std::string("LockOrder: ") + function + ": " + LockName(lock) +
                              " wanted while holding " + LockName(held) +
                              ", the opposite of an order taken before; cycle " +
                              DescribeOrderPath(back));
        }
    }
    // Reported outside the graph's mutex: a handler may take locks of its own.
    for (std::string& report : reports)
        ReportViolation(ViolationKind::Custom, std::move(report));
}

void ForgetLockOrderOf(const KSPIN_LOCK* lock)
{
    LockOrderGraph& graph = TheLockOrderGraph();
    if (graph.empty.load(std::memory_order_relaxed))
        return;
    std::lock_guard guard(graph.mutex);
    graph.after.erase(lock);
    for (auto& [held, wanted] : graph.after)
        wanted.erase(lock);
}

void Spin(PKSPIN_LOCK lock, const char* function)
{
    RecordAcquisitionOrder(lock, function);
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

void ForgetLockOrder()
{
    LockOrderGraph& graph = TheLockOrderGraph();
    std::lock_guard guard(graph.mutex);
    graph.after.clear();
    graph.empty.store(true, std::memory_order_relaxed);
}

void ForgetLockOrderWithin(const void* begin, std::size_t bytes)
{
    LockOrderGraph& graph = TheLockOrderGraph();
    if (graph.empty.load(std::memory_order_relaxed))
        return;
    const auto* first = static_cast<const unsigned char*>(begin);
    auto within = [first, bytes](const KSPIN_LOCK* lock)
    {
        const auto* byte = reinterpret_cast<const unsigned char*>(lock);
        return byte >= first && byte < first + bytes;
    };
    std::lock_guard guard(graph.mutex);
    std::erase_if(graph.after, [&within](const auto& entry) { return within(entry.first); });
    for (auto& [held, wanted] : graph.after)
        std::erase_if(wanted, within);
}

std::size_t LockOrderEdgeCount()
{
    LockOrderGraph& graph = TheLockOrderGraph();
    std::lock_guard guard(graph.mutex);
    std::size_t edges = 0;
    for (const auto& [held, wanted] : graph.after)
        edges += wanted.size();
    return edges;
}

} // namespace host

extern "C" VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
try
{
    host::ForgetLockOrderOf(SpinLock);
    host::LockWord(SpinLock).store(0, std::memory_order_release);
}
catch (...)
{
    host::CaughtAtBoundary("KeInitializeSpinLock");
}

extern "C" KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
try
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
    host::Spin(SpinLock, "KeAcquireSpinLockRaiseToDpc");
    return old;
}
catch (...)
{
    return host::CaughtAtBoundary("KeAcquireSpinLockRaiseToDpc", KIRQL{});
}

extern "C" VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
try
{
    const KIRQL irql = KeGetCurrentIrql();
    if (irql != DISPATCH_LEVEL)
        host::ReportViolation(host::ViolationKind::SpinLockWrongIrql,
                              "KeReleaseSpinLock: " + host::LockName(SpinLock) + " released at " +
                                  host::IrqlName(irql));
    host::Unlock(SpinLock, "KeReleaseSpinLock");
    KeLowerIrql(NewIrql);
}
catch (...)
{
    host::CaughtAtBoundary("KeReleaseSpinLock");
}

extern "C" VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
try
{
    const KIRQL irql = KeGetCurrentIrql();
    if (irql != DISPATCH_LEVEL)
        host::ReportViolation(host::ViolationKind::SpinLockWrongIrql,
                              "KeAcquireSpinLockAtDpcLevel: " + host::LockName(SpinLock) +
                                  " acquired at " + host::IrqlName(irql));
    if (host::IsRecursive(SpinLock, "KeAcquireSpinLockAtDpcLevel"))
        return;
    host::Spin(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}
catch (...)
{
    host::CaughtAtBoundary("KeAcquireSpinLockAtDpcLevel");
}

extern "C" VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
try
{
    const KIRQL irql = KeGetCurrentIrql();
    if (irql != DISPATCH_LEVEL)
        host::ReportViolation(host::ViolationKind::SpinLockWrongIrql,
                              "KeReleaseSpinLockFromDpcLevel: " + host::LockName(SpinLock) +
                                  " released at " + host::IrqlName(irql));
    host::Unlock(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}
catch (...)
{
    host::CaughtAtBoundary("KeReleaseSpinLockFromDpcLevel");
}
