#include "bench/runner.h"

#include <algorithm>
#include <cstdio>

namespace nuvbench
{

bool InitializeBenchmark(int argc, char** argv, const char* minSeconds)
{
    // Google Benchmark may keep pointers into the arguments: they live as
    // long as the program.
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

void TimeCollector::ReportRuns(const std::vector<Run>& runs)
{
    for (const Run& run : runs)
    {
        if (run.run_type != Run::RT_Iteration || run.error_occurred)
            continue;
        std::string name = run.benchmark_name();
        name = name.substr(0, name.find('/'));
        times_[name].push_back(clock_ == Clock::Cpu ? run.GetAdjustedCPUTime()
                                                    : run.GetAdjustedRealTime());
        if (progressEvery_ != 0 && ++reported_ % progressEvery_ == 0)
            std::fprintf(stderr, "  %zu runs\n", reported_);
    }
}

const std::vector<double>* TimeCollector::Times(const std::string& name) const
{
    auto found = times_.find(name);
    return found == times_.end() ? nullptr : &found->second;
}

bool TimeCollector::Stats(const std::string& name, double& median, double& best) const
{
    const std::vector<double>* times = Times(name);
    if (times == nullptr || times->empty())
        return false;
    std::vector<double> sorted = *times;
    std::sort(sorted.begin(), sorted.end());
    median = sorted[sorted.size() / 2];
    best = sorted.front();
    return true;
}

} // namespace nuvbench
