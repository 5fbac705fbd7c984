#include "tools/nuvsim/signal.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>

namespace nuvsim
{

double ToneFrequency(unsigned channel)
{
    return 500.0 + 125.0 * channel;
}

AudioClip MakeTestSignal(const SignalShape& shape)
{
    AudioClip clip;
    clip.format.channels = shape.channels;
    clip.format.sampleRate = shape.sampleRate;
    clip.format.bits = shape.bits;
    clip.format.kind = SampleKind::Integer;
    clip.format.encoding = std::to_string(shape.bits) + "-bit integer PCM";
    clip.frames = static_cast<std::size_t>(std::llround(shape.seconds * shape.sampleRate));
    clip.source =
        "test signal (a tone per channel, " + std::to_string(shape.channels) + " channels)";

    const double fullScale = std::ldexp(1.0, static_cast<int>(shape.bits) - 1) - 1.0;
    const double fadeFrames = 0.010 * shape.sampleRate;
    const unsigned shift = 32 - shape.bits;
    clip.samples.resize(clip.frames * shape.channels);
    for (std::size_t frame = 0; frame < clip.frames; ++frame)
    {
        const double fromEdge =
            static_cast<double>(std::min(frame, clip.frames - 1 - frame)) / fadeFrames;
        const double envelope = std::min(1.0, fromEdge);
        const double time = static_cast<double>(frame) / shape.sampleRate;
        for (unsigned channel = 0; channel < shape.channels; ++channel)
        {
            const double value =
                0.5 * envelope * std::sin(2.0 * std::numbers::pi * ToneFrequency(channel) * time);
            const auto sample = static_cast<std::int64_t>(std::lround(value * fullScale));
            clip.samples[frame * shape.channels + channel] =
                static_cast<std::int32_t>(static_cast<std::uint32_t>(sample) << shift);
        }
    }
    return clip;
}

} // namespace nuvsim
