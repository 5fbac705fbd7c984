// Audio as nuvsim plays it: a format as a file states it, and integer
// samples held left-justified in 32 bits.
//
// The 32-bit form is also what the device must receive: the driver widens
// every client sample of B bits into a little-endian container with the
// sample at its most significant end, which is the sample shifted left by
// 32 - B. libsndfile reads integer PCM into ints the same way, so samples
// read from a file already are the device's expected output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
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

// Whether nuvsim can give the device this format's samples.
bool CanFeed(const AudioFormat& format);

// "2 channels, 24-bit integer PCM, 48000 Hz".
std::string Describe(const AudioFormat& format);

// Audio read in blocks, as a client needs it: a file (wavio.h) or the test
// signal (signal.h). Nothing holds more than the block asked for, so an
// input of any length plays in the same memory.
//
//     std::vector<std::int32_t> block(frames * source->Format().channels);
//     while (std::size_t got = source->Read(block)) ...
class AudioSource
{
public:
    virtual ~AudioSource() = default;

    const AudioFormat& Format() const { return m_format; }
    std::uint64_t Frames() const { return m_frames; }
    // The file's path, or a description of the signal.
    const std::string& Name() const { return m_name; }

    // The next frames, as many as `samples` holds whole, interleaved and
    // left-justified; returns how many (0 at the end). Fewer than asked
    // before the end only on a read error, which Error() then says. A
    // format nuvsim cannot feed (CanFeed) reads nothing.
    virtual std::size_t Read(std::span<std::int32_t> samples) = 0;
    const std::string& Error() const { return m_error; }
    // Another reader of the same input, from its start: the device's
    // output is compared with the input read a second time.
    virtual std::unique_ptr<AudioSource> Reopen(std::string& error) const = 0;

protected:
    AudioSource(AudioFormat format, std::uint64_t frames, std::string name)
        : m_format(std::move(format)), m_frames(frames), m_name(std::move(name))
    {
    }
    AudioFormat m_format;
    std::uint64_t m_frames = 0;
    std::string m_name;
    std::string m_error;
};

// Appends the bytes a client hands the device for these samples: each
// sample's top bits / 8 bytes, little-endian, frames interleaved.
void AppendClientBytes(std::span<const std::int32_t> samples, unsigned bits,
                       std::vector<std::uint8_t>& bytes);

} // namespace nuvsim
