#include "tests/support/adaptertestbed.h"

#include "tests/support/driverundertest.h"

#include <portcls.h>

namespace nuvtest
{

void AdapterTestbed::SetUp()
{
    m_violations = std::make_unique<host::ViolationCapture>();
    host::DriverBinary driver;
    ASSERT_TRUE(GetDriverUnderTest(driver));
    m_system = std::make_unique<host::System>(driver);
    if (!LoadAndAddInSetUp())
        return;
    ASSERT_EQ(m_system->Load(), STATUS_SUCCESS);
    ASSERT_EQ(m_system->AddDevice(), STATUS_SUCCESS);
    ASSERT_NE(m_system->AdapterDevice(), nullptr);
}

void AdapterTestbed::TearDown()
{
    // Every problem Shutdown finds is also reported as a violation, which
    // the capture below collects with the rest.
    if (m_system != nullptr)
        m_system->Shutdown();
    m_system.reset();
    for (const host::Violation& violation : m_violations->Take())
        ADD_FAILURE() << host::Describe(violation);
    m_violations.reset();
}

PENGINE_INTERFACE AdapterTestbed::EngineRecord()
{
    PDEVICE_OBJECT device = AdapterDevice();
    if (device == nullptr)
        return nullptr;
    return reinterpret_cast<PENGINE_INTERFACE>(static_cast<PUCHAR>(device->DeviceExtension) +
                                               PORT_CLASS_DEVICE_EXTENSION_SIZE);
}

} // namespace nuvtest
