#include "tools/nuvsim/audio.h"

#include <sstream>

namespace nuvsim
{

bool CanFeed(const AudioFormat& format)
{
    return format.kind == SampleKind::Integer &&
           (format.bits == 16 || format.bits == 24 || format.bits == 32);
}

std::string Describe(const AudioFormat& format)
{
    std::ostringstream text;
    text << format.channels << (format.channels == 1 ? " channel, " : " channels, ")
         << format.encoding << ", " << format.sampleRate << " Hz";
    return text.str();
}

std::vector<std::uint8_t> ClientBytes(const AudioClip& clip)
{
    const unsigned bytesPerSample = clip.format.bits / 8;
    const unsigned shift = 32 - clip.format.bits;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(clip.samples.size() * bytesPerSample);
    for (const std::int32_t sample : clip.samples)
    {
        const std::uint32_t value = static_cast<std::uint32_t>(sample) >> shift;
        for (unsigned b = 0; b < bytesPerSample; ++b)
            bytes.push_back(static_cast<std::uint8_t>(value >> (8 * b)));
    }
    return bytes;
}

} // namespace nuvsim
