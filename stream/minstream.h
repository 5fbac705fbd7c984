// CMiniportWavePciStream: the stream of one wave pin, created by the wave
// miniport's NewStream each time a client opens the pin.
//
// The stream owns a transfer buffer of two halves, each one period of the
// engine (F frames) of N 32-bit little-endian containers per frame, and moves
// audio one period at a time between the port's mappings of the client's
// buffers and that buffer. One period of render audio, and where it happens:
//
//     NewStream .............. newstream.cpp    the pin claimed, the stream made
//     Init ................... minstream.cpp    sizes from the engine's period,
//                                               rate and format, service group
//     SetState(RUN) .......... statemachine.cpp buffer, callback, attach,
//                                               pre-fill, publish, START
//     EngineNotify ........... wave/minwave.cpp engine -> the stream table ->
//                                               IPortWavePci::Notify
//     Service ................ transfer.cpp     one period under m_Lock, into
//                                               the half the engine takes
//                                               next; silence if none came
//     TransferPeriod ......... transfer.cpp     mappings -> ConvertSamples
//     ConvertSamplesFast ..... convert.cpp      client samples <-> 32-bit
//                                               containers (the layout)
//     GetPosition ............ position.cpp     the client bytes of the
//                                               halves taken, to where
//                                               the engine is in them
//     SetState(PAUSE, STOP) .. statemachine.cpp STOP the engine; detach, free
//
// Levels: creation, Init, SetFormat, GetAllocatorFraming, the interface query
// and destruction run at PASSIVE_LEVEL (pageable). SetState, RevokeMappings,
// GetPosition, NormalizePhysicalPosition, MappingAvailable and Service are
// resident; Service runs at DISPATCH_LEVEL, as does EngineNotify.
// No engine command is sent with m_Lock held.
//
// Locking: m_Lock guards the transfer state (ring cursor, client phase,
// period and byte counts, the held mapping) and is held across the port's
// GetMapping and ReleaseMapping. The port may hold its own lock while it calls
// RevokeMappings, so RevokeMappings never waits for m_Lock; see
// RevokeMappings in statemachine.cpp for how the two still exclude each other.
#pragma once

#include <portcls.h>

#include "common/unknown.h"
#include "wave/minwave.h"

class CMiniportWavePciStream : public IMiniportWavePciStream, public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();

    explicit CMiniportWavePciStream(_In_opt_ PUNKNOWN OuterUnknown) : CUnknown(OuterUnknown) {}
    ~CMiniportWavePciStream() override;

    // Called by NewStream right after creation. Takes references on the
    // miniport and the port stream, derives the sizes from the engine's
    // period, applies the format and creates the service group, which goes
    // to the caller with one reference. On failure NewStream releases the
    // stream, whose destruction drops what was taken.
    _IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
        Init(_In_ CMiniportWavePci* Miniport, _In_ PPORTWAVEPCISTREAM PortStream,
             _In_ ULONG DeviceIndex, _In_ ULONG Pin, _In_ BOOLEAN Capture,
             _In_ PKSDATAFORMAT DataFormat, _Out_ PSERVICEGROUP* ServiceGroup);

    // IMiniportWavePciStream
    _IRQL_requires_(PASSIVE_LEVEL) STDMETHODIMP_(NTSTATUS)
        SetFormat(_In_ PKSDATAFORMAT DataFormat) override;
    STDMETHODIMP_(NTSTATUS) SetState(_In_ KSSTATE State) override;
    STDMETHODIMP_(NTSTATUS) GetPosition(_Out_ PULONGLONG Position) override;
    STDMETHODIMP_(NTSTATUS) NormalizePhysicalPosition(_Inout_ PLONGLONG PhysicalPosition) override;
    _IRQL_requires_(PASSIVE_LEVEL) STDMETHODIMP_(NTSTATUS)
        GetAllocatorFraming(_Out_ PKSALLOCATOR_FRAMING AllocatorFraming) override;
    STDMETHODIMP_(NTSTATUS)
    RevokeMappings(_In_ PVOID FirstTag, _In_ PVOID LastTag, _Out_ PULONG MappingsRevoked) override;
    STDMETHODIMP_(void) MappingAvailable() override;
    _IRQL_requires_(DISPATCH_LEVEL) STDMETHODIMP_(void) Service() override;

private:
    // Tests look at the transfer state through this peer.
    friend class CMiniportWavePciStreamTestPeer;

    // --- transfer.cpp; resident ---
    NTSTATUS TransferPeriod();
    ULONG ConvertSamples(_In_ PVOID MappingAddress, _In_ ULONG ByteCount);
    BOOLEAN MappingWasRevoked() const;
    VOID ForgetMapping();
    VOID ReleaseHeldMapping();
    BOOLEAN TakeNewMapping(_In_ LONG Generation);
    VOID ReleaseUsedUpMapping();
    VOID ServiceCapture();
    VOID ServiceRender(_In_ BOOLEAN AskEngine);
    VOID ZeroCaptureBufferIfIdle(_In_ ULONGLONG TotalBytesBefore);
    // The engine's takes of the render halves, each with m_Lock held; see
    // m_PendingHalves below.
    ULONG OpenHalf() const;
    ULONG PartialFrameBytes() const;
    VOID MoveOpenPeriodTo(_In_ ULONG Half);
    VOID DropPartialFrame();
    VOID AccountEngineTake();
    VOID SilenceRestOfNextHalf();
    BOOLEAN BeginEnginePeriod(_In_ ULONG PeriodEnds, _In_ BOOLEAN EngineInsidePeriod,
                              _In_ BOOLEAN CatchUp);
    VOID EndEnginePeriod();
    VOID ExpectFirstHalfTaken();

    // --- position.cpp; resident ---
    ULONG EnginePinOffset() const;
    ULONG QueryEngineFrames();
    ULONGLONG CarryEngineFrames(_In_ ULONG EngineFrames);
    BOOLEAN EngineInsidePeriod();
    VOID PositionStarted(_In_ ULONG PeriodEndsBefore);
    VOID PositionStopping();
    VOID ResetPosition();
    ULONGLONG FramesPlayed(_In_ ULONGLONG EngineFrames) const;
    ULONGLONG RenderPosition();
    ULONGLONG CapturePosition(_In_ ULONG EngineFrames) const;
    // With m_Lock held (transfer.cpp): what a take of the engine held.
    VOID RecordTake(_In_ ULONG ClientBytes);
    VOID RecordSilentTakes(_In_ ULONGLONG Count);
    VOID PublishNextTake();
    ULONG NextTakeBytes() const;
    VOID BeginTakeUpdate();
    VOID EndTakeUpdate();

    // Fields that another thread reads or writes without m_Lock (m_Running,
    // m_PeriodShort, m_ServiceCount, m_CompletedBytes, m_RevokeGeneration,
    // the render position's records) are accessed through these: each is
    // one interlocked operation, a whole access as before that the compiler
    // may neither split nor reorder with the others. A volatile access
    // promises that only where the compiler gives volatile acquire and
    // release meaning, which GCC does not.
    static ULONG ReadShared(_In_ const volatile ULONG* Field)
    {
        return static_cast<ULONG>(InterlockedCompareExchange(
            reinterpret_cast<volatile LONG*>(const_cast<volatile ULONG*>(Field)), 0, 0));
    }
    static VOID WriteShared(_Out_ volatile ULONG* Field, _In_ ULONG Value)
    {
        InterlockedExchange(reinterpret_cast<volatile LONG*>(Field), static_cast<LONG>(Value));
    }
    static ULONGLONG ReadShared64(_In_ const volatile ULONGLONG* Field)
    {
        return static_cast<ULONGLONG>(InterlockedExchangeAdd64(
            reinterpret_cast<volatile LONG64*>(const_cast<volatile ULONGLONG*>(Field)), 0));
    }
    static VOID WriteShared64(_Out_ volatile ULONGLONG* Field, _In_ ULONGLONG Value)
    {
        InterlockedExchange64(reinterpret_cast<volatile LONG64*>(Field),
                              static_cast<LONG64>(Value));
    }
    // Adds and returns the new value.
    static ULONGLONG AddShared64(_Inout_ volatile ULONGLONG* Field, _In_ ULONGLONG Value)
    {
        return static_cast<ULONGLONG>(InterlockedExchangeAdd64(
                   reinterpret_cast<volatile LONG64*>(Field), static_cast<LONG64>(Value))) +
               Value;
    }

    // --- statemachine.cpp; resident ---
    VOID BeginStateChange();
    VOID EndStateChange();
    NTSTATUS Run();
    VOID StartEngine();
    VOID StopEngine();
    VOID Stop();
    VOID RegisterNotify(_In_ BOOLEAN Register);
    VOID DetachAndFreeBuffer();
    VOID SendBuffer(_In_ BOOLEAN Attach);
    VOID SendStreamCommand(_In_ ULONG Command);

    // Fields in the order of the design; F is the engine's period in frames,
    // N the channel count, B the client bytes per sample.

    // The owning miniport; one reference.
    CMiniportWavePci* m_Miniport;
    // Created by Init; one reference. Published in the miniport's stream
    // table while the stream runs, cleared by destruction.
    PSERVICEGROUP m_ServiceGroup;
    ULONG m_SampleRate;
    // The port's stream interface; one reference.
    PPORTWAVEPCISTREAM m_PortStream;
    // The current format as the port passed it (not a copy).
    PKSDATAFORMAT m_Format;
    // 1 once the engine stream was started, 0 otherwise. A flag, read by
    // Service and MappingAvailable before they take m_Lock (ReadShared).
    volatile ULONG m_Running;

    // Transfer state, guarded by m_Lock during transfers. Between transfers
    // m_PeriodBytesDone == m_ClientPhase mod m_PeriodClientBytes and
    // m_BufferOffset is the container byte that matches m_ClientPhase, never
    // beyond m_BufferBytes.
    ULONGLONG m_PeriodBytesDone;
    ULONGLONG m_TotalBytes;
    PUCHAR m_Buffer;
    ULONG m_BufferOffset;
    ULONG m_ClientPhase;
    // Counts ReleaseMapping calls; its address is the stream's mapping tag.
    ULONG m_MappingsReleased;
    PHYSICAL_ADDRESS m_MappingPhysical;
    PVOID m_MappingVirtual;
    // Bytes of the held mapping not yet moved; 0: no mapping held.
    ULONG m_MappingBytes;
    // Service calls while running since creation or the last revocation.
    ULONGLONG volatile m_ServiceCount;

    // Sizes, fixed by Init from the creation format.
    ULONG m_PeriodContainerBytes; // F * N * CONTAINER_BYTES, one half of the buffer
    ULONG m_BufferBytes;          // 2 * m_PeriodContainerBytes
    ULONG m_PeriodClientBytes;    // F * N * B
    ULONG m_BufferClientBytes;    // 2 * m_PeriodClientBytes
    ULONG m_ClientBytesPerSample; // B, 2 to 4
    ULONG m_FrameClientBytes;     // N * B
    ULONG m_FrameContainerBytes;  // N * 4
    ULONG m_PeriodFrames;         // F

    // 1 while the callback is registered and the buffer attached by RUN.
    ULONG m_BufferAttached;
    ULONG m_Pin;
    ULONG m_Capture; // 0 render, 1 capture: the row of the miniport's tables
    ULONG m_DeviceIndex;
    ULONG m_Channels;
    // Client bytes of completed periods since creation or the last
    // revocation; GetPosition reads it without the lock, in one access.
    volatile ULONGLONG m_CompletedBytes;
    KSPIN_LOCK m_Lock;
    ULONG m_NonPcm;

    // Revocation. RevokeMappings bumps m_RevokeGeneration; a mapping whose
    // m_MappingGeneration (the generation read before the GetMapping that
    // returned it) differs has been taken back by the port. m_MappingInUse is
    // 1 while ConvertSamples touches the mapping's memory; RevokeMappings
    // waits for it to drop before it returns.
    volatile LONG m_RevokeGeneration;
    LONG m_MappingGeneration;
    volatile LONG m_MappingInUse;

    // 1 while the current period ran short of mappings: the last transfer
    // left it incomplete. Only then does MappingAvailable move data; a
    // complete period is followed by the next one only at the engine's pace
    // (Service), so the stream never runs more than one period ahead and
    // never overwrites a half the engine has not taken yet. Written under
    // m_Lock; MappingAvailable reads it before taking the lock (ReadShared).
    volatile ULONG m_PeriodShort;

    // Render: which half the engine takes next, and what is in each. The
    // engine takes half 0 when it starts on a fresh buffer and then the
    // other half after each period end (m_EngineNextHalf), whether or not
    // the Service that end asked for has run. m_PendingHalves has bit h set
    // while half h holds a period completed since the engine last took h.
    // The period being filled (the "open" period, at m_BufferOffset) always
    // goes into the next half the engine takes that holds no completed
    // period, so that what the client sends after an underrun is played
    // next and in order:
    //   - when the engine takes the half of the open period before it is
    //     complete, the engine plays the whole frames in it followed by
    //     silence, and the open period moves to the start of the other half,
    //     taking along the first samples of a frame that a mapping left
    //     unfinished (a frame is never played in part);
    //   - the next half the engine takes, if it is the open one, is silent
    //     beyond m_BufferOffset, so that a half taken before its Service ran
    //     (a late DPC) plays silence, not the period it held two periods
    //     before.
    // m_PeriodEndsSeen is the miniport's count of period ends up to which
    // the takes have been accounted for; m_EngineTakeDone is set while a
    // Service found that the engine already took the half it was meant to
    // fill. All under m_Lock.
    ULONG m_PendingHalves;
    ULONG m_EngineNextHalf;
    ULONG m_PeriodEndsSeen;
    BOOLEAN m_EngineTakeDone;

    // Render: bytes of the client's stream to pass over before the next
    // sample. STOP drops a frame that a mapping left unfinished; if the
    // port gives the rest of it after all (it did not take back its
    // buffers), the rest is passed over so that the next frame starts on a
    // frame boundary. A revocation since m_SkipGeneration means the rest
    // will not come. Under m_Lock.
    ULONG m_SkipBytes;
    LONG m_SkipGeneration;

    // Render position: what the device has played of the client's data
    // since STOP, from three records (position.cpp has the whole picture).
    //
    // The engine's frame counter, carried on in 64 bits: the newest value
    // anyone asked the engine for, raised by compare-exchange (0: none yet).
    volatile ULONGLONG m_EngineFrames;
    // Where the engine is in the stream: it had played m_FramesBefore frames
    // of it when it (re)began at engine frame m_PlayFrom, or, with m_PlayFrom
    // POSITION_NOT_PLAYING, it stands still at m_FramesBefore. Written only
    // by the owner of the engine stream's start and stop (m_EngineOwner),
    // with m_PlaceSequence odd meanwhile.
    volatile LONG m_PlaceSequence;
    volatile ULONGLONG m_FramesBefore;
    volatile ULONGLONG m_PlayFrom;
    // What the halves the engine took held: the takes since RUN on a fresh
    // buffer, the client bytes in all of them, and in the last two (whole
    // frames at the start of the half, silence after them); and what the
    // next take would hold as the half stands now, for a Service that comes
    // after the engine took it. Written with m_Lock held between
    // BeginTakeUpdate and EndTakeUpdate, which leave m_TakeSequence odd
    // while the record changes; GetPosition reads it again when the
    // sequence moved.
    volatile LONG m_TakeSequence;
    volatile ULONGLONG m_Takes;
    volatile ULONGLONG m_TakenBytes;
    volatile ULONG m_LastTakeBytes;
    volatile ULONG m_PreviousTakeBytes;
    volatile ULONG m_NextTakeBytes;

    // 0, or who is starting or stopping the engine stream now: SetState
    // (STATE_CHANGE_OWNER) or RevokeMappings (REVOKE_OWNER). A state change
    // waits for a revocation's stop and restart to end; a revocation that
    // finds a state change under way leaves the engine to it. Interlocked.
    volatile LONG m_EngineOwner;
};

// Creates a stream with one reference, from PoolType, tag PcCr, zero-filled.
// On failure *Stream is NULL and the status STATUS_INSUFFICIENT_RESOURCES.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    CreateMiniportWavePciStream(_Out_ CMiniportWavePciStream** Stream,
                                _In_opt_ PUNKNOWN OuterUnknown, _In_ POOL_TYPE PoolType);
