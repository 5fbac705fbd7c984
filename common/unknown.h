// The reference-counted object base of every object this driver hands to the
// port class library: the wave miniport, its streams and the topology
// miniport.
//
// An object starts with one interface-table pointer per port-class interface
// it implements (the primary one first, so the object's address is its
// primary interface), followed by this base: the non-delegating unknown's
// table, the reference count and the outer unknown. QueryInterface, AddRef
// and Release of every interface forward to the outer unknown; the
// non-delegating unknown owns the count and destroys the object. Stand-alone,
// the outer unknown is the object's own non-delegating unknown; aggregated,
// it is the one the port passed in, and the object holds no reference on it.
//
// A class uses it like this:
//
//     class CMiniportTopology : public IMiniportTopology, public CUnknown
//     {
//     public:
//         DECLARE_STD_UNKNOWN();
//         explicit CMiniportTopology(PUNKNOWN OuterUnknown) : CUnknown(OuterUnknown) {}
//         ...
//     };
//
//     CMiniportTopology* object =
//         new (PoolType, POOL_TAG_OBJECT) CMiniportTopology(OuterUnknown);
//     if (object == NULL)
//         return STATUS_INSUFFICIENT_RESOURCES;
//     *Unknown = static_cast<IMiniportTopology*>(object);
//     (*Unknown)->AddRef();                  // the caller's one reference
//
// Every query of this driver compares against IID_IUnknown as <punknown.h>
// declares it, {00000000-0000-0000-0000-C00000000046}: eight zero bytes, then
// 00 00 C0 00 00 00 00 46. It is not the desktop COM value
// {00000000-0000-0000-C000-000000000046}, which nothing here answers.
#pragma once

#include <portcls.h>

// The non-delegating unknown: the only way to change an object's own count.
DECLARE_INTERFACE(INonDelegatingUnknown)
{
    STDMETHOD_(NTSTATUS, NonDelegatingQueryInterface)
    (THIS_ _In_ REFIID InterfaceId, _Out_ PVOID * Interface) PURE;
    STDMETHOD_(ULONG, NonDelegatingAddRef)(THIS) PURE;
    STDMETHOD_(ULONG, NonDelegatingRelease)(THIS) PURE;
};
typedef INonDelegatingUnknown* PNONDELEGATINGUNKNOWN;

// The base. Its operations are resident: Release may come at DISPATCH_LEVEL.
class CUnknown : public INonDelegatingUnknown
{
public:
    explicit CUnknown(_In_opt_ PUNKNOWN OuterUnknown);
    virtual ~CUnknown();

    // The default answers IID_IUnknown with the non-delegating unknown itself;
    // every class of the driver replaces it with its own list.
    STDMETHODIMP_(NTSTATUS)
    NonDelegatingQueryInterface(_In_ REFIID InterfaceId, _Out_ PVOID* Interface) override;
    STDMETHODIMP_(ULONG) NonDelegatingAddRef() override;
    STDMETHODIMP_(ULONG) NonDelegatingRelease() override;

    PUNKNOWN GetOuterUnknown() const { return m_OuterUnknown; }

    // Objects come from the pool, zero-filled before construction, so that
    // every field a class does not set starts at zero. Returns NULL when the
    // pool is exhausted; the new-expression then constructs nothing.
    static PVOID operator new(SIZE_T Size, POOL_TYPE PoolType, ULONG Tag) noexcept;
    // Storage is allocated with a tag and freed without one.
    static void operator delete(PVOID Object);
    // Only reached if a constructor could fail, which none can.
    static void operator delete(PVOID Object, POOL_TYPE PoolType, ULONG Tag);

protected:
    LONG m_RefCount;
    PUNKNOWN m_OuterUnknown;
};

// The three forwarding slots, for every interface of the class, and the
// class's own NonDelegatingQueryInterface.
#define DECLARE_STD_UNKNOWN()                                                                      \
    STDMETHODIMP_(NTSTATUS)                                                                        \
    NonDelegatingQueryInterface(_In_ REFIID InterfaceId, _Out_ PVOID* Interface) override;         \
    STDMETHODIMP_(NTSTATUS)                                                                        \
    QueryInterface(_In_ REFIID InterfaceId, _Out_ PVOID* Interface) override                       \
    {                                                                                              \
        return m_OuterUnknown->QueryInterface(InterfaceId, Interface);                             \
    }                                                                                              \
    STDMETHODIMP_(ULONG) AddRef() override                                                         \
    {                                                                                              \
        return m_OuterUnknown->AddRef();                                                           \
    }                                                                                              \
    STDMETHODIMP_(ULONG) Release() override                                                        \
    {                                                                                              \
        return m_OuterUnknown->Release();                                                          \
    }

// Answers an interface query with the given interface pointer: stores it,
// adds a reference through it (which reaches the outer unknown) and succeeds.
NTSTATUS ReturnInterface(_In_ PUNKNOWN InterfacePointer, _Out_ PVOID* Interface);

// Refuses an interface query: a null result and STATUS_INVALID_PARAMETER.
NTSTATUS RefuseInterface(_Out_ PVOID* Interface);
