// SPDX-License-Identifier: MIT
// How a UDP sender times a frame's datagrams: the caller's rhythm, and when a
// frame must be out. Times in microseconds of the monotonic clock.
#pragma once

#include <algorithm>
#include <cstdint>

namespace kiv::udp {

// A frame is spread over this share of the caller's interval between frames,
// which leaves room for the caller's jitter and for repairs.
inline constexpr double kSpread = 0.9;

// The caller's rhythm, a running mean of the time between frames, after a new
// `gapUs` (the one before it: `lastGapUs`; `meanUs` 0 before the first gap).
// It follows a faster caller at once: paced over the old, longer interval,
// each frame would still be leaving when the next came, and be dropped.
// A slower caller it follows at once when two gaps in a row say so: after a
// real slowdown the old, faster pace would overflow the queue of a slow link.
// A single long gap is a pause, no new rhythm: counted in, it would pace the
// next frames too slowly, and drop them.
constexpr int64_t nextCallerIntervalUs(int64_t meanUs, int64_t gapUs, int64_t lastGapUs) {
    if (meanUs == 0) return gapUs;
    if (gapUs < meanUs) return (meanUs + gapUs * 3) / 4;
    if (lastGapUs > meanUs) return (meanUs + std::min(gapUs, lastGapUs) * 3) / 4;
    return meanUs;
}

// The deadline of a frame still leaving when the caller handed the next one
// (at `handedUs`): the caller is faster than the rhythm this frame was paced
// for. It ends in the next frame's slack, or the next frame would be dropped
// for it; never later than it was due, and no sooner than a millisecond on.
constexpr int64_t deadlineOnceOvertakenUs(int64_t deadlineUs, int64_t handedUs, int64_t intervalUs, int64_t nowUs) {
    const int64_t slackUs = int64_t((1 - kSpread) * double(std::max<int64_t>(intervalUs, 1000)));
    return std::min(deadlineUs, std::max(handedUs + slackUs, nowUs + 1000));
}

} // namespace kiv::udp
