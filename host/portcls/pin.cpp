#include "host/portcls/pin.h"

#include "common/unknown.h"
#include "host/engine/trace.h"
#include "host/kernel/boundary.h"
#include "host/kernel/conduct.h"
#include "host/kernel/drivercall.h"
#include "host/kernel/irql.h"
#include "host/kernel/pool.h"
#include "host/portcls/portclass.h"
#include "host/portcls/portwavepci.h"

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>

namespace host::portcls
{

// The library's outer object for an aggregated stream. The stream's own
// interface forwards QueryInterface, AddRef and Release here; this object
// owns the stream through the stream's non-delegating unknown (one reference
// taken when NewStream has returned it) and gives that reference back when
// its own last reference goes. Its identity answers IID_IUnknown; every
// other query goes to the stream.
class StreamOuter final : public IUnknown
{
public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override
    try
    {
        if (object == nullptr)
            return STATUS_INVALID_PARAMETER;
        if (IsEqualGUIDAligned(iid, IID_IUnknown))
        {
            *object = static_cast<IUnknown*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        if (m_inner == nullptr)
        {
            *object = nullptr;
            return STATUS_INVALID_PARAMETER;
        }
        return m_inner->NonDelegatingQueryInterface(iid, object);
    }
    catch (...)
    {
        return host::CaughtAtBoundary("StreamOuter::QueryInterface", STATUS_INSUFFICIENT_RESOURCES);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_references); }
    STDMETHODIMP_(ULONG) Release() override
    try
    {
        const LONG count = --m_references;
        if (count < 0)
        {
            ReportViolation(ViolationKind::Custom,
                            "stream outer unknown: Release below zero references");
            return 0;
        }
        if (count == 0)
        {
            PNONDELEGATINGUNKNOWN inner = m_inner;
            m_inner = nullptr;
            delete this;
            if (inner != nullptr)
                inner->NonDelegatingRelease();
        }
        return static_cast<ULONG>(count);
    }
    catch (...)
    {
        return host::CaughtAtBoundary("StreamOuter::Release", ULONG{});
    }

    // The object layout of the driver's objects (common/unknown.h): the
    // interface-table pointer of the stream's one interface, then the base,
    // whose first part is the non-delegating unknown.
    void Own(PMINIPORTWAVEPCISTREAM stream)
    {
        m_inner = reinterpret_cast<PNONDELEGATINGUNKNOWN>(reinterpret_cast<char*>(stream) +
                                                          sizeof(void*));
        m_inner->NonDelegatingAddRef();
    }
    LONG References() const { return m_references.load(); }

private:
    std::atomic<LONG> m_references{0};
    PNONDELEGATINGUNKNOWN m_inner = nullptr;
};

namespace
{

struct InstanceTable
{
    std::mutex mutex;
    std::map<std::pair<const void*, ULONG>, unsigned> open;
};

InstanceTable& Instances()
{
    static InstanceTable* table = new InstanceTable();
    return *table;
}

NTSTATUS CheckFormat(std::span<const std::uint8_t> format)
{
    if (format.size() < sizeof(KSDATAFORMAT))
        return STATUS_INVALID_BUFFER_SIZE;
    KSDATAFORMAT header;
    std::memcpy(&header, format.data(), sizeof(header));
    return header.FormatSize == format.size() ? STATUS_SUCCESS : STATUS_INVALID_BUFFER_SIZE;
}

// Bridge pins and pins without instances are not opened; an instance must
// be free within both the filter's and the global limit.
NTSTATUS CheckPin(const PCPIN_DESCRIPTOR& pin, unsigned open)
{
    const KSPIN_COMMUNICATION communication = pin.KsPinDescriptor.Communication;
    if (pin.MaxFilterInstanceCount == 0 || pin.MaxGlobalInstanceCount == 0 ||
        communication == KSPIN_COMMUNICATION_NONE || communication == KSPIN_COMMUNICATION_BRIDGE)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (open >= pin.MaxFilterInstanceCount || open >= pin.MaxGlobalInstanceCount)
        return STATUS_INSUFFICIENT_RESOURCES;
    return STATUS_SUCCESS;
}

} // namespace

const char* StateName(KSSTATE state)
{
    switch (state)
    {
    case KSSTATE_STOP:
        return "STOP";
    case KSSTATE_ACQUIRE:
        return "ACQUIRE";
    case KSSTATE_PAUSE:
        return "PAUSE";
    case KSSTATE_RUN:
        return "RUN";
    default:
        return "?";
    }
}

PMINIPORTWAVEPCI FindWaveMiniport(PDEVICE_OBJECT adapterDevice, const std::u16string& subdevice)
{
    for (const Subdevice& registered : Subdevices(adapterDevice))
    {
        if (registered.name != subdevice)
            continue;
        PortWavePci* port = PortWavePci::Acquire(registered.port);
        if (port == nullptr)
            return nullptr;
        PMINIPORTWAVEPCI miniport = port->WaveMiniport();
        port->ReleasePortReference();
        return miniport;
    }
    return nullptr;
}

NTSTATUS Pin::OpenOnSubdevice(PDEVICE_OBJECT adapterDevice, const std::u16string& subdevice,
                              ULONG pinId, std::span<const std::uint8_t> format,
                              const PinOptions& options, std::unique_ptr<Pin>& pin)
{
    pin.reset();
    PMINIPORTWAVEPCI miniport = FindWaveMiniport(adapterDevice, subdevice);
    if (miniport == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    return Open(miniport, pinId, format, options, pin);
}

unsigned Pin::OpenInstances(PMINIPORTWAVEPCI miniport, ULONG pinId)
{
    InstanceTable& table = Instances();
    std::lock_guard lock(table.mutex);
    auto it = table.open.find({miniport, pinId});
    return it == table.open.end() ? 0 : it->second;
}

NTSTATUS Pin::Open(PMINIPORTWAVEPCI miniport, ULONG pinId, std::span<const std::uint8_t> format,
                   const PinOptions& options, std::unique_ptr<Pin>& pin)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "Pin::Open");
    pin.reset();
    if (miniport == nullptr)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = CheckFormat(format);
    if (!NT_SUCCESS(status))
        return status;

    PPCFILTER_DESCRIPTOR description = nullptr;
    {
        DriverCallGuard guard("IMiniportWavePci::GetDescription");
        status = miniport->GetDescription(&description);
    }
    if (!NT_SUCCESS(status))
        return status;
    if (description == nullptr || pinId >= description->PinCount || description->Pins == nullptr)
        return STATUS_INVALID_PARAMETER;
    const auto* pinBytes = reinterpret_cast<const std::uint8_t*>(description->Pins);
    const std::size_t pinSize =
        description->PinSize != 0 ? description->PinSize : sizeof(PCPIN_DESCRIPTOR);
    const auto& descriptor = *reinterpret_cast<const PCPIN_DESCRIPTOR*>(pinBytes + pinId * pinSize);
    status = CheckPin(descriptor, OpenInstances(miniport, pinId));
    if (!NT_SUCCESS(status))
        return status;

    std::unique_ptr<Pin> opened(new Pin());
    opened->m_miniport = miniport;
    opened->m_pinId = pinId;
    opened->m_capture = descriptor.KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_OUT;
    opened->m_format.assign(format.begin(), format.end());
    opened->m_port = new PortStream(opened->m_capture, options.maxMappingBytes);
    if (options.aggregate)
        opened->m_outer = new StreamOuter();

    PMINIPORTWAVEPCISTREAM stream = nullptr;
    PDMACHANNEL dma = nullptr;
    PSERVICEGROUP group = nullptr;
    PUNKNOWN outer = opened->m_outer;
    // An outer object that NewStream released to zero on its failure path
    // has deleted itself; one that got no reference is ours to delete.
    if (outer != nullptr)
        outer->AddRef();
    {
        DriverCallGuard guard("IMiniportWavePci::NewStream");
        status = miniport->NewStream(
            &stream, outer, NonPagedPool, opened->m_port, pinId, opened->m_capture ? TRUE : FALSE,
            reinterpret_cast<PKSDATAFORMAT>(opened->m_format.data()), &dma, &group);
    }
    if (!NT_SUCCESS(status))
    {
        if (outer != nullptr)
            outer->Release();
        opened->m_outer = nullptr;
        opened->m_closed = true;
        opened->m_port->Release();
        opened->m_port = nullptr;
        return status;
    }
    if (opened->m_outer != nullptr)
    {
        opened->m_outer->Own(stream);
        // Our guard reference goes; the stream's creation reference stays.
        outer->Release();
    }
    opened->m_stream = stream;
    opened->m_group = group;
    opened->m_dma = dma;
    opened->m_port->Attach(stream);
    if (group != nullptr)
        group->AddMember(static_cast<IServiceSink*>(opened->m_port));
    {
        InstanceTable& table = Instances();
        std::lock_guard lock(table.mutex);
        ++table.open[{miniport, pinId}];
    }
    engine::TracePoint("pin", "Open", engine::TracePhase::Instant, "pin " + std::to_string(pinId));
    pin = std::move(opened);
    return STATUS_SUCCESS;
}

Pin::~Pin()
{
    Close();
}

PUNKNOWN Pin::OuterUnknown() const
{
    return m_outer;
}

NTSTATUS Pin::Step(KSSTATE next)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "Pin::SetState");
    if (m_state == KSSTATE_RUN)
        m_port->SetRunning(false);
    engine::TracePoint("pin", std::string("SetState ") + StateName(next),
                       engine::TracePhase::Begin);
    const NTSTATUS status = GuardDriverCall("IMiniportWavePciStream::SetState",
                                            [&] { return m_stream->SetState(next); });
    engine::TracePoint("pin", std::string("SetState ") + StateName(next), engine::TracePhase::End);
    m_stateCalls.push_back({next, status});
    if (!NT_SUCCESS(status))
    {
        if (m_state == KSSTATE_RUN)
            m_port->SetRunning(true);
        return status;
    }
    m_state = next;
    if (m_state == KSSTATE_RUN)
        m_port->SetRunning(true);
    // A pin in the stop state holds no data: the library takes back what is
    // queued and revokes what the stream holds (portstream.h).
    if (m_state == KSSTATE_STOP)
        m_port->FlushAtStop();
    return STATUS_SUCCESS;
}

NTSTATUS Pin::SetState(KSSTATE target)
{
    if (m_stream == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    if (target < KSSTATE_STOP || target > KSSTATE_RUN)
        return STATUS_INVALID_PARAMETER;
    while (m_state != target)
    {
        const KSSTATE next = static_cast<KSSTATE>(m_state + (target > m_state ? 1 : -1));
        const NTSTATUS status = Step(next);
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

engine::PlayFormat Pin::ClientFormat() const
{
    // The WAVEFORMATEX follows the KSDATAFORMAT header: nChannels at 2,
    // wBitsPerSample at 14.
    engine::PlayFormat format;
    if (m_format.size() >= sizeof(KSDATAFORMAT) + 16)
    {
        const std::uint8_t* wave = m_format.data() + sizeof(KSDATAFORMAT);
        format.channels = static_cast<unsigned>(wave[2] | wave[3] << 8);
        format.bytesPerSample = static_cast<unsigned>(wave[14] | wave[15] << 8) / 8;
    }
    return format;
}

NTSTATUS Pin::GetPosition(ULONGLONG* position)
{
    if (m_stream == nullptr || position == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    DriverCallGuard guard("IMiniportWavePciStream::GetPosition");
    return m_stream->GetPosition(position);
}

NTSTATUS Pin::NormalizePhysicalPosition(LONGLONG* position)
{
    if (m_stream == nullptr || position == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    DriverCallGuard guard("IMiniportWavePciStream::NormalizePhysicalPosition");
    return m_stream->NormalizePhysicalPosition(position);
}

NTSTATUS Pin::GetAllocatorFraming(KSALLOCATOR_FRAMING* framing)
{
    if (m_stream == nullptr || framing == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = STATUS_SUCCESS;
    {
        DriverCallGuard guard("IMiniportWavePciStream::GetAllocatorFraming");
        status = m_stream->GetAllocatorFraming(framing);
    }
    // Kernel streaming allocates the frames from the pool type reported.
    if (NT_SUCCESS(status) && IsExecutablePoolType(framing->PoolType))
        ReportViolation(ViolationKind::ExecutablePool,
                        std::string("IMiniportWavePciStream::GetAllocatorFraming reported ") +
                            PoolTypeName(framing->PoolType) + ": executable pool");
    return status;
}

std::vector<std::string> Pin::Close()
{
    if (m_closed)
        return {};
    m_closed = true;
    RequireIrqlAtMost(PASSIVE_LEVEL, "Pin::Close");
    SetState(KSSTATE_STOP);
    // A closing pin's pending buffers are cancelled, as the platform cancels
    // the requests of a pin that closes: the stream's held mapping comes back
    // to the port through RevokeMappings rather than counting as never
    // released.
    if (m_port->QueuedBuffers() != 0 || m_port->Counts().outstanding != 0)
        m_port->CancelQueued();
    if (m_group != nullptr)
        m_group->RemoveMember(static_cast<IServiceSink*>(m_port));
    PMINIPORTWAVEPCISTREAM stream = m_port->Detach();
    m_stream = nullptr;
    m_outer = nullptr; // goes with the stream's last reference
    if (stream != nullptr)
        stream->Release();
    if (m_group != nullptr)
    {
        m_group->Release();
        m_group = nullptr;
    }
    m_dma = nullptr;
    std::vector<std::string> problems = m_port->CheckClosed();
    m_port->Release();
    m_port = nullptr;
    {
        InstanceTable& table = Instances();
        std::lock_guard lock(table.mutex);
        auto it = table.open.find({m_miniport, m_pinId});
        if (it != table.open.end() && --it->second == 0)
            table.open.erase(it);
    }
    engine::TracePoint("pin", "Close", engine::TracePhase::Instant);
    return problems;
}

} // namespace host::portcls
