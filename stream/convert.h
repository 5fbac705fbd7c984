// The fast sample conversion: the same bytes as ConvertSamplesReference
// (stream/transfer.h), in every split and both directions, with whole
// samples moved in bulk by SSE2 (and, for 3-byte samples, SSSE3 byte
// shuffles where the processor has them).
//
//     ULONG offset = m_BufferOffset;
//     ConvertSamplesFast(m_Buffer, &offset, mapping, count, 3, FALSE);
//
// Only the bytes of a sample split across two calls, before the first whole
// container and after the last whole sample, go the byte-wise way; so a call
// that starts or ends inside a sample costs at most two partial samples of
// byte steps. x64 kernel code may use SSE2 and SSSE3 freely (the kernel saves
// the XMM registers of an interrupted thread); nothing here uses AVX, whose
// state a driver must save itself.
//
// Everything here is resident and may run at DISPATCH_LEVEL; none of it
// takes a lock or allocates.
#pragma once

#include <wdm.h>

// The routines the bulk conversion can use.
typedef enum _SAMPLE_CONVERSION_PATH
{
    // Not chosen yet: the first conversion chooses.
    SampleConversionUnchosen = 0,
    // SSE2 only, which every x64 processor has.
    SampleConversionSse2 = 1,
    // SSE2, and SSSE3 byte shuffles for 3-byte samples.
    SampleConversionSsse3 = 2,
} SAMPLE_CONVERSION_PATH;

// Same contract as ConvertSamplesReference: moves Count client bytes between
// Client and Ring + *RingOffset and advances *RingOffset over the container
// bytes used. Reads and writes exactly the bytes the reference does. Uses
// the path SelectSampleConversion chose, choosing it first if nothing has.
_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    ConvertSamplesFast(_Inout_ PUCHAR Ring, _Inout_ PULONG RingOffset,
                       _Inout_updates_bytes_(Count) PUCHAR Client, _In_ ULONG Count,
                       _In_ ULONG BytesPerSample, _In_ BOOLEAN Capture);

// The same with the path given (SampleConversionSsse3 only where the
// processor has SSSE3). Tests and benchmarks compare the paths with it.
_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    ConvertSamplesWithPath(_Inout_ PUCHAR Ring, _Inout_ PULONG RingOffset,
                           _Inout_updates_bytes_(Count) PUCHAR Client, _In_ ULONG Count,
                           _In_ ULONG BytesPerSample, _In_ BOOLEAN Capture,
                           _In_ SAMPLE_CONVERSION_PATH Path);

// Asks the processor-feature query for SSSE3, publishes the path that
// ConvertSamplesFast takes from then on and returns it. Any IRQL. Every
// caller computes the same answer from the same processor, and the choice is
// one aligned 32-bit store, so callers on several processors at once agree
// without a lock; a caller that changed what the query answers (a test
// forcing a feature off) calls it again to choose anew.
_IRQL_requires_max_(DISPATCH_LEVEL) SAMPLE_CONVERSION_PATH SelectSampleConversion();
