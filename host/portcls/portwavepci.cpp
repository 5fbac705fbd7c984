#include "host/portcls/portwavepci.h"

#include "host/kernel/boundary.h"
#include "host/kernel/conduct.h"
#include "host/kernel/drivercall.h"
#include "host/kernel/faults.h"
#include "host/kernel/irql.h"
#include "host/kernel/pool.h"
#include "host/portcls/dmachannel.h"
#include "host/portcls/library.h"

namespace host::portcls
{
namespace
{

struct NotifyDeliveryState
{
    std::mutex mutex;
    std::function<void(PSERVICEGROUP)> delivery;
};

NotifyDeliveryState& Delivery()
{
    static NotifyDeliveryState state;
    return state;
}

} // namespace

PortWavePci::PortWavePci()
    : FilterPort(CLSID_PortWavePci, "WavePci", static_cast<IPortWavePci*>(this))
{
}

PortWavePci::~PortWavePci() = default;

PPORT PortWavePci::Create()
{
    return static_cast<IPortWavePci*>(new PortWavePci());
}

PortWavePci* PortWavePci::Acquire(PUNKNOWN unknown, bool initialisedOnly)
{
    FilterPort* port = FilterPort::Acquire(unknown, initialisedOnly);
    if (port == nullptr)
        return nullptr;
    if (!IsEqualGUID(port->ClassId(), CLSID_PortWavePci))
    {
        port->ReleasePortReference();
        return nullptr;
    }
    return static_cast<PortWavePci*>(port);
}

PUNKNOWN PortWavePci::InterfaceFor(REFIID iid)
{
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IPort) ||
        IsEqualGUID(iid, IID_IPortWavePci))
        return static_cast<IPortWavePci*>(this);
    return nullptr;
}

STDMETHODIMP_(NTSTATUS) PortWavePci::QueryInterface(REFIID iid, PVOID* object)
try
{
    return AnswerQuery(iid, object, InterfaceFor(iid));
}
catch (...)
{
    return host::CaughtAtBoundary("PortWavePci::QueryInterface", STATUS_INSUFFICIENT_RESOURCES);
}

STDMETHODIMP_(ULONG) PortWavePci::AddRef()
try
{
    return Reference("IPort::AddRef");
}
catch (...)
{
    return host::CaughtAtBoundary("PortWavePci::AddRef", ULONG{});
}

STDMETHODIMP_(ULONG) PortWavePci::Release()
try
{
    return ReleasePort("IPort::Release");
}
catch (...)
{
    return host::CaughtAtBoundary("PortWavePci::Release", ULONG{});
}

// The service group out-parameter starts empty; whatever the miniport left
// in it is a reference the port now owns, success or not.
STDMETHODIMP_(NTSTATUS)
PortWavePci::Init(PDEVICE_OBJECT deviceObject, PIRP, PUNKNOWN unknownMiniport,
                  PUNKNOWN unknownAdapter, PRESOURCELIST resourceList)
try
{
    return BindMiniport("IPortWavePci::Init", deviceObject, unknownMiniport, IID_IMiniportWavePci,
                        [&](PUNKNOWN primary)
                        {
                            auto* miniport = static_cast<PMINIPORTWAVEPCI>(primary);
                            PSERVICEGROUP serviceGroup = nullptr;
                            DriverCallGuard guard("IMiniportWavePci::Init");
                            const NTSTATUS status =
                                miniport->Init(unknownAdapter, resourceList, this, &serviceGroup);
                            m_serviceGroup = serviceGroup;
                            return status;
                        });
}
catch (...)
{
    return host::CaughtAtBoundary("PortWavePci::Init", STATUS_INSUFFICIENT_RESOURCES);
}

void PortWavePci::ReleaseClassChildren()
{
    PSERVICEGROUP serviceGroup = m_serviceGroup;
    m_serviceGroup = nullptr;
    PDMACHANNEL dmaChannel = nullptr;
    {
        std::lock_guard lock(m_dmaMutex);
        dmaChannel = m_dmaChannel;
        m_dmaChannel = nullptr;
    }
    if (serviceGroup != nullptr)
        serviceGroup->Release();
    if (dmaChannel != nullptr)
        dmaChannel->Release();
}

STDMETHODIMP_(NTSTATUS)
PortWavePci::GetDeviceProperty(DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG resultLength)
try
{
    if (resultLength != nullptr)
        *resultLength = 0;
    return NotCarriedOut("IPort::GetDeviceProperty");
}
catch (...)
{
    return host::CaughtAtBoundary("PortWavePci::GetDeviceProperty", STATUS_INSUFFICIENT_RESOURCES);
}

STDMETHODIMP_(NTSTATUS)
PortWavePci::NewRegistryKey(PREGISTRYKEY* outRegistryKey, PUNKNOWN, ULONG, ACCESS_MASK,
                            POBJECT_ATTRIBUTES, ULONG, PULONG)
try
{
    if (outRegistryKey != nullptr)
        *outRegistryKey = nullptr;
    return NotCarriedOut("IPort::NewRegistryKey");
}
catch (...)
{
    return host::CaughtAtBoundary("PortWavePci::NewRegistryKey", STATUS_INSUFFICIENT_RESOURCES);
}

STDMETHODIMP_(VOID) PortWavePci::Notify(PSERVICEGROUP serviceGroup)
try
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IPortWavePci::Notify");
    if (!CheckAlive("IPortWavePci::Notify"))
        return;
    if (serviceGroup == nullptr)
    {
        ReportViolation(ViolationKind::Custom, "IPortWavePci::Notify without a service group");
        return;
    }
    std::function<void(PSERVICEGROUP)> delivery;
    {
        NotifyDeliveryState& state = Delivery();
        std::lock_guard lock(state.mutex);
        delivery = state.delivery;
    }
    if (delivery)
    {
        delivery(serviceGroup);
        return;
    }
    ScopedIrql atDispatch(DISPATCH_LEVEL);
    serviceGroup->RequestService();
}
catch (...)
{
    host::CaughtAtBoundary("PortWavePci::Notify");
}

STDMETHODIMP_(NTSTATUS)
PortWavePci::NewMasterDmaChannel(PDMACHANNEL* dmaChannel, PUNKNOWN outerUnknown, POOL_TYPE poolType,
                                 PRESOURCELIST resourceList, BOOLEAN scatterGather,
                                 BOOLEAN dma32BitAddresses, BOOLEAN dma64BitAddresses,
                                 BOOLEAN ignoreCount, DMA_WIDTH dmaWidth, DMA_SPEED dmaSpeed,
                                 ULONG maximumLength, ULONG dmaPort)
try
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IPortWavePci::NewMasterDmaChannel");
    if (!CheckAlive("IPortWavePci::NewMasterDmaChannel"))
        return STATUS_INVALID_DEVICE_STATE;
    // The port allocates the channel object from this pool type.
    if (IsExecutablePoolType(poolType))
        ReportViolation(ViolationKind::ExecutablePool,
                        std::string("IPortWavePci::NewMasterDmaChannel with ") +
                            PoolTypeName(poolType) + ": executable pool");
    DmaChannelRequest request{outerUnknown,
                              poolType,
                              resourceList,
                              scatterGather,
                              dma32BitAddresses,
                              dma64BitAddresses,
                              ignoreCount,
                              static_cast<ULONG>(dmaWidth),
                              static_cast<ULONG>(dmaSpeed),
                              maximumLength,
                              dmaPort,
                              STATUS_SUCCESS};
    if (dmaChannel == nullptr)
        request.status = STATUS_INVALID_PARAMETER;
    else if (ShouldFail("NewMasterDmaChannel"))
        request.status = STATUS_INSUFFICIENT_RESOURCES;

    DmaChannel* channel = nullptr;
    if (NT_SUCCESS(request.status))
        channel = new DmaChannel(request);
    PDMACHANNEL previous = nullptr;
    {
        std::lock_guard lock(m_dmaMutex);
        m_dmaRequests.push_back(request);
        if (channel != nullptr)
        {
            previous = m_dmaChannel;
            channel->AddRef(); // the port's own, for DmaChannelObject
            m_dmaChannel = channel;
        }
    }
    if (previous != nullptr)
        previous->Release();
    if (dmaChannel != nullptr)
        *dmaChannel = channel;
    detail::RecordCall("IPortWavePci::NewMasterDmaChannel", Name(), request.status, this);
    return request.status;
}
catch (...)
{
    return host::CaughtAtBoundary("PortWavePci::NewMasterDmaChannel",
                                  STATUS_INSUFFICIENT_RESOURCES);
}

PMINIPORTWAVEPCI PortWavePci::WaveMiniport() const
{
    return static_cast<PMINIPORTWAVEPCI>(Miniport());
}

PDMACHANNEL PortWavePci::DmaChannelObject() const
{
    std::lock_guard lock(m_dmaMutex);
    return m_dmaChannel;
}

std::vector<DmaChannelRequest> PortWavePci::DmaRequests() const
{
    std::lock_guard lock(m_dmaMutex);
    return m_dmaRequests;
}

void SetNotifyDelivery(std::function<void(PSERVICEGROUP)> delivery)
{
    NotifyDeliveryState& state = Delivery();
    std::lock_guard lock(state.mutex);
    state.delivery = std::move(delivery);
}

std::vector<DmaChannelRequest> MasterDmaChannelRequests(PUNKNOWN port)
{
    // Also after a failed Init: the requests are what the miniport asked
    // during it.
    PortWavePci* wavePort = PortWavePci::Acquire(port, /*initialisedOnly=*/false);
    if (wavePort == nullptr)
        return {};
    std::vector<DmaChannelRequest> requests = wavePort->DmaRequests();
    wavePort->ReleasePortReference();
    return requests;
}

bool SendPowerChange(PUNKNOWN port, DEVICE_POWER_STATE state)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "SendPowerChange");
    FilterPort* filterPort = FilterPort::Acquire(port);
    if (filterPort == nullptr)
        return false;
    PPOWERNOTIFY powerNotify = filterPort->PowerNotify();
    if (powerNotify != nullptr)
    {
        POWER_STATE newState;
        newState.DeviceState = state;
        DriverCallGuard guard("IPowerNotify::PowerChangeNotify");
        powerNotify->PowerChangeNotify(newState);
    }
    filterPort->ReleasePortReference();
    return powerNotify != nullptr;
}

} // namespace host::portcls
