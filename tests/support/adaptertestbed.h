// The fixture for tests that run the driver on a whole host system: the
// companion USB driver with its PDO and engine below, the port class
// library, and the audio driver loaded and added (DriverEntry, then the
// add-device routine it gave the library). Start() starts the device.
//
//     TEST_F(AdapterTestbed, StartsWithAPendingQuery)
//     {
//         Companion().SetQueryAnswer(host::engine::QueryAnswer::FromWorker);
//         EXPECT_EQ(Start(), STATUS_SUCCESS);
//         EXPECT_EQ(EngineRecord()->EngineContext, Engine().Context());
//     }
//
// TearDown removes the device and fails the test if the driver left pool of
// its tags, port objects or resource lists behind, damaged the library's part
// of the device extension, or committed any other violation during the test
// that the test did not capture itself (with its own host::ViolationCapture).
#pragma once

#include "engine/engineinterface.h"
#include "host/kernel/conduct.h"
#include "host/portcls/system.h"

#include <gtest/gtest.h>

#include <memory>

namespace nuvtest
{

class AdapterTestbed : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Override to false to load and add the driver in the test itself.
    virtual bool LoadAndAddInSetUp() const { return true; }

    host::System& System() { return *m_system; }
    host::engine::CompanionDriver& Companion() { return m_system->Companion(); }
    host::engine::Engine& Engine() { return m_system->Engine(); }
    PDEVICE_OBJECT AdapterDevice() { return m_system->AdapterDevice(); }
    NTSTATUS Start() { return m_system->Start(); }

    // The ENGINE_INTERFACE record the driver keeps after the library's part
    // of its device extension.
    PENGINE_INTERFACE EngineRecord();

private:
    std::unique_ptr<host::ViolationCapture> m_violations;
    std::unique_ptr<host::System> m_system;
};

} // namespace nuvtest
