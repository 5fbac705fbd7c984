// Definitions of the kernel-streaming GUIDs, for the Windows image only.
//
// <ks.h>, <ksmedia.h> and <mmreg.h> declare these GUIDs (KSDATAFORMAT_*,
// KSCATEGORY_*, KSNODETYPE_*, KSPROPSETID_*, KSAUDFNAME_* ...) through
// DEFINE_GUIDSTRUCT. With the Windows compiler that is __uuidof of a
// structure and needs no definition anywhere; mingw-w64 makes it a plain
// extern declaration, so something must define them. This translation unit
// does, by turning DEFINE_GUIDEX into a selectany definition before those
// headers are read; each GUID lands in a section of its own, and the link
// keeps only those the driver refers to.
//
// Not mingw-w64's libksguid.a: it also defines the desktop IID_IUnknown
// ({00000000-0000-0000-C000-000000000046}), which is not the value of
// <punknown.h> that the port class library uses, and would silently stand in
// for it. INITGUID stays off here for the same reason: the GUIDs declared
// with DEFINE_GUID (the port class library's IIDs and CLSIDs, IID_IUnknown,
// the engine interface) are the driver's to define, in its own translation
// unit that includes <initguid.h>, exactly as on Windows.
//
// <mmreg.h> and <ksmedia.h> both declare a few of them (KSDATAFORMAT_SUBTYPE_PCM,
// _IEEE_FLOAT, _WAVEFORMATEX); <mmreg.h> is read first, still declaring, so
// that each is defined once, by <ksmedia.h>.
#include <ntddk.h>
#include <windef.h>
#define NOBITMAP
#include <mmreg.h>
#undef NOBITMAP

#undef DEFINE_GUIDEX
#define DEFINE_GUIDEX(name) EXTERN_C const GUID DECLSPEC_SELECTANY name = {STATICGUIDOF(name)}

#include <portcls.h>
#include <ksmedia.h>
