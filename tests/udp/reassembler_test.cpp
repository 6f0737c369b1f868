// The reassembler fed datagrams directly: loss, reordering, duplication,
// hostile input, caps, wrap-around and several senders.
#include "transports/udp_reassembler.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>

#include "format.hpp"
#include "pattern.hpp"

namespace {

using namespace kiv;
using namespace kiv::udp;

struct Delivered {
    WireHeader header;
    std::vector<uint8_t> payload;
};

class RecordingSink final : public FrameSink {
public:
    std::vector<uint8_t> takeBuffer() override { return {}; }
    void deliver(const WireHeader &h, std::vector<uint8_t> &&p) override { frames.push_back({h, std::move(p)}); }
    void countMalformed(uint64_t n) override { malformed += n; }
    void countIncomplete(uint64_t n) override { incomplete += n; }
    void countDropped(uint64_t) override {}

    std::vector<Delivered> frames;
    uint64_t malformed = 0;
    uint64_t incomplete = 0;
};

WireHeader rawHeader(uint64_t session, uint32_t frame, kivStreamFormat fmt = {320, 240, KIV_DEPTH_24, 1}) {
    WireHeader h;
    h.format = fmt;
    h.sessionId = session;
    h.frameNumber = frame;
    h.sendTimeUs = 1000 + frame;
    h.payloadSize = uint32_t(frameBytes64(fmt));
    return h;
}

// What the sender puts on the wire for one frame.
std::vector<std::vector<uint8_t>> fragments(const WireHeader &h, const std::vector<uint8_t> &payload,
                                            size_t maxDatagram = kDefaultMaxDatagram) {
    const size_t chunk = maxDatagram - kDatagramHeaderSize;
    const size_t count = fragmentCount(payload.size(), chunk);
    std::vector<std::vector<uint8_t>> out;
    for (size_t i = 0; i < count; ++i) {
        const size_t off = i * chunk;
        const size_t len = payload.empty() ? 0 : std::min(chunk, payload.size() - off);
        std::vector<uint8_t> d(kDatagramHeaderSize + len);
        encodeDatagramHeader(h, {uint32_t(i), uint32_t(count), uint32_t(off), uint16_t(chunk)},
                             std::span<uint8_t, kDatagramHeaderSize>(d.data(), kDatagramHeaderSize));
        if (len) std::memcpy(d.data() + kDatagramHeaderSize, payload.data() + off, len);
        out.push_back(std::move(d));
    }
    return out;
}

const Source kA{0x7f000001, 40000};
const Source kB{0x7f000001, 40001};

void feedFrame(Reassembler &r, const Source &src, const WireHeader &h, uint64_t seed, int64_t now = 0) {
    for (const auto &d : fragments(h, kivtest::pattern(seed, h.frameNumber, h.payloadSize))) r.feed(src, d, now);
}

// A lossy, reordering, duplicating link between sender and reassembler.
TEST(Reassembler, LossReorderAndDuplicationNeverDeliverACorruptFrame) {
    struct Case {
        const char *name;
        double loss, duplicate;
        size_t window; // a datagram arrives up to this many places late
        uint32_t seed;
    } const cases[] = {
        {"clean", 0, 0, 1, 1},
        {"reordered", 0, 0, 24, 2},
        {"duplicated", 0, 0.2, 1, 3},
        {"reordered+duplicated", 0, 0.3, 32, 4},
        {"light loss", 0.001, 0.05, 16, 5},
        {"heavy loss", 0.05, 0.1, 64, 6},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RecordingSink sink;
        Reassembler r(sink);
        std::mt19937 rng(c.seed);
        std::uniform_real_distribution<double> coin(0, 1);
        // (arrival slot, sequence) -> datagram
        std::map<std::pair<uint64_t, uint64_t>, std::vector<uint8_t>> inFlight;
        uint64_t slot = 0, seq = 0;
        int64_t now = 0;
        auto send = [&](std::vector<uint8_t> d) {
            inFlight.emplace(std::pair{slot + rng() % c.window, seq++}, std::move(d));
        };
        auto arrive = [&](uint64_t upTo) {
            while (!inFlight.empty() && inFlight.begin()->first.first <= upTo) {
                r.feed(kA, inFlight.begin()->second, now);
                inFlight.erase(inFlight.begin());
            }
        };
        constexpr uint32_t kFrames = 120;
        // 41 fragments with padded rows: more than the reorder window, so with no
        // loss no frame can be overtaken by a complete newer one.
        const kivStreamFormat fmt{161, 119, KIV_DEPTH_24, 1};
        for (uint32_t f = 0; f < kFrames; ++f) {
            const WireHeader h = rawHeader(77, f, fmt);
            for (auto &d : fragments(h, kivtest::pattern(77, f, h.payloadSize))) {
                now += 10;
                ++slot;
                if (coin(rng) < c.loss) continue;
                if (coin(rng) < c.duplicate) send(d);
                send(std::move(d));
                arrive(slot);
            }
        }
        arrive(UINT64_MAX);
        r.expire(now + 10'000'000);

        uint32_t previous = 0;
        for (size_t i = 0; i < sink.frames.size(); ++i) {
            const Delivered &d = sink.frames[i];
            if (i > 0) {
                ASSERT_GT(d.header.frameNumber, previous) << "frames out of order or twice";
            }
            previous = d.header.frameNumber;
            ASSERT_EQ(d.payload, kivtest::pattern(77, d.header.frameNumber, d.header.payloadSize))
                << "frame " << d.header.frameNumber;
        }
        EXPECT_EQ(sink.malformed, 0u);
        EXPECT_EQ(sink.frames.size() + sink.incomplete, kFrames) << "every frame is delivered or counted";
        if (c.loss == 0) EXPECT_EQ(sink.frames.size(), kFrames);
        else EXPECT_GT(sink.incomplete, 0u);
        EXPECT_EQ(r.framesInFlight(), 0u);
        EXPECT_EQ(r.bytesHeld(), 0u);
    }
}

// Each kind of hostile datagram is dropped and counted once, and leaves the
// reassembler able to complete the next honest frame.
TEST(Reassembler, HostileDatagramsAreCountedAndHarmless) {
    const WireHeader h = rawHeader(5, 1);
    const auto good = fragments(h, kivtest::pattern(5, 1, h.payloadSize));
    auto patched = [&](size_t at, uint32_t value, size_t bytes = 4) {
        auto d = good[1];
        for (size_t i = 0; i < bytes; ++i) d[at + i] = uint8_t(value >> (8 * i));
        return d;
    };
    std::mt19937 rng(9);
    std::vector<uint8_t> noise(1472);
    for (auto &b : noise) b = uint8_t(rng());
    WireHeader huge = rawHeader(5, 2, {8192, 8192, KIV_DEPTH_8, 1}); // 64 MiB: over this test's cap

    struct Case {
        const char *name;
        std::vector<uint8_t> datagram;
    } const cases[] = {
        {"random bytes", noise},
        {"empty", {}},
        {"short frame header", std::vector<uint8_t>(good[0].begin(), good[0].begin() + 20)},
        {"no fragment fields", std::vector<uint8_t>(good[0].begin(), good[0].begin() + 48)},
        {"bad magic", patched(0, 0x12345678)},
        {"payload size not the format's", patched(40, 1000)},
        {"index past count", patched(48, 100000)},
        {"count conflicts with size", patched(52, 7)},
        {"offset past the end", patched(56, 0x7fffff00)},
        {"offset not index * chunk", patched(56, 1409)},
        {"chunk zero", patched(60, 0, 2)},
        {"reserved bits", patched(62, 1, 2)},
        {"data longer than the fragment", [&] { auto d = good[1]; d.push_back(0); return d; }()},
        {"data shorter than the fragment", [&] { auto d = good[1]; d.pop_back(); return d; }()},
        {"size over the cap", [&] {
             std::vector<uint8_t> d(kDefaultMaxDatagram);
             encodeDatagramHeader(huge, {0, uint32_t(fragmentCount(huge.payloadSize, 1408)), 0, 1408},
                                  std::span<uint8_t, kDatagramHeaderSize>(d.data(), kDatagramHeaderSize));
             return d;
         }()},
    };
    ReassemblerLimits tight;
    tight.maxBytes = 4 << 20;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RecordingSink sink;
        Reassembler r(sink, tight);
        r.feed(kA, c.datagram, 0);
        EXPECT_EQ(sink.malformed, 1u);
        EXPECT_EQ(r.framesInFlight(), 0u);
        for (const auto &d : good) r.feed(kA, d, 1);
        ASSERT_EQ(sink.frames.size(), 1u);
        EXPECT_EQ(sink.frames[0].payload, kivtest::pattern(5, 1, h.payloadSize));
    }
}

TEST(Reassembler, FragmentsThatDisagreeWithTheirFrameAreRejected) {
    // Same sender, session and frame number, but a different cut or format.
    const WireHeader h = rawHeader(5, 1);
    const auto payload = kivtest::pattern(5, 1, h.payloadSize);
    const auto honest = fragments(h, payload);
    const auto otherCut = fragments(h, payload, 1000);
    WireHeader otherFormat = rawHeader(5, 1, {240, 320, KIV_DEPTH_24, 1});
    const auto reshaped = fragments(otherFormat, payload);

    RecordingSink sink;
    Reassembler r(sink);
    r.feed(kA, honest[0], 0);
    r.feed(kA, otherCut[3], 0);
    r.feed(kA, reshaped[5], 0);
    EXPECT_EQ(sink.malformed, 2u);
    for (size_t i = 1; i < honest.size(); ++i) r.feed(kA, honest[i], 0);
    ASSERT_EQ(sink.frames.size(), 1u);
    EXPECT_EQ(sink.frames[0].payload, payload);
}

TEST(Reassembler, CapsBoundFramesAndBytesUnderAFloodOfStarts) {
    ReassemblerLimits limits;
    limits.maxFramesInFlight = 4;
    limits.maxBytes = 3 * 230400 + 4096;
    RecordingSink sink;
    Reassembler r(sink, limits);
    // First fragment of many frames from many sessions: each would need 230 KB.
    for (uint32_t i = 0; i < 500; ++i) {
        const WireHeader h = rawHeader(1000 + i % 37, i);
        r.feed(Source{0x0a000000u + i % 5, 1}, fragments(h, std::vector<uint8_t>(h.payloadSize))[0], i);
        ASSERT_LE(r.framesInFlight(), limits.maxFramesInFlight);
        ASSERT_LE(r.bytesHeld(), limits.maxBytes);
    }
    EXPECT_EQ(sink.incomplete + r.framesInFlight(), 500u);
    // An honest sender still gets through afterwards.
    feedFrame(r, kA, rawHeader(1, 0), 1, 1000);
    EXPECT_EQ(sink.frames.size(), 1u);
}

TEST(Reassembler, GivenUpFramesStayGoneAndLateFragmentsAreIgnored) {
    const auto payloadOf = [](const WireHeader &h) { return kivtest::pattern(3, h.frameNumber, h.payloadSize); };
    {
        SCOPED_TRACE("timeout");
        RecordingSink sink;
        Reassembler r(sink);
        const WireHeader h = rawHeader(3, 10);
        const auto d = fragments(h, payloadOf(h));
        for (size_t i = 0; i + 1 < d.size(); ++i) r.feed(kA, d[i], 0);
        r.expire(400'000);
        EXPECT_EQ(sink.incomplete, 0u) << "still waiting within the timeout";
        r.expire(600'000);
        EXPECT_EQ(sink.incomplete, 1u);
        r.feed(kA, d.back(), 600'001);
        EXPECT_TRUE(sink.frames.empty()) << "a partial frame must never be delivered";
        EXPECT_EQ(r.framesInFlight(), 0u);
    }
    {
        SCOPED_TRACE("newer frame completes first");
        RecordingSink sink;
        Reassembler r(sink);
        const WireHeader older = rawHeader(3, 10), newer = rawHeader(3, 11);
        const auto d = fragments(older, payloadOf(older));
        r.feed(kA, d[0], 0);
        feedFrame(r, kA, newer, 3);
        EXPECT_EQ(sink.incomplete, 1u);
        for (size_t i = 1; i < d.size(); ++i) r.feed(kA, d[i], 0);
        ASSERT_EQ(sink.frames.size(), 1u);
        EXPECT_EQ(sink.frames[0].header.frameNumber, 11u);
        EXPECT_EQ(r.framesInFlight(), 0u);
    }
    {
        SCOPED_TRACE("duplicate of a delivered frame");
        RecordingSink sink;
        Reassembler r(sink);
        feedFrame(r, kA, rawHeader(3, 10), 3);
        feedFrame(r, kA, rawHeader(3, 10), 3);
        EXPECT_EQ(sink.frames.size(), 1u);
        EXPECT_EQ(r.framesInFlight(), 0u);
        EXPECT_EQ(sink.incomplete + sink.malformed, 0u);
    }
}

TEST(Reassembler, FrameNumbersWrapWithoutAGap) {
    RecordingSink sink;
    Reassembler r(sink);
    const uint32_t numbers[] = {0xfffffffdu, 0xfffffffeu, 0xffffffffu, 0, 1, 2};
    for (uint32_t n : numbers) feedFrame(r, kA, rawHeader(8, n), 8);
    ASSERT_EQ(sink.frames.size(), std::size(numbers));
    for (size_t i = 0; i < std::size(numbers); ++i) EXPECT_EQ(sink.frames[i].header.frameNumber, numbers[i]);
}

TEST(Reassembler, RestartedSenderIsTakenAtOnce) {
    RecordingSink sink;
    Reassembler r(sink);
    for (uint32_t n = 5000; n < 5003; ++n) feedFrame(r, kA, rawHeader(1, n), 1);
    // Left a frame half-sent, then came back with a new session counting from 0,
    // possibly from the same port.
    const WireHeader cut = rawHeader(1, 5003);
    r.feed(kA, fragments(cut, kivtest::pattern(1, 5003, cut.payloadSize))[0], 0);
    feedFrame(r, kA, rawHeader(2, 0), 2);
    feedFrame(r, kB, rawHeader(2, 1), 2);
    ASSERT_EQ(sink.frames.size(), 5u);
    EXPECT_EQ(sink.frames[3].header.sessionId, 2u);
    EXPECT_EQ(sink.frames[3].header.frameNumber, 0u);
    EXPECT_EQ(sink.frames[3].payload, kivtest::pattern(2, 0, cut.payloadSize));
    EXPECT_EQ(sink.frames[4].payload, kivtest::pattern(2, 1, cut.payloadSize));
}

TEST(Reassembler, TwoSendersOnOnePortNeverMix) {
    // Worst case: both senders use the same session id and frame numbers, so
    // only the source address tells their fragments apart.
    for (const uint64_t sessionB : {uint64_t{42}, uint64_t{43}}) {
        SCOPED_TRACE(sessionB);
        RecordingSink sink;
        Reassembler r(sink);
        for (uint32_t f = 0; f < 20; ++f) {
            const WireHeader ha = rawHeader(42, f), hb = rawHeader(sessionB, f);
            const auto da = fragments(ha, kivtest::pattern(100, f, ha.payloadSize));
            const auto db = fragments(hb, kivtest::pattern(200, f, hb.payloadSize));
            for (size_t i = 0; i < da.size(); ++i) {
                r.feed(kA, da[i], f);
                r.feed(kB, db[db.size() - 1 - i], f);
            }
        }
        ASSERT_EQ(sink.frames.size(), 40u);
        size_t fromA = 0;
        for (const Delivered &d : sink.frames) {
            const bool isA = d.payload == kivtest::pattern(100, d.header.frameNumber, d.payload.size());
            const bool isB = d.payload == kivtest::pattern(200, d.header.frameNumber, d.payload.size());
            ASSERT_TRUE(isA || isB) << "frame " << d.header.frameNumber << " mixes two senders";
            fromA += isA;
        }
        EXPECT_EQ(fromA, 20u);
        EXPECT_EQ(sink.incomplete + sink.malformed, 0u);
    }
}

TEST(Reassembler, EmptyAndJpegSizedFramesComplete) {
    RecordingSink sink;
    Reassembler r(sink);
    feedFrame(r, kA, rawHeader(4, 0, {0, 0, KIV_DEPTH_24, 1}), 4);
    WireHeader jpeg = rawHeader(4, 1);
    jpeg.flags = kWireFlagJpeg;
    jpeg.payloadSize = 1408 * 3 + 1; // a last fragment of one byte
    feedFrame(r, kA, jpeg, 4);
    ASSERT_EQ(sink.frames.size(), 2u);
    EXPECT_TRUE(sink.frames[0].payload.empty());
    EXPECT_EQ(sink.frames[1].header.flags, kWireFlagJpeg);
    EXPECT_EQ(sink.frames[1].payload, kivtest::pattern(4, 1, jpeg.payloadSize));
}

} // namespace
