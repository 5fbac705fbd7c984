// The sample transfer: the engine's notification, Service and
// MappingAvailable, one period at a time from (render) or into (capture) the
// port's mappings, and the conversion between client samples and 32-bit
// containers. Everything here is resident: Service and EngineNotify run at
// DISPATCH_LEVEL.
#include "stream/transfer.h"

#include "stream/convert.h"
#include "stream/minstream.h"

#define CONTAINER_BYTES 4

VOID NTAPI EngineNotify(ULONG Capture, ULONG Pin, PVOID CallbackContext)
{
    CMiniportWavePci* miniport = static_cast<CMiniportWavePci*>(CallbackContext);
    if (miniport == NULL || miniport->m_Port == NULL)
    {
        return;
    }
    if (Capture >= WAVE_DIRECTIONS || Pin >= WAVE_STREAM_TABLE_PINS)
    {
        return;
    }
    // One pointer-sized read: StartEngine publishes the entry, NewStream and
    // the stream's destruction clear it.
    PSERVICEGROUP serviceGroup = miniport->PublishedServiceGroup(Capture, Pin);
    if (serviceGroup == NULL)
    {
        return;
    }
    miniport->m_Port->Notify(serviceGroup);
}

VOID ConvertSamplesReference(PUCHAR Ring, PULONG RingOffset, PUCHAR Client, ULONG Count,
                             ULONG BytesPerSample, BOOLEAN Capture)
{
    ULONG lowBytes = CONTAINER_BYTES - BytesPerSample;
    ULONG offset = *RingOffset;
    for (ULONG index = 0; index < Count; index++)
    {
        if (offset % CONTAINER_BYTES == 0)
        {
            if (!Capture && BytesPerSample == 2)
            {
                Ring[offset] = 0;
                Ring[offset + 1] = 0;
            }
            offset += lowBytes;
        }
        if (Capture)
        {
            Client[index] = Ring[offset];
        }
        else
        {
            Ring[offset] = Client[index];
        }
        offset++;
    }
    *RingOffset = offset;
}

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
                SilenceRestOfHalf();
                break;
            }
            m_MappingGeneration = generation;
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
            if (!MappingWasRevoked())
            {
                m_PortStream->ReleaseMapping(&m_MappingsReleased);
                m_MappingsReleased++;
            }
            ForgetMapping();
        }
        else
        {
            // A mapping longer than the rest of the period is continued by
            // the next transfer.
            m_MappingVirtual = static_cast<PUCHAR>(m_MappingVirtual) + moved;
            m_MappingPhysical.LowPart += moved;
        }
    }

    KeReleaseSpinLock(&m_Lock, oldIrql);
    return ntStatus;
}

// With m_Lock held, when a render period runs short: the rest of its half
// still holds the period from two periods before, which the engine would
// play again if it took the half now. Silence is what the client sent
// there, as far as anyone knows; a later transfer overwrites it with the
// rest of the period. A period with nothing in it yet is left to the zero
// fill of Service.
VOID CMiniportWavePciStream::SilenceRestOfHalf()
{
    ULONG intoHalf = m_BufferOffset % m_PeriodContainerBytes;
    if (m_Capture != 0 || intoHalf == 0)
    {
        return;
    }
    RtlZeroMemory(m_Buffer + m_BufferOffset, m_PeriodContainerBytes - intoHalf);
}

// The end of a Service call: silence where it moved nothing, then the
// engine takes its next half. The check and the fill are one step under
// m_Lock: a MappingAvailable on another processor may have moved bytes
// since this Service's transfer, and they must not be wiped. Nor is a half
// holding a completed period the engine has not taken yet (see
// m_PendingHalves): it is the one the engine plays next.
VOID CMiniportWavePciStream::EndEnginePeriod(ULONGLONG TotalBytesBefore)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&m_Lock);
    if (m_TotalBytes == TotalBytesBefore && m_Buffer != NULL)
    {
        for (ULONG half = 0; half < 2; half++)
        {
            if ((m_PendingHalves & (1u << half)) == 0)
            {
                RtlZeroMemory(m_Buffer + static_cast<SIZE_T>(half) * m_PeriodContainerBytes,
                              m_PeriodContainerBytes);
            }
        }
    }
    m_PendingHalves &= ~(1u << m_EngineNextHalf);
    m_EngineNextHalf ^= 1;
    KeReleaseSpinLock(&m_Lock, oldIrql);
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
    ULONGLONG totalBytesBefore = m_TotalBytes;
    TransferPeriod();
    EndEnginePeriod(totalBytesBefore);
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
