// Client data ranges and output buffer lengths into the library's
// data-range intersection, and so into the miniports' DataRangeIntersection
// (the wave filter's PCM and pass-through rules, the topology filter's
// bridge pins) and the library's default behind them: any subdevice and pin,
// one to three client ranges, each in a buffer exactly its FormatSize long
// (audio ranges with fuzzed fields, plain ranges, wildcards, raw bytes of
// any length), and output lengths of 0, each result size and one either
// side, huge, or arbitrary. The output buffer is exactly as long as said. A
// success must report a format that fits and whose FormatSize is its length.
#include "fuzz/support/fuzzinput.h"
#include "fuzz/support/fuzzsystem.h"

#include "wave/formatrules.h"

#include <ksmedia.h>

#include <cstring>
#include <vector>

namespace
{

const GUID* const kMajorFormats[] = {&KSDATAFORMAT_TYPE_AUDIO, &KSDATAFORMAT_TYPE_WILDCARD};
const GUID* const kSubFormats[] = {
    &KSDATAFORMAT_SUBTYPE_PCM,
    &KSDATAFORMAT_SUBTYPE_WILDCARD,
    &KSDATAFORMAT_SUBTYPE_ANALOG,
};
// Wave subformats are the PCM subformat with the format tag in Data1: the
// pass-through tags (AC-3 and WMA over S/PDIF, DTS), or any other.
const USHORT kWaveTags[] = {0x0092, 0x0164, 0x0008};
const GUID* const kSpecifiers[] = {
    &KSDATAFORMAT_SPECIFIER_WAVEFORMATEX,
    &KSDATAFORMAT_SPECIFIER_DSOUND,
    &KSDATAFORMAT_SPECIFIER_WILDCARD,
    &KSDATAFORMAT_SPECIFIER_NONE,
};

GUID TakeGuid(nuvfuzz::FuzzInput& in, const GUID* const* known, std::uint8_t count)
{
    const std::uint8_t choice = in.Choice(count + 1);
    if (choice < count)
        return *known[choice];
    GUID guid{};
    const auto bytes = in.Bytes(sizeof(guid));
    if (!bytes.empty())
        std::memcpy(&guid, bytes.data(), bytes.size());
    return guid;
}

std::vector<unsigned char> TakeRange(nuvfuzz::FuzzInput& in)
{
    const std::uint8_t shape = in.Choice(4);
    std::size_t size = shape == 0   ? sizeof(KSDATARANGE)
                       : shape == 1 ? sizeof(KSDATARANGE_AUDIO)
                       : shape == 2 ? sizeof(KSDATARANGE_AUDIO) - 1 - in.Choice(16)
                                    : in.Choice(200);
    std::vector<unsigned char> bytes(size, 0);
    KSDATARANGE_AUDIO range{};
    range.DataRange.MajorFormat = TakeGuid(in, kMajorFormats, SIZEOF_ARRAY(kMajorFormats));
    range.DataRange.SubFormat = TakeGuid(in, kSubFormats, SIZEOF_ARRAY(kSubFormats));
    if (const std::uint8_t tag = in.Choice(8); tag < SIZEOF_ARRAY(kWaveTags) + 1)
    {
        range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        range.DataRange.SubFormat.Data1 = tag < SIZEOF_ARRAY(kWaveTags) ? kWaveTags[tag] : in.U16();
    }
    range.DataRange.Specifier = TakeGuid(in, kSpecifiers, SIZEOF_ARRAY(kSpecifiers));
    range.MaximumChannels = in.Choice(10);
    range.MinimumBitsPerSample = in.Choice(40);
    range.MaximumBitsPerSample = in.Choice(40);
    range.MinimumSampleFrequency = in.U32() % 250000;
    range.MaximumSampleFrequency = in.U32() % 250000;
    if (size != 0)
        std::memcpy(bytes.data(), &range, std::min(size, sizeof(range)));
    // Mostly the size the client sent; sometimes a lie the library refuses.
    ULONG formatSize = static_cast<ULONG>(size);
    if (in.Choice(16) == 0)
        formatSize = in.U32();
    if (size >= sizeof(ULONG))
        std::memcpy(bytes.data(), &formatSize, sizeof(formatSize));
    return bytes;
}

const ULONG kResultSizes[] = {sizeof(KSDATAFORMAT), PCM_INTERSECTION_SIZE, NONPCM_INTERSECTION_SIZE,
                              DSOUND_INTERSECTION_SIZE};

ULONG TakeOutputLength(nuvfuzz::FuzzInput& in)
{
    switch (in.Choice(4))
    {
    case 0:
        return 0;
    case 1:
        return kResultSizes[in.Choice(SIZEOF_ARRAY(kResultSizes))] - 1 + in.Choice(3);
    case 2:
        return 1u << 16;
    default:
        return in.U8();
    }
}

void OneIntersection(nuvfuzz::FuzzInput& in)
{
    nuvfuzz::StartedSystem& system = nuvfuzz::StartedSystem::Get();
    PUNKNOWN port = system.Port(in.Choice(static_cast<std::uint8_t>(system.Subdevices().size())));
    const ULONG pin = in.Choice(5);
    std::vector<std::vector<unsigned char>> ranges;
    const std::uint8_t count = 1 + in.Choice(3);
    for (std::uint8_t i = 0; i < count; ++i)
        ranges.push_back(TakeRange(in));
    const ULONG outputLength = TakeOutputLength(in);

    const host::portcls::IntersectionResult result =
        host::portcls::IntersectDataRanges(port, pin, ranges, outputLength);
    if (result.status == STATUS_BUFFER_OVERFLOW && outputLength != 0)
        nuvfuzz::Finding("a size answer to a buffer of " + std::to_string(outputLength) + " bytes");
    if (!NT_SUCCESS(result.status))
        return;
    if (result.length > outputLength || result.format.size() != result.length)
        nuvfuzz::Finding("an intersection of " + std::to_string(result.length) +
                         " bytes in a buffer of " + std::to_string(outputLength));
    ULONG formatSize = 0;
    if (result.length >= sizeof(formatSize))
        std::memcpy(&formatSize, result.format.data(), sizeof(formatSize));
    if (formatSize != result.length)
        nuvfuzz::Finding("an intersection whose FormatSize " + std::to_string(formatSize) +
                         " is not its length " + std::to_string(result.length));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    nuvfuzz::StartedSystem::Get().ForgetRecords();
    nuvfuzz::PoolBaseline pool;
    nuvfuzz::FuzzInput in(data, size);
    for (int request = 0; request < 8 && !in.Empty(); ++request)
        OneIntersection(in);
    pool.CheckNothingLeaked();
    return 0;
}
