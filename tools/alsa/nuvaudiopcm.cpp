#include "tools/alsa/nuvaudiopcm.h"

#include "adapter/adapter.h"
#include "host/loader/driverbinary.h"
#include "host/portcls/portclass.h"
#include "tools/alsa/bufferlimits.h"
#include "tools/alsa/drainwatch.h"
#include "tools/pinclient/statusname.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <optional>
#include <poll.h>
#include <span>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

namespace nuvalsa
{
namespace
{

// The host platform's state is the process's: one open PCM at a time.
std::atomic<bool> g_pcmOpen{false};

void Say(const std::string& text)
{
    std::fprintf(stderr, "pcm_nuvaudio: %s\n", text.c_str());
}

NuvaudioPcm* Self(snd_pcm_ioplug_t* io)
{
    return static_cast<NuvaudioPcm*>(io->private_data);
}

// ALSA calls in from C: nothing may be thrown back at it. What can throw
// here is an allocation of the host platform; the application gets -ENOMEM.
template <class Call> auto Guarded(const char* operation, Call call) -> decltype(call())
{
    try
    {
        return call();
    }
    catch (const std::exception& failure)
    {
        Say(std::string(operation) + ": " + failure.what());
    }
    catch (...)
    {
        Say(std::string(operation) + ": failed");
    }
    return -ENOMEM;
}

int CallbackStart(snd_pcm_ioplug_t* io)
{
    return Guarded("start", [io] { return Self(io)->Start(); });
}
int CallbackStop(snd_pcm_ioplug_t* io)
{
    return Guarded("drop", [io] { return Self(io)->Stop(); });
}
snd_pcm_sframes_t CallbackPointer(snd_pcm_ioplug_t* io)
{
    return Guarded("pointer", [io] { return Self(io)->Pointer(); });
}
snd_pcm_sframes_t CallbackTransfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                                   snd_pcm_uframes_t offset, snd_pcm_uframes_t size)
{
    return Guarded("write", [=] { return Self(io)->Transfer(areas, offset, size); });
}
int CallbackClose(snd_pcm_ioplug_t* io)
{
    return Guarded("close", [io] { return Self(io)->Close(); });
}
int CallbackHwParams(snd_pcm_ioplug_t* io, snd_pcm_hw_params_t* params)
{
    return Guarded("hw_params", [=] { return Self(io)->HwParams(params); });
}
int CallbackHwFree(snd_pcm_ioplug_t* io)
{
    return Guarded("hw_free", [io] { return Self(io)->HwFree(); });
}
int CallbackSwParams(snd_pcm_ioplug_t* io, snd_pcm_sw_params_t* params)
{
    return Guarded("sw_params", [=] { return Self(io)->SwParams(params); });
}
int CallbackPrepare(snd_pcm_ioplug_t* io)
{
    return Guarded("prepare", [io] { return Self(io)->Prepare(); });
}
int CallbackDrain(snd_pcm_ioplug_t* io)
{
    return Guarded("drain", [io] { return Self(io)->Drain(); });
}
int CallbackPause(snd_pcm_ioplug_t* io, int enable)
{
    return Guarded("pause", [=] { return Self(io)->Pause(enable); });
}
int CallbackPollRevents(snd_pcm_ioplug_t* io, struct pollfd* fds, unsigned int nfds,
                        unsigned short* revents)
{
    return Guarded("poll", [=] { return Self(io)->PollRevents(fds, nfds, revents); });
}
void CallbackDump(snd_pcm_ioplug_t* io, snd_output_t* out)
{
    Guarded("dump",
            [=]
            {
                Self(io)->Dump(out);
                return 0;
            });
}
int CallbackDelay(snd_pcm_ioplug_t* io, snd_pcm_sframes_t* delay)
{
    return Guarded("delay", [=] { return Self(io)->Delay(delay); });
}

// ALSA's resume follows a system suspend, which a device on the host
// platform never goes through; a paused stream is resumed through pause.
const snd_pcm_ioplug_callback_t kCallbacks = {
    .start = CallbackStart,
    .stop = CallbackStop,
    .pointer = CallbackPointer,
    .transfer = CallbackTransfer,
    .close = CallbackClose,
    .hw_params = CallbackHwParams,
    .hw_free = CallbackHwFree,
    .sw_params = CallbackSwParams,
    .prepare = CallbackPrepare,
    .drain = CallbackDrain,
    .pause = CallbackPause,
    .resume = nullptr,
    .poll_descriptors_count = nullptr,
    .poll_descriptors = nullptr,
    .poll_revents = CallbackPollRevents,
    .dump = CallbackDump,
    .delay = CallbackDelay,
    .query_chmaps = nullptr,
    .get_chmap = nullptr,
    .set_chmap = nullptr,
};

std::vector<unsigned> AsUnsigned(const std::vector<snd_pcm_format_t>& formats)
{
    std::vector<unsigned> values;
    for (snd_pcm_format_t format : formats)
        values.push_back(static_cast<unsigned>(format));
    return values;
}

int SetList(snd_pcm_ioplug_t* io, int type, const std::vector<unsigned>& values)
{
    return snd_pcm_ioplug_set_param_list(io, type, static_cast<unsigned>(values.size()),
                                         values.data());
}

} // namespace

NuvaudioPcm::NuvaudioPcm(PluginConfig config, host::DriverBinary driver)
    : m_config(std::move(config)), m_driver(std::move(driver)), m_output(m_config.output)
{
    // Every violation the host platform sees is printed as it happens and
    // counted; hw_free and close fail when there was one.
    m_previousHandler =
        host::SetViolationHandler([](const host::Violation& violation)
                                  { Say("driver conduct: " + host::Describe(violation)); });
    host::ResetViolationCounts();
}

NuvaudioPcm::~NuvaudioPcm()
{
    if (m_eventFd >= 0)
        close(m_eventFd);
    host::SetViolationHandler(std::move(m_previousHandler));
    g_pcmOpen.store(false);
}

int NuvaudioPcm::Open(snd_pcm_t** pcmp, const char* name, snd_config_t* conf,
                      snd_pcm_stream_t stream, int mode)
{
    PluginConfig config;
    std::string error;
    if (!ReadPluginConfig(conf, config, error))
    {
        Say(error);
        return -EINVAL;
    }
    if (stream != SND_PCM_STREAM_PLAYBACK)
    {
        Say("the device's wave pins take audio in: there is no capture stream");
        return -EINVAL;
    }
    if (g_pcmOpen.exchange(true))
    {
        Say("a nuvaudio PCM is open in this process already; the host platform runs one "
            "device at a time");
        return -EBUSY;
    }
    host::DriverBinary driver{DriverEntry, nullptr};
    if (!config.image.empty())
    {
        std::optional<host::DriverBinary> image =
            host::loader::LoadDriverImage(config.image, error);
        if (!image)
        {
            Say(error);
            g_pcmOpen.store(false);
            return -ENOEXEC;
        }
        driver = std::move(*image);
    }
    auto* pcm = new NuvaudioPcm(std::move(config), std::move(driver));
    const int status = pcm->Create(name, stream, mode);
    if (status < 0)
        return status; // Create has disposed of the object
    *pcmp = pcm->m_io.pcm;
    return 0;
}

bool NuvaudioPcm::StartHost(std::string& error)
{
    m_host = HostDevice::Start(m_config.device, m_config.periodFrames, m_driver, error);
    m_violationsAtSetup = host::ViolationCount();
    return m_host != nullptr;
}

int NuvaudioPcm::Create(const char* name, snd_pcm_stream_t stream, int mode)
{
    std::string error;
    if (!StartHost(error))
    {
        Say(error);
        delete this;
        return -ENODEV;
    }
    m_offer = ProbeOffer(m_host->WavePort(), m_host->Miniport());
    // The probe's commands and library calls are no one's business; the
    // records must not grow with what a long-lived process does.
    m_host->Engine().ClearCommands();
    host::portcls::ClearCalls();
    if (m_offer.Empty())
    {
        Say("device " + std::to_string(m_config.device) + " (" + m_host->WaveName() +
            ") opens a stream with no format ALSA knows");
        for (const std::string& problem : TearDown())
            Say(problem);
        delete this;
        return -ENODEV;
    }

    m_eventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_eventFd < 0)
    {
        const int status = -errno;
        TearDown();
        delete this;
        return status;
    }
    m_io.version = SND_PCM_IOPLUG_VERSION;
    m_io.name = "nuvaudio: the driver on the host platform";
    m_io.flags = SND_PCM_IOPLUG_FLAG_BOUNDARY_WA;
    m_io.poll_fd = m_eventFd;
    m_io.poll_events = POLLIN;
    m_io.mmap_rw = 0;
    m_io.callback = &kCallbacks;
    m_io.private_data = this;
    int status = snd_pcm_ioplug_create(&m_io, name, stream, mode);
    if (status < 0)
    {
        TearDown();
        delete this;
        return status;
    }
    status = SetConstraints();
    if (status < 0)
    {
        // Deleting the PCM calls Close, which disposes of this object.
        snd_pcm_ioplug_delete(&m_io);
        return status;
    }
    return 0;
}

int NuvaudioPcm::SetConstraints()
{
    const std::vector<unsigned> access = {SND_PCM_ACCESS_MMAP_INTERLEAVED,
                                          SND_PCM_ACCESS_RW_INTERLEAVED};
    const BufferLimits limits = LimitsFor(m_config.periodFrames, m_offer.FrameSizes());
    int status = SetList(&m_io, SND_PCM_IOPLUG_HW_ACCESS, access);
    if (status >= 0)
        status = SetList(&m_io, SND_PCM_IOPLUG_HW_FORMAT, AsUnsigned(m_offer.formats));
    if (status >= 0)
        status = SetList(&m_io, SND_PCM_IOPLUG_HW_CHANNELS, m_offer.channels);
    if (status >= 0)
        status = SetList(&m_io, SND_PCM_IOPLUG_HW_RATE, m_offer.rates);
    if (status >= 0)
        status = SetList(&m_io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, limits.periodBytes);
    if (status >= 0)
        status = SetList(&m_io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, limits.bufferBytes);
    if (status >= 0)
        status = snd_pcm_ioplug_set_param_minmax(&m_io, SND_PCM_IOPLUG_HW_PERIODS,
                                                 limits.minimumPeriods, limits.maximumPeriods);
    return status;
}

// --- the pin ---------------------------------------------------------------------

int NuvaudioPcm::OpenPin(std::string& error)
{
    PinAnswer answer = AskPin(m_host->WavePort(), m_host->Miniport(), m_shape, true);
    if (!answer.accepted)
    {
        error = "device " + std::to_string(m_config.device) + " refuses " + Describe(m_shape) +
                ": " + answer.reason;
        return -EINVAL;
    }
    m_pin = std::move(answer.pin);
    m_pinUsed = false;
    return 0;
}

bool NuvaudioPcm::StepPin(KSSTATE state, const char* operation)
{
    const NTSTATUS status = m_pin->SetState(state);
    if (NT_SUCCESS(status))
        return true;
    Say(std::string(operation) + ": the stream refused " + host::portcls::StateName(state) + " (" +
        pinclient::StatusName(status) + "); it stays in " +
        host::portcls::StateName(m_pin->State()));
    return false;
}

// Back to STOP, what the port still holds cancelled (the stream gives up
// its mappings through RevokeMappings), and the device's output taken.
void NuvaudioPcm::StopPin()
{
    if (!m_pin)
        return;
    StepPin(KSSTATE_STOP, "drop");
    if (m_pin->Port().QueuedBuffers() > 0)
        m_pin->CancelQueued();
    if (m_host)
        m_output.Collect(m_host->Engine(), m_host->DeviceIndex());
}

void NuvaudioPcm::ClosePin()
{
    if (!m_pin)
        return;
    StopPin();
    // What Close finds is reported as violations, and counted.
    m_pin->Close();
    m_pin.reset();
}

std::vector<std::string> NuvaudioPcm::TearDown()
{
    ClosePin();
    m_clock.reset();
    std::vector<std::string> problems;
    if (m_host)
    {
        m_output.Collect(m_host->Engine(), m_host->DeviceIndex());
        problems = m_host->Shutdown();
        m_host.reset();
    }
    return problems;
}

// --- the ALSA callbacks --------------------------------------------------------------

int NuvaudioPcm::HwParams(snd_pcm_hw_params_t* params)
{
    (void)params; // ioplug has read the choice into m_io already
    std::lock_guard lock(m_mutex);
    ++m_activity.hwParams;
    std::string error;
    if (!m_host && !StartHost(error))
    {
        Say(error);
        return -ENODEV;
    }
    ClosePin();
    m_shape = {m_io.format, m_io.channels, m_io.rate};
    m_frameBytes = FrameBytes(m_shape);
    if (const int status = OpenPin(error); status < 0)
    {
        Say(error);
        return status;
    }
    if (!m_config.slave.empty() &&
        (!m_slave || m_slave->Channels() != m_shape.channels || m_slave->Rate() != m_shape.rate))
    {
        m_output.SetSlave(nullptr);
        m_slave.reset();
        m_slave = SlavePlayer::Open(m_config.slave, m_shape.channels, m_shape.rate, error);
        if (!m_slave)
        {
            Say(error);
            ClosePin();
            return -EINVAL;
        }
    }
    m_output.SetSlave(m_slave.get());
    m_written = 0;
    m_tracker.Reset();
    if (!m_clock)
    {
        host::engine::Engine& engine = m_host->Engine();
        m_clock = std::make_unique<DeviceClock>(engine, [this] { OnPeriodEnd(); });
        m_clock->Start();
    }
    return 0;
}

int NuvaudioPcm::SwParams(snd_pcm_sw_params_t* params)
{
    std::lock_guard lock(m_mutex);
    snd_pcm_sw_params_get_boundary(params, &m_boundary);
    snd_pcm_sw_params_get_stop_threshold(params, &m_stopThreshold);
    snd_pcm_sw_params_get_avail_min(params, &m_availMin);
    snd_pcm_uframes_t start = 0;
    snd_pcm_sw_params_get_start_threshold(params, &start);
    const char* access = m_io.access == SND_PCM_ACCESS_MMAP_INTERLEAVED ? "mmap" : "read/write";
    m_activity.setup = Describe(m_shape) + ", " + access + " access, period " +
                       std::to_string(m_io.period_size) + " frames, buffer " +
                       std::to_string(m_io.buffer_size) + ", starts at " + std::to_string(start) +
                       ", wakes at " + std::to_string(m_availMin);
    return 0;
}

int NuvaudioPcm::Prepare()
{
    std::lock_guard lock(m_mutex);
    if (!m_host)
        return -EBADFD;
    ++m_activity.prepares;
    // The driver's position counts from the stream's creation, not from
    // STOP; a fresh stream starts it where ALSA's pointer starts, at 0.
    if (m_pin && m_pinUsed)
        ClosePin();
    if (!m_pin)
    {
        std::string error;
        if (const int status = OpenPin(error); status < 0)
        {
            Say(error);
            return status;
        }
    }
    if (!StepPin(KSSTATE_PAUSE, "prepare"))
        return -EIO;
    m_written = 0;
    m_tracker.Reset();
    return 0;
}

int NuvaudioPcm::Start()
{
    std::lock_guard lock(m_mutex);
    if (!m_pin)
        return -EBADFD;
    std::string error;
    if (!m_output.BeginStream(m_shape.channels, m_shape.rate, error))
    {
        Say(error);
        return -EIO;
    }
    if (!StepPin(KSSTATE_RUN, "start"))
        return -EIO;
    m_pinUsed = true;
    ++m_activity.runs;
    return 0;
}

int NuvaudioPcm::Stop()
{
    {
        std::lock_guard lock(m_mutex);
        ++m_activity.drops;
        StopPin();
    }
    Wake();
    return 0;
}

int NuvaudioPcm::Pause(int enable)
{
    std::lock_guard lock(m_mutex);
    if (!m_pin)
        return -EBADFD;
    if (enable == 0)
        return StepPin(KSSTATE_RUN, "resume") ? 0 : -EIO;
    ++m_activity.pauses;
    if (!StepPin(KSSTATE_PAUSE, "pause"))
        return -EIO;
    // What the driver says of a paused stream, once, for the summary.
    ULONGLONG position = 0;
    m_pin->GetPosition(&position);
    m_pausedPosition = position;
    m_pausedReadingTaken = true;
    return 0;
}

snd_pcm_sframes_t NuvaudioPcm::Transfer(const snd_pcm_channel_area_t* areas,
                                        snd_pcm_uframes_t offset, snd_pcm_uframes_t size)
{
    std::lock_guard lock(m_mutex);
    if (!m_pin || m_frameBytes == 0)
        return -EBADFD;
    // Interleaved: the first channel's area walks whole frames.
    const auto* base = static_cast<const std::uint8_t*>(areas[0].addr) + areas[0].first / 8 +
                       offset * (areas[0].step / 8);
    const std::size_t bytes = size * m_frameBytes;
    m_pin->Write(std::span<const std::uint8_t>(base, bytes));
    m_written += bytes;
    m_pinUsed = true;
    ++m_activity.writes;
    m_activity.fewestFrames =
        m_activity.writes == 1 ? size : std::min<std::uint64_t>(m_activity.fewestFrames, size);
    m_activity.mostFrames = std::max<std::uint64_t>(m_activity.mostFrames, size);
    m_activity.nonblocking |= m_io.nonblock != 0;
    return static_cast<snd_pcm_sframes_t>(size);
}

std::uint64_t NuvaudioPcm::ReadPosition()
{
    ULONGLONG position = 0;
    m_pin->GetPosition(&position);
    m_output.Collect(m_host->Engine(), m_host->DeviceIndex());
    const std::uint64_t played = m_output.StreamFrames() * m_frameBytes;
    return m_tracker.Take({position, m_written, played});
}

snd_pcm_sframes_t NuvaudioPcm::Pointer()
{
    std::lock_guard lock(m_mutex);
    if (!m_pin || m_frameBytes == 0)
        return 0;
    if (m_pin->State() == KSSTATE_RUN)
        ReadPosition();
    const std::uint64_t hw = m_tracker.Pointer() / m_frameBytes;
    if (m_io.state == SND_PCM_STATE_RUNNING && m_stopThreshold < m_boundary)
    {
        // ALSA's rule: a running stream whose available space reaches the
        // stop threshold has run dry.
        const std::uint64_t queued = m_written / m_frameBytes - hw;
        const std::uint64_t avail = m_io.buffer_size > queued ? m_io.buffer_size - queued : 0;
        if (avail >= m_stopThreshold)
        {
            ++m_activity.xruns;
            StepPin(KSSTATE_PAUSE, "xrun");
            Wake();
            return -EPIPE;
        }
    }
    return static_cast<snd_pcm_sframes_t>(m_boundary != 0 ? hw % m_boundary : hw);
}

int NuvaudioPcm::Delay(snd_pcm_sframes_t* delay)
{
    std::lock_guard lock(m_mutex);
    ++m_activity.delayQueries;
    if (!m_pin || m_frameBytes == 0)
    {
        *delay = 0;
        return 0;
    }
    std::uint64_t position = m_tracker.Pointer();
    if (m_pin->State() == KSSTATE_RUN)
    {
        ReadPosition();
        position = m_tracker.Latest();
    }
    const std::uint64_t pending = m_written - std::min(position, m_written);
    *delay = static_cast<snd_pcm_sframes_t>(pending / m_frameBytes);
    return 0;
}

bool NuvaudioPcm::DrainReachedEnd(std::uint64_t& position)
{
    if (m_pin->State() == KSSTATE_RUN)
        ReadPosition();
    position = m_tracker.Pointer();
    return position >= m_written;
}

int NuvaudioPcm::FailDrain(std::uint64_t position, std::uint64_t playedFrames)
{
    ++m_activity.drainsFailed;
    const std::uint64_t shortBy = (m_written - position) / m_frameBytes;
    Say("drain: the device played " + std::to_string(playedFrames) +
        " frames since the drain began (all that was queued and " +
        std::to_string(DrainWatch::kGracePeriods) + " periods more), but the driver's position " +
        "stayed at " + std::to_string(position) + " of " + std::to_string(m_written) + " bytes (" +
        std::to_string(shortBy) + " frames short): it never reported the end of the data");
    // As ALSA's core does when a drain times out: the stream stops.
    StopPin();
    snd_pcm_ioplug_set_state(&m_io, SND_PCM_STATE_SETUP);
    return -EIO;
}

// With m_mutex held: a stream still in PAUSE (drained before the start
// threshold was reached) plays what was written now.
int NuvaudioPcm::StartForDrain()
{
    if (m_pin->State() == KSSTATE_RUN || m_written == 0)
        return 0;
    std::string error;
    if (!m_output.BeginStream(m_shape.channels, m_shape.rate, error))
    {
        Say(error);
        return -EIO;
    }
    if (!StepPin(KSSTATE_RUN, "drain"))
        return -EIO;
    m_pinUsed = true;
    ++m_activity.runs;
    return 0;
}

int NuvaudioPcm::Drain()
{
    std::optional<DrainWatch> watch;
    {
        std::lock_guard lock(m_mutex);
        if (!m_pin || m_frameBytes == 0)
            return 0;
        std::uint64_t position = 0;
        m_activity.nonblocking |= m_io.nonblock != 0;
        if (m_io.nonblock)
            return DrainReachedEnd(position) ? 0 : -EAGAIN;
        if (const int status = StartForDrain(); status < 0)
            return status;
        ++m_activity.drains;
        if (DrainReachedEnd(position))
            return 0;
        host::engine::Engine& engine = m_host->Engine();
        watch.emplace(m_written, position, m_frameBytes, engine.DevicePosition(),
                      engine.PeriodFrames(), m_shape.rate, DrainWatch::Clock::now());
    }
    for (;;)
    {
        std::uint64_t periodEnds = 0;
        {
            std::lock_guard wake(m_wakeMutex);
            periodEnds = m_periodEnds;
        }
        {
            std::lock_guard lock(m_mutex);
            if (!m_pin)
                return -EBADFD;
            std::uint64_t position = 0;
            DrainReachedEnd(position);
            const std::uint64_t deviceFrame = m_host->Engine().DevicePosition();
            switch (watch->Judge(position, deviceFrame, DrainWatch::Clock::now()))
            {
            case DrainWatch::Verdict::Drained:
                return 0;
            case DrainWatch::Verdict::GaveUp:
                return FailDrain(position, watch->Played(deviceFrame));
            case DrainWatch::Verdict::Waiting:
                break;
            }
        }
        std::unique_lock wake(m_wakeMutex);
        m_wake.wait_for(wake, std::chrono::milliseconds(50),
                        [&] { return m_periodEnds != periodEnds; });
    }
}

int NuvaudioPcm::PollRevents(struct pollfd* fds, unsigned int nfds, unsigned short* revents)
{
    std::uint64_t signalled = 0;
    if (read(m_eventFd, &signalled, sizeof(signalled)) < 0 && errno != EAGAIN)
        return -errno;
    *revents = 0;
    if (nfds >= 1 && (fds[0].revents & (POLLERR | POLLNVAL)) != 0)
    {
        *revents = POLLERR;
        return 0;
    }
    const snd_pcm_sframes_t avail = snd_pcm_avail_update(m_io.pcm);
    snd_pcm_uframes_t availMin = 1;
    {
        std::lock_guard lock(m_mutex);
        availMin = m_availMin;
        ++m_activity.pollChecks;
    }
    if (avail < 0)
        *revents = POLLERR;
    else if (static_cast<snd_pcm_uframes_t>(avail) >= availMin)
        *revents = POLLOUT;
    return 0;
}

int NuvaudioPcm::HwFree()
{
    std::lock_guard lock(m_mutex);
    bool failed = false;
    for (const std::string& problem : TearDown())
    {
        Say(problem);
        failed = true;
    }
    const std::size_t violations = host::ViolationCount() - m_violationsAtSetup;
    if (violations != 0)
    {
        Say(std::to_string(violations) + " violations of the driver's conduct (printed above)");
        failed = true;
    }
    m_violationsAtSetup = host::ViolationCount();
    return failed ? -EIO : 0;
}

int NuvaudioPcm::Close()
{
    int status = 0;
    {
        std::lock_guard lock(m_mutex);
        for (const std::string& problem : TearDown())
        {
            Say(problem);
            status = -EIO;
        }
        m_output.SetSlave(nullptr);
    }
    if (m_slave)
        m_slave->Finish();
    std::string error;
    if (!m_output.Finish(error))
    {
        Say(error);
        status = -EIO;
    }
    for (const std::string& note : m_output.Notes())
        Say(note);
    if (const std::size_t violations = host::ViolationCount() - m_violationsAtSetup;
        violations != 0)
    {
        Say(std::to_string(violations) + " violations of the driver's conduct (printed above)");
        status = -EIO;
    }
    if (m_config.verbose)
        PrintSummary();
    delete this;
    return status;
}

// --- wake-ups ------------------------------------------------------------------------

void NuvaudioPcm::OnPeriodEnd()
{
    // On the clock's thread: the host device outlives the clock, so its
    // engine is there; m_mutex is not taken (Stop waits for this thread).
    m_output.Collect(m_host->Engine(), m_host->DeviceIndex());
    // The engine records every command; a client that plays for hours
    // must not make the record grow with every position it reads.
    m_host->Engine().ClearCommands();
    Wake();
}

void NuvaudioPcm::Wake()
{
    {
        std::lock_guard lock(m_wakeMutex);
        ++m_periodEnds;
    }
    m_wake.notify_all();
    const std::uint64_t one = 1;
    if (m_eventFd >= 0 && write(m_eventFd, &one, sizeof(one)) < 0)
    {
        // The counter is full only if nobody polls: nothing to wake then.
    }
}

// --- what a person sees --------------------------------------------------------------

void NuvaudioPcm::Dump(snd_output_t* out)
{
    std::lock_guard lock(m_mutex);
    snd_output_printf(out, "nuvaudio: device %d (NUV_Wave%d), the driver on the host platform\n",
                      m_config.device, m_config.device);
    snd_output_printf(out, "  engine period: %u frames\n", m_config.periodFrames);
    snd_output_printf(out, "  the driver offers: %s\n", Describe(m_offer).c_str());
    if (m_pin)
    {
        snd_output_printf(out, "  stream: %s, pin state %s\n", Describe(m_shape).c_str(),
                          host::portcls::StateName(m_pin->State()));
    }
    if (m_io.state != SND_PCM_STATE_OPEN)
    {
        snd_output_printf(out, "Its setup is:\n");
        snd_pcm_dump_setup(m_io.pcm, out);
    }
}

void NuvaudioPcm::PrintSummary() const
{
    const PositionFindings& position = m_tracker.Totals();
    const Activity& a = m_activity;
    Say("device " + std::to_string(m_config.device) + " (" +
        host::loader::DescribeDriver(m_driver) + "): offered " + Describe(m_offer));
    Say("client: " + a.setup);
    Say("client: hw_params " + std::to_string(a.hwParams) + ", prepare " +
        std::to_string(a.prepares) + ", pause " + std::to_string(a.pauses) + ", drop " +
        std::to_string(a.drops) + ", drain " + std::to_string(a.drains) + "; " +
        std::to_string(a.writes) + " writes of " + std::to_string(a.fewestFrames) + " to " +
        std::to_string(a.mostFrames) + " frames" + (a.nonblocking ? " (non-blocking)" : "") + "; " +
        std::to_string(a.delayQueries) + " delay queries, " + std::to_string(a.pollChecks) +
        " poll checks");
    Say(std::to_string(a.runs) + " streams ran, " + std::to_string(m_output.TotalFrames()) +
        " frames played, " + std::to_string(a.xruns) + " xruns, " + std::to_string(a.drains) +
        " drains (" + std::to_string(a.drainsFailed) + " never saw the end)");
    Say("position: " + std::to_string(position.readings) + " readings while running; " +
        std::to_string(position.stepsBack) + " stepped back (by up to " +
        std::to_string(position.largestStepBack) + " bytes); behind the device by up to " +
        std::to_string(position.largestBehind) + " bytes, ahead by up to " +
        std::to_string(position.largestAhead) + "; " + std::to_string(position.beyondWritten) +
        " past the bytes written");
    if (m_pausedReadingTaken)
        Say("while paused the driver reported position " + std::to_string(m_pausedPosition));
    if (m_slave)
    {
        Say("slave " + m_slave->Name() + ": " + std::to_string(m_slave->DroppedFrames()) +
            " frames dropped, " + std::to_string(m_slave->Recoveries()) + " recoveries");
    }
}

} // namespace nuvalsa
