// Which driver a host system runs: the one compiled into the program by the
// host compiler, or nuvaudio.sys, the Windows image of the same sources,
// loaded from its file. Tools take a path (nuvsim --image); test programs
// and fuzz replays take the image from the environment, which CTest's
// image entries set:
//
//     NUV_DRIVER_IMAGE=build/windows/nuvaudio.sys build/tests/nuv_driver_tests --gtest_filter=...
//
//     std::string error;
//     std::optional<host::DriverBinary> driver = host::loader::LoadDriverImage(path, error);
//     host::System system(driver ? *driver : host::DriverBinary{DriverEntry});
#pragma once

#include "host/loader/loadedimage.h"
#include "host/portcls/system.h"

#include <optional>
#include <string>

namespace host::loader
{

constexpr const char* kDriverImageVariable = "NUV_DRIVER_IMAGE";

// The image's path from NUV_DRIVER_IMAGE; empty if it is not set.
std::optional<std::string> DriverImageFromEnvironment();

// The image at `path`, loaded and entered at its entry point; empty with
// `error` set (one line naming the file and the problem) if it is refused.
std::optional<DriverBinary> LoadDriverImage(const std::string& path, std::string& error);

// "the host build" or "the Windows image build/windows/nuvaudio.sys".
std::string DescribeDriver(const DriverBinary& driver);

// A driver function that no platform interface reaches, for checks that
// compare against the driver's own rules: in the host build the function
// itself (`hostBuild`), in an image the function its symbols name (null if
// it has none, or no such function; LoadedImage::SymbolStatus says why). Only for a pointer type
// with the Windows convention (NTAPI): the image's functions all have it, whatever their source
// says, and the host build's function must have it too for one pointer type to hold either.
template <class Pointer>
Pointer DriverFunction(const DriverBinary& driver, const char* name, Pointer hostBuild)
{
    if (driver.image == nullptr)
        return hostBuild;
    return reinterpret_cast<Pointer>(const_cast<void*>(driver.image->FindFunction(name)));
}

} // namespace host::loader
