#include "adapter/subdevices.h"

#include "common/codesections.h"

// The wave and topology filters are not built yet: nothing is installed, and
// device start ends with the status of the capability check.
PAGEABLE_CODE NTSTATUS InstallSubdevicePairs(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                             PRESOURCELIST ResourceList, PENGINE_INTERFACE Engine,
                                             NTSTATUS Status)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(ResourceList);
    Engine->InstanceCount = 0;
    return Status;
}
