// The wave filter's format rules: acceptance limits, where the wave format is
// found, short formats and ranges, and the PCM and compressed intersections.
#include "wave/formatrules.h"
#include "wave/wavetables.h"

#include "host/kernel/hostkernel.h"
#include "tests/support/waveformats.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace
{

using nuvtest::DataFormatBytes;
using nuvtest::GuardedBytes;
using nuvtest::ReadAt;
using nuvtest::Specifier;
using nuvtest::WaveFields;
using nuvtest::WaveSubFormat;

const GUID kPcm = KSDATAFORMAT_SUBTYPE_PCM;
const GUID kFloat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;

NTSTATUS Check(const std::vector<std::uint8_t>& bytes)
{
    GuardedBytes format(bytes);
    return CheckWaveFormat(format.As<KSDATAFORMAT>());
}

bool Accepted(const std::vector<std::uint8_t>& bytes)
{
    NTSTATUS status = Check(bytes);
    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INVALID_PARAMETER)
        << std::hex << status;
    return status == STATUS_SUCCESS;
}

struct LimitCase
{
    USHORT channels;
    ULONG rate;
    USHORT bits;
    bool accepted;
    const char* rule;
};

// PCM: 2..6 channels, 44100..96000 Hz, 16..32 bits, every bound inclusive.
const LimitCase kPcmLimits[] = {
    {2, 44099, 16, false, "rate below 44100"},
    {2, 44100, 16, true, "44100 is the lowest rate"},
    {2, 96000, 16, true, "96000 is the highest rate"},
    {2, 96001, 16, false, "rate above 96000"},
    {1, 48000, 16, false, "fewer than 2 channels"},
    {2, 48000, 16, true, "2 channels"},
    {6, 48000, 16, true, "6 channels"},
    {7, 48000, 16, false, "more than 6 channels"},
    {2, 48000, 15, false, "bits below 16"},
    {2, 48000, 20, true, "20 bits: a range, not multiples of 8"},
    {2, 48000, 24, true, "24 bits"},
    {2, 48000, 32, true, "32 bits"},
    {2, 48000, 33, false, "bits above 32"},
};

TEST(CheckWaveFormat, PcmLimitsForPlainExtensibleAndDirectSound)
{
    for (const LimitCase& c : kPcmLimits)
    {
        SCOPED_TRACE(c.rule);
        WaveFields wave{WAVE_FORMAT_PCM, c.channels, c.rate, c.bits};
        EXPECT_EQ(Accepted(DataFormatBytes(kPcm, wave)), c.accepted) << "plain";
        EXPECT_EQ(Accepted(DataFormatBytes(kPcm, wave, Specifier::DSound)), c.accepted)
            << "DirectSound";

        WaveFields extensible = wave;
        extensible.formatTag = WAVE_FORMAT_EXTENSIBLE;
        EXPECT_EQ(Accepted(DataFormatBytes(kPcm, extensible, Specifier::WaveFormatEx, &kPcm)),
                  c.accepted)
            << "extensible under the PCM sub-format";
        EXPECT_EQ(Accepted(DataFormatBytes(WaveSubFormat(WAVE_FORMAT_EXTENSIBLE), extensible,
                                           Specifier::WaveFormatEx, &kPcm)),
                  c.accepted)
            << "extensible under the 0xFFFE sub-format";
    }
}

// Compressed pass-through: at most 2 channels (0 and 1 pass), 44100..192000
// Hz, 16..32 bits.
const LimitCase kPassThroughLimits[] = {
    {2, 44099, 16, false, "rate below 44100"},
    {2, 44100, 16, true, "44100 is the lowest rate"},
    {2, 192000, 16, true, "192000 is the highest rate"},
    {2, 192001, 16, false, "rate above 192000"},
    {0, 48000, 16, true, "0 channels pass"},
    {1, 48000, 16, true, "1 channel passes"},
    {2, 48000, 16, true, "2 channels"},
    {3, 48000, 16, false, "more than 2 channels"},
    {2, 48000, 15, false, "bits below 16"},
    {2, 48000, 32, true, "32 bits"},
    {2, 48000, 33, false, "bits above 32"},
};

TEST(CheckWaveFormat, PassThroughLimitsForEachCompressedTag)
{
    for (USHORT tag : {WAVE_FORMAT_DOLBY_AC3_SPDIF, WAVE_FORMAT_WMASPDIF, WAVE_FORMAT_DTS})
    {
        for (const LimitCase& c : kPassThroughLimits)
        {
            SCOPED_TRACE(testing::Message() << "tag 0x" << std::hex << tag << ": " << c.rule);
            // The wave format's own tag is not looked at under these sub-formats.
            WaveFields wave{0x1234, c.channels, c.rate, c.bits};
            EXPECT_EQ(Accepted(DataFormatBytes(WaveSubFormat(tag), wave)), c.accepted);
        }
    }
}

TEST(CheckWaveFormat, ExtensibleNeedsPcmSubFormat)
{
    WaveFields wave{WAVE_FORMAT_EXTENSIBLE, 2, 48000, 16};
    EXPECT_FALSE(Accepted(DataFormatBytes(kPcm, wave, Specifier::WaveFormatEx, &kFloat)));
    EXPECT_FALSE(Accepted(DataFormatBytes(WaveSubFormat(WAVE_FORMAT_EXTENSIBLE), wave,
                                          Specifier::WaveFormatEx, &kFloat)));
    // Under 0xFFFE the wave format's tag is not looked at either.
    wave.formatTag = WAVE_FORMAT_PCM;
    EXPECT_TRUE(Accepted(DataFormatBytes(WaveSubFormat(WAVE_FORMAT_EXTENSIBLE), wave,
                                         Specifier::WaveFormatEx, &kPcm)));
}

TEST(CheckWaveFormat, PcmSubFormatTakesOnlyPcmOrExtensibleTags)
{
    WaveFields wave{WAVE_FORMAT_DOLBY_AC3_SPDIF, 2, 48000, 16};
    EXPECT_FALSE(Accepted(DataFormatBytes(kPcm, wave)));
}

TEST(CheckWaveFormat, SubFormatMustBeAWaveFormatGuid)
{
    WaveFields wave{WAVE_FORMAT_PCM, 2, 48000, 16};
    EXPECT_FALSE(Accepted(DataFormatBytes(kFloat, wave))) << "a tag the filter does not take";

    GUID wrongTail = kPcm;
    wrongTail.Data4[7] ^= 1;
    EXPECT_FALSE(Accepted(DataFormatBytes(wrongTail, wave)));

    GUID highBits = kPcm;
    highBits.Data1 = 0x00010001; // low 16 bits say PCM, the other 14 bytes differ
    EXPECT_FALSE(Accepted(DataFormatBytes(highBits, wave)));
}

TEST(FindWaveFormat, LooksBehindTheHeaderOrTheBufferDescription)
{
    WaveFields wave{WAVE_FORMAT_PCM, 2, 48000, 16};
    GuardedBytes plain(DataFormatBytes(kPcm, wave));
    EXPECT_EQ(reinterpret_cast<std::uint8_t*>(FindWaveFormat(plain.As<KSDATAFORMAT>())),
              plain.Data() + 64);

    GuardedBytes dsound(DataFormatBytes(kPcm, wave, Specifier::DSound));
    EXPECT_EQ(reinterpret_cast<std::uint8_t*>(FindWaveFormat(dsound.As<KSDATAFORMAT>())),
              dsound.Data() + 72);

    EXPECT_EQ(FindWaveFormat(nullptr), nullptr);
    EXPECT_EQ(CheckWaveFormat(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(CheckExtensibleFormat(nullptr), STATUS_INVALID_PARAMETER);
}

TEST(CheckWaveFormat, DirectSoundFormatIsCheckedAtByte72)
{
    // Flags and Control of the buffer description are 0: read as a wave
    // format at byte 64 they would give tag 0 and 0 channels.
    WaveFields wave{WAVE_FORMAT_PCM, 2, 48000, 16};
    EXPECT_TRUE(Accepted(DataFormatBytes(kPcm, wave, Specifier::DSound)));
    wave.channels = 7;
    EXPECT_FALSE(Accepted(DataFormatBytes(kPcm, wave, Specifier::DSound)));
}

TEST(FindWaveFormat, WrongMajorFormatOrSpecifierIsRefusedBeforeTheWaveFormatIsRead)
{
    // The header claims a whole wave format behind it, but the buffer ends
    // with the header: reading at byte 64 would fault.
    struct Case
    {
        GUID major;
        GUID specifier;
        const char* what;
    };
    const Case cases[] = {
        {KSDATAFORMAT_TYPE_STREAM, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, "stream major format"},
        {KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SPECIFIER_NONE, "no specifier"},
        {KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SPECIFIER_WILDCARD, "wildcard specifier"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        auto bytes = DataFormatBytes(kPcm, {});
        bytes.resize(sizeof(KSDATAFORMAT));
        KSDATAFORMAT header;
        std::memcpy(&header, bytes.data(), sizeof(header));
        header.FormatSize = 82;
        header.MajorFormat = c.major;
        header.Specifier = c.specifier;
        std::memcpy(bytes.data(), &header, sizeof(header));

        GuardedBytes format(bytes);
        EXPECT_EQ(FindWaveFormat(format.As<KSDATAFORMAT>()), nullptr);
        EXPECT_EQ(CheckWaveFormat(format.As<KSDATAFORMAT>()), STATUS_INVALID_PARAMETER);
    }
}

TEST(CheckWaveFormat, FormatsShorterThanTheirContentAreRefusedWithoutOverRead)
{
    // Each format lives in a buffer of exactly FormatSize bytes.
    struct Case
    {
        std::vector<std::uint8_t> bytes;
        ULONG formatSize;
        bool accepted;
        const char* rule;
    };
    WaveFields pcm{WAVE_FORMAT_PCM, 2, 48000, 16};
    WaveFields ext{WAVE_FORMAT_EXTENSIBLE, 2, 48000, 16};
    auto plain = DataFormatBytes(kPcm, pcm);
    auto dsound = DataFormatBytes(kPcm, pcm, Specifier::DSound);
    auto extensible = DataFormatBytes(kPcm, ext, Specifier::WaveFormatEx, &kPcm);
    auto dsoundExtensible = DataFormatBytes(kPcm, ext, Specifier::DSound, &kPcm);
    const Case cases[] = {
        {plain, 4, false, "only FormatSize itself"},
        {plain, 63, false, "header needs 64 bytes"},
        {plain, 64, false, "header without wave format"},
        {plain, 81, false, "WAVEFORMATEX at 64 needs 82"},
        {plain, 82, true, "64 + 18"},
        {dsound, 89, false, "WAVEFORMATEX at 72 needs 90"},
        {dsound, 90, true, "72 + 18"},
        {extensible, 103, false, "WAVEFORMATEXTENSIBLE at 64 needs 104"},
        {extensible, 104, true, "64 + 40"},
        {dsoundExtensible, 111, false, "WAVEFORMATEXTENSIBLE at 72 needs 112"},
        {dsoundExtensible, 112, true, "72 + 40"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.formatSize << " bytes: " << c.rule);
        std::vector<std::uint8_t> bytes = c.bytes;
        bytes.resize(c.formatSize);
        if (c.formatSize >= sizeof(ULONG))
            nuvtest::SetFormatSize(bytes, c.formatSize);
        EXPECT_EQ(Accepted(bytes), c.accepted);
    }
}

// ---------------------------------------------------------------------------
// IntersectPcm

class IntersectPcmTest : public testing::Test
{
protected:
    void SetUp() override { host::ResetKernelState(); }
    void TearDown() override { host::SetWdm60Available(true); }

    // Intersects into a buffer of exactly `length` bytes.
    NTSTATUS Intersect(ULONG rate, ULONG hint, ULONG pin, KSDATARANGE_AUDIO client,
                       const KSDATARANGE_AUDIO& mine, ULONG length = 104)
    {
        result_ = std::make_unique<GuardedBytes>(length);
        resultLength_ = kSentinel;
        return IntersectPcm(rate, hint, pin, &client.DataRange,
                            const_cast<PKSDATARANGE>(&mine.DataRange), length,
                            length ? result_->Data() : nullptr, &resultLength_);
    }

    const std::uint8_t* Result() const { return result_->Data(); }
    USHORT Channels() const { return ReadAt<USHORT>(Result(), 64 + 2); }
    ULONG ChannelMask() const { return ReadAt<ULONG>(Result(), 64 + 20); }

    static constexpr ULONG kSentinel = 0xDEADBEEF;
    std::unique_ptr<GuardedBytes> result_;
    ULONG resultLength_ = kSentinel;
};

TEST_F(IntersectPcmTest, AnswersTheTwoCallSizeQuery)
{
    auto client = nuvtest::PcmRange({});
    EXPECT_EQ(Intersect(48000, 2, 0, client, WavePcmDataRangeStereo, 0), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(resultLength_, 104u);

    EXPECT_EQ(Intersect(48000, 2, 0, client, WavePcmDataRangeStereo, 103), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(resultLength_, kSentinel) << "a short buffer leaves the length alone";
    for (std::size_t i = 0; i < 103; ++i)
        ASSERT_EQ(Result()[i], nuvtest::kUntouched) << "byte " << i << " written";

    EXPECT_EQ(Intersect(48000, 2, 0, client, WavePcmDataRangeStereo, 104), STATUS_SUCCESS);
    EXPECT_EQ(resultLength_, 104u);
}

TEST_F(IntersectPcmTest, ThirtyTwoBitStereoAtTheEngineRate)
{
    const ULONG rate = 88200;
    auto client = nuvtest::PcmRange({.maxChannels = 2, .maxBits = 32});
    ASSERT_EQ(Intersect(rate, 2, 0, client, WavePcmDataRangeStereo), STATUS_SUCCESS);

    KSDATAFORMAT header = ReadAt<KSDATAFORMAT>(Result(), 0);
    EXPECT_EQ(header.FormatSize, 104u);
    EXPECT_EQ(header.SampleSize, 8u) << "SampleSize is nBlockAlign";
    EXPECT_EQ(header.Flags, 0u);
    EXPECT_EQ(header.Reserved, 0u);
    EXPECT_TRUE(IsEqualGUIDAligned(header.MajorFormat, KSDATAFORMAT_TYPE_AUDIO));
    EXPECT_TRUE(IsEqualGUIDAligned(header.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
    EXPECT_TRUE(IsEqualGUIDAligned(header.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX));

    auto wave = ReadAt<WAVEFORMATEXTENSIBLE>(Result(), 64);
    EXPECT_EQ(wave.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(wave.Format.nChannels, 2);
    EXPECT_EQ(wave.Format.nSamplesPerSec, rate);
    EXPECT_EQ(wave.Format.wBitsPerSample, 32);
    EXPECT_EQ(wave.Format.nBlockAlign, 8);
    EXPECT_EQ(wave.Format.nAvgBytesPerSec, 8 * rate);
    EXPECT_EQ(wave.Format.cbSize, 22);
    EXPECT_EQ(wave.Samples.wValidBitsPerSample, 32);
    EXPECT_EQ(wave.dwChannelMask, static_cast<DWORD>(KSAUDIO_SPEAKER_STEREO));
    GUID subFormat = wave.SubFormat;
    EXPECT_TRUE(IsEqualGUIDAligned(subFormat, KSDATAFORMAT_SUBTYPE_PCM));
}

TEST_F(IntersectPcmTest, ValidBitsAreTheSmallerMaximumInTheirContainer)
{
    struct Case
    {
        ULONG clientMaxBits;
        USHORT container;
        USHORT valid;
    };
    // Above 16 bits the container is 32; 16 bits travel as they are.
    for (Case c : {Case{24, 32, 24}, Case{16, 16, 16}, Case{20, 32, 20}, Case{64, 32, 32}})
    {
        SCOPED_TRACE(c.clientMaxBits);
        auto client = nuvtest::PcmRange({.maxChannels = 2, .maxBits = c.clientMaxBits});
        ASSERT_EQ(Intersect(48000, 2, 0, client, WavePcmDataRangeStereo), STATUS_SUCCESS);
        auto wave = ReadAt<WAVEFORMATEXTENSIBLE>(Result(), 64);
        EXPECT_EQ(wave.Format.wBitsPerSample, c.container);
        EXPECT_EQ(wave.Samples.wValidBitsPerSample, c.valid);
        EXPECT_EQ(wave.Format.nBlockAlign, 2 * c.container / 8);
    }
}

TEST_F(IntersectPcmTest, RateIsTheEngineRateWithoutAnyCheck)
{
    auto client = nuvtest::PcmRange({});
    ASSERT_EQ(Intersect(8000, 2, 0, client, WavePcmDataRangeStereo), STATUS_SUCCESS);
    EXPECT_EQ(ReadAt<ULONG>(Result(), 64 + 4), 8000u);
}

TEST_F(IntersectPcmTest, HeaderFlagsAndReservedComeFromThePinRange)
{
    KSDATARANGE_AUDIO mine = WavePcmDataRangeStereo;
    mine.DataRange.Flags = 0x2;
    mine.DataRange.Reserved = 0x77;
    ASSERT_EQ(Intersect(48000, 2, 0, nuvtest::PcmRange({}), mine), STATUS_SUCCESS);
    KSDATAFORMAT header = ReadAt<KSDATAFORMAT>(Result(), 0);
    EXPECT_EQ(header.Flags, 0x2u);
    EXPECT_EQ(header.Reserved, 0x77u);
}

struct ChannelCase
{
    bool wdm60;
    ULONG hint;
    ULONG pin;
    ULONG clientMax;
    ULONG myMax;
    USHORT channels; // 0: STATUS_NO_MATCH
    ULONG mask;
    const char* rule;
};

// WDM 6.0: the smaller of the two ranges. Before it: the hint (outside 2..6
// read as 6), bounded by the client only. Then above 6 becomes 2, pin 2 is
// always 2, and only 2, 4 and 6 have a mask.
const ChannelCase kChannelCases[] = {
    {true, 2, 0, 8, 6, 6, 0x3F, "WDM 6.0: six-channel pin, client up to 8"},
    {true, 2, 0, 6, 6, 6, 0x3F, "WDM 6.0: hint is not used"},
    {true, 2, 0, 4, 6, 4, 0x33, "WDM 6.0: client up to 4"},
    {true, 6, 0, 5, 6, 0, 0, "WDM 6.0: 5 channels have no mask"},
    {true, 6, 0, 3, 6, 0, 0, "WDM 6.0: 3 channels have no mask"},
    {true, 6, 0, 1, 6, 0, 0, "WDM 6.0: 1 channel has no mask"},
    {true, 6, 0, 8, 2, 2, 0x3, "WDM 6.0: stereo pin"},
    {true, 2, 0, 8, 8, 2, 0x3, "WDM 6.0: above 6 becomes 2"},
    {true, 2, 2, 6, 6, 2, 0x3, "pin 2 is always stereo"},
    {false, 8, 0, 8, 6, 6, 0x3F, "no WDM 6.0: hint 8 counts as 6"},
    {false, 1, 0, 8, 6, 6, 0x3F, "no WDM 6.0: hint 1 counts as 6"},
    {false, 4, 0, 8, 6, 4, 0x33, "no WDM 6.0: hint 4"},
    {false, 2, 0, 8, 6, 2, 0x3, "no WDM 6.0: hint 2"},
    {false, 6, 0, 4, 6, 4, 0x33, "no WDM 6.0: client bounds the hint"},
    {false, 6, 0, 6, 2, 6, 0x3F, "no WDM 6.0: the pin's own maximum is not used"},
    {false, 6, 0, 5, 6, 0, 0, "no WDM 6.0: 5 channels have no mask"},
    {false, 6, 2, 6, 6, 2, 0x3, "no WDM 6.0: pin 2 is always stereo"},
};

TEST_F(IntersectPcmTest, ChannelCountAndMask)
{
    for (const ChannelCase& c : kChannelCases)
    {
        SCOPED_TRACE(c.rule);
        host::SetWdm60Available(c.wdm60);
        KSDATARANGE_AUDIO mine = WavePcmDataRangeMulti;
        mine.MaximumChannels = c.myMax;
        auto client = nuvtest::PcmRange({.maxChannels = c.clientMax, .maxBits = 16});
        NTSTATUS status = Intersect(48000, c.hint, c.pin, client, mine);
        if (c.channels == 0)
        {
            EXPECT_EQ(status, STATUS_NO_MATCH);
            EXPECT_EQ(resultLength_, kSentinel);
            EXPECT_EQ(Result()[0], nuvtest::kUntouched) << "nothing written";
            continue;
        }
        ASSERT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(Channels(), c.channels);
        EXPECT_EQ(ChannelMask(), c.mask);
        EXPECT_EQ(ReadAt<ULONG>(Result(), 8), 2u * c.channels) << "SampleSize, 16-bit samples";
    }
}

TEST_F(IntersectPcmTest, RangesWithoutAudioFieldsMatchNothing)
{
    // The bridge pin's own range is a bare 64-byte KSDATARANGE.
    auto client = nuvtest::PcmRange({});
    GuardedBytes bridge(std::span(reinterpret_cast<const std::uint8_t*>(&WaveBridgeDataRange),
                                  sizeof(KSDATARANGE)));
    GuardedBytes clientBytes(
        std::span(reinterpret_cast<const std::uint8_t*>(&client), sizeof(client)));
    ULONG length = kSentinel;
    std::uint8_t out[104];
    EXPECT_EQ(IntersectPcm(48000, 2, 1, clientBytes.As<KSDATARANGE>(), bridge.As<KSDATARANGE>(),
                           sizeof(out), out, &length),
              STATUS_NO_MATCH);
    EXPECT_EQ(IntersectPcm(48000, 2, 1, clientBytes.As<KSDATARANGE>(), bridge.As<KSDATARANGE>(), 0,
                           nullptr, &length),
              STATUS_NO_MATCH)
        << "no size is promised for a format that cannot come";
    EXPECT_EQ(length, kSentinel);

    // A client range of 87 bytes, in exactly 87 bytes.
    KSDATARANGE_AUDIO shortClient = client;
    shortClient.DataRange.FormatSize = 87;
    GuardedBytes shortBytes(std::span(reinterpret_cast<const std::uint8_t*>(&shortClient), 87));
    EXPECT_EQ(IntersectPcm(48000, 2, 0, shortBytes.As<KSDATARANGE>(),
                           const_cast<PKSDATARANGE>(&WavePcmDataRangeStereo.DataRange), sizeof(out),
                           out, &length),
              STATUS_NO_MATCH);
}

// ---------------------------------------------------------------------------
// IntersectNonPcm

class IntersectNonPcmTest : public IntersectPcmTest
{
protected:
    NTSTATUS IntersectNon(ULONG rate, KSDATARANGE_AUDIO client, KSDATARANGE_AUDIO mine,
                          ULONG length, ULONG pin = 4)
    {
        result_ = std::make_unique<GuardedBytes>(length);
        resultLength_ = kSentinel;
        return IntersectNonPcm(rate, pin, &client.DataRange, &mine.DataRange, length,
                               length ? result_->Data() : nullptr, &resultLength_);
    }
    static KSDATARANGE_AUDIO PassThroughRange(USHORT tag, nuvtest::RangeFields fields,
                                              const GUID& specifier)
    {
        return nuvtest::AudioRange(WaveSubFormat(tag), fields, KSDATAFORMAT_TYPE_AUDIO, specifier);
    }
    const KSDATARANGE_AUDIO mine_ =
        nuvtest::AudioRange(WaveSubFormat(WAVE_FORMAT_DOLBY_AC3_SPDIF),
                            {.maxChannels = 2, .maxBits = 32, .maxRate = 192000});
};

TEST_F(IntersectNonPcmTest, SizeBySpecifierWithTheTwoCallProtocol)
{
    struct Case
    {
        GUID specifier;
        ULONG size;
        const char* what;
    };
    const Case cases[] = {
        {KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, 82, "WAVEFORMATEX"},
        {KSDATAFORMAT_SPECIFIER_WILDCARD, 82, "wildcard"},
        {KSDATAFORMAT_SPECIFIER_DSOUND, 90, "DirectSound"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        auto client = PassThroughRange(WAVE_FORMAT_DOLBY_AC3_SPDIF, {}, c.specifier);
        EXPECT_EQ(IntersectNon(48000, client, mine_, 0), STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(resultLength_, c.size);
        EXPECT_EQ(IntersectNon(48000, client, mine_, c.size - 1), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(resultLength_, c.size) << "the length is set before the buffer is measured";
        ASSERT_EQ(IntersectNon(48000, client, mine_, c.size), STATUS_SUCCESS);
        EXPECT_EQ(resultLength_, c.size);
        EXPECT_EQ(ReadAt<ULONG>(Result(), 0), c.size) << "FormatSize";
    }
}

TEST_F(IntersectNonPcmTest, DirectSoundResultHasTheWaveFormatAtByte72)
{
    auto client = PassThroughRange(WAVE_FORMAT_DOLBY_AC3_SPDIF, {.maxBits = 16, .maxRate = 48000},
                                   KSDATAFORMAT_SPECIFIER_DSOUND);
    ASSERT_EQ(IntersectNon(96000, client, mine_, 90), STATUS_SUCCESS);
    KSDATAFORMAT header = ReadAt<KSDATAFORMAT>(Result(), 0);
    EXPECT_EQ(header.SampleSize, 4u);
    EXPECT_TRUE(IsEqualGUIDAligned(header.MajorFormat, KSDATAFORMAT_TYPE_AUDIO));
    EXPECT_TRUE(IsEqualGUIDAligned(header.SubFormat, WaveSubFormat(WAVE_FORMAT_DOLBY_AC3_SPDIF)));
    EXPECT_TRUE(IsEqualGUIDAligned(header.Specifier, KSDATAFORMAT_SPECIFIER_DSOUND));
    EXPECT_EQ(ReadAt<ULONG>(Result(), 64), 0u) << "buffer description Flags";
    EXPECT_EQ(ReadAt<ULONG>(Result(), 68), 0u) << "buffer description Control";

    auto wave = ReadAt<WAVEFORMATEX>(Result(), 72);
    EXPECT_EQ(wave.wFormatTag, WAVE_FORMAT_DOLBY_AC3_SPDIF);
    EXPECT_EQ(wave.nChannels, 2);
    EXPECT_EQ(wave.nSamplesPerSec, 48000u) << "the smaller maximum, not the engine rate";
    EXPECT_EQ(wave.wBitsPerSample, 16);
    EXPECT_EQ(wave.nBlockAlign, 4);
    EXPECT_EQ(wave.nAvgBytesPerSec, 4u * 48000);
    EXPECT_EQ(wave.cbSize, 0);
}

TEST_F(IntersectNonPcmTest, FormatTagFollowsTheClientSubFormat)
{
    struct Case
    {
        USHORT subFormatTag;
        USHORT formatTag;
    };
    for (Case c :
         {Case{WAVE_FORMAT_DOLBY_AC3_SPDIF, WAVE_FORMAT_DOLBY_AC3_SPDIF},
          Case{WAVE_FORMAT_DTS, WAVE_FORMAT_DTS}, Case{WAVE_FORMAT_WMASPDIF, WAVE_FORMAT_WMASPDIF},
          Case{WAVE_FORMAT_IEEE_FLOAT, WAVE_FORMAT_PCM}})
    {
        SCOPED_TRACE(c.subFormatTag);
        auto client = PassThroughRange(c.subFormatTag, {.maxBits = 24, .maxRate = 192000},
                                       KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
        ASSERT_EQ(IntersectNon(48000, client, mine_, 82), STATUS_SUCCESS);
        auto wave = ReadAt<WAVEFORMATEX>(Result(), 64);
        EXPECT_EQ(wave.wFormatTag, c.formatTag);
        EXPECT_EQ(wave.nSamplesPerSec, 192000u);
        EXPECT_EQ(wave.wBitsPerSample, 24);
        EXPECT_EQ(wave.nBlockAlign, 6);
    }
}

TEST_F(IntersectNonPcmTest, ClientMustAskForExactlyTwoChannels)
{
    auto client =
        PassThroughRange(WAVE_FORMAT_DTS, {.maxChannels = 6}, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
    EXPECT_EQ(IntersectNon(48000, client, mine_, 82), STATUS_NO_MATCH);
    EXPECT_EQ(resultLength_, 82u);
    EXPECT_EQ(ReadAt<ULONG>(Result(), 0), 82u) << "the header is already written";
    EXPECT_EQ(Result()[64], nuvtest::kUntouched) << "the wave format is not";
}

TEST_F(IntersectNonPcmTest, MajorFormatAndSpecifierMustBeAcceptable)
{
    auto client = PassThroughRange(WAVE_FORMAT_DTS, {}, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
    client.DataRange.MajorFormat = KSDATAFORMAT_TYPE_STREAM;
    EXPECT_EQ(IntersectNon(48000, client, mine_, 82), STATUS_NO_MATCH);
    EXPECT_EQ(resultLength_, kSentinel);

    client.DataRange.MajorFormat = KSDATAFORMAT_TYPE_WILDCARD;
    EXPECT_EQ(IntersectNon(48000, client, mine_, 82), STATUS_SUCCESS);

    client.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
    EXPECT_EQ(IntersectNon(48000, client, mine_, 82), STATUS_NO_MATCH);
    EXPECT_EQ(resultLength_, kSentinel);
}

TEST_F(IntersectNonPcmTest, PcmClientGoesToThePcmIntersectionAsStereo)
{
    // Without WDM 6.0 the channel hint decides; the compressed path passes 2.
    host::SetWdm60Available(false);
    auto client = nuvtest::PcmRange({.maxChannels = 6});
    ASSERT_EQ(IntersectNon(48000, client, WavePcmDataRangeMulti, 104), STATUS_SUCCESS);
    EXPECT_EQ(resultLength_, 104u);
    EXPECT_EQ(Channels(), 2);
    EXPECT_EQ(ReadAt<ULONG>(Result(), 64 + 4), 48000u) << "the PCM path uses the engine rate";
}

TEST_F(IntersectNonPcmTest, ShortRangesMatchNothing)
{
    auto client = PassThroughRange(WAVE_FORMAT_DTS, {}, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
    client.DataRange.FormatSize = sizeof(KSDATARANGE);
    GuardedBytes bare(
        std::span(reinterpret_cast<const std::uint8_t*>(&client), sizeof(KSDATARANGE)));
    KSDATARANGE_AUDIO mine = mine_;
    ULONG length = kSentinel;
    EXPECT_EQ(
        IntersectNonPcm(48000, 4, bare.As<KSDATARANGE>(), &mine.DataRange, 0, nullptr, &length),
        STATUS_NO_MATCH);
    EXPECT_EQ(length, kSentinel);

    GuardedBytes tiny(std::span(reinterpret_cast<const std::uint8_t*>(&client), 40));
    reinterpret_cast<KSDATARANGE*>(tiny.Data())->FormatSize = 40;
    EXPECT_EQ(
        IntersectNonPcm(48000, 4, tiny.As<KSDATARANGE>(), &mine.DataRange, 0, nullptr, &length),
        STATUS_NO_MATCH)
        << "a range shorter than its header";
}

} // namespace
