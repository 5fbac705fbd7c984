// Events and the wait on them.
#include "host/kernel/event.h"

#include "host/kernel/boundary.h"
#include "host/kernel/conduct.h"
#include "host/kernel/irql.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

namespace host
{
namespace
{

struct Dispatcher
{
    std::mutex mutex;
    std::condition_variable signalled;
};

Dispatcher& TheDispatcher()
{
    // Never destroyed: a waiter may outlive static destruction.
    static Dispatcher& dispatcher = *new Dispatcher;
    return dispatcher;
}

// SignalState is read without the mutex by KeReadStateEvent.
std::atomic_ref<LONG> SignalState(PRKEVENT event)
{
    return std::atomic_ref<LONG>(const_cast<LONG&>(event->Header.SignalState));
}

std::string EventName(const void* event)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%p", event);
    return std::string("event ") + text;
}

bool IsEvent(const KEVENT* event)
{
    return event->Header.Type == kNotificationEventType ||
           event->Header.Type == kSynchronizationEventType;
}

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01: absolute
// timeouts count from the former, the system clock from the latter.
constexpr LONGLONG kEpochDifference = 116444736000000000LL;

using Ticks = std::chrono::duration<LONGLONG, std::ratio<1, 10000000>>;

void CheckWaitLevel(const void* object, const LARGE_INTEGER* timeout)
{
    const KIRQL irql = KeGetCurrentIrql();
    const bool mayBlock = timeout == nullptr || timeout->QuadPart != 0;
    if (mayBlock && irql >= DISPATCH_LEVEL)
        ReportViolation(ViolationKind::WaitAtDispatch,
                        "KeWaitForSingleObject(" + EventName(object) + ") " +
                            (timeout == nullptr ? "without a time limit" : "with a timeout") +
                            " at " + IrqlName(irql));
    else if (irql > DISPATCH_LEVEL)
        ReportViolation(ViolationKind::IrqlViolation,
                        "KeWaitForSingleObject(" + EventName(object) + ") at " + IrqlName(irql));
}

// How long a timeout allows from now, in 100 ns: negative values are
// relative, positive ones absolute system time.
LONGLONG RemainingTicks(const LARGE_INTEGER& timeout)
{
    if (timeout.QuadPart <= 0)
        return -timeout.QuadPart;
    const auto now =
        std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch());
    const LONGLONG remaining = timeout.QuadPart - (now.count() + kEpochDifference);
    return remaining > 0 ? remaining : 0;
}

// Longer waits are as good as infinite, and would overflow the clock.
constexpr LONGLONG kLongestWait = 10000000LL * 60 * 60 * 24 * 365 * 10;

// Waits under `lock` until the event is signalled or the timeout passes.
bool WaitSignalled(std::unique_lock<std::mutex>& lock, PRKEVENT event, const LARGE_INTEGER* timeout)
{
    Dispatcher& dispatcher = TheDispatcher();
    auto isSignalled = [event] { return SignalState(event).load() != 0; };
    if (timeout == nullptr)
    {
        dispatcher.signalled.wait(lock, isSignalled);
        return true;
    }
    const LONGLONG remaining = RemainingTicks(*timeout);
    if (remaining == 0)
        return isSignalled();
    const auto deadline = std::chrono::steady_clock::now() +
                          Ticks(remaining < kLongestWait ? remaining : kLongestWait);
    return dispatcher.signalled.wait_until(lock, deadline, isSignalled);
}

} // namespace
} // namespace host

extern "C" VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
try
{
    Event->Header.Type = Type == SynchronizationEvent ? host::kSynchronizationEventType
                                                      : host::kNotificationEventType;
    Event->Header.Absolute = 0;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Inserted = 0;
    Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
    Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
    host::SignalState(Event).store(State ? 1 : 0);
}
catch (...)
{
    host::CaughtAtBoundary("KeInitializeEvent");
}

extern "C" LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
try
{
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    host::Dispatcher& dispatcher = host::TheDispatcher();
    LONG previous;
    {
        std::lock_guard lock(dispatcher.mutex);
        previous = host::SignalState(Event).exchange(1);
    }
    dispatcher.signalled.notify_all();
    return previous;
}
catch (...)
{
    return host::CaughtAtBoundary("KeSetEvent", LONG{});
}

extern "C" VOID NTAPI KeClearEvent(PRKEVENT Event)
try
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeClearEvent");
    std::lock_guard lock(host::TheDispatcher().mutex);
    host::SignalState(Event).store(0);
}
catch (...)
{
    host::CaughtAtBoundary("KeClearEvent");
}

extern "C" LONG NTAPI KeReadStateEvent(PRKEVENT Event)
try
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeReadStateEvent");
    return host::SignalState(Event).load();
}
catch (...)
{
    return host::CaughtAtBoundary("KeReadStateEvent", LONG{});
}

extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                PLARGE_INTEGER Timeout)
try
{
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    auto* event = static_cast<PRKEVENT>(Object);
    host::CheckWaitLevel(Object, Timeout);
    if (!host::IsEvent(event))
    {
        host::ReportViolation(host::ViolationKind::Custom, "KeWaitForSingleObject(" +
                                                               host::EventName(Object) +
                                                               "): the host waits only on events");
        return STATUS_INVALID_PARAMETER;
    }
    std::unique_lock lock(host::TheDispatcher().mutex);
    if (!host::WaitSignalled(lock, event, Timeout))
        return STATUS_TIMEOUT;
    if (event->Header.Type == host::kSynchronizationEventType)
        host::SignalState(event).store(0);
    return STATUS_WAIT_0;
}
catch (...)
{
    return host::CaughtAtBoundary("KeWaitForSingleObject", STATUS_INSUFFICIENT_RESOURCES);
}
