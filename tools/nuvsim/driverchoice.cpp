#include "tools/nuvsim/driverchoice.h"

#include "adapter/adapter.h"
#include "host/loader/driverbinary.h"

#include <CLI/CLI.hpp>

#include <ostream>

namespace nuvsim
{

void AddImageOption(CLI::App& command, DriverOption& option)
{
    command
        .add_option_function<std::string>(
            "--image",
            [&option](const std::string& path)
            {
                option.image = true;
                option.path = path;
            },
            "Run the Windows image nuvaudio.sys instead of the host build (without a path: " +
                DefaultImagePath() + ").")
        ->expected(0, 1)
        ->type_name("[PATH]");
}

std::optional<host::DriverBinary> ChooseDriver(const DriverOption& option, std::ostream& err)
{
    if (!option.image)
        return host::DriverBinary{DriverEntry, nullptr};
    std::string error;
    std::optional<host::DriverBinary> driver = host::loader::LoadDriverImage(
        option.path.empty() ? DefaultImagePath() : option.path, error);
    if (!driver)
        err << "nuvsim: " << error << "\n";
    return driver;
}

std::string DescribeDriver(const host::DriverBinary& driver)
{
    return host::loader::DescribeDriver(driver);
}

std::string DefaultImagePath()
{
    return NUV_DEFAULT_IMAGE;
}

} // namespace nuvsim
