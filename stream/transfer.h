// The engine's period notification that paces the sample transfer (the
// transfer itself is CMiniportWavePciStream's, stream/minstream.h; the
// conversion it uses, and the transfer buffer's layout, stream/convert.h).
#pragma once

#include <wdm.h>

// Called by the engine once per period of a running stream, with the
// registered capture flag, pin and context (the wave miniport). Asks the
// miniport's port to schedule the service group published for that pin, if
// there is one. Resident, DISPATCH_LEVEL; takes no lock.
_IRQL_requires_max_(DISPATCH_LEVEL) VOID NTAPI
    EngineNotify(_In_ ULONG Capture, _In_ ULONG Pin, _In_ PVOID CallbackContext);
