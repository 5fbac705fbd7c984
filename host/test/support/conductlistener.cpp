// The GoogleTest listener behind conductlistener.h.
#include "host/test/support/conductlistener.h"

#include "host/kernel/hostkernel.h"

#include <gtest/gtest.h>

#include <string>

namespace nuvtest
{
namespace
{

void FailRunningTest(const host::Violation& violation)
{
    // ADD_FAILURE is thread-safe: a violation on an engine or worker thread
    // lands on the test that is running.
    ADD_FAILURE() << "host kernel conduct check: " << host::Describe(violation);
}

class ConductListener : public ::testing::EmptyTestEventListener
{
public:
    void OnTestStart(const ::testing::TestInfo&) override
    {
        host::ResetKernelState();
        host::SetViolationHandler(FailRunningTest);
    }

    // Runs before the result printer reports the test (end events go to the
    // listeners in reverse order), so a failure here is part of the test.
    void OnTestEnd(const ::testing::TestInfo&) override
    {
        EXPECT_TRUE(KernelLeftClean()) << "at the end of the test, on the main thread";
        // Whatever the test left behind must not fail the next one.
        host::ForgetHeldSpinLocks();
        host::SetCurrentIrql(PASSIVE_LEVEL);
        host::ClearFaultPlans();
    }
};

bool Install()
{
    // The listener list owns the listener. Installed from a static
    // initialiser so that every test program linking this file has it.
    ::testing::UnitTest::GetInstance()->listeners().Append(new ConductListener);
    host::SetViolationHandler(FailRunningTest);
    return true;
}

const bool installed = Install();

} // namespace

::testing::AssertionResult KernelLeftClean()
{
    const std::size_t held = host::HeldSpinLockCount();
    const KIRQL irql = KeGetCurrentIrql();
    if (held == 0 && irql == PASSIVE_LEVEL)
        return ::testing::AssertionSuccess();
    ::testing::AssertionResult result = ::testing::AssertionFailure();
    if (held != 0)
        result << held << " spin lock(s) still held; ";
    if (irql != PASSIVE_LEVEL)
        result << "IRQL is " << host::IrqlName(irql) << ", not PASSIVE_LEVEL";
    return result;
}

bool ConductListenerInstalled()
{
    return installed;
}

} // namespace nuvtest
