// A one-line progress bar on stderr, drawn only when stderr is a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>

namespace nuvsim
{

class ProgressBar
{
public:
    // `enabled` false draws nothing (quiet runs, or not a terminal).
    ProgressBar(std::ostream& out, bool enabled, std::uint64_t total, unsigned sampleRate);
    ~ProgressBar(); // clears the line
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // Redraws at most every 50 ms.
    void Update(std::uint64_t done);
    void Clear();

    // Whether stderr is a terminal.
    static bool StderrIsTerminal();

private:
    std::ostream& m_out;
    bool m_enabled;
    bool m_drawn = false;
    std::uint64_t m_total;
    std::uint64_t m_lastDone = 0;
    unsigned m_sampleRate;
    std::chrono::steady_clock::time_point m_last{};
};

} // namespace nuvsim
