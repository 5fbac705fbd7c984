#include "host/engine/playoracle.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <deque>
#include <sstream>
#include <unordered_map>

namespace host::engine
{
namespace
{

constexpr unsigned kContainerBytes = 4;
// Containers and samples are compared as the host holds them.
static_assert(std::endian::native == std::endian::little);
// What is forgotten is dropped in pieces of at least this much, so that
// dropping costs little per byte.
constexpr std::uint64_t kDropGranule = 64 * 1024;

// Where the client's next frame may be: the frame at the cursor, and, past
// a cut that overlaps it, the first frame after the cut. `cutOrder` is the
// stamp of the last cut passed to get there (0: none).
struct Candidate
{
    std::uint64_t offset = 0;
    std::uint64_t cutOrder = 0;    // of the last cut passed to get here
    std::uint64_t insideOrder = 0; // of a cut whose range holds the frame
};

// Ascending stamps, asked for the last one before ascending moments: what
// no later question can need is forgotten.
class StampsBefore
{
public:
    void Add(std::span<const std::uint64_t> stamps)
    {
        const bool ordered = m_stamps.empty() || stamps.empty() || stamps.front() > m_stamps.back();
        m_stamps.insert(m_stamps.end(), stamps.begin(), stamps.end());
        if (!ordered || !std::is_sorted(m_stamps.begin(), m_stamps.end()))
            std::sort(m_stamps.begin(), m_stamps.end());
    }
    // The last stamp before `order`, or 0.
    std::uint64_t LastBefore(std::uint64_t order)
    {
        while (m_stamps.size() >= 2 && m_stamps[1] < order)
            m_stamps.pop_front();
        return !m_stamps.empty() && m_stamps.front() < order ? m_stamps.front() : 0;
    }

private:
    std::deque<std::uint64_t> m_stamps;
};

// Bytes of a stream kept from `Base()` to `End()`, with a few zero bytes
// after the end: a 3-byte sample is read with a 4-byte load.
class ByteWindow
{
public:
    ByteWindow() : m_bytes(kPad, 0) {}
    std::uint64_t Base() const { return m_base; }
    std::uint64_t End() const { return m_base + m_bytes.size() - kPad; }
    std::size_t Held() const { return m_bytes.capacity(); }
    const std::uint8_t* At(std::uint64_t offset) const
    {
        return m_bytes.data() + (offset - m_base);
    }

    // Bytes from stream byte `from` on; what the window holds already is
    // skipped, a gap before them (none in a journal) reads as zeros.
    void Append(std::uint64_t from, std::span<const std::uint8_t> bytes)
    {
        if (End() == m_base && from > m_base)
            m_base = from;
        const std::uint64_t end = End();
        const std::uint64_t skip = std::min<std::uint64_t>(end - std::min(from, end), bytes.size());
        m_bytes.resize(m_bytes.size() - kPad + (from > end ? from - end : 0), 0);
        m_bytes.insert(m_bytes.end(), bytes.begin() + static_cast<std::ptrdiff_t>(skip),
                       bytes.end());
        m_bytes.resize(m_bytes.size() + kPad, 0);
    }
    // Lets go of the bytes before `offset`, in pieces of at least
    // `granule` and half of what is held, so that dropping costs little per
    // byte (some may stay).
    void ForgetBefore(std::uint64_t offset, std::uint64_t granule)
    {
        if (offset <= m_base)
            return;
        const std::uint64_t drop = std::min(offset, End()) - m_base;
        if (drop < granule || drop < m_bytes.size() / 2)
            return;
        m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<std::ptrdiff_t>(drop));
        m_base += drop;
    }

private:
    static constexpr std::size_t kPad = 4;
    std::vector<std::uint8_t> m_bytes;
    std::uint64_t m_base = 0;
};

// The container a client sample of B bytes converts to (the sample at its
// top); a 3-byte sample is loaded with the byte after it, shifted out.
template <unsigned B> std::uint32_t ContainerOf(const std::uint8_t* sample)
{
    std::uint32_t value = 0;
    if constexpr (B == 2)
    {
        std::uint16_t half = 0;
        std::memcpy(&half, sample, 2);
        value = std::uint32_t{half} << 16;
    }
    else
    {
        std::memcpy(&value, sample, 4);
        value <<= 32 - 8 * B;
    }
    return value;
}

// How many of the first `frames` output frames hold the conversion of the
// client's frames at `client`, one after the other.
template <unsigned B>
std::uint64_t MatchingFrames(const std::uint8_t* played, const std::uint8_t* client,
                             std::uint64_t frames, unsigned channels)
{
    // Blocks without a branch inside, then the frame within a block.
    constexpr std::uint64_t kBlockFrames = 32;
    std::uint64_t done = 0;
    while (done < frames)
    {
        const std::uint64_t n = std::min(kBlockFrames, frames - done);
        const std::uint8_t* out = played + done * channels * kContainerBytes;
        const std::uint8_t* in = client + done * channels * B;
        std::uint32_t differ = 0;
        for (std::uint64_t k = 0; k < n * channels; ++k)
        {
            std::uint32_t container = 0;
            std::memcpy(&container, out + k * kContainerBytes, kContainerBytes);
            differ |= container ^ ContainerOf<B>(in + k * B);
        }
        if (differ != 0)
        {
            for (std::uint64_t f = 0; f < n; ++f)
            {
                for (unsigned c = 0; c < channels; ++c)
                {
                    const std::uint64_t k = f * channels + c;
                    std::uint32_t container = 0;
                    std::memcpy(&container, out + k * kContainerBytes, kContainerBytes);
                    if (container != ContainerOf<B>(in + k * B))
                        return done + f;
                }
            }
        }
        done += n;
    }
    return frames;
}

using MatchingFn = std::uint64_t (*)(const std::uint8_t*, const std::uint8_t*, std::uint64_t,
                                     unsigned);

MatchingFn MatchingFor(unsigned bytesPerSample)
{
    switch (bytesPerSample)
    {
    case 2:
        return &MatchingFrames<2>;
    case 3:
        return &MatchingFrames<3>;
    case 4:
        return &MatchingFrames<4>;
    default:
        return nullptr;
    }
}

} // namespace

// The walk over the device's output, frame by frame, with what it needs of
// the client's journal; see the top of playoracle.h for the rules.
class PlayJudge::Walk
{
public:
    Walk(const PlayFormat& format, std::uint64_t since, JudgeLimits limits)
        : m_since(since), m_limits(limits), m_bytesPerSample(format.bytesPerSample),
          m_channels(format.channels), m_frameBytes(format.channels * format.bytesPerSample),
          m_containerFrameBytes(format.channels * kContainerBytes),
          m_matching(MatchingFor(format.bytesPerSample))
    {
        m_verdict.clientFrameBytes = m_frameBytes;
        m_origins.push_back(0);
    }

    void AddClient(const ClientJournal& part);
    void AddPlayed(std::uint64_t outputFrom, std::span<const BYTE> output,
                   std::span<const PeriodRecord> takes, std::span<const std::uint64_t> starts,
                   std::uint64_t asOf);
    void Finish();
    const PlayVerdict& Verdict() const { return m_verdict; }
    std::uint64_t FramesJudged() const { return m_outputFrame; }
    std::size_t HeldBytes() const
    {
        return m_bytes.Held() + m_output.capacity() +
               (m_writes.size() + m_cuts.size() + m_stops.size()) * sizeof(ClientJournal::Cut) +
               m_takes.size() * sizeof(PeriodRecord) +
               (m_origins.size() + m_openStops.size()) * sizeof(std::uint64_t) +
               m_stopEnds.size() * sizeof(StopEnd) + m_indexedFrames.size() * 64 +
               m_verdict.takes.capacity() * sizeof(TakeVerdict) +
               m_verdict.played.capacity() * sizeof(PlayedRun);
    }
    std::optional<PlayedSinceStop> PlayedAt(std::uint64_t order, std::uint64_t outputBytes) const;
    void HoldPlayedFrom(std::optional<std::uint64_t> outputBytes) { m_holdFrom = outputBytes; }

private:
    bool Permitted(const PeriodRecord& take) const
    {
        return m_finishing || take.order < m_clientAsOf;
    }
    std::uint64_t OutputEnd() const { return m_viewBase + m_viewSize; }
    // The output being judged: the part as it arrived, or the part kept.
    void ViewKept()
    {
        m_view = m_output.data();
        m_viewBase = m_outputBase;
        m_viewSize = m_output.size();
    }
    void DropJudgedOutput();
    void Advance();
    void BeginTake(const PeriodRecord& take);
    void EndTake();
    void JudgeUpTo(std::uint64_t end);
    std::uint64_t FastRun(const std::uint8_t* frames, std::uint64_t count);
    void JudgeFrame(const std::uint8_t* frame);
    void Account(bool rising, std::uint64_t frames);
    void Report(bool glitch, const Finding& finding);
    void ForgetBehind();
    void EndStopsBefore(std::uint64_t order);
    std::optional<std::uint64_t> FramesAt(std::uint64_t outputBytes) const;
    std::size_t RunsBeforeHold() const;

    bool Silent(const std::uint8_t* frame) const
    {
        return std::all_of(frame, frame + m_containerFrameBytes,
                           [](std::uint8_t b) { return b == 0; });
    }

    // Whether the containers are the conversion of the client frame at
    // `offset`.
    bool IsClientFrame(const std::uint8_t* frame, std::uint64_t offset) const
    {
        const std::uint8_t* client = m_bytes.At(offset);
        const unsigned low = kContainerBytes - m_bytesPerSample;
        for (unsigned c = 0; c < m_channels; ++c)
        {
            const std::uint8_t* container = frame + c * kContainerBytes;
            for (unsigned b = 0; b < low; ++b)
            {
                if (container[b] != 0)
                    return false;
            }
            if (std::memcmp(container + low, client + c * m_bytesPerSample, m_bytesPerSample) != 0)
                return false;
        }
        return true;
    }

    bool ClientFrameSilent(std::uint64_t offset) const
    {
        const std::uint8_t* client = m_bytes.At(offset);
        return std::all_of(client, client + m_frameBytes, [](std::uint8_t b) { return b == 0; });
    }

    // The first cut whose range reaches past `offset`, if the frame there
    // overlaps it.
    const ClientJournal::Cut* CutOver(std::uint64_t offset) const
    {
        for (const ClientJournal::Cut& cut : m_cuts)
        {
            if (cut.to > offset)
            {
                if (offset + m_frameBytes > cut.from)
                    return &cut;
                return nullptr;
            }
        }
        return nullptr;
    }

    void Candidates(std::uint64_t cursor)
    {
        m_candidates.clear();
        std::uint64_t at = cursor;
        std::uint64_t cutOrder = 0;
        for (int hops = 0; hops < 64; ++hops)
        {
            const ClientJournal::Cut* cut = CutOver(at);
            if (cut == nullptr)
            {
                if (at + m_frameBytes <= m_bytes.End())
                    m_candidates.push_back({at, cutOrder});
                break;
            }
            if (at + m_frameBytes <= cut->handedOut)
                m_candidates.push_back({at, cutOrder, cut->order});
            if (cut->to <= at)
                break;
            at = cut->to;
            cutOrder = cut->order;
        }
    }

    // When the client's bytes up to `end` had all been written.
    std::uint64_t WrittenOrder(std::uint64_t end) const
    {
        auto it = std::lower_bound(m_writes.begin(), m_writes.end(), end,
                                   [](const ClientJournal::Write& write, std::uint64_t value)
                                   { return write.end < value; });
        return it == m_writes.end() ? ~0ull : it->order;
    }

    std::uint64_t HashOf(const std::uint8_t* bytes) const
    {
        std::uint64_t hash = 1469598103934665603ull;
        for (unsigned i = 0; i < m_frameBytes; ++i)
            hash = (hash ^ bytes[i]) * 1099511628211ull;
        return hash;
    }

    void ExtendIndex();
    void ForgetIndexBefore(std::uint64_t offset);
    std::optional<std::uint64_t> Locate(const std::uint8_t* frame, std::uint64_t cursor);

    const std::uint64_t m_since;
    const JudgeLimits m_limits;
    const unsigned m_bytesPerSample;
    const unsigned m_channels;
    const unsigned m_frameBytes;
    const unsigned m_containerFrameBytes;
    const MatchingFn m_matching;

    // The client's side, as far as the walk still needs it.
    ByteWindow m_bytes;
    std::deque<ClientJournal::Write> m_writes;
    std::deque<ClientJournal::Cut> m_cuts;
    std::deque<ClientJournal::Cut> m_stops; // not yet applied
    StampsBefore m_services;
    std::uint64_t m_clientAsOf = 0;
    bool m_finishing = false;

    // The device's side, not yet judged.
    StampsBefore m_starts;
    std::deque<PeriodRecord> m_takes;
    std::vector<BYTE> m_output; // kept: not judged when its part came
    std::uint64_t m_outputBase = 0;
    const BYTE* m_view = nullptr;
    std::uint64_t m_viewBase = 0;
    std::uint64_t m_viewSize = 0;

    // The walk.
    std::uint64_t m_cursor = 0;
    std::uint64_t m_playedBytes = 0;
    std::uint64_t m_outputFrame = 0;
    bool m_previousLate = false;
    std::optional<PeriodRecord> m_take;
    std::size_t m_takeNumber = 0;
    std::uint64_t m_decided = 0;
    bool m_glitchWindow = false;
    TakeVerdict m_taken;
    std::uint64_t m_position = 0;          // output byte of the next frame to judge
    std::uint64_t m_lateSilenceAt = ~0ull; // the cursor where silence came too late
    std::vector<Candidate> m_candidates;

    // Every frame the client wrote, on the grid each cut starts afresh,
    // indexed by its bytes: where a frame played out of turn came from.
    // Built when first needed, over the bytes the window holds.
    std::deque<std::uint64_t> m_origins; // grid starts: 0 and each cut's end
    bool m_indexed = false;
    std::uint64_t m_indexNext = 0; // the next frame on the current grid
    std::unordered_multimap<std::uint64_t, std::uint64_t> m_index;
    std::deque<std::pair<std::uint64_t, std::uint64_t>>
        m_indexedFrames; // (offset, hash), ascending

    // What a position is judged against (PlayedAt): where the first take
    // judged began, what each STOP ended (the client bytes played before
    // it), the STOPs whose end is not known yet, and how recent the output
    // is.
    struct StopEnd
    {
        std::uint64_t order = 0;
        std::uint64_t played = 0;
    };
    std::optional<std::uint64_t> m_origin;
    std::vector<StopEnd> m_stopEnds;
    std::deque<std::uint64_t> m_openStops;
    std::uint64_t m_outputAsOf = 0;
    std::optional<std::uint64_t> m_holdFrom; // output byte

    PlayVerdict m_verdict;
};

void PlayJudge::Walk::AddClient(const ClientJournal& part)
{
    m_bytes.Append(part.firstByte, part.bytes);
    m_writes.insert(m_writes.end(), part.writes.begin(), part.writes.end());
    for (const ClientJournal::Cut& cut : part.cuts)
    {
        m_cuts.push_back(cut);
        if (cut.atStop)
            m_stops.push_back(cut);
        if (cut.atStop && cut.order > m_since)
            m_openStops.push_back(cut.order);
        m_origins.push_back(cut.to);
    }
    m_services.Add(part.services);
    m_clientAsOf = std::max(m_clientAsOf, part.asOf);
    Advance();
    DropJudgedOutput();
}

void PlayJudge::Walk::AddPlayed(std::uint64_t outputFrom, std::span<const BYTE> output,
                                std::span<const PeriodRecord> takes,
                                std::span<const std::uint64_t> starts, std::uint64_t asOf)
{
    m_outputAsOf = std::max(m_outputAsOf, asOf);
    m_starts.Add(starts);
    for (const PeriodRecord& take : takes)
    {
        if (take.order > m_since)
            m_takes.push_back(take);
    }
    if (!m_output.empty())
    {
        const std::uint64_t end = m_outputBase + m_output.size();
        if (outputFrom > end)
            m_output.resize(m_output.size() + (outputFrom - end), 0);
        const std::uint64_t skip =
            std::min<std::uint64_t>(end - std::min(outputFrom, end), output.size());
        m_output.insert(m_output.end(), output.begin() + static_cast<std::ptrdiff_t>(skip),
                        output.end());
        ViewKept();
        Advance();
        DropJudgedOutput();
        return;
    }
    // Nothing waits: the part is judged where it lies, and only what is
    // left of it kept.
    const std::uint64_t skip =
        std::min<std::uint64_t>(m_outputBase - std::min(outputFrom, m_outputBase), output.size());
    m_view = output.data() + skip;
    m_viewBase = std::max(m_outputBase, outputFrom);
    m_viewSize = output.size() - skip;
    Advance();
    const std::uint64_t keep = std::max(std::min(m_position, OutputEnd()), m_viewBase);
    m_output.assign(m_view + (keep - m_viewBase), m_view + m_viewSize);
    m_outputBase = keep;
    ViewKept();
}

// Output before the next frame to judge is not looked at again.
void PlayJudge::Walk::DropJudgedOutput()
{
    const std::uint64_t judged = std::min(m_position, OutputEnd());
    if (judged > m_outputBase && (judged - m_outputBase >= kDropGranule || judged == OutputEnd()) &&
        judged - m_outputBase >= m_output.size() / 2)
    {
        m_output.erase(m_output.begin(),
                       m_output.begin() + static_cast<std::ptrdiff_t>(judged - m_outputBase));
        m_outputBase = judged;
        ViewKept();
    }
}

void PlayJudge::Walk::Finish()
{
    m_finishing = true;
    Advance();
    if (m_take)
        EndTake();
    EndStopsBefore(~0ull);
}

// Judges every take the journal covers, as far as its output has come.
void PlayJudge::Walk::Advance()
{
    if (m_frameBytes == 0)
        return;
    for (;;)
    {
        if (!m_take)
        {
            if (m_takes.empty() || !Permitted(m_takes.front()))
                break;
            BeginTake(m_takes.front());
            m_takes.pop_front();
        }
        // The take's frames end where the next take's begin.
        std::uint64_t end = OutputEnd();
        bool complete = m_finishing;
        if (!m_takes.empty())
        {
            complete = complete || m_takes.front().outputBytes <= end;
            end = std::min<std::uint64_t>(end, m_takes.front().outputBytes);
        }
        JudgeUpTo(end);
        if (!complete)
            break;
        EndTake();
    }
    // Output of takes not judged (before `since`) has nothing to wait for.
    if (!m_take && m_takes.empty())
        m_position = std::max(m_position, OutputEnd());
    // The engine plays nothing of a stream after its STOP: once the output
    // of every moment before it is in and judged, the STOP's end is known.
    if (m_position >= OutputEnd())
        EndStopsBefore(m_outputAsOf);
    ForgetBehind();
}

// What the STOPs before `order` ended: everything played so far.
void PlayJudge::Walk::EndStopsBefore(std::uint64_t order)
{
    while (!m_openStops.empty() && m_openStops.front() < order)
    {
        m_stopEnds.push_back({m_openStops.front(), m_playedBytes});
        m_openStops.pop_front();
    }
}

void PlayJudge::Walk::BeginTake(const PeriodRecord& take)
{
    // A run ends where the first take after its STOP begins.
    EndStopsBefore(take.order);
    if (!m_origin)
        m_origin = take.outputBytes;
    // What STOP took back is not played after it: the first take after it
    // starts with what the client wrote after it.
    while (!m_stops.empty() && m_stops.front().order < take.order)
    {
        m_cursor = std::max(m_cursor, m_stops.front().to);
        m_stops.pop_front();
    }
    m_take = take;
    m_takeNumber = m_verdict.takeCount;
    m_taken = {};
    m_taken.late = take.underrun;
    m_glitchWindow = take.underrun || m_previousLate;
    m_decided = std::max(m_services.LastBefore(take.order), m_starts.LastBefore(take.order));
    m_lateSilenceAt = ~0ull;
    m_position = std::max<std::uint64_t>(take.outputBytes, m_viewBase);
}

void PlayJudge::Walk::EndTake()
{
    if (m_verdict.takes.size() < m_limits.keptTakes)
        m_verdict.takes.push_back(m_taken);
    ++m_verdict.takeCount;
    m_previousLate = m_take->underrun;
    m_take.reset();
}

void PlayJudge::Walk::JudgeUpTo(std::uint64_t end)
{
    end = std::min(end, OutputEnd());
    while (m_position + m_containerFrameBytes <= end)
    {
        const std::uint8_t* frame = m_view + (m_position - m_viewBase);
        const std::uint64_t count = (end - m_position) / m_containerFrameBytes;
        const std::uint64_t run = FastRun(frame, count);
        m_position += run * m_containerFrameBytes;
        if (run < count)
        {
            JudgeFrame(frame + run * m_containerFrameBytes);
            m_position += m_containerFrameBytes;
        }
    }
}

// The client's next frames played in turn, where no cut is near and every
// frame was written: the frames JudgeFrame would accept one by one with a
// single candidate, accepted together. Returns how many.
std::uint64_t PlayJudge::Walk::FastRun(const std::uint8_t* frames, std::uint64_t count)
{
    if (m_matching == nullptr || m_cursor + m_frameBytes > m_bytes.End())
        return 0;
    // Silence waiting here for data written too late: frame by frame.
    if (m_cursor == m_lateSilenceAt && Silent(frames))
        return 0;
    std::uint64_t limit = (m_bytes.End() - m_cursor) / m_frameBytes;
    for (const ClientJournal::Cut& cut : m_cuts)
    {
        if (cut.to <= m_cursor)
            continue;
        if (m_cursor + m_frameBytes > cut.from)
            return 0;
        limit = std::min(limit, (cut.from - m_cursor) / m_frameBytes);
        break;
    }
    std::uint64_t accepted =
        m_matching(frames, m_bytes.At(m_cursor), std::min(count, limit), m_channels);
    // Silence for the client's digital silence is that frame only if it
    // was written before the stream decided what the half would hold; the
    // other frames need no such look.
    if (accepted != 0 && WrittenOrder(m_cursor + accepted * m_frameBytes) >= m_decided)
    {
        std::uint64_t loud = 0;
        while (loud < accepted && !Silent(frames + loud * m_containerFrameBytes))
            ++loud;
        if (loud == 0)
            m_lateSilenceAt = m_cursor;
        accepted = loud;
    }
    if (accepted == 0)
        return 0;
    if (!m_taken.firstClientOffset)
        m_taken.firstClientOffset = m_cursor;
    m_taken.frames += accepted;
    m_taken.clientFrames += accepted;
    m_verdict.framesPlayed += accepted;
    m_verdict.clientFramesPlayed += accepted;
    m_cursor += accepted * m_frameBytes;
    Account(true, accepted);
    return accepted;
}

void PlayJudge::Walk::JudgeFrame(const std::uint8_t* frame)
{
    ++m_taken.frames;
    ++m_verdict.framesPlayed;
    Candidates(m_cursor);
    const Candidate* match = nullptr;
    const bool silent = Silent(frame);
    for (const Candidate& candidate : m_candidates)
    {
        // Silence where the client's frame is digital silence too is that
        // frame if it was written in time for this period, and silence
        // inserted for a late client otherwise.
        const bool same = silent ? ClientFrameSilent(candidate.offset) &&
                                       WrittenOrder(candidate.offset + m_frameBytes) < m_decided
                                 : IsClientFrame(frame, candidate.offset);
        if (same)
        {
            match = &candidate;
            break;
        }
    }
    bool adds = false;
    if (match != nullptr)
    {
        if (!m_taken.firstClientOffset)
            m_taken.firstClientOffset = match->offset;
        m_cursor = match->offset + m_frameBytes;
        adds = true;
        ++m_taken.clientFrames;
        ++m_verdict.clientFramesPlayed;
    }
    else if (silent)
    {
        ++m_taken.silentFrames;
        ++m_verdict.silentFrames;
        // The frame due next: the first one that no cut made before this
        // take holds (the stream may have dropped the rest of what a cut
        // took back).
        const Candidate* due = nullptr;
        for (const Candidate& candidate : m_candidates)
        {
            if (candidate.insideOrder == 0 || candidate.insideOrder > m_take->order)
            {
                due = &candidate;
                break;
            }
        }
        if (due != nullptr && !m_glitchWindow &&
            WrittenOrder(due->offset + m_frameBytes) < m_decided)
        {
            ++m_taken.badFrames;
            Report(false,
                   {FindingKind::Gap, m_takeNumber, m_outputFrame, due->offset, std::nullopt});
        }
    }
    else
    {
        ++m_taken.badFrames;
        Finding finding{FindingKind::Corrupt, m_takeNumber, m_outputFrame, m_cursor, std::nullopt};
        finding.playedOffset = Locate(frame, m_cursor);
        if (finding.playedOffset)
        {
            if (*finding.playedOffset >= m_cursor)
            {
                finding.kind = FindingKind::Skip;
                m_cursor = *finding.playedOffset + m_frameBytes;
                adds = true;
            }
            else
            {
                finding.kind = FindingKind::Repeat;
            }
        }
        Report(m_glitchWindow, finding);
    }
    Account(adds, 1);
}

// `frames` output frames judged, each adding a client frame or not.
void PlayJudge::Walk::Account(bool rising, std::uint64_t frames)
{
    std::vector<PlayedRun>& runs = m_verdict.played;
    if (runs.empty() || runs.back().rising != rising)
    {
        if (runs.size() >= m_limits.keptPlayedRuns)
        {
            const std::size_t drop = std::min(runs.size() / 2, RunsBeforeHold());
            runs.erase(runs.begin(), runs.begin() + static_cast<std::ptrdiff_t>(drop));
        }
        runs.push_back({m_outputFrame, m_playedBytes, rising});
    }
    m_outputFrame += frames;
    if (rising)
        m_playedBytes += frames * m_frameBytes;
}

// The output frames before `outputBytes`, counted from the first take
// judged; nullopt while that is not known (nothing of the stream judged,
// and the output so far may all be a pin's before it).
std::optional<std::uint64_t> PlayJudge::Walk::FramesAt(std::uint64_t outputBytes) const
{
    if (m_origin)
        return outputBytes > *m_origin ? (outputBytes - *m_origin) / m_containerFrameBytes : 0;
    // The first take is not judged yet: it begins at or after the output
    // that came before it.
    const std::uint64_t first = m_takes.empty() ? OutputEnd() : m_takes.front().outputBytes;
    if (m_finishing || outputBytes <= first)
        return 0;
    return std::nullopt;
}

// The played runs before the one a held question needs (all of them when
// nothing is held).
std::size_t PlayJudge::Walk::RunsBeforeHold() const
{
    const std::vector<PlayedRun>& runs = m_verdict.played;
    if (!m_holdFrom)
        return runs.size();
    const std::optional<std::uint64_t> frames = FramesAt(*m_holdFrom);
    if (!frames || *frames == 0)
        return 0;
    auto run =
        std::upper_bound(runs.begin(), runs.end(), *frames - 1,
                         [](std::uint64_t frame, const PlayedRun& r) { return frame < r.frame; });
    return run == runs.begin() ? 0 : static_cast<std::size_t>(run - runs.begin()) - 1;
}

std::optional<PlayedSinceStop> PlayJudge::Walk::PlayedAt(std::uint64_t order,
                                                         std::uint64_t outputBytes) const
{
    if (m_frameBytes == 0)
        return std::nullopt;
    // A STOP before `order` may be in a journal part still to come, or its
    // end not known yet.
    if (!m_finishing &&
        (order >= m_clientAsOf || (!m_openStops.empty() && m_openStops.front() < order)))
        return std::nullopt;
    const std::optional<std::uint64_t> frames = FramesAt(outputBytes);
    if (!frames || (!m_finishing && *frames > m_outputFrame))
        return std::nullopt;
    PlayedSinceStop since;
    since.bytes = m_verdict.ClientBytesPlayed(*frames);
    while (since.run < m_stopEnds.size() && m_stopEnds[since.run].order < order)
        ++since.run;
    if (since.run > 0)
        since.bytes -= m_stopEnds[since.run - 1].played;
    return since;
}

void PlayJudge::Walk::Report(bool glitch, const Finding& finding)
{
    std::vector<Finding>& list = glitch ? m_verdict.glitches : m_verdict.findings;
    std::size_t& count = glitch ? m_verdict.glitchCount : m_verdict.findingCount;
    if (list.size() < PlayVerdict::kKeptFindings)
        list.push_back(finding);
    ++count;
}

// Lets go of what no frame still to come can need: the journal's writes and
// cuts behind the cursor, and the client's bytes further behind it than the
// look-behind.
void PlayJudge::Walk::ForgetBehind()
{
    // Candidates and WrittenOrder look at the cursor and beyond.
    while (!m_writes.empty() && m_writes.front().end <= m_cursor)
        m_writes.pop_front();
    while (!m_cuts.empty() && m_cuts.front().to <= m_cursor)
        m_cuts.pop_front();
    if (m_limits.lookBehindBytes == JudgeLimits::kAll || m_cursor <= m_limits.lookBehindBytes)
        return;
    const std::uint64_t keepFrom = m_cursor - m_limits.lookBehindBytes;
    m_bytes.ForgetBefore(keepFrom, std::min(kDropGranule, m_limits.lookBehindBytes));
    ForgetIndexBefore(m_bytes.Base());
    // The grid in force at the window's start, and the ones after it.
    while (m_origins.size() >= 2 && m_origins[1] <= m_bytes.Base())
        m_origins.pop_front();
}

void PlayJudge::Walk::ExtendIndex()
{
    // First, or after the window let go of the frames it had come to: on
    // from the window's start, on the grid in force there.
    if (!m_indexed || m_indexNext < m_bytes.Base())
    {
        m_indexed = true;
        const std::uint64_t grid = m_origins.front();
        const std::uint64_t from = std::max(grid, m_bytes.Base());
        m_indexNext = grid + (from - grid + m_frameBytes - 1) / m_frameBytes * m_frameBytes;
    }
    for (;;)
    {
        while (m_origins.size() >= 2 && m_origins[1] <= m_origins[0])
            m_origins.erase(m_origins.begin() + 1);
        if (m_origins.size() >= 2 && m_indexNext >= m_origins[1])
        {
            m_origins.pop_front();
            m_indexNext = m_origins.front();
            continue;
        }
        if (m_indexNext + m_frameBytes > m_bytes.End())
            break;
        const std::uint64_t hash = HashOf(m_bytes.At(m_indexNext));
        m_index.emplace(hash, m_indexNext);
        m_indexedFrames.emplace_back(m_indexNext, hash);
        m_indexNext += m_frameBytes;
    }
}

// Frames whose bytes the window let go of leave the index.
void PlayJudge::Walk::ForgetIndexBefore(std::uint64_t offset)
{
    while (!m_indexedFrames.empty() && m_indexedFrames.front().first < offset)
    {
        const auto [at, hash] = m_indexedFrames.front();
        m_indexedFrames.pop_front();
        auto [first, last] = m_index.equal_range(hash);
        for (auto it = first; it != last; ++it)
        {
            if (it->second == at)
            {
                m_index.erase(it);
                break;
            }
        }
    }
}

std::optional<std::uint64_t> PlayJudge::Walk::Locate(const std::uint8_t* frame,
                                                     std::uint64_t cursor)
{
    std::vector<std::uint8_t> client(m_frameBytes);
    const unsigned low = kContainerBytes - m_bytesPerSample;
    for (unsigned c = 0; c < m_channels; ++c)
    {
        const std::uint8_t* container = frame + c * kContainerBytes;
        for (unsigned b = 0; b < low; ++b)
        {
            if (container[b] != 0)
                return std::nullopt;
        }
        std::memcpy(client.data() + c * m_bytesPerSample, container + low, m_bytesPerSample);
    }
    ExtendIndex();
    std::optional<std::uint64_t> after;
    std::optional<std::uint64_t> before;
    auto [first, last] = m_index.equal_range(HashOf(client.data()));
    for (auto it = first; it != last; ++it)
    {
        const std::uint64_t at = it->second;
        if (std::memcmp(m_bytes.At(at), client.data(), m_frameBytes) != 0)
            continue;
        if (at >= cursor && (!after || at < *after))
            after = at;
        if (at < cursor && (!before || at > *before))
            before = at;
    }
    return after ? after : before;
}

JudgeLimits JudgeLimits::Streaming()
{
    JudgeLimits limits;
    limits.lookBehindBytes = 1u << 20;
    limits.keptTakes = 200;
    limits.keptPlayedRuns = 4096;
    return limits;
}

PlayJudge::PlayJudge(const PlayFormat& format, std::uint64_t since, JudgeLimits limits)
    : m_walk(std::make_unique<Walk>(format, since, limits))
{
}

PlayJudge::~PlayJudge() = default;

void PlayJudge::AddClient(const ClientJournal& part)
{
    m_walk->AddClient(part);
}

void PlayJudge::AddPlayed(const PlayedOutput& part)
{
    m_walk->AddPlayed(part.outputFrom, part.output, part.periods, part.startOrders, part.asOf);
}

void PlayJudge::AddPlayed(std::uint64_t outputFrom, std::span<const BYTE> output,
                          std::span<const PeriodRecord> takes,
                          std::span<const std::uint64_t> starts, std::uint64_t asOf)
{
    m_walk->AddPlayed(outputFrom, output, takes, starts, asOf);
}

void PlayJudge::Finish()
{
    m_walk->Finish();
}

const PlayVerdict& PlayJudge::Verdict() const
{
    return m_walk->Verdict();
}

std::uint64_t PlayJudge::FramesJudged() const
{
    return m_walk->FramesJudged();
}

std::size_t PlayJudge::HeldBytes() const
{
    return m_walk->HeldBytes();
}

std::optional<PlayedSinceStop> PlayJudge::PlayedAt(std::uint64_t order,
                                                   std::uint64_t outputBytes) const
{
    return m_walk->PlayedAt(order, outputBytes);
}

void PlayJudge::HoldPlayedFrom(std::optional<std::uint64_t> outputBytes)
{
    m_walk->HoldPlayedFrom(outputBytes);
}

const char* FindingName(FindingKind kind)
{
    switch (kind)
    {
    case FindingKind::Gap:
        return "silence while the client's next frame was queued in time";
    case FindingKind::Repeat:
        return "a frame played again or out of order";
    case FindingKind::Skip:
        return "frames passed over";
    case FindingKind::Corrupt:
        return "a frame the client never sent (shifted, torn or stale)";
    }
    return "?";
}

std::string Finding::Describe(unsigned frameBytes) const
{
    std::ostringstream text;
    text << FindingName(kind) << ": take " << take << ", output frame " << outputFrame
         << "; due: client frame at byte " << expectedOffset;
    if (frameBytes != 0)
        text << " (frame " << expectedOffset / frameBytes << ")";
    if (playedOffset)
    {
        text << ", played: the one at byte " << *playedOffset;
        if (frameBytes != 0)
            text << " (frame " << *playedOffset / frameBytes << ")";
    }
    return text.str();
}

char TakeVerdict::Letter() const
{
    if (frames == 0)
        return '.';
    if (badFrames != 0)
        return late ? 'L' : 'X';
    if (clientFrames == 0)
        return '-';
    if (silentFrames == 0)
        return 'a';
    return 'p';
}

std::optional<std::size_t> PlayVerdict::FirstBadTake() const
{
    if (findings.empty())
        return std::nullopt;
    return findings.front().take;
}

std::uint64_t PlayVerdict::ClientBytesPlayed(std::uint64_t outputFrames) const
{
    outputFrames = std::min(outputFrames, framesPlayed);
    if (outputFrames == 0 || played.empty())
        return 0;
    // The run that holds the last of those frames.
    auto run =
        std::upper_bound(played.begin(), played.end(), outputFrames - 1,
                         [](std::uint64_t frame, const PlayedRun& r) { return frame < r.frame; });
    if (run == played.begin())
        return played.front().bytes;
    --run;
    return run->bytes + (run->rising ? (outputFrames - run->frame) * clientFrameBytes : 0);
}

std::string PlayVerdict::TakeMap() const
{
    std::string map;
    for (const TakeVerdict& take : takes)
        map += take.Letter();
    return map;
}

std::string PlayVerdict::Summary() const
{
    std::ostringstream text;
    text << (findingCount == 0 ? "every frame once, in order, intact" : "FINDINGS") << ": "
         << framesPlayed << " frames played in " << takeCount << " periods, " << clientFramesPlayed
         << " of them the client's, " << silentFrames << " silent; " << findingCount
         << " findings, " << glitchCount << " glitches at late periods\n";
    text << "periods: " << TakeMap();
    if (takeCount > takes.size())
        text << "... (" << takeCount - takes.size() << " more)";
    text << "\n";
    for (const Finding& finding : findings)
        text << "finding: " << finding.Describe(clientFrameBytes) << "\n";
    for (const Finding& glitch : glitches)
        text << "glitch: " << glitch.Describe(clientFrameBytes) << "\n";
    return text.str();
}

PlayVerdict JudgePlayback(const ClientJournal& journal, const StreamState& record,
                          const PlayFormat& format, std::uint64_t since)
{
    PlayJudge judge(format, since);
    judge.AddClient(journal);
    judge.AddPlayed(record.outputTaken, record.output, record.periods, record.startOrders);
    judge.Finish();
    return judge.Verdict();
}

} // namespace host::engine
