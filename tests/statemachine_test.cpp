// The stream's state machine: what each KS state change sends to the engine,
// the transfer buffer's life, and the stop and restart around a revocation.
#include "host/kernel/faults.h"
#include "host/kernel/irql.h"
#include "host/kernel/pool.h"
#include "host/test/support/engineexpect.h"
#include "tests/support/streamonfakeports.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

namespace
{

using Bytes = std::vector<std::uint8_t>;

class StateMachine : public nuvtest::StreamOnFakePortsTestbed
{
protected:
    void Open(bool capture = false, ULONG frames = 4, USHORT bits = 16)
    {
        Engine().SetPeriodFrames(frames);
        ASSERT_EQ(CreateStream({.channels = 2, .bits = bits}, capture), STATUS_SUCCESS);
        Engine().ClearCommands();
    }

    std::optional<host::engine::StreamState> EngineStream(bool capture = false)
    {
        return Engine().Stream(capture ? 1 : 0, kDeviceIndex, 0);
    }

    std::size_t TransferBuffers() { return host::Pool().Outstanding(host::Tag("wVUN")); }
};

using SetState = StateMachine;
using RevokeMappings = StateMachine;

// --- SetState -----------------------------------------------------------------

// A render stream asks where the engine is right after START and right
// before STOP: its position follows the engine from there.
TEST_F(SetState, RunPauseStopSendsTheCommandsInOrder)
{
    Open();
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ExpectEngineCommands(Engine(), {ENGINE_CMD_REGISTER_NOTIFY, ENGINE_CMD_ATTACH_BUFFER,
                                    ENGINE_CMD_START, ENGINE_CMD_GET_POSITION});
    auto notify = Engine().LastBlock<ENGINE_NOTIFY_PARAMS>();
    ASSERT_TRUE(notify);
    EXPECT_EQ(notify->Callback, &EngineNotify);
    EXPECT_EQ(notify->CallbackContext, Miniport());
    EXPECT_EQ(notify->DeviceIndex, kDeviceIndex);
    auto attach = Engine().LastBlock<ENGINE_BUFFER_PARAMS>();
    ASSERT_TRUE(attach);
    EXPECT_EQ(attach->Buffer, Peer().Buffer());
    EXPECT_EQ(attach->PeriodBytes, 32u);
    EXPECT_EQ(attach->Channels, 2u);
    EXPECT_EQ(attach->BufferChannels, 2u);

    Engine().ClearCommands();
    ASSERT_EQ(Stream()->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ExpectEngineCommands(Engine(),
                         {ENGINE_CMD_GET_POSITION, ENGINE_CMD_STOP, ENGINE_CMD_REGISTER_NOTIFY});
    EXPECT_EQ(Engine().LastBlock<ENGINE_NOTIFY_PARAMS>()->Callback, nullptr);

    Engine().ClearCommands();
    ASSERT_EQ(Stream()->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(Stream()->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    ExpectEngineCommands(Engine(), {ENGINE_CMD_REGISTER_NOTIFY, ENGINE_CMD_ATTACH_BUFFER});
    auto detach = Engine().LastBlock<ENGINE_BUFFER_PARAMS>();
    EXPECT_EQ(detach->Buffer, nullptr);
    EXPECT_EQ(detach->PeriodBytes, 0u);
    EXPECT_EQ(detach->BufferChannels, 0u);
    EXPECT_EQ(Peer().Buffer(), nullptr);
    EXPECT_EQ(TransferBuffers(), 0u);
}

TEST_F(SetState, RunPublishesTheServiceGroupAndStartsTheEngine)
{
    Open();
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    auto state = EngineStream();
    ASSERT_TRUE(state);
    EXPECT_TRUE(state->started);
    EXPECT_EQ(Peer().Running(), 1u);
    EXPECT_EQ(Peer().BufferAttached(), 1u);
    RunEngineNotify(0, 0);
    EXPECT_EQ(WavePort().Notifications().size(), 1u);
}

// The engine only reads and writes the buffer; nothing runs from it.
TEST_F(SetState, RunAllocatesTheBufferFromNonExecutablePool)
{
    Open();
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    auto block = host::Pool().Find(Peer().Buffer());
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(block->tag, host::Tag("wVUN"));
    EXPECT_EQ(block->type, NonPagedPoolNx);
}

TEST_F(SetState, AcquireAndPauseOnAStreamThatNeverRanSendNothing)
{
    Open();
    EXPECT_EQ(Stream()->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(Stream()->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(Stream()->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(Stream()->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    ExpectEngineCommands(Engine(), {});
}

TEST_F(SetState, StateAboveRunIsAcceptedAndIgnored)
{
    Open();
    EXPECT_EQ(Stream()->SetState(static_cast<KSSTATE>(4)), STATUS_SUCCESS);
    EXPECT_EQ(Stream()->SetState(static_cast<KSSTATE>(0x7FFFFFFF)), STATUS_SUCCESS);
    ExpectEngineCommands(Engine(), {});
    EXPECT_EQ(Peer().Buffer(), nullptr);
}

TEST_F(SetState, RenderRunWithoutMappingsStartsOnSilence)
{
    Open();
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(PortStream().GetCount(), 1u) << "the pre-fill asked once";
    EXPECT_EQ(Peer().BufferBytesNow(), Bytes(64, 0));
    EXPECT_TRUE(EngineStream()->started);
}

TEST_F(SetState, RenderRunPreFillsTheFirstHalf)
{
    Open();
    PortStream().QueueMapping(nuvtest::Ramp(16));
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(Peer().CompletedBytes(), 16u);
    EXPECT_EQ(Peer().BufferBytesNow()[2], 1u);
    EXPECT_EQ(Peer().BufferOffset(), 32u);
}

TEST_F(SetState, CaptureRunDoesNoPreFill)
{
    Open(/*capture=*/true);
    PortStream().QueueSpace(16);
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(PortStream().GetCount(), 0u);
    EXPECT_TRUE(EngineStream(true)->started);
}

TEST_F(SetState, RunFailsCleanlyWhenTheBufferCannotBeAllocated)
{
    Open();
    {
        host::FaultScope faults;
        faults.FailEveryCallOf("ExAllocatePoolWithTag");
        EXPECT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
    }
    ExpectEngineCommands(Engine(), {});
    EXPECT_EQ(Peer().Running(), 0u);
    EXPECT_EQ(Peer().BufferAttached(), 0u);
    EXPECT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS) << "a later RUN still works";
}

// The buffer a paused stream holds is used again; none is lost.
TEST_F(SetState, RunAfterPauseReusesTheHeldBuffer)
{
    Open();
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    PUCHAR first = Peer().Buffer();
    ASSERT_EQ(Stream()->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    Engine().ClearCommands();
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ExpectEngineCommands(Engine(), {ENGINE_CMD_REGISTER_NOTIFY, ENGINE_CMD_ATTACH_BUFFER,
                                    ENGINE_CMD_START, ENGINE_CMD_GET_POSITION});
    EXPECT_EQ(Peer().Buffer(), first);
    EXPECT_EQ(Engine().LastBlock<ENGINE_BUFFER_PARAMS>()->Buffer, first);
    EXPECT_EQ(TransferBuffers(), 1u);
}

// Stopped after half a period: a later RUN must start at a period boundary,
// and three periods must keep the ring cursor inside the buffer.
TEST_F(SetState, StopInMidPeriodRestoresTheTransferInvariant)
{
    Open();
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    RunService(); // nothing: the open period stays in half 0, taken next
    PortStream().QueueMapping(nuvtest::Ramp(8));
    RunMappingAvailable();
    ASSERT_EQ(Peer().PeriodBytesDone(), 8u);
    ASSERT_EQ(Peer().BufferOffset(), 16u);
    ASSERT_EQ(Stream()->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(Stream()->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(Peer().PeriodBytesDone(), 0u);
    EXPECT_EQ(Peer().ClientPhase(), 0u);
    EXPECT_EQ(Peer().BufferOffset(), 0u);
    EXPECT_EQ(Peer().TotalBytes(), 0u);

    PortStream().QueueMapping(nuvtest::Ramp(48));
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS); // pre-fill: period 1
    EXPECT_EQ(Peer().BufferOffset(), 32u);
    RunService();
    EXPECT_EQ(Peer().BufferOffset(), 0u);
    RunService();
    EXPECT_EQ(Peer().BufferOffset(), 32u);
    EXPECT_EQ(Peer().PeriodBytesDone(), 0u);
    EXPECT_EQ(host::Pool().CheckGuards(), 0u);
}

// Stopped between the bytes of one 24-bit frame. The port takes back its
// buffers at STOP (and revokes), so the rest of that frame does not come and
// its first bytes are dropped: the next mapping starts a frame.
TEST_F(SetState, StopInMidFrameDropsTheFrameTheRestOfWhichWasTakenBack)
{
    Open(/*capture=*/false, /*frames=*/4, /*bits=*/24);
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    PortStream().QueueMapping({0x56, 0x34});
    RunMappingAvailable();
    ASSERT_EQ(Peer().PeriodBytesDone(), 2u);
    ASSERT_EQ(Stream()->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(Stream()->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    ULONG revoked = 0;
    Stream()->RevokeMappings(nullptr, nullptr, &revoked);
    EXPECT_EQ(Peer().PeriodBytesDone(), 0u);
    EXPECT_EQ(Peer().BufferOffset(), 0u);

    PortStream().QueueMapping({0x11, 0x22, 0x33, 0x44, 0x55, 0x66});
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(Bytes(Peer().Buffer(), Peer().Buffer() + 8),
              (Bytes{0x00, 0x11, 0x22, 0x33, 0x00, 0x44, 0x55, 0x66}));
}

// The same, with a port that kept its buffers across STOP: the rest of the
// frame comes after all, and is passed over, so that the frames after it
// stay aligned either way.
TEST_F(SetState, StopInMidFramePassesOverTheRestIfItComes)
{
    Open(/*capture=*/false, /*frames=*/4, /*bits=*/24);
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    PortStream().QueueMapping({0x56, 0x34});
    RunMappingAvailable();
    ASSERT_EQ(Stream()->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(Stream()->SetState(KSSTATE_STOP), STATUS_SUCCESS);

    PortStream().QueueMapping({0x12, 0xBC, 0x9A});
    PortStream().QueueMapping({0x78, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66});
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(Bytes(Peer().Buffer(), Peer().Buffer() + 8),
              (Bytes{0x00, 0x11, 0x22, 0x33, 0x00, 0x44, 0x55, 0x66}));
    EXPECT_EQ(PortStream().ReleaseCount(), 3u) << "each given back once, the one passed over too";
}

// The design kept the held capture mapping's rest on restart; it goes back.
TEST_F(SetState, CaptureRunAfterPauseHandsBackTheHeldMapping)
{
    Open(/*capture=*/true);
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    PortStream().QueueSpace(100);
    RunService();
    RunService();
    RunService();
    ASSERT_EQ(Peer().MappingBytes(), 84u);
    ASSERT_EQ(Stream()->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(PortStream().ReleaseCount(), 1u);
    EXPECT_EQ(PortStream().OutstandingCount(), 0u);
    EXPECT_EQ(Peer().MappingBytes(), 0u);
}

// --- destruction outside STOP -----------------------------------------------

TEST_F(SetState, ReleasingARunningStreamLeavesTheEngineNothingOfIt)
{
    Open();
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Engine().ClearCommands();
    ReleaseStream();
    ExpectEngineCommands(Engine(),
                         {ENGINE_CMD_GET_POSITION, ENGINE_CMD_STOP, ENGINE_CMD_REGISTER_NOTIFY,
                          ENGINE_CMD_REGISTER_NOTIFY, ENGINE_CMD_ATTACH_BUFFER});
    auto state = EngineStream();
    ASSERT_TRUE(state);
    EXPECT_EQ(state->callback, nullptr);
    EXPECT_EQ(state->buffer, nullptr);
    EXPECT_FALSE(state->started);
    EXPECT_EQ(TransferBuffers(), 0u);
    RunEngineNotify(0, 0);
    EXPECT_TRUE(WavePort().Notifications().empty()) << "the stream-table entry is gone";
}

TEST_F(SetState, ReleasingAPausedStreamDetachesAndFreesItsBuffer)
{
    Open();
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(Stream()->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    Engine().ClearCommands();
    ReleaseStream();
    ExpectEngineCommands(Engine(), {ENGINE_CMD_REGISTER_NOTIFY, ENGINE_CMD_ATTACH_BUFFER});
    EXPECT_EQ(EngineStream()->buffer, nullptr);
    EXPECT_EQ(TransferBuffers(), 0u);
}

TEST_F(SetState, ReleasingAStoppedStreamSendsNothing)
{
    Open();
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(Stream()->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(Stream()->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    Engine().ClearCommands();
    ReleaseStream();
    ExpectEngineCommands(Engine(), {});
}

// --- RevokeMappings ---------------------------------------------------------

TEST_F(RevokeMappings, StoppedStreamSendsNothingAndReportsOne)
{
    Open();
    ULONG revoked = 0;
    EXPECT_EQ(Stream()->RevokeMappings(nullptr, nullptr, &revoked), STATUS_SUCCESS);
    EXPECT_EQ(revoked, 1u);
    ExpectEngineCommands(Engine(), {});
}

TEST_F(RevokeMappings, RunningStreamRestartsWithItsCallbackRegistered)
{
    Open();
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Engine().ClearCommands();
    ULONG revoked = 0;
    ASSERT_EQ(Stream()->RevokeMappings(nullptr, nullptr, &revoked), STATUS_SUCCESS);
    ExpectEngineCommands(Engine(),
                         {ENGINE_CMD_GET_POSITION, ENGINE_CMD_STOP, ENGINE_CMD_REGISTER_NOTIFY,
                          ENGINE_CMD_REGISTER_NOTIFY, ENGINE_CMD_START, ENGINE_CMD_GET_POSITION});
    auto state = EngineStream();
    EXPECT_EQ(state->callback, &EngineNotify);
    EXPECT_EQ(state->callbackContext, Miniport());
    EXPECT_TRUE(state->started);
    EXPECT_EQ(Peer().Running(), 1u);
}

TEST_F(RevokeMappings, ResetsThePeriodCountAndTheWarmUp)
{
    Open(/*capture=*/true);
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    PortStream().QueueSpace(16);
    RunService();
    RunService();
    RunService();
    ASSERT_EQ(Peer().CompletedBytes(), 16u);
    ULONG revoked = 0;
    Stream()->RevokeMappings(nullptr, nullptr, &revoked);
    EXPECT_EQ(Peer().CompletedBytes(), 0u);
    EXPECT_EQ(Peer().ServiceCount(), 0u);
    PortStream().QueueSpace(16);
    RunService();
    RunService();
    EXPECT_EQ(PortStream().GetCount(), 1u) << "two warm-up calls again";
}

// A revocation reads whether the stream runs, stops the engine stream and
// starts it again. A state change that runs in between must not find the
// stream started again behind its back: after PAUSE returned success, or
// after STOP detached the buffer. The state change starts on another thread
// while the engine answers the revocation's STOP, and the revocation waits
// for it long enough for a state change that does not wait for the
// revocation to have ended.
class RevocationRacingSetState : public StateMachine
{
protected:
    void RevokeWhileTheStateGoesDownTo(KSSTATE target)
    {
        Open();
        ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        std::atomic<bool> fired{false};
        std::promise<void> stepped;
        std::future<void> steppedDone = stepped.get_future();
        std::thread stateChange;
        Engine().SetCommandObserver(
            [&](ULONG command)
            {
                if (command != ENGINE_CMD_STOP || fired.exchange(true))
                    return;
                stateChange = std::thread(
                    [&, target]
                    {
                        for (KSSTATE state = KSSTATE_PAUSE; state >= target;
                             state = static_cast<KSSTATE>(state - 1))
                            EXPECT_EQ(Stream()->SetState(state), STATUS_SUCCESS);
                        stepped.set_value();
                    });
                steppedDone.wait_for(std::chrono::milliseconds(500));
            });
        ULONG revoked = 0;
        EXPECT_EQ(Stream()->RevokeMappings(nullptr, nullptr, &revoked), STATUS_SUCCESS);
        ASSERT_TRUE(fired.load());
        stateChange.join();
        Engine().SetCommandObserver({});
        auto state = EngineStream();
        ASSERT_TRUE(state);
        EXPECT_FALSE(state->started) << "the engine stream runs after SetState stopped it";
        EXPECT_EQ(Peer().Running(), 0u);
    }
};

TEST_F(RevocationRacingSetState, PauseLeavesTheEngineStopped)
{
    RevokeWhileTheStateGoesDownTo(KSSTATE_PAUSE);
}

TEST_F(RevocationRacingSetState, StopIsNotFollowedByAStartWithoutBuffer)
{
    RevokeWhileTheStateGoesDownTo(KSSTATE_STOP);
}

// The port took the held mapping back (and unmapped it): the stream must
// neither touch nor release it, and go on with a fresh one.
TEST_F(RevokeMappings, HeldMappingIsForgottenNotReleased)
{
    Open();
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    PortStream().QueueMapping(nuvtest::Ramp(40));
    RunService();
    ASSERT_EQ(Peer().MappingBytes(), 24u);

    ASSERT_EQ(PortStream().Revoke(), 1u);
    ULONG revoked = 0;
    ASSERT_EQ(Stream()->RevokeMappings(nullptr, nullptr, &revoked), STATUS_SUCCESS);

    PortStream().QueueMapping(nuvtest::Ramp(16, 0x90));
    RunService();
    EXPECT_EQ(PortStream().ReleaseCount(), 1u) << "only the fresh mapping";
    EXPECT_EQ(Peer().BufferBytesNow()[2], 0x90) << "its data went into the next half";
    EXPECT_EQ(PortStream().OutstandingCount(), 0u);
}

// The port holds its own lock while it revokes; a transfer on another
// processor holds m_Lock and waits for the port's lock inside GetMapping.
// RevokeMappings must return without waiting for m_Lock, or neither side
// ever goes on (this test would then hang).
TEST_F(RevokeMappings, DoesNotWaitForATransferBlockedInThePort)
{
    Open();
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    PortStream().QueueMapping(nuvtest::Ramp(16));
    RunService(); // uses the whole mapping and releases it
    PortStream().QueueMapping(nuvtest::Ramp(16, 0x40));

    std::mutex portLock;
    std::mutex signalLock;
    std::condition_variable signal;
    bool inPort = false;
    portLock.lock();
    PortStream().OnGetMapping(
        [&]
        {
            {
                std::lock_guard guard(signalLock);
                inPort = true;
            }
            signal.notify_one();
            std::lock_guard wait(portLock); // the port's lock, held by the revoker
        });

    std::thread transfer(
        [&]
        {
            host::ScopedIrql atDispatch(DISPATCH_LEVEL);
            Stream()->Service();
        });
    {
        std::unique_lock guard(signalLock);
        signal.wait(guard, [&] { return inPort; });
    }
    // Here the port holds its lock (portLock) and revokes.
    ULONG revoked = 0;
    PortStream().Revoke();
    EXPECT_EQ(Stream()->RevokeMappings(nullptr, nullptr, &revoked), STATUS_SUCCESS);
    portLock.unlock();
    transfer.join();
    PortStream().OnGetMapping({});

    EXPECT_EQ(revoked, 1u);
    // A mapping handed out by a GetMapping that overlapped the revocation
    // cannot be told from one revoked by it: it is never used or released.
    EXPECT_EQ(Peer().TotalBytes(), 16u);
    EXPECT_EQ(Peer().MappingBytes(), 0u);
    AllowOutstandingMappings();
}

// A revocation while the transfer waits in GetMapping: the mapping that
// comes back counts as revoked, and the transfer must leave the in-use mark
// clear when it turns away from it. A second revocation then returns at
// once; with the mark left set it would spin for ever at DISPATCH_LEVEL.
// The second one runs on a thread of its own, and a bound on the wait turns
// such a hang into a failure.
TEST_F(RevokeMappings, ASecondRevocationAfterOneThatOverlappedATransferReturns)
{
    Open();
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    PortStream().QueueMapping(nuvtest::Ramp(16));

    std::mutex signalLock;
    std::condition_variable signal;
    bool inPort = false;
    bool revoked = false;
    std::atomic<bool> armed{true};
    PortStream().OnGetMapping(
        [&]
        {
            if (!armed.exchange(false))
                return;
            std::unique_lock guard(signalLock);
            inPort = true;
            signal.notify_all();
            signal.wait(guard, [&] { return revoked; });
        });
    std::thread transfer(
        [&]
        {
            host::ScopedIrql atDispatch(DISPATCH_LEVEL);
            Stream()->Service();
        });
    {
        std::unique_lock guard(signalLock);
        signal.wait(guard, [&] { return inPort; });
    }
    ULONG count = 0;
    EXPECT_EQ(Stream()->RevokeMappings(nullptr, nullptr, &count), STATUS_SUCCESS);
    {
        std::lock_guard guard(signalLock);
        revoked = true;
    }
    signal.notify_all();
    transfer.join();
    PortStream().OnGetMapping({});
    EXPECT_EQ(Peer().TotalBytes(), 0u) << "the mapping that came back was passed over";

    PortStream().Revoke();
    auto second = std::async(std::launch::async,
                             [&]
                             {
                                 ULONG again = 0;
                                 host::ScopedIrql atDispatch(DISPATCH_LEVEL);
                                 return Stream()->RevokeMappings(nullptr, nullptr, &again);
                             });
    if (second.wait_for(std::chrono::seconds(20)) != std::future_status::ready)
    {
        ADD_FAILURE() << "the second RevokeMappings did not return: the in-use mark of the "
                         "transfer that overlapped the first one is still set";
        std::fflush(nullptr);
        std::_Exit(1);
    }
    EXPECT_EQ(second.get(), STATUS_SUCCESS);
    AllowOutstandingMappings();
}

} // namespace
