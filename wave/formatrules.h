// The wave filter's format rules: which data formats a stream may be created
// with or switched to, and the one format the filter proposes for a client's
// data range.
//
//     if (!NT_SUCCESS(CheckWaveFormat(DataFormat)))
//         return STATUS_INVALID_PARAMETER;       // NewStream refuses the pin
//
//     // DataRangeIntersection, with the rate the engine runs at now:
//     ntStatus = IntersectPcm(currentRate, m_ChannelCount, PinId, ClientDataRange,
//                             MyDataRange, OutputBufferLength, ResultantFormat,
//                             ResultantFormatLength);
//
// Accepted (every bound inclusive):
//     PCM, plain or extensible:            2..6 channels, 44100..96000 Hz, 16..32 bits
//     AC-3/WMA over S/PDIF, DTS (0x0092,   at most 2 channels (0 and 1 pass),
//     0x0164, 0x0008):                     44100..192000 Hz, 16..32 bits
// Bit widths are a range only (20 and 24 pass); block alignment, byte rate,
// cbSize, valid bits and channel mask are never examined.
//
// All five are pure functions of their arguments, hold no state and take no
// lock; they are resident, because the intersection runs from
// DataRangeIntersection, which is resident.
//
// Nothing here reads past a format's or a range's FormatSize: the port hands
// these structures over from a client, and the bridge pin's own range is a
// bare 64-byte KSDATARANGE. A data format too short for the header, or for
// the wave format it claims to carry, is refused like any other bad format
// (STATUS_INVALID_PARAMETER); a range too short for the fields an
// intersection reads has nothing to offer (STATUS_NO_MATCH).
#pragma once

#include <portcls.h>
#include <ksmedia.h>

// Limits of the two classes of format.
#define PCM_MIN_CHANNELS 2
#define PCM_MAX_CHANNELS 6
#define PCM_MIN_SAMPLE_RATE 44100
#define PCM_MAX_SAMPLE_RATE 96000
#define PASSTHROUGH_MAX_CHANNELS 2
#define PASSTHROUGH_MIN_SAMPLE_RATE 44100
#define PASSTHROUGH_MAX_SAMPLE_RATE 192000
#define WAVE_MIN_BITS_PER_SAMPLE 16
#define WAVE_MAX_BITS_PER_SAMPLE 32

// Sizes of the formats the intersections produce: KSDATAFORMAT followed by a
// WAVEFORMATEXTENSIBLE (PCM), a WAVEFORMATEX, or a KSDSOUND_BUFFERDESC.
#define PCM_INTERSECTION_SIZE (sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE))
#define NONPCM_INTERSECTION_SIZE (sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX))
#define DSOUND_INTERSECTION_SIZE (sizeof(KSDATAFORMAT) + sizeof(KSDSOUND_BUFFERDESC))

// The WAVEFORMATEX inside DataFormat: behind the header for the WAVEFORMATEX
// specifier, behind the buffer description's Flags and Control for the
// DirectSound one. None for no format, a non-audio major format, any other
// specifier (the wildcard too), or a FormatSize too short for the header or
// for the 18 bytes of a WAVEFORMATEX at that place.
_IRQL_requires_max_(DISPATCH_LEVEL) PWAVEFORMATEX FindWaveFormat(_In_opt_ PKSDATAFORMAT DataFormat);

// Checks a WAVEFORMATEXTENSIBLE: SubFormat PCM and the PCM limits. The caller
// vouches that all 40 bytes of it are there (CheckWaveFormat does).
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    CheckExtensibleFormat(_In_opt_ PWAVEFORMATEX WaveFormat);

// TRUE if SubFormat is the wave sub-format of a compressed pass-through
// format (AC-3 or WMA over S/PDIF, DTS), which the stream moves as it comes.
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN IsPassThroughSubFormat(_In_ const GUID& SubFormat);

// STATUS_SUCCESS if a stream may use DataFormat, else STATUS_INVALID_PARAMETER.
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS CheckWaveFormat(_In_opt_ PKSDATAFORMAT DataFormat);

// The 104-byte PCM format proposed for ClientDataRange on one of this
// filter's pins: CurrentRate (the engine's rate, unchecked), the smaller of
// the two ranges' maximum bits (in a 32-bit container above 16), and a
// channel count from the ranges (WDM 6.0) or from ChannelHint, the filter's
// channel-configuration setting. Two-call protocol: OutputBufferLength 0
// answers the size with STATUS_BUFFER_OVERFLOW, a short buffer
// STATUS_BUFFER_TOO_SMALL. A count with no channel mask (anything but 2, 4
// or 6) is STATUS_NO_MATCH.
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    IntersectPcm(_In_ ULONG CurrentRate, _In_ ULONG ChannelHint, _In_ ULONG PinId,
                 _In_ PKSDATARANGE ClientDataRange, _In_ PKSDATARANGE MyDataRange,
                 _In_ ULONG OutputBufferLength,
                 _Out_writes_bytes_opt_(OutputBufferLength) PVOID ResultantFormat,
                 _Out_ PULONG ResultantFormatLength);

// The compressed pass-through format (82 bytes, or 90 for the DirectSound
// specifier) proposed for ClientDataRange: 2 channels at the smaller of the
// two ranges' maximum rate and bits. A PCM client range goes to IntersectPcm
// with a channel hint of 2. CurrentRate is not used on the compressed path.
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    IntersectNonPcm(_In_ ULONG CurrentRate, _In_ ULONG PinId, _In_ PKSDATARANGE ClientDataRange,
                    _In_ PKSDATARANGE MyDataRange, _In_ ULONG OutputBufferLength,
                    _Out_writes_bytes_opt_(OutputBufferLength) PVOID ResultantFormat,
                    _Out_ PULONG ResultantFormatLength);
