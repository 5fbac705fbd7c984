// Which device plays what: the streams of one `nuvsim play`, from the
// command line in the order it was written.
//
//     nuvsim play music.flac                          device 1
//     nuvsim play --device 4 --output out.wav six.wav
//     nuvsim play --device 1 a.wav --device 4 b.flac --output b-played.wav
//     nuvsim play --device all --output played.wav    the test signal on all
//                                                     four, into played-1.wav
//                                                     to played-4.wav
//
// With one device (or none: device 1) the input and --output may stand
// anywhere. With several, each input and each --output belongs to the
// --device written before it; a device without an input plays the test
// signal. A device may be given once, with one input and one output.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace nuvsim
{

// One word of the command line that decides the streams.
struct PlayArgument
{
    enum class Kind
    {
        Device, // --device VALUE
        Input,  // a positional INPUT
        Output, // --output VALUE
    };
    Kind kind = Kind::Input;
    std::string value;
};

struct StreamRequest
{
    int device = 1;
    std::string input;  // empty: the test signal
    std::string output; // empty: none
};

constexpr int kDevices = 4;

// The streams, in the order of their devices; nullopt with the reason in
// `error` (one line, naming the device or file at fault).
std::optional<std::vector<StreamRequest>> PlanStreams(const std::vector<PlayArgument>& arguments,
                                                      std::string& error);

// FILE with "-N" before its extension: played.wav -> played-2.wav.
std::string NumberedPath(const std::string& path, int number);

} // namespace nuvsim
