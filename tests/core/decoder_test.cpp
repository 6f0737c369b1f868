// SPDX-License-Identifier: MIT
// The decoder over an in-process transport: delivery order, the one drop rule and counts that add up.
#include <gtest/gtest.h>

#include "loopback.hpp"

namespace kiv {
namespace {

WireHeader rawHeader(uint32_t number) { return {.format = {4, 1, KIV_DEPTH_8, 1}, .frameNumber = number, .payloadSize = 4}; }

uint32_t lockedNumber(Decoder &d, int timeoutMs = 0) {
    if (!d.lock(timeoutMs)) return 0;
    kivFrameInfo info{};
    d.frameInfo(info);
    d.unlock();
    return info.frameNumber;
}

TEST(Decoder, AdaptiveGivesNewestQueuedGivesOldestAndCountsAddUp) {
    const struct { bool adaptive; std::vector<uint32_t> handedOut; } cases[] = {{true, {9}}, {false, {6, 7, 8, 9}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.adaptive);
        testing::LoopbackReceiver *r = nullptr;
        auto d = testing::loopbackDecoder(r);
        d->setAdaptive(c.adaptive);
        for (uint32_t n = 1; n <= 9; ++n) r->deliver(rawHeader(n), std::vector<uint8_t>(4, uint8_t(n)));
        // The locked bytes stay as they are while later frames arrive.
        const auto *bytes = static_cast<const uint8_t *>(d->lock(0));
        ASSERT_NE(bytes, nullptr);
        for (uint32_t n = 10; n <= 12; ++n) r->deliver(rawHeader(n), std::vector<uint8_t>(4, 0xbb));
        EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 4), std::vector<uint8_t>(4, uint8_t(c.handedOut[0])));
        EXPECT_EQ(d->unlock(), KIV_OK);
        std::vector<uint32_t> rest;
        while (const uint32_t n = lockedNumber(*d)) rest.push_back(n);
        const kivDecoderStats s = d->stats();
        // Every frame handed out or counted as dropped; the newest is never dropped.
        EXPECT_EQ(std::tuple(s.framesReceived, s.framesDelivered, s.framesDropped, s.bytesReceived, rest.back()),
                  std::tuple(12u, 1 + rest.size(), 11 - rest.size(), 12u * 4, 12u));
    }
}

TEST(Decoder, FramesThatDoNotCheckAreCountedNotHandedOutAndCountsOutliveTheStream) {
    testing::LoopbackReceiver *r = nullptr;
    auto d = testing::loopbackDecoder(r);
    d->setAdaptive(false);
    r->deliver({.format = {4, 1, KIV_DEPTH_8, 1}, .frameNumber = 1, .payloadSize = 5}, std::vector<uint8_t>(5)); // not the format's size
    r->deliver(rawHeader(3), std::vector<uint8_t>(4));
    EXPECT_EQ(lockedNumber(*d), 3u);
    r->counters.incomplete = 4, r->counters.lost = 5, r->counters.recovered = 3, r->counters.rebuilt = 1;
    d->setSource(2); // the counts of the stream before stay
    const kivDecoderStats s = d->stats();
    const kivLossStats l = d->lossStats();
    EXPECT_EQ(std::tuple(s.framesMalformed, s.framesReceived, s.framesIncomplete, l.datagramsLost, l.datagramsRecovered, l.framesRebuilt),
              std::tuple(1u, 1u, 4u, 5u, 3u, 1u));
}

} // namespace
} // namespace kiv
