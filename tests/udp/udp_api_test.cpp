// SPDX-License-Identifier: MIT
#include "net_test.hpp"

#include <arpa/inet.h>

#include <atomic>

#include "util/little_endian.hpp"

namespace {

using namespace nettest;
constexpr int kUdp = KIV_PROTOCOL_UDP;

TEST(UdpApi, MalformedDestinationsAndGroupsAreRefusedAtOnce) {
    const kivStreamFormat fmt{8, 8, KIV_DEPTH_24, 1};
    const Encoder enc(kivGetEncoder(kUdp, &fmt));
    for (const char *address :
         {"", "localhost", "127.0.0.1 ", "127.0.0", "256.1.1.1", "1.2.3.4.5", "::1", "0.0.0.0", "255.255.255.255"})
        EXPECT_EQ((std::pair{kivSetDestAddress(enc.get(), address, 22020), *kivLastErrorDetail() != '\0'}), std::pair(KIV_ERROR_ADDRESS, true)) << "'" << address << "'";
    // Protection and impairment are checked before any destination, and only UDP encoders take them.
    for (const int percent : {-1, 0, 100, 101})
        EXPECT_EQ(kivSetFecRedundancy(enc.get(), percent), percent % 100 ? KIV_ERROR_INVALID_ARGUMENT : KIV_OK) << percent;
    for (const kivImpairment &i : {kivImpairment{1'000'001, 0, 0, 0, 0}, {0, 1001, 0, 0, 0}, {0, 0, 1'000'001, 0, 0}, {0, 0, 0, 1, 0}})
        EXPECT_EQ(kivSetImpairment(enc.get(), &i), KIV_ERROR_INVALID_ARGUMENT);
    const kivImpairment most{1'000'000, 1000, 1'000'000, 0, 1};
    EXPECT_EQ(std::pair(kivSetImpairment(enc.get(), &most), kivSetImpairment(enc.get(), nullptr)), std::pair(KIV_OK, KIV_OK));
    const Encoder memory(kivGetEncoder(KIV_PROTOCOL_MEMORY, &fmt));
    EXPECT_EQ(std::pair(kivSetFecRedundancy(memory.get(), 10), kivSetImpairment(memory.get(), nullptr)),
              std::pair(KIV_ERROR_UNSUPPORTED, KIV_ERROR_UNSUPPORTED));
    for (const char *group : {"239.255.300.1", "10.1.2.3"}) {
        setenv("KIVSTREAM_MULTICAST_GROUP", group, 1);
        const Decoder dec(kivGetDecoder(kUdp, nullptr));
        EXPECT_EQ((std::pair{kivSetSourceAddress(dec.get(), 22021), kivLockReadBuffer(dec.get(), 0)}), (std::pair<int, const void *>(KIV_ERROR_ADDRESS, nullptr))) << group;
    }
    unsetenv("KIVSTREAM_MULTICAST_GROUP");
}

// Run as another user by the test below: binding the receiver's port must fail, whichever sharing option is tried.
void bindAsAnotherUser() {
    for (const int option : {SO_REUSEADDR, SO_REUSEPORT}) {
        const Socket s(::socket(AF_INET, SOCK_DGRAM, 0));
        const int on = 1;
        ::setsockopt(s.get(), SOL_SOCKET, option, &on, sizeof on);
        const sockaddr_in a{AF_INET, htons(22080), {INADDR_ANY}, {}};
        EXPECT_NE(::bind(s.get(), reinterpret_cast<const sockaddr *>(&a), sizeof a), 0) << "option " << option;
    }
    const Decoder taken(kivGetDecoder(kUdp, nullptr));
    EXPECT_EQ(kivSetSourceAddress(taken.get(), 22080), KIV_ERROR_BUSY);
    // Unprivileged, the big receive buffer is refused: the caller reads that, the library prints nothing.
    testing::internal::CaptureStderr();
    uint32_t requested = 0, granted = 0;
    {
        const Decoder dec = startDecoder(kUdp, 22081);
        EXPECT_EQ(kivGetReceiveBuffer(dec.get(), &requested, &granted), KIV_OK);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "the library wrote to stderr";
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
    EXPECT_EQ(shell("KIV_OTHER_USER=1 setpriv --reuid=65534 --regid=65534 --clear-groups " + thisProgram() +
                    " --gtest_filter=UdpApi.AnotherUserCannotBindAReceiversPort >/dev/null"),
              0);
}

// One datagram in a hundred dropped at random on the way in, one datagram to a packet (no offload):
// frames with the library's default protection still arrive whole, unicast and multicast, and so do
// frames without parity that the receiver asks for again; without either, few get through.
void protectedThroughLoss() {
    constexpr uint32_t kFrames = 50;
    const kivStreamFormat fmt{640, 480, KIV_DEPTH_24, 1};
    // oneWay: the receiver's requests never reach the sender (a firewall on the way back).
    struct Case { const char *address; int percent, budgetMs; bool oneWay = false; } const cases[] = {
        {"127.0.0.1", KIV_FEC_DEFAULT_PERCENT, 0}, {KIV_MULTICAST_GROUP, KIV_FEC_DEFAULT_PERCENT, 0},
        {"127.0.0.1", 0, KIV_REPAIR_DEFAULT_BUDGET_MS}, {"127.0.0.1", 0, 0},
        {"127.0.0.1", KIV_FEC_DEFAULT_PERCENT, KIV_REPAIR_DEFAULT_BUDGET_MS, true}};
    for (const auto &[address, percent, budgetMs, oneWay] : cases) {
        SCOPED_TRACE(testing::Message() << address << " with " << percent << "% parity, repair budget " << budgetMs
                                        << (oneWay ? ", one way" : ""));
        ASSERT_EQ(oneWay ? shell("nft add rule inet loss output udp sport 22070 drop") : 0, 0);
        const Decoder dec = startDecoder(kUdp, 22070, 0);
        ASSERT_EQ(kivSetRepairBudget(dec.get(), budgetMs), KIV_OK);
        setenv("KIVSTREAM_MULTICAST_GROUP", "239.255.10.99", 1); // a receiver of another group on the port hears nothing
        const Decoder otherGroup = address == std::string(KIV_MULTICAST_GROUP) ? startDecoder(kUdp, 22070) : Decoder{};
        unsetenv("KIVSTREAM_MULTICAST_GROUP");
        const Encoder enc = startEncoder(kUdp, fmt, address, 22070);
        ASSERT_EQ(kivSetFecRedundancy(enc.get(), percent), KIV_OK);
        const std::jthread sender([&] {
            auto next = Clock::now();
            // A steady rhythm, which the sender paces each frame to.
            for (uint32_t n = 0; n < kFrames; std::this_thread::sleep_until(next += 25ms), ++n)
                kivEncode(enc.get(), pattern(11, n, kivGetByteSize(&fmt)).data());
        });
        uint32_t intact = 0, last = 0;
        while (const auto r = receive(dec.get(), {}, 2s)) {
            EXPECT_EQ(r->bytes, pattern(11, r->info.frameNumber, kivGetByteSize(&fmt))) << r->info.frameNumber;
            ++intact;
            if ((last = r->info.frameNumber) + 1 == kFrames) break;
        }
        kivLossStats loss{};
        ASSERT_EQ(kivGetDecoderLossStats(dec.get(), &loss), KIV_OK);
        // Frames this reader was too slow for still arrived whole: count what arrived.
        const kivDecoderStats st = stats(dec.get());
        const bool protectedOrRepaired = percent || budgetMs;
        // Of the frames that went out: a machine too slow for the rhythm drops some before they do.
        const uint64_t sent = stats(enc.get()).framesSent;
        EXPECT_GE(sent, kFrames / 2);
        EXPECT_GE(st.framesReceived, protectedOrRepaired ? sent * 97 / 100 : 0)
            << "last frame " << last << ", incomplete " << st.framesIncomplete << ", lost " << loss.datagramsLost;
        EXPECT_EQ(loss.datagramsRecovered > 0, protectedOrRepaired) << loss.datagramsRecovered << ": no loss at all? check the nftables rule";
        EXPECT_EQ(loss.framesRebuilt > 0, protectedOrRepaired) << loss.framesRebuilt;
        // Without either, a frame of 660 datagrams almost never gets through 1% loss.
        if (!protectedOrRepaired) { EXPECT_LT(st.framesReceived, kFrames / 2); }
        else EXPECT_GT(intact, 0u);
        kivRepairStats repair{};
        ASSERT_EQ(kivGetDecoderRepairStats(dec.get(), &repair), KIV_OK);
        const bool repaired = budgetMs && !oneWay;
        EXPECT_EQ(repair.datagramsRepaired > 0, repaired) << repair.datagramsRequested << " requested";
        EXPECT_EQ(repair.state, repaired ? uint32_t(KIV_REPAIR_WORKING) : uint32_t(KIV_REPAIR_UNAVAILABLE));
        EXPECT_EQ(stats(dec.get()).framesMalformed, 0u);
        EXPECT_TRUE(waitUntil([&] { return allSent(enc.get(), kivGetByteSize(&fmt)); })) << "the sender still holds bytes";
        if (otherGroup) {
            const auto other = stats(otherGroup.get());
            EXPECT_EQ(std::pair(other.framesReceived, other.framesIncomplete), std::pair(uint64_t(0), uint64_t(0))) << "the other group got frames";
        }
    }
}

TEST(UdpApi, ProtectedFramesSurviveRandomLossInAPrivateNamespace) {
    if (std::getenv("KIV_INSIDE_NETNS")) return protectedThroughLoss();
    inPrivateNetwork("UdpApi.ProtectedFramesSurviveRandomLossInAPrivateNamespace", "KIVSTREAM_UDP_OFFLOAD=0",
                     "nft add table inet loss && nft add chain inet loss input \"{ type filter hook input priority 0; }\" && "
                     "nft add chain inet loss output \"{ type filter hook output priority 0; }\" && "
                     "nft add rule inet loss input udp dport 22070 numgen random mod 1000 \"<\" 10 drop", "nft");
}

// The first frame goes slowly until the second shows the caller's rhythm, and the rest of it at that pace: crammed
// before the second is due, it overflowed a link near its rate. Load only delays it further.
TEST(UdpApi, TheFirstFramesRestGoesAtThePaceTheSecondShows) {
    const kivStreamFormat fmt{640, 480, KIV_DEPTH_24, 1};
    const Decoder dec = startDecoder(kUdp, 22085);
    const Encoder enc = startEncoder(kUdp, fmt, "127.0.0.1", 22085);
    const auto picture = pattern(15, 0, kivGetByteSize(&fmt));
    kivEncode(enc.get(), picture.data());
    std::this_thread::sleep_for(100ms); // 400 kB of its 1 MB are out; 90 ms a frame from now on
    kivEncode(enc.get(), picture.data());
    const auto first = receive(dec.get(), {}, 2s);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->info.frameNumber, 0u);
    EXPECT_GE(first->info.receiveTimeUs - first->info.sendTimeUs, 130'000) << "its rest left in a burst";
}

// The newest frame's last datagrams are resent on request at once, not only once a next frame starts.
TEST(UdpApi, TheLastFrameIsRepairedWithoutANextOne) {
    const kivStreamFormat fmt{64, 64, KIV_DEPTH_24, 1};
    const Decoder dec = startDecoder(kUdp, 22086);
    const Encoder enc = startEncoder(kUdp, fmt, "127.0.0.1", 22086);
    const kivImpairment loss{300'000, 0, 0, 0, 3}; // loses a datagram of its last batch
    ASSERT_EQ(kivSetFecRedundancy(enc.get(), 0), KIV_OK);
    ASSERT_EQ(kivSetImpairment(enc.get(), &loss), KIV_OK);
    const auto picture = pattern(16, 0, kivGetByteSize(&fmt));
    ASSERT_EQ(kivEncode(enc.get(), picture.data()), KIV_OK);
    const auto r = receive(dec.get(), {}, 2s);
    ASSERT_TRUE(r) << stats(dec.get()).framesIncomplete << " incomplete";
    EXPECT_EQ(r->bytes, picture);
}

// Frames that come faster than the link takes them: in bursts of three, the third finds the second still waiting, and
// the caller protects it as it copies it. With 1% loss, a 1% parity floor and a receiver on parity alone, the reports
// raise the parity of every frame, whichever thread protected it; then every frame arrives whole.
TEST(UdpApi, FramesAheadOfTheLinkAreProtectedAsTheReportsAsk) {
    constexpr int kPort = 22090;
    const kivStreamFormat fmt{320, 240, KIV_DEPTH_24, 1};
    const size_t bytes = kivGetByteSize(&fmt);
    const Decoder dec = startDecoder(kUdp, kPort, 0);
    ASSERT_EQ(kivSetRepairBudget(dec.get(), 0), KIV_OK);
    const Encoder enc = startEncoder(kUdp, fmt, "127.0.0.1", kPort);
    const kivImpairment loss{10'000, 0, 0, 0, 7};
    ASSERT_EQ(kivSetFecRedundancy(enc.get(), 1), KIV_OK);
    ASSERT_EQ(kivSetImpairment(enc.get(), &loss), KIV_OK);
    ASSERT_EQ(kivSetMaxRate(enc.get(), 20'000'000), KIV_OK); // 12 ms a frame
    std::atomic<bool> sending = true;
    const std::jthread sender([&] {
        auto next = Clock::now();
        for (uint32_t n = 0; sending; std::this_thread::sleep_until(next += 30ms))
            for (int burst = 0; burst < 3; ++burst, ++n) kivEncode(enc.get(), pattern(14, n, bytes).data());
    });
    const auto readFor = [&](std::chrono::milliseconds span) {
        for (const auto end = Clock::now() + span; Clock::now() < end;)
            if (const auto r = receive(dec.get(), {}, 50ms)) {
                EXPECT_EQ(r->bytes, pattern(14, r->info.frameNumber, bytes)) << r->info.frameNumber;
            }
    };
    readFor(1500ms); // reports of the loss reach the sender
    kivUdpSenderStats u{};
    ASSERT_EQ(kivGetEncoderUdpStats(enc.get(), &u), KIV_OK);
    EXPECT_GE(u.parityPercent, 5u) << "2.5 x the loss + 5 points, for a receiver on parity alone";
    EXPECT_LE(u.paceBytesPerSecond, 20'000'000u) << "over the cap";
    const kivDecoderStats before = stats(dec.get());
    const uint64_t sentBefore = stats(enc.get()).framesSent;
    readFor(2000ms);
    sending = false;
    readFor(200ms);
    const kivDecoderStats after = stats(dec.get());
    const uint64_t sent = stats(enc.get()).framesSent - sentBefore;
    EXPECT_GE(sent, 60u) << "two frames of each burst go out";
    EXPECT_LE(after.framesIncomplete - before.framesIncomplete, 1u) << "of " << sent << " frames sent";
    EXPECT_EQ(after.framesMalformed, 0u);
    kivLossStats l{};
    ASSERT_EQ(kivGetDecoderLossStats(dec.get(), &l), KIV_OK);
    EXPECT_GT(l.framesRebuilt, 0u) << "no loss at all? check the impairment";
}

// Requests and reports are outside bytes. A flood of forged ones for the stream's own session, from a member of the
// group, costs the sender at most its resend budget and its parity limit, never a frame of the real receiver's, and
// no repair goes to the address a request came from.
void forgedFlood() {
    constexpr uint32_t kFrames = 40;
    constexpr int kPort = 22075;
    const kivStreamFormat fmt{640, 480, KIV_DEPTH_24, 1};
    const Decoder dec = startDecoder(kUdp, kPort, 0);
    const Socket spy(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0)), victim(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0));
    const int on = 1;
    ::setsockopt(spy.get(), SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    const sockaddr_in spyAt{AF_INET, htons(kPort), {INADDR_ANY}, {}}, victimAt = loopback(kPort + 1);
    ASSERT_EQ(::bind(spy.get(), reinterpret_cast<const sockaddr *>(&spyAt), sizeof spyAt), 0);
    ASSERT_EQ(::bind(victim.get(), reinterpret_cast<const sockaddr *>(&victimAt), sizeof victimAt), 0);
    ip_mreqn join{};
    ::inet_pton(AF_INET, KIV_MULTICAST_GROUP, &join.imr_multiaddr);
    ASSERT_EQ(::setsockopt(spy.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join), 0);

    const Encoder enc = startEncoder(kUdp, fmt, KIV_MULTICAST_GROUP, kPort);
    std::atomic<bool> sending = true;
    const std::jthread sender([&] {
        auto next = Clock::now();
        for (uint32_t n = 0; n < kFrames; std::this_thread::sleep_until(next += 40ms), ++n)
            kivEncode(enc.get(), pattern(12, n, kivGetByteSize(&fmt)).data());
        sending = false;
        sending.notify_all();
    });
    const std::jthread flood([&] {
        std::vector<uint8_t> d(9216);
        sockaddr_in from{};
        socklen_t len = sizeof from;
        while (::recvfrom(spy.get(), d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&from), &len) < 80) std::this_thread::sleep_for(1ms);
        const uint64_t session = kiv::le::get64(d.data() + 48);
        uint32_t frame = kiv::le::get32(d.data() + 44);
        // A request for every datagram of the newest frame, and a report of total loss (docs/udp.md).
        uint8_t request[32] = {'K', 'I', 'V', 'U', 3, 1, 1}, report[24] = {'K', 'I', 'V', 'U', 3, 2};
        for (uint8_t *m : {request, report}) kiv::le::put64(m + 8, session);
        kiv::le::put32(request + 28, 700);
        kiv::le::put32(report + 16, 1000);
        kiv::le::put32(report + 20, 1000);
        while (sending) {
            if (::recv(spy.get(), d.data(), d.size(), 0) >= 80) frame = kiv::le::get32(d.data() + 44);
            kiv::le::put32(request + 16, frame);
            for (const Socket *s : {&spy, &victim})
                for (const auto &[m, size] : {std::pair{request, sizeof request}, {report, sizeof report}})
                    ::sendto(s->get(), m, size, 0, reinterpret_cast<const sockaddr *>(&from), sizeof from);
            std::this_thread::sleep_for(200us);
        }
    });
    uint32_t intact = 0;
    while (const auto r = receive(dec.get(), {}, 2s)) {
        EXPECT_EQ(r->bytes, pattern(12, r->info.frameNumber, kivGetByteSize(&fmt))) << r->info.frameNumber;
        if (++intact == kFrames) break;
    }
    sending.wait(true);
    EXPECT_TRUE(waitUntil([&] { return stats(enc.get()).framesSent + stats(enc.get()).framesDropped == kFrames; }));
    EXPECT_EQ(intact, stats(enc.get()).framesSent) << "the flood cost the real receiver frames";
    // A sanitizer build too slow for the rhythm still sends some; ThreadSanitizer
    // slows every thread of the flood and the sender alike, several times over.
#ifdef __SANITIZE_THREAD__
    constexpr uint32_t kFewestIntact = kFrames / 10;
#else
    constexpr uint32_t kFewestIntact = kFrames / 4;
#endif
    EXPECT_GE(intact, kFewestIntact) << "the flood starved the sender";
    kivUdpSenderStats s{};
    ASSERT_EQ(kivGetEncoderUdpStats(enc.get(), &s), KIV_OK);
    EXPECT_GT(s.resendsOverBudget, 0u) << "the flood stayed within the budget: no test of it";
    // A third of the stream (parity at its limit included), and half as much again for the 200 ms it may spend at once.
    const double streamBytes = kivGetByteSize(&fmt) * (1 + KIV_FEC_MAX_ADAPTIVE_PERCENT / 100.0) * kFrames;
    EXPECT_LE(s.datagramsResent * 1472.0, streamBytes / 3 * 1.5);
    EXPECT_EQ(s.parityPercent, uint32_t(KIV_FEC_MAX_ADAPTIVE_PERCENT)) << "reports of total loss raise the parity to its limit, no further";
    std::vector<uint8_t> d(9216);
    EXPECT_LT(::recv(victim.get(), d.data(), d.size(), 0), 0) << "a repair went to the requester";
}

TEST(UdpApi, AForgedRequestFloodCostsNoMoreThanTheResendBudget) {
    if (std::getenv("KIV_INSIDE_NETNS")) return forgedFlood();
    inPrivateNetwork("UdpApi.AForgedRequestFloodCostsNoMoreThanTheResendBudget", "KIVSTREAM_UDP_OFFLOAD=0");
}

} // namespace
