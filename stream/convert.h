// The conversion between client samples and the transfer buffer's 32-bit
// containers, in both directions: the byte-wise reference and the fast path
// the stream uses. It knows nothing of streams: a ring, an offset into it,
// client bytes and the sample size.
//
// The transfer buffer's layout: consecutive frames, the client's channel order,
// each sample in one 32-bit little-endian container with the client sample
// at the container's most significant end:
//
//     B = 2 (16..23 bits)   container bytes 0 0 s0 s1     value = sample << 16
//     B = 3 (24..31 bits)   container bytes - s0 s1 s2    value = sample << 8
//     B = 4 (32 bits)       container bytes s0 s1 s2 s3   value = sample
//
// (s0 is the client sample's least significant byte; "-" is a byte render
// never writes, left zero from RUN.) Capture reads the same bytes back.
//
// ConvertSamplesFast moves the same bytes as ConvertSamplesReference, in
// every split and both directions, with whole samples moved in bulk by SSE2
// (and, for 3-byte samples, SSSE3 byte shuffles where the processor has
// them):
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

// Bytes of one container: every sample of the transfer buffer takes one.
constexpr ULONG CONTAINER_BYTES = 4;

// Moves Count client bytes between Client and the ring at Ring + *RingOffset,
// one byte at a time, and advances *RingOffset over the container bytes it
// used. Before the first byte of each container (*RingOffset a multiple of
// CONTAINER_BYTES) it steps over the 4 - BytesPerSample low bytes, which render writes as
// zero for 2-byte samples and leaves alone for 3-byte samples. A sample whose
// bytes come in two calls (a 3-byte sample split between mappings, the odd
// byte of a 2-byte mapping) is therefore completed in the same container by
// the next call. It reads and writes exactly Count client bytes; the caller
// keeps the ring bytes that this reaches within its buffer.
//
// This is the plain form of the conversion. The stream converts with
// ConvertSamplesFast (below), which moves the bytes of a split
// sample with this one and agrees with it byte for byte everywhere else.
VOID ConvertSamplesReference(_Inout_ PUCHAR Ring, _Inout_ PULONG RingOffset,
                             _Inout_updates_bytes_(Count) PUCHAR Client, _In_ ULONG Count,
                             _In_ ULONG BytesPerSample, _In_ BOOLEAN Capture);

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

// The same contract as ConvertSamplesReference: moves Count client bytes between
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
