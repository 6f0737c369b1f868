// "Multicast (UDP)" through the public C API, between threads, processes and,
// for multicast, inside a network namespace of the test's own.
#include <kivVidStreamLib2.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "pattern.hpp"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

struct EncoderDeleter {
    void operator()(kivEncoder *e) const { kivDeleteEncoder(e); }
};
struct DecoderDeleter {
    void operator()(kivDecoder *d) const { kivDeleteDecoder(d); }
};
using Encoder = std::unique_ptr<kivEncoder, EncoderDeleter>;
using Decoder = std::unique_ptr<kivDecoder, DecoderDeleter>;

Decoder listen(int stream) {
    Decoder d(kivGetDecoder(KIV_PROTOCOL_UDP, nullptr));
    EXPECT_TRUE(d);
    if (d) {
        EXPECT_EQ(kivSetSourceAddress(d.get(), stream), KIV_OK) << kivLastErrorDetail();
    }
    return d;
}

Encoder sendTo(const char *address, int stream, const kivStreamFormat &fmt) {
    Encoder e(kivGetEncoder(KIV_PROTOCOL_UDP, &fmt));
    EXPECT_TRUE(e);
    if (e) {
        EXPECT_EQ(kivSetDestAddress(e.get(), address, stream), KIV_OK) << kivLastErrorDetail();
    }
    return e;
}

// Locks one frame and checks it against the pattern of its frame number;
// returns its info, or frameNumber UINT32_MAX when none came in time.
kivFrameInfo receiveChecked(kivDecoder *dec, uint64_t seed, const kivStreamFormat &fmt, int timeoutMs) {
    kivFrameInfo info{};
    info.frameNumber = UINT32_MAX;
    const void *p = kivLockReadBuffer(dec, timeoutMs);
    if (!p) return info;
    EXPECT_EQ(kivGetRecvFrameInfo(dec, &info), KIV_OK);
    EXPECT_EQ(kivGetRecvWidth(dec), fmt.width);
    EXPECT_EQ(kivGetRecvHeight(dec), fmt.height);
    EXPECT_EQ(kivGetRecvDepth(dec), fmt.depth);
    const uint32_t size = kivGetByteSize(&fmt);
    EXPECT_EQ(info.imageBytes, size);
    EXPECT_EQ(std::memcmp(p, kivtest::pattern(seed, info.frameNumber, size).data(), size), 0)
        << "frame " << info.frameNumber << " differs";
    kivUnlockReadBuffer(dec);
    return info;
}

TEST(UdpApi, UnicastRoundTripAtEveryDepthByteForByte) {
    struct Case {
        kivStreamFormat format;
        int stream;
    } const cases[] = {
        {{321, 17, KIV_DEPTH_16, 1}, 22010}, // padded rows
        {{320, 240, KIV_DEPTH_24, 1}, 22011}, // the tester's default: 164 datagrams
        {{123, 77, KIV_DEPTH_32, 1}, 22012},
        {{1023, 3, KIV_DEPTH_8, 1}, 22013},
        {{1, 1, KIV_DEPTH_24, 1}, 22014},  // one short datagram
        {{1280, 720, KIV_DEPTH_32, 1}, 22015}, // 3.7 MB, paced out in bursts
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.stream);
        const Decoder dec = listen(c.stream);
        const Decoder sharing = listen(c.stream); // a second receiver may share the port
        const Encoder enc = sendTo("127.0.0.1", c.stream, c.format);
        ASSERT_TRUE(dec && sharing && enc);
        const auto pixels = [&](uint32_t n) { return kivtest::pattern(c.stream, n, kivGetByteSize(&c.format)); };
        // Unicast goes to one of the sockets sharing the port: read both.
        std::set<uint32_t> seen;
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        for (uint32_t n = 0; seen.size() < 3 && Clock::now() < deadline; ++n) {
            ASSERT_EQ(kivEncode(enc.get(), pixels(n).data()), KIV_OK);
            for (kivDecoder *d : {dec.get(), sharing.get()}) {
                const kivFrameInfo info = receiveChecked(d, c.stream, c.format, 50);
                if (info.frameNumber != UINT32_MAX) seen.insert(info.frameNumber);
            }
        }
        EXPECT_GE(seen.size(), 3u);
    }
}

TEST(UdpApi, MalformedDestinationsAreRefusedAtOnce) {
    const kivStreamFormat fmt{8, 8, KIV_DEPTH_24, 1};
    const Encoder enc(kivGetEncoder(KIV_PROTOCOL_UDP, &fmt));
    ASSERT_TRUE(enc);
    for (const char *address :
         {"", "localhost", "127.0.0.1 ", "127.0.0", "256.1.1.1", "1.2.3.4.5", "::1", "0.0.0.0", "255.255.255.255"}) {
        EXPECT_EQ(kivSetDestAddress(enc.get(), address, 22020), KIV_ERROR_ADDRESS) << "'" << address << "'";
        EXPECT_STRNE(kivLastErrorDetail(), "");
    }
    EXPECT_EQ(kivSetDestAddress(enc.get(), nullptr, 22020), KIV_ERROR_ADDRESS);
    const unsigned char pixels[8 * 8 * 3] = {};
    EXPECT_EQ(kivEncode(enc.get(), pixels), KIV_ERROR_STATE);
    EXPECT_EQ(kivSetDestAddress(enc.get(), "127.0.0.1", 0), KIV_ERROR_INVALID_ARGUMENT);
}

TEST(UdpApi, BadMulticastGroupInTheEnvironmentIsReported) {
    for (const char *group : {"239.255.300.1", "10.1.2.3"}) {
        setenv("KIVSTREAM_MULTICAST_GROUP", group, 1);
        const Decoder dec(kivGetDecoder(KIV_PROTOCOL_UDP, nullptr));
        EXPECT_EQ(kivSetSourceAddress(dec.get(), 22021), KIV_ERROR_ADDRESS) << group;
        EXPECT_EQ(kivLockReadBuffer(dec.get(), 0), nullptr);
    }
    unsetenv("KIVSTREAM_MULTICAST_GROUP");
}

TEST(UdpApi, RestartedSenderIsReceivedFromItsFirstFrame) {
    const kivStreamFormat fmt{320, 240, KIV_DEPTH_24, 1};
    const Decoder dec = listen(22030);
    uint64_t firstSession = 0;
    {
        const Encoder a = sendTo("127.0.0.1", 22030, fmt);
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        for (uint32_t n = 0; (n < 30 || firstSession == 0) && Clock::now() < deadline; ++n) {
            kivEncode(a.get(), kivtest::pattern(1, n, kivGetByteSize(&fmt)).data());
            const kivFrameInfo info = receiveChecked(dec.get(), 1, fmt, 20);
            if (info.frameNumber != UINT32_MAX) firstSession = info.sessionId;
        }
        ASSERT_NE(firstSession, 0u);
    }
    while (kivLockReadBuffer(dec.get(), 100)) kivUnlockReadBuffer(dec.get()); // drain what the first sender left
    const Encoder b = sendTo("127.0.0.1", 22030, fmt);
    ASSERT_EQ(kivEncode(b.get(), kivtest::pattern(1, 0, kivGetByteSize(&fmt)).data()), KIV_OK);
    const kivFrameInfo info = receiveChecked(dec.get(), 1, fmt, 5000);
    EXPECT_EQ(info.frameNumber, 0u) << "the new sender's frame 0 must not be taken for an old frame";
    EXPECT_NE(info.sessionId, firstSession);
}

TEST(UdpApi, HostileDatagramsOnTheSocketAreCountedAndHonestFramesStillArrive) {
    const int stream = 22040;
    const kivStreamFormat fmt{64, 48, KIV_DEPTH_24, 1};
    const Decoder dec = listen(stream);
    int raw = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(raw, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(stream);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::mt19937 rng(11);
    std::vector<uint8_t> junk(1472);
    constexpr int kJunk = 50;
    for (int i = 0; i < kJunk; ++i) {
        junk.resize(rng() % 1473);
        for (auto &b : junk) b = uint8_t(rng());
        if (i % 5 == 0 && junk.size() >= 8) std::memcpy(junk.data(), "KIVF\x01\x00\x30\x00", 8); // a plausible start
        ASSERT_GE(::sendto(raw, junk.data(), junk.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    }
    std::vector<uint8_t> oversize(20000, 0x55); // larger than any datagram a receiver takes
    ::sendto(raw, oversize.data(), oversize.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    ::close(raw);

    kivDecoderStats stats{};
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        kivGetDecoderStats(dec.get(), &stats);
        if (stats.framesMalformed >= kJunk + 1) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(stats.framesMalformed, uint64_t(kJunk + 1));
    EXPECT_EQ(stats.framesReceived, 0u);

    const Encoder enc = sendTo("127.0.0.1", stream, fmt);
    kivFrameInfo info{};
    info.frameNumber = UINT32_MAX;
    for (uint32_t n = 0; n < 100 && info.frameNumber == UINT32_MAX; ++n) {
        kivEncode(enc.get(), kivtest::pattern(stream, n, kivGetByteSize(&fmt)).data());
        info = receiveChecked(dec.get(), stream, fmt, 100);
    }
    EXPECT_NE(info.frameNumber, UINT32_MAX);
}

// Starts udp_peer with a pipe on its stdin; closing the pipe tells it to stop.
struct Peer {
    pid_t pid = -1;
    int toPeer = -1;
    ~Peer() { stop(); }
    int stop() {
        if (toPeer >= 0) ::close(std::exchange(toPeer, -1));
        int status = -1;
        if (pid > 0) ::waitpid(std::exchange(pid, -1), &status, 0); // it gives up by itself within 30 s
        return status;
    }
};

TEST(UdpApi, TwoProcessesExchangeFramesOverUnicast) {
    const int stream = 22050;
    const kivStreamFormat fmt{320, 240, KIV_DEPTH_24, 1};
    const Decoder dec = listen(stream);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    const std::string streamText = std::to_string(stream);
    char *argv[] = {const_cast<char *>(KIV_UDP_PEER), const_cast<char *>("send"), const_cast<char *>("127.0.0.1"),
                    const_cast<char *>(streamText.c_str()), const_cast<char *>("99"), nullptr};
    Peer peer;
    ASSERT_EQ(posix_spawn(&peer.pid, KIV_UDP_PEER, &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[0]);
    peer.toPeer = fds[1];

    std::set<uint32_t> frames;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (frames.size() < 20 && Clock::now() < deadline) {
        const kivFrameInfo info = receiveChecked(dec.get(), 99, fmt, 200);
        if (info.frameNumber != UINT32_MAX) frames.insert(info.frameNumber);
    }
    EXPECT_GE(frames.size(), 20u);
    const int status = peer.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

int shell(const std::string &command, std::string *output = nullptr) {
    FILE *p = ::popen(command.c_str(), "r");
    if (!p) return -1;
    char line[512];
    while (std::fgets(line, sizeof line, p))
        if (output) *output += line;
    const int status = ::pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(UdpApi, TwoReceiversGetAMulticastStreamInAPrivateNamespace) {
    if (shell("unshare -n true 2>&1") != 0) GTEST_SKIP() << "cannot create a network namespace (unshare -n failed)";
    if (shell("command -v ip >/dev/null 2>&1") != 0) GTEST_SKIP() << "the ip tool (iproute2) is not installed";
    // The library's group, then one chosen through the environment.
    for (const char *env : {"", "KIVSTREAM_MULTICAST_GROUP=239.255.77.7 "}) {
        std::string out;
        const int rc = shell(std::string(env) +
                                 "unshare -n sh -c 'ip link set lo up && ip link set lo multicast on && "
                                 "ip route add 224.0.0.0/4 dev lo && exec \"$0\" multicast-pair 22060' " +
                                 KIV_UDP_PEER + " 2>&1",
                             &out);
        EXPECT_EQ(rc, 0) << env << out;
    }
}

} // namespace

namespace {

TEST(UdpApi, AReceiveBufferBelowWhatWasAskedForIsReported) {
    long rmemMax = 0;
    if (FILE *f = std::fopen("/proc/sys/net/core/rmem_max", "r")) {
        if (std::fscanf(f, "%ld", &rmemMax) != 1) rmemMax = 0;
        std::fclose(f);
    }
    if (rmemMax <= 0 || rmemMax >= (16 << 20)) GTEST_SKIP() << "net.core.rmem_max does not cap the receive buffer here";
    // In a fresh user namespace the process has no privilege to pass the cap.
    if (shell("unshare -U true 2>&1") != 0) GTEST_SKIP() << "cannot create a user namespace (unshare -U failed)";
    std::string out;
    EXPECT_EQ(shell(std::string("unshare -U ") + KIV_UDP_PEER + " listen 22070 2>&1", &out), 0) << out;
    EXPECT_NE(out.find("receive buffer capped"), std::string::npos) << out;
}

} // namespace
