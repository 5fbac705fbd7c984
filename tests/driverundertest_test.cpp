// The choice of driver itself: a run labelled "image" must really run the
// image, and the ordinary run the host build; otherwise every image entry
// would pass by testing the host build a second time.
#include "adapter/adapter.h"
#include "host/kernel/addressnames.h"
#include "host/loader/loadedimage.h"
#include "tests/support/driverundertest.h"

#include <gtest/gtest.h>

namespace
{

TEST(DriverUnderTest, IsTheImageExactlyWhenOneIsNamed)
{
    host::DriverBinary driver;
    ASSERT_TRUE(nuvtest::GetDriverUnderTest(driver));
    host::System system(driver);
    ASSERT_EQ(system.Load(), STATUS_SUCCESS);
    // The add-device routine is the one the driver's own DriverEntry handed
    // the library.
    const auto addDevice =
        reinterpret_cast<const void*>(system.DriverObject()->DriverExtension->AddDevice);
    ASSERT_NE(addDevice, nullptr);
    if (nuvtest::TestingImage())
    {
        ASSERT_NE(driver.image, nullptr);
        EXPECT_TRUE(driver.image->Contains(reinterpret_cast<const void*>(driver.entry)));
        EXPECT_TRUE(driver.image->Contains(addDevice));
        EXPECT_EQ(host::NameAddress(addDevice).rfind("nuvaudio.sys!AddDevice(", 0), 0u)
            << host::NameAddress(addDevice) << " (" << driver.image->SymbolStatus() << ")";
    }
    else
    {
        EXPECT_EQ(driver.image, nullptr);
        EXPECT_EQ(driver.entry, &DriverEntry);
        EXPECT_EQ(addDevice, reinterpret_cast<const void*>(&AddDevice));
    }
    EXPECT_TRUE(system.Shutdown().empty());
}

} // namespace
