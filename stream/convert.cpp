// The sample conversion: the byte-wise reference, and the fast path. A fast
// call splits into three parts:
//
//     head   the bytes that finish a container an earlier call began
//            (offset not a multiple of 4): byte-wise, as the reference
//     bulk   whole samples from a container boundary on: SSE2, or SSSE3
//            shuffles for 3-byte samples, then a short scalar tail
//     tail   the first bytes of a sample the next call completes: byte-wise
//
// The byte-wise parts are ConvertSamplesReference itself (first below), so a split sample
// ends up exactly where the reference puts it. The bulk kernels write what
// the reference writes for whole samples: render 2-byte samples as 0, 0, s0,
// s1; render 3-byte samples into bytes 1 to 3 and keep byte 0 as it was (a
// read-modify-write of the container, never a store of another value); 4-byte
// samples as one block copy. Loads and stores are unaligned: a mapping can
// start anywhere, and a container of the ring is only 4-byte aligned.
// No kernel reads or writes a byte outside the samples it was given.
#include "stream/convert.h"

#include <emmintrin.h>
#include <tmmintrin.h>

VOID ConvertSamplesReference(PUCHAR Ring, PULONG RingOffset, PUCHAR Client, ULONG Count,
                             ULONG BytesPerSample, BOOLEAN Capture)
{
    ULONG lowBytes = CONTAINER_BYTES - BytesPerSample;
    ULONG offset = *RingOffset;
    for (ULONG index = 0; index < Count; index++)
    {
        if (offset % CONTAINER_BYTES == 0)
        {
            if (!Capture && BytesPerSample == 2)
            {
                Ring[offset] = 0;
                Ring[offset + 1] = 0;
            }
            offset += lowBytes;
        }
        if (Capture)
        {
            Client[index] = Ring[offset];
        }
        else
        {
            Ring[offset] = Client[index];
        }
        offset++;
    }
    *RingOffset = offset;
}

// The path ConvertSamplesFast takes (a SAMPLE_CONVERSION_PATH). Zero until
// the first conversion or SelectSampleConversion; data, not a constructor.
static volatile LONG g_SampleConversionPath;

static __m128i Load16(const UCHAR* Bytes)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(Bytes));
}

static VOID Store16(PUCHAR Bytes, __m128i Value)
{
    _mm_storeu_si128(reinterpret_cast<__m128i*>(Bytes), Value);
}

// --- 2-byte samples -----------------------------------------------------------

// Interleaving zero words below the samples makes each 32-bit lane
// sample << 16: container bytes 0, 0, s0, s1.
static DECLSPEC_NOINLINE VOID Render16(PUCHAR Ring, const UCHAR* Client, SIZE_T Samples)
{
    const __m128i zero = _mm_setzero_si128();
    SIZE_T index = 0;
    for (; index + 16 <= Samples; index += 16)
    {
        __m128i low = Load16(Client + 2 * index);
        __m128i high = Load16(Client + 2 * index + 16);
        PUCHAR out = Ring + 4 * index;
        Store16(out, _mm_unpacklo_epi16(zero, low));
        Store16(out + 16, _mm_unpackhi_epi16(zero, low));
        Store16(out + 32, _mm_unpacklo_epi16(zero, high));
        Store16(out + 48, _mm_unpackhi_epi16(zero, high));
    }
    for (; index + 8 <= Samples; index += 8)
    {
        __m128i samples = Load16(Client + 2 * index);
        Store16(Ring + 4 * index, _mm_unpacklo_epi16(zero, samples));
        Store16(Ring + 4 * index + 16, _mm_unpackhi_epi16(zero, samples));
    }
    for (; index < Samples; index++)
    {
        PUCHAR out = Ring + 4 * index;
        out[0] = 0;
        out[1] = 0;
        out[2] = Client[2 * index];
        out[3] = Client[2 * index + 1];
    }
}

// Container bytes 2 and 3. The arithmetic shift leaves each lane a value in
// the 16-bit range, so the saturating pack is exact.
static DECLSPEC_NOINLINE VOID Capture16(const UCHAR* Ring, PUCHAR Client, SIZE_T Samples)
{
    SIZE_T index = 0;
    for (; index + 16 <= Samples; index += 16)
    {
        const UCHAR* in = Ring + 4 * index;
        __m128i a = _mm_srai_epi32(Load16(in), 16);
        __m128i b = _mm_srai_epi32(Load16(in + 16), 16);
        __m128i c = _mm_srai_epi32(Load16(in + 32), 16);
        __m128i d = _mm_srai_epi32(Load16(in + 48), 16);
        Store16(Client + 2 * index, _mm_packs_epi32(a, b));
        Store16(Client + 2 * index + 16, _mm_packs_epi32(c, d));
    }
    for (; index + 8 <= Samples; index += 8)
    {
        const UCHAR* in = Ring + 4 * index;
        __m128i a = _mm_srai_epi32(Load16(in), 16);
        __m128i b = _mm_srai_epi32(Load16(in + 16), 16);
        Store16(Client + 2 * index, _mm_packs_epi32(a, b));
    }
    for (; index < Samples; index++)
    {
        Client[2 * index] = Ring[4 * index + 2];
        Client[2 * index + 1] = Ring[4 * index + 3];
    }
}

// --- 3-byte samples -----------------------------------------------------------
//
// A "group" is four samples: 12 client bytes, 16 container bytes. The bulk
// loops take four groups a step. Where a loop reads or writes a few bytes
// beyond a group (a 16-byte load of 12 bytes, a 16-byte store of 12), its
// bound keeps that inside the samples it was given: a store that reaches
// into the next group is overwritten by that group's own store, and reads
// past the last sample never happen. The last groups and samples go by
// smaller steps.

static __m128i Load12(const UCHAR* Bytes)
{
    return _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(Bytes)),
                              _mm_loadu_si32(Bytes + 8));
}

static VOID Store12(PUCHAR Bytes, __m128i Value)
{
    _mm_storel_epi64(reinterpret_cast<__m128i*>(Bytes), Value);
    _mm_storeu_si32(Bytes + 8, _mm_srli_si128(Value, 8));
}

// Two 8-byte loads into the two halves of a register.
static __m128i Load8And8(const UCHAR* Low, const UCHAR* High)
{
    return _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(Low)),
                              _mm_loadl_epi64(reinterpret_cast<const __m128i*>(High)));
}

// Render keeps byte 0 of each container as it was: the new bytes 1 to 3
// (Spread, byte 0 zero) go over the old byte 0.
static VOID StoreRender24(PUCHAR Ring, __m128i Spread)
{
    __m128i kept = _mm_and_si128(Load16(Ring), _mm_set1_epi32(0x000000FF));
    Store16(Ring, _mm_or_si128(Spread, kept));
}

static VOID Render24Sample(PUCHAR Container, const UCHAR* Sample)
{
    Container[1] = Sample[0];
    Container[2] = Sample[1];
    Container[3] = Sample[2];
}

static VOID Capture24Sample(const UCHAR* Container, PUCHAR Sample)
{
    Sample[0] = Container[1];
    Sample[1] = Container[2];
    Sample[2] = Container[3];
}

// Bytes 1 to 3 of each 32-bit lane, and of every other lane.
static __m128i EvenLanesHigh3()
{
    return _mm_set_epi32(0, static_cast<int>(0xFFFFFF00), 0, static_cast<int>(0xFFFFFF00));
}

static __m128i OddLanesHigh3()
{
    return _mm_set_epi32(static_cast<int>(0xFFFFFF00), 0, static_cast<int>(0xFFFFFF00), 0);
}

// SSE2 render, one group. With the group's 64-bit halves loaded from one
// byte before samples 0 and 2, samples 0 and 2 are already in bytes 1 to 3
// of their lanes, and a shift of each half by one byte puts samples 1 and 3
// there too. Reads from Sample - 1 to Sample + 12.
static __m128i Spread24Sse2(const UCHAR* Sample)
{
    __m128i halves = Load8And8(Sample - 1, Sample + 5);
    return _mm_or_si128(_mm_and_si128(halves, EvenLanesHigh3()),
                        _mm_and_si128(_mm_slli_epi64(halves, 8), OddLanesHigh3()));
}

// The same for a group with no readable byte before it: halves loaded from
// samples 0 and 2 themselves, shifted by one and two bytes. Reads from
// Sample to Sample + 13.
static __m128i Spread24Sse2First(const UCHAR* Sample)
{
    __m128i halves = Load8And8(Sample, Sample + 6);
    return _mm_or_si128(_mm_and_si128(_mm_slli_epi64(halves, 8), EvenLanesHigh3()),
                        _mm_and_si128(_mm_slli_epi64(halves, 16), OddLanesHigh3()));
}

static DECLSPEC_NOINLINE VOID Render24Sse2(PUCHAR Ring, const UCHAR* Client, SIZE_T Samples)
{
    SIZE_T index = 0;
    // Groups after the first read one byte before themselves and one after.
    if (Samples >= 5)
    {
        StoreRender24(Ring, Spread24Sse2First(Client));
        index = 4;
    }
    for (; index + 17 <= Samples; index += 16)
    {
        const UCHAR* in = Client + 3 * index;
        PUCHAR out = Ring + 4 * index;
        StoreRender24(out, Spread24Sse2(in));
        StoreRender24(out + 16, Spread24Sse2(in + 12));
        StoreRender24(out + 32, Spread24Sse2(in + 24));
        StoreRender24(out + 48, Spread24Sse2(in + 36));
    }
    for (; index + 5 <= Samples; index += 4)
    {
        StoreRender24(Ring + 4 * index, Spread24Sse2(Client + 3 * index));
    }
    for (; index < Samples; index++)
    {
        Render24Sample(Ring + 4 * index, Client + 3 * index);
    }
}

// SSE2 capture, one group: each 64-bit half shifted down by one and by two
// bytes gives its two samples in bytes 0 to 5; the halves are stored 8 bytes
// each, 6 bytes apart, so each store's last two bytes are overwritten by the
// next one. Writes from Sample to Sample + 13.
static VOID Capture24Sse2Group(const UCHAR* Ring, PUCHAR Sample)
{
    __m128i containers = Load16(Ring);
    const __m128i first = _mm_set_epi32(0, 0x00FFFFFF, 0, 0x00FFFFFF);
    const __m128i second = _mm_set_epi32(0x0000FFFF, static_cast<int>(0xFF000000), 0x0000FFFF,
                                         static_cast<int>(0xFF000000));
    __m128i halves = _mm_or_si128(_mm_and_si128(_mm_srli_epi64(containers, 8), first),
                                  _mm_and_si128(_mm_srli_epi64(containers, 16), second));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(Sample), halves);
    // movhps: an unaligned store of the upper half. Not _mm_storeh_pd, which
    // GCC defines as a plain store through a double* (one that must be 8-byte
    // aligned, and Sample + 6 is anywhere).
    _mm_storeh_pi(reinterpret_cast<__m64*>(Sample + 6), _mm_castsi128_ps(halves));
}

static DECLSPEC_NOINLINE VOID Capture24Sse2(const UCHAR* Ring, PUCHAR Client, SIZE_T Samples)
{
    SIZE_T index = 0;
    for (; index + 17 <= Samples; index += 16)
    {
        const UCHAR* in = Ring + 4 * index;
        PUCHAR out = Client + 3 * index;
        Capture24Sse2Group(in, out);
        Capture24Sse2Group(in + 16, out + 12);
        Capture24Sse2Group(in + 32, out + 24);
        Capture24Sse2Group(in + 48, out + 36);
    }
    for (; index + 5 <= Samples; index += 4)
    {
        Capture24Sse2Group(Ring + 4 * index, Client + 3 * index);
    }
    for (; index < Samples; index++)
    {
        Capture24Sample(Ring + 4 * index, Client + 3 * index);
    }
}

// SSSE3: one byte shuffle per group each way; index -128 (high bit set)
// makes a zero byte. The fourth group of a step is loaded from 4 bytes
// before it, so that no load reaches past the step's 48 bytes.
__attribute__((target("ssse3"))) static VOID Render24Ssse3(PUCHAR Ring, const UCHAR* Client,
                                                           SIZE_T Samples)
{
    const __m128i spread =
        _mm_setr_epi8(-128, 0, 1, 2, -128, 3, 4, 5, -128, 6, 7, 8, -128, 9, 10, 11);
    const __m128i spreadFrom4 =
        _mm_setr_epi8(-128, 4, 5, 6, -128, 7, 8, 9, -128, 10, 11, 12, -128, 13, 14, 15);
    SIZE_T index = 0;
    for (; index + 16 <= Samples; index += 16)
    {
        const UCHAR* in = Client + 3 * index;
        PUCHAR out = Ring + 4 * index;
        StoreRender24(out, _mm_shuffle_epi8(Load16(in), spread));
        StoreRender24(out + 16, _mm_shuffle_epi8(Load16(in + 12), spread));
        StoreRender24(out + 32, _mm_shuffle_epi8(Load16(in + 24), spread));
        StoreRender24(out + 48, _mm_shuffle_epi8(Load16(in + 32), spreadFrom4));
    }
    for (; index + 4 <= Samples; index += 4)
    {
        StoreRender24(Ring + 4 * index, _mm_shuffle_epi8(Load12(Client + 3 * index), spread));
    }
    for (; index < Samples; index++)
    {
        Render24Sample(Ring + 4 * index, Client + 3 * index);
    }
}

// Each group's 12 bytes are stored as 16, the last 4 overwritten by the next
// group; the last group of all is stored as 12.
__attribute__((target("ssse3"))) static VOID Capture24Ssse3(const UCHAR* Ring, PUCHAR Client,
                                                            SIZE_T Samples)
{
    const __m128i pack =
        _mm_setr_epi8(1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15, -128, -128, -128, -128);
    SIZE_T index = 0;
    for (; index + 18 <= Samples; index += 16)
    {
        const UCHAR* in = Ring + 4 * index;
        PUCHAR out = Client + 3 * index;
        Store16(out, _mm_shuffle_epi8(Load16(in), pack));
        Store16(out + 12, _mm_shuffle_epi8(Load16(in + 16), pack));
        Store16(out + 24, _mm_shuffle_epi8(Load16(in + 32), pack));
        Store16(out + 36, _mm_shuffle_epi8(Load16(in + 48), pack));
    }
    for (; index + 6 <= Samples; index += 4)
    {
        Store16(Client + 3 * index, _mm_shuffle_epi8(Load16(Ring + 4 * index), pack));
    }
    for (; index + 4 <= Samples; index += 4)
    {
        Store12(Client + 3 * index, _mm_shuffle_epi8(Load16(Ring + 4 * index), pack));
    }
    for (; index < Samples; index++)
    {
        Capture24Sample(Ring + 4 * index, Client + 3 * index);
    }
}

// --- dispatch -----------------------------------------------------------------

static VOID ConvertWholeSamples2(PUCHAR Ring, PUCHAR Client, SIZE_T Samples, BOOLEAN Capture)
{
    if (Capture)
    {
        Capture16(Ring, Client, Samples);
    }
    else
    {
        Render16(Ring, Client, Samples);
    }
}

static VOID ConvertWholeSamples3(PUCHAR Ring, PUCHAR Client, SIZE_T Samples, BOOLEAN Capture,
                                 SAMPLE_CONVERSION_PATH Path)
{
    BOOLEAN ssse3 = Path == SampleConversionSsse3;
    if (Capture && ssse3)
    {
        Capture24Ssse3(Ring, Client, Samples);
    }
    else if (Capture)
    {
        Capture24Sse2(Ring, Client, Samples);
    }
    else if (ssse3)
    {
        Render24Ssse3(Ring, Client, Samples);
    }
    else
    {
        Render24Sse2(Ring, Client, Samples);
    }
}

// Head, bulk and tail for 2- or 3-byte samples; inlined once per width, so
// that the divisions by the width are by a constant.
static FORCEINLINE VOID ConvertSplitSamples(PUCHAR Ring, PULONG RingOffset, PUCHAR Client,
                                            ULONG Count, const ULONG BytesPerSample,
                                            BOOLEAN Capture, SAMPLE_CONVERSION_PATH Path)
{
    ULONG offset = *RingOffset;
    ULONG head = (CONTAINER_BYTES - offset % CONTAINER_BYTES) % CONTAINER_BYTES;
    if (head > Count)
    {
        head = Count;
    }
    if (head != 0)
    {
        ConvertSamplesReference(Ring, &offset, Client, head, BytesPerSample, Capture);
    }

    ULONG samples = (Count - head) / BytesPerSample;
    if (BytesPerSample == 2)
    {
        ConvertWholeSamples2(Ring + offset, Client + head, samples, Capture);
    }
    else
    {
        ConvertWholeSamples3(Ring + offset, Client + head, samples, Capture, Path);
    }
    offset += samples * CONTAINER_BYTES;

    ULONG done = head + samples * BytesPerSample;
    if (done != Count)
    {
        ConvertSamplesReference(Ring, &offset, Client + done, Count - done, BytesPerSample,
                                Capture);
    }
    *RingOffset = offset;
}

static DECLSPEC_NOINLINE VOID ConvertSplitSamples2(PUCHAR Ring, PULONG RingOffset, PUCHAR Client,
                                                   ULONG Count, BOOLEAN Capture)
{
    ConvertSplitSamples(Ring, RingOffset, Client, Count, 2, Capture, SampleConversionSse2);
}

static DECLSPEC_NOINLINE VOID ConvertSplitSamples3(PUCHAR Ring, PULONG RingOffset, PUCHAR Client,
                                                   ULONG Count, BOOLEAN Capture,
                                                   SAMPLE_CONVERSION_PATH Path)
{
    ConvertSplitSamples(Ring, RingOffset, Client, Count, 3, Capture, Path);
}

// The usual call, whole samples from a container boundary, goes straight to
// its kernel: the cursor is advanced first, so that the kernel is the last
// step and the call costs no frame of its own. Anything else goes the split
// way.
static FORCEINLINE VOID ConvertSamples2(PUCHAR Ring, PULONG RingOffset, PUCHAR Client, ULONG Count,
                                        BOOLEAN Capture)
{
    ULONG offset = *RingOffset;
    if (offset % CONTAINER_BYTES != 0 || Count % 2 != 0)
    {
        ConvertSplitSamples2(Ring, RingOffset, Client, Count, Capture);
        return;
    }
    *RingOffset = offset + 2 * Count;
    ConvertWholeSamples2(Ring + offset, Client, Count / 2, Capture);
}

static FORCEINLINE VOID ConvertSamples3(PUCHAR Ring, PULONG RingOffset, PUCHAR Client, ULONG Count,
                                        BOOLEAN Capture, SAMPLE_CONVERSION_PATH Path)
{
    ULONG offset = *RingOffset;
    if (offset % CONTAINER_BYTES != 0 || Count % 3 != 0)
    {
        ConvertSplitSamples3(Ring, RingOffset, Client, Count, Capture, Path);
        return;
    }
    *RingOffset = offset + Count / 3 * CONTAINER_BYTES;
    ConvertWholeSamples3(Ring + offset, Client, Count / 3, Capture, Path);
}

// 4-byte samples fill their containers: a block copy, whatever the offset.
static FORCEINLINE VOID CopySamples4(PUCHAR Ring, PULONG RingOffset, PUCHAR Client, ULONG Count,
                                     BOOLEAN Capture)
{
    ULONG offset = *RingOffset;
    *RingOffset = offset + Count;
    if (Capture)
    {
        RtlCopyMemory(Client, Ring + offset, Count);
    }
    else
    {
        RtlCopyMemory(Ring + offset, Client, Count);
    }
}

static FORCEINLINE VOID Dispatch(PUCHAR Ring, PULONG RingOffset, PUCHAR Client, ULONG Count,
                                 ULONG BytesPerSample, BOOLEAN Capture, SAMPLE_CONVERSION_PATH Path)
{
    if (BytesPerSample == 2)
    {
        ConvertSamples2(Ring, RingOffset, Client, Count, Capture);
    }
    else if (BytesPerSample == 3)
    {
        ConvertSamples3(Ring, RingOffset, Client, Count, Capture, Path);
    }
    else if (BytesPerSample == CONTAINER_BYTES)
    {
        CopySamples4(Ring, RingOffset, Client, Count, Capture);
    }
    else
    {
        // The stream has only 2-, 3- and 4-byte samples; anything else goes
        // the plain way rather than through kernels written for another width.
        ConvertSamplesReference(Ring, RingOffset, Client, Count, BytesPerSample, Capture);
    }
}

VOID ConvertSamplesWithPath(PUCHAR Ring, PULONG RingOffset, PUCHAR Client, ULONG Count,
                            ULONG BytesPerSample, BOOLEAN Capture, SAMPLE_CONVERSION_PATH Path)
{
    Dispatch(Ring, RingOffset, Client, Count, BytesPerSample, Capture, Path);
}

SAMPLE_CONVERSION_PATH SelectSampleConversion()
{
    SAMPLE_CONVERSION_PATH path = ExIsProcessorFeaturePresent(PF_SSSE3_INSTRUCTIONS_AVAILABLE)
                                      ? SampleConversionSsse3
                                      : SampleConversionSse2;
    InterlockedExchange(&g_SampleConversionPath, path);
    return path;
}

// The first conversion of all chooses the path; out of line, so that every
// later one is a dispatch with nothing to save.
static DECLSPEC_NOINLINE VOID ChooseAndConvert(PUCHAR Ring, PULONG RingOffset, PUCHAR Client,
                                               ULONG Count, ULONG BytesPerSample, BOOLEAN Capture)
{
    SAMPLE_CONVERSION_PATH path = SelectSampleConversion();
    Dispatch(Ring, RingOffset, Client, Count, BytesPerSample, Capture, path);
}

VOID ConvertSamplesFast(PUCHAR Ring, PULONG RingOffset, PUCHAR Client, ULONG Count,
                        ULONG BytesPerSample, BOOLEAN Capture)
{
    SAMPLE_CONVERSION_PATH path = static_cast<SAMPLE_CONVERSION_PATH>(g_SampleConversionPath);
    if (path == SampleConversionUnchosen)
    {
        ChooseAndConvert(Ring, RingOffset, Client, Count, BytesPerSample, Capture);
        return;
    }
    Dispatch(Ring, RingOffset, Client, Count, BytesPerSample, Capture, path);
}
