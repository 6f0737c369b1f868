// SPDX-License-Identifier: MIT
// GoogleTest's main, unless this run is a child process some test started.
#include <gtest/gtest.h>

#include "child_process.hpp"

int main(int argc, char **argv) {
    if (const std::optional<int> exitCode = kivtest::runChildIfAsked(argc, argv)) return *exitCode;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
