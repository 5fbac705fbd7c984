// Stand-ins for the WavePci port and its DMA channel object, for unit tests of
// the wave miniport that need no port class library behind them.
//
// Both only count references and record what they were asked; Release never
// destroys them (the test owns them). The port hands out its DMA channel from
// NewMasterDmaChannel with one reference for the caller, or fails with the
// status the test chose:
//
//     nuvtest::FakePortWavePci port;
//     miniport->Init(engineRecord, nullptr, &port, &serviceGroup);
//     EXPECT_EQ(port.References(), 2);            // the test's and the miniport's
//     EXPECT_EQ(port.Dma().References(), 2);      // the port's and the miniport's
//     ASSERT_EQ(port.DmaRequests().size(), 1u);
//
// The IPort methods the miniport never calls refuse with
// STATUS_NOT_IMPLEMENTED.
#pragma once

#include <portcls.h>

#include <vector>

namespace nuvtest
{

class FakeDmaChannel : public IDmaChannel
{
public:
    FakeDmaChannel() = default;
    FakeDmaChannel(const FakeDmaChannel&) = delete;
    FakeDmaChannel& operator=(const FakeDmaChannel&) = delete;
    virtual ~FakeDmaChannel() = default;

    // IUnknown: answers IID_IUnknown and IID_IDmaChannel.
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID interfaceId, PVOID* result) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IDmaChannel: nothing is ever transferred through this channel.
    STDMETHODIMP_(NTSTATUS) AllocateBuffer(ULONG bufferSize, PPHYSICAL_ADDRESS constraint) override;
    STDMETHODIMP_(void) FreeBuffer() override {}
    STDMETHODIMP_(ULONG) TransferCount() override { return 0; }
    STDMETHODIMP_(ULONG) MaximumBufferSize() override { return 0; }
    STDMETHODIMP_(ULONG) AllocatedBufferSize() override { return 0; }
    STDMETHODIMP_(ULONG) BufferSize() override { return 0; }
    STDMETHODIMP_(void) SetBufferSize(ULONG) override {}
    STDMETHODIMP_(PVOID) SystemAddress() override { return nullptr; }
    STDMETHODIMP_(PHYSICAL_ADDRESS) PhysicalAddress() override;
    STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject() override { return nullptr; }
    STDMETHODIMP_(void) CopyTo(PVOID, PVOID, ULONG) override {}
    STDMETHODIMP_(void) CopyFrom(PVOID, PVOID, ULONG) override {}

    // References held on the fake; its owner's one included.
    LONG References() const { return references_; }

private:
    LONG references_ = 1;
};

// The arguments of one NewMasterDmaChannel call.
struct DmaChannelRequest
{
    PUNKNOWN outerUnknown;
    POOL_TYPE poolType;
    PRESOURCELIST resourceList;
    BOOLEAN scatterGather;
    BOOLEAN dma32BitAddresses;
    BOOLEAN dma64BitAddresses;
    BOOLEAN ignoreCount;
    ULONG dmaWidth;
    ULONG dmaSpeed;
    ULONG maximumLength;
    ULONG dmaPort;
};

class FakePortWavePci : public IPortWavePci
{
public:
    FakePortWavePci() = default;
    FakePortWavePci(const FakePortWavePci&) = delete;
    FakePortWavePci& operator=(const FakePortWavePci&) = delete;
    virtual ~FakePortWavePci() = default;

    // IUnknown: answers IID_IUnknown, IID_IPort and IID_IPortWavePci.
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID interfaceId, PVOID* result) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IPort
    STDMETHODIMP_(NTSTATUS)
    Init(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
         PRESOURCELIST resourceList) override;
    STDMETHODIMP_(NTSTATUS)
    GetDeviceProperty(DEVICE_REGISTRY_PROPERTY property, ULONG bufferLength, PVOID buffer,
                      PULONG resultLength) override;
    STDMETHODIMP_(NTSTATUS)
    NewRegistryKey(PREGISTRYKEY* key, PUNKNOWN outerUnknown, ULONG keyType, ACCESS_MASK access,
                   POBJECT_ATTRIBUTES attributes, ULONG createOptions, PULONG disposition) override;

    // IPortWavePci
    STDMETHODIMP_(VOID) Notify(PSERVICEGROUP serviceGroup) override;
    STDMETHODIMP_(NTSTATUS)
    NewMasterDmaChannel(PDMACHANNEL* dmaChannel, PUNKNOWN outerUnknown, POOL_TYPE poolType,
                        PRESOURCELIST resourceList, BOOLEAN scatterGather,
                        BOOLEAN dma32BitAddresses, BOOLEAN dma64BitAddresses, BOOLEAN ignoreCount,
                        DMA_WIDTH dmaWidth, DMA_SPEED dmaSpeed, ULONG maximumLength,
                        ULONG dmaPort) override;

    // --- configuration ------------------------------------------------------
    // What NewMasterDmaChannel returns. With a failure (negative) status it
    // hands out no channel; with a success or informational one it does.
    void SetDmaChannelStatus(NTSTATUS status) { dmaStatus_ = status; }

    // --- observation --------------------------------------------------------
    LONG References() const { return references_; }
    FakeDmaChannel& Dma() { return dma_; }
    const std::vector<DmaChannelRequest>& DmaRequests() const { return dmaRequests_; }
    const std::vector<PSERVICEGROUP>& Notifications() const { return notifications_; }

private:
    LONG references_ = 1;
    NTSTATUS dmaStatus_ = STATUS_SUCCESS;
    FakeDmaChannel dma_;
    std::vector<DmaChannelRequest> dmaRequests_;
    std::vector<PSERVICEGROUP> notifications_;
};

} // namespace nuvtest
