// CMiniportWavePci::NewStream (stream/newstream.cpp): the pin claimed and
// freed, the stream made from the port's pool type, what it hands out, and
// every failure undone. The stream object's own part (Init and the rest) is
// minstream_test.cpp's.
#include "host/kernel/faults.h"
#include "host/kernel/pool.h"
#include "host/test/support/engineexpect.h"
#include "tests/support/streamonfakeports.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace
{

class NewStream : public nuvtest::StreamOnFakePortsTestbed
{
protected:
    struct Opened
    {
        NTSTATUS status;
        PMINIPORTWAVEPCISTREAM stream;
        PDMACHANNEL dma;
        PSERVICEGROUP group;
    };

    // Sentinels show an out-parameter that was not written.
    static PMINIPORTWAVEPCISTREAM UnwrittenStream()
    {
        return reinterpret_cast<PMINIPORTWAVEPCISTREAM>(0x5A5A);
    }
    static PDMACHANNEL UnwrittenDma() { return reinterpret_cast<PDMACHANNEL>(0x5B5B); }
    static PSERVICEGROUP UnwrittenGroup() { return reinterpret_cast<PSERVICEGROUP>(0x5C5C); }

    // The port's pool type is the executable one an older port passes.
    Opened Open(PKSDATAFORMAT format, ULONG pin = 0, BOOLEAN capture = FALSE,
                POOL_TYPE poolType = NonPagedPool)
    {
        Opened opened{STATUS_UNSUCCESSFUL, UnwrittenStream(), UnwrittenDma(), UnwrittenGroup()};
        opened.status = Miniport()->NewStream(&opened.stream, nullptr, poolType, &PortStream(), pin,
                                              capture, format, &opened.dma, &opened.group);
        if (NT_SUCCESS(opened.status))
            opened_.push_back(opened);
        return opened;
    }

    PKSDATAFORMAT Valid() { return Format({.channels = 2, .bits = 16}); }
    PKSDATAFORMAT Invalid() { return Format({.channels = 1, .bits = 16}); }

    void Close(const Opened& opened)
    {
        opened.group->Release();
        opened.stream->Release();
        std::erase_if(opened_, [&](const Opened& o) { return o.stream == opened.stream; });
    }

    void TearDown() override
    {
        while (!opened_.empty())
            Close(opened_.back());
        StreamOnFakePortsTestbed::TearDown();
    }

private:
    std::vector<Opened> opened_;
};

TEST_F(NewStream, HandsOutStreamServiceGroupAndTheMiniportsDmaChannel)
{
    Opened opened = Open(Valid());
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    EXPECT_NE(opened.stream, nullptr);
    EXPECT_NE(opened.group, nullptr);
    EXPECT_EQ(opened.dma, &WavePort().Dma());
    EXPECT_EQ(WavePort().Dma().References(), 2) << "handed out without a reference";
}

// The stream object comes from the pool type the port asks for, made
// non-executable: executable non-paged pool becomes its Nx twin, the rest is
// kept (paged pool is never executable).
TEST_F(NewStream, StreamComesFromTheNonExecutableTwinOfThePortsPoolType)
{
    const struct
    {
        POOL_TYPE requested;
        POOL_TYPE allocated;
    } cases[] = {
        {NonPagedPool, NonPagedPoolNx},   {NonPagedPoolCacheAligned, NonPagedPoolNxCacheAligned},
        {NonPagedPoolNx, NonPagedPoolNx}, {NonPagedPoolNxCacheAligned, NonPagedPoolNxCacheAligned},
        {PagedPool, PagedPool},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(host::PoolTypeName(c.requested));
        Opened opened = Open(Valid(), 0, FALSE, c.requested);
        ASSERT_EQ(opened.status, STATUS_SUCCESS);
        auto block = host::Pool().Find(
            static_cast<void*>(static_cast<CMiniportWavePciStream*>(opened.stream)));
        ASSERT_TRUE(block.has_value());
        EXPECT_EQ(block->type, c.allocated);
        Close(opened);
    }
}

TEST_F(NewStream, StreamTableEntryIsEmptyUntilTheStreamRuns)
{
    Opened opened = Open(Valid());
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    RunEngineNotify(0, 0);
    EXPECT_TRUE(WavePort().Notifications().empty());
}

TEST_F(NewStream, SecondStreamOnAPinInUseIsRefusedBeforeTheFormatIsLookedAt)
{
    ASSERT_EQ(Open(Valid()).status, STATUS_SUCCESS);
    Opened second = Open(Invalid());
    EXPECT_EQ(second.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(second.stream, UnwrittenStream());
    EXPECT_EQ(second.dma, UnwrittenDma());
    EXPECT_EQ(second.group, UnwrittenGroup());
}

TEST_F(NewStream, CaptureAndRenderOfOnePinAreSeparateSlots)
{
    ASSERT_EQ(Open(Valid()).status, STATUS_SUCCESS);
    EXPECT_EQ(Open(Valid(), 0, TRUE).status, STATUS_SUCCESS);
    EXPECT_EQ(Open(Valid(), 1).status, STATUS_SUCCESS);
}

TEST_F(NewStream, RefusedFormatCreatesNothingAndLeavesThePinFree)
{
    Opened refused = Open(Invalid());
    EXPECT_EQ(refused.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(refused.stream, UnwrittenStream());
    EXPECT_EQ(host::Pool().Outstanding(host::Tag("PcCr")), 1u) << "only the miniport";
    EXPECT_EQ(Open(Valid()).status, STATUS_SUCCESS);
}

TEST_F(NewStream, PinOrDirectionOutsideTheTablesIsRefused)
{
    for (auto [pin, capture] :
         {std::pair<ULONG, BOOLEAN>{WAVE_PIN_IN_USE_PINS, FALSE}, {0xFFFFFFFF, FALSE}, {0, 2}})
    {
        SCOPED_TRACE(::testing::Message() << "pin " << pin << ", capture " << int(capture));
        Opened refused = Open(Valid(), pin, capture);
        EXPECT_EQ(refused.status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(refused.stream, UnwrittenStream());
    }
    ExpectEngineCommands(Engine(), {});
}

TEST_F(NewStream, StreamAllocationFailureLeavesThePinFree)
{
    {
        host::FaultScope faults;
        faults.FailEveryCallOf("ExAllocatePoolWithTag");
        EXPECT_EQ(Open(Valid()).status, STATUS_INSUFFICIENT_RESOURCES);
    }
    EXPECT_EQ(Open(Valid()).status, STATUS_SUCCESS);
}

TEST_F(NewStream, InitFailureReleasesTheStreamAndNullsIt)
{
    Engine().SetFormatResult(static_cast<ULONG>(STATUS_NOT_SUPPORTED));
    Opened failed = Open(Valid());
    EXPECT_EQ(failed.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(failed.stream, nullptr);
    EXPECT_EQ(failed.dma, UnwrittenDma());
    EXPECT_EQ(failed.group, UnwrittenGroup());
    EXPECT_EQ(PortStream().References(), 1);
    Engine().SetFormatResult(0);
    EXPECT_EQ(Open(Valid()).status, STATUS_SUCCESS);
}

TEST_F(NewStream, ReleasingTheStreamFreesItsPin)
{
    Opened opened = Open(Valid());
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    Close(opened);
    EXPECT_EQ(Open(Valid()).status, STATUS_SUCCESS);
}

// Every failable call of NewStream, failed in turn: the status comes back,
// the pin stays free and nothing is left behind.
TEST_F(NewStream, EveryFailureIsReturnedAndLeaksNothing)
{
    for (std::uint64_t n = 1;; ++n)
    {
        SCOPED_TRACE(n);
        Opened opened{};
        std::vector<host::FailedCall> failed;
        {
            host::FaultScope faults;
            faults.FailNth(n);
            opened = Open(Valid());
            failed = faults.Failed();
        }
        if (failed.empty())
        {
            EXPECT_EQ(opened.status, STATUS_SUCCESS);
            break;
        }
        EXPECT_FALSE(NT_SUCCESS(opened.status)) << host::Describe(failed[0]);
        EXPECT_EQ(host::Pool().Outstanding(host::Tag("PcCr")), 1u);
        EXPECT_EQ(LiveServiceGroups(), 0u);
    }
}

} // namespace
