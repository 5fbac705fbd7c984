// The common part of the ports that carry a filter (WavePci and topology):
// binding the miniport at Init, the filter description read then, and the
// library's list of such ports, through which the property and intersection
// dispatch and the tests find them.
//
// Binding, as the platform's library does it: the port queries the miniport
// for its primary interface and keeps that reference, asks it for
// IPowerNotify, lets the class call the miniport's Init, then reads the
// description once, checks it and copies the tables it needs (pins, nodes,
// connections, categories), so that a miniport that rewrites its tables
// later does not change what this filter shows. The automation tables and
// data ranges stay the miniport's: they are constant data.
//
// Ownership: the port holds the miniport and the miniport holds its port, a
// cycle the library breaks when the adapter's device is removed
// (ReleaseBoundMiniports), as the platform releases each subdevice's
// children. A failed Init drops whatever it took.
#pragma once

#include "host/portcls/ports.h"

#include <portcls.h>

#include <functional>
#include <vector>

namespace host::portcls
{

// The description a port read, with its own copies of the tables; the
// pointers in `header` lead into the vectors below, the rest into the
// miniport's constant data.
struct CapturedFilter
{
    PCFILTER_DESCRIPTOR header{};
    std::vector<PCPIN_DESCRIPTOR> pins;
    std::vector<PCNODE_DESCRIPTOR> nodes;
    std::vector<PCCONNECTION_DESCRIPTOR> connections;
    std::vector<GUID> categories;
};

class FilterPort : public PortBase
{
public:
    ~FilterPort() override;

    // The object PcNewPort returned and subdevices are registered with.
    PUNKNOWN Identity() const { return m_identity; }
    PDEVICE_OBJECT DeviceObject() const { return m_deviceObject; }
    // The miniport's primary interface (IMiniportWavePci or
    // IMiniportTopology, both single-inheritance IMiniports at one address),
    // as property handlers get it for MajorTarget; null before Init and
    // after the miniport was released.
    PUNKNOWN MiniportTarget() const { return m_miniport; }
    PMINIPORT Miniport() const { return m_miniport; }
    bool IsBound() const { return m_miniport != nullptr; }
    // Valid once Init succeeded.
    const CapturedFilter& Filter() const { return m_filter; }
    PPOWERNOTIFY PowerNotify() const { return m_powerNotify; }

    // Releases the miniport and what came with it; the port stays alive for
    // whoever holds it. Idempotent. Runs at passive level on the PnP path
    // (device removal, the port's last Release), never beside Init.
    void ReleaseChildren();

    // The live filter port registered or made as `unknown`, with a
    // reference for the caller, or null; unless `initialisedOnly` is false,
    // only one whose Init succeeded.
    static FilterPort* Acquire(PUNKNOWN unknown, bool initialisedOnly = true);
    // Every bound port of the device, each with a reference for the caller.
    static std::vector<FilterPort*> AcquireBoundPorts(PDEVICE_OBJECT deviceObject);

    // AddRef and Release through the identity.
    ULONG AddPortReference() { return m_identity->AddRef(); }
    ULONG ReleasePortReference() { return m_identity->Release(); }

protected:
    FilterPort(const GUID& classId, const char* className, PUNKNOWN identity);

    // The bound part of Init. `miniportIid` is the primary interface asked
    // of the miniport; `initMiniport` calls its Init with the interface
    // obtained. Returns the first failure, with nothing kept.
    NTSTATUS BindMiniport(const char* method, PDEVICE_OBJECT deviceObject, PUNKNOWN unknownMiniport,
                          REFIID miniportIid,
                          const std::function<NTSTATUS(PUNKNOWN)>& initMiniport);

    // Extra references a class keeps from its miniport's Init (the WavePci
    // miniport's service group); released with the miniport.
    virtual void ReleaseClassChildren() {}

    // GetDeviceProperty and NewRegistryKey: the host does not carry them
    // out, and this driver reads no configuration, so a call is recorded,
    // reported and answered with STATUS_NOT_IMPLEMENTED.
    NTSTATUS NotCarriedOut(const char* method);

    // IPort::Release: the last reference takes the miniport with it (a
    // miniport that holds its port keeps the count above one until then).
    ULONG ReleasePort(const char* method);

private:
    NTSTATUS ReadDescription();

    const PUNKNOWN m_identity;
    PDEVICE_OBJECT m_deviceObject = nullptr;
    PMINIPORT m_miniport = nullptr;
    PPOWERNOTIFY m_powerNotify = nullptr;
    bool m_initialised = false;
    CapturedFilter m_filter;
};

} // namespace host::portcls
