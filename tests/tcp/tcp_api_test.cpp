// SPDX-License-Identifier: MIT
// "Remote (TCP)" through the public C API: link states on every address form, connects that never complete,
// running out of descriptors and a vanishing receiver.
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>

#include <ctime>

#include "net_test.hpp"

namespace {

using namespace nettest;
constexpr int kTcp = KIV_PROTOCOL_TCP;

// The link state tells a caller why nothing arrives, and comes up once a receiver listens. In a namespace of the test's
// own, connects never complete: to a host that drops every SYN, and to the only local port, where TCP connects to itself.
TEST(TcpSender, LinkStateSaysWhyNothingArrives) {
    const kivStreamFormat f{8, 8, KIV_DEPTH_24, 1};
    const struct { const char *address; int port; const char *reason, *namespaceSetup = nullptr; } cases[] = {
        {"nonexistent.invalid", 21010, "cannot resolve nonexistent.invalid"},
        {"127.0.0.1", 21010, "connect to 127.0.0.1:21010: Connection refused"},
        {"127.0.0.1", 21011, "no answer from 127.0.0.1:21011 within 2 s",
         "nft add table inet t && nft add chain inet t out \"{ type filter hook output priority 0; }\" && nft add rule inet t out tcp dport 21011 drop"},
        {"127.0.0.1", 21012, "nothing listens on 127.0.0.1:21012", "sysctl -qw net.ipv4.ip_local_port_range=\"21012 21012\""}};
    const char *inside = std::getenv("KIV_TCP_CASE");
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto &c = cases[i];
        if (!inside && c.namespaceSetup) {
            const std::string setup = c.namespaceSetup, tool = setup.substr(0, setup.find(' '));
            inPrivateNetwork("TcpSender.LinkStateSaysWhyNothingArrives", "KIV_TCP_CASE=" + std::to_string(i), setup, tool.c_str());
        }
        if (inside ? std::to_string(i) != inside : c.namespaceSetup != nullptr) continue;
        SCOPED_TRACE(c.reason);
        const Encoder enc(kivGetEncoder(kTcp, &f)); // deleted mid-connect: returns at once (a hang ends the test at its timeout)
        EXPECT_EQ(kivGetEncoderLink(enc.get()), KIV_LINK_IDLE);
        ASSERT_EQ(kivSetDestAddress(enc.get(), c.address, c.port), KIV_OK);
        EXPECT_NE(kivGetEncoderLink(enc.get()), KIV_LINK_IDLE) << "connecting, then up or down";
        ASSERT_TRUE(waitUntil([&] { return kivGetEncoderLink(enc.get()) == KIV_LINK_DOWN; }, 6s));
        EXPECT_EQ(std::string(kivLastErrorDetail()), c.reason);
        EXPECT_EQ(kivLastError(), KIV_ERROR_IO);
        // Meanwhile a frame waits unsent: the next one replaces it, counted.
        const std::vector<uint8_t> pixels(kivGetByteSize(&f));
        for (int n = 0; n < 2; ++n) EXPECT_EQ(kivEncode(enc.get(), pixels.data()), KIV_OK);
        EXPECT_EQ(std::pair(stats(enc.get()).framesSent, stats(enc.get()).framesDropped), std::pair(uint64_t{0}, uint64_t{1}));
    }
    if (inside) return;
    // Up on every address form: names, and IPv6 into the dual-stack listener where the machine has IPv6.
    std::vector<const char *> addresses = {"127.0.0.1", "localhost", "127.0.0.2"};
    if (Socket(::socket(AF_INET6, SOCK_STREAM, 0))) addresses.insert(addresses.end(), {"::1", "[::1]"});
    const Decoder dec = startDecoder(kTcp, 21010);
    const auto bytes = pattern(1, 0, kivGetByteSize(&f));
    for (const char *address : addresses) {
        const Encoder enc = startEncoder(kTcp, f, address, 21010);
        EXPECT_TRUE(waitUntil([&] { return kivGetEncoderLink(enc.get()) == KIV_LINK_UP; })) << address;
        ASSERT_EQ(kivEncode(enc.get(), bytes.data()), KIV_OK);
        const auto r = receive(dec.get());
        ASSERT_TRUE(r) << address;
        EXPECT_TRUE(r->bytes == bytes) << address;
        EXPECT_TRUE(waitUntil([&] { return stats(enc.get()).bytesSent == bytes.size(); })) << stats(enc.get()).bytesSent;
        // Idle, it probes the receiver within seconds, not hours, so a vanished one is noticed without a frame to send.
        EXPECT_EQ(shell("ss -tno state established '( dport = :21010 )' | grep -qE 'keepalive,[0-9.]+(ms|sec)'"), 0) << address;
    }
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
    EXPECT_EQ(rc, KIV_ERROR_IO);
    EXPECT_EQ(detail, "listen on port 21013: Too many open files");
    EXPECT_TRUE(connected);
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

// Bytes a receiver writes back are drained and ignored while the sender is idle: the link stays, frames keep coming.
TEST(TcpSender, BytesFromTheReceiverAreNoEndOfTheLink) {
    const kivStreamFormat f{8, 8, KIV_DEPTH_24, 1};
    const std::vector<uint8_t> pixels(kivGetByteSize(&f), 7);
    const Socket listener = listenOn(21016);
    const Encoder enc = startEncoder(kTcp, f, "127.0.0.1", 21016);
    pollfd dialled{listener.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&dialled, 1, 5000), 1);
    const Socket conn(::accept(listener.get(), nullptr, nullptr));
    ASSERT_EQ(::send(conn.get(), "junk", 4, 0), 4);
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(kivEncode(enc.get(), pixels.data()), KIV_OK);
    pollfd frame{conn.get(), POLLIN, 0};
    EXPECT_EQ(::poll(&frame, 1, 5000), 1) << "no frame after the receiver wrote";
    EXPECT_TRUE(waitUntil([&] { return stats(enc.get()).framesSent == 1; })) << stats(enc.get()).framesSent;
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
