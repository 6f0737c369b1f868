#include "frame_store.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace kiv {
namespace {

StoredFrame frame(uint32_t number, uint8_t fill) {
    StoredFrame f;
    f.header.format = {4, 1, KIV_DEPTH_8, 1};
    f.header.frameNumber = number;
    f.header.payloadSize = 4;
    f.pixels.assign(4, fill);
    return f;
}

TEST(FrameStore, AdaptiveHandsOutNewestAndCountsOverwritten) {
    FrameStore store;
    store.push(frame(1, 0x11));
    store.push(frame(2, 0x22));
    store.push(frame(3, 0x33));
    const StoredFrame *f = store.lock(0);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->header.frameNumber, 3u);
    EXPECT_EQ(f->pixels[0], 0x33);
    EXPECT_EQ(store.lock(0), nullptr) << "a second lock while one is held";
    EXPECT_TRUE(store.unlock());
    EXPECT_FALSE(store.unlock());
    EXPECT_EQ(store.lock(0), nullptr) << "each frame is handed out once";
    const FrameStoreCounters c = store.counters();
    EXPECT_EQ(c.received, 3u);
    EXPECT_EQ(c.dropped, 2u);
    EXPECT_EQ(c.delivered, 1u);
    EXPECT_EQ(c.bytes, 12u);
}

TEST(FrameStore, QueuedKeepsOrderAndDropsOldestWhenFull) {
    FrameStore store;
    store.setAdaptive(false);
    for (uint32_t n = 1; n <= FrameStore::kQueueDepth + 2; ++n) store.push(frame(n, uint8_t(n)));
    for (uint32_t expect = 3; expect <= FrameStore::kQueueDepth + 2; ++expect) {
        const StoredFrame *f = store.lock(0);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->header.frameNumber, expect);
        store.unlock();
    }
    EXPECT_EQ(store.counters().dropped, 2u);
}

TEST(FrameStore, LockedBytesSurviveLaterPushes) {
    FrameStore store;
    store.push(frame(1, 0xaa));
    const StoredFrame *f = store.lock(0);
    ASSERT_NE(f, nullptr);
    for (uint32_t n = 2; n < 20; ++n) {
        StoredFrame next = frame(n, 0xbb);
        next.pixels = store.takeBuffer();
        next.pixels.assign(4, 0xbb);
        store.push(std::move(next));
    }
    EXPECT_EQ(f->pixels, std::vector<uint8_t>(4, 0xaa));
    store.unlock();
}

TEST(FrameStore, WaitingLockWakesOnPushAndTimesOutWithoutOne) {
    FrameStore store;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(store.lock(30), nullptr);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(25));

    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        store.push(frame(7, 1));
    });
    const StoredFrame *f = store.lock(10000);
    producer.join();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->header.frameNumber, 7u);
}

} // namespace
} // namespace kiv
