// SPDX-License-Identifier: MIT
#include "transports/udp.hpp"
#include "transports/udp_control.hpp"

#include <ctime>
#include <random>

#include "recording_sink.hpp"

namespace {

using namespace kiv;
using namespace nettest;

WireHeader header(uint32_t frame, const kivStreamFormat &fmt) { return frameHeader(fmt, 0x5eed, frame); }

TEST(UdpSockets, FramesArriveAfterJunkWithAndWithoutSegmentationOffload) {
    struct { bool gso, gro; size_t maxDatagram; int stream; } const cases[] = {
        {true, true, udp::kDefaultMaxDatagram, 22100},
        {true, false, udp::kMaxReceivedDatagram, 22101}, // the kernel splits for a receiver without GRO
        {false, true, udp::kDefaultMaxDatagram, 22102},
        {false, false, udp::kDefaultMaxDatagram, 22103},
        {true, true, 576, 22104},  // a small path MTU
        {true, true, 9000, 22105}, // jumbo datagrams
        {false, true, 100000, 22107}, // more than a datagram holds: capped
    };
    const kivStreamFormat fmt{640, 480, KIV_DEPTH_24, 1};
    constexpr int kJunk = 20;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.stream);
        // Parity alone: the half frame below must stay half.
        auto noRepair = std::make_shared<udp::ReceiverControls>();
        noRepair->budgetMs = 0;
        auto receiver = udp::makeReceiver({.allowGro = c.gro, .limits = {.timeoutUs = 100'000}, .controls = noRepair});
        RecordingSink sink{*receiver};
        ASSERT_EQ(receiver->start(c.stream), KIV_OK);
        const Socket raw(::socket(AF_INET, SOCK_DGRAM, 0));
        const sockaddr_in to = loopback(c.stream);
        std::mt19937 rng(c.stream);
        for (int i = 0; i <= kJunk; ++i) {
            // Every fifth starts plausibly; the last is larger than any datagram a receiver takes.
            std::vector<uint8_t> junk = pattern(c.stream, i, i == kJunk ? 20000 : rng() % 1473);
            if (i % 5 == 0 && junk.size() >= 8) std::memcpy(junk.data(), "KIVF\x01\x00\x30\x00", 8);
            ASSERT_GE(::sendto(raw.get(), junk.data(), junk.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to), 0);
        }
        ASSERT_TRUE(waitUntil([&] { return sink.counters.malformed == kJunk + 1; }));
        const auto controls = std::make_shared<udp::SenderControls>();
        auto sender = udp::makeSender({.maxDatagram = c.maxDatagram, .allowGso = c.gso, .controls = controls});
        // First somewhere nobody listens: reopening must move it.
        ASSERT_EQ(sender->open("127.0.0.1", c.stream + 50), KIV_OK);
        ASSERT_EQ(sender->sendFrame(header(100, fmt), pattern(0, 0, frameBytes64(fmt))), KIV_OK);
        // A failed reopen leaves no destination, as on every transport.
        ASSERT_EQ(sender->open("127.0.0.1.5", c.stream), KIV_ERROR_ADDRESS);
        EXPECT_EQ(sender->sendFrame(header(100, fmt), pattern(0, 0, frameBytes64(fmt))), KIV_ERROR_STATE);
        ASSERT_EQ(sender->open("127.0.0.1", c.stream), KIV_OK);
        // Another source with the same session: its frames are its own, kept apart by its address.
        auto twin = udp::makeSender({.maxDatagram = c.maxDatagram, .allowGso = c.gso});
        ASSERT_EQ(twin->open("127.0.0.1", c.stream), KIV_OK);
        for (uint32_t n = 0; n < 6; ++n) {
            const auto ours = pattern(c.stream, n, frameBytes64(fmt)), twins = pattern(~0u, n, frameBytes64(fmt));
            ASSERT_EQ(sender->sendFrame(header(n, fmt), ours), KIV_OK);
            ASSERT_EQ(twin->sendFrame(header(n, fmt), twins), KIV_OK);
            sink.waitFor([&](auto &f) { return f.header.frameNumber == n && f.payload == twins; }, 5s);
        }
        EXPECT_GE(sink.frames().size(), 10u) << "in all"; // a starved receiver may lose a frame or two on loopback
        // Half a frame, then silence: the receiver gives it up on its own clock.
        const uint64_t incomplete = sink.counters.incomplete;
        controls->setImpairment(false, {500'000, 0, 0, 0, 1});
        ASSERT_EQ(sender->sendFrame(header(6, fmt), pattern(0, 6, frameBytes64(fmt))), KIV_OK);
        EXPECT_TRUE(waitUntil([&] { return sink.counters.incomplete == incomplete + 1; }, 2s)) << sink.counters.incomplete;
        for (const auto &[h, payload] : sink.frames()) {
            const int owners = (payload == pattern(c.stream, h.frameNumber, payload.size())) + (payload == pattern(~0u, h.frameNumber, payload.size()));
            EXPECT_EQ(owners, 1) << "frame " << h.frameNumber << " of " << payload.size() << " bytes is not one sender's";
        }
        EXPECT_EQ(std::tuple(sink.counters.malformed.load(), sender->gsoActive()), std::tuple(kJunk + 1u, c.gso)) << "no fallback on lo";
    }
}

// Receivers that lost a datagram to one drop ask for it within a few milliseconds of each other: one resend
// answers them all. An ask that names datagrams three times over stands for them; a later ask is answered again.
TEST(UdpSockets, AsksForOneDatagramTogetherCostOneResend) {
    const kivStreamFormat fmt{640, 480, KIV_DEPTH_8, 1}; // 220 datagrams
    constexpr int kStream = 22111;
    const Socket listener(::socket(AF_INET, SOCK_DGRAM, 0));
    const sockaddr_in at = loopback(kStream);
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr *>(&at), sizeof at), 0);
    const timeval limit{5, 0};
    ::setsockopt(listener.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    const auto controls = std::make_shared<udp::SenderControls>();
    auto sender = udp::makeSender({.repairRingBytes = 500'000, .controls = controls}); // two frames: one with its parity, and the next
    ASSERT_EQ(sender->open("127.0.0.1", kStream), KIV_OK);
    ASSERT_EQ(sender->sendFrame(header(1, fmt), pattern(0, 1, frameBytes64(fmt))), KIV_OK);
    std::vector<uint8_t> d(65536);
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    ASSERT_GT(::recvfrom(listener.get(), d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&from), &fromLen), 0);
    ASSERT_TRUE(waitUntil([&] { return sender->counters.sent == 1; }));

    udp::RepairRequest ask{.session = 0x5eed, .frameNumber = 1, .rangeCount = 3}, foreign{.session = 0x5eef, .frameNumber = 1, .rangeCount = 1, .ranges = {{{0, 5}}}};
    std::array<uint8_t, udp::kMaxControlSize> bytes;
    const auto reply = [&](size_t size) { return ::sendto(listener.get(), bytes.data(), size, 0, reinterpret_cast<const sockaddr *>(&from), fromLen) == ssize_t(size); };
    // Another session's request and report, and junk, are refused and counted.
    ASSERT_TRUE(reply(udp::encodeRequest(foreign, bytes)));
    ASSERT_TRUE(reply(udp::encodeReport({.session = 0x5eef, .expected = 100, .lost = 50}, bytes)));
    ASSERT_TRUE(reply(3));
    ASSERT_TRUE(waitUntil([&] { return controls->requestsRefused == 3; })) << controls->requestsRefused;
    // The first asks for 200: the budget, a third of the frame's 4 MB/s for 200 ms, holds 181 datagrams of 1472 bytes. Once
    // frame 2 is out, frame 1 is no longer the newest, and its datagrams 50..54 are still answered. Of frame 3, going out
    // at 500 KB/s, only what went is resent: 50 ms in, not its datagrams 200..219. Frame 2 stays while frame 3 goes out.
    struct { uint32_t newest; uint64_t maxRate; std::chrono::milliseconds after; uint32_t asked, first, count; uint64_t resent; } const steps[] = {
        {1, 0, 200ms, 1, 0, 200, 181}, {1, 0, 20ms, 1, 0, 5, 186}, {2, 0, 20ms, 1, 50, 5, 191}, {3, 500'000, 50ms, 3, 200, 20, 191}, {3, 0, 0ms, 2, 0, 5, 196}};
    for (uint32_t n = 0; const auto &step : steps) {
        controls->maxRateBytesPerSecond = step.maxRate;
        if (n > 0 && step.newest != steps[n - 1].newest) {
            ASSERT_EQ(sender->sendFrame(header(step.newest, fmt), pattern(0, step.newest, frameBytes64(fmt))), KIV_OK);
            if (step.maxRate == 0) { ASSERT_TRUE(waitUntil([&] { return sender->counters.sent == step.newest; })); }
        }
        std::this_thread::sleep_for(step.after);
        ask.frameNumber = step.asked, ask.ranges.fill({step.first, step.count});
        ASSERT_TRUE(reply(udp::encodeRequest(ask, bytes)));
        ++n;
        ASSERT_TRUE(waitUntil([&] { return controls->requestsAccepted == n; })) << controls->requestsAccepted;
        EXPECT_EQ(controls->datagramsResent.load(), step.resent) << "after ask " << n;
    }
    EXPECT_EQ(controls->resendsOverBudget.load(), 3 * 19u); // each range asks again
}

// KIVSTREAM_UDP_OFFLOAD=0 turns both offloads off, any other value leaves them on; the receive buffer granted is
// reported as the kernel sized it. Closing wakes the sending thread from its idle wait (100 ms) at once.
TEST(UdpSockets, OffloadSwitchTheBufferGrantedAndAPromptClose) {
    Clock::duration quickestClose = 1h; // the quickest of three: a busy machine may hold up any one
    for (const char *value : {"0", "1", ""}) {
        SCOPED_TRACE(value);
        ::setenv("KIVSTREAM_UDP_OFFLOAD", value, 1);
        const bool on = std::string(value) != "0";
        const auto receiver = udp::makeReceiver(udp::defaultReceiverOptions(nullptr));
        ASSERT_EQ(receiver->start(22106), KIV_OK);
        EXPECT_EQ(receiver->info().groActive, on);
        auto sender = udp::makeSender(udp::defaultSenderOptions(nullptr));
        ASSERT_EQ(sender->open("127.0.0.1", 22106), KIV_OK);
        EXPECT_EQ(sender->gsoActive(), on);
        std::this_thread::sleep_for(10ms); // its thread now waits for frames
        const auto start = Clock::now();
        sender.reset();
        quickestClose = std::min(quickestClose, Clock::now() - start);
        const ReceiveBuffer b = receiver->receiveBuffer();
        EXPECT_EQ(b.requestedBytes, 32u << 20);
        EXPECT_LE(b.grantedBytes, b.requestedBytes);
        if (::geteuid() == 0) { EXPECT_EQ(b.grantedBytes, b.requestedBytes) << "root may pass net.core.rmem_max"; }
    }
    ::unsetenv("KIVSTREAM_UDP_OFFLOAD");
    EXPECT_LT(quickestClose / 1ms, 50) << "closing waited for the sending thread's idle wait";
}

// A network out of reach (a cable pulled, a VPN down) loses the frames sent meanwhile, but is no reason to stop
// handing the kernel whole batches to segment: that is for a route that cannot.
TEST(UdpSockets, AnUnreachableNetworkKeepsSegmentationOffload) {
    if (!std::getenv("KIV_INSIDE_NETNS")) return inPrivateNetwork("UdpSockets.AnUnreachable*", "");
    const kivStreamFormat fmt{640, 480, KIV_DEPTH_24, 1};
    auto sender = udp::makeSender({});
    ASSERT_EQ(sender->open("10.1.2.3", 22112), KIV_OK) << "a namespace of our own: no route but loopback";
    ASSERT_TRUE(sender->gsoActive());
    ASSERT_EQ(sender->sendFrame(header(1, fmt), pattern(1, 1, frameBytes64(fmt))), KIV_OK);
    ASSERT_TRUE(waitUntil([&] { return sender->counters.sent + sender->counters.dropped == 1; }));
    EXPECT_EQ(sender->counters.dropped.load(), 1u);
    EXPECT_TRUE(sender->gsoActive());
}

// A route that queues each burst and whose MTU is below our datagrams: offload falls back, a full buffer is waited out.
TEST(UdpSockets, SlowNetworkNeverBlocksTheCallerAndEveryFrameIsAccountedFor) {
    if (!std::getenv("KIV_INSIDE_NETNS"))
        return inPrivateNetwork("UdpSockets.SlowNetwork*", "", "ip link set lo mtu 1400 && tc qdisc add dev lo root tbf rate 32mbit burst 64kb limit 1mb");
    // At 2 MB/s a 900 KB frame takes ~0.4 s to leave; the first, refused offload, goes again datagram by datagram.
    const kivStreamFormat fmt{640, 480, KIV_DEPTH_24, 1};
    const auto payload = pattern(1, 0, frameBytes64(fmt));
    const auto controls = std::make_shared<udp::SenderControls>();
    auto sender = udp::makeSender({.paceBytesPerSecond = 2'000'000, .burstBytes = 64 * 1024, .sendBufferBytes = 16 * 1024, .controls = controls});
    ASSERT_EQ(sender->open("127.0.0.1", 22110), KIV_OK);
    const auto start = Clock::now();
    const std::clock_t cpuStart = std::clock();
    ASSERT_EQ(sender->sendFrame(header(0, fmt), payload), KIV_OK);
    EXPECT_TRUE(waitUntil([&] { return sender->counters.sent == 1; })) << "dropped " << sender->counters.dropped;
    constexpr uint64_t kFrames = 40;
    for (uint32_t n = 0; n < kFrames; ++n) ASSERT_EQ(sender->sendFrame(header(n, fmt), payload), KIV_OK);
    EXPECT_GE(sender->counters.dropped.load(), kFrames - 3) << "unsent frames are replaced, not queued";
    EXPECT_TRUE(waitUntil([&] { return sender->counters.sent + sender->counters.dropped == kFrames + 1; }, 20s));
    EXPECT_FALSE(sender->gsoActive()) << "GSO kept over an MTU below the datagrams";
    EXPECT_GE(Clock::now() - start, sender->counters.sent.load() * 400ms) << "the pace let a frame out early";
    EXPECT_LT(double(std::clock() - cpuStart) / CLOCKS_PER_SEC, 0.5 * std::chrono::duration<double>(Clock::now() - start).count())
        << "a paced sender sleeps while it waits, it does not spin";
    EXPECT_EQ(controls->paceBytesPerSecond.load(), 2'000'000u) << "the pace the frames left at, as reported";

    // Destroyed in the middle of a paced frame: the sending thread must stop, not finish it.
    ASSERT_EQ(sender->sendFrame(header(kFrames, fmt), payload), KIV_OK);
    sender.reset();
}

} // namespace
