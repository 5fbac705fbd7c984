#include "host/loader/driverbinary.h"

#include <cstdlib>

namespace host::loader
{

std::optional<std::string> DriverImageFromEnvironment()
{
    const char* path = std::getenv(kDriverImageVariable);
    if (path == nullptr || *path == 0)
        return std::nullopt;
    return std::string(path);
}

std::optional<DriverBinary> LoadDriverImage(const std::string& path, std::string& error)
{
    std::shared_ptr<const LoadedImage> image = LoadedImage::Load(path, error);
    if (image == nullptr)
        return std::nullopt;
    return DriverBinary{image->DriverEntry(), image};
}

std::string DescribeDriver(const DriverBinary& driver)
{
    if (driver.image == nullptr)
        return "the host build";
    return "the Windows image " + driver.image->Path();
}

} // namespace host::loader
