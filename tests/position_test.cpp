// Position reporting at the unit level: what GetPosition asks the engine,
// the capture position (completed periods plus the engine's offset inside
// the current period), and the conversion of byte positions to 100 ns
// units. The render position against what the device played is judged in
// positionaccuracy_test.cpp.
#include "host/test/support/engineexpect.h"
#include "tests/support/streamonfakeports.h"

#include <gtest/gtest.h>

#include <limits>

namespace
{

class Position : public nuvtest::StreamOnFakePortsTestbed
{
protected:
    // F = 128, stereo 24-bit: 768 client bytes per period.
    void Open(bool run, ULONG pin = 0, bool capture = false)
    {
        Engine().SetPeriodFrames(128);
        ASSERT_EQ(CreateStream({.channels = 2, .bits = 24}, capture, pin), STATUS_SUCCESS);
        if (run)
        {
            ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        }
        Engine().ClearCommands();
    }

    ULONGLONG Read()
    {
        ULONGLONG position = 0xDEADBEEF;
        EXPECT_EQ(Stream()->GetPosition(&position), STATUS_SUCCESS);
        return position;
    }
};

using GetPosition = Position;

TEST_F(GetPosition, NotRunningIsZeroButTheEngineIsStillAsked)
{
    for (bool capture : {false, true})
    {
        SCOPED_TRACE(capture ? "capture" : "render");
        Open(/*run=*/false, 0, capture);
        Engine().SetDevicePosition(1000);
        EXPECT_EQ(Read(), 0u);
        ExpectEngineCommands(Engine(), {ENGINE_CMD_GET_POSITION});
        ReleaseStream();
    }
}

// Capture: 1000 frames x 2 x 3 = 6000; 6000 mod 768 = 624.
TEST_F(GetPosition, CaptureWorkedExample)
{
    Open(/*run=*/true, 0, /*capture=*/true);
    Engine().SetDevicePosition(1000);
    EXPECT_EQ(Read(), 624u) << "before the first completed period: no subtraction";
    Peer().SetCompletedBytes(3072);
    EXPECT_EQ(Read(), 3072u - 768u + 624u);
}

// The capture offset's byte product must not wrap in 32 bits. Beyond
// 2^32 / 6 frames the wrapped product gives another offset than the
// frames' place in the period (p mod 128, times 6).
TEST_F(GetPosition, CaptureLargeEnginePositionsDoNotWrapTheOffset)
{
    Open(/*run=*/true, 0, /*capture=*/true);
    for (ULONG frames : {715827882u, 715827883u, 0x80000001u, 0xFFFFFFFFu})
    {
        SCOPED_TRACE(frames);
        Engine().SetDevicePosition(frames);
        EXPECT_EQ(Read(), (frames % 128) * 6u);
    }
}

TEST_F(GetPosition, CaptureRevocationRestartsFromTheEngineOffset)
{
    Open(/*run=*/true, 0, /*capture=*/true);
    Peer().SetCompletedBytes(3072);
    ULONG revoked = 0;
    Stream()->RevokeMappings(nullptr, nullptr, &revoked);
    Engine().SetDevicePosition(1000);
    EXPECT_EQ(Read(), 624u);
}

// Render counts what the engine played of the halves it took: RUN at
// device frame 10 with one period queued; the engine begins at frame 128.
TEST_F(GetPosition, RenderCountsFromWhereTheEngineBegins)
{
    Engine().SetPeriodFrames(128);
    ASSERT_EQ(CreateStream({.channels = 2, .bits = 24}), STATUS_SUCCESS);
    PortStream().QueueMapping(std::vector<std::uint8_t>(768, 0x11));
    Engine().SetDevicePosition(10);
    ASSERT_EQ(Stream()->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(Read(), 0u) << "the engine has not begun";
    Engine().SetDevicePosition(128 + 100);
    EXPECT_EQ(Read(), 600u) << "100 frames of the pre-filled period";
    Engine().SetDevicePosition(256 + 5);
    EXPECT_EQ(Read(), 768u) << "no Service accounted for another half: it holds";
}

// Pins 0 to 3 give PinOffset 0, pin 4 gives 4, and a pin beyond the map 0:
// every pin a stream can be opened on, in both directions, for the
// position query and for the Service's look at the engine.
TEST_F(GetPosition, PinOffsetFollowsThePinMapForEveryPin)
{
    for (bool capture : {false, true})
    {
        for (ULONG pin = 0; pin < WAVE_PIN_IN_USE_PINS; ++pin)
        {
            SCOPED_TRACE(::testing::Message()
                         << (capture ? "capture" : "render") << " pin " << pin);
            const ULONG expected = pin == 4 ? 4u : 0u;
            Open(/*run=*/true, pin, capture);
            Read();
            auto block = Engine().LastBlock<ENGINE_POSITION_PARAMS>(ENGINE_CMD_GET_POSITION);
            ASSERT_TRUE(block);
            EXPECT_EQ(block->PinOffset, expected);
            EXPECT_EQ(block->Capture, capture ? 1u : 0u);
            if (!capture)
            {
                Engine().ClearCommands();
                RunService();
                block = Engine().LastBlock<ENGINE_POSITION_PARAMS>(ENGINE_CMD_GET_POSITION);
                ASSERT_TRUE(block) << "a render Service asks where the engine is";
                EXPECT_EQ(block->PinOffset, expected);
            }
            ASSERT_EQ(Stream()->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
            ASSERT_EQ(Stream()->SetState(KSSTATE_STOP), STATUS_SUCCESS);
            ReleaseStream();
        }
    }
}

// --- NormalizePhysicalPosition ---------------------------------------------

class NormalizePhysicalPosition : public nuvtest::StreamOnFakePortsTestbed
{
};

// q = 10,000,000 / (N x B), truncated; then q x bytes / rate, toward zero.
struct NormalizeCase
{
    USHORT channels;
    USHORT bits;
    LONGLONG bytes;
    LONGLONG expected;
};

// Beyond 2^63 / q bytes the product q x bytes no longer fits 64 bits (for
// 48 kHz stereo 16-bit, q = 2,500,000: from 3.7e12 bytes, 110 days). The
// result is exact wherever it fits, against 128-bit arithmetic, and
// saturates where it does not.
TEST_F(NormalizePhysicalPosition, IsExactOrSaturatesForEveryPosition)
{
    constexpr LONGLONG kMax = std::numeric_limits<LONGLONG>::max();
    constexpr LONGLONG kMin = std::numeric_limits<LONGLONG>::min();
    Engine().SetPeriodFrames(4);
    ASSERT_EQ(CreateStream({.channels = 2, .rate = 48000, .bits = 16}), STATUS_SUCCESS);
    const __int128 q = 2500000;
    // q x productEdge still fits; the result fits up to lastExact.
    const LONGLONG productEdge = kMax / 2500000;
    const auto lastExact = static_cast<LONGLONG>(((__int128(kMax) + 1) * 48000 + q - 1) / q - 1);
    for (LONGLONG bytes :
         {productEdge, productEdge + 1, productEdge * 1000, lastExact, lastExact + 1, kMax,
          -productEdge - 1, -lastExact, -lastExact - 1, kMin + 1, kMin})
    {
        SCOPED_TRACE(bytes);
        const __int128 exact = q * bytes / 48000;
        const LONGLONG expected = exact > kMax ? kMax : exact < kMin ? kMin : LONGLONG(exact);
        LONGLONG position = bytes;
        EXPECT_EQ(Stream()->NormalizePhysicalPosition(&position), STATUS_SUCCESS);
        EXPECT_EQ(position, expected);
    }
}

TEST_F(NormalizePhysicalPosition, TruncatesTheFactorFirst)
{
    const NormalizeCase cases[] = {
        {2, 16, 192000, 10000000},  // q 2,500,000: exact
        {2, 24, 288000, 9999996},   // q 1,666,666
        {6, 16, 576000, 9999996},   // q 833,333 (from 833,333.3)
        {2, 16, 0, 0},              //
        {2, 16, -192000, -10000000} // signed
    };
    Engine().SetPeriodFrames(4);
    for (const NormalizeCase& c : cases)
    {
        SCOPED_TRACE(::testing::Message() << c.channels << " ch " << c.bits << " bit " << c.bytes);
        ASSERT_EQ(CreateStream({.channels = c.channels, .rate = 48000, .bits = c.bits}),
                  STATUS_SUCCESS);
        LONGLONG position = c.bytes;
        EXPECT_EQ(Stream()->NormalizePhysicalPosition(&position), STATUS_SUCCESS);
        EXPECT_EQ(position, c.expected);
        ReleaseStream();
    }
}

} // namespace
