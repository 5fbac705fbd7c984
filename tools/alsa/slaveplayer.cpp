#include "tools/alsa/slaveplayer.h"

#include <chrono>

namespace nuvalsa
{
namespace
{

constexpr unsigned kLatencyMicroseconds = 200000;
constexpr unsigned kMostQueuedSeconds = 2;
constexpr std::size_t kContainerBytes = 4;

} // namespace

SlavePlayer::SlavePlayer(std::string name, snd_pcm_t* pcm, unsigned channels, unsigned rate)
    : m_name(std::move(name)), m_pcm(pcm), m_channels(channels), m_rate(rate),
      m_maxQueuedBytes(std::size_t{rate} * channels * kContainerBytes * kMostQueuedSeconds),
      m_thread([this] { Loop(); })
{
}

std::unique_ptr<SlavePlayer> SlavePlayer::Open(const std::string& name, unsigned channels,
                                               unsigned rate, std::string& error)
{
    snd_pcm_t* pcm = nullptr;
    int status = snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_PLAYBACK, 0);
    if (status < 0)
    {
        error = "cannot open slave " + name + ": " + snd_strerror(status);
        return nullptr;
    }
    status = snd_pcm_set_params(pcm, SND_PCM_FORMAT_S32_LE, SND_PCM_ACCESS_RW_INTERLEAVED, channels,
                                rate, 1, kLatencyMicroseconds);
    if (status < 0)
    {
        error = "slave " + name + " cannot play " + std::to_string(channels) + " channels of " +
                "S32_LE at " + std::to_string(rate) + " Hz: " + snd_strerror(status);
        snd_pcm_close(pcm);
        return nullptr;
    }
    return std::unique_ptr<SlavePlayer>(new SlavePlayer(name, pcm, channels, rate));
}

SlavePlayer::~SlavePlayer()
{
    Finish();
}

void SlavePlayer::Push(std::span<const std::uint8_t> containers)
{
    if (containers.empty())
        return;
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping)
            return;
        const std::size_t frameBytes = std::size_t{m_channels} * kContainerBytes;
        while (!m_queue.empty() && m_queuedBytes + containers.size() > m_maxQueuedBytes)
        {
            m_queuedBytes -= m_queue.front().size();
            m_droppedFrames += m_queue.front().size() / frameBytes;
            m_queue.pop_front();
        }
        m_queue.emplace_back(containers.begin(), containers.end());
        m_queuedBytes += containers.size();
    }
    m_changed.notify_all();
}

void SlavePlayer::Play(const std::vector<std::uint8_t>& chunk)
{
    const std::size_t frameBytes = std::size_t{m_channels} * kContainerBytes;
    const std::uint8_t* data = chunk.data();
    snd_pcm_uframes_t frames = chunk.size() / frameBytes;
    while (frames > 0)
    {
        const snd_pcm_sframes_t written = snd_pcm_writei(m_pcm, data, frames);
        if (written < 0)
        {
            {
                std::lock_guard lock(m_mutex);
                ++m_recoveries;
            }
            // An underrun of the slave (it runs on its own clock) or a
            // suspend: ALSA's usual recovery, then the rest of the chunk.
            if (snd_pcm_recover(m_pcm, static_cast<int>(written), 1) < 0)
                return;
            continue;
        }
        data += static_cast<std::size_t>(written) * frameBytes;
        frames -= static_cast<snd_pcm_uframes_t>(written);
    }
}

void SlavePlayer::Loop()
{
    std::unique_lock lock(m_mutex);
    for (;;)
    {
        m_changed.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
        if (m_queue.empty())
            break;
        std::vector<std::uint8_t> chunk = std::move(m_queue.front());
        m_queue.pop_front();
        m_queuedBytes -= chunk.size();
        m_busy = true;
        lock.unlock();
        Play(chunk);
        lock.lock();
        m_busy = false;
        m_changed.notify_all();
    }
}

void SlavePlayer::Finish()
{
    {
        std::unique_lock lock(m_mutex);
        if (m_pcm == nullptr)
            return;
        // What is queued is at most kMostQueuedSeconds of audio; the slave
        // plays it in about that time.
        m_changed.wait_for(lock, std::chrono::seconds(kMostQueuedSeconds * 2),
                           [this] { return m_queue.empty() && !m_busy; });
        m_stopping = true;
        m_queue.clear();
        m_queuedBytes = 0;
    }
    m_changed.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    snd_pcm_drain(m_pcm);
    snd_pcm_close(m_pcm);
    m_pcm = nullptr;
}

std::uint64_t SlavePlayer::DroppedFrames() const
{
    std::lock_guard lock(m_mutex);
    return m_droppedFrames;
}

std::uint64_t SlavePlayer::Recoveries() const
{
    std::lock_guard lock(m_mutex);
    return m_recoveries;
}

} // namespace nuvalsa
