// What the device offers an ALSA client, asked of the driver the way a
// client of the wave pin asks, not read from a list:
//
//   1. the data-range intersection: a KSDATARANGE_AUDIO of exactly the
//      client's samples, answered by the filter with its proposal; the
//      proposal must keep the client's channel count and valid bits (a
//      client asks only for what the pin's data range offers);
//   2. a pin open with the client's own data format, which the driver's
//      format check accepts or refuses (NewStream).
//
// ProbeOffer asks this for every ALSA sample format that a
// WAVEFORMATEXTENSIBLE can carry, channel counts 1 to 8 (or the range's
// maximum) and the usual ALSA rates with the range's limits among them; the
// shapes that opened make the offer. ALSA constrains format, channels and
// rate each on its own, so a combination outside the accepted set can still
// reach hw_params, which asks the pin again (AskPin) and refuses it.
#pragma once

#include "host/portcls/pin.h"

#include <alsa/asoundlib.h>
#include <portcls.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace nuvalsa
{

// An ALSA sample format as a WAVEFORMATEXTENSIBLE carries it.
struct SampleLayout
{
    snd_pcm_format_t format;
    USHORT formatTag;
    unsigned containerBits;
    unsigned validBits;
};

// Every ALSA format with such a layout: integer PCM of 8 (unsigned), 16,
// 24 (packed) and 32 bits, IEEE float of 32 and 64 bits, A-law and mu-law.
// ALSA's 24-in-32 and 20-bit formats hold their samples at the low end of
// the container, which WAVEFORMATEXTENSIBLE cannot say, and big-endian
// ones have no form at all.
std::span<const SampleLayout> SampleLayouts();
const SampleLayout* FindLayout(snd_pcm_format_t format);

struct StreamShape
{
    snd_pcm_format_t format = SND_PCM_FORMAT_UNKNOWN;
    unsigned channels = 0;
    unsigned rate = 0;
    bool operator==(const StreamShape&) const = default;
};

// "S16_LE, 2 channels, 48000 Hz".
std::string Describe(const StreamShape& shape);
// Bytes of one frame of the client's samples.
unsigned FrameBytes(const StreamShape& shape);

// The filter's and the pin's answer for one shape.
struct PinAnswer
{
    bool accepted = false;
    std::string reason;                      // why not, in words, when refused
    std::string proposal;                    // the filter's proposal, in words
    std::vector<std::uint8_t> format;        // the data format the pin opened with
    std::unique_ptr<host::portcls::Pin> pin; // when asked to keep it open
};

// `port` is the WavePci port of the device's wave filter, `miniport` its
// miniport; pin 0 is the streaming pin. PASSIVE_LEVEL.
PinAnswer AskPin(PUNKNOWN port, PMINIPORTWAVEPCI miniport, const StreamShape& shape, bool keepOpen);

struct DeviceOffer
{
    // Formats by width (the order of SampleLayouts); channels and rates
    // ascending, as ALSA wants its lists.
    std::vector<snd_pcm_format_t> formats;
    std::vector<unsigned> channels;
    std::vector<unsigned> rates;
    // Every shape that opened.
    std::vector<StreamShape> accepted;

    bool Empty() const { return accepted.empty(); }
    bool Accepts(const StreamShape& shape) const;
    // The frame sizes of the accepted shapes, ascending, each once.
    std::vector<unsigned> FrameSizes() const;
};

DeviceOffer ProbeOffer(PUNKNOWN port, PMINIPORTWAVEPCI miniport);

// "S16_LE S24_3LE S32_LE; 2 channels; 44100 48000 88200 96000 Hz".
std::string Describe(const DeviceOffer& offer);

} // namespace nuvalsa
