#include "tools/nuvsim/guidnames.h"

#include "topology/topotables.h"
#include "wave/wavetables.h"

#include <ks.h>
#include <ksmedia.h>
#include <portcls.h>

#include <array>
#include <cstdio>
#include <cstring>

namespace nuvsim
{
namespace
{

struct NamedGuid
{
    const GUID* guid;
    const char* name;
};

#define NAMED(guid)                                                                                \
    NamedGuid                                                                                      \
    {                                                                                              \
        &(guid), #guid                                                                             \
    }

// What the four filters and their formats can name. The driver's own pin
// names sit beside the platform's identifiers.
const auto kNames = std::to_array<NamedGuid>({
    // pin categories and node types
    NAMED(KSCATEGORY_AUDIO),
    NAMED(KSCATEGORY_RENDER),
    NAMED(KSCATEGORY_CAPTURE),
    NAMED(KSCATEGORY_TOPOLOGY),
    NAMED(KSNODETYPE_SPEAKER),
    NAMED(KSNODETYPE_LINE_CONNECTOR),
    NAMED(KSNODETYPE_MICROPHONE),
    NAMED(KSNODETYPE_HEADPHONES),
    NAMED(KSNODETYPE_SPDIF_INTERFACE),
    NAMED(KSNODETYPE_DAC),
    NAMED(KSNODETYPE_ADC),
    NAMED(KSNODETYPE_SRC),
    NAMED(KSNODETYPE_VOLUME),
    NAMED(KSNODETYPE_MUTE),
    NAMED(KSNODETYPE_SUM),
    // pin names
    NAMED(PINNAME_OUTPUT_1),
    NAMED(PINNAME_OUTPUT_2),
    NAMED(PINNAME_OUTPUT_3),
    NAMED(PINNAME_OUTPUT_4),
    NAMED(KSAUDFNAME_MASTER_VOLUME),
    NAMED(KSAUDFNAME_PC_SPEAKER),
    // the wave filters' component name, held in the driver's table only
    NamedGuid{&WaveComponentId.Name, "NUV_COMPONENT_NAME"},
    // data formats
    NAMED(KSDATAFORMAT_TYPE_AUDIO),
    NAMED(KSDATAFORMAT_SUBTYPE_PCM),
    NAMED(KSDATAFORMAT_SUBTYPE_ANALOG),
    NAMED(KSDATAFORMAT_SUBTYPE_WAVEFORMATEX),
    NAMED(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX),
    NAMED(KSDATAFORMAT_SPECIFIER_DSOUND),
    NAMED(KSDATAFORMAT_SPECIFIER_NONE),
    // property sets
    NAMED(KSPROPSETID_General),
    NAMED(KSPROPSETID_Audio),
    NAMED(KSPROPSETID_Pin),
    NAMED(KSPROPSETID_Topology),
});

#undef NAMED

} // namespace

std::string GuidName(const GUID& guid)
{
    for (const NamedGuid& entry : kNames)
    {
        if (std::memcmp(entry.guid, &guid, sizeof(GUID)) == 0)
        {
            return entry.name;
        }
    }
    return GuidString(guid);
}

} // namespace nuvsim
