// The engine's clock: what makes the device run through its periods.
//
// The engine (engine.h) keeps each stream's record; a clock moves the
// device's frame counter and, at each period end, makes the callbacks that
// came due at DISPATCH_LEVEL, never with the engine's mutex held. Two clocks:
//
//   VirtualClock   advanced by the caller, one period or a number of frames
//                  at a time, on the calling thread: deterministic.
//
//       host::engine::VirtualClock clock(engine);
//       clock.AdvancePeriods(3);           // three periods, their callbacks
//       auto played = engine.Stream(0, 1, 0)->output;
//
//   ThreadedClock  runs on its own thread, as fast as it can or in real time
//                  (frames over the sample rate). Between a period's callbacks
//                  and its next take it calls the owner's `settle` hook: a
//                  DPC queue delivering the port's Notify drains there in the
//                  fast mode, so that a period is late only when the driver
//                  was; in real time it is not waited for.
//
// Underruns. The engine cannot see the driver write its buffer, so it judges
// by the services it asked for: each callback carries a token (the stream
// and the number of the period end it reports). Whoever runs the service
// group for that callback, on the callback's thread or on a DPC thread,
// keeps the token current while it runs (ScopedCallbackTokens), and the
// port's stream marks it serviced once the miniport stream's Service has
// returned (MarkCurrentCallbacksServiced). A half taken after a period end
// whose service has not run is an underrun.
#pragma once

#include "host/engine/engine.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace host::engine
{

// The callback, and the period end it reports, that the running code serves.
struct CallbackToken
{
    Engine* engine = nullptr;
    StreamKey key;
    ULONGLONG sequence = 0;
};

// The tokens current on this thread.
std::vector<CallbackToken> CurrentCallbackTokens();

// Makes `tokens` current on this thread for the scope (nesting restores).
class ScopedCallbackTokens
{
public:
    explicit ScopedCallbackTokens(std::vector<CallbackToken> tokens);
    ~ScopedCallbackTokens();
    ScopedCallbackTokens(const ScopedCallbackTokens&) = delete;
    ScopedCallbackTokens& operator=(const ScopedCallbackTokens&) = delete;

private:
    std::vector<CallbackToken> m_previous;
};

// Tells each current token's engine that its service ran.
void MarkCurrentCallbacksServiced();

// Makes the callbacks that came due, each at DISPATCH_LEVEL with its token
// current, and tells the engine when each returned.
void MakeCallbacks(Engine& engine, const std::vector<DueCallback>& due);

class VirtualClock
{
public:
    explicit VirtualClock(Engine& engine) : m_engine(engine) {}

    // Runs the device for `frames` frames: every period end on the way makes
    // its callbacks, then the next halves are taken.
    void AdvanceFrames(ULONGLONG frames);
    // Whole periods of the engine's current length.
    void AdvancePeriods(ULONGLONG periods);
    // To the next period boundary (nothing if the device is at one).
    void AdvanceToBoundary();
    ULONGLONG DevicePosition() const { return m_engine.DevicePosition(); }

private:
    Engine& m_engine;
};

class ThreadedClock
{
public:
    struct Options
    {
        bool realTime = false;
        // Frames per step of the device counter (0: a quarter of a period),
        // so that position queries see the inside of a period.
        ULONG stepFrames = 0;
        // Real time only: the rate that turns frames into time (0: the
        // engine's sample rate).
        ULONG sampleRate = 0;
        // Called between any two steps, with nothing of the engine running
        // (a late DPC, a client acting at a point of device time).
        std::function<void()> stepped = nullptr;
        // Called after each period end's callbacks, before the next take.
        std::function<void()> settle;
        // Asked before each step; while it says false the clock waits (for a
        // simulated client that has to keep up). Empty: always true.
        std::function<bool()> mayAdvance;
    };

    ThreadedClock(Engine& engine, Options options);
    ~ThreadedClock();
    ThreadedClock(const ThreadedClock&) = delete;
    ThreadedClock& operator=(const ThreadedClock&) = delete;

    void Start();
    // Ends the thread after the step in progress; no callback runs afterwards.
    void Stop();
    bool Running() const { return m_running.load(); }

    // Period ends the device has passed since Start.
    ULONGLONG PeriodEnds() const { return m_periodEnds.load(); }
    // Blocks until PeriodEnds() reaches `count` (or the clock stops).
    void WaitForPeriodEnds(ULONGLONG count);

private:
    void Loop();

    Engine& m_engine;
    Options m_options;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stopRequested{false};
    std::atomic<ULONGLONG> m_periodEnds{0};
    std::mutex m_mutex;
    std::condition_variable m_progress;
    std::thread m_thread;
};

} // namespace host::engine
