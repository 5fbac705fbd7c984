#include "tools/alsa/test/outputmatch.h"

#include <algorithm>
#include <sstream>
#include <vector>

namespace nuvalsa
{
namespace
{

class Frames
{
public:
    Frames(std::span<const std::int32_t> samples, unsigned channels)
        : m_samples(samples), m_channels(channels)
    {
    }
    std::size_t Count() const { return m_samples.size() / m_channels; }
    std::span<const std::int32_t> At(std::size_t frame) const
    {
        return m_samples.subspan(frame * m_channels, m_channels);
    }
    bool Silent(std::size_t frame) const
    {
        const auto frameSamples = At(frame);
        return std::all_of(frameSamples.begin(), frameSamples.end(),
                           [](std::int32_t s) { return s == 0; });
    }
    bool Same(std::size_t frame, const Frames& other, std::size_t otherFrame) const
    {
        const auto a = At(frame);
        const auto b = other.At(otherFrame);
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }
    std::string Describe(std::size_t frame) const
    {
        std::ostringstream text;
        text << "(";
        for (unsigned c = 0; c < m_channels; ++c)
            text << (c == 0 ? "" : " ") << std::hex << "0x"
                 << static_cast<std::uint32_t>(At(frame)[c]);
        text << ")";
        return text.str();
    }
    std::size_t FirstSound() const
    {
        std::size_t frame = 0;
        while (frame < Count() && Silent(frame))
            ++frame;
        return frame;
    }
    std::size_t LastSoundEnd() const
    {
        std::size_t end = Count();
        while (end > 0 && Silent(end - 1))
            --end;
        return end;
    }

private:
    std::span<const std::int32_t> m_samples;
    unsigned m_channels;
};

MatchResult Fail(const std::string& text)
{
    return {false, text};
}

// Silence may be anywhere: the frames that are not silent must be the
// expected ones that are not silent, in order.
MatchResult MatchWithGaps(const Frames& expected, const Frames& played)
{
    std::vector<std::size_t> sound;
    for (std::size_t f = 0; f < expected.Count(); ++f)
    {
        if (!expected.Silent(f))
            sound.push_back(f);
    }
    std::size_t next = 0;
    std::size_t gaps = 0;
    bool inGap = false;
    for (std::size_t f = 0; f < played.Count(); ++f)
    {
        if (played.Silent(f))
        {
            inGap = next > 0;
            continue;
        }
        if (inGap && next < sound.size())
            ++gaps;
        inGap = false;
        if (next == sound.size())
            return Fail("played frame " + std::to_string(f) + " " + played.Describe(f) +
                        " is sound after all the expected frames");
        if (!played.Same(f, expected, sound[next]))
            return Fail("played frame " + std::to_string(f) + " " + played.Describe(f) +
                        " is not expected frame " + std::to_string(sound[next]) + " " +
                        expected.Describe(sound[next]));
        ++next;
    }
    if (next != sound.size())
        return Fail(std::to_string(sound.size() - next) + " of the " +
                    std::to_string(sound.size()) + " expected frames with sound never played");
    return {true, "the " + std::to_string(sound.size()) +
                      " expected frames with sound were played in order, with silence in " +
                      std::to_string(gaps) + " places between them"};
}

} // namespace

MatchResult MatchOutput(std::span<const std::int32_t> expectedSamples,
                        std::span<const std::int32_t> playedSamples, const MatchRules& rules)
{
    if (rules.channels == 0 || expectedSamples.size() % rules.channels != 0 ||
        playedSamples.size() % rules.channels != 0)
        return Fail("the sample counts are not whole frames of " + std::to_string(rules.channels) +
                    " channels");
    const Frames expected(expectedSamples, rules.channels);
    const Frames played(playedSamples, rules.channels);
    const std::size_t expectedFirst = expected.FirstSound();
    if (expectedFirst == expected.Count())
        return Fail("the expected audio is all silence: nothing to find");
    if (rules.gaps)
        return MatchWithGaps(expected, played);

    const std::size_t playedFirst = played.FirstSound();
    if (playedFirst == played.Count())
        return Fail("the device played only silence (" + std::to_string(played.Count()) +
                    " frames)");
    if (playedFirst < expectedFirst)
        return Fail("the device's first sound, at frame " + std::to_string(playedFirst) +
                    ", comes before the " + std::to_string(expectedFirst) +
                    " silent frames the expected audio starts with");
    const std::size_t offset = playedFirst - expectedFirst;
    // The expected frames, as far as the played output reaches.
    const std::size_t reach = std::min(expected.Count(), played.Count() - offset);
    std::size_t same = 0;
    while (same < reach && played.Same(offset + same, expected, same))
        ++same;
    // Where they differ, the played output may only have ended early (its
    // tail is silence), and only by allowShortFrames.
    const std::size_t missing = expected.Count() - same;
    const bool restSilent = played.LastSoundEnd() <= offset + same;
    if (missing != 0 && (!restSilent || missing > rules.allowShortFrames))
    {
        if (same < reach)
            return Fail("frame " + std::to_string(same) + " of the expected audio " +
                        expected.Describe(same) + " is played as " +
                        played.Describe(offset + same) + " (at played frame " +
                        std::to_string(offset + same) + ")");
        return Fail("the last " + std::to_string(missing) + " of the " +
                    std::to_string(expected.Count()) + " expected frames were never played");
    }
    if (!restSilent)
    {
        const std::size_t stray = offset + same;
        std::size_t f = stray;
        while (f < played.Count() && played.Silent(f))
            ++f;
        return Fail("played frame " + std::to_string(f) + " " + played.Describe(f) +
                    " is sound after the " + std::to_string(expected.Count()) + " expected frames");
    }
    std::string text = "the " + std::to_string(same) + " expected frames were played at frame " +
                       std::to_string(offset) + ", with " + std::to_string(offset) +
                       " silent frames before and " +
                       std::to_string(played.Count() - offset - same) + " after";
    if (missing != 0)
        text += "; the last " + std::to_string(missing) + " were not played (allowed up to " +
                std::to_string(rules.allowShortFrames) + ")";
    return {true, text};
}

} // namespace nuvalsa
