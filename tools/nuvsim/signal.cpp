#include "tools/nuvsim/signal.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <numeric>
#include <string>
#include <vector>

namespace nuvsim
{
namespace
{

AudioFormat SignalFormat(const SignalShape& shape)
{
    AudioFormat format;
    format.channels = shape.channels;
    format.sampleRate = shape.sampleRate;
    format.bits = shape.bits;
    format.kind = SampleKind::Integer;
    format.encoding = std::to_string(shape.bits) + "-bit integer PCM";
    return format;
}

std::string SignalName(const SignalShape& shape)
{
    return "test signal (a tone per channel, " + std::to_string(shape.channels) + " channels)";
}

class TestSignal final : public AudioSource
{
public:
    explicit TestSignal(const SignalShape& shape)
        : AudioSource(SignalFormat(shape), FramesOf(shape), SignalName(shape)), m_shape(shape)
    {
        const unsigned rate = std::max(1u, shape.sampleRate);
        m_cycle = rate / std::gcd(rate, 125u);
        m_fullScale = std::ldexp(1.0, static_cast<int>(shape.bits) - 1) - 1.0;
        m_fadeFrames = 0.010 * rate;
        m_shift = 32 - shape.bits;
        m_tone.resize(std::size_t{m_cycle} * shape.channels);
        m_full.resize(m_tone.size());
        for (std::size_t frame = 0; frame < m_cycle; ++frame)
        {
            const double time = static_cast<double>(frame) / rate;
            for (unsigned channel = 0; channel < shape.channels; ++channel)
            {
                const std::size_t k = frame * shape.channels + channel;
                m_tone[k] = 0.5 * std::sin(2.0 * std::numbers::pi * ToneFrequency(channel) * time);
                m_full[k] = Sample(m_tone[k]);
            }
        }
    }

    std::size_t Read(std::span<std::int32_t> samples) override
    {
        const unsigned channels = m_shape.channels;
        if (channels == 0)
            return 0;
        const std::size_t frames = static_cast<std::size_t>(
            std::min<std::uint64_t>(samples.size() / channels, m_frames - m_next));
        std::size_t done = 0;
        while (done < frames)
        {
            const std::uint64_t frame = m_next + done;
            const std::size_t inCycle = static_cast<std::size_t>(frame % m_cycle);
            std::int32_t* out = samples.data() + done * channels;
            if (Faded(frame))
            {
                const double envelope =
                    static_cast<double>(std::min(frame, m_frames - 1 - frame)) / m_fadeFrames;
                for (unsigned channel = 0; channel < channels; ++channel)
                    out[channel] = Sample(envelope * m_tone[inCycle * channels + channel]);
                ++done;
                continue;
            }
            // Whole frames of the cycle, up to its end or the fade-out.
            std::size_t run = std::min<std::size_t>(frames - done, m_cycle - inCycle);
            const std::uint64_t fadeOut = m_frames - static_cast<std::uint64_t>(m_fadeFrames) - 1;
            if (frame + run > fadeOut)
                run = std::max<std::size_t>(1, static_cast<std::size_t>(fadeOut - frame));
            std::memcpy(out, m_full.data() + inCycle * channels,
                        run * channels * sizeof(std::int32_t));
            done += run;
        }
        m_next += frames;
        return frames;
    }

    std::unique_ptr<AudioSource> Reopen(std::string&) const override
    {
        return std::make_unique<TestSignal>(m_shape);
    }

private:
    static std::uint64_t FramesOf(const SignalShape& shape)
    {
        return static_cast<std::uint64_t>(std::llround(shape.seconds * shape.sampleRate));
    }
    // Inside the first or the last 10 ms, where the envelope is below 1.
    bool Faded(std::uint64_t frame) const
    {
        return static_cast<double>(std::min(frame, m_frames - 1 - frame)) < m_fadeFrames;
    }
    std::int32_t Sample(double value) const
    {
        const auto sample = static_cast<std::int64_t>(std::lround(value * m_fullScale));
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(sample) << m_shift);
    }

    SignalShape m_shape;
    unsigned m_cycle = 1;
    double m_fullScale = 0;
    double m_fadeFrames = 0;
    unsigned m_shift = 0;
    std::vector<double> m_tone;       // half of full scale, one cycle, interleaved
    std::vector<std::int32_t> m_full; // the same as samples, envelope 1
    std::uint64_t m_next = 0;
};

} // namespace

double ToneFrequency(unsigned channel)
{
    return 500.0 + 125.0 * channel;
}

std::unique_ptr<AudioSource> MakeTestSignal(const SignalShape& shape)
{
    return std::make_unique<TestSignal>(shape);
}

} // namespace nuvsim
