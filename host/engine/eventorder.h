// One order for everything that happens around a stream, across threads:
// the client's writes and cancels and the library's Service calls (recorded
// by the port stream), the engine's START commands and its takes of the
// halves (recorded by the engine). Each is stamped with the next number
// when it happens, so the oracle (playoracle.h) can tell which came first:
// whether a client frame had been written when the stream decided what a
// half would hold.
#pragma once

#include <cstdint>

namespace host::engine
{

// The next stamp: greater than every stamp handed out before, on any thread.
std::uint64_t NextEventOrder();

} // namespace host::engine
