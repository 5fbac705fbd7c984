// Client sample data for tests that play it, and the containers the device
// must play for it, computed here and not by the driver's code: the
// independent side of every comparison of what a device played.
//
//     const auto client = nuvtest::ClientSamples(128, 2, 2, /*seed=*/7);
//     EXPECT_EQ(played, nuvtest::ExpectedContainers(client, 2));
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nuvtest
{

// Client bytes: `frames` frames of `channels` samples of `bytesPerSample`
// bytes, every byte from a fixed pseudo-random sequence seeded with `seed`.
std::vector<std::uint8_t> ClientSamples(std::size_t frames, unsigned channels,
                                        unsigned bytesPerSample, std::uint32_t seed);

// The containers the device must play for those client bytes, computed here
// and not by the driver's code: each little-endian sample s of B bytes
// becomes the 32-bit little-endian value s << (32 - 8 * B) (16-bit: s << 16,
// 24-bit: s << 8, 32-bit: s).
std::vector<std::uint8_t> ExpectedContainers(const std::vector<std::uint8_t>& client,
                                             unsigned bytesPerSample);

} // namespace nuvtest
