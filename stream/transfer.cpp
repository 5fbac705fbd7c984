// The sample transfer: Service and MappingAvailable, one period at a time
// from (render) or into (capture) the port's mappings, paced by the engine's
// notification (EngineNotify, wave/minwave.h); the conversion itself is
// stream/convert.h's. Everything here is resident: Service runs at
// DISPATCH_LEVEL.
#include "stream/convert.h"
#include "stream/minstream.h"

// Value mod Modulus for the values the transfer state holds: below
// 2 * Modulus the remainder is one subtraction, which saves the two
// divisions per mapping piece that a plain % costs. Any other value still
// gets the exact remainder.
static ULONG WrapBelow(ULONG Value, ULONG Modulus)
{
    if (Value < Modulus)
    {
        return Value;
    }
    Value -= Modulus;
    return Value < Modulus ? Value : Value % Modulus;
}

// A transfer never crosses a period boundary of the client stream, so the
// container bytes it reaches stay inside the current half.
ULONG CMiniportWavePciStream::ConvertSamples(PVOID MappingAddress, ULONG ByteCount)
{
    ULONG periodLeft = m_PeriodClientBytes - WrapBelow(m_ClientPhase, m_PeriodClientBytes);
    ULONG count = ByteCount < periodLeft ? ByteCount : periodLeft;

    ConvertSamplesFast(m_Buffer, &m_BufferOffset, static_cast<PUCHAR>(MappingAddress), count,
                       m_ClientBytesPerSample, m_Capture == 1);

    m_TotalBytes += count;
    m_ClientPhase = WrapBelow(m_ClientPhase + count, m_BufferClientBytes);
    return count;
}

// With m_Lock held. A revocation since the GetMapping that returned the held
// mapping means the port has taken it back.
BOOLEAN CMiniportWavePciStream::MappingWasRevoked() const
{
    return m_MappingGeneration !=
           InterlockedCompareExchange(const_cast<volatile LONG*>(&m_RevokeGeneration), 0, 0);
}

// With m_Lock held: the held mapping is no longer the stream's business.
VOID CMiniportWavePciStream::ForgetMapping()
{
    m_MappingBytes = 0;
    m_MappingVirtual = NULL;
}

// Hands the held mapping back to the port, unless the port already revoked
// it (a revoked mapping is the port's; it must not be released again).
VOID CMiniportWavePciStream::ReleaseHeldMapping()
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&m_Lock);
    if (m_MappingBytes != 0)
    {
        if (!MappingWasRevoked())
        {
            m_PortStream->ReleaseMapping(&m_MappingsReleased);
            m_MappingsReleased++;
        }
        ForgetMapping();
    }
    KeReleaseSpinLock(&m_Lock, oldIrql);
}

// With m_Lock held: gives back a mapping that is used up, unless the port
// revoked it meanwhile (a revoked mapping is the port's; it must not be
// released again).
VOID CMiniportWavePciStream::ReleaseUsedUpMapping()
{
    if (!MappingWasRevoked())
    {
        m_PortStream->ReleaseMapping(&m_MappingsReleased);
        m_MappingsReleased++;
    }
    ForgetMapping();
}

// With m_Lock held, for the mapping GetMapping has just returned, with the
// revocation generation read before that call. Render: a revocation since
// the mapping before it means the port took back the buffers that held the
// rest of a frame that mapping left unfinished, so the frame's first samples
// are dropped and this mapping starts a frame. Bytes that STOP left to pass
// over are passed over. Returns FALSE if nothing of the mapping is left.
BOOLEAN CMiniportWavePciStream::TakeNewMapping(LONG Generation)
{
    LONG previous = m_MappingGeneration;
    m_MappingGeneration = Generation;
    if (m_Capture != 0)
    {
        return TRUE;
    }
    if (Generation != previous && PartialFrameBytes() != 0)
    {
        DropPartialFrame();
    }
    if (m_SkipBytes == 0)
    {
        return TRUE;
    }
    if (Generation != m_SkipGeneration)
    {
        m_SkipBytes = 0;
        return TRUE;
    }
    ULONG skipped = m_SkipBytes < m_MappingBytes ? m_SkipBytes : m_MappingBytes;
    m_SkipBytes -= skipped;
    m_MappingBytes -= skipped;
    m_MappingVirtual = static_cast<PUCHAR>(m_MappingVirtual) + skipped;
    m_MappingPhysical.LowPart += skipped;
    if (m_MappingBytes != 0)
    {
        return TRUE;
    }
    ReleaseUsedUpMapping();
    return FALSE;
}

// Moves up to the rest of the current period, taking mappings from the port
// while the period is incomplete and none is held, and releasing each one
// when it is used up. m_Lock is held throughout, across the port's
// GetMapping and ReleaseMapping. Returns the status of the last GetMapping.
//
// Revocation (see RevokeMappings): the generation is read before GetMapping,
// so a mapping returned while a revocation ran counts as revoked; the held
// mapping's memory is touched only between setting m_MappingInUse and
// clearing it, after the generation was checked again.
NTSTATUS CMiniportWavePciStream::TransferPeriod()
{
    NTSTATUS ntStatus = STATUS_SUCCESS;
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&m_Lock);

    // STOP may have taken the buffer away while a late caller waited.
    while (m_Buffer != NULL)
    {
        if (m_PeriodBytesDone >= m_PeriodClientBytes)
        {
            if (m_Capture == 0)
            {
                // The ring cursor stands at the end of the completed half.
                m_PendingHalves |= 1u << (((m_BufferOffset - 1) / m_PeriodContainerBytes) & 1);
            }
            m_PeriodBytesDone -= m_PeriodClientBytes;
            // Back to 0 only after the second half.
            m_BufferOffset %= m_BufferBytes;
            AddShared64(&m_CompletedBytes, m_PeriodClientBytes);
            WriteShared(&m_PeriodShort, 0);
            break;
        }
        // A half that holds a period the engine has not taken yet is not
        // written again: the next period waits until the engine took it.
        if (m_Capture == 0 && m_PeriodBytesDone == 0 && (m_PendingHalves & (1u << OpenHalf())) != 0)
        {
            break;
        }

        if (m_MappingBytes != 0 && MappingWasRevoked())
        {
            ForgetMapping();
        }
        if (m_MappingBytes == 0)
        {
            LONG generation = InterlockedCompareExchange(&m_RevokeGeneration, 0, 0);
            ULONG flags = 0;
            ntStatus = m_PortStream->GetMapping(&m_MappingsReleased, &m_MappingPhysical,
                                                &m_MappingVirtual, &m_MappingBytes, &flags);
            if (!NT_SUCCESS(ntStatus))
            {
                ForgetMapping();
                WriteShared(&m_PeriodShort, 1);
                break;
            }
            if (!TakeNewMapping(generation))
            {
                continue;
            }
        }

        InterlockedExchange(&m_MappingInUse, 1);
        if (MappingWasRevoked())
        {
            InterlockedExchange(&m_MappingInUse, 0);
            ForgetMapping();
            continue;
        }
        ULONG moved = ConvertSamples(m_MappingVirtual, m_MappingBytes);
        InterlockedExchange(&m_MappingInUse, 0);

        m_PeriodBytesDone += moved;
        m_MappingBytes -= moved;
        if (m_MappingBytes == 0)
        {
            ReleaseUsedUpMapping();
        }
        else
        {
            // A mapping longer than the rest of the period is continued by
            // the next transfer.
            m_MappingVirtual = static_cast<PUCHAR>(m_MappingVirtual) + moved;
            m_MappingPhysical.LowPart += moved;
        }
    }

    if (m_Capture == 0 && m_Buffer != NULL)
    {
        PublishNextTake();
    }
    KeReleaseSpinLock(&m_Lock, oldIrql);
    return ntStatus;
}

// --- the engine's takes of the render halves (all with m_Lock held) ---------

// The half m_BufferOffset is in: where the open period goes.
ULONG CMiniportWavePciStream::OpenHalf() const
{
    return (m_BufferOffset / m_PeriodContainerBytes) & 1;
}

// Client bytes of a frame that the last mapping left unfinished.
ULONG CMiniportWavePciStream::PartialFrameBytes() const
{
    return static_cast<ULONG>(m_PeriodBytesDone % m_FrameClientBytes);
}

// The ring offset of the first container of the unfinished frame: the
// period starts a half, and every whole frame before it fills N containers.
static ULONG PartialFrameStart(ULONG OpenHalf, ULONG PeriodContainerBytes,
                               ULONGLONG PeriodBytesDone, ULONG FrameClientBytes,
                               ULONG FrameContainerBytes)
{
    ULONG wholeFrames = static_cast<ULONG>(PeriodBytesDone / FrameClientBytes);
    return OpenHalf * PeriodContainerBytes + wholeFrames * FrameContainerBytes;
}

// The rest of the frame will not come: its first samples leave the ring and
// the cursor, client phase and period count go back to the frame's start.
VOID CMiniportWavePciStream::DropPartialFrame()
{
    ULONG partial = PartialFrameBytes();
    ULONG start = PartialFrameStart(OpenHalf(), m_PeriodContainerBytes, m_PeriodBytesDone,
                                    m_FrameClientBytes, m_FrameContainerBytes);
    RtlZeroMemory(m_Buffer + start, m_BufferOffset - start);
    m_BufferOffset = start;
    m_PeriodBytesDone -= partial;
    m_ClientPhase -= partial;
}

// The engine took the half of the open period before it was complete: it
// plays the whole frames in it, then silence. The open period starts again
// at the start of Half, and the containers of an unfinished frame go along
// (their place in the taken half is silenced).
VOID CMiniportWavePciStream::MoveOpenPeriodTo(ULONG Half)
{
    ULONG partial = PartialFrameBytes();
    ULONG from = PartialFrameStart(OpenHalf(), m_PeriodContainerBytes, m_PeriodBytesDone,
                                   m_FrameClientBytes, m_FrameContainerBytes);
    ULONG span = m_BufferOffset - from;
    ULONG to = Half * m_PeriodContainerBytes;
    if (span != 0)
    {
        RtlCopyMemory(m_Buffer + to, m_Buffer + from, span);
        RtlZeroMemory(m_Buffer + from, span);
    }
    m_BufferOffset = to + span;
    m_PeriodBytesDone = partial;
    m_ClientPhase = Half * m_PeriodClientBytes + partial;
}

// With m_Lock held: the client bytes of whole frames in the half the engine
// takes next, as it stands: a whole period if it holds a completed one, the
// whole frames of the open period if that is in it, silence otherwise.
ULONG CMiniportWavePciStream::NextTakeBytes() const
{
    ULONG next = m_EngineNextHalf;
    if ((m_PendingHalves & (1u << next)) != 0)
    {
        return m_PeriodClientBytes;
    }
    if (OpenHalf() == next)
    {
        return static_cast<ULONG>(m_PeriodBytesDone) - PartialFrameBytes();
    }
    return 0;
}

// The engine takes m_EngineNextHalf (or took it, if the Service is late).
// What it holds is recorded for the position: a whole period, the whole
// frames of the open period, or silence. The stream writes that half no
// more until the engine took it again.
VOID CMiniportWavePciStream::AccountEngineTake()
{
    ULONG taken = m_EngineNextHalf;
    ULONG clientBytes = 0;
    if ((m_PendingHalves & (1u << taken)) != 0)
    {
        m_PendingHalves &= ~(1u << taken);
        clientBytes = m_PeriodClientBytes;
    }
    else if (OpenHalf() == taken)
    {
        clientBytes = static_cast<ULONG>(m_PeriodBytesDone) - PartialFrameBytes();
        MoveOpenPeriodTo(taken ^ 1);
    }
    m_EngineNextHalf = taken ^ 1;
    RecordTake(clientBytes);
}

// The next half the engine takes, when it is the open one, holds the open
// period's samples and silence after them: what it held before (the period
// played two periods ago) must not be played again if the engine takes it
// before the Service that would fill it runs.
VOID CMiniportWavePciStream::SilenceRestOfNextHalf()
{
    ULONG next = m_EngineNextHalf;
    if ((m_PendingHalves & (1u << next)) != 0 || OpenHalf() != next)
    {
        return;
    }
    ULONG end = (next + 1) * m_PeriodContainerBytes;
    RtlZeroMemory(m_Buffer + m_BufferOffset, end - m_BufferOffset);
}

// The start of a render Service: the engine has ended PeriodEnds periods in
// all (the miniport's count). Each end since the last Service is a half the
// engine took or is about to take; all but the newest are taken already,
// and the newest too if the engine is inside the period after it. Those are
// accounted for now, before the transfer, which then fills the half the
// engine takes next. Returns FALSE if no end came since the last Service
// (one that RUN caught up with already): there is nothing to account for.
// On a pin where no notification was ever counted (the stream is driven
// without the engine's callback), each Service stands for one end; RUN's
// catch-up (CatchUp) then has nothing to do.
BOOLEAN CMiniportWavePciStream::BeginEnginePeriod(ULONG PeriodEnds, BOOLEAN EngineInsidePeriod,
                                                  BOOLEAN CatchUp)
{
    ULONG ends = CatchUp ? 0 : 1;
    if (PeriodEnds != 0)
    {
        ends = PeriodEnds - m_PeriodEndsSeen;
        m_PeriodEndsSeen = PeriodEnds;
    }
    if (ends == 0)
    {
        m_EngineTakeDone = TRUE;
        return FALSE;
    }
    ULONG taken = ends - 1 + (EngineInsidePeriod ? 1 : 0);
    // Two takes bring both halves back to where they were; the position
    // still counts every take.
    ULONG accounted = taken > 3 ? 2 + (taken & 1) : taken;
    RecordSilentTakes(taken - accounted);
    for (ULONG take = 0; take < accounted; take++)
    {
        AccountEngineTake();
    }
    m_EngineTakeDone = EngineInsidePeriod;
    if (taken != 0)
    {
        SilenceRestOfNextHalf();
    }
    return TRUE;
}

// The end of a render Service: the engine takes its next half now, unless
// it had already.
VOID CMiniportWavePciStream::EndEnginePeriod()
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&m_Lock);
    if (m_Buffer != NULL)
    {
        if (!m_EngineTakeDone)
        {
            AccountEngineTake();
        }
        SilenceRestOfNextHalf();
    }
    m_EngineTakeDone = FALSE;
    KeReleaseSpinLock(&m_Lock, oldIrql);
}

// RUN on a fresh buffer: the engine takes half 0 first, at the next period
// boundary. The stream cannot tell when that is, so it counts the take as
// done now: a period that the pre-fill left incomplete moves on to half 1
// and half 0 plays what the pre-fill put there, then silence.
VOID CMiniportWavePciStream::ExpectFirstHalfTaken()
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&m_Lock);
    m_PeriodEndsSeen = m_Miniport->PeriodEnds(m_Capture, m_Pin);
    if (m_Buffer != NULL)
    {
        AccountEngineTake();
        SilenceRestOfNextHalf();
    }
    KeReleaseSpinLock(&m_Lock, oldIrql);
}

// A capture Service that moved nothing leaves silence in both halves.
// The check and the fill are one step under m_Lock: a MappingAvailable on
// another processor may have moved bytes since this Service's transfer, and
// they must not be wiped.
VOID CMiniportWavePciStream::ZeroCaptureBufferIfIdle(ULONGLONG TotalBytesBefore)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&m_Lock);
    if (m_TotalBytes == TotalBytesBefore && m_Buffer != NULL)
    {
        RtlZeroMemory(m_Buffer, m_BufferBytes);
    }
    KeReleaseSpinLock(&m_Lock, oldIrql);
}

VOID CMiniportWavePciStream::ServiceCapture()
{
    ULONGLONG totalBytesBefore = m_TotalBytes;
    TransferPeriod();
    ZeroCaptureBufferIfIdle(totalBytesBefore);
}

// The engine position is read before the count of period ends: a period
// end between the two then counts a half as taken that the engine may be
// only about to take (it plays silence, and nothing is lost), never the
// other way round. RUN after PAUSE calls this with AskEngine FALSE to do
// the work of a Service that came while the stream was paused: the engine
// stopped before that period's take, and takes it when it starts again.
VOID CMiniportWavePciStream::ServiceRender(BOOLEAN AskEngine)
{
    BOOLEAN insidePeriod = AskEngine ? EngineInsidePeriod() : FALSE;
    ULONG periodEnds = m_Miniport->PeriodEnds(m_Capture, m_Pin);

    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&m_Lock);
    BOOLEAN newEnd = m_Buffer != NULL && BeginEnginePeriod(periodEnds, insidePeriod, !AskEngine);
    KeReleaseSpinLock(&m_Lock, oldIrql);

    // A Service whose period end RUN already caught up with has nothing to
    // do: its half is filled and counted as taken, and the engine takes it
    // when it starts; a transfer now would write the half after it into
    // that very half.
    if (newEnd)
    {
        TransferPeriod();
    }
    EndEnginePeriod();
}

// The port calls this at DISPATCH_LEVEL after EngineNotify asked it to.
// A capture stream lets its first two calls after creation or a revocation
// pass, so that the engine has filled a half before the first is read.
STDMETHODIMP_(void) CMiniportWavePciStream::Service()
{
    if (ReadShared(&m_Running) != 1)
    {
        return;
    }
    if (AddShared64(&m_ServiceCount, 1) < 3 && m_Capture == 1)
    {
        return;
    }
    if (m_Capture == 1)
    {
        ServiceCapture();
        return;
    }
    ServiceRender(TRUE);
}

// Continues a period that ran short of mappings; no warm-up, no silence.
// A complete period is not followed by the next one here: that would run
// ahead of the engine and overwrite the half it is about to take.
STDMETHODIMP_(void) CMiniportWavePciStream::MappingAvailable()
{
    if (ReadShared(&m_Running) == 1 && ReadShared(&m_PeriodShort) == 1)
    {
        TransferPeriod();
    }
}
