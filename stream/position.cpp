// Position reporting: where playback (or recording) stands, as a byte offset
// in the client's data and as a time. Resident; nothing here takes m_Lock.
//
// Render. The position is the count of client bytes the device has played
// since STOP: not the silence it played where the client's data came late,
// not what the transfer moved ahead of the engine. Three records give it:
//
//   - the engine's frame counter (GET_POSITION), carried on in 64 bits, so
//     that its wrap at 2^32 frames moves nothing (m_EngineFrames);
//   - where the engine is in the stream. The engine plays a stream on the
//     device's period grid: it begins a fresh buffer at a period boundary
//     and resumes a stopped stream where the device's offset in the period
//     is the frame it stopped at. So from the engine frame where it began
//     or resumed, and what it had played before, the frames it has played
//     follow from any later engine frame (m_PlayFrom, m_FramesBefore;
//     written at every START and STOP of the engine stream);
//   - what the halves it took held: whole client frames at the start of the
//     half and silence after them, as the transfer accounted for each take
//     at the Service before it, and for a take the engine made before its
//     Service ran (a late DPC), the half as it stands (m_Takes and the
//     fields after it).
//
// Having played T frames of the stream, the engine has played T / F halves
// in full and T mod F frames of the next one. The position is the client
// bytes of the full ones, and of the next one as far as the engine got into
// its client frames. While the client's data flows, every half is a whole
// period and that is the completed periods plus the engine's offset inside
// the period, less the one period the transfer runs ahead of the engine.
// Where it is not, the position stands still: before the engine begins, over
// the silence of an underrun, while paused, and at the end of the data,
// where it is the total the client wrote once all of it has played.
//
// Concurrency. The records change while GetPosition reads them; it asks
// the engine first and reads them after, and the answer must hold for the
// moment of that question. The take record is read whole (m_TakeSequence)
// and only grows: what it says of a take is final, and the last two takes
// are kept, so it serves a question asked up to two takes before. The
// stream's place changes at START and STOP: a reader whose question came
// before a change and its reading after asks again (m_PlaceSequence), or it
// would give the place after a PAUSE as the position before it. So does a
// reader that was held up while the engine took more halves than the
// record keeps. Should every attempt meet a change, the last one stands: the
// two fields of the place are written in an order that never shows the
// engine further on than it is at the reading (see PositionStopping).
#include "stream/minstream.h"

// m_PlayFrom while the engine stream is stopped or paused.
#define POSITION_NOT_PLAYING (~0ULL)
// Readings GetPosition makes before it settles for the last one: each one
// after the first means the engine stream was started or stopped, or the
// engine took two halves, between the question and the reading.
#define POSITION_ATTEMPTS 8

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

// The engine's frame counter, 32 bits. Sent without m_Lock held.
ULONG CMiniportWavePciStream::QueryEngineFrames()
{
    ENGINE_POSITION_PARAMS block = {};
    block.Capture = m_Capture;
    block.PinOffset = EnginePinOffset();
    m_Miniport->CallEngine(ENGINE_CMD_GET_POSITION, &block);
    return block.Position;
}

// The 32-bit counter as a 64-bit count: the newest count seen, moved by the
// difference to it taken as a signed 32-bit step, so that an answer given
// before the newest one lands just below it. Services ask every period,
// far more often than the 2^31 frames this needs. The first answer is taken
// as it is. Raises m_EngineFrames to the count.
ULONGLONG CMiniportWavePciStream::CarryEngineFrames(ULONG EngineFrames)
{
    ULONGLONG seen = ReadShared64(&m_EngineFrames);
    for (;;)
    {
        LONG step = static_cast<LONG>(EngineFrames - static_cast<ULONG>(seen));
        ULONGLONG frames = seen == 0 ? EngineFrames : seen + static_cast<ULONGLONG>(step);
        if (frames <= seen)
        {
            return frames;
        }
        ULONGLONG previous = static_cast<ULONGLONG>(
            InterlockedCompareExchange64(reinterpret_cast<volatile LONG64*>(&m_EngineFrames),
                                         static_cast<LONG64>(frames), static_cast<LONG64>(seen)));
        if (previous == seen)
        {
            return frames;
        }
        seen = previous;
    }
}

// Whether the engine is past the first frame of the period it plays: every
// stream plays on the device's period grid and the engine takes a half at a
// period's first frame, so past it the half for this period is taken. At
// the first frame itself the take may be just ahead or just behind; the
// stream counts it as ahead. The count carried on in 64 bits gives the
// offset in the period also after the counter wrapped, where the 32-bit
// value modulo a period that does not divide 2^32 would not.
BOOLEAN CMiniportWavePciStream::EngineInsidePeriod()
{
    return CarryEngineFrames(QueryEngineFrames()) % m_PeriodFrames != 0;
}

// Frames of the stream the engine has played when its counter is at
// EngineFrames. m_FramesBefore is read first: see PositionStopping.
ULONGLONG CMiniportWavePciStream::FramesPlayed(ULONGLONG EngineFrames) const
{
    ULONGLONG before = ReadShared64(&m_FramesBefore);
    ULONGLONG playFrom = ReadShared64(&m_PlayFrom);
    if (playFrom == POSITION_NOT_PLAYING || EngineFrames <= playFrom)
    {
        return before;
    }
    return before + (EngineFrames - playFrom);
}

// Render, right after START: the engine goes on from the frame of the
// period it stopped at (0 for a fresh buffer: the next period boundary),
// when the device's offset in the period comes round to it, which is now
// if it is there already. Asked after START, so that an engine that began
// before the answer is, if anything, taken to begin a period late: the
// position may lag, never run ahead.
//
// The thread that sent START may have been held up before it asked, while
// the engine played on. The period ends counted since START (PeriodEndsBefore
// is the count read before it) bound how late that can be: the last of them
// came at a period boundary no later than the answer, and the first a whole
// period less the cursor after the engine began, so it began no later than
// that many periods before the boundary, plus the cursor. The count is read
// before the engine is asked, so that no end it holds is later than the
// answer; an end not yet counted only makes the bound later.
VOID CMiniportWavePciStream::PositionStarted(ULONG PeriodEndsBefore)
{
    ULONG endsSinceStart = m_Miniport->PeriodEnds(m_Capture, m_Pin) - PeriodEndsBefore;
    ULONGLONG frames = CarryEngineFrames(QueryEngineFrames());
    ULONG cursor = static_cast<ULONG>(ReadShared64(&m_FramesBefore) % m_PeriodFrames);
    ULONG phase = static_cast<ULONG>(frames % m_PeriodFrames);
    ULONG wait = cursor >= phase ? cursor - phase : cursor + (m_PeriodFrames - phase);
    ULONGLONG playFrom = frames + wait;
    ULONGLONG boundary = frames - phase;
    ULONGLONG endedFrames = static_cast<ULONGLONG>(endsSinceStart) * m_PeriodFrames;
    if (endsSinceStart != 0 && endedFrames <= boundary &&
        boundary - endedFrames + cursor < playFrom)
    {
        playFrom = boundary - endedFrames + cursor;
    }
    InterlockedIncrement(&m_PlaceSequence);
    WriteShared64(&m_PlayFrom, playFrom);
    InterlockedIncrement(&m_PlaceSequence);
}

// Render, right before STOP of the engine stream: the stream's place stands
// still from here. A reader reads m_FramesBefore before m_PlayFrom; written
// in the other order, it sees the old place still moving, the old place
// standing still, or the new one, and never the new count moving on. The
// engine is asked before STOP, so that the frames it still plays until STOP
// take effect make the position lag, not lead.
VOID CMiniportWavePciStream::PositionStopping()
{
    ULONGLONG played = FramesPlayed(CarryEngineFrames(QueryEngineFrames()));
    InterlockedIncrement(&m_PlaceSequence);
    WriteShared64(&m_PlayFrom, POSITION_NOT_PLAYING);
    WriteShared64(&m_FramesBefore, played);
    InterlockedIncrement(&m_PlaceSequence);
}

// STOP (with m_Lock held) and Init: nothing played, nothing taken.
VOID CMiniportWavePciStream::ResetPosition()
{
    InterlockedIncrement(&m_PlaceSequence);
    WriteShared64(&m_PlayFrom, POSITION_NOT_PLAYING);
    WriteShared64(&m_FramesBefore, 0);
    InterlockedIncrement(&m_PlaceSequence);
    BeginTakeUpdate();
    WriteShared64(&m_Takes, 0);
    WriteShared64(&m_TakenBytes, 0);
    WriteShared(&m_LastTakeBytes, 0);
    WriteShared(&m_PreviousTakeBytes, 0);
    WriteShared(&m_NextTakeBytes, 0);
    EndTakeUpdate();
}

// The take record's writers hold m_Lock, so there is one at a time, and run
// at DISPATCH_LEVEL: a reader never waits for one that was preempted.
VOID CMiniportWavePciStream::BeginTakeUpdate()
{
    InterlockedIncrement(&m_TakeSequence);
}

VOID CMiniportWavePciStream::EndTakeUpdate()
{
    InterlockedIncrement(&m_TakeSequence);
}

// The engine takes (or took) a half holding ClientBytes of whole frames.
VOID CMiniportWavePciStream::RecordTake(ULONG ClientBytes)
{
    BeginTakeUpdate();
    WriteShared(&m_PreviousTakeBytes, ReadShared(&m_LastTakeBytes));
    WriteShared(&m_LastTakeBytes, ClientBytes);
    WriteShared64(&m_TakenBytes, ReadShared64(&m_TakenBytes) + ClientBytes);
    WriteShared64(&m_Takes, ReadShared64(&m_Takes) + 1);
    WriteShared(&m_NextTakeBytes, NextTakeBytes());
    EndTakeUpdate();
}

// After a transfer: what the next take would hold now.
VOID CMiniportWavePciStream::PublishNextTake()
{
    ULONG next = NextTakeBytes();
    if (next == ReadShared(&m_NextTakeBytes))
    {
        return;
    }
    BeginTakeUpdate();
    WriteShared(&m_NextTakeBytes, next);
    EndTakeUpdate();
}

// Takes the transfer could not account for one by one (a Service so late
// that the engine went round both halves more than once): nothing of them
// is counted as the client's.
VOID CMiniportWavePciStream::RecordSilentTakes(ULONGLONG Count)
{
    if (Count == 0)
    {
        return;
    }
    BeginTakeUpdate();
    WriteShared(&m_PreviousTakeBytes, Count >= 2 ? 0 : ReadShared(&m_LastTakeBytes));
    WriteShared(&m_LastTakeBytes, 0);
    WriteShared64(&m_Takes, ReadShared64(&m_Takes) + Count);
    EndTakeUpdate();
}

// The take record, whole.
struct POSITION_TAKES
{
    ULONGLONG Takes;
    ULONGLONG TakenBytes;
    ULONG LastTakeBytes;
    ULONG PreviousTakeBytes;
    ULONG NextTakeBytes;
};

static ULONGLONG SmallerOf(ULONGLONG First, ULONGLONG Second)
{
    return First < Second ? First : Second;
}

ULONGLONG CMiniportWavePciStream::RenderPosition()
{
    ULONGLONG position = 0;
    for (ULONG attempt = 0; attempt < POSITION_ATTEMPTS; attempt++)
    {
        LONG place = InterlockedCompareExchange(&m_PlaceSequence, 0, 0);
        ULONGLONG played = FramesPlayed(CarryEngineFrames(QueryEngineFrames()));

        POSITION_TAKES record;
        LONG sequence;
        do
        {
            sequence = InterlockedCompareExchange(&m_TakeSequence, 0, 0);
            record.Takes = ReadShared64(&m_Takes);
            record.TakenBytes = ReadShared64(&m_TakenBytes);
            record.LastTakeBytes = ReadShared(&m_LastTakeBytes);
            record.PreviousTakeBytes = ReadShared(&m_PreviousTakeBytes);
            record.NextTakeBytes = ReadShared(&m_NextTakeBytes);
        } while ((sequence & 1) != 0 ||
                 sequence != InterlockedCompareExchange(&m_TakeSequence, 0, 0));

        BOOLEAN placeKept =
            (place & 1) == 0 && place == InterlockedCompareExchange(&m_PlaceSequence, 0, 0);

        // The take playing, and the client bytes of its frames played.
        ULONGLONG take = played / m_PeriodFrames;
        ULONGLONG intoTake = (played % m_PeriodFrames) * m_FrameClientBytes;
        ULONGLONG lastStart = record.TakenBytes - record.LastTakeBytes;
        BOOLEAN known = TRUE;
        if (take > record.Takes)
        {
            // A Service more than a period late: the take after the ones
            // accounted for is played as well, what follows is not known.
            position = record.TakenBytes + record.NextTakeBytes;
        }
        else if (take == record.Takes)
        {
            // The transfer accounts for a take at the Service before it; a
            // take not yet accounted for is one the engine made before its
            // Service ran, of the half as it stood.
            position = record.TakenBytes + SmallerOf(record.NextTakeBytes, intoTake);
        }
        else if (take + 1 == record.Takes)
        {
            position = lastStart + SmallerOf(record.LastTakeBytes, intoTake);
        }
        else
        {
            position = lastStart - record.PreviousTakeBytes;
            known = take + 2 == record.Takes;
            if (known)
            {
                position += SmallerOf(record.PreviousTakeBytes, intoTake);
            }
        }
        if (placeKept && known)
        {
            return position;
        }
    }
    return position;
}

// Capture: completed periods plus the engine's offset inside the period it
// records, less the period the transfer completes ahead of the engine; 0
// while not running. The byte product is formed in 64 bits, so that it
// does not wrap after 2^32 / (N * B) frames and make the offset jump.
ULONGLONG CMiniportWavePciStream::CapturePosition(ULONG EngineFrames) const
{
    ULONGLONG offsetInPeriod = static_cast<ULONGLONG>(EngineFrames) * m_Channels *
                               m_ClientBytesPerSample % m_PeriodClientBytes;
    if (ReadShared(&m_Running) != 1)
    {
        return 0;
    }
    ULONGLONG completedBytes = ReadShared64(&m_CompletedBytes);
    ULONGLONG position = completedBytes + offsetInPeriod;
    if (completedBytes >= m_PeriodClientBytes)
    {
        position -= m_PeriodClientBytes;
    }
    return position;
}

// The engine is asked in every state.
STDMETHODIMP_(NTSTATUS) CMiniportWavePciStream::GetPosition(PULONGLONG Position)
{
    if (m_Capture != 0)
    {
        *Position = CapturePosition(QueryEngineFrames());
        return STATUS_SUCCESS;
    }
    *Position = RenderPosition();
    return STATUS_SUCCESS;
}

// Bytes to 100-nanosecond units: q = 10^7 / (N * B), truncated first (that
// truncation is part of the result: 48 kHz stereo 24-bit maps one second,
// 288000 bytes, to 9,999,996), then q * bytes / rate, toward zero. The
// product q * bytes passes 2^63 about 110 days into a stream; formed as
// q * (bytes / rate) + q * (bytes mod rate) / rate it is exact without it,
// and a time beyond what 64 bits hold saturates.
STDMETHODIMP_(NTSTATUS)
CMiniportWavePciStream::NormalizePhysicalPosition(PLONGLONG PhysicalPosition)
{
    ULONGLONG unitsPerByteRate = 10000000 / (m_Channels * m_ClientBytesPerSample);
    LONGLONG position = *PhysicalPosition;
    BOOLEAN negative = position < 0;
    ULONGLONG magnitude =
        negative ? 0 - static_cast<ULONGLONG>(position) : static_cast<ULONGLONG>(position);
    // 2^63 - 1 forward, 2^63 backward.
    ULONGLONG limit = static_cast<ULONGLONG>(MAXLONGLONG) + (negative ? 1 : 0);

    ULONGLONG whole = magnitude / m_SampleRate;
    ULONGLONG rest = unitsPerByteRate * (magnitude % m_SampleRate) / m_SampleRate;
    ULONGLONG units = limit;
    if (unitsPerByteRate == 0 || whole <= (limit - rest) / unitsPerByteRate)
    {
        units = unitsPerByteRate * whole + rest;
    }
    *PhysicalPosition = negative ? static_cast<LONGLONG>(0 - units) : static_cast<LONGLONG>(units);
    return STATUS_SUCCESS;
}
