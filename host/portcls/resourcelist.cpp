#include "host/portcls/resourcelist.h"

#include "host/portcls/library.h"

namespace host::portcls
{

ResourceList::ResourceList() : HostObject(ObjectKind::ResourceList, "resource list") {}

STDMETHODIMP_(NTSTATUS) ResourceList::QueryInterface(REFIID iid, PVOID* object)
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

STDMETHODIMP_(ULONG) ResourceList::AddRef()
{
    return Reference("IResourceList::AddRef");
}

STDMETHODIMP_(ULONG) ResourceList::Release()
{
    return Dereference("IResourceList::Release");
}

// An empty list: no entries of any type, nothing to find, nothing to add.
STDMETHODIMP_(ULONG) ResourceList::NumberOfEntries()
{
    CheckAlive("IResourceList::NumberOfEntries");
    return 0;
}

STDMETHODIMP_(ULONG) ResourceList::NumberOfEntriesOfType(CM_RESOURCE_TYPE)
{
    CheckAlive("IResourceList::NumberOfEntriesOfType");
    return 0;
}

STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR)
ResourceList::FindTranslatedEntry(CM_RESOURCE_TYPE, ULONG)
{
    CheckAlive("IResourceList::FindTranslatedEntry");
    return nullptr;
}

STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR)
ResourceList::FindUntranslatedEntry(CM_RESOURCE_TYPE, ULONG)
{
    CheckAlive("IResourceList::FindUntranslatedEntry");
    return nullptr;
}

// The start routine's list is the device's; it does not grow.
STDMETHODIMP_(NTSTATUS)
ResourceList::AddEntry(PCM_PARTIAL_RESOURCE_DESCRIPTOR, PCM_PARTIAL_RESOURCE_DESCRIPTOR)
{
    detail::RecordCall("IResourceList::AddEntry", "", STATUS_INVALID_DEVICE_REQUEST, this);
    return STATUS_INVALID_DEVICE_REQUEST;
}

STDMETHODIMP_(NTSTATUS) ResourceList::AddEntryFromParent(IResourceList*, CM_RESOURCE_TYPE, ULONG)
{
    detail::RecordCall("IResourceList::AddEntryFromParent", "", STATUS_INVALID_DEVICE_REQUEST,
                       this);
    return STATUS_INVALID_DEVICE_REQUEST;
}

STDMETHODIMP_(PCM_RESOURCE_LIST) ResourceList::TranslatedList()
{
    CheckAlive("IResourceList::TranslatedList");
    return nullptr;
}

STDMETHODIMP_(PCM_RESOURCE_LIST) ResourceList::UntranslatedList()
{
    CheckAlive("IResourceList::UntranslatedList");
    return nullptr;
}

} // namespace host::portcls
