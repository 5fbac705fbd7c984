#include "host/portcls/portwavecyclic.h"

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
{
    return AnswerQuery(iid, object, InterfaceFor(iid));
}

STDMETHODIMP_(ULONG) PortWaveCyclic::AddRef()
{
    return Reference("IPort::AddRef");
}

STDMETHODIMP_(ULONG) PortWaveCyclic::Release()
{
    return Dereference("IPort::Release");
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
{
    return Unsupported("IPort::Init");
}

STDMETHODIMP_(NTSTATUS)
PortWaveCyclic::GetDeviceProperty(DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG)
{
    return Unsupported("IPort::GetDeviceProperty");
}

STDMETHODIMP_(NTSTATUS)
PortWaveCyclic::NewRegistryKey(PREGISTRYKEY* outRegistryKey, PUNKNOWN, ULONG, ACCESS_MASK,
                               POBJECT_ATTRIBUTES, ULONG, PULONG)
{
    if (outRegistryKey != nullptr)
        *outRegistryKey = nullptr;
    return Unsupported("IPort::NewRegistryKey");
}

STDMETHODIMP_(VOID) PortWaveCyclic::Notify(PSERVICEGROUP)
{
    Unsupported("IPortWaveCyclic::Notify");
}

STDMETHODIMP_(NTSTATUS)
PortWaveCyclic::NewSlaveDmaChannel(PDMACHANNELSLAVE* dmaChannel, PUNKNOWN, PRESOURCELIST, ULONG,
                                   ULONG, BOOLEAN, DMA_SPEED)
{
    if (dmaChannel != nullptr)
        *dmaChannel = nullptr;
    return Unsupported("IPortWaveCyclic::NewSlaveDmaChannel");
}

STDMETHODIMP_(NTSTATUS)
PortWaveCyclic::NewMasterDmaChannel(PDMACHANNEL* dmaChannel, PUNKNOWN, PRESOURCELIST, ULONG,
                                    BOOLEAN, BOOLEAN, DMA_WIDTH, DMA_SPEED)
{
    if (dmaChannel != nullptr)
        *dmaChannel = nullptr;
    return Unsupported("IPortWaveCyclic::NewMasterDmaChannel");
}

STDMETHODIMP_(void) PortWaveCyclic::AddEventToEventList(PKSEVENT_ENTRY)
{
    Unsupported("IPortEvents::AddEventToEventList");
}

STDMETHODIMP_(void) PortWaveCyclic::GenerateEventList(GUID*, ULONG, BOOL, ULONG, BOOL, ULONG)
{
    Unsupported("IPortEvents::GenerateEventList");
}

} // namespace host::portcls
