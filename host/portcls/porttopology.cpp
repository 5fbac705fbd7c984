#include "host/portcls/porttopology.h"

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
{
    return AnswerQuery(iid, object, InterfaceFor(iid));
}

STDMETHODIMP_(ULONG) PortTopology::AddRef()
{
    return Reference("IPort::AddRef");
}

STDMETHODIMP_(ULONG) PortTopology::Release()
{
    return ReleasePort("IPort::Release");
}

STDMETHODIMP_(NTSTATUS)
PortTopology::Init(PDEVICE_OBJECT deviceObject, PIRP, PUNKNOWN unknownMiniport,
                   PUNKNOWN unknownAdapter, PRESOURCELIST resourceList)
{
    return BindMiniport("IPortTopology::Init", deviceObject, unknownMiniport, IID_IMiniportTopology,
                        [&](PUNKNOWN primary) {
                            DriverCallGuard guard("IMiniportTopology::Init");
                            return static_cast<PMINIPORTTOPOLOGY>(primary)->Init(
                                unknownAdapter, resourceList, this);
                        });
}

STDMETHODIMP_(NTSTATUS)
PortTopology::GetDeviceProperty(DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG resultLength)
{
    if (resultLength != nullptr)
        *resultLength = 0;
    return NotCarriedOut("IPort::GetDeviceProperty");
}

STDMETHODIMP_(NTSTATUS)
PortTopology::NewRegistryKey(PREGISTRYKEY* outRegistryKey, PUNKNOWN, ULONG, ACCESS_MASK,
                             POBJECT_ATTRIBUTES, ULONG, PULONG)
{
    if (outRegistryKey != nullptr)
        *outRegistryKey = nullptr;
    return NotCarriedOut("IPort::NewRegistryKey");
}

} // namespace host::portcls
