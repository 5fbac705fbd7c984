// The port stream the transfer benchmarks give a stream: it hands out
// pre-cut mappings of the client buffer. The stream is set up and driven
// through its one test peer (tests/support/streamtestpeer.h).
//
//     BenchPortStream port(pieces);              // pieces of the client buffer
//     CMiniportWavePciStreamTestPeer peer(stream);
//     peer.PrepareForTransfer(&port, ring, frames, channels, bytesPerSample, capture);
//     peer.TransferPeriod();                     // one period
//
// The port does no bookkeeping at all: GetMapping hands out the next piece
// of a circle and ReleaseMapping does nothing, so a TransferPeriod costs the
// stream's own work and two virtual calls per mapping, not a port model's.
#pragma once

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
