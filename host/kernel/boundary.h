// Host routines the driver calls never let an exception unwind into it.
//
// Neither build of the driver can be unwound by the host's C++ runtime: the
// host build is compiled without exceptions and a loaded image carries only
// Windows unwind tables. An exception from the host's bookkeeping (an
// allocation failure in a record, a violation handler that throws) reaching
// a driver frame would end the process in std::terminate, with no word of
// where it came from. So every kernel export, port class entry point and
// method of a library object, and the engine's entry point, is a
// function-try-block that hands what it caught to CaughtAtBoundary: it is
// reported as a Custom violation ("Boundary: ...") and the routine returns
// its answer for a failure.
//
//     extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T Bytes, ULONG Tag)
//     try
//     {
//         ...
//     }
//     catch (...)
//     {
//         return host::CaughtAtBoundary("ExAllocatePoolWithTag", PVOID{});
//     }
//
// Call it only inside a catch handler. If even the report fails, the
// process ends with a message on stderr.
#pragma once

namespace host
{

void ReportCaughtAtBoundary(const char* routine) noexcept;

template <class Result> Result CaughtAtBoundary(const char* routine, Result failure) noexcept
{
    ReportCaughtAtBoundary(routine);
    return failure;
}

inline void CaughtAtBoundary(const char* routine) noexcept
{
    ReportCaughtAtBoundary(routine);
}

} // namespace host
