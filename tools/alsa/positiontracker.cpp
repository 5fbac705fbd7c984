#include "tools/alsa/positiontracker.h"

#include <algorithm>

namespace nuvalsa
{
namespace
{

void Fold(PositionFindings& into, const PositionReading& reading, std::uint64_t stepBack,
          bool beyond)
{
    ++into.readings;
    if (stepBack != 0)
    {
        ++into.stepsBack;
        into.largestStepBack = std::max(into.largestStepBack, stepBack);
    }
    if (beyond)
        ++into.beyondWritten;
    // Compared while the application's data plays; after its end the device
    // plays silence the position has no part in.
    if (reading.played <= reading.written)
    {
        if (reading.played >= reading.position)
            into.largestBehind = std::max(into.largestBehind, reading.played - reading.position);
        else
            into.largestAhead = std::max(into.largestAhead, reading.position - reading.played);
    }
    into.last = reading.position;
}

} // namespace

void PositionTracker::Reset()
{
    m_pointer = 0;
    m_any = false;
    m_findings = {};
}

std::uint64_t PositionTracker::Take(const PositionReading& reading)
{
    const std::uint64_t stepBack =
        m_any && reading.position < m_findings.last ? m_findings.last - reading.position : 0;
    const bool beyond = reading.position > reading.written;
    Fold(m_findings, reading, stepBack, beyond);
    Fold(m_totals, reading, stepBack, beyond);
    m_any = true;
    m_pointer = std::max(m_pointer, std::min(reading.position, reading.written));
    return m_pointer;
}

} // namespace nuvalsa
