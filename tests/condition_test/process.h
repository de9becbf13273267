// The shared process runner, with the `test` program's usual name as argv[0].
#pragma once

#include "../common/process.h"

namespace tevu::condition::testing {

using tevu::testing::run_program;
using tevu::testing::run_tool;
using tevu::testing::RunResult;
using tevu::testing::StandardOutput;

struct RunOptions : tevu::testing::RunOptions {
    RunOptions() { argv0 = "test"; }
};

}  // namespace tevu::condition::testing
