// One device's stream in a run of `nuvsim play`, from the open pin to its
// summary, in memory that does not grow with the input:
//
//   - the client keeps the port supplied with buffers read from the input
//     in blocks (Feed), and holds nothing else;
//   - as the device plays, its output is taken from the engine in parts
//     (Collect) and goes, part by part, to the oracle's judge beside the
//     stream, to the comparison with the input read a second time, and to
//     the output file; then it is dropped;
//   - positions are read between steps of the device; each waits only until
//     the judge has judged the output it was read at, is judged against the
//     client bytes played there (host/engine/positionjudge.h) and folded
//     into the position figures, and is dropped.
//
//     DeviceRun run(device, std::move(pin), engine, std::move(input), std::move(again), ...);
//     run.Feed();                         // the client, whenever the port runs low
//     run.ReadPosition();                 // the clock's thread, between steps
//     run.Collect();                      // now and then
//     run.Stop(err);                      // once the device has played TargetFrames()
//     PlaySummary summary = run.Finish();
//
// Threads: Feed, Collect, Stop and Finish on one thread (the client's);
// Starved, ReadPosition and Stopped also on the clock's.
#pragma once

#include "host/engine/playoracle.h"
#include "host/engine/positionjudge.h"
#include "host/engine/trace.h"
#include "host/portcls/pin.h"
#include "tools/nuvsim/audio.h"
#include "tools/nuvsim/summary.h"
#include "tools/nuvsim/wavio.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace nuvsim
{

struct DeviceRunSetup
{
    int device = 1;
    unsigned periodFrames = 480;
    unsigned bufferMs = 10;
    std::string proposal;   // the filter's, in words
    std::string schedule;   // the client's timing, if it follows one
    std::string outputPath; // of `wav`, for the summary
    // Where the position readings and their truth are drawn as counters
    // (none: not traced), under which name.
    host::engine::TraceRecorder* trace = nullptr;
    std::string traceName = "position";
};

class DeviceRun
{
public:
    DeviceRun(const DeviceRunSetup& setup, std::unique_ptr<host::portcls::Pin> pin,
              host::engine::Engine& engine, std::unique_ptr<AudioSource> input,
              std::unique_ptr<AudioSource> expected, std::unique_ptr<ContainerWavWriter> wav);
    DeviceRun(const DeviceRun&) = delete;
    DeviceRun& operator=(const DeviceRun&) = delete;

    int Device() const { return m_setup.device; }
    host::portcls::Pin& Pin() { return *m_pin; }
    const AudioSource& Input() const { return *m_input; }

    // --- the client -----------------------------------------------------
    // Writes buffers of the input while the port holds less than its low
    // water mark of bytes not yet handed out.
    void Feed();
    bool FedAll() const { return m_fedAll.load(); }
    // Whether the period ahead is missing: more to come, less than a period
    // queued. (The clock waits for the client then, in its fast modes.)
    bool Starved() const;

    // --- the device -----------------------------------------------------
    // The device frame at which the input and the period after it have
    // played (every stream starts at frame 0 of the device).
    std::uint64_t TargetFrames() const { return m_targetFrames; }
    // GetPosition as a client calls it, kept with the engine's record of the
    // query the stream made for it, until the judge can tell the truth
    // there. None once the stream is stopping.
    void ReadPosition();

    // --- what was played --------------------------------------------------
    // Takes the journal and the output since the last call and passes them
    // on (judge, comparison, file).
    void Collect();
    // The final reading, then STOP; the last output collected.
    bool Stop(std::ostream& err);
    bool Stopped() const { return m_stopped.load(); }
    // Judges what is left, completes the output file; the summary.
    PlaySummary Finish(std::ostream& err);
    // Closes the pin; what the driver left behind.
    std::vector<std::string> Close();

private:
    struct Reading
    {
        host::engine::PositionSample sample;
        std::chrono::nanoseconds traceTime{0};
    };
    void TakeReading();
    void TraceReading(const host::engine::JudgedReading& reading);
    void CompareWithInput(std::span<const std::uint8_t> played);
    void WriteOutput(std::span<const std::uint8_t> played);
    std::uint64_t WrittenSinceLastStop() const;

    DeviceRunSetup m_setup;
    std::unique_ptr<host::portcls::Pin> m_pin;
    host::engine::Engine& m_engine;
    host::engine::StreamKey m_key;
    std::unique_ptr<AudioSource> m_input;
    std::unique_ptr<AudioSource> m_expected; // the same input, for the comparison
    std::unique_ptr<ContainerWavWriter> m_wav;
    unsigned m_frameBytes = 0;
    std::uint64_t m_periodBytes = 0;
    std::uint64_t m_dataPeriods = 0;
    std::uint64_t m_targetFrames = 0;

    // The client.
    std::size_t m_bufferFrames = 1;
    std::uint64_t m_lowWater = 0;
    std::vector<std::int32_t> m_block;
    std::vector<std::uint8_t> m_clientBytes;
    std::atomic<bool> m_fedAll{false};
    std::string m_inputError;

    // The device's side: readings not yet handed to the judge (taken on
    // the clock's thread), and what the last one had written.
    std::mutex m_readingsMutex;
    std::vector<Reading> m_newReadings;
    std::uint64_t m_lastReadingOrder = 0;
    std::uint64_t m_writtenAtLastReading = 0;
    std::atomic<bool> m_stopped{false};

    // What was played.
    host::engine::PlayJudge m_judge;
    host::engine::PositionJudge m_positions;
    std::deque<std::chrono::nanoseconds> m_traceTimes; // of the readings waiting
    // The STOPs the client made: when, and the end of what it had written.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> m_stops;
    OutputComparison m_comparison;
    std::vector<std::int32_t> m_expectedBlock;
    std::uint64_t m_wavBytesLeft = 0; // the file holds as many frames as the input
    std::string m_wavError;
    std::uint64_t m_silentDataPeriods = 0;
};

} // namespace nuvsim
