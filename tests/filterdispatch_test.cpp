// Requests a client makes on the driver's filters, through the library's
// property and data-range intersection dispatch, on the subdevices the
// driver's own start registered: what reaches the handlers and what the
// library answers itself, with every buffer exactly as long as the client
// says.
#include "adapter/adapter.h"
#include "host/kernel/hostkernel.h"
#include "host/portcls/filterdispatch.h"
#include "host/portcls/portclass.h"
#include "tests/support/startedadapter.h"
#include "tests/support/waveformats.h"
#include "topology/topotables.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace
{

using host::portcls::kFilterNode;
using host::portcls::PropertyRequest;
using host::portcls::PropertyResult;
using nuvtest::ReadAt;

constexpr ULONG kDacNode = 0;

// {D5A47FA8-6D98-11D1-A21A-00A0C9223196}
constexpr GUID kManufacturer = {
    0xD5A47FA8, 0x6D98, 0x11D1, {0xA2, 0x1A, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
// {E64F2B7F-A073-4B3D-9F1B-51499869A401}
constexpr GUID kProduct = {
    0xE64F2B7F, 0xA073, 0x4B3D, {0x9F, 0x1B, 0x51, 0x49, 0x98, 0x69, 0xA4, 0x01}};
// {B9A541A2-F146-4678-9EDA-232E07896E70}
constexpr GUID kComponentName = {
    0xB9A541A2, 0xF146, 0x4678, {0x9E, 0xDA, 0x23, 0x2E, 0x07, 0x89, 0x6E, 0x70}};

template <class T> std::vector<unsigned char> BytesOf(const T& value)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(&value);
    return {bytes, bytes + sizeof(T)};
}

// A value buffer of exactly `size` bytes on the heap.
struct Value
{
    explicit Value(ULONG size) : size(size), bytes(size != 0 ? new unsigned char[size]() : nullptr)
    {
    }
    ULONG size;
    std::unique_ptr<unsigned char[]> bytes;
};

class FilterDispatch : public nuvtest::StartedAdapter
{
protected:
    void TearDown() override
    {
        host::SetWdm60Available(true);
        nuvtest::StartedAdapter::TearDown();
    }

    PUNKNOWN Wave(int number)
    {
        return Port(u"NUV_Wave" + std::u16string(1, static_cast<char16_t>(u'0' + number)));
    }

    PropertyResult ComponentId(ULONG verb, Value& value)
    {
        return host::portcls::DispatchProperty(Wave(1),
                                               {KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID,
                                                verb, kFilterNode, value.bytes.get(), value.size});
    }

    PropertyResult ChannelConfig(int wave, ULONG verb, Value& value)
    {
        return host::portcls::DispatchProperty(Wave(wave),
                                               {KSPROPSETID_Audio, KSPROPERTY_AUDIO_CHANNEL_CONFIG,
                                                verb, kDacNode, value.bytes.get(), value.size});
    }

    static Value Speakers(ULONG mask)
    {
        Value value(sizeof(KSAUDIO_CHANNEL_CONFIG));
        std::memcpy(value.bytes.get(), &mask, sizeof(mask));
        return value;
    }

    // A PCM intersection on pin 0 with a full-size buffer.
    host::portcls::IntersectionResult Pcm(int wave, ULONG maxChannels)
    {
        return host::portcls::IntersectDataRanges(
            Wave(wave), 0, {BytesOf(nuvtest::PcmRange({.maxChannels = maxChannels}))}, 104);
    }
};

// --- the component identifier, on the filter --------------------------------------

TEST_F(FilterDispatch, ComponentIdGetAnswersTheIdentifier)
{
    Value value(sizeof(KSCOMPONENTID));
    const PropertyResult result = ComponentId(KSPROPERTY_TYPE_GET, value);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_TRUE(result.reachedHandler);
    ASSERT_EQ(result.valueSize, 72u);
    KSCOMPONENTID id;
    std::memcpy(&id, value.bytes.get(), sizeof(id));
    EXPECT_TRUE(IsEqualGUID(id.Manufacturer, kManufacturer));
    EXPECT_TRUE(IsEqualGUID(id.Product, kProduct));
    EXPECT_TRUE(IsEqualGUID(id.Component, GUID_NULL));
    EXPECT_TRUE(IsEqualGUID(id.Name, kComponentName));
    EXPECT_EQ(id.Version, 1u);
    EXPECT_EQ(id.Revision, 2u);
}

// Only exactly 72 bytes is a component identifier; a zero-length GET is the
// size query.
TEST_F(FilterDispatch, ComponentIdGetSizes)
{
    struct Case
    {
        ULONG size;
        NTSTATUS status;
        ULONG valueSize;
    };
    for (const Case& c :
         {Case{0, STATUS_BUFFER_OVERFLOW, 72}, Case{71, STATUS_INVALID_PARAMETER, 0},
          Case{73, STATUS_INVALID_PARAMETER, 0}, Case{80, STATUS_INVALID_PARAMETER, 0}})
    {
        SCOPED_TRACE(c.size);
        Value value(c.size);
        const PropertyResult result = ComponentId(KSPROPERTY_TYPE_GET, value);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.valueSize, c.valueSize);
    }
}

// The handler takes basic support itself (the item's flags route it there):
// 0 bytes learn 40, 1 to 3 are too small, 4 or more get the flags alone.
TEST_F(FilterDispatch, ComponentIdBasicSupportReachesTheHandler)
{
    struct Case
    {
        ULONG size;
        NTSTATUS status;
        ULONG valueSize;
    };
    for (const Case& c : {Case{0, STATUS_BUFFER_OVERFLOW, 40}, Case{1, STATUS_BUFFER_TOO_SMALL, 0},
                          Case{3, STATUS_BUFFER_TOO_SMALL, 0}, Case{4, STATUS_SUCCESS, 4},
                          Case{40, STATUS_SUCCESS, 4}})
    {
        SCOPED_TRACE(c.size);
        Value value(c.size);
        const PropertyResult result = ComponentId(KSPROPERTY_TYPE_BASICSUPPORT, value);
        EXPECT_TRUE(result.reachedHandler);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.valueSize, c.valueSize);
        if (c.status == STATUS_SUCCESS)
        {
            EXPECT_EQ(ReadAt<ULONG>(value.bytes.get(), 0), 0x201u);
        }
    }
}

TEST_F(FilterDispatch, AComponentIdSetNeverReachesTheHandler)
{
    Value value(sizeof(KSCOMPONENTID));
    const PropertyResult result = ComponentId(KSPROPERTY_TYPE_SET, value);
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_FALSE(result.reachedHandler);
    EXPECT_EQ(host::portcls::CallCount("property handler"), 0u);
}

TEST_F(FilterDispatch, UnknownPropertiesAndNodesAreRefusedByTheLibrary)
{
    Value value(sizeof(KSCOMPONENTID));
    void* bytes = value.bytes.get();
    EXPECT_EQ(host::portcls::GetProperty(Wave(1), KSPROPSETID_Audio, KSPROPERTY_GENERAL_COMPONENTID,
                                         kFilterNode, bytes, 72),
              STATUS_NOT_FOUND);
    EXPECT_EQ(host::portcls::GetProperty(Wave(1), KSPROPSETID_General, 1, kFilterNode, bytes, 72),
              STATUS_NOT_FOUND);
    // The DAC node has the channel configuration only.
    EXPECT_EQ(host::portcls::GetProperty(Wave(1), KSPROPSETID_General,
                                         KSPROPERTY_GENERAL_COMPONENTID, kDacNode, bytes, 72),
              STATUS_NOT_FOUND);
    EXPECT_EQ(host::portcls::GetProperty(Wave(1), KSPROPSETID_General,
                                         KSPROPERTY_GENERAL_COMPONENTID, 1, bytes, 72),
              STATUS_INVALID_PARAMETER);
    // The topology filter has no properties at all.
    EXPECT_EQ(host::portcls::GetProperty(Port(u"NUV_Mixer1"), KSPROPSETID_General,
                                         KSPROPERTY_GENERAL_COMPONENTID, kFilterNode, bytes, 72),
              STATUS_NOT_FOUND);
    EXPECT_EQ(host::portcls::CallCount("property handler"), 0u);
}

// --- the channel configuration, on the DAC node ------------------------------------

// Without WDM 6.0 the PCM intersection offers the channel count the
// configuration chose (2 until a client sets one), bounded by the client's.
TEST_F(FilterDispatch, AChannelConfigurationSetIsWhatLaterIntersectionsOffer)
{
    host::SetWdm60Available(false);
    auto before = Pcm(1, 8);
    ASSERT_EQ(before.status, STATUS_SUCCESS);
    EXPECT_EQ(ReadAt<USHORT>(before.format.data(), 66), 2u);

    Value fivePointOneSurround = Speakers(0x60F);
    const PropertyResult set = ChannelConfig(1, KSPROPERTY_TYPE_SET, fivePointOneSurround);
    EXPECT_EQ(set.status, STATUS_SUCCESS);
    EXPECT_TRUE(set.reachedHandler);

    auto after = Pcm(1, 8);
    ASSERT_EQ(after.status, STATUS_SUCCESS);
    EXPECT_EQ(ReadAt<USHORT>(after.format.data(), 66), 6u);
    EXPECT_EQ(ReadAt<ULONG>(after.format.data(), 84), 0x3Fu);
    // The setting is the filter's own: another wave filter still offers 2.
    EXPECT_EQ(ReadAt<USHORT>(Pcm(2, 8).format.data(), 66), 2u);
}

TEST_F(FilterDispatch, AChannelConfigurationGetNeverReachesTheHandler)
{
    Value value = Speakers(0x3);
    const PropertyResult result = ChannelConfig(1, KSPROPERTY_TYPE_GET, value);
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_FALSE(result.reachedHandler);
}

TEST_F(FilterDispatch, TheHandlerRefusesAShortValueAndAnUnlistedMask)
{
    Value threeBytes(3);
    PropertyResult result = ChannelConfig(1, KSPROPERTY_TYPE_SET, threeBytes);
    EXPECT_TRUE(result.reachedHandler);
    EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER);

    Value threeFront = Speakers(0x7);
    result = ChannelConfig(1, KSPROPERTY_TYPE_SET, threeFront);
    EXPECT_TRUE(result.reachedHandler);
    EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER);
}

// The item has no basic-support flag: the library answers from its flags.
TEST_F(FilterDispatch, TheLibraryAnswersBasicSupportOfTheChannelConfiguration)
{
    Value none(0);
    PropertyResult result = ChannelConfig(1, KSPROPERTY_TYPE_BASICSUPPORT, none);
    EXPECT_EQ(result.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result.valueSize, 40u);

    Value two(2);
    EXPECT_EQ(ChannelConfig(1, KSPROPERTY_TYPE_BASICSUPPORT, two).status, STATUS_BUFFER_TOO_SMALL);

    Value flags(4);
    result = ChannelConfig(1, KSPROPERTY_TYPE_BASICSUPPORT, flags);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.valueSize, 4u);
    EXPECT_EQ(ReadAt<ULONG>(flags.bytes.get(), 0),
              ULONG{KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT});

    Value whole(sizeof(KSPROPERTY_DESCRIPTION));
    result = ChannelConfig(1, KSPROPERTY_TYPE_BASICSUPPORT, whole);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.valueSize, 40u);
    KSPROPERTY_DESCRIPTION description;
    std::memcpy(&description, whole.bytes.get(), sizeof(description));
    EXPECT_EQ(description.AccessFlags, ULONG{KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT});
    EXPECT_EQ(description.DescriptionSize, 40u);
    EXPECT_EQ(description.MembersListCount, 0u);
    EXPECT_FALSE(result.reachedHandler);
}

// --- data-range intersection ------------------------------------------------------------

TEST_F(FilterDispatch, APcmIntersectionProposesTheEnginesRate)
{
    Engine().SetSampleRate(96000);
    const auto result = Pcm(1, 2);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_FALSE(result.byDefaultHandler);
    ASSERT_EQ(result.length, 104u);
    ASSERT_EQ(result.format.size(), 104u);
    const unsigned char* format = result.format.data();
    EXPECT_EQ(ReadAt<ULONG>(format, 0), 104u);                     // FormatSize
    EXPECT_EQ(ReadAt<USHORT>(format, 64), WAVE_FORMAT_EXTENSIBLE); // wFormatTag
    EXPECT_EQ(ReadAt<USHORT>(format, 66), 2u);                     // nChannels
    EXPECT_EQ(ReadAt<ULONG>(format, 68), Engine().SampleRate());   // nSamplesPerSec
    EXPECT_EQ(ReadAt<ULONG>(format, 84), 0x3u);                    // dwChannelMask
}

TEST_F(FilterDispatch, APcmIntersectionFollowsTheTwoCallProtocol)
{
    const std::vector<std::vector<unsigned char>> client = {BytesOf(nuvtest::PcmRange({}))};
    auto sizeQuery = host::portcls::IntersectDataRanges(Wave(1), 0, client, 0);
    EXPECT_EQ(sizeQuery.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(sizeQuery.length, 104u);
    EXPECT_EQ(host::portcls::IntersectDataRanges(Wave(1), 0, client, 103).status,
              STATUS_BUFFER_TOO_SMALL);
}

TEST_F(FilterDispatch, TheSixChannelFilterOffersSixToAnEightChannelClient)
{
    host::SetWdm60Available(true);
    const auto result = Pcm(4, 8);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(ReadAt<USHORT>(result.format.data(), 66), 6u);
    EXPECT_EQ(ReadAt<ULONG>(result.format.data(), 84), 0x3Fu);
    // A stereo filter's range bounds the same client to two.
    EXPECT_EQ(ReadAt<USHORT>(Pcm(3, 8).format.data(), 66), 2u);
}

// The library pairs ranges by their GUIDs before the miniport sees them.
TEST_F(FilterDispatch, RangesOfAnotherSubformatNeverReachTheMiniport)
{
    const auto ac3 =
        BytesOf(nuvtest::AudioRange(nuvtest::WaveSubFormat(WAVE_FORMAT_DOLBY_AC3_SPDIF), {}));
    auto alone = host::portcls::IntersectDataRanges(Wave(1), 0, {ac3}, 104);
    EXPECT_EQ(alone.status, STATUS_NO_MATCH);
    EXPECT_EQ(host::portcls::CallCount("data-range intersection"), 0u);

    auto second =
        host::portcls::IntersectDataRanges(Wave(1), 0, {ac3, BytesOf(nuvtest::PcmRange({}))}, 104);
    EXPECT_EQ(second.status, STATUS_SUCCESS);
    EXPECT_EQ(host::portcls::CallCount("data-range intersection"), 1u);
}

// The topology miniport declines every intersection; the library's default
// answers with the pin's own range as the format.
TEST_F(FilterDispatch, TopologyPinsFallBackToTheLibrarysDefault)
{
    const std::vector<std::vector<unsigned char>> analog = {BytesOf(TopologyBridgeDataRange)};
    const auto result = host::portcls::IntersectDataRanges(Port(u"NUV_Mixer1"), 0, analog, 64);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_TRUE(result.byDefaultHandler);
    EXPECT_EQ(result.length, 64u);
    EXPECT_EQ(result.format, BytesOf(TopologyBridgeDataRange));

    auto sizeQuery = host::portcls::IntersectDataRanges(Port(u"NUV_Mixer1"), 3, analog, 0);
    EXPECT_EQ(sizeQuery.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(sizeQuery.length, 64u);
    EXPECT_EQ(host::portcls::IntersectDataRanges(Port(u"NUV_Mixer1"), 3, analog, 63).status,
              STATUS_BUFFER_TOO_SMALL);
}

TEST_F(FilterDispatch, MalformedIntersectionRequestsAreRefused)
{
    auto pcm = BytesOf(nuvtest::PcmRange({}));
    EXPECT_EQ(host::portcls::IntersectDataRanges(Wave(1), 2, {pcm}, 104).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(host::portcls::IntersectDataRanges(Wave(1), 0, {}, 104).status,
              STATUS_INVALID_PARAMETER);
    auto longer = pcm;
    longer.push_back(0);
    EXPECT_EQ(host::portcls::IntersectDataRanges(Wave(1), 0, {longer}, 104).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(host::portcls::IntersectDataRanges(Wave(1), 0, {{1, 2, 3}}, 104).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(host::portcls::CallCount("data-range intersection"), 0u);
}

// --- the library's default on its own -------------------------------------------------

TEST(DefaultDataRangeIntersection, FillsThePinsWildcardsFromTheClient)
{
    KSDATARANGE pin = TopologyBridgeDataRange;
    pin.SubFormat = GUID_NULL;
    KSDATARANGE client = TopologyBridgeDataRange;
    KSDATAFORMAT result{};
    ULONG length = 0;
    ASSERT_EQ(
        host::portcls::DefaultDataRangeIntersection(client, pin, sizeof(result), &result, &length),
        STATUS_SUCCESS);
    EXPECT_EQ(length, 64u);
    EXPECT_TRUE(IsEqualGUID(result.SubFormat, KSDATAFORMAT_SUBTYPE_ANALOG));

    // An extended range is not the default's to answer, nor other GUIDs.
    KSDATARANGE_AUDIO audio = nuvtest::PcmRange({});
    EXPECT_EQ(host::portcls::DefaultDataRangeIntersection(client, audio.DataRange, sizeof(result),
                                                          &result, &length),
              STATUS_NO_MATCH);
    client.MajorFormat = KSDATAFORMAT_SUBTYPE_PCM;
    EXPECT_EQ(
        host::portcls::DefaultDataRangeIntersection(client, pin, sizeof(result), &result, &length),
        STATUS_NO_MATCH);
}

} // namespace
