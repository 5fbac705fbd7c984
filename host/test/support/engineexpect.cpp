#include "host/test/support/engineexpect.h"

namespace nuvtest
{

std::string DescribeCommands(const std::vector<ULONG>& commands)
{
    std::string text;
    for (ULONG command : commands)
    {
        if (!text.empty())
            text += ", ";
        text += host::engine::CommandName(command);
    }
    return text.empty() ? "(none)" : text;
}

::testing::AssertionResult EngineCommandsAre(const host::engine::Engine& engine,
                                             std::initializer_list<ULONG> expected)
{
    const std::vector<ULONG> actual = engine.CommandNumbers();
    const std::vector<ULONG> wanted(expected);
    if (actual == wanted)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "engine commands were [" << DescribeCommands(actual)
                                         << "], expected [" << DescribeCommands(wanted) << "]";
}

::testing::AssertionResult EngineCommandCountIs(const host::engine::Engine& engine, ULONG command,
                                                std::size_t count)
{
    const std::size_t actual = engine.CountOf(command);
    if (actual == count)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << host::engine::CommandName(command) << " was sent " << actual << " times, expected "
           << count << "; all commands: [" << DescribeCommands(engine.CommandNumbers()) << "]";
}

} // namespace nuvtest
