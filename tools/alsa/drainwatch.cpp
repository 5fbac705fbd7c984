#include "tools/alsa/drainwatch.h"

namespace nuvalsa
{

DrainWatch::DrainWatch(std::uint64_t written, std::uint64_t position, unsigned frameBytes,
                       std::uint64_t startFrame, unsigned periodFrames, unsigned rate,
                       Clock::time_point now)
    : m_written(written), m_startFrame(startFrame)
{
    const std::uint64_t queued = written > position ? written - position : 0;
    m_budget =
        (frameBytes != 0 ? queued / frameBytes : 0) + std::uint64_t{kGracePeriods} * periodFrames;
    const std::chrono::duration<double> playing(rate != 0 ? double(m_budget) / rate : 0.0);
    m_deadline = now + std::chrono::duration_cast<Clock::duration>(playing * 4) + kWallMargin;
}

std::uint64_t DrainWatch::Played(std::uint64_t deviceFrame) const
{
    return deviceFrame > m_startFrame ? deviceFrame - m_startFrame : 0;
}

DrainWatch::Verdict DrainWatch::Judge(std::uint64_t position, std::uint64_t deviceFrame,
                                      Clock::time_point now) const
{
    if (position >= m_written)
        return Verdict::Drained;
    if (Played(deviceFrame) > m_budget || now > m_deadline)
        return Verdict::GaveUp;
    return Verdict::Waiting;
}

} // namespace nuvalsa
