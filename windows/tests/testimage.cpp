// A minimal kernel image for testing check-image.sh: a driver entry that
// allocates and zeroes pool and hands over to the port class library (the
// kinds of imports every real image has) and compares a GUID with
// IID_IUnknown, with a table of function addresses so that the image carries
// base relocations. Each NUV_FAULT_* adds one fault the
// checker must report; without any, the image must pass.
#include <ntddk.h>
#include <portcls.h>

// The bytes T, e, s, t.
#define TEST_POOL_TAG ((ULONG)0x74736554)

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT)
{
    return STATUS_SUCCESS;
}

typedef NTSTATUS(NTAPI* PADD_DEVICE)(PDRIVER_OBJECT, PDEVICE_OBJECT);
static PADD_DEVICE volatile AddDeviceTable[] = {AddDevice};

#if defined(NUV_FAULT_DESKTOP_IUNKNOWN)
// The desktop value, as a wrong library would supply it (this image is built
// without the platform's GUID storage).
EXTERN_C const GUID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
#endif

static const GUID* volatile IUnknownId = &IID_IUnknown;

#if defined(NUV_FAULT_CONSTRUCTOR)
// Needs code at load time: GCC emits a constructor for it.
struct CCounter
{
    CCounter() : m_Value(static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(AddDeviceTable[0]))) {}
    ULONG m_Value;
};
static CCounter Counter;
#endif

#if defined(NUV_FAULT_AVX)
typedef int V8SI __attribute__((vector_size(32)));
__attribute__((target("avx2"), noinline)) static void AddVectors(V8SI* Left, const V8SI* Right)
{
    *Left += *Right;
}
#endif

#if defined(NUV_FAULT_OTHER_ENTRY)
// Entered here; DriverEntry is still in the image (called from here and not
// inlined, so that the link keeps it), just not where the image is entered.
EXTERN_C __attribute__((noinline)) NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                                              PUNICODE_STRING RegistryPath);
EXTERN_C NTSTATUS NTAPI OtherEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    return DriverEntry(DriverObject, RegistryPath);
}
#endif

#if defined(NUV_FAULT_DESKTOP_DLL)
EXTERN_C __declspec(dllimport) void __stdcall Sleep(ULONG Milliseconds);
#endif

#if defined(NUV_FAULT_WRITABLE_CODE)
// A function in a section of its own that is writable and executable ("awx"),
// as self-modifying code or a stray section attribute would make one.
asm(".section .wxtext,\"awx\"\n"
    ".globl WritableCode\n"
    "WritableCode:\n"
    "    ret\n"
    ".text\n");
EXTERN_C void WritableCode(void);
static void (*volatile WritableCodeEntry)(void) = WritableCode;
#endif

EXTERN_C NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UCHAR scratch[64];
    RtlZeroMemory(scratch, sizeof(scratch));
    RtlCopyMemory(scratch + 1, RegistryPath, sizeof(scratch) - 1);
    // Pool and a zeroing of run-time length, which stays a call to memset.
    PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, RegistryPath->Length, TEST_POOL_TAG);
    if (buffer == NULL)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(buffer, RegistryPath->Length);
    ExFreePoolWithTag(buffer, TEST_POOL_TAG);
#if defined(NUV_FAULT_KERNEL_IMPORT)
    // A kernel function the driver has no business calling.
    ZwClose(reinterpret_cast<HANDLE>(scratch[3]));
#endif
#if defined(NUV_FAULT_DESKTOP_DLL)
    Sleep(scratch[2]);
#endif
#if defined(NUV_FAULT_AVX)
    V8SI left = {scratch[4]};
    V8SI right = {scratch[5]};
    AddVectors(&left, &right);
    scratch[6] = static_cast<UCHAR>(left[0]);
#endif
#if defined(NUV_FAULT_CONSTRUCTOR)
    scratch[7] = static_cast<UCHAR>(Counter.m_Value);
#endif
#if defined(NUV_FAULT_WRITABLE_CODE)
    WritableCodeEntry();
#endif
    // Keeps IID_IUnknown in the image, as every real driver's queries do
    // (through a pointer, so that the compiler cannot fold the comparison).
    if (IsEqualGUIDAligned(*reinterpret_cast<const GUID*>(scratch + 8), *IUnknownId))
    {
        return STATUS_NOT_SUPPORTED;
    }
    if (scratch[6] == scratch[7])
    {
        return STATUS_UNSUCCESSFUL;
    }
    return PcInitializeAdapterDriver(DriverObject, RegistryPath, AddDeviceTable[0]);
}
