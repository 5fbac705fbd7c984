// The oracle over the device's output, on hand-made outputs: it must accept
// every frame once, in order, and silence where the client was late, and
// reject each planted fault (a duplicated period, a swapped pair, a stale
// half, a one-byte shift, silence while data was queued, a cancelled or
// stopped frame played).
#include "host/engine/playoracle.h"
#include "host/test/support/clientsamples.h"
#include "host/test/support/judgeparts.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace
{

using Bytes = std::vector<std::uint8_t>;
using host::engine::FindingKind;

// A client and a device, written step by step in the order things happen.
class Scenario
{
public:
    explicit Scenario(unsigned bytesPerSample = 2, unsigned periodFrames = 8)
        : format_{.channels = 2, .bytesPerSample = bytesPerSample}, frames_(periodFrames),
          client_(nuvtest::ClientSamples(16 * periodFrames, 2, bytesPerSample, 77))
    {
    }

    std::size_t PeriodClientBytes() const { return frames_ * 2 * format_.bytesPerSample; }

    // The client writes periods [first, first + count) of its data.
    void Write(std::size_t first, std::size_t count)
    {
        WriteBytes(first * PeriodClientBytes(), (first + count) * PeriodClientBytes());
    }
    void WriteBytes(std::size_t from, std::size_t to)
    {
        journal_.bytes.insert(journal_.bytes.end(), client_.begin() + from, client_.begin() + to);
        journal_.writes.push_back({++order_, journal_.bytes.size()});
    }
    void Start() { record_.startOrders.push_back(++order_); }
    void Service() { journal_.services.push_back(++order_); }
    void Cut(std::size_t fromPeriod, std::size_t handedOutBytes, bool atStop = false)
    {
        const std::uint64_t from = fromPeriod * PeriodClientBytes();
        journal_.cuts.push_back(
            {++order_, from, journal_.bytes.size(), from + handedOutBytes, atStop});
    }

    // The engine takes a half holding these containers.
    void Take(const Bytes& containers, bool underrun = false)
    {
        host::engine::PeriodRecord take;
        take.index = record_.periods.size();
        take.order = ++order_;
        take.outputBytes = record_.output.size();
        take.underrun = underrun;
        record_.periods.push_back(take);
        record_.output.insert(record_.output.end(), containers.begin(), containers.end());
    }
    // Client period k, converted, as the device must play it.
    Bytes Period(std::size_t k, std::ptrdiff_t shiftBytes = 0) const
    {
        const std::size_t from = k * PeriodClientBytes() + shiftBytes;
        return nuvtest::ExpectedContainers(
            Bytes(client_.begin() + from, client_.begin() + from + PeriodClientBytes()),
            format_.bytesPerSample);
    }
    Bytes Silence() const { return Bytes(frames_ * 2 * 4, 0); }
    // The first half of period k, then silence.
    Bytes HalfPeriod(std::size_t k) const
    {
        Bytes half = Period(k);
        std::fill(half.begin() + half.size() / 2, half.end(), 0);
        return half;
    }

    // The whole run judged at once; and the same judged in parts as they
    // would arrive beside the stream, which must come to the same verdict,
    // also while keeping only a few periods behind it.
    host::engine::PlayVerdict Judge() const
    {
        const host::engine::PlayVerdict whole =
            host::engine::JudgePlayback(journal_, record_, format_);
        host::engine::JudgeLimits few;
        few.lookBehindBytes = 4 * PeriodClientBytes();
        few.keptTakes = 2;
        few.keptPlayedRuns = 2;
        for (const host::engine::JudgeLimits& limits : {host::engine::JudgeLimits{}, few})
        {
            for (std::uint64_t stamps : {1u, 2u, 5u})
            {
                SCOPED_TRACE("in parts of " + std::to_string(stamps) + " stamps");
                EXPECT_EQ(nuvtest::VerdictDifference(
                              whole,
                              nuvtest::JudgeInParts(journal_, record_, format_, 0, stamps, limits)),
                          "");
            }
        }
        return whole;
    }

private:
    host::engine::PlayFormat format_;
    std::size_t frames_;
    Bytes client_;
    host::engine::ClientJournal journal_;
    host::engine::StreamState record_;
    std::uint64_t order_ = 0;
};

// Four periods queued, RUN, a Service before each later take.
Scenario Steady(unsigned bytesPerSample = 2)
{
    Scenario s(bytesPerSample);
    s.Write(0, 4);
    s.Start();
    return s;
}

TEST(PlayOracle, AcceptsEveryFrameOnceInOrder)
{
    for (unsigned bytesPerSample : {2u, 3u, 4u})
    {
        SCOPED_TRACE(bytesPerSample);
        Scenario s = Steady(bytesPerSample);
        for (std::size_t k = 0; k < 4; ++k)
        {
            if (k != 0)
                s.Service();
            s.Take(s.Period(k));
        }
        const auto verdict = s.Judge();
        EXPECT_TRUE(verdict.Clean()) << verdict.Summary();
        EXPECT_EQ(verdict.TakeMap(), "aaaa");
        EXPECT_EQ(verdict.ClientBytesPlayed(8), s.PeriodClientBytes());
        EXPECT_EQ(verdict.ClientBytesPlayed(12), s.PeriodClientBytes() * 3 / 2);
        EXPECT_EQ(verdict.ClientBytesPlayed(32), s.PeriodClientBytes() * 4);
    }
}

TEST(PlayOracle, RejectsADuplicatedPeriod)
{
    Scenario s = Steady();
    for (std::size_t k : {0, 1, 1, 2})
    {
        s.Service();
        s.Take(s.Period(k));
    }
    const auto verdict = s.Judge();
    ASSERT_FALSE(verdict.NoFindings());
    EXPECT_EQ(verdict.findings[0].kind, FindingKind::Repeat);
    EXPECT_EQ(verdict.FirstBadTake(), 2u);
}

TEST(PlayOracle, RejectsASwappedPair)
{
    Scenario s = Steady();
    for (std::size_t k : {0, 2, 1, 3})
    {
        s.Service();
        s.Take(s.Period(k));
    }
    const auto verdict = s.Judge();
    ASSERT_FALSE(verdict.NoFindings());
    EXPECT_EQ(verdict.findings[0].kind, FindingKind::Skip) << "period 1 passed over";
    EXPECT_EQ(verdict.FirstBadTake(), 1u);
    EXPECT_EQ(verdict.TakeMap(), "aXXa");
}

// The half the engine takes still holds what it held two periods before.
TEST(PlayOracle, RejectsAStaleHalf)
{
    Scenario s = Steady();
    s.Take(s.Period(0));
    s.Service();
    s.Take(s.Period(1));
    s.Service();
    s.Take(s.Period(0));
    const auto verdict = s.Judge();
    ASSERT_FALSE(verdict.NoFindings());
    EXPECT_EQ(verdict.findings[0].kind, FindingKind::Repeat);
    EXPECT_EQ(verdict.FirstBadTake(), 2u);
}

TEST(PlayOracle, RejectsAOneByteShift)
{
    for (unsigned bytesPerSample : {2u, 3u, 4u})
    {
        SCOPED_TRACE(bytesPerSample);
        Scenario s = Steady(bytesPerSample);
        s.Take(s.Period(0));
        s.Service();
        s.Take(s.Period(1, 1));
        const auto verdict = s.Judge();
        ASSERT_FALSE(verdict.NoFindings());
        EXPECT_EQ(verdict.findings[0].kind, FindingKind::Corrupt);
        EXPECT_EQ(verdict.FirstBadTake(), 1u);
    }
}

TEST(PlayOracle, RejectsSilenceWhileTheClientsDataWasQueued)
{
    Scenario s = Steady();
    s.Take(s.Period(0));
    s.Service();
    s.Take(s.Silence());
    s.Service();
    s.Take(s.Period(1));
    const auto verdict = s.Judge();
    ASSERT_FALSE(verdict.NoFindings());
    EXPECT_EQ(verdict.findings[0].kind, FindingKind::Gap);
    EXPECT_EQ(verdict.FirstBadTake(), 1u);
}

// Silence where the data came after the Service that filled the half, and
// a period cut short where the rest came late: both allowed.
TEST(PlayOracle, AcceptsSilenceWhereTheClientWasLate)
{
    Scenario s;
    s.Write(0, 1);
    s.Start();
    s.Take(s.Period(0));
    s.Service();
    s.Take(s.Silence());
    const std::size_t period = s.PeriodClientBytes();
    s.WriteBytes(period, period + period / 2);
    s.Service();
    s.Take(s.HalfPeriod(1));
    s.WriteBytes(period + period / 2, 2 * period);
    const auto verdict = s.Judge();
    EXPECT_TRUE(verdict.Clean()) << verdict.Summary();
    EXPECT_EQ(verdict.TakeMap(), "a-p");
    EXPECT_EQ(verdict.ClientBytesPlayed(24), s.PeriodClientBytes() * 3 / 2)
        << "the silence is not counted";
}

// A cancel took back periods 1 to 3 after the port had handed out period 1:
// the device may play that part, then what the client writes next.
TEST(PlayOracle, AcceptsTheHandedOutPartOfACancelledBufferAndNothingBeyondIt)
{
    for (bool playBeyond : {false, true})
    {
        SCOPED_TRACE(playBeyond);
        Scenario s = Steady();
        s.Take(s.Period(0));
        s.Cut(1, s.PeriodClientBytes());
        s.Service();
        s.Take(s.Period(playBeyond ? 2 : 1));
        s.Write(4, 1);
        s.Service();
        s.Take(s.Period(4));
        const auto verdict = s.Judge();
        EXPECT_EQ(verdict.NoFindings(), !playBeyond) << verdict.Summary();
    }
}

// STOP took back periods 1 to 3; after it the device plays what the client
// wrote after it, and nothing written before.
TEST(PlayOracle, AcceptsNothingOfWhatStopTookBack)
{
    for (bool playOld : {false, true})
    {
        SCOPED_TRACE(playOld);
        Scenario s = Steady();
        s.Take(s.Period(0));
        s.Cut(1, 0, /*atStop=*/true);
        s.Write(4, 2);
        s.Start();
        s.Take(s.Period(playOld ? 1 : 4));
        s.Service();
        s.Take(s.Period(5));
        const auto verdict = s.Judge();
        EXPECT_EQ(verdict.NoFindings(), !playOld) << verdict.Summary();
    }
}

// A take the engine made before the Service for it had run: what is wrong
// there is a glitch the design cannot always avoid, reported apart, and the
// frames after it are judged again.
TEST(PlayOracle, ReportsWhatALateTakePlayedAsAGlitchAndJudgesTheFramesAfterIt)
{
    Scenario s = Steady();
    s.Take(s.Period(0));
    s.Service();
    s.Take(s.Period(1));
    s.Take(s.Period(0), /*underrun=*/true); // stale: the Service came late
    s.Service();
    s.Service();
    s.Take(s.Period(2));
    s.Service();
    s.Take(s.Period(2));
    const auto verdict = s.Judge();
    ASSERT_FALSE(verdict.glitches.empty());
    EXPECT_EQ(verdict.glitches[0].kind, FindingKind::Repeat);
    EXPECT_EQ(verdict.glitches[0].take, 2u);
    EXPECT_EQ(verdict.FirstBadTake(), 4u) << "the repeat after the glitch is a finding";
    EXPECT_EQ(verdict.TakeMap(), "aaLaX");
}

} // namespace

// --- the judge beside a stream ------------------------------------------------------

// One stream, made up as it goes: the client writes a period, the stream's
// Service runs, the engine takes the half; every stamp counted here.
class LongStream
{
public:
    static constexpr unsigned kFrames = 64;
    static constexpr host::engine::PlayFormat kFormat{.channels = 2, .bytesPerSample = 2};
    static constexpr std::size_t kPeriodBytes = kFrames * 4;

    // Client period k (any k), and what the device must play for it.
    static Bytes Period(std::size_t k)
    {
        return nuvtest::ClientSamples(kFrames, 2, 2, static_cast<std::uint32_t>(1000 + k));
    }
    // The client's period k, written; then a Service and the take of
    // `played` (period k's containers unless told).
    void Next(std::size_t k, std::optional<std::size_t> played = std::nullopt)
    {
        const Bytes bytes = Period(k);
        journal_.bytes.insert(journal_.bytes.end(), bytes.begin(), bytes.end());
        written_ += bytes.size();
        journal_.writes.push_back({++order_, written_});
        journal_.services.push_back(++order_);
        host::engine::PeriodRecord take;
        take.order = ++order_;
        take.outputBytes = outputBytes_;
        output_.periods.push_back(take);
        const Bytes containers = nuvtest::ExpectedContainers(Period(played.value_or(k)), 2);
        output_.output.insert(output_.output.end(), containers.begin(), containers.end());
        outputBytes_ += containers.size();
    }
    // What happened since the last parts, as the port and engine hand it.
    host::engine::ClientJournal TakeJournal()
    {
        host::engine::ClientJournal part = std::exchange(journal_, {});
        part.firstByte = taken_;
        part.asOf = ++order_;
        taken_ = written_;
        return part;
    }
    host::engine::PlayedOutput TakeOutput()
    {
        host::engine::PlayedOutput part = std::exchange(output_, {});
        part.outputFrom = outputTaken_;
        outputTaken_ = outputBytes_;
        return part;
    }

private:
    host::engine::ClientJournal journal_;
    host::engine::PlayedOutput output_;
    std::uint64_t order_ = 0;
    std::uint64_t written_ = 0;
    std::uint64_t taken_ = 0;
    std::uint64_t outputBytes_ = 0;
    std::uint64_t outputTaken_ = 0;
};

// The output of a take arrives before the journal that says what the client
// had written by then: the judge waits for it, or it would find frames the
// client "never sent".
TEST(PlayJudge, WaitsForTheJournalThatCoversATake)
{
    LongStream stream;
    host::engine::PlayJudge judge(LongStream::kFormat);
    judge.AddClient(stream.TakeJournal());
    stream.Next(0);
    judge.AddPlayed(stream.TakeOutput());
    EXPECT_EQ(judge.FramesJudged(), 0u);
    judge.AddClient(stream.TakeJournal());
    EXPECT_EQ(judge.FramesJudged(), LongStream::kFrames);
    judge.Finish();
    EXPECT_TRUE(judge.Verdict().Clean()) << judge.Verdict().Summary();
}

// An hour or a minute: what the judge holds stays the same, and it still
// judges every frame.
TEST(PlayJudge, HoldsAboutTheSameWhateverTheLength)
{
    LongStream stream;
    host::engine::JudgeLimits limits = host::engine::JudgeLimits::Streaming();
    limits.lookBehindBytes = 8 * LongStream::kPeriodBytes;
    host::engine::PlayJudge judge(LongStream::kFormat, 0, limits);
    constexpr std::size_t kPeriods = 4000;
    std::size_t mostHeld = 0;
    for (std::size_t k = 0; k < kPeriods; ++k)
    {
        stream.Next(k);
        judge.AddClient(stream.TakeJournal());
        judge.AddPlayed(stream.TakeOutput());
        if (k >= 100)
            mostHeld = std::max(mostHeld, judge.HeldBytes());
    }
    judge.Finish();
    const auto& verdict = judge.Verdict();
    EXPECT_TRUE(verdict.Clean()) << verdict.Summary();
    EXPECT_EQ(verdict.clientFramesPlayed, kPeriods * LongStream::kFrames);
    EXPECT_EQ(verdict.takeCount, kPeriods);
    EXPECT_EQ(verdict.ClientBytesPlayed(kPeriods * LongStream::kFrames),
              kPeriods * LongStream::kPeriodBytes);
    // The client's bytes and the output of a whole run are 2 MB; the judge
    // keeps a few periods of each, and 200 take letters.
    EXPECT_LT(mostHeld, 64u * 1024u);
}

// A frame played again from further back than the judge looks is still a
// finding: one the client never sent, as far as the judge can tell. Within
// the look-behind it is a repeat, as the whole-run judge says.
TEST(PlayJudge, AFrameFromBeyondTheLookBehindIsCorruptWithinItARepeat)
{
    for (std::size_t back : {2u, 40u})
    {
        SCOPED_TRACE(back);
        LongStream stream;
        host::engine::JudgeLimits limits;
        limits.lookBehindBytes = 8 * LongStream::kPeriodBytes;
        host::engine::PlayJudge judge(LongStream::kFormat, 0, limits);
        for (std::size_t k = 0; k < 60; ++k)
        {
            stream.Next(k, k == 50 ? std::optional<std::size_t>(50 - back) : std::nullopt);
            judge.AddClient(stream.TakeJournal());
            judge.AddPlayed(stream.TakeOutput());
        }
        judge.Finish();
        const auto& verdict = judge.Verdict();
        ASSERT_FALSE(verdict.NoFindings());
        EXPECT_EQ(verdict.FirstBadTake(), 50u);
        EXPECT_EQ(verdict.findings[0].kind, back == 2 ? FindingKind::Repeat : FindingKind::Corrupt);
    }
}
