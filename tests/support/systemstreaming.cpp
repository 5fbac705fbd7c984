#include "tests/support/systemstreaming.h"

#include "host/portcls/servicegroup.h"

#include <string>

namespace nuvtest
{

void SystemStreamingTestbed::SetUp()
{
    AdapterTestbed::SetUp();
    if (HasFatalFailure())
        return;
    Engine().SetPeriodFrames(PeriodFrames());
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    m_clock = std::make_unique<host::engine::VirtualClock>(Engine());
}

void SystemStreamingTestbed::TearDown()
{
    for (auto& pin : m_pins)
    {
        for (const std::string& problem : pin->Close())
            ADD_FAILURE() << "at close: " << problem;
    }
    m_pins.clear();
    EXPECT_EQ(host::portcls::LiveServiceGroupCount(), 0u) << "a service group was not released";
    m_clock.reset();
    AdapterTestbed::TearDown();
}

PMINIPORTWAVEPCI SystemStreamingTestbed::WaveMiniport(int device)
{
    return host::portcls::FindWaveMiniport(AdapterDevice(),
                                           u"NUV_Wave" + std::u16string(1, u'0' + device));
}

NTSTATUS SystemStreamingTestbed::TryOpenPin(int device, ULONG pinId,
                                            const std::vector<std::uint8_t>& format,
                                            host::portcls::PinOptions options)
{
    std::unique_ptr<host::portcls::Pin> pin;
    const NTSTATUS status =
        host::portcls::Pin::Open(WaveMiniport(device), pinId, format, options, pin);
    if (NT_SUCCESS(status))
        m_pins.push_back(std::move(pin));
    return status;
}

host::portcls::Pin& SystemStreamingTestbed::OpenPin(int device, WaveFields fields,
                                                    host::portcls::PinOptions options)
{
    const auto format = DataFormatBytes(WaveSubFormat(WAVE_FORMAT_PCM), fields);
    const NTSTATUS status = TryOpenPin(device, 0, format, options);
    EXPECT_EQ(status, STATUS_SUCCESS) << "opening pin 0 of NUV_Wave" << device;
    if (!NT_SUCCESS(status))
        throw std::runtime_error("pin did not open");
    return *m_pins.back();
}

void SystemStreamingTestbed::ClosePin(host::portcls::Pin& pin)
{
    for (const std::string& problem : pin.Close())
        ADD_FAILURE() << "at close: " << problem;
}

host::engine::StreamState SystemStreamingTestbed::Record(int device)
{
    auto state = Engine().Stream(0, static_cast<ULONG>(device - 1), 0);
    return state ? *state : host::engine::StreamState{};
}

} // namespace nuvtest
