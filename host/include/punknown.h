// Host stand-in for the kernel's COM base, <punknown.h>. Kernel-mode
// QueryInterface answers with an NTSTATUS rather than an HRESULT, and
// IID_IUnknown has the value the platform's DDK header gives it.
#pragma once

#include <wdm.h>

// {00000000-0000-0000-C000-000000000046}
DEFINE_GUID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00,
            0x46);

DECLARE_INTERFACE(IUnknown)
{
    STDMETHOD_(NTSTATUS, QueryInterface)(THIS_ IN REFIID, OUT PVOID*) PURE;
    STDMETHOD_(ULONG, AddRef)(THIS) PURE;
    STDMETHOD_(ULONG, Release)(THIS) PURE;
};

typedef IUnknown* PUNKNOWN;

// Repeats the IUnknown methods inside a derived interface, as the platform's
// headers do; the slots stay IUnknown's.
#define DEFINE_ABSTRACT_UNKNOWN()                                                                  \
    STDMETHOD_(NTSTATUS, QueryInterface)(THIS_ REFIID InterfaceId, PVOID * Interface) PURE;        \
    STDMETHOD_(ULONG, AddRef)(THIS) PURE;                                                          \
    STDMETHOD_(ULONG, Release)(THIS) PURE;

typedef HRESULT(NTAPI* PFNCREATEINSTANCE)(OUT PUNKNOWN* Unknown, IN REFCLSID ClassId,
                                          IN PUNKNOWN OuterUnknown, IN POOL_TYPE PoolType);
