// A fault inside a loaded image's code (an access violation, an invalid
// instruction such as the trap of a pure virtual call, a division by zero)
// kills the process as it would without the image; first, a handler prints
// which function of which image it happened in:
//
//     host: SIGSEGV in nuvaudio.sys!CMiniportWavePciStream::Service()+0x5e (pc 0x7f..., address
//     0x10)
//
// after which the signal goes to whatever handled it before (the default:
// the process ends). Faults elsewhere are left alone entirely.
#pragma once

#include <cstddef>
#include <cstdint>

namespace host::loader
{

// What the handler needs of an image, fixed for its lifetime: the code range
// and its function symbols sorted by address.
struct FaultTarget
{
    std::uintptr_t begin = 0;
    std::uintptr_t end = 0;
    const char* imageName = nullptr;
    const std::uintptr_t* symbolAddresses = nullptr;
    const char* const* symbolNames = nullptr;
    std::size_t symbolCount = 0;
};

// Installs the handler (once per process) and adds the image; false if there
// is no room for another (the image then runs without fault reports).
bool WatchForFaults(const FaultTarget* target);
void StopWatchingFaults(const FaultTarget* target);

} // namespace host::loader
