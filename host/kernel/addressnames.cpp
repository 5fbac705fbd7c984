#include "host/kernel/addressnames.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <vector>

namespace host
{
namespace
{

struct NamedRange
{
    const unsigned char* begin;
    std::size_t size;
    AddressNamer namer;
};

struct Ranges
{
    std::mutex mutex;
    std::vector<NamedRange> ranges;
};

Ranges& TheRanges()
{
    // Never destroyed: reports may be made by threads still running at exit.
    static Ranges& ranges = *new Ranges;
    return ranges;
}

} // namespace

void RegisterAddressRange(const void* begin, std::size_t size, AddressNamer namer)
{
    Ranges& ranges = TheRanges();
    std::lock_guard lock(ranges.mutex);
    ranges.ranges.push_back({static_cast<const unsigned char*>(begin), size, std::move(namer)});
}

void UnregisterAddressRange(const void* begin)
{
    Ranges& ranges = TheRanges();
    std::lock_guard lock(ranges.mutex);
    std::erase_if(ranges.ranges, [begin](const NamedRange& range) { return range.begin == begin; });
}

std::string NameAddress(const void* address)
{
    const auto* byte = static_cast<const unsigned char*>(address);
    AddressNamer namer;
    {
        Ranges& ranges = TheRanges();
        std::lock_guard lock(ranges.mutex);
        auto found = std::find_if(ranges.ranges.begin(), ranges.ranges.end(),
                                  [byte](const NamedRange& range) {
                                      return byte >= range.begin && byte < range.begin + range.size;
                                  });
        if (found == ranges.ranges.end())
            return {};
        namer = found->namer;
    }
    return namer(address);
}

std::string DescribeAddress(const void* address)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%p", address);
    const std::string name = NameAddress(address);
    return name.empty() ? std::string(text) : std::string(text) + " (" + name + ")";
}

} // namespace host
