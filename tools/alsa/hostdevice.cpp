#include "tools/alsa/hostdevice.h"

#include "host/portcls/pin.h"
#include "host/portcls/portclass.h"
#include "host/portcls/servicegroup.h"
#include "tools/pinclient/statusname.h"

namespace nuvalsa
{
namespace
{

std::u16string Wide(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

std::string Join(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += "; " + line;
    return text;
}

} // namespace

HostDevice::HostDevice(int device, std::unique_ptr<host::System> system)
    : m_device(device), m_system(std::move(system))
{
}

HostDevice::~HostDevice()
{
    Shutdown();
}

std::string HostDevice::WaveName() const
{
    return "NUV_Wave" + std::to_string(m_device);
}

std::unique_ptr<HostDevice> HostDevice::Start(int device, unsigned periodFrames,
                                              const host::DriverBinary& driver, std::string& error)
{
    auto system = std::make_unique<host::System>(driver);
    system->Engine().SetPeriodFrames(periodFrames);
    NTSTATUS status = system->Load();
    const char* step = "DriverEntry";
    if (NT_SUCCESS(status))
    {
        step = "AddDevice";
        status = system->AddDevice();
    }
    if (NT_SUCCESS(status))
    {
        step = "the device start";
        status = system->Start();
    }
    std::unique_ptr<HostDevice> host(new HostDevice(device, std::move(system)));
    if (!NT_SUCCESS(status))
    {
        error = std::string("the adapter did not start: ") + step + " failed with " +
                pinclient::StatusName(status) + Join(host->Shutdown());
        return nullptr;
    }

    const std::u16string wave = Wide(host->WaveName());
    for (const host::portcls::Subdevice& subdevice :
         host::portcls::Subdevices(host->m_system->AdapterDevice()))
    {
        if (subdevice.name == wave)
            host->m_port = subdevice.port;
    }
    host->m_miniport = host::portcls::FindWaveMiniport(host->m_system->AdapterDevice(), wave);
    if (host->m_port == nullptr || host->m_miniport == nullptr)
    {
        error =
            "the adapter registered no wave filter " + host->WaveName() + Join(host->Shutdown());
        return nullptr;
    }
    return host;
}

std::vector<std::string> HostDevice::Shutdown()
{
    if (m_shutDown)
        return {};
    m_shutDown = true;
    m_port = nullptr;
    m_miniport = nullptr;
    std::vector<std::string> problems;
    for (std::string& problem : m_system->Shutdown())
        problems.push_back("at shutdown: " + problem);
    if (const std::size_t groups = host::portcls::LiveServiceGroupCount(); groups != 0)
        problems.push_back(std::to_string(groups) + " service groups still alive at shutdown");
    return problems;
}

} // namespace nuvalsa
