// SPDX-License-Identifier: MIT
#include "transports/udp_reassembler.hpp"

#include <algorithm>
#include <map>
#include <random>

#include "recording_sink.hpp"
#include "util/little_endian.hpp"

namespace {

using namespace kiv;
using namespace kiv::udp;
using nettest::pattern;
using Sink = nettest::RecordingSink;

WireHeader rawHeader(uint64_t session, uint32_t frame, kivStreamFormat fmt = {320, 240, KIV_DEPTH_24, 1}) { return nettest::frameHeader(fmt, session, frame); }

std::vector<std::vector<uint8_t>> fragments(const WireHeader &h, const std::vector<uint8_t> &payload,
                                            size_t maxDatagram = kDefaultMaxDatagram, int fec = 0) {
    FramePacker packer;
    packer.pack(h, payload, maxDatagram, fec);
    std::vector<std::vector<uint8_t>> out;
    for (size_t i = 0; i < packer.count(); ++i) out.push_back(packer.datagram(i));
    return out;
}
std::vector<std::vector<uint8_t>> fragments(const WireHeader &h, uint64_t seed, int fec = 0) { return fragments(h, pattern(seed, h.frameNumber, h.payloadSize), kDefaultMaxDatagram, fec); }

const Source kA{0x7f000001, 40000}, kB{0x7f000001, 40001};

void feedFrame(Reassembler &r, const Source &src, const WireHeader &h, uint64_t seed, int64_t now = 0) { for (const auto &d : fragments(h, seed)) r.feed(src, d, now); }
std::vector<uint64_t> sessions(const std::vector<Sink::Frame> &frames) { std::vector<uint64_t> ids; for (const auto &f : frames) ids.push_back(f.header.sessionId); return ids; }

// A frame of `seed`'s pattern as a sender that answers repair requests packs it. It owns the payload its
// datagrams are cut from.
struct RepairableFrame {
    std::vector<uint8_t> payload;
    FramePacker packer;
    RepairableFrame(const WireHeader &h, uint64_t seed, int fec = 0) : payload(pattern(seed, h.frameNumber, h.payloadSize)) {
        packer.pack(h, payload, kDefaultMaxDatagram, fec, kFlagRepairable);
    }
    RepairableFrame(const RepairableFrame &) = delete; // a copy's datagrams would be cut from the original's payload
};

// A reassembler whose receiver asks for repairs within `budgetMs` (0: relies on parity alone).
struct Receiving {
    Sink sink;
    RepairCounters repair;
    Reassembler r{sink.queue, {}, &repair};
    explicit Receiving(uint32_t budgetMs) { repair.budgetMs = budgetMs; }
};

TEST(Reassembler, LossReorderAndDuplicationNeverDeliverACorruptFrame) {
    // A datagram arrives up to `window` places late. Frames of 41 data fragments (padded rows), more than any window:
    // with no loss no frame is overtaken by a complete newer one. At 10% redundancy one block with 5 parity fragments.
    struct { const char *name; double loss, duplicate; size_t window; uint32_t seed; int fec; } const cases[] = {
        {"reordered+duplicated", 0, 0.3, 32, 4, 0},
        {"heavy loss", 0.05, 0.1, 64, 6, 0},
        {"protected, reordered+duplicated", 0, 0.3, 32, 7, 10},
        {"protected, 2% loss, reordered", 0.02, 0.05, 16, 8, 10},
        {"protected, heavy loss", 0.15, 0.1, 64, 9, 10},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Sink sink;
        Reassembler r(sink.queue);
        std::mt19937 rng(c.seed);
        std::uniform_real_distribution<double> coin(0, 1);
        std::map<std::pair<uint64_t, uint64_t>, std::vector<uint8_t>> inFlight; // (arrival slot, sequence)
        uint64_t slot = 0, seq = 0; // a datagram every 10 us
        auto send = [&](std::vector<uint8_t> d) { inFlight.emplace(std::pair{slot + rng() % c.window, seq++}, std::move(d)); };
        auto arrive = [&](uint64_t upTo) {
            for (; !inFlight.empty() && inFlight.begin()->first.first <= upTo; inFlight.erase(inFlight.begin()))
                r.feed(kA, inFlight.begin()->second, int64_t(slot) * 10);
        };
        constexpr uint32_t kFrames = 120;
        for (uint32_t f = 0; f < kFrames; ++f) {
            for (auto &d : fragments(rawHeader(77, f, {161, 119, KIV_DEPTH_24, 1}), 77, c.fec)) {
                ++slot;
                if (coin(rng) < c.loss) continue;
                if (coin(rng) < c.duplicate) send(d);
                send(std::move(d));
                arrive(slot);
            }
        }
        arrive(UINT64_MAX);
        r.expire(int64_t(slot) * 10 + 10'000'000);

        const auto frames = sink.frames();
        for (size_t i = 0; i < frames.size(); ++i) {
            const WireHeader &h = frames[i].header;
            if (i > 0) { ASSERT_GT(h.frameNumber, frames[i - 1].header.frameNumber) << "out of order or twice"; }
            ASSERT_EQ(frames[i].payload, pattern(77, h.frameNumber, h.payloadSize)) << "frame " << h.frameNumber;
        }
        EXPECT_EQ(frames.size() + sink.counters.incomplete, kFrames) << "every frame is delivered or counted";
        EXPECT_EQ(sink.counters.incomplete > 0, c.loss > 0 && (!c.fec || c.loss >= 0.05)) << sink.counters.incomplete;
        // Reordered parity may also stand in for data that is only late.
        if (!c.fec || c.loss > 0) { EXPECT_EQ(sink.counters.rebuilt > 0, c.fec > 0) << sink.counters.rebuilt; }
    }
}

// A tenth of the datagrams lost, frames of 165 every 10 ms: about ten reports a second, as the sender parses them,
// together telling the loss and that this receiver (budget 0) relies on parity alone; none to a sender that takes none.
TEST(Reassembler, ReportsTellTheLossTenTimesASecond) {
    Receiving receiving(0);
    Feedback out;
    uint64_t reports = 0, expected = 0, lost = 0;
    for (uint32_t n = 0; n < 100; ++n) {
        const RepairableFrame frame(rawHeader(1, n), 1, 10);
        for (size_t i = 0; i < frame.packer.count(); ++i) {
            auto datagram = frame.packer.datagram(i);
            const int64_t now = n * 10'000 + int64_t(i) * 50;
            if (i % 10 != 3) receiving.r.feed({1, 2}, datagram, now);
            datagram[6] = 0; // flags: this sender takes no reports
            receiving.r.feed({1, 3}, datagram, now);
            receiving.r.service(now, out);
            for (const auto &[to, report] : std::exchange(out.reports, {})) {
                std::array<uint8_t, kMaxControlSize> bytes;
                LossReport back;
                ASSERT_EQ(parseReport(std::span(bytes).first(encodeReport(report, bytes)), back), ControlError::None);
                EXPECT_EQ(std::pair(to.port, back.parityOnly), std::pair(uint16_t(2), true));
                ++reports, expected += back.expected, lost += back.lost;
            }
        }
    }
    EXPECT_NEAR(double(reports), 10, 1);
    EXPECT_NEAR(double(lost) / double(expected), 0.1, 0.01) << lost << " of " << expected;
    EXPECT_NEAR(receiving.repair.lossPerMillion.load(), 100'000, 10'000) << "the loss the receiver shows, lately";
}

// One protected frame through loss patterns: byte for byte or not at all, the loss counted, and only what parity cannot
// rebuild asked for (no margin yet: no loss measured). 220 data fragments in 4 interleaved blocks (fragment i in block
// i % 4, 55 of them) with 6 parity fragments each, parity 220..243 (parity p in block p % 4); the last is short.
TEST(Reassembler, ProtectedFrameIsRebuiltByteExactOrNotDelivered) {
    const RepairableFrame frame(rawHeader(3, 1, {640, 480, KIV_DEPTH_8, 1}), 3, 10);
    struct Case { const char *name; std::function<bool(size_t)> lost; bool delivered; uint64_t lost_, recovered, requested; bool reversedAndTwice = false, forgeParity = false; } const cases[] = {
        {"all parity lost", [](size_t i) { return i >= 220; }, true, 0, 0, 0},
        {"a burst of 24 over block edges: 6 per block", [](size_t i) { return i >= 100 && i < 124; }, true, 24, 24, 0},
        {"one more than a block's parity", [](size_t i) { return i < 25; }, false, 25, 18, 1},
        {"four more than its parity in every block", [](size_t i) { return i < 40; }, false, 40, 0, 16},
        {"the short last fragment", [](size_t i) { return i == 219; }, true, 1, 1, 0},
        {"a burst from the data into the parity", [](size_t i) { return i >= 208 && i < 232; }, true, 12, 12, 0},
        // 20 lost, 5 a block; a block is rebuilt as soon as it can be, so some that were only late count too.
        {"parity first, every datagram twice", [](size_t i) { return i < 220 && i % 11 == 0; }, true, 24, 24, 0, true},
        {"a forged parity fragment", [](size_t i) { return i == 0; }, false, 1, 1, 0, false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Receiving rx(1000);
        std::vector<std::vector<uint8_t>> sent;
        for (size_t i = 0; i < frame.packer.count(); ++i) {
            if (c.lost(i)) continue;
            sent.push_back(frame.packer.datagram(i));
            if (c.forgeParity && i == 220) sent.back().back() ^= 0x40;
            if (c.reversedAndTwice) sent.push_back(frame.packer.datagram(i));
        }
        if (c.reversedAndTwice) std::reverse(sent.begin(), sent.end());
        for (const auto &d : sent) rx.r.feed(kA, d, 0);
        if (c.forgeParity) { EXPECT_EQ(rx.r.bytesHeld(), 0u) << "a frame found wrong is let go at once"; }
        Feedback out;
        for (int64_t t = 0; t < 100'000 && out.requests.empty(); t += 500) rx.r.service(t, out);
        if (c.requested) { EXPECT_EQ(out.requests.at(0).second.rangeCount, 1u) << "what is missing, named in as few ranges as can be"; }
        rx.r.expire(10'000'000);
        const auto frames = rx.sink.frames();
        ASSERT_EQ(frames.size(), c.delivered);
        if (c.delivered) { EXPECT_EQ(frames[0].payload, frame.payload); }
        const ReceiverCounters &n = rx.sink.counters;
        EXPECT_EQ(std::tuple(n.incomplete.load(), n.malformed.load(), n.lost.load(), n.recovered.load(), n.rebuilt.load(), rx.r.bytesHeld(), rx.repair.datagramsRequested.load()),
                  std::tuple(!c.delivered, c.forgeParity, c.lost_, c.recovered, c.delivered && c.recovered, 0u, c.requested));
    }
}

TEST(Reassembler, ARoundOfRequestsIsAtMost16MessagesHoweverMuchIsMissing) {
    Receiving rx(1000);
    const RepairableFrame frame(rawHeader(4, 1, {1920, 1080, KIV_DEPTH_24, 1}), 4);
    for (size_t i = 0; i < frame.packer.count(); i += 2) rx.r.feed(kA, frame.packer.datagram(i), 0);
    Feedback out;
    for (int64_t t = 0; t < 100'000 && out.requests.empty(); t += 500) rx.r.service(t, out);
    EXPECT_EQ(out.requests.size(), 16u);
}

// The least parity still protects: at 1% each block of a frame carries a parity fragment, and a frame of one datagram
// carries one too. A sender may also use blocks as wide as GF(2^8) allows, 255 fragments: 128 data and 127 parity
// fragments rebuild 127 lost. What is lost comes back byte for byte.
TEST(Reassembler, TheLeastParityAndTheWidestBlockRebuildWhatIsLost) {
    constexpr size_t kChunk = 600; // 320x240x8 in 128 fragments
    struct { const char *name; kivStreamFormat fmt; int percent; size_t datagrams, lost; } const cases[] = {
        {"1% of 220 data fragments in 4 blocks", {640, 480, KIV_DEPTH_8, 1}, 1, 224, 1},
        {"a frame of one datagram", {32, 32, KIV_DEPTH_8, 1}, 10, 2, 1},
        {"one block of 128 data and 127 parity fragments, built here: no sender chooses it", {320, 240, KIV_DEPTH_8, 1}, 0, 255, 127},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const WireHeader h = rawHeader(5, 1, c.fmt);
        const auto payload = pattern(5, 1, h.payloadSize);
        FramePacker packer;
        std::vector<uint8_t> parity(127 * kChunk);
        Protection widest;
        if (c.percent) packer.pack(h, payload, kDefaultMaxDatagram, c.percent);
        else {
            ASSERT_TRUE(layoutFromWire(128, 128, 127, widest.layout));
            widest.checksum = BlockCoder().encode(widest.layout, kChunk, payload, parity);
            widest.parity = parity;
            packer.pack(h, payload, kDatagramHeaderSize + kChunk, widest, 0);
        }
        ASSERT_EQ(packer.count(), c.datagrams);
        Sink sink;
        Reassembler r(sink.queue);
        for (size_t i = c.lost; i < packer.count(); ++i) r.feed(kA, packer.datagram(i), 0); // the first `lost` lost
        const auto frames = sink.frames();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].payload, payload);
        EXPECT_EQ(std::pair(sink.counters.recovered.load(), sink.counters.rebuilt.load()), std::pair(uint64_t(c.lost), uint64_t(1)));
    }
}

// A frame whose last datagram was lost gives no sign that it is over, but the sender's next frame does: the loss
// is asked for then, not after a silence long enough for a paced sender's gaps (50 ms for a frame in one burst).
TEST(Reassembler, TheNextFrameStartingEndsTheWaitForALostEnd) {
    Receiving receiving(1000);
    Feedback out;
    constexpr kivStreamFormat kSmall{64, 48, KIV_DEPTH_8, 1};
    const RepairableFrame frames[3] = {{rawHeader(9, 0, kSmall), 9}, {rawHeader(9, 1, kSmall), 9}, {rawHeader(9, 2, kSmall), 9}};
    constexpr int64_t kStart = 1'000'000;
    receiving.r.feed(kA, frames[2].packer.datagram(0), kStart); // overtakes the others: still arriving as they start
    receiving.r.feed(kA, frames[0].packer.datagram(0), kStart);
    receiving.r.feed(kA, frames[0].packer.datagram(1), kStart);
    int64_t askedAt = INT64_MAX; // never
    for (int64_t t = kStart; t < kStart + 100'000 && askedAt == INT64_MAX; t += 500) {
        if (t == kStart + 2'000) receiving.r.feed(kA, frames[1].packer.datagram(0), t);
        receiving.r.service(t, out);
        ASSERT_GT(out.nextUs, t) << "frames in flight are looked at again later, not at once";
        for (const auto &[to, request] : out.requests)
            if (request.frameNumber == 0) askedAt = t;
        out.clear();
    }
    EXPECT_LE(askedAt - kStart, 10'000);
    EXPECT_EQ(receiving.repair.requestsSent.load(), 1u) << "one request names what is lost, none what is still arriving";
    EXPECT_EQ(receiving.repair.state.load(), uint32_t(KIV_REPAIR_UNKNOWN)) << "too soon to say requests go unheard";
    auto heard = frames[2].packer.datagram(1);
    heard[6] |= kFlagHeard; // the sender says our reports reach it: repair works before any answer
    receiving.r.feed(kA, heard, kStart + 200'000);
    receiving.r.service(kStart + 200'000, out);
    EXPECT_EQ(receiving.repair.state.load(), uint32_t(KIV_REPAIR_WORKING));
}

// Of several receivers of a group that lost the same datagram, the first to ask usually spares the others theirs: each
// waits up to 2 ms at random after the frame is over: its last datagram came, or 50 ms of silence ended a burst.
TEST(Reassembler, ReceiversOfAGroupAskAfterARandomWaitOfUpTo2Ms) {
    const RepairableFrame frame(rawHeader(7, 0, {64, 48, KIV_DEPTH_8, 1}), 7);
    constexpr int64_t kOver = 1'000'000, kBurst = kOver - 50'000;
    std::vector<int64_t> waits;
    for (int receiver = 0; receiver < 40; ++receiver) {
        Receiving receiving(1000);
        Feedback out;
        receiving.r.feed(kA, frame.packer.datagram(0), kBurst);
        receiving.r.feed(kA, frame.packer.datagram(receiver % 2 ? 2 : 1), receiver % 2 ? kOver : kBurst); // the last, or the end lost
        for (int64_t t = kOver; t <= kOver + 10'000 && out.requests.empty(); t += 100) {
            receiving.r.service(t, out);
            if (!out.requests.empty()) waits.push_back(t - kOver);
        }
    }
    ASSERT_EQ(waits.size(), 40u);
    const auto [shortest, longest] = std::ranges::minmax(waits);
    EXPECT_LE(longest, 2'000);
    EXPECT_GE(longest - shortest, 500) << "receivers ask together";
}

// A receiver asks again only once the answer is overdue, after about twice the time answers took (sooner doubles the
// repairs on a long path, later is slow). Answers take 30 ms here; the last frame's is never sent.
TEST(Reassembler, AsksAgainOnlyOnceTheAnswerIsOverdue) {
    Receiving receiving(1000);
    Feedback out;
    constexpr uint32_t kFrames = 8;
    std::vector<int64_t> lastFramesAsks;
    for (uint32_t n = 0; n < kFrames; ++n) {
        const int64_t start = 1'000'000 + int64_t(n) * 400'000;
        const RepairableFrame frame(rawHeader(8, n, {64, 48, KIV_DEPTH_8, 1}), 8);
        auto answer = frame.packer.datagram(1);
        answer[6] |= kFlagResent;
        receiving.r.feed(kA, frame.packer.datagram(0), start);
        receiving.r.feed(kA, frame.packer.datagram(2), start);
        if (n == 0) receiving.r.feed(kA, answer, start + 1'000); // another receiver's answer: it says nothing of our delay
        int64_t firstAsk = 0;
        for (int64_t t = start; t < start + 300'000; t += 500) {
            receiving.r.service(t, out);
            if (!out.requests.empty() && firstAsk == 0) firstAsk = t;
            if (!out.requests.empty() && n + 1 == kFrames) lastFramesAsks.push_back(t);
            out.clear();
            if (n + 1 < kFrames && firstAsk != 0 && t == firstAsk + 30'000) receiving.r.feed(kA, answer, t);
        }
        if (n == 1) { EXPECT_EQ(receiving.repair.state.load(), uint32_t(KIV_REPAIR_WORKING)) << "answered, and too soon to call the sender deaf"; }
    }
    EXPECT_EQ(receiving.sink.frames().size(), kFrames - 1);
    EXPECT_EQ(receiving.repair.datagramsRequested.load(), receiving.repair.requestsSent.load()) << "each request names the one datagram lost";
    ASSERT_GE(lastFramesAsks.size(), 2u);
    EXPECT_GE(lastFramesAsks[1] - lastFramesAsks[0], 50'000);
    EXPECT_LE(lastFramesAsks[1] - lastFramesAsks[0], 100'000);
}

// Reports are honest about reordering: a copy of a datagram of an earlier, larger frame that the network held
// back until a small frame had come whole is no loss, and the parity that follows a frame already whole is counted due.
TEST(Reassembler, ALateCopyFromAnEarlierLargerFrameIsNoLoss) {
    Sink sink;
    Reassembler r(sink.queue);
    const RepairableFrame large(rawHeader(6, 1, {640, 480, KIV_DEPTH_24, 1}), 6, 10), small(rawHeader(6, 2, {64, 48, KIV_DEPTH_8, 1}), 6, 10);
    int64_t now = 0;
    for (const RepairableFrame *f : {&large, &small})
        for (size_t i = 0; i < f->packer.count(); ++i) r.feed(kA, f->packer.datagram(i), now += 10);
    r.feed(kA, large.packer.datagram(large.packer.count() - 1), now += 10);
    Feedback out;
    r.service(now + 200'000, out);
    ASSERT_EQ(out.reports.size(), 1u);
    const LossReport &report = out.reports[0].second;
    EXPECT_EQ(report.lost, 0u);
    EXPECT_EQ(report.expected, large.packer.count() + small.packer.count());
}

// The fragment fields are a contract with peers of other builds: the bytes as docs/udp.md lays them out.
TEST(Reassembler, FragmentFieldsAreLaidOutAsDocumented) {
    const FragmentFields f{.flags = kFlagResent | kFlagHeard, .index = 0x01020304, .count = 0x0a0b0c0d, .chunk = 1400,
                           .blockData = 55, .parityPerBlock = 6, .checksum = 0xdeadbeef};
    std::array<uint8_t, kDatagramHeaderSize> out;
    out.fill(0xaa);
    encodeDatagramHeader(rawHeader(1, 2), f, out);
    const std::vector<uint8_t> expected = {'K', 'I', 'V', 'U', 3, 0, 0x05, 0x00, 0x04, 0x03, 0x02, 0x01,
                                           0x0d, 0x0c, 0x0b, 0x0a, 0x78, 0x05, 55, 6, 0xef, 0xbe, 0xad, 0xde};
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + kFragmentFieldsSize), expected);
}

// A frame whose last datagrams never came is given up in the end: what never came of it is reported lost (what came,
// at the first report). A receiver on parity alone asks for nothing, so it waits the whole timeout for late datagrams.
TEST(Reassembler, TheMissingEndOfAFrameGivenUpIsReportedLost) {
    Receiving rx(0);
    const RepairableFrame frame(rawHeader(7, 1, {640, 480, KIV_DEPTH_8, 1}), 7);
    for (size_t i = 0; i < 151; ++i) rx.r.feed(kA, frame.packer.datagram(i), int64_t(i) * 10); // the last seen counts as due at once
    Feedback early, out;
    rx.r.service(300'000, early);
    EXPECT_EQ(rx.sink.counters.incomplete.load(), 0u) << "given up before the timeout";
    rx.r.service(10'000'000, out);
    ASSERT_EQ(out.reports.size(), 1u);
    EXPECT_EQ(std::pair(out.reports[0].second.expected, out.reports[0].second.lost), std::pair(69u, 69u)) << "the rest of 220";
}

// Each arrives while an honest frame is half there.
TEST(Reassembler, HostileDatagramsAreCountedAndHarmless) {
    const WireHeader h = rawHeader(5, 1);
    const auto payload = pattern(5, 1, h.payloadSize);
    const auto good = fragments(h, payload), prot = fragments(rawHeader(3, 1, {640, 480, KIV_DEPTH_8, 1}), 3, 10);
    auto patched = [](std::vector<uint8_t> d, size_t at, uint32_t value, size_t bytes = 4) {
        for (size_t i = 0; i < bytes; ++i) d[at + i] = uint8_t(value >> (8 * i));
        return d;
    };
    const auto opening = [](const WireHeader &other, uint16_t chunk) { // the first fragment of another frame
        std::vector<uint8_t> d(kDatagramHeaderSize + chunk);
        encodeDatagramHeader(other, {.count = uint32_t(fragmentCount(other.payloadSize, chunk)), .chunk = chunk}, std::span<uint8_t, kDatagramHeaderSize>(d.data(), kDatagramHeaderSize));
        return d;
    };

    const std::pair<const char *, std::vector<uint8_t>> cases[] = {
        {"short frame header", std::vector<uint8_t>(good[0].begin(), good[0].begin() + 20)},
        {"bad magic", patched(good[1], 0, 0x12345678)},
        {"another version", patched(good[1], 4, 2, 1)},
        {"a request, not a fragment", patched(good[1], 5, kKindRepairRequest, 1)},
        {"unknown flags", patched(good[1], 6, 0x80, 2)},
        {"payload size not the format's", patched(good[1], 64, 1000)},
        {"count conflicts with size", patched(good[1], 12, 7)},
        {"chunk zero", patched(good[1], 16, 0, 2)},
        {"protection fields on an unprotected frame", patched(good[1], 18, 1, 2)},
        {"data longer than the fragment", [&] { auto d = good[1]; d.push_back(0); return d; }()},
        {"data shorter than the fragment", [&] { auto d = good[1]; d.pop_back(); return d; }()},
        {"size over the cap", opening(rawHeader(5, 2, {8192, 8192, KIV_DEPTH_8, 1}), 1400)}, // 64 MiB, the test's cap 4 MiB
        {"more fragments than any frame has", opening(rawHeader(5, 3, {2048, 1024, KIV_DEPTH_8, 1}), 7)},
        {"same frame cut differently", fragments(h, payload, 1000)[3]},
        {"same frame in another format", fragments(rawHeader(5, 1, {240, 320, KIV_DEPTH_24, 1}), payload)[5]},
        // Protection fields that no sender writes (a frame of 4 blocks of 55 or 54, 6 parity each).
        {"more parity than block data", patched(prot[0], 19, 56, 1)},
        {"block data not the sender's", patched(prot[0], 18, 50, 1)},
        {"a block over 255 fragments", patched(prot[0], 18, 220 | 200 << 8, 2)},
        {"blocks of under 16 fragments", patched(prot[0], 18, 15 | 1 << 8, 2)},
        {"protected without parity", patched(prot[0], 19, 0, 1)},
        {"parity index past the parity", patched(prot[220], 8, 244)},
        {"parity shorter than a chunk", std::vector<uint8_t>(prot[220].begin(), prot[220].end() - 1)},
    };
    for (const auto &[name, datagram] : cases) {
        SCOPED_TRACE(name);
        Sink sink;
        Reassembler r(sink.queue, {.maxBytes = 4 << 20});
        r.feed(kA, good[0], 0);
        r.feed(kA, datagram, 0);
        EXPECT_EQ(std::tuple(sink.counters.malformed.load(), r.framesInFlight()), std::tuple(1u, 1u));
        for (size_t i = 1; i < good.size(); ++i) r.feed(kA, good[i], 1);
        const auto frames = sink.frames();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].payload, payload);
    }
}

TEST(Reassembler, CapsBoundFramesAndBytesUnderAFloodOfStarts) {
    const ReassemblerLimits limits{.maxFramesInFlight = 4, .maxBytes = 3 * 230400 + 4096};
    Sink sink;
    Reassembler r(sink.queue, limits);
    for (uint32_t i = 0; i < 500; ++i) {
        r.feed(Source{0x0a000000u + i % 5, 1}, fragments(rawHeader(1000 + i % 37, i), 0)[0], i);
        ASSERT_LE(r.framesInFlight(), limits.maxFramesInFlight);
        ASSERT_LE(r.bytesHeld(), limits.maxBytes);
    }
    EXPECT_EQ(sink.counters.incomplete + r.framesInFlight(), 500u);
    // An honest sender still gets through afterwards.
    feedFrame(r, kA, rawHeader(1, 0), 1, 1000);
    EXPECT_EQ(sink.frames().size(), 1u);

    // One socket starting a new 64 MiB frame after every honest datagram: it
    // only pushes out its own frames, and is charged for what it sent.
    Sink honest;
    Reassembler shared(honest.queue);
    const auto forged = fragments(rawHeader(0, 0, {8192, 8192, KIV_DEPTH_8, 1}), pattern(1, 1, 64 << 20));
    uint64_t session = 1000;
    for (uint32_t f = 0; f < 10; ++f)
        for (const auto &d : fragments(rawHeader(1, f), 1, 10)) {
            shared.feed(kA, d, f);
            auto fake = forged[f];
            le::put64(fake.data() + 24, ++session);
            shared.feed(kB, fake, f);
            ASSERT_LE(shared.bytesHeld(), 1u << 20);
        }
    EXPECT_EQ(honest.frames().size(), 10u);

    // A frame half there is not pushed out to make room for a second source's
    // frame that would take more than the first holds.
    Sink two;
    Reassembler tight(two.queue, {.maxBytes = 1500 << 10});
    const auto a = fragments(rawHeader(1, 0, {640, 480, KIV_DEPTH_24, 1}), 1), b = fragments(rawHeader(2, 0, {640, 480, KIV_DEPTH_24, 1}), 2);
    for (size_t i = 0; i < a.size() / 2; ++i) tight.feed(kA, a[i], 0);
    for (const auto &d : b) tight.feed(kB, d, 0);
    for (size_t i = a.size() / 2; i < a.size(); ++i) tight.feed(kA, a[i], 0);
    // The frame that found no room is given up at once, not left to time out, and is no malformed one.
    EXPECT_EQ(sessions(two.frames()), std::vector<uint64_t>{1});
    EXPECT_EQ(std::tuple(tight.framesInFlight(), two.counters.incomplete.load(), two.counters.malformed.load()), std::tuple(0u, 1u, 0u));

    // Out of room, the source with most sessions (the newcomer's counted) forgets its quietest; a forgotten one starts afresh.
    Sink few;
    Reassembler r3(few.queue, {.maxSenders = 3});
    for (int64_t now = 0; const auto &[src, session, frame] : {std::tuple{kA, 1u, 0u}, {kB, 11u, 5u}, {kB, 12u, 0u}, {kA, 2u, 0u}, {kB, 11u, 4u}, {kB, 13u, 0u}, {kA, 2u, 0u}, {kA, 1u, 0u}})
        feedFrame(r3, src, rawHeader(session, frame, {8, 8, KIV_DEPTH_8, 1}), 5, now += 10);
    EXPECT_EQ(sessions(few.frames()), (std::vector<uint64_t>{1, 11, 12, 2, 13, 1}));

    // At the frame cap a source gives up its least recently fed frame, wherever that stands in the list.
    Sink cap;
    Reassembler r4(cap.queue, {.maxFramesInFlight = 2});
    for (int64_t now = 0; const auto &[frame, i] : {std::pair{2u, 0}, {1u, 0}, {2u, 1}, {3u, 0}}) r4.feed(kA, fragments(rawHeader(1, frame), 1)[i], ++now);
    for (const uint32_t n : {1u, 2u, 3u}) feedFrame(r4, kA, rawHeader(1, n), 1, 10);
    std::vector<uint32_t> numbers;
    for (const auto &f : cap.frames()) numbers.push_back(f.header.frameNumber);
    EXPECT_EQ(numbers, (std::vector<uint32_t>{2, 3}));
}

// Two senders on one port with frame numbers across the wrap and, at worst, the same session id: only the
// source tells their fragments apart. Then one comes back from a frame it left half-sent, counting from 0.
TEST(Reassembler, SendersStayApartAcrossTheWrapAndARestart) {
    for (const uint64_t sessionB : {uint64_t{42}, uint64_t{43}}) {
        SCOPED_TRACE(sessionB);
        Sink sink;
        Reassembler r(sink.queue);
        for (uint32_t f = 0xfffffff6u; f != 10; ++f) {
            const auto da = fragments(rawHeader(42, f), 100), db = fragments(rawHeader(sessionB, f), 200);
            for (size_t i = 0; i < da.size(); ++i) {
                r.feed(kA, da[i], 0);
                r.feed(kB, db[db.size() - 1 - i], 0);
            }
        }
        r.feed(kA, fragments(rawHeader(42, 10), 100)[0], 0);
        const WireHeader jpeg{.flags = kWireFlagJpeg, .format = {320, 240, KIV_DEPTH_24, 1}, .frameNumber = 1, .sessionId = 7, .payloadSize = 1400 * 3 + 1}; // last fragment one byte
        for (const WireHeader &restarted : {rawHeader(7, 0, {0, 0, KIV_DEPTH_24, 1}), jpeg}) feedFrame(r, kA, restarted, 300);

        const auto frames = sink.frames();
        ASSERT_EQ(frames.size(), 42u);
        constexpr uint64_t kSeed[3] = {100, 200, 300};      // A, B, A restarted
        uint32_t next[3] = {0xfffffff6u, 0xfffffff6u, 0};
        for (const auto &[h, payload] : frames) {
            const int who = h.sessionId == 7 ? 2 : payload == pattern(100, h.frameNumber, payload.size()) ? 0 : 1;
            ASSERT_EQ(payload, pattern(kSeed[who], h.frameNumber, payload.size()))
                << "frame " << h.frameNumber << " mixes two senders";
            EXPECT_EQ(h.frameNumber, next[who]++) << "sender " << who << ": in order across the wrap";
        }
        EXPECT_EQ(frames.back().header.flags, kWireFlagJpeg);
    }
}

} // namespace
