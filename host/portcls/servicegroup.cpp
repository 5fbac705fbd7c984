#include "host/portcls/servicegroup.h"

#include "host/kernel/boundary.h"
#include "host/kernel/conduct.h"
#include "host/kernel/faults.h"
#include "host/kernel/irql.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <unordered_set>
#include <vector>

namespace host::portcls
{
namespace
{

// Groups are told from other objects by their address in this registry.
struct GroupRegistry
{
    std::mutex mutex;
    std::unordered_set<const void*> live;
    std::deque<void*> dead; // released to zero, freed when the list is full
};

GroupRegistry& Registry()
{
    // Immortal, like the rest of the host's singletons: groups may be
    // released by threads that outlive static destruction.
    static GroupRegistry* registry = new GroupRegistry();
    return *registry;
}

constexpr std::size_t kDeadGroupsKept = 64;

class HostServiceGroup final : public IServiceGroup
{
public:
    HostServiceGroup()
    {
        GroupRegistry& registry = Registry();
        std::lock_guard lock(registry.mutex);
        registry.live.insert(this);
    }

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* result) override
    try
    {
        if (!CheckAlive("IServiceGroup::QueryInterface") || result == nullptr)
            return STATUS_INVALID_PARAMETER;
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
    catch (...)
    {
        return host::CaughtAtBoundary("HostServiceGroup::QueryInterface",
                                      STATUS_INSUFFICIENT_RESOURCES);
    }

    STDMETHODIMP_(ULONG) AddRef() override
    try
    {
        if (!CheckAlive("IServiceGroup::AddRef"))
            return 0;
        return static_cast<ULONG>(++m_references);
    }
    catch (...)
    {
        return host::CaughtAtBoundary("HostServiceGroup::AddRef", ULONG{});
    }

    STDMETHODIMP_(ULONG) Release() override
    try
    {
        if (!CheckAlive("IServiceGroup::Release"))
            return 0;
        const LONG count = --m_references;
        if (count == 0)
            Die();
        return static_cast<ULONG>(count);
    }
    catch (...)
    {
        return host::CaughtAtBoundary("HostServiceGroup::Release", ULONG{});
    }

    STDMETHODIMP_(void) RequestService() override
    try
    {
        if (!CheckAlive("IServiceGroup::RequestService"))
            return;
        ++m_requests;
        std::vector<PSERVICESINK> members;
        {
            std::lock_guard lock(m_mutex);
            members = m_members;
            for (PSERVICESINK member : members)
                member->AddRef();
        }
        for (PSERVICESINK member : members)
        {
            member->RequestService();
            member->Release();
        }
    }
    catch (...)
    {
        host::CaughtAtBoundary("HostServiceGroup::RequestService");
    }

    STDMETHODIMP_(NTSTATUS) AddMember(PSERVICESINK sink) override
    try
    {
        if (!CheckAlive("IServiceGroup::AddMember") || sink == nullptr)
            return STATUS_INVALID_PARAMETER;
        sink->AddRef();
        std::lock_guard lock(m_mutex);
        m_members.push_back(sink);
        return STATUS_SUCCESS;
    }
    catch (...)
    {
        return host::CaughtAtBoundary("HostServiceGroup::AddMember", STATUS_INSUFFICIENT_RESOURCES);
    }

    STDMETHODIMP_(void) RemoveMember(PSERVICESINK sink) override
    try
    {
        if (!CheckAlive("IServiceGroup::RemoveMember"))
            return;
        {
            std::lock_guard lock(m_mutex);
            auto it = std::find(m_members.begin(), m_members.end(), sink);
            if (it == m_members.end())
                return;
            m_members.erase(it);
        }
        sink->Release();
    }
    catch (...)
    {
        host::CaughtAtBoundary("HostServiceGroup::RemoveMember");
    }

    STDMETHODIMP_(void) SupportDelayedService() override {}
    STDMETHODIMP_(void) RequestDelayedService(ULONGLONG) override { RequestService(); }
    STDMETHODIMP_(void) CancelDelayedService() override {}

    std::size_t Members()
    {
        std::lock_guard lock(m_mutex);
        return m_members.size();
    }
    std::size_t Requests() const { return m_requests.load(); }
    long References() const { return m_references.load(); }

private:
    bool CheckAlive(const char* method) const
    {
        if (!m_dead.load())
            return true;
        ReportViolation(ViolationKind::Custom,
                        std::string(method) +
                            " on a service group that was already released to zero references");
        return false;
    }

    // The members go with the group's last reference; the storage stays a
    // while so that a late call is reported instead of reading freed memory.
    void Die()
    {
        m_dead = true;
        std::vector<PSERVICESINK> members;
        {
            std::lock_guard lock(m_mutex);
            members.swap(m_members);
        }
        for (PSERVICESINK member : members)
            member->Release();
        void* oldest = nullptr;
        {
            GroupRegistry& registry = Registry();
            std::lock_guard lock(registry.mutex);
            registry.live.erase(this);
            registry.dead.push_back(this);
            if (registry.dead.size() > kDeadGroupsKept)
            {
                oldest = registry.dead.front();
                registry.dead.pop_front();
            }
        }
        delete static_cast<HostServiceGroup*>(oldest);
    }

    std::atomic<LONG> m_references{1};
    std::atomic<bool> m_dead{false};
    std::atomic<std::size_t> m_requests{0};
    std::mutex m_mutex;
    std::vector<PSERVICESINK> m_members;
};

HostServiceGroup* Known(PSERVICEGROUP group)
{
    GroupRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    const void* object = static_cast<const IServiceGroup*>(group);
    return registry.live.count(object) != 0
               ? static_cast<HostServiceGroup*>(static_cast<IServiceGroup*>(group))
               : nullptr;
}

} // namespace

std::size_t LiveServiceGroupCount()
{
    GroupRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    return registry.live.size();
}

std::size_t ServiceGroupMembers(PSERVICEGROUP group)
{
    HostServiceGroup* known = Known(group);
    return known == nullptr ? 0 : known->Members();
}

std::size_t ServiceGroupRequests(PSERVICEGROUP group)
{
    HostServiceGroup* known = Known(group);
    return known == nullptr ? 0 : known->Requests();
}

long ServiceGroupReferences(PSERVICEGROUP group)
{
    HostServiceGroup* known = Known(group);
    return known == nullptr ? 0 : known->References();
}

} // namespace host::portcls

PORTCLASSAPI NTSTATUS NTAPI PcNewServiceGroup(PSERVICEGROUP* OutServiceGroup, PUNKNOWN OuterUnknown)
try
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "PcNewServiceGroup");
    if (OutServiceGroup == nullptr)
        return STATUS_INVALID_PARAMETER;
    *OutServiceGroup = nullptr;
    if (OuterUnknown != nullptr)
        return STATUS_INVALID_PARAMETER;
    if (host::ShouldFail("PcNewServiceGroup"))
        return STATUS_INSUFFICIENT_RESOURCES;
    *OutServiceGroup = new host::portcls::HostServiceGroup();
    return STATUS_SUCCESS;
}
catch (...)
{
    return host::CaughtAtBoundary("PcNewServiceGroup", STATUS_INSUFFICIENT_RESOURCES);
}
