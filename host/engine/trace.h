// Trace hooks of the streaming path: period starts and ends, engine
// callbacks, services, mapping transfers and state changes, each with a
// timestamp, the thread and the device's frame counter, so that a tool can
// write a Chrome trace (chrome://tracing, Perfetto) of a run.
//
//     host::engine::TraceRecorder recorder;      // installs itself
//     ... play ...
//     std::ofstream("play.json") << recorder.ChromeJson();
//
// With no recorder installed a trace point costs one atomic load.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace host::engine
{

enum class TracePhase : char
{
    Begin = 'B',
    End = 'E',
    Instant = 'i',
    Counter = 'C', // named values, drawn as graphs over time
};

struct TraceEvent
{
    std::string name;     // "period", "callback", "Service", "GetMapping", "SetState"...
    std::string category; // "engine", "port", "pin"
    std::string detail;   // free text: stream, half, state, bytes
    TracePhase phase = TracePhase::Instant;
    std::chrono::nanoseconds time{}; // since the recorder was installed
    std::uint64_t thread = 0;        // a small number per thread
    std::uint64_t deviceFrame = 0;   // the engine's frame counter, when known
    // Counter: the values, by name.
    std::vector<std::pair<std::string, double>> values;
};

bool TraceEnabled();
// Time since the recorder was installed (0 without one): for an event whose
// values are known only later (TraceRecorder::AddCounter).
std::chrono::nanoseconds TraceTime();
void TracePoint(const char* category, std::string name, TracePhase phase, std::string detail = {},
                std::uint64_t deviceFrame = 0);

// Collects every trace point while it lives (one at a time).
class TraceRecorder
{
public:
    TraceRecorder();
    ~TraceRecorder();
    TraceRecorder(const TraceRecorder&) = delete;
    TraceRecorder& operator=(const TraceRecorder&) = delete;

    std::vector<TraceEvent> Events() const;
    // A counter event at `time` (TraceTime() when it happened), added after
    // the fact.
    void AddCounter(std::chrono::nanoseconds time, std::string category, std::string name,
                    std::vector<std::pair<std::string, double>> values);
    // The events in the Chrome trace-event JSON format.
    std::string ChromeJson() const;

private:
    friend void TracePoint(const char*, std::string, TracePhase, std::string, std::uint64_t);
    friend std::chrono::nanoseconds TraceTime();
    void Add(TraceEvent event);
    std::chrono::nanoseconds Since() const;

    mutable std::mutex m_mutex;
    std::chrono::steady_clock::time_point m_start;
    std::vector<TraceEvent> m_events;
};

} // namespace host::engine
