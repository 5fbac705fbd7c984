// The host's platform headers against the values the Windows image is built
// with: GUID bytes as they lie in memory, the GUID templates the headers build
// identifiers from, and the constant-table forms driver sources rely on.
#include <ntddk.h>
#include <portcls.h>
#include <ksmedia.h>
#include <punknown.h>

#include "host/kernel/guidstring.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

namespace
{

using GuidBytes = std::array<unsigned char, 16>;

GuidBytes BytesOf(const GUID& guid)
{
    GuidBytes bytes{};
    std::memcpy(bytes.data(), &guid, sizeof(guid));
    return bytes;
}

// Without the braces, as the published values below are written.
std::string Canonical(const GUID& g)
{
    const std::string braced = host::GuidString(g);
    return braced.substr(1, braced.size() - 2);
}

// Speaker configurations the driver reports and matches channel masks against.
static_assert(KSAUDIO_SPEAKER_STEREO == 0x3);
static_assert(KSAUDIO_SPEAKER_QUAD == 0x33);
static_assert(KSAUDIO_SPEAKER_SURROUND == 0x107);
static_assert(KSAUDIO_SPEAKER_5POINT1 == 0x3F);
static_assert(KSAUDIO_SPEAKER_5POINT1_SURROUND == 0x60F);
static_assert(KSAUDIO_SPEAKER_7POINT1 == 0xFF);
static_assert(KSAUDIO_SPEAKER_7POINT1_SURROUND == 0x63F);
static_assert(WAVE_FORMAT_DOLBY_AC3_SPDIF == 0x0092 && WAVE_FORMAT_WMASPDIF == 0x0164 &&
              WAVE_FORMAT_DTS == 0x0008 && WAVE_FORMAT_EXTENSIBLE == 0xFFFE);

// The forms driver tables use: addresses of named GUIDs and brace
// initialisers from the STATIC_ value lists, all constant-initialised.
constexpr KSDATARANGE_AUDIO kPcmRange = {{{sizeof(KSDATARANGE_AUDIO),
                                           0,
                                           0,
                                           0,
                                           {STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO)},
                                           {STATICGUIDOF(KSDATAFORMAT_SUBTYPE_PCM)},
                                           {STATICGUIDOF(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)}}},
                                         8,
                                         16,
                                         32,
                                         44100,
                                         192000};
constexpr GUID kAc3SpdifSubFormat = {DEFINE_WAVEFORMATEX_GUID(WAVE_FORMAT_DOLBY_AC3_SPDIF)};
const PCNODE_DESCRIPTOR kNodes[] = {
    {0, NULL, &KSNODETYPE_DAC, NULL},
    {0, NULL, &KSNODETYPE_VOLUME, &KSAUDFNAME_MASTER_VOLUME},
};
const GUID kCategories[] = {{STATICGUIDOF(KSCATEGORY_AUDIO)}, {STATICGUIDOF(KSCATEGORY_RENDER)}};

NTSTATUS NTAPI UnusedHandler(PPCPROPERTY_REQUEST)
{
    return STATUS_SUCCESS;
}
const PCPROPERTY_ITEM kProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CHANNEL_CONFIG, PCPROPERTY_ITEM_FLAG_GET, UnusedHandler},
    {&KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, PCPROPERTY_ITEM_FLAG_GET, UnusedHandler},
};
DEFINE_PCAUTOMATION_TABLE_PROP(kAutomation, kProperties);

} // namespace

TEST(PlatformHeaders, GuidBytesInMemory)
{
    struct Case
    {
        const char* name;
        const GUID& guid;
        GuidBytes bytes;
    };
    const Case cases[] = {
        // The kernel's IUnknown, {00000000-0000-0000-0000-C00000000046}.
        {"IID_IUnknown",
         IID_IUnknown,
         {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00,
          0x46}},
        {"KSDATAFORMAT_TYPE_AUDIO",
         KSDATAFORMAT_TYPE_AUDIO,
         {0x61, 0x75, 0x64, 0x73, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B,
          0x71}},
        {"CLSID_PortWavePci",
         CLSID_PortWavePci,
         {0x54, 0x0A, 0xC9, 0xB4, 0x91, 0x57, 0xD0, 0x11, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5,
          0x44}},
        {"IID_IPortEvents",
         IID_IPortEvents,
         {0xC4, 0x29, 0x0F, 0xA8, 0x98, 0x54, 0xD2, 0x11, 0x95, 0xD9, 0x00, 0xC0, 0x4F, 0xB9, 0x25,
          0xD3}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(BytesOf(c.guid), c.bytes);
    }
}

TEST(PlatformHeaders, GuidsBuiltFromTemplates)
{
    // Terminal types fold a USB terminal number into a template, sub-formats
    // a format tag; both must land on the platform's published values.
    EXPECT_EQ(Canonical(KSNODETYPE_SPEAKER), "DFF21CE1-F70F-11D0-B917-00A0C9223196");
    EXPECT_EQ(Canonical(KSNODETYPE_SPDIF_INTERFACE), "DFF21FE5-F70F-11D0-B917-00A0C9223196");
    EXPECT_EQ(Canonical(KSDATAFORMAT_SUBTYPE_PCM), "00000001-0000-0010-8000-00AA00389B71");
    EXPECT_EQ(Canonical(kAc3SpdifSubFormat), "00000092-0000-0010-8000-00AA00389B71");
    EXPECT_EQ(Canonical(KSCATEGORY_REALTIME), "EB115FFC-10C8-4964-831D-6DCB02E6F23F");

    GUID manufacturer{};
    INIT_MMREG_MID(&manufacturer, MM_MICROSOFT);
    EXPECT_EQ(Canonical(manufacturer), "D5A47FA8-6D98-11D1-A21A-00A0C9223196");
    EXPECT_TRUE(IS_COMPATIBLE_MMREG_MID(&manufacturer));
    EXPECT_EQ(EXTRACT_MMREG_MID(&manufacturer), MM_MICROSOFT);
}

TEST(PlatformHeaders, WaveFormatGuidHelpers)
{
    GUID subFormat{};
    INIT_WAVEFORMATEX_GUID(&subFormat, WAVE_FORMAT_WMASPDIF);
    EXPECT_TRUE(IS_VALID_WAVEFORMATEX_GUID(&subFormat));
    EXPECT_EQ(EXTRACT_WAVEFORMATEX_ID(&subFormat), WAVE_FORMAT_WMASPDIF);
    EXPECT_TRUE(IS_VALID_WAVEFORMATEX_GUID(&KSDATAFORMAT_SUBTYPE_PCM));
    EXPECT_FALSE(IS_VALID_WAVEFORMATEX_GUID(&KSCATEGORY_AUDIO));
}

TEST(PlatformHeaders, ConstantTablesHoldTheNamedGuids)
{
    EXPECT_TRUE(IsEqualGUID(kPcmRange.DataRange.MajorFormat, KSDATAFORMAT_TYPE_AUDIO));
    EXPECT_TRUE(IsEqualGUID(kPcmRange.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
    EXPECT_TRUE(IsEqualGUID(kPcmRange.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX));
    EXPECT_EQ(kPcmRange.MaximumSampleFrequency, 192000u);

    EXPECT_EQ(kNodes[1].Type, &KSNODETYPE_VOLUME);
    EXPECT_TRUE(IsEqualGUID(kCategories[1], KSCATEGORY_RENDER));

    EXPECT_EQ(kAutomation.PropertyItemSize, sizeof(PCPROPERTY_ITEM));
    EXPECT_EQ(kAutomation.PropertyCount, 2u);
    EXPECT_EQ(kAutomation.Properties, kProperties);
    EXPECT_EQ(kAutomation.MethodCount, 0u);
    EXPECT_EQ(kAutomation.EventCount, 0u);

    // The wildcards are GUID_NULL under other names.
    EXPECT_EQ(&KSDATAFORMAT_SUBTYPE_WILDCARD, &GUID_NULL);
}
