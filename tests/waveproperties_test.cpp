// The two property handlers of the wave filter, called with requests built
// the way the port class library builds them.
#include "wave/waveproperties.h"
#include "wave/wavetables.h"

#include "host/kernel/hostkernel.h"
#include "tests/support/waveminiporttestbed.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

namespace
{

class WavePropertyTest : public testing::Test
{
protected:
    void SetUp() override
    {
        host::ResetKernelState();
        ASSERT_EQ(wave_.Create(), STATUS_SUCCESS);
        ASSERT_EQ(wave_.Init(), STATUS_SUCCESS);
    }

    // A request for the item the automation tables route, with a value
    // buffer of `size` bytes (none for size 0 unless `buffer` is given).
    PCPROPERTY_REQUEST Request(const PCAUTOMATION_TABLE& table, ULONG verb, ULONG size,
                               void* buffer)
    {
        PCPROPERTY_REQUEST request{};
        request.MajorTarget = wave_.Interface();
        request.Node = &table == &DacNodeAutomation ? WAVE_NODE_DAC : ULONG(-1);
        request.PropertyItem = &table.Properties[0];
        request.Verb = verb;
        request.ValueSize = size;
        request.Value = buffer;
        return request;
    }

    NTSTATUS SetMask(ULONG mask, ULONG size = sizeof(KSAUDIO_CHANNEL_CONFIG),
                     ULONG verb = KSPROPERTY_TYPE_SET)
    {
        std::array<std::uint8_t, 8> value{};
        std::memcpy(value.data(), &mask, sizeof(mask));
        PCPROPERTY_REQUEST request = Request(DacNodeAutomation, verb, size, value.data());
        NTSTATUS status = SetChannelConfig(&request);
        EXPECT_EQ(request.ValueSize, size) << "ValueSize is never changed";
        return status;
    }

    USHORT Channels() const { return wave_.object->ChannelCount(); }

    nuvtest::WaveMiniportTestbed wave_;
};

TEST_F(WavePropertyTest, ChannelConfigMasksSetTheirCounts)
{
    struct Case
    {
        ULONG mask;
        USHORT channels;
        const char* layout;
    };
    const Case cases[] = {
        {0xFF, 8, "7.1"},       {0x63F, 8, "7.1 surround"}, {0x70F, 7, "6.1 with sides"},
        {0x3F, 6, "5.1"},       {0x60F, 6, "5.1 surround"}, {0x33, 4, "quad"},
        {0x107, 4, "surround"}, {0x3, 2, "stereo"},
    };
    EXPECT_EQ(Channels(), 2) << "after Init";
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.layout);
        EXPECT_EQ(SetMask(c.mask), STATUS_SUCCESS);
        EXPECT_EQ(Channels(), c.channels);
    }
}

TEST_F(WavePropertyTest, ChannelConfigRefusalsKeepThePreviousCount)
{
    ASSERT_EQ(SetMask(0x60F), STATUS_SUCCESS);
    ASSERT_EQ(Channels(), 6);

    EXPECT_EQ(SetMask(0x7), STATUS_INVALID_PARAMETER) << "three front speakers: not listed";
    EXPECT_EQ(SetMask(0x0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetMask(0xFFFFFFFF), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetMask(0x33, 3), STATUS_INVALID_PARAMETER) << "3-byte value";
    EXPECT_EQ(SetMask(0x33, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetMask(0x33, 4, KSPROPERTY_TYPE_GET), STATUS_INVALID_PARAMETER) << "GET";

    PCPROPERTY_REQUEST noBuffer = Request(DacNodeAutomation, KSPROPERTY_TYPE_SET, 4, nullptr);
    EXPECT_EQ(SetChannelConfig(&noBuffer), STATUS_INVALID_PARAMETER);

    EXPECT_EQ(Channels(), 6);
    EXPECT_EQ(SetMask(0x33, 8), STATUS_SUCCESS) << "a larger buffer is fine";
    EXPECT_EQ(Channels(), 4);
}

TEST_F(WavePropertyTest, ChannelConfigSendsNothingToTheEngine)
{
    wave_.engine.ClearCommands();
    ASSERT_EQ(SetMask(0x3F), STATUS_SUCCESS);
    EXPECT_TRUE(wave_.engine.Commands().empty());
}

TEST_F(WavePropertyTest, ChannelConfigSteersIntersectionsWithoutWdm60)
{
    host::SetWdm60Available(false);
    ASSERT_EQ(SetMask(KSAUDIO_SPEAKER_QUAD), STATUS_SUCCESS);

    KSDATARANGE_AUDIO client = WavePcmDataRangeMulti;
    std::array<std::uint8_t, 104> result{};
    ULONG length = 0;
    ASSERT_EQ(wave_.miniport->DataRangeIntersection(
                  WAVE_PIN_RENDER, &client.DataRange,
                  const_cast<PKSDATARANGE>(&WavePcmDataRangeMulti.DataRange), result.size(),
                  result.data(), &length),
              STATUS_SUCCESS);
    USHORT channels;
    std::memcpy(&channels, result.data() + 64 + 2, sizeof(channels));
    EXPECT_EQ(channels, 4);
}

class ComponentIdTest : public WavePropertyTest
{
protected:
    // Calls GetComponentId with `size` bytes of a buffer of `capacity`,
    // filled with 0xEE, and keeps the buffer for inspection.
    NTSTATUS Get(ULONG verb, ULONG size, ULONG capacity = 0)
    {
        buffer_.assign(std::max(size, capacity), 0xEE);
        request_ =
            Request(WaveFilterAutomation, verb, size, buffer_.empty() ? nullptr : buffer_.data());
        return GetComponentId(&request_);
    }

    std::vector<std::uint8_t> buffer_;
    PCPROPERTY_REQUEST request_{};
};

TEST_F(ComponentIdTest, GetOfExactly72BytesReturnsTheIdentifier)
{
    ASSERT_EQ(Get(KSPROPERTY_TYPE_GET, 72), STATUS_SUCCESS);
    EXPECT_EQ(request_.ValueSize, 72u);
    KSCOMPONENTID id;
    std::memcpy(&id, buffer_.data(), sizeof(id));
    EXPECT_EQ(std::memcmp(&id, &WaveComponentId, sizeof(id)), 0);
    EXPECT_EQ(id.Version, 1u);
    EXPECT_EQ(id.Revision, 2u);
    EXPECT_EQ(id.Manufacturer.Data1, 0xD5A47FA8u);
}

TEST_F(ComponentIdTest, GetSizes)
{
    struct Case
    {
        ULONG size;
        NTSTATUS status;
        ULONG sizeAfter;
        const char* rule;
    };
    const Case cases[] = {
        {0, STATUS_BUFFER_OVERFLOW, 72, "size query learns 72"},
        {1, STATUS_INVALID_PARAMETER, 0, "too small"},
        {71, STATUS_INVALID_PARAMETER, 0, "one byte short"},
        {72, STATUS_SUCCESS, 72, "exact"},
        {73, STATUS_INVALID_PARAMETER, 0, "one byte over"},
        {80, STATUS_INVALID_PARAMETER, 0, "larger buffers are refused too"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.rule);
        EXPECT_EQ(Get(KSPROPERTY_TYPE_GET, c.size), c.status);
        EXPECT_EQ(request_.ValueSize, c.sizeAfter);
        if (c.status != STATUS_SUCCESS)
        {
            for (std::uint8_t byte : buffer_)
                ASSERT_EQ(byte, 0xEE) << "a refused GET writes nothing";
        }
    }

    request_ = Request(WaveFilterAutomation, KSPROPERTY_TYPE_GET, 72, nullptr);
    EXPECT_EQ(GetComponentId(&request_), STATUS_INVALID_PARAMETER) << "no buffer";
    EXPECT_EQ(request_.ValueSize, 0u);
}

TEST_F(ComponentIdTest, BasicSupportAnswersOnlyTheAccessFlags)
{
    struct Case
    {
        ULONG size;
        NTSTATUS status;
        ULONG sizeAfter;
    };
    const Case cases[] = {
        {0, STATUS_BUFFER_OVERFLOW, 40}, {1, STATUS_BUFFER_TOO_SMALL, 0},
        {3, STATUS_BUFFER_TOO_SMALL, 0}, {4, STATUS_SUCCESS, 4},
        {40, STATUS_SUCCESS, 4},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.size);
        EXPECT_EQ(Get(KSPROPERTY_TYPE_BASICSUPPORT, c.size), c.status);
        EXPECT_EQ(request_.ValueSize, c.sizeAfter);
        if (c.status == STATUS_SUCCESS)
        {
            ULONG flags;
            std::memcpy(&flags, buffer_.data(), sizeof(flags));
            EXPECT_EQ(flags, 0x201u);
            for (std::size_t i = 4; i < buffer_.size(); ++i)
                ASSERT_EQ(buffer_[i], 0xEE) << "byte " << i << " of a description written";
        }
    }
}

TEST_F(ComponentIdTest, OtherPropertyIdsAndVerbs)
{
    PCPROPERTY_ITEM other = WaveFilterAutomation.Properties[0];
    other.Id = 1;
    buffer_.assign(72, 0xEE);
    request_ = Request(WaveFilterAutomation, KSPROPERTY_TYPE_GET, 72, buffer_.data());
    request_.PropertyItem = &other;
    EXPECT_EQ(GetComponentId(&request_), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(request_.ValueSize, 72u) << "unchanged";

    // A verb without GET at the right size succeeds and writes nothing.
    EXPECT_EQ(Get(KSPROPERTY_TYPE_SET, 72), STATUS_SUCCESS);
    for (std::uint8_t byte : buffer_)
        ASSERT_EQ(byte, 0xEE);
}

TEST_F(WavePropertyTest, HandlersArePageable)
{
    host::ViolationCapture capture;
    {
        host::ScopedIrql atDispatch(DISPATCH_LEVEL);
        SetMask(0x3);
        std::array<std::uint8_t, 72> value{};
        PCPROPERTY_REQUEST request =
            Request(WaveFilterAutomation, KSPROPERTY_TYPE_GET, value.size(), value.data());
        GetComponentId(&request);
    }
    EXPECT_TRUE(capture.Contains(host::ViolationKind::IrqlViolation, "SetChannelConfig"));
    EXPECT_TRUE(capture.Contains(host::ViolationKind::IrqlViolation, "GetComponentId"));
}

} // namespace
