#include "tools/nuvsim/streamformat.h"

#include "wave/formatrules.h"

#include <algorithm>
#include <cstring>
#include <sstream>

namespace nuvsim
{
namespace
{

std::string ChannelWord(unsigned channels)
{
    return std::to_string(channels) + (channels == 1 ? " channel" : " channels");
}

bool Within(ULONG value, ULONG low, ULONG high)
{
    return value >= low && value <= high;
}

bool InSomeRange(const DeviceRules& rules, ULONG rate)
{
    return std::any_of(rules.ranges.begin(), rules.ranges.end(),
                       [rate](const AudioRange& range)
                       { return Within(rate, range.minimumRate, range.maximumRate); });
}

ULONG RangeMaximumChannels(const DeviceRules& rules)
{
    ULONG most = 0;
    for (const AudioRange& range : rules.ranges)
        most = std::max(most, range.maximumChannels);
    return most;
}

std::string ChannelRule(const DeviceRules& rules)
{
    const ChannelLimits limits = Channels(rules);
    std::string rule = "device " + std::to_string(rules.device) + " plays ";
    if (limits.minimum == limits.maximum)
        return rule + ChannelWord(limits.minimum) + " only";
    return rule + std::to_string(limits.minimum) + " to " + std::to_string(limits.maximum) +
           " channels";
}

std::string RateRule()
{
    return "the device plays " + std::to_string(PCM_MIN_SAMPLE_RATE) + " to " +
           std::to_string(PCM_MAX_SAMPLE_RATE) + " Hz";
}

} // namespace

USHORT WaveFormatTag(const AudioFormat& format)
{
    switch (format.kind)
    {
    case SampleKind::Integer:
        return WAVE_FORMAT_PCM;
    case SampleKind::Float:
        return WAVE_FORMAT_IEEE_FLOAT;
    case SampleKind::Other:
        break;
    }
    return 0;
}

namespace
{

// The file's samples in containers of whole bytes; an 8-bit or 64-bit file
// keeps its width so that the driver sees what the file holds.
pinclient::PcmLayout LayoutOf(const AudioFormat& format)
{
    return {WaveFormatTag(format), format.channels, (format.bits + 7) / 8 * 8, format.bits,
            format.sampleRate};
}

} // namespace

std::vector<std::uint8_t> ClientRange(const AudioFormat& format)
{
    return pinclient::ClientRange(LayoutOf(format));
}

std::vector<std::uint8_t> DataFormatFor(const AudioFormat& format,
                                        const std::vector<std::uint8_t>* proposal)
{
    return pinclient::DataFormat(LayoutOf(format), proposal);
}

std::vector<AudioRange> AudioRanges(const std::vector<std::vector<unsigned char>>& ranges)
{
    std::vector<AudioRange> audio;
    for (const auto& bytes : ranges)
    {
        if (bytes.size() < sizeof(KSDATARANGE_AUDIO))
            continue;
        KSDATARANGE_AUDIO range;
        std::memcpy(&range, bytes.data(), sizeof(range));
        if (!IsEqualGUID(range.DataRange.MajorFormat, KSDATAFORMAT_TYPE_AUDIO))
            continue;
        audio.push_back({range.MaximumChannels, range.MinimumBitsPerSample,
                         range.MaximumBitsPerSample, range.MinimumSampleFrequency,
                         range.MaximumSampleFrequency});
    }
    return audio;
}

ChannelLimits Channels(const DeviceRules& rules)
{
    const ULONG rangeMaximum = RangeMaximumChannels(rules);
    return {PCM_MIN_CHANNELS,
            static_cast<unsigned>(std::min<ULONG>(PCM_MAX_CHANNELS, rangeMaximum))};
}

std::vector<ULONG> PlayableRates(const DeviceRules& rules)
{
    std::vector<ULONG> rates;
    for (ULONG rate : rules.engineRates)
    {
        if (Within(rate, PCM_MIN_SAMPLE_RATE, PCM_MAX_SAMPLE_RATE) && InSomeRange(rules, rate))
            rates.push_back(rate);
    }
    std::sort(rates.begin(), rates.end());
    return rates;
}

std::string JoinRates(const std::vector<ULONG>& rates, const char* last)
{
    std::string text;
    for (std::size_t k = 0; k < rates.size(); ++k)
    {
        if (k > 0)
            text += k + 1 == rates.size() ? std::string(" ") + last + " " : std::string(", ");
        text += std::to_string(rates[k]);
    }
    return text;
}

std::vector<std::string> RangeReasons(const AudioFormat& format, const DeviceRules& rules)
{
    std::vector<std::string> reasons;
    const ULONG rangeMaximum = RangeMaximumChannels(rules);
    if (format.channels > rangeMaximum && format.channels <= PCM_MAX_CHANNELS)
    {
        reasons.push_back(ChannelWord(format.channels) + ": " + ChannelRule(rules) +
                          " (pin 0 offers at most " + std::to_string(rangeMaximum) +
                          "; device 4 takes up to " + std::to_string(PCM_MAX_CHANNELS) + ")");
    }
    return reasons;
}

std::vector<std::string> RefusalReasons(const AudioFormat& format, const DeviceRules& rules)
{
    std::vector<std::string> reasons;
    switch (format.kind)
    {
    case SampleKind::Float:
        reasons.push_back("the samples are floating point (" + format.encoding +
                          "): the device plays integer PCM only");
        break;
    case SampleKind::Other:
        reasons.push_back("the samples are " + format.encoding +
                          ", not integer PCM: the device plays integer PCM only");
        break;
    case SampleKind::Integer:
        if (!Within(format.bits, WAVE_MIN_BITS_PER_SAMPLE, WAVE_MAX_BITS_PER_SAMPLE))
        {
            reasons.push_back(std::to_string(format.bits) + "-bit samples: the device plays " +
                              std::to_string(WAVE_MIN_BITS_PER_SAMPLE) + " to " +
                              std::to_string(WAVE_MAX_BITS_PER_SAMPLE) + " bits per sample");
        }
        break;
    }

    const ChannelLimits channels = Channels(rules);
    if (format.channels < channels.minimum || format.channels > PCM_MAX_CHANNELS)
        reasons.push_back(ChannelWord(format.channels) + ": " + ChannelRule(rules));
    for (std::string& reason : RangeReasons(format, rules))
        reasons.push_back(std::move(reason));

    if (!Within(format.sampleRate, PCM_MIN_SAMPLE_RATE, PCM_MAX_SAMPLE_RATE) ||
        !InSomeRange(rules, format.sampleRate))
    {
        reasons.push_back(std::to_string(format.sampleRate) + " Hz: " + RateRule());
    }
    else if (std::find(rules.engineRates.begin(), rules.engineRates.end(), format.sampleRate) ==
             rules.engineRates.end())
    {
        reasons.push_back(std::to_string(format.sampleRate) + " Hz: the engine runs at " +
                          JoinRates(PlayableRates(rules), "or") + " Hz only");
    }
    return reasons;
}

std::string DescribeLimits(const DeviceRules& rules)
{
    const ChannelLimits channels = Channels(rules);
    std::string text = "integer PCM, ";
    text += channels.minimum == channels.maximum
                ? ChannelWord(channels.minimum)
                : std::to_string(channels.minimum) + " to " + std::to_string(channels.maximum) +
                      " channels";
    text += ", " + std::to_string(WAVE_MIN_BITS_PER_SAMPLE) + " to " +
            std::to_string(WAVE_MAX_BITS_PER_SAMPLE) + " bits, at " +
            JoinRates(PlayableRates(rules), "or") + " Hz";
    return text;
}

std::string CompactValues(const std::vector<unsigned>& values)
{
    if (values.empty())
        return "none";
    std::vector<unsigned> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    std::string text;
    for (std::size_t k = 0; k < sorted.size();)
    {
        std::size_t end = k;
        while (end + 1 < sorted.size() && sorted[end + 1] == sorted[end] + 1)
            ++end;
        if (!text.empty())
            text += ", ";
        text += std::to_string(sorted[k]);
        if (end > k)
            text += "-" + std::to_string(sorted[end]);
        k = end + 1;
    }
    return text;
}

} // namespace nuvsim
