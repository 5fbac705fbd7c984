#include "tools/nuvsim/devicemodel.h"

#include <ksmedia.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace nuvsim
{
DataRangeView ReadDataRange(const std::vector<unsigned char>& bytes)
{
    DataRangeView view;
    KSDATARANGE range{};
    std::memcpy(&range, bytes.data(), std::min(bytes.size(), sizeof(range)));
    view.formatSize = range.FormatSize;
    view.majorFormat = range.MajorFormat;
    view.subFormat = range.SubFormat;
    view.specifier = range.Specifier;
    if (bytes.size() >= sizeof(KSDATARANGE_AUDIO) &&
        IsEqualGUIDAligned(range.MajorFormat, KSDATAFORMAT_TYPE_AUDIO))
    {
        KSDATARANGE_AUDIO audio;
        std::memcpy(&audio, bytes.data(), sizeof(audio));
        view.audio = DataRangeView::AudioLimits{
            audio.MaximumChannels,        audio.MinimumBitsPerSample,   audio.MaximumBitsPerSample,
            audio.MinimumSampleFrequency, audio.MaximumSampleFrequency,
        };
    }
    return view;
}

const FilterView* FindFilter(const DeviceView& device, const std::string& referenceString)
{
    for (const FilterView& filter : device.filters)
    {
        if (filter.referenceString == referenceString)
        {
            return &filter;
        }
    }
    return nullptr;
}

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

} // namespace nuvsim
