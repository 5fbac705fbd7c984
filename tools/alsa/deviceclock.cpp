#include "tools/alsa/deviceclock.h"

#include "host/portcls/portclass.h"

namespace nuvalsa
{

DeviceClock::DeviceClock(host::engine::Engine& engine, std::function<void()> onPeriodEnd)
    : m_onPeriodEnd(std::move(onPeriodEnd))
{
    host::portcls::SetNotifyDelivery([this](PSERVICEGROUP group) { m_dpc.Deliver(group); });
    host::engine::ThreadedClock::Options options;
    options.realTime = true;
    options.settle = [this]
    {
        m_dpc.Drain();
        if (m_onPeriodEnd)
            m_onPeriodEnd();
    };
    m_clock = std::make_unique<host::engine::ThreadedClock>(engine, std::move(options));
}

DeviceClock::~DeviceClock()
{
    Stop();
    host::portcls::SetNotifyDelivery(nullptr);
    m_dpc.Drain();
}

void DeviceClock::Start()
{
    m_clock->Start();
}

void DeviceClock::Stop()
{
    m_clock->Stop();
    m_dpc.Drain();
}

} // namespace nuvalsa
