// SPDX-License-Identifier: MIT
// The TCP receiver against hostile peers: bad bytes, silence, stalls, and a
// newer sender cutting in. Short limits, so that timeouts show within a test.
#include "transports/tcp.hpp"
#include "transports/tcp_socket.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "recording_sink.hpp"

namespace kiv {
namespace {

using namespace nettest;

constexpr kivStreamFormat kFormat{33, 7, KIV_DEPTH_24, 1};
const size_t kSize = frameBytes64(kFormat);

std::vector<uint8_t> frame(uint64_t session, uint32_t seed, size_t keep = SIZE_MAX) {
    return wireFrame(frameHeader(kFormat, session, seed), keep);
}

bool closedByPeer(const Socket &s) {
    uint8_t b;
    return waitUntil([&] { return ::recv(s.get(), &b, 1, MSG_DONTWAIT) == 0; });
}

struct TcpReceiverTest : testing::Test {
    std::unique_ptr<ReceiverTransport> receiver = makeTcpReceiver({.idleTimeout = 300ms, .headerTimeout = 200ms, .stallTimeout = 300ms, .maxPending = 3});
    RecordingSink sink{*receiver};

    bool delivered(uint64_t session, uint32_t seed) {
        return sink.waitFor([&](const RecordingSink::Frame &f) { return f.header.sessionId == session && f.payload == pattern(session, seed, kSize); });
    }
};

TEST_F(TcpReceiverTest, EveryBadInputDropsItsConnectionAndIsCounted) {
    constexpr int port = 21100;
    ASSERT_EQ(receiver->start(port), KIV_OK);
    struct Case {
        const char *name;
        std::vector<std::array<uint64_t, 3>> patches; // offset, little-endian value, bytes
        size_t length = kWireHeaderSize;              // bytes sent before a FIN
        bool reset = false;                           // a reset instead of the FIN
    } const cases[] = {
        // One bad field stands for all: the header checks have tests of their own.
        {"http request", {{0, 0x20544547, 4}}},
        {"truncated header", {}, 20},
        {"truncated frame", {}, kWireHeaderSize + kSize / 2},
        {"reset mid-frame", {}, kWireHeaderSize + kSize / 2, true},
    };
    for (uint32_t seed = 0; seed < std::size(cases); ++seed) {
        const Case &c = cases[seed];
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(sendAll(connectTo(port), frame(1, seed)));
        ASSERT_TRUE(delivered(1, seed));
        const uint64_t malformed = sink.counters.malformed;
        std::vector<uint8_t> bytes = frame(2, 0, c.length);
        for (auto [at, value, n] : c.patches)
            for (size_t i = 0; i < n; ++i) bytes[at + i] = uint8_t(value >> (8 * i));
        Socket junk = connectTo(port);
        ASSERT_TRUE(sendAll(junk, bytes));
        // Bytes already queued stay readable before the reset is seen, so it cuts a frame.
        const linger reset{1, 0};
        if (c.reset) ::setsockopt(junk.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset), junk.reset();
        else ::shutdown(junk.get(), SHUT_WR);
        ASSERT_TRUE(waitUntil([&] { return sink.counters.malformed == malformed + 1; }));
        if (!c.reset) { EXPECT_TRUE(closedByPeer(junk)); }
    }
    // Frames delivered before stay untouched, and nothing of the junk got through.
    const auto all = sink.frames();
    ASSERT_EQ(all.size(), std::size(cases));
    for (uint32_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i].payload, pattern(1, i, kSize)) << i;

    int error = 0; // without IPv6 the receiver listens on IPv4 alone
    const Socket v4 = tcp::listenOn(AF_INET, port + 10, error), peer = connectTo(port + 10);
    ASSERT_TRUE(v4) << error;
    EXPECT_TRUE(Socket(::accept(v4.get(), nullptr, nullptr))) << std::strerror(errno);
}

TEST_F(TcpReceiverTest, SilentStalledAndOlderPeersCannotKeepASenderOut) {
    constexpr int port = 21101;
    ASSERT_EQ(receiver->start(port), KIV_OK);
    {
        SCOPED_TRACE("silent peers in more than every pending slot, the last three a byte into a header");
        std::vector<Socket> silent;
        for (int i = 0; i < 8; ++i) silent.push_back(connectTo(port));
        for (int i = 5; i < 8; ++i) ASSERT_TRUE(sendAll(silent[i], frame(6, 6, 1)));
        std::this_thread::sleep_for(50ms); // their bytes read: a byte ahead must not push the sender out
        ASSERT_TRUE(sendAll(connectTo(port), frame(1, 1)));
        ASSERT_TRUE(delivered(1, 1));
        for (const Socket &s : silent) EXPECT_TRUE(closedByPeer(s)) << "pushed out or timed out in the end";
    }
    // Peers stalling in a header or a payload are dropped and counted.
    const auto stall = [&](size_t sent) {
        SCOPED_TRACE(sent);
        const uint64_t before = sink.counters.malformed;
        const Socket peer = connectTo(port);
        EXPECT_TRUE(sendAll(peer, frame(2, 2, sent)));
        const auto cpu = std::clock();
        const auto wall = Clock::now();
        EXPECT_TRUE(waitUntil([&] { return sink.counters.malformed == before + 1; }));
        EXPECT_LT(double(std::clock() - cpu) / CLOCKS_PER_SEC, std::chrono::duration<double>(Clock::now() - wall).count() / 2)
            << "waiting for a stalled peer spins";
        EXPECT_TRUE(closedByPeer(peer));
    };
    stall(kWireHeaderSize + 10); // while the first sender, gone between frames, leaves nothing to spin on
    // A sender pausing between whole frames outlasts every limit meanwhile, and a header alone does not displace it.
    const Socket sender = connectTo(port);
    ASSERT_TRUE(sendAll(sender, frame(3, 3)));
    ASSERT_TRUE(delivered(3, 3));
    stall(1);
    stall(kWireHeaderSize / 2);
    // A header dribbled in a byte at a time is timed from its first byte.
    const Socket dribbler = connectTo(port);
    const auto header = frame(5, 5, kWireHeaderSize);
    size_t dribbled = 0;
    while (dribbled < header.size() && ::send(dribbler.get(), &header[dribbled], 1, MSG_NOSIGNAL) == 1) ++dribbled, std::this_thread::sleep_for(30ms);
    EXPECT_LT(dribbled, header.size());
    stall(kWireHeaderSize + 10); // the sender, idle past every limit, is still waited on, not spun on
    ASSERT_TRUE(sendAll(sender, frame(3, 4)));
    ASSERT_TRUE(delivered(3, 4));
    EXPECT_EQ(sink.counters.malformed, 8u);

    SCOPED_TRACE("a newer sender replaces the older one mid-frame");
    ASSERT_TRUE(sendAll(sender, frame(3, 5, kWireHeaderSize + 5)));
    const Socket newer = connectTo(port);
    ASSERT_TRUE(sendAll(newer, frame(4, 6)));
    ASSERT_TRUE(delivered(4, 6));
    // The older sender's cut frame is counted, it is closed, and nothing more of it arrives.
    EXPECT_EQ(std::tuple(sink.counters.incomplete.load(), closedByPeer(sender), sink.frames().size()), std::tuple(uint64_t{1}, true, size_t{4}));
}

} // namespace
} // namespace kiv
