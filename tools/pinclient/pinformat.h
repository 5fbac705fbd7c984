// The formats a client of the driver's wave pin builds, the way a client
// builds them: a KSDATARANGE_AUDIO that asks the filter for its proposal
// (the data-range intersection), and the 104-byte KSDATAFORMAT with its
// WAVEFORMATEXTENSIBLE that opens the pin.
//
//     const pinclient::PcmLayout layout = {WAVE_FORMAT_PCM, 2, 24, 24, 48000};
//     auto range = pinclient::ClientRange(layout);      // ask the filter
//     ... host::portcls::IntersectDataRanges(port, 0, {range}, size) ...
//     auto format = pinclient::DataFormat(layout, &proposal);
//     host::portcls::Pin::Open(miniport, 0, format, {}, pin);
//
// nuvsim and the ALSA plugin build their formats here, so that both ask the
// driver the same way.
#pragma once

#include "host/portcls/wavesubformat.h"

#include <portcls.h>
#include <ksmedia.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pinclient
{

// Samples as a client holds them: the wave format tag of their encoding, a
// container of whole bytes and the bits of it that are valid (at the
// container's top, as WAVEFORMATEXTENSIBLE has them).
struct PcmLayout
{
    USHORT formatTag = WAVE_FORMAT_PCM;
    unsigned channels = 0;
    unsigned containerBits = 0;
    unsigned validBits = 0;
    unsigned sampleRate = 0;
};

// {tag-0000-0010-8000-00AA00389B71}, the subformat of a wave format tag.
using host::portcls::WaveSubFormat;

// The speaker mask a client gives `channels` channels.
ULONG ChannelMask(unsigned channels);

// A KSDATARANGE_AUDIO for exactly these samples (the valid bits, one rate),
// as one range's bytes.
std::vector<std::uint8_t> ClientRange(const PcmLayout& layout);

// The 104-byte data format of these samples; `proposal` (the filter's
// answer to the intersection, if it gave one of that size) lends its header.
std::vector<std::uint8_t> DataFormat(const PcmLayout& layout,
                                     const std::vector<std::uint8_t>* proposal);

// What a PCM proposal (a 104-byte intersection result) says.
struct Proposal
{
    unsigned channels = 0;
    unsigned containerBits = 0;
    unsigned validBits = 0;
    unsigned sampleRate = 0;
};
std::optional<Proposal> ReadProposal(const std::vector<std::uint8_t>& format);

// "2 channels, 32-bit containers (24 valid), 48000 Hz" for a PCM
// intersection result; empty for anything else.
std::string DescribeProposal(const std::vector<std::uint8_t>& format);

} // namespace pinclient
