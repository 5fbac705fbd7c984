#include "host/kernel/guidstring.h"

#include <cstdio>
#include <cstring>

namespace host
{

std::string GuidString(const GUID& guid)
{
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                  guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    return text;
}

std::string GuidString(const std::array<std::uint8_t, 16>& bytes)
{
    // The host is little-endian, as the files are: the bytes are the
    // structure's.
    static_assert(sizeof(GUID) == 16);
    GUID guid;
    std::memcpy(&guid, bytes.data(), sizeof(guid));
    return GuidString(guid);
}

} // namespace host
