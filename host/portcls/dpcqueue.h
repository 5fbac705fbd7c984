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
#pragma once

#include "host/engine/clock.h"

#include <portcls.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
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
    // Blocks until nothing is queued and nothing runs.
    void Drain();

    // Groups run since creation, and deliveries folded into a queued one.
    std::size_t Runs() const;
    std::size_t Coalesced() const;

private:
    struct Entry
    {
        PSERVICEGROUP group;
        std::vector<engine::CallbackToken> tokens;
    };
    void Loop();

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Entry> m_queue;
    bool m_busy = false;
    bool m_stopping = false;
    std::size_t m_runs = 0;
    std::size_t m_coalesced = 0;
    std::thread m_thread;
};

} // namespace host::portcls
