// nuv_bench: the sample transfer against the limit and the peer.
//
// For every layout (direction, client sample size, channels, period) and
// mapping size it times one period of ConvertSamples and of TransferPeriod,
// and per layout an SSE2 copy of the same container bytes and, for 2- and
// 4-byte samples, libswresample. Google Benchmark runs every case several
// times with the repetitions of all cases in random interleaved order, so a
// noisy stretch of the machine spreads over all of them; the table gives
// per row the median and the best repetition as ratios:
//
//     x copy       copy time / ConvertSamples time   (1.0: as fast as a copy)
//     x swr        libswresample time / ConvertSamples time
//     transfer     TransferPeriod time / ConvertSamples time
//
// and then checks the targets on the best repetitions. Compare figures
// within one run only. Any Google Benchmark flag may be given, e.g.
//
//     nuv_bench --benchmark_repetitions=9 --benchmark_min_time=0.05
//     nuv_bench --benchmark_filter='render:16'
#include "bench/runner.h"
#include "bench/measures.h"

#include "host/kernel/conduct.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace
{

using nuvbench::Layout;
using nuvbench::Measure;
using nuvbench::Path;

constexpr ULONG kPage = 4096;
// Odd mapping sizes: primes, so every sample size is split inside a sample
// at most mapping ends.
constexpr ULONG kOddMappings[] = {1021, 61};

struct Row
{
    Layout layout;
    ULONG mapping;
    Path path;

    std::string Name() const
    {
        return layout.Name() + ":" + std::to_string(mapping) +
               (path == Path::Ssse3 ? ":ssse3" : ":sse2");
    }
};

std::vector<Row> Rows()
{
    const bool ssse3 = nuvbench::ProcessorHasSsse3();
    std::vector<Row> rows;
    for (bool capture : {false, true})
        for (ULONG bytesPerSample : {2u, 3u, 4u})
            for (ULONG channels : {2u, 6u, 8u})
                for (ULONG frames : {32u, 128u, 480u, 2048u})
                {
                    const Layout layout{capture, bytesPerSample, channels, frames};
                    const bool shuffles = bytesPerSample == 3 && ssse3;
                    if (shuffles)
                        rows.push_back({layout, kPage, Path::Ssse3});
                    rows.push_back({layout, kPage, Path::Sse2});
                    if ((channels == 2 || channels == 8) && (frames == 128 || frames == 480))
                        for (ULONG mapping : kOddMappings)
                            rows.push_back({layout, mapping, shuffles ? Path::Ssse3 : Path::Sse2});
                }
    return rows;
}

struct Stats
{
    double median = 0;
    double best = 0;
    bool valid = false;
};

Stats StatsOf(const std::vector<double>* times)
{
    if (times == nullptr || times->empty())
        return {};
    std::vector<double> sorted = *times;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t n = sorted.size();
    const double median = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    return {median, sorted.front(), true};
}

// numerator / denominator, per statistic.
struct Ratio
{
    double median = 0;
    double best = 0;
    bool valid = false;
};

Ratio RatioOf(const Stats& numerator, const Stats& denominator)
{
    if (!numerator.valid || !denominator.valid)
        return {};
    return {numerator.median / denominator.median, numerator.best / denominator.best, true};
}

std::string Format(const Ratio& ratio)
{
    if (!ratio.valid)
        return "- | -";
    char text[48];
    std::snprintf(text, sizeof(text), "%.2f | %.2f", ratio.median, ratio.best);
    return text;
}

std::string Nanoseconds(const Stats& stats)
{
    if (!stats.valid)
        return "-";
    char text[24];
    std::snprintf(text, sizeof(text), "%.0f", stats.median);
    return text;
}

// Everything measured: the objects live for the whole run, the benchmarks
// refer to them by index.
std::vector<std::unique_ptr<Measure>> measures;

void Register(const std::string& name, std::unique_ptr<Measure> measure)
{
    if (measure == nullptr)
        return;
    Measure* m = measure.get();
    measures.push_back(std::move(measure));
    benchmark::RegisterBenchmark(name.c_str(),
                                 [m](benchmark::State& state)
                                 {
                                     m->Prepare();
                                     for (auto _ : state)
                                     {
                                         m->RunPeriod();
                                         benchmark::ClobberMemory();
                                     }
                                 })
        ->Unit(benchmark::kNanosecond);
}

struct Measured
{
    Row row;
    Stats convert, transfer, copy, swr;
    Ratio toCopy, toSwr, transferCost;
};

std::vector<Measured> Collect(const std::vector<Row>& rows,
                              const nuvbench::TimeCollector& collector)
{
    std::vector<Measured> results;
    for (const Row& row : rows)
    {
        Measured m{row,
                   StatsOf(collector.Times("convert:" + row.Name())),
                   StatsOf(collector.Times("transfer:" + row.Name())),
                   StatsOf(collector.Times("copy:" + row.layout.Name())),
                   StatsOf(collector.Times("swr:" + row.layout.Name())),
                   {},
                   {},
                   {}};
        m.toCopy = RatioOf(m.copy, m.convert);
        m.toSwr = RatioOf(m.swr, m.convert);
        m.transferCost = RatioOf(m.transfer, m.convert);
        if (m.convert.valid)
            results.push_back(m);
    }
    return results;
}

void PrintTable(const std::vector<Measured>& results, int repetitions)
{
    std::printf("ns per period, median of %d interleaved repetitions; ratios median | best\n\n",
                repetitions);
    std::printf("| dir | bits | ch | frames | mapping | path | convert ns | copy ns | x copy med | "
                "x copy best | x swr med | x swr best | transfer ns | transfer/convert med | "
                "transfer/convert best |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Measured& m : results)
    {
        const Layout& l = m.row.layout;
        std::printf("| %s | %u | %u | %u | %u | %s | %s | %s | %s | %s | %s | %s |\n",
                    l.capture ? "capture" : "render", 8 * l.bytesPerSample, l.channels, l.frames,
                    m.row.mapping, m.row.path == Path::Ssse3 ? "ssse3" : "sse2",
                    Nanoseconds(m.convert).c_str(), Nanoseconds(m.copy).c_str(),
                    Format(m.toCopy).c_str(), Format(m.toSwr).c_str(),
                    Nanoseconds(m.transfer).c_str(), Format(m.transferCost).c_str());
    }
}

// --- targets ------------------------------------------------------------------

using Select = std::function<bool(const Measured&)>;

// The worst best-repetition ratio over the rows `select` picks, with its row.
void Check(const std::vector<Measured>& results, const char* what, const Select& select,
           Ratio Measured::*ratio, double bound, bool atMost)
{
    const Measured* worst = nullptr;
    double worstValue = 0;
    for (const Measured& m : results)
    {
        const Ratio& r = m.*ratio;
        if (!select(m) || !r.valid)
            continue;
        const bool worse = worst == nullptr || (atMost ? r.best > worstValue : r.best < worstValue);
        if (worse)
        {
            worst = &m;
            worstValue = r.best;
        }
    }
    if (worst == nullptr)
    {
        std::printf("- %s: not measured in this run\n", what);
        return;
    }
    const bool met = atMost ? worstValue <= bound : worstValue >= bound;
    std::printf("- %s: %s (%s %.2f, worst %.3f at %s)\n", what, met ? "met" : "MISSED",
                atMost ? "at most" : "at least", bound, worstValue, worst->row.Name().c_str());
}

void PrintTargets(const std::vector<Measured>& results)
{
    auto render = [](ULONG bytes, ULONG minFrames, Path path)
    {
        return [=](const Measured& m)
        {
            const Layout& l = m.row.layout;
            return !l.capture && l.bytesPerSample == bytes && l.frames >= minFrames &&
                   m.row.mapping == kPage && m.row.path == path;
        };
    };
    std::printf("\nTargets (best repetitions; page mappings; render unless named)\n");
    Check(results, "16-bit render vs copy, periods >= 128", render(2, 128, Path::Sse2),
          &Measured::toCopy, 0.9, false);
    Check(results, "32-bit render vs copy, periods >= 128", render(4, 128, Path::Sse2),
          &Measured::toCopy, 0.95, false);
    Check(results, "24-bit render vs copy with SSSE3, periods >= 128", render(3, 128, Path::Ssse3),
          &Measured::toCopy, 0.6, false);
    Check(results, "24-bit render vs copy without SSSE3, periods >= 128",
          render(3, 128, Path::Sse2), &Measured::toCopy, 0.3, false);
    Check(
        results, "16-to-32 vs libswresample, 128 frames",
        [&](const Measured& m)
        { return render(2, 128, Path::Sse2)(m) && m.row.layout.frames == 128; },
        &Measured::toSwr, 2.0, false);
    Check(results, "16-to-32 vs libswresample, any period", render(2, 0, Path::Sse2),
          &Measured::toSwr, 1.0, false);
    Check(results, "32-bit vs libswresample, periods >= 128", render(4, 128, Path::Sse2),
          &Measured::toSwr, 5.0, false);
    Check(
        results, "TransferPeriod / ConvertSamples, 128 frames x 8 channels, any width",
        [](const Measured& m)
        {
            return !m.row.layout.capture && m.row.layout.frames == 128 &&
                   m.row.layout.channels == 8 && m.row.mapping == kPage;
        },
        &Measured::transferCost, 1.5, true);

    auto capture = [](ULONG bytes, Path path)
    {
        return [=](const Measured& m)
        {
            const Layout& l = m.row.layout;
            return l.capture && l.bytesPerSample == bytes && l.frames >= 128 &&
                   m.row.mapping == kPage && m.row.path == path;
        };
    };
    std::printf("\nThe same bounds for capture (for information)\n");
    Check(results, "16-bit capture vs copy", capture(2, Path::Sse2), &Measured::toCopy, 0.9, false);
    Check(results, "32-bit capture vs copy", capture(4, Path::Sse2), &Measured::toCopy, 0.95,
          false);
    Check(results, "24-bit capture vs copy with SSSE3", capture(3, Path::Ssse3), &Measured::toCopy,
          0.6, false);
    Check(results, "24-bit capture vs copy without SSSE3", capture(3, Path::Sse2),
          &Measured::toCopy, 0.3, false);
}

} // namespace

int main(int argc, char** argv)
{
    host::SetViolationHandler(host::PrintAndAbortHandler());

    if (!nuvbench::InitializeBenchmark(argc, argv, "0.01"))
        return 1;

    const std::vector<Row> rows = Rows();
    std::map<std::string, bool> layouts;
    for (const Row& row : rows)
    {
        Register("convert:" + row.Name(), nuvbench::MakeConvert(row.layout, row.mapping, row.path));
        Register("transfer:" + row.Name(),
                 nuvbench::MakeTransfer(row.layout, row.mapping, row.path));
        if (!layouts[row.layout.Name()])
        {
            layouts[row.layout.Name()] = true;
            Register("copy:" + row.layout.Name(), nuvbench::MakeCopy(row.layout));
            Register("swr:" + row.layout.Name(), nuvbench::MakeSwresample(row.layout));
        }
    }
    Register("lock:host", nuvbench::MakeHostSpinLock());
    std::fprintf(stderr, "nuv_bench: %zu cases, interleaved repetitions...\n", measures.size());

    nuvbench::TimeCollector collector(nuvbench::TimeCollector::Clock::Cpu, 200);
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    const std::vector<Measured> results = Collect(rows, collector);
    int repetitions = 0;
    for (const Measured& m : results)
        repetitions = std::max<int>(
            repetitions, static_cast<int>(collector.Times("convert:" + m.row.Name())->size()));
    PrintTable(results, repetitions);
    const Stats lock = StatsOf(collector.Times("lock:host"));
    if (lock.valid)
        std::printf("\nHost spin lock, acquire and release (inside every TransferPeriod): "
                    "%.1f ns median, %.1f ns best\n",
                    lock.median, lock.best);
    PrintTargets(results);
    measures.clear();
    return 0;
}
