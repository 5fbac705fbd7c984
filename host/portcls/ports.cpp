// PcNewPort and the table of port classes.
#include "host/portcls/ports.h"

#include "host/kernel/boundary.h"
#include "host/kernel/faults.h"
#include "host/kernel/irql.h"
#include "host/portcls/library.h"
#include "host/portcls/porttopology.h"
#include "host/portcls/portwavecyclic.h"
#include "host/portcls/portwavepci.h"

namespace host::portcls
{
namespace
{

// One entry per port class the host carries out.
const PortClass kPortClasses[] = {
    {&CLSID_PortWaveCyclic, "WaveCyclic", &PortWaveCyclic::Create},
    {&CLSID_PortWavePci, "WavePci", &PortWavePci::Create},
    {&CLSID_PortTopology, "Topology", &PortTopology::Create},
};

} // namespace

PortBase::PortBase(const GUID& classId, const char* className)
    : HostObject(ObjectKind::Port, std::string(className) + " port"), m_classId(classId)
{
}

NTSTATUS PortBase::AnswerQuery(REFIID iid, PVOID* object, PUNKNOWN found)
{
    if (!CheckAlive("IPort::QueryInterface"))
        return STATUS_INVALID_PARAMETER;
    if (object == nullptr)
    {
        detail::RecordCall("IPort::QueryInterface", GuidName(iid), STATUS_INVALID_PARAMETER, this);
        return STATUS_INVALID_PARAMETER;
    }
    if (found == nullptr || detail::IsInterfaceRefused(m_classId, iid))
    {
        *object = nullptr;
        detail::RecordCall("IPort::QueryInterface", GuidName(iid), STATUS_INVALID_PARAMETER, this);
        return STATUS_INVALID_PARAMETER;
    }
    found->AddRef();
    *object = found;
    detail::RecordCall("IPort::QueryInterface", GuidName(iid), STATUS_SUCCESS, this);
    return STATUS_SUCCESS;
}

const PortClass* FindPortClass(REFCLSID classId)
{
    for (const PortClass& portClass : kPortClasses)
    {
        if (IsEqualGUID(*portClass.classId, classId))
            return &portClass;
    }
    return nullptr;
}

std::size_t LivePortCount()
{
    return LiveObjectCount(ObjectKind::Port);
}

std::size_t LiveResourceListCount()
{
    return LiveObjectCount(ObjectKind::ResourceList);
}

std::vector<std::string> DescribeLivePorts()
{
    return DescribeLiveObjects(ObjectKind::Port);
}

} // namespace host::portcls

using host::portcls::detail::RecordCall;

// A failure the test configured comes first, so that it reaches classes this
// host does not carry out yet; then an unknown class is refused with
// STATUS_INVALID_PARAMETER, as a bad argument; fault injection reaches only
// creations that would otherwise succeed.
extern "C" NTSTATUS NTAPI PcNewPort(PPORT* OutPort, REFCLSID ClassId)
try
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "PcNewPort");
    const std::string className = host::portcls::GuidName(ClassId);
    if (OutPort == nullptr)
    {
        RecordCall("PcNewPort", className, STATUS_INVALID_PARAMETER, nullptr);
        return STATUS_INVALID_PARAMETER;
    }
    *OutPort = nullptr;

    const host::portcls::PortClass* portClass = host::portcls::FindPortClass(ClassId);
    NTSTATUS status = STATUS_SUCCESS;
    if (auto failure = host::portcls::detail::PortCreationFailure(ClassId))
        status = *failure;
    else if (portClass == nullptr)
        status = STATUS_INVALID_PARAMETER;
    else if (host::ShouldFail("PcNewPort"))
        status = STATUS_INSUFFICIENT_RESOURCES;
    if (!NT_SUCCESS(status))
    {
        RecordCall("PcNewPort", className, status, nullptr);
        return status;
    }

    *OutPort = portClass->create();
    RecordCall("PcNewPort", className, STATUS_SUCCESS, *OutPort);
    return STATUS_SUCCESS;
}
catch (...)
{
    return host::CaughtAtBoundary("PcNewPort", STATUS_INSUFFICIENT_RESOURCES);
}
