#include "host/test/support/clientsamples.h"

#include <random>

namespace nuvtest
{

std::vector<std::uint8_t> ClientSamples(std::size_t frames, unsigned channels,
                                        unsigned bytesPerSample, std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<std::uint8_t> bytes(frames * channels * bytesPerSample);
    for (auto& byte : bytes)
        byte = static_cast<std::uint8_t>(random());
    return bytes;
}

std::vector<std::uint8_t> ExpectedContainers(const std::vector<std::uint8_t>& client,
                                             unsigned bytesPerSample)
{
    std::vector<std::uint8_t> containers;
    for (std::size_t i = 0; i + bytesPerSample <= client.size(); i += bytesPerSample)
    {
        std::uint32_t sample = 0;
        for (unsigned b = 0; b < bytesPerSample; ++b)
            sample |= std::uint32_t{client[i + b]} << (8 * b);
        const std::uint32_t value = sample << (32 - 8 * bytesPerSample);
        for (unsigned b = 0; b < 4; ++b)
            containers.push_back(static_cast<std::uint8_t>(value >> (8 * b)));
    }
    return containers;
}

} // namespace nuvtest
