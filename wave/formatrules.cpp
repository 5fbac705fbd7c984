#include "wave/formatrules.h"

// Where the WAVEFORMATEX of each specifier begins inside a data format.
#define WAVEFORMAT_OFFSET_WAVEFORMATEX (sizeof(KSDATAFORMAT))
#define WAVEFORMAT_OFFSET_DSOUND                                                                   \
    (sizeof(KSDATAFORMAT) + FIELD_OFFSET(KSDSOUND_BUFFERDESC, WaveFormatEx))

// Every range this filter and its clients use carries the audio fields; a
// bare KSDATARANGE (the bridge pin's) has no channels, bits or rates to offer.
#define AUDIO_RANGE_SIZE (sizeof(KSDATARANGE_AUDIO))

static_assert(sizeof(KSDATAFORMAT) == 64, "KSDATAFORMAT is 64 bytes");
static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX is 18 bytes");
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40, "WAVEFORMATEXTENSIBLE is 40 bytes");
static_assert(sizeof(KSDATARANGE_AUDIO) == 88, "KSDATARANGE_AUDIO is 88 bytes");
static_assert(WAVEFORMAT_OFFSET_DSOUND == 72, "the DirectSound wave format is at byte 72");
static_assert(PCM_INTERSECTION_SIZE == 104, "PCM intersection is 104 bytes");
static_assert(NONPCM_INTERSECTION_SIZE == 82, "compressed intersection is 82 bytes");
static_assert(DSOUND_INTERSECTION_SIZE == 90, "DirectSound intersection is 90 bytes");

// The format tags of the compressed pass-through formats.
static BOOLEAN IsPassThroughTag(USHORT Tag)
{
    return Tag == WAVE_FORMAT_DOLBY_AC3_SPDIF || Tag == WAVE_FORMAT_WMASPDIF ||
           Tag == WAVE_FORMAT_DTS;
}

// TRUE if SubFormat is {tag-0000-0010-8000-00AA00389B71} for some 16-bit tag:
// every byte but the first two equals KSDATAFORMAT_SUBTYPE_WAVEFORMATEX.
static BOOLEAN IsWaveFormatExSubFormat(const GUID& SubFormat)
{
    const GUID& pattern = KSDATAFORMAT_SUBTYPE_WAVEFORMATEX;
    return (SubFormat.Data1 & 0xFFFF0000) == (pattern.Data1 & 0xFFFF0000) &&
           SubFormat.Data2 == pattern.Data2 && SubFormat.Data3 == pattern.Data3 &&
           RtlEqualMemory(SubFormat.Data4, pattern.Data4, sizeof(pattern.Data4));
}

// The format tag a wave sub-format stands for; only meaningful when
// IsWaveFormatExSubFormat holds.
static USHORT SubFormatTag(const GUID& SubFormat)
{
    return static_cast<USHORT>(SubFormat.Data1 & 0xFFFF);
}

static BOOLEAN IsWithin(ULONG Value, ULONG Lowest, ULONG Highest)
{
    return Value >= Lowest && Value <= Highest;
}

static NTSTATUS CheckPcmLimits(const WAVEFORMATEX* WaveFormat)
{
    if (IsWithin(WaveFormat->nChannels, PCM_MIN_CHANNELS, PCM_MAX_CHANNELS) &&
        IsWithin(WaveFormat->nSamplesPerSec, PCM_MIN_SAMPLE_RATE, PCM_MAX_SAMPLE_RATE) &&
        IsWithin(WaveFormat->wBitsPerSample, WAVE_MIN_BITS_PER_SAMPLE, WAVE_MAX_BITS_PER_SAMPLE))
    {
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_PARAMETER;
}

// 0 and 1 channel pass: a pass-through stream is framed as stereo whatever
// its header says.
static NTSTATUS CheckPassThroughLimits(const WAVEFORMATEX* WaveFormat)
{
    if (WaveFormat->nChannels <= PASSTHROUGH_MAX_CHANNELS &&
        IsWithin(WaveFormat->nSamplesPerSec, PASSTHROUGH_MIN_SAMPLE_RATE,
                 PASSTHROUGH_MAX_SAMPLE_RATE) &&
        IsWithin(WaveFormat->wBitsPerSample, WAVE_MIN_BITS_PER_SAMPLE, WAVE_MAX_BITS_PER_SAMPLE))
    {
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_PARAMETER;
}

// The byte offset of DataFormat's WAVEFORMATEX, or 0 if it has none that can
// be read. FormatSize is looked at before anything else: a client may hand
// over a format shorter than its header.
static ULONG WaveFormatOffset(const KSDATAFORMAT* DataFormat)
{
    if (DataFormat == NULL || DataFormat->FormatSize < sizeof(KSDATAFORMAT))
    {
        return 0;
    }
    if (!IsEqualGUIDAligned(DataFormat->MajorFormat, KSDATAFORMAT_TYPE_AUDIO))
    {
        return 0;
    }

    ULONG offset = 0;
    if (IsEqualGUIDAligned(DataFormat->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX))
    {
        offset = WAVEFORMAT_OFFSET_WAVEFORMATEX;
    }
    else if (IsEqualGUIDAligned(DataFormat->Specifier, KSDATAFORMAT_SPECIFIER_DSOUND))
    {
        offset = WAVEFORMAT_OFFSET_DSOUND;
    }
    else
    {
        return 0;
    }

    if (DataFormat->FormatSize < offset + sizeof(WAVEFORMATEX))
    {
        return 0;
    }
    return offset;
}

PWAVEFORMATEX FindWaveFormat(PKSDATAFORMAT DataFormat)
{
    ULONG offset = WaveFormatOffset(DataFormat);
    if (offset == 0)
    {
        return NULL;
    }
    return reinterpret_cast<PWAVEFORMATEX>(reinterpret_cast<PUCHAR>(DataFormat) + offset);
}

NTSTATUS CheckExtensibleFormat(PWAVEFORMATEX WaveFormat)
{
    if (WaveFormat == NULL)
    {
        return STATUS_INVALID_PARAMETER;
    }

    // The wave format sits unaligned inside the data format; its GUID is
    // copied out rather than compared in place.
    GUID subFormat;
    RtlCopyMemory(&subFormat,
                  reinterpret_cast<PUCHAR>(WaveFormat) +
                      FIELD_OFFSET(WAVEFORMATEXTENSIBLE, SubFormat),
                  sizeof(subFormat));
    if (!IsEqualGUIDAligned(subFormat, KSDATAFORMAT_SUBTYPE_PCM))
    {
        return STATUS_INVALID_PARAMETER;
    }
    return CheckPcmLimits(WaveFormat);
}

// An extensible wave format is 40 bytes; the data format must hold all of
// them before its SubFormat may be read.
static NTSTATUS CheckExtensibleInside(const KSDATAFORMAT* DataFormat, PWAVEFORMATEX WaveFormat)
{
    ULONG offset = static_cast<ULONG>(reinterpret_cast<PUCHAR>(WaveFormat) -
                                      reinterpret_cast<const UCHAR*>(DataFormat));
    if (DataFormat->FormatSize < offset + sizeof(WAVEFORMATEXTENSIBLE))
    {
        return STATUS_INVALID_PARAMETER;
    }
    return CheckExtensibleFormat(WaveFormat);
}

NTSTATUS CheckWaveFormat(PKSDATAFORMAT DataFormat)
{
    PWAVEFORMATEX waveFormat = FindWaveFormat(DataFormat);
    if (waveFormat == NULL)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (!IsWaveFormatExSubFormat(DataFormat->SubFormat))
    {
        return STATUS_INVALID_PARAMETER;
    }

    USHORT subFormatTag = SubFormatTag(DataFormat->SubFormat);
    if (subFormatTag == WAVE_FORMAT_PCM)
    {
        if (waveFormat->wFormatTag == WAVE_FORMAT_PCM)
        {
            return CheckPcmLimits(waveFormat);
        }
        if (waveFormat->wFormatTag == WAVE_FORMAT_EXTENSIBLE)
        {
            return CheckExtensibleInside(DataFormat, waveFormat);
        }
        return STATUS_INVALID_PARAMETER;
    }
    // Under a pass-through or extensible sub-format the wave format's own
    // tag is not looked at: the sub-format already says what the data is.
    if (IsPassThroughTag(subFormatTag))
    {
        return CheckPassThroughLimits(waveFormat);
    }
    if (subFormatTag == WAVE_FORMAT_EXTENSIBLE)
    {
        return CheckExtensibleInside(DataFormat, waveFormat);
    }
    return STATUS_INVALID_PARAMETER;
}

// Both ranges must hold the audio fields that the intersections read (bytes
// 64 to 87); the GUIDs of the header are read only below 64.
static BOOLEAN HasHeader(const KSDATARANGE* Range)
{
    return Range->FormatSize >= sizeof(KSDATARANGE);
}

static BOOLEAN HasAudioFields(const KSDATARANGE* Range)
{
    return Range->FormatSize >= AUDIO_RANGE_SIZE;
}

static ULONG Smaller(ULONG First, ULONG Second)
{
    return First < Second ? First : Second;
}

// The channel count the PCM intersection proposes. On WDM 6.0 the ranges
// decide; before it, the filter's channel-configuration setting does, with
// anything outside 2..6 read as 6, and only the client's range bounds it.
static USHORT PcmChannelCount(ULONG ChannelHint, ULONG PinId, const KSDATARANGE_AUDIO* Client,
                              const KSDATARANGE_AUDIO* Mine)
{
    ULONG channels;
    if (IoIsWdmVersionAvailable(6, 0))
    {
        channels = Smaller(Client->MaximumChannels, Mine->MaximumChannels);
    }
    else
    {
        ULONG hint = IsWithin(ChannelHint, PCM_MIN_CHANNELS, PCM_MAX_CHANNELS) ? ChannelHint
                                                                               : PCM_MAX_CHANNELS;
        channels = Smaller(hint, Client->MaximumChannels);
    }

    USHORT count = static_cast<USHORT>(channels);
    if (count > PCM_MAX_CHANNELS)
    {
        count = 2;
    }
    if (PinId == 2)
    {
        count = 2;
    }
    return count;
}

// 0 for a count that has no standard speaker layout.
static ULONG PcmChannelMask(USHORT Count)
{
    switch (Count)
    {
    case 2:
        return KSAUDIO_SPEAKER_STEREO;
    case 4:
        return KSAUDIO_SPEAKER_QUAD;
    case 6:
        return KSAUDIO_SPEAKER_5POINT1;
    default:
        return 0;
    }
}

NTSTATUS IntersectPcm(ULONG CurrentRate, ULONG ChannelHint, ULONG PinId,
                      PKSDATARANGE ClientDataRange, PKSDATARANGE MyDataRange,
                      ULONG OutputBufferLength, PVOID ResultantFormat, PULONG ResultantFormatLength)
{
    // A range without the audio fields offers nothing to intersect; this is
    // settled before the size query, so that a client is never told the size
    // of a format that cannot come.
    if (!HasAudioFields(ClientDataRange) || !HasAudioFields(MyDataRange))
    {
        return STATUS_NO_MATCH;
    }

    if (OutputBufferLength == 0)
    {
        *ResultantFormatLength = PCM_INTERSECTION_SIZE;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (OutputBufferLength < PCM_INTERSECTION_SIZE)
    {
        return STATUS_BUFFER_TOO_SMALL;
    }

    const KSDATARANGE_AUDIO* client = reinterpret_cast<const KSDATARANGE_AUDIO*>(ClientDataRange);
    const KSDATARANGE_AUDIO* mine = reinterpret_cast<const KSDATARANGE_AUDIO*>(MyDataRange);

    ULONG validBits = Smaller(client->MaximumBitsPerSample, mine->MaximumBitsPerSample);
    USHORT channels = PcmChannelCount(ChannelHint, PinId, client, mine);
    ULONG channelMask = PcmChannelMask(channels);
    if (channelMask == 0)
    {
        return STATUS_NO_MATCH;
    }

    // Samples wider than 16 bits travel in 32-bit containers.
    USHORT containerBits = validBits > 16 ? 32 : static_cast<USHORT>(validBits);
    USHORT blockAlign = static_cast<USHORT>((containerBits / 8) * channels);

    PKSDATAFORMAT header = static_cast<PKSDATAFORMAT>(ResultantFormat);
    header->FormatSize = PCM_INTERSECTION_SIZE;
    header->Flags = MyDataRange->Flags;
    header->SampleSize = blockAlign;
    header->Reserved = MyDataRange->Reserved;
    header->MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    header->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    header->Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;

    WAVEFORMATEXTENSIBLE extensible;
    RtlZeroMemory(&extensible, sizeof(extensible));
    extensible.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    extensible.Format.nChannels = channels;
    // The device runs at one rate for all its streams: propose that one.
    extensible.Format.nSamplesPerSec = CurrentRate;
    extensible.Format.nBlockAlign = blockAlign;
    extensible.Format.nAvgBytesPerSec = blockAlign * CurrentRate;
    extensible.Format.wBitsPerSample = containerBits;
    extensible.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    extensible.Samples.wValidBitsPerSample = static_cast<USHORT>(validBits);
    extensible.dwChannelMask = channelMask;
    extensible.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    RtlCopyMemory(static_cast<PUCHAR>(ResultantFormat) + sizeof(KSDATAFORMAT), &extensible,
                  sizeof(extensible));

    *ResultantFormatLength = PCM_INTERSECTION_SIZE;
    return STATUS_SUCCESS;
}

BOOLEAN IsPassThroughSubFormat(const GUID& SubFormat)
{
    return IsWaveFormatExSubFormat(SubFormat) && IsPassThroughTag(SubFormatTag(SubFormat));
}

// The format tag of a compressed pass-through sub-format; anything else is
// proposed as plain PCM.
static USHORT PassThroughFormatTag(const GUID& SubFormat)
{
    return IsPassThroughSubFormat(SubFormat) ? SubFormatTag(SubFormat) : WAVE_FORMAT_PCM;
}

NTSTATUS IntersectNonPcm(ULONG CurrentRate, ULONG PinId, PKSDATARANGE ClientDataRange,
                         PKSDATARANGE MyDataRange, ULONG OutputBufferLength, PVOID ResultantFormat,
                         PULONG ResultantFormatLength)
{
    // The compressed path does not use the engine's rate: the rate is the
    // ranges' own maximum.
    UNREFERENCED_PARAMETER(CurrentRate);

    if (!HasHeader(ClientDataRange) || !HasHeader(MyDataRange))
    {
        return STATUS_NO_MATCH;
    }
    if (IsEqualGUIDAligned(ClientDataRange->SubFormat, KSDATAFORMAT_SUBTYPE_PCM))
    {
        return IntersectPcm(CurrentRate, 2, PinId, ClientDataRange, MyDataRange, OutputBufferLength,
                            ResultantFormat, ResultantFormatLength);
    }
    if (!HasAudioFields(ClientDataRange) || !HasAudioFields(MyDataRange))
    {
        return STATUS_NO_MATCH;
    }

    if (!IsEqualGUIDAligned(ClientDataRange->MajorFormat, KSDATAFORMAT_TYPE_AUDIO) &&
        !IsEqualGUIDAligned(ClientDataRange->MajorFormat, KSDATAFORMAT_TYPE_WILDCARD))
    {
        return STATUS_NO_MATCH;
    }

    BOOLEAN directSound = FALSE;
    ULONG size = 0;
    if (IsEqualGUIDAligned(ClientDataRange->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) ||
        IsEqualGUIDAligned(ClientDataRange->Specifier, KSDATAFORMAT_SPECIFIER_WILDCARD))
    {
        size = NONPCM_INTERSECTION_SIZE;
    }
    else if (IsEqualGUIDAligned(ClientDataRange->Specifier, KSDATAFORMAT_SPECIFIER_DSOUND))
    {
        directSound = TRUE;
        size = DSOUND_INTERSECTION_SIZE;
    }
    else
    {
        return STATUS_NO_MATCH;
    }
    *ResultantFormatLength = size;

    if (OutputBufferLength == 0)
    {
        return STATUS_BUFFER_OVERFLOW;
    }
    if (OutputBufferLength < size)
    {
        return STATUS_BUFFER_TOO_SMALL;
    }

    PKSDATAFORMAT header = static_cast<PKSDATAFORMAT>(ResultantFormat);
    header->FormatSize = size;
    header->Flags = 0;
    header->SampleSize = 4;
    header->Reserved = 0;
    header->MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    header->SubFormat = ClientDataRange->SubFormat;

    PWAVEFORMATEX waveFormat;
    if (directSound)
    {
        header->Specifier = KSDATAFORMAT_SPECIFIER_DSOUND;
        PKSDATAFORMAT_DSOUND dsound = static_cast<PKSDATAFORMAT_DSOUND>(ResultantFormat);
        dsound->BufferDesc.Flags = 0;
        dsound->BufferDesc.Control = 0;
        waveFormat = &dsound->BufferDesc.WaveFormatEx;
    }
    else
    {
        header->Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
        waveFormat = &static_cast<PKSDATAFORMAT_WAVEFORMATEX>(ResultantFormat)->WaveFormatEx;
    }

    const KSDATARANGE_AUDIO* client = reinterpret_cast<const KSDATARANGE_AUDIO*>(ClientDataRange);
    const KSDATARANGE_AUDIO* mine = reinterpret_cast<const KSDATARANGE_AUDIO*>(MyDataRange);
    ULONG rate = Smaller(client->MaximumSampleFrequency, mine->MaximumSampleFrequency);
    ULONG bits = Smaller(client->MaximumBitsPerSample, mine->MaximumBitsPerSample);

    // Pass-through data is framed as stereo; a client that cannot take two
    // channels gets nothing (the header above is already written).
    if (client->MaximumChannels != 2)
    {
        return STATUS_NO_MATCH;
    }

    USHORT blockAlign = static_cast<USHORT>((2 * bits) / 8);
    waveFormat->wFormatTag = PassThroughFormatTag(ClientDataRange->SubFormat);
    waveFormat->nChannels = 2;
    waveFormat->nSamplesPerSec = rate;
    waveFormat->wBitsPerSample = static_cast<USHORT>(bits);
    waveFormat->nBlockAlign = blockAlign;
    waveFormat->nAvgBytesPerSec = blockAlign * rate;
    waveFormat->cbSize = 0;
    return STATUS_SUCCESS;
}
