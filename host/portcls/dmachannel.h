// The master DMA channel object a WavePci port makes for its miniport.
//
// The companion driver's engine moves all audio, so nothing is ever
// transferred through this channel: it exists because the WavePci miniport
// must ask for one in Init and hands it back to the port with every stream.
// It records the arguments it was made with, answers the size queries from
// them, and reports any attempt to use it for a transfer. It is a counted
// host object: a test can see whether the driver released every channel.
#pragma once

#include "host/portcls/hostobject.h"
#include "host/portcls/portclass.h"

#include <portcls.h>

namespace host::portcls
{

class DmaChannel final : public IDmaChannel, public HostObject
{
public:
    explicit DmaChannel(const DmaChannelRequest& request);

    const DmaChannelRequest& Request() const { return m_request; }

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP_(NTSTATUS)
    AllocateBuffer(ULONG bufferSize, PPHYSICAL_ADDRESS physicalAddressConstraint) override;
    STDMETHODIMP_(void) FreeBuffer() override;
    STDMETHODIMP_(ULONG) TransferCount() override;
    STDMETHODIMP_(ULONG) MaximumBufferSize() override;
    STDMETHODIMP_(ULONG) AllocatedBufferSize() override;
    STDMETHODIMP_(ULONG) BufferSize() override;
    STDMETHODIMP_(void) SetBufferSize(ULONG bufferSize) override;
    STDMETHODIMP_(PVOID) SystemAddress() override;
    STDMETHODIMP_(PHYSICAL_ADDRESS) PhysicalAddress() override;
    STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject() override;
    STDMETHODIMP_(void) CopyTo(PVOID destination, PVOID source, ULONG byteCount) override;
    STDMETHODIMP_(void) CopyFrom(PVOID destination, PVOID source, ULONG byteCount) override;

private:
    // A transfer-related call: recorded and reported, since the driver has
    // no data to move through DMA.
    void NotForTransfers(const char* method);

    const DmaChannelRequest m_request;
};

} // namespace host::portcls
