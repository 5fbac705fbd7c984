// Systematic low-resources simulation: a complete device start (load, add,
// start, removal) and a complete play session on a started device (open the
// pin, RUN, a few periods, PAUSE, STOP, close, removal) run again and again,
// failing the 1st, then the 2nd, ... failable platform call, until a run
// passes with nothing left to fail; and the same runs under a few per cent
// of random failures, seed by seed.
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
#include "host/engine/clock.h"
#include "host/portcls/pin.h"
#include "host/portcls/servicegroup.h"
#include "host/portcls/system.h"
#include "tests/support/driverundertest.h"
#include "tests/support/waveformats.h"

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
        host::System system(nuvtest::DriverUnderTest());
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

// What a play session did: the step that failed (none: it completed) and its
// status, and what it left.
struct SessionOutcome
{
    std::string failedStep; // "open", "RUN", ...; empty if every step passed
    NTSTATUS status = STATUS_SUCCESS;
    std::vector<host::FailedCall> failed;
    std::vector<host::Violation> violations;
    std::vector<std::string> leftovers; // the pin's close and the shutdown
    std::size_t framesPlayed = 0;
};

constexpr ULONG kSessionPeriodFrames = 64;
constexpr ULONG kSessionPeriods = 3;

// One session on NUV_Wave1 of a device started without faults: the plan is
// armed only around the session, which is the driver's to get through.
SessionOutcome RunPlaySession(const std::function<void(host::FaultScope&)>& arm)
{
    SessionOutcome outcome;
    host::ViolationCapture capture;
    {
        host::System system(nuvtest::DriverUnderTest());
        system.Engine().SetPeriodFrames(kSessionPeriodFrames);
        if (!NT_SUCCESS(system.Load()) || !NT_SUCCESS(system.AddDevice()) ||
            !NT_SUCCESS(system.Start()))
        {
            ADD_FAILURE() << "the device did not start without faults";
            return outcome;
        }
        host::engine::VirtualClock clock(system.Engine());
        const std::vector<std::uint8_t> format =
            nuvtest::DataFormatBytes(nuvtest::WaveSubFormat(WAVE_FORMAT_PCM), {});
        // Four periods of 16-bit stereo: the pre-fill and the periods played.
        const std::vector<std::uint8_t> audio(4 * kSessionPeriodFrames * 4, 0x5A);
        {
            host::FaultScope faults;
            arm(faults);
            std::unique_ptr<host::portcls::Pin> pin;
            auto step = [&outcome](const char* name, NTSTATUS status)
            {
                if (outcome.failedStep.empty() && !NT_SUCCESS(status))
                {
                    outcome.failedStep = name;
                    outcome.status = status;
                }
                return NT_SUCCESS(status);
            };
            PMINIPORTWAVEPCI miniport =
                host::portcls::FindWaveMiniport(system.AdapterDevice(), u"NUV_Wave1");
            if (step("open", host::portcls::Pin::Open(miniport, 0, format, {}, pin)))
            {
                pin->Write(audio);
                if (step("RUN", pin->SetState(KSSTATE_RUN)))
                    clock.AdvancePeriods(kSessionPeriods);
                step("PAUSE", pin->SetState(KSSTATE_PAUSE));
                step("STOP", pin->SetState(KSSTATE_STOP));
                pin->CancelQueued();
                outcome.leftovers = pin->Close();
            }
            outcome.failed = faults.Failed();
        }
        if (const std::size_t groups = host::portcls::LiveServiceGroupCount(); groups != 0)
            outcome.leftovers.push_back(std::to_string(groups) + " service groups alive");
        if (auto record = system.Engine().Stream(0, 0, 0))
            outcome.framesPlayed = record->output.size() / 8;
        for (std::string& leftover : system.Shutdown())
            outcome.leftovers.push_back(std::move(leftover));
    }
    outcome.violations = capture.Take();
    return outcome;
}

void ExpectCleanEnd(const SessionOutcome& outcome)
{
    for (const host::Violation& violation : outcome.violations)
        ADD_FAILURE() << host::Describe(violation);
    for (const std::string& leftover : outcome.leftovers)
        ADD_FAILURE() << "left behind: " << leftover;
    for (ULONG tag : host::System::DriverPoolTags())
        EXPECT_EQ(host::Pool().Outstanding(tag), 0u) << "pool of tag " << host::TagName(tag);
}

// A session may only fail where a failed call can show: the open (stream
// object, service group) or RUN (transfer buffer), with the injected
// status. PAUSE and STOP allocate nothing and must pass.
void ExpectSoundSessionStatus(const SessionOutcome& outcome)
{
    if (outcome.failedStep.empty())
        return;
    EXPECT_TRUE(outcome.failedStep == "open" || outcome.failedStep == "RUN")
        << outcome.failedStep << " failed";
    EXPECT_EQ(outcome.status, STATUS_INSUFFICIENT_RESOURCES) << outcome.failedStep;
    EXPECT_FALSE(outcome.failed.empty()) << outcome.failedStep << " failed with nothing injected";
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

TEST(FaultSweep, PlaySessionFailsEachCallInTurnAndEndsClean)
{
    std::uint64_t points = 0;
    for (std::uint64_t n = 1; n <= kMostFailurePoints; ++n)
    {
        SCOPED_TRACE("fault index " + std::to_string(n));
        const SessionOutcome outcome =
            RunPlaySession([n](host::FaultScope& faults) { faults.FailNth(n); });
        SCOPED_TRACE(Describe(outcome.failed));
        ExpectCleanEnd(outcome);
        ExpectSoundSessionStatus(outcome);
        if (outcome.failed.empty())
        {
            EXPECT_TRUE(outcome.failedStep.empty()) << outcome.failedStep << " failed";
            EXPECT_GT(outcome.framesPlayed, 0u) << "the complete session played nothing";
            break;
        }
        ++points;
    }
    std::printf("[ fault sweep ] play session: %llu failure points\n",
                static_cast<unsigned long long>(points));
    EXPECT_GT(points, 0u);
    EXPECT_LT(points, kMostFailurePoints);
}

TEST(FaultSweep, PlaySessionUnderRandomFailuresEndsClean)
{
    std::size_t failedRuns = 0;
    for (std::uint32_t seed = 1; seed <= kRandomSeeds; ++seed)
    {
        SCOPED_TRACE("FailRandomly(" + std::to_string(kRandomPercent) + ", seed " +
                     std::to_string(seed) + ")");
        const SessionOutcome outcome = RunPlaySession(
            [seed](host::FaultScope& faults) { faults.FailRandomly(kRandomPercent, seed); });
        SCOPED_TRACE(Describe(outcome.failed));
        ExpectCleanEnd(outcome);
        ExpectSoundSessionStatus(outcome);
        failedRuns += outcome.failedStep.empty() ? 0 : 1;
    }
    std::printf("[ fault sweep ] play session: %zu of %u random runs failed\n", failedRuns,
                kRandomSeeds);
    EXPECT_GT(failedRuns, 0u) << "the random plans never reached a failure";
}
