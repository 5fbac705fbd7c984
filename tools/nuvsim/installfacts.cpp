#include "tools/nuvsim/installfacts.h"

#include "tools/nuvsim/guidnames.h"

#include <ks.h>
#include <ksmedia.h>

#include <cstring>
#include <ostream>
#include <vector>

namespace nuvsim
{
namespace
{

bool SameGuid(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

// A pin that a client streams through: a sink (or both) of data.
bool IsStreamingPin(const PinView& pin, KSPIN_DATAFLOW flow)
{
    return pin.dataFlow == flow && (pin.communication == KSPIN_COMMUNICATION_SINK ||
                                    pin.communication == KSPIN_COMMUNICATION_BOTH);
}

std::vector<GUID> InterfaceClasses(const FilterView& filter)
{
    if (!filter.categories.empty())
    {
        return filter.categories;
    }
    std::vector<GUID> classes{KSCATEGORY_AUDIO};
    if (filter.kind == "topology")
    {
        classes.push_back(KSCATEGORY_TOPOLOGY);
        return classes;
    }
    bool render = false;
    bool capture = false;
    for (const PinView& pin : filter.pins)
    {
        render = render || IsStreamingPin(pin, KSPIN_DATAFLOW_IN);
        capture = capture || IsStreamingPin(pin, KSPIN_DATAFLOW_OUT);
    }
    if (render)
    {
        classes.push_back(KSCATEGORY_RENDER);
    }
    if (capture)
    {
        classes.push_back(KSCATEGORY_CAPTURE);
    }
    return classes;
}

void WriteName(std::ostream& out, const GUID& name, const FilterView& filter,
               const std::string& where)
{
    out << "name " << GuidString(name) << " " << GuidName(name) << " " << filter.referenceString
        << " " << where << "\n";
}

} // namespace

void WriteInstallFacts(std::ostream& out, const DeviceView& device)
{
    out << "start " << StatusName(device.startStatus) << "\n";
    for (const FilterView& filter : device.filters)
    {
        out << "subdevice " << filter.referenceString << " " << filter.kind << " ";
        if (filter.deviceIndex)
        {
            out << *filter.deviceIndex;
        }
        else
        {
            out << "-";
        }
        out << "\n";
        for (const GUID& category : InterfaceClasses(filter))
        {
            out << "interface " << filter.referenceString << " " << GuidName(category) << " "
                << GuidString(category) << "\n";
        }
        for (const PinView& pin : filter.pins)
        {
            if (pin.name && !SameGuid(*pin.name, GUID_NULL))
            {
                WriteName(out, *pin.name, filter, "pin " + std::to_string(pin.id));
            }
        }
        if (filter.componentId && !SameGuid(filter.componentId->Name, GUID_NULL))
        {
            WriteName(out, filter.componentId->Name, filter, "component");
        }
    }
}

} // namespace nuvsim
