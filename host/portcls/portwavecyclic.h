// The WaveCyclic port. The driver makes one only to ask whether the library
// offers IPortEvents, and releases it uninitialised; it answers
// QueryInterface for IUnknown, IPort, IPortWaveCyclic and IPortEvents.
#pragma once

#include "host/portcls/ports.h"

namespace host::portcls
{

class PortWaveCyclic final : public IPortWaveCyclic, public IPortEvents, public PortBase
{
public:
    PortWaveCyclic();

    static PPORT Create();

    // IUnknown (for both interfaces)
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

    // IPortWaveCyclic
    STDMETHODIMP_(VOID) Notify(PSERVICEGROUP serviceGroup) override;
    STDMETHODIMP_(NTSTATUS)
    NewSlaveDmaChannel(PDMACHANNELSLAVE* dmaChannel, PUNKNOWN outerUnknown,
                       PRESOURCELIST resourceList, ULONG dmaIndex, ULONG maximumLength,
                       BOOLEAN demandMode, DMA_SPEED dmaSpeed) override;
    STDMETHODIMP_(NTSTATUS)
    NewMasterDmaChannel(PDMACHANNEL* dmaChannel, PUNKNOWN outerUnknown, PRESOURCELIST resourceList,
                        ULONG maximumLength, BOOLEAN dma32BitAddresses, BOOLEAN dma64BitAddresses,
                        DMA_WIDTH dmaWidth, DMA_SPEED dmaSpeed) override;

    // IPortEvents
    STDMETHODIMP_(void) AddEventToEventList(PKSEVENT_ENTRY eventEntry) override;
    STDMETHODIMP_(void)
    GenerateEventList(GUID* set, ULONG eventId, BOOL pinEvent, ULONG pinId, BOOL nodeEvent,
                      ULONG nodeId) override;

private:
    PUNKNOWN InterfaceFor(REFIID iid);
    // Every call of a method this host does not carry out: recorded and
    // answered as not supported, and reported, since the driver has no
    // WaveCyclic miniport and no business calling them.
    NTSTATUS Unsupported(const char* method);
};

} // namespace host::portcls
