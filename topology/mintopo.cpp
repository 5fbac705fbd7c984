#include "topology/mintopo.h"

#include <ksmedia.h>

#include "engine/engineinterface.h"
#include "common/codesections.h"
#include "common/pooltags.h"
#include "topology/topotables.h"

// Pin 1's name identifier per device index. Indexes past the end leave the
// name as the last GetDescription left it.
static const GUID* const TopologyOutputNames[] = {
    &PINNAME_OUTPUT_1,
    &PINNAME_OUTPUT_2,
    &PINNAME_OUTPUT_3,
    &PINNAME_OUTPUT_4,
};

// The device whose output is a speaker; every other one is a line output.
#define TOPOLOGY_SPEAKER_DEVICE_INDEX 3

PAGEABLE_CODE NTSTATUS CreateMiniportTopology(PUNKNOWN* Unknown,
                                              REFCLSID /* ClassId: not looked at */,
                                              PUNKNOWN OuterUnknown, POOL_TYPE PoolType)
{
    PAGED_CODE();

    CMiniportTopology* miniport = new (PoolType, POOL_TAG_OBJECT) CMiniportTopology(OuterUnknown);
    if (miniport == NULL)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *Unknown = static_cast<IMiniportTopology*>(miniport);
    (*Unknown)->AddRef();
    return STATUS_SUCCESS;
}

// Resident: runs on the last Release, at whatever level that comes.
CMiniportTopology::~CMiniportTopology()
{
    if (m_Port != NULL)
    {
        m_Port->Release();
        m_Port = NULL;
    }
}

PAGEABLE_CODE STDMETHODIMP_(NTSTATUS)
    CMiniportTopology::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();

    if (IsEqualGUIDAligned(InterfaceId, IID_IUnknown) ||
        IsEqualGUIDAligned(InterfaceId, IID_IMiniport) ||
        IsEqualGUIDAligned(InterfaceId, IID_IMiniportTopology))
    {
        return ReturnInterface(static_cast<IMiniportTopology*>(this), Interface);
    }
    return RefuseInterface(Interface);
}

// The port calls this once, from its own Init. Device start passes the
// ENGINE_INTERFACE record as the adapter; a null one is refused rather than
// read, and the port is then not kept.
PAGEABLE_CODE STDMETHODIMP_(NTSTATUS) CMiniportTopology::Init(PUNKNOWN UnknownAdapter,
                                                              PRESOURCELIST ResourceList,
                                                              PPORTTOPOLOGY Port)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(ResourceList);

    if (UnknownAdapter == NULL || Port == NULL)
    {
        return STATUS_INVALID_PARAMETER;
    }

    PENGINE_INTERFACE engine = reinterpret_cast<PENGINE_INTERFACE>(UnknownAdapter);
    m_DeviceIndex = engine->InstanceCount;
    m_Port = Port;
    m_Port->AddRef();
    return STATUS_SUCCESS;
}

// Writes this device's variant of pin 1 into the shared pin table, then
// hands out the shared descriptor. Each field is one pointer-sized store, so
// a reader of the table never sees half a pointer; which variant it sees is
// decided by device start building the pairs one after another.
PAGEABLE_CODE
STDMETHODIMP_(NTSTATUS) CMiniportTopology::GetDescription(PPCFILTER_DESCRIPTOR* Description)
{
    PAGED_CODE();

    KSPIN_DESCRIPTOR* output = &TopologyPins[TOPOLOGY_PIN_OUTPUT].KsPinDescriptor;
    output->Category = (m_DeviceIndex == TOPOLOGY_SPEAKER_DEVICE_INDEX)
                           ? &KSNODETYPE_SPEAKER
                           : &KSNODETYPE_LINE_CONNECTOR;
    if (m_DeviceIndex < SIZEOF_ARRAY(TopologyOutputNames))
    {
        output->Name = TopologyOutputNames[m_DeviceIndex];
    }

    *Description = const_cast<PPCFILTER_DESCRIPTOR>(&TopologyFilterDescriptor);
    return STATUS_SUCCESS;
}

// The topology filter's pins carry no data the miniport could format; the
// port's own default handling answers for them. Resident.
STDMETHODIMP_(NTSTATUS)
CMiniportTopology::DataRangeIntersection(ULONG PinId, PKSDATARANGE ClientDataRange,
                                         PKSDATARANGE MyDataRange, ULONG OutputBufferLength,
                                         PVOID ResultantFormat, PULONG ResultantFormatLength)
{
    UNREFERENCED_PARAMETER(PinId);
    UNREFERENCED_PARAMETER(ClientDataRange);
    UNREFERENCED_PARAMETER(MyDataRange);
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(ResultantFormat);
    UNREFERENCED_PARAMETER(ResultantFormatLength);
    return STATUS_NOT_IMPLEMENTED;
}
