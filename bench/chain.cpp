#include "bench/chain.h"

#include "adapter/adapter.h"
#include "host/engine/clock.h"
#include "host/kernel/conduct.h"
#include "host/portcls/portclass.h"
#include "tools/nuvsim/streamformat.h"

#include <string>

namespace nuvbench
{
namespace
{

// Periods queued at a time: the refill, outside the timing, is rare.
constexpr std::size_t kBatchPeriods = 64;

std::u16string WaveName(int device)
{
    return u"NUV_Wave" + std::u16string(1, static_cast<char16_t>(u'0' + device));
}

nuvsim::AudioFormat FormatOf(const ChainBench::Stream& stream)
{
    return {stream.channels, 48000, stream.bits, nuvsim::SampleKind::Integer,
            std::to_string(stream.bits) + "-bit integer PCM"};
}

} // namespace

ChainBench::ChainBench(std::vector<Stream> streams, ULONG periodFrames, Delivery delivery)
    : m_streams(std::move(streams)), m_periodFrames(periodFrames), m_delivery(delivery)
{
    m_system = std::make_unique<host::System>(host::DriverBinary{DriverEntry, nullptr});
    m_system->Engine().SetPeriodFrames(periodFrames);
    NTSTATUS status = m_system->Load();
    if (NT_SUCCESS(status))
        status = m_system->AddDevice();
    if (NT_SUCCESS(status))
        status = m_system->Start();
    if (!NT_SUCCESS(status))
        return;
    if (delivery == Delivery::Dpc)
    {
        m_dpc.emplace();
        host::portcls::SetNotifyDelivery([this](PSERVICEGROUP group) { m_dpc->Deliver(group); });
    }
    for (const Stream& stream : m_streams)
    {
        const std::vector<std::uint8_t> format = nuvsim::DataFormatFor(FormatOf(stream), nullptr);
        std::unique_ptr<host::portcls::Pin> pin;
        status = host::portcls::Pin::OpenOnSubdevice(m_system->AdapterDevice(),
                                                     WaveName(stream.device), 0, format, {}, pin);
        if (!NT_SUCCESS(status))
            return;
        // Client bytes that are not silence and differ from frame to frame.
        std::vector<std::uint8_t> client(std::size_t{periodFrames} * stream.channels * stream.bits /
                                         8 * kBatchPeriods);
        for (std::size_t i = 0; i < client.size(); ++i)
            client[i] = static_cast<std::uint8_t>(i * 7 + 1);
        m_client.push_back(std::move(client));
        m_pins.push_back(std::move(pin));
    }
    Refill();
    for (auto& pin : m_pins)
    {
        if (!NT_SUCCESS(pin->SetState(KSSTATE_RUN)))
            return;
    }
    m_ready = true;
}

ChainBench::~ChainBench()
{
    for (auto& pin : m_pins)
    {
        pin->SetState(KSSTATE_STOP);
        pin->CancelQueued();
        pin->Close();
    }
    m_pins.clear();
    if (m_dpc)
        m_dpc->Drain();
    host::portcls::SetNotifyDelivery(nullptr);
    m_dpc.reset();
    if (m_system)
        m_system->Shutdown();
}

void ChainBench::Refill()
{
    for (std::size_t i = 0; i < m_pins.size(); ++i)
    {
        m_pins[i]->Write(m_client[i]);
        m_pins[i]->Port().TakeJournal();
        m_pins[i]->Port().TakeFinished();
        m_system->Engine().TakeOutput({0, static_cast<ULONG>(m_streams[i].device - 1), 0});
    }
    m_system->Engine().ClearCommands();
    m_periodsLeft += kBatchPeriods;
}

void ChainBench::RunPeriod()
{
    host::engine::VirtualClock clock(m_system->Engine());
    clock.AdvanceFrames(m_periodFrames);
    // The threaded clock's settle: the DPCs have run before the next take.
    if (m_dpc)
        m_dpc->Drain();
    --m_periodsLeft;
}

} // namespace nuvbench
