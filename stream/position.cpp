// Position reporting: where playback (or recording) stands, as a byte offset
// in the client's data and as a time. Resident; neither takes m_Lock, so a
// position read during a transfer reflects the period count before or after
// that transfer's completion.
#include "stream/minstream.h"

// The engine's PinOffset for each pin. Streams exist only on pin 0 of this
// driver's filters; a pin beyond the map is given 0 as well, the offset of
// every ordinary pin.
static const ULONG PositionPinOffsets[] = {
    0, // pin 0
    0, // pin 1
    0, // pin 2
    0, // pin 3
    4, // pin 4
};

static ULONG PinOffsetOf(_In_ ULONG Pin)
{
    return Pin < SIZEOF_ARRAY(PositionPinOffsets) ? PositionPinOffsets[Pin] : 0;
}

ULONG CMiniportWavePciStream::EnginePinOffset() const
{
    return PinOffsetOf(m_Pin);
}

// Whether the engine is past the first frame of the period it plays: every
// stream plays on the device's period grid and the engine takes a half at a
// period's first frame, so past it the half for this period is taken. At
// the first frame itself the take may be just ahead or just behind; the
// stream counts it as ahead. Sent without m_Lock held.
BOOLEAN CMiniportWavePciStream::EngineInsidePeriod()
{
    ENGINE_POSITION_PARAMS block = {};
    block.Capture = m_Capture;
    block.PinOffset = EnginePinOffset();
    m_Miniport->CallEngine(ENGINE_CMD_GET_POSITION, &block);
    return block.Position % m_PeriodFrames != 0;
}

// Completed periods plus the engine's offset inside the period it plays,
// less the one period the transfer runs ahead of the engine (for render,
// the RUN pre-fill completes the first period before the engine starts).
//
// The engine position is meaningful only modulo one period; the byte product
// is formed in 64 bits, so that it does not wrap after 2^32 / (N * B) frames
// (about four hours of 48 kHz stereo 24-bit) and make the offset jump.
STDMETHODIMP_(NTSTATUS) CMiniportWavePciStream::GetPosition(PULONGLONG Position)
{
    ENGINE_POSITION_PARAMS block = {};
    block.Capture = m_Capture;
    block.PinOffset = EnginePinOffset();
    m_Miniport->CallEngine(ENGINE_CMD_GET_POSITION, &block);

    ULONGLONG offsetInPeriod = static_cast<ULONGLONG>(block.Position) * m_Channels *
                               m_ClientBytesPerSample % m_PeriodClientBytes;

    ULONGLONG position = 0;
    if (ReadShared(&m_Running) == 1)
    {
        ULONGLONG completedBytes = ReadShared64(&m_CompletedBytes);
        position = completedBytes + offsetInPeriod;
        if (completedBytes >= m_PeriodClientBytes)
        {
            position -= m_PeriodClientBytes;
        }
    }
    *Position = position;
    return STATUS_SUCCESS;
}

// Bytes to 100-nanosecond units. The units-per-byte factor is truncated
// first, and that truncation is part of the result: 48 kHz stereo 24-bit
// maps one second (288000 bytes) to 9,999,996.
STDMETHODIMP_(NTSTATUS)
CMiniportWavePciStream::NormalizePhysicalPosition(PLONGLONG PhysicalPosition)
{
    ULONG unitsPerByteRate = 10000000 / (m_Channels * m_ClientBytesPerSample);
    *PhysicalPosition = static_cast<LONGLONG>(unitsPerByteRate) * *PhysicalPosition /
                        static_cast<LONGLONG>(m_SampleRate);
    return STATUS_SUCCESS;
}
