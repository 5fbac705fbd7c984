// The configuration of a `type nuvaudio` PCM, as ALSA hands it to the plugin:
//
//     pcm.nuvaudio {
//         type nuvaudio
//         device 4                     # 1 to 4: NUV_Wave1 .. NUV_Wave4
//         output "/tmp/device4.wav"    # what the device received, 32-bit WAV
//         slave "default"              # an ALSA PCM that plays it aloud
//         period 480                   # the engine's period in frames
//         image "nuvaudio.sys"         # the Windows image instead of the host build
//         verbose true                 # a summary on stderr at close
//     }
//
// Every key is optional; an unknown key or a bad value is refused with a
// message that names it, before anything starts.
#pragma once

#include <alsa/asoundlib.h>

#include <string>

namespace nuvalsa
{

constexpr int kDevices = 4;
// The engine's own default period (host/engine/engine.h).
constexpr unsigned kDefaultPeriodFrames = 480;
// A period longer than a second of the fastest rate is a typo, not a device.
constexpr unsigned kMaxPeriodFrames = 192000;

struct PluginConfig
{
    int device = 1;
    std::string output;
    std::string slave;
    unsigned periodFrames = kDefaultPeriodFrames;
    std::string image;
    bool verbose = false;
};

// Reads the PCM's block; false, with `error` saying what is wrong, for an
// unknown key, a value of the wrong type or out of range.
bool ReadPluginConfig(snd_config_t* conf, PluginConfig& config, std::string& error);

} // namespace nuvalsa
