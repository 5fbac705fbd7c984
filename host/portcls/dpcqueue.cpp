#include "host/portcls/dpcqueue.h"

#include "host/engine/trace.h"
#include "host/kernel/irql.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>

namespace host::portcls
{

DpcQueue::DpcQueue() : m_thread([this] { Loop(); }) {}

bool DpcQueue::RunAboveOrdinaryThreads()
{
    sched_param parameters{};
    parameters.sched_priority = sched_get_priority_min(SCHED_FIFO);
    return pthread_setschedparam(m_thread.native_handle(), SCHED_FIFO, &parameters) == 0;
}

DpcQueue::~DpcQueue()
{
    Drain();
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void DpcQueue::Deliver(PSERVICEGROUP group)
{
    if (group == nullptr)
        return;
    std::vector<engine::CallbackToken> tokens = engine::CurrentCallbackTokens();
    {
        std::lock_guard lock(m_mutex);
        auto queued = std::find_if(m_queue.begin(), m_queue.end(),
                                   [group](const Entry& entry) { return entry.group == group; });
        if (queued != m_queue.end())
        {
            queued->tokens.insert(queued->tokens.end(), tokens.begin(), tokens.end());
            ++m_coalesced;
            return;
        }
        group->AddRef();
        ULONGLONG release = 0;
        if (m_latency)
            release = m_latencyEngine->DevicePosition() + m_latency(m_deliveries);
        ++m_deliveries;
        m_queue.push_back({group, std::move(tokens), release});
    }
    m_changed.notify_all();
}

void DpcQueue::SetLatency(engine::Engine& engine, std::function<ULONGLONG(std::size_t)> latency)
{
    std::lock_guard lock(m_mutex);
    m_latencyEngine = &engine;
    m_latency = std::move(latency);
}

bool DpcQueue::HeadDue() const
{
    if (m_queue.empty())
        return false;
    return m_latencyEngine == nullptr || m_releaseAll ||
           m_queue.front().releaseFrame <= m_latencyEngine->DevicePosition();
}

void DpcQueue::DrainDue()
{
    std::unique_lock lock(m_mutex);
    m_changed.notify_all();
    m_changed.wait(lock, [this] { return !HeadDue() && !m_busy; });
}

bool DpcQueue::DrainDueWithin(std::chrono::nanoseconds limit)
{
    std::unique_lock lock(m_mutex);
    m_changed.notify_all();
    return m_changed.wait_for(lock, limit, [this] { return !HeadDue() && !m_busy; });
}

// Groups held by latency run now too.
void DpcQueue::Drain()
{
    std::unique_lock lock(m_mutex);
    m_releaseAll = true;
    m_changed.notify_all();
    m_changed.wait(lock, [this] { return m_queue.empty() && !m_busy; });
    m_releaseAll = false;
}

std::size_t DpcQueue::Runs() const
{
    std::lock_guard lock(m_mutex);
    return m_runs;
}

std::size_t DpcQueue::Coalesced() const
{
    std::lock_guard lock(m_mutex);
    return m_coalesced;
}

void DpcQueue::Loop()
{
    SetCurrentIrql(DISPATCH_LEVEL);
    std::unique_lock lock(m_mutex);
    for (;;)
    {
        // A group held by latency is looked at again when the clock drains
        // what is due, or after a while.
        m_changed.wait_for(lock, std::chrono::milliseconds(1),
                           [this] { return m_stopping || HeadDue(); });
        if (m_stopping && m_queue.empty())
            break;
        if (!HeadDue())
            continue;
        Entry entry = std::move(m_queue.front());
        m_queue.pop_front();
        m_busy = true;
        lock.unlock();
        {
            engine::TracePoint("port", "DPC", engine::TracePhase::Begin);
            engine::ScopedCallbackTokens tokens(std::move(entry.tokens));
            entry.group->RequestService();
            entry.group->Release();
            engine::TracePoint("port", "DPC", engine::TracePhase::End);
        }
        lock.lock();
        m_busy = false;
        ++m_runs;
        m_changed.notify_all();
    }
    lock.unlock();
    SetCurrentIrql(PASSIVE_LEVEL);
}

} // namespace host::portcls
