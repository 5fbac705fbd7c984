// Device start as the driver runs it on a whole host system: the engine
// query through the device stack, the port class capability check, and
// what the start does when either goes wrong.
#include "adapter/adapter.h"
#include "engine/engineabsent.h"

#include "host/kernel/hostkernel.h"
#include "host/loader/driverbinary.h"
#include "host/portcls/portclass.h"
#include "tests/support/adaptertestbed.h"
#include "tests/support/driverundertest.h"

#include <gtest/gtest.h>

#include <future>

namespace
{

using host::engine::QueryAnswer;

class EngineQuery : public nuvtest::AdapterTestbed
{
protected:
    // The stand-in engine of the driver under test: the image's own, found by
    // its symbols, when the image runs.
    PENGINE_CALL AbsentEngine()
    {
        PENGINE_CALL absent =
            host::loader::DriverFunction(System().Driver(), "AbsentEngineCall", &AbsentEngineCall);
        const auto& image = System().Driver().image;
        EXPECT_NE(absent, nullptr) << "the driver's symbols do not name AbsentEngineCall ("
                                   << (image ? image->SymbolStatus() : "") << ")";
        return absent;
    }
};

TEST_F(EngineQuery, AnsweredAtOnceFillsTheRecordAfterTheLibrarysPart)
{
    Companion().SetQueryAnswer(QueryAnswer::AtOnce);
    ASSERT_TRUE(NT_SUCCESS(Start()));

    auto queries = Companion().Queries();
    ASSERT_EQ(queries.size(), 1u);
    const auto& query = queries[0];
    EXPECT_TRUE(query.forEngine);
    EXPECT_TRUE(IsEqualGUIDAligned(query.interfaceType, GUID_ENGINE_INTERFACE));
    EXPECT_EQ(query.size, sizeof(ENGINE_INTERFACE));
    EXPECT_EQ(query.version, 1);
    EXPECT_EQ(query.interfaceSpecificData, nullptr);
    EXPECT_EQ(query.presetStatus, STATUS_NOT_SUPPORTED) << "a PnP request starts as not supported";
    EXPECT_EQ(query.requestorMode, KernelMode);
    EXPECT_EQ(reinterpret_cast<PUCHAR>(query.record),
              static_cast<PUCHAR>(AdapterDevice()->DeviceExtension) + 512);

    EXPECT_EQ(EngineRecord()->EngineContext, Engine().Context());
    EXPECT_NE(EngineRecord()->EngineCall, nullptr);
    EXPECT_NE(EngineRecord()->EngineCall, AbsentEngine());
}

TEST_F(EngineQuery, AnsweredFromAnotherThreadIsWaitedFor)
{
    Companion().SetQueryAnswer(QueryAnswer::WhenReleased);
    auto start = std::async(std::launch::async, [this] { return Start(); });

    // The start cannot finish while the companion holds the query.
    Companion().ReleaseHeldQuery();
    ASSERT_TRUE(NT_SUCCESS(start.get()));
    EXPECT_EQ(Companion().EngineAnswers(), 1u);
    EXPECT_EQ(EngineRecord()->EngineContext, Engine().Context());
}

TEST_F(EngineQuery, PendingAnswerFromTheWorkerIsWaitedFor)
{
    Companion().SetQueryAnswer(QueryAnswer::FromWorker);
    ASSERT_TRUE(NT_SUCCESS(Start()));
    // Had the start not waited, the record could still be empty here.
    EXPECT_EQ(EngineRecord()->EngineContext, Engine().Context());
}

TEST_F(EngineQuery, UnansweredQueryLeavesTheAbsentEngineInPlace)
{
    Companion().SetQueryAnswer(QueryAnswer::Never);
    EXPECT_EQ(QueryEngineInterface(AdapterDevice()), STATUS_NOT_SUPPORTED);

    // The start goes on, but nothing may ever call a null engine entry.
    ASSERT_TRUE(NT_SUCCESS(Start()));
    ASSERT_EQ(EngineRecord()->EngineCall, AbsentEngineCall);

    ENGINE_PERIOD_PARAMS period = {1234};
    EngineRecord()->EngineCall(EngineRecord()->EngineContext, ENGINE_CMD_GET_PERIOD, &period);
    EXPECT_EQ(period.PeriodFrames, 0u);
    ENGINE_RATE_PARAMS rate = {48000, 48000};
    EngineRecord()->EngineCall(EngineRecord()->EngineContext, ENGINE_CMD_SAMPLE_RATE, &rate);
    EXPECT_EQ(rate.CurrentRate, 0u) << "the wanted rate is not reached";
    ENGINE_FORMAT_PARAMS format = {};
    EngineRecord()->EngineCall(EngineRecord()->EngineContext, ENGINE_CMD_SET_FORMAT, &format);
    EXPECT_FALSE(NT_SUCCESS(static_cast<NTSTATUS>(format.Result)));
    EXPECT_TRUE(Engine().Commands().empty()) << "the real engine hears nothing";
}

TEST_F(EngineQuery, RequestThatCannotBeBuiltDoesNotStopTheStart)
{
    host::FaultScope faults;
    faults.FailEveryCallOf("IoBuildSynchronousFsdRequest");
    EXPECT_EQ(QueryEngineInterface(AdapterDevice()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(NT_SUCCESS(Start()));
    EXPECT_TRUE(Companion().Queries().empty());
    EXPECT_EQ(EngineRecord()->EngineCall, AbsentEngineCall);
}

TEST_F(EngineQuery, EveryStartAsksAgain)
{
    ASSERT_TRUE(NT_SUCCESS(Start()));
    Companion().SetQueryAnswer(QueryAnswer::Never);
    // A second start whose query is not answered must not keep using the
    // engine of the first.
    (void)Start();
    EXPECT_EQ(Companion().Queries().size(), 2u);
    EXPECT_EQ(EngineRecord()->EngineCall, AbsentEngine());
}

class CapabilityCheck : public nuvtest::AdapterTestbed
{
};

TEST_F(CapabilityCheck, PortCreationFailureIsReturnedAndNothingIsInstalled)
{
    host::portcls::FailPortCreation(CLSID_PortWaveCyclic, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Start(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(host::portcls::Subdevices(AdapterDevice()).empty());
    EXPECT_EQ(host::portcls::CallCount("PcNewPort"), 1u);
}

TEST_F(CapabilityCheck, MissingPortEventsFailsTheStartUnsuccessfully)
{
    host::portcls::RefuseInterface(CLSID_PortWaveCyclic, IID_IPortEvents);
    EXPECT_EQ(Start(), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(host::portcls::Subdevices(AdapterDevice()).empty());
    EXPECT_EQ(host::portcls::CallCount("PcNewPort"), 1u) << "no port beyond the check's";
    // The teardown checks that the check's port was released.
}

TEST_F(CapabilityCheck, PortWithPortEventsLetsTheStartGoOn)
{
    NTSTATUS status = Start();
    EXPECT_TRUE(NT_SUCCESS(status));
    EXPECT_EQ(host::portcls::CallCount("PcNewPort", "CLSID_PortWaveCyclic"), 1u);
    EXPECT_GE(host::portcls::CallCount("IPort::QueryInterface", "IID_IPortEvents"), 1u);
}

TEST(AdapterDevice, AsksTheLibraryForEightSubdevicesAndItsOwnExtension)
{
    static_assert(ADAPTER_EXTENSION_SIZE == 512 + 56);
    host::System system(nuvtest::DriverUnderTest());
    ASSERT_EQ(system.Load(), STATUS_SUCCESS);
    ASSERT_EQ(system.AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(host::portcls::MaxObjects(system.AdapterDevice()), 8u);
    EXPECT_TRUE(system.Shutdown().empty());
}

} // namespace
