// Views of the filters: what the operating system sees of a started
// adapter, the registered filters with their descriptions and the physical
// connections between them. Collected once after a start (collect.cpp), then printed as text
// (devices.cpp) or as a Graphviz graph (dotwriter.cpp).
#pragma once

#include "tools/pinclient/statusname.h"

#include <portcls.h>

#include <optional>
#include <string>
#include <vector>

namespace nuvsim
{

struct DataRangeView
{
    ULONG formatSize = 0;
    GUID majorFormat = {};
    GUID subFormat = {};
    GUID specifier = {};
    // The audio extension, when the range carries one.
    struct AudioLimits
    {
        ULONG maximumChannels;
        ULONG minimumBitsPerSample;
        ULONG maximumBitsPerSample;
        ULONG minimumSampleFrequency;
        ULONG maximumSampleFrequency;
    };
    std::optional<AudioLimits> audio;
};

struct PinView
{
    ULONG id = 0;
    KSPIN_DATAFLOW dataFlow = KSPIN_DATAFLOW_IN;
    KSPIN_COMMUNICATION communication = KSPIN_COMMUNICATION_NONE;
    std::optional<GUID> category;
    std::optional<GUID> name;
    ULONG maxGlobalInstances = 0;
    ULONG maxFilterInstances = 0;
    ULONG minFilterInstances = 0;
    std::vector<DataRangeView> dataRanges;
};

struct NodeView
{
    ULONG id = 0;
    std::optional<GUID> type;
    std::optional<GUID> name;
};

struct ConnectionView
{
    ULONG fromNode = 0;
    ULONG fromPin = 0;
    ULONG toNode = 0;
    ULONG toPin = 0;
};

struct FilterView
{
    std::string referenceString;
    std::string kind; // "wave" or "topology"
    // The pair's position in the order of installation (NUV_Wave<n> and
    // NUV_Mixer<n> are pair n - 1), which is the device index the driver
    // gives both miniports of the pair.
    std::optional<ULONG> deviceIndex;
    std::vector<PinView> pins;
    std::vector<NodeView> nodes;
    std::vector<ConnectionView> connections;
    std::vector<GUID> categories;
    // KSPROPERTY_GENERAL_COMPONENTID of the filter, when it answers it.
    NTSTATUS componentIdStatus = STATUS_NOT_FOUND;
    std::optional<KSCOMPONENTID> componentId;
};

struct PhysicalConnectionView
{
    std::string from;
    ULONG fromPin = 0;
    std::string to;
    ULONG toPin = 0;
    NTSTATUS status = STATUS_SUCCESS;
};

// One playback device: a wave filter and the topology filter beside it.
struct PairView
{
    std::string wave;     // reference strings
    std::string topology; // empty if the pair has no topology filter
    std::optional<ULONG> deviceIndex;
};

struct DeviceView
{
    NTSTATUS startStatus = STATUS_SUCCESS;
    std::vector<PairView> pairs;
    std::vector<FilterView> filters; // in the order of registration
    std::vector<PhysicalConnectionView> physicalConnections;
};

// The filter with this reference string, or null.
const FilterView* FindFilter(const DeviceView& device, const std::string& referenceString);

// A data range from its bytes (FormatSize of them); the audio limits when
// the range is long enough to be a KSDATARANGE_AUDIO of the audio major
// format.
DataRangeView ReadDataRange(const std::vector<unsigned char>& bytes);

// "STATUS_SUCCESS", "STATUS_INSUFFICIENT_RESOURCES", ... or 0x%08X.
using pinclient::StatusName;

} // namespace nuvsim
