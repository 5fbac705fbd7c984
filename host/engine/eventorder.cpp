#include "host/engine/eventorder.h"

#include <atomic>

namespace host::engine
{

std::uint64_t NextEventOrder()
{
    static std::atomic<std::uint64_t> next{1};
    return next.fetch_add(1);
}

} // namespace host::engine
