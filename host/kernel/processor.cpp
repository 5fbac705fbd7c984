// Processor features as the kernel reports them.
#include "host/kernel/processor.h"

#include "host/kernel/boundary.h"

#include <array>
#include <atomic>

namespace host
{
namespace
{

// Enough for every PF_ number the kernel defines.
constexpr ULONG kFeatureCount = 64;
// Per feature: no override, or forced absent or present. Zero is "none", so
// the table needs no initialisation.
constexpr int kNoOverride = 0;
constexpr int kForcedAbsent = 1;
constexpr int kForcedPresent = 2;

std::array<std::atomic<int>, kFeatureCount> overrides{};

std::array<std::atomic<int>, kFeatureCount>& Overrides()
{
    return overrides;
}

bool HostHasFeature(ULONG feature)
{
#if defined(__x86_64__)
    switch (feature)
    {
    case PF_XMMI64_INSTRUCTIONS_AVAILABLE:
        return true; // SSE2 is part of x86-64
    case PF_SSE3_INSTRUCTIONS_AVAILABLE:
        return __builtin_cpu_supports("sse3");
    case PF_SSSE3_INSTRUCTIONS_AVAILABLE:
        return __builtin_cpu_supports("ssse3");
    default:
        return false;
    }
#else
    (void)feature;
    return false;
#endif
}

} // namespace

void SetProcessorFeatureOverride(ULONG feature, bool present)
{
    if (feature < kFeatureCount)
        Overrides()[feature].store(present ? kForcedPresent : kForcedAbsent);
}

void ClearProcessorFeatureOverrides()
{
    for (std::atomic<int>& entry : Overrides())
        entry.store(kNoOverride);
}

} // namespace host

extern "C" BOOLEAN NTAPI ExIsProcessorFeaturePresent(ULONG ProcessorFeature)
try
{
    if (ProcessorFeature < host::kFeatureCount)
    {
        const int forced = host::Overrides()[ProcessorFeature].load();
        if (forced != host::kNoOverride)
            return forced == host::kForcedPresent ? TRUE : FALSE;
    }
    return host::HostHasFeature(ProcessorFeature) ? TRUE : FALSE;
}
catch (...)
{
    return host::CaughtAtBoundary("ExIsProcessorFeaturePresent", BOOLEAN{});
}
