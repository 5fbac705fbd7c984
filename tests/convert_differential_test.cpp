// ConvertSamplesFast against ConvertSamplesReference, byte for byte: random
// client bytes cut into random pieces (splits inside samples included),
// every sample width and both directions, on the processor's own path and
// with SSSE3 forced off. Both forms run on copies of the same ring and client
// bytes; the whole ring (including the bytes before the start offset and
// after the last container reached) and the whole client side (including
// bytes before each piece) must come out the same. Each piece the fast form
// sees ends right before an inaccessible page, and so does its ring, so a
// read past either crashes the test.
#include "stream/convert.h"
#include "stream/convert.h"

#include "host/kernel/processor.h"
#include "tests/support/streamonfakeports.h"
#include "tests/support/waveformats.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace
{

using Bytes = std::vector<std::uint8_t>;

Bytes RandomBytes(std::mt19937& rng, std::size_t count)
{
    Bytes bytes(count);
    for (std::uint8_t& byte : bytes)
        byte = static_cast<std::uint8_t>(rng());
    return bytes;
}

ULONG Uniform(std::mt19937& rng, ULONG low, ULONG high)
{
    return std::uniform_int_distribution<ULONG>(low, high)(rng);
}

// Mostly pieces of a few bytes (splits inside and right around samples),
// some of a few hundred, now and then one of a few thousand: the sizes that
// cross every loop boundary of the bulk kernels.
ULONG RandomPieceSize(std::mt19937& rng)
{
    switch (Uniform(rng, 0, 9))
    {
    case 0:
        return Uniform(rng, 1, 4000);
    case 1:
    case 2:
    case 3:
        return Uniform(rng, 1, 300);
    default:
        return Uniform(rng, 1, 13);
    }
}

// Where the reference leaves the ring offset after Count client bytes.
ULONG ReferenceEndOffset(ULONG startOffset, ULONG count, ULONG bytesPerSample)
{
    Bytes scratch(startOffset + 4 * (count + 1));
    Bytes client(count);
    ULONG offset = startOffset;
    ConvertSamplesReference(scratch.data(), &offset, client.data(), count, bytesPerSample, FALSE);
    return offset;
}

struct Case
{
    ULONG bytesPerSample;
    bool capture;
    bool ssse3ForcedOff;
};

std::string CaseName(const ::testing::TestParamInfo<Case>& info)
{
    return std::string(info.param.capture ? "Capture" : "Render") +
           std::to_string(8 * info.param.bytesPerSample) +
           (info.param.ssse3ForcedOff ? "WithoutSsse3" : "ProcessorPath");
}

class ConvertSamplesFastDifferential : public ::testing::TestWithParam<Case>
{
protected:
    void SetUp() override
    {
        if (GetParam().ssse3ForcedOff)
            host::SetProcessorFeatureOverride(PF_SSSE3_INSTRUCTIONS_AVAILABLE, false);
        SAMPLE_CONVERSION_PATH chosen = SelectSampleConversion();
        const bool ssse3 = !GetParam().ssse3ForcedOff && __builtin_cpu_supports("ssse3");
        ASSERT_EQ(chosen, ssse3 ? SampleConversionSsse3 : SampleConversionSse2);
    }
    void TearDown() override
    {
        host::ClearProcessorFeatureOverrides();
        SelectSampleConversion();
    }

    // Converts `pieceSizes` pieces of one client stream from `startOffset`
    // with both forms and compares everything after each piece.
    void CompareRun(std::mt19937& rng, ULONG startOffset, const std::vector<ULONG>& pieceSizes);
};

void ConvertSamplesFastDifferential::CompareRun(std::mt19937& rng, ULONG startOffset,
                                                const std::vector<ULONG>& pieceSizes)
{
    const Case c = GetParam();
    ULONG total = 0;
    for (ULONG size : pieceSizes)
        total += size;
    // The ring ends at the container boundary after the last byte reached:
    // what lies beyond is the next half, or the end of the buffer.
    const ULONG ringBytes =
        std::max<ULONG>((ReferenceEndOffset(startOffset, total, c.bytesPerSample) + 3) / 4 * 4, 1);

    const Bytes ringStart = RandomBytes(rng, ringBytes);
    Bytes referenceRing = ringStart;
    nuvtest::GuardedBytes fastRing(ringStart);
    // Render: the client's data. Capture: what the mapping held before.
    const Bytes clientStart = RandomBytes(rng, total);
    Bytes referenceClient = clientStart;

    ULONG referenceOffset = startOffset;
    ULONG fastOffset = startOffset;
    ULONG position = 0;
    for (ULONG size : pieceSizes)
    {
        SCOPED_TRACE(::testing::Message() << "piece at " << position << " of " << size);
        // A few bytes of the mapping before the piece, which stay as they were.
        const ULONG before = Uniform(rng, 0, 5);
        Bytes mapping(clientStart.begin() + position - std::min(position, before),
                      clientStart.begin() + position + size);
        const ULONG lead = static_cast<ULONG>(mapping.size()) - size;
        nuvtest::GuardedBytes fastMapping(mapping);

        ConvertSamplesReference(referenceRing.data(), &referenceOffset,
                                referenceClient.data() + position, size, c.bytesPerSample,
                                c.capture);
        ConvertSamplesFast(fastRing.Data(), &fastOffset, fastMapping.Data() + lead, size,
                           c.bytesPerSample, c.capture);

        ASSERT_EQ(fastOffset, referenceOffset);
        Bytes expectedMapping(mapping.begin(), mapping.begin() + lead);
        expectedMapping.insert(expectedMapping.end(), referenceClient.begin() + position,
                               referenceClient.begin() + position + size);
        ASSERT_EQ(fastMapping.Bytes(), expectedMapping);
        ASSERT_EQ(fastRing.Bytes(), referenceRing);
        position += size;
    }
}

TEST_P(ConvertSamplesFastDifferential, RandomPiecesGiveTheReferenceBytes)
{
    const Case c = GetParam();
    std::mt19937 rng(1000 * c.bytesPerSample + (c.capture ? 100 : 0) + (c.ssse3ForcedOff ? 1 : 0));
    for (int run = 0; run < 150; ++run)
    {
        SCOPED_TRACE(::testing::Message() << "run " << run);
        // Any start: a container boundary, or inside one where an earlier
        // call stopped.
        const ULONG startOffset = Uniform(rng, 0, 40);
        std::vector<ULONG> pieces(Uniform(rng, 1, 40));
        for (ULONG& size : pieces)
            size = RandomPieceSize(rng);
        CompareRun(rng, startOffset, pieces);
        if (HasFatalFailure())
            return;
    }
}

// Every length from 0 to 80 samples and a byte, from each start residue, as
// one piece: each count of the 16-sample loop, the 4-sample groups and the
// scalar tail, and every way of starting and ending inside a sample.
TEST_P(ConvertSamplesFastDifferential, EveryShortLengthFromEveryStartResidue)
{
    const Case c = GetParam();
    std::mt19937 rng(7);
    for (ULONG residue = 0; residue < 4; ++residue)
    {
        for (ULONG count = 1; count <= 80 * c.bytesPerSample + 1; ++count)
        {
            SCOPED_TRACE(::testing::Message()
                         << "residue " << residue << ", " << count << " bytes");
            CompareRun(rng, 8 + residue, {count});
            if (HasFatalFailure())
                return;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllWidthsAndDirections, ConvertSamplesFastDifferential,
                         ::testing::Values(Case{2, false, false}, Case{2, true, false},
                                           Case{3, false, false}, Case{3, true, false},
                                           Case{4, false, false}, Case{4, true, false},
                                           Case{2, false, true}, Case{2, true, true},
                                           Case{3, false, true}, Case{3, true, true},
                                           Case{4, false, true}, Case{4, true, true}),
                         CaseName);

// --- the choice of path -------------------------------------------------------

class SelectSampleConversionTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        host::ClearProcessorFeatureOverrides();
        SelectSampleConversion();
    }
};

TEST_F(SelectSampleConversionTest, FollowsTheSsse3FeatureQuery)
{
    host::SetProcessorFeatureOverride(PF_SSSE3_INSTRUCTIONS_AVAILABLE, false);
    EXPECT_EQ(SelectSampleConversion(), SampleConversionSse2);
    if (!__builtin_cpu_supports("ssse3"))
        GTEST_SKIP() << "this processor has no SSSE3 to report";
    host::SetProcessorFeatureOverride(PF_SSSE3_INSTRUCTIONS_AVAILABLE, true);
    EXPECT_EQ(SelectSampleConversion(), SampleConversionSsse3);
}

// --- through the stream -------------------------------------------------------

// A render stream fed random mappings converts, period by period, what the
// reference makes of the same client bytes one period at a time: the
// period cap, the ring wrap and the split samples at mapping ends together.
class ConvertSamplesInStream : public nuvtest::StreamOnFakePortsTestbed
{
protected:
    void RandomMappingsFillTheRingAsTheReferenceDoes(USHORT bits, unsigned seed);
};

void ConvertSamplesInStream::RandomMappingsFillTheRingAsTheReferenceDoes(USHORT bits, unsigned seed)
{
    std::mt19937 rng(seed);
    Engine().SetPeriodFrames(Uniform(rng, 3, 40));
    ASSERT_EQ(CreateStream({.channels = 2, .bits = bits}), STATUS_SUCCESS);
    const ULONG periodClient = Peer().PeriodClientBytes();
    const ULONG periods = 7;
    const Bytes client = RandomBytes(rng, periodClient * periods);
    for (std::size_t at = 0; at < client.size();)
    {
        const std::size_t size =
            std::min<std::size_t>(RandomPieceSize(rng) % 200 + 1, client.size() - at);
        PortStream().QueueMapping(Bytes(client.begin() + at, client.begin() + at + size));
        at += size;
    }

    Bytes model(Peer().BufferBytes(), 0);
    ULONG modelOffset = 0;
    for (ULONG period = 0; period < periods; ++period)
    {
        SCOPED_TRACE(::testing::Message() << "period " << period);
        // RUN's pre-fill moves the first period, each Service one more.
        if (period == 0)
            ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        else
            RunService();
        Bytes piece(client.begin() + period * periodClient,
                    client.begin() + (period + 1) * periodClient);
        ConvertSamplesReference(model.data(), &modelOffset, piece.data(), periodClient, bits / 8,
                                FALSE);
        modelOffset %= static_cast<ULONG>(model.size());
        // The half this period went into; the stream silences the other one,
        // which the engine has played, until the next period fills it.
        const std::size_t half = Peer().PeriodContainerBytes();
        const std::size_t from = (period % 2) * half;
        const Bytes ring = Peer().BufferBytesNow();
        ASSERT_EQ(Bytes(ring.begin() + from, ring.begin() + from + half),
                  Bytes(model.begin() + from, model.begin() + from + half));
        ASSERT_EQ(Peer().BufferOffset(), modelOffset);
    }
    // The mappings end with the last period: each one was released once.
    EXPECT_EQ(PortStream().OutstandingCount(), 0u);
    EXPECT_EQ(PortStream().ReleaseCount(), PortStream().MappingCount());
}

TEST_F(ConvertSamplesInStream, Render16)
{
    RandomMappingsFillTheRingAsTheReferenceDoes(16, 42);
}

TEST_F(ConvertSamplesInStream, Render24)
{
    RandomMappingsFillTheRingAsTheReferenceDoes(24, 43);
}

TEST_F(ConvertSamplesInStream, Render32)
{
    RandomMappingsFillTheRingAsTheReferenceDoes(32, 44);
}

} // namespace
