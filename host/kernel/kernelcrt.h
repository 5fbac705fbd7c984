// The part of the kernel's C runtime that a Windows image imports from
// ntoskrnl.exe: the memory functions the compiler calls for copies, zeroing
// and comparisons, and the wide formatters. They have the Windows calling
// convention (the C library's own functions have the host's), and
// _vsnwprintf takes the Windows form of va_list. The host build's driver
// never calls them: its compiler calls the C library directly.
//
// The image loader binds them under their export names:
//
//     {"memcpy", &host::KernelMemcpy}, {"_vsnwprintf", &host::KernelVsnwprintf}
#pragma once

#include <ntdef.h>

#include <cstddef>

namespace host
{

void* NTAPI_CONVENTION KernelMemcpy(void* destination, const void* source, std::size_t count);
void* NTAPI_CONVENTION KernelMemmove(void* destination, const void* source, std::size_t count);
void* NTAPI_CONVENTION KernelMemset(void* destination, int value, std::size_t count);
int NTAPI_CONVENTION KernelMemcmp(const void* left, const void* right, std::size_t count);

// _vsnwprintf: at most `count` characters; the length without the null
// when the text fits (a null follows if there is room), -1 when it does
// not (the first `count` characters are written, with no null).
int NTAPI_CONVENTION KernelVsnwprintf(PWSTR buffer, std::size_t count, PCWSTR format,
                                      __builtin_ms_va_list args);
// swprintf, the kernel's legacy form without a count: the length written.
int NTAPI_CONVENTION KernelSwprintf(PWSTR buffer, PCWSTR format, ...);

} // namespace host
