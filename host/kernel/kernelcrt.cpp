// The memory functions of kernelcrt.h; the formatters are in strings.cpp.
#include "host/kernel/kernelcrt.h"

#include <cstring>

namespace host
{

void* NTAPI_CONVENTION KernelMemcpy(void* destination, const void* source, std::size_t count)
{
    return std::memcpy(destination, source, count);
}

void* NTAPI_CONVENTION KernelMemmove(void* destination, const void* source, std::size_t count)
{
    return std::memmove(destination, source, count);
}

void* NTAPI_CONVENTION KernelMemset(void* destination, int value, std::size_t count)
{
    return std::memset(destination, value, count);
}

int NTAPI_CONVENTION KernelMemcmp(const void* left, const void* right, std::size_t count)
{
    return std::memcmp(left, right, count);
}

} // namespace host
