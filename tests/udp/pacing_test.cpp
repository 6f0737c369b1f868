// SPDX-License-Identifier: MIT
#include "transports/udp_fec.hpp"
#include "transports/udp_pacing.hpp"

#include <gtest/gtest.h>

namespace {

using namespace kiv::udp;

TEST(Pacing, TheCallersRhythmFollowsAFasterCallerAndTwoSlowGapsNotOne) {
    struct { const char *name; int64_t mean, gap, lastGap, next; } const cases[] = {
        {"the first gap is the rhythm", 0, 33'000, 0, 33'000},
        {"steady", 33'000, 33'000, 33'000, 33'000},
        {"faster: three quarters of the way at once", 40'000, 20'000, 40'000, 25'000},
        {"one long gap is a pause", 20'000, 500'000, 20'000, 20'000},
        {"a long gap after a short one is a pause", 20'000, 60'000, 10'000, 20'000},
        {"two long gaps: towards the shorter", 20'000, 60'000, 40'000, 35'000},
        {"two long gaps, the newer shorter", 20'000, 40'000, 60'000, 35'000},
    };
    for (const auto &c : cases) EXPECT_EQ(nextCallerIntervalUs(c.mean, c.gap, c.lastGap), c.next) << c.name;
}

TEST(Pacing, AnOvertakenFrameEndsInTheNextFramesSlack) {
    // A frame due at 30 ms; the caller handed the next at 20 ms, every 33 ms: a tenth of that is its slack.
    struct { const char *name; int64_t deadline, handed, interval, now, expected; } const cases[] = {
        {"in the next frame's slack", 30'000, 20'000, 33'000, 21'000, 23'300},
        {"never later than it was due", 22'000, 20'000, 33'000, 20'500, 22'000},
        {"no sooner than a millisecond on", 30'000, 20'000, 33'000, 25'000, 26'000},
        {"a slack of at least a tenth of a millisecond", 30'000, 20'000, 100, 19'000, 20'100},
    };
    for (const auto &c : cases) EXPECT_NEAR(double(deadlineOnceOvertakenUs(c.deadline, c.handed, c.interval, c.now)), double(c.expected), 1) << c.name;
}

TEST(Parity, ALossReportAsksForThePromisedParity) {
    // docs/udp.md: at 5% loss 10% (18% for parity alone); at 10%, 17% (30%); at 20%, 32% (55%).
    struct { double loss; int withRepair, parityAlone; } const cases[] = {{0.05, 10, 18}, {0.10, 17, 30}, {0.20, 32, 55}};
    for (const auto &c : cases) {
        EXPECT_EQ(parityPercentForLoss(c.loss, false), c.withRepair) << c.loss;
        EXPECT_EQ(parityPercentForLoss(c.loss, true), c.parityAlone) << c.loss;
    }
}

} // namespace
