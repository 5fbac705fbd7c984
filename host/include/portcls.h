// Host stand-in for <portcls.h>, the port class library's interface: the
// descriptor structures a miniport hands its port, the port, miniport and
// helper interfaces with the platform's method order (the vtable slots must
// match the Windows image), their IIDs and CLSIDs, and the library's entry
// points. The host port class library (host/portcls) implements them.
#pragma once

#include <wdm.h>
#include <mmreg.h>
#include <punknown.h>
#include <ks.h>
#include <ksmedia.h>

#define PORTCLASSAPI EXTERN_C

#define PCFILTER_NODE ((ULONG)-1)

#define _100NS_UNITS_PER_SECOND 10000000L
#define PORT_CLASS_DEVICE_EXTENSION_SIZE (64 * sizeof(ULONG_PTR))

// ---------------------------------------------------------------------------
// Item flags and verbs
#define PCEVENT_ITEM_FLAG_ENABLE KSEVENT_TYPE_ENABLE
#define PCEVENT_ITEM_FLAG_ONESHOT KSEVENT_TYPE_ONESHOT
#define PCEVENT_ITEM_FLAG_BASICSUPPORT KSEVENT_TYPE_BASICSUPPORT

#define PCEVENT_VERB_NONE 0
#define PCEVENT_VERB_ADD 1
#define PCEVENT_VERB_REMOVE 2
#define PCEVENT_VERB_SUPPORT 4

#define PCMETHOD_ITEM_FLAG_NONE KSMETHOD_TYPE_NONE
#define PCMETHOD_ITEM_FLAG_READ KSMETHOD_TYPE_READ
#define PCMETHOD_ITEM_FLAG_WRITE KSMETHOD_TYPE_WRITE
#define PCMETHOD_ITEM_FLAG_MODIFY KSMETHOD_TYPE_MODIFY
#define PCMETHOD_ITEM_FLAG_SOURCE KSMETHOD_TYPE_SOURCE
#define PCMETHOD_ITEM_FLAG_BASICSUPPORT KSMETHOD_TYPE_BASICSUPPORT

#define PCPROPERTY_ITEM_FLAG_GET KSPROPERTY_TYPE_GET
#define PCPROPERTY_ITEM_FLAG_SET KSPROPERTY_TYPE_SET
#define PCPROPERTY_ITEM_FLAG_BASICSUPPORT KSPROPERTY_TYPE_BASICSUPPORT
#define PCPROPERTY_ITEM_FLAG_SERIALIZERAW KSPROPERTY_TYPE_SERIALIZERAW
#define PCPROPERTY_ITEM_FLAG_UNSERIALIZERAW KSPROPERTY_TYPE_UNSERIALIZERAW
#define PCPROPERTY_ITEM_FLAG_SERIALIZESIZE KSPROPERTY_TYPE_SERIALIZESIZE
#define PCPROPERTY_ITEM_FLAG_SERIALIZE                                                             \
    (PCPROPERTY_ITEM_FLAG_SERIALIZERAW | PCPROPERTY_ITEM_FLAG_UNSERIALIZERAW |                     \
     PCPROPERTY_ITEM_FLAG_SERIALIZESIZE)
#define PCPROPERTY_ITEM_FLAG_DEFAULTVALUES KSPROPERTY_TYPE_DEFAULTVALUES

// Port class versions, as the library reports them.
enum
{
    kVersionInvalid = -1,
    kVersionWin98,
    kVersionWin98SE,
    kVersionWin2K,
    kVersionWin98SE_QFE2,
    kVersionWin2K_SP2,
    kVersionWinME,
    kVersionWin98SE_QFE3,
    kVersionWinME_QFE1,
    kVersionWinXP,
    kVersionWinXPSP1,
    kVersionWinServer2003,
    kVersionWin2K_UAAQFE,
    kVersionWinXP_UAAQFE,
    kVersionWinServer2003_UAAQFE
};

// ---------------------------------------------------------------------------
// Property, method and event items and the requests that reach their handlers
struct _PCPROPERTY_REQUEST;
typedef struct _PCPROPERTY_REQUEST PCPROPERTY_REQUEST, *PPCPROPERTY_REQUEST;

typedef NTSTATUS(NTAPI* PCPFNPROPERTY_HANDLER)(IN PPCPROPERTY_REQUEST PropertyRequest);

typedef struct
{
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNPROPERTY_HANDLER Handler;
} PCPROPERTY_ITEM, *PPCPROPERTY_ITEM;

struct _PCPROPERTY_REQUEST
{
    PUNKNOWN MajorTarget;
    PUNKNOWN MinorTarget;
    ULONG Node;
    const PCPROPERTY_ITEM* PropertyItem;
    ULONG Verb;
    ULONG InstanceSize;
    PVOID Instance;
    ULONG ValueSize;
    PVOID Value;
    PIRP Irp;
};

struct _PCEVENT_REQUEST;
typedef NTSTATUS(NTAPI* PCPFNEVENT_HANDLER)(IN struct _PCEVENT_REQUEST* EventRequest);

typedef struct _PCEVENT_ITEM
{
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNEVENT_HANDLER Handler;
} PCEVENT_ITEM, *PPCEVENT_ITEM;

typedef struct _PCEVENT_REQUEST
{
    PUNKNOWN MajorTarget;
    PUNKNOWN MinorTarget;
    ULONG Node;
    const PCEVENT_ITEM* EventItem;
    PKSEVENT_ENTRY EventEntry;
    ULONG Verb;
    PIRP Irp;
} PCEVENT_REQUEST, *PPCEVENT_REQUEST;

struct _PCMETHOD_REQUEST;
typedef NTSTATUS(NTAPI* PCPFNMETHOD_HANDLER)(IN struct _PCMETHOD_REQUEST* MethodRequest);

typedef struct _PCMETHOD_ITEM
{
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNMETHOD_HANDLER Handler;
} PCMETHOD_ITEM, *PPCMETHOD_ITEM;

typedef struct _PCMETHOD_REQUEST
{
    PUNKNOWN MajorTarget;
    PUNKNOWN MinorTarget;
    ULONG Node;
    const PCMETHOD_ITEM* MethodItem;
    ULONG Verb;
} PCMETHOD_REQUEST, *PPCMETHOD_REQUEST;

// ---------------------------------------------------------------------------
// Filter descriptors
typedef struct
{
    ULONG PropertyItemSize;
    ULONG PropertyCount;
    const PCPROPERTY_ITEM* Properties;
    ULONG MethodItemSize;
    ULONG MethodCount;
    const PCMETHOD_ITEM* Methods;
    ULONG EventItemSize;
    ULONG EventCount;
    const PCEVENT_ITEM* Events;
    ULONG Reserved;
} PCAUTOMATION_TABLE, *PPCAUTOMATION_TABLE;

typedef struct
{
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
} PCCONNECTION_DESCRIPTOR, *PPCCONNECTIONDESCRIPTOR;

typedef struct
{
    ULONG MaxGlobalInstanceCount;
    ULONG MaxFilterInstanceCount;
    ULONG MinFilterInstanceCount;
    const PCAUTOMATION_TABLE* AutomationTable;
    KSPIN_DESCRIPTOR KsPinDescriptor;
} PCPIN_DESCRIPTOR, *PPCPIN_DESCRIPTOR;

typedef struct
{
    ULONG Flags;
    const PCAUTOMATION_TABLE* AutomationTable;
    const GUID* Type;
    const GUID* Name;
} PCNODE_DESCRIPTOR, *PPCNODE_DESCRIPTOR;

typedef struct
{
    ULONG Version;
    const PCAUTOMATION_TABLE* AutomationTable;
    ULONG PinSize;
    ULONG PinCount;
    const PCPIN_DESCRIPTOR* Pins;
    ULONG NodeSize;
    ULONG NodeCount;
    const PCNODE_DESCRIPTOR* Nodes;
    ULONG ConnectionCount;
    const PCCONNECTION_DESCRIPTOR* Connections;
    ULONG CategoryCount;
    const GUID* Categories;
} PCFILTER_DESCRIPTOR, *PPCFILTER_DESCRIPTOR;

#define DEFINE_PCAUTOMATION_TABLE_PROP(AutomationTable, PropertyTable)                             \
    const PCAUTOMATION_TABLE AutomationTable = {sizeof(PropertyTable[0]),                          \
                                                SIZEOF_ARRAY(PropertyTable),                       \
                                                (const PCPROPERTY_ITEM*)PropertyTable,             \
                                                0,                                                 \
                                                0,                                                 \
                                                NULL,                                              \
                                                0,                                                 \
                                                0,                                                 \
                                                NULL,                                              \
                                                0}

// ---------------------------------------------------------------------------
// IResourceList
DEFINE_GUID(IID_IResourceList, 0x22C6AC60L, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38,
            0xAC, 0xFE);

DECLARE_INTERFACE_(IResourceList, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()

    STDMETHOD_(ULONG, NumberOfEntries)(THIS) PURE;
    STDMETHOD_(ULONG, NumberOfEntriesOfType)(THIS_ IN CM_RESOURCE_TYPE Type) PURE;
    STDMETHOD_(PCM_PARTIAL_RESOURCE_DESCRIPTOR, FindTranslatedEntry)
    (THIS_ IN CM_RESOURCE_TYPE Type, IN ULONG Index) PURE;
    STDMETHOD_(PCM_PARTIAL_RESOURCE_DESCRIPTOR, FindUntranslatedEntry)
    (THIS_ IN CM_RESOURCE_TYPE Type, IN ULONG Index) PURE;
    STDMETHOD_(NTSTATUS, AddEntry)
    (THIS_ IN PCM_PARTIAL_RESOURCE_DESCRIPTOR Translated,
     IN PCM_PARTIAL_RESOURCE_DESCRIPTOR Untranslated) PURE;
    STDMETHOD_(NTSTATUS, AddEntryFromParent)
    (THIS_ IN IResourceList * Parent, IN CM_RESOURCE_TYPE Type, IN ULONG Index) PURE;
    STDMETHOD_(PCM_RESOURCE_LIST, TranslatedList)(THIS) PURE;
    STDMETHOD_(PCM_RESOURCE_LIST, UntranslatedList)(THIS) PURE;
};

#define IMP_IResourceList                                                                          \
    STDMETHODIMP_(ULONG) NumberOfEntries(void);                                                    \
    STDMETHODIMP_(ULONG) NumberOfEntriesOfType(IN CM_RESOURCE_TYPE Type);                          \
    STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR)                                                 \
    FindTranslatedEntry(IN CM_RESOURCE_TYPE Type, IN ULONG Index);                                 \
    STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR)                                                 \
    FindUntranslatedEntry(IN CM_RESOURCE_TYPE Type, IN ULONG Index);                               \
    STDMETHODIMP_(NTSTATUS)                                                                        \
    AddEntry(IN PCM_PARTIAL_RESOURCE_DESCRIPTOR Translated,                                        \
             IN PCM_PARTIAL_RESOURCE_DESCRIPTOR Untranslated);                                     \
    STDMETHODIMP_(NTSTATUS)                                                                        \
    AddEntryFromParent(IN IResourceList* Parent, IN CM_RESOURCE_TYPE Type, IN ULONG Index);        \
    STDMETHODIMP_(PCM_RESOURCE_LIST) TranslatedList(void);                                         \
    STDMETHODIMP_(PCM_RESOURCE_LIST) UntranslatedList(void);

typedef IResourceList* PRESOURCELIST;

#define NumberOfPorts() NumberOfEntriesOfType(CmResourceTypePort)
#define FindTranslatedPort(n) FindTranslatedEntry(CmResourceTypePort, (n))
#define FindUntranslatedPort(n) FindUntranslatedEntry(CmResourceTypePort, (n))
#define NumberOfInterrupts() NumberOfEntriesOfType(CmResourceTypeInterrupt)
#define FindTranslatedInterrupt(n) FindTranslatedEntry(CmResourceTypeInterrupt, (n))
#define FindUntranslatedInterrupt(n) FindUntranslatedEntry(CmResourceTypeInterrupt, (n))
#define NumberOfMemories() NumberOfEntriesOfType(CmResourceTypeMemory)
#define FindTranslatedMemory(n) FindTranslatedEntry(CmResourceTypeMemory, (n))
#define FindUntranslatedMemory(n) FindUntranslatedEntry(CmResourceTypeMemory, (n))
#define NumberOfDmas() NumberOfEntriesOfType(CmResourceTypeDma)
#define FindTranslatedDma(n) FindTranslatedEntry(CmResourceTypeDma, (n))
#define FindUntranslatedDma(n) FindUntranslatedEntry(CmResourceTypeDma, (n))

// ---------------------------------------------------------------------------
// IServiceSink and IServiceGroup
DEFINE_GUID(IID_IServiceSink, 0x22C6AC64L, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC,
            0xFE);

DECLARE_INTERFACE_(IServiceSink, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(void, RequestService)(THIS) PURE;
};

#define IMP_IServiceSink STDMETHODIMP_(void) RequestService(void);

typedef IServiceSink* PSERVICESINK;

DEFINE_GUID(IID_IServiceGroup, 0x22C6AC65L, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38,
            0xAC, 0xFE);

DECLARE_INTERFACE_(IServiceGroup, IServiceSink)
{
    DEFINE_ABSTRACT_UNKNOWN()

    STDMETHOD_(void, RequestService)(THIS) PURE;
    STDMETHOD_(NTSTATUS, AddMember)(THIS_ IN PSERVICESINK pServiceSink) PURE;
    STDMETHOD_(void, RemoveMember)(THIS_ IN PSERVICESINK pServiceSink) PURE;
    STDMETHOD_(void, SupportDelayedService)(THIS) PURE;
    STDMETHOD_(void, RequestDelayedService)(THIS_ IN ULONGLONG ullDelay) PURE;
    STDMETHOD_(void, CancelDelayedService)(THIS) PURE;
};

#define IMP_IServiceGroup                                                                          \
    IMP_IServiceSink;                                                                              \
    STDMETHODIMP_(NTSTATUS) AddMember(IN PSERVICESINK pServiceSink);                               \
    STDMETHODIMP_(void) RemoveMember(IN PSERVICESINK pServiceSink);                                \
    STDMETHODIMP_(void) SupportDelayedService(void);                                               \
    STDMETHODIMP_(void) RequestDelayedService(IN ULONGLONG ullDelay);                              \
    STDMETHODIMP_(void) CancelDelayedService(void);

typedef IServiceGroup* PSERVICEGROUP;

// ---------------------------------------------------------------------------
// IDmaChannel and IDmaChannelSlave
#define DEFINE_ABSTRACT_DMACHANNEL()                                                               \
    STDMETHOD_(NTSTATUS, AllocateBuffer)                                                           \
    (THIS_ IN ULONG BufferSize, IN PPHYSICAL_ADDRESS PhysicalAddressConstraint OPTIONAL) PURE;     \
    STDMETHOD_(void, FreeBuffer)(THIS) PURE;                                                       \
    STDMETHOD_(ULONG, TransferCount)(THIS) PURE;                                                   \
    STDMETHOD_(ULONG, MaximumBufferSize)(THIS) PURE;                                               \
    STDMETHOD_(ULONG, AllocatedBufferSize)(THIS) PURE;                                             \
    STDMETHOD_(ULONG, BufferSize)(THIS) PURE;                                                      \
    STDMETHOD_(void, SetBufferSize)(THIS_ IN ULONG BufferSize) PURE;                               \
    STDMETHOD_(PVOID, SystemAddress)(THIS) PURE;                                                   \
    STDMETHOD_(PHYSICAL_ADDRESS, PhysicalAddress)(THIS) PURE;                                      \
    STDMETHOD_(PADAPTER_OBJECT, GetAdapterObject)(THIS) PURE;                                      \
    STDMETHOD_(void, CopyTo)                                                                       \
    (THIS_ IN PVOID Destination, IN PVOID Source, IN ULONG ByteCount) PURE;                        \
    STDMETHOD_(void, CopyFrom)                                                                     \
    (THIS_ IN PVOID Destination, IN PVOID Source, IN ULONG ByteCount) PURE;

#define IMP_IDmaChannel                                                                            \
    STDMETHODIMP_(NTSTATUS)                                                                        \
    AllocateBuffer(IN ULONG BufferSize, IN PPHYSICAL_ADDRESS PhysicalAddressConstraint OPTIONAL);  \
    STDMETHODIMP_(void) FreeBuffer(void);                                                          \
    STDMETHODIMP_(ULONG) TransferCount(void);                                                      \
    STDMETHODIMP_(ULONG) MaximumBufferSize(void);                                                  \
    STDMETHODIMP_(ULONG) AllocatedBufferSize(void);                                                \
    STDMETHODIMP_(ULONG) BufferSize(void);                                                         \
    STDMETHODIMP_(void) SetBufferSize(IN ULONG BufferSize);                                        \
    STDMETHODIMP_(PVOID) SystemAddress(void);                                                      \
    STDMETHODIMP_(PHYSICAL_ADDRESS) PhysicalAddress(void);                                         \
    STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject(void);                                         \
    STDMETHODIMP_(void) CopyTo(IN PVOID Destination, IN PVOID Source, IN ULONG ByteCount);         \
    STDMETHODIMP_(void) CopyFrom(IN PVOID Destination, IN PVOID Source, IN ULONG ByteCount)

DEFINE_GUID(IID_IDmaChannel, 0x22C6AC61L, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC,
            0xFE);

DECLARE_INTERFACE_(IDmaChannel, IUnknown){DEFINE_ABSTRACT_UNKNOWN() DEFINE_ABSTRACT_DMACHANNEL()};

typedef IDmaChannel* PDMACHANNEL;

#define DEFINE_ABSTRACT_DMACHANNELSLAVE()                                                          \
    STDMETHOD_(NTSTATUS, Start)(THIS_ IN ULONG MapSize, IN BOOLEAN WriteToDevice) PURE;            \
    STDMETHOD_(NTSTATUS, Stop)(THIS) PURE;                                                         \
    STDMETHOD_(ULONG, ReadCounter)(THIS) PURE;                                                     \
    STDMETHOD_(NTSTATUS, WaitForTC)(THIS_ ULONG Timeout) PURE;

// The platform declares no IID for the slave channel in Vista and later
// headers; the port hands it out directly.
DECLARE_INTERFACE_(IDmaChannelSlave, IDmaChannel){
    DEFINE_ABSTRACT_UNKNOWN() DEFINE_ABSTRACT_DMACHANNEL() DEFINE_ABSTRACT_DMACHANNELSLAVE()};

typedef IDmaChannelSlave* PDMACHANNELSLAVE;

// ---------------------------------------------------------------------------
// IPort. The registry-key factory is part of every port's vtable; this
// driver never calls it, so its key type stays opaque here.
typedef struct IRegistryKey* PREGISTRYKEY;

DEFINE_GUID(IID_IMiniport, 0xb4c90a24L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5,
            0x44);
DEFINE_GUID(IID_IPort, 0xb4c90a25L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);

#define DEFINE_ABSTRACT_PORT()                                                                     \
    STDMETHOD_(NTSTATUS, Init)                                                                     \
    (THIS_ IN PDEVICE_OBJECT DeviceObject, IN PIRP Irp, IN PUNKNOWN UnknownMiniport,               \
     IN PUNKNOWN UnknownAdapter OPTIONAL, IN PRESOURCELIST ResourceList) PURE;                     \
    STDMETHOD_(NTSTATUS, GetDeviceProperty)                                                        \
    (THIS_ IN DEVICE_REGISTRY_PROPERTY DeviceProperty, IN ULONG BufferLength,                      \
     OUT PVOID PropertyBuffer, OUT PULONG ResultLength) PURE;                                      \
    STDMETHOD_(NTSTATUS, NewRegistryKey)                                                           \
    (THIS_ OUT PREGISTRYKEY * OutRegistryKey, IN PUNKNOWN OuterUnknown OPTIONAL,                   \
     IN ULONG RegistryKeyType, IN ACCESS_MASK DesiredAccess,                                       \
     IN POBJECT_ATTRIBUTES ObjectAttributes OPTIONAL, IN ULONG CreateOptiona OPTIONAL,             \
     OUT PULONG Disposition OPTIONAL) PURE;

// The port class library's own declarations of the port methods; the library
// defines PC_IMPLEMENTATION before it includes this header.
#ifdef PC_IMPLEMENTATION
#define IMP_IPort                                                                                  \
    STDMETHODIMP_(NTSTATUS)                                                                        \
    Init(IN PDEVICE_OBJECT DeviceObject, IN PIRP Irp, IN PUNKNOWN UnknownMiniport,                 \
         IN PUNKNOWN UnknownAdapter OPTIONAL, IN PRESOURCELIST ResourceList);                      \
    STDMETHODIMP_(NTSTATUS)                                                                        \
    GetDeviceProperty(IN DEVICE_REGISTRY_PROPERTY DeviceProperty, IN ULONG BufferLength,           \
                      OUT PVOID PropertyBuffer, OUT PULONG ResultLength);                          \
    STDMETHODIMP_(NTSTATUS)                                                                        \
    NewRegistryKey(OUT PREGISTRYKEY* OutRegistryKey, IN PUNKNOWN OuterUnknown OPTIONAL,            \
                   IN ULONG RegistryKeyType, IN ACCESS_MASK DesiredAccess,                         \
                   IN POBJECT_ATTRIBUTES ObjectAttributes OPTIONAL,                                \
                   IN ULONG CreateOptions OPTIONAL, OUT PULONG Disposition OPTIONAL)
#endif

DECLARE_INTERFACE_(IPort, IUnknown){DEFINE_ABSTRACT_UNKNOWN() DEFINE_ABSTRACT_PORT()};

typedef IPort* PPORT;

// ---------------------------------------------------------------------------
// IPortWaveCyclic
DEFINE_GUID(IID_IPortWaveCyclic, 0xb4c90a26L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11,
            0xb5, 0x44);
DEFINE_GUID(CLSID_PortWaveCyclic, 0xb4c90a2aL, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11,
            0xb5, 0x44);

DECLARE_INTERFACE_(IPortWaveCyclic, IPort)
{
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_PORT()

    STDMETHOD_(VOID, Notify)(THIS_ IN PSERVICEGROUP ServiceGroup) PURE;
    STDMETHOD_(NTSTATUS, NewSlaveDmaChannel)
    (THIS_ OUT PDMACHANNELSLAVE * DmaChannel, IN PUNKNOWN OuterUnknown,
     IN PRESOURCELIST ResourceList OPTIONAL, IN ULONG DmaIndex, IN ULONG MaximumLength,
     IN BOOLEAN DemandMode, IN DMA_SPEED DmaSpeed) PURE;
    STDMETHOD_(NTSTATUS, NewMasterDmaChannel)
    (THIS_ OUT PDMACHANNEL * DmaChannel, IN PUNKNOWN OuterUnknown,
     IN PRESOURCELIST ResourceList OPTIONAL, IN ULONG MaximumLength, IN BOOLEAN Dma32BitAddresses,
     IN BOOLEAN Dma64BitAddresses, IN DMA_WIDTH DmaWidth, IN DMA_SPEED DmaSpeed) PURE;
};

typedef IPortWaveCyclic* PPORTWAVECYCLIC;

#ifdef PC_IMPLEMENTATION
#define IMP_IPortWaveCyclic                                                                        \
    IMP_IPort;                                                                                     \
    STDMETHODIMP_(VOID) Notify(IN PSERVICEGROUP ServiceGroup);                                     \
    STDMETHODIMP_(NTSTATUS)                                                                        \
    NewSlaveDmaChannel(OUT PDMACHANNELSLAVE* DmaChannel, IN PUNKNOWN OuterUnknown,                 \
                       IN PRESOURCELIST ResourceList OPTIONAL, IN ULONG DmaIndex,                  \
                       IN ULONG MaximumLength, IN BOOLEAN DemandMode, IN DMA_SPEED DmaSpeed);      \
    STDMETHODIMP_(NTSTATUS)                                                                        \
    NewMasterDmaChannel(OUT PDMACHANNEL* DmaChannel, IN PUNKNOWN OuterUnknown,                     \
                        IN PRESOURCELIST ResourceList OPTIONAL, IN ULONG MaximumLength,            \
                        IN BOOLEAN Dma32BitAddresses, IN BOOLEAN Dma64BitAddresses,                \
                        IN DMA_WIDTH DmaWidth, IN DMA_SPEED DmaSpeed)
#endif

DEFINE_GUID(IID_IMiniportWaveCyclic, 0xb4c90a27L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9,
            0x11, 0xb5, 0x44);
DEFINE_GUID(IID_IMiniportWaveCyclicStream, 0xb4c90a28L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0,
            0xc9, 0x11, 0xb5, 0x44);

// ---------------------------------------------------------------------------
// IPortWavePci
DEFINE_GUID(IID_IPortWavePci, 0xb4c90a50L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5,
            0x44);
DEFINE_GUID(CLSID_PortWavePci, 0xb4c90a54L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11,
            0xb5, 0x44);

DECLARE_INTERFACE_(IPortWavePci, IPort)
{
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_PORT()

    STDMETHOD_(VOID, Notify)(THIS_ IN PSERVICEGROUP ServiceGroup) PURE;
    STDMETHOD_(NTSTATUS, NewMasterDmaChannel)
    (THIS_ OUT PDMACHANNEL * DmaChannel, IN PUNKNOWN OuterUnknown, IN POOL_TYPE PoolType,
     IN PRESOURCELIST ResourceList OPTIONAL, IN BOOLEAN ScatterGather, IN BOOLEAN Dma32BitAddresses,
     IN BOOLEAN Dma64BitAddresses, IN BOOLEAN IgnoreCount, IN DMA_WIDTH DmaWidth,
     IN DMA_SPEED DmaSpeed, IN ULONG MaximumLength, IN ULONG DmaPort) PURE;
};

typedef IPortWavePci* PPORTWAVEPCI;

#ifdef PC_IMPLEMENTATION
#define IMP_IPortWavePci                                                                           \
    IMP_IPort;                                                                                     \
    STDMETHODIMP_(VOID) Notify(IN PSERVICEGROUP ServiceGroup);                                     \
    STDMETHODIMP_(NTSTATUS)                                                                        \
    NewMasterDmaChannel(                                                                           \
        OUT PDMACHANNEL* DmaChannel, IN PUNKNOWN OuterUnknown, IN POOL_TYPE PoolType,              \
        IN PRESOURCELIST ResourceList OPTIONAL, IN BOOLEAN ScatterGather,                          \
        IN BOOLEAN Dma32BitAddresses, IN BOOLEAN Dma64BitAddresses, IN BOOLEAN IgnoreCount,        \
        IN DMA_WIDTH DmaWidth, IN DMA_SPEED DmaSpeed, IN ULONG MaximumLength, IN ULONG DmaPort);
#endif

// ---------------------------------------------------------------------------
// IMiniport
DEFINE_GUID(IID_IMiniPort, 0xb4c90a24L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5,
            0x44);

#define DEFINE_ABSTRACT_MINIPORT()                                                                 \
    STDMETHOD_(NTSTATUS, GetDescription)(THIS_ OUT PPCFILTER_DESCRIPTOR * Description) PURE;       \
    STDMETHOD_(NTSTATUS, DataRangeIntersection)                                                    \
    (THIS_ IN ULONG PinId, IN PKSDATARANGE DataRange, IN PKSDATARANGE MatchingDataRange,           \
     IN ULONG OutputBufferLength, OUT PVOID ResultantFormat OPTIONAL,                              \
     OUT PULONG ResultantFormatLength) PURE;

#define IMP_IMiniport                                                                              \
    STDMETHODIMP_(NTSTATUS) GetDescription(OUT PPCFILTER_DESCRIPTOR* Description);                 \
    STDMETHODIMP_(NTSTATUS)                                                                        \
    DataRangeIntersection(IN ULONG PinId, IN PKSDATARANGE DataRange,                               \
                          IN PKSDATARANGE MatchingDataRange, IN ULONG OutputBufferLength,          \
                          OUT PVOID ResultantFormat OPTIONAL, OUT PULONG ResultantFormatLength)

DECLARE_INTERFACE_(IMiniport, IUnknown){DEFINE_ABSTRACT_UNKNOWN() DEFINE_ABSTRACT_MINIPORT()};

typedef IMiniport* PMINIPORT;

// ---------------------------------------------------------------------------
// IPortTopology and IMiniportTopology
DEFINE_GUID(IID_IPortTopology, 0xb4c90a30L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11,
            0xb5, 0x44);
DEFINE_GUID(CLSID_PortTopology, 0xb4c90a32L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11,
            0xb5, 0x44);

DECLARE_INTERFACE_(IPortTopology, IPort){DEFINE_ABSTRACT_UNKNOWN() DEFINE_ABSTRACT_PORT()};

typedef IPortTopology* PPORTTOPOLOGY;

#define IMP_IPortTopology IMP_IPort

DEFINE_GUID(IID_IMiniportTopology, 0xb4c90a31L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11,
            0xb5, 0x44);

DECLARE_INTERFACE_(IMiniportTopology, IMiniport)
{
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_MINIPORT()

    STDMETHOD_(NTSTATUS, Init)
    (THIS_ IN PUNKNOWN UnknownAdapter, IN PRESOURCELIST ResourceList, IN PPORTTOPOLOGY Port) PURE;
};

typedef IMiniportTopology* PMINIPORTTOPOLOGY;

// ---------------------------------------------------------------------------
// IPortWavePciStream, IMiniportWavePciStream and IMiniportWavePci
DEFINE_GUID(IID_IPortWavePciStream, 0xb4c90a51L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11,
            0xb5, 0x44);

DECLARE_INTERFACE_(IPortWavePciStream, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()

    STDMETHOD_(NTSTATUS, GetMapping)
    (THIS_ IN PVOID Tag, OUT PPHYSICAL_ADDRESS PhysicalAddress, OUT PVOID * VirtualAddress,
     OUT PULONG ByteCount, OUT PULONG Flags) PURE;
    STDMETHOD_(NTSTATUS, ReleaseMapping)(THIS_ IN PVOID Tag) PURE;
    STDMETHOD_(NTSTATUS, TerminatePacket)(THIS) PURE;
};

typedef IPortWavePciStream* PPORTWAVEPCISTREAM;

#define IMP_IPortWavePciStream                                                                     \
    STDMETHODIMP_(NTSTATUS)                                                                        \
    GetMapping(IN PVOID Tag, OUT PPHYSICAL_ADDRESS PhysicalAddress, OUT PVOID* VirtualAddress,     \
               OUT PULONG ByteCount, OUT PULONG Flags);                                            \
    STDMETHODIMP_(NTSTATUS) ReleaseMapping(IN PVOID Tag);                                          \
    STDMETHODIMP_(NTSTATUS) TerminatePacket(THIS)

DEFINE_GUID(IID_IMiniportWavePciStream, 0xb4c90a53L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9,
            0x11, 0xb5, 0x44);

DECLARE_INTERFACE_(IMiniportWavePciStream, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()

    STDMETHOD_(NTSTATUS, SetFormat)(THIS_ IN PKSDATAFORMAT DataFormat) PURE;
    STDMETHOD_(NTSTATUS, SetState)(THIS_ IN KSSTATE State) PURE;
    STDMETHOD_(NTSTATUS, GetPosition)(THIS_ OUT PULONGLONG Position) PURE;
    STDMETHOD_(NTSTATUS, NormalizePhysicalPosition)(THIS_ IN OUT PLONGLONG PhysicalPosition) PURE;
    STDMETHOD_(NTSTATUS, GetAllocatorFraming)(THIS_ OUT PKSALLOCATOR_FRAMING AllocatorFraming) PURE;
    STDMETHOD_(NTSTATUS, RevokeMappings)
    (THIS_ IN PVOID FirstTag, IN PVOID LastTag, OUT PULONG MappingsRevoked) PURE;
    STDMETHOD_(void, MappingAvailable)(THIS) PURE;
    STDMETHOD_(void, Service)(THIS) PURE;
};

typedef IMiniportWavePciStream* PMINIPORTWAVEPCISTREAM;

DEFINE_GUID(IID_IMiniportWavePci, 0xb4c90a52L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11,
            0xb5, 0x44);

DECLARE_INTERFACE_(IMiniportWavePci, IMiniport)
{
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_MINIPORT()

    STDMETHOD_(NTSTATUS, Init)
    (THIS_ IN PUNKNOWN UnknownAdapter, IN PRESOURCELIST ResourceList, IN PPORTWAVEPCI Port,
     OUT PSERVICEGROUP * ServiceGroup) PURE;
    STDMETHOD_(NTSTATUS, NewStream)
    (THIS_ OUT PMINIPORTWAVEPCISTREAM * Stream, IN PUNKNOWN OuterUnknown OPTIONAL,
     IN POOL_TYPE PoolType, IN PPORTWAVEPCISTREAM PortStream, IN ULONG Pin, IN BOOLEAN Capture,
     IN PKSDATAFORMAT DataFormat, OUT PDMACHANNEL * DmaChannel, OUT PSERVICEGROUP * ServiceGroup)
        PURE;
    STDMETHOD_(void, Service)(THIS) PURE;
};

typedef IMiniportWavePci* PMINIPORTWAVEPCI;

// ---------------------------------------------------------------------------
// IPowerNotify
DEFINE_GUID(IID_IPowerNotify, 0x3DD648B8L, 0x969F, 0x11D1, 0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25,
            0xD3);

DECLARE_INTERFACE_(IPowerNotify, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(void, PowerChangeNotify)(THIS_ IN POWER_STATE PowerState) PURE;
};

typedef IPowerNotify* PPOWERNOTIFY;

// ---------------------------------------------------------------------------
// IPortEvents
DEFINE_GUID(IID_IPortEvents, 0xA80F29C4L, 0x5498, 0x11D2, 0x95, 0xD9, 0x00, 0xC0, 0x4F, 0xB9, 0x25,
            0xD3);

DECLARE_INTERFACE_(IPortEvents, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()

    STDMETHOD_(void, AddEventToEventList)(THIS_ IN PKSEVENT_ENTRY EventEntry) PURE;
    STDMETHOD_(void, GenerateEventList)
    (THIS_ IN GUID * Set OPTIONAL, IN ULONG EventId, IN BOOL PinEvent, IN ULONG PinId,
     IN BOOL NodeEvent, IN ULONG NodeId) PURE;
};

typedef IPortEvents* PPORTEVENTS;

#define IMP_IPortEvents                                                                            \
    STDMETHODIMP_(void) AddEventToEventList(IN PKSEVENT_ENTRY EventEntry);                         \
    STDMETHODIMP_(void)                                                                            \
    GenerateEventList(IN GUID* Set OPTIONAL, IN ULONG EventId, IN BOOL PinEvent, IN ULONG PinId,   \
                      IN BOOL NodeEvent, IN ULONG NodeId)

// ---------------------------------------------------------------------------
// Port class library entry points
typedef NTSTATUS(NTAPI* PCPFNSTARTDEVICE)(IN PDEVICE_OBJECT DeviceObject, IN PIRP Irp,
                                          IN PRESOURCELIST ResourceList);

PORTCLASSAPI NTSTATUS NTAPI PcAddAdapterDevice(IN PDRIVER_OBJECT DriverObject,
                                               IN PDEVICE_OBJECT PhysicalDeviceObject,
                                               IN PCPFNSTARTDEVICE StartDevice, IN ULONG MaxObjects,
                                               IN ULONG DeviceExtensionSize);

PORTCLASSAPI NTSTATUS NTAPI PcInitializeAdapterDriver(IN PDRIVER_OBJECT DriverObject,
                                                      IN PUNICODE_STRING RegistryPathName,
                                                      IN PDRIVER_ADD_DEVICE AddDevice);

PORTCLASSAPI NTSTATUS NTAPI PcNewMiniport(OUT PMINIPORT* OutMiniport, IN REFCLSID ClassId);

PORTCLASSAPI NTSTATUS NTAPI PcNewPort(OUT PPORT* OutPort, IN REFCLSID ClassId);

PORTCLASSAPI NTSTATUS NTAPI PcNewServiceGroup(OUT PSERVICEGROUP* OutServiceGroup,
                                              IN PUNKNOWN OuterUnknown OPTIONAL);

PORTCLASSAPI NTSTATUS NTAPI PcDispatchIrp(IN PDEVICE_OBJECT DeviceObject, IN PIRP Irp);

PORTCLASSAPI NTSTATUS NTAPI PcCompleteIrp(IN PDEVICE_OBJECT DeviceObject, IN PIRP Irp,
                                          IN NTSTATUS Status);

PORTCLASSAPI NTSTATUS NTAPI PcForwardIrpSynchronous(IN PDEVICE_OBJECT DeviceObject, IN PIRP Irp);

PORTCLASSAPI NTSTATUS NTAPI PcRegisterAdapterPowerManagement(IN PUNKNOWN pUnknown,
                                                             IN PVOID pvContext1);

PORTCLASSAPI NTSTATUS NTAPI PcRequestNewPowerState(IN PDEVICE_OBJECT pDeviceObject,
                                                   IN DEVICE_POWER_STATE RequestedNewState);

PORTCLASSAPI NTSTATUS NTAPI PcGetDeviceProperty(IN PVOID DeviceObject,
                                                IN DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                                IN ULONG BufferLength, OUT PVOID PropertyBuffer,
                                                OUT PULONG ResultLength);

PORTCLASSAPI NTSTATUS NTAPI PcCompletePendingPropertyRequest(IN PPCPROPERTY_REQUEST PropertyRequest,
                                                             IN NTSTATUS NtStatus);

PORTCLASSAPI NTSTATUS NTAPI PcRegisterPhysicalConnection(IN PDEVICE_OBJECT DeviceObject,
                                                         IN PUNKNOWN FromUnknown, IN ULONG FromPin,
                                                         IN PUNKNOWN ToUnknown, IN ULONG ToPin);

PORTCLASSAPI NTSTATUS NTAPI PcRegisterPhysicalConnectionFromExternal(IN PDEVICE_OBJECT DeviceObject,
                                                                     IN PUNICODE_STRING FromString,
                                                                     IN ULONG FromPin,
                                                                     IN PUNKNOWN ToUnknown,
                                                                     IN ULONG ToPin);

PORTCLASSAPI NTSTATUS NTAPI PcRegisterPhysicalConnectionToExternal(IN PDEVICE_OBJECT DeviceObject,
                                                                   IN PUNKNOWN FromUnknown,
                                                                   IN ULONG FromPin,
                                                                   IN PUNICODE_STRING ToString,
                                                                   IN ULONG ToPin);

PORTCLASSAPI ULONGLONG NTAPI PcGetTimeInterval(IN ULONGLONG Since);

PORTCLASSAPI NTSTATUS NTAPI PcRegisterSubdevice(IN PDEVICE_OBJECT DeviceObject, IN PWCHAR Name,
                                                IN PUNKNOWN Unknown);
