// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstdint>

namespace kiv {

// Wall clock in microseconds since the epoch: comparable between processes and,
// with synchronised clocks, between machines.
inline int64_t wallClockUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

} // namespace kiv
