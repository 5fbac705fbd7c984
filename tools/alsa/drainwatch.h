// When a drain is over: the driver's position has reached the end of what
// the application wrote, or it has had every chance to and did not.
//
// The device, not the wall clock, measures the chance: once it has played
// all that was queued when the drain began and kGracePeriods periods more,
// a position that still falls short is the driver not reporting the end
// (a position may trail the device by a period and a clock step, no more).
// A wall-clock deadline, four times the time those frames take and ten
// seconds more, ends the wait also when the device itself has stopped, so
// that nothing hangs.
//
//     DrainWatch watch(written, position, frameBytes, deviceFrame, period, rate, now);
//     while (watch.Judge(ReadPosition(), engine.DevicePosition(), now()) == Waiting) wait;
#pragma once

#include <chrono>
#include <cstdint>

namespace nuvalsa
{

class DrainWatch
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr unsigned kGracePeriods = 8;
    static constexpr std::chrono::seconds kWallMargin{10};

    enum class Verdict
    {
        Drained,
        Waiting,
        GaveUp,
    };

    // `written` and `position` in bytes, `startFrame` the device's frame
    // counter when the drain began.
    DrainWatch(std::uint64_t written, std::uint64_t position, unsigned frameBytes,
               std::uint64_t startFrame, unsigned periodFrames, unsigned rate,
               Clock::time_point now);

    Verdict Judge(std::uint64_t position, std::uint64_t deviceFrame, Clock::time_point now) const;
    // Frames the device played since the drain began.
    std::uint64_t Played(std::uint64_t deviceFrame) const;
    std::uint64_t BudgetFrames() const { return m_budget; }

private:
    std::uint64_t m_written;
    std::uint64_t m_startFrame;
    std::uint64_t m_budget;
    Clock::time_point m_deadline;
};

} // namespace nuvalsa
