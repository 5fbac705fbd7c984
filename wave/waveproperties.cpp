#include "wave/waveproperties.h"

#include <ksmedia.h>

#include "common/codesections.h"
#include "wave/minwave.h"
#include "wave/wavetables.h"

static_assert(sizeof(KSCOMPONENTID) == 72, "a component identifier is 72 bytes");
static_assert(sizeof(KSPROPERTY_DESCRIPTION) == 40, "a property description is 40 bytes");

// The speaker layouts the DAC node accepts, and the channel count each sets.
// 0x70F (front left/right/centre, low frequency, back centre, two sides) has
// no standard name.
struct CHANNEL_CONFIG_ENTRY
{
    ULONG SpeakerMask;
    USHORT ChannelCount;
};

static const CHANNEL_CONFIG_ENTRY ChannelConfigs[] = {
    {
        KSAUDIO_SPEAKER_7POINT1, // SpeakerMask
        8,                       // ChannelCount
    },
    {
        KSAUDIO_SPEAKER_7POINT1_SURROUND, // SpeakerMask
        8,                                // ChannelCount
    },
    {
        0x70F, // SpeakerMask
        7,     // ChannelCount
    },
    {
        KSAUDIO_SPEAKER_5POINT1, // SpeakerMask
        6,                       // ChannelCount
    },
    {
        KSAUDIO_SPEAKER_5POINT1_SURROUND, // SpeakerMask
        6,                                // ChannelCount
    },
    {
        KSAUDIO_SPEAKER_QUAD, // SpeakerMask
        4,                    // ChannelCount
    },
    {
        KSAUDIO_SPEAKER_SURROUND, // SpeakerMask
        4,                        // ChannelCount
    },
    {
        KSAUDIO_SPEAKER_STEREO, // SpeakerMask
        2,                      // ChannelCount
    },
};

// 0 for a mask that is not listed.
PAGEABLE_CODE static USHORT ChannelCountOfMask(ULONG SpeakerMask)
{
    PAGED_CODE();

    for (ULONG i = 0; i < SIZEOF_ARRAY(ChannelConfigs); ++i)
    {
        if (ChannelConfigs[i].SpeakerMask == SpeakerMask)
        {
            return ChannelConfigs[i].ChannelCount;
        }
    }
    return 0;
}

// The port hands the miniport's primary interface over as MajorTarget.
PAGEABLE_CODE static CMiniportWavePci* TargetMiniport(PPCPROPERTY_REQUEST PropertyRequest)
{
    PAGED_CODE();
    return static_cast<CMiniportWavePci*>(
        static_cast<PMINIPORTWAVEPCI>(PropertyRequest->MajorTarget));
}

PAGEABLE_CODE NTSTATUS NTAPI SetChannelConfig(PPCPROPERTY_REQUEST PropertyRequest)
{
    PAGED_CODE();

    if ((PropertyRequest->Verb & KSPROPERTY_TYPE_SET) == 0 ||
        PropertyRequest->ValueSize < sizeof(KSAUDIO_CHANNEL_CONFIG) ||
        PropertyRequest->Value == NULL)
    {
        return STATUS_INVALID_PARAMETER;
    }

    const KSAUDIO_CHANNEL_CONFIG* config =
        static_cast<const KSAUDIO_CHANNEL_CONFIG*>(PropertyRequest->Value);
    USHORT channelCount = ChannelCountOfMask(static_cast<ULONG>(config->ActiveSpeakerPositions));
    if (channelCount == 0)
    {
        return STATUS_INVALID_PARAMETER;
    }

    // One 16-bit store, read without a lock by the PCM intersection; the
    // setting belongs to the whole filter, not to a stream.
    TargetMiniport(PropertyRequest)->SetChannelCount(channelCount);
    return STATUS_SUCCESS;
}

// Basic support answers only the access flags, also when the buffer could
// hold a whole KSPROPERTY_DESCRIPTION.
PAGEABLE_CODE static NTSTATUS ComponentIdBasicSupport(PPCPROPERTY_REQUEST PropertyRequest)
{
    PAGED_CODE();

    if (PropertyRequest->ValueSize == 0)
    {
        PropertyRequest->ValueSize = sizeof(KSPROPERTY_DESCRIPTION);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (PropertyRequest->ValueSize < sizeof(ULONG))
    {
        PropertyRequest->ValueSize = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    // A size without a buffer to put it in is refused like a wrong size of
    // the identifier itself.
    if (PropertyRequest->Value == NULL)
    {
        PropertyRequest->ValueSize = 0;
        return STATUS_INVALID_PARAMETER;
    }

    *static_cast<PULONG>(PropertyRequest->Value) =
        KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT;
    PropertyRequest->ValueSize = sizeof(ULONG);
    return STATUS_SUCCESS;
}

PAGEABLE_CODE NTSTATUS NTAPI GetComponentId(PPCPROPERTY_REQUEST PropertyRequest)
{
    PAGED_CODE();

    if (PropertyRequest->PropertyItem->Id != KSPROPERTY_GENERAL_COMPONENTID)
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (PropertyRequest->Verb & KSPROPERTY_TYPE_BASICSUPPORT)
    {
        return ComponentIdBasicSupport(PropertyRequest);
    }

    // A zero-length GET is the first call of the size query: it learns the
    // size it needs, as every other size query of the port class library
    // does, instead of a refusal that would not tell it.
    if (PropertyRequest->ValueSize == 0)
    {
        PropertyRequest->ValueSize = sizeof(KSCOMPONENTID);
        return STATUS_BUFFER_OVERFLOW;
    }
    // Exactly one identifier: a larger buffer is as wrong as a smaller one.
    if (PropertyRequest->ValueSize != sizeof(KSCOMPONENTID) || PropertyRequest->Value == NULL)
    {
        PropertyRequest->ValueSize = 0;
        return STATUS_INVALID_PARAMETER;
    }

    // The automation table routes only GET and basic support here; anything
    // else of the right size is answered without writing.
    if (PropertyRequest->Verb & KSPROPERTY_TYPE_GET)
    {
        RtlCopyMemory(PropertyRequest->Value, &WaveComponentId, sizeof(KSCOMPONENTID));
        PropertyRequest->ValueSize = sizeof(KSCOMPONENTID);
    }
    return STATUS_SUCCESS;
}
