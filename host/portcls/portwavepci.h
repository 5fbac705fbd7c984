// The WavePci port: what PcNewPort(CLSID_PortWavePci) makes. It answers
// QueryInterface for IUnknown, IPort and IPortWavePci; Init binds an
// IMiniportWavePci (see filterport.h), keeps the service group the miniport's
// Init hands out, if any, and makes master DMA channels for it.
//
// The streaming side of the library (pins and port streams) reaches the
// bound miniport, its DMA channel and the filter through the accessors here:
//
//     PortWavePci* port = PortWavePci::Acquire(subdevice.port);
//     if (port != nullptr)
//     {
//         PMINIPORTWAVEPCI miniport = port->WaveMiniport();
//         ...
//         port->ReleasePortReference();
//     }
#pragma once

#include "host/portcls/filterport.h"
#include "host/portcls/portclass.h"

#include <mutex>
#include <vector>

namespace host::portcls
{

class PortWavePci final : public IPortWavePci, public FilterPort
{
public:
    PortWavePci();
    ~PortWavePci() override;

    static PPORT Create();
    // The live WavePci port registered or made as `unknown`, with a
    // reference for the caller (ReleasePortReference), or null; unless
    // `initialisedOnly` is false, only one whose Init succeeded.
    static PortWavePci* Acquire(PUNKNOWN unknown, bool initialisedOnly = true);

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

    // IPortWavePci. Notify may come at DISPATCH_LEVEL; it runs the group's
    // service there (portclass.h: SetNotifyDelivery).
    STDMETHODIMP_(VOID) Notify(PSERVICEGROUP serviceGroup) override;
    STDMETHODIMP_(NTSTATUS)
    NewMasterDmaChannel(PDMACHANNEL* dmaChannel, PUNKNOWN outerUnknown, POOL_TYPE poolType,
                        PRESOURCELIST resourceList, BOOLEAN scatterGather,
                        BOOLEAN dma32BitAddresses, BOOLEAN dma64BitAddresses, BOOLEAN ignoreCount,
                        DMA_WIDTH dmaWidth, DMA_SPEED dmaSpeed, ULONG maximumLength,
                        ULONG dmaPort) override;

    // --- for the streaming side of the library -------------------------------
    // The bound miniport; null before Init and after the device's removal.
    PMINIPORTWAVEPCI WaveMiniport() const;
    // The last DMA channel this port made (the port keeps a reference until
    // its miniport goes), or null.
    PDMACHANNEL DmaChannelObject() const;
    // The service group the miniport's Init handed out, or null (this
    // driver's miniport has none: each stream has its own).
    PSERVICEGROUP MiniportServiceGroup() const { return m_serviceGroup; }
    // Every NewMasterDmaChannel call so far.
    std::vector<DmaChannelRequest> DmaRequests() const;

private:
    PUNKNOWN InterfaceFor(REFIID iid);
    void ReleaseClassChildren() override;

    PSERVICEGROUP m_serviceGroup = nullptr;
    mutable std::mutex m_dmaMutex; // the channel and the record of requests
    PDMACHANNEL m_dmaChannel = nullptr;
    std::vector<DmaChannelRequest> m_dmaRequests;
};

} // namespace host::portcls
