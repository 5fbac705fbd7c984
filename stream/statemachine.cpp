// The stream's state machine: how the KS states that the port sets drive the
// engine, and the stop and restart around a revocation of mappings.
//
//     STOP -> ACQUIRE -> PAUSE     nothing (the engine stream never ran)
//     PAUSE -> RUN                 buffer (allocated, or the one still held),
//                                  callback, attach, render pre-fill, publish
//                                  the service group, START
//     RUN -> PAUSE (or ACQUIRE)    STOP, clear the callback; buffer stays
//     ACQUIRE -> STOP              clear the callback, detach, free the
//                                  buffer, reset the transfer to a period
//                                  start
//
// All of it is resident: the port may call SetState and RevokeMappings at
// DISPATCH_LEVEL. No engine command is sent with m_Lock held.
#include "stream/minstream.h"

#include "common/pooltags.h"
#include "stream/convert.h"

// START and STOP address the stream by direction, device and pin.
VOID CMiniportWavePciStream::SendStreamCommand(ULONG Command)
{
    ENGINE_STREAM_PARAMS block = {};
    block.Capture = m_Capture;
    block.DeviceIndex = m_DeviceIndex;
    block.Pin = m_Pin;
    block.Channels = m_Channels;
    m_Miniport->CallEngine(Command, &block);
}

// ATTACH_BUFFER with the transfer buffer and its period, or with none: a
// block without a buffer detaches the one the engine has.
VOID CMiniportWavePciStream::SendBuffer(BOOLEAN Attach)
{
    ENGINE_BUFFER_PARAMS block = {};
    block.Capture = m_Capture;
    block.DeviceIndex = m_DeviceIndex;
    block.Pin = m_Pin;
    block.Channels = m_Channels;
    if (Attach)
    {
        block.Buffer = m_Buffer;
        block.PeriodBytes = m_PeriodContainerBytes;
        block.BufferChannels = m_Channels;
    }
    m_Miniport->CallEngine(ENGINE_CMD_ATTACH_BUFFER, &block);
}

// Registers EngineNotify with the miniport as its context, or clears the
// registration (a cleared callback is not called again).
VOID CMiniportWavePciStream::RegisterNotify(BOOLEAN Register)
{
    ENGINE_NOTIFY_PARAMS block = {};
    block.Capture = m_Capture;
    block.DeviceIndex = m_DeviceIndex;
    block.Pin = m_Pin;
    block.Callback = Register ? EngineNotify : NULL;
    block.CallbackContext = Register ? static_cast<PVOID>(m_Miniport) : NULL;
    m_Miniport->CallEngine(ENGINE_CMD_REGISTER_NOTIFY, &block);
}

// The stream is ready for its Services before START: the engine may end
// periods as soon as START reaches it, while this thread is held up before
// it goes on, and each end must find the service group (EngineNotify counts
// it) and a running stream (Service does its work). Otherwise the engine
// would go round both halves with no Service to refill or silence them and
// play a period again. A Service that comes before START has nothing to do:
// RUN already did the work of every end so far.
//
// A render stream learns where the engine goes on in the stream, for its
// position, and where it stood when it stops (position.cpp).
VOID CMiniportWavePciStream::StartEngine()
{
    WriteShared(&m_Running, 1);
    m_Miniport->PublishServiceGroup(m_Capture, m_Pin, m_ServiceGroup);
    ULONG periodEndsBefore = m_Miniport->PeriodEnds(m_Capture, m_Pin);
    SendStreamCommand(ENGINE_CMD_START);
    if (m_Capture == 0)
    {
        PositionStarted(periodEndsBefore);
    }
}

// The stream-table entry stays: a notification still on its way finds the
// service group, and Service returns at once because m_Running is 0.
//
// The engine stream stops before its callback is cleared: a stream that
// still ran with no callback would take halves at period ends the stream
// never hears of (EngineNotify counts the ends), and would go on in the
// wrong half once started again.
//
// m_Running drops only once the engine stream has stopped: a Service that
// comes before that still fills the half the engine is about to take (it
// takes it now or when it starts again). One that comes after finds the
// stream paused and does nothing, and RUN does its work before it starts
// the engine again. Only one state change or revocation at a time gets
// here (m_EngineOwner), and destruction runs alone.
VOID CMiniportWavePciStream::StopEngine()
{
    if (ReadShared(&m_Running) != 1)
    {
        return;
    }
    if (m_Capture == 0)
    {
        PositionStopping();
    }
    SendStreamCommand(ENGINE_CMD_STOP);
    RegisterNotify(FALSE);
    WriteShared(&m_Running, 0);
}

// Takes the buffer away from the engine and frees it. The engine no longer
// touches a detached buffer; a late transfer finds m_Buffer NULL under
// m_Lock.
VOID CMiniportWavePciStream::DetachAndFreeBuffer()
{
    if (m_BufferAttached == 1)
    {
        RegisterNotify(FALSE);
        SendBuffer(FALSE);
        m_BufferAttached = 0;
    }

    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&m_Lock);
    PUCHAR buffer = m_Buffer;
    m_Buffer = NULL;
    KeReleaseSpinLock(&m_Lock, oldIrql);

    if (buffer != NULL)
    {
        ExFreePoolWithTag(buffer, POOL_TAG_TRANSFER);
    }
}

// Values of m_EngineOwner.
#define STATE_CHANGE_OWNER 1
#define REVOKE_OWNER 2

// A state change owns the engine stream's start and stop while it runs. A
// revocation's stop and restart take no lock and are short; the state
// change waits for one in progress to end, so that a revocation never
// restarts a stream that SetState has paused or stopped in the meantime.
VOID CMiniportWavePciStream::BeginStateChange()
{
    while (InterlockedCompareExchange(&m_EngineOwner, STATE_CHANGE_OWNER, 0) != 0)
    {
        KeMemoryBarrier();
    }
}

VOID CMiniportWavePciStream::EndStateChange()
{
    InterlockedExchange(&m_EngineOwner, 0);
}

NTSTATUS CMiniportWavePciStream::Run()
{
    BOOLEAN freshBuffer = m_Buffer == NULL;
    if (freshBuffer)
    {
        PUCHAR buffer = static_cast<PUCHAR>(
            ExAllocatePoolWithTag(NonPagedPoolNx, m_BufferBytes, POOL_TAG_TRANSFER));
        if (buffer == NULL)
        {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(buffer, m_BufferBytes);
        m_Buffer = buffer;
    }

    RegisterNotify(TRUE);
    SendBuffer(TRUE);
    m_BufferAttached = 1;

    if (ReadShared(&m_Running) == 1)
    {
        return STATUS_SUCCESS;
    }

    if (m_Capture == 0)
    {
        // A fresh buffer gets its first period from the mappings the port
        // already holds; with none, the first period plays silence. A RUN
        // after PAUSE finds the buffer it kept, still attached, with the
        // period ahead of the engine already in it (or still open, to be
        // completed by the next transfer): zeroing or filling it again would
        // drop that period, so it is used as it stands.
        if (freshBuffer)
        {
            RtlZeroMemory(m_Buffer, m_BufferBytes);
            TransferPeriod();
            ExpectFirstHalfTaken();
        }
        else
        {
            ServiceRender(FALSE);
        }
    }
    else
    {
        // A capture stream starts from a fresh mapping, and hands back the
        // one it held instead of forgetting it.
        ReleaseHeldMapping();
    }
    StartEngine();
    return STATUS_SUCCESS;
}

// STOP zeroes the byte counts of the period, and with them the client phase
// and the ring cursor, so that the three agree again and a later RUN starts
// at the beginning of the first half.
//
// Render: the port takes back the pin's buffers at STOP and revokes the
// mappings it handed out, so the rest of a frame that a mapping left
// unfinished does not come, and its first samples go with the buffer. Should
// the rest come after all (a port that kept its buffers), it is passed over
// (m_SkipBytes), so that the stream goes on at a frame boundary either way.
// A held mapping always ends a period, so it starts a frame. Capture keeps
// the part of a sample that a mapping left unfinished, at the same place in
// the first container, for the held mapping to complete.
VOID CMiniportWavePciStream::Stop()
{
    DetachAndFreeBuffer();
    StopEngine();

    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&m_Lock);
    if (m_Capture == 0)
    {
        ULONG partialFrame = PartialFrameBytes();
        if (partialFrame != 0)
        {
            m_SkipBytes = m_FrameClientBytes - partialFrame;
            m_SkipGeneration = m_MappingGeneration;
        }
        m_PeriodBytesDone = 0;
        m_ClientPhase = 0;
        m_BufferOffset = 0;
        m_PendingHalves = 0;
        m_EngineNextHalf = 0;
        m_EngineTakeDone = FALSE;
        // The next RUN plays from the start of the client's data.
        ResetPosition();
    }
    else
    {
        ULONG partialSample = m_ClientPhase % m_ClientBytesPerSample;
        m_PeriodBytesDone = partialSample;
        m_ClientPhase = partialSample;
        m_BufferOffset %= CONTAINER_BYTES;
    }
    m_TotalBytes = 0;
    m_PeriodShort = 0;
    KeReleaseSpinLock(&m_Lock, oldIrql);
}

STDMETHODIMP_(NTSTATUS) CMiniportWavePciStream::SetState(KSSTATE State)
{
    NTSTATUS ntStatus = STATUS_SUCCESS;
    BeginStateChange();
    switch (State)
    {
    case KSSTATE_RUN:
        ntStatus = Run();
        break;
    case KSSTATE_ACQUIRE:
    case KSSTATE_PAUSE:
        // The buffer stays allocated and attached; the held mapping and the
        // counters stay as they are.
        StopEngine();
        break;
    case KSSTATE_STOP:
        Stop();
        break;
    default:
        break;
    }
    EndStateChange();
    return ntStatus;
}

// The port takes back mappings it handed out; the stream stops the engine
// stream, gives up the mapping it holds and starts again if it was running.
//
// Exclusion with a running transfer, without deadlock. TransferPeriod holds
// m_Lock while it calls the port's GetMapping and ReleaseMapping, which take
// the port's own lock; the port may hold that lock while it calls here. If
// this waited for m_Lock, a transfer blocked in GetMapping would wait for the
// port while the port waited for the transfer. So m_Lock is not taken here:
//   1. m_RevokeGeneration is raised (an interlocked operation, a full
//      barrier). The transfer compares it with the generation it read before
//      the GetMapping of the mapping it holds, under m_Lock, before every use
//      and before ReleaseMapping: a revoked mapping is forgotten, never
//      released (it is the port's now), and a fresh one is asked for.
//   2. The only moment a transfer touches the mapping's memory is inside
//      ConvertSamples, bracketed by m_MappingInUse, which it sets (also a
//      full barrier) before it checks the generation. This waits until
//      m_MappingInUse is 0: either the transfer saw the new generation and
//      keeps off the mapping, or its copy ends, which takes no lock and so
//      ends soon. When this returns, nothing reads or writes revoked memory.
// A mapping handed out by a GetMapping that overlapped the revocation counts
// as revoked too, since it cannot be told from one handed out just before.
STDMETHODIMP_(NTSTATUS)
CMiniportWavePciStream::RevokeMappings(PVOID FirstTag, PVOID LastTag, PULONG MappingsRevoked)
{
    UNREFERENCED_PARAMETER(FirstTag);
    UNREFERENCED_PARAMETER(LastTag);

    InterlockedIncrement(&m_RevokeGeneration);
    while (InterlockedCompareExchange(&m_MappingInUse, 0, 0) != 0)
    {
        KeMemoryBarrier();
    }

    // The stop and restart are left out while SetState changes the state:
    // it decides whether the engine runs, and must not find it started
    // again behind its back (see BeginStateChange).
    if (InterlockedCompareExchange(&m_EngineOwner, REVOKE_OWNER, 0) != 0)
    {
        WriteShared64(&m_CompletedBytes, 0);
        WriteShared64(&m_ServiceCount, 0);
        *MappingsRevoked = 1;
        return STATUS_SUCCESS;
    }
    BOOLEAN wasRunning = ReadShared(&m_Running) == 1;
    StopEngine();
    WriteShared64(&m_CompletedBytes, 0);
    WriteShared64(&m_ServiceCount, 0);
    if (wasRunning)
    {
        // StopEngine cleared the callback; without it the restarted stream
        // would hear no more periods.
        RegisterNotify(TRUE);
        StartEngine();
    }
    InterlockedExchange(&m_EngineOwner, 0);

    *MappingsRevoked = 1;
    return STATUS_SUCCESS;
}
