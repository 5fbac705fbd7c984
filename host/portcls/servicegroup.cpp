// PcNewServiceGroup: the library's service groups, as far as the driver
// relies on them so far. A group counts references, keeps its members and
// passes RequestService on to each of them. Delayed service is accepted and
// ignored. PcNewServiceGroup asks host::ShouldFail("PcNewServiceGroup").
//
// The streaming side of the host library (Notify at DISPATCH_LEVEL, the
// clocked engine) builds on this file; the stream tests use the counting
// fake in tests/support/fakeservicegroup.h, whose weak definition wins the
// test program's link.
#include <portcls.h>

#include "host/kernel/conduct.h"
#include "host/kernel/faults.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace
{

class HostServiceGroup final : public IServiceGroup
{
public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* result) override
    {
        if (IsEqualGUIDAligned(iid, IID_IUnknown) || IsEqualGUIDAligned(iid, IID_IServiceSink) ||
            IsEqualGUIDAligned(iid, IID_IServiceGroup))
        {
            *result = static_cast<IServiceGroup*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *result = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++references_); }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG count = --references_;
        if (count < 0)
        {
            host::ReportViolation(host::ViolationKind::Custom,
                                  "IServiceGroup::Release on a group released to zero");
            return 0;
        }
        if (count == 0)
            delete this;
        return static_cast<ULONG>(count);
    }

    STDMETHODIMP_(void) RequestService() override
    {
        std::vector<PSERVICESINK> members;
        {
            std::lock_guard lock(mutex_);
            members = members_;
        }
        for (PSERVICESINK member : members)
            member->RequestService();
    }
    STDMETHODIMP_(NTSTATUS) AddMember(PSERVICESINK sink) override
    {
        std::lock_guard lock(mutex_);
        sink->AddRef();
        members_.push_back(sink);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(void) RemoveMember(PSERVICESINK sink) override
    {
        std::lock_guard lock(mutex_);
        auto it = std::find(members_.begin(), members_.end(), sink);
        if (it == members_.end())
            return;
        members_.erase(it);
        sink->Release();
    }
    STDMETHODIMP_(void) SupportDelayedService() override {}
    STDMETHODIMP_(void) RequestDelayedService(ULONGLONG) override {}
    STDMETHODIMP_(void) CancelDelayedService() override {}

    ~HostServiceGroup()
    {
        for (PSERVICESINK member : members_)
            member->Release();
    }

private:
    std::atomic<LONG> references_{1};
    std::mutex mutex_;
    std::vector<PSERVICESINK> members_;
};

} // namespace

PORTCLASSAPI NTSTATUS NTAPI PcNewServiceGroup(PSERVICEGROUP* OutServiceGroup, PUNKNOWN OuterUnknown)
{
    if (OuterUnknown != nullptr)
        host::ReportViolation(host::ViolationKind::Custom,
                              "PcNewServiceGroup: the host library supports no aggregation");
    if (host::ShouldFail("PcNewServiceGroup"))
    {
        *OutServiceGroup = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *OutServiceGroup = new HostServiceGroup();
    return STATUS_SUCCESS;
}
