// Google Benchmark's flags for both benchmark programs: the project's
// defaults (five repetitions of every case, interleaved in random order so
// that a noisy stretch of the machine spreads over all of them, and the
// given minimum time per repetition), then the command line's, which win.
#pragma once

namespace nuvbench
{

// False if the command line held a flag Google Benchmark does not know
// (it has said which).
bool InitializeBenchmark(int argc, char** argv, const char* minSeconds);

} // namespace nuvbench
