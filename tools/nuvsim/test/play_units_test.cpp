// The parts of `nuvsim play` that decide what it reports: the client bytes
// it hands the driver, the test signal, which device plays what, the
// formats it opens with and the explanation of a refusal, and the checks of
// output and positions. A fault here would make the tool report a driver
// fault that is not there, or hide one that is.
#include "tools/nuvsim/audio.h"
#include "tools/nuvsim/playplan.h"
#include "tools/nuvsim/signal.h"
#include "tools/nuvsim/streamformat.h"
#include "tools/nuvsim/summary.h"
#include "tools/nuvsim/wavio.h"
#include "wave/formatrules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <unistd.h>

namespace
{

using nuvsim::AudioFormat;
using nuvsim::SampleKind;

// A whole input, read in blocks of `blockFrames`.
struct Clip
{
    AudioFormat format;
    std::size_t frames = 0;
    std::vector<std::int32_t> samples;
};

Clip ReadAll(nuvsim::AudioSource& source, std::size_t blockFrames = 1000)
{
    Clip clip{source.Format(), 0, {}};
    std::vector<std::int32_t> block(blockFrames * source.Format().channels);
    while (const std::size_t frames = source.Read(block))
    {
        clip.samples.insert(clip.samples.end(), block.begin(),
                            block.begin() +
                                static_cast<std::ptrdiff_t>(frames * clip.format.channels));
        clip.frames += frames;
    }
    return clip;
}

std::vector<std::uint8_t> ClientBytes(const std::vector<std::int32_t>& samples, unsigned bits)
{
    std::vector<std::uint8_t> bytes;
    nuvsim::AppendClientBytes(samples, bits, bytes);
    return bytes;
}

AudioFormat Pcm(unsigned channels, unsigned bits, unsigned rate)
{
    return {channels, rate, bits, SampleKind::Integer, std::to_string(bits) + "-bit integer PCM"};
}

std::vector<std::uint8_t> LittleEndian(std::initializer_list<std::int32_t> containers)
{
    std::vector<std::uint8_t> bytes;
    for (std::int32_t value : containers)
        for (unsigned b = 0; b < 4; ++b)
            bytes.push_back(
                static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) >> (8 * b)));
    return bytes;
}

// Left-justified samples give their top bytes, little-endian: 16-bit
// 0x8001 is held as 0x80010000, 24-bit 0x123456 as 0x12345600.
TEST(ClientBytes, TakesTheTopBytesOfEachLeftJustifiedSample)
{
    EXPECT_EQ(ClientBytes({static_cast<std::int32_t>(0x80010000u), 0x7FFF0000}, 16),
              (std::vector<std::uint8_t>{0x01, 0x80, 0xFF, 0x7F}));
    EXPECT_EQ(ClientBytes({0x12345600, static_cast<std::int32_t>(0xFFFFFF00u), 0x00ABCD00}, 24),
              (std::vector<std::uint8_t>{0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xCD, 0xAB, 0x00}));
    EXPECT_EQ(ClientBytes({0x12345678, static_cast<std::int32_t>(0x80000000u)}, 32),
              (std::vector<std::uint8_t>{0x78, 0x56, 0x34, 0x12, 0x00, 0x00, 0x00, 0x80}));
    // Appended: what is there stays.
    std::vector<std::uint8_t> bytes = {9};
    nuvsim::AppendClientBytes(std::vector<std::int32_t>{0x12345600}, 24, bytes);
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{9, 0x56, 0x34, 0x12}));
}

// Goertzel: the power of `frequency` in one channel.
double Power(const Clip& clip, unsigned channel, double frequency)
{
    const double w = 2.0 * std::numbers::pi * frequency / clip.format.sampleRate;
    double s1 = 0, s2 = 0;
    for (std::size_t frame = 0; frame < clip.frames; ++frame)
    {
        const double x = clip.samples[frame * clip.format.channels + channel] / 2147483648.0;
        const double s = x + 2.0 * std::cos(w) * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    return s1 * s1 + s2 * s2 - 2.0 * std::cos(w) * s1 * s2;
}

TEST(TestSignal, CarriesItsOwnToneOnEachChannel)
{
    const Clip clip = ReadAll(*nuvsim::MakeTestSignal({.channels = 6, .seconds = 0.5}));
    ASSERT_EQ(clip.frames, 24000u);
    ASSERT_EQ(clip.samples.size(), 6u * 24000u);
    for (unsigned channel = 0; channel < 6; ++channel)
    {
        SCOPED_TRACE(channel);
        const double own = Power(clip, channel, nuvsim::ToneFrequency(channel));
        for (unsigned other = 0; other < 6; ++other)
        {
            if (other == channel)
                continue;
            EXPECT_GT(own, 1000 * Power(clip, channel, nuvsim::ToneFrequency(other)));
        }
    }
}

TEST(TestSignal, HoldsSamplesOfItsWidthStartingAndEndingInSilence)
{
    const Clip clip = ReadAll(*nuvsim::MakeTestSignal({.channels = 2, .bits = 24, .seconds = 0.1}));
    for (std::int32_t sample : clip.samples)
        ASSERT_EQ(sample & 0xFF, 0) << "a 24-bit sample with bits in the low byte";
    EXPECT_EQ(clip.samples.front(), 0);
    EXPECT_EQ(clip.samples.back(), 0);
}

// The client and the comparison read the signal in blocks of their own
// sizes; both must see the same samples: each a function of its frame.
TEST(TestSignal, ReadsTheSameInAnyBlocksAndAgain)
{
    for (unsigned rate : {44100u, 48000u, 96000u})
    {
        SCOPED_TRACE(rate);
        const nuvsim::SignalShape shape{
            .channels = 6, .sampleRate = rate, .bits = 16, .seconds = 0.2};
        auto source = nuvsim::MakeTestSignal(shape);
        const Clip whole = ReadAll(*source, 1 << 20);
        std::string error;
        auto again = source->Reopen(error);
        ASSERT_TRUE(again) << error;
        EXPECT_EQ(ReadAll(*again, 7).samples, whole.samples);
        EXPECT_EQ(ReadAll(*nuvsim::MakeTestSignal(shape), 500).samples, whole.samples);
        EXPECT_EQ(whole.frames, static_cast<std::size_t>(rate / 5));
        // Past the fade-in the tone is at half of full scale.
        const auto peak = *std::max_element(whole.samples.begin(), whole.samples.end());
        EXPECT_NEAR(peak / 2147483648.0, 0.5, 0.01);
    }
}

// --- which device plays what ---------------------------------------------------

using Kind = nuvsim::PlayArgument::Kind;

std::vector<nuvsim::StreamRequest> Plan(const std::vector<nuvsim::PlayArgument>& arguments,
                                        std::string& error)
{
    return nuvsim::PlanStreams(arguments, error).value_or(std::vector<nuvsim::StreamRequest>{});
}

TEST(PlanStreams, OneDeviceTakesItsInputAndOutputAnywhere)
{
    std::string error;
    auto streams =
        Plan({{Kind::Input, "a.wav"}, {Kind::Output, "o.wav"}, {Kind::Device, "4"}}, error);
    ASSERT_EQ(streams.size(), 1u) << error;
    EXPECT_EQ(streams[0].device, 4);
    EXPECT_EQ(streams[0].input, "a.wav");
    EXPECT_EQ(streams[0].output, "o.wav");
    streams = Plan({}, error);
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0].device, 1);
    EXPECT_EQ(streams[0].input, "") << "the test signal";
}

TEST(PlanStreams, SeveralDevicesEachTakeWhatFollowsThem)
{
    std::string error;
    auto streams = Plan({{Kind::Device, "4"},
                         {Kind::Input, "b.flac"},
                         {Kind::Output, "b-out.wav"},
                         {Kind::Device, "1"},
                         {Kind::Input, "a.wav"},
                         {Kind::Device, "2"}},
                        error);
    ASSERT_EQ(streams.size(), 3u) << error;
    EXPECT_EQ(streams[0].device, 1);
    EXPECT_EQ(streams[0].input, "a.wav");
    EXPECT_EQ(streams[0].output, "");
    EXPECT_EQ(streams[1].device, 2);
    EXPECT_EQ(streams[1].input, "") << "a device without input plays the test signal";
    EXPECT_EQ(streams[2].device, 4);
    EXPECT_EQ(streams[2].input, "b.flac");
    EXPECT_EQ(streams[2].output, "b-out.wav");
}

TEST(PlanStreams, AllPlaysTheSignalEverywhereWithNumberedOutputs)
{
    std::string error;
    auto streams = Plan({{Kind::Device, "all"}, {Kind::Output, "dir/played.wav"}}, error);
    ASSERT_EQ(streams.size(), 4u) << error;
    for (int device = 1; device <= 4; ++device)
    {
        EXPECT_EQ(streams[device - 1].device, device);
        EXPECT_EQ(streams[device - 1].input, "");
        EXPECT_EQ(streams[device - 1].output, "dir/played-" + std::to_string(device) + ".wav");
    }
}

// Each refusal names what is at fault.
TEST(PlanStreams, RefusesWhatCannotBePlayedSayingWhich)
{
    struct Case
    {
        std::vector<nuvsim::PlayArgument> arguments;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{{Kind::Device, "1"}, {Kind::Input, "a.wav"}, {Kind::Input, "b.wav"}},
         "device 1 has two inputs: a.wav and b.wav"},
        {{{Kind::Input, "a.wav"}, {Kind::Input, "b.wav"}},
         "device 1 has two inputs: a.wav and b.wav"},
        {{{Kind::Device, "1"},
          {Kind::Input, "a.wav"},
          {Kind::Device, "3"},
          {Kind::Input, "b.wav"},
          {Kind::Input, "c.wav"}},
         "device 3 has two inputs: b.wav and c.wav"},
        {{{Kind::Device, "1"}, {Kind::Device, "5"}},
         "device 5 does not exist: the adapter has devices 1 to 4"},
        {{{Kind::Device, "0"}}, "device 0 does not exist"},
        {{{Kind::Device, "x"}}, "device x does not exist"},
        {{{Kind::Device, "2"}, {Kind::Input, "a.wav"}, {Kind::Device, "2"}},
         "device 2 is given twice"},
        {{{Kind::Input, "a.wav"}, {Kind::Device, "1"}, {Kind::Device, "2"}},
         "input a.wav comes before any --device"},
        {{{Kind::Device, "1"},
          {Kind::Output, "x.wav"},
          {Kind::Device, "2"},
          {Kind::Output, "y.wav"},
          {Kind::Output, "z.wav"}},
         "device 2 has two outputs: y.wav and z.wav"},
        {{{Kind::Device, "all"}, {Kind::Input, "a.wav"}}, "--device all plays the test signal"},
        {{{Kind::Device, "all"}, {Kind::Device, "1"}}, "--device all plays on every device"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.message);
        std::string error;
        EXPECT_FALSE(nuvsim::PlanStreams(c.arguments, error));
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
}

TEST(DataFormatFor, BuildsTheFilesFormatThatTheDriversCheckJudges)
{
    std::vector<std::uint8_t> format = nuvsim::DataFormatFor(Pcm(2, 24, 48000), nullptr);
    ASSERT_EQ(format.size(), 104u);
    auto* header = reinterpret_cast<KSDATAFORMAT*>(format.data());
    auto* wave = reinterpret_cast<WAVEFORMATEXTENSIBLE*>(format.data() + sizeof(KSDATAFORMAT));
    EXPECT_EQ(header->FormatSize, 104u);
    EXPECT_EQ(wave->Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(wave->Format.wBitsPerSample, 24);
    EXPECT_EQ(wave->Format.nBlockAlign, 6);
    EXPECT_EQ(wave->Format.nAvgBytesPerSec, 6u * 48000u);
    EXPECT_EQ(wave->Samples.wValidBitsPerSample, 24);
    EXPECT_EQ(wave->dwChannelMask, static_cast<DWORD>(KSAUDIO_SPEAKER_STEREO));
    EXPECT_EQ(CheckWaveFormat(header), STATUS_SUCCESS);

    AudioFormat floating{2, 48000, 32, SampleKind::Float, "32-bit float"};
    format = nuvsim::DataFormatFor(floating, nullptr);
    EXPECT_EQ(CheckWaveFormat(reinterpret_cast<KSDATAFORMAT*>(format.data())),
              STATUS_INVALID_PARAMETER);
}

// A proposal lends its header; the wave format is still the file's.
TEST(DataFormatFor, KeepsTheFilesFieldsOverAProposal)
{
    std::vector<std::uint8_t> proposal = nuvsim::DataFormatFor(Pcm(6, 32, 96000), nullptr);
    reinterpret_cast<KSDATAFORMAT*>(proposal.data())->Flags = 0x5A;
    const std::vector<std::uint8_t> format = nuvsim::DataFormatFor(Pcm(2, 16, 44100), &proposal);
    auto* wave =
        reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(format.data() + sizeof(KSDATAFORMAT));
    EXPECT_EQ(reinterpret_cast<const KSDATAFORMAT*>(format.data())->Flags, 0x5Au);
    EXPECT_EQ(wave->Format.nChannels, 2);
    EXPECT_EQ(wave->Format.nSamplesPerSec, 44100u);
    EXPECT_EQ(wave->Format.wBitsPerSample, 16);
}

nuvsim::DeviceRules Rules(int device)
{
    nuvsim::DeviceRules rules;
    rules.device = device;
    rules.ranges = {{device == 4 ? 6u : 2u, 16, 32, 44100, 96000}};
    rules.engineRates = {44100, 48000, 88200, 96000, 176400, 192000};
    return rules;
}

struct RefusalCase
{
    const char* name;
    AudioFormat format;
    int device;
    const char* reason; // nullptr: accepted
};

TEST(RefusalReasons, NameTheRuleEachFormatBreaks)
{
    const RefusalCase cases[] = {
        {"stereo 16-bit", Pcm(2, 16, 48000), 1, nullptr},
        {"six channels on device 4", Pcm(6, 24, 96000), 4, nullptr},
        {"three channels on device 4, as the driver's check allows", Pcm(3, 16, 44100), 4, nullptr},
        {"mono", Pcm(1, 16, 48000), 1, "1 channel: device 1 plays 2 channels only"},
        {"mono on device 4", Pcm(1, 16, 48000), 4, "1 channel: device 4 plays 2 to 6 channels"},
        {"six channels on device 3", Pcm(6, 16, 48000), 3,
         "6 channels: device 3 plays 2 channels only"},
        {"eight channels on device 4", Pcm(8, 16, 48000), 4,
         "8 channels: device 4 plays 2 to 6 channels"},
        {"8-bit", Pcm(2, 8, 48000), 1, "8-bit samples: the device plays 16 to 32 bits per sample"},
        {"float",
         {2, 48000, 32, SampleKind::Float, "32-bit float"},
         1,
         "the samples are floating point (32-bit float): the device plays integer PCM only"},
        {"A-law",
         {2, 48000, 0, SampleKind::Other, "A-Law"},
         1,
         "the samples are A-Law, not integer PCM"},
        {"22050 Hz", Pcm(2, 16, 22050), 1, "22050 Hz: the device plays 44100 to 96000 Hz"},
        {"one above the range", Pcm(2, 16, 96001), 1, "96001 Hz: the device plays 44100 to 96000"},
        {"inside the range, not an engine rate", Pcm(2, 16, 50000), 1,
         "50000 Hz: the engine runs at 44100, 48000, 88200 or 96000 Hz only"},
    };
    for (const RefusalCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::vector<std::string> reasons = nuvsim::RefusalReasons(c.format, Rules(c.device));
        if (c.reason == nullptr)
        {
            EXPECT_TRUE(reasons.empty()) << reasons.front();
            continue;
        }
        ASSERT_EQ(reasons.size(), 1u);
        EXPECT_NE(reasons[0].find(c.reason), std::string::npos) << reasons[0];
    }
}

TEST(RefusalReasons, ListEveryRuleBroken)
{
    EXPECT_EQ(nuvsim::RefusalReasons(Pcm(1, 8, 22050), Rules(1)).size(), 3u);
}

TEST(RangeReasons, OnlyTheChannelsThePinRangeDoesNotOffer)
{
    EXPECT_EQ(nuvsim::RangeReasons(Pcm(6, 16, 48000), Rules(1)).size(), 1u);
    EXPECT_TRUE(nuvsim::RangeReasons(Pcm(6, 16, 48000), Rules(4)).empty());
    EXPECT_TRUE(nuvsim::RangeReasons(Pcm(1, 16, 48000), Rules(1)).empty())
        << "one channel is the format check's refusal, not the range's";
}

TEST(DescribeLimits, SaysWhatTheDeviceTakes)
{
    EXPECT_EQ(nuvsim::DescribeLimits(Rules(4)),
              "integer PCM, 2 to 6 channels, 16 to 32 bits, at 44100, 48000, 88200 or 96000 Hz");
}

TEST(CompactValues, JoinsRunsOfConsecutiveValues)
{
    EXPECT_EQ(nuvsim::CompactValues({}), "none");
    EXPECT_EQ(nuvsim::CompactValues({2, 3, 4, 5, 6}), "2-6");
    EXPECT_EQ(nuvsim::CompactValues({32, 16, 24}), "16, 24, 32");
    EXPECT_EQ(nuvsim::CompactValues({0, 1, 2, 7, 9, 10}), "0-2, 7, 9-10");
}

TEST(CheckOutput, FindsTheFirstSampleThatDiffers)
{
    const std::vector<std::int32_t> expected = {1, 2, 3, 4, 5, 6};
    nuvsim::OutputCheck same = nuvsim::CheckOutput(LittleEndian({1, 2, 3, 4, 5, 6}), expected, 2);
    EXPECT_TRUE(same.equal);
    EXPECT_EQ(same.comparedFrames, 3u);

    // Channels swapped in the second frame.
    nuvsim::OutputCheck swapped =
        nuvsim::CheckOutput(LittleEndian({1, 2, 4, 3, 5, 6}), expected, 2);
    EXPECT_FALSE(swapped.equal);
    ASSERT_TRUE(swapped.firstDifferentFrame.has_value());
    EXPECT_EQ(*swapped.firstDifferentFrame, 1u);
    EXPECT_EQ(swapped.firstDifferentChannel, 0u);
    EXPECT_EQ(swapped.differentSamples, 2u);
}

TEST(CheckOutput, AShortOutputIsNotEqualAndATailIsJudged)
{
    const std::vector<std::int32_t> expected = {1, 2, 3, 4};
    EXPECT_FALSE(nuvsim::CheckOutput(LittleEndian({1, 2}), expected, 2).equal);

    nuvsim::OutputCheck quiet = nuvsim::CheckOutput(LittleEndian({1, 2, 3, 4, 0, 0}), expected, 2);
    EXPECT_TRUE(quiet.equal);
    EXPECT_TRUE(quiet.tailSilent);
    EXPECT_EQ(quiet.tailFrames, 1u);

    nuvsim::OutputCheck loud =
        nuvsim::CheckOutput(LittleEndian({1, 2, 3, 4, 0, 0, 0, 9, 0, 0}), expected, 2);
    EXPECT_TRUE(loud.equal);
    EXPECT_FALSE(loud.tailSilent);
    EXPECT_EQ(loud.tailFrames, 3u);
    EXPECT_EQ(loud.loudTailFrames, 1u);
}

// The output as the engine hands it, in parts of any size, against the
// input read in blocks: the same check as over the whole.
TEST(OutputComparison, InPartsComesToWhatTheWholeComesTo)
{
    const std::vector<std::int32_t> expected = {1, 2, 3, 4, 5, 6, 7, 8};
    for (const auto& played :
         {LittleEndian({1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0}),
          LittleEndian({1, 2, 3, 4, 6, 5, 7, 8, 0, 0, 9, 0}), LittleEndian({1, 2, 3, 4})})
    {
        const nuvsim::OutputCheck whole = nuvsim::CheckOutput(played, expected, 2);
        for (std::size_t piece : {1u, 2u, 3u})
        {
            SCOPED_TRACE(piece);
            nuvsim::OutputComparison comparison(2, 4);
            std::size_t at = 0;
            while (at < played.size() / 4)
            {
                const std::size_t n = std::min(piece, played.size() / 4 - at);
                const std::size_t left = static_cast<std::size_t>(comparison.ExpectedLeft());
                const std::span<const std::int32_t> input =
                    std::span(expected).subspan(expected.size() - left, std::min(n, left));
                comparison.Compare(std::span(played).subspan(at * 4, n * 4), input);
                at += n;
            }
            const nuvsim::OutputCheck parts = comparison.Result();
            EXPECT_EQ(parts.equal, whole.equal);
            EXPECT_EQ(parts.firstDifferentFrame, whole.firstDifferentFrame);
            EXPECT_EQ(parts.firstDifferentChannel, whole.firstDifferentChannel);
            EXPECT_EQ(parts.differentSamples, whole.differentSamples);
            EXPECT_EQ(parts.comparedFrames, whole.comparedFrames);
            EXPECT_EQ(parts.tailFrames, whole.tailFrames);
            EXPECT_EQ(parts.loudTailFrames, whole.loudTailFrames);
        }
    }
}

// The device played 100 frames of 4 bytes, the client's all along: the
// readings against it within nuvsim's bounds, a frame ahead and 1 ms
// behind.
TEST(ClientPositionBounds, AFrameAheadAndAMillisecondBehind)
{
    host::engine::PlayVerdict verdict;
    verdict.clientFrameBytes = 4;
    verdict.framesPlayed = 100;
    verdict.played = {{0, 0, true}};
    host::engine::StreamState record;
    record.periods.resize(1);
    record.periods[0].order = 1;
    const host::engine::ClientJournal journal;
    const host::engine::PlayedBytes truth(verdict, record, journal, {2, 2}, 0);
    const host::engine::PositionFormat format{4, 48000};
    const host::engine::PositionBounds bounds = nuvsim::ClientPositionBounds(format);
    EXPECT_EQ(bounds.aheadBytes, 4u);
    EXPECT_EQ(bounds.behindBytes, 48u * 4u);
    auto check = [&](std::vector<std::pair<std::uint64_t, std::uint64_t>> readings)
    {
        std::vector<host::engine::PositionSample> samples;
        for (const auto& [reported, frames] : readings)
            samples.push_back({reported, 2 + frames, frames, frames * 8});
        nuvsim::PositionCheck positions;
        positions.figures = host::engine::JudgePositions(samples, truth, format, bounds);
        return positions;
    };

    EXPECT_TRUE(check({{0, 0}, {200, 50}, {400, 100}}).Clean());
    EXPECT_TRUE(check({{204, 50}}).Clean()) << "a frame ahead";
    EXPECT_FALSE(check({{208, 50}}).Clean()) << "two frames ahead";
    EXPECT_TRUE(check({{200 - 48 * 4, 50}}).Clean()) << "1 ms behind";
    // 52 frames behind is out of bounds, and so is an end a period short.
    const nuvsim::PositionCheck late = check({{0, 0}, {200 - 52 * 4, 50}, {400 - 64 * 4, 100}});
    EXPECT_FALSE(late.Clean());
    EXPECT_EQ(late.figures.outOfBounds, 2u);

    const nuvsim::PositionCheck backward = check({{200, 50}, {196, 50}, {400, 100}});
    EXPECT_FALSE(backward.Clean());
    EXPECT_EQ(backward.figures.backwardSteps, 1u);
}

class PendingFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_dir =
            std::filesystem::temp_directory_path() / ("nuvsim-pending-" + std::to_string(getpid()));
        std::filesystem::create_directories(m_dir);
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }
    std::size_t Entries() const
    {
        return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(m_dir),
                                                      std::filesystem::directory_iterator()));
    }
    std::filesystem::path m_dir;
};

TEST_F(PendingFileTest, AppearsUnderItsNameOnlyWhenCommitted)
{
    const std::string target = (m_dir / "out.json").string();
    std::string error;
    auto file = nuvsim::PendingFile::Create(target, error);
    ASSERT_TRUE(file) << error;
    ASSERT_TRUE(file->WriteAll(std::string_view("{}")));
    EXPECT_FALSE(std::filesystem::exists(target));
    ASSERT_TRUE(file->Commit(error)) << error;
    file.reset();
    std::ifstream in(target);
    std::string text;
    in >> text;
    EXPECT_EQ(text, "{}");
    EXPECT_EQ(Entries(), 1u) << "the temporary file is gone";
}

TEST_F(PendingFileTest, LeavesNothingWhenNotCommitted)
{
    std::string error;
    auto file = nuvsim::PendingFile::Create((m_dir / "out.wav").string(), error);
    ASSERT_TRUE(file) << error;
    ASSERT_TRUE(file->WriteAll(std::string_view("partial")));
    file.reset();
    EXPECT_EQ(Entries(), 0u);
}

TEST_F(PendingFileTest, RefusesADirectoryAndAMissingOne)
{
    std::string error;
    EXPECT_FALSE(nuvsim::PendingFile::Create(m_dir.string(), error));
    EXPECT_EQ(error, "it is a directory");
    EXPECT_FALSE(nuvsim::PendingFile::Create((m_dir / "no" / "x.wav").string(), error));
}

// The WAV written holds the containers as they came, and reads back so.
TEST_F(PendingFileTest, ContainerWavHoldsTheContainersBitForBit)
{
    const std::string target = (m_dir / "out.wav").string();
    std::string error;
    auto wav = nuvsim::ContainerWavWriter::Create(target, 2, 48000, error);
    ASSERT_TRUE(wav) << error;
    const std::vector<std::int32_t> samples = {static_cast<std::int32_t>(0x80000000u), 0x7FFFFFFF,
                                               0x12345600, -256};
    ASSERT_TRUE(wav->Write(LittleEndian({samples[0], samples[1], samples[2], samples[3]}), error));
    ASSERT_TRUE(wav->Commit(error)) << error;
    wav.reset();
    const std::unique_ptr<nuvsim::AudioSource> back = nuvsim::OpenAudioFile(target, error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(back->Format().bits, 32u);
    EXPECT_EQ(back->Format().channels, 2u);
    EXPECT_EQ(back->Frames(), 2u);
    EXPECT_EQ(ReadAll(*back, 1).samples, samples);
}

} // namespace
