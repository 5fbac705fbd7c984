#include "tools/nuvsim/progress.h"

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <ostream>
#include <string>
#include <unistd.h>

namespace nuvsim
{

ProgressBar::ProgressBar(std::ostream& out, bool enabled, std::uint64_t total, unsigned sampleRate)
    : m_out(out), m_enabled(enabled), m_total(total), m_sampleRate(sampleRate)
{
}

ProgressBar::~ProgressBar()
{
    Clear();
}

bool ProgressBar::StderrIsTerminal()
{
    return isatty(STDERR_FILENO) == 1;
}

void ProgressBar::Update(std::uint64_t done)
{
    if (!m_enabled)
        return;
    done = std::min(done, m_total);
    const auto now = std::chrono::steady_clock::now();
    // The end is drawn once, whenever it comes; the rest every 50 ms.
    if (m_drawn &&
        (done == m_lastDone || (now - m_last < std::chrono::milliseconds(50) && done < m_total)))
        return;
    m_last = now;
    m_lastDone = done;
    constexpr unsigned kWidth = 30;
    const unsigned filled = m_total == 0 ? kWidth : static_cast<unsigned>(done * kWidth / m_total);
    const double rate = m_sampleRate == 0 ? 1.0 : static_cast<double>(m_sampleRate);
    m_out << "\r[" << std::string(filled, '#') << std::string(kWidth - filled, '.') << "] "
          << std::fixed << std::setprecision(2) << static_cast<double>(done) / rate << " s of "
          << static_cast<double>(m_total) / rate << " s" << std::flush;
    m_drawn = true;
}

void ProgressBar::Clear()
{
    if (m_drawn)
        m_out << "\r\033[K" << std::flush;
    m_drawn = false;
}

} // namespace nuvsim
