// The device's clock in real time, as a client lives with it: the engine's
// threaded clock paced by the sample rate, and a DPC thread on which the
// port's Notify reaches the stream's Service, as deferred procedure calls
// do on the platform.
//
// Between a period's callbacks and the engine's next take the clock waits
// for the DPC to have run: the driver's Service fills the very half the
// engine takes next, and on the platform that DPC runs long before the next
// take. Then `onPeriodEnd` runs, on the clock's thread; it must not wait for
// anything the owner holds while it calls Stop.
//
// Process-wide: the library's Notify delivery points at this clock's DPC
// queue while it lives (one plugin instance per process, see plugin.cpp).
#pragma once

#include "host/engine/clock.h"
#include "host/portcls/dpcqueue.h"

#include <functional>
#include <memory>

namespace nuvalsa
{

class DeviceClock
{
public:
    DeviceClock(host::engine::Engine& engine, std::function<void()> onPeriodEnd);
    // Stops the clock, then lets the DPC queue run dry.
    ~DeviceClock();
    DeviceClock(const DeviceClock&) = delete;
    DeviceClock& operator=(const DeviceClock&) = delete;

    void Start();
    // Ends the clock's thread after the step in progress; no callback runs
    // afterwards and no DPC is left queued.
    void Stop();

private:
    host::portcls::DpcQueue m_dpc;
    std::function<void()> m_onPeriodEnd;
    std::unique_ptr<host::engine::ThreadedClock> m_clock;
};

} // namespace nuvalsa
