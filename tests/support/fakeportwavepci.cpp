#include "tests/support/fakeportwavepci.h"

namespace nuvtest
{

// ---------------------------------------------------------------------------
// FakeDmaChannel

STDMETHODIMP_(NTSTATUS) FakeDmaChannel::QueryInterface(REFIID interfaceId, PVOID* result)
{
    if (IsEqualGUIDAligned(interfaceId, IID_IUnknown) ||
        IsEqualGUIDAligned(interfaceId, IID_IDmaChannel))
    {
        *result = static_cast<IDmaChannel*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    *result = nullptr;
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(ULONG) FakeDmaChannel::AddRef()
{
    return static_cast<ULONG>(++references_);
}

STDMETHODIMP_(ULONG) FakeDmaChannel::Release()
{
    return static_cast<ULONG>(--references_);
}

STDMETHODIMP_(NTSTATUS) FakeDmaChannel::AllocateBuffer(ULONG, PPHYSICAL_ADDRESS)
{
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(PHYSICAL_ADDRESS) FakeDmaChannel::PhysicalAddress()
{
    PHYSICAL_ADDRESS none{};
    return none;
}

// ---------------------------------------------------------------------------
// FakePortWavePci

STDMETHODIMP_(NTSTATUS) FakePortWavePci::QueryInterface(REFIID interfaceId, PVOID* result)
{
    if (IsEqualGUIDAligned(interfaceId, IID_IUnknown) ||
        IsEqualGUIDAligned(interfaceId, IID_IPort) ||
        IsEqualGUIDAligned(interfaceId, IID_IPortWavePci))
    {
        *result = static_cast<IPortWavePci*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    *result = nullptr;
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(ULONG) FakePortWavePci::AddRef()
{
    return static_cast<ULONG>(++references_);
}

STDMETHODIMP_(ULONG) FakePortWavePci::Release()
{
    return static_cast<ULONG>(--references_);
}

STDMETHODIMP_(NTSTATUS)
FakePortWavePci::Init(PDEVICE_OBJECT, PIRP, PUNKNOWN, PUNKNOWN, PRESOURCELIST)
{
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS)
FakePortWavePci::GetDeviceProperty(DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG)
{
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS)
FakePortWavePci::NewRegistryKey(PREGISTRYKEY*, PUNKNOWN, ULONG, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                ULONG, PULONG)
{
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(VOID) FakePortWavePci::Notify(PSERVICEGROUP serviceGroup)
{
    notifications_.push_back(serviceGroup);
}

STDMETHODIMP_(NTSTATUS)
FakePortWavePci::NewMasterDmaChannel(PDMACHANNEL* dmaChannel, PUNKNOWN outerUnknown,
                                     POOL_TYPE poolType, PRESOURCELIST resourceList,
                                     BOOLEAN scatterGather, BOOLEAN dma32BitAddresses,
                                     BOOLEAN dma64BitAddresses, BOOLEAN ignoreCount,
                                     DMA_WIDTH dmaWidth, DMA_SPEED dmaSpeed, ULONG maximumLength,
                                     ULONG dmaPort)
{
    dmaRequests_.push_back({outerUnknown, poolType, resourceList, scatterGather, dma32BitAddresses,
                            dma64BitAddresses, ignoreCount, static_cast<ULONG>(dmaWidth),
                            static_cast<ULONG>(dmaSpeed), maximumLength, dmaPort});
    if (!NT_SUCCESS(dmaStatus_))
        return dmaStatus_;
    *dmaChannel = &dma_;
    dma_.AddRef();
    return dmaStatus_;
}

} // namespace nuvtest
