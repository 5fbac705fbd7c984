// The port class library's adapter side, driven by a stand-in adapter driver
// (a start routine of the test's own) over the companion driver, and once
// with the real driver through the AdapterTestbed fixture.
#include "host/engine/companion.h"
#include "host/kernel/conduct.h"
#include "host/kernel/faults.h"
#include "host/kernel/iomanager.h"
#include "host/kernel/irql.h"
#include "host/portcls/portclass.h"
#include "tests/support/adaptertestbed.h"

#include <gtest/gtest.h>

#include <portcls.h>

#include <cstring>
#include <vector>

using host::ViolationCapture;
using host::ViolationKind;
using host::engine::QueryAnswer;

namespace
{

NTSTATUS NTAPI UnusedAddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT)
{
    return STATUS_UNSUCCESSFUL;
}

// What the stand-in start routine saw, and what it answers.
struct StartObservation
{
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    UCHAR minorFunction = 0xFF;
    ULONG resourceEntries = 0xFFFF;
    std::size_t lowerStartsBefore = 0;
    KIRQL irql = HIGH_LEVEL;
    NTSTATUS answer = STATUS_SUCCESS;
    std::size_t writeIntoLibraryPartAt = 0; // 0: no write; otherwise the offset
};

StartObservation* g_start = nullptr;
host::engine::CompanionDriver* g_companion = nullptr;

NTSTATUS NTAPI RecordingStartDevice(PDEVICE_OBJECT device, PIRP irp, PRESOURCELIST resources)
{
    StartObservation& seen = *g_start;
    ++seen.calls;
    seen.device = device;
    seen.minorFunction = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    seen.resourceEntries = resources->NumberOfEntries();
    seen.lowerStartsBefore = g_companion->StartRequests();
    seen.irql = KeGetCurrentIrql();
    if (seen.writeIntoLibraryPartAt != 0)
        static_cast<PUCHAR>(device->DeviceExtension)[seen.writeIntoLibraryPartAt] ^= 0xFF;
    return seen.answer;
}

// A stand-in adapter driver initialised by the library, with the companion
// driver below.
class PortClassAdapter : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_start = &m_start;
        g_companion = &m_companion;
        host::portcls::ResetConfiguration();
        m_driver = host::CreateDriverObject(u"\\Driver\\standin");
        ASSERT_EQ(PcInitializeAdapterDriver(m_driver, nullptr, UnusedAddDevice), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        if (m_adapter != nullptr)
        {
            EXPECT_EQ(host::portcls::RemoveDevice(m_adapter), STATUS_NOT_SUPPORTED)
                << "removal passes down the companion's answer";
        }
        host::DestroyDriverObject(m_driver);
        g_start = nullptr;
        g_companion = nullptr;
    }

    NTSTATUS Add(ULONG extensionSize = 568)
    {
        const NTSTATUS status =
            PcAddAdapterDevice(m_driver, Pdo(), RecordingStartDevice, 8, extensionSize);
        m_adapter = Pdo()->AttachedDevice;
        return status;
    }

    PDEVICE_OBJECT Pdo() { return m_companion.PhysicalDeviceObject(); }
    PUCHAR Extension() { return static_cast<PUCHAR>(m_adapter->DeviceExtension); }

    host::engine::CompanionDriver m_companion;
    StartObservation m_start;
    PDRIVER_OBJECT m_driver = nullptr;
    PDEVICE_OBJECT m_adapter = nullptr;
};

// IRP_MN_QUERY_INTERFACE for the engine sent to `device`, as the driver
// sends it to its own device object.
NTSTATUS QueryEngine(PDEVICE_OBJECT device, ENGINE_INTERFACE* record)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp =
        IoBuildSynchronousFsdRequest(IRP_MJ_PNP, device, nullptr, 0, nullptr, &event, &ioStatus);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MinorFunction = IRP_MN_QUERY_INTERFACE;
    stack->Parameters.QueryInterface.InterfaceType = &GUID_ENGINE_INTERFACE;
    stack->Parameters.QueryInterface.Size = sizeof(ENGINE_INTERFACE);
    stack->Parameters.QueryInterface.Version = ENGINE_INTERFACE_VERSION;
    stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(record);
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING)
    {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

} // namespace

TEST_F(PortClassAdapter, InitializeInstallsTheLibraryDispatchAndRemembersAddDevice)
{
    EXPECT_EQ(m_driver->DriverExtension->AddDevice, &UnusedAddDevice);
    EXPECT_NE(m_driver->MajorFunction[IRP_MJ_PNP], &host::CompleteInvalidDeviceRequest);
    EXPECT_NE(m_driver->MajorFunction[IRP_MJ_PNP], nullptr);
}

TEST_F(PortClassAdapter, AddDeviceRefusesAnExtensionSmallerThanTheLibrarysPart)
{
    const std::size_t devicesBefore = host::LiveDeviceCount();
    EXPECT_EQ(Add(PORT_CLASS_DEVICE_EXTENSION_SIZE - 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(m_adapter, nullptr) << "nothing is attached over the PDO";
    EXPECT_EQ(host::LiveDeviceCount(), devicesBefore);

    EXPECT_EQ(Add(PORT_CLASS_DEVICE_EXTENSION_SIZE), STATUS_SUCCESS);
    EXPECT_NE(m_adapter, nullptr);
}

TEST_F(PortClassAdapter, AddDeviceStacksAReadyKsDeviceOverThePdo)
{
    ASSERT_EQ(Add(568), STATUS_SUCCESS);
    ASSERT_NE(m_adapter, nullptr);
    EXPECT_EQ(m_adapter->DriverObject, m_driver);
    EXPECT_EQ(m_adapter->DeviceType, static_cast<ULONG>(FILE_DEVICE_KS));
    EXPECT_EQ(m_adapter->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(m_adapter->StackSize, 2);
    EXPECT_EQ(host::portcls::LowerDevice(m_adapter), Pdo());
    EXPECT_EQ(host::portcls::MaxObjects(m_adapter), 8u);
    EXPECT_TRUE(host::portcls::IsAdapterDevice(m_adapter));
    // The driver's part after the library's is its own and starts zeroed.
    for (std::size_t offset = PORT_CLASS_DEVICE_EXTENSION_SIZE; offset < 568; ++offset)
        ASSERT_EQ(Extension()[offset], 0u) << "offset " << offset;
}

TEST_F(PortClassAdapter, AddDeviceFailsWhenTheDeviceCannotBeCreated)
{
    host::FaultScope faults;
    faults.FailNthOf("IoCreateDevice", 1);
    EXPECT_EQ(Add(568), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(m_adapter, nullptr);
}

TEST_F(PortClassAdapter, StartStartsTheLowerDriverFirstThenCallsTheStartRoutine)
{
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    EXPECT_EQ(host::portcls::StartDevice(m_adapter), STATUS_SUCCESS);
    EXPECT_EQ(m_start.calls, 1);
    EXPECT_EQ(m_start.device, m_adapter);
    EXPECT_EQ(m_start.minorFunction, IRP_MN_START_DEVICE);
    EXPECT_EQ(m_start.lowerStartsBefore, 1u);
    EXPECT_EQ(m_start.resourceEntries, 0u);
    EXPECT_EQ(m_start.irql, PASSIVE_LEVEL);
    EXPECT_EQ(host::portcls::LiveResourceListCount(), 0u) << "the library released its list";
}

TEST_F(PortClassAdapter, StartRequestItselfIsNotFailedByFaultInjection)
{
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    host::FaultScope faults;
    faults.FailEveryCallOf("IoBuildSynchronousFsdRequest");
    EXPECT_EQ(host::portcls::StartDevice(m_adapter), STATUS_SUCCESS);
    EXPECT_EQ(m_start.calls, 1);
    EXPECT_EQ(faults.CallsSeen("IoBuildSynchronousFsdRequest"), 0u);
}

TEST_F(PortClassAdapter, StartReturnsTheStartRoutinesFailure)
{
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    m_start.answer = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(host::portcls::StartDevice(m_adapter), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_start.calls, 1);
}

TEST_F(PortClassAdapter, ForwardsTheEngineQueryToTheCompanionInEveryAnswerMode)
{
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    struct Mode
    {
        QueryAnswer answer;
        NTSTATUS status;
        bool filled;
    };
    for (const Mode mode : {Mode{QueryAnswer::AtOnce, STATUS_SUCCESS, true},
                            Mode{QueryAnswer::FromWorker, STATUS_SUCCESS, true},
                            Mode{QueryAnswer::Never, STATUS_NOT_SUPPORTED, false}})
    {
        SCOPED_TRACE(host::engine::QueryAnswerName(mode.answer));
        m_companion.SetQueryAnswer(mode.answer);
        auto* record = reinterpret_cast<PENGINE_INTERFACE>(Extension() + 512);
        std::memset(record, 0, sizeof(*record));
        EXPECT_EQ(QueryEngine(m_adapter, record), mode.status);
        EXPECT_EQ(record->EngineContext != nullptr, mode.filled);
    }
    EXPECT_EQ(m_companion.Queries().size(), 3u);
    EXPECT_EQ(m_start.calls, 0) << "a query is not a start";
}

TEST_F(PortClassAdapter, PassesAHeldQueryBackAsPending)
{
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    m_companion.SetQueryAnswer(QueryAnswer::WhenReleased);
    ENGINE_INTERFACE record{};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp =
        IoBuildSynchronousFsdRequest(IRP_MJ_PNP, m_adapter, nullptr, 0, nullptr, &event, &ioStatus);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MinorFunction = IRP_MN_QUERY_INTERFACE;
    stack->Parameters.QueryInterface.InterfaceType = &GUID_ENGINE_INTERFACE;
    stack->Parameters.QueryInterface.Size = sizeof(record);
    stack->Parameters.QueryInterface.Version = 1;
    stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&record);

    EXPECT_EQ(IoCallDriver(m_adapter, irp), STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    m_companion.ReleaseHeldQuery();
    EXPECT_NE(KeReadStateEvent(&event), 0);
    EXPECT_EQ(ioStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(record.EngineContext, m_companion.Engine().Context());
}

TEST_F(PortClassAdapter, ExtensionCheckCatchesAWriteIntoTheLibrarysBytes)
{
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    EXPECT_TRUE(host::portcls::CheckLibraryExtensionIntact(m_adapter));

    // The driver's own bytes are free to change.
    Extension()[PORT_CLASS_DEVICE_EXTENSION_SIZE] = 0x42;
    EXPECT_TRUE(host::portcls::CheckLibraryExtensionIntact(m_adapter));

    for (std::size_t offset : {std::size_t{0}, std::size_t{20}, std::size_t{200},
                               std::size_t{PORT_CLASS_DEVICE_EXTENSION_SIZE - 1}})
    {
        SCOPED_TRACE(offset);
        ViolationCapture capture;
        Extension()[offset] ^= 0x01;
        EXPECT_FALSE(host::portcls::CheckLibraryExtensionIntact(m_adapter));
        EXPECT_TRUE(capture.Contains(ViolationKind::Custom, "byte " + std::to_string(offset) +
                                                                " of the port class library"));
        Extension()[offset] ^= 0x01;
    }
    EXPECT_TRUE(host::portcls::CheckLibraryExtensionIntact(m_adapter));
}

TEST_F(PortClassAdapter, StartReportsAStartRoutineThatWritesIntoTheLibrarysBytes)
{
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    m_start.writeIntoLibraryPartAt = 100;
    {
        ViolationCapture capture;
        EXPECT_EQ(host::portcls::StartDevice(m_adapter), STATUS_SUCCESS);
        EXPECT_TRUE(capture.Contains(ViolationKind::Custom, "byte 100"));
    }
    Extension()[100] ^= 0xFF; // mended, so that removal finds it intact
}

TEST_F(PortClassAdapter, RemoveDetachesAndDeletesTheAdaptersDevice)
{
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    const std::size_t devices = host::LiveDeviceCount();
    EXPECT_EQ(host::portcls::RemoveDevice(m_adapter), STATUS_NOT_SUPPORTED);
    EXPECT_FALSE(host::portcls::IsAdapterDevice(m_adapter));
    EXPECT_EQ(Pdo()->AttachedDevice, nullptr);
    EXPECT_EQ(host::LiveDeviceCount(), devices - 1);
    m_adapter = nullptr;
}

// --- subdevices and physical connections ---------------------------------------

TEST_F(PortClassAdapter, RegisteredSubdevicesLiveOnUntilTheDeviceIsRemoved)
{
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    const std::size_t portsBefore = host::portcls::LivePortCount();
    PPORT wave = nullptr;
    PPORT mixer = nullptr;
    ASSERT_EQ(PcNewPort(&wave, CLSID_PortWaveCyclic), STATUS_SUCCESS);
    ASSERT_EQ(PcNewPort(&mixer, CLSID_PortWaveCyclic), STATUS_SUCCESS);
    WCHAR waveName[] = L"NUV_Wave1";
    WCHAR mixerName[] = L"NUV_Mixer1";
    EXPECT_EQ(PcRegisterSubdevice(m_adapter, waveName, wave), STATUS_SUCCESS);
    EXPECT_EQ(PcRegisterSubdevice(m_adapter, mixerName, mixer), STATUS_SUCCESS);
    PPORT another = nullptr;
    ASSERT_EQ(PcNewPort(&another, CLSID_PortWaveCyclic), STATUS_SUCCESS);
    EXPECT_EQ(PcRegisterSubdevice(m_adapter, waveName, another), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(PcRegisterSubdevice(m_adapter, waveName, wave), STATUS_INVALID_PARAMETER)
        << "the same port twice";
    another->Release();
    wave->Release();
    mixer->Release();
    EXPECT_EQ(host::portcls::LivePortCount(), portsBefore + 2) << "the library holds them";

    const auto subdevices = host::portcls::Subdevices(m_adapter);
    ASSERT_EQ(subdevices.size(), 2u);
    EXPECT_EQ(subdevices[0].name, u"NUV_Wave1");
    EXPECT_EQ(subdevices[1].name, u"NUV_Mixer1");

    EXPECT_EQ(host::portcls::RemoveDevice(m_adapter), STATUS_NOT_SUPPORTED);
    m_adapter = nullptr;
    EXPECT_EQ(host::portcls::LivePortCount(), portsBefore);
}

TEST_F(PortClassAdapter, RegistersNoMoreSubdevicesThanMaxObjects)
{
    ASSERT_EQ(Add(), STATUS_SUCCESS); // MaxObjects 8
    std::vector<PPORT> ports(9);
    for (std::size_t i = 0; i < ports.size(); ++i)
    {
        ASSERT_EQ(PcNewPort(&ports[i], CLSID_PortWaveCyclic), STATUS_SUCCESS);
        WCHAR name[] = L"NUV_Wave0";
        name[8] = static_cast<WCHAR>(L'1' + i);
        EXPECT_EQ(PcRegisterSubdevice(m_adapter, name, ports[i]),
                  i < 8 ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES)
            << "subdevice " << i;
        ports[i]->Release();
    }
    EXPECT_EQ(host::portcls::Subdevices(m_adapter).size(), 8u);
}

TEST_F(PortClassAdapter, RecordsPhysicalConnectionsBetweenRegisteredSubdevices)
{
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    PPORT wave = nullptr;
    PPORT mixer = nullptr;
    PPORT stranger = nullptr;
    PcNewPort(&wave, CLSID_PortWaveCyclic);
    PcNewPort(&mixer, CLSID_PortWaveCyclic);
    PcNewPort(&stranger, CLSID_PortWaveCyclic);
    WCHAR waveName[] = L"NUV_Wave1";
    WCHAR mixerName[] = L"NUV_Mixer1";
    PcRegisterSubdevice(m_adapter, waveName, wave);
    PcRegisterSubdevice(m_adapter, mixerName, mixer);

    host::portcls::FailPhysicalConnection(2, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(PcRegisterPhysicalConnection(m_adapter, wave, 1, mixer, 0), STATUS_SUCCESS);
    EXPECT_EQ(PcRegisterPhysicalConnection(m_adapter, mixer, 3, wave, 3), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(PcRegisterPhysicalConnection(m_adapter, stranger, 1, mixer, 0),
              STATUS_INVALID_PARAMETER);

    const auto connections = host::portcls::PhysicalConnections(m_adapter);
    ASSERT_EQ(connections.size(), 3u);
    EXPECT_EQ(connections[0].from, u"NUV_Wave1");
    EXPECT_EQ(connections[0].fromPin, 1u);
    EXPECT_EQ(connections[0].to, u"NUV_Mixer1");
    EXPECT_EQ(connections[0].toPin, 0u);
    EXPECT_EQ(connections[1].status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(connections[1].from, u"NUV_Mixer1");
    EXPECT_TRUE(connections[2].from.empty());
    wave->Release();
    mixer->Release();
    stranger->Release();
}

TEST_F(PortClassAdapter, RefusesToRegisterOnADeviceThatIsNoAdapters)
{
    PPORT port = nullptr;
    PcNewPort(&port, CLSID_PortWaveCyclic);
    WCHAR name[] = L"NUV_Wave1";
    EXPECT_EQ(PcRegisterSubdevice(Pdo(), name, port), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PcRegisterPhysicalConnection(Pdo(), port, 1, port, 0), STATUS_INVALID_PARAMETER);
    port->Release();
}

// --- PcNewPort ---------------------------------------------------------------

class PcNewPortTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        host::portcls::ResetConfiguration();
        m_livePortsBefore = host::portcls::LivePortCount();
    }
    void TearDown() override
    {
        EXPECT_EQ(host::portcls::LivePortCount(), m_livePortsBefore);
        host::portcls::ResetConfiguration();
    }

    std::size_t m_livePortsBefore = 0;
};

TEST_F(PcNewPortTest, WaveCyclicAnswersItsInterfacesWithOneReferenceEach)
{
    PPORT port = nullptr;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_SUCCESS);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(host::portcls::LivePortCount(), m_livePortsBefore + 1);

    for (const GUID* iid : {&IID_IUnknown, &IID_IPort, &IID_IPortWaveCyclic, &IID_IPortEvents})
    {
        SCOPED_TRACE(host::portcls::GuidName(*iid));
        PUNKNOWN unknown = nullptr;
        EXPECT_EQ(port->QueryInterface(*iid, reinterpret_cast<PVOID*>(&unknown)), STATUS_SUCCESS);
        ASSERT_NE(unknown, nullptr);
        EXPECT_EQ(unknown->Release(), 1u) << "the query added exactly one reference";
    }
    PUNKNOWN events = nullptr;
    port->QueryInterface(IID_IPortEvents, reinterpret_cast<PVOID*>(&events));
    EXPECT_NE(static_cast<void*>(events), static_cast<void*>(port))
        << "IPortEvents is its own interface of the object";
    PUNKNOWN unknown = nullptr;
    events->QueryInterface(IID_IUnknown, reinterpret_cast<PVOID*>(&unknown));
    EXPECT_EQ(static_cast<void*>(unknown), static_cast<void*>(port))
        << "the object has one identity";
    unknown->Release();
    events->Release();
    EXPECT_EQ(port->Release(), 0u);
}

TEST_F(PcNewPortTest, WaveCyclicRefusesOtherInterfacesWithANullResult)
{
    PPORT port = nullptr;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_SUCCESS);
    PVOID other = port;
    EXPECT_EQ(port->QueryInterface(IID_IPortWavePci, &other), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(port->Release(), 0u);
}

TEST_F(PcNewPortTest, ConfiguredWithoutPortEventsTheQueryFails)
{
    host::portcls::RefuseInterface(CLSID_PortWaveCyclic, IID_IPortEvents);
    PPORT port = nullptr;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_SUCCESS);
    PVOID events = port;
    EXPECT_EQ(port->QueryInterface(IID_IPortEvents, &events), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(events, nullptr);
    PVOID wave = nullptr;
    EXPECT_EQ(port->QueryInterface(IID_IPortWaveCyclic, &wave), STATUS_SUCCESS);
    static_cast<PUNKNOWN>(wave)->Release();
    port->Release();
    EXPECT_EQ(host::portcls::CallCount("IPort::QueryInterface", "IID_IPortEvents"), 1u);
}

TEST_F(PcNewPortTest, ConfiguredFailureComesAfterTheGivenSuccesses)
{
    host::portcls::FailPortCreation(CLSID_PortWaveCyclic, STATUS_DEVICE_NOT_READY, 1);
    PPORT first = nullptr;
    ASSERT_EQ(PcNewPort(&first, CLSID_PortWaveCyclic), STATUS_SUCCESS);
    PPORT second = reinterpret_cast<PPORT>(&first);
    EXPECT_EQ(PcNewPort(&second, CLSID_PortWaveCyclic), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(second, nullptr);
    first->Release();
}

TEST_F(PcNewPortTest, FaultInjectionFailsTheCreation)
{
    host::FaultScope faults;
    faults.FailNthOf("PcNewPort", 1);
    PPORT port = nullptr;
    EXPECT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(port, nullptr);
    EXPECT_EQ(faults.Failed().size(), 1u);
}

TEST_F(PcNewPortTest, AnUnknownClassIsAnInvalidParameter)
{
    PPORT port = reinterpret_cast<PPORT>(this);
    EXPECT_EQ(PcNewPort(&port, GUID_NULL), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(port, nullptr);
    EXPECT_EQ(PcNewPort(nullptr, CLSID_PortWaveCyclic), STATUS_INVALID_PARAMETER);
}

TEST_F(PcNewPortTest, AReleaseAfterTheLastIsReported)
{
    PPORT port = nullptr;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_SUCCESS);
    port->Release();
    ViolationCapture capture;
    port->Release();
    EXPECT_TRUE(capture.Contains(ViolationKind::Custom, "already released"));
}

TEST_F(PcNewPortTest, IsAPassiveLevelRoutine)
{
    ViolationCapture capture;
    PPORT port = nullptr;
    {
        host::ScopedIrql atDispatch(DISPATCH_LEVEL);
        PcNewPort(&port, CLSID_PortWaveCyclic);
    }
    EXPECT_EQ(capture.Count(ViolationKind::IrqlViolation), 1u);
    if (port != nullptr)
        port->Release();
}

// --- the fixture, with the real driver -----------------------------------------

using AdapterTestbedTest = nuvtest::AdapterTestbed;

// The subdevice installation is kept out of it: the first WavePci port cannot
// be made, and the start ends with that status.
TEST_F(AdapterTestbedTest, StartsTheDriverOverTheCompanionAndLeavesNothingBehind)
{
    Companion().SetQueryAnswer(QueryAnswer::FromWorker);
    host::portcls::FailPortCreation(CLSID_PortWavePci, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Start(), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Companion().StartRequests(), 1u);
    EXPECT_EQ(Companion().EngineAnswers(), 1u);
    ASSERT_NE(EngineRecord(), nullptr);
    EXPECT_EQ(EngineRecord()->EngineContext, Engine().Context());
    EXPECT_EQ(host::portcls::CallCount("PcNewPort", "CLSID_PortWaveCyclic"), 1u);
    EXPECT_EQ(host::portcls::LivePortCount(), 0u);
}
