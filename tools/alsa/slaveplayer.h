// Plays the device's output through another ALSA PCM, so that a person
// hears what the device received (`slave "default"` in the configuration).
//
// The device's containers are 32-bit little-endian samples at the top of the
// container, which is S32_LE as ALSA knows it: they go to the slave as they
// are, with ALSA's own conversion and resampling (snd_pcm_set_params) where
// the slave needs it. A thread of its own writes them, so that the device's
// clock never waits for the slave; the slave runs on its own clock, so the
// queue between them is bounded and its oldest audio is dropped (and
// counted) when the slave falls behind.
//
//     auto slave = nuvalsa::SlavePlayer::Open("default", 2, 48000, error);
//     slave->Push(containers);
//     slave->Finish();          // plays what is queued, drains, closes
#pragma once

#include <alsa/asoundlib.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace nuvalsa
{

class SlavePlayer
{
public:
    // Null, with `error` set, if the PCM cannot be opened for playback or
    // cannot take these channels and rate.
    static std::unique_ptr<SlavePlayer> Open(const std::string& name, unsigned channels,
                                             unsigned rate, std::string& error);
    ~SlavePlayer();
    SlavePlayer(const SlavePlayer&) = delete;
    SlavePlayer& operator=(const SlavePlayer&) = delete;

    const std::string& Name() const { return m_name; }
    unsigned Channels() const { return m_channels; }
    unsigned Rate() const { return m_rate; }

    // Queues interleaved frames of containers; never blocks.
    void Push(std::span<const std::uint8_t> containers);
    // Waits (boundedly) until the queue is played, drains the slave and
    // closes it. Idempotent.
    void Finish();

    std::uint64_t DroppedFrames() const;
    // Errors the slave reported on the way (its underruns included).
    std::uint64_t Recoveries() const;

private:
    SlavePlayer(std::string name, snd_pcm_t* pcm, unsigned channels, unsigned rate);
    void Loop();
    void Play(const std::vector<std::uint8_t>& chunk);

    const std::string m_name;
    snd_pcm_t* m_pcm;
    const unsigned m_channels;
    const unsigned m_rate;
    const std::size_t m_maxQueuedBytes;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::vector<std::uint8_t>> m_queue;
    std::size_t m_queuedBytes = 0;
    bool m_busy = false;
    bool m_stopping = false;
    std::uint64_t m_droppedFrames = 0;
    std::uint64_t m_recoveries = 0;
    std::thread m_thread;
};

} // namespace nuvalsa
