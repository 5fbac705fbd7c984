// The driver this run of the tests exercises: the host build, or, in the
// test entries CTest labels "image", the Windows image nuvaudio.sys named by
// NUV_DRIVER_IMAGE (loaded once per process and kept, as the host build's
// driver is there for the whole process). Every fixture that starts a
// system takes its driver from here, so that the same test runs against
// both with the same expectations:
//
//     host::DriverBinary driver;
//     ASSERT_TRUE(nuvtest::GetDriverUnderTest(driver));
//     host::System system(driver);
#pragma once

#include "host/portcls/system.h"

#include <gtest/gtest.h>

namespace nuvtest
{

// Fails (for the caller's ASSERT) with the loader's message if the image
// named by NUV_DRIVER_IMAGE cannot be loaded.
::testing::AssertionResult GetDriverUnderTest(host::DriverBinary& driver);

// The same for helpers that cannot ASSERT: the failure is added to the
// running test and the binary returned is empty (a system with it fails to
// load with STATUS_INVALID_PARAMETER).
host::DriverBinary DriverUnderTest();

// Whether this run exercises the Windows image.
bool TestingImage();

} // namespace nuvtest
