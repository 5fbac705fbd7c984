// The translation unit that gives the GUIDs of the headers below (the engine
// interface's among them) their storage.
#include <initguid.h>
#include "adapter/adapter.h"

#include "engine/engineabsent.h"
#include "adapter/subdevices.h"
#include "common/codesections.h"

PENGINE_INTERFACE GetEngineInterface(PDEVICE_OBJECT DeviceObject)
{
    return reinterpret_cast<PENGINE_INTERFACE>(static_cast<PUCHAR>(DeviceObject->DeviceExtension) +
                                               PORT_CLASS_DEVICE_EXTENSION_SIZE);
}

PAGEABLE_CODE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                         PUNICODE_STRING RegistryPathName)
{
    PAGED_CODE();
    return PcInitializeAdapterDriver(DriverObject, RegistryPathName, AddDevice);
}

PAGEABLE_CODE NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject,
                                       PDEVICE_OBJECT PhysicalDeviceObject)
{
    PAGED_CODE();
    return PcAddAdapterDevice(DriverObject, PhysicalDeviceObject, StartDevice, MAX_MINIPORTS,
                              ADAPTER_EXTENSION_SIZE);
}

PAGEABLE_CODE NTSTATUS QueryEngineInterface(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    PENGINE_INTERFACE engine = GetEngineInterface(DeviceObject);

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);

    IO_STATUS_BLOCK ioStatus;
    PIRP irp =
        IoBuildSynchronousFsdRequest(IRP_MJ_PNP, DeviceObject, NULL, 0, NULL, &event, &ioStatus);
    if (irp == NULL)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // A PnP request starts out as "not supported"; a driver that answers it
    // replaces the status.
    irp->RequestorMode = KernelMode;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;

    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MinorFunction = IRP_MN_QUERY_INTERFACE;
    stack->Parameters.QueryInterface.InterfaceType = &GUID_ENGINE_INTERFACE;
    stack->Parameters.QueryInterface.Size = sizeof(ENGINE_INTERFACE);
    stack->Parameters.QueryInterface.Version = ENGINE_INTERFACE_VERSION;
    stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(engine);
    stack->Parameters.QueryInterface.InterfaceSpecificData = NULL;

    NTSTATUS ntStatus = IoCallDriver(DeviceObject, irp);
    if (ntStatus == STATUS_PENDING)
    {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        ntStatus = ioStatus.Status;
    }
    return ntStatus;
}

// The driver needs the port event interface of this system's port class
// library. A WaveCyclic port is made only to ask it, and never initialised.
PAGEABLE_CODE static NTSTATUS CheckPortClassCapabilities()
{
    PAGED_CODE();

    PPORT port = NULL;
    NTSTATUS ntStatus = PcNewPort(&port, CLSID_PortWaveCyclic);
    if (!NT_SUCCESS(ntStatus))
    {
        return ntStatus;
    }

    PUNKNOWN portEvents = NULL;
    if (!NT_SUCCESS(port->QueryInterface(IID_IPortEvents, reinterpret_cast<PVOID*>(&portEvents))) ||
        portEvents == NULL)
    {
        ntStatus = STATUS_UNSUCCESSFUL;
    }
    else
    {
        portEvents->Release();
    }
    port->Release();
    return ntStatus;
}

PAGEABLE_CODE NTSTATUS NTAPI StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                         PRESOURCELIST ResourceList)
{
    PAGED_CODE();

    // Each start asks again, into a cleared record, so that an engine from an
    // earlier start is never mistaken for an answer.
    PENGINE_INTERFACE engine = GetEngineInterface(DeviceObject);
    RtlZeroMemory(engine, sizeof(*engine));

    // The start goes on whatever the query says. A companion driver that
    // did not answer leaves the engine entry empty; the stand-in below then
    // answers every command as a device that is not there, so no miniport
    // ever calls through a null entry point.
    (void)QueryEngineInterface(DeviceObject);
    if (engine->EngineCall == NULL)
    {
        UseAbsentEngine(engine);
    }

    NTSTATUS ntStatus = CheckPortClassCapabilities();
    if (!NT_SUCCESS(ntStatus))
    {
        return ntStatus;
    }

    return InstallSubdevicePairs(DeviceObject, Irp, ResourceList, engine, ntStatus);
}
