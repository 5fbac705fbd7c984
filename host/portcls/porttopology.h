// The topology port: what PcNewPort(CLSID_PortTopology) makes. It answers
// QueryInterface for IUnknown, IPort and IPortTopology; Init binds an
// IMiniportTopology (see filterport.h). Its copy of the pin table is taken
// during Init, so each topology port keeps the pin variant its miniport
// wrote then, whatever a later miniport writes into a shared table.
#pragma once

#include "host/portcls/filterport.h"

namespace host::portcls
{

class PortTopology final : public IPortTopology, public FilterPort
{
public:
    PortTopology();

    static PPORT Create();

    // IUnknown
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IPort
    STDMETHODIMP_(NTSTATUS)
    Init(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
         PRESOURCELIST resourceList) override;
    STDMETHODIMP_(NTSTATUS)
    GetDeviceProperty(DEVICE_REGISTRY_PROPERTY deviceProperty, ULONG bufferLength,
                      PVOID propertyBuffer, PULONG resultLength) override;
    STDMETHODIMP_(NTSTATUS)
    NewRegistryKey(PREGISTRYKEY* outRegistryKey, PUNKNOWN outerUnknown, ULONG registryKeyType,
                   ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                   ULONG createOptions, PULONG disposition) override;

private:
    PUNKNOWN InterfaceFor(REFIID iid);
};

} // namespace host::portcls
