// Force-included (-include) into every translation unit of the Windows image,
// and only there. It smooths over the places where mingw-w64's DDK headers,
// written mostly for C and for ReactOS, fall short of what the driver's C++
// sources expect from the Windows headers. Nothing here changes driver
// behaviour; every line says which header it is for and why.
//
// This header must not include any platform header itself: the driver's
// sources decide the order of <ntddk.h>, <portcls.h> and <initguid.h>, and a
// header pulled in here ahead of <initguid.h> would turn the GUID definitions
// of a translation unit into mere declarations. So it only defines what the
// headers look for before they are read, and nothing that needs their types.
#pragma once

// --- <punknown.h> and <portcls.h>: COM-style interface declarations -------
// DECLARE_INTERFACE and STDMETHOD (from <basetyps.h>) expand to
// DECLSPEC_NOVTABLE and DECLSPEC_NOTHROW, which only the desktop <winnt.h>
// defines; kernel-mode <wdm.h> keeps <winnt.h> out (NT_INCLUDED), so the
// interfaces would not parse. GCC has no novtable; the vtables it emits for
// the abstract interfaces are never used, and --gc-sections drops them.
#ifndef DECLSPEC_NOVTABLE
#define DECLSPEC_NOVTABLE
#endif
#ifndef DECLSPEC_NOTHROW
#define DECLSPEC_NOTHROW __declspec(nothrow)
#endif

// --- <wdm.h> against <psdk_inc/intrin-impl.h> ------------------------------
// <wdm.h> defines InterlockedBitTestAndSet/Reset as static inline functions
// after the intrinsics header has already declared them extern gnu_inline,
// which C++ rejects as a redeclaration. Marking the intrinsic versions as
// already defined makes the intrinsics header skip them and leaves <wdm.h>'s
// (a lock-free _InterlockedOr/_InterlockedAnd on x64, the same operation).
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

// --- <ksmedia.h>: TCHAR -----------------------------------------------------
// One tape-transport structure of <ksmedia.h> has a TCHAR member; TCHAR comes
// from the desktop <winnt.h>, which kernel mode does not include. Kernel code
// is always Unicode, so TCHAR is the 16-bit wchar_t of this target (the same
// type as WCHAR). _TCHAR_DEFINED keeps any later header from defining it
// again.
#ifndef _TCHAR_DEFINED
#define _TCHAR_DEFINED
typedef wchar_t TCHAR, *PTCHAR;
#endif

// --- <portcls.h>: the WaveRT interfaces ------------------------------------
// <portcls.h> declares IMiniportWaveRTStream with parameters of type
// KSRTAUDIO_HWLATENCY* and KSRTAUDIO_HWREGISTER*, but mingw-w64's
// <ksmedia.h> does not define these structures. This driver is a WavePci
// miniport and never touches WaveRT, so incomplete types are enough for the
// declarations to parse. If a later <ksmedia.h> defines them, the build stops
// here with a conflicting declaration, and these two lines go.
typedef struct _KSRTAUDIO_HWLATENCY KSRTAUDIO_HWLATENCY;
typedef struct _KSRTAUDIO_HWREGISTER KSRTAUDIO_HWREGISTER;

// --- <wdm.h>: KeMemoryBarrier on x64 ----------------------------------------
// mingw-w64's <wdm.h> defines KeMemoryBarrier only in its x86 part. On x64
// the Windows header makes it a full fence between processors, and
// KeMemoryBarrierWithoutFence a barrier against compiler reordering alone;
// these are the same two, in GCC's words.
#if defined(__x86_64__)
#define KeMemoryBarrier() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#define KeMemoryBarrierWithoutFence() __atomic_signal_fence(__ATOMIC_SEQ_CST)
#endif

// --- <wdm.h>: PF_SSSE3_INSTRUCTIONS_AVAILABLE --------------------------------
// The Windows <wdm.h> numbers the processor features that
// ExIsProcessorFeaturePresent answers well past PF_XSAVE_ENABLED (17), where
// mingw-w64's DDK copy stops; the sample conversion asks for SSSE3. The value
// is the one of the platform's own list (mingw-w64's <winnt.h>).
#ifndef PF_SSSE3_INSTRUCTIONS_AVAILABLE
#define PF_SSSE3_INSTRUCTIONS_AVAILABLE 36
#endif
