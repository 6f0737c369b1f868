// "Multicast (UDP)" through the public C API, between processes and, for
// multicast, inside a network namespace of the test's own.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "../net_support/net_test.hpp"
#include "../support/child_process.hpp"

namespace {

using namespace nettest;
constexpr int kUdp = KIV_PROTOCOL_UDP;

TEST(UdpApi, TwoProcessesExchangeEveryDepthOverUnicast) {
    const kivStreamFormat formats[] = {
        {321, 17, KIV_DEPTH_16, 1},  // padded rows
        {320, 240, KIV_DEPTH_24, 1}, // the tester's default: 164 datagrams
        {123, 77, KIV_DEPTH_32, 1},  {1023, 3, KIV_DEPTH_8, 1},
        {1, 1, KIV_DEPTH_24, 1},       // one short datagram
        {1280, 720, KIV_DEPTH_32, 1}, // 3.7 MB, paced out in bursts
    };
    const char *const addresses[] = {"127.0.0.1", "127.0.0.2"};
    exchangeInTwoProcesses(kUdp, 22010, formats, addresses);
}

TEST(UdpApi, MalformedDestinationsAndGroupsAreRefusedAtOnce) {
    const kivStreamFormat fmt{8, 8, KIV_DEPTH_24, 1};
    const Encoder enc(kivGetEncoder(kUdp, &fmt));
    for (const char *address :
         {"", "localhost", "127.0.0.1 ", "127.0.0", "256.1.1.1", "1.2.3.4.5", "::1", "0.0.0.0", "255.255.255.255"}) {
        EXPECT_EQ(kivSetDestAddress(enc.get(), address, 22020), KIV_ERROR_ADDRESS) << "'" << address << "'";
        EXPECT_STRNE(kivLastErrorDetail(), "");
    }
    const unsigned char pixels[8 * 8 * 3] = {};
    EXPECT_EQ(kivEncode(enc.get(), pixels), KIV_ERROR_STATE) << "no destination after a failed one";
    for (const char *group : {"239.255.300.1", "10.1.2.3"}) {
        setenv("KIVSTREAM_MULTICAST_GROUP", group, 1);
        const Decoder dec(kivGetDecoder(kUdp, nullptr));
        EXPECT_EQ(kivSetSourceAddress(dec.get(), 22021), KIV_ERROR_ADDRESS) << group;
        EXPECT_EQ(kivLockReadBuffer(dec.get(), 0), nullptr);
    }
    unsetenv("KIVSTREAM_MULTICAST_GROUP");
}

// Run inside the namespace by the test below: two receivers sharing the port
// and one sender to the group both decoders joined.
void multicastPair() {
    const int stream = 22060;
    const Decoder a = startDecoder(kUdp, stream), b = startDecoder(kUdp, stream);
    const char *env = std::getenv("KIVSTREAM_MULTICAST_GROUP");
    const kivStreamFormat fmt{320, 240, KIV_DEPTH_24, 1};
    const Encoder enc = startEncoder(kUdp, fmt, env && *env ? env : KIV_MULTICAST_GROUP, stream);
    int got[2] = {};
    const auto deadline = Clock::now() + 15s;
    for (uint32_t n = 0; (got[0] < 5 || got[1] < 5) && Clock::now() < deadline; ++n) {
        kivEncode(enc.get(), pattern(7, n, kivGetByteSize(&fmt)).data());
        for (int i = 0; i < 2; ++i)
            while (const auto r = receive((i ? b : a).get(), {}, 0ms)) {
                ASSERT_EQ(r->bytes, pattern(7, r->info.frameNumber, kivGetByteSize(&fmt))) << "receiver " << i;
                ++got[i];
            }
    }
    EXPECT_GE(got[0], 5);
    EXPECT_GE(got[1], 5);
}

TEST(UdpApi, TwoReceiversGetAMulticastStreamInAPrivateNamespace) {
    if (std::getenv("KIV_INSIDE_NETNS")) return multicastPair();
    // The library's group, then one chosen through the environment.
    for (const char *env : {"", "KIVSTREAM_MULTICAST_GROUP=239.255.77.7"})
        inPrivateNetwork("UdpApi.TwoReceiversGetAMulticastStreamInAPrivateNamespace", env);
}

// Run as another user by the test below: binding the receiver's port must
// fail, whichever sharing option is tried.
void bindAsAnotherUser() {
    for (const int option : {SO_REUSEADDR, SO_REUSEPORT}) {
        const Socket s(::socket(AF_INET, SOCK_DGRAM, 0));
        const int on = 1;
        ::setsockopt(s.get(), SOL_SOCKET, option, &on, sizeof on);
        const sockaddr_in a{AF_INET, htons(22080), {INADDR_ANY}, {}};
        EXPECT_NE(::bind(s.get(), reinterpret_cast<const sockaddr *>(&a), sizeof a), 0) << "option " << option;
    }
    // Unprivileged, the big receive buffer is refused: the caller reads that, the library prints nothing.
    std::FILE *captured = std::tmpfile();
    const int savedStderr = ::dup(STDERR_FILENO);
    ::dup2(::fileno(captured), STDERR_FILENO);
    uint32_t requested = 0, granted = 0;
    {
        const Decoder dec = startDecoder(kUdp, 22081);
        EXPECT_EQ(kivGetReceiveBuffer(dec.get(), &requested, &granted), KIV_OK);
    }
    ::dup2(savedStderr, STDERR_FILENO);
    struct stat written {};
    ::fstat(::fileno(captured), &written);
    EXPECT_EQ(written.st_size, 0) << "the library wrote to stderr";
    std::fclose(captured);
    EXPECT_EQ(requested, 32u << 20);
    EXPECT_GT(granted, 0u);
    EXPECT_LE(granted, requested);
}

TEST(UdpApi, AnotherUserCannotBindAReceiversPort) {
    if (std::getenv("KIV_OTHER_USER")) return bindAsAnotherUser();
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a part of the test as another user";
    if (shell("command -v setpriv >/dev/null 2>&1") != 0) GTEST_SKIP() << "setpriv (util-linux) is not installed";
    const Decoder dec = startDecoder(kUdp, 22080);
    const Decoder sameUser = startDecoder(kUdp, 22080); // receivers of one user still share
    char self[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
    EXPECT_EQ(shell(std::string("KIV_OTHER_USER=1 setpriv --reuid=65534 --regid=65534 --clear-groups ") + self +
                    " --gtest_filter=UdpApi.AnotherUserCannotBindAReceiversPort >/dev/null"),
              0);
}

// port, address, frames: 640x480x24 frames at 50 per second, with the
// library's default protection; then waits for its stdin to close.
KIV_TEST_CHILD(protectedSender) {
    const kivStreamFormat fmt{640, 480, KIV_DEPTH_24, 1};
    const Encoder enc = startEncoder(kUdp, fmt, args.at(1).c_str(), std::stoi(args.at(0)));
    const uint32_t frames = uint32_t(std::stoul(args.at(2)));
    auto next = Clock::now();
    for (uint32_t n = 0; n < frames; ++n) {
        kivEncode(enc.get(), pattern(11, n, kivGetByteSize(&fmt)).data());
        // On a busy machine, never replace a frame that has not gone out yet.
        const auto limit = Clock::now() + 5s;
        while (stats(enc.get()).framesSent <= n && Clock::now() < limit) std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_until(next += 20ms);
    }
    char c;
    while (::read(STDIN_FILENO, &c, 1) > 0) {
    }
    return 0;
}

// One datagram in a hundred dropped at random on the way in, one datagram to a
// packet (no offload): frames still arrive whole, unicast and multicast.
void protectedThroughLoss() {
    constexpr uint32_t kFrames = 100;
    const kivStreamFormat fmt{640, 480, KIV_DEPTH_24, 1};
    for (const char *address : {"127.0.0.1", KIV_MULTICAST_GROUP}) {
        SCOPED_TRACE(address);
        const Decoder dec = startDecoder(kUdp, 22070);
        kivSetAdaptiveBuffer(dec.get(), 0);
        int keepAlive[2];
        ASSERT_EQ(::pipe2(keepAlive, O_CLOEXEC), 0);
        kivtest::Process sender({"protectedSender", {"22070", address, std::to_string(kFrames)}, keepAlive[0]});
        ::close(keepAlive[0]);
        uint32_t intact = 0, last = 0;
        while (const auto r = receive(dec.get(), {}, 2s)) {
            EXPECT_EQ(r->bytes, pattern(11, r->info.frameNumber, kivGetByteSize(&fmt))) << r->info.frameNumber;
            ++intact;
            if ((last = r->info.frameNumber) + 1 == kFrames) break;
        }
        ::close(keepAlive[1]);
        EXPECT_TRUE(sender.wait(10s).has_value());
        kivLossStats loss{};
        kivGetDecoderLossStats(dec.get(), &loss);
        // Frames this reader was too slow for still arrived whole: count what arrived.
        const kivDecoderStats st = stats(dec.get());
        EXPECT_GE(st.framesReceived, kFrames * 97 / 100) << "last frame " << last << ", incomplete " << st.framesIncomplete
                                                         << ", lost " << loss.datagramsLost;
        EXPECT_GT(intact, 0u);
        EXPECT_GT(loss.datagramsRecovered, 0u) << "the link lost nothing: is the nftables rule in place?";
        EXPECT_EQ(stats(dec.get()).framesMalformed, 0u);
    }
}

TEST(UdpApi, ProtectedFramesSurviveRandomLossInAPrivateNamespace) {
    if (std::getenv("KIV_INSIDE_NETNS")) return protectedThroughLoss();
    if (shell("command -v nft >/dev/null 2>&1") != 0) GTEST_SKIP() << "nft (nftables) is not installed";
    inPrivateNetwork("UdpApi.ProtectedFramesSurviveRandomLossInAPrivateNamespace", "KIVSTREAM_UDP_OFFLOAD=0",
                     "nft add table inet loss && nft add chain inet loss input \"{ type filter hook input priority 0; }\" && "
                     "nft add rule inet loss input udp dport 22070 numgen random mod 1000 \"<\" 10 drop");
}

} // namespace
