// Data formats for the pin fuzzers, built from the fuzzer's bytes: mostly
// the shapes a client sends (KSDATAFORMAT with a WAVEFORMATEX, a
// WAVEFORMATEXTENSIBLE or a DirectSound buffer description behind it), each
// field either a value the format rules care about or anything at all, and
// sometimes raw bytes; FormatSize mostly true, sometimes a lie. The blob is
// exactly as long as the client "sent" it.
#pragma once

#include "fuzz/support/fuzzinput.h"

#include <cstdint>
#include <vector>

namespace nuvfuzz
{

std::vector<std::uint8_t> TakeDataFormat(FuzzInput& in);

// A PCM format the streaming pins accept on every device: stereo, 16, 24 or
// 32 bits, 44100 to 96000 Hz (plain or extensible), as the session fuzzer
// opens its pin with.
std::vector<std::uint8_t> TakePlayableFormat(FuzzInput& in);

} // namespace nuvfuzz
