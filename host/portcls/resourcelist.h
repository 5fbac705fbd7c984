// The resource list the library hands the adapter's start routine. The
// device has no hardware resources of its own (the companion driver owns the
// USB device), so the list is empty; it is still a counted object, and the
// library releases its own reference when the start routine returns.
#pragma once

#include "host/portcls/hostobject.h"

#include <portcls.h>

namespace host::portcls
{

class ResourceList final : public IResourceList, public HostObject
{
public:
    ResourceList();

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP_(ULONG) NumberOfEntries() override;
    STDMETHODIMP_(ULONG) NumberOfEntriesOfType(CM_RESOURCE_TYPE type) override;
    STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR)
    FindTranslatedEntry(CM_RESOURCE_TYPE type, ULONG index) override;
    STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR)
    FindUntranslatedEntry(CM_RESOURCE_TYPE type, ULONG index) override;
    STDMETHODIMP_(NTSTATUS)
    AddEntry(PCM_PARTIAL_RESOURCE_DESCRIPTOR translated,
             PCM_PARTIAL_RESOURCE_DESCRIPTOR untranslated) override;
    STDMETHODIMP_(NTSTATUS)
    AddEntryFromParent(IResourceList* parent, CM_RESOURCE_TYPE type, ULONG index) override;
    STDMETHODIMP_(PCM_RESOURCE_LIST) TranslatedList() override;
    STDMETHODIMP_(PCM_RESOURCE_LIST) UntranslatedList() override;
};

} // namespace host::portcls
