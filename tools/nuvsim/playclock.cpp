#include "tools/nuvsim/playclock.h"

#include "host/engine/clock.h"
#include "host/portcls/dpcqueue.h"
#include "host/portcls/portclass.h"
#include "tools/nuvsim/filterviews.h"
#include "tools/nuvsim/progress.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace nuvsim
{
namespace
{

// Output is collected every this many periods on the virtual clock: the
// judge and the comparison see it while it is still in the cache, and the
// engine never holds more than this.
constexpr ULONGLONG kCollectPeriods = 16;

ULONG StepFrames(unsigned periodFrames)
{
    return periodFrames >= 4 ? periodFrames / 4 : 1;
}

// The largest input and its rate, for the progress bar.
std::pair<std::uint64_t, unsigned> Longest(const std::vector<std::unique_ptr<DeviceRun>>& runs)
{
    std::uint64_t frames = 0;
    unsigned rate = 0;
    for (const auto& run : runs)
    {
        if (run->Input().Frames() >= frames)
        {
            frames = run->Input().Frames();
            rate = run->Input().Format().sampleRate;
        }
    }
    return {frames, rate};
}

// Stops the streams that have played to their end; whether any still plays,
// and the device frame at which the next one ends.
struct Remaining
{
    bool any = false;
    ULONGLONG nextEnd = ~0ull;
};

Remaining StopFinished(std::vector<std::unique_ptr<DeviceRun>>& runs, ULONGLONG device,
                       bool& stoppedCleanly, std::ostream& err)
{
    Remaining remaining;
    for (auto& run : runs)
    {
        if (run->Stopped())
            continue;
        if (device >= run->TargetFrames())
        {
            stoppedCleanly = run->Stop(err) && stoppedCleanly;
            continue;
        }
        remaining.any = true;
        remaining.nextEnd = std::min<ULONGLONG>(remaining.nextEnd, run->TargetFrames());
    }
    return remaining;
}

void CollectAll(host::System& system, std::vector<std::unique_ptr<DeviceRun>>& runs)
{
    for (auto& run : runs)
    {
        if (!run->Stopped())
            run->Collect();
    }
    // The engine records every command; a long run reads positions
    // millions of times.
    system.Engine().ClearCommands();
}

bool RunVirtual(host::System& system, std::vector<std::unique_ptr<DeviceRun>>& runs,
                const ClockRun& how, ProgressBar& progress, std::ostream& err)
{
    host::engine::Engine& engine = system.Engine();
    host::engine::VirtualClock clock(engine);
    const ULONG period = how.periodFrames;
    bool clean = true;
    ULONGLONG sinceCollect = 0;
    for (;;)
    {
        const ULONGLONG device = engine.DevicePosition();
        const Remaining remaining = StopFinished(runs, device, clean, err);
        if (!remaining.any)
            break;
        for (auto& run : runs)
        {
            if (run->Stopped())
                continue;
            run->Feed();
            run->ReadPosition();
        }
        // Steps end at period boundaries and at the next stream's end, as
        // the threaded clock's do.
        const ULONGLONG frames = std::min<ULONGLONG>(
            {StepFrames(period), period - device % period, remaining.nextEnd - device});
        clock.AdvanceFrames(frames);
        sinceCollect += frames;
        if (sinceCollect >= kCollectPeriods * period)
        {
            CollectAll(system, runs);
            progress.Update(engine.DevicePosition());
            sinceCollect = 0;
        }
    }
    return clean;
}

bool RunThreaded(host::System& system, std::vector<std::unique_ptr<DeviceRun>>& runs,
                 const ClockRun& how, ProgressBar& progress, std::ostream& err)
{
    host::engine::Engine& engine = system.Engine();
    host::portcls::DpcQueue dpc;
    host::portcls::SetNotifyDelivery([&dpc](PSERVICEGROUP group) { dpc.Deliver(group); });

    std::mutex mutex;
    std::condition_variable wanted;
    bool clientWanted = false;
    std::atomic<ULONGLONG> nextEnd{0};
    const auto callClient = [&]
    {
        {
            std::lock_guard lock(mutex);
            clientWanted = true;
        }
        wanted.notify_one();
    };

    bool clean = true;
    nextEnd = StopFinished(runs, engine.DevicePosition(), clean, err).nextEnd;

    host::engine::ThreadedClock::Options options;
    options.realTime = how.kind == ClockKind::Realtime;
    if (options.realTime)
    {
        // The engine takes the next half right after a period's callbacks,
        // and the driver fills that very half in its Service. A device in
        // real time does not wait for it long: until its next step is due.
        const unsigned rate = std::max(1u, runs.front()->Input().Format().sampleRate);
        const std::chrono::nanoseconds step(std::uint64_t{StepFrames(how.periodFrames)} *
                                            1'000'000'000ull / rate);
        options.settle = [&dpc, step] { dpc.DrainDueWithin(step); };
        if (!dpc.RunAboveOrdinaryThreads())
            err << "nuvsim: the DPC thread runs at ordinary priority (this system refuses "
                   "real-time scheduling): on a busy machine a period may be late\n";
    }
    else
    {
        // As fast as it goes: the device waits for the DPCs, so that a
        // period is late only when the driver was.
        options.settle = [&dpc] { dpc.Drain(); };
    }
    ULONGLONG lastReading = ~0ull;
    options.mayAdvance = [&]()
    {
        const ULONGLONG device = engine.DevicePosition();
        // A stream at its end waits for the client's thread to stop it.
        if (device >= nextEnd.load())
        {
            callClient();
            return false;
        }
        // The period ahead must be there before the device reaches it.
        for (const auto& run : runs)
        {
            if (!run->Stopped() && run->Starved())
            {
                callClient();
                return false;
            }
        }
        // Positions are read here, on the clock's thread between steps,
        // where the device cannot move under the reading.
        if (device != lastReading)
        {
            for (auto& run : runs)
                run->ReadPosition();
            lastReading = device;
        }
        return true;
    };

    host::engine::ThreadedClock clock(engine, options);
    clock.Start();
    for (;;)
    {
        for (auto& run : runs)
        {
            if (!run->Stopped())
                run->Feed();
        }
        const Remaining remaining = StopFinished(runs, engine.DevicePosition(), clean, err);
        nextEnd = remaining.nextEnd;
        if (!remaining.any)
            break;
        CollectAll(system, runs);
        progress.Update(engine.DevicePosition());
        std::unique_lock lock(mutex);
        wanted.wait_for(lock, std::chrono::milliseconds(2), [&] { return clientWanted; });
        clientWanted = false;
    }
    clock.Stop();
    dpc.Drain();
    host::portcls::SetNotifyDelivery(nullptr);
    return clean;
}

// Every client fills its port, then every stream goes to RUN, all at device
// frame 0 (the clock has not moved yet).
bool StartStreams(std::vector<std::unique_ptr<DeviceRun>>& runs, std::ostream& err)
{
    for (auto& run : runs)
    {
        run->Feed();
        for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN})
        {
            const NTSTATUS status = run->Pin().SetState(state);
            if (!NT_SUCCESS(status))
            {
                err << "nuvsim play: device " << run->Device() << ": the stream refused "
                    << host::portcls::StateName(state) << ": " << StatusName(status) << "\n";
                return false;
            }
        }
    }
    return true;
}

} // namespace

bool RunOnClock(host::System& system, std::vector<std::unique_ptr<DeviceRun>>& runs,
                const ClockRun& how, std::ostream& err)
{
    if (!StartStreams(runs, err))
        return false;
    const auto [frames, rate] = Longest(runs);
    ProgressBar progress(err, how.progress && ProgressBar::StderrIsTerminal(), frames, rate);
    const bool clean = how.kind == ClockKind::Virtual
                           ? RunVirtual(system, runs, how, progress, err)
                           : RunThreaded(system, runs, how, progress, err);
    progress.Clear();
    return clean;
}

} // namespace nuvsim
