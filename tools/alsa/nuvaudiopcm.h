// One open `type nuvaudio` PCM: an ALSA playback PCM whose every operation
// is a client's operation on the driver's wave pin, on the host platform.
//
//   open        the host system starts with the adapter; the offer is asked
//               of the driver (formatoffer.h) and becomes the PCM's
//               constraints, with sizes from the engine's period
//               (bufferlimits.h)
//   hw_params   the chosen shape is asked again: intersection, then the pin
//               opens with it (refused: -EINVAL and the reason); the
//               device's clock starts in real time
//   prepare     STOP -> ACQUIRE -> PAUSE; a pin that has streamed is closed
//               and opened afresh first, so that the driver's position
//               counts from the start of this stream as ALSA's pointer does
//   writes      each transfer is one client buffer queued at the port
//   start       PAUSE -> RUN
//   pointer     the driver's GetPosition (positiontracker.h); ALSA's stop
//               threshold reached while running is an xrun
//   delay       bytes written less the position the driver reports
//   pause       RUN <-> PAUSE
//   drop        -> STOP, what is queued cancelled
//   drain       waits until the driver's position reaches the end of what
//               was written; if the device has played all of it and some
//               periods more without that, drain fails (-EIO) and says so
//   hw_free     the pin closes and the host system shuts down with its leak
//               and conduct checks; a problem makes it fail (-EIO), which
//               snd_pcm_close returns
//
// With the `image` option the driver is nuvaudio.sys, the Windows image,
// loaded at open; an image the loader refuses fails the open (-ENOEXEC) with
// the loader's reason.
//
// Every conduct violation the host platform sees is printed on stderr as it
// happens. One instance per process: the host platform's state (pool,
// violation handler, Notify delivery) is the process's.
#pragma once

#include "tools/alsa/deviceclock.h"
#include "tools/alsa/deviceoutput.h"
#include "tools/alsa/formatoffer.h"
#include "tools/alsa/hostdevice.h"
#include "tools/alsa/pluginconfig.h"
#include "tools/alsa/positiontracker.h"
#include "tools/alsa/slaveplayer.h"

#include "host/kernel/conduct.h"
#include "host/portcls/pin.h"

#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace nuvalsa
{

class NuvaudioPcm
{
public:
    // The plugin's entry point: reads the configuration, starts the host
    // system, asks the driver for its offer and creates the ALSA PCM.
    static int Open(snd_pcm_t** pcmp, const char* name, snd_config_t* conf, snd_pcm_stream_t stream,
                    int mode);

    // The ioplug callbacks (plugin.cpp forwards to these).
    int Start();
    int Stop();
    snd_pcm_sframes_t Pointer();
    snd_pcm_sframes_t Transfer(const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t offset,
                               snd_pcm_uframes_t size);
    int Close();
    int HwParams(snd_pcm_hw_params_t* params);
    int HwFree();
    int SwParams(snd_pcm_sw_params_t* params);
    int Prepare();
    int Drain();
    int Pause(int enable);
    int PollRevents(struct pollfd* fds, unsigned int nfds, unsigned short* revents);
    void Dump(snd_output_t* out);
    int Delay(snd_pcm_sframes_t* delay);

private:
    NuvaudioPcm(PluginConfig config, host::DriverBinary driver);
    ~NuvaudioPcm();
    NuvaudioPcm(const NuvaudioPcm&) = delete;
    NuvaudioPcm& operator=(const NuvaudioPcm&) = delete;

    int Create(const char* name, snd_pcm_stream_t stream, int mode);
    bool StartHost(std::string& error);
    int SetConstraints();
    // With m_mutex held.
    int OpenPin(std::string& error);
    bool StepPin(KSSTATE state, const char* operation);
    void StopPin();
    void ClosePin();
    std::vector<std::string> TearDown();
    std::uint64_t ReadPosition();
    bool DrainReachedEnd(std::uint64_t& position);
    int StartForDrain();
    int FailDrain(std::uint64_t position, std::uint64_t playedFrames);
    void OnPeriodEnd();
    void Wake();
    void PrintSummary() const;

    snd_pcm_ioplug_t m_io = {};
    const PluginConfig m_config;
    // The host build, or the image the configuration names, loaded once at
    // open: every start of the host system runs the same driver.
    const host::DriverBinary m_driver;
    host::ViolationHandler m_previousHandler;
    std::size_t m_violationsAtSetup = 0;

    // Guards everything below except the wake-up state; the clock's thread
    // never takes it.
    mutable std::mutex m_mutex;
    std::unique_ptr<HostDevice> m_host;
    DeviceOffer m_offer;
    std::unique_ptr<DeviceClock> m_clock;
    std::unique_ptr<host::portcls::Pin> m_pin;
    StreamShape m_shape;
    unsigned m_frameBytes = 0;
    bool m_pinUsed = false; // ran or was written since it opened
    std::uint64_t m_written = 0;
    PositionTracker m_tracker;
    DeviceOutput m_output;
    std::unique_ptr<SlavePlayer> m_slave;
    snd_pcm_uframes_t m_boundary = 0;
    snd_pcm_uframes_t m_stopThreshold = 0;
    snd_pcm_uframes_t m_availMin = 1;
    std::uint64_t m_pausedPosition = 0;
    bool m_pausedReadingTaken = false;

    // What the client did and what came of it, for the summary.
    struct Activity
    {
        unsigned hwParams = 0;
        unsigned prepares = 0;
        unsigned runs = 0; // streams that reached RUN
        unsigned pauses = 0;
        unsigned drops = 0;
        unsigned drains = 0;
        unsigned drainsFailed = 0;
        unsigned xruns = 0;
        std::uint64_t writes = 0;
        std::uint64_t fewestFrames = 0; // in one write
        std::uint64_t mostFrames = 0;
        std::uint64_t delayQueries = 0;
        std::uint64_t pollChecks = 0;
        bool nonblocking = false; // ever
        std::string setup;        // the last hw and sw parameters, in words
    };
    Activity m_activity;

    // Period ends, for drain; the clock's thread signals them.
    std::mutex m_wakeMutex;
    std::condition_variable m_wake;
    std::uint64_t m_periodEnds = 0;
    int m_eventFd = -1;
};

} // namespace nuvalsa
