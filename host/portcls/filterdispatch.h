// The library's handling of a client's requests on a filter: property
// requests routed through the automation tables to the miniport's handlers,
// and data-range intersections through the miniport's DataRangeIntersection
// with the library's default behind it. The test-facing entry points
// (DispatchProperty, GetProperty, SetProperty, IntersectDataRanges) and the
// statuses they answer are described in portclass.h; this header holds the
// library's own default intersection, which the dispatch falls back on when
// a miniport answers STATUS_NOT_IMPLEMENTED.
#pragma once

#include "host/portcls/portclass.h"

namespace host::portcls
{

// The library's default for one pair of ranges: only a plain KSDATARANGE
// pin range (FormatSize 64) whose major format, subformat and specifier
// match the client's (equal, or a wildcard on either side). The result is
// the pin's range as a KSDATAFORMAT, its wildcard GUIDs taken from the
// client's range. Two-call protocol: a zero-length buffer learns the size
// with STATUS_BUFFER_OVERFLOW, a short one gets STATUS_BUFFER_TOO_SMALL.
// Anything else: STATUS_NO_MATCH.
NTSTATUS DefaultDataRangeIntersection(const KSDATARANGE& clientRange, const KSDATARANGE& pinRange,
                                      ULONG outputBufferLength, void* resultantFormat,
                                      ULONG* resultantFormatLength);

// Major format, subformat and specifier each equal, or a wildcard on either
// side.
bool DataRangesMatch(const KSDATARANGE& a, const KSDATARANGE& b);

} // namespace host::portcls
