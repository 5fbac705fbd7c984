// What the host platform exports to a loaded image, by module and name: the
// kernel's routines and C runtime (ntoskrnl.exe) and the port class
// library's entry points (portcls.sys), each the host's own implementation
// in the Windows calling convention. Everything else a driver reaches (the
// interfaces of ports, streams, service groups; the engine) it is handed at
// run time, not imported.
//
//     const void* address = host::loader::FindHostExport("NTOSKRNL.EXE", "memcpy");
//
// Module names compare without regard to case, as the platform's loader
// compares them; function names compare exactly.
#pragma once

#include <span>
#include <string_view>

namespace host::loader
{

struct HostExport
{
    const char* module;
    const char* name;
    const void* address;
};

std::span<const HostExport> HostExports();

// Null if the host does not provide `name` from `module`.
const void* FindHostExport(std::string_view module, std::string_view name);

} // namespace host::loader
