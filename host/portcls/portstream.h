// The port's side of one open wave pin: the IPortWavePciStream the miniport
// stream takes its mappings from, and the IServiceSink through which the
// stream's service group reaches the stream's Service.
//
// The client's buffers are queued in stream order. GetMapping hands out the
// next piece of them: at most MaxMappingBytes (4096 by default), never across
// a buffer's end or a split point the test asked for (a stream byte offset,
// also inside a sample), and fails with STATUS_NOT_FOUND when nothing is
// queued. Render mappings are the client's data; capture mappings are space
// the stream fills. ReleaseMapping gives back the oldest outstanding mapping
// of the tag; a buffer completes when every byte of it was handed out and
// every mapping of it returned. CancelQueued takes back every queued buffer:
// the outstanding mappings are revoked (RevokeMappings), and the stream must
// not release them afterwards. The stream hears of every cancel that takes
// back a buffer through RevokeMappings, also when it holds none of its
// mappings: a buffer may hold the rest of a frame that the stream began.
//
// At STOP (FlushAtStop, which the pin calls once the stream is stopped) the
// port does what the library does: it revokes the mappings it handed out
// (the library's documentation of RevokeMappings names the change to
// KSSTATE_STOP as one of the two occasions) and takes back every queued
// buffer, as a kernel-streaming pin in the stop state holds no data. The
// client's stream goes on with what it writes after STOP.
//
// For the oracle (host/engine/playoracle.h) the port keeps a journal of the
// client's side: the bytes written and when, what cancels and STOP took
// back, and when each Service call began.
//
// Conduct checks, reported as Custom violations ("port stream: ..."):
//   - the rules of the mappings themselves (mappingchecker.h): the caller's
//     level and lock, releases of mappings never got, released twice or
//     under another tag, and late releases of revoked ones;
//   - a client buffer written outside its bytes (guard bytes) or, for
//     render, written at all, checked when it completes or is cancelled;
//   - at close (CheckClosed): a mapping never released nor revoked, or a
//     reference on this object that the stream kept.
//
// Concurrency: one mutex guards the queue and the mappings; it is never held
// while the miniport stream is called. A GetMapping that overlaps a
// revocation hands out nothing (a port may always say "nothing now"), since
// the stream cannot tell a mapping got during a revocation from one got
// before it. Service calls run inside a rundown: Detach waits for the ones
// in progress and lets no new one start.
#pragma once

#include "host/engine/playoracle.h"
#include "host/portcls/clientbuffer.h"
#include "host/portcls/mappingchecker.h"

#include <portcls.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace host::portcls
{

// A buffer the port is done with: completed (its mappings all returned) or
// cancelled by the client.
struct FinishedBuffer
{
    std::uint64_t id = 0;
    std::uint64_t streamOffset = 0;
    std::size_t size = 0;
    bool cancelled = false;
    std::vector<std::uint8_t> bytes; // capture: what the stream wrote
};

// What CancelQueued took back.
struct CancelResult
{
    std::size_t buffers = 0;
    // The stream bytes the cancelled buffers held: [from, to). Bytes handed
    // out of them before the cancel may have reached the device.
    std::uint64_t from = 0;
    std::uint64_t to = 0;
    std::size_t mappingsRevoked = 0;
    bool revokeCalled = false;
    ULONG reportedRevoked = 0; // what the stream said it gave up
};

struct PortStreamCounts
{
    std::size_t getMappingCalls = 0;
    std::size_t mappingsHandedOut = 0;
    std::size_t getMappingRefusals = 0; // nothing queued, or a revocation overlapped
    std::size_t releases = 0;
    std::size_t releasesDuringRevocation = 0;
    // Of revoked mappings, after RevokeMappings returned but before the
    // stream got its next mapping.
    std::size_t releasesAfterRevocation = 0;
    std::size_t mappingsRevoked = 0;
    std::size_t revocations = 0;
    std::size_t services = 0;
    std::size_t mappingAvailableCalls = 0;
    std::size_t outstanding = 0;
};

class PortStream final : public IPortWavePciStream, public IServiceSink
{
public:
    static constexpr ULONG kDefaultMaxMappingBytes = 4096;

    PortStream(bool capture, ULONG maxMappingBytes = kDefaultMaxMappingBytes);
    PortStream(const PortStream&) = delete;
    PortStream& operator=(const PortStream&) = delete;

    // IUnknown (both interfaces): IID_IUnknown, IID_IPortWavePciStream,
    // IID_IServiceSink.
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IPortWavePciStream; the stream calls both with its spin lock held.
    STDMETHODIMP_(NTSTATUS)
    GetMapping(PVOID tag, PPHYSICAL_ADDRESS physicalAddress, PVOID* virtualAddress,
               PULONG byteCount, PULONG flags) override;
    STDMETHODIMP_(NTSTATUS) ReleaseMapping(PVOID tag) override;
    STDMETHODIMP_(NTSTATUS) TerminatePacket() override;

    // IServiceSink: the stream's Service, at DISPATCH_LEVEL.
    STDMETHODIMP_(void) RequestService() override;

    // --- the pin's side -----------------------------------------------------
    void Attach(PMINIPORTWAVEPCISTREAM stream);
    // Waits for services in progress; afterwards none starts. Returns the
    // stream (the caller releases it).
    PMINIPORTWAVEPCISTREAM Detach();
    // Whether new data is announced with MappingAvailable.
    void SetRunning(bool running) { m_running.store(running); }

    // Queues a render buffer (a copy of `bytes`) or capture space; returns
    // the buffer's id. MappingAvailable follows at DISPATCH_LEVEL if the
    // stream runs.
    std::uint64_t Write(std::span<const std::uint8_t> bytes);
    std::uint64_t QueueSpace(std::size_t size);
    // Takes back every queued buffer (see above). PASSIVE_LEVEL.
    CancelResult CancelQueued();
    // The same at STOP, always revoking (see above). PASSIVE_LEVEL.
    CancelResult FlushAtStop();

    void SetMaxMappingBytes(ULONG bytes);
    // Mappings end at this stream byte offset (besides the other limits).
    void SplitAt(std::uint64_t streamOffset);

    // --- observation --------------------------------------------------------
    PortStreamCounts Counts() const;
    std::vector<FinishedBuffer> Finished() const;
    std::size_t QueuedBuffers() const;
    // Bytes queued and not yet handed out.
    std::uint64_t UnmappedBytes() const;
    // The client stream byte after the last one handed out in a mapping.
    std::uint64_t HandedOutBytes() const;
    std::uint64_t BytesWritten() const;
    LONG References() const { return m_references.load(); }
    // The tag of the first mapping handed out, or null.
    PVOID FirstTag() const;
    // What the client did, for the oracle (render only): all of it since
    // the pin opened (or since the last TakeJournal).
    engine::ClientJournal Journal() const;
    // The same, moved out: what happened since the last take, stamped with
    // the moment it was cut off (ClientJournal::asOf). For a judge that
    // runs beside the stream; a port used so keeps nothing that grows.
    engine::ClientJournal TakeJournal();
    // The finished list, moved out (it grows by one entry per buffer).
    std::vector<FinishedBuffer> TakeFinished();
    // The eventorder.h stamp taken when the pin opened.
    std::uint64_t OpenOrder() const { return m_openOrder; }

    // Reports (and returns) what is wrong once the pin is closed: mappings
    // outstanding, and references beyond the pin's own.
    std::vector<std::string> CheckClosed();

private:
    ~PortStream();
    std::uint64_t Queue(std::unique_ptr<ClientBuffer> buffer);
    CancelResult TakeBack(bool atStop);
    void AnnounceMapping();
    // With m_mutex held: moves completed buffers at the queue's front to
    // the finished list; problems go to `problems`.
    void RetireCompleted(std::vector<std::string>& problems);
    bool EnterService();
    void LeaveService();

    const bool m_capture;
    std::atomic<LONG> m_references{1};
    std::atomic<bool> m_running{false};

    mutable std::mutex m_mutex;
    std::condition_variable m_serviceDone;
    PMINIPORTWAVEPCISTREAM m_stream = nullptr;
    bool m_detached = false;
    int m_inService = 0;

    ULONG m_maxMappingBytes;
    std::set<std::uint64_t> m_splits;
    std::deque<std::unique_ptr<ClientBuffer>> m_queued;
    std::vector<std::unique_ptr<ClientBuffer>> m_cancelled; // kept until destruction
    std::vector<FinishedBuffer> m_finished;
    MappingChecker m_mappings;
    std::map<std::uint64_t, ClientBuffer*> m_mappingBuffers; // of the outstanding mappings
    std::uint64_t m_nextBufferId = 1;
    std::uint64_t m_nextMapping = 1;
    std::uint64_t m_written = 0;
    std::uint64_t m_handedOut = 0;

    // Revocation: m_epoch changes when one starts and when it ends.
    std::atomic<std::uint64_t> m_epoch{0};
    bool m_revoking = false;
    PortStreamCounts m_counts;

    const std::uint64_t m_openOrder;
    engine::ClientJournal m_journal;
};

} // namespace host::portcls
