#include "tools/nuvsim/wavio.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace nuvsim
{
namespace
{

std::string SubtypeName(int format)
{
    const int subtype = format & SF_FORMAT_SUBMASK;
    int count = 0;
    sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE_COUNT, &count, sizeof(count));
    for (int k = 0; k < count; ++k)
    {
        SF_FORMAT_INFO candidate = {};
        candidate.format = k;
        sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE, &candidate, sizeof(candidate));
        if (candidate.format == subtype && candidate.name != nullptr)
            return candidate.name;
    }
    return "encoding " + std::to_string(subtype);
}

// What libsndfile says the file holds, in the terms the device's rules use.
AudioFormat FormatOf(const SF_INFO& info)
{
    AudioFormat format;
    format.channels = static_cast<unsigned>(info.channels);
    format.sampleRate = static_cast<unsigned>(info.samplerate);
    const auto integer = [&format](unsigned bits)
    {
        format.kind = SampleKind::Integer;
        format.bits = bits;
        format.encoding = std::to_string(bits) + "-bit integer PCM";
    };
    const auto floating = [&format](unsigned bits)
    {
        format.kind = SampleKind::Float;
        format.bits = bits;
        format.encoding = std::to_string(bits) + "-bit float";
    };
    switch (info.format & SF_FORMAT_SUBMASK)
    {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
        integer(8);
        break;
    case SF_FORMAT_PCM_16:
        integer(16);
        break;
    case SF_FORMAT_PCM_24:
        integer(24);
        break;
    case SF_FORMAT_PCM_32:
        integer(32);
        break;
    case SF_FORMAT_FLOAT:
        floating(32);
        break;
    case SF_FORMAT_DOUBLE:
        floating(64);
        break;
    default:
        format.kind = SampleKind::Other;
        format.bits = 0;
        format.encoding = SubtypeName(info.format);
        break;
    }
    return format;
}

class AudioFile final : public AudioSource
{
public:
    AudioFile(const std::string& path, SNDFILE* file, const SF_INFO& info)
        : AudioSource(FormatOf(info),
                      static_cast<std::uint64_t>(std::max<sf_count_t>(0, info.frames)), path),
          m_file(file)
    {
    }
    ~AudioFile() override { sf_close(m_file); }
    AudioFile(const AudioFile&) = delete;
    AudioFile& operator=(const AudioFile&) = delete;

    std::size_t Read(std::span<std::int32_t> samples) override
    {
        if (!CanFeed(m_format) || m_format.channels == 0)
            return 0;
        const auto wanted = static_cast<sf_count_t>(
            std::min<std::uint64_t>(samples.size() / m_format.channels, m_frames - m_next));
        if (wanted == 0)
            return 0;
        const sf_count_t read = sf_readf_int(m_file, samples.data(), wanted);
        const auto got = static_cast<std::uint64_t>(std::max<sf_count_t>(0, read));
        m_next += got;
        if (read != wanted)
            m_error = "read " + std::to_string(m_next) + " of " + std::to_string(m_frames) +
                      " frames: " + sf_strerror(m_file);
        return static_cast<std::size_t>(got);
    }

    std::unique_ptr<AudioSource> Reopen(std::string& error) const override
    {
        return OpenAudioFile(m_name, error);
    }

private:
    SNDFILE* m_file;
    std::uint64_t m_next = 0;
};

} // namespace

std::unique_ptr<AudioSource> OpenAudioFile(const std::string& path, std::string& error)
{
    SF_INFO info = {};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr)
    {
        error = sf_strerror(nullptr);
        return nullptr;
    }
    return std::make_unique<AudioFile>(path, file, info);
}

PendingFile::PendingFile(std::string path, std::string temporary, int fd)
    : m_path(std::move(path)), m_temporary(std::move(temporary)), m_fd(fd)
{
}

std::unique_ptr<PendingFile> PendingFile::Create(const std::string& path, std::string& error)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::is_directory(path, ec))
    {
        error = "it is a directory";
        return nullptr;
    }
    const fs::path target(path);
    const fs::path directory = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::string temporary =
        (directory / ("." + target.filename().string() + ".nuvsim-XXXXXX")).string();
    std::vector<char> name(temporary.begin(), temporary.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0)
    {
        error = std::strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<PendingFile>(new PendingFile(path, name.data(), fd));
}

PendingFile::~PendingFile()
{
    if (m_fd >= 0)
        close(m_fd);
    if (!m_committed)
        unlink(m_temporary.c_str());
}

bool PendingFile::WriteAll(std::span<const char> bytes)
{
    while (!bytes.empty())
    {
        const ssize_t written = write(m_fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return true;
}

bool PendingFile::Commit(std::string& error)
{
    // mkstemp makes the file private; the result is an ordinary file.
    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(m_fd, 0666 & ~mask) != 0 || fsync(m_fd) != 0 || close(m_fd) != 0)
    {
        m_fd = -1;
        error = std::strerror(errno);
        return false;
    }
    m_fd = -1;
    if (rename(m_temporary.c_str(), m_path.c_str()) != 0)
    {
        error = std::strerror(errno);
        return false;
    }
    m_committed = true;
    return true;
}

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

} // namespace nuvsim
