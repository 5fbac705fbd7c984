#include "tools/nuvsim/audio.h"

#include <bit>
#include <cstring>
#include <sstream>

// The bytes are stored as the host holds them: little-endian.
static_assert(std::endian::native == std::endian::little);

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

void AppendClientBytes(std::span<const std::int32_t> samples, unsigned bits,
                       std::vector<std::uint8_t>& bytes)
{
    const unsigned bytesPerSample = bits / 8;
    const std::size_t at = bytes.size();
    // One byte to spare: a 24-bit sample is stored with a 4-byte store.
    bytes.resize(at + samples.size() * bytesPerSample + 1);
    std::uint8_t* out = bytes.data() + at;
    switch (bytesPerSample)
    {
    case 2:
        for (std::size_t k = 0; k < samples.size(); ++k)
        {
            const auto top =
                static_cast<std::uint16_t>(static_cast<std::uint32_t>(samples[k]) >> 16);
            std::memcpy(out + 2 * k, &top, 2);
        }
        break;
    case 3:
        for (std::size_t k = 0; k < samples.size(); ++k)
        {
            const std::uint32_t top = static_cast<std::uint32_t>(samples[k]) >> 8;
            std::memcpy(out + 3 * k, &top, 4);
        }
        break;
    case 4:
        std::memcpy(out, samples.data(), samples.size() * 4);
        break;
    default:
        break;
    }
    bytes.pop_back();
}

} // namespace nuvsim
