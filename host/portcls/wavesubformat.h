// The KS sub-format GUID of a wave format tag, {tag-0000-0010-8000-
// 00AA00389B71}, as a client of a wave pin writes it into a data format or
// a data range (the platform's INIT_WAVEFORMATEX_GUID). The one place the
// host's clients, tests and fuzzers build one.
//
//     range.DataRange.SubFormat = host::portcls::WaveSubFormat(WAVE_FORMAT_DTS);
#pragma once

#include <ksmedia.h>

namespace host::portcls
{

GUID WaveSubFormat(USHORT tag);

} // namespace host::portcls
