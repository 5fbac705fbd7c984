// The oracle judged in parts, as a judge beside a stream is fed, against
// the same oracle over the whole run: the two must agree on everything
// (host/engine/playoracle.h).
//
//     nuvtest::JudgeBeside beside(pin.Port(), engine, {0, 0, 0}, format, pin.Port().OpenOrder());
//     client.SetAfterStep([&] { beside.Take(); });   // parts as the device runs
//     ...
//     beside.Take();
//     const auto whole = host::engine::JudgePlayback(beside.WholeJournal(), beside.WholeRecord(),
//                                                    format, since);
//     EXPECT_EQ(nuvtest::VerdictDifference(whole, beside.Finish()), "");
#pragma once

#include "host/engine/playoracle.h"
#include "host/portcls/portstream.h"

#include <cstdint>
#include <functional>
#include <string>

namespace nuvtest
{

// The first way in which the two verdicts differ, in words; empty if none.
// Takes and played runs are compared as far as both kept them.
std::string VerdictDifference(const host::engine::PlayVerdict& whole,
                              const host::engine::PlayVerdict& parts);

// The whole journal and record cut into parts at every `stampsPerPart`
// stamps (a journal part, then the output that far), each judged as it
// arrives; returns the verdict after Finish.
host::engine::PlayVerdict JudgeInParts(const host::engine::ClientJournal& journal,
                                       const host::engine::StreamState& record,
                                       const host::engine::PlayFormat& format, std::uint64_t since,
                                       std::uint64_t stampsPerPart,
                                       host::engine::JudgeLimits limits);

// Takes the port's journal and the engine's output of one stream in turn,
// judges them beside the stream, and keeps what they add up to.
class JudgeBeside
{
public:
    JudgeBeside(host::portcls::PortStream& port, host::engine::Engine& engine,
                host::engine::StreamKey key, const host::engine::PlayFormat& format,
                std::uint64_t since, host::engine::JudgeLimits limits = {});

    // A journal part, then the output since the last one; `taken` runs once
    // the output is taken, before it is judged.
    void Take(const std::function<void()>& taken = {});
    const host::engine::PlayVerdict& Finish();

    const host::engine::ClientJournal& WholeJournal() const { return m_journal; }
    const host::engine::StreamState& WholeRecord() const { return m_record; }
    const host::engine::PlayJudge& Judge() const { return m_judge; }
    host::engine::PlayJudge& Judge() { return m_judge; }

private:
    host::portcls::PortStream& m_port;
    host::engine::Engine& m_engine;
    host::engine::StreamKey m_key;
    host::engine::PlayJudge m_judge;
    host::engine::ClientJournal m_journal;
    host::engine::StreamState m_record;
    bool m_first = true;
};

} // namespace nuvtest
