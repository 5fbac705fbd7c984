// The things the transfer benchmarks time, each one period of audio per
// RunPeriod call, in the same working set a stream has (a client buffer of
// two periods, a transfer buffer of two halves, both used in turn):
//
//     copy        an SSE2 copy of one half's container bytes: the limit
//     swresample  libswresample converting the period, packed, same rate and
//                 channel layout (2- and 4-byte samples only; it has no
//                 packed 24-bit format)
//     convert     the stream's ConvertSamples over the period's mapping
//                 pieces, as TransferPeriod calls it, without lock or port
//     transfer    the stream's TransferPeriod through a BenchPortStream
//
//     auto measure = nuvbench::MakeConvert({.capture = false, .bytesPerSample = 2,
//                                           .channels = 2, .frames = 128}, 4096, Path::Sse2);
//     measure->Prepare();            // before each timed run: the path
//     measure->RunPeriod();          // timed
#pragma once

#include <wdm.h>

#include <memory>
#include <string>

namespace nuvbench
{

struct Layout
{
    bool capture = false;
    ULONG bytesPerSample = 2;
    ULONG channels = 2;
    ULONG frames = 128;

    ULONG ClientBytes() const { return frames * channels * bytesPerSample; }
    ULONG ContainerBytes() const { return frames * channels * 4; }
    std::string Name() const;
};

// The bulk routines the stream's conversion is made to take.
enum class Path
{
    Sse2,
    Ssse3,
};

class Measure
{
public:
    virtual ~Measure() = default;
    // Before each timed run (the benchmarks of several paths interleave).
    virtual void Prepare() {}
    virtual void RunPeriod() = 0;
};

std::unique_ptr<Measure> MakeCopy(const Layout& layout);
// Null for 3-byte samples.
std::unique_ptr<Measure> MakeSwresample(const Layout& layout);
std::unique_ptr<Measure> MakeConvert(const Layout& layout, ULONG mappingBytes, Path path);
std::unique_ptr<Measure> MakeTransfer(const Layout& layout, ULONG mappingBytes, Path path);
// One acquisition and release of a spin lock of the host kernel (part of
// every TransferPeriod; the Windows kernel's costs less).
std::unique_ptr<Measure> MakeHostSpinLock();

// Makes ConvertSamplesFast take `path` from now on (SSSE3 only if the
// processor has it).
void UsePath(Path path);
bool ProcessorHasSsse3();

} // namespace nuvbench
