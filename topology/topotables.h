// The descriptor tables of the topology filter.
//
// All four topology subdevices expose the same filter: four pins, two nodes
// and four connections forming two paths of one shape. The output path takes
// the wave filter's signal in at pin 0 and leaves at pin 1, the device's
// output; the microphone path enters at pin 2 and leaves at pin 3, toward the
// wave filter. The filter has no properties, methods, events or categories.
//
// There is one set of tables for the whole driver. Everything is constant
// except the pin table: CMiniportTopology::GetDescription rewrites pin 1's
// Category and Name for its device index before it hands the descriptor to
// its port, so that each filter shows its own output.
#pragma once

#include <portcls.h>
#include <ksmedia.h>

// Pins of the topology filter, by index. The physical connections that
// device start registers name pins 0 and 3 by these numbers.
#define TOPOLOGY_PIN_OUTPUT_ENTRY 0     // from the wave filter
#define TOPOLOGY_PIN_OUTPUT 1           // the device's output
#define TOPOLOGY_PIN_MICROPHONE_ENTRY 2 // microphone path in
#define TOPOLOGY_PIN_MICROPHONE_EXIT 3  // toward the wave filter
#define TOPOLOGY_PIN_COUNT 4

// Nodes of the topology filter, by index.
#define TOPOLOGY_NODE_OUTPUT_SRC 0
#define TOPOLOGY_NODE_MICROPHONE_SRC 1
#define TOPOLOGY_NODE_COUNT 2

#define TOPOLOGY_CONNECTION_COUNT 4

// The name identifiers of the four outputs. The platform's media-category
// registry maps each to its display text; the driver only hands them out.
// {04310FB9-ABB8-4729-BE87-BF34CCD945E2}
extern const GUID PINNAME_OUTPUT_1;
// {B452985B-27E6-4745-83B1-28E5BF4896D9}
extern const GUID PINNAME_OUTPUT_2;
// {63DBA496-91F6-4D7A-A7DF-10CEC09422AE}
extern const GUID PINNAME_OUTPUT_3;
// {C79A4E69-C689-4639-8BF7-16DF8A75EBD6}
extern const GUID PINNAME_OUTPUT_4;

// Pins 0 and 1 are named {185FEDE3-9905-11D1-95A9-00C04FB925D3}, the
// platform's KSAUDFNAME_MASTER_VOLUME; pin 1 keeps it until the first
// GetDescription of any topology miniport.
#define TOPOLOGY_DEFAULT_PIN_NAME (&KSAUDFNAME_MASTER_VOLUME)

extern const KSDATARANGE TopologyBridgeDataRange;
extern const PKSDATARANGE TopologyDataRanges[1];

// Writable: pin 1's Category and Name are rewritten per device index by
// CMiniportTopology::GetDescription, each with one pointer-sized store.
// Nothing else in it ever changes.
extern PCPIN_DESCRIPTOR TopologyPins[TOPOLOGY_PIN_COUNT];

extern const PCNODE_DESCRIPTOR TopologyNodes[TOPOLOGY_NODE_COUNT];
extern const PCCONNECTION_DESCRIPTOR TopologyConnections[TOPOLOGY_CONNECTION_COUNT];
extern const PCFILTER_DESCRIPTOR TopologyFilterDescriptor;
