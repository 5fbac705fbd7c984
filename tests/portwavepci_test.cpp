// The host library's WavePci port: what Init binds and passes through, the
// master DMA channel it makes for the miniport, Notify's level, power
// changes, and the references it lets go of on failure and at removal. Most
// tests run on the whole host system after the driver's own start.
#include "adapter/adapter.h"
#include "host/kernel/hostkernel.h"
#include "host/portcls/portclass.h"
#include "host/portcls/portwavepci.h"
#include "host/test/support/engineexpect.h"
#include "tests/support/startedadapter.h"
#include "topology/mintopo.h"
#include "wave/minwave.h"
#include "wave/wavetables.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

using host::portcls::PortWavePci;

std::u16string WaveName(int number)
{
    return u"NUV_Wave" + std::u16string(1, static_cast<char16_t>(u'0' + number));
}

// A service group that remembers the level each RequestService ran at. The
// test owns it; references are only counted.
class LevelRecordingGroup : public IServiceGroup
{
public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID, PVOID* object) override
    {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
    STDMETHODIMP_(ULONG) Release() override { return --references; }
    STDMETHODIMP_(void) RequestService() override { levels.push_back(KeGetCurrentIrql()); }
    STDMETHODIMP_(NTSTATUS) AddMember(PSERVICESINK) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(void) RemoveMember(PSERVICESINK) override {}
    STDMETHODIMP_(void) SupportDelayedService() override {}
    STDMETHODIMP_(void) RequestDelayedService(ULONGLONG) override {}
    STDMETHODIMP_(void) CancelDelayedService() override {}

    ULONG references = 1;
    std::vector<KIRQL> levels;
};

// A WavePci miniport that records its Init and hands out a service group;
// it takes no reference on its port, so the test sees the port's own
// references alone.
class RecordingWaveMiniport : public IMiniportWavePci
{
public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override
    {
        if (IsEqualGUID(iid, IID_IMiniportWavePci) || IsEqualGUID(iid, IID_IUnknown))
        {
            *object = static_cast<IMiniportWavePci*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
    STDMETHODIMP_(ULONG) Release() override { return --references; }
    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* description) override
    {
        *description = const_cast<PPCFILTER_DESCRIPTOR>(&WaveFilterDescriptorStereo);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS)
    DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override
    {
        return STATUS_NO_MATCH;
    }
    STDMETHODIMP_(NTSTATUS)
    Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTWAVEPCI portGiven,
         PSERVICEGROUP* serviceGroup) override
    {
        adapter = unknownAdapter;
        resources = resourceList;
        port = portGiven;
        *serviceGroup = group;
        if (group != nullptr)
            group->AddRef();
        return initStatus;
    }
    STDMETHODIMP_(NTSTATUS)
    NewStream(PMINIPORTWAVEPCISTREAM*, PUNKNOWN, POOL_TYPE, PPORTWAVEPCISTREAM, ULONG, BOOLEAN,
              PKSDATAFORMAT, PDMACHANNEL*, PSERVICEGROUP*) override
    {
        return STATUS_NOT_SUPPORTED;
    }
    STDMETHODIMP_(void) Service() override {}

    ULONG references = 1;
    PSERVICEGROUP group = nullptr;
    NTSTATUS initStatus = STATUS_SUCCESS;
    PUNKNOWN adapter = nullptr;
    PRESOURCELIST resources = nullptr;
    PPORTWAVEPCI port = nullptr;
};

class PortWavePciBinding : public ::testing::Test
{
protected:
    // A library that refuses nothing and counts from zero, whatever tests
    // before this one configured or left alive.
    void SetUp() override
    {
        host::ResetKernelState();
        host::portcls::ResetConfiguration();
        host::portcls::ForgetLiveObjects();
    }
};

TEST_F(PortWavePciBinding, InitPassesTheAdapterArgumentThroughAndKeepsTheServiceGroup)
{
    PPORT port = nullptr;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortWavePci), STATUS_SUCCESS);
    RecordingWaveMiniport miniport;
    LevelRecordingGroup group;
    miniport.group = &group;
    ENGINE_INTERFACE record{};
    auto* resources = reinterpret_cast<PRESOURCELIST>(&record.InstanceCount);

    ASSERT_EQ(
        port->Init(nullptr, nullptr, &miniport, reinterpret_cast<PUNKNOWN>(&record), resources),
        STATUS_SUCCESS);
    EXPECT_EQ(miniport.adapter, reinterpret_cast<PUNKNOWN>(&record));
    EXPECT_EQ(miniport.resources, resources);
    EXPECT_EQ(static_cast<PUNKNOWN>(miniport.port), static_cast<PUNKNOWN>(port));
    // The port keeps the miniport's primary interface and the group.
    EXPECT_EQ(miniport.references, 2u);
    EXPECT_EQ(group.references, 2u);

    // The last reference to the port takes both with it.
    port->Release();
    EXPECT_EQ(miniport.references, 1u);
    EXPECT_EQ(group.references, 1u);
    EXPECT_EQ(host::portcls::LivePortCount(), 0u);
}

TEST_F(PortWavePciBinding, AFailedMiniportInitKeepsNothing)
{
    PPORT port = nullptr;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortWavePci), STATUS_SUCCESS);
    RecordingWaveMiniport miniport;
    LevelRecordingGroup group;
    miniport.group = &group;
    miniport.initStatus = STATUS_INSUFFICIENT_RESOURCES;
    ENGINE_INTERFACE record{};

    EXPECT_EQ(port->Init(nullptr, nullptr, &miniport, reinterpret_cast<PUNKNOWN>(&record), nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(miniport.references, 1u);
    EXPECT_EQ(group.references, 1u);
    EXPECT_FALSE(host::portcls::Description(port).has_value());
    port->Release();
}

TEST_F(PortWavePciBinding, AMiniportWithoutTheWavePciInterfaceIsRefused)
{
    PPORT port = nullptr;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortWavePci), STATUS_SUCCESS);
    PUNKNOWN topologyMiniport = nullptr;
    ASSERT_EQ(
        CreateMiniportTopology(&topologyMiniport, CLSID_PortTopology, nullptr, NonPagedPoolNx),
        STATUS_SUCCESS);
    ENGINE_INTERFACE record{};

    EXPECT_EQ(port->Init(nullptr, nullptr, topologyMiniport, reinterpret_cast<PUNKNOWN>(&record),
                         nullptr),
              STATUS_INVALID_PARAMETER);
    topologyMiniport->Release();
    port->Release();
    EXPECT_EQ(host::portcls::LivePortCount(), 0u);
}

// The port makes the channel object from the pool type the miniport names;
// executable pool is refused to drivers under memory integrity.
TEST_F(PortWavePciBinding, AMasterDmaChannelFromExecutablePoolIsReported)
{
    PPORT port = nullptr;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortWavePci), STATUS_SUCCESS);
    RecordingWaveMiniport miniport;
    ENGINE_INTERFACE record{};
    ASSERT_EQ(port->Init(nullptr, nullptr, &miniport, reinterpret_cast<PUNKNOWN>(&record), nullptr),
              STATUS_SUCCESS);
    for (POOL_TYPE poolType : {NonPagedPool, NonPagedPoolNx})
    {
        SCOPED_TRACE(host::PoolTypeName(poolType));
        host::ViolationCapture capture;
        PDMACHANNEL dma = nullptr;
        ASSERT_EQ(miniport.port->NewMasterDmaChannel(&dma, nullptr, poolType, nullptr, TRUE, TRUE,
                                                     FALSE, FALSE,
                                                     static_cast<DMA_WIDTH>(0xFFFFFFFF),
                                                     static_cast<DMA_SPEED>(0xFFFFFFFF), 65536, 0),
                  STATUS_SUCCESS);
        const bool executable = poolType == NonPagedPool;
        EXPECT_EQ(capture.Count(), executable ? 1u : 0u);
        EXPECT_EQ(capture.Contains(host::ViolationKind::ExecutablePool,
                                   "NewMasterDmaChannel with NonPagedPool"),
                  executable);
        dma->Release();
    }
    port->Release();
}

TEST_F(PortWavePciBinding, AnswersItsOwnInterfacesOnly)
{
    PPORT port = nullptr;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortWavePci), STATUS_SUCCESS);
    for (const GUID* iid : {&IID_IUnknown, &IID_IPort, &IID_IPortWavePci})
    {
        PVOID answer = nullptr;
        EXPECT_EQ(port->QueryInterface(*iid, &answer), STATUS_SUCCESS);
        EXPECT_EQ(answer, static_cast<PVOID>(port));
        port->Release();
    }
    PVOID answer = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(port->QueryInterface(IID_IPortTopology, &answer), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(answer, nullptr);
    EXPECT_EQ(port->Release(), 0u);
}

// --- on the started system -----------------------------------------------------

using PortWavePciOnStart = nuvtest::StartedAdapter;

TEST_F(PortWavePciOnStart, EachMiniportReadTheEngineRecordOfItsPair)
{
    for (int number = 1; number <= 4; number++)
    {
        SCOPED_TRACE(number);
        PortWavePci* port = PortWavePci::Acquire(Port(WaveName(number)));
        ASSERT_NE(port, nullptr);
        auto* miniport = static_cast<CMiniportWavePci*>(port->WaveMiniport());
        EXPECT_EQ(miniport->DeviceIndex(), static_cast<ULONG>(number - 1));
        EXPECT_EQ(port->MiniportServiceGroup(), nullptr);
        port->ReleasePortReference();
    }
}

TEST_F(PortWavePciOnStart, MakesOneMasterDmaChannelPerMiniportWithItsArguments)
{
    for (int number = 1; number <= 4; number++)
    {
        SCOPED_TRACE(number);
        const auto requests = host::portcls::MasterDmaChannelRequests(Port(WaveName(number)));
        ASSERT_EQ(requests.size(), 1u);
        const host::portcls::DmaChannelRequest& r = requests[0];
        EXPECT_EQ(r.outerUnknown, nullptr);
        EXPECT_EQ(r.poolType, NonPagedPoolNx);
        EXPECT_EQ(r.resourceList, nullptr);
        EXPECT_EQ(r.scatterGather, TRUE);
        EXPECT_EQ(r.dma32BitAddresses, TRUE);
        EXPECT_EQ(r.dma64BitAddresses, FALSE);
        EXPECT_EQ(r.ignoreCount, FALSE);
        EXPECT_EQ(r.dmaWidth, 0xFFFFFFFFu);
        EXPECT_EQ(r.dmaSpeed, 0xFFFFFFFFu);
        EXPECT_EQ(r.maximumLength, 65536u);
        EXPECT_EQ(r.dmaPort, 0u);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
    }
    EXPECT_EQ(host::portcls::LiveDmaChannelCount(), 4u);
}

TEST_F(PortWavePciOnStart, RemovalReleasesPortsMiniportsAndChannels)
{
    System().Remove();
    EXPECT_EQ(host::portcls::LivePortCount(), 0u);
    EXPECT_EQ(host::portcls::LiveDmaChannelCount(), 0u);
    EXPECT_EQ(host::Pool().Outstanding(host::Tag("PcCr")), 0u);
}

TEST_F(PortWavePciOnStart, NotifyRunsTheServiceAtDispatchLevelOnTheCallingThread)
{
    PortWavePci* port = PortWavePci::Acquire(Port(WaveName(1)));
    ASSERT_NE(port, nullptr);
    LevelRecordingGroup group;
    port->Notify(&group);
    EXPECT_EQ(group.levels, std::vector<KIRQL>{DISPATCH_LEVEL});
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    // Notify holds no reference on the group.
    EXPECT_EQ(group.references, 1u);
    port->ReleasePortReference();
}

TEST_F(PortWavePciOnStart, AnInstalledDeliveryGetsTheGroupInsteadOfAnImmediateService)
{
    PortWavePci* port = PortWavePci::Acquire(Port(WaveName(2)));
    ASSERT_NE(port, nullptr);
    std::vector<PSERVICEGROUP> delivered;
    host::portcls::SetNotifyDelivery([&](PSERVICEGROUP group) { delivered.push_back(group); });
    LevelRecordingGroup group;
    port->Notify(&group);
    host::portcls::SetNotifyDelivery(nullptr);

    EXPECT_EQ(delivered, std::vector<PSERVICEGROUP>{&group});
    EXPECT_TRUE(group.levels.empty());
    // Back to the default.
    port->Notify(&group);
    EXPECT_EQ(group.levels.size(), 1u);
    port->ReleasePortReference();
}

TEST_F(PortWavePciOnStart, PowerChangesReachTheWaveMiniportOnly)
{
    EXPECT_TRUE(host::portcls::SendPowerChange(Port(WaveName(1)), PowerDeviceD3));
    ExpectEngineCommandCount(Engine(), ENGINE_CMD_STOP, 1);
    // The topology miniport answers no IPowerNotify.
    EXPECT_FALSE(host::portcls::SendPowerChange(Port(u"NUV_Mixer1"), PowerDeviceD3));
    ExpectEngineCommandCount(Engine(), ENGINE_CMD_STOP, 1);
}

TEST_F(PortWavePciOnStart, RegistryAndDevicePropertiesAreNotCarriedOutAndReported)
{
    PortWavePci* port = PortWavePci::Acquire(Port(WaveName(1)));
    ASSERT_NE(port, nullptr);
    host::ViolationCapture violations;
    ULONG length = 7;
    EXPECT_EQ(port->GetDeviceProperty(DevicePropertyDriverKeyName, 0, nullptr, &length),
              STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(length, 0u);
    EXPECT_TRUE(violations.Contains(host::ViolationKind::Custom, "IPort::GetDeviceProperty"));
    port->ReleasePortReference();
}

// --- failures during the start ----------------------------------------------------

using PortWavePciFailure = nuvtest::AdapterTestbed;

TEST_F(PortWavePciFailure, AFailingDmaChannelFailsTheMiniportsInitAndLeavesNothing)
{
    NTSTATUS status;
    {
        host::FaultScope faults;
        faults.FailEveryCallOf("NewMasterDmaChannel");
        status = Start();
    }
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(host::portcls::Subdevices(AdapterDevice()).empty());
    // Released by the driver itself, before any removal.
    EXPECT_EQ(host::portcls::LivePortCount(), 0u);
    EXPECT_EQ(host::portcls::LiveDmaChannelCount(), 0u);
    EXPECT_EQ(host::Pool().Outstanding(host::Tag("PcCr")), 0u);
}

// A port bound to its miniport but never registered is still the library's
// to release: the two hold each other until the device goes.
TEST_F(PortWavePciFailure, ABoundPortWhoseRegistrationFailedGoesAtRemoval)
{
    host::portcls::FailSubdeviceRegistration(1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Start(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host::portcls::LivePortCount(), 1u);
    System().Remove();
    EXPECT_EQ(host::portcls::LivePortCount(), 0u);
    EXPECT_EQ(host::portcls::LiveDmaChannelCount(), 0u);
    EXPECT_EQ(host::Pool().Outstanding(host::Tag("PcCr")), 0u);
}

} // namespace
