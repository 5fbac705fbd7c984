#include "tools/pinclient/statusname.h"

#include <cstdio>

namespace pinclient
{

std::string StatusName(NTSTATUS status)
{
    struct Named
    {
        NTSTATUS status;
        const char* name;
    };
    static const Named kNames[] = {
        {STATUS_SUCCESS, "STATUS_SUCCESS"},
        {STATUS_PENDING, "STATUS_PENDING"},
        {STATUS_BUFFER_OVERFLOW, "STATUS_BUFFER_OVERFLOW"},
        {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
        {STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED"},
        {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
        {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST"},
        {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
        {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
        {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
        {STATUS_NOT_FOUND, "STATUS_NOT_FOUND"},
        {STATUS_NO_MATCH, "STATUS_NO_MATCH"},
    };
    for (const Named& named : kNames)
    {
        if (named.status == status)
        {
            return named.name;
        }
    }
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

} // namespace pinclient
