// outputmatch: the client tests' judge on the command line (outputmatch.h).
//
//     outputmatch --channels 2 [--allow-short FRAMES] [--gaps] EXPECTED PLAYED
//
// EXPECTED and PLAYED are raw interleaved 32-bit little-endian samples (sox
// -t s32, ffmpeg -f s32le). Prints what matched or what did not; exits 0 on
// a match, 1 on none, 2 on bad arguments or unreadable files.
#include "tools/alsa/test/outputmatch.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace
{

std::optional<std::vector<std::int32_t>> ReadSamples(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                           std::istreambuf_iterator<char>());
    std::vector<std::int32_t> samples(bytes.size() / 4);
    for (std::size_t k = 0; k < samples.size(); ++k)
    {
        std::uint32_t value = 0;
        for (unsigned b = 0; b < 4; ++b)
            value |= std::uint32_t{bytes[4 * k + b]} << (8 * b);
        samples[k] = static_cast<std::int32_t>(value);
    }
    return samples;
}

int Usage()
{
    std::cerr
        << "usage: outputmatch --channels N [--allow-short FRAMES] [--gaps] EXPECTED PLAYED\n";
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    nuvalsa::MatchRules rules;
    std::vector<const char*> files;
    for (int k = 1; k < argc; ++k)
    {
        const bool hasValue = k + 1 < argc;
        if (std::strcmp(argv[k], "--channels") == 0 && hasValue)
            rules.channels = static_cast<unsigned>(std::strtoul(argv[++k], nullptr, 10));
        else if (std::strcmp(argv[k], "--allow-short") == 0 && hasValue)
            rules.allowShortFrames = std::strtoull(argv[++k], nullptr, 10);
        else if (std::strcmp(argv[k], "--gaps") == 0)
            rules.gaps = true;
        else if (argv[k][0] == '-')
            return Usage();
        else
            files.push_back(argv[k]);
    }
    if (files.size() != 2 || rules.channels == 0)
        return Usage();
    const auto expected = ReadSamples(files[0]);
    const auto played = ReadSamples(files[1]);
    if (!expected || !played)
    {
        std::cerr << "outputmatch: cannot read " << (expected ? files[1] : files[0]) << "\n";
        return 2;
    }
    const nuvalsa::MatchResult result = nuvalsa::MatchOutput(*expected, *played, rules);
    std::cout << (result.matched ? "match: " : "no match: ") << result.text << "\n";
    return result.matched ? 0 : 1;
}
