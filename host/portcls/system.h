// A whole host system around the audio driver: the companion USB driver with
// its physical device object and engine, the audio driver's object, and the
// port class library between them. Tests (through tests/support's fixture)
// and tools use it alike; it needs no test framework.
//
//     host::System system(DriverEntry);
//     system.Companion().SetQueryAnswer(host::engine::QueryAnswer::FromWorker);
//     if (NT_SUCCESS(system.Load()) && NT_SUCCESS(system.AddDevice()))
//         status = system.Start();
//     ...
//     auto problems = system.Shutdown();   // removes the device, then checks
//
// The driver is either the one linked into the program (its DriverEntry, as
// above) or a Windows image of it loaded by host/loader, which the system
// keeps loaded for as long as it lives (host/loader/driverbinary.h):
//
//     host::System system(*host::loader::LoadDriverImage(path, error));
//
// Shutdown (and the destructor, if Shutdown was not called) removes the
// adapter's device through the library and then checks what the driver left
// behind: pool of the driver's tags, port objects and resource lists alive,
// the library's part of the device extension.
#pragma once

#include "host/engine/companion.h"

#include <wdm.h>

#include <memory>
#include <string>
#include <vector>

namespace host
{

namespace loader
{
class LoadedImage;
}

// The driver a system runs: its entry point, and the loaded image the entry
// point lies in (null for the driver linked into the program).
struct DriverBinary
{
    PDRIVER_INITIALIZE entry = nullptr;
    std::shared_ptr<const loader::LoadedImage> image;
};

class System
{
public:
    explicit System(PDRIVER_INITIALIZE driverEntry);
    explicit System(DriverBinary driver);
    ~System();
    System(const System&) = delete;
    System& operator=(const System&) = delete;

    // DriverEntry(driver object, registry path).
    NTSTATUS Load();
    // The add-device routine the driver gave the library, with the PDO.
    NTSTATUS AddDevice();
    // IRP_MN_START_DEVICE through the library; the start routine's status.
    NTSTATUS Start();
    // IRP_MN_REMOVE_DEVICE through the library, if a device was added.
    NTSTATUS Remove();

    // Removes the device if it is there and checks what is left; each
    // problem is one line of text, and also reported as a violation.
    std::vector<std::string> Shutdown();

    const DriverBinary& Driver() const { return m_binary; }
    PDRIVER_OBJECT DriverObject() const { return m_driver; }
    // The adapter's device object (null before AddDevice and after Remove).
    PDEVICE_OBJECT AdapterDevice() const { return m_adapterDevice; }
    PDEVICE_OBJECT PhysicalDevice() const { return m_companion->PhysicalDeviceObject(); }
    engine::CompanionDriver& Companion() { return *m_companion; }
    engine::Engine& Engine() { return m_companion->Engine(); }

    // The pool tags whose blocks must all be freed by Shutdown.
    static std::vector<ULONG> DriverPoolTags();

private:
    std::vector<std::string> CheckLeftovers();

    // First, so that the image the driver's code lies in goes last.
    DriverBinary m_binary;
    std::unique_ptr<engine::CompanionDriver> m_companion;
    PDRIVER_OBJECT m_driver = nullptr;
    PDEVICE_OBJECT m_adapterDevice = nullptr;
    bool m_shutDown = false;
};

} // namespace host
