#include "host/portcls/system.h"

#include "host/kernel/conduct.h"
#include "host/kernel/drivercall.h"
#include "host/kernel/iomanager.h"
#include "host/kernel/pool.h"
#include "host/portcls/portclass.h"

namespace host
{

System::System(PDRIVER_INITIALIZE driverEntry) : System(DriverBinary{driverEntry, nullptr}) {}

System::System(DriverBinary driver)
    : m_binary(std::move(driver)), m_companion(std::make_unique<engine::CompanionDriver>()),
      m_driver(CreateDriverObject(u"\\Driver\\nuvaudio", m_binary.entry))
{
    // A fresh machine: what earlier systems left behind was theirs to report.
    Pool().Reset();
    portcls::ResetConfiguration();
    portcls::ForgetLiveObjects();
}

System::~System()
{
    if (!m_shutDown)
        Shutdown();
    DestroyDriverObject(m_driver);
    m_companion.reset();
}

NTSTATUS System::Load()
{
    return CallDriverEntry(m_driver,
                           u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\nuvaudio");
}

NTSTATUS System::AddDevice()
{
    PDRIVER_ADD_DEVICE addDevice = m_driver->DriverExtension->AddDevice;
    if (addDevice == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    PDEVICE_OBJECT pdo = PhysicalDevice();
    const NTSTATUS status =
        GuardDriverCall("AddDevice routine", [&] { return addDevice(m_driver, pdo); });
    // The adapter's device object is the one the library attached over the
    // physical device.
    if (NT_SUCCESS(status))
        m_adapterDevice = pdo->AttachedDevice;
    return status;
}

NTSTATUS System::Start()
{
    if (m_adapterDevice == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    return portcls::StartDevice(m_adapterDevice);
}

NTSTATUS System::Remove()
{
    if (m_adapterDevice == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    // The library checks its part of the extension before it lets go.
    const NTSTATUS status = portcls::RemoveDevice(m_adapterDevice);
    m_adapterDevice = nullptr;
    return status;
}

std::vector<ULONG> System::DriverPoolTags()
{
    return {Tag("PcCr"), Tag("wVUN")};
}

std::vector<std::string> System::Shutdown()
{
    m_shutDown = true;
    if (m_adapterDevice != nullptr)
        Remove();
    return CheckLeftovers();
}

std::vector<std::string> System::CheckLeftovers()
{
    std::vector<std::string> problems;
    for (ULONG tag : DriverPoolTags())
    {
        const std::size_t blocks = Pool().Outstanding(tag);
        if (blocks != 0)
            problems.push_back(std::to_string(blocks) + " pool blocks of tag " + TagName(tag) +
                               " still allocated");
    }
    Pool().ReportLeaks(DriverPoolTags());
    for (const std::string& port : portcls::DescribeLivePorts())
        problems.push_back("port object still alive: " + port);
    if (const std::size_t lists = portcls::LiveResourceListCount(); lists != 0)
        problems.push_back(std::to_string(lists) + " resource lists still alive");
    for (std::size_t i = 0; i < problems.size(); ++i)
    {
        // Pool leaks were reported by the pool itself, block by block.
        if (problems[i].find("pool blocks") == std::string::npos)
            ReportViolation(ViolationKind::Custom, "at shutdown: " + problems[i]);
    }
    return problems;
}

} // namespace host
