// Host events: KeInitializeEvent, KeSetEvent, KeClearEvent, KeReadStateEvent
// and KeWaitForSingleObject on a KEVENT, blocking for real across threads.
//
// An event's state is its DISPATCHER_HEADER.SignalState, changed under one
// process-wide mutex; waiters sleep on one condition variable. A
// synchronization event is reset by the waiter it releases, so one
// KeSetEvent releases one waiter. A wait that may block (no timeout, or a
// non-zero one) at DISPATCH_LEVEL or above is a conduct violation.
#pragma once

#include <wdm.h>

namespace host
{

// DISPATCHER_HEADER.Type of the two event kinds, as the kernel numbers them.
constexpr UCHAR kNotificationEventType = 0;
constexpr UCHAR kSynchronizationEventType = 1;

} // namespace host
