// The companion USB driver: the driver below the audio adapter in the device
// stack, which owns the device and hands out the engine.
//
// It has its own driver object and the physical device object that the
// adapter's AddDevice is given. Its PnP dispatch answers IRP_MN_START_DEVICE
// with success and IRP_MN_QUERY_INTERFACE for GUID_ENGINE_INTERFACE, version
// 1, at least 56 bytes, by filling the caller's ENGINE_INTERFACE record:
// the INTERFACE header (Size 56, Version 1, Context, reference routines that
// count their calls), EngineCall and EngineContext. InstanceCount and
// Reserved are the audio driver's and are left alone. A query for another
// interface, another version or a smaller size is completed untouched, so its
// preset status (STATUS_NOT_SUPPORTED) stands; so is every other PnP request.
//
// When the engine is answered is up to the test:
//
//     host::engine::CompanionDriver companion;
//     companion.SetQueryAnswer(host::engine::QueryAnswer::FromWorker);
//     ... the adapter starts; its query returns STATUS_PENDING and is
//     ... completed by the companion's worker thread.
//
// With QueryAnswer::WhenReleased the query stays pending until the test calls
// ReleaseHeldQuery(), so a test can look at the sender while it waits.
#pragma once

#include "host/engine/engine.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace host::engine
{

enum class QueryAnswer
{
    AtOnce,       // filled and completed inside the dispatch routine
    FromWorker,   // marked pending; the worker thread fills and completes it
    WhenReleased, // marked pending; filled and completed by ReleaseHeldQuery()
    Never,        // completed untouched: the preset status stands
};

const char* QueryAnswerName(QueryAnswer answer);

// One IRP_MN_QUERY_INTERFACE as it arrived at the companion.
struct InterfaceQuery
{
    bool hasInterfaceType = false;
    GUID interfaceType{};
    USHORT size = 0;
    USHORT version = 0;
    PINTERFACE record = nullptr; // where the answer goes
    PVOID interfaceSpecificData = nullptr;
    NTSTATUS presetStatus = 0; // IoStatus.Status on arrival
    KPROCESSOR_MODE requestorMode = KernelMode;
    bool forEngine = false; // the engine's GUID, version and a large enough size
};

class CompanionDriver
{
public:
    CompanionDriver();
    ~CompanionDriver();
    CompanionDriver(const CompanionDriver&) = delete;
    CompanionDriver& operator=(const CompanionDriver&) = delete;

    PDRIVER_OBJECT DriverObject() const { return m_driverObject; }
    PDEVICE_OBJECT PhysicalDeviceObject() const { return m_pdo; }
    host::engine::Engine& Engine() { return m_engine; }

    void SetQueryAnswer(QueryAnswer answer);
    QueryAnswer GetQueryAnswer() const;

    // WhenReleased: blocks until a query is held (the sender is waiting for
    // it on another thread), then fills and completes it on this thread.
    void ReleaseHeldQuery();
    // Whether a query is held now.
    bool HoldsQuery() const;
    // Blocks until the worker has completed every query it was given.
    void WaitForWorker();

    std::vector<InterfaceQuery> Queries() const;
    // Queries answered with the engine (filled and completed with success).
    std::size_t EngineAnswers() const;
    std::size_t StartRequests() const;
    std::size_t OtherPnpRequests() const;
    // Calls made through the header's InterfaceReference and
    // InterfaceDereference routines.
    LONG InterfaceReferences() const { return m_references.load(); }
    LONG InterfaceDereferences() const { return m_dereferences.load(); }

private:
    static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp);
    static VOID NTAPI InterfaceReference(PVOID context);
    static VOID NTAPI InterfaceDereference(PVOID context);

    NTSTATUS QueryInterface(PIRP irp);
    // Fills the record named by the IRP's current stack location and
    // completes the IRP with success.
    void AnswerAndComplete(PIRP irp);
    void WorkerLoop();

    host::engine::Engine m_engine;
    PDRIVER_OBJECT m_driverObject = nullptr;
    PDEVICE_OBJECT m_pdo = nullptr;

    mutable std::mutex m_mutex; // guards everything below it
    std::condition_variable m_changed;
    QueryAnswer m_answer = QueryAnswer::AtOnce;
    std::vector<InterfaceQuery> m_queries;
    std::size_t m_engineAnswers = 0;
    std::size_t m_startRequests = 0;
    std::size_t m_otherPnpRequests = 0;
    std::deque<PIRP> m_workQueue; // FromWorker: pending, not yet completed
    std::size_t m_workInProgress = 0;
    std::deque<PIRP> m_held; // WhenReleased: pending, not yet released
    bool m_stopping = false;
    std::thread m_worker;

    std::atomic<LONG> m_references{0};
    std::atomic<LONG> m_dereferences{0};
};

} // namespace host::engine
