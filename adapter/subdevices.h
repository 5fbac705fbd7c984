// Installation of the four wave/topology subdevice pairs, the last step of
// device start.
//
// Pair n (0 to 3) is a WavePci port with a wave miniport, registered as
// "NUV_Wave<n+1>", and a topology port with a topology miniport, registered
// as "NUV_Mixer<n+1>", joined by physical connections. Both miniports of
// pair n read ENGINE_INTERFACE.InstanceCount == n in their Init: that is how
// each learns its device index.
#pragma once

#include <portcls.h>

#include "engine/engineinterface.h"

#define SUBDEVICE_PAIR_COUNT 4
#define SUBDEVICE_NAME_BUFFER_CHARS 512

// The reference strings of all subdevices, one after another, each with its
// terminating zero, written from the start of the buffer on every start. One
// buffer for every adapter the driver serves; PcRegisterSubdevice is handed
// pointers into it. Starts run one at a time, so nothing guards it.
extern WCHAR SubdeviceNameBuffer[SUBDEVICE_NAME_BUFFER_CHARS];

// Installs the pairs and returns the running status the installation ends
// with. Status is the status of the steps before it (a success). Sets
// Engine->InstanceCount to 0 first and raises it after every pair, installed
// or skipped, so it reads SUBDEVICE_PAIR_COUNT afterwards.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    InstallSubdevicePairs(_In_ PDEVICE_OBJECT DeviceObject, _In_ PIRP Irp,
                          _In_ PRESOURCELIST ResourceList, _Inout_ PENGINE_INTERFACE Engine,
                          _In_ NTSTATUS Status);
