// The host port class library: the test-facing side.
//
// The library's entry points are the ones <portcls.h> declares and the
// driver calls (PcInitializeAdapterDriver, PcAddAdapterDevice, PcNewPort).
// They behave as the platform's library does where the driver relies on it:
//
//   - PcInitializeAdapterDriver installs the library's dispatch routines and
//     remembers the add-device routine;
//   - PcAddAdapterDevice creates the adapter's device object over the
//     physical device, keeps its own state in the first
//     PORT_CLASS_DEVICE_EXTENSION_SIZE bytes of the extension and refuses a
//     smaller extension;
//   - the library's PnP dispatch starts the device below first, then calls
//     the adapter's start routine; every other PnP request goes down the
//     stack unchanged, so the companion driver answers the engine query;
//   - PcNewPort makes reference-counted port objects from a table of port
//     classes (WaveCyclic now; WavePci and topology slot in beside it).
//
// This header is what tests and tools use to drive and inspect it:
//
//     host::portcls::RefuseInterface(CLSID_PortWaveCyclic, IID_IPortEvents);
//     NTSTATUS status = host::portcls::StartDevice(adapterDevice);
//     EXPECT_EQ(host::portcls::LivePortCount(), 0u);
//     EXPECT_TRUE(host::portcls::CheckLibraryExtensionIntact(adapterDevice));
//
// Subdevice registration (PcRegisterSubdevice, PcRegisterPhysicalConnection)
// is in subdevices.cpp: the library records each subdevice and connection
// and holds a reference on each registered port until the device is
// removed. Port objects of the next classes go in portwavepci.cpp and
// porttopology.cpp, entered in the table in ports.cpp.
#pragma once

#include <portcls.h>

#include <cstddef>
#include <string>
#include <vector>

namespace host::portcls
{

// --- configuration -----------------------------------------------------------
// QueryInterface for `iid` on every port of class `portClass` made from now on
// or alive now fails with STATUS_INVALID_PARAMETER and a null result.
void RefuseInterface(REFCLSID portClass, REFIID iid);
// PcNewPort for `portClass` fails with `status` after `succeedFirst` more
// successful creations of that class.
void FailPortCreation(REFCLSID portClass, NTSTATUS status, unsigned succeedFirst = 0);
// Back to a library that refuses nothing; the call record is cleared.
void ResetConfiguration();

// --- the record of calls ------------------------------------------------------
// Every call into the library and its objects, in order: the entry points
// ("PcNewPort"), object methods ("IPort::QueryInterface", "IResourceList::
// Release") and the library's own steps ("StartDevice routine").
struct LibraryCall
{
    std::string function;
    std::string detail; // the class or interface asked for, by name
    NTSTATUS status = STATUS_SUCCESS;
    const void* object = nullptr; // the device, or the library object (not the interface pointer)
};
std::vector<LibraryCall> Calls();
std::size_t CallCount(const std::string& function);
std::size_t CallCount(const std::string& function, const std::string& detail);
void ClearCalls();

// "IID_IPortEvents", "CLSID_PortWaveCyclic", or the GUID in braces.
std::string GuidName(const GUID& guid);

// --- adapter devices -----------------------------------------------------------
// Sends IRP_MN_START_DEVICE to the adapter's device object, as the PnP
// manager does, and returns the status it completed with: the start
// routine's, or the lower driver's if that refused to start.
NTSTATUS StartDevice(PDEVICE_OBJECT adapterDevice);
// Sends IRP_MN_REMOVE_DEVICE: the library passes it down, detaches the
// adapter's device object and deletes it.
NTSTATUS RemoveDevice(PDEVICE_OBJECT adapterDevice);
// The device below the adapter's device object, as the library keeps it.
PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT adapterDevice);
// MaxObjects as given to PcAddAdapterDevice.
ULONG MaxObjects(PDEVICE_OBJECT adapterDevice);
// Whether the library knows this device object as an adapter's.
bool IsAdapterDevice(PDEVICE_OBJECT adapterDevice);

// The first PORT_CLASS_DEVICE_EXTENSION_SIZE bytes of the adapter's device
// extension are the library's: its state and, after it, a fill pattern.
// Reports a Custom violation naming the first changed byte and returns false
// if the driver wrote into them. The library also checks after every call of
// the start routine and before removal.
bool CheckLibraryExtensionIntact(PDEVICE_OBJECT adapterDevice);
// The fill pattern's byte at `offset` of the extension.
unsigned char LibraryFillByte(std::size_t offset);

// --- subdevices and physical connections --------------------------------------
struct Subdevice
{
    std::u16string name;
    PUNKNOWN port; // the object the driver registered; the library holds a reference
};
// In the order of registration.
std::vector<Subdevice> Subdevices(PDEVICE_OBJECT adapterDevice);

struct PhysicalConnection
{
    std::u16string from; // subdevice names; empty if the object was not registered
    ULONG fromPin;
    std::u16string to;
    ULONG toPin;
    NTSTATUS status; // what PcRegisterPhysicalConnection returned
};
// Every call, failed ones included, in order.
std::vector<PhysicalConnection> PhysicalConnections(PDEVICE_OBJECT adapterDevice);

// The n-th call (1-based, counted from now) of PcRegisterSubdevice or
// PcRegisterPhysicalConnection fails with `status`.
void FailSubdeviceRegistration(unsigned nth, NTSTATUS status);
void FailPhysicalConnection(unsigned nth, NTSTATUS status);

// --- objects ------------------------------------------------------------------
// Port objects alive (not yet released to zero), and resource lists.
std::size_t LivePortCount();
std::size_t LiveResourceListCount();
// "WaveCyclic port 0x..., 2 references" for each live port.
std::vector<std::string> DescribeLivePorts();
// Stops counting the objects alive now (they stay valid): a new system
// starts its count from zero.
void ForgetLiveObjects();

} // namespace host::portcls
