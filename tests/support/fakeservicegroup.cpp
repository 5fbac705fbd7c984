#include "tests/support/fakeservicegroup.h"

#include "host/kernel/conduct.h"
#include "host/kernel/faults.h"

namespace nuvtest
{
namespace
{
std::atomic<std::size_t> liveGroups{0};
std::atomic<std::size_t> createdGroups{0};
} // namespace

FakeServiceGroup::FakeServiceGroup()
{
    ++liveGroups;
    ++createdGroups;
}

FakeServiceGroup::~FakeServiceGroup()
{
    --liveGroups;
}

STDMETHODIMP_(NTSTATUS) FakeServiceGroup::QueryInterface(REFIID interfaceId, PVOID* result)
{
    if (IsEqualGUIDAligned(interfaceId, IID_IUnknown) ||
        IsEqualGUIDAligned(interfaceId, IID_IServiceSink) ||
        IsEqualGUIDAligned(interfaceId, IID_IServiceGroup))
    {
        *result = static_cast<IServiceGroup*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    *result = nullptr;
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(ULONG) FakeServiceGroup::AddRef()
{
    return static_cast<ULONG>(++references_);
}

STDMETHODIMP_(ULONG) FakeServiceGroup::Release()
{
    LONG count = --references_;
    if (count < 0)
    {
        host::ReportViolation(host::ViolationKind::Custom,
                              "IServiceGroup::Release on a group already released to zero");
        return 0;
    }
    if (count == 0)
        delete this;
    return static_cast<ULONG>(count);
}

std::size_t FakeServiceGroup::LiveCount()
{
    return liveGroups.load();
}

std::size_t FakeServiceGroup::CreatedCount()
{
    return createdGroups.load();
}

} // namespace nuvtest

NTSTATUS nuvtest::NewFakeServiceGroup(PSERVICEGROUP* OutServiceGroup, PUNKNOWN OuterUnknown)
{
    if (OuterUnknown != nullptr)
        host::ReportViolation(host::ViolationKind::Custom,
                              "PcNewServiceGroup: this host supports no aggregation");
    if (host::ShouldFail("PcNewServiceGroup"))
    {
        *OutServiceGroup = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *OutServiceGroup = new nuvtest::FakeServiceGroup();
    return STATUS_SUCCESS;
}
