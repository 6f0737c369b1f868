// The UDP sender and receiver objects over loopback, with and without the
// kernel's segmentation offloads, and the sender's behaviour when it falls behind.
#include "transports/udp.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "format.hpp"
#include "pattern.hpp"

namespace {

using namespace kiv;
using Clock = std::chrono::steady_clock;

class WaitingSink final : public FrameSink {
public:
    std::vector<uint8_t> takeBuffer() override { return {}; }
    void deliver(const WireHeader &h, std::vector<uint8_t> &&p) override {
        std::lock_guard lock(mutex_);
        frames_.push_back({h, std::move(p)});
        changed_.notify_all();
    }
    void countMalformed(uint64_t n) override { malformed += n; }
    void countIncomplete(uint64_t n) override { incomplete += n; }
    void countDropped(uint64_t) override {}

    // Waits up to `timeout` for a frame with number `frame`; false if none came.
    bool waitFor(uint32_t frame, std::vector<uint8_t> &payload, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            for (auto &[h, p] : frames_)
                if (h.frameNumber == frame) {
                    payload = std::move(p);
                    return true;
                }
            return false;
        });
    }

    std::atomic<uint64_t> malformed{0}, incomplete{0};

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<WireHeader, std::vector<uint8_t>>> frames_;
};

WireHeader header(uint32_t frame, const kivStreamFormat &fmt) {
    WireHeader h;
    h.format = fmt;
    h.frameNumber = frame;
    h.sessionId = 0x5eed;
    h.payloadSize = uint32_t(frameBytes64(fmt));
    return h;
}

TEST(UdpSockets, FramesArriveWithAndWithoutSegmentationOffload) {
    struct Case {
        bool gso, gro;
        size_t maxDatagram;
        int stream;
    } const cases[] = {
        {true, true, udp::kDefaultMaxDatagram, 22100},
        {true, false, udp::kDefaultMaxDatagram, 22101}, // the kernel splits for a receiver without GRO
        {false, true, udp::kDefaultMaxDatagram, 22102},
        {false, false, udp::kDefaultMaxDatagram, 22103},
        {true, true, 576, 22104},   // a small path MTU
        {true, true, 9000, 22105},  // jumbo datagrams
    };
    const kivStreamFormat fmt{640, 480, KIV_DEPTH_24, 1};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.stream);
        WaitingSink sink;
        udp::ReceiverOptions ro;
        ro.allowGro = c.gro;
        auto receiver = udp::makeReceiver(sink, ro);
        ASSERT_EQ(receiver->start(c.stream), KIV_OK);
        EXPECT_EQ(udp::receiverInfo(*receiver).groActive, c.gro);
        EXPECT_GT(udp::receiverInfo(*receiver).receiveBufferBytes, 0);

        udp::SenderOptions so;
        so.allowGso = c.gso;
        so.maxDatagram = c.maxDatagram;
        auto sender = udp::makeSender(so);
        ASSERT_EQ(sender->open("127.0.0.1", c.stream), KIV_OK);
        int delivered = 0;
        for (uint32_t n = 0; n < 6; ++n) {
            const auto payload = kivtest::pattern(c.stream, n, frameBytes64(fmt));
            ASSERT_EQ(sender->sendFrame(header(n, fmt), payload), KIV_OK);
            std::vector<uint8_t> got;
            if (sink.waitFor(n, got, std::chrono::seconds(5))) {
                ++delivered;
                ASSERT_EQ(got, payload) << "frame " << n;
            }
        }
        EXPECT_GE(delivered, 5);
        EXPECT_EQ(sink.malformed.load(), 0u);
        EXPECT_EQ(udp::gsoActive(*sender), c.gso) << "loopback takes GSO: no fallback expected";
    }
}

TEST(UdpSockets, SlowNetworkNeverBlocksTheCallerAndEveryFrameIsAccountedFor) {
    // Paced at 2 MB/s a 900 KB frame takes ~0.4 s to leave: the caller must not wait for it.
    udp::SenderOptions so;
    so.paceBytesPerSecond = 2'000'000;
    so.burstBytes = 64 * 1024;
    const kivStreamFormat fmt{640, 480, KIV_DEPTH_24, 1};
    const auto payload = kivtest::pattern(1, 0, frameBytes64(fmt));
    auto sender = udp::makeSender(so);
    ASSERT_EQ(sender->open("127.0.0.1", 22110), KIV_OK);
    constexpr uint64_t kFrames = 40;
    for (uint32_t n = 0; n < kFrames; ++n) ASSERT_EQ(sender->sendFrame(header(n, fmt), payload), KIV_OK);
    EXPECT_GE(sender->counters.dropped.load(), kFrames - 3) << "unsent frames are replaced, not queued";

    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (sender->counters.sent + sender->counters.dropped < kFrames && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(sender->counters.sent + sender->counters.dropped, kFrames);
    EXPECT_GE(sender->counters.sent.load(), 1u);

    // Destroyed in the middle of a paced frame: the sending thread must stop, not finish it.
    ASSERT_EQ(sender->sendFrame(header(kFrames, fmt), payload), KIV_OK);
    sender.reset();
}

TEST(UdpSockets, ReopeningMovesTheSenderToTheNewDestination) {
    const kivStreamFormat fmt{100, 100, KIV_DEPTH_8, 1};
    WaitingSink first, second;
    auto r1 = udp::makeReceiver(first, {});
    auto r2 = udp::makeReceiver(second, {});
    ASSERT_EQ(r1->start(22120), KIV_OK);
    ASSERT_EQ(r2->start(22121), KIV_OK);
    auto sender = udp::makeSender({});
    const auto payload = kivtest::pattern(3, 0, frameBytes64(fmt));
    std::vector<uint8_t> got;
    ASSERT_EQ(sender->open("127.0.0.1", 22120), KIV_OK);
    ASSERT_EQ(sender->sendFrame(header(0, fmt), payload), KIV_OK);
    EXPECT_TRUE(first.waitFor(0, got, std::chrono::seconds(5)));
    ASSERT_EQ(sender->open("127.0.0.1", 22121), KIV_OK);
    ASSERT_EQ(sender->sendFrame(header(1, fmt), payload), KIV_OK);
    EXPECT_TRUE(second.waitFor(1, got, std::chrono::seconds(5)));
    EXPECT_FALSE(first.waitFor(1, got, std::chrono::milliseconds(100)));
}

} // namespace
