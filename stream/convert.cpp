// The fast sample conversion. A call splits into three parts:
//
//     head   the bytes that finish a container an earlier call began
//            (offset not a multiple of 4): byte-wise, as the reference
//     bulk   whole samples from a container boundary on: SSE2, or SSSE3
//            shuffles for 3-byte samples, then a short scalar tail
//     tail   the first bytes of a sample the next call completes: byte-wise
//
// The byte-wise parts are ConvertSamplesReference itself, so a split sample
// ends up exactly where the reference puts it. The bulk kernels write what
// the reference writes for whole samples: render 2-byte samples as 0, 0, s0,
// s1; render 3-byte samples into bytes 1 to 3 and keep byte 0 as it was (a
// read-modify-write of the container, never a store of another value); 4-byte
// samples as one block copy. Loads and stores are unaligned: a mapping can
// start anywhere, and a container of the ring is only 4-byte aligned.
// No kernel reads or writes a byte outside the samples it was given.
#include "stream/convert.h"

#include "stream/transfer.h"

#include <emmintrin.h>
#include <tmmintrin.h>

#define CONTAINER_BYTES 4

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
static VOID Render16(PUCHAR Ring, const UCHAR* Client, SIZE_T Samples)
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
static VOID Capture16(const UCHAR* Ring, PUCHAR Client, SIZE_T Samples)
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
// The bulk loops take 16 samples (48 client bytes, 64 container bytes) per
// step as three client loads or four ring loads, so nothing past the last
// sample is touched; a "group" is four samples, 12 client bytes in the low
// bytes of a register. Fewer than 16 samples go a group at a time with
// 12-byte loads and stores, and the last three or fewer one by one.

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

// Byte 0 of each container, which render keeps.
static __m128i ContainerLowBytes(const UCHAR* Ring)
{
    return _mm_and_si128(Load16(Ring), _mm_set1_epi32(0x000000FF));
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

// SSE2: a group's samples are moved to bytes 0 to 5 of each 64-bit lane
// (two samples a lane), then each lane is spread with two shifts: sample 0
// to bytes 1 to 3, sample 1 to bytes 5 to 7.
static __m128i Spread24Sse2(__m128i Group)
{
    const __m128i lane0 = _mm_set_epi32(0, 0, 0x0000FFFF, static_cast<int>(0xFFFFFFFF));
    const __m128i lane1 = _mm_set_epi32(0x0000FFFF, static_cast<int>(0xFFFFFFFF), 0, 0);
    __m128i pairs =
        _mm_or_si128(_mm_and_si128(Group, lane0), _mm_and_si128(_mm_slli_si128(Group, 2), lane1));
    const __m128i even =
        _mm_set_epi32(0, static_cast<int>(0xFFFFFF00), 0, static_cast<int>(0xFFFFFF00));
    const __m128i odd =
        _mm_set_epi32(static_cast<int>(0xFFFFFF00), 0, static_cast<int>(0xFFFFFF00), 0);
    return _mm_or_si128(_mm_and_si128(_mm_slli_epi64(pairs, 8), even),
                        _mm_and_si128(_mm_slli_epi64(pairs, 16), odd));
}

static VOID StoreRender24(PUCHAR Ring, __m128i Spread)
{
    Store16(Ring, _mm_or_si128(Spread, ContainerLowBytes(Ring)));
}

static VOID Render24Sse2(PUCHAR Ring, const UCHAR* Client, SIZE_T Samples)
{
    SIZE_T index = 0;
    for (; index + 16 <= Samples; index += 16)
    {
        const UCHAR* in = Client + 3 * index;
        PUCHAR out = Ring + 4 * index;
        __m128i v0 = Load16(in);
        __m128i v1 = Load16(in + 16);
        __m128i v2 = Load16(in + 32);
        __m128i g1 = _mm_or_si128(_mm_srli_si128(v0, 12), _mm_slli_si128(v1, 4));
        __m128i g2 = _mm_or_si128(_mm_srli_si128(v1, 8), _mm_slli_si128(v2, 8));
        StoreRender24(out, Spread24Sse2(v0));
        StoreRender24(out + 16, Spread24Sse2(g1));
        StoreRender24(out + 32, Spread24Sse2(g2));
        StoreRender24(out + 48, Spread24Sse2(_mm_srli_si128(v2, 4)));
    }
    for (; index + 4 <= Samples; index += 4)
    {
        StoreRender24(Ring + 4 * index, Spread24Sse2(Load12(Client + 3 * index)));
    }
    for (; index < Samples; index++)
    {
        Render24Sample(Ring + 4 * index, Client + 3 * index);
    }
}

// SSE2: each lane shifted down by a byte holds its sample in bytes 0 to 2;
// the two lanes of each 64-bit half are joined into 6 bytes, then the two
// halves into 12.
static __m128i Pack24Sse2(__m128i Containers)
{
    __m128i samples = _mm_srli_epi32(Containers, 8);
    const __m128i first = _mm_set_epi32(0, 0x00FFFFFF, 0, 0x00FFFFFF);
    const __m128i second = _mm_set_epi32(0x0000FFFF, static_cast<int>(0xFF000000), 0x0000FFFF,
                                         static_cast<int>(0xFF000000));
    __m128i halves = _mm_or_si128(_mm_and_si128(samples, first),
                                  _mm_and_si128(_mm_srli_epi64(samples, 8), second));
    const __m128i low6 = _mm_set_epi32(0, 0, 0x0000FFFF, static_cast<int>(0xFFFFFFFF));
    const __m128i high6 =
        _mm_set_epi32(0, static_cast<int>(0xFFFFFFFF), static_cast<int>(0xFFFF0000), 0);
    return _mm_or_si128(_mm_and_si128(halves, low6),
                        _mm_and_si128(_mm_srli_si128(halves, 2), high6));
}

// Four packed groups (12 bytes each, upper 4 bytes zero) as 48 bytes.
static VOID Store4Groups(PUCHAR Client, __m128i P0, __m128i P1, __m128i P2, __m128i P3)
{
    Store16(Client, _mm_or_si128(P0, _mm_slli_si128(P1, 12)));
    Store16(Client + 16, _mm_or_si128(_mm_srli_si128(P1, 4), _mm_slli_si128(P2, 8)));
    Store16(Client + 32, _mm_or_si128(_mm_srli_si128(P2, 8), _mm_slli_si128(P3, 4)));
}

static VOID Capture24Sse2(const UCHAR* Ring, PUCHAR Client, SIZE_T Samples)
{
    SIZE_T index = 0;
    for (; index + 16 <= Samples; index += 16)
    {
        const UCHAR* in = Ring + 4 * index;
        Store4Groups(Client + 3 * index, Pack24Sse2(Load16(in)), Pack24Sse2(Load16(in + 16)),
                     Pack24Sse2(Load16(in + 32)), Pack24Sse2(Load16(in + 48)));
    }
    for (; index + 4 <= Samples; index += 4)
    {
        Store12(Client + 3 * index, Pack24Sse2(Load16(Ring + 4 * index)));
    }
    for (; index < Samples; index++)
    {
        Capture24Sample(Ring + 4 * index, Client + 3 * index);
    }
}

// SSSE3: one byte shuffle per group each way. Index -128 (high bit set)
// makes a zero byte.
__attribute__((target("ssse3"))) static VOID Render24Ssse3(PUCHAR Ring, const UCHAR* Client,
                                                           SIZE_T Samples)
{
    const __m128i spread =
        _mm_setr_epi8(-128, 0, 1, 2, -128, 3, 4, 5, -128, 6, 7, 8, -128, 9, 10, 11);
    SIZE_T index = 0;
    for (; index + 16 <= Samples; index += 16)
    {
        const UCHAR* in = Client + 3 * index;
        PUCHAR out = Ring + 4 * index;
        __m128i v0 = Load16(in);
        __m128i v1 = Load16(in + 16);
        __m128i v2 = Load16(in + 32);
        StoreRender24(out, _mm_shuffle_epi8(v0, spread));
        StoreRender24(out + 16, _mm_shuffle_epi8(_mm_alignr_epi8(v1, v0, 12), spread));
        StoreRender24(out + 32, _mm_shuffle_epi8(_mm_alignr_epi8(v2, v1, 8), spread));
        StoreRender24(out + 48, _mm_shuffle_epi8(_mm_srli_si128(v2, 4), spread));
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

__attribute__((target("ssse3"))) static VOID Capture24Ssse3(const UCHAR* Ring, PUCHAR Client,
                                                            SIZE_T Samples)
{
    const __m128i pack =
        _mm_setr_epi8(1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15, -128, -128, -128, -128);
    SIZE_T index = 0;
    for (; index + 16 <= Samples; index += 16)
    {
        const UCHAR* in = Ring + 4 * index;
        Store4Groups(Client + 3 * index, _mm_shuffle_epi8(Load16(in), pack),
                     _mm_shuffle_epi8(Load16(in + 16), pack),
                     _mm_shuffle_epi8(Load16(in + 32), pack),
                     _mm_shuffle_epi8(Load16(in + 48), pack));
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

// Whole samples of 2 or 3 bytes, from a container boundary of the ring.
static VOID ConvertWholeSamples(PUCHAR Ring, PUCHAR Client, SIZE_T Samples, ULONG BytesPerSample,
                                BOOLEAN Capture, SAMPLE_CONVERSION_PATH Path)
{
    BOOLEAN ssse3 = Path == SampleConversionSsse3;
    if (BytesPerSample == 2 && Capture)
    {
        Capture16(Ring, Client, Samples);
    }
    else if (BytesPerSample == 2)
    {
        Render16(Ring, Client, Samples);
    }
    else if (Capture && ssse3)
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

VOID ConvertSamplesWithPath(PUCHAR Ring, PULONG RingOffset, PUCHAR Client, ULONG Count,
                            ULONG BytesPerSample, BOOLEAN Capture, SAMPLE_CONVERSION_PATH Path)
{
    ULONG offset = *RingOffset;
    // 4-byte samples fill their containers: a block copy, whatever the offset.
    if (BytesPerSample == CONTAINER_BYTES)
    {
        if (Capture)
        {
            RtlCopyMemory(Client, Ring + offset, Count);
        }
        else
        {
            RtlCopyMemory(Ring + offset, Client, Count);
        }
        *RingOffset = offset + Count;
        return;
    }
    // The stream has only 2-, 3- and 4-byte samples; anything else goes the
    // plain way rather than through a kernel written for another width.
    if (BytesPerSample != 2 && BytesPerSample != 3)
    {
        ConvertSamplesReference(Ring, RingOffset, Client, Count, BytesPerSample, Capture);
        return;
    }

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
    ConvertWholeSamples(Ring + offset, Client + head, samples, BytesPerSample, Capture, Path);
    offset += samples * CONTAINER_BYTES;

    ULONG done = head + samples * BytesPerSample;
    if (done != Count)
    {
        ConvertSamplesReference(Ring, &offset, Client + done, Count - done, BytesPerSample,
                                Capture);
    }
    *RingOffset = offset;
}

SAMPLE_CONVERSION_PATH SelectSampleConversion()
{
    SAMPLE_CONVERSION_PATH path = ExIsProcessorFeaturePresent(PF_SSSE3_INSTRUCTIONS_AVAILABLE)
                                      ? SampleConversionSsse3
                                      : SampleConversionSse2;
    InterlockedExchange(&g_SampleConversionPath, path);
    return path;
}

VOID ConvertSamplesFast(PUCHAR Ring, PULONG RingOffset, PUCHAR Client, ULONG Count,
                        ULONG BytesPerSample, BOOLEAN Capture)
{
    SAMPLE_CONVERSION_PATH path = static_cast<SAMPLE_CONVERSION_PATH>(g_SampleConversionPath);
    if (path == SampleConversionUnchosen)
    {
        path = SelectSampleConversion();
    }
    ConvertSamplesWithPath(Ring, RingOffset, Client, Count, BytesPerSample, Capture, path);
}
