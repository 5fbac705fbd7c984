#include "host/portcls/portstream.h"

#include "host/engine/clock.h"
#include "host/engine/eventorder.h"
#include "host/engine/trace.h"
#include "host/kernel/boundary.h"
#include "host/kernel/conduct.h"
#include "host/kernel/drivercall.h"
#include "host/kernel/irql.h"
#include "host/kernel/spinlock.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace host::portcls
{
namespace
{

// Physical addresses are made up: distinct per buffer, advancing with the
// offset, never used for a transfer.
constexpr ULONGLONG kPhysicalBase = 0x10000000ull;
constexpr ULONGLONG kPhysicalPerBuffer = 0x01000000ull;

} // namespace

PortStream::PortStream(bool capture, ULONG maxMappingBytes)
    : m_capture(capture), m_maxMappingBytes(maxMappingBytes == 0 ? 1 : maxMappingBytes),
      m_openOrder(engine::NextEventOrder())
{
}

PortStream::~PortStream() = default;

STDMETHODIMP_(NTSTATUS) PortStream::QueryInterface(REFIID iid, PVOID* object)
try
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (IsEqualGUIDAligned(iid, IID_IUnknown) || IsEqualGUIDAligned(iid, IID_IPortWavePciStream))
        *object = static_cast<IPortWavePciStream*>(this);
    else if (IsEqualGUIDAligned(iid, IID_IServiceSink))
        *object = static_cast<IServiceSink*>(this);
    else
    {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    AddRef();
    return STATUS_SUCCESS;
}
catch (...)
{
    return host::CaughtAtBoundary("PortStream::QueryInterface", STATUS_INSUFFICIENT_RESOURCES);
}

STDMETHODIMP_(ULONG) PortStream::AddRef()
try
{
    return static_cast<ULONG>(++m_references);
}
catch (...)
{
    return host::CaughtAtBoundary("PortStream::AddRef", ULONG{});
}

STDMETHODIMP_(ULONG) PortStream::Release()
try
{
    const LONG count = --m_references;
    if (count < 0)
    {
        ReportPortStreamProblem("IPortWavePciStream::Release below zero references");
        return 0;
    }
    if (count == 0)
        delete this;
    return static_cast<ULONG>(count);
}
catch (...)
{
    return host::CaughtAtBoundary("PortStream::Release", ULONG{});
}

STDMETHODIMP_(NTSTATUS)
PortStream::GetMapping(PVOID tag, PPHYSICAL_ADDRESS physicalAddress, PVOID* virtualAddress,
                       PULONG byteCount, PULONG flags)
try
{
    // Read before anything else: a revocation that starts or ends while this
    // call waits for the lock changes it.
    const std::uint64_t epoch = m_epoch.load();
    m_mappings.CheckCaller("GetMapping");
    if (!m_mappings.CheckGetMappingArguments(physicalAddress, virtualAddress, byteCount, flags))
        return STATUS_INVALID_PARAMETER;
    physicalAddress->QuadPart = 0;
    *virtualAddress = nullptr;
    *byteCount = 0;
    *flags = 0;

    std::unique_lock lock(m_mutex);
    ++m_counts.getMappingCalls;
    if (m_revoking || m_epoch.load() != epoch)
    {
        ++m_counts.getMappingRefusals;
        return kNoMappingNow;
    }
    auto source = std::find_if(m_queued.begin(), m_queued.end(),
                               [](const auto& buffer) { return !buffer->FullyMapped(); });
    if (source == m_queued.end())
    {
        ++m_counts.getMappingRefusals;
        return kNoMappingNow;
    }

    ClientBuffer& buffer = **source;
    const std::uint64_t start = buffer.StreamOffset() + buffer.mappedBytes;
    std::uint64_t size =
        std::min<std::uint64_t>(buffer.Size() - buffer.mappedBytes, m_maxMappingBytes);
    auto split = m_splits.upper_bound(start);
    if (split != m_splits.end())
        size = std::min<std::uint64_t>(size, *split - start);

    physicalAddress->QuadPart = static_cast<LONGLONG>(
        kPhysicalBase + buffer.Id() * kPhysicalPerBuffer + buffer.mappedBytes);
    *virtualAddress = buffer.Data() + buffer.mappedBytes;
    *byteCount = static_cast<ULONG>(size);
    buffer.mappedBytes += size;
    ++buffer.mappingsHanded;
    m_handedOut = std::max<std::uint64_t>(m_handedOut, start + size);
    m_mappingBuffers[m_nextMapping] = &buffer;
    m_mappings.HandedOut(m_nextMapping++, tag);
    ++m_counts.mappingsHandedOut;
    lock.unlock();

    if (engine::TraceEnabled())
        engine::TracePoint("port", "GetMapping", engine::TracePhase::Instant,
                           std::to_string(size) + " bytes at stream byte " + std::to_string(start));
    return STATUS_SUCCESS;
}
catch (...)
{
    return host::CaughtAtBoundary("PortStream::GetMapping", STATUS_INSUFFICIENT_RESOURCES);
}

STDMETHODIMP_(NTSTATUS) PortStream::ReleaseMapping(PVOID tag)
try
{
    m_mappings.CheckCaller("ReleaseMapping");
    std::vector<std::string> problems;
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard lock(m_mutex);
        using Kind = MappingChecker::ReleaseOutcome::Kind;
        const MappingChecker::ReleaseOutcome outcome = m_mappings.Release(tag);
        if (outcome.kind == Kind::Released)
        {
            auto buffer = m_mappingBuffers.extract(outcome.mapping);
            ++buffer.mapped()->mappingsReturned;
            ++m_counts.releases;
            RetireCompleted(problems);
        }
        else if (outcome.kind == Kind::RevokedEarlier)
        {
            if (m_revoking)
                ++m_counts.releasesDuringRevocation;
            else
                ++m_counts.releasesAfterRevocation;
        }
        else
        {
            problems.push_back(outcome.problem);
            status = STATUS_INVALID_PARAMETER;
        }
    }
    for (const std::string& problem : problems)
        ReportPortStreamProblem(problem);
    engine::TracePoint("port", "ReleaseMapping", engine::TracePhase::Instant);
    return status;
}
catch (...)
{
    return host::CaughtAtBoundary("PortStream::ReleaseMapping", STATUS_INSUFFICIENT_RESOURCES);
}

STDMETHODIMP_(NTSTATUS) PortStream::TerminatePacket()
try
{
    return STATUS_SUCCESS;
}
catch (...)
{
    return host::CaughtAtBoundary("PortStream::TerminatePacket", STATUS_INSUFFICIENT_RESOURCES);
}

void PortStream::RetireCompleted(std::vector<std::string>& problems)
{
    while (!m_queued.empty() && m_queued.front()->AllReturned())
    {
        std::unique_ptr<ClientBuffer> buffer = std::move(m_queued.front());
        m_queued.pop_front();
        if (auto damage = buffer->Check())
            problems.push_back(*damage);
        FinishedBuffer finished;
        finished.id = buffer->Id();
        finished.streamOffset = buffer->StreamOffset();
        finished.size = buffer->Size();
        if (buffer->IsCapture())
            finished.bytes = buffer->Bytes();
        m_finished.push_back(std::move(finished));
    }
}

bool PortStream::EnterService()
{
    std::lock_guard lock(m_mutex);
    if (m_stream == nullptr || m_detached)
        return false;
    ++m_inService;
    return true;
}

void PortStream::LeaveService()
{
    {
        std::lock_guard lock(m_mutex);
        --m_inService;
    }
    m_serviceDone.notify_all();
}

STDMETHODIMP_(void) PortStream::RequestService()
try
{
    if (!EnterService())
        return;
    {
        std::lock_guard lock(m_mutex);
        ++m_counts.services;
        m_journal.services.push_back(engine::NextEventOrder());
    }
    engine::TracePoint("port", "Service", engine::TracePhase::Begin);
    {
        ScopedIrql atDispatch(DISPATCH_LEVEL);
        DriverCallGuard guard("IMiniportWavePciStream::Service");
        m_stream->Service();
    }
    engine::TracePoint("port", "Service", engine::TracePhase::End);
    // The engine callbacks this service answers (on this thread or queued
    // through a DPC) now count as serviced.
    engine::MarkCurrentCallbacksServiced();
    LeaveService();
}
catch (...)
{
    host::CaughtAtBoundary("PortStream::RequestService");
}

void PortStream::Attach(PMINIPORTWAVEPCISTREAM stream)
{
    std::lock_guard lock(m_mutex);
    m_stream = stream;
    m_detached = false;
}

PMINIPORTWAVEPCISTREAM PortStream::Detach()
{
    std::unique_lock lock(m_mutex);
    m_detached = true;
    m_running = false;
    m_serviceDone.wait(lock, [this] { return m_inService == 0; });
    PMINIPORTWAVEPCISTREAM stream = m_stream;
    m_stream = nullptr;
    return stream;
}

std::uint64_t PortStream::Queue(std::unique_ptr<ClientBuffer> buffer)
{
    std::uint64_t id = 0;
    {
        std::lock_guard lock(m_mutex);
        id = buffer->Id();
        m_queued.push_back(std::move(buffer));
    }
    engine::TracePoint("pin", "Write", engine::TracePhase::Instant, "buffer " + std::to_string(id));
    AnnounceMapping();
    return id;
}

std::uint64_t PortStream::Write(std::span<const std::uint8_t> bytes)
{
    std::unique_ptr<ClientBuffer> buffer;
    {
        std::lock_guard lock(m_mutex);
        buffer = std::make_unique<ClientBuffer>(m_nextBufferId++, m_written, bytes);
        m_written += bytes.size();
        if (!m_capture)
        {
            m_journal.bytes.insert(m_journal.bytes.end(), bytes.begin(), bytes.end());
            m_journal.writes.push_back({engine::NextEventOrder(), m_written});
        }
    }
    return Queue(std::move(buffer));
}

std::uint64_t PortStream::QueueSpace(std::size_t size)
{
    std::unique_ptr<ClientBuffer> buffer;
    {
        std::lock_guard lock(m_mutex);
        buffer = std::make_unique<ClientBuffer>(m_nextBufferId++, m_written, size);
        m_written += size;
    }
    return Queue(std::move(buffer));
}

// New data while the stream runs: the stream may continue a period that ran
// short. At DISPATCH_LEVEL, as the library announces it.
void PortStream::AnnounceMapping()
{
    if (!m_running.load() || !EnterService())
        return;
    {
        std::lock_guard lock(m_mutex);
        ++m_counts.mappingAvailableCalls;
    }
    {
        ScopedIrql atDispatch(DISPATCH_LEVEL);
        DriverCallGuard guard("IMiniportWavePciStream::MappingAvailable");
        m_stream->MappingAvailable();
    }
    LeaveService();
}

CancelResult PortStream::CancelQueued()
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "CancelQueued");
    return TakeBack(false);
}

CancelResult PortStream::FlushAtStop()
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "FlushAtStop");
    return TakeBack(true);
}

CancelResult PortStream::TakeBack(bool atStop)
{
    CancelResult result;
    std::vector<std::string> problems;
    PVOID firstTag = nullptr;
    PVOID lastTag = nullptr;
    {
        std::lock_guard lock(m_mutex);
        m_revoking = true;
        ++m_epoch;
        const std::vector<MappingChecker::Outstanding> revoked = m_mappings.RevokeAll();
        result.mappingsRevoked = revoked.size();
        if (!revoked.empty())
        {
            firstTag = revoked.front().tag;
            lastTag = revoked.back().tag;
        }
        for (const MappingChecker::Outstanding& mapping : revoked)
            m_mappingBuffers.erase(mapping.mapping);
        m_counts.mappingsRevoked += result.mappingsRevoked;
        ++m_counts.revocations;
        result.buffers = m_queued.size();
        result.from = m_queued.empty() ? m_written : m_queued.front()->StreamOffset();
        result.to = m_written;
        std::uint64_t handedOut = result.from;
        for (const auto& buffer : m_queued)
        {
            if (buffer->mappedBytes != 0)
                handedOut = buffer->StreamOffset() + buffer->mappedBytes;
        }
        if (!m_capture && (atStop || result.buffers != 0 || result.mappingsRevoked != 0))
            m_journal.cuts.push_back(
                {engine::NextEventOrder(), result.from, result.to, handedOut, atStop});
        for (auto& buffer : m_queued)
        {
            FinishedBuffer finished;
            finished.id = buffer->Id();
            finished.streamOffset = buffer->StreamOffset();
            finished.size = buffer->Size();
            finished.cancelled = true;
            m_finished.push_back(std::move(finished));
            // Kept, unchecked, until the stream has given up its mappings.
            m_cancelled.push_back(std::move(buffer));
        }
        m_queued.clear();
    }
    engine::TracePoint("pin", "RevokeMappings", engine::TracePhase::Begin,
                       std::to_string(result.mappingsRevoked) + " mappings");
    PMINIPORTWAVEPCISTREAM stream = nullptr;
    const bool revoke = atStop || result.buffers != 0 || result.mappingsRevoked != 0;
    if (revoke && EnterService())
    {
        stream = m_stream;
        result.revokeCalled = true;
        GuardDriverCall(
            "IMiniportWavePciStream::RevokeMappings",
            [&] { return stream->RevokeMappings(firstTag, lastTag, &result.reportedRevoked); });
        LeaveService();
    }
    engine::TracePoint("pin", "RevokeMappings", engine::TracePhase::End);
    {
        std::lock_guard lock(m_mutex);
        m_revoking = false;
        ++m_epoch;
        // The stream no longer touches them: now their guards must hold.
        for (const auto& buffer : m_cancelled)
        {
            if (auto damage = buffer->Check())
                problems.push_back(*damage);
        }
    }
    for (const std::string& problem : problems)
        ReportPortStreamProblem(problem);
    return result;
}

void PortStream::SetMaxMappingBytes(ULONG bytes)
{
    std::lock_guard lock(m_mutex);
    m_maxMappingBytes = bytes == 0 ? 1 : bytes;
}

void PortStream::SplitAt(std::uint64_t streamOffset)
{
    std::lock_guard lock(m_mutex);
    m_splits.insert(streamOffset);
}

PortStreamCounts PortStream::Counts() const
{
    std::lock_guard lock(m_mutex);
    PortStreamCounts counts = m_counts;
    counts.outstanding = m_mappings.OutstandingMappings().size();
    return counts;
}

std::vector<FinishedBuffer> PortStream::Finished() const
{
    std::lock_guard lock(m_mutex);
    return m_finished;
}

std::size_t PortStream::QueuedBuffers() const
{
    std::lock_guard lock(m_mutex);
    return m_queued.size();
}

std::uint64_t PortStream::UnmappedBytes() const
{
    std::lock_guard lock(m_mutex);
    std::uint64_t bytes = 0;
    for (const auto& buffer : m_queued)
        bytes += buffer->Size() - buffer->mappedBytes;
    return bytes;
}

std::uint64_t PortStream::HandedOutBytes() const
{
    std::lock_guard lock(m_mutex);
    return m_handedOut;
}

std::uint64_t PortStream::BytesWritten() const
{
    std::lock_guard lock(m_mutex);
    return m_written;
}

PVOID PortStream::FirstTag() const
{
    std::lock_guard lock(m_mutex);
    return m_mappings.FirstTag();
}

engine::ClientJournal PortStream::Journal() const
{
    std::lock_guard lock(m_mutex);
    return m_journal;
}

engine::ClientJournal PortStream::TakeJournal()
{
    std::lock_guard lock(m_mutex);
    engine::ClientJournal part = std::exchange(m_journal, {});
    // Every event of the journal is stamped under this lock: those before
    // this stamp are in this part or an earlier one, none after it is.
    part.asOf = engine::NextEventOrder();
    m_journal.firstByte = part.firstByte + part.bytes.size();
    m_journal.bytes.reserve(part.bytes.size());
    return part;
}

std::vector<FinishedBuffer> PortStream::TakeFinished()
{
    std::lock_guard lock(m_mutex);
    return std::exchange(m_finished, {});
}

std::vector<std::string> PortStream::CheckClosed()
{
    std::vector<std::string> problems;
    {
        std::lock_guard lock(m_mutex);
        for (const MappingChecker::Outstanding& mapping : m_mappings.OutstandingMappings())
        {
            problems.push_back("mapping " + std::to_string(mapping.mapping) + " of client buffer " +
                               std::to_string(m_mappingBuffers.at(mapping.mapping)->Id()) +
                               " (tag " + TagText(mapping.tag) +
                               ") was neither released nor revoked when the pin closed");
        }
        for (const auto& buffer : m_queued)
        {
            if (auto damage = buffer->Check())
                problems.push_back(*damage);
        }
    }
    if (m_references.load() != 1)
        problems.push_back("the pin closed with " + std::to_string(m_references.load() - 1) +
                           " references on its port stream besides the pin's own");
    for (const std::string& problem : problems)
        ReportPortStreamProblem(problem);
    return problems;
}

} // namespace host::portcls
