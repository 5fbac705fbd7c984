#include "tests/support/streamonfakeports.h"

#include "host/kernel/irql.h"
#include "host/kernel/pool.h"
#include "host/portcls/servicegroup.h"

namespace nuvtest
{

void StreamOnFakePortsTestbed::SetUp()
{
    groupsAtSetUp_ = host::portcls::LiveServiceGroupCount();
    record_.EngineCall = engine_.EntryPoint();
    record_.EngineContext = engine_.Context();
    record_.InstanceCount = kDeviceIndex;

    PUNKNOWN unknown = nullptr;
    ASSERT_EQ(CreateMiniportWavePci(&unknown, GUID_NULL, nullptr, NonPagedPoolNx), STATUS_SUCCESS);
    miniport_ = static_cast<CMiniportWavePci*>(static_cast<PMINIPORTWAVEPCI>(unknown));
    PSERVICEGROUP none = nullptr;
    ASSERT_EQ(miniport_->Init(reinterpret_cast<PUNKNOWN>(&record_), nullptr, &wavePort_, &none),
              STATUS_SUCCESS);
}

void StreamOnFakePortsTestbed::TearDown()
{
    ReleaseStream();
    if (miniport_ != nullptr)
    {
        EXPECT_EQ(static_cast<PMINIPORTWAVEPCI>(miniport_)->Release(), 0u)
            << "a stream kept its miniport";
        miniport_ = nullptr;
    }
    host::Pool().ReportLeaks({host::Tag("PcCr"), host::Tag("wVUN")});
    EXPECT_EQ(LiveServiceGroups(), 0u) << "a service group was not released";
    EXPECT_EQ(portStream_.References(), 1) << "the port stream's references are unbalanced";
    if (!allowOutstanding_)
    {
        EXPECT_EQ(portStream_.OutstandingCount(), 0u) << "a mapping was never handed back";
    }
    for (const auto& command : engine_.Commands())
    {
        EXPECT_EQ(command.spinLocksHeld, 0u)
            << host::engine::CommandName(command.command) << " sent with a spin lock held";
    }
}

std::size_t StreamOnFakePortsTestbed::LiveServiceGroups() const
{
    return host::portcls::LiveServiceGroupCount() - groupsAtSetUp_;
}

PKSDATAFORMAT StreamOnFakePortsTestbed::Format(WaveFields fields, USHORT subFormatTag)
{
    auto bytes = DataFormatBytes(WaveSubFormat(subFormatTag), fields);
    formats_.push_back(std::make_unique<GuardedBytes>(std::span<const std::uint8_t>(bytes)));
    return formats_.back()->As<KSDATAFORMAT>();
}

NTSTATUS StreamOnFakePortsTestbed::CreateStream(WaveFields fields, bool capture, ULONG pin,
                                                USHORT subFormatTag)
{
    PKSDATAFORMAT format = Format(fields, subFormatTag);
    CMiniportWavePciStream* stream = nullptr;
    NTSTATUS status = CreateMiniportWavePciStream(&stream, nullptr, NonPagedPoolNx);
    if (!NT_SUCCESS(status))
        return status;
    PSERVICEGROUP group = nullptr;
    status = stream->Init(miniport_, &portStream_, kDeviceIndex, pin, capture ? TRUE : FALSE,
                          format, &group);
    if (!NT_SUCCESS(status))
    {
        static_cast<PMINIPORTWAVEPCISTREAM>(stream)->Release();
        return status;
    }
    stream_ = stream;
    serviceGroup_ = group;
    return status;
}

void StreamOnFakePortsTestbed::ReleaseStream()
{
    if (stream_ != nullptr)
    {
        static_cast<PMINIPORTWAVEPCISTREAM>(stream_)->Release();
        stream_ = nullptr;
    }
    if (serviceGroup_ != nullptr)
    {
        serviceGroup_->Release();
        serviceGroup_ = nullptr;
    }
}

void StreamOnFakePortsTestbed::RunService()
{
    host::ScopedIrql atDispatch(DISPATCH_LEVEL);
    stream_->Service();
}

void StreamOnFakePortsTestbed::RunMappingAvailable()
{
    host::ScopedIrql atDispatch(DISPATCH_LEVEL);
    stream_->MappingAvailable();
}

void StreamOnFakePortsTestbed::RunEngineNotify(ULONG capture, ULONG pin)
{
    host::ScopedIrql atDispatch(DISPATCH_LEVEL);
    EngineNotify(capture, pin, miniport_);
}

std::vector<std::uint8_t> StreamOnFakePortsTestbed::AttachedBuffer(bool capture, ULONG pin)
{
    auto state = engine_.Stream(capture ? 1 : 0, record_.InstanceCount, pin);
    if (!state || state->buffer == nullptr)
        return {};
    const auto* bytes = static_cast<const std::uint8_t*>(state->buffer);
    return {bytes, bytes + 2 * std::size_t{state->periodBytes}};
}

std::vector<std::uint8_t> Ramp(std::size_t count, std::uint8_t first)
{
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<std::uint8_t>(first + i);
    return bytes;
}

} // namespace nuvtest
