// The process-wide violation recorder.
#include "host/kernel/conduct.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace host
{
namespace
{

constexpr std::size_t kKindCount = static_cast<std::size_t>(ViolationKind::Custom) + 1;

struct Recorder
{
    std::mutex mutex;
    ViolationHandler handler;                // empty: print to stderr
    std::vector<ViolationCapture*> captures; // innermost last
    std::array<std::size_t, kKindCount> counts{};
};

Recorder& TheRecorder()
{
    // Never destroyed: violations may be reported from static destructors and
    // from threads still running at exit.
    static Recorder& recorder = *new Recorder;
    return recorder;
}

void PrintViolation(const Violation& violation)
{
    std::fprintf(stderr, "host kernel: %s\n", Describe(violation).c_str());
    std::fflush(stderr);
}

} // namespace

const char* ViolationKindName(ViolationKind kind)
{
    switch (kind)
    {
    case ViolationKind::PoolLeak:
        return "PoolLeak";
    case ViolationKind::DoubleFree:
        return "DoubleFree";
    case ViolationKind::UnknownFree:
        return "UnknownFree";
    case ViolationKind::PoolTagMismatch:
        return "PoolTagMismatch";
    case ViolationKind::ZeroSizeAllocation:
        return "ZeroSizeAllocation";
    case ViolationKind::PagedPoolAtHighIrql:
        return "PagedPoolAtHighIrql";
    case ViolationKind::ExecutablePool:
        return "ExecutablePool";
    case ViolationKind::PoolOverrun:
        return "PoolOverrun";
    case ViolationKind::IrqlViolation:
        return "IrqlViolation";
    case ViolationKind::SpinLockNotHeld:
        return "SpinLockNotHeld";
    case ViolationKind::SpinLockRecursive:
        return "SpinLockRecursive";
    case ViolationKind::SpinLockWrongIrql:
        return "SpinLockWrongIrql";
    case ViolationKind::WaitAtDispatch:
        return "WaitAtDispatch";
    case ViolationKind::RequestMisuse:
        return "RequestMisuse";
    case ViolationKind::Custom:
        return "Custom";
    }
    return "Unknown";
}

std::string Describe(const Violation& violation)
{
    return std::string("[") + ViolationKindName(violation.kind) + "] " + violation.message;
}

void ReportViolation(ViolationKind kind, std::string message)
{
    Recorder& recorder = TheRecorder();
    Violation violation{kind, std::move(message)};
    ViolationHandler handler;
    {
        std::lock_guard lock(recorder.mutex);
        recorder.counts[static_cast<std::size_t>(kind)]++;
        if (!recorder.captures.empty())
        {
            recorder.captures.back()->violations_.push_back(std::move(violation));
            return;
        }
        handler = recorder.handler;
    }
    // Called outside the lock: a handler may itself report, or take time.
    if (handler)
        handler(violation);
    else
        PrintViolation(violation);
}

ViolationHandler SetViolationHandler(ViolationHandler handler)
{
    Recorder& recorder = TheRecorder();
    std::lock_guard lock(recorder.mutex);
    std::swap(recorder.handler, handler);
    return handler;
}

ViolationHandler PrintAndAbortHandler()
{
    return [](const Violation& violation)
    {
        PrintViolation(violation);
        std::abort();
    };
}

ViolationHandler PrintAndCountHandler()
{
    return [](const Violation& violation) { PrintViolation(violation); };
}

std::size_t ViolationCount()
{
    Recorder& recorder = TheRecorder();
    std::lock_guard lock(recorder.mutex);
    std::size_t total = 0;
    for (std::size_t count : recorder.counts)
        total += count;
    return total;
}

std::size_t ViolationCount(ViolationKind kind)
{
    Recorder& recorder = TheRecorder();
    std::lock_guard lock(recorder.mutex);
    return recorder.counts[static_cast<std::size_t>(kind)];
}

void ResetViolationCounts()
{
    Recorder& recorder = TheRecorder();
    std::lock_guard lock(recorder.mutex);
    recorder.counts.fill(0);
}

ViolationCapture::ViolationCapture()
{
    Recorder& recorder = TheRecorder();
    std::lock_guard lock(recorder.mutex);
    recorder.captures.push_back(this);
}

ViolationCapture::~ViolationCapture()
{
    Recorder& recorder = TheRecorder();
    std::lock_guard lock(recorder.mutex);
    std::erase(recorder.captures, this);
}

std::vector<Violation> ViolationCapture::Take()
{
    std::lock_guard lock(TheRecorder().mutex);
    std::vector<Violation> taken;
    taken.swap(violations_);
    return taken;
}

std::size_t ViolationCapture::Count() const
{
    std::lock_guard lock(TheRecorder().mutex);
    return violations_.size();
}

std::size_t ViolationCapture::Count(ViolationKind kind) const
{
    std::lock_guard lock(TheRecorder().mutex);
    std::size_t count = 0;
    for (const Violation& violation : violations_)
        count += violation.kind == kind ? 1 : 0;
    return count;
}

bool ViolationCapture::Contains(ViolationKind kind, const std::string& text) const
{
    std::lock_guard lock(TheRecorder().mutex);
    for (const Violation& violation : violations_)
    {
        if (violation.kind == kind && violation.message.find(text) != std::string::npos)
            return true;
    }
    return false;
}

} // namespace host
