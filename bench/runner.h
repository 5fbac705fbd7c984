// How both benchmark programs run Google Benchmark: the project's default
// flags (five repetitions of every case, interleaved in random order so
// that a noisy stretch of the machine spreads over all of them, and the
// given minimum time per repetition) ahead of the command line's, which
// win; and the time of every repetition kept by case name, for the tables
// each program prints after the run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace nuvbench
{

// False if the command line held a flag Google Benchmark does not know
// (it has said which).
bool InitializeBenchmark(int argc, char** argv, const char* minSeconds);

// Time per iteration of each repetition, in the unit reported (ns), by the
// case's name up to its first '/'.
class TimeCollector : public benchmark::BenchmarkReporter
{
public:
    enum class Clock
    {
        Cpu,  // the timed thread's processor time
        Wall, // for cases where other threads work beside the timed one
    };
    // ProgressEvery: a line on stderr every that many repetitions (0: none).
    explicit TimeCollector(Clock clock, std::size_t progressEvery = 0)
        : clock_(clock), progressEvery_(progressEvery)
    {
    }

    bool ReportContext(const Context&) override { return true; }
    void ReportRuns(const std::vector<Run>& runs) override;

    // Null if the case did not run.
    const std::vector<double>* Times(const std::string& name) const;
    // Median and best, or false if the case did not run.
    bool Stats(const std::string& name, double& median, double& best) const;

private:
    Clock clock_;
    std::size_t progressEvery_;
    std::size_t reported_ = 0;
    std::map<std::string, std::vector<double>> times_;
};

} // namespace nuvbench
