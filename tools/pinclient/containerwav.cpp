#include "tools/pinclient/containerwav.h"

#include <sndfile.h>

#include <vector>

namespace pinclient
{

ContainerWavWriter::ContainerWavWriter(std::unique_ptr<PendingFile> file, void* sndfile,
                                       unsigned channels)
    : m_file(std::move(file)), m_sndfile(sndfile), m_channels(channels)
{
}

std::unique_ptr<ContainerWavWriter> ContainerWavWriter::Create(const std::string& path,
                                                               unsigned channels,
                                                               unsigned sampleRate,
                                                               std::string& error)
{
    std::unique_ptr<PendingFile> file = PendingFile::Create(path, error);
    if (!file)
        return nullptr;
    SF_INFO info = {};
    info.channels = static_cast<int>(channels);
    info.samplerate = static_cast<int>(sampleRate);
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_32;
    // The descriptor stays the pending file's; libsndfile must not close it.
    SNDFILE* sndfile = sf_open_fd(file->Descriptor(), SFM_WRITE, &info, SF_FALSE);
    if (sndfile == nullptr)
    {
        error = sf_strerror(nullptr);
        return nullptr;
    }
    return std::unique_ptr<ContainerWavWriter>(
        new ContainerWavWriter(std::move(file), sndfile, channels));
}

ContainerWavWriter::~ContainerWavWriter()
{
    CloseSndfile();
}

void ContainerWavWriter::CloseSndfile()
{
    if (m_sndfile != nullptr)
        sf_close(static_cast<SNDFILE*>(m_sndfile));
    m_sndfile = nullptr;
}

bool ContainerWavWriter::Write(std::span<const std::uint8_t> containers, std::string& error)
{
    std::vector<int> samples(containers.size() / 4);
    for (std::size_t k = 0; k < samples.size(); ++k)
    {
        std::uint32_t value = 0;
        for (unsigned b = 0; b < 4; ++b)
            value |= std::uint32_t{containers[4 * k + b]} << (8 * b);
        samples[k] = static_cast<int>(value);
    }
    const sf_count_t frames = static_cast<sf_count_t>(samples.size() / m_channels);
    auto* sndfile = static_cast<SNDFILE*>(m_sndfile);
    if (sf_writef_int(sndfile, samples.data(), frames) != frames)
    {
        error = sf_strerror(sndfile);
        return false;
    }
    return true;
}

bool ContainerWavWriter::Commit(std::string& error)
{
    // sf_close writes the final header sizes.
    auto* sndfile = static_cast<SNDFILE*>(m_sndfile);
    m_sndfile = nullptr;
    if (sf_close(sndfile) != 0)
    {
        error = "cannot finish the WAV file";
        return false;
    }
    return m_file->Commit(error);
}

} // namespace pinclient
