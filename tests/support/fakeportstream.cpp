#include "tests/support/fakeportstream.h"

#include "host/kernel/conduct.h"

namespace nuvtest
{

STDMETHODIMP_(NTSTATUS) FakePortStream::QueryInterface(REFIID interfaceId, PVOID* result)
{
    if (IsEqualGUIDAligned(interfaceId, IID_IUnknown) ||
        IsEqualGUIDAligned(interfaceId, IID_IPortWavePciStream))
    {
        *result = static_cast<IPortWavePciStream*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    *result = nullptr;
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(ULONG) FakePortStream::AddRef()
{
    return static_cast<ULONG>(InterlockedIncrement(&references_));
}

STDMETHODIMP_(ULONG) FakePortStream::Release()
{
    LONG count = InterlockedDecrement(&references_);
    if (count < 0)
        host::ReportViolation(host::ViolationKind::Custom,
                              "FakePortStream: released more often than referenced");
    return static_cast<ULONG>(count);
}

STDMETHODIMP_(NTSTATUS)
FakePortStream::GetMapping(PVOID tag, PPHYSICAL_ADDRESS physicalAddress, PVOID* virtualAddress,
                           PULONG byteCount, PULONG flags)
{
    checker_.CheckCaller("GetMapping");
    if (!checker_.CheckGetMappingArguments(physicalAddress, virtualAddress, byteCount, flags))
        return STATUS_INVALID_PARAMETER;
    if (onGetMapping_)
        onGetMapping_();

    if (next_ >= mappings_.size())
    {
        calls_.push_back(
            {CallKind::GetMapping, tag, host::portcls::kNoMappingNow, KeGetCurrentIrql(), npos});
        return host::portcls::kNoMappingNow;
    }
    Mapping& mapping = mappings_[next_];
    mapping.handedOut = true;
    physicalAddress->QuadPart = static_cast<LONGLONG>(mapping.physical);
    *virtualAddress = mapping.memory->Data();
    *byteCount = static_cast<ULONG>(mapping.size);
    *flags = 0;
    checker_.HandedOut(next_, tag);
    calls_.push_back({CallKind::GetMapping, tag, STATUS_SUCCESS, KeGetCurrentIrql(), next_});
    ++next_;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) FakePortStream::ReleaseMapping(PVOID tag)
{
    using Kind = host::portcls::MappingChecker::ReleaseOutcome::Kind;
    checker_.CheckCaller("ReleaseMapping");
    const auto outcome = checker_.Release(tag);
    if (outcome.kind == Kind::Refused)
    {
        host::portcls::ReportPortStreamProblem(outcome.problem);
        calls_.push_back(
            {CallKind::ReleaseMapping, tag, STATUS_INVALID_PARAMETER, KeGetCurrentIrql(), npos});
        return STATUS_INVALID_PARAMETER;
    }
    std::size_t index = npos;
    if (outcome.kind == Kind::Released)
    {
        index = static_cast<std::size_t>(outcome.mapping);
        mappings_[index].released = true;
    }
    calls_.push_back({CallKind::ReleaseMapping, tag, STATUS_SUCCESS, KeGetCurrentIrql(), index});
    return STATUS_SUCCESS;
}

// As the host's port stream answers: the driver never calls it, and the two
// stand-ins must not tell a caller different things.
STDMETHODIMP_(NTSTATUS) FakePortStream::TerminatePacket()
{
    return STATUS_SUCCESS;
}

std::size_t FakePortStream::QueueMapping(std::vector<std::uint8_t> bytes)
{
    Mapping mapping;
    mapping.size = bytes.size();
    mapping.memory = std::make_unique<GuardedBytes>(std::span<const std::uint8_t>(bytes));
    mapping.physical = 0x10000000ull + 0x10000ull * mappings_.size();
    mappings_.push_back(std::move(mapping));
    return mappings_.size() - 1;
}

std::size_t FakePortStream::QueueSpace(std::size_t size)
{
    Mapping mapping;
    mapping.size = size;
    mapping.memory = std::make_unique<GuardedBytes>(size);
    mapping.physical = 0x10000000ull + 0x10000ull * mappings_.size();
    mappings_.push_back(std::move(mapping));
    return mappings_.size() - 1;
}

std::size_t FakePortStream::Revoke()
{
    const auto revoked = checker_.RevokeAll();
    for (const auto& outstanding : revoked)
    {
        Mapping& mapping = mappings_[static_cast<std::size_t>(outstanding.mapping)];
        mapping.revoked = true;
        mapping.memory.reset(); // any later access faults
    }
    return revoked.size();
}

std::size_t FakePortStream::GetCount() const
{
    std::size_t count = 0;
    for (const Call& call : calls_)
        count += call.kind == CallKind::GetMapping;
    return count;
}

std::size_t FakePortStream::ReleaseCount() const
{
    std::size_t count = 0;
    for (const Call& call : calls_)
        count += call.kind == CallKind::ReleaseMapping && call.status == STATUS_SUCCESS;
    return count;
}

std::size_t FakePortStream::OutstandingCount() const
{
    return checker_.OutstandingMappings().size();
}

std::vector<std::uint8_t> FakePortStream::Bytes(std::size_t index) const
{
    const Mapping& mapping = mappings_.at(index);
    if (!mapping.memory)
        return {};
    return mapping.memory->Bytes();
}

} // namespace nuvtest
