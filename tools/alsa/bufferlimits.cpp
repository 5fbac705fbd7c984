#include "tools/alsa/bufferlimits.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace nuvalsa
{
namespace
{

void SortOnce(std::vector<unsigned>& values)
{
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
}

// k * P * fb, or nothing if it does not fit ALSA's unsigned sizes.
bool Multiple(unsigned k, unsigned periodFrames, unsigned frameBytes, unsigned& bytes)
{
    const std::uint64_t value = std::uint64_t{k} * periodFrames * frameBytes;
    if (value > std::numeric_limits<unsigned>::max())
        return false;
    bytes = static_cast<unsigned>(value);
    return true;
}

} // namespace

BufferLimits LimitsFor(unsigned periodFrames, const std::vector<unsigned>& frameSizes)
{
    BufferLimits limits;
    if (frameSizes.empty() || periodFrames == 0)
        return limits;
    const unsigned largest = *std::max_element(frameSizes.begin(), frameSizes.end());
    const std::uint64_t leastBuffer = std::uint64_t{2} * periodFrames * largest;
    for (unsigned frameBytes : frameSizes)
    {
        unsigned bytes = 0;
        for (unsigned k = 1; k <= kMostPeriodMultiple; ++k)
        {
            if (Multiple(k, periodFrames, frameBytes, bytes))
                limits.periodBytes.push_back(bytes);
        }
        for (unsigned k = 2; k <= kMostBufferMultiple; ++k)
        {
            if (Multiple(k, periodFrames, frameBytes, bytes) && bytes >= leastBuffer)
                limits.bufferBytes.push_back(bytes);
        }
    }
    SortOnce(limits.periodBytes);
    SortOnce(limits.bufferBytes);
    return limits;
}

} // namespace nuvalsa
