#include "host/engine/clock.h"

#include "host/engine/trace.h"
#include "host/kernel/drivercall.h"
#include "host/kernel/irql.h"

#include <chrono>

namespace host::engine
{
namespace
{

thread_local std::vector<CallbackToken> t_tokens;

std::string Describe(const StreamKey& key)
{
    return std::string(key.capture ? "capture" : "render") + " device " +
           std::to_string(key.deviceIndex) + " pin " + std::to_string(key.pin);
}

} // namespace

std::vector<CallbackToken> CurrentCallbackTokens()
{
    return t_tokens;
}

ScopedCallbackTokens::ScopedCallbackTokens(std::vector<CallbackToken> tokens)
    : m_previous(std::move(t_tokens))
{
    t_tokens = std::move(tokens);
}

ScopedCallbackTokens::~ScopedCallbackTokens()
{
    t_tokens = std::move(m_previous);
}

void MarkCurrentCallbacksServiced()
{
    for (const CallbackToken& token : t_tokens)
    {
        if (token.engine != nullptr)
            token.engine->MarkServiced(token.key, token.sequence);
    }
}

void MakeCallbacks(Engine& engine, const std::vector<DueCallback>& due)
{
    for (const DueCallback& callback : due)
    {
        // Said only to a trace: every period makes its callbacks.
        const std::string detail = TraceEnabled() ? Describe(callback.key) + ", period end " +
                                                        std::to_string(callback.sequence)
                                                  : std::string();
        if (TraceEnabled())
            TracePoint("engine", "callback", TracePhase::Begin, detail, engine.DevicePosition());
        {
            ScopedIrql atDispatch(DISPATCH_LEVEL);
            ScopedCallbackTokens tokens({{&engine, callback.key, callback.sequence}});
            DriverCallGuard guard("EngineNotify");
            callback.callback(callback.key.capture, callback.key.pin, callback.context);
        }
        engine.CallbackReturned(callback.key);
        if (TraceEnabled())
            TracePoint("engine", "callback", TracePhase::End, detail, engine.DevicePosition());
    }
}

void VirtualClock::AdvanceFrames(ULONGLONG frames)
{
    std::vector<DueCallback> due;
    while (frames > 0)
    {
        const ULONG chunk = frames > MAXULONG ? MAXULONG : static_cast<ULONG>(frames);
        const ULONG step = m_engine.AdvanceDevice(chunk, due);
        frames -= step;
        MakeCallbacks(m_engine, due);
        due.clear();
        m_engine.TakeDueHalves();
    }
}

void VirtualClock::AdvancePeriods(ULONGLONG periods)
{
    AdvanceFrames(periods * m_engine.PeriodFrames());
}

void VirtualClock::AdvanceToBoundary()
{
    const ULONG period = m_engine.PeriodFrames();
    const ULONG offset = static_cast<ULONG>(m_engine.DevicePosition() % period);
    if (offset != 0)
        AdvanceFrames(period - offset);
}

ThreadedClock::ThreadedClock(Engine& engine, Options options)
    : m_engine(engine), m_options(std::move(options))
{
}

ThreadedClock::~ThreadedClock()
{
    Stop();
}

void ThreadedClock::Start()
{
    if (m_running.exchange(true))
        return;
    m_stopRequested = false;
    m_thread = std::thread([this] { Loop(); });
}

void ThreadedClock::Stop()
{
    m_stopRequested = true;
    m_progress.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    m_running = false;
    m_progress.notify_all();
}

void ThreadedClock::WaitForPeriodEnds(ULONGLONG count)
{
    std::unique_lock lock(m_mutex);
    m_progress.wait(lock, [&] { return m_periodEnds.load() >= count || m_stopRequested.load(); });
}

void ThreadedClock::Loop()
{
    using namespace std::chrono;
    const auto began = steady_clock::now();
    ULONGLONG framesRun = 0;
    std::vector<DueCallback> due;
    while (!m_stopRequested.load())
    {
        if (m_options.mayAdvance && !m_options.mayAdvance())
        {
            std::this_thread::yield();
            continue;
        }
        const ULONG period = m_engine.PeriodFrames();
        const ULONG step =
            m_options.stepFrames != 0 ? m_options.stepFrames : (period >= 4 ? period / 4 : 1);
        const ULONG advanced = m_engine.AdvanceDevice(step, due);
        framesRun += advanced;
        if (m_options.realTime)
        {
            const ULONG rate =
                m_options.sampleRate != 0 ? m_options.sampleRate : m_engine.SampleRate();
            std::this_thread::sleep_until(began + nanoseconds(framesRun * 1'000'000'000ull / rate));
        }
        if (m_engine.DevicePosition() % period == 0)
        {
            MakeCallbacks(m_engine, due);
            due.clear();
            if (m_options.settle)
                m_options.settle();
            // A period end is over once the next halves are taken.
            m_engine.TakeDueHalves();
            {
                std::lock_guard lock(m_mutex);
                m_periodEnds.fetch_add(1);
            }
            m_progress.notify_all();
        }
        else
        {
            m_engine.TakeDueHalves();
        }
        if (m_options.stepped)
            m_options.stepped();
    }
}

} // namespace host::engine
