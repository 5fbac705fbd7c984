// The library's service groups: members, service requests, references and
// their failure, as PcNewServiceGroup hands them to the driver.
#include "host/kernel/conduct.h"
#include "host/kernel/faults.h"
#include "host/portcls/servicegroup.h"

#include <portcls.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace
{

// A sink that records its calls into a shared log and can act during one.
class RecordingSink : public IServiceSink
{
public:
    RecordingSink(std::string name, std::vector<std::string>& log) : name_(name), log_(log) {}
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID, PVOID* object) override
    {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++references); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--references); }
    STDMETHODIMP_(void) RequestService() override
    {
        log_.push_back(name_);
        if (duringService)
            duringService();
    }

    LONG references = 1;
    std::function<void()> duringService;

private:
    std::string name_;
    std::vector<std::string>& log_;
};

class ServiceGroup : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(PcNewServiceGroup(&group_, nullptr), STATUS_SUCCESS); }
    void TearDown() override
    {
        if (group_ != nullptr)
        {
            EXPECT_EQ(group_->Release(), 0u);
        }
        EXPECT_EQ(host::portcls::LiveServiceGroupCount(), 0u);
    }

    PSERVICEGROUP group_ = nullptr;
    std::vector<std::string> log_;
};

TEST_F(ServiceGroup, RequestServiceCallsEveryMemberInTheOrderAdded)
{
    RecordingSink a("a", log_), b("b", log_);
    ASSERT_EQ(group_->AddMember(&a), STATUS_SUCCESS);
    ASSERT_EQ(group_->AddMember(&b), STATUS_SUCCESS);
    group_->RequestService();
    group_->RequestService();
    EXPECT_EQ(log_, (std::vector<std::string>{"a", "b", "a", "b"}));
    EXPECT_EQ(host::portcls::ServiceGroupRequests(group_), 2u);
    group_->RemoveMember(&a);
    group_->RemoveMember(&b);
}

TEST_F(ServiceGroup, MembersAreHeldWithAReferenceUntilRemovedOrTheGroupGoes)
{
    RecordingSink a("a", log_), b("b", log_);
    group_->AddMember(&a);
    group_->AddMember(&b);
    EXPECT_EQ(a.references, 2);
    group_->RemoveMember(&a);
    EXPECT_EQ(a.references, 1);
    group_->RequestService();
    EXPECT_EQ(log_, std::vector<std::string>{"b"}) << "a removed member is not called";
    group_->RemoveMember(&a); // not a member: nothing happens
    EXPECT_EQ(a.references, 1);
    EXPECT_EQ(group_->Release(), 0u);
    group_ = nullptr;
    EXPECT_EQ(b.references, 1) << "the group's last reference releases its members";
}

TEST_F(ServiceGroup, AMemberRemovedDuringAServiceIsNotCalledAgainAndStaysAlive)
{
    RecordingSink a("a", log_), b("b", log_);
    group_->AddMember(&a);
    group_->AddMember(&b);
    // a removes b (and itself) while the group is serving them.
    a.duringService = [&]
    {
        group_->RemoveMember(&b);
        group_->RemoveMember(&a);
        EXPECT_GE(b.references, 2) << "b is kept alive for the call in progress";
    };
    group_->RequestService();
    EXPECT_EQ(a.references, 1);
    EXPECT_EQ(b.references, 1);
    log_.clear();
    group_->RequestService();
    EXPECT_TRUE(log_.empty());
}

TEST_F(ServiceGroup, DelayedServiceIsServedAtOnce)
{
    RecordingSink a("a", log_);
    group_->AddMember(&a);
    group_->SupportDelayedService();
    group_->RequestDelayedService(100);
    group_->CancelDelayedService();
    EXPECT_EQ(log_, std::vector<std::string>{"a"});
    group_->RemoveMember(&a);
}

TEST_F(ServiceGroup, AnswersItsThreeInterfacesWithAReference)
{
    for (const GUID* iid : {&IID_IUnknown, &IID_IServiceSink, &IID_IServiceGroup})
    {
        PVOID object = nullptr;
        ASSERT_EQ(group_->QueryInterface(*iid, &object), STATUS_SUCCESS);
        EXPECT_EQ(object, static_cast<IServiceGroup*>(group_));
        static_cast<PSERVICEGROUP>(object)->Release();
    }
    PVOID none = &none;
    EXPECT_EQ(group_->QueryInterface(IID_IPort, &none), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(host::portcls::ServiceGroupReferences(group_), 1);
}

TEST_F(ServiceGroup, CallAfterTheLastReferenceIsReported)
{
    PSERVICEGROUP dead = group_;
    ASSERT_EQ(group_->Release(), 0u);
    group_ = nullptr;
    host::ViolationCapture capture;
    dead->RequestService();
    dead->Release();
    EXPECT_EQ(capture.Count(host::ViolationKind::Custom), 2u);
    EXPECT_TRUE(capture.Contains(host::ViolationKind::Custom, "already released"));
}

TEST(PcNewServiceGroup, FailsWhenToldToAndRefusesAggregation)
{
    PSERVICEGROUP group = reinterpret_cast<PSERVICEGROUP>(0x1);
    {
        host::FaultScope faults;
        faults.FailEveryCallOf("PcNewServiceGroup");
        EXPECT_EQ(PcNewServiceGroup(&group, nullptr), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(group, nullptr);
    }
    PSERVICEGROUP outer = nullptr;
    ASSERT_EQ(PcNewServiceGroup(&outer, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(PcNewServiceGroup(&group, outer), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(group, nullptr);
    outer->Release();
    EXPECT_EQ(host::portcls::LiveServiceGroupCount(), 0u);
}

} // namespace
