// A stand-in IServiceGroup, and PcNewServiceGroup handing it out, for the
// stream tests.
//
// The group counts what it is asked (RequestService, AddMember) and its
// references; unlike the other fakes it is created by the driver (the
// stream's Init calls PcNewServiceGroup), so it deletes itself when its last
// reference goes, and the live count shows a stream that forgot to release
// one. PcNewServiceGroup asks host::ShouldFail("PcNewServiceGroup") first.
//
//     EXPECT_EQ(nuvtest::FakeServiceGroup::LiveCount(), 0u);
//
// NewFakeServiceGroup is what the library's PcNewServiceGroup answers with
// while a fixture has installed it (host::portcls::SetServiceGroupFactory);
// StreamTestbed does so for each of its tests, every other program gets the
// library's own groups.
#pragma once

#include <portcls.h>

#include <atomic>
#include <cstddef>

namespace nuvtest
{

class FakeServiceGroup : public IServiceGroup
{
public:
    FakeServiceGroup();
    FakeServiceGroup(const FakeServiceGroup&) = delete;
    FakeServiceGroup& operator=(const FakeServiceGroup&) = delete;
    virtual ~FakeServiceGroup();

    // IUnknown: answers IID_IUnknown, IID_IServiceSink and IID_IServiceGroup.
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID interfaceId, PVOID* result) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IServiceSink, IServiceGroup
    STDMETHODIMP_(void) RequestService() override { ++requestServiceCount_; }
    STDMETHODIMP_(NTSTATUS) AddMember(PSERVICESINK) override
    {
        ++addMemberCount_;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(void) RemoveMember(PSERVICESINK) override {}
    STDMETHODIMP_(void) SupportDelayedService() override {}
    STDMETHODIMP_(void) RequestDelayedService(ULONGLONG) override {}
    STDMETHODIMP_(void) CancelDelayedService() override {}

    LONG References() const { return references_.load(); }
    std::size_t RequestServiceCount() const { return requestServiceCount_.load(); }
    std::size_t AddMemberCount() const { return addMemberCount_.load(); }

    // Groups created by PcNewServiceGroup and not yet released to zero.
    static std::size_t LiveCount();
    // Groups PcNewServiceGroup created since the program started.
    static std::size_t CreatedCount();

private:
    std::atomic<LONG> references_{1};
    std::atomic<std::size_t> requestServiceCount_{0};
    std::atomic<std::size_t> addMemberCount_{0};
};

// PcNewServiceGroup's fake: a FakeServiceGroup, or the injected failure.
NTSTATUS NewFakeServiceGroup(PSERVICEGROUP* group, PUNKNOWN outerUnknown);

} // namespace nuvtest
