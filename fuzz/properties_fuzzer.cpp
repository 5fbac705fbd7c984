// Property requests from a client into the library's property dispatch, and
// so into the driver's handlers: any subdevice, a known or arbitrary set, any
// id, verb and node, and value sizes around every structure the handlers
// read or write (0, each size and one either side, huge, arbitrary), with the
// value buffer exactly that long or missing. Each input is a sequence of
// requests. The dispatch gives the handler a buffer of exactly the size
// asked, so a handler that reads or writes past it is caught; a handler that
// reports more bytes than it was given is a violation; a request must never
// leave pool behind.
#include "fuzz/support/fuzzinput.h"
#include "fuzz/support/fuzzsystem.h"

#include <ksmedia.h>

#include <algorithm>
#include <vector>

namespace
{

const GUID* const kSets[] = {
    &KSPROPSETID_Audio,    &KSPROPSETID_General,    &KSPROPSETID_Pin,
    &KSPROPSETID_Topology, &KSPROPSETID_Connection,
};

// The sizes a handler of this driver compares with: a ULONG (access flags,
// KSAUDIO_CHANNEL_CONFIG), a KSPROPERTY_DESCRIPTION, a KSCOMPONENTID.
const ULONG kStructureSizes[] = {sizeof(ULONG), sizeof(KSAUDIO_CHANNEL_CONFIG),
                                 sizeof(KSPROPERTY_DESCRIPTION), sizeof(KSCOMPONENTID)};

constexpr ULONG kHugeValue = 1u << 20;

const ULONG kVerbs[] = {
    KSPROPERTY_TYPE_GET,
    KSPROPERTY_TYPE_SET,
    KSPROPERTY_TYPE_BASICSUPPORT,
    KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY,
    KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY,
    KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_TOPOLOGY,
    KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET,
    0,
};

GUID TakeSet(nuvfuzz::FuzzInput& in)
{
    const std::uint8_t choice = in.Choice(SIZEOF_ARRAY(kSets) + 1);
    if (choice < SIZEOF_ARRAY(kSets))
        return *kSets[choice];
    GUID set{};
    const auto bytes = in.Bytes(sizeof(set));
    if (!bytes.empty())
        std::memcpy(&set, bytes.data(), bytes.size());
    return set;
}

ULONG TakeValueSize(nuvfuzz::FuzzInput& in)
{
    switch (in.Choice(4))
    {
    case 0:
        return 0;
    case 1:
    {
        // A structure's size, or one byte less or more.
        const ULONG size = kStructureSizes[in.Choice(SIZEOF_ARRAY(kStructureSizes))];
        return size - 1 + in.Choice(3);
    }
    case 2:
        return kHugeValue;
    default:
        return in.U16();
    }
}

ULONG TakeNode(nuvfuzz::FuzzInput& in)
{
    const std::uint8_t choice = in.U8();
    if (choice < 128)
        return host::portcls::kFilterNode;
    if (choice < 250)
        return choice % 4;
    return in.U32();
}

void OneRequest(nuvfuzz::FuzzInput& in)
{
    nuvfuzz::StartedSystem& system = nuvfuzz::StartedSystem::Get();
    PUNKNOWN port = system.Port(in.Choice(static_cast<std::uint8_t>(system.Subdevices().size())));

    host::portcls::PropertyRequest request;
    request.set = TakeSet(in);
    request.id = in.Choice(8);
    const std::uint8_t verb = in.U8();
    request.verb = verb < 250 ? kVerbs[verb % SIZEOF_ARRAY(kVerbs)] : in.U32();
    request.node = TakeNode(in);
    request.valueSize = TakeValueSize(in);
    const bool missingBuffer = (in.U8() & 0x7) == 0;

    // The client's buffer, exactly the size it says, filled from the input.
    std::vector<std::uint8_t> value(missingBuffer ? 0 : request.valueSize);
    const auto fill = in.Bytes(value.size());
    std::copy(fill.begin(), fill.end(), value.begin());
    request.value = missingBuffer ? nullptr : value.data();

    const host::portcls::PropertyResult result = host::portcls::DispatchProperty(port, request);
    if (NT_SUCCESS(result.status) && result.status != STATUS_SUCCESS)
        nuvfuzz::Finding("a property request answered the informational status " +
                         std::to_string(result.status));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    nuvfuzz::StartedSystem::Get().ForgetRecords();
    nuvfuzz::PoolBaseline pool;
    nuvfuzz::FuzzInput in(data, size);
    for (int request = 0; request < 16 && !in.Empty(); ++request)
        OneRequest(in);
    pool.CheckNothingLeaked();
    return 0;
}
