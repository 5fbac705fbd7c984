// Where the device's output goes: everything the engine played of the
// device's render stream, taken from the engine as it plays (so that the
// engine's record does not grow while a client plays for an hour), written
// to the `output` WAV and passed to the `slave` PCM.
//
// The WAV is created when a stream first runs, in that stream's channels
// and rate, and appears under its name only at Finish; a stream of another
// shape later is not recorded (Notes says so). A client that never ran a
// stream leaves no file.
//
// Thread-safe: the clock's thread collects at every period end and the
// application's thread when it reads the position or stops.
#pragma once

#include "host/engine/engine.h"
#include "tools/alsa/slaveplayer.h"
#include "tools/pinclient/containerwav.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace nuvalsa
{

class DeviceOutput
{
public:
    explicit DeviceOutput(std::string wavPath);
    DeviceOutput(const DeviceOutput&) = delete;
    DeviceOutput& operator=(const DeviceOutput&) = delete;

    // A stream of this shape is about to run: the WAV is created with the
    // first one. False, with `error` set, if the file cannot be created.
    bool BeginStream(unsigned channels, unsigned rate, std::string& error);
    // The slave that hears the output from now on (null: none).
    void SetSlave(SlavePlayer* slave);

    // Takes what the engine played since the last call and passes it on.
    // Returns the frames taken.
    std::uint64_t Collect(host::engine::Engine& engine, ULONG deviceIndex);
    // Frames collected since BeginStream.
    std::uint64_t StreamFrames() const;
    std::uint64_t TotalFrames() const;

    // Commits the WAV. False, with `error` set, if it could not be written.
    bool Finish(std::string& error);
    // What a person should know about the output (a shape not recorded, a
    // write that failed).
    std::vector<std::string> Notes() const;

private:
    const std::string m_path;
    mutable std::mutex m_mutex;
    std::unique_ptr<pinclient::ContainerWavWriter> m_wav;
    unsigned m_wavChannels = 0;
    unsigned m_wavRate = 0;
    bool m_recording = false; // the current stream goes into the WAV
    unsigned m_channels = 0;  // of the current stream
    SlavePlayer* m_slave = nullptr;
    std::uint64_t m_streamFrames = 0;
    std::uint64_t m_totalFrames = 0;
    std::string m_writeError;
    std::vector<std::string> m_notes;
};

} // namespace nuvalsa
