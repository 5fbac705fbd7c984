// What the plugin offers ALSA clients comes from the driver on a real host
// system, asked as a client asks: it follows the pin's data range, the
// driver's format check and the engine, and each refusal says why.
#include "tools/alsa/formatoffer.h"

#include "adapter/adapter.h"
#include "tools/alsa/hostdevice.h"

#include "host/kernel/conduct.h"

#include <gtest/gtest.h>

#include <functional>

namespace
{

using nuvalsa::AskPin;
using nuvalsa::DeviceOffer;
using nuvalsa::HostDevice;
using nuvalsa::StreamShape;

// A started host system for `device`, checked for leaks and violations when
// the test is done with it.
class OfferTest : public ::testing::Test
{
protected:
    HostDevice& Start(int device, const std::function<void(HostDevice&)>& configure = {})
    {
        std::string error;
        m_host = HostDevice::Start(device, 480, host::DriverBinary{DriverEntry, nullptr}, error);
        EXPECT_TRUE(m_host) << error;
        if (m_host && configure)
            configure(*m_host);
        return *m_host;
    }
    void TearDown() override
    {
        if (m_host)
        {
            for (const std::string& problem : m_host->Shutdown())
                ADD_FAILURE() << problem;
        }
        EXPECT_EQ(m_capture.Count(), 0u) << "violations of the driver's conduct";
    }

    host::ViolationCapture m_capture;
    std::unique_ptr<HostDevice> m_host;
};

TEST_F(OfferTest, StereoDeviceOffersWhatItsDriverAccepts)
{
    HostDevice& host = Start(1);
    const DeviceOffer offer = nuvalsa::ProbeOffer(host.WavePort(), host.Miniport());
    EXPECT_EQ(offer.formats,
              (std::vector<snd_pcm_format_t>{SND_PCM_FORMAT_S16_LE, SND_PCM_FORMAT_S24_3LE,
                                             SND_PCM_FORMAT_S32_LE}));
    EXPECT_EQ(offer.channels, (std::vector<unsigned>{2}));
    EXPECT_EQ(offer.rates, (std::vector<unsigned>{44100, 48000, 88200, 96000}));
    EXPECT_EQ(offer.accepted.size(), 3u * 4u) << "every combination opened";
    EXPECT_EQ(offer.FrameSizes(), (std::vector<unsigned>{4, 6, 8}));
    EXPECT_EQ(nuvalsa::Describe(offer),
              "S16_LE S24_3LE S32_LE; 2 channels; 44100 48000 88200 96000 Hz");
}

// The driver's format check takes 3 and 5 channels, but the filter has no
// channel mask to propose for them, so a client never asks.
TEST_F(OfferTest, SixChannelDeviceOffersTheCountsItsFilterProposes)
{
    HostDevice& host = Start(4);
    const DeviceOffer offer = nuvalsa::ProbeOffer(host.WavePort(), host.Miniport());
    EXPECT_EQ(offer.channels, (std::vector<unsigned>{2, 4, 6}));
    EXPECT_EQ(offer.FrameSizes(), (std::vector<unsigned>{4, 6, 8, 12, 16, 18, 24}));
    EXPECT_TRUE(offer.Accepts({SND_PCM_FORMAT_S24_3LE, 6, 44100}));
    EXPECT_FALSE(offer.Accepts({SND_PCM_FORMAT_S24_3LE, 5, 44100}));
}

// Not a list: an engine that runs at two rates only, or refuses every
// format, changes what is offered.
TEST_F(OfferTest, FollowsTheEngine)
{
    HostDevice& host = Start(1,
                             [](HostDevice& h) {
                                 h.Engine().SetSupportedRates({44100, 96000});
                             });
    EXPECT_EQ(nuvalsa::ProbeOffer(host.WavePort(), host.Miniport()).rates,
              (std::vector<unsigned>{44100, 96000}));
    host.Engine().SetFormatResult(static_cast<ULONG>(STATUS_UNSUCCESSFUL));
    EXPECT_TRUE(nuvalsa::ProbeOffer(host.WavePort(), host.Miniport()).Empty());
}

TEST_F(OfferTest, SaysWhyEachShapeIsRefused)
{
    HostDevice& host = Start(1);
    const struct
    {
        StreamShape shape;
        const char* reason;
    } cases[] = {
        {{SND_PCM_FORMAT_S16_LE, 6, 48000},
         "the filter proposes 2 channels for a client asking 6 (pin 0's data range)"},
        {{SND_PCM_FORMAT_S16_LE, 1, 48000},
         "the filter has no format for it (data-range intersection: STATUS_NO_MATCH)"},
        {{SND_PCM_FORMAT_FLOAT_LE, 2, 48000},
         "the filter has no format for it (data-range intersection: STATUS_NO_MATCH)"},
        {{SND_PCM_FORMAT_U8, 2, 48000},
         "the driver refused to open the pin with it (STATUS_INVALID_PARAMETER)"},
        {{SND_PCM_FORMAT_S16_LE, 2, 22050},
         "the driver refused to open the pin with it (STATUS_INVALID_PARAMETER)"},
        {{SND_PCM_FORMAT_S24_LE, 2, 48000}, "the format has no WAVEFORMATEXTENSIBLE form"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(nuvalsa::Describe(c.shape));
        const nuvalsa::PinAnswer answer = AskPin(host.WavePort(), host.Miniport(), c.shape, true);
        EXPECT_FALSE(answer.accepted);
        EXPECT_EQ(answer.reason, c.reason);
        EXPECT_FALSE(answer.pin) << "a refused shape leaves no pin open";
    }
}

TEST_F(OfferTest, KeepsTheAcceptedPinOpenWithTheClientsFormat)
{
    HostDevice& host = Start(4);
    nuvalsa::PinAnswer answer =
        AskPin(host.WavePort(), host.Miniport(), {SND_PCM_FORMAT_S24_3LE, 6, 44100}, true);
    ASSERT_TRUE(answer.accepted) << answer.reason;
    ASSERT_TRUE(answer.pin);
    EXPECT_EQ(answer.proposal, "6 channels, 32-bit containers (24 valid), 48000 Hz")
        << "the filter proposes the engine's rate and its containers; the client opens with its "
           "own";
    ASSERT_EQ(answer.format.size(), 104u);
    const auto* wave =
        reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(answer.format.data() + sizeof(KSDATAFORMAT));
    EXPECT_EQ(wave->Format.wBitsPerSample, 24);
    EXPECT_EQ(wave->Format.nSamplesPerSec, 44100u);
    EXPECT_EQ(wave->dwChannelMask, static_cast<DWORD>(KSAUDIO_SPEAKER_5POINT1));
    EXPECT_EQ(host.Engine().SampleRate(), 44100u) << "the open set the engine's rate";
    EXPECT_TRUE(answer.pin->Close().empty());
}

} // namespace
