// Not a platform header: the host's mmreg.h, ks.h and ksmedia.h include it to
// choose how the GUIDs they name with DEFINE_GUIDSTRUCT come to exist. Each of
// those headers decides at its own inclusion: after <initguid.h> its GUIDs are
// defined (weakly, like the DDK's selectany storage), otherwise only declared.
// No include guard on purpose: the choice is remade for every header that
// includes this one.
//
// The scheme is the DDK's: every GUID X has a value list STATIC_X, a
// DEFINE_GUIDSTRUCT line giving it storage, and X defined as
// DEFINE_GUIDNAMED(X), so that
//     &KSDATAFORMAT_TYPE_AUDIO                      is a constant address, and
//     { STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO) }     is a constant initialiser.
#include <ntdef.h>

#undef DEFINE_GUIDEX
#ifdef INITGUID
#define DEFINE_GUIDEX(name) EXTERN_C const GUID __attribute__((weak)) name = {STATICGUIDOF(name)}
#else
#define DEFINE_GUIDEX(name) EXTERN_C const GUID name
#endif

#ifndef STATICGUIDOF
#define STATICGUIDOF(guid) STATIC_##guid
#endif

// ntdef.h has a placeholder spelling of these two; the scheme above replaces it.
#undef DEFINE_GUIDSTRUCT
#undef DEFINE_GUIDNAMED
#define DEFINE_GUIDSTRUCT(g, n) DEFINE_GUIDEX(n)
#define DEFINE_GUIDNAMED(n) n
