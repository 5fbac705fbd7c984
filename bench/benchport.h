// What the transfer benchmarks put around a stream: a port stream that hands
// out pre-cut mappings, and the stream's friend peer, which sets a stream up
// for transfers without a miniport or an engine and reaches its private
// transfer routines.
//
//     BenchPortStream port(pieces);              // pieces of the client buffer
//     CMiniportWavePciStreamTestPeer::Prepare(stream, &port, ring, layout...);
//     CMiniportWavePciStreamTestPeer::TransferPeriod(stream);   // one period
//
// The port does no bookkeeping at all: GetMapping hands out the next piece
// of a circle and ReleaseMapping does nothing, so a TransferPeriod costs the
// stream's own work and two virtual calls per mapping, not a port model's.
// (The peer is the benchmarks' own; the test programs have theirs. The two
// never meet in one program: this one does not link the test support.)
#pragma once

#include "stream/minstream.h"

#include <portcls.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nuvbench
{

struct Piece
{
    std::uint8_t* data;
    ULONG size;
};

// Cuts `size` bytes at `data` into pieces of `pieceBytes` (the last one
// shorter if they do not divide).
std::vector<Piece> CutPieces(std::uint8_t* data, std::size_t size, ULONG pieceBytes);

class BenchPortStream : public IPortWavePciStream
{
public:
    explicit BenchPortStream(std::vector<Piece> pieces) : pieces_(std::move(pieces)) {}
    virtual ~BenchPortStream() = default;

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID, PVOID* result) override
    {
        *result = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    // The benchmark owns the object; the counts are not kept.
    STDMETHODIMP_(ULONG) AddRef() override { return 1; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP_(NTSTATUS)
    GetMapping(PVOID, PPHYSICAL_ADDRESS physicalAddress, PVOID* virtualAddress, PULONG byteCount,
               PULONG flags) override
    {
        const Piece& piece = pieces_[next_];
        next_ = next_ + 1 == pieces_.size() ? 0 : next_ + 1;
        physicalAddress->QuadPart = 0;
        *virtualAddress = piece.data;
        *byteCount = piece.size;
        *flags = 0;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) ReleaseMapping(PVOID) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) TerminatePacket() override { return STATUS_SUCCESS; }

private:
    std::vector<Piece> pieces_;
    std::size_t next_ = 0;
};

} // namespace nuvbench

class CMiniportWavePciStreamTestPeer
{
public:
    // The sizes and fields Init and RUN would set, for a stream of
    // `frames` x `channels` samples of `bytesPerSample` per period, with
    // `ring` (two halves) as its transfer buffer. The stream keeps no
    // miniport, so its destruction touches neither the engine nor the ring.
    static void Prepare(CMiniportWavePciStream* stream, PPORTWAVEPCISTREAM port, PUCHAR ring,
                        ULONG frames, ULONG channels, ULONG bytesPerSample, bool capture)
    {
        stream->m_PortStream = port;
        port->AddRef();
        stream->m_Channels = channels;
        stream->m_ClientBytesPerSample = bytesPerSample;
        stream->m_PeriodContainerBytes = frames * channels * 4;
        stream->m_BufferBytes = 2 * stream->m_PeriodContainerBytes;
        stream->m_PeriodClientBytes = frames * channels * bytesPerSample;
        stream->m_BufferClientBytes = 2 * stream->m_PeriodClientBytes;
        stream->m_FrameClientBytes = channels * bytesPerSample;
        stream->m_FrameContainerBytes = channels * 4;
        stream->m_PeriodFrames = frames;
        stream->m_Capture = capture ? 1 : 0;
        stream->m_Buffer = ring;
        KeInitializeSpinLock(&stream->m_Lock);
    }
    static void Detach(CMiniportWavePciStream* stream) { stream->m_Buffer = nullptr; }

    static ULONG ConvertSamples(CMiniportWavePciStream* stream, PVOID mapping, ULONG bytes)
    {
        return stream->ConvertSamples(mapping, bytes);
    }
    // What TransferPeriod does to the ring cursor when a period is complete.
    static void CompletePeriod(CMiniportWavePciStream* stream)
    {
        stream->m_BufferOffset %= stream->m_BufferBytes;
    }
    static NTSTATUS TransferPeriod(CMiniportWavePciStream* stream)
    {
        return stream->TransferPeriod();
    }
    // The engine took the period just completed (a render stream does not
    // write a half again before the engine took it).
    static void EngineTookTheHalves(CMiniportWavePciStream* stream) { stream->m_PendingHalves = 0; }
    static ULONGLONG CompletedBytes(CMiniportWavePciStream* stream)
    {
        return stream->m_CompletedBytes;
    }
};
