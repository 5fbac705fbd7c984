// Systematic low-resources simulation: a complete device start (load, add,
// start, removal) run again and again, failing the 1st, then the 2nd, ...
// failable platform call, until a run passes with nothing left to fail; and
// the same run under a few per cent of random failures, seed by seed.
//
// Every run must end with the status the driver owes for the failure it met,
// commit no conduct violation, and leave no pool of the driver's tags
// ('PcCr', 'wVUN') after the device is removed. A failure reproduces with
//
//     host::FaultScope faults;
//     faults.FailNth(<the fault index in the trace>);        // or
//     faults.FailRandomly(kRandomPercent, <the seed in the trace>);
#include "adapter/adapter.h"
#include "host/kernel/hostkernel.h"
#include "host/portcls/portclass.h"
#include "host/portcls/system.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace
{

// What one run did and left.
struct RunOutcome
{
    NTSTATUS status = STATUS_SUCCESS;        // the first failing step's, or success
    std::vector<host::FailedCall> failed;    // the calls fault injection failed
    std::vector<host::Violation> violations; // teardown's findings included
    std::vector<std::string> leftovers;      // what Shutdown found
    std::size_t subdevices = 0;              // registered when the start ended
};

// The status a start owes for one failed call when everything else
// succeeds; none when the design ignores that failure (the start goes on):
//
//   ExAllocatePoolWithTag, PcNewPort, PcRegisterSubdevice,
//   NewMasterDmaChannel, IoCreateDevice ...... STATUS_INSUFFICIENT_RESOURCES
//   IoBuildSynchronousFsdRequest ............. ignored: the query's result is
//                                              never examined, the start goes
//                                              on with the absent engine
//   PcRegisterPhysicalConnection #1, #3, ... .. ignored: a pair's first
//   PcRegisterPhysicalConnection #2, #4, ... .. STATUS_INSUFFICIENT_RESOURCES
//
// (Two connections per pair with WDM 6.0, which the host offers; after a
// failure later pairs register none, so the parity holds.) An operation the
// table does not know fails the sweep, so that a new failable call gets its
// expectation written down.
std::optional<NTSTATUS> StartStatusFor(const host::FailedCall& call, bool* known)
{
    *known = true;
    if (call.operation == "IoBuildSynchronousFsdRequest")
        return std::nullopt;
    if (call.operation == "PcRegisterPhysicalConnection")
    {
        if (call.operationIndex % 2 == 1)
            return std::nullopt;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (call.operation == "ExAllocatePoolWithTag" || call.operation == "PcNewPort" ||
        call.operation == "PcRegisterSubdevice" || call.operation == "NewMasterDmaChannel" ||
        call.operation == "IoCreateDevice")
        return STATUS_INSUFFICIENT_RESOURCES;
    *known = false;
    return std::nullopt;
}

// Load, add and start under the plan `arm` puts on the scope, then remove and
// check. The system itself (the companion driver and its PDO) is built
// before the plan is armed: it is the machine, not the driver.
RunOutcome RunDeviceStart(const std::function<void(host::FaultScope&)>& arm)
{
    RunOutcome outcome;
    host::ViolationCapture capture;
    {
        host::System system(DriverEntry);
        {
            host::FaultScope faults;
            arm(faults);
            outcome.status = system.Load();
            if (NT_SUCCESS(outcome.status))
                outcome.status = system.AddDevice();
            if (NT_SUCCESS(outcome.status))
            {
                outcome.status = system.Start();
                outcome.subdevices = host::portcls::Subdevices(system.AdapterDevice()).size();
            }
            outcome.failed = faults.Failed();
        }
        // Teardown is not the driver's to fail: it runs with the plan gone.
        outcome.leftovers = system.Shutdown();
    }
    outcome.violations = capture.Take();
    return outcome;
}

std::string Describe(const std::vector<host::FailedCall>& calls)
{
    std::string text;
    for (const host::FailedCall& call : calls)
        text += (text.empty() ? "" : "; ") + host::Describe(call);
    return text.empty() ? "nothing failed" : text;
}

// The checks every run must pass, whatever failed.
void ExpectCleanEnd(const RunOutcome& outcome)
{
    for (const host::Violation& violation : outcome.violations)
        ADD_FAILURE() << host::Describe(violation);
    for (const std::string& leftover : outcome.leftovers)
        ADD_FAILURE() << "after removal: " << leftover;
    for (ULONG tag : host::System::DriverPoolTags())
        EXPECT_EQ(host::Pool().Outstanding(tag), 0u) << "pool of tag " << host::TagName(tag);
}

constexpr unsigned kRandomPercent = 4;
constexpr std::uint32_t kRandomSeeds = 200;
// A start makes a few dozen failable calls; a sweep that has not ended by
// this index has lost its end condition.
constexpr std::uint64_t kMostFailurePoints = 1000;

} // namespace

TEST(FaultSweep, DeviceStartFailsEachCallInTurnAndEndsClean)
{
    std::uint64_t points = 0;
    for (std::uint64_t n = 1; n <= kMostFailurePoints; ++n)
    {
        SCOPED_TRACE("fault index " + std::to_string(n));
        const RunOutcome outcome =
            RunDeviceStart([n](host::FaultScope& faults) { faults.FailNth(n); });
        ExpectCleanEnd(outcome);
        if (outcome.failed.empty())
        {
            // Nothing was left to fail: the whole start ran, and succeeded.
            EXPECT_EQ(outcome.status, STATUS_SUCCESS);
            EXPECT_EQ(outcome.subdevices, 8u);
            break;
        }
        ++points;
        ASSERT_EQ(outcome.failed.size(), 1u) << Describe(outcome.failed);
        SCOPED_TRACE(Describe(outcome.failed));
        bool known = false;
        const std::optional<NTSTATUS> expected = StartStatusFor(outcome.failed.front(), &known);
        ASSERT_TRUE(known) << "no expectation for a failure of "
                           << outcome.failed.front().operation;
        EXPECT_EQ(outcome.status, expected.value_or(STATUS_SUCCESS));
        if (NT_SUCCESS(outcome.status))
        {
            EXPECT_EQ(outcome.subdevices, 8u) << "a start that succeeds installs every pair";
        }
    }
    std::printf("[ fault sweep ] device start: %llu failure points\n",
                static_cast<unsigned long long>(points));
    EXPECT_GT(points, 0u);
    EXPECT_LT(points, kMostFailurePoints);
}

TEST(FaultSweep, DeviceStartUnderRandomFailuresEndsClean)
{
    std::size_t failedRuns = 0;
    for (std::uint32_t seed = 1; seed <= kRandomSeeds; ++seed)
    {
        SCOPED_TRACE("FailRandomly(" + std::to_string(kRandomPercent) + ", seed " +
                     std::to_string(seed) + ")");
        const RunOutcome outcome = RunDeviceStart([seed](host::FaultScope& faults)
                                                  { faults.FailRandomly(kRandomPercent, seed); });
        SCOPED_TRACE(Describe(outcome.failed));
        ExpectCleanEnd(outcome);
        // The start fails exactly when a failure it may not ignore came: the
        // status is then that failure's.
        std::optional<NTSTATUS> owed;
        for (const host::FailedCall& call : outcome.failed)
        {
            bool known = false;
            owed = StartStatusFor(call, &known);
            ASSERT_TRUE(known) << "no expectation for a failure of " << call.operation;
            if (owed)
                break;
        }
        EXPECT_EQ(outcome.status, owed.value_or(STATUS_SUCCESS));
        failedRuns += NT_SUCCESS(outcome.status) ? 0 : 1;
    }
    std::printf("[ fault sweep ] device start: %zu of %u random runs failed\n", failedRuns,
                kRandomSeeds);
    EXPECT_GT(failedRuns, 0u) << "the random plans never reached a failure";
}
