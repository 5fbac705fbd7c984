#include "host/kernel/boundary.h"

#include "host/kernel/conduct.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

namespace host
{

void ReportCaughtAtBoundary(const char* routine) noexcept
{
    const char* what = "an exception that is no std::exception";
    try
    {
        throw;
    }
    catch (const std::exception& exception)
    {
        what = exception.what();
    }
    catch (...)
    {
    }
    try
    {
        ReportViolation(ViolationKind::Custom, std::string("Boundary: ") + routine +
                                                   ": the host threw (" + what +
                                                   "); the driver got a failure instead");
    }
    catch (...)
    {
        std::fprintf(stderr, "host: %s threw (%s) and the report of it failed too\n", routine,
                     what);
        std::abort();
    }
}

} // namespace host
