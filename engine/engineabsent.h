// The engine that stands in when the companion driver did not answer the
// query at device start.
//
// The miniports copy the engine entry point at Init and call it from
// DISPATCH_LEVEL without asking whether it is there. Rather than a null
// entry point, they get this one, which answers every command as a device
// that is not present: no period (0 frames), no sample rate (0 Hz), every
// format refused. Streams cannot be created on it, since a period of 0 frames
// and a rate the engine does not reach are both refused.
#pragma once

#include "engine/engineinterface.h"

// Installs the stand-in into a record the companion driver left empty.
VOID UseAbsentEngine(_Inout_ PENGINE_INTERFACE Engine);

// Resident: it is called wherever the real engine would be.
NTSTATUS NTAPI AbsentEngineCall(_In_opt_ PVOID EngineContext, _In_ ULONG Command,
                                _Inout_opt_ PVOID Parameters);
