// The TCP receiver's defences against peers that hold on without sending, with
// short limits so that they show within a test.
#include "transports/tcp.hpp"

#include <gtest/gtest.h>

#include <mutex>

#include "format.hpp"
#include "tcp_test_util.hpp"

namespace kiv {
namespace {

using namespace tcptest;

class RecordingSink : public FrameSink {
public:
    std::vector<uint8_t> takeBuffer() override { return {}; }
    void deliver(const WireHeader &header, std::vector<uint8_t> &&payload) override {
        std::lock_guard lock(mutex_);
        sessions_.push_back(header.sessionId);
        payloads_.push_back(std::move(payload));
    }
    void countMalformed(uint64_t n) override { malformed += n; }
    void countIncomplete(uint64_t n) override { incomplete += n; }
    void countDropped(uint64_t) override {}

    size_t framesFrom(uint64_t session) const {
        std::lock_guard lock(mutex_);
        return size_t(std::count(sessions_.begin(), sessions_.end(), session));
    }
    std::vector<uint8_t> lastPayload() const {
        std::lock_guard lock(mutex_);
        return payloads_.empty() ? std::vector<uint8_t>{} : payloads_.back();
    }

    std::atomic<uint64_t> malformed{0};
    std::atomic<uint64_t> incomplete{0};

private:
    mutable std::mutex mutex_;
    std::vector<uint64_t> sessions_;
    std::vector<std::vector<uint8_t>> payloads_;
};

constexpr kivStreamFormat kFormat{16, 4, KIV_DEPTH_24, 1};

std::vector<uint8_t> frame(uint64_t session, uint32_t seed) {
    WireHeader h;
    h.format = kFormat;
    h.sessionId = session;
    h.payloadSize = uint32_t(frameBytes64(kFormat));
    std::vector<uint8_t> out(kWireHeaderSize);
    encodeHeader(h, std::span<uint8_t, kWireHeaderSize>(out.data(), kWireHeaderSize));
    const std::vector<uint8_t> payload = pattern(h.payloadSize, seed);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

TcpReceiverLimits shortLimits() {
    TcpReceiverLimits l;
    l.idleTimeout = 300ms;
    l.headerTimeout = 200ms;
    l.stallTimeout = 300ms;
    l.maxPending = 3;
    return l;
}

TEST(TcpReceiverLimits, SilentPeersFillingEverySlotCannotKeepASenderOut) {
    constexpr int port = 21100;
    RecordingSink sink;
    auto receiver = makeTcpReceiver(sink, shortLimits());
    ASSERT_EQ(receiver->start(port), KIV_OK);
    std::vector<Socket> silent;
    for (int i = 0; i < 8; ++i) silent.push_back(connectTo(port)); // more than the pending slots
    Socket sender = connectTo(port);
    ASSERT_TRUE(sender.writeAll(frame(1, 1)));
    ASSERT_TRUE(waitUntil([&] { return sink.framesFrom(1) == 1; }));
    EXPECT_EQ(sink.lastPayload(), pattern(frameBytes64(kFormat), 1));
    // Silent ones are closed in the end, pushed out or timed out, without being counted.
    for (Socket &s : silent) {
        uint8_t b;
        EXPECT_TRUE(waitUntil([&] { return ::recv(s.fd(), &b, 1, MSG_DONTWAIT) == 0; }));
    }
    EXPECT_EQ(sink.malformed, 0u) << "saying nothing is not malformed";
}

TEST(TcpReceiverLimits, StalledPeersAreDroppedAndCounted) {
    constexpr int port = 21101;
    RecordingSink sink;
    auto receiver = makeTcpReceiver(sink, shortLimits());
    ASSERT_EQ(receiver->start(port), KIV_OK);
    const std::vector<uint8_t> bytes = frame(2, 2);
    struct Case {
        const char *name;
        size_t sent; // bytes of the frame before the peer stalls
    } const cases[] = {
        {"half a header", kWireHeaderSize / 2},
        {"header and half the payload", kWireHeaderSize + 10},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const uint64_t before = sink.malformed;
        Socket peer = connectTo(port);
        ASSERT_TRUE(peer.writeAll(std::span(bytes).first(c.sent)));
        ASSERT_TRUE(waitUntil([&] { return sink.malformed == before + 1; }));
        // The receiver hung up on it.
        uint8_t b;
        EXPECT_TRUE(waitUntil([&] { return ::recv(peer.fd(), &b, 1, MSG_DONTWAIT) == 0; }));
    }
    // A sender that pauses between whole frames is left alone.
    Socket sender = connectTo(port);
    ASSERT_TRUE(sender.writeAll(frame(3, 3)));
    ASSERT_TRUE(waitUntil([&] { return sink.framesFrom(3) == 1; }));
    // Outlast every limit while it is idle: two stalled peers dropped one after the other.
    for (int i = 0; i < 2; ++i) {
        const uint64_t before = sink.malformed;
        Socket peer = connectTo(port);
        ASSERT_TRUE(peer.writeAll(std::span(bytes).first(1)));
        ASSERT_TRUE(waitUntil([&] { return sink.malformed == before + 1; }));
    }
    const uint64_t malformed = sink.malformed;
    ASSERT_TRUE(sender.writeAll(frame(3, 4)));
    ASSERT_TRUE(waitUntil([&] { return sink.framesFrom(3) == 2; }));
    EXPECT_EQ(sink.malformed, malformed);
}

TEST(TcpReceiverLimits, NewerSenderReplacesTheOlderOne) {
    constexpr int port = 21102;
    RecordingSink sink;
    auto receiver = makeTcpReceiver(sink, shortLimits());
    ASSERT_EQ(receiver->start(port), KIV_OK);
    Socket older = connectTo(port);
    ASSERT_TRUE(older.writeAll(frame(10, 1)));
    ASSERT_TRUE(waitUntil([&] { return sink.framesFrom(10) == 1; }));
    const std::vector<uint8_t> cut = frame(10, 2);
    ASSERT_TRUE(older.writeAll(std::span(cut).first(kWireHeaderSize + 5)));

    Socket newer = connectTo(port);
    ASSERT_TRUE(newer.writeAll(frame(11, 3)));
    ASSERT_TRUE(waitUntil([&] { return sink.framesFrom(11) == 1; }));
    EXPECT_EQ(sink.lastPayload(), pattern(frameBytes64(kFormat), 3));
    EXPECT_EQ(sink.incomplete, 1u) << "the older sender's cut frame";
    uint8_t b;
    EXPECT_TRUE(waitUntil([&] { return ::recv(older.fd(), &b, 1, MSG_DONTWAIT) == 0; })) << "older one closed";
    EXPECT_EQ(sink.framesFrom(10), 1u);
}

} // namespace
} // namespace kiv
