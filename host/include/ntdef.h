// Host stand-in for the kernel's base definitions: integer types with their
// Windows widths (LONG and ULONG are 32-bit even though Linux's long is 64),
// NTSTATUS and the status values, GUIDs, SAL annotations and calling
// conventions. Driver sources include the platform headers by name; on the
// host build this directory comes first on the include path.
#pragma once

#ifdef __cplusplus
#define EXTERN_C extern "C"
#define EXTERN_C_START                                                                             \
    extern "C"                                                                                     \
    {
#define EXTERN_C_END }
#else
#define EXTERN_C extern
#define EXTERN_C_START
#define EXTERN_C_END
#endif

// ---------------------------------------------------------------------------
// Integer types (LLP64 widths)
typedef void VOID, *PVOID;
typedef const void* PCVOID;
typedef char CHAR, *PCHAR;
typedef const char* PCSTR;
typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE, BOOLEAN, *PBOOLEAN;
typedef short SHORT, *PSHORT;
typedef unsigned short USHORT, *PUSHORT, WORD, *PWORD;
typedef int LONG, *PLONG, BOOL, INT;
typedef unsigned int ULONG, *PULONG, DWORD, *PDWORD, UINT;
typedef long long LONGLONG, *PLONGLONG, LONG64, INT64;
typedef unsigned long long ULONGLONG, *PULONGLONG, ULONG64, DWORD64, UINT64;
typedef long long LONG_PTR, INT_PTR;
typedef unsigned long long ULONG_PTR, *PULONG_PTR, UINT_PTR, DWORD_PTR;
// SIZE_T is the compiler's size_t, as on Windows, so that operator new and the
// built-in memory functions accept it.
typedef __SIZE_TYPE__ SIZE_T, *PSIZE_T;
typedef long long SSIZE_T;
typedef ULONG CLONG;
typedef ULONG ACCESS_MASK;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef LONG HRESULT;
typedef char CCHAR;
typedef unsigned char KIRQL, *PKIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef wchar_t WCHAR, *PWCHAR, *PWSTR;
typedef const wchar_t* PCWSTR;
typedef PVOID HANDLE, *PHANDLE;

static_assert(sizeof(WCHAR) == 2, "the host build compiles with -fshort-wchar, as Windows has it");
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "ULONG and LONG are 32-bit");
static_assert(sizeof(ULONG_PTR) == sizeof(void*), "ULONG_PTR is pointer-sized");

#define TRUE 1
#define FALSE 0
#ifndef NULL
#ifdef __cplusplus
#define NULL nullptr
#else
#define NULL ((void*)0)
#endif
#endif

#define MAXULONG 0xFFFFFFFFu
#define MAXLONG 0x7FFFFFFF
#define MAXLONGLONG 0x7FFFFFFFFFFFFFFFll
#define MAXUSHORT 0xFFFF

typedef union _LARGE_INTEGER
{
    struct
    {
        ULONG LowPart;
        LONG HighPart;
    } u;
    struct
    {
        ULONG LowPart;
        LONG HighPart;
    };
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER
{
    struct
    {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    struct
    {
        ULONG LowPart;
        ULONG HighPart;
    };
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef struct _LIST_ENTRY
{
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _UNICODE_STRING
{
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

// ---------------------------------------------------------------------------
// Calling conventions and annotations. On x64 Windows every convention is
// the one Microsoft x64 convention (arguments in rcx, rdx, r8, r9; rdi, rsi
// and xmm6-xmm15 preserved by the callee; 32 bytes of home space). The host
// compiler's own convention is System V's, so each of these names carries
// ms_abi: every function and function pointer that crosses the boundary
// between the driver and the platform (kernel exports, the library's entry
// points, the interface methods, the driver's routines and callbacks) uses
// the convention of the Windows image, and a loaded nuvaudio.sys can call
// into the host and be called by it. NTAPI_CONVENTION is the bare attribute,
// for host code that names the convention without a Windows macro.
#define NTAPI_CONVENTION __attribute__((ms_abi))
#define NTAPI NTAPI_CONVENTION
#define NTSYSAPI
#define NTKERNELAPI
#define FASTCALL NTAPI_CONVENTION
#define __cdecl NTAPI_CONVENTION
#define __stdcall NTAPI_CONVENTION
#define __fastcall NTAPI_CONVENTION
#define DECLSPEC_IMPORT
#define DECLSPEC_NOINLINE __attribute__((noinline))
#define FORCEINLINE inline __attribute__((always_inline))
#define CONST const

#define IN
#define OUT
#define OPTIONAL
#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _In_reads_bytes_(n)
#define _Out_writes_bytes_(n)
#define _Out_writes_bytes_opt_(n)
#define _Inout_updates_bytes_(n)
#define _In_reads_(n)
#define _Out_writes_(n)
#define _Outptr_
#define _Outptr_opt_
#define _Outptr_result_maybenull_
#define _Must_inspect_result_
#define _Success_(x)
#define _Use_decl_annotations_
#define _IRQL_requires_(x)
#define _IRQL_requires_max_(x)
#define _IRQL_requires_min_(x)
#define _IRQL_raises_(x)
#define _IRQL_saves_
#define _IRQL_restores_
#define _IRQL_saves_global_(a, b)
#define _IRQL_restores_global_(a, b)
#define _When_(a, b)
#define _Requires_lock_held_(x)
#define _Requires_lock_not_held_(x)
#define _Acquires_lock_(x)
#define _Releases_lock_(x)
#define _Guarded_by_(x)
#define _Function_class_(x)
#define _Dispatch_type_(x)
#define _Analysis_assume_(x)

#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define FIELD_OFFSET(type, field) ((LONG) __builtin_offsetof(type, field))
#define C_ASSERT(e) static_assert(e, #e)
#define ARRAYSIZE(a) (sizeof(a) / sizeof((a)[0]))
#define CONTAINING_RECORD(address, type, field)                                                    \
    ((type*)((PCHAR)(address) - (ULONG_PTR)(&((type*)0)->field)))

// ---------------------------------------------------------------------------
// Status values
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_MORE_ENTRIES ((NTSTATUS)0x00000105L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_NO_MORE_ENTRIES ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#define STATUS_NO_MATCH ((NTSTATUS)0xC0000272L)
#define STATUS_INVALID_BUFFER_SIZE ((NTSTATUS)0xC0000206L)

// ---------------------------------------------------------------------------
// GUIDs. DEFINE_GUID declares; after <initguid.h> it also defines. The host
// definitions are weak so that the driver and the host platform may both
// instantiate the identifiers they use, as DECLSPEC_SELECTANY allows on
// Windows.
typedef struct _GUID
{
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *PGUID, IID, CLSID, *LPGUID;
typedef const GUID* LPCGUID;
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");

#ifdef __cplusplus
typedef const GUID& REFGUID;
typedef const GUID& REFIID;
typedef const GUID& REFCLSID;
#else
typedef const GUID* REFGUID;
typedef const GUID* REFIID;
typedef const GUID* REFCLSID;
#endif

#ifndef DEFINE_GUID
#ifdef INITGUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                               \
    EXTERN_C const GUID __attribute__((weak)) name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) EXTERN_C const GUID name
#endif
#endif

#ifdef __cplusplus
inline bool IsEqualGUIDAligned(REFGUID a, REFGUID b)
{
    return __builtin_memcmp(&a, &b, sizeof(GUID)) == 0;
}
#define IsEqualGUID(a, b) IsEqualGUIDAligned(a, b)
#endif

DEFINE_GUID(GUID_NULL, 0x00000000L, 0x0000, 0x0000, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00);

// ---------------------------------------------------------------------------
// COM-style interface declarations, as basetyps.h spells them.
#define interface struct
#define STDMETHODCALLTYPE NTAPI_CONVENTION
#define STDMETHODVCALLTYPE NTAPI_CONVENTION
#define STDAPICALLTYPE NTAPI_CONVENTION
#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define PURE = 0
#define THIS_
#define THIS void
#define DECLARE_INTERFACE(iface) struct iface
#define DECLARE_INTERFACE_(iface, baseiface) struct iface : public baseiface

// Memory helpers; on Windows these are macros over the kernel's CRT.
#define RtlZeroMemory(Destination, Length) __builtin_memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) __builtin_memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length)                                                 \
    __builtin_memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length)                                                 \
    __builtin_memmove((Destination), (Source), (Length))
#define RtlEqualMemory(Destination, Source, Length)                                                \
    (!__builtin_memcmp((Destination), (Source), (Length)))
