// SPDX-License-Identifier: MIT
#include <fstream>

#include "net_test.hpp"
#include "child_process.hpp"
#include "peer.hpp"

namespace {

using namespace reltest;
using namespace nettest;
using kivtest::Process;

std::string str(auto v) { return std::to_string(v); }

// A sender in a child process; it ends with 1 at its first failed send.
KIV_TEST_CHILD(sender) {
    const int protocol = std::stoi(args.at(0)), stream = std::stoi(args.at(1)), fps = std::stoi(args.at(5));
    const kivStreamFormat fmt{uint16_t(std::stoi(args.at(3))), uint16_t(std::stoi(args.at(4))), KIV_DEPTH_24, 1};
    const auto deadline = Clock::now() + 120s;
    bool failed = false;
    const int rc = sendFrames(protocol, stream, std::stoull(args.at(2)), fmt, fps, [&](bool ok) {
        failed = !ok;
        return ok && Clock::now() < deadline;
    });
    return failed ? 1 : rc;
}

kivtest::Spawn sending(int protocol, int stream, uint64_t seed, uint16_t w, uint16_t h, int fps = 60) {
    return {"sender", {str(protocol), str(stream), str(seed), str(w), str(h), str(fps)}};
}

// A receiver in a child process: once 3 intact frames came it dies by `sig`,
// or exits 0 if that is 0; 2 at a corrupt frame.
KIV_TEST_CHILD(receiver) {
    const int protocol = std::stoi(args.at(0)), stream = std::stoi(args.at(1)), sig = std::stoi(args.at(2));
    const Decoder dec(kivGetDecoder(protocol, nullptr));
    Tally tally;
    if (!dec || kivSetSourceAddress(dec.get(), stream) != KIV_OK ||
        !readUntil(dec.get(), tally, [&] { return tally[0] > 0 || tally[7] >= 3; }))
        return 1;
    if (tally[0] == 0 && sig) ::raise(sig);
    return tally[0] ? 2 : 0;
}

kivtest::Spawn receiving(int protocol, int stream, int sig) { return {"receiver", {str(protocol), str(stream), str(sig)}}; }

int kill(Process &p, int sig = SIGKILL) { return p.signal(sig), p.exitCode(); }

class DeadPeers : public ::testing::TestWithParam<std::pair<int, int>> {}; // protocol, stream

// Big frames at a high rate: most of a sender's time goes into a frame's bytes, so the kill lands mid-frame.
TEST_P(DeadPeers, SenderKilledMidFrameIsFollowedByTheNextSender) {
    const auto [protocol, stream] = GetParam();
    auto dec = startDecoder(protocol, stream);
    Tally tally;
    for (uint64_t seed = 1; seed <= 3; ++seed) {
        Process sender(sending(protocol, stream, seed, 1280, 720));
        ASSERT_TRUE(readUntil(dec.get(), tally, [&] { return tally[seed] >= 3; })) << "sender " << seed;
        EXPECT_EQ(kill(sender), 128 + SIGKILL);
    }
    EXPECT_EQ(tally[0], 0) << "corrupt frames";
}

TEST_P(DeadPeers, ReceiverKilledIsReplacedWhileTheSenderCarriesOn) {
    const auto [protocol, stream] = GetParam();
    Process first(receiving(protocol, stream + 1, SIGKILL)); // TCP: the sender keeps reconnecting until it listens
    Process sender(sending(protocol, stream + 1, 7, 640, 480, 100));
    EXPECT_EQ(first.exitCode(), 128 + SIGKILL) << "no frames, or a corrupt one";
    Process next(receiving(protocol, stream + 1, 0));
    EXPECT_EQ(next.exitCode(), 0);
    EXPECT_EQ(kill(sender), 128 + SIGKILL) << "the sender gave up on a failed send";
}

INSTANTIATE_TEST_SUITE_P(AllTransports, DeadPeers,
                         ::testing::Values(std::pair{KIV_PROTOCOL_UDP, 26010}, std::pair{KIV_PROTOCOL_TCP, 26020},
                                           std::pair{KIV_PROTOCOL_MEMORY, 26030}),
                         [](const auto &info) { return std::string(info.index == 0 ? "udp" : info.index == 1 ? "tcp" : "memory"); });

// True while a socket of this network namespace is in SYN_SENT towards `port`.
bool redialling(int port) {
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, ":%04X 02 ", port); // remote port, state
    std::ifstream tcp("/proc/net/tcp");
    return std::string(std::istreambuf_iterator<char>(tcp), {}).find(wanted) != std::string::npos;
}

// A silent outage, the receiver restarted meanwhile: the sender must find the
// new receiver once the link heals, not after TCP's backed-off retransmits.
TEST(TcpOutage, TheSenderRedialsAndFindsTheRestartedReceiverOnceTheLinkHeals) {
    const int stream = 26125;
    if (!std::getenv("KIV_INSIDE_NETNS")) return inPrivateNetwork("TcpOutage.*", "", "true", "nft");
    auto dec = startDecoder(KIV_PROTOCOL_TCP, stream);
    Process sender(sending(KIV_PROTOCOL_TCP, stream, 8, 1280, 720, 15));
    Tally tally;
    ASSERT_TRUE(readUntil(dec.get(), tally, [&] { return tally[8] >= 3; }));
    const std::string port = str(stream);
    ASSERT_EQ(shell("nft add table inet outage && nft add chain inet outage out '{ type filter hook output priority 0; }' && "
                    "nft add rule inet outage out tcp dport " + port + " drop && "
                    "nft add rule inet outage out tcp sport " + port + " drop"), 0);
    dec.reset(); // first: the new one takes the same port
    dec = startDecoder(KIV_PROTOCOL_TCP, stream);
    waitUntil([&] { return redialling(stream); }, 7s); // without a redial, TCP backs off for many seconds
    ASSERT_EQ(shell("nft delete table inet outage"), 0);
    const int before = tally[8];
    EXPECT_TRUE(readUntil(dec.get(), tally, [&] { return tally[8] > before; }, 3s)) << "no frame within 3 s of healing";
    EXPECT_EQ(tally[0], 0) << "corrupt frames";
}

} // namespace
