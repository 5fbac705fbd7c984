// nuv_path_bench: what a period costs on the whole path, and how fast
// `nuvsim play` runs.
//
//   chain      one period through the whole chain (chain.h): the engine's
//              take and play, EngineNotify, the port's Notify, the service
//              group, Service, TransferPeriod with its mappings and the
//              conversion; 1 stream and 4 at once; the port's Notify run
//              on the engine's thread (as on the virtual clock) or through
//              a DPC thread the clock waits for (as on the threaded clock)
//   convert    the conversion alone: the stream's ConvertSamples over the
//              same period's mappings (measures.h), once per stream
//   play       `nuvsim play` of the test signal, quiet, start to end, on the
//              virtual and the threaded clock: seconds of audio per second
//
// Times are wall-clock (a DPC thread works beside the timed one), median
// and best of interleaved repetitions; compare within one run. Google
// Benchmark flags pass through, e.g. --benchmark_repetitions=9.
#include "bench/runner.h"
#include "bench/chain.h"
#include "bench/measures.h"

#include "host/kernel/conduct.h"
#include "tools/nuvsim/play.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace
{

constexpr ULONG kPeriodFrames = 480;

using Stream = nuvbench::ChainBench::Stream;
using Delivery = nuvbench::ChainBench::Delivery;

std::string Describe(const std::vector<Stream>& streams)
{
    std::ostringstream text;
    text << streams.size() << (streams.size() == 1 ? " stream: " : " streams: ");
    for (std::size_t i = 0; i < streams.size(); ++i)
        text << (i ? ", " : "") << "device " << streams[i].device << " " << streams[i].channels
             << " ch " << streams[i].bits << "-bit";
    return text.str();
}

struct ChainCase
{
    std::string name;
    std::vector<Stream> streams;
    Delivery delivery;
};

std::vector<ChainCase> ChainCases()
{
    const Stream stereo16{1, 2, 16};
    const Stream six24{4, 6, 24};
    const std::vector<Stream> four = {{1, 2, 16}, {2, 2, 16}, {3, 2, 16}, {4, 2, 16}};
    return {
        {"chain:1x2ch16:direct", {stereo16}, Delivery::Direct},
        {"chain:1x6ch24:direct", {six24}, Delivery::Direct},
        {"chain:4x2ch16:direct", four, Delivery::Direct},
        {"chain:1x2ch16:dpc", {stereo16}, Delivery::Dpc},
        {"chain:4x2ch16:dpc", four, Delivery::Dpc},
    };
}

std::string ConvertName(const Stream& stream)
{
    return "convert:" + std::to_string(stream.channels) + "ch" + std::to_string(stream.bits);
}

// Objects that must outlive the benchmarks that use them.
std::vector<std::unique_ptr<nuvbench::Measure>> converts;

void RegisterChain(const ChainCase& c)
{
    benchmark::RegisterBenchmark(c.name.c_str(),
                                 [c](benchmark::State& state)
                                 {
                                     nuvbench::ChainBench chain(c.streams, kPeriodFrames,
                                                                c.delivery);
                                     if (!chain.Ready())
                                     {
                                         state.SkipWithError("the streams did not open");
                                         return;
                                     }
                                     for (auto _ : state)
                                     {
                                         if (chain.PeriodsLeft() < 2)
                                         {
                                             state.PauseTiming();
                                             chain.Refill();
                                             state.ResumeTiming();
                                         }
                                         chain.RunPeriod();
                                     }
                                 })
        ->UseRealTime()
        ->Unit(benchmark::kNanosecond);
}

void RegisterConvert(const Stream& stream)
{
    const nuvbench::Path path =
        nuvbench::ProcessorHasSsse3() ? nuvbench::Path::Ssse3 : nuvbench::Path::Sse2;
    converts.push_back(nuvbench::MakeConvert({.capture = false,
                                              .bytesPerSample = stream.bits / 8,
                                              .channels = stream.channels,
                                              .frames = kPeriodFrames},
                                             4096, path));
    nuvbench::Measure* measure = converts.back().get();
    benchmark::RegisterBenchmark(ConvertName(stream).c_str(),
                                 [measure](benchmark::State& state)
                                 {
                                     measure->Prepare();
                                     for (auto _ : state)
                                     {
                                         measure->RunPeriod();
                                         benchmark::ClobberMemory();
                                     }
                                 })
        ->UseRealTime()
        ->Unit(benchmark::kNanosecond);
}

struct PlayCase
{
    std::string name;
    nuvsim::ClockKind clock;
    int device;
    unsigned rate;
    unsigned bits;
    double seconds;
};

std::vector<PlayCase> PlayCases()
{
    return {
        {"play:virtual:48k-2ch-16", nuvsim::ClockKind::Virtual, 1, 48000, 16, 600},
        {"play:virtual:96k-6ch-24", nuvsim::ClockKind::Virtual, 4, 96000, 24, 120},
        {"play:threaded:48k-2ch-16", nuvsim::ClockKind::Threaded, 1, 48000, 16, 120},
        {"play:threaded:96k-6ch-24", nuvsim::ClockKind::Threaded, 4, 96000, 24, 30},
    };
}

void RegisterPlay(const PlayCase& c)
{
    benchmark::RegisterBenchmark(
        c.name.c_str(),
        [c](benchmark::State& state)
        {
            nuvsim::PlayOptions options;
            options.streams = {{nuvsim::PlayArgument::Kind::Device, std::to_string(c.device)}};
            options.clock = c.clock;
            options.quiet = true;
            options.signalRate = c.rate;
            options.signalBits = c.bits;
            options.signalSeconds = c.seconds;
            std::ostringstream out;
            std::ostringstream err;
            for (auto _ : state)
            {
                if (nuvsim::RunPlay(options, out, err) != nuvsim::kPlayedClean)
                    state.SkipWithError(("nuvsim play failed: " + err.str()).c_str());
            }
        })
        ->Iterations(1)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
}

void PrintChain(const nuvbench::TimeCollector& collector)
{
    std::printf("\nOne period (480 frames) through the whole chain, against the conversion "
                "alone (ns, median | best)\n\n");
    std::printf("| streams | port's Notify | chain ns med | chain ns best | conversion ns med | "
                "conversion ns best | chain / conversion med | chain / conversion best |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    for (const ChainCase& c : ChainCases())
    {
        double chainMedian = 0, chainBest = 0;
        if (!collector.Stats(c.name, chainMedian, chainBest))
            continue;
        double convertMedian = 0, convertBest = 0;
        for (const Stream& stream : c.streams)
        {
            double median = 0, best = 0;
            if (collector.Stats(ConvertName(stream), median, best))
            {
                convertMedian += median;
                convertBest += best;
            }
        }
        std::printf(
            "| %s | %s | %.0f | %.0f | %.1f | %.0f | %.0f | %.1f |\n", Describe(c.streams).c_str(),
            c.delivery == Delivery::Direct ? "on the engine's thread" : "through a DPC thread",
            chainMedian, chainBest, convertMedian, convertBest,
            convertMedian > 0 ? chainMedian / convertMedian : 0.0,
            convertBest > 0 ? chainBest / convertBest : 0.0);
    }
}

void PrintPlay(const nuvbench::TimeCollector& collector)
{
    std::printf("\nnuvsim play of the test signal, quiet, start to end (x real time, median | "
                "best)\n\n");
    std::printf("| clock | signal | seconds of audio | x real time med | x real time best |\n");
    std::printf("|---|---|---|---|---|\n");
    for (const PlayCase& c : PlayCases())
    {
        double median = 0, best = 0;
        if (!collector.Stats(c.name, median, best))
            continue;
        // Milliseconds per run.
        std::printf("| %s | %u Hz, %d ch, %u-bit | %.0f | %.0f | %.0f |\n",
                    nuvsim::ClockName(c.clock), c.rate, c.device == 4 ? 6 : 2, c.bits, c.seconds,
                    c.seconds * 1000.0 / median, c.seconds * 1000.0 / best);
    }
}

} // namespace

int main(int argc, char** argv)
{
    host::SetViolationHandler(host::PrintAndAbortHandler());

    if (!nuvbench::InitializeBenchmark(argc, argv, "0.2"))
        return 1;

    for (const ChainCase& c : ChainCases())
        RegisterChain(c);
    RegisterConvert({1, 2, 16});
    RegisterConvert({4, 6, 24});
    for (const PlayCase& c : PlayCases())
        RegisterPlay(c);

    nuvbench::TimeCollector collector(nuvbench::TimeCollector::Clock::Wall);
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();
    PrintChain(collector);
    PrintPlay(collector);
    converts.clear();
    return 0;
}
