#include "host/engine/companion.h"

#include "host/kernel/boundary.h"
#include "host/kernel/iomanager.h"

#include <cstring>
#include <stdexcept>

namespace host::engine
{
namespace
{

CompanionDriver* CompanionOf(PDEVICE_OBJECT deviceObject)
{
    return *static_cast<CompanionDriver**>(deviceObject->DeviceExtension);
}

NTSTATUS CompleteWithCurrentStatus(PIRP irp)
{
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

} // namespace

const char* QueryAnswerName(QueryAnswer answer)
{
    switch (answer)
    {
    case QueryAnswer::AtOnce:
        return "AtOnce";
    case QueryAnswer::FromWorker:
        return "FromWorker";
    case QueryAnswer::WhenReleased:
        return "WhenReleased";
    case QueryAnswer::Never:
        return "Never";
    }
    return "?";
}

CompanionDriver::CompanionDriver()
{
    // Every other major function keeps the host's default answer,
    // STATUS_INVALID_DEVICE_REQUEST.
    m_driverObject = host::CreateDriverObject(u"\\Driver\\nuvusb");
    m_driverObject->MajorFunction[IRP_MJ_PNP] = &CompanionDriver::DispatchPnp;

    const NTSTATUS status = IoCreateDevice(m_driverObject, sizeof(CompanionDriver*), nullptr,
                                           FILE_DEVICE_UNKNOWN, 0, FALSE, &m_pdo);
    if (!NT_SUCCESS(status) || m_pdo == nullptr)
    {
        host::DestroyDriverObject(m_driverObject);
        throw std::runtime_error("companion driver: IoCreateDevice failed for the PDO");
    }
    *static_cast<CompanionDriver**>(m_pdo->DeviceExtension) = this;
    m_pdo->Flags &= ~DO_DEVICE_INITIALIZING;

    m_worker = std::thread([this] { WorkerLoop(); });
}

CompanionDriver::~CompanionDriver()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_worker.join();

    // A query still held was never answered; its sender gets it back as it
    // was, like a request the driver gave up on.
    std::deque<PIRP> held;
    {
        std::lock_guard lock(m_mutex);
        held.swap(m_held);
    }
    for (PIRP irp : held)
        CompleteWithCurrentStatus(irp);

    IoDeleteDevice(m_pdo);
    host::DestroyDriverObject(m_driverObject);
}

void CompanionDriver::SetQueryAnswer(QueryAnswer answer)
{
    std::lock_guard lock(m_mutex);
    m_answer = answer;
}

QueryAnswer CompanionDriver::GetQueryAnswer() const
{
    std::lock_guard lock(m_mutex);
    return m_answer;
}

NTSTATUS NTAPI CompanionDriver::DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp)
try
{
    CompanionDriver* companion = CompanionOf(deviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction)
    {
    case IRP_MN_START_DEVICE:
    {
        {
            std::lock_guard lock(companion->m_mutex);
            ++companion->m_startRequests;
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_INTERFACE:
        return companion->QueryInterface(irp);
    default:
    {
        std::lock_guard lock(companion->m_mutex);
        ++companion->m_otherPnpRequests;
    }
        return CompleteWithCurrentStatus(irp);
    }
}
catch (...)
{
    return host::CaughtAtBoundary("CompanionDriver::DispatchPnp", STATUS_INSUFFICIENT_RESOURCES);
}

NTSTATUS CompanionDriver::QueryInterface(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const auto& parameters = stack->Parameters.QueryInterface;

    InterfaceQuery query;
    query.hasInterfaceType = parameters.InterfaceType != nullptr;
    if (query.hasInterfaceType)
        query.interfaceType = *parameters.InterfaceType;
    query.size = parameters.Size;
    query.version = parameters.Version;
    query.record = parameters.Interface;
    query.interfaceSpecificData = parameters.InterfaceSpecificData;
    query.presetStatus = irp->IoStatus.Status;
    query.requestorMode = irp->RequestorMode;
    query.forEngine = query.hasInterfaceType &&
                      IsEqualGUID(query.interfaceType, GUID_ENGINE_INTERFACE) &&
                      query.version == ENGINE_INTERFACE_VERSION &&
                      query.size >= sizeof(ENGINE_INTERFACE) && query.record != nullptr;

    std::unique_lock lock(m_mutex);
    m_queries.push_back(query);
    const QueryAnswer answer = m_answer;
    if (!query.forEngine || answer == QueryAnswer::Never)
    {
        lock.unlock();
        return CompleteWithCurrentStatus(irp);
    }
    if (answer == QueryAnswer::AtOnce)
    {
        lock.unlock();
        AnswerAndComplete(irp);
        return STATUS_SUCCESS;
    }

    // Later: the request is the companion's until it completes it. It is
    // marked pending before another thread can see it.
    IoMarkIrpPending(irp);
    if (answer == QueryAnswer::FromWorker)
        m_workQueue.push_back(irp);
    else
        m_held.push_back(irp);
    lock.unlock();
    m_changed.notify_all();
    return STATUS_PENDING;
}

void CompanionDriver::AnswerAndComplete(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* record = reinterpret_cast<PENGINE_INTERFACE>(stack->Parameters.QueryInterface.Interface);

    // Only the header and the two engine fields: InstanceCount and Reserved
    // belong to the audio driver.
    record->Header.Size = sizeof(ENGINE_INTERFACE);
    record->Header.Version = ENGINE_INTERFACE_VERSION;
    record->Header.Context = this;
    record->Header.InterfaceReference = &CompanionDriver::InterfaceReference;
    record->Header.InterfaceDereference = &CompanionDriver::InterfaceDereference;
    record->EngineCall = m_engine.EntryPoint();
    record->EngineContext = m_engine.Context();

    {
        std::lock_guard lock(m_mutex);
        ++m_engineAnswers;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void CompanionDriver::WorkerLoop()
{
    std::unique_lock lock(m_mutex);
    for (;;)
    {
        m_changed.wait(lock, [this] { return m_stopping || !m_workQueue.empty(); });
        if (m_workQueue.empty())
            return; // stopping with nothing left
        PIRP irp = m_workQueue.front();
        m_workQueue.pop_front();
        ++m_workInProgress;
        lock.unlock();
        AnswerAndComplete(irp);
        lock.lock();
        --m_workInProgress;
        m_changed.notify_all();
    }
}

void CompanionDriver::ReleaseHeldQuery()
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_held.empty(); });
    PIRP irp = m_held.front();
    m_held.pop_front();
    lock.unlock();
    AnswerAndComplete(irp);
}

bool CompanionDriver::HoldsQuery() const
{
    std::lock_guard lock(m_mutex);
    return !m_held.empty();
}

void CompanionDriver::WaitForWorker()
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_workQueue.empty() && m_workInProgress == 0; });
}

std::vector<InterfaceQuery> CompanionDriver::Queries() const
{
    std::lock_guard lock(m_mutex);
    return m_queries;
}

std::size_t CompanionDriver::EngineAnswers() const
{
    std::lock_guard lock(m_mutex);
    return m_engineAnswers;
}

std::size_t CompanionDriver::StartRequests() const
{
    std::lock_guard lock(m_mutex);
    return m_startRequests;
}

std::size_t CompanionDriver::OtherPnpRequests() const
{
    std::lock_guard lock(m_mutex);
    return m_otherPnpRequests;
}

VOID NTAPI CompanionDriver::InterfaceReference(PVOID context)
try
{
    static_cast<CompanionDriver*>(context)->m_references.fetch_add(1);
}
catch (...)
{
    host::CaughtAtBoundary("CompanionDriver::InterfaceReference");
}

VOID NTAPI CompanionDriver::InterfaceDereference(PVOID context)
try
{
    static_cast<CompanionDriver*>(context)->m_dereferences.fetch_add(1);
}
catch (...)
{
    host::CaughtAtBoundary("CompanionDriver::InterfaceDereference");
}

} // namespace host::engine
