// The fixture for unit tests of one wave stream on fake ports: the engine
// model, a wave miniport initialised on a fake WavePci port, one stream on a
// fake port stream that hands out the mappings the test queues, and the
// peer that reads the stream's transfer state. Nothing runs unless the test
// calls it. (Streams on the whole host platform: systemstreaming.h.)
//
//     TEST_F(StreamOnFakePortsTestbed, MovesOnePeriod)
//     {
//         Engine().SetPeriodFrames(4);
//         ASSERT_EQ(CreateStream({.channels = 2, .bits = 16}), STATUS_SUCCESS);
//         ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
//         PortStream().QueueMapping(Bytes(16, 0x11));
//         RunService();                          // at DISPATCH_LEVEL, as the port does
//         EXPECT_EQ(Peer().CompletedBytes(), 16u);
//     }
//
// TearDown releases the stream and the miniport, then fails the test if pool
// of the tags 'PcCr' or 'wVUN' is left, a service group is alive, the fakes
// hold references, a mapping stays outstanding (unless the test said it
// may), or any engine command was sent with a spin lock held.
#pragma once

#include "engine/engineinterface.h"
#include "host/engine/engine.h"
#include "stream/minstream.h"
#include "tests/support/fakeportstream.h"
#include "tests/support/fakeportwavepci.h"
#include "tests/support/streamtestpeer.h"
#include "tests/support/waveformats.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace nuvtest
{

class StreamOnFakePortsTestbed : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    host::engine::Engine& Engine() { return engine_; }
    FakePortWavePci& WavePort() { return wavePort_; }
    FakePortStream& PortStream() { return portStream_; }
    CMiniportWavePci* Miniport() { return miniport_; }
    CMiniportWavePciStream* Stream() { return stream_; }
    CMiniportWavePciStreamTestPeer Peer() { return CMiniportWavePciStreamTestPeer(stream_); }
    PSERVICEGROUP ServiceGroup() { return serviceGroup_; }

    // A data format the test keeps alive as long as the fixture (the stream
    // keeps a pointer to its format).
    PKSDATAFORMAT Format(WaveFields fields, USHORT subFormatTag = WAVE_FORMAT_PCM);

    // Creates and initialises a stream, as NewStream does; on success the
    // fixture holds it (and the service group Init handed out).
    NTSTATUS CreateStream(WaveFields fields, bool capture = false, ULONG pin = 0,
                          USHORT subFormatTag = WAVE_FORMAT_PCM);
    // Releases the stream now (destruction), and the fixture's group.
    void ReleaseStream();

    // Service, MappingAvailable and EngineNotify at DISPATCH_LEVEL.
    void RunService();
    void RunMappingAvailable();
    void RunEngineNotify(ULONG capture, ULONG pin);

    // The bytes of the transfer buffer the engine has attached for the
    // stream on (capture, this miniport's device, pin); empty if none.
    std::vector<std::uint8_t> AttachedBuffer(bool capture = false, ULONG pin = 0);
    static constexpr ULONG kDeviceIndex = 1;

    // The library's service groups (which Init creates) alive now and not
    // before the test.
    std::size_t LiveServiceGroups() const;

    // The test takes mappings away or strands them on purpose.
    void AllowOutstandingMappings() { allowOutstanding_ = true; }

private:
    host::engine::Engine engine_;
    ENGINE_INTERFACE record_{};
    FakePortWavePci wavePort_;
    FakePortStream portStream_;
    CMiniportWavePci* miniport_ = nullptr;
    CMiniportWavePciStream* stream_ = nullptr;
    PSERVICEGROUP serviceGroup_ = nullptr;
    std::vector<std::unique_ptr<GuardedBytes>> formats_;
    bool allowOutstanding_ = false;
    std::size_t groupsAtSetUp_ = 0;
};

// `count` bytes counting up from `first`.
std::vector<std::uint8_t> Ramp(std::size_t count, std::uint8_t first = 1);

} // namespace nuvtest
