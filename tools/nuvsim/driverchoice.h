// Which driver nuvsim runs: the host build linked into it, or with --image
// the Windows image nuvaudio.sys loaded from its file (the one the build
// made, beside this program's build, when no path is given):
//
//     nuvsim devices --image
//     nuvsim play music.flac --image build/windows/nuvaudio.sys
//
// (--image takes the next argument as its path unless it is an option: give
// the input first, or write --image=PATH.)
#pragma once

#include "host/portcls/system.h"

#include <iosfwd>
#include <optional>
#include <string>

namespace CLI
{
class App;
}

namespace nuvsim
{

struct DriverOption
{
    bool image = false;
    std::string path; // empty: the build's own image
};

// Adds --image [PATH] to a subcommand.
void AddImageOption(CLI::App& command, DriverOption& option);

// The driver the option names; empty after a one-line "nuvsim: ..." on
// `err` when the image cannot be loaded.
std::optional<host::DriverBinary> ChooseDriver(const DriverOption& option, std::ostream& err);

// "the host build" or "the Windows image PATH".
std::string DescribeDriver(const host::DriverBinary& driver);

// The image the build made (NUV_DEFAULT_IMAGE, from the CMake build).
std::string DefaultImagePath();

} // namespace nuvsim
