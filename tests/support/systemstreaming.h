// The fixture for end-to-end streaming tests: a whole host system (companion
// driver and engine, port class library, the audio driver) started, a
// virtual clock on its engine, and pins opened on its wave filters the way
// a client opens them. (One stream on fake ports: streamonfakeports.h.)
//
//     TEST_F(SystemStreamingTestbed, PlaysOnePeriod)
//     {
//         auto& pin = OpenPin(1, {.channels = 2, .bits = 16});
//         pin.Write(Samples(...));
//         ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
//         Clock().AdvancePeriods(1);
//         EXPECT_EQ(Played(1), Containers(...));
//     }
//
// TearDown closes every pin still open, then fails the test if a pin closed
// with problems, a service group is alive, a mapping is outstanding, or the
// system's shutdown found pool of 'PcCr' or 'wVUN' or any other violation.
#pragma once

#include "host/engine/clock.h"
#include "host/portcls/pin.h"
#include "host/test/support/clientsamples.h"
#include "tests/support/adaptertestbed.h"
#include "tests/support/waveformats.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace nuvtest
{

class SystemStreamingTestbed : public AdapterTestbed
{
protected:
    void SetUp() override;
    void TearDown() override;

    // The engine's period, set before the device starts (streams read it
    // when they are created).
    virtual ULONG PeriodFrames() const { return 64; }

    host::engine::VirtualClock& Clock() { return *m_clock; }
    // The miniport of NUV_Wave<device> (1 to 4).
    PMINIPORTWAVEPCI WaveMiniport(int device);

    // Opens pin 0 of NUV_Wave<device>; the fixture keeps the pin.
    host::portcls::Pin& OpenPin(int device, WaveFields fields,
                                host::portcls::PinOptions options = {});
    NTSTATUS TryOpenPin(int device, ULONG pinId, const std::vector<std::uint8_t>& format,
                        host::portcls::PinOptions options = {});
    // Closes a pin now and expects no problem.
    void ClosePin(host::portcls::Pin& pin);

    // The engine's record of render pin 0 of NUV_Wave<device>.
    host::engine::StreamState Record(int device);
    std::vector<std::uint8_t> Played(int device) { return Record(device).output; }

private:
    std::unique_ptr<host::engine::VirtualClock> m_clock;
    std::vector<std::unique_ptr<host::portcls::Pin>> m_pins;
};

} // namespace nuvtest
