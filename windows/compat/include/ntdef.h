// Stands in front of mingw-w64's <ntdef.h> (windows/compat/include is first
// on the Windows build's include path) to mend a definition after the real
// header has made it; the force-included nuvcompat.h cannot, because it is
// read before <ntdef.h> and this definition is unconditional there.
#include_next <ntdef.h>

// mingw-w64 defines these as {(P) = (P);}, a self-assignment, which does not
// compile for a const parameter such as a REFCLSID or REFIID; the Windows
// headers only evaluate the name. A cast to void does that and warns of
// nothing.
#undef UNREFERENCED_PARAMETER
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#undef UNREFERENCED_LOCAL_VARIABLE
#define UNREFERENCED_LOCAL_VARIABLE(L) ((void)(L))
