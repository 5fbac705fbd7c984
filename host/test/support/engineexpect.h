// Named assertions over the engine model's record of commands.
//
//     ExpectEngineCommands(engine, {ENGINE_CMD_GET_PERIOD, ENGINE_CMD_SAMPLE_RATE});
//     ExpectEngineCommandCount(engine, ENGINE_CMD_START, 1);
//
// A failure prints the whole record by name, so the order the driver used is
// visible next to the one expected.
#pragma once

#include "host/engine/engine.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace nuvtest
{

// "GET_PERIOD, SAMPLE_RATE, SET_FORMAT"
std::string DescribeCommands(const std::vector<ULONG>& commands);

// The engine received exactly these commands, in this order.
::testing::AssertionResult EngineCommandsAre(const host::engine::Engine& engine,
                                             std::initializer_list<ULONG> expected);
// The engine received `count` commands of this number.
::testing::AssertionResult EngineCommandCountIs(const host::engine::Engine& engine, ULONG command,
                                                std::size_t count);

} // namespace nuvtest

#define ExpectEngineCommands(engine, ...)                                                          \
    EXPECT_TRUE(::nuvtest::EngineCommandsAre((engine), __VA_ARGS__))
#define ExpectEngineCommandCount(engine, command, count)                                           \
    EXPECT_TRUE(::nuvtest::EngineCommandCountIs((engine), (command), (count)))
