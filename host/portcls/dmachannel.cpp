#include "host/portcls/dmachannel.h"

#include "host/kernel/conduct.h"
#include "host/portcls/library.h"

namespace host::portcls
{

DmaChannel::DmaChannel(const DmaChannelRequest& request)
    : HostObject(ObjectKind::DmaChannel, "master DMA channel"), m_request(request)
{
}

STDMETHODIMP_(NTSTATUS) DmaChannel::QueryInterface(REFIID iid, PVOID* object)
{
    if (!CheckAlive("IDmaChannel::QueryInterface") || object == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (!IsEqualGUID(iid, IID_IUnknown) && !IsEqualGUID(iid, IID_IDmaChannel))
    {
        *object = nullptr;
        detail::RecordCall("IDmaChannel::QueryInterface", GuidName(iid), STATUS_INVALID_PARAMETER,
                           this);
        return STATUS_INVALID_PARAMETER;
    }
    AddRef();
    *object = static_cast<IDmaChannel*>(this);
    detail::RecordCall("IDmaChannel::QueryInterface", GuidName(iid), STATUS_SUCCESS, this);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(ULONG) DmaChannel::AddRef()
{
    return Reference("IDmaChannel::AddRef");
}

STDMETHODIMP_(ULONG) DmaChannel::Release()
{
    return Dereference("IDmaChannel::Release");
}

void DmaChannel::NotForTransfers(const char* method)
{
    if (!CheckAlive(method))
        return;
    detail::RecordCall(method, Name(), STATUS_NOT_SUPPORTED, this);
    ReportViolation(ViolationKind::Custom,
                    std::string(method) +
                        ": the master DMA channel carries no data here; the engine moves it");
}

STDMETHODIMP_(NTSTATUS) DmaChannel::AllocateBuffer(ULONG, PPHYSICAL_ADDRESS)
{
    NotForTransfers("IDmaChannel::AllocateBuffer");
    return STATUS_NOT_SUPPORTED;
}

STDMETHODIMP_(void) DmaChannel::FreeBuffer()
{
    NotForTransfers("IDmaChannel::FreeBuffer");
}

// The queries have honest answers without a buffer: nothing allocated,
// nothing transferred, and the maximum the miniport asked for.
STDMETHODIMP_(ULONG) DmaChannel::TransferCount()
{
    return 0;
}

STDMETHODIMP_(ULONG) DmaChannel::MaximumBufferSize()
{
    return m_request.maximumLength;
}

STDMETHODIMP_(ULONG) DmaChannel::AllocatedBufferSize()
{
    return 0;
}

STDMETHODIMP_(ULONG) DmaChannel::BufferSize()
{
    return 0;
}

STDMETHODIMP_(void) DmaChannel::SetBufferSize(ULONG)
{
    NotForTransfers("IDmaChannel::SetBufferSize");
}

STDMETHODIMP_(PVOID) DmaChannel::SystemAddress()
{
    return nullptr;
}

STDMETHODIMP_(PHYSICAL_ADDRESS) DmaChannel::PhysicalAddress()
{
    PHYSICAL_ADDRESS none{};
    return none;
}

STDMETHODIMP_(PADAPTER_OBJECT) DmaChannel::GetAdapterObject()
{
    return nullptr;
}

STDMETHODIMP_(void) DmaChannel::CopyTo(PVOID, PVOID, ULONG)
{
    NotForTransfers("IDmaChannel::CopyTo");
}

STDMETHODIMP_(void) DmaChannel::CopyFrom(PVOID, PVOID, ULONG)
{
    NotForTransfers("IDmaChannel::CopyFrom");
}

std::size_t LiveDmaChannelCount()
{
    return LiveObjectCount(ObjectKind::DmaChannel);
}

} // namespace host::portcls
