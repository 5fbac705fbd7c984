// The host system with the adapter started, as the plugin holds it while a
// client has the PCM set up: the companion driver's engine with the period
// the configuration asks for, the driver loaded, its device added and
// started, and the wave filter of one device found, as a client finds it by
// its reference string.
//
//     std::string error;
//     auto device = nuvalsa::HostDevice::Start(4, 480, host::DriverBinary{DriverEntry}, error);
//     ... device->WavePort(), device->Miniport(), device->Engine() ...
//     for (const std::string& problem : device->Shutdown()) ...
//
// Shutdown removes the device and reports what the driver left behind (pool
// blocks of its tags, port objects, resource lists, service groups), each
// problem also reported as a conduct violation.
#pragma once

#include "host/engine/engine.h"
#include "host/portcls/system.h"

#include <portcls.h>

#include <memory>
#include <string>
#include <vector>

namespace nuvalsa
{

class HostDevice
{
public:
    // `device` is 1 to 4; `driver` the host build or a loaded image of
    // nuvaudio.sys. Null, with `error` set, if the adapter does not start
    // or registers no wave filter for the device; what the failed start
    // left behind is in `error` too.
    static std::unique_ptr<HostDevice> Start(int device, unsigned periodFrames,
                                             const host::DriverBinary& driver, std::string& error);
    ~HostDevice();
    HostDevice(const HostDevice&) = delete;
    HostDevice& operator=(const HostDevice&) = delete;

    int Device() const { return m_device; }
    // The engine's device index of the wave filter (device - 1).
    ULONG DeviceIndex() const { return static_cast<ULONG>(m_device - 1); }
    std::string WaveName() const;
    host::engine::Engine& Engine() { return m_system->Engine(); }
    PUNKNOWN WavePort() const { return m_port; }
    PMINIPORTWAVEPCI Miniport() const { return m_miniport; }

    // Idempotent; the second call finds nothing more.
    std::vector<std::string> Shutdown();

private:
    HostDevice(int device, std::unique_ptr<host::System> system);

    int m_device;
    std::unique_ptr<host::System> m_system;
    PUNKNOWN m_port = nullptr;
    PMINIPORTWAVEPCI m_miniport = nullptr;
    bool m_shutDown = false;
};

} // namespace nuvalsa
