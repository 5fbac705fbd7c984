#include "host/portcls/resourcelist.h"

#include "host/kernel/boundary.h"
#include "host/portcls/library.h"

namespace host::portcls
{

ResourceList::ResourceList() : HostObject(ObjectKind::ResourceList, "resource list") {}

STDMETHODIMP_(NTSTATUS) ResourceList::QueryInterface(REFIID iid, PVOID* object)
try
{
    if (!CheckAlive("IResourceList::QueryInterface") || object == nullptr)
        return STATUS_INVALID_PARAMETER;
    const bool known = IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IResourceList);
    const NTSTATUS status = known ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    detail::RecordCall("IResourceList::QueryInterface", GuidName(iid), status, this);
    if (!known)
    {
        *object = nullptr;
        return status;
    }
    AddRef();
    *object = static_cast<IResourceList*>(this);
    return status;
}
catch (...)
{
    return host::CaughtAtBoundary("ResourceList::QueryInterface", STATUS_INSUFFICIENT_RESOURCES);
}

STDMETHODIMP_(ULONG) ResourceList::AddRef()
try
{
    return Reference("IResourceList::AddRef");
}
catch (...)
{
    return host::CaughtAtBoundary("ResourceList::AddRef", ULONG{});
}

STDMETHODIMP_(ULONG) ResourceList::Release()
try
{
    return Dereference("IResourceList::Release");
}
catch (...)
{
    return host::CaughtAtBoundary("ResourceList::Release", ULONG{});
}

// An empty list: no entries of any type, nothing to find, nothing to add.
STDMETHODIMP_(ULONG) ResourceList::NumberOfEntries()
try
{
    CheckAlive("IResourceList::NumberOfEntries");
    return 0;
}
catch (...)
{
    return host::CaughtAtBoundary("ResourceList::NumberOfEntries", ULONG{});
}

STDMETHODIMP_(ULONG) ResourceList::NumberOfEntriesOfType(CM_RESOURCE_TYPE)
try
{
    CheckAlive("IResourceList::NumberOfEntriesOfType");
    return 0;
}
catch (...)
{
    return host::CaughtAtBoundary("ResourceList::NumberOfEntriesOfType", ULONG{});
}

STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR)
ResourceList::FindTranslatedEntry(CM_RESOURCE_TYPE, ULONG)
try
{
    CheckAlive("IResourceList::FindTranslatedEntry");
    return nullptr;
}
catch (...)
{
    return host::CaughtAtBoundary("ResourceList::FindTranslatedEntry",
                                  PCM_PARTIAL_RESOURCE_DESCRIPTOR{});
}

STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR)
ResourceList::FindUntranslatedEntry(CM_RESOURCE_TYPE, ULONG)
try
{
    CheckAlive("IResourceList::FindUntranslatedEntry");
    return nullptr;
}
catch (...)
{
    return host::CaughtAtBoundary("ResourceList::FindUntranslatedEntry",
                                  PCM_PARTIAL_RESOURCE_DESCRIPTOR{});
}

// The start routine's list is the device's; it does not grow.
STDMETHODIMP_(NTSTATUS)
ResourceList::AddEntry(PCM_PARTIAL_RESOURCE_DESCRIPTOR, PCM_PARTIAL_RESOURCE_DESCRIPTOR)
try
{
    detail::RecordCall("IResourceList::AddEntry", "", STATUS_INVALID_DEVICE_REQUEST, this);
    return STATUS_INVALID_DEVICE_REQUEST;
}
catch (...)
{
    return host::CaughtAtBoundary("ResourceList::AddEntry", STATUS_INSUFFICIENT_RESOURCES);
}

STDMETHODIMP_(NTSTATUS) ResourceList::AddEntryFromParent(IResourceList*, CM_RESOURCE_TYPE, ULONG)
try
{
    detail::RecordCall("IResourceList::AddEntryFromParent", "", STATUS_INVALID_DEVICE_REQUEST,
                       this);
    return STATUS_INVALID_DEVICE_REQUEST;
}
catch (...)
{
    return host::CaughtAtBoundary("ResourceList::AddEntryFromParent",
                                  STATUS_INSUFFICIENT_RESOURCES);
}

STDMETHODIMP_(PCM_RESOURCE_LIST) ResourceList::TranslatedList()
try
{
    CheckAlive("IResourceList::TranslatedList");
    return nullptr;
}
catch (...)
{
    return host::CaughtAtBoundary("ResourceList::TranslatedList", PCM_RESOURCE_LIST{});
}

STDMETHODIMP_(PCM_RESOURCE_LIST) ResourceList::UntranslatedList()
try
{
    CheckAlive("IResourceList::UntranslatedList");
    return nullptr;
}
catch (...)
{
    return host::CaughtAtBoundary("ResourceList::UntranslatedList", PCM_RESOURCE_LIST{});
}

} // namespace host::portcls
