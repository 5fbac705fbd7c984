#include "host/kernel/drivercall.h"

#include "host/kernel/conduct.h"
#include "host/kernel/irql.h"
#include "host/kernel/spinlock.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace host
{
namespace
{

std::string LockList(const std::vector<const KSPIN_LOCK*>& locks)
{
    std::string text;
    for (const KSPIN_LOCK* lock : locks)
    {
        char address[32];
        std::snprintf(address, sizeof(address), "%p", static_cast<const void*>(lock));
        text += (text.empty() ? "spin lock " : ", spin lock ") + std::string(address);
    }
    return text;
}

// The locks in `of` that are not in `in`.
std::vector<const KSPIN_LOCK*> Missing(const std::vector<const KSPIN_LOCK*>& of,
                                       const std::vector<const KSPIN_LOCK*>& in)
{
    std::vector<const KSPIN_LOCK*> missing;
    for (const KSPIN_LOCK* lock : of)
    {
        if (std::find(in.begin(), in.end(), lock) == in.end())
            missing.push_back(lock);
    }
    return missing;
}

} // namespace

DriverCallGuard::DriverCallGuard(const char* entryPoint)
    : entryPoint_(entryPoint), irql_(KeGetCurrentIrql()), held_(HeldSpinLocks())
{
}

DriverCallGuard::~DriverCallGuard()
{
    const KIRQL irql = KeGetCurrentIrql();
    if (irql != irql_)
        ReportViolation(ViolationKind::IrqlViolation, std::string(entryPoint_) + " returned at " +
                                                          IrqlName(irql) + "; it was called at " +
                                                          IrqlName(irql_));
    const std::vector<const KSPIN_LOCK*> held = HeldSpinLocks();
    if (held == held_)
        return;
    const std::vector<const KSPIN_LOCK*> taken = Missing(held, held_);
    if (!taken.empty())
        ReportViolation(ViolationKind::Custom, "DriverCall: " + std::string(entryPoint_) +
                                                   " returned holding " + LockList(taken));
    const std::vector<const KSPIN_LOCK*> released = Missing(held_, held);
    if (!released.empty())
        ReportViolation(ViolationKind::Custom, "DriverCall: " + std::string(entryPoint_) +
                                                   " released its caller's " + LockList(released));
}

} // namespace host
