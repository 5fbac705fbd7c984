#include "host/portcls/portwavecyclic.h"

#include "host/kernel/boundary.h"
#include "host/kernel/conduct.h"
#include "host/portcls/library.h"

namespace host::portcls
{

PortWaveCyclic::PortWaveCyclic() : PortBase(CLSID_PortWaveCyclic, "WaveCyclic") {}

PPORT PortWaveCyclic::Create()
{
    return static_cast<IPortWaveCyclic*>(new PortWaveCyclic());
}

PUNKNOWN PortWaveCyclic::InterfaceFor(REFIID iid)
{
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IPort) ||
        IsEqualGUID(iid, IID_IPortWaveCyclic))
        return static_cast<IPortWaveCyclic*>(this);
    if (IsEqualGUID(iid, IID_IPortEvents))
        return static_cast<IPortEvents*>(this);
    return nullptr;
}

STDMETHODIMP_(NTSTATUS) PortWaveCyclic::QueryInterface(REFIID iid, PVOID* object)
try
{
    return AnswerQuery(iid, object, InterfaceFor(iid));
}
catch (...)
{
    return host::CaughtAtBoundary("PortWaveCyclic::QueryInterface", STATUS_INSUFFICIENT_RESOURCES);
}

STDMETHODIMP_(ULONG) PortWaveCyclic::AddRef()
try
{
    return Reference("IPort::AddRef");
}
catch (...)
{
    return host::CaughtAtBoundary("PortWaveCyclic::AddRef", ULONG{});
}

STDMETHODIMP_(ULONG) PortWaveCyclic::Release()
try
{
    return Dereference("IPort::Release");
}
catch (...)
{
    return host::CaughtAtBoundary("PortWaveCyclic::Release", ULONG{});
}

NTSTATUS PortWaveCyclic::Unsupported(const char* method)
{
    if (!CheckAlive(method))
        return STATUS_INVALID_DEVICE_STATE;
    detail::RecordCall(method, Name(), STATUS_NOT_SUPPORTED, this);
    ReportViolation(ViolationKind::Custom,
                    std::string(method) +
                        " on a WaveCyclic port: this host has no WaveCyclic streaming; the "
                        "driver uses the port only to ask for IPortEvents");
    return STATUS_NOT_SUPPORTED;
}

STDMETHODIMP_(NTSTATUS)
PortWaveCyclic::Init(PDEVICE_OBJECT, PIRP, PUNKNOWN, PUNKNOWN, PRESOURCELIST)
try
{
    return Unsupported("IPort::Init");
}
catch (...)
{
    return host::CaughtAtBoundary("PortWaveCyclic::Init", STATUS_INSUFFICIENT_RESOURCES);
}

STDMETHODIMP_(NTSTATUS)
PortWaveCyclic::GetDeviceProperty(DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG)
try
{
    return Unsupported("IPort::GetDeviceProperty");
}
catch (...)
{
    return host::CaughtAtBoundary("PortWaveCyclic::GetDeviceProperty",
                                  STATUS_INSUFFICIENT_RESOURCES);
}

STDMETHODIMP_(NTSTATUS)
PortWaveCyclic::NewRegistryKey(PREGISTRYKEY* outRegistryKey, PUNKNOWN, ULONG, ACCESS_MASK,
                               POBJECT_ATTRIBUTES, ULONG, PULONG)
try
{
    if (outRegistryKey != nullptr)
        *outRegistryKey = nullptr;
    return Unsupported("IPort::NewRegistryKey");
}
catch (...)
{
    return host::CaughtAtBoundary("PortWaveCyclic::NewRegistryKey", STATUS_INSUFFICIENT_RESOURCES);
}

STDMETHODIMP_(VOID) PortWaveCyclic::Notify(PSERVICEGROUP)
try
{
    Unsupported("IPortWaveCyclic::Notify");
}
catch (...)
{
    host::CaughtAtBoundary("PortWaveCyclic::Notify");
}

STDMETHODIMP_(NTSTATUS)
PortWaveCyclic::NewSlaveDmaChannel(PDMACHANNELSLAVE* dmaChannel, PUNKNOWN, PRESOURCELIST, ULONG,
                                   ULONG, BOOLEAN, DMA_SPEED)
try
{
    if (dmaChannel != nullptr)
        *dmaChannel = nullptr;
    return Unsupported("IPortWaveCyclic::NewSlaveDmaChannel");
}
catch (...)
{
    return host::CaughtAtBoundary("PortWaveCyclic::NewSlaveDmaChannel",
                                  STATUS_INSUFFICIENT_RESOURCES);
}

STDMETHODIMP_(NTSTATUS)
PortWaveCyclic::NewMasterDmaChannel(PDMACHANNEL* dmaChannel, PUNKNOWN, PRESOURCELIST, ULONG,
                                    BOOLEAN, BOOLEAN, DMA_WIDTH, DMA_SPEED)
try
{
    if (dmaChannel != nullptr)
        *dmaChannel = nullptr;
    return Unsupported("IPortWaveCyclic::NewMasterDmaChannel");
}
catch (...)
{
    return host::CaughtAtBoundary("PortWaveCyclic::NewMasterDmaChannel",
                                  STATUS_INSUFFICIENT_RESOURCES);
}

STDMETHODIMP_(void) PortWaveCyclic::AddEventToEventList(PKSEVENT_ENTRY)
try
{
    Unsupported("IPortEvents::AddEventToEventList");
}
catch (...)
{
    host::CaughtAtBoundary("PortWaveCyclic::AddEventToEventList");
}

STDMETHODIMP_(void) PortWaveCyclic::GenerateEventList(GUID*, ULONG, BOOL, ULONG, BOOL, ULONG)
try
{
    Unsupported("IPortEvents::GenerateEventList");
}
catch (...)
{
    host::CaughtAtBoundary("PortWaveCyclic::GenerateEventList");
}

} // namespace host::portcls
