// Checks around every call the host makes into the driver.
//
// A driver routine must return at the IRQL it was called at and must not
// return holding a spin lock it took (a lock its caller held stays the
// caller's). The host's call sites into the driver put a guard around the
// call:
//
//     {
//         host::DriverCallGuard guard("IMiniportWavePciStream::SetState");
//         status = stream->SetState(state);
//     }
//
// or, for one call whose result initialises a variable,
//
//     const NTSTATUS status = host::GuardDriverCall(
//         "IMiniportWavePciStream::SetState", [&] { return stream->SetState(state); });
//
// The guard records the calling thread's IRQL and held locks when it is
// made and reports an IrqlViolation (another level) or a Custom violation
// starting with "DriverCall" (another set of held locks) when it ends.
#pragma once

#include <wdm.h>

#include <vector>

namespace host
{

class DriverCallGuard
{
public:
    explicit DriverCallGuard(const char* entryPoint);
    ~DriverCallGuard();
    DriverCallGuard(const DriverCallGuard&) = delete;
    DriverCallGuard& operator=(const DriverCallGuard&) = delete;

private:
    const char* entryPoint_;
    KIRQL irql_;
    std::vector<const KSPIN_LOCK*> held_;
};

template <class Call> auto GuardDriverCall(const char* entryPoint, Call&& call) -> decltype(call())
{
    DriverCallGuard guard(entryPoint);
    return call();
}

} // namespace host
