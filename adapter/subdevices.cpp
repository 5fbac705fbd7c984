#include "adapter/subdevices.h"

#include <ntstrsafe.h>

#include "common/codesections.h"
#include "topology/mintopo.h"
#include "topology/topotables.h"
#include "wave/minwave.h"

WCHAR SubdeviceNameBuffer[SUBDEVICE_NAME_BUFFER_CHARS];

typedef NTSTATUS (*PFN_CREATE_MINIPORT)(PUNKNOWN* Unknown, REFCLSID ClassId, PUNKNOWN OuterUnknown,
                                        POOL_TYPE PoolType);

// One kind of subdevice of a pair: which port, which miniport, the format of
// its reference string (with the pair's number, 1 to 4), and whether the
// port's Init gets the start request's resource list.
typedef struct _SUBDEVICE_ENDPOINT
{
    const GUID* PortClassId;
    PFN_CREATE_MINIPORT CreateMiniport;
    PCWSTR NameFormat;
    BOOLEAN TakesResourceList;
} SUBDEVICE_ENDPOINT;

enum SUBDEVICE_ENDPOINT_KIND
{
    SUBDEVICE_WAVE,
    SUBDEVICE_TOPOLOGY,
    SUBDEVICE_KIND_COUNT
};

// The two subdevices of every pair, in the order they are installed. The
// topology subdevice of a pair is installed only after its wave subdevice.
static const SUBDEVICE_ENDPOINT SubdeviceEndpoints[SUBDEVICE_KIND_COUNT] = {
    // SUBDEVICE_WAVE
    {
        &CLSID_PortWavePci,    // PortClassId
        CreateMiniportWavePci, // CreateMiniport
        L"NUV_Wave%d",         // NameFormat
        TRUE,                  // TakesResourceList
    },
    // SUBDEVICE_TOPOLOGY
    {
        &CLSID_PortTopology,    // PortClassId
        CreateMiniportTopology, // CreateMiniport
        L"NUV_Mixer%d",         // NameFormat
        FALSE,                  // TakesResourceList
    },
};

// Wave filter pins named by the physical connections. They are fixed
// numbers, not taken from the wave descriptor (which lists pins 0 and 1
// only).
#define WAVE_PIN_TO_TOPOLOGY 1
#define WAVE_PIN_FROM_TOPOLOGY 3
#define WAVE_PIN_LEGACY_TO_TOPOLOGY 5

// Where the next reference string goes in SubdeviceNameBuffer, and how many
// wide characters are left after that point.
typedef struct _SUBDEVICE_NAME_CURSOR
{
    PWCHAR Next;
    size_t Remaining;
} SUBDEVICE_NAME_CURSOR;

// Writes Format with Number at the cursor and moves the cursor past the
// string and its terminating zero. Bounded by what is left of the buffer.
PAGEABLE_CODE static NTSTATUS WriteSubdeviceName(_Inout_ SUBDEVICE_NAME_CURSOR* Cursor,
                                                 _In_ PCWSTR Format, _In_ ULONG Number)
{
    PAGED_CODE();

    NTSTATUS ntStatus =
        RtlStringCchPrintfW(Cursor->Next, Cursor->Remaining, Format, static_cast<int>(Number));
    if (!NT_SUCCESS(ntStatus))
    {
        return ntStatus;
    }
    size_t length = 0;
    ntStatus = RtlStringCchLengthW(Cursor->Next, Cursor->Remaining, &length);
    if (!NT_SUCCESS(ntStatus))
    {
        return ntStatus;
    }
    // A successful print leaves length < Remaining: the zero fits.
    Cursor->Next += length + 1;
    Cursor->Remaining -= length + 1;
    return STATUS_SUCCESS;
}

// Installs one subdevice: names it, creates its port and miniport, binds
// them, registers the port's filter under the name and obtains the port's
// IUnknown for the physical connections. Each step runs only if the one
// before succeeded; the result is the status of the last step that ran. The
// references taken here are dropped before returning: a registered
// subdevice lives on through the port class library's references.
PAGEABLE_CODE static NTSTATUS
InstallSubdevice(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp, _In_ PRESOURCELIST ResourceList,
                 _In_ PENGINE_INTERFACE Engine, _In_ const SUBDEVICE_ENDPOINT* Endpoint,
                 _In_ ULONG Number, _Inout_ SUBDEVICE_NAME_CURSOR* Cursor,
                 _Out_ PUNKNOWN* ConnectionHandle)
{
    PAGED_CODE();

    *ConnectionHandle = NULL;

    PWCHAR name = Cursor->Next;
    NTSTATUS ntStatus = WriteSubdeviceName(Cursor, Endpoint->NameFormat, Number);
    if (!NT_SUCCESS(ntStatus))
    {
        return ntStatus;
    }

    PPORT port = NULL;
    PUNKNOWN miniport = NULL;
    ntStatus = PcNewPort(&port, *Endpoint->PortClassId);
    if (NT_SUCCESS(ntStatus))
    {
        ntStatus =
            Endpoint->CreateMiniport(&miniport, *Endpoint->PortClassId, NULL, NonPagedPoolNx);
    }
    if (NT_SUCCESS(ntStatus))
    {
        // The adapter the miniports see is the engine interface record; the
        // port passes it through to the miniport's Init unchanged.
        ntStatus = port->Init(DeviceObject, Irp, miniport, reinterpret_cast<PUNKNOWN>(Engine),
                              Endpoint->TakesResourceList ? ResourceList : NULL);
    }
    if (NT_SUCCESS(ntStatus))
    {
        ntStatus = PcRegisterSubdevice(DeviceObject, name, port);
    }
    if (NT_SUCCESS(ntStatus))
    {
        PUNKNOWN handle = NULL;
        ntStatus = port->QueryInterface(IID_IUnknown, reinterpret_cast<PVOID*>(&handle));
        if (NT_SUCCESS(ntStatus))
        {
            *ConnectionHandle = handle;
        }
    }

    if (miniport != NULL)
    {
        miniport->Release();
    }
    if (port != NULL)
    {
        port->Release();
    }
    return ntStatus;
}

// Registers the physical connections between the two filters of a pair and
// returns the new running status. The first connection's result does not
// count. Before WDM 6.0 the first pair has a third connection.
PAGEABLE_CODE static NTSTATUS RegisterPairConnections(_In_ PDEVICE_OBJECT DeviceObject,
                                                      _In_ PUNKNOWN Wave, _In_ PUNKNOWN Topology,
                                                      _In_ BOOLEAN FirstPair)
{
    PAGED_CODE();

    (void)PcRegisterPhysicalConnection(DeviceObject, Wave, WAVE_PIN_TO_TOPOLOGY, Topology,
                                       TOPOLOGY_PIN_OUTPUT_ENTRY);

    NTSTATUS ntStatus = PcRegisterPhysicalConnection(
        DeviceObject, Topology, TOPOLOGY_PIN_MICROPHONE_EXIT, Wave, WAVE_PIN_FROM_TOPOLOGY);

    if (FirstPair && NT_SUCCESS(ntStatus) && !IoIsWdmVersionAvailable(6, 0))
    {
        ntStatus = PcRegisterPhysicalConnection(DeviceObject, Wave, WAVE_PIN_LEGACY_TO_TOPOLOGY,
                                                Topology, TOPOLOGY_PIN_MICROPHONE_EXIT);
    }
    return ntStatus;
}

PAGEABLE_CODE NTSTATUS InstallSubdevicePairs(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                             PRESOURCELIST ResourceList, PENGINE_INTERFACE Engine,
                                             NTSTATUS Status)
{
    PAGED_CODE();

    NTSTATUS ntStatus = Status;
    SUBDEVICE_NAME_CURSOR cursor = {SubdeviceNameBuffer, SIZEOF_ARRAY(SubdeviceNameBuffer)};

    // The miniports of pair n read n here during their Init.
    Engine->InstanceCount = 0;

    for (ULONG pair = 0; pair < SUBDEVICE_PAIR_COUNT; pair++)
    {
        PUNKNOWN handles[SUBDEVICE_KIND_COUNT] = {NULL, NULL};

        // After a failure every later subdevice is skipped, the topology
        // subdevice of the failing wave subdevice's pair included.
        for (ULONG kind = 0; kind < SUBDEVICE_KIND_COUNT && NT_SUCCESS(ntStatus); kind++)
        {
            ntStatus =
                InstallSubdevice(DeviceObject, Irp, ResourceList, Engine, &SubdeviceEndpoints[kind],
                                 pair + 1, &cursor, &handles[kind]);
        }

        if (handles[SUBDEVICE_WAVE] != NULL && handles[SUBDEVICE_TOPOLOGY] != NULL)
        {
            ntStatus = RegisterPairConnections(DeviceObject, handles[SUBDEVICE_WAVE],
                                               handles[SUBDEVICE_TOPOLOGY], pair == 0);
        }

        for (ULONG kind = 0; kind < SUBDEVICE_KIND_COUNT; kind++)
        {
            if (handles[kind] != NULL)
            {
                handles[kind]->Release();
            }
        }

        // Counted whether the pair was installed or skipped.
        Engine->InstanceCount++;
    }

    return ntStatus;
}
