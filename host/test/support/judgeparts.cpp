#include "host/test/support/judgeparts.h"

#include <algorithm>
#include <sstream>

namespace nuvtest
{
namespace
{

std::string Text(const host::engine::Finding& finding)
{
    std::ostringstream text;
    text << static_cast<int>(finding.kind) << " take " << finding.take << " frame "
         << finding.outputFrame << " due " << finding.expectedOffset << " played "
         << (finding.playedOffset ? std::to_string(*finding.playedOffset) : "-");
    return text.str();
}

std::string ListDifference(const char* what, const std::vector<host::engine::Finding>& whole,
                           const std::vector<host::engine::Finding>& parts)
{
    if (whole.size() != parts.size())
        return std::string(what) + ": " + std::to_string(whole.size()) + " kept against " +
               std::to_string(parts.size());
    for (std::size_t i = 0; i < whole.size(); ++i)
    {
        if (Text(whole[i]) != Text(parts[i]))
            return std::string(what) + " " + std::to_string(i) + ": " + Text(whole[i]) +
                   " against " + Text(parts[i]);
    }
    return {};
}

template <class Value> std::string Compare(const char* what, const Value& whole, const Value& parts)
{
    if (whole == parts)
        return {};
    std::ostringstream text;
    text << what << ": " << whole << " judged whole, " << parts << " in parts";
    return text.str();
}

} // namespace

std::string VerdictDifference(const host::engine::PlayVerdict& whole,
                              const host::engine::PlayVerdict& parts)
{
    for (const std::string& difference :
         {Compare("takes", whole.takeCount, parts.takeCount),
          Compare("frames", whole.framesPlayed, parts.framesPlayed),
          Compare("client frames", whole.clientFramesPlayed, parts.clientFramesPlayed),
          Compare("silent frames", whole.silentFrames, parts.silentFrames),
          Compare("findings", whole.findingCount, parts.findingCount),
          Compare("glitches", whole.glitchCount, parts.glitchCount),
          ListDifference("finding", whole.findings, parts.findings),
          ListDifference("glitch", whole.glitches, parts.glitches)})
    {
        if (!difference.empty())
            return difference;
    }
    const std::string wholeMap = whole.TakeMap();
    const std::string partsMap = parts.TakeMap();
    const std::size_t kept = std::min(wholeMap.size(), partsMap.size());
    if (wholeMap.substr(0, kept) != partsMap.substr(0, kept))
        return "take map: " + wholeMap + " judged whole, " + partsMap + " in parts";
    // The truth for positions, at every frame the parts still know.
    const std::uint64_t from = parts.played.empty() ? 0 : parts.played.front().frame;
    for (std::uint64_t frame = from + 1; frame <= whole.framesPlayed; ++frame)
    {
        if (whole.ClientBytesPlayed(frame) != parts.ClientBytesPlayed(frame))
            return "client bytes played after frame " + std::to_string(frame) + ": " +
                   std::to_string(whole.ClientBytesPlayed(frame)) + " judged whole, " +
                   std::to_string(parts.ClientBytesPlayed(frame)) + " in parts";
    }
    return {};
}

host::engine::PlayVerdict JudgeInParts(const host::engine::ClientJournal& journal,
                                       const host::engine::StreamState& record,
                                       const host::engine::PlayFormat& format, std::uint64_t since,
                                       std::uint64_t stampsPerPart,
                                       host::engine::JudgeLimits limits)
{
    using host::engine::ClientJournal;
    std::uint64_t last = 0;
    for (const ClientJournal::Write& write : journal.writes)
        last = std::max(last, write.order);
    for (const ClientJournal::Cut& cut : journal.cuts)
        last = std::max(last, cut.order);
    for (std::uint64_t order : journal.services)
        last = std::max(last, order);
    for (const host::engine::PeriodRecord& take : record.periods)
        last = std::max(last, take.order);
    for (std::uint64_t order : record.startOrders)
        last = std::max(last, order);

    host::engine::PlayJudge judge(format, since, limits);
    const auto within = [](std::uint64_t order, std::uint64_t lo, std::uint64_t hi)
    { return order >= lo && order < hi; };
    std::uint64_t bytesDone = 0;
    std::uint64_t outputDone = record.outputTaken;
    const std::uint64_t outputEnd = record.outputTaken + record.output.size();
    for (std::uint64_t lo = 0; lo <= last; lo += stampsPerPart)
    {
        const std::uint64_t hi = lo + stampsPerPart;
        ClientJournal part;
        part.firstByte = bytesDone;
        part.asOf = hi;
        for (const ClientJournal::Write& write : journal.writes)
        {
            if (!within(write.order, lo, hi))
                continue;
            part.writes.push_back(write);
            bytesDone = std::max<std::uint64_t>(bytesDone, write.end);
        }
        part.bytes.assign(journal.bytes.begin() + static_cast<std::ptrdiff_t>(part.firstByte),
                          journal.bytes.begin() + static_cast<std::ptrdiff_t>(bytesDone));
        for (const ClientJournal::Cut& cut : journal.cuts)
        {
            if (within(cut.order, lo, hi))
                part.cuts.push_back(cut);
        }
        for (std::uint64_t order : journal.services)
        {
            if (within(order, lo, hi))
                part.services.push_back(order);
        }
        judge.AddClient(part);

        // The takes made in this stretch and their output (that of a take
        // runs to the next take's start), in two pieces.
        std::vector<host::engine::PeriodRecord> takes;
        std::uint64_t upTo = outputEnd;
        for (const host::engine::PeriodRecord& take : record.periods)
        {
            if (within(take.order, lo, hi))
                takes.push_back(take);
            else if (take.order >= hi)
            {
                upTo = std::min<std::uint64_t>(upTo, take.outputBytes);
                break;
            }
        }
        std::vector<std::uint64_t> starts;
        for (std::uint64_t order : record.startOrders)
        {
            if (within(order, lo, hi))
                starts.push_back(order);
        }
        upTo = std::max(upTo, outputDone);
        const std::uint64_t middle = outputDone + (upTo - outputDone) / 2;
        const auto bytes = [&](std::uint64_t from, std::uint64_t to) {
            return std::span<const BYTE>(record.output)
                .subspan(from - record.outputTaken, to - from);
        };
        judge.AddPlayed(outputDone, bytes(outputDone, middle), takes, starts);
        judge.AddPlayed(middle, bytes(middle, upTo), {}, {});
        outputDone = upTo;
    }
    judge.Finish();
    return judge.Verdict();
}

JudgeBeside::JudgeBeside(host::portcls::PortStream& port, host::engine::Engine& engine,
                         host::engine::StreamKey key, const host::engine::PlayFormat& format,
                         std::uint64_t since, host::engine::JudgeLimits limits)
    : m_port(port), m_engine(engine), m_key(key), m_judge(format, since, limits)
{
}

void JudgeBeside::Take(const std::function<void()>& taken)
{
    const host::engine::ClientJournal part = m_port.TakeJournal();
    m_journal.bytes.insert(m_journal.bytes.end(), part.bytes.begin(), part.bytes.end());
    m_journal.writes.insert(m_journal.writes.end(), part.writes.begin(), part.writes.end());
    m_journal.cuts.insert(m_journal.cuts.end(), part.cuts.begin(), part.cuts.end());
    m_journal.services.insert(m_journal.services.end(), part.services.begin(), part.services.end());
    m_judge.AddClient(part);

    const host::engine::PlayedOutput played = m_engine.TakeOutput(m_key);
    if (m_first)
        m_record.outputTaken = played.outputFrom;
    m_first = false;
    m_record.output.insert(m_record.output.end(), played.output.begin(), played.output.end());
    m_record.periods.insert(m_record.periods.end(), played.periods.begin(), played.periods.end());
    m_record.startOrders.insert(m_record.startOrders.end(), played.startOrders.begin(),
                                played.startOrders.end());
    if (taken)
        taken();
    m_judge.AddPlayed(played);
}

const host::engine::PlayVerdict& JudgeBeside::Finish()
{
    m_judge.Finish();
    return m_judge.Verdict();
}

} // namespace nuvtest
