// The export table. A routine belongs here once the host implements it with
// the platform's signature; the kernel's inline routines (the interlocked
// family, KeGetCurrentIrql on x64, the RtlStringCch* helpers) are compiled
// into the image and are not imported.
#include "host/loader/hostexports.h"

#include "host/kernel/kernelcrt.h"

#include <ntddk.h>
#include <portcls.h>

#include <algorithm>
#include <array>
#include <cctype>

namespace host::loader
{
namespace
{

constexpr const char* kKernel = "ntoskrnl.exe";
constexpr const char* kPortClass = "portcls.sys";

template <class Function> const void* Address(Function* function)
{
    return reinterpret_cast<const void*>(function);
}

#define NUV_KERNEL_EXPORT(function)                                                                \
    HostExport                                                                                     \
    {                                                                                              \
        kKernel, #function, Address(&function)                                                     \
    }
#define NUV_PORTCLS_EXPORT(function)                                                               \
    HostExport                                                                                     \
    {                                                                                              \
        kPortClass, #function, Address(&function)                                                  \
    }

const std::array kExports = {
    // Pool
    NUV_KERNEL_EXPORT(ExAllocatePoolWithTag),
    NUV_KERNEL_EXPORT(ExFreePool),
    NUV_KERNEL_EXPORT(ExFreePoolWithTag),
    NUV_KERNEL_EXPORT(ExIsProcessorFeaturePresent),
    // Events and waits
    NUV_KERNEL_EXPORT(KeInitializeEvent),
    NUV_KERNEL_EXPORT(KeSetEvent),
    NUV_KERNEL_EXPORT(KeClearEvent),
    NUV_KERNEL_EXPORT(KeReadStateEvent),
    NUV_KERNEL_EXPORT(KeWaitForSingleObject),
    // Spin locks
    NUV_KERNEL_EXPORT(KeInitializeSpinLock),
    NUV_KERNEL_EXPORT(KeAcquireSpinLockRaiseToDpc),
    NUV_KERNEL_EXPORT(KeReleaseSpinLock),
    NUV_KERNEL_EXPORT(KeAcquireSpinLockAtDpcLevel),
    NUV_KERNEL_EXPORT(KeReleaseSpinLockFromDpcLevel),
    // I/O manager
    NUV_KERNEL_EXPORT(IoBuildSynchronousFsdRequest),
    NUV_KERNEL_EXPORT(IofCallDriver),
    NUV_KERNEL_EXPORT(IofCompleteRequest),
    NUV_KERNEL_EXPORT(IoGetAttachedDeviceReference),
    NUV_KERNEL_EXPORT(ObfDereferenceObject),
    NUV_KERNEL_EXPORT(IoIsWdmVersionAvailable),
    NUV_KERNEL_EXPORT(IoCreateDevice),
    NUV_KERNEL_EXPORT(IoDeleteDevice),
    NUV_KERNEL_EXPORT(IoAttachDeviceToDeviceStack),
    NUV_KERNEL_EXPORT(IoDetachDevice),
    // C runtime
    HostExport{kKernel, "memcpy", Address(&KernelMemcpy)},
    HostExport{kKernel, "memmove", Address(&KernelMemmove)},
    HostExport{kKernel, "memset", Address(&KernelMemset)},
    HostExport{kKernel, "memcmp", Address(&KernelMemcmp)},
    HostExport{kKernel, "_vsnwprintf", Address(&KernelVsnwprintf)},
    HostExport{kKernel, "swprintf", Address(&KernelSwprintf)},
    // Port class library
    NUV_PORTCLS_EXPORT(PcInitializeAdapterDriver),
    NUV_PORTCLS_EXPORT(PcAddAdapterDevice),
    NUV_PORTCLS_EXPORT(PcNewPort),
    NUV_PORTCLS_EXPORT(PcNewServiceGroup),
    NUV_PORTCLS_EXPORT(PcRegisterSubdevice),
    NUV_PORTCLS_EXPORT(PcRegisterPhysicalConnection),
};

#undef NUV_KERNEL_EXPORT
#undef NUV_PORTCLS_EXPORT

bool SameModule(std::string_view a, std::string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y)
                      {
                          return std::tolower(static_cast<unsigned char>(x)) ==
                                 std::tolower(static_cast<unsigned char>(y));
                      });
}

} // namespace

std::span<const HostExport> HostExports()
{
    return kExports;
}

const void* FindHostExport(std::string_view module, std::string_view name)
{
    for (const HostExport& entry : kExports)
    {
        if (SameModule(entry.module, module) && entry.name == name)
            return entry.address;
    }
    return nullptr;
}

} // namespace host::loader
