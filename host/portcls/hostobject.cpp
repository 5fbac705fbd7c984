#include "host/portcls/hostobject.h"

#include "host/kernel/conduct.h"
#include "host/portcls/library.h"
#include "host/portcls/portclass.h"

#include <cstdio>
#include <deque>
#include <mutex>
#include <unordered_set>

namespace host::portcls
{
namespace
{

// Dead objects kept before they are freed: enough to catch a release through
// a stale pointer soon after the last one.
constexpr std::size_t kGraveyardSize = 256;

struct ObjectRegistry
{
    std::mutex mutex;
    std::unordered_set<HostObject*> live;
    std::deque<HostObject*> graveyard;
};

ObjectRegistry& Registry()
{
    // Never destroyed, as the kernel's singletons: the graveyard's objects stay
    // reachable at exit, and objects released from static destructors still
    // find it.
    static ObjectRegistry& registry = *new ObjectRegistry;
    return registry;
}

std::string Address(const void* address)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%p", address);
    return text;
}

// The object is dead: out of the live set and into the graveyard, whose
// oldest entry is freed if it is full.
void Bury(HostObject* object)
{
    HostObject* oldest = nullptr;
    {
        ObjectRegistry& registry = Registry();
        std::lock_guard lock(registry.mutex);
        registry.live.erase(object);
        registry.graveyard.push_back(object);
        if (registry.graveyard.size() > kGraveyardSize)
        {
            oldest = registry.graveyard.front();
            registry.graveyard.pop_front();
        }
    }
    delete oldest;
}

} // namespace

HostObject::HostObject(ObjectKind kind, std::string name) : m_kind(kind), m_name(std::move(name))
{
    ObjectRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    registry.live.insert(this);
}

HostObject::~HostObject() = default;

ULONG HostObject::Reference(const char* method)
{
    if (!CheckAlive(method))
        return 0;
    const LONG count = m_references.fetch_add(1) + 1;
    detail::RecordCall(method, m_name, STATUS_SUCCESS, this);
    return static_cast<ULONG>(count);
}

ULONG HostObject::Dereference(const char* method)
{
    if (!CheckAlive(method))
        return 0;
    const LONG count = m_references.fetch_sub(1) - 1;
    detail::RecordCall(method, m_name, STATUS_SUCCESS, this);
    if (count == 0)
    {
        m_dead.store(true);
        Bury(this);
    }
    return static_cast<ULONG>(count);
}

bool HostObject::CheckAlive(const char* method) const
{
    if (!m_dead.load())
        return true;
    ReportViolation(ViolationKind::Custom, std::string(method) + ": " + m_name + " " +
                                               Address(this) +
                                               " was already released to zero references");
    return false;
}

void ForgetLiveObjects()
{
    ObjectRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    registry.live.clear();
}

std::size_t LiveObjectCount(ObjectKind kind)
{
    ObjectRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    std::size_t count = 0;
    for (const HostObject* object : registry.live)
        count += object->Kind() == kind;
    return count;
}

std::vector<std::string> DescribeLiveObjects(ObjectKind kind)
{
    ObjectRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    std::vector<std::string> descriptions;
    for (const HostObject* object : registry.live)
    {
        if (object->Kind() == kind)
            descriptions.push_back(object->Name() + " " + Address(object) + ", " +
                                   std::to_string(object->References()) + " references");
    }
    return descriptions;
}

} // namespace host::portcls
