#include "bench/flags.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace nuvbench
{

bool InitializeBenchmark(int argc, char** argv, const char* minSeconds)
{
    // Google Benchmark keeps pointers into the arguments: they live as long
    // as the program.
    static std::vector<std::string> defaults;
    defaults = {"--benchmark_repetitions=5", "--benchmark_enable_random_interleaving=true",
                std::string("--benchmark_min_time=") + minSeconds};
    std::vector<char*> args = {argv[0]};
    for (std::string& flag : defaults)
        args.push_back(flag.data());
    for (int i = 1; i < argc; ++i)
        args.push_back(argv[i]);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    return !benchmark::ReportUnrecognizedArguments(count, args.data());
}

} // namespace nuvbench
