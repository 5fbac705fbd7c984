// The sample transfer between the port's mappings and a stream's transfer
// buffer, and the engine's period notification that paces it.
//
// Transfer buffer layout: consecutive frames, the client's channel order,
// each sample in one 32-bit little-endian container with the client sample
// at the container's most significant end:
//
//     B = 2 (16..23 bits)   container bytes 0 0 s0 s1     value = sample << 16
//     B = 3 (24..31 bits)   container bytes - s0 s1 s2    value = sample << 8
//     B = 4 (32 bits)       container bytes s0 s1 s2 s3   value = sample
//
// (s0 is the client sample's least significant byte; "-" is a byte render
// never writes, left zero from RUN.) Capture reads the same bytes back.
#pragma once

#include <wdm.h>

// Called by the engine once per period of a running stream, with the
// registered capture flag, pin and context (the wave miniport). Asks the
// miniport's port to schedule the service group published for that pin, if
// there is one. Resident, DISPATCH_LEVEL; takes no lock.
_IRQL_requires_max_(DISPATCH_LEVEL) VOID NTAPI
    EngineNotify(_In_ ULONG Capture, _In_ ULONG Pin, _In_ PVOID CallbackContext);

// Moves Count client bytes between Client and the ring at Ring + *RingOffset,
// one byte at a time, and advances *RingOffset over the container bytes it
// used. Before the first byte of each container (*RingOffset a multiple of
// 4) it steps over the 4 - BytesPerSample low bytes, which render writes as
// zero for 2-byte samples and leaves alone for 3-byte samples. A sample whose
// bytes come in two calls (a 3-byte sample split between mappings, the odd
// byte of a 2-byte mapping) is therefore completed in the same container by
// the next call. It reads and writes exactly Count client bytes; the caller
// keeps the ring bytes that this reaches within its buffer.
//
// This is the plain form of the conversion. The stream converts with
// ConvertSamplesFast (stream/convert.h), which moves the bytes of a split
// sample with this one and agrees with it byte for byte everywhere else.
VOID ConvertSamplesReference(_Inout_ PUCHAR Ring, _Inout_ PULONG RingOffset,
                             _Inout_updates_bytes_(Count) PUCHAR Client, _In_ ULONG Count,
                             _In_ ULONG BytesPerSample, _In_ BOOLEAN Capture);
