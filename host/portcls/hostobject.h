// The base of the library's reference-counted objects (ports, resource lists,
// and next the service groups and DMA channels).
//
// An object starts with one reference and dies when the last goes. It is not
// freed at once: it stays in a bounded graveyard, marked dead, so that a call
// through a released pointer is reported as such instead of reading freed
// memory. Every live object is counted per kind, so that a test can assert
// that the driver released everything it was given.
#pragma once

#include <wdm.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

namespace host::portcls
{

enum class ObjectKind
{
    Port,
    ResourceList,
    DmaChannel,
};

class HostObject
{
public:
    HostObject(ObjectKind kind, std::string name);
    virtual ~HostObject();
    HostObject(const HostObject&) = delete;
    HostObject& operator=(const HostObject&) = delete;

    ObjectKind Kind() const { return m_kind; }
    const std::string& Name() const { return m_name; }
    LONG References() const { return m_references.load(); }
    bool IsDead() const { return m_dead.load(); }

protected:
    // AddRef and Release; `method` names the caller for the record and for
    // messages ("IPort::Release").
    ULONG Reference(const char* method);
    ULONG Dereference(const char* method);
    // Reports a Custom violation and returns false if the object is dead.
    bool CheckAlive(const char* method) const;

private:
    const ObjectKind m_kind;
    const std::string m_name;
    std::atomic<LONG> m_references{1};
    std::atomic<bool> m_dead{false};
};

std::size_t LiveObjectCount(ObjectKind kind);
std::vector<std::string> DescribeLiveObjects(ObjectKind kind);

} // namespace host::portcls
