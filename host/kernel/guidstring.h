// A GUID as the registry and the platform's tools write it:
// "{520E6EF3-2923-4B79-936C-5E4C17E98D9A}". The one place the host, its
// tools and its tests format one.
#pragma once

#include <wdm.h>

#include <array>
#include <cstdint>
#include <string>

namespace host
{

std::string GuidString(const GUID& guid);

// The same for the 16 bytes of a GUID as files store it (Data1, Data2 and
// Data3 little-endian, then Data4), as a PDB or a CodeView record does.
std::string GuidString(const std::array<std::uint8_t, 16>& bytes);

} // namespace host
