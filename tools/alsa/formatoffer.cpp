#include "tools/alsa/formatoffer.h"

#include "host/portcls/portclass.h"
#include "tools/pinclient/pinformat.h"
#include "tools/pinclient/statusname.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <sstream>

namespace nuvalsa
{
namespace
{

const SampleLayout kLayouts[] = {
    {SND_PCM_FORMAT_U8, WAVE_FORMAT_PCM, 8, 8},
    {SND_PCM_FORMAT_S16_LE, WAVE_FORMAT_PCM, 16, 16},
    {SND_PCM_FORMAT_S24_3LE, WAVE_FORMAT_PCM, 24, 24},
    {SND_PCM_FORMAT_S32_LE, WAVE_FORMAT_PCM, 32, 32},
    {SND_PCM_FORMAT_FLOAT_LE, WAVE_FORMAT_IEEE_FLOAT, 32, 32},
    {SND_PCM_FORMAT_FLOAT64_LE, WAVE_FORMAT_IEEE_FLOAT, 64, 64},
    {SND_PCM_FORMAT_A_LAW, WAVE_FORMAT_ALAW, 8, 8},
    {SND_PCM_FORMAT_MU_LAW, WAVE_FORMAT_MULAW, 8, 8},
};

// The rates ALSA programs ask for; the pin's range adds its own limits.
const unsigned kAlsaRates[] = {5512,  8000,  11025, 16000,  22050,  32000,  44100, 48000,
                               64000, 88200, 96000, 176400, 192000, 352800, 384000};
constexpr unsigned kMostChannels = 8;

std::string ChannelWord(unsigned channels)
{
    return std::to_string(channels) + (channels == 1 ? " channel" : " channels");
}

pinclient::PcmLayout LayoutFor(const SampleLayout& sample, const StreamShape& shape)
{
    return {sample.formatTag, shape.channels, sample.containerBits, sample.validBits, shape.rate};
}

// The two-call protocol a client uses: the size first, then the format.
host::portcls::IntersectionResult Intersect(PUNKNOWN port, const std::vector<std::uint8_t>& range)
{
    const std::vector<std::vector<unsigned char>> ranges = {range};
    host::portcls::IntersectionResult sized =
        host::portcls::IntersectDataRanges(port, 0, ranges, 0);
    if (sized.status != STATUS_BUFFER_OVERFLOW || sized.length == 0)
        return sized;
    return host::portcls::IntersectDataRanges(port, 0, ranges, sized.length);
}

// Why a proposal does not serve the client, or empty if it does.
std::string ProposalShortfall(const pinclient::Proposal& proposal, const SampleLayout& sample,
                              const StreamShape& shape)
{
    if (proposal.channels != shape.channels)
    {
        return "the filter proposes " + ChannelWord(proposal.channels) + " for a client asking " +
               std::to_string(shape.channels) + " (pin 0's data range)";
    }
    if (proposal.validBits < sample.validBits)
    {
        return "the filter proposes " + std::to_string(proposal.validBits) +
               " valid bits for a client asking " + std::to_string(sample.validBits) +
               " (pin 0's data range)";
    }
    return {};
}

struct RateRange
{
    ULONG lowest = 0;
    ULONG highest = 0;
};

// The audio ranges of pin 0, as a client reads them from the filter.
std::vector<RateRange> PinRateRanges(PUNKNOWN port, unsigned& mostChannels)
{
    std::vector<RateRange> ranges;
    const std::optional<host::portcls::FilterDescription> description =
        host::portcls::Description(port);
    if (!description || description->pins.empty())
        return ranges;
    for (const std::vector<unsigned char>& bytes : description->pins[0].dataRanges)
    {
        if (bytes.size() < sizeof(KSDATARANGE_AUDIO))
            continue;
        KSDATARANGE_AUDIO range;
        std::memcpy(&range, bytes.data(), sizeof(range));
        ranges.push_back({range.MinimumSampleFrequency, range.MaximumSampleFrequency});
        mostChannels = std::max(mostChannels, static_cast<unsigned>(range.MaximumChannels));
    }
    return ranges;
}

std::vector<unsigned> RatesToAsk(const std::vector<RateRange>& ranges)
{
    std::set<unsigned> rates(std::begin(kAlsaRates), std::end(kAlsaRates));
    for (const RateRange& range : ranges)
    {
        rates.insert(range.lowest);
        rates.insert(range.highest);
    }
    rates.erase(0);
    return {rates.begin(), rates.end()};
}

template <class T> std::vector<T> SortedOnce(std::vector<T> values)
{
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    return values;
}

} // namespace

std::span<const SampleLayout> SampleLayouts()
{
    return kLayouts;
}

const SampleLayout* FindLayout(snd_pcm_format_t format)
{
    for (const SampleLayout& layout : kLayouts)
    {
        if (layout.format == format)
            return &layout;
    }
    return nullptr;
}

std::string Describe(const StreamShape& shape)
{
    const char* name = snd_pcm_format_name(shape.format);
    return std::string(name != nullptr ? name : "?") + ", " + ChannelWord(shape.channels) + ", " +
           std::to_string(shape.rate) + " Hz";
}

unsigned FrameBytes(const StreamShape& shape)
{
    const SampleLayout* layout = FindLayout(shape.format);
    return layout == nullptr ? 0 : layout->containerBits / 8 * shape.channels;
}

PinAnswer AskPin(PUNKNOWN port, PMINIPORTWAVEPCI miniport, const StreamShape& shape, bool keepOpen)
{
    PinAnswer answer;
    const SampleLayout* sample = FindLayout(shape.format);
    if (sample == nullptr)
    {
        answer.reason = "the format has no WAVEFORMATEXTENSIBLE form";
        return answer;
    }
    const pinclient::PcmLayout layout = LayoutFor(*sample, shape);
    const host::portcls::IntersectionResult intersection =
        Intersect(port, pinclient::ClientRange(layout));
    if (!NT_SUCCESS(intersection.status))
    {
        answer.reason = "the filter has no format for it (data-range intersection: " +
                        pinclient::StatusName(intersection.status) + ")";
        return answer;
    }
    answer.proposal = pinclient::DescribeProposal(intersection.format);
    const std::optional<pinclient::Proposal> proposal =
        pinclient::ReadProposal(intersection.format);
    if (!proposal)
    {
        answer.reason = "the filter answered with a format that is not PCM (" +
                        std::to_string(intersection.format.size()) + " bytes)";
        return answer;
    }
    answer.reason = ProposalShortfall(*proposal, *sample, shape);
    if (!answer.reason.empty())
        return answer;

    answer.format = pinclient::DataFormat(layout, &intersection.format);
    std::unique_ptr<host::portcls::Pin> pin;
    const NTSTATUS status = host::portcls::Pin::Open(miniport, 0, answer.format, {}, pin);
    if (!NT_SUCCESS(status))
    {
        answer.reason =
            "the driver refused to open the pin with it (" + pinclient::StatusName(status) + ")";
        return answer;
    }
    answer.accepted = true;
    if (keepOpen)
        answer.pin = std::move(pin);
    else
        pin->Close();
    return answer;
}

bool DeviceOffer::Accepts(const StreamShape& shape) const
{
    return std::find(accepted.begin(), accepted.end(), shape) != accepted.end();
}

std::vector<unsigned> DeviceOffer::FrameSizes() const
{
    std::vector<unsigned> sizes;
    for (const StreamShape& shape : accepted)
        sizes.push_back(FrameBytes(shape));
    return SortedOnce(sizes);
}

DeviceOffer ProbeOffer(PUNKNOWN port, PMINIPORTWAVEPCI miniport)
{
    DeviceOffer offer;
    unsigned mostChannels = kMostChannels;
    const std::vector<unsigned> rates = RatesToAsk(PinRateRanges(port, mostChannels));
    for (const SampleLayout& sample : kLayouts)
    {
        for (unsigned channels = 1; channels <= mostChannels; ++channels)
        {
            for (unsigned rate : rates)
            {
                const StreamShape shape{sample.format, channels, rate};
                if (AskPin(port, miniport, shape, false).accepted)
                    offer.accepted.push_back(shape);
            }
        }
    }
    for (const StreamShape& shape : offer.accepted)
    {
        offer.formats.push_back(shape.format);
        offer.channels.push_back(shape.channels);
        offer.rates.push_back(shape.rate);
    }
    // In the order of the layouts (by width), each once.
    std::vector<snd_pcm_format_t> formats;
    for (const SampleLayout& sample : kLayouts)
    {
        if (std::find(offer.formats.begin(), offer.formats.end(), sample.format) !=
            offer.formats.end())
            formats.push_back(sample.format);
    }
    offer.formats = formats;
    offer.channels = SortedOnce(offer.channels);
    offer.rates = SortedOnce(offer.rates);
    return offer;
}

std::string Describe(const DeviceOffer& offer)
{
    if (offer.Empty())
        return "nothing";
    std::ostringstream text;
    for (std::size_t k = 0; k < offer.formats.size(); ++k)
        text << (k == 0 ? "" : " ") << snd_pcm_format_name(offer.formats[k]);
    text << "; ";
    for (std::size_t k = 0; k < offer.channels.size(); ++k)
        text << (k == 0 ? "" : " ") << offer.channels[k];
    text << (offer.channels.size() == 1 && offer.channels[0] == 1 ? " channel; " : " channels; ");
    for (std::size_t k = 0; k < offer.rates.size(); ++k)
        text << (k == 0 ? "" : " ") << offer.rates[k];
    text << " Hz";
    return text.str();
}

} // namespace nuvalsa
