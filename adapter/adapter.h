// The adapter's outer shell: driver entry, device addition and device start.
//
// The driver installs no dispatch routine and no unload routine of its own;
// the port class library handles every request and calls StartDevice when
// the device starts. StartDevice obtains the engine interface from the
// companion USB driver below, checks that the port class library offers what
// the driver needs, and installs the four wave/topology subdevice pairs.
#pragma once

#include <ntddk.h>
#include <portcls.h>

#include "engine/engineinterface.h"

// Four wave and four topology subdevices.
#define MAX_MINIPORTS 8

// The library's part of the device extension comes first and is never
// touched; the ENGINE_INTERFACE record that the companion driver fills
// follows it.
#define ADAPTER_EXTENSION_SIZE (PORT_CLASS_DEVICE_EXTENSION_SIZE + sizeof(ENGINE_INTERFACE))
static_assert(ADAPTER_EXTENSION_SIZE == 568, "the adapter asks for a 568-byte extension");

EXTERN_C DRIVER_INITIALIZE DriverEntry;

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS NTAPI
    AddDevice(_In_ PDRIVER_OBJECT DriverObject, _In_ PDEVICE_OBJECT PhysicalDeviceObject);

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS NTAPI
    StartDevice(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp, _In_ PRESOURCELIST ResourceList);

// Sends IRP_MN_QUERY_INTERFACE for the engine to the adapter's own device
// object (the library passes it down the stack) and waits for the answer.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS QueryEngineInterface(_In_ PDEVICE_OBJECT DeviceObject);

// The ENGINE_INTERFACE record in the adapter's device extension.
PENGINE_INTERFACE GetEngineInterface(_In_ PDEVICE_OBJECT DeviceObject);
