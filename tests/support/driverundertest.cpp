#include "tests/support/driverundertest.h"

#include "adapter/adapter.h"
#include "host/loader/driverbinary.h"

#include <filesystem>
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

// A run against an image that has not been built yet skips every test, as
// the other checks of the Windows build do; an image that is there but
// refused fails each test that asks for it.
class ImageEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        const std::optional<std::string> path = host::loader::DriverImageFromEnvironment();
        if (path && !std::filesystem::exists(*path))
            GTEST_SKIP() << *path << " not built (make windows builds it)";
    }
};

// The environment list owns it; registered from a static initialiser so that
// every test program linking this file has it.
const bool registered = (::testing::AddGlobalTestEnvironment(new ImageEnvironment), true);

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
