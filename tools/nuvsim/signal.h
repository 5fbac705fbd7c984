// The signal `nuvsim play` plays without an input file: a tone per channel,
// each at its own pitch, so that a swapped or lost channel is audible and
// shows in the comparison with what the device received. It is computed as
// it is read, so an hour of it takes no more memory than a second.
#pragma once

#include "tools/nuvsim/audio.h"

#include <memory>

namespace nuvsim
{

struct SignalShape
{
    unsigned channels = 2;
    unsigned sampleRate = 48000;
    unsigned bits = 24; // 16, 24 or 32
    double seconds = 3.0;
};

// Channel c carries a sine of ToneFrequency(c) Hz at half of full scale,
// faded in and out over 10 ms so that it starts and ends without a click.
std::unique_ptr<AudioSource> MakeTestSignal(const SignalShape& shape);

// 500, 625, 750... Hz: a musical enough set, each a multiple of 125 Hz, so
// the signal repeats every rate / gcd(rate, 125) frames (8 ms at 48 and
// 96 kHz), which is all that is computed of it.
double ToneFrequency(unsigned channel);

} // namespace nuvsim
