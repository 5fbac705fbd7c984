// Routes the host kernel's conduct checks into GoogleTest for the whole test
// program.
//
// Linking this file installs a listener that, around every test:
//   - before it: resets the host kernel (host::ResetKernelState) and installs
//     a violation handler that fails the running test with the message,
//     from whichever thread reported it;
//   - after it: fails the test if the main thread still holds a spin lock or
//     is not back at PASSIVE_LEVEL.
// Pool leaks are left to each fixture (host::Pool().ReportLeaks with its
// tags), since only the fixture knows which blocks a test keeps on purpose.
#pragma once

#include <gtest/gtest.h>

namespace nuvtest
{

// What the listener checks after each test, for the calling thread: no spin
// lock held and the IRQL back at PASSIVE_LEVEL.
::testing::AssertionResult KernelLeftClean();

// True once the listener is installed. Referencing it also keeps this file
// in the link, which a static library would otherwise drop.
bool ConductListenerInstalled();

} // namespace nuvtest
