// Test builders for the kernel-streaming structures the format rules read,
// and a buffer that ends exactly where its bytes end.
//
//     auto bytes = nuvtest::DataFormatBytes(nuvtest::WaveSubFormat(WAVE_FORMAT_PCM),
//                                           {.channels = 2, .rate = 48000, .bits = 16});
//     nuvtest::GuardedBytes format(bytes);            // FormatSize bytes, no more
//     EXPECT_EQ(CheckWaveFormat(format.As<KSDATAFORMAT>()), STATUS_SUCCESS);
//
// GuardedBytes puts its last byte right before an inaccessible page, so a
// driver routine that reads or writes even one byte past the end crashes the
// test instead of passing by luck.
#pragma once

#include "host/portcls/wavesubformat.h"

#include <portcls.h>
#include <ksmedia.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace nuvtest
{

class GuardedBytes
{
public:
    // `size` bytes, filled with 0xA5 so that untouched bytes are recognisable.
    explicit GuardedBytes(std::size_t size);
    explicit GuardedBytes(std::span<const std::uint8_t> bytes);
    ~GuardedBytes();
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    std::uint8_t* Data() { return data_; }
    std::size_t Size() const { return size_; }
    template <class T> T* As() { return reinterpret_cast<T*>(data_); }
    std::vector<std::uint8_t> Bytes() const { return {data_, data_ + size_}; }

private:
    void* mapping_ = nullptr;
    std::size_t mappingSize_ = 0;
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

constexpr std::uint8_t kUntouched = 0xA5;

// {tag-0000-0010-8000-00AA00389B71}
using host::portcls::WaveSubFormat;

struct WaveFields
{
    USHORT formatTag = WAVE_FORMAT_PCM;
    USHORT channels = 2;
    ULONG rate = 48000;
    USHORT bits = 16;
};

enum class Specifier
{
    WaveFormatEx, // WAVEFORMATEX at byte 64
    DSound,       // KSDSOUND_BUFFERDESC at 64, its WAVEFORMATEX at 72
};

// A whole data format: header (FormatSize = the returned size), the
// DirectSound buffer description if asked, the wave format, and, when
// `extensibleSubFormat` is given, the 22 bytes that make it a
// WAVEFORMATEXTENSIBLE with that SubFormat.
std::vector<std::uint8_t> DataFormatBytes(const GUID& subFormat, WaveFields wave,
                                          Specifier specifier = Specifier::WaveFormatEx,
                                          const GUID* extensibleSubFormat = nullptr);

// Overwrites the header's FormatSize.
void SetFormatSize(std::vector<std::uint8_t>& bytes, ULONG formatSize);

struct RangeFields
{
    ULONG maxChannels = 2;
    ULONG minBits = 16;
    ULONG maxBits = 32;
    ULONG minRate = 44100;
    ULONG maxRate = 96000;
};

// An audio range (88 bytes) with the given GUIDs.
KSDATARANGE_AUDIO AudioRange(const GUID& subFormat, RangeFields fields,
                             const GUID& majorFormat = KSDATAFORMAT_TYPE_AUDIO,
                             const GUID& specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);

// A PCM client range, as a client asks for PCM.
KSDATARANGE_AUDIO PcmRange(RangeFields fields);

// Reads a value of type T at a byte offset of a buffer.
template <class T> T ReadAt(const std::uint8_t* bytes, std::size_t offset)
{
    T value;
    __builtin_memcpy(&value, bytes + offset, sizeof(T));
    return value;
}

} // namespace nuvtest
