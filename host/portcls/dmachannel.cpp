#include "host/portcls/dmachannel.h"

#include "host/kernel/boundary.h"
#include "host/kernel/conduct.h"
#include "host/portcls/library.h"

namespace host::portcls
{

DmaChannel::DmaChannel(const DmaChannelRequest& request)
    : HostObject(ObjectKind::DmaChannel, "master DMA channel"), m_request(request)
{
}

STDMETHODIMP_(NTSTATUS) DmaChannel::QueryInterface(REFIID iid, PVOID* object)
try
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
catch (...)
{
    return host::CaughtAtBoundary("DmaChannel::QueryInterface", STATUS_INSUFFICIENT_RESOURCES);
}

STDMETHODIMP_(ULONG) DmaChannel::AddRef()
try
{
    return Reference("IDmaChannel::AddRef");
}
catch (...)
{
    return host::CaughtAtBoundary("DmaChannel::AddRef", ULONG{});
}

STDMETHODIMP_(ULONG) DmaChannel::Release()
try
{
    return Dereference("IDmaChannel::Release");
}
catch (...)
{
    return host::CaughtAtBoundary("DmaChannel::Release", ULONG{});
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
try
{
    NotForTransfers("IDmaChannel::AllocateBuffer");
    return STATUS_NOT_SUPPORTED;
}
catch (...)
{
    return host::CaughtAtBoundary("DmaChannel::AllocateBuffer", STATUS_INSUFFICIENT_RESOURCES);
}

STDMETHODIMP_(void) DmaChannel::FreeBuffer()
try
{
    NotForTransfers("IDmaChannel::FreeBuffer");
}
catch (...)
{
    host::CaughtAtBoundary("DmaChannel::FreeBuffer");
}

// The queries have honest answers without a buffer: nothing allocated,
// nothing transferred, and the maximum the miniport asked for.
STDMETHODIMP_(ULONG) DmaChannel::TransferCount()
try
{
    return 0;
}
catch (...)
{
    return host::CaughtAtBoundary("DmaChannel::TransferCount", ULONG{});
}

STDMETHODIMP_(ULONG) DmaChannel::MaximumBufferSize()
try
{
    return m_request.maximumLength;
}
catch (...)
{
    return host::CaughtAtBoundary("DmaChannel::MaximumBufferSize", ULONG{});
}

STDMETHODIMP_(ULONG) DmaChannel::AllocatedBufferSize()
try
{
    return 0;
}
catch (...)
{
    return host::CaughtAtBoundary("DmaChannel::AllocatedBufferSize", ULONG{});
}

STDMETHODIMP_(ULONG) DmaChannel::BufferSize()
try
{
    return 0;
}
catch (...)
{
    return host::CaughtAtBoundary("DmaChannel::BufferSize", ULONG{});
}

STDMETHODIMP_(void) DmaChannel::SetBufferSize(ULONG)
try
{
    NotForTransfers("IDmaChannel::SetBufferSize");
}
catch (...)
{
    host::CaughtAtBoundary("DmaChannel::SetBufferSize");
}

STDMETHODIMP_(PVOID) DmaChannel::SystemAddress()
try
{
    return nullptr;
}
catch (...)
{
    return host::CaughtAtBoundary("DmaChannel::SystemAddress", PVOID{});
}

STDMETHODIMP_(PHYSICAL_ADDRESS) DmaChannel::PhysicalAddress()
try
{
    PHYSICAL_ADDRESS none{};
    return none;
}
catch (...)
{
    return host::CaughtAtBoundary("DmaChannel::PhysicalAddress", PHYSICAL_ADDRESS{});
}

STDMETHODIMP_(PADAPTER_OBJECT) DmaChannel::GetAdapterObject()
try
{
    return nullptr;
}
catch (...)
{
    return host::CaughtAtBoundary("DmaChannel::GetAdapterObject", PADAPTER_OBJECT{});
}

STDMETHODIMP_(void) DmaChannel::CopyTo(PVOID, PVOID, ULONG)
try
{
    NotForTransfers("IDmaChannel::CopyTo");
}
catch (...)
{
    host::CaughtAtBoundary("DmaChannel::CopyTo");
}

STDMETHODIMP_(void) DmaChannel::CopyFrom(PVOID, PVOID, ULONG)
try
{
    NotForTransfers("IDmaChannel::CopyFrom");
}
catch (...)
{
    host::CaughtAtBoundary("DmaChannel::CopyFrom");
}

std::size_t LiveDmaChannelCount()
{
    return LiveObjectCount(ObjectKind::DmaChannel);
}

} // namespace host::portcls
