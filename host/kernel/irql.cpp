// KeGetCurrentIrql, KfRaiseIrql, KeLowerIrql and PAGED_CODE over a per-thread
// level.
#include "host/kernel/irql.h"

#include "host/kernel/boundary.h"
#include "host/kernel/conduct.h"

namespace host
{
namespace
{

thread_local KIRQL currentIrql = PASSIVE_LEVEL;

void ReportIrql(const std::string& message)
{
    ReportViolation(ViolationKind::IrqlViolation, message);
}

} // namespace

std::string IrqlName(KIRQL irql)
{
    switch (irql)
    {
    case PASSIVE_LEVEL:
        return "PASSIVE_LEVEL";
    case APC_LEVEL:
        return "APC_LEVEL";
    case DISPATCH_LEVEL:
        return "DISPATCH_LEVEL";
    case HIGH_LEVEL:
        return "HIGH_LEVEL";
    default:
        return "IRQL " + std::to_string(irql);
    }
}

void SetCurrentIrql(KIRQL irql)
{
    currentIrql = irql;
}

bool RequireIrqlAtMost(KIRQL highest, const char* what)
{
    if (currentIrql <= highest)
        return true;
    ReportIrql(std::string(what) + " called at " + IrqlName(currentIrql) + "; allowed at most " +
               IrqlName(highest));
    return false;
}

bool RequireIrqlExactly(KIRQL level, const char* what)
{
    if (currentIrql == level)
        return true;
    ReportIrql(std::string(what) + " called at " + IrqlName(currentIrql) + "; requires " +
               IrqlName(level));
    return false;
}

ScopedIrql::ScopedIrql(KIRQL irql) : previous_(currentIrql)
{
    currentIrql = irql;
}

ScopedIrql::~ScopedIrql()
{
    currentIrql = previous_;
}

} // namespace host

extern "C" KIRQL NTAPI KeGetCurrentIrql(void)
try
{
    return host::currentIrql;
}
catch (...)
{
    return host::CaughtAtBoundary("KeGetCurrentIrql", KIRQL{});
}

extern "C" KIRQL NTAPI KfRaiseIrql(KIRQL NewIrql)
try
{
    const KIRQL old = host::currentIrql;
    if (NewIrql > HIGH_LEVEL)
        host::ReportIrql("KfRaiseIrql to " + host::IrqlName(NewIrql) + ", above HIGH_LEVEL");
    if (NewIrql < old)
        host::ReportIrql("KfRaiseIrql to " + host::IrqlName(NewIrql) + " from the higher " +
                         host::IrqlName(old));
    host::currentIrql = NewIrql;
    return old;
}
catch (...)
{
    return host::CaughtAtBoundary("KfRaiseIrql", KIRQL{});
}

extern "C" VOID NTAPI KeLowerIrql(KIRQL NewIrql)
try
{
    const KIRQL old = host::currentIrql;
    if (NewIrql > old)
        host::ReportIrql("KeLowerIrql to " + host::IrqlName(NewIrql) + " from the lower " +
                         host::IrqlName(old));
    host::currentIrql = NewIrql;
}
catch (...)
{
    host::CaughtAtBoundary("KeLowerIrql");
}

extern "C" KIRQL NTAPI KeRaiseIrqlToDpcLevel(void)
try
{
    return KfRaiseIrql(DISPATCH_LEVEL);
}
catch (...)
{
    return host::CaughtAtBoundary("KeRaiseIrqlToDpcLevel", KIRQL{});
}

extern "C" VOID NTAPI HostCheckPagedCode(const char* Function, const char* File, int Line)
try
{
    if (host::currentIrql <= APC_LEVEL)
        return;
    host::ReportIrql(std::string("PAGED_CODE: pageable ") + Function + " (" + File + ":" +
                     std::to_string(Line) + ") called at " + host::IrqlName(host::currentIrql));
}
catch (...)
{
    host::CaughtAtBoundary("HostCheckPagedCode");
}
