#include "frame_store.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace kiv {
namespace {

void push(FrameStore &store, uint32_t number, uint8_t fill) {
    StoredFrame f;
    f.header = {.format = {4, 1, KIV_DEPTH_8, 1}, .frameNumber = number, .payloadSize = 4};
    f.pixels = store.takeBuffer();
    f.pixels.assign(4, fill);
    store.push(std::move(f));
}

TEST(FrameStore, AdaptiveHandsOutNewestAndCountsOverwritten) {
    FrameStore store;
    for (uint32_t n = 1; n <= 3; ++n) push(store, n, uint8_t(0x11 * n));
    const StoredFrame *f = store.lock(0);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->header.frameNumber, 3u);
    EXPECT_EQ(f->pixels[0], 0x33);
    EXPECT_EQ(store.lock(0), nullptr) << "a second lock while one is held";
    // The locked bytes stay as they are while later frames arrive.
    for (uint32_t n = 4; n < 20; ++n) push(store, n, 0xbb);
    EXPECT_EQ(f->pixels, std::vector<uint8_t>(4, 0x33));
    EXPECT_TRUE(store.unlock());
    EXPECT_FALSE(store.unlock());
    ASSERT_NE(f = store.lock(0), nullptr);
    EXPECT_EQ(f->header.frameNumber, 19u);
    store.unlock();
    EXPECT_EQ(store.lock(0), nullptr) << "each frame is handed out once";
    const FrameStoreCounters c = store.counters();
    EXPECT_EQ(c.received, 19u);
    EXPECT_EQ(c.dropped, 17u);
    EXPECT_EQ(c.delivered, 2u);
    EXPECT_EQ(c.bytes, 19u * 4);
}

TEST(FrameStore, QueuedKeepsOrderAndDropsOldestWhenFull) {
    FrameStore store;
    store.setAdaptive(false);
    for (uint32_t n = 1; n <= FrameStore::kQueueDepth + 2; ++n) push(store, n, uint8_t(n));
    for (uint32_t expect = 3; expect <= FrameStore::kQueueDepth + 2; ++expect) {
        const StoredFrame *f = store.lock(0);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->header.frameNumber, expect);
        store.unlock();
    }
    EXPECT_EQ(store.counters().dropped, 2u);
}

TEST(FrameStore, WaitingLockWakesOnPushAndTimesOutWithoutOne) {
    FrameStore store;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(store.lock(30), nullptr);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(25));

    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        push(store, 7, 1);
    });
    const StoredFrame *f = store.lock(10000);
    producer.join();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->header.frameNumber, 7u);
}

} // namespace
} // namespace kiv
