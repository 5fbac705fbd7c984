// Names for addresses in code and data that the host did not compile: a
// loaded Windows image registers its range, and the host's reports (pool
// blocks and where they were allocated, spin locks, calls) name an address
// inside it by the image's own symbols:
//
//     host::RegisterAddressRange(base, size, [image](const void* a) { return image->Name(a); });
//     host::DescribeAddress(p);   // "0x7f3a10003040 (nuvaudio.sys!TopologyPins+0x40)"
//
// An address outside every registered range is given as a number alone.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace host
{

// The name of an address inside the range, or empty.
using AddressNamer = std::function<std::string(const void* address)>;

void RegisterAddressRange(const void* begin, std::size_t size, AddressNamer namer);
void UnregisterAddressRange(const void* begin);

// "nuvaudio.sys!Symbol+0x12", or empty if no registered range names it.
std::string NameAddress(const void* address);
// The address as a number, with its name in parentheses if it has one.
std::string DescribeAddress(const void* address);

} // namespace host
