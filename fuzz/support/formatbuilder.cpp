#include "fuzz/support/formatbuilder.h"

#include "host/portcls/wavesubformat.h"

#include <portcls.h>
#include <ksmedia.h>

#include <algorithm>
#include <cstring>

namespace nuvfuzz
{
namespace
{

using host::portcls::WaveSubFormat;

// Tags the rules know (PCM, extensible, the three pass-through formats) and
// one they do not.
const USHORT kTags[] = {WAVE_FORMAT_PCM, WAVE_FORMAT_EXTENSIBLE, 0x0092, 0x0164, 0x0008, 0x0003};
const ULONG kRates[] = {44100, 48000, 88200, 96000, 192000, 43999, 96001, 8000};
const USHORT kBits[] = {16, 20, 24, 32, 8, 33, 15};
const USHORT kChannels[] = {2, 6, 1, 0, 4, 7};

// True one time in `oneIn`, and never once the input has run out (its reads
// are then 0), so that an exhausted input builds the plain shape.
bool Rarely(FuzzInput& in, std::uint8_t oneIn)
{
    return in.Choice(oneIn) == oneIn - 1;
}

template <class T, std::size_t N> T Pick(FuzzInput& in, const T (&values)[N])
{
    // Mostly a listed value; one time in eight anything at all.
    if (Rarely(in, 8))
    {
        T value{};
        const auto bytes = in.Bytes(sizeof(T));
        if (!bytes.empty())
            std::memcpy(&value, bytes.data(), bytes.size());
        return value;
    }
    return values[in.Choice(N)];
}

void Put(std::vector<std::uint8_t>& bytes, std::size_t offset, const void* value, std::size_t size)
{
    if (offset >= bytes.size())
        return;
    std::memcpy(bytes.data() + offset, value, std::min(size, bytes.size() - offset));
}

std::vector<std::uint8_t> BuildFormat(FuzzInput& in, bool extensible, bool dsound, USHORT tag,
                                      USHORT channels, ULONG rate, USHORT bits)
{
    const std::size_t waveOffset = sizeof(KSDATAFORMAT) + (dsound ? 8 : 0);
    const std::size_t waveSize = extensible ? sizeof(WAVEFORMATEXTENSIBLE) : sizeof(WAVEFORMATEX);
    std::size_t size = waveOffset + waveSize;
    // Sometimes shorter or longer than the structures it claims.
    if (Rarely(in, 6))
        size = in.Choice(2) == 0 ? size - 1 - in.Choice(static_cast<std::uint8_t>(size - 1))
                                 : size + in.Choice(64);
    std::vector<std::uint8_t> bytes(size, 0);

    KSDATAFORMAT header{};
    header.FormatSize = static_cast<ULONG>(size);
    if (Rarely(in, 12))
        header.FormatSize = in.U32();
    header.MajorFormat = Rarely(in, 10) ? KSDATAFORMAT_TYPE_WILDCARD : KSDATAFORMAT_TYPE_AUDIO;
    header.SubFormat = WaveSubFormat(extensible ? WAVE_FORMAT_PCM : tag);
    header.Specifier = dsound ? KSDATAFORMAT_SPECIFIER_DSOUND : KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    if (Rarely(in, 12))
        header.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
    Put(bytes, 0, &header, sizeof(header));

    WAVEFORMATEXTENSIBLE wave{};
    wave.Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : tag;
    wave.Format.nChannels = channels;
    wave.Format.nSamplesPerSec = rate;
    wave.Format.wBitsPerSample = bits;
    wave.Format.nBlockAlign = static_cast<WORD>(channels * ((bits + 7) / 8));
    wave.Format.nAvgBytesPerSec = wave.Format.nBlockAlign * rate;
    wave.Format.cbSize = extensible ? sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX) : 0;
    if (Rarely(in, 8))
        wave.Format.cbSize = in.U16();
    if (extensible)
    {
        wave.Samples.wValidBitsPerSample = bits;
        wave.dwChannelMask = channels == 6 ? KSAUDIO_SPEAKER_5POINT1 : KSAUDIO_SPEAKER_STEREO;
        wave.SubFormat = WaveSubFormat(Rarely(in, 6) ? tag : WAVE_FORMAT_PCM);
    }
    Put(bytes, waveOffset, &wave, waveSize);
    return bytes;
}

} // namespace

std::vector<std::uint8_t> TakeDataFormat(FuzzInput& in)
{
    if (Rarely(in, 10))
    {
        const auto raw = in.Bytes(in.U8());
        return {raw.begin(), raw.end()};
    }
    const bool extensible = Rarely(in, 3);
    const bool dsound = !extensible && Rarely(in, 4);
    const USHORT tag = Pick(in, kTags);
    const USHORT channels = Pick(in, kChannels);
    const ULONG rate = Pick(in, kRates);
    const USHORT bits = Pick(in, kBits);
    return BuildFormat(in, extensible, dsound, tag, channels, rate, bits);
}

std::vector<std::uint8_t> TakePlayableFormat(FuzzInput& in)
{
    static const ULONG rates[] = {44100, 48000, 88200, 96000};
    static const USHORT bits[] = {16, 24, 32};
    const bool extensible = in.Bool();
    const ULONG rate = rates[in.Choice(SIZEOF_ARRAY(rates))];
    const USHORT width = bits[in.Choice(SIZEOF_ARRAY(bits))];
    // A reader of no further bytes: the format is built as stated.
    FuzzInput none(nullptr, 0);
    return BuildFormat(none, extensible, false, WAVE_FORMAT_PCM, 2, rate, width);
}

} // namespace nuvfuzz
