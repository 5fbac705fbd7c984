#include "common/unknown.h"

CUnknown::CUnknown(PUNKNOWN OuterUnknown)
    : m_RefCount(0),
      m_OuterUnknown(OuterUnknown != NULL
                         ? OuterUnknown
                         // The non-delegating table has the same first three
                         // slots as IUnknown, so it serves as the outer unknown.
                         : reinterpret_cast<PUNKNOWN>(static_cast<PNONDELEGATINGUNKNOWN>(this)))
{
}

// The base holds no reference, not even on the outer unknown.
CUnknown::~CUnknown() {}

STDMETHODIMP_(NTSTATUS) CUnknown::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    if (!IsEqualGUIDAligned(InterfaceId, IID_IUnknown))
    {
        return RefuseInterface(Interface);
    }
    *Interface = static_cast<PNONDELEGATINGUNKNOWN>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingAddRef()
{
    return static_cast<ULONG>(InterlockedIncrement(&m_RefCount));
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingRelease()
{
    LONG count = InterlockedDecrement(&m_RefCount);
    if (count != 0)
    {
        return static_cast<ULONG>(count);
    }
    // Nobody else holds the object. Reading 1 during destruction keeps an
    // AddRef/Release pair made by a destructor from destroying it twice.
    m_RefCount = 1;
    delete this;
    return 0;
}

PVOID CUnknown::operator new(SIZE_T Size, POOL_TYPE PoolType, ULONG Tag) noexcept
{
    PVOID storage = ExAllocatePoolWithTag(PoolType, Size, Tag);
    if (storage != NULL)
    {
        RtlZeroMemory(storage, Size);
    }
    return storage;
}

void CUnknown::operator delete(PVOID Object)
{
    ExFreePool(Object);
}

void CUnknown::operator delete(PVOID Object, POOL_TYPE PoolType, ULONG Tag)
{
    UNREFERENCED_PARAMETER(PoolType);
    UNREFERENCED_PARAMETER(Tag);
    ExFreePool(Object);
}

NTSTATUS ReturnInterface(PUNKNOWN InterfacePointer, PVOID* Interface)
{
    *Interface = InterfacePointer;
    InterfacePointer->AddRef();
    return STATUS_SUCCESS;
}

NTSTATUS RefuseInterface(PVOID* Interface)
{
    *Interface = NULL;
    return STATUS_INVALID_PARAMETER;
}
