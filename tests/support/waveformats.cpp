#include "tests/support/waveformats.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <stdexcept>

#if defined(__SANITIZE_ADDRESS__)
#define NUV_GUARD_WITH_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NUV_GUARD_WITH_ASAN 1
#endif
#endif

namespace nuvtest
{

#if defined(NUV_GUARD_WITH_ASAN)
// Under AddressSanitizer an exact-size heap block is guarded to the byte by
// its redzone, and its start stays aligned as a request's buffer is; ending
// at a page instead would misalign every structure of an odd-sized blob,
// which UndefinedBehaviorSanitizer rightly refuses.
GuardedBytes::GuardedBytes(std::size_t size) : size_(size)
{
    data_ = static_cast<std::uint8_t*>(
        ::operator new (size == 0 ? 1 : size, std::align_val_t{alignof(std::max_align_t)}));
    std::memset(data_, kUntouched, size);
}

GuardedBytes::~GuardedBytes()
{
    ::operator delete (data_, std::align_val_t{alignof(std::max_align_t)});
}
#else
GuardedBytes::GuardedBytes(std::size_t size) : size_(size)
{
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t dataPages = (size + page - 1) / page;
    mappingSize_ = (dataPages + 1) * page;
    mapping_ =
        mmap(nullptr, mappingSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping_ == MAP_FAILED)
        throw std::runtime_error("GuardedBytes: mmap failed");
    std::uint8_t* guard = static_cast<std::uint8_t*>(mapping_) + dataPages * page;
    if (mprotect(guard, page, PROT_NONE) != 0)
        throw std::runtime_error("GuardedBytes: mprotect failed");
    data_ = guard - size;
    std::memset(data_, kUntouched, size);
}

GuardedBytes::~GuardedBytes()
{
    munmap(mapping_, mappingSize_);
}
#endif

GuardedBytes::GuardedBytes(std::span<const std::uint8_t> bytes) : GuardedBytes(bytes.size())
{
    std::memcpy(data_, bytes.data(), bytes.size());
}

std::vector<std::uint8_t> DataFormatBytes(const GUID& subFormat, WaveFields wave,
                                          Specifier specifier, const GUID* extensibleSubFormat)
{
    const std::size_t waveOffset =
        specifier == Specifier::DSound ? sizeof(KSDATAFORMAT) + 8 : sizeof(KSDATAFORMAT);
    const std::size_t waveSize =
        extensibleSubFormat != nullptr ? sizeof(WAVEFORMATEXTENSIBLE) : sizeof(WAVEFORMATEX);
    std::vector<std::uint8_t> bytes(waveOffset + waveSize, 0);

    KSDATAFORMAT header{};
    header.FormatSize = static_cast<ULONG>(bytes.size());
    header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    header.SubFormat = subFormat;
    header.Specifier = specifier == Specifier::DSound ? KSDATAFORMAT_SPECIFIER_DSOUND
                                                      : KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    std::memcpy(bytes.data(), &header, sizeof(header));

    WAVEFORMATEXTENSIBLE format{};
    format.Format.wFormatTag = wave.formatTag;
    format.Format.nChannels = wave.channels;
    format.Format.nSamplesPerSec = wave.rate;
    format.Format.wBitsPerSample = wave.bits;
    format.Format.nBlockAlign = static_cast<WORD>(wave.channels * ((wave.bits + 7) / 8));
    format.Format.nAvgBytesPerSec = format.Format.nBlockAlign * wave.rate;
    if (extensibleSubFormat != nullptr)
    {
        format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
        format.Samples.wValidBitsPerSample = wave.bits;
        format.dwChannelMask = KSAUDIO_SPEAKER_STEREO;
        format.SubFormat = *extensibleSubFormat;
    }
    std::memcpy(bytes.data() + waveOffset, &format, waveSize);
    return bytes;
}

void SetFormatSize(std::vector<std::uint8_t>& bytes, ULONG formatSize)
{
    std::memcpy(bytes.data(), &formatSize, sizeof(formatSize));
}

KSDATARANGE_AUDIO AudioRange(const GUID& subFormat, RangeFields fields, const GUID& majorFormat,
                             const GUID& specifier)
{
    KSDATARANGE_AUDIO range{};
    range.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
    range.DataRange.MajorFormat = majorFormat;
    range.DataRange.SubFormat = subFormat;
    range.DataRange.Specifier = specifier;
    range.MaximumChannels = fields.maxChannels;
    range.MinimumBitsPerSample = fields.minBits;
    range.MaximumBitsPerSample = fields.maxBits;
    range.MinimumSampleFrequency = fields.minRate;
    range.MaximumSampleFrequency = fields.maxRate;
    return range;
}

KSDATARANGE_AUDIO PcmRange(RangeFields fields)
{
    return AudioRange(KSDATAFORMAT_SUBTYPE_PCM, fields);
}

} // namespace nuvtest
