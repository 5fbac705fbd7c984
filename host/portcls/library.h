// The library's shared state, for its own sources: the configuration a test
// set and the record of calls. Thread-safe; nothing here calls out of the
// library, so its mutex is never held while driver code runs.
#pragma once

#include "host/portcls/portclass.h"

#include <optional>
#include <string>

namespace host::portcls::detail
{

void RecordCall(std::string function, std::string detail, NTSTATUS status, const void* object);

bool IsInterfaceRefused(const GUID& portClass, const GUID& iid);

// The failure a test asked for on this creation of `portClass`, if any; each
// call counts as one creation attempt.
std::optional<NTSTATUS> PortCreationFailure(const GUID& portClass);

// Subdevices (subdevices.cpp): the failure plans back to none; the
// library's references on a removed device's subdevices dropped.
void ResetSubdeviceFailures();
void ReleaseSubdevices(PDEVICE_OBJECT adapterDevice);

// Filter ports (filterport.cpp): every port bound on the device lets go of
// its miniport, which breaks the port/miniport reference cycle.
void ReleaseBoundMiniports(PDEVICE_OBJECT adapterDevice);

} // namespace host::portcls::detail
