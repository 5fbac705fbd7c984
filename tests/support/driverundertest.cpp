#include "tests/support/driverundertest.h"

#include "adapter/adapter.h"
#include "host/loader/driverbinary.h"

#include <optional>
#include <string>

namespace nuvtest
{
namespace
{

struct Choice
{
    std::optional<host::DriverBinary> driver;
    std::string error;
};

const Choice& TheChoice()
{
    // Never destroyed: the image stays mapped until the process ends, as
    // objects of the driver's may outlive any one test's system.
    static const Choice& choice = *[]
    {
        auto* made = new Choice;
        if (const std::optional<std::string> path = host::loader::DriverImageFromEnvironment())
            made->driver = host::loader::LoadDriverImage(*path, made->error);
        else
            made->driver = host::DriverBinary{DriverEntry, nullptr};
        return made;
    }();
    return choice;
}

} // namespace

::testing::AssertionResult GetDriverUnderTest(host::DriverBinary& driver)
{
    const Choice& choice = TheChoice();
    if (!choice.driver)
        return ::testing::AssertionFailure()
               << "the driver image cannot be loaded: " << choice.error;
    driver = *choice.driver;
    return ::testing::AssertionSuccess();
}

host::DriverBinary DriverUnderTest()
{
    host::DriverBinary driver;
    EXPECT_TRUE(GetDriverUnderTest(driver));
    return driver;
}

bool TestingImage()
{
    return host::loader::DriverImageFromEnvironment().has_value();
}

} // namespace nuvtest
