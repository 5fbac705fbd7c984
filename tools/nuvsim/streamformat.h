// The formats a client hands the wave pin, and the device's rules in words.
//
// A client asks the filter first: it sends a KSDATARANGE_AUDIO describing
// what it has (ClientRange) and gets the filter's proposal back through the
// library's intersection dispatch. It then opens the pin with the format of
// its file, a 104-byte KSDATAFORMAT + WAVEFORMATEXTENSIBLE (DataFormatFor);
// where the proposal came back, its header is the template.
//
// The driver is the authority on what opens; DeviceRules restates its limits
// (the format check's constants, pin 0's data range, the engine's rates) so
// that a refusal can be explained to a person.
#pragma once

#include "tools/nuvsim/audio.h"
#include "tools/pinclient/pinformat.h"

#include <portcls.h>
#include <ksmedia.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nuvsim
{

// Built the way every client of the pin here builds them (tools/pinclient).
using pinclient::ChannelMask;
using pinclient::DescribeProposal;
using pinclient::WaveSubFormat;

// The wave format tag a file's samples travel under: PCM, IEEE float, or 0
// for an encoding without one.
USHORT WaveFormatTag(const AudioFormat& format);

// A KSDATARANGE_AUDIO for the file's samples, as one range's bytes.
std::vector<std::uint8_t> ClientRange(const AudioFormat& format);

// The 104-byte data format of the file's samples; `proposal` (the filter's
// answer to the intersection, if it gave one of that size) lends its header.
std::vector<std::uint8_t> DataFormatFor(const AudioFormat& format,
                                        const std::vector<std::uint8_t>* proposal);

// A KSDATARANGE_AUDIO as a pin of the driver publishes it.
struct AudioRange
{
    ULONG maximumChannels = 0;
    ULONG minimumBits = 0;
    ULONG maximumBits = 0;
    ULONG minimumRate = 0;
    ULONG maximumRate = 0;
};

// The audio ranges among a pin's data ranges (each FormatSize bytes).
std::vector<AudioRange> AudioRanges(const std::vector<std::vector<unsigned char>>& ranges);

struct DeviceRules
{
    int device = 1;                 // 1 to 4
    std::vector<AudioRange> ranges; // pin 0's
    std::vector<ULONG> engineRates; // the rates the engine switches to
};

// Every rule the format breaks, one plain sentence each; empty if none.
std::vector<std::string> RefusalReasons(const AudioFormat& format, const DeviceRules& rules);

// The reasons that come from pin 0's data ranges alone (the ones the
// driver's format check does not apply when the stream opens).
std::vector<std::string> RangeReasons(const AudioFormat& format, const DeviceRules& rules);

// "integer PCM, 2 channels, 16 to 32 bits, at 44100, 48000, 88200 or 96000 Hz".
std::string DescribeLimits(const DeviceRules& rules);

// The channel counts the device takes: the format check's and pin 0's range's
// limits together.
struct ChannelLimits
{
    unsigned minimum = 0;
    unsigned maximum = 0;
};
ChannelLimits Channels(const DeviceRules& rules);

// The rates a stream can run at: the format check's PCM range, pin 0's
// range, and the engine's list.
std::vector<ULONG> PlayableRates(const DeviceRules& rules);

// "2-6", "0-2", "44100-96000", "16, 24, 32": ascending values with runs of
// consecutive integers joined; "none" when empty.
std::string CompactValues(const std::vector<unsigned>& values);

// "44100, 48000, 88200 or 96000".
std::string JoinRates(const std::vector<ULONG>& rates, const char* last);

} // namespace nuvsim
