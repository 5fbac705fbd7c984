// Fault injection: every failable platform operation asks first.
//
//     if (host::ShouldFail("PcNewServiceGroup"))
//         return STATUS_INSUFFICIENT_RESOURCES;
//
// Nothing fails unless a plan is armed. Plans count failable calls from the
// moment they are armed; the indexes are 1-based. A systematic sweep fails
// the 1st failable call, then the 2nd, and so on until a run passes with
// nothing left to fail:
//
//     for (std::uint64_t n = 1;; ++n)
//     {
//         host::FaultScope faults;
//         faults.FailNth(n);
//         RunStartUp();
//         if (faults.Failed().empty())
//             break;           // fewer than n failable calls: done
//     }
//
// Every failed call is recorded (name, overall index, index among calls of
// that name) so that a failing run can be reproduced with FailNth or
// FailNthOf. Thread-safe; the unarmed path is one atomic load.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace host
{

// True if the calling operation must fail now. `operation` names it, e.g.
// "ExAllocatePoolWithTag", "IoBuildSynchronousFsdRequest", "PcNewPort".
bool ShouldFail(const char* operation);

struct FailedCall
{
    std::string operation;
    std::uint64_t callIndex;      // among all failable calls since arming
    std::uint64_t operationIndex; // among calls of this operation since arming
};

// "ExAllocatePoolWithTag (failable call #3, #2 of its name)".
std::string Describe(const FailedCall& call);

// Plans. Each arms fault injection; several plans may be armed together and
// a call fails if any of them says so. Arming the first plan (or calling
// ArmFaults) starts the counts.
void ArmFaults();
void FailNth(std::uint64_t n);
void FailNthOf(const std::string& operation, std::uint64_t n);
void FailEveryCallOf(const std::string& operation);
// Fails each failable call with probability percent/100, drawn from a
// std::mt19937 seeded with `seed`, so a run is repeatable.
void FailRandomly(unsigned percent, std::uint32_t seed);
// Disarms: no plan, counts and records cleared.
void ClearFaultPlans();

// Failable calls seen since arming, in total or of one operation.
std::uint64_t FailableCallCount();
std::uint64_t FailableCallCount(const std::string& operation);
std::vector<FailedCall> FailedCalls();

// While one lives, failable calls made on this thread neither fail nor
// count: for host components that stand in for the system itself (the PnP
// manager's requests to a device), whose steps are not the driver's to fail.
class FaultExemption
{
public:
    FaultExemption();
    ~FaultExemption();
    FaultExemption(const FaultExemption&) = delete;
    FaultExemption& operator=(const FaultExemption&) = delete;
};

// Arms fault injection for its lifetime: clears any earlier plan and counts
// on construction, disarms on destruction.
class FaultScope
{
public:
    FaultScope();
    ~FaultScope();
    FaultScope(const FaultScope&) = delete;
    FaultScope& operator=(const FaultScope&) = delete;

    FaultScope& FailNth(std::uint64_t n);
    FaultScope& FailNthOf(const std::string& operation, std::uint64_t n);
    FaultScope& FailEveryCallOf(const std::string& operation);
    FaultScope& FailRandomly(unsigned percent, std::uint32_t seed);

    std::uint64_t CallsSeen() const;
    std::uint64_t CallsSeen(const std::string& operation) const;
    std::vector<FailedCall> Failed() const;
};

} // namespace host
