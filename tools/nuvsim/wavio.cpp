#include "tools/nuvsim/wavio.h"

#include <sndfile.h>

#include <algorithm>
#include <memory>
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

} // namespace nuvsim
