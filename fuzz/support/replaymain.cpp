// The replay program of a fuzzer: runs LLVMFuzzerTestOneInput over every
// file named on the command line, and every file in every directory named,
// the way libFuzzer would run one input. CTest runs it over the committed
// corpus; a developer runs it over a crash file to see it again without
// libFuzzer.
//
//     build/fuzz/session_replay fuzz/corpus/session crash-1234
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace
{

bool RunFile(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
    {
        std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                    std::istreambuf_iterator<char>());
    // A copy of exactly the file's size, as libFuzzer hands an input over,
    // so that a read past its end is a read past a heap block.
    std::vector<std::uint8_t> input(bytes);
    LLVMFuzzerTestOneInput(input.data(), input.size());
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::size_t inputs = 0;
    for (int i = 1; i < argc; ++i)
    {
        const std::filesystem::path path(argv[i]);
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(path))
        {
            for (const auto& entry : std::filesystem::directory_iterator(path))
            {
                if (entry.is_regular_file())
                    files.push_back(entry.path());
            }
            std::sort(files.begin(), files.end());
        }
        else
            files.push_back(path);
        for (const std::filesystem::path& file : files)
        {
            if (!RunFile(file))
                return 1;
            ++inputs;
        }
    }
    std::printf("replay: %zu inputs, no finding\n", inputs);
    // An empty corpus is a corpus that was lost.
    return inputs == 0 ? 1 : 0;
}
