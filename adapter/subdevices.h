// Installation of the four wave/topology subdevice pairs, the last step of
// device start.
#pragma once

#include <portcls.h>

#include "adapter/engineinterface.h"

// Installs the pairs and returns the running status the installation ends
// with. Status is the status of the steps before it (a success).
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS InstallSubdevicePairs(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp,
                               _In_ PRESOURCELIST ResourceList, _Inout_ PENGINE_INTERFACE Engine,
                               _In_ NTSTATUS Status);
