#include "wave/wavetables.h"

#include "wave/waveproperties.h"

// ---------------------------------------------------------------------------
// Data ranges

// Pin 0 of device index 3: PCM, up to six channels.
const KSDATARANGE_AUDIO WavePcmDataRangeMulti = {
    {{
        sizeof(KSDATARANGE_AUDIO),                           // FormatSize
        0,                                                   // Flags
        0,                                                   // SampleSize
        0,                                                   // Reserved
        {STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO)},             // MajorFormat
        {STATICGUIDOF(KSDATAFORMAT_SUBTYPE_PCM)},            // SubFormat
        {STATICGUIDOF(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)}, // Specifier
    }},
    6,     // MaximumChannels
    16,    // MinimumBitsPerSample
    32,    // MaximumBitsPerSample
    44100, // MinimumSampleFrequency
    96000, // MaximumSampleFrequency
};

// Pin 0 of device indices 0 to 2: PCM, stereo.
const KSDATARANGE_AUDIO WavePcmDataRangeStereo = {
    {{
        sizeof(KSDATARANGE_AUDIO),                           // FormatSize
        0,                                                   // Flags
        0,                                                   // SampleSize
        0,                                                   // Reserved
        {STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO)},             // MajorFormat
        {STATICGUIDOF(KSDATAFORMAT_SUBTYPE_PCM)},            // SubFormat
        {STATICGUIDOF(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)}, // Specifier
    }},
    2,     // MaximumChannels
    16,    // MinimumBitsPerSample
    32,    // MaximumBitsPerSample
    44100, // MinimumSampleFrequency
    96000, // MaximumSampleFrequency
};

// Pin 1: analog audio leaving the filter; a bare range with no audio fields.
const KSDATARANGE WaveBridgeDataRange = {{
    sizeof(KSDATARANGE),                         // FormatSize
    0,                                           // Flags
    0,                                           // SampleSize
    0,                                           // Reserved
    {STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO)},     // MajorFormat
    {STATICGUIDOF(KSDATAFORMAT_SUBTYPE_ANALOG)}, // SubFormat
    {STATICGUIDOF(KSDATAFORMAT_SPECIFIER_NONE)}, // Specifier
}};

// The pin descriptors take arrays of non-constant range pointers; the ranges
// are never written through them.
static const PKSDATARANGE WaveRenderDataRangesMulti[] = {
    const_cast<PKSDATARANGE>(&WavePcmDataRangeMulti.DataRange),
};

static const PKSDATARANGE WaveRenderDataRangesStereo[] = {
    const_cast<PKSDATARANGE>(&WavePcmDataRangeStereo.DataRange),
};

static const PKSDATARANGE WaveBridgeDataRanges[] = {
    const_cast<PKSDATARANGE>(&WaveBridgeDataRange),
};

// ---------------------------------------------------------------------------
// Pins. Pin 0 allows one stream per filter and one across all instances of
// the filter; pin 1 is a bridge and is never instantiated.

const PCPIN_DESCRIPTOR WavePinsMulti[2] = {
    // WAVE_PIN_RENDER
    {
        1,    // MaxGlobalInstanceCount
        1,    // MaxFilterInstanceCount
        0,    // MinFilterInstanceCount
        NULL, // AutomationTable
        {
            0,                                       // InterfacesCount
            NULL,                                    // Interfaces
            0,                                       // MediumsCount
            NULL,                                    // Mediums
            SIZEOF_ARRAY(WaveRenderDataRangesMulti), // DataRangesCount
            WaveRenderDataRangesMulti,               // DataRanges
            KSPIN_DATAFLOW_IN,                       // DataFlow
            KSPIN_COMMUNICATION_SINK,                // Communication
            &KSCATEGORY_AUDIO,                       // Category
            &KSAUDFNAME_PC_SPEAKER,                  // Name
            {0},                                     // Reserved (no constrained ranges)
        },
    },
    // WAVE_PIN_BRIDGE
    {
        0,    // MaxGlobalInstanceCount
        0,    // MaxFilterInstanceCount
        0,    // MinFilterInstanceCount
        NULL, // AutomationTable
        {
            0,                                  // InterfacesCount
            NULL,                               // Interfaces
            0,                                  // MediumsCount
            NULL,                               // Mediums
            SIZEOF_ARRAY(WaveBridgeDataRanges), // DataRangesCount
            WaveBridgeDataRanges,               // DataRanges
            KSPIN_DATAFLOW_OUT,                 // DataFlow
            KSPIN_COMMUNICATION_NONE,           // Communication
            &KSCATEGORY_AUDIO,                  // Category
            NULL,                               // Name
            {0},                                // Reserved (no constrained ranges)
        },
    },
};

const PCPIN_DESCRIPTOR WavePinsStereo[2] = {
    // WAVE_PIN_RENDER
    {
        1,    // MaxGlobalInstanceCount
        1,    // MaxFilterInstanceCount
        0,    // MinFilterInstanceCount
        NULL, // AutomationTable
        {
            0,                                        // InterfacesCount
            NULL,                                     // Interfaces
            0,                                        // MediumsCount
            NULL,                                     // Mediums
            SIZEOF_ARRAY(WaveRenderDataRangesStereo), // DataRangesCount
            WaveRenderDataRangesStereo,               // DataRanges
            KSPIN_DATAFLOW_IN,                        // DataFlow
            KSPIN_COMMUNICATION_SINK,                 // Communication
            &KSCATEGORY_AUDIO,                        // Category
            &KSAUDFNAME_PC_SPEAKER,                   // Name
            {0},                                      // Reserved (no constrained ranges)
        },
    },
    // WAVE_PIN_BRIDGE
    {
        0,    // MaxGlobalInstanceCount
        0,    // MaxFilterInstanceCount
        0,    // MinFilterInstanceCount
        NULL, // AutomationTable
        {
            0,                                  // InterfacesCount
            NULL,                               // Interfaces
            0,                                  // MediumsCount
            NULL,                               // Mediums
            SIZEOF_ARRAY(WaveBridgeDataRanges), // DataRangesCount
            WaveBridgeDataRanges,               // DataRanges
            KSPIN_DATAFLOW_OUT,                 // DataFlow
            KSPIN_COMMUNICATION_NONE,           // Communication
            &KSCATEGORY_AUDIO,                  // Category
            NULL,                               // Name
            {0},                                // Reserved (no constrained ranges)
        },
    },
};

// ---------------------------------------------------------------------------
// Automation

static const PCPROPERTY_ITEM WaveFilterProperties[] = {
    {
        &KSPROPSETID_General,                                         // Set
        KSPROPERTY_GENERAL_COMPONENTID,                               // Id
        PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, // Flags
        GetComponentId,                                               // Handler
    },
};

const PCAUTOMATION_TABLE WaveFilterAutomation = {
    sizeof(PCPROPERTY_ITEM),            // PropertyItemSize
    SIZEOF_ARRAY(WaveFilterProperties), // PropertyCount
    WaveFilterProperties,               // Properties
    0,                                  // MethodItemSize
    0,                                  // MethodCount
    NULL,                               // Methods
    0,                                  // EventItemSize
    0,                                  // EventCount
    NULL,                               // Events
    0,                                  // Reserved
};

static const PCPROPERTY_ITEM DacNodeProperties[] = {
    {
        &KSPROPSETID_Audio,              // Set
        KSPROPERTY_AUDIO_CHANNEL_CONFIG, // Id
        PCPROPERTY_ITEM_FLAG_SET,        // Flags
        SetChannelConfig,                // Handler
    },
};

const PCAUTOMATION_TABLE DacNodeAutomation = {
    sizeof(PCPROPERTY_ITEM),         // PropertyItemSize
    SIZEOF_ARRAY(DacNodeProperties), // PropertyCount
    DacNodeProperties,               // Properties
    0,                               // MethodItemSize
    0,                               // MethodCount
    NULL,                            // Methods
    0,                               // EventItemSize
    0,                               // EventCount
    NULL,                            // Events
    0,                               // Reserved
};

// ---------------------------------------------------------------------------
// Nodes and connections
//
//          +------------------------------------------------------+
//          |                     wave filter                      |
//          |                                                      |
//   PCM -->| Pin 0 --(0)--> 1 [ DAC, node 0 ] 0 --(1)--> Pin 1    |--> topology
//          | render sink                                 bridge   |    filter pin 0
//          +------------------------------------------------------+
//
// (0) and (1) are the two entries of WaveConnections; 1 and 0 at the node
// are its standard input and output pins.

const PCNODE_DESCRIPTOR WaveNodes[1] = {
    // WAVE_NODE_DAC
    {
        0,                  // Flags
        &DacNodeAutomation, // AutomationTable
        &KSNODETYPE_DAC,    // Type
        NULL,               // Name
    },
};

const PCCONNECTION_DESCRIPTOR WaveConnections[2] = {
    {
        PCFILTER_NODE,         // FromNode
        WAVE_PIN_RENDER,       // FromNodePin
        WAVE_NODE_DAC,         // ToNode
        KSNODEPIN_STANDARD_IN, // ToNodePin
    },
    {
        WAVE_NODE_DAC,          // FromNode
        KSNODEPIN_STANDARD_OUT, // FromNodePin
        PCFILTER_NODE,          // ToNode
        WAVE_PIN_BRIDGE,        // ToNodePin
    },
};

// ---------------------------------------------------------------------------
// Filters

const PCFILTER_DESCRIPTOR WaveFilterDescriptorMulti = {
    0,                             // Version
    &WaveFilterAutomation,         // AutomationTable
    sizeof(PCPIN_DESCRIPTOR),      // PinSize
    SIZEOF_ARRAY(WavePinsMulti),   // PinCount
    WavePinsMulti,                 // Pins
    sizeof(PCNODE_DESCRIPTOR),     // NodeSize
    SIZEOF_ARRAY(WaveNodes),       // NodeCount
    WaveNodes,                     // Nodes
    SIZEOF_ARRAY(WaveConnections), // ConnectionCount
    WaveConnections,               // Connections
    0,                             // CategoryCount
    NULL,                          // Categories
};

const PCFILTER_DESCRIPTOR WaveFilterDescriptorStereo = {
    0,                             // Version
    &WaveFilterAutomation,         // AutomationTable
    sizeof(PCPIN_DESCRIPTOR),      // PinSize
    SIZEOF_ARRAY(WavePinsStereo),  // PinCount
    WavePinsStereo,                // Pins
    sizeof(PCNODE_DESCRIPTOR),     // NodeSize
    SIZEOF_ARRAY(WaveNodes),       // NodeCount
    WaveNodes,                     // Nodes
    SIZEOF_ARRAY(WaveConnections), // ConnectionCount
    WaveConnections,               // Connections
    0,                             // CategoryCount
    NULL,                          // Categories
};

// ---------------------------------------------------------------------------
// Component identifier

const KSCOMPONENTID WaveComponentId = {
    {DEFINE_MMREG_MID_GUID(MM_MICROSOFT)}, // Manufacturer
    {STATIC_NUV_COMPONENT_PRODUCT},        // Product
    {STATIC_GUID_NULL},                    // Component
    {STATIC_NUV_COMPONENT_NAME},           // Name
    NUV_COMPONENT_VERSION,                 // Version
    NUV_COMPONENT_REVISION,                // Revision
};
