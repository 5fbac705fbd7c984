// Status values by their platform names, for messages to a person.
#pragma once

#include <ntdef.h>

#include <string>

namespace pinclient
{

// "STATUS_SUCCESS", "STATUS_INSUFFICIENT_RESOURCES", ... or 0x%08X.
std::string StatusName(NTSTATUS status);

} // namespace pinclient
