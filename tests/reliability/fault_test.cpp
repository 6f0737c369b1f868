// Peers dying mid-stream and strangers at the door, across processes: the
// reader never gets a torn frame and takes up the next real peer by itself.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <set>

#include "../net_support/net_test.hpp"
#include "child_process.hpp"
#include "peer.hpp"
#include "transports/shm_segment.hpp"

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

int kill(Process &p, int sig = SIGKILL) {
    p.signal(sig);
    return p.exitCode();
}

// Removes the shared-memory names of these streams when it goes: a sender
// killed by SIGKILL leaves its segment behind.
struct SegmentCleanup {
    std::vector<int> streams;
    ~SegmentCleanup() {
        for (const int stream : streams) ::shm_unlink(kiv::shm::segmentName(::geteuid(), stream).c_str());
    }
};

class DeadPeers : public ::testing::TestWithParam<std::pair<int, int>> {}; // protocol, stream

// Big frames at a high rate: most of a sender's time goes into a frame's bytes,
// so the kill lands mid-frame.
TEST_P(DeadPeers, SenderKilledMidFrameIsFollowedByTheNextSender) {
    const auto [protocol, stream] = GetParam();
    const SegmentCleanup cleanup{{stream}};
    auto dec = startDecoder(protocol, stream);
    ASSERT_TRUE(dec);
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
    const SegmentCleanup cleanup{{stream + 1}};
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

// A frame header with the given size field, flags and format; the rest made up.
std::vector<uint8_t> header(uint32_t size, uint16_t flags, uint16_t w = 640, uint16_t h = 480,
                            uint16_t depth = KIV_DEPTH_24, uint32_t frame = 0) {
    return wireFrame({flags, {w, h, depth, 1}, frame, 0xbad, 0, size}, kiv::kWireHeaderSize);
}

TEST(JunkAtThePort, IdleTcpPeersAndHugeLengthsDoNotKeepTheSenderOut) {
    const int stream = 26100;
    auto dec = startDecoder(KIV_PROTOCOL_TCP, stream);
    ASSERT_TRUE(dec);
    // 64 idle peers, then liars with sizes a receiver must refuse before it
    // allocates: 4 GiB raw (not the format's size), 4 GiB JPEG (over the cap),
    // a raw frame of 65535x65535, and all ones.
    const std::vector<std::vector<uint8_t>> lies = {header(0xffffffffu, 0), header(0xffffffffu, 1),
                                                    header(0xffffffffu, 0, 65535, 65535), std::vector<uint8_t>(48, 0xff)};
    std::vector<Socket> peers;
    for (int i = 0; i < 64 + 16; ++i) {
        peers.push_back(connectTo(stream));
        ASSERT_TRUE(peers.back()) << "connection " << i;
        ASSERT_TRUE(i < 64 || sendAll(peers.back(), lies[size_t(i % 4)]));
    }
    Process sender(sending(KIV_PROTOCOL_TCP, stream, 5, 640, 480));
    Tally tally;
    EXPECT_TRUE(readUntil(dec.get(), tally, [&] { return tally[5] >= 10; }));
    for (int i = 0; i < 64; ++i) peers.push_back(connectTo(stream)); // must not push the sender out
    EXPECT_TRUE(readUntil(dec.get(), tally, [&] { return tally[5] >= 20; }));
    EXPECT_EQ(tally[0], 0) << "corrupt frames";
    EXPECT_GT(stats(dec.get()).framesMalformed, 0u); // some liars are closed unread to make room, the rest counted
}

// True while a socket of this network namespace is in SYN_SENT towards `port`.
bool redialling(int port) {
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, ":%04X 02 ", port); // remote port, state
    std::ifstream tcp("/proc/net/tcp");
    return std::string(std::istreambuf_iterator<char>(tcp), {}).find(wanted) != std::string::npos;
}

// Attacks beside a real 1280x720 sender at 15 frames/s, each of which must
// leave its stream as it would be without it: forged headers that claim 64 MiB
// from new connections, 20 a second; and a silent outage in a namespace of the
// test's own, the receiver restarted meanwhile, until the sender redials.
class TcpAttacks : public ::testing::TestWithParam<std::string> {};

TEST_P(TcpAttacks, BesideARealSenderLeaveItsStreamAsItWas) {
    const bool outage = GetParam() == "HealedOutage";
    const int stream = outage ? 26125 : 26120;
    if (outage && !std::getenv("KIV_INSIDE_NETNS")) {
        if (shell("command -v nft >/dev/null 2>&1") != 0) GTEST_SKIP() << "nft (nftables) is not installed";
        return inPrivateNetwork("*TcpAttacks*HealedOutage", "");
    }
    auto dec = startDecoder(KIV_PROTOCOL_TCP, stream);
    ASSERT_TRUE(dec);
    Process sender(sending(KIV_PROTOCOL_TCP, stream, 8, 1280, 720, 15));
    Tally tally;
    ASSERT_TRUE(readUntil(dec.get(), tally, [&] { return tally[8] >= 3; }));
    if (outage) {
        const std::string port = str(stream);
        ASSERT_EQ(shell("nft add table inet outage && nft add chain inet outage out '{ type filter hook output priority 0; }' && "
                        "nft add rule inet outage out tcp dport " + port + " drop && "
                        "nft add rule inet outage out tcp sport " + port + " drop"), 0);
        dec.reset();
        dec = startDecoder(KIV_PROTOCOL_TCP, stream);
        waitUntil([&] { return redialling(stream); }, 7s); // without a redial, TCP backs off for many seconds
        ASSERT_EQ(shell("nft delete table inet outage"), 0);
        const int before = tally[8];
        EXPECT_TRUE(readUntil(dec.get(), tally, [&] { return tally[8] > before; }, 3s)) << "no frame within 3 s of healing";
    } else {
        std::jthread forger([&](std::stop_token stop) {
            std::vector<Socket> peers;
            const auto lie = header(KIV_MAX_FRAME_BYTES, 1, 1280, 720);
            for (auto next = Clock::now(); !stop.stop_requested(); std::this_thread::sleep_until(next += 50ms))
                sendAll(peers.emplace_back(connectTo(stream)), lie);
        });
        // Numbers of the frames read until 60 have gone by; those pushed out
        // unread by the next arrived too (a reader slowed by a busy machine).
        std::set<uint32_t> got;
        const uint64_t unread = stats(dec.get()).framesDropped;
        for (const auto deadline = Clock::now() + 30s; Clock::now() < deadline && (got.empty() || *got.rbegin() - *got.begin() < 60);)
            if (kivLockReadBuffer(dec.get(), 50)) {
                kivFrameInfo info{};
                kivGetRecvFrameInfo(dec.get(), &info);
                got.insert(info.frameNumber);
                kivUnlockReadBuffer(dec.get());
            }
        forger = {};
        ASSERT_FALSE(got.empty());
        const uint64_t arrived = got.size() + stats(dec.get()).framesDropped - unread;
        EXPECT_GE(arrived * 100, 95 * (*got.rbegin() - *got.begin() + 1)) << arrived << " frames arrived";
    }
    EXPECT_EQ(tally[0], 0) << "corrupt frames";
}

INSTANTIATE_TEST_SUITE_P(Kinds, TcpAttacks, ::testing::Values("ForgedHeaders", "HealedOutage"),
                         [](const auto &info) { return info.param; });

// Random datagrams, a quarter starting like a frame header so the checks past
// the magic run too; or (huge) each one the first piece of a new 64 MiB frame,
// which a receiver must not answer by holding and clearing that much.
class UdpFlood : public ::testing::TestWithParam<bool> {};

TEST_P(UdpFlood, BesideARealSenderKeepsItsFramesComingIntact) {
    const bool huge = GetParam();
    const int stream = huge ? 26115 : 26110;
    auto dec = startDecoder(KIV_PROTOCOL_UDP, stream);
    ASSERT_TRUE(dec);
    Process sender(sending(KIV_PROTOCOL_UDP, stream, 6, 320, 240));
    Tally tally;
    ASSERT_TRUE(readUntil(dec.get(), tally, [&] { return tally[6] >= 3; }));

    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread flood([&] {
        Socket s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        std::mt19937 rng(26110);
        std::vector<uint8_t> d(huge ? 64 + 1024 : 1472, 0);
        const uint16_t chunk = 1024;
        const uint32_t count = KIV_MAX_FRAME_BYTES / chunk;
        std::memcpy(&d[52], &count, 4); // piece 0 at offset 0
        std::memcpy(&d[60], &chunk, 2);
        for (uint32_t i = 0; !stop && (huge || i < 5000); ++i, ++sent) {
            size_t size = d.size();
            if (huge) {
                const auto h = header(KIV_MAX_FRAME_BYTES, 0, 8192, 8192, KIV_DEPTH_8, i);
                std::copy(h.begin(), h.end(), d.begin());
            } else {
                size = rng() % d.size();
                for (auto &b : d) b = uint8_t(rng());
                if (i % 4 == 0 && size >= 48) {
                    const auto h = header(uint32_t(rng()), uint16_t(rng() & 1), uint16_t(rng()), uint16_t(rng()));
                    std::copy(h.begin(), h.end() - 4 * (rng() & 1), d.begin());
                }
            }
            const sockaddr_in to = loopback(stream);
            ::sendto(s.get(), d.data(), size, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
            if (i % (huge ? 8 : 64) == 0) std::this_thread::sleep_for(1ms); // some MB/s, spread over the frames
        }
    });
    const int before = tally[6];
    EXPECT_TRUE(readUntil(dec.get(), tally, [&] { return (huge || sent == 5000) && tally[6] >= before + (huge ? 20 : 10); },
                          huge ? 10s : 30s))
        << tally[6] - before << " frames under the flood";
    stop = true;
    flood.join();
    EXPECT_EQ(tally[0], 0) << "corrupt frames";
    EXPECT_TRUE(huge || stats(dec.get()).framesMalformed > 0) << "random datagrams not counted as malformed";
}

INSTANTIATE_TEST_SUITE_P(Kinds, UdpFlood, ::testing::Bool(),
                         [](const auto &info) { return std::string(info.param ? "HugeFrameClaims" : "RandomDatagrams"); });

// Random bytes left by a crashed or hostile program of the same user, readable by others.
TEST(JunkAtTheSegment, GarbageUnderTheStreamNameGivesWayToARealSender) {
    const int stream = 26200;
    const std::string name = "/kivvs2-" + std::to_string(::geteuid()) + "-" + std::to_string(stream);
    const SegmentCleanup cleanup{{stream}};
    std::vector<uint8_t> junk(8192);
    std::mt19937 rng(26200);
    for (auto &b : junk) b = uint8_t(rng());
    ::shm_unlink(name.c_str());
    {
        Socket f(::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644));
        ASSERT_GE(f.get(), 0);
        ::fchmod(f.get(), 0644);
        ASSERT_EQ(::write(f.get(), junk.data(), junk.size()), ssize_t(junk.size()));
    }
    auto dec = startDecoder(KIV_PROTOCOL_MEMORY, stream);
    ASSERT_TRUE(dec);
    Tally tally;
    readUntil(dec.get(), tally, [] { return false; }, 300ms); // the garbage alone gives nothing
    EXPECT_TRUE(tally.empty());

    Process sender(sending(KIV_PROTOCOL_MEMORY, stream, 9, 320, 240));
    EXPECT_TRUE(readUntil(dec.get(), tally, [&] { return tally[9] >= 5; }));
    EXPECT_EQ(tally[0], 0) << "corrupt frames";
    struct stat st{};
    ASSERT_EQ(::stat(("/dev/shm" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "the segment must be private to its user";
    kill(sender, SIGTERM);
}

} // namespace
