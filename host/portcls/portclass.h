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
//     classes (WaveCyclic, WavePci, topology).
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
#include <functional>
#include <optional>
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

// --- WavePci and topology ports -------------------------------------------------
// PcNewPort(CLSID_PortWavePci) and PcNewPort(CLSID_PortTopology) make ports
// whose Init binds the miniport as the platform's library does: it queries
// the miniport's primary interface (and IPowerNotify, if it answers it),
// calls the miniport's Init with the adapter argument passed through
// unchanged, then reads the filter description once, checks it
// (CheckFilterDescriptor, findings reported as Custom violations) and keeps
// its own copy of it. Each port holds its miniport until the adapter's device
// is removed; the miniport's reference to its port goes with it.
//
//     auto description = host::portcls::Description(subdevice.port);
//     EXPECT_EQ(description->pins[1].name, PINNAME_OUTPUT_2);

// The arguments of one IPortWavePci::NewMasterDmaChannel call and what it
// returned.
struct DmaChannelRequest
{
    PUNKNOWN outerUnknown = nullptr;
    POOL_TYPE poolType = NonPagedPool;
    PRESOURCELIST resourceList = nullptr;
    BOOLEAN scatterGather = FALSE;
    BOOLEAN dma32BitAddresses = FALSE;
    BOOLEAN dma64BitAddresses = FALSE;
    BOOLEAN ignoreCount = FALSE;
    ULONG dmaWidth = 0;
    ULONG dmaSpeed = 0;
    ULONG maximumLength = 0;
    ULONG dmaPort = 0;
    NTSTATUS status = STATUS_SUCCESS;
};
// Every NewMasterDmaChannel call on a WavePci port, in order; empty for any
// other object. The call fails with STATUS_INSUFFICIENT_RESOURCES when fault
// injection says so ("NewMasterDmaChannel").
std::vector<DmaChannelRequest> MasterDmaChannelRequests(PUNKNOWN port);
std::size_t LiveDmaChannelCount();

// IPortWavePci::Notify runs the service group's RequestService at
// DISPATCH_LEVEL. By default it does so at once on the calling thread; a
// delivery installed here gets every notified group instead (a DPC thread
// of the streaming side, for instance) and must raise the level itself.
// Null restores the default.
void SetNotifyDelivery(std::function<void(PSERVICEGROUP)> delivery);

// What the removal of the device does first: every port bound on it lets go
// of its miniport (and the miniport of its reference on the port). With a
// null device: the ports whose Init was given no device object, as unit
// tests make them.
void ReleaseMiniports(PDEVICE_OBJECT deviceObject);

// Sends a power change to the port's miniport through the IPowerNotify it
// answered at Init, at PASSIVE_LEVEL, as the library does on a device power
// request. False if the miniport has none or `port` is no bound port.
bool SendPowerChange(PUNKNOWN port, DEVICE_POWER_STATE state);

// --- filter descriptions ------------------------------------------------------------
struct PropertyItemDescription
{
    GUID set;
    ULONG id;
    ULONG flags;
};

struct PinDescription
{
    ULONG maxGlobalInstanceCount = 0;
    ULONG maxFilterInstanceCount = 0;
    ULONG minFilterInstanceCount = 0;
    KSPIN_DATAFLOW dataFlow = KSPIN_DATAFLOW_IN;
    KSPIN_COMMUNICATION communication = KSPIN_COMMUNICATION_NONE;
    std::optional<GUID> category;
    std::optional<GUID> name;
    // Each range's bytes, FormatSize of them.
    std::vector<std::vector<unsigned char>> dataRanges;
    std::vector<PropertyItemDescription> properties;
};

struct NodeDescription
{
    std::optional<GUID> type;
    std::optional<GUID> name;
    std::vector<PropertyItemDescription> properties;
};

// The filter as the port read it during its Init: later changes to the
// miniport's tables do not show here.
struct FilterDescription
{
    ULONG version = 0;
    std::vector<PropertyItemDescription> properties; // the filter's own
    std::vector<PinDescription> pins;
    std::vector<NodeDescription> nodes;
    std::vector<PCCONNECTION_DESCRIPTOR> connections;
    std::vector<GUID> categories;
};
// Empty for an object that is no initialised WavePci or topology port.
std::optional<FilterDescription> Description(PUNKNOWN port);

// What the library finds wrong with a filter descriptor, one line per
// finding; empty for a sound one. Nothing is reported: the ports report
// what this returns for the descriptors they read.
std::vector<std::string> CheckFilterDescriptor(const PCFILTER_DESCRIPTOR* descriptor);

// --- property and data-range intersection requests ------------------------------
// A client's property request on a port's filter, or on one of its nodes,
// routed as the library routes it: the filter's or the node's automation
// table, the item by set and id, the item's flags deciding which verbs reach
// its handler. The handler runs on the calling thread, which must be at
// PASSIVE_LEVEL, with a PCPROPERTY_REQUEST whose MajorTarget is the
// miniport's primary interface. The value is copied into a buffer of exactly
// `valueSize` bytes for the handler and copied back afterwards.
//
//   - an unknown set or id, or a node without that property: STATUS_NOT_FOUND;
//   - a node index beyond the filter's nodes: STATUS_INVALID_PARAMETER;
//   - GET or SET that the item's flags do not allow:
//     STATUS_INVALID_DEVICE_REQUEST, the handler not called;
//   - basic support without the item's BASICSUPPORT flag: answered by the
//     library (0 bytes: 40 and STATUS_BUFFER_OVERFLOW; 1 to 3:
//     STATUS_BUFFER_TOO_SMALL; 4 to 39: the access flags; 40 or more: a
//     KSPROPERTY_DESCRIPTION);
//   - a verb that is not exactly one of GET, SET and BASICSUPPORT:
//     STATUS_INVALID_PARAMETER.
constexpr ULONG kFilterNode = PCFILTER_NODE;

struct PropertyRequest
{
    GUID set = {};
    ULONG id = 0;
    ULONG verb = KSPROPERTY_TYPE_GET;
    ULONG node = kFilterNode;
    void* value = nullptr;
    ULONG valueSize = 0;
};

struct PropertyResult
{
    NTSTATUS status = STATUS_SUCCESS;
    ULONG valueSize = 0;         // what the handler (or the library) left
    bool reachedHandler = false; // whether the item's handler was called
};

PropertyResult DispatchProperty(PUNKNOWN port, const PropertyRequest& request);
NTSTATUS GetProperty(PUNKNOWN port, const GUID& set, ULONG id, ULONG node, void* value,
                     ULONG valueSize, ULONG* valueSizeOut = nullptr);
NTSTATUS SetProperty(PUNKNOWN port, const GUID& set, ULONG id, ULONG node, void* value,
                     ULONG valueSize, ULONG* valueSizeOut = nullptr);

// A client's data-range intersection on a pin of a port's filter, as the
// library carries it out: each client range in turn (each one buffer exactly
// FormatSize long) against each of the pin's ranges whose major format,
// subformat and specifier match (equal, or a wildcard on either side), with
// the miniport's DataRangeIntersection first. STATUS_NO_MATCH goes on to the
// next pair; STATUS_NOT_IMPLEMENTED hands the pair to the library's default
// intersection (a plain KSDATARANGE pin range: the result is that range as a
// format, its wildcards filled from the client's range, with the same
// two-call size protocol); any other status ends the search and is the
// answer. No pair answered: STATUS_NO_MATCH. A pin the filter does not
// have, no client range, or a range whose buffer is not FormatSize long (or
// shorter than a KSDATARANGE): STATUS_INVALID_PARAMETER.
struct IntersectionResult
{
    NTSTATUS status = STATUS_NO_MATCH;
    ULONG length = 0;                  // the resultant format length reported
    std::vector<unsigned char> format; // the bytes written, on success
    bool byDefaultHandler = false;     // the library's default answered
};

IntersectionResult IntersectDataRanges(PUNKNOWN port, ULONG pin,
                                       const std::vector<std::vector<unsigned char>>& clientRanges,
                                       ULONG outputBufferLength);

} // namespace host::portcls
