// A DPC thread for the port's Notify: the library queues the service group
// and returns, and a thread of its own runs the group's RequestService at
// DISPATCH_LEVEL, as the platform's deferred procedure calls do. A group
// that is queued already is not queued twice (a DPC is queued once until it
// runs); the engine callbacks it was notified for are all marked serviced
// when it has run (see clock.h).
//
//     host::portcls::DpcQueue dpc;
//     host::portcls::SetNotifyDelivery([&](PSERVICEGROUP g) { dpc.Deliver(g); });
//     ... the threaded clock's settle hook: dpc.Drain() ...
//
// The queue holds a reference on each group it holds, released after the
// group ran, on the DPC thread.
//
// DPC latency, as a loaded machine gives it: with SetLatency, each group
// queued waits until the device has run the given number of frames more
// (a DPC that the scheduler runs late); a Notify for a group already waiting
// is folded into it (one Service for several period ends). DrainDue, called
// by the clock between its steps, runs what is due and leaves the rest
// waiting.
#pragma once

#include "host/engine/clock.h"

#include <portcls.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace host::portcls
{

class DpcQueue
{
public:
    DpcQueue();
    ~DpcQueue();
    DpcQueue(const DpcQueue&) = delete;
    DpcQueue& operator=(const DpcQueue&) = delete;

    // Queues the group with the callback tokens current on the caller's
    // thread. Any level; returns at once.
    void Deliver(PSERVICEGROUP group);
    // Blocks until nothing is queued and nothing runs (groups held by
    // latency run at once).
    void Drain();

    // From now on each group queued waits `latency(n)` device frames (n:
    // deliveries so far), counted on `engine`'s frame counter.
    void SetLatency(engine::Engine& engine, std::function<ULONGLONG(std::size_t)> latency);
    // Blocks until nothing that is due is queued and nothing runs.
    void DrainDue();
    // The same, for at most `limit`: whether it came to that. (A device in
    // real time waits for the DPC only so long.)
    bool DrainDueWithin(std::chrono::nanoseconds limit);

    // Puts the queue's thread above every ordinary thread (the lowest
    // real-time priority), as DPCs run above every thread on Windows: a
    // device in real time then finds its DPC run in time on a busy machine.
    // False, and nothing changed, where the system does not allow it.
    bool RunAboveOrdinaryThreads();

    // Groups run since creation, and deliveries folded into a queued one.
    std::size_t Runs() const;
    std::size_t Coalesced() const;

private:
    struct Entry
    {
        PSERVICEGROUP group;
        std::vector<engine::CallbackToken> tokens;
        ULONGLONG releaseFrame; // runs once the device has reached it
    };
    void Loop();
    // With m_mutex held.
    bool HeadDue() const;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Entry> m_queue;
    bool m_busy = false;
    bool m_stopping = false;
    std::size_t m_runs = 0;
    std::size_t m_coalesced = 0;
    std::size_t m_deliveries = 0;
    bool m_releaseAll = false;
    engine::Engine* m_latencyEngine = nullptr;
    std::function<ULONGLONG(std::size_t)> m_latency;
    std::thread m_thread;
};

} // namespace host::portcls
