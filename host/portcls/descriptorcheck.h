// The check the library runs on every filter descriptor a port reads
// (CheckFilterDescriptor, declared in portclass.h for tests and tools).
//
// It asks what the platform's own topology checks ask of a filter:
//   - PinSize and NodeSize at least the sizes of PCPIN_DESCRIPTOR and
//     PCNODE_DESCRIPTOR; every non-zero count with a table behind it;
//   - every pin with at least one data range, each at least a KSDATARANGE
//     long by its FormatSize; a data flow of IN or OUT; interfaces and
//     mediums present when counted; at most as many required instances as
//     allowed ones; a bridge pin (KSPIN_COMMUNICATION_NONE) with no
//     instances at all;
//   - every node with a type, and part of some connection;
//   - every connection between existing pins and nodes: a filter pin below
//     PinCount, entered from an IN pin and left to an OUT pin; on a node,
//     out of pin 0 (KSNODEPIN_STANDARD_OUT) and into pin 1
//     (KSNODEPIN_STANDARD_IN), or any input above 0 on a sum or mux node;
//   - every automation table (the filter's, each pin's, each node's) with
//     item sizes at least the PC item structures, tables behind its counts,
//     and a set and a handler on every property item.
// A finding is one line naming the pin, node, connection or table.
#pragma once

#include "host/portcls/portclass.h"
