// Conduct checks: the host kernel's record of what a driver did wrong.
//
// Every host component that can see a driver misbehave (the kernel's pool,
// IRQL, spin locks and requests; the port class library; the engine model)
// reports it here with a kind and a message that says what happened and
// where:
//
//     host::ReportViolation(host::ViolationKind::Custom,
//                           "ReleaseMapping: mapping 0x1234 released twice");
//
// A violation goes to one process-wide handler. The test program installs
// one that fails the running test; tools install one that prints and aborts
// or counts. Tests of a checker itself capture violations instead:
//
//     host::ViolationCapture capture;
//     ExFreePool(p);
//     ExFreePool(p);
//     EXPECT_EQ(capture.Count(host::ViolationKind::DoubleFree), 1u);
//
// All of it is thread-safe: violations may be raised on any thread.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace host
{

enum class ViolationKind
{
    PoolLeak,            // a block still allocated when a leak check runs
    DoubleFree,          // a block freed again after it was freed
    UnknownFree,         // a pointer freed that the pool never handed out
    PoolTagMismatch,     // ExFreePoolWithTag with another tag than the block's
    ZeroSizeAllocation,  // ExAllocatePoolWithTag of 0 bytes
    PagedPoolAtHighIrql, // paged pool allocated or freed above APC_LEVEL
    ExecutablePool,      // an executable pool type asked for or handed to the
                         // system: memory integrity refuses it to drivers
    PoolOverrun,         // guard bytes before or after a block overwritten
    IrqlViolation,       // PAGED_CODE above APC_LEVEL, a call at a wrong level,
                         // raising to a lower or lowering to a higher level
    SpinLockNotHeld,     // release of a lock not held, or held by another thread
    SpinLockRecursive,   // acquisition of a lock the thread already holds
    SpinLockWrongIrql,   // a spin-lock routine called at a level it forbids
    WaitAtDispatch,      // a wait that may block at DISPATCH_LEVEL or above
    RequestMisuse,       // requests and device objects against the I/O manager's
                         // rules: completed twice, out of stack locations...
    Custom,              // raised by other host components with their own text
};

const char* ViolationKindName(ViolationKind kind);

struct Violation
{
    ViolationKind kind;
    std::string message;
};

// "[DoubleFree] ExFreePool: ..." — the form handlers print.
std::string Describe(const Violation& violation);

using ViolationHandler = std::function<void(const Violation&)>;

// Reports a violation: to the innermost live ViolationCapture if there is
// one, otherwise to the installed handler (by default: printed to stderr).
void ReportViolation(ViolationKind kind, std::string message);

// Installs the process-wide handler and returns the previous one. An empty
// handler restores the default.
ViolationHandler SetViolationHandler(ViolationHandler handler);

// Handlers for tools: print to stderr and abort, or print and go on (the
// count is then in ViolationCount()).
ViolationHandler PrintAndAbortHandler();
ViolationHandler PrintAndCountHandler();

// Violations reported since the last ResetViolationCounts (captured ones
// included), in total and per kind.
std::size_t ViolationCount();
std::size_t ViolationCount(ViolationKind kind);
void ResetViolationCounts();

// Collects every violation reported on any thread while it lives, instead of
// forwarding it. Captures nest; the innermost one collects.
class ViolationCapture
{
public:
    ViolationCapture();
    ~ViolationCapture();
    ViolationCapture(const ViolationCapture&) = delete;
    ViolationCapture& operator=(const ViolationCapture&) = delete;

    // The violations collected so far; the capture is emptied.
    std::vector<Violation> Take();
    std::size_t Count() const;
    std::size_t Count(ViolationKind kind) const;
    // True if a collected violation of this kind has `text` in its message.
    bool Contains(ViolationKind kind, const std::string& text) const;

private:
    friend void ReportViolation(ViolationKind, std::string);
    std::vector<Violation> violations_; // guarded by the recorder's mutex
};

} // namespace host
