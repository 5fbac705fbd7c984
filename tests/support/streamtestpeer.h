// The one friend the wave stream has outside the driver: tests and the
// transfer benchmarks read (and for a few set-ups write) the stream's
// private transfer state through it, and the benchmarks call the transfer's
// own steps. The stream names it a friend (stream/minstream.h); there must be
// one definition of it in any program, this one.
//
//     CMiniportWavePciStreamTestPeer peer(stream);
//     EXPECT_EQ(peer.PeriodContainerBytes(), 2 * 64 * 4);
#pragma once

#include "stream/convert.h"
#include "stream/minstream.h"

#include <cstdint>
#include <vector>

class CMiniportWavePciStreamTestPeer
{
public:
    explicit CMiniportWavePciStreamTestPeer(CMiniportWavePciStream* stream) : s_(stream) {}

    ULONG PeriodContainerBytes() const { return s_->m_PeriodContainerBytes; }
    ULONG BufferBytes() const { return s_->m_BufferBytes; }
    ULONG PeriodClientBytes() const { return s_->m_PeriodClientBytes; }
    ULONG BufferClientBytes() const { return s_->m_BufferClientBytes; }
    ULONG ClientBytesPerSample() const { return s_->m_ClientBytesPerSample; }
    ULONG FrameClientBytes() const { return s_->m_FrameClientBytes; }
    ULONG FrameContainerBytes() const { return s_->m_FrameContainerBytes; }
    ULONG PeriodFrames() const { return s_->m_PeriodFrames; }
    ULONG Capture() const { return s_->m_Capture; }
    ULONG Channels() const { return s_->m_Channels; }
    ULONG SampleRate() const { return s_->m_SampleRate; }
    ULONG NonPcm() const { return s_->m_NonPcm; }
    ULONG Running() const { return s_->m_Running; }
    ULONG BufferAttached() const { return s_->m_BufferAttached; }
    ULONG BufferOffset() const { return s_->m_BufferOffset; }
    ULONG ClientPhase() const { return s_->m_ClientPhase; }
    ULONGLONG PeriodBytesDone() const { return s_->m_PeriodBytesDone; }
    ULONGLONG TotalBytes() const { return s_->m_TotalBytes; }
    ULONGLONG CompletedBytes() const { return s_->m_CompletedBytes; }
    ULONGLONG ServiceCount() const { return s_->m_ServiceCount; }
    ULONG MappingBytes() const { return s_->m_MappingBytes; }
    ULONG MappingsReleased() const { return s_->m_MappingsReleased; }
    PVOID MappingTag() const { return &s_->m_MappingsReleased; }
    PUCHAR Buffer() const { return s_->m_Buffer; }
    PSERVICEGROUP ServiceGroup() const { return s_->m_ServiceGroup; }
    std::vector<std::uint8_t> BufferBytesNow() const
    {
        return s_->m_Buffer == nullptr
                   ? std::vector<std::uint8_t>{}
                   : std::vector<std::uint8_t>(s_->m_Buffer, s_->m_Buffer + s_->m_BufferBytes);
    }
    // Sets the completed-period count (position tests).
    void SetCompletedBytes(ULONGLONG bytes) { s_->m_CompletedBytes = bytes; }

    // What Init and RUN set for the transfer, without a miniport or an
    // engine: a stream of `frames` x `channels` samples of `bytesPerSample`
    // per period, with `ring` (two halves) as its transfer buffer. For the
    // benchmarks, which time layouts Init refuses too (8 channels); the
    // sizes are Init's own, and a test compares the two for every layout
    // Init accepts (Init.PeerPreparesTheSizesInitDerives). The stream keeps
    // no miniport, so its destruction touches neither the engine nor the
    // ring, once ForgetRing has taken the ring away.
    void PrepareForTransfer(PPORTWAVEPCISTREAM port, PUCHAR ring, ULONG frames, ULONG channels,
                            ULONG bytesPerSample, bool capture)
    {
        s_->m_PortStream = port;
        port->AddRef();
        s_->m_Channels = channels;
        s_->m_ClientBytesPerSample = bytesPerSample;
        s_->m_PeriodContainerBytes = frames * channels * CONTAINER_BYTES;
        s_->m_BufferBytes = 2 * s_->m_PeriodContainerBytes;
        s_->m_PeriodClientBytes = frames * channels * bytesPerSample;
        s_->m_BufferClientBytes = 2 * s_->m_PeriodClientBytes;
        s_->m_FrameClientBytes = channels * bytesPerSample;
        s_->m_FrameContainerBytes = channels * CONTAINER_BYTES;
        s_->m_PeriodFrames = frames;
        s_->m_Capture = capture ? 1 : 0;
        s_->m_Buffer = ring;
        KeInitializeSpinLock(&s_->m_Lock);
    }
    void ForgetRing() { s_->m_Buffer = nullptr; }

    // The transfer's own steps, for the benchmarks that time them.
    ULONG ConvertSamples(PVOID mapping, ULONG bytes) { return s_->ConvertSamples(mapping, bytes); }
    NTSTATUS TransferPeriod() { return s_->TransferPeriod(); }
    // Puts the ring cursor back to the buffer's start after its second half,
    // as TransferPeriod does when a period is complete.
    void WrapRingCursor() { s_->m_BufferOffset %= s_->m_BufferBytes; }
    // As if the engine had taken every half the stream completed: a render
    // stream writes a half again only after the engine took it.
    void EngineTookTheHalves() { s_->m_PendingHalves = 0; }

private:
    CMiniportWavePciStream* s_;
};
