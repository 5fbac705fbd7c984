#include "tests/support/fakeportstream.h"

#include "host/kernel/conduct.h"
#include "host/kernel/spinlock.h"

#include <string>

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

void FakePortStream::CheckConduct(const char* method, PVOID tag)
{
    if (KeGetCurrentIrql() != DISPATCH_LEVEL || host::HeldSpinLockCount() == 0)
        host::ReportViolation(host::ViolationKind::Custom,
                              std::string("IPortWavePciStream::") + method +
                                  " called without the stream's spin lock held");
    if (tag_ == nullptr)
        tag_ = tag;
    else if (tag != tag_)
        host::ReportViolation(host::ViolationKind::Custom,
                              std::string("IPortWavePciStream::") + method +
                                  " with a tag other than the stream's first one");
}

STDMETHODIMP_(NTSTATUS)
FakePortStream::GetMapping(PVOID tag, PPHYSICAL_ADDRESS physicalAddress, PVOID* virtualAddress,
                           PULONG byteCount, PULONG flags)
{
    CheckConduct("GetMapping", tag);
    if (onGetMapping_)
        onGetMapping_();

    if (next_ >= mappings_.size())
    {
        calls_.push_back(
            {CallKind::GetMapping, tag, STATUS_UNSUCCESSFUL, KeGetCurrentIrql(), npos});
        return STATUS_UNSUCCESSFUL;
    }
    Mapping& mapping = mappings_[next_];
    mapping.handedOut = true;
    physicalAddress->QuadPart = static_cast<LONGLONG>(mapping.physical);
    *virtualAddress = mapping.memory->Data();
    *byteCount = static_cast<ULONG>(mapping.size);
    *flags = 0;
    calls_.push_back({CallKind::GetMapping, tag, STATUS_SUCCESS, KeGetCurrentIrql(), next_});
    ++next_;
    return STATUS_SUCCESS;
}

// Releases the oldest outstanding mapping, as the port does per tag.
STDMETHODIMP_(NTSTATUS) FakePortStream::ReleaseMapping(PVOID tag)
{
    CheckConduct("ReleaseMapping", tag);
    for (std::size_t index = 0; index < next_; ++index)
    {
        Mapping& mapping = mappings_[index];
        if (mapping.handedOut && !mapping.released && !mapping.revoked)
        {
            mapping.released = true;
            calls_.push_back(
                {CallKind::ReleaseMapping, tag, STATUS_SUCCESS, KeGetCurrentIrql(), index});
            return STATUS_SUCCESS;
        }
    }
    host::ReportViolation(host::ViolationKind::Custom,
                          "IPortWavePciStream::ReleaseMapping with no mapping outstanding "
                          "(released twice, or after the port revoked it)");
    calls_.push_back(
        {CallKind::ReleaseMapping, tag, STATUS_UNSUCCESSFUL, KeGetCurrentIrql(), npos});
    return STATUS_UNSUCCESSFUL;
}

STDMETHODIMP_(NTSTATUS) FakePortStream::TerminatePacket()
{
    return STATUS_NOT_IMPLEMENTED;
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
    std::size_t revoked = 0;
    for (std::size_t index = 0; index < next_; ++index)
    {
        Mapping& mapping = mappings_[index];
        if (mapping.handedOut && !mapping.released && !mapping.revoked)
        {
            mapping.revoked = true;
            mapping.memory.reset(); // any later access faults
            ++revoked;
        }
    }
    return revoked;
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
    std::size_t count = 0;
    for (const Mapping& mapping : mappings_)
        count += mapping.handedOut && !mapping.released && !mapping.revoked;
    return count;
}

std::vector<std::uint8_t> FakePortStream::Bytes(std::size_t index) const
{
    const Mapping& mapping = mappings_.at(index);
    if (!mapping.memory)
        return {};
    return mapping.memory->Bytes();
}

} // namespace nuvtest
