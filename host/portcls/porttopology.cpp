#include "host/portcls/porttopology.h"

#include "host/kernel/boundary.h"
#include "host/kernel/conduct.h"
#include "host/kernel/drivercall.h"
#include "host/portcls/library.h"

namespace host::portcls
{

PortTopology::PortTopology()
    : FilterPort(CLSID_PortTopology, "Topology", static_cast<IPortTopology*>(this))
{
}

PPORT PortTopology::Create()
{
    return static_cast<IPortTopology*>(new PortTopology());
}

PUNKNOWN PortTopology::InterfaceFor(REFIID iid)
{
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IPort) ||
        IsEqualGUID(iid, IID_IPortTopology))
        return static_cast<IPortTopology*>(this);
    return nullptr;
}

STDMETHODIMP_(NTSTATUS) PortTopology::QueryInterface(REFIID iid, PVOID* object)
try
{
    return AnswerQuery(iid, object, InterfaceFor(iid));
}
catch (...)
{
    return host::CaughtAtBoundary("PortTopology::QueryInterface", STATUS_INSUFFICIENT_RESOURCES);
}

STDMETHODIMP_(ULONG) PortTopology::AddRef()
try
{
    return Reference("IPort::AddRef");
}
catch (...)
{
    return host::CaughtAtBoundary("PortTopology::AddRef", ULONG{});
}

STDMETHODIMP_(ULONG) PortTopology::Release()
try
{
    return ReleasePort("IPort::Release");
}
catch (...)
{
    return host::CaughtAtBoundary("PortTopology::Release", ULONG{});
}

STDMETHODIMP_(NTSTATUS)
PortTopology::Init(PDEVICE_OBJECT deviceObject, PIRP, PUNKNOWN unknownMiniport,
                   PUNKNOWN unknownAdapter, PRESOURCELIST resourceList)
try
{
    return BindMiniport("IPortTopology::Init", deviceObject, unknownMiniport, IID_IMiniportTopology,
                        [&](PUNKNOWN primary)
                        {
                            DriverCallGuard guard("IMiniportTopology::Init");
                            return static_cast<PMINIPORTTOPOLOGY>(primary)->Init(
                                unknownAdapter, resourceList, this);
                        });
}
catch (...)
{
    return host::CaughtAtBoundary("PortTopology::Init", STATUS_INSUFFICIENT_RESOURCES);
}

STDMETHODIMP_(NTSTATUS)
PortTopology::GetDeviceProperty(DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG resultLength)
try
{
    if (resultLength != nullptr)
        *resultLength = 0;
    return NotCarriedOut("IPort::GetDeviceProperty");
}
catch (...)
{
    return host::CaughtAtBoundary("PortTopology::GetDeviceProperty", STATUS_INSUFFICIENT_RESOURCES);
}

STDMETHODIMP_(NTSTATUS)
PortTopology::NewRegistryKey(PREGISTRYKEY* outRegistryKey, PUNKNOWN, ULONG, ACCESS_MASK,
                             POBJECT_ATTRIBUTES, ULONG, PULONG)
try
{
    if (outRegistryKey != nullptr)
        *outRegistryKey = nullptr;
    return NotCarriedOut("IPort::NewRegistryKey");
}
catch (...)
{
    return host::CaughtAtBoundary("PortTopology::NewRegistryKey", STATUS_INSUFFICIENT_RESOURCES);
}

} // namespace host::portcls
