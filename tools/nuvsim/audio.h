// Audio as nuvsim plays it: a format as a file states it, and integer
// samples held left-justified in 32 bits.
//
// The 32-bit form is also what the device must receive: the driver widens
// every client sample of B bits into a little-endian container with the
// sample at its most significant end, which is the sample shifted left by
// 32 - B. libsndfile reads integer PCM into ints the same way, so a clip
// read from a file already holds the device's expected output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nuvsim
{

enum class SampleKind
{
    Integer, // PCM, signed (8-bit files may be unsigned)
    Float,   // IEEE float or double
    Other,   // anything else libsndfile decodes (A-law, ADPCM, Vorbis...)
};

struct AudioFormat
{
    unsigned channels = 0;
    unsigned sampleRate = 0;
    unsigned bits = 0; // bits per sample as stored; 0 when the encoding has none
    SampleKind kind = SampleKind::Integer;
    std::string encoding; // "16-bit integer PCM", "32-bit float"...
};

struct AudioClip
{
    AudioFormat format;
    std::string source; // the file's path, or a description of the signal
    std::size_t frames = 0;
    // Interleaved, left-justified; empty when the format cannot be fed to
    // the device (only integer PCM of 16, 24 or 32 bits can).
    std::vector<std::int32_t> samples;
};

// Whether nuvsim can give the device this format's samples.
bool CanFeed(const AudioFormat& format);

// "2 channels, 24-bit integer PCM, 48000 Hz".
std::string Describe(const AudioFormat& format);

// The bytes a client hands the device: each sample's top bits / 8 bytes,
// little-endian, frames interleaved.
std::vector<std::uint8_t> ClientBytes(const AudioClip& clip);

} // namespace nuvsim
