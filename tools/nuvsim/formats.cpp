#include "tools/nuvsim/formats.h"

#include "host/kernel/conduct.h"
#include "host/loader/loadedimage.h"
#include "host/portcls/pin.h"
#include "host/portcls/portclass.h"
#include "host/portcls/system.h"
#include "tools/nuvsim/filterviews.h"
#include "tools/nuvsim/streamformat.h"
#include "wave/formatrules.h"

#include <algorithm>
#include <cstring>
#include <iomanip>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <tuple>

namespace nuvsim
{
namespace
{

// A family of data formats the check tells apart.
struct Family
{
    const char* name;
    USHORT subFormatTag; // the tag inside the data format's SubFormat
    bool extensible;     // WAVEFORMATEXTENSIBLE (with a PCM SubFormat for tag 1)
    SampleKind kind;     // for the extensible layout
};

const Family kFamilies[] = {
    {"PCM, WAVEFORMATEX", WAVE_FORMAT_PCM, false, SampleKind::Integer},
    {"PCM, WAVEFORMATEXTENSIBLE", WAVE_FORMAT_PCM, true, SampleKind::Integer},
    {"IEEE float, WAVEFORMATEXTENSIBLE", WAVE_FORMAT_IEEE_FLOAT, true, SampleKind::Float},
    {"IEEE float, WAVEFORMATEX", WAVE_FORMAT_IEEE_FLOAT, false, SampleKind::Float},
    {"AC-3 over S/PDIF (0x0092)", 0x0092, false, SampleKind::Other},
    {"WMA over S/PDIF (0x0164)", 0x0164, false, SampleKind::Other},
    {"DTS (0x0008)", 0x0008, false, SampleKind::Other},
};

constexpr unsigned kMaxChannels = 16;
constexpr unsigned kMaxBits = 64;
constexpr unsigned kMaxRate = 400000;

std::vector<std::uint8_t> FamilyFormat(const Family& family, unsigned channels, unsigned bits,
                                       unsigned rate)
{
    if (family.extensible)
    {
        AudioFormat format;
        format.channels = channels;
        format.bits = bits;
        format.sampleRate = rate;
        format.kind = family.kind;
        std::vector<std::uint8_t> bytes = DataFormatFor(format, nullptr);
        // DataFormatFor rounds to whole bytes; the check sees the width asked.
        auto* wave = reinterpret_cast<WAVEFORMATEX*>(bytes.data() + sizeof(KSDATAFORMAT));
        wave->wBitsPerSample = static_cast<USHORT>(bits);
        return bytes;
    }
    std::vector<std::uint8_t> bytes(sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX), 0);
    KSDATAFORMAT header = {};
    header.FormatSize = static_cast<ULONG>(bytes.size());
    header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    header.SubFormat = WaveSubFormat(family.subFormatTag);
    header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    WAVEFORMATEX wave = {};
    wave.wFormatTag = family.subFormatTag;
    wave.nChannels = static_cast<USHORT>(channels);
    wave.nSamplesPerSec = rate;
    wave.wBitsPerSample = static_cast<USHORT>(bits);
    wave.nBlockAlign = static_cast<USHORT>((bits + 7) / 8 * channels);
    wave.nAvgBytesPerSec = wave.nBlockAlign * rate;
    std::memcpy(bytes.data(), &header, sizeof(header));
    std::memcpy(bytes.data() + sizeof(header), &wave, sizeof(wave));
    return bytes;
}

// The driver's format check: the host build's CheckWaveFormat, or the
// image's, which only its symbols name (it has the Windows calling
// convention there, whatever the source says).
class FormatCheck
{
public:
    explicit FormatCheck(const host::DriverBinary& driver)
        : m_image(driver.image != nullptr),
          m_imageCheck(m_image
                           ? reinterpret_cast<NTSTATUS(NTAPI*)(PKSDATAFORMAT)>(
                                 const_cast<void*>(driver.image->FindFunction("CheckWaveFormat")))
                           : nullptr),
          m_symbols(m_image ? driver.image->Name() + ": " + driver.image->SymbolStatus() : "")
    {
    }

    bool Available() const { return !m_image || m_imageCheck != nullptr; }
    // Where the image's symbols came from, or why it has none.
    const std::string& Symbols() const { return m_symbols; }

    NTSTATUS operator()(PKSDATAFORMAT format) const
    {
        return m_image ? m_imageCheck(format) : CheckWaveFormat(format);
    }

private:
    bool m_image;
    NTSTATUS(NTAPI* m_imageCheck)(PKSDATAFORMAT);
    std::string m_symbols;
};

bool Accepts(const FormatCheck& check, const Family& family, unsigned channels, unsigned bits,
             unsigned rate)
{
    std::vector<std::uint8_t> bytes = FamilyFormat(family, channels, bits, rate);
    return NT_SUCCESS(check(reinterpret_cast<PKSDATAFORMAT>(bytes.data())));
}

struct Acceptance
{
    bool any = false;
    std::vector<unsigned> channels, bits, rates;
};

// A format the check accepts, from a coarse grid; then every value of each
// dimension with the other two held at it.
Acceptance ProbeFamily(const FormatCheck& check, const Family& family)
{
    const unsigned coarseRates[] = {8000, 22050, 44100, 48000, 96000, 192000};
    const unsigned coarseBits[] = {8, 16, 24, 32};
    Acceptance result;
    unsigned c0 = 0, b0 = 0, r0 = 0;
    for (unsigned c = 0; c <= 8 && !result.any; ++c)
        for (unsigned b : coarseBits)
            for (unsigned r : coarseRates)
                if (!result.any && Accepts(check, family, c, b, r))
                {
                    result.any = true;
                    std::tie(c0, b0, r0) = std::tuple(c, b, r);
                }
    if (!result.any)
        return result;
    for (unsigned c = 0; c <= kMaxChannels; ++c)
        if (Accepts(check, family, c, b0, r0))
            result.channels.push_back(c);
    for (unsigned b = 0; b <= kMaxBits; ++b)
        if (Accepts(check, family, c0, b, r0))
            result.bits.push_back(b);
    for (unsigned r = 0; r <= kMaxRate; ++r)
        if (Accepts(check, family, c0, b0, r))
            result.rates.push_back(r);
    return result;
}

std::string RangeText(const AudioRange& range)
{
    std::ostringstream text;
    text << "up to " << range.maximumChannels << " ch, " << range.minimumBits << "-"
         << range.maximumBits << " bits, " << range.minimumRate << "-" << range.maximumRate
         << " Hz";
    return text.str();
}

// Channel counts, widths and rates a real stream open accepted.
struct OpenProbe
{
    std::set<std::tuple<unsigned, unsigned, unsigned>> opened;
};

OpenProbe ProbeOpens(PMINIPORTWAVEPCI miniport)
{
    const unsigned rates[] = {22050, 32000, 44100, 48000, 88200, 96000, 176400, 192000};
    const unsigned widths[] = {8, 16, 24, 32};
    OpenProbe probe;
    for (unsigned channels = 1; channels <= 8; ++channels)
        for (unsigned bits : widths)
            for (unsigned rate : rates)
            {
                AudioFormat format;
                format.channels = channels;
                format.bits = bits;
                format.sampleRate = rate;
                std::unique_ptr<host::portcls::Pin> pin;
                if (NT_SUCCESS(host::portcls::Pin::Open(miniport, 0, DataFormatFor(format, nullptr),
                                                        {}, pin)))
                {
                    probe.opened.insert({channels, bits, rate});
                    pin->Close();
                }
            }
    return probe;
}

std::string OpenText(const OpenProbe& probe)
{
    std::set<unsigned> channels, bits, rates;
    for (const auto& [c, b, r] : probe.opened)
    {
        channels.insert(c);
        bits.insert(b);
        rates.insert(r);
    }
    if (probe.opened.empty())
        return "nothing";
    std::string text = CompactValues({channels.begin(), channels.end()}) + " ch, " +
                       CompactValues({bits.begin(), bits.end()}) + " bits, " +
                       CompactValues({rates.begin(), rates.end()}) + " Hz";
    if (probe.opened.size() != channels.size() * bits.size() * rates.size())
        text += " (not every combination)";
    return text;
}

// Offers everything a PCM client could: the filter answers with its choice.
std::string ProposalText(PUNKNOWN port)
{
    KSDATARANGE_AUDIO range = {};
    range.DataRange.FormatSize = sizeof(range);
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = 8;
    range.MinimumBitsPerSample = 16;
    range.MaximumBitsPerSample = 32;
    range.MinimumSampleFrequency = 44100;
    range.MaximumSampleFrequency = 96000;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&range);
    const std::vector<std::vector<unsigned char>> ranges = {{bytes, bytes + sizeof(range)}};
    const auto result = host::portcls::IntersectDataRanges(port, 0, ranges, 104);
    if (!NT_SUCCESS(result.status))
        return "none (" + StatusName(result.status) + ")";
    return DescribeProposal(result.format);
}

void PrintRules(const FormatCheck& check, std::ostream& out)
{
    if (!check.Available())
    {
        out << "The driver's format check (CheckWaveFormat) cannot be probed: no platform\n"
               "interface reaches it, and the image's symbols do not name it\n"
            << "(" << check.Symbols() << ").\n";
        return;
    }
    out << "The driver's format check (the same on every device):\n";
    out << "  " << std::left << std::setw(36) << "format" << std::setw(10) << "channels"
        << std::setw(8) << "bits"
        << "sample rates (Hz)\n";
    for (const Family& family : kFamilies)
    {
        const Acceptance acceptance = ProbeFamily(check, family);
        out << "  " << std::setw(36) << family.name;
        if (!acceptance.any)
        {
            out << "refused\n";
            continue;
        }
        out << std::setw(10) << CompactValues(acceptance.channels) << std::setw(8)
            << CompactValues(acceptance.bits) << CompactValues(acceptance.rates) << "\n";
    }
    out << "  (each dimension probed value by value with the other two held at an accepted\n"
           "  format; bit widths are a range: 20 bits pass as well as 24)\n";
}

} // namespace

int RunFormats(const DriverOption& driverOption, std::ostream& out, std::ostream& err)
{
    const std::optional<host::DriverBinary> driver = ChooseDriver(driverOption, err);
    if (!driver)
        return 2;
    host::SetViolationHandler(host::PrintAndCountHandler());
    host::ResetViolationCounts();
    host::System system(*driver);
    NTSTATUS status = system.Load();
    if (NT_SUCCESS(status))
        status = system.AddDevice();
    if (NT_SUCCESS(status))
        status = system.Start();
    if (!NT_SUCCESS(status))
    {
        err << "nuvsim formats: the adapter did not start: " << StatusName(status) << "\n";
        return 1;
    }

    PrintRules(FormatCheck(*driver), out);

    std::vector<ULONG> engineRates = system.Engine().SupportedRates();
    std::sort(engineRates.begin(), engineRates.end());
    const ULONG startRate = system.Engine().SampleRate();
    out << "\nEach device, pin 0 (the engine runs at " << JoinRates(engineRates, "and")
        << " Hz; it is at " << startRate << " Hz now):\n";
    for (const host::portcls::Subdevice& subdevice :
         host::portcls::Subdevices(system.AdapterDevice()))
    {
        const auto description = host::portcls::Description(subdevice.port);
        PMINIPORTWAVEPCI miniport =
            host::portcls::FindWaveMiniport(system.AdapterDevice(), subdevice.name);
        if (!description || description->pins.empty() || miniport == nullptr)
            continue;
        const std::string name(subdevice.name.begin(), subdevice.name.end());
        const int device = name.back() - '0';
        DeviceRules rules;
        rules.device = device;
        rules.ranges = AudioRanges(description->pins[0].dataRanges);
        rules.engineRates = engineRates;

        out << "  device " << device << " (" << name << ")\n";
        for (const AudioRange& range : rules.ranges)
            out << "    data range      " << RangeText(range) << "\n";
        out << "    proposes        " << ProposalText(subdevice.port) << "\n";
        // A stream's open sets the device-wide rate; the next device's
        // proposal must see the rate the engine started with.
        const OpenProbe opens = ProbeOpens(miniport);
        system.Engine().SetSampleRate(startRate);
        out << "    a stream opens  " << OpenText(opens)
            << "  (probed: 1-8 ch; 8, 16, 24, 32 bits; 22050-192000 Hz)\n";
        out << "    plays           " << DescribeLimits(rules) << "\n";
    }

    int exitCode = 0;
    for (const std::string& problem : system.Shutdown())
    {
        err << "nuvsim formats: at shutdown: " << problem << "\n";
        exitCode = 1;
    }
    if (host::ViolationCount() != 0)
        exitCode = 1;
    return exitCode;
}

} // namespace nuvsim
