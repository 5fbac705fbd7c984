// Storage for the GUIDs the platform headers declare, for the Windows image
// only: the port class library's IIDs and CLSIDs, IID_IUnknown, and the
// kernel-streaming and audio identifiers (KSDATAFORMAT_*, KSCATEGORY_*,
// KSNODETYPE_*, KSPROPSETID_*, KSAUDFNAME_* ...). The host build has the
// same translation unit in its platform (host/portcls/guids.cpp).
//
// mingw-w64 has no library that provides them correctly. Its libksguid.a
// defines the desktop IID_IUnknown {00000000-0000-0000-C000-000000000046},
// not the value of <punknown.h> that the port class library answers,
// {00000000-0000-0000-0000-C00000000046}, and it would silently win; so it is
// not linked, and check-image.sh checks the value in the image.
//
// The definitions are selectany, one section each: a driver source that
// includes <initguid.h> itself links alongside this one, and the link keeps
// only the GUIDs the driver refers to. GUIDs of the driver's own headers
// (the engine interface) are not here: the driver defines those.
//
// <initguid.h> turns DEFINE_GUID into a definition. The kernel-streaming
// GUIDs go through DEFINE_GUIDSTRUCT and DEFINE_GUIDEX instead, which
// mingw-w64 keeps a declaration (with the Windows compiler they are __uuidof
// and need no storage), so DEFINE_GUIDEX is redefined as <ksguid.h> would.
// <mmreg.h> and <ksmedia.h> both name KSDATAFORMAT_SUBTYPE_PCM, _IEEE_FLOAT
// and _WAVEFORMATEX: <mmreg.h> is read first, still declaring, so that each
// is defined once, by <ksmedia.h>.
#include <initguid.h>

#include <ntddk.h>
#include <windef.h>
#define NOBITMAP
#include <mmreg.h>
#undef NOBITMAP

#undef DEFINE_GUIDEX
#define DEFINE_GUIDEX(name) EXTERN_C const GUID DECLSPEC_SELECTANY name = {STATICGUIDOF(name)}

#include <punknown.h>
#include <portcls.h>
#include <ks.h>
#include <ksmedia.h>
