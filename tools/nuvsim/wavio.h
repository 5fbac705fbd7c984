// Files of `nuvsim play`: audio in through libsndfile, and output files that
// appear only when complete (written to a temporary file beside the target
// as the run goes, renamed at the end, removed if the run fails).
#pragma once

#include "tools/nuvsim/audio.h"
#include "tools/pinclient/containerwav.h"
#include "tools/pinclient/pendingfile.h"

#include <optional>
#include <string>

namespace nuvsim
{

// A reader of the file, in blocks (audio.h); it reads samples only of a
// format nuvsim can feed (CanFeed). Null, with `error` set, if libsndfile
// cannot open it.
std::unique_ptr<AudioSource> OpenAudioFile(const std::string& path, std::string& error);

// Output files that appear only when complete, shared with the ALSA plugin.
using pinclient::ContainerWavWriter;
using pinclient::PendingFile;

} // namespace nuvsim
