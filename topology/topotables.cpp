#include "topology/topotables.h"

const GUID PINNAME_OUTPUT_1 = {
    0x04310FB9, 0xABB8, 0x4729, {0xBE, 0x87, 0xBF, 0x34, 0xCC, 0xD9, 0x45, 0xE2}};
const GUID PINNAME_OUTPUT_2 = {
    0xB452985B, 0x27E6, 0x4745, {0x83, 0xB1, 0x28, 0xE5, 0xBF, 0x48, 0x96, 0xD9}};
const GUID PINNAME_OUTPUT_3 = {
    0x63DBA496, 0x91F6, 0x4D7A, {0xA7, 0xDF, 0x10, 0xCE, 0xC0, 0x94, 0x22, 0xAE}};
const GUID PINNAME_OUTPUT_4 = {
    0xC79A4E69, 0xC689, 0x4639, {0x8B, 0xF7, 0x16, 0xDF, 0x8A, 0x75, 0xEB, 0xD6}};

// The analog bridge range that every pin offers: the filter moves no data
// itself, it only says where the signal goes.
const KSDATARANGE TopologyBridgeDataRange = {{
    sizeof(KSDATARANGE),                         // FormatSize
    0,                                           // Flags
    0,                                           // SampleSize
    0,                                           // Reserved
    {STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO)},     // MajorFormat
    {STATICGUIDOF(KSDATAFORMAT_SUBTYPE_ANALOG)}, // SubFormat
    {STATICGUIDOF(KSDATAFORMAT_SPECIFIER_NONE)}, // Specifier
}};

// All four pins point at this one array.
const PKSDATARANGE TopologyDataRanges[1] = {
    const_cast<PKSDATARANGE>(&TopologyBridgeDataRange),
};

// Writable on purpose, unlike every other table here: GetDescription stores
// pin 1's Category and Name for the device index of the miniport asking (see
// mintopo.cpp). Pin 1 starts out like pin 0 until the first GetDescription.
PCPIN_DESCRIPTOR TopologyPins[TOPOLOGY_PIN_COUNT] = {
    // Pin 0: entry of the output path; the wave filter's pin 1 connects here.
    {
        0,    // MaxGlobalInstanceCount
        0,    // MaxFilterInstanceCount
        0,    // MinFilterInstanceCount
        NULL, // AutomationTable
        {
            0,                                // InterfacesCount
            NULL,                             // Interfaces
            0,                                // MediumsCount
            NULL,                             // Mediums
            SIZEOF_ARRAY(TopologyDataRanges), // DataRangesCount
            TopologyDataRanges,               // DataRanges
            KSPIN_DATAFLOW_IN,                // DataFlow
            KSPIN_COMMUNICATION_NONE,         // Communication
            &KSNODETYPE_SPEAKER,              // Category
            TOPOLOGY_DEFAULT_PIN_NAME,        // Name
            {0},                              // Reserved (no constrained ranges)
        },
    },
    // Pin 1: the device's output. Category and Name are rewritten per
    // device index.
    {
        0,    // MaxGlobalInstanceCount
        0,    // MaxFilterInstanceCount
        0,    // MinFilterInstanceCount
        NULL, // AutomationTable
        {
            0,                                // InterfacesCount
            NULL,                             // Interfaces
            0,                                // MediumsCount
            NULL,                             // Mediums
            SIZEOF_ARRAY(TopologyDataRanges), // DataRangesCount
            TopologyDataRanges,               // DataRanges
            KSPIN_DATAFLOW_OUT,               // DataFlow
            KSPIN_COMMUNICATION_NONE,         // Communication
            &KSNODETYPE_SPEAKER,              // Category (rewritten)
            TOPOLOGY_DEFAULT_PIN_NAME,        // Name (rewritten)
            {0},                              // Reserved (no constrained ranges)
        },
    },
    // Pin 2: entry of the microphone path.
    {
        0,    // MaxGlobalInstanceCount
        0,    // MaxFilterInstanceCount
        0,    // MinFilterInstanceCount
        NULL, // AutomationTable
        {
            0,                                // InterfacesCount
            NULL,                             // Interfaces
            0,                                // MediumsCount
            NULL,                             // Mediums
            SIZEOF_ARRAY(TopologyDataRanges), // DataRangesCount
            TopologyDataRanges,               // DataRanges
            KSPIN_DATAFLOW_IN,                // DataFlow
            KSPIN_COMMUNICATION_NONE,         // Communication
            &KSNODETYPE_MICROPHONE,           // Category
            NULL,                             // Name
            {0},                              // Reserved (no constrained ranges)
        },
    },
    // Pin 3: exit of the microphone path; device start connects it to the
    // wave filter.
    {
        0,    // MaxGlobalInstanceCount
        0,    // MaxFilterInstanceCount
        0,    // MinFilterInstanceCount
        NULL, // AutomationTable
        {
            0,                                // InterfacesCount
            NULL,                             // Interfaces
            0,                                // MediumsCount
            NULL,                             // Mediums
            SIZEOF_ARRAY(TopologyDataRanges), // DataRangesCount
            TopologyDataRanges,               // DataRanges
            KSPIN_DATAFLOW_OUT,               // DataFlow
            KSPIN_COMMUNICATION_NONE,         // Communication
            &KSNODETYPE_MICROPHONE,           // Category
            NULL,                             // Name
            {0},                              // Reserved (no constrained ranges)
        },
    },
};

// Two sample-rate converter nodes without properties, one per path.
const PCNODE_DESCRIPTOR TopologyNodes[TOPOLOGY_NODE_COUNT] = {
    // Node 0: on the output path.
    {
        0,               // Flags
        NULL,            // AutomationTable
        &KSNODETYPE_SRC, // Type
        NULL,            // Name
    },
    // Node 1: on the microphone path.
    {
        0,               // Flags
        NULL,            // AutomationTable
        &KSNODETYPE_SRC, // Type
        NULL,            // Name
    },
};

// The two paths of the filter; they never meet.
//
//              +------------------------------------+
//              |          topology filter           |
//   wave pin 1 |                                    |
//   ---------> [0] --> (in) node 0: SRC (out) --> [1] ---------> output
//              |                                    |
//   ---------> [2] --> (in) node 1: SRC (out) --> [3] ---------> wave pin 3
//              |                                    |
//              +------------------------------------+
//
// On a node, pin 1 is its input and pin 0 its output; PCFILTER_NODE stands
// for the filter itself, with a filter pin.
const PCCONNECTION_DESCRIPTOR TopologyConnections[TOPOLOGY_CONNECTION_COUNT] = {
    // filter pin 0 into node 0
    {
        PCFILTER_NODE,             // FromNode
        TOPOLOGY_PIN_OUTPUT_ENTRY, // FromNodePin
        TOPOLOGY_NODE_OUTPUT_SRC,  // ToNode
        KSNODEPIN_STANDARD_IN,     // ToNodePin
    },
    // node 0 out to filter pin 1
    {
        TOPOLOGY_NODE_OUTPUT_SRC, // FromNode
        KSNODEPIN_STANDARD_OUT,   // FromNodePin
        PCFILTER_NODE,            // ToNode
        TOPOLOGY_PIN_OUTPUT,      // ToNodePin
    },
    // filter pin 2 into node 1
    {
        PCFILTER_NODE,                 // FromNode
        TOPOLOGY_PIN_MICROPHONE_ENTRY, // FromNodePin
        TOPOLOGY_NODE_MICROPHONE_SRC,  // ToNode
        KSNODEPIN_STANDARD_IN,         // ToNodePin
    },
    // node 1 out to filter pin 3
    {
        TOPOLOGY_NODE_MICROPHONE_SRC, // FromNode
        KSNODEPIN_STANDARD_OUT,       // FromNodePin
        PCFILTER_NODE,                // ToNode
        TOPOLOGY_PIN_MICROPHONE_EXIT, // ToNodePin
    },
};

const PCFILTER_DESCRIPTOR TopologyFilterDescriptor = {
    0,                                 // Version
    NULL,                              // AutomationTable
    sizeof(PCPIN_DESCRIPTOR),          // PinSize
    SIZEOF_ARRAY(TopologyPins),        // PinCount
    TopologyPins,                      // Pins
    sizeof(PCNODE_DESCRIPTOR),         // NodeSize
    SIZEOF_ARRAY(TopologyNodes),       // NodeCount
    TopologyNodes,                     // Nodes
    SIZEOF_ARRAY(TopologyConnections), // ConnectionCount
    TopologyConnections,               // Connections
    0,                                 // CategoryCount
    NULL,                              // Categories
};
