// Files of `nuvsim play`: audio in through libsndfile, and output files that
// appear only when complete (written to a temporary file beside the target,
// renamed at the end, removed if the run fails).
#pragma once

#include "tools/nuvsim/audio.h"
#include "tools/pinclient/containerwav.h"
#include "tools/pinclient/pendingfile.h"

#include <optional>
#include <string>

namespace nuvsim
{

// The file's format, and its samples if nuvsim can feed them (CanFeed).
// Empty, with `error` set, if libsndfile cannot read it.
std::optional<AudioClip> ReadAudioFile(const std::string& path, std::string& error);

// Output files that appear only when complete, shared with the ALSA plugin.
using pinclient::ContainerWavWriter;
using pinclient::PendingFile;

} // namespace nuvsim
