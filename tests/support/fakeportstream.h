// A stand-in IPortWavePciStream: the port's side of a stream's mappings.
//
// The test queues mappings (render: client data; capture: empty space of a
// size); GetMapping hands them out in order, one at a time, and answers
// STATUS_NOT_FOUND when the queue is empty, as the library's port does
// (host::portcls::kNoMappingNow). Each mapping lives in its own
// guarded buffer that ends right before an inaccessible page, so a stream
// that reads or writes one byte past a mapping crashes the test.
//
//     nuvtest::FakePortStream port;
//     port.QueueMapping({0x34, 0x12, 0xCD, 0xAB});
//     stream->Service();
//     EXPECT_EQ(port.GetCount(), 2u);            // the data, then an empty queue
//     EXPECT_EQ(port.ReleaseCount(), 1u);
//
// The fake checks the stream's conduct with the library's own rules of the
// mappings (host/portcls/mappingchecker.h) and reports every breach as a
// host conduct violation (which fails the running test). Revoke() takes back
// every outstanding mapping, as the port does before it calls
// RevokeMappings, and unmaps its memory: a stream that touches a revoked
// mapping crashes the test. A release of a revoked mapping before the
// stream's next mapping is allowed, as the port allows it, and counted with
// the other releases (ReleaseCount); one after that is reported.
#pragma once

#include "host/portcls/mappingchecker.h"
#include "tests/support/waveformats.h"

#include <portcls.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace nuvtest
{

class FakePortStream : public IPortWavePciStream
{
public:
    struct Mapping
    {
        std::unique_ptr<GuardedBytes> memory; // null once revoked
        std::size_t size = 0;
        ULONGLONG physical = 0;
        bool handedOut = false;
        bool released = false;
        bool revoked = false;
    };

    enum class CallKind
    {
        GetMapping,
        ReleaseMapping,
    };
    struct Call
    {
        CallKind kind;
        PVOID tag;
        NTSTATUS status;
        KIRQL irql;
        std::size_t mapping; // index into Mappings(), or npos
    };
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    FakePortStream() = default;
    FakePortStream(const FakePortStream&) = delete;
    FakePortStream& operator=(const FakePortStream&) = delete;
    virtual ~FakePortStream() = default;

    // IUnknown: answers IID_IUnknown and IID_IPortWavePciStream. Release never
    // destroys the fake; the test owns it.
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID interfaceId, PVOID* result) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IPortWavePciStream
    STDMETHODIMP_(NTSTATUS)
    GetMapping(PVOID tag, PPHYSICAL_ADDRESS physicalAddress, PVOID* virtualAddress,
               PULONG byteCount, PULONG flags) override;
    STDMETHODIMP_(NTSTATUS) ReleaseMapping(PVOID tag) override;
    STDMETHODIMP_(NTSTATUS) TerminatePacket() override;

    // --- configuration ------------------------------------------------------
    // A mapping with these bytes (render data); returns its index.
    std::size_t QueueMapping(std::vector<std::uint8_t> bytes);
    // A mapping of `size` bytes filled with kUntouched (capture space).
    std::size_t QueueSpace(std::size_t size);
    // Runs inside GetMapping before it answers (with the caller's locks
    // held), e.g. to revoke while a transfer waits in the port.
    void OnGetMapping(std::function<void()> hook) { onGetMapping_ = std::move(hook); }

    // --- the port's own actions --------------------------------------------
    // Takes back every mapping handed out and not released; returns how many.
    std::size_t Revoke();

    // --- observation --------------------------------------------------------
    LONG References() const { return references_; }
    const std::vector<Call>& Calls() const { return calls_; }
    std::size_t GetCount() const;
    // ReleaseMapping calls the port accepted.
    std::size_t ReleaseCount() const;
    // Mapping handed out and neither released nor revoked.
    std::size_t OutstandingCount() const;
    Mapping& At(std::size_t index) { return mappings_.at(index); }
    std::size_t MappingCount() const { return mappings_.size(); }
    // The bytes of a mapping (capture: what the stream wrote into it).
    std::vector<std::uint8_t> Bytes(std::size_t index) const;

private:
    LONG references_ = 1;
    host::portcls::MappingChecker checker_;
    std::size_t next_ = 0; // the next mapping to hand out
    std::vector<Mapping> mappings_;
    std::vector<Call> calls_;
    std::function<void()> onGetMapping_;
};

} // namespace nuvtest
