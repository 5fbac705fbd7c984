#include "host/portcls/library.h"

#include "host/kernel/guidstring.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace host::portcls
{
namespace
{

struct PortFailure
{
    GUID portClass;
    NTSTATUS status;
    unsigned succeedFirst; // counts down with each creation of the class
};

struct Refusal
{
    GUID portClass;
    GUID iid;
};

struct LibraryState
{
    std::mutex mutex;
    std::vector<Refusal> refusals;
    std::vector<PortFailure> failures;
    std::vector<LibraryCall> calls;
};

LibraryState& State()
{
    static LibraryState state;
    return state;
}

bool Same(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

struct NamedGuid
{
    const GUID* guid;
    const char* name;
};

// The identifiers a test meets in the record and in messages.
const NamedGuid kGuidNames[] = {
    {&IID_IUnknown, "IID_IUnknown"},
    {&IID_IPort, "IID_IPort"},
    {&IID_IPortWaveCyclic, "IID_IPortWaveCyclic"},
    {&IID_IPortWavePci, "IID_IPortWavePci"},
    {&IID_IPortTopology, "IID_IPortTopology"},
    {&IID_IPortEvents, "IID_IPortEvents"},
    {&IID_IResourceList, "IID_IResourceList"},
    {&IID_IMiniport, "IID_IMiniport"},
    {&IID_IMiniportWavePci, "IID_IMiniportWavePci"},
    {&IID_IMiniportTopology, "IID_IMiniportTopology"},
    {&IID_IPowerNotify, "IID_IPowerNotify"},
    {&CLSID_PortWaveCyclic, "CLSID_PortWaveCyclic"},
    {&CLSID_PortWavePci, "CLSID_PortWavePci"},
    {&CLSID_PortTopology, "CLSID_PortTopology"},
};

} // namespace

void RefuseInterface(REFCLSID portClass, REFIID iid)
{
    LibraryState& state = State();
    std::lock_guard lock(state.mutex);
    state.refusals.push_back({portClass, iid});
}

void FailPortCreation(REFCLSID portClass, NTSTATUS status, unsigned succeedFirst)
{
    LibraryState& state = State();
    std::lock_guard lock(state.mutex);
    state.failures.push_back({portClass, status, succeedFirst});
}

void ResetConfiguration()
{
    LibraryState& state = State();
    std::lock_guard lock(state.mutex);
    state.refusals.clear();
    state.failures.clear();
    state.calls.clear();
    detail::ResetSubdeviceFailures();
}

std::vector<LibraryCall> Calls()
{
    LibraryState& state = State();
    std::lock_guard lock(state.mutex);
    return state.calls;
}

std::size_t CallCount(const std::string& function)
{
    LibraryState& state = State();
    std::lock_guard lock(state.mutex);
    std::size_t count = 0;
    for (const auto& call : state.calls)
        count += call.function == function;
    return count;
}

std::size_t CallCount(const std::string& function, const std::string& detail)
{
    LibraryState& state = State();
    std::lock_guard lock(state.mutex);
    std::size_t count = 0;
    for (const auto& call : state.calls)
        count += call.function == function && call.detail == detail;
    return count;
}

void ClearCalls()
{
    LibraryState& state = State();
    std::lock_guard lock(state.mutex);
    state.calls.clear();
}

std::string GuidName(const GUID& guid)
{
    for (const auto& named : kGuidNames)
    {
        if (Same(*named.guid, guid))
            return named.name;
    }
    return GuidString(guid);
}

namespace detail
{

void RecordCall(std::string function, std::string detail, NTSTATUS status, const void* object)
{
    LibraryState& state = State();
    std::lock_guard lock(state.mutex);
    state.calls.push_back({std::move(function), std::move(detail), status, object});
}

bool IsInterfaceRefused(const GUID& portClass, const GUID& iid)
{
    LibraryState& state = State();
    std::lock_guard lock(state.mutex);
    for (const auto& refusal : state.refusals)
    {
        if (Same(refusal.portClass, portClass) && Same(refusal.iid, iid))
            return true;
    }
    return false;
}

std::optional<NTSTATUS> PortCreationFailure(const GUID& portClass)
{
    LibraryState& state = State();
    std::lock_guard lock(state.mutex);
    std::optional<NTSTATUS> result;
    for (auto& failure : state.failures)
    {
        if (!Same(failure.portClass, portClass))
            continue;
        if (failure.succeedFirst > 0)
            --failure.succeedFirst;
        else if (!result)
            result = failure.status;
    }
    return result;
}

} // namespace detail
} // namespace host::portcls
