#include "tools/nuvsim/wavio.h"

#include <sndfile.h>

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

} // namespace

std::optional<AudioClip> ReadAudioFile(const std::string& path, std::string& error)
{
    SF_INFO info = {};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr)
    {
        error = sf_strerror(nullptr);
        return std::nullopt;
    }
    AudioClip clip;
    clip.source = path;
    clip.format = FormatOf(info);
    clip.frames = static_cast<std::size_t>(info.frames);
    if (CanFeed(clip.format) && info.channels > 0)
    {
        clip.samples.resize(clip.frames * static_cast<std::size_t>(info.channels));
        const sf_count_t read = sf_readf_int(file, clip.samples.data(), info.frames);
        if (read != info.frames)
        {
            error = "read " + std::to_string(read) + " of " + std::to_string(info.frames) +
                    " frames: " + sf_strerror(file);
            sf_close(file);
            return std::nullopt;
        }
    }
    sf_close(file);
    return clip;
}

} // namespace nuvsim
