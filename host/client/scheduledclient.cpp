#include "host/client/scheduledclient.h"

#include <algorithm>

namespace host::client
{

ScheduledClient::ScheduledClient(portcls::Pin& pin, engine::VirtualClock& clock, ULONG periodFrames,
                                 unsigned frameBytes, std::span<const std::uint8_t> input)
    : m_pin(pin), m_clock(clock), m_periodFrames(periodFrames == 0 ? 1 : periodFrames),
      m_frameBytes(frameBytes == 0 ? 1 : frameBytes), m_inMemory(input), m_input(m_inMemory)
{
}

ScheduledClient::ScheduledClient(portcls::Pin& pin, engine::VirtualClock& clock, ULONG periodFrames,
                                 unsigned frameBytes, ClientInput& input)
    : m_pin(pin), m_clock(clock), m_periodFrames(periodFrames == 0 ? 1 : periodFrames),
      m_frameBytes(frameBytes == 0 ? 1 : frameBytes), m_input(input)
{
}

std::uint64_t ScheduledClient::Bytes(const ScheduleStep& step) const
{
    switch (step.unit)
    {
    case Unit::Frames:
        return step.amount * m_frameBytes;
    case Unit::Periods:
        return step.amount * m_periodFrames * m_frameBytes;
    default:
        return step.amount;
    }
}

std::uint64_t ScheduledClient::Frames(const ScheduleStep& step) const
{
    return step.unit == Unit::Frames ? step.amount : step.amount * m_periodFrames;
}

void ScheduledClient::SetProbe(std::function<std::uint64_t()> gap, std::function<void()> read)
{
    m_probeGap = std::move(gap);
    m_probeRead = std::move(read);
    m_probeDue = m_probeGap ? m_probeGap() : 0;
}

void ScheduledClient::ReadIfDue()
{
    while (m_probeRead && m_probeDue == 0)
    {
        m_probeRead();
        m_probeDue = m_probeGap();
    }
}

void ScheduledClient::Play(const Schedule& schedule)
{
    m_runImplied = !schedule.SaysRun();
    for (const ScheduleStep& step : schedule.steps)
    {
        switch (step.kind)
        {
        case StepKind::Write:
            Write(Bytes(step));
            break;
        case StepKind::Rest:
            WriteRest(Bytes(step));
            break;
        case StepKind::Wait:
            Wait(Frames(step));
            break;
        case StepKind::Run:
            SetState(KSSTATE_RUN);
            break;
        case StepKind::Pause:
            SetState(KSSTATE_PAUSE);
            break;
        case StepKind::PauseFor:
            SetState(KSSTATE_PAUSE);
            Wait(Frames(step));
            SetState(KSSTATE_RUN);
            break;
        case StepKind::Stop:
            SetState(KSSTATE_STOP);
            break;
        case StepKind::Cancel:
            m_pin.CancelQueued();
            break;
        case StepKind::CancelAt:
            m_cancelPending = true;
            m_cancelAt = step.amount;
            break;
        case StepKind::Mapping:
            m_pin.SetMaxMappingBytes(
                static_cast<ULONG>(std::min<std::uint64_t>(step.amount, MAXULONG)));
            break;
        case StepKind::Split:
            m_pin.SplitAt(step.amount);
            break;
        }
        CancelIfDue();
    }
    PlayOut();
    if (m_probeRead)
        m_probeRead();
    m_pin.SetState(KSSTATE_STOP);
}

void ScheduledClient::Write(std::uint64_t bytes)
{
    const std::uint64_t size = std::min<std::uint64_t>(bytes, m_input.Size() - m_next);
    if (size == 0)
        return;
    const std::span<const std::uint8_t> next = m_input.Next(size);
    if (next.empty())
        return;
    m_pin.Write(next);
    m_next += next.size();
}

void ScheduledClient::WriteRest(std::uint64_t bufferBytes)
{
    while (m_next < m_input.Size())
    {
        const std::uint64_t before = m_next;
        Write(bufferBytes);
        if (m_next == before)
            break;
    }
}

void ScheduledClient::SetState(KSSTATE state)
{
    m_pin.SetState(state);
}

// The device runs in steps that end at each period boundary, so that a
// pending cancel comes as soon as its byte has been handed out.
void ScheduledClient::Wait(std::uint64_t frames)
{
    if (m_runImplied)
    {
        m_runImplied = false;
        SetState(KSSTATE_RUN);
    }
    while (frames > 0)
    {
        ReadIfDue();
        const ULONG offset = static_cast<ULONG>(m_clock.DevicePosition() % m_periodFrames);
        std::uint64_t step = std::min<std::uint64_t>(frames, m_periodFrames - offset);
        if (m_probeRead)
            step = std::min(step, m_probeDue);
        m_clock.AdvanceFrames(step);
        m_framesRun += step;
        frames -= step;
        if (m_probeRead)
            m_probeDue -= step;
        if (m_afterStep)
            m_afterStep();
        CancelIfDue();
    }
}

void ScheduledClient::CancelIfDue()
{
    if (m_cancelPending && m_pin.Port().HandedOutBytes() >= m_cancelAt)
    {
        m_cancelPending = false;
        m_pin.CancelQueued();
    }
}

// A running pin plays what is queued and what the stream holds of it (a
// mapping may be several periods long), and the periods it is ahead by.
void ScheduledClient::PlayOut()
{
    if (m_runImplied)
        Wait(0);
    if (m_pin.State() != KSSTATE_RUN)
        return;
    const std::uint64_t periodBytes = std::uint64_t{m_periodFrames} * m_frameBytes;
    auto pending = [this]
    { return m_pin.Port().UnmappedBytes() != 0 || m_pin.Port().Counts().outstanding != 0; };
    std::uint64_t budget = m_pin.Port().BytesWritten() / periodBytes + 4;
    while (budget-- > 0 && pending())
        Wait(m_periodFrames);
    Wait(3 * std::uint64_t{m_periodFrames});
}

} // namespace host::client
