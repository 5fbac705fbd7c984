#include "tools/pinclient/pinformat.h"

#include <cstring>
#include <sstream>

namespace pinclient
{
namespace
{

constexpr std::size_t kPcmFormatSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE);
static_assert(kPcmFormatSize == 104);

std::string ChannelWord(unsigned channels)
{
    return std::to_string(channels) + (channels == 1 ? " channel" : " channels");
}

} // namespace

ULONG ChannelMask(unsigned channels)
{
    switch (channels)
    {
    case 1:
        return KSAUDIO_SPEAKER_MONO;
    case 2:
        return KSAUDIO_SPEAKER_STEREO;
    case 4:
        return KSAUDIO_SPEAKER_QUAD;
    case 6:
        return KSAUDIO_SPEAKER_5POINT1;
    default:
        // The first `channels` speaker positions, in the order of the mask.
        return channels >= 32 ? 0xFFFFFFFFu : (1u << channels) - 1;
    }
}

std::vector<std::uint8_t> ClientRange(const PcmLayout& layout)
{
    KSDATARANGE_AUDIO range = {};
    range.DataRange.FormatSize = sizeof(range);
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = WaveSubFormat(layout.formatTag);
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = layout.channels;
    range.MinimumBitsPerSample = layout.validBits;
    range.MaximumBitsPerSample = layout.validBits;
    range.MinimumSampleFrequency = layout.sampleRate;
    range.MaximumSampleFrequency = layout.sampleRate;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&range);
    return {bytes, bytes + sizeof(range)};
}

std::vector<std::uint8_t> DataFormat(const PcmLayout& layout,
                                     const std::vector<std::uint8_t>* proposal)
{
    std::vector<std::uint8_t> bytes(kPcmFormatSize, 0);
    if (proposal != nullptr && proposal->size() == kPcmFormatSize)
        bytes = *proposal;

    auto* header = reinterpret_cast<KSDATAFORMAT*>(bytes.data());
    auto* wave = reinterpret_cast<WAVEFORMATEXTENSIBLE*>(bytes.data() + sizeof(KSDATAFORMAT));
    const auto container = static_cast<USHORT>(layout.containerBits);
    const auto blockAlign = static_cast<USHORT>(container / 8 * layout.channels);

    header->FormatSize = kPcmFormatSize;
    header->SampleSize = blockAlign;
    header->MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    header->SubFormat = WaveSubFormat(layout.formatTag);
    header->Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;

    wave->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    wave->Format.nChannels = static_cast<USHORT>(layout.channels);
    wave->Format.nSamplesPerSec = layout.sampleRate;
    wave->Format.nBlockAlign = blockAlign;
    wave->Format.nAvgBytesPerSec = blockAlign * layout.sampleRate;
    wave->Format.wBitsPerSample = container;
    wave->Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    wave->Samples.wValidBitsPerSample = static_cast<USHORT>(layout.validBits);
    wave->dwChannelMask = ChannelMask(layout.channels);
    wave->SubFormat = WaveSubFormat(layout.formatTag);
    return bytes;
}

std::optional<Proposal> ReadProposal(const std::vector<std::uint8_t>& format)
{
    if (format.size() != kPcmFormatSize)
        return std::nullopt;
    WAVEFORMATEXTENSIBLE wave;
    std::memcpy(&wave, format.data() + sizeof(KSDATAFORMAT), sizeof(wave));
    return Proposal{wave.Format.nChannels, wave.Format.wBitsPerSample,
                    wave.Samples.wValidBitsPerSample, wave.Format.nSamplesPerSec};
}

std::string DescribeProposal(const std::vector<std::uint8_t>& format)
{
    const std::optional<Proposal> proposal = ReadProposal(format);
    if (!proposal)
        return {};
    std::ostringstream text;
    text << ChannelWord(proposal->channels) << ", " << proposal->containerBits
         << "-bit containers (" << proposal->validBits << " valid), " << proposal->sampleRate
         << " Hz";
    return text.str();
}

} // namespace pinclient
