// Port objects: the common part of every port class, and the table PcNewPort
// creates them from.
//
// Each port class is one C++ class (PortWaveCyclic now; PortWavePci and
// PortTopology next), which implements its interfaces and says which object
// answers which IID; PortBase does the rest of QueryInterface (the test's
// refusals, the reference, the record) and the counting. A new class is one
// line in the table in ports.cpp.
#pragma once

#include "host/portcls/hostobject.h"

#include <portcls.h>

namespace host::portcls
{

class PortBase : public HostObject
{
public:
    const GUID& ClassId() const { return m_classId; }

protected:
    PortBase(const GUID& classId, const char* className);

    // QueryInterface for a port whose interface for `iid` is `found` (null
    // if it has none): refused and unknown interfaces give
    // STATUS_INVALID_PARAMETER and a null result, as the library's objects
    // answer; a known one gets a reference.
    NTSTATUS AnswerQuery(REFIID iid, PVOID* object, PUNKNOWN found);

private:
    const GUID m_classId;
};

// One entry of the port class table.
struct PortClass
{
    const GUID* classId;
    const char* name; // "WaveCyclic"
    PPORT (*create)();
};

// The class with this id, or null.
const PortClass* FindPortClass(REFCLSID classId);

} // namespace host::portcls
