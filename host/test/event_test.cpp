// Host events and KeWaitForSingleObject.
#include "host/kernel/hostkernel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using host::ViolationCapture;
using host::ViolationKind;

namespace
{

NTSTATUS Poll(KEVENT& event)
{
    LARGE_INTEGER zero{};
    return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero);
}

NTSTATUS WaitForever(KEVENT& event)
{
    return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
}

} // namespace

TEST(KeInitializeEvent, SetsTypeAndState)
{
    KEVENT notification;
    KEVENT synchronization;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);
    EXPECT_EQ(notification.Header.Type, host::kNotificationEventType);
    EXPECT_EQ(synchronization.Header.Type, host::kSynchronizationEventType);
    EXPECT_EQ(KeReadStateEvent(&notification), 0);
    EXPECT_EQ(KeReadStateEvent(&synchronization), 1);
}

TEST(KeWaitForSingleObject, NotificationEventStaysSignalled)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(Poll(event), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0) << "previous state";
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
    EXPECT_EQ(Poll(event), STATUS_SUCCESS);
    EXPECT_EQ(Poll(event), STATUS_SUCCESS);
    KeClearEvent(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(Poll(event), STATUS_TIMEOUT);
}

TEST(KeWaitForSingleObject, SynchronizationEventResetsOnRelease)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(Poll(event), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(Poll(event), STATUS_TIMEOUT);
}

TEST(KeWaitForSingleObject, RelativeTimeoutExpires)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER oneMillisecond;
    oneMillisecond.QuadPart = -10000; // relative, in 100 ns
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &oneMillisecond),
              STATUS_TIMEOUT);
}

TEST(KeWaitForSingleObject, WokenBySetFromAnotherThread)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::thread setter([&event] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
    EXPECT_EQ(WaitForever(event), STATUS_SUCCESS);
    setter.join();
}

TEST(KeWaitForSingleObject, SynchronizationEventReleasesOneWaiterPerSet)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> released{0};
    auto waiter = [&]
    {
        EXPECT_EQ(WaitForever(event), STATUS_SUCCESS);
        released++;
    };
    std::thread first(waiter);
    std::thread second(waiter);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    while (released.load() == 0)
        std::this_thread::yield();
    // The released waiter took the signal with it; the other still waits.
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(released.load(), 1);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    first.join();
    second.join();
    EXPECT_EQ(released.load(), 2);
}

TEST(KeWaitForSingleObject, ReportsBlockingWaitAtDispatch)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    ViolationCapture capture;
    host::ScopedIrql atDispatch(DISPATCH_LEVEL);
    EXPECT_EQ(Poll(event), STATUS_SUCCESS);
    EXPECT_EQ(capture.Count(), 0u) << "a zero timeout does not block";
    EXPECT_EQ(WaitForever(event), STATUS_SUCCESS);
    EXPECT_TRUE(
        capture.Contains(ViolationKind::WaitAtDispatch, "without a time limit at DISPATCH_LEVEL"));
}
