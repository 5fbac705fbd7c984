#include "tools/nuvsim/filterviews.h"

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

} // namespace nuvsim
