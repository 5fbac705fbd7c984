// The stream position as the application sees it, from the driver's
// GetPosition readings, and what the readings showed about the driver.
//
// ALSA's hardware pointer only moves forward and never past what the
// application wrote. The tracker keeps the furthest position the driver has
// reported as the pointer, and never invents one: a reading that steps back
// leaves the pointer where the driver had put it and is counted, a reading
// past the bytes written is counted and held at them. The delay the
// application asks for is the latest reading as it came.
//
//     PositionTracker tracker;
//     tracker.Reset();                                  // prepare
//     const ULONGLONG pointer = tracker.Take({reading, written, played});
//
// Not thread-safe: the plugin takes readings under its own lock.
#pragma once

#include <cstdint>

namespace nuvalsa
{

struct PositionReading
{
    std::uint64_t position = 0; // what GetPosition returned, in bytes
    std::uint64_t written = 0;  // bytes the application has written
    std::uint64_t played = 0;   // bytes the device has played of the stream
};

struct PositionFindings
{
    std::uint64_t readings = 0;
    std::uint64_t stepsBack = 0;       // readings below the one before
    std::uint64_t largestStepBack = 0; // in bytes
    std::uint64_t beyondWritten = 0;   // readings past the bytes written
    // While the data plays: played minus position, position minus played.
    std::uint64_t largestBehind = 0;
    std::uint64_t largestAhead = 0;
    std::uint64_t last = 0; // the latest reading
};

class PositionTracker
{
public:
    void Reset();
    // Takes a reading and returns the pointer in bytes.
    std::uint64_t Take(const PositionReading& reading);
    std::uint64_t Pointer() const { return m_pointer; }
    // The latest reading, as it came.
    std::uint64_t Latest() const { return m_findings.last; }
    const PositionFindings& Findings() const { return m_findings; }
    // Findings of every run since construction (Reset keeps them).
    const PositionFindings& Totals() const { return m_totals; }

private:
    std::uint64_t m_pointer = 0;
    bool m_any = false;
    PositionFindings m_findings;
    PositionFindings m_totals;
};

} // namespace nuvalsa
