// "Remote (TCP)" through the public C API: frames byte for byte, restarts on
// either side, a taken port and a vanishing receiver.
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>

#include <array>
#include <ctime>

#include "../net_support/net_test.hpp"

namespace {

using namespace nettest;
constexpr int kTcp = KIV_PROTOCOL_TCP;

// Every depth, odd sizes, and every address form: names, and IPv6 into the
// dual-stack listener where the machine has IPv6. A new encoder for each.
TEST(TcpRoundTrip, EveryDepthAndAddressFormArrivesByteForByte) {
    const kivStreamFormat formats[] = {
        {1, 1, KIV_DEPTH_16, 1}, {17, 3, KIV_DEPTH_16, 1}, {1, 1, KIV_DEPTH_24, 1}, {321, 7, KIV_DEPTH_24, 1},
        {3, 5, KIV_DEPTH_32, 1}, {640, 480, KIV_DEPTH_32, 1}, {1, 9, KIV_DEPTH_8, 1}, {257, 3, KIV_DEPTH_8, 1},
        {3840, 2160, KIV_DEPTH_32, 7}, // past the socket buffers: written in parts
    };
    std::vector<const char *> addresses = {"127.0.0.1", "localhost", "127.0.0.2"};
    if (Socket(::socket(AF_INET6, SOCK_STREAM, 0))) addresses.insert(addresses.end(), {"::1", "[::1]"});
    const Decoder dec = startDecoder(kTcp, 21001);
    for (size_t i = 0; i < std::size(formats); ++i) {
        const kivStreamFormat &f = formats[i];
        SCOPED_TRACE(testing::Message() << f.width << "x" << f.height << " depth " << f.depth << " to " << addresses[i % addresses.size()]);
        const Encoder enc = startEncoder(kTcp, f, addresses[i % addresses.size()], 21001);
        const auto bytes = pattern(i, 0, kivGetByteSize(&f));
        std::optional<Received> r;
        for (const auto end = Clock::now() + 10s; !r && Clock::now() < end;) {
            kivEncode(enc.get(), bytes.data()); // until the connection is up
            r = receive(dec.get(), [&](const Received &x) { return std::memcmp(&x.format, &f, sizeof f) == 0; }, 50ms);
        }
        EXPECT_TRUE(r && r->bytes == bytes) << "no frame, or not byte for byte";
        EXPECT_TRUE(waitUntil([&] { return allSent(enc.get(), bytes.size()); })) << "a frame still in flight would be cut off when the encoder goes";
    }
    EXPECT_EQ(stats(dec.get()).framesMalformed, 0u);
}

TEST(TcpReceiver, TakenPortFailsClearlyAndLeavesTheDecoderHarmless) {
    constexpr int port = 21006;
    for (const bool byDecoder : {false, true}) {
        SCOPED_TRACE(byDecoder ? "taken by a decoder" : "taken by another program");
        const Socket program = byDecoder ? Socket() : listenOn(port);
        const Decoder holder = byDecoder ? startDecoder(kTcp, port) : nullptr;
        const Decoder dec(kivGetDecoder(kTcp, nullptr));
        EXPECT_EQ(kivSetSourceAddress(dec.get(), port), KIV_ERROR_BUSY);
        EXPECT_NE(std::string(kivLastErrorDetail()).find("port 21006 is already in use"), std::string::npos)
            << kivLastErrorDetail();
        EXPECT_EQ(kivLockReadBuffer(dec.get(), 20), nullptr);
    }
}

// The link state tells a caller why nothing arrives, and comes up once a receiver listens.
TEST(TcpSender, LinkStateSaysWhyNothingArrives) {
    constexpr int port = 21010;
    const kivStreamFormat f{8, 8, KIV_DEPTH_24, 1};
    const struct { const char *address, *reason; } cases[] = {{"nonexistent.invalid", "cannot resolve nonexistent.invalid"},
                 {"127.0.0.1", "connect to 127.0.0.1:21010: Connection refused"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.address);
        const Encoder enc(kivGetEncoder(kTcp, &f));
        EXPECT_EQ(kivGetEncoderLink(enc.get()), KIV_LINK_IDLE);
        ASSERT_EQ(kivSetDestAddress(enc.get(), c.address, port), KIV_OK);
        EXPECT_NE(kivGetEncoderLink(enc.get()), KIV_LINK_IDLE) << "connecting, then up or down";
        ASSERT_TRUE(waitUntil([&] { return kivGetEncoderLink(enc.get()) == KIV_LINK_DOWN; }, 15s));
        EXPECT_EQ(std::pair(std::string(kivLastErrorDetail()), kivLastError()), std::pair(std::string(c.reason), KIV_ERROR_IO));
        // Meanwhile a frame waits unsent: the next one replaces it, counted.
        const std::vector<uint8_t> pixels(kivGetByteSize(&f));
        for (int i = 0; i < 2; ++i) EXPECT_EQ(kivEncode(enc.get(), pixels.data()), KIV_OK);
        EXPECT_EQ((std::array{stats(enc.get()).framesSent, stats(enc.get()).framesDropped}), (std::array{0ul, 1ul}));
    }
    const Encoder enc = startEncoder(kTcp, f, "127.0.0.1", port);
    const Decoder dec = startDecoder(kTcp, port);
    EXPECT_TRUE(waitUntil([&] { return kivGetEncoderLink(enc.get()) == KIV_LINK_UP; }));
    // Idle, it probes the receiver, so a vanished one is noticed without a frame to send.
    EXPECT_EQ(shell("ss -tno state established '( dport = :21010 )' | grep -q keepalive"), 0);
}

// Connects that never complete, each in a network namespace of the test's own: a host that drops
// every SYN, and a port where, with nothing listening and it the only local port, TCP connects to itself.
TEST(TcpSender, SilentHostsAndSelfConnectsAreGivenUpAndSaidSo) {
    constexpr int silent = 21011, self = 21012;
    if (!std::getenv("KIV_INSIDE_NETNS")) {
        const char *name = "TcpSender.SilentHostsAndSelfConnectsAreGivenUpAndSaidSo";
        inPrivateNetwork(name, "KIV_TCP_CASE=silent",
                         "nft add table inet t && nft add chain inet t out \"{ type filter hook output priority 0; }\" && "
                         "nft add rule inet t out tcp dport " + std::to_string(silent) + " drop", "nft");
        inPrivateNetwork(name, "KIV_TCP_CASE=self", "sysctl -qw net.ipv4.ip_local_port_range=\"21012 21012\"");
        return;
    }
    const bool isSilent = std::string(std::getenv("KIV_TCP_CASE")) == "silent";
    const kivStreamFormat f{8, 8, KIV_DEPTH_24, 1};
    Encoder enc = startEncoder(kTcp, f, "127.0.0.1", isSilent ? silent : self);
    ASSERT_TRUE(waitUntil([&] { return kivGetEncoderLink(enc.get()) == KIV_LINK_DOWN; }, 6s));
    EXPECT_EQ(std::string(kivLastErrorDetail()), isSilent ? "no answer from 127.0.0.1:21011 within 2 s"
                                                          : "nothing listens on 127.0.0.1:21012");
    EXPECT_EQ((std::pair{kivEncode(enc.get(), std::vector<uint8_t>(kivGetByteSize(&f)).data()), stats(enc.get()).framesSent}), std::pair(KIV_OK, 0ul));
    enc.reset(); // mid-connect: returns at once (a hang ends the test at its timeout)
}

// A listener that cannot start says why; one that cannot accept waits instead
// of spinning on a listener that stays readable.
TEST(TcpReceiver, RunningOutOfDescriptorsIsReportedAndWaitedOut) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "UBSan's vptr check probes memory through a pipe, which needs the descriptors this test uses up";
#endif
    const Decoder dec(kivGetDecoder(kTcp, nullptr)), listening = startDecoder(kTcp, 21014);
    const Socket knocking(::socket(AF_INET, SOCK_STREAM, 0));
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    const rlimit low{64, old.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<Socket> filler;
    for (int fd; (fd = ::dup(0)) >= 0;) filler.emplace_back(fd);
    const int rc = kivSetSourceAddress(dec.get(), 21013);
    const std::string detail = kivLastErrorDetail();
    for (int fd; (fd = ::dup(0)) >= 0;) filler.emplace_back(fd); // and those the failed start gave back
    const sockaddr_in to = loopback(21014);
    const bool connected = ::connect(knocking.get(), reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0;
    const auto cpu = std::clock();
    std::this_thread::sleep_for(300ms);
    const double busy = double(std::clock() - cpu) / CLOCKS_PER_SEC / 0.3;
    filler.clear();
    ::setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(std::tuple(rc, detail, connected), std::tuple(KIV_ERROR_IO, std::string("listen on port 21013: Too many open files"), true));
    EXPECT_LT(busy, 0.25) << "the receiver spins while descriptors are short";
}

// The receiver reads a little of a 32 MiB frame, half-closes and resets. A write
// without MSG_NOSIGNAL would have this process killed by SIGPIPE.
TEST(TcpSender, SurvivesAReceiverVanishingMidFrame) {
    ::signal(SIGPIPE, SIG_DFL);
    constexpr int port = 21009;
    Socket listener = listenOn(port);
    ASSERT_TRUE(listener);
    const kivStreamFormat f{4096, 2048, KIV_DEPTH_32, 1};
    const Encoder enc = startEncoder(kTcp, f, "127.0.0.1", port);
    ASSERT_EQ(kivEncode(enc.get(), std::vector<uint8_t>(kivGetByteSize(&f), 0x5a).data()), KIV_OK);
    {
        const Socket conn(::accept(listener.get(), nullptr, nullptr));
        std::vector<uint8_t> buffer(1 << 20);
        ASSERT_EQ(::recv(conn.get(), buffer.data(), buffer.size(), MSG_WAITALL), ssize_t(buffer.size()));
        listener.reset(); // no reconnecting
        ::shutdown(conn.get(), SHUT_WR);
    } // unread data: the close resets the connection
    EXPECT_TRUE(waitUntil([&] { return stats(enc.get()).framesDropped == 1; }, 20s)) << "the cut frame is dropped";
}

// A receiver that took frames and went is redialled at once; one that hangs up before any frame is backed off, not hammered.
TEST(TcpSender, RedialsAtOnceOnlyAfterAConnectionThatCarriedFrames) {
    const kivStreamFormat f{8, 8, KIV_DEPTH_24, 1};
    const std::vector<uint8_t> pixels(kivGetByteSize(&f));
    for (const bool sending : {false, true}) {
        const Socket listener = listenOn(21015);
        const Encoder enc = startEncoder(kTcp, f, "127.0.0.1", 21015);
        int connections = 0;
        for (const auto end = Clock::now() + 1500ms; Clock::now() < end;) {
            pollfd waiting{listener.get(), POLLIN, 0};
            if (::poll(&waiting, 1, 10) != 1) continue;
            const Socket conn(::accept(listener.get(), nullptr, nullptr));
            pollfd frame{conn.get(), POLLIN, 0};
            connections += !sending || waitUntil([&] { return kivEncode(enc.get(), pixels.data()) == KIV_OK && ::poll(&frame, 1, 5) == 1; }, 500ms);
        }
        EXPECT_TRUE(sending ? connections > 15 : connections <= 7) << sending << " " << connections;
    }
}

} // namespace
