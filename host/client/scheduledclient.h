// A client that plays a Schedule (schedule.h) on an open render pin, with
// the device on the virtual clock, so that the same schedule always plays
// the same way.
//
//     host::client::ScheduledClient client(*pin, clock, periodFrames, frameBytes, input);
//     client.Play(*host::client::Schedule::Parse("write 2p, wait 3p, rest 333", error));
//     auto verdict = host::engine::JudgePlayback(pin->Port().Journal(), record, format,
//                                                pin->Port().OpenOrder());
//
// After the steps, a pin left running plays on until everything written has
// been handed out and given back by the stream, and the periods after that
// have played; then the pin goes to STOP (the caller closes it).
#pragma once

#include "host/client/schedule.h"
#include "host/engine/clock.h"
#include "host/portcls/pin.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <span>

namespace host::client
{

// The client's bytes, handed out in order as the schedule writes them: an
// input in memory, or one read as it goes (nuvsim reads files in blocks).
class ClientInput
{
public:
    virtual ~ClientInput() = default;
    virtual std::uint64_t Size() const = 0;
    // The next `count` bytes (at most what is left), valid until the next
    // call.
    virtual std::span<const std::uint8_t> Next(std::uint64_t count) = 0;
};

class ScheduledClient
{
public:
    ScheduledClient(portcls::Pin& pin, engine::VirtualClock& clock, ULONG periodFrames,
                    unsigned frameBytes, std::span<const std::uint8_t> input);
    ScheduledClient(portcls::Pin& pin, engine::VirtualClock& clock, ULONG periodFrames,
                    unsigned frameBytes, ClientInput& input);
    ScheduledClient(const ScheduledClient&) = delete;
    ScheduledClient& operator=(const ScheduledClient&) = delete;

    void Play(const Schedule& schedule);
    // Called after every step of the device (a judge beside the stream
    // takes what was played there).
    void SetAfterStep(std::function<void()> afterStep) { m_afterStep = std::move(afterStep); }

    // Readings at chosen points of device time, for a position test: during
    // every wait, `read` runs whenever the device has run `gap()` frames
    // since the last reading (a gap of 0 reads again at once, between the
    // same two frames), and once more after the play-out, before the final
    // STOP.
    void SetProbe(std::function<std::uint64_t()> gap, std::function<void()> read);

    // Client bytes written so far.
    std::uint64_t Written() const { return m_next; }
    // Device periods the client let run (with the ones after the steps).
    std::uint64_t PeriodsRun() const { return m_framesRun / m_periodFrames; }

private:
    std::uint64_t Bytes(const ScheduleStep& step) const;
    std::uint64_t Frames(const ScheduleStep& step) const;
    void Write(std::uint64_t bytes);
    void WriteRest(std::uint64_t bufferBytes);
    void Wait(std::uint64_t frames);
    void SetState(KSSTATE state);
    void CancelIfDue();
    void PlayOut();
    void ReadIfDue();

    // The input given as bytes in memory.
    class InMemory final : public ClientInput
    {
    public:
        explicit InMemory(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}
        std::uint64_t Size() const override { return m_bytes.size(); }
        std::span<const std::uint8_t> Next(std::uint64_t count) override
        {
            const std::span<const std::uint8_t> next =
                m_bytes.subspan(m_next, std::min<std::uint64_t>(count, m_bytes.size() - m_next));
            m_next += next.size();
            return next;
        }

    private:
        std::span<const std::uint8_t> m_bytes;
        std::size_t m_next = 0;
    };

    portcls::Pin& m_pin;
    engine::VirtualClock& m_clock;
    ULONG m_periodFrames;
    unsigned m_frameBytes;
    InMemory m_inMemory{{}};
    ClientInput& m_input;
    std::uint64_t m_next = 0;
    std::uint64_t m_framesRun = 0;
    bool m_runImplied = true;
    bool m_cancelPending = false;
    std::uint64_t m_cancelAt = 0;
    std::function<std::uint64_t()> m_probeGap;
    std::function<void()> m_probeRead;
    std::uint64_t m_probeDue = 0; // frames until the next reading
    std::function<void()> m_afterStep;
};

} // namespace host::client
