#include "host/engine/playoracle.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <unordered_map>

namespace host::engine
{
namespace
{

constexpr unsigned kContainerBytes = 4;

// Where the client's next frame may be: the frame at the cursor, and, past
// a cut that overlaps it, the first frame after the cut. `cutOrder` is the
// stamp of the last cut passed to get there (0: none).
struct Candidate
{
    std::uint64_t offset = 0;
    std::uint64_t cutOrder = 0;    // of the last cut passed to get here
    std::uint64_t insideOrder = 0; // of a cut whose range holds the frame
};

// The stamp of the last event in `orders` (ascending) before `order`, or 0.
std::uint64_t LastBefore(const std::vector<std::uint64_t>& orders, std::uint64_t order)
{
    auto it = std::lower_bound(orders.begin(), orders.end(), order);
    return it == orders.begin() ? 0 : *(it - 1);
}

class Walk
{
public:
    Walk(const ClientJournal& journal, const StreamState& record, const PlayFormat& format,
         std::uint64_t since)
        : m_journal(journal), m_record(record), m_since(since),
          m_bytesPerSample(format.bytesPerSample), m_channels(format.channels),
          m_frameBytes(format.channels * format.bytesPerSample),
          m_containerFrameBytes(format.channels * kContainerBytes), m_written(journal.bytes.size())
    {
        m_services = journal.services;
        std::sort(m_services.begin(), m_services.end());
        m_starts = record.startOrders;
        std::sort(m_starts.begin(), m_starts.end());
    }

    PlayVerdict Run();

private:
    bool Silent(const std::uint8_t* frame) const
    {
        return std::all_of(frame, frame + m_containerFrameBytes,
                           [](std::uint8_t b) { return b == 0; });
    }

    // Whether the containers are the conversion of the client frame at
    // `offset`.
    bool IsClientFrame(const std::uint8_t* frame, std::uint64_t offset) const
    {
        const std::uint8_t* client = m_journal.bytes.data() + offset;
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
        const std::uint8_t* client = m_journal.bytes.data() + offset;
        return std::all_of(client, client + m_frameBytes, [](std::uint8_t b) { return b == 0; });
    }

    // The first cut whose range reaches past `offset`, if the frame there
    // overlaps it.
    const ClientJournal::Cut* CutOver(std::uint64_t offset) const
    {
        for (const ClientJournal::Cut& cut : m_journal.cuts)
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

    std::vector<Candidate> Candidates(std::uint64_t cursor) const
    {
        std::vector<Candidate> candidates;
        std::uint64_t at = cursor;
        std::uint64_t cutOrder = 0;
        for (int hops = 0; hops < 64; ++hops)
        {
            const ClientJournal::Cut* cut = CutOver(at);
            if (cut == nullptr)
            {
                if (at + m_frameBytes <= m_written)
                    candidates.push_back({at, cutOrder});
                break;
            }
            if (at + m_frameBytes <= cut->handedOut)
                candidates.push_back({at, cutOrder, cut->order});
            if (cut->to <= at)
                break;
            at = cut->to;
            cutOrder = cut->order;
        }
        return candidates;
    }

    // When the client's bytes up to `end` had all been written.
    std::uint64_t WrittenOrder(std::uint64_t end) const
    {
        auto it = std::lower_bound(m_journal.writes.begin(), m_journal.writes.end(), end,
                                   [](const ClientJournal::Write& write, std::uint64_t value)
                                   { return write.end < value; });
        return it == m_journal.writes.end() ? ~0ull : it->order;
    }

    // Every frame the client wrote, on the grid each cut starts afresh,
    // indexed by its bytes: where a frame played out of turn came from.
    void BuildIndex()
    {
        if (m_indexed)
            return;
        m_indexed = true;
        std::vector<std::uint64_t> origins = {0};
        for (const ClientJournal::Cut& cut : m_journal.cuts)
            origins.push_back(cut.to);
        for (std::size_t i = 0; i < origins.size(); ++i)
        {
            const std::uint64_t limit = i + 1 < origins.size() ? origins[i + 1] : m_written;
            for (std::uint64_t at = origins[i]; at + m_frameBytes <= m_written && at < limit;
                 at += m_frameBytes)
                m_index.emplace(HashOf(m_journal.bytes.data() + at), at);
        }
    }

    std::uint64_t HashOf(const std::uint8_t* bytes) const
    {
        std::uint64_t hash = 1469598103934665603ull;
        for (unsigned i = 0; i < m_frameBytes; ++i)
            hash = (hash ^ bytes[i]) * 1099511628211ull;
        return hash;
    }

    // Where the client wrote the frame that converts to `frame`: the nearest
    // at or after the cursor, else the nearest before it.
    std::optional<std::uint64_t> Locate(const std::uint8_t* frame, std::uint64_t cursor)
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
        BuildIndex();
        std::optional<std::uint64_t> after;
        std::optional<std::uint64_t> before;
        auto [first, last] = m_index.equal_range(HashOf(client.data()));
        for (auto it = first; it != last; ++it)
        {
            const std::uint64_t at = it->second;
            if (std::memcmp(m_journal.bytes.data() + at, client.data(), m_frameBytes) != 0)
                continue;
            if (at >= cursor && (!after || at < *after))
                after = at;
            if (at < cursor && (!before || at > *before))
                before = at;
        }
        return after ? after : before;
    }

    void Report(PlayVerdict& verdict, bool glitch, Finding finding)
    {
        std::vector<Finding>& list = glitch ? verdict.glitches : verdict.findings;
        std::size_t& count = glitch ? verdict.glitchCount : verdict.findingCount;
        if (list.size() < PlayVerdict::kKeptFindings)
            list.push_back(finding);
        ++count;
    }

    const ClientJournal& m_journal;
    const StreamState& m_record;
    std::uint64_t m_since;
    unsigned m_bytesPerSample;
    unsigned m_channels;
    unsigned m_frameBytes;
    unsigned m_containerFrameBytes;
    std::uint64_t m_written;
    std::vector<std::uint64_t> m_services;
    std::vector<std::uint64_t> m_starts;
    std::unordered_multimap<std::uint64_t, std::uint64_t> m_index;
    bool m_indexed = false;
};

PlayVerdict Walk::Run()
{
    PlayVerdict verdict;
    verdict.clientFrameBytes = m_frameBytes;
    if (m_frameBytes == 0)
        return verdict;

    std::vector<const PeriodRecord*> takes;
    for (const PeriodRecord& period : m_record.periods)
    {
        if (period.order > m_since)
            takes.push_back(&period);
    }
    const std::vector<BYTE>& output = m_record.output;

    std::uint64_t cursor = 0;
    std::uint64_t playedBytes = 0;
    std::size_t stopsApplied = 0;
    std::vector<const ClientJournal::Cut*> stops;
    for (const ClientJournal::Cut& cut : m_journal.cuts)
    {
        if (cut.atStop)
            stops.push_back(&cut);
    }
    bool previousLate = false;
    std::uint64_t outputFrame = 0;

    for (std::size_t t = 0; t < takes.size(); ++t)
    {
        const PeriodRecord& take = *takes[t];
        const std::size_t begin = std::min(take.outputBytes, output.size());
        const std::size_t end = t + 1 < takes.size()
                                    ? std::min(takes[t + 1]->outputBytes, output.size())
                                    : output.size();

        // What STOP took back is not played after it: the first take after
        // it starts with what the client wrote after it.
        while (stopsApplied < stops.size() && stops[stopsApplied]->order < take.order)
        {
            cursor = std::max(cursor, stops[stopsApplied]->to);
            ++stopsApplied;
        }

        TakeVerdict taken;
        taken.late = take.underrun;
        const bool glitchWindow = take.underrun || previousLate;
        const std::uint64_t decided =
            std::max(LastBefore(m_services, take.order), LastBefore(m_starts, take.order));

        for (std::size_t at = begin; at + m_containerFrameBytes <= end;
             at += m_containerFrameBytes, ++outputFrame)
        {
            const std::uint8_t* frame = output.data() + at;
            ++taken.frames;
            const std::vector<Candidate> candidates = Candidates(cursor);
            const Candidate* match = nullptr;
            const bool silent = Silent(frame);
            for (const Candidate& candidate : candidates)
            {
                // Silence where the client's frame is digital silence too is
                // that frame if it was written in time for this period, and
                // silence inserted for a late client otherwise.
                const bool same =
                    silent ? ClientFrameSilent(candidate.offset) &&
                                 WrittenOrder(candidate.offset + m_frameBytes) < decided
                           : IsClientFrame(frame, candidate.offset);
                if (same)
                {
                    match = &candidate;
                    break;
                }
            }
            if (match != nullptr)
            {
                if (!taken.firstClientOffset)
                    taken.firstClientOffset = match->offset;
                cursor = match->offset + m_frameBytes;
                playedBytes += m_frameBytes;
                ++taken.clientFrames;
            }
            else if (silent)
            {
                ++taken.silentFrames;
                // The frame due next: the first one that no cut made before
                // this take holds (the stream may have dropped the rest of
                // what a cut took back).
                const Candidate* due = nullptr;
                for (const Candidate& candidate : candidates)
                {
                    if (candidate.insideOrder == 0 || candidate.insideOrder > take.order)
                    {
                        due = &candidate;
                        break;
                    }
                }
                if (due != nullptr && !glitchWindow &&
                    WrittenOrder(due->offset + m_frameBytes) < decided)
                {
                    ++taken.badFrames;
                    Report(verdict, false,
                           {FindingKind::Gap, t, outputFrame, due->offset, std::nullopt});
                }
            }
            else
            {
                ++taken.badFrames;
                Finding finding{FindingKind::Corrupt, t, outputFrame, cursor, std::nullopt};
                finding.playedOffset = Locate(frame, cursor);
                if (finding.playedOffset)
                {
                    if (*finding.playedOffset >= cursor)
                    {
                        finding.kind = FindingKind::Skip;
                        cursor = *finding.playedOffset + m_frameBytes;
                        playedBytes += m_frameBytes;
                    }
                    else
                    {
                        finding.kind = FindingKind::Repeat;
                    }
                }
                Report(verdict, glitchWindow, finding);
            }
            verdict.playedAfterFrame.push_back(playedBytes);
        }
        verdict.framesPlayed += taken.frames;
        verdict.clientFramesPlayed += taken.clientFrames;
        verdict.silentFrames += taken.silentFrames;
        verdict.takes.push_back(taken);
        previousLate = take.underrun;
    }
    return verdict;
}

} // namespace

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
    if (outputFrames == 0 || playedAfterFrame.empty())
        return 0;
    return playedAfterFrame[std::min<std::uint64_t>(outputFrames, playedAfterFrame.size()) - 1];
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
         << framesPlayed << " frames played in " << takes.size() << " periods, "
         << clientFramesPlayed << " of them the client's, " << silentFrames << " silent; "
         << findingCount << " findings, " << glitchCount << " glitches at late periods\n";
    text << "periods: " << TakeMap() << "\n";
    for (const Finding& finding : findings)
        text << "finding: " << finding.Describe(clientFrameBytes) << "\n";
    for (const Finding& glitch : glitches)
        text << "glitch: " << glitch.Describe(clientFrameBytes) << "\n";
    return text.str();
}

PlayVerdict JudgePlayback(const ClientJournal& journal, const StreamState& record,
                          const PlayFormat& format, std::uint64_t since)
{
    return Walk(journal, record, format, since).Run();
}

} // namespace host::engine
