#include "tests/support/faketopologyport.h"

namespace nuvtest
{

STDMETHODIMP_(NTSTATUS) FakeTopologyPort::QueryInterface(REFIID interfaceId, PVOID* result)
{
    if (IsEqualGUIDAligned(interfaceId, IID_IUnknown) ||
        IsEqualGUIDAligned(interfaceId, IID_IPort) ||
        IsEqualGUIDAligned(interfaceId, IID_IPortTopology))
    {
        *result = static_cast<IPortTopology*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    *result = nullptr;
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(ULONG) FakeTopologyPort::AddRef()
{
    return static_cast<ULONG>(++references_);
}

STDMETHODIMP_(ULONG) FakeTopologyPort::Release()
{
    return static_cast<ULONG>(--references_);
}

STDMETHODIMP_(NTSTATUS)
FakeTopologyPort::Init(PDEVICE_OBJECT, PIRP, PUNKNOWN, PUNKNOWN, PRESOURCELIST)
{
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS)
FakeTopologyPort::GetDeviceProperty(DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG)
{
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS)
FakeTopologyPort::NewRegistryKey(PREGISTRYKEY*, PUNKNOWN, ULONG, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                 ULONG, PULONG)
{
    return STATUS_NOT_IMPLEMENTED;
}

} // namespace nuvtest
