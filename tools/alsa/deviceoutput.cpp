#include "tools/alsa/deviceoutput.h"

namespace nuvalsa
{
namespace
{

constexpr std::size_t kContainerBytes = 4;

} // namespace

DeviceOutput::DeviceOutput(std::string wavPath) : m_path(std::move(wavPath)) {}

bool DeviceOutput::BeginStream(unsigned channels, unsigned rate, std::string& error)
{
    std::lock_guard lock(m_mutex);
    m_channels = channels;
    m_streamFrames = 0;
    m_recording = false;
    if (m_path.empty())
        return true;
    if (!m_wav)
    {
        m_wav = pinclient::ContainerWavWriter::Create(m_path, channels, rate, error);
        if (!m_wav)
        {
            error = "cannot write " + m_path + ": " + error;
            return false;
        }
        m_wavChannels = channels;
        m_wavRate = rate;
    }
    m_recording = channels == m_wavChannels && rate == m_wavRate;
    if (!m_recording)
    {
        m_notes.push_back(m_path + " holds " + std::to_string(m_wavChannels) + " channels at " +
                          std::to_string(m_wavRate) + " Hz; a later stream of " +
                          std::to_string(channels) + " channels at " + std::to_string(rate) +
                          " Hz is not in it");
    }
    return true;
}

void DeviceOutput::SetSlave(SlavePlayer* slave)
{
    std::lock_guard lock(m_mutex);
    m_slave = slave;
}

std::uint64_t DeviceOutput::Collect(host::engine::Engine& engine, ULONG deviceIndex)
{
    std::lock_guard lock(m_mutex);
    const std::vector<BYTE> played = engine.TakeOutput({0, deviceIndex, 0}).output;
    if (played.empty() || m_channels == 0)
        return 0;
    const std::uint64_t frames = played.size() / (m_channels * kContainerBytes);
    m_streamFrames += frames;
    m_totalFrames += frames;
    if (m_recording && m_wav && m_writeError.empty())
    {
        std::string error;
        if (!m_wav->Write(played, error))
            m_writeError = "cannot write " + m_path + ": " + error;
    }
    if (m_slave != nullptr && m_slave->Channels() == m_channels)
        m_slave->Push(played);
    return frames;
}

std::uint64_t DeviceOutput::StreamFrames() const
{
    std::lock_guard lock(m_mutex);
    return m_streamFrames;
}

std::uint64_t DeviceOutput::TotalFrames() const
{
    std::lock_guard lock(m_mutex);
    return m_totalFrames;
}

bool DeviceOutput::Finish(std::string& error)
{
    std::lock_guard lock(m_mutex);
    m_slave = nullptr;
    if (!m_wav)
        return true;
    std::unique_ptr<pinclient::ContainerWavWriter> wav = std::move(m_wav);
    if (!m_writeError.empty())
    {
        // Dropped unfinished: the temporary file goes with it.
        error = m_writeError;
        return false;
    }
    if (!wav->Commit(error))
    {
        error = "cannot write " + m_path + ": " + error;
        return false;
    }
    return true;
}

std::vector<std::string> DeviceOutput::Notes() const
{
    std::lock_guard lock(m_mutex);
    return m_notes;
}

} // namespace nuvalsa
