// A client's timing, written down: when it writes how much, when it waits,
// pauses, stops, runs and cancels. One language for a person at the command
// line (nuvsim play --schedule) and for the random schedules the tests make,
// so that a failing random schedule prints as a line anyone can replay.
//
//     write 2p, wait 3p, rest 333, cancel@5000, pause 2p, wait 4p
//
// Steps, separated by commas (or semicolons). Amounts are client bytes
// unless they end in `f` (frames) or `p` (periods); waits are device time,
// in periods unless they end in `f`.
//
//     write N       one client buffer of the next N bytes of the input
//     rest N        the rest of the input, in buffers of N
//     wait N        the device runs for N periods (N frames with `f`)
//     run | pause | stop     the pin's state (through the states between)
//     pause N       pause, wait N, run
//     cancel        take back everything queued now
//     cancel@N      take back everything queued once the port has handed out
//                   client byte N (checked at every device period)
//     mapping N     the port's largest mapping from now on, in bytes
//     split N       a mapping ends at client byte N
//
// Unless the schedule says `run` somewhere, the pin goes to RUN before the
// first step that lets the device run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace host::client
{

enum class StepKind
{
    Write,
    Rest,
    Wait,
    Run,
    Pause,
    PauseFor,
    Stop,
    Cancel,
    CancelAt,
    Mapping,
    Split,
};

enum class Unit
{
    Bytes,
    Frames,
    Periods,
};

struct ScheduleStep
{
    StepKind kind = StepKind::Wait;
    std::uint64_t amount = 0;
    Unit unit = Unit::Bytes;

    std::string ToString() const;
};

struct Schedule
{
    std::vector<ScheduleStep> steps;

    // The text form, which Parse reads back.
    std::string ToString() const;
    // Nullopt, with the reason in `error`, for text that is not a schedule.
    static std::optional<Schedule> Parse(const std::string& text, std::string& error);
    bool SaysRun() const;
};

} // namespace host::client
