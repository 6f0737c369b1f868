// The reassembler fed datagrams directly: loss, reordering, duplication,
// hostile input, caps, wrap-around and several senders.
#include "transports/udp_reassembler.hpp"

#include <cstring>
#include <map>
#include <random>

#include "../net_support/recording_sink.hpp"
#include "format.hpp"

namespace {

using namespace kiv;
using namespace kiv::udp;
using nettest::pattern;
using Sink = nettest::RecordingSink;

WireHeader rawHeader(uint64_t session, uint32_t frame, kivStreamFormat fmt = {320, 240, KIV_DEPTH_24, 1}) {
    return {.format = fmt, .frameNumber = frame, .sessionId = session, .payloadSize = uint32_t(frameBytes64(fmt))};
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
std::vector<std::vector<uint8_t>> fragments(const WireHeader &h, uint64_t seed) {
    return fragments(h, pattern(seed, h.frameNumber, h.payloadSize));
}

const Source kA{0x7f000001, 40000};
const Source kB{0x7f000001, 40001};

void feedFrame(Reassembler &r, const Source &src, const WireHeader &h, uint64_t seed, int64_t now = 0) {
    for (const auto &d : fragments(h, seed)) r.feed(src, d, now);
}

// A lossy, reordering, duplicating link between sender and reassembler.
TEST(Reassembler, LossReorderAndDuplicationNeverDeliverACorruptFrame) {
    // A datagram arrives up to `window` places late.
    struct { const char *name; double loss, duplicate; size_t window; uint32_t seed; } const cases[] = {
        {"clean", 0, 0, 1, 1},
        {"reordered", 0, 0, 24, 2},
        {"duplicated", 0, 0.2, 1, 3},
        {"reordered+duplicated", 0, 0.3, 32, 4},
        {"light loss", 0.001, 0.05, 16, 5},
        {"heavy loss", 0.05, 0.1, 64, 6},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Sink sink;
        Reassembler r(sink);
        std::mt19937 rng(c.seed);
        std::uniform_real_distribution<double> coin(0, 1);
        std::map<std::pair<uint64_t, uint64_t>, std::vector<uint8_t>> inFlight; // (arrival slot, sequence)
        uint64_t slot = 0, seq = 0;
        int64_t now = 0;
        auto send = [&](std::vector<uint8_t> d) { inFlight.emplace(std::pair{slot + rng() % c.window, seq++}, std::move(d)); };
        auto arrive = [&](uint64_t upTo) {
            for (; !inFlight.empty() && inFlight.begin()->first.first <= upTo; inFlight.erase(inFlight.begin()))
                r.feed(kA, inFlight.begin()->second, now);
        };
        constexpr uint32_t kFrames = 120;
        // 41 fragments with padded rows: more than the reorder window, so with no
        // loss no frame can be overtaken by a complete newer one.
        for (uint32_t f = 0; f < kFrames; ++f) {
            for (auto &d : fragments(rawHeader(77, f, {161, 119, KIV_DEPTH_24, 1}), 77)) {
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

        const auto frames = sink.frames();
        for (size_t i = 0; i < frames.size(); ++i) {
            const WireHeader &h = frames[i].header;
            ASSERT_TRUE(i == 0 || h.frameNumber > frames[i - 1].header.frameNumber) << "out of order or twice: " << h.frameNumber;
            ASSERT_EQ(frames[i].payload, pattern(77, h.frameNumber, h.payloadSize)) << "frame " << h.frameNumber;
        }
        EXPECT_EQ(sink.malformed, 0u);
        EXPECT_EQ(frames.size() + sink.incomplete, kFrames) << "every frame is delivered or counted";
        if (c.loss == 0) EXPECT_EQ(frames.size(), kFrames);
        else EXPECT_GT(sink.incomplete, 0u);
        EXPECT_EQ(r.framesInFlight(), 0u);
        EXPECT_EQ(r.bytesHeld(), 0u);
    }
}

// Each kind of hostile datagram, arriving while an honest frame is half there,
// is dropped and counted once and leaves that frame to complete byte for byte.
TEST(Reassembler, HostileDatagramsAreCountedAndHarmless) {
    const WireHeader h = rawHeader(5, 1);
    const auto payload = pattern(5, 1, h.payloadSize);
    const auto good = fragments(h, payload);
    auto patched = [&](size_t at, uint32_t value, size_t bytes = 4) {
        auto d = good[1];
        for (size_t i = 0; i < bytes; ++i) d[at + i] = uint8_t(value >> (8 * i));
        return d;
    };
    const WireHeader huge = rawHeader(5, 2, {8192, 8192, KIV_DEPTH_8, 1}); // 64 MiB: over this test's cap
    std::vector<uint8_t> overCap(kDefaultMaxDatagram);
    encodeDatagramHeader(huge, {0, uint32_t(fragmentCount(huge.payloadSize, 1408)), 0, 1408},
                         std::span<uint8_t, kDatagramHeaderSize>(overCap.data(), kDatagramHeaderSize));

    const std::pair<const char *, std::vector<uint8_t>> cases[] = {
        {"random bytes", pattern(9, 0, 1472)},
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
        {"size over the cap", overCap},
        {"same frame cut differently", fragments(h, payload, 1000)[3]},
        {"same frame in another format", fragments(rawHeader(5, 1, {240, 320, KIV_DEPTH_24, 1}), payload)[5]},
    };
    for (const auto &[name, datagram] : cases) {
        SCOPED_TRACE(name);
        Sink sink;
        Reassembler r(sink, {.maxBytes = 4 << 20});
        r.feed(kA, good[0], 0);
        r.feed(kA, datagram, 0);
        EXPECT_EQ(sink.malformed, 1u);
        EXPECT_EQ(r.framesInFlight(), 1u);
        for (size_t i = 1; i < good.size(); ++i) r.feed(kA, good[i], 1);
        const auto frames = sink.frames();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].payload, payload);
    }
}

TEST(Reassembler, CapsBoundFramesAndBytesUnderAFloodOfStarts) {
    const ReassemblerLimits limits{.maxFramesInFlight = 4, .maxBytes = 3 * 230400 + 4096};
    Sink sink;
    Reassembler r(sink, limits);
    // First fragment of many frames from many sessions: each would need 230 KB.
    for (uint32_t i = 0; i < 500; ++i) {
        r.feed(Source{0x0a000000u + i % 5, 1}, fragments(rawHeader(1000 + i % 37, i), 0)[0], i);
        ASSERT_LE(r.framesInFlight(), limits.maxFramesInFlight);
        ASSERT_LE(r.bytesHeld(), limits.maxBytes);
    }
    EXPECT_EQ(sink.incomplete + r.framesInFlight(), 500u);
    // An honest sender still gets through afterwards.
    feedFrame(r, kA, rawHeader(1, 0), 1, 1000);
    EXPECT_EQ(sink.frames().size(), 1u);
}

// Two senders on one port with frame numbers across the wrap and, at worst, the
// same session id: only the source tells their fragments apart. Then one comes
// back from a frame it left half-sent with a new session counting from 0.
TEST(Reassembler, SendersStayApartAcrossTheWrapAndARestart) {
    for (const uint64_t sessionB : {uint64_t{42}, uint64_t{43}}) {
        SCOPED_TRACE(sessionB);
        Sink sink;
        Reassembler r(sink);
        for (uint32_t f = 0xfffffff6u; f != 10; ++f) {
            const auto da = fragments(rawHeader(42, f), 100), db = fragments(rawHeader(sessionB, f), 200);
            for (size_t i = 0; i < da.size(); ++i) {
                r.feed(kA, da[i], 0);
                r.feed(kB, db[db.size() - 1 - i], 0);
            }
        }
        EXPECT_EQ(sink.incomplete + sink.malformed, 0u);
        r.feed(kA, fragments(rawHeader(42, 10), 100)[0], 0);
        WireHeader jpeg = rawHeader(7, 1); // its last fragment is one byte
        jpeg.flags = kWireFlagJpeg;
        jpeg.payloadSize = 1408 * 3 + 1;
        feedFrame(r, kA, rawHeader(7, 0, {0, 0, KIV_DEPTH_24, 1}), 300);
        feedFrame(r, kA, jpeg, 300);

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
        EXPECT_EQ(next[2], 2u) << "the new session is taken at once";
        EXPECT_EQ(frames.back().header.flags, kWireFlagJpeg);
    }
}

} // namespace
